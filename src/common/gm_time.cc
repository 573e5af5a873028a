#include "gm_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os_diag.h"
#include "os_time.h"

namespace {

struct Layout {
  const char *pattern;  // strftime pattern of the seconds part
  int width;            // characters of the whole layout
};

// Indexed by GM_TIME_FMT_typ. Layouts 10-14 append milliseconds to the
// pattern's output.
constexpr Layout kLayouts[] = {
    {"%H%M", 4},           {"%H:%M", 5},          {"%d-%b-%Y", 11},
    {"%Y%m%d", 8},         {"%Y%m%d%H%M%S", 14},  {"%Y-%m-%d %H:%M:%S", 19},
    {"%m%d", 4},           {"%d%m%Y", 8},         {"%H%M%S", 6},
    {"%H:%M:%S", 8},       {"%H:%M:%S", 11},      {"%H:%M:%S", 12},
    {"%m%d %H:%M:%S", 17}, {"%H%M%S", 9},         {"%Y%m%d%H%M%S", 17},
};
constexpr int kLastSecondsLayout = GM_TIME_FMT_HH_MM_SS;
constexpr int kLastLayout = GM_TIME_FMT_YYYYMMDD_HHMMSS_CCC;
constexpr size_t kScratch = 99;

const char *const kMonthNames[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                   "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
const char *const kDayNames[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

// tm_isdst of the last local breakdown of the clock; every conversion of a
// text to a time count hands it to mktime.
int g_isdst = 0;

// The zone rules are reloaded only when TZ changes. localtime would reload
// them on every call, and with TZ unset that means a status query of the
// system zone file per log line, even in buffered mode.
void refresh_zone() {
  static bool loaded = false;
  static bool had_tz = false;
  static char last_tz[256];
  const char *tz = std::getenv("TZ");
  const bool has_tz = tz != nullptr;
  const bool fits = !has_tz || std::strlen(tz) < sizeof last_tz;
  if (loaded && fits && has_tz == had_tz && (!has_tz || std::strcmp(tz, last_tz) == 0)) return;
  ::tzset();
  loaded = fits;  // an overlong TZ is never cached: reload every time
  had_tz = has_tz;
  if (has_tz && fits) std::memcpy(last_tz, tz, std::strlen(tz) + 1);
}

bool local_breakdown(time_t t, struct tm *out) {
  refresh_zone();
  return ::localtime_r(&t, out) != nullptr;
}

bool gmt_breakdown(time_t t, struct tm *out) { return ::gmtime_r(&t, out) != nullptr; }

// Formats the seconds part of a layout into out, cut to at most width
// characters (a year beyond 9999 or a long month name never overruns the
// caller's buffer).
void format_seconds_part(const struct tm *tm_val, const char *pattern, int width, char *out) {
  char scratch[kScratch + 1];
  size_t n = std::strftime(scratch, sizeof scratch, pattern, tm_val);
  if (n > static_cast<size_t>(width)) n = static_cast<size_t>(width);
  std::memcpy(out, scratch, n);
  out[n] = '\0';
}

void format_plain(GM_TIME_FMT_typ fmt, const struct tm *tm_val, char *out) {
  const int idx = static_cast<int>(fmt);
  if (idx < 0 || idx > kLastSecondsLayout) {
    out[0] = '\0';
    return;
  }
  format_seconds_part(tm_val, kLayouts[idx].pattern, kLayouts[idx].width, out);
}

inline void put2(char *p, int v) {
  p[0] = static_cast<char>('0' + (v / 10) % 10);
  p[1] = static_cast<char>('0' + v % 10);
}

inline void put3(char *p, int v) {
  p[0] = static_cast<char>('0' + (v / 100) % 10);
  put2(p + 1, v % 100);
}

// Digits of [offset, offset + len) of text as a number, stopping at the
// terminator: a short text never makes us read past its end.
int field(const char *text, size_t offset, size_t len) {
  char buf[8] = {0};
  if (text == nullptr || len >= sizeof buf) return 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\0') return 0;
  }
  for (size_t i = 0; i < len && text[offset + i] != '\0'; ++i) buf[i] = text[offset + i];
  return std::atoi(buf);
}

// Breakdown of a YYYYMMDD text at the given hour, daylight flag from the
// process-wide state.
struct tm date_breakdown(const char *date, int hour) {
  struct tm tm_val;
  std::memset(&tm_val, 0, sizeof tm_val);
  tm_val.tm_year = field(date, 0, 4) - 1900;
  tm_val.tm_mon = field(date, 4, 2) - 1;
  tm_val.tm_mday = field(date, 6, 2);
  tm_val.tm_hour = hour;
  tm_val.tm_isdst = g_isdst;
  return tm_val;
}

void elapsed_text(long seconds, char *out) {
  if (seconds < 0) seconds = -seconds;
  std::snprintf(out, 64, "%d days %d hours %d minutes %d seconds", static_cast<int>(seconds / 86400),
                static_cast<int>(seconds % 86400 / 3600), static_cast<int>(seconds % 3600 / 60),
                static_cast<int>(seconds % 60));
}

long absolute_diff(time_t a, time_t b) { return a > b ? static_cast<long>(a - b) : static_cast<long>(b - a); }

bool is_blank(const char *text) {
  if (text == nullptr) return true;
  for (; *text != '\0'; ++text) {
    if (*text != ' ') return false;
  }
  return true;
}

const char *safe(const char *text) { return text != nullptr ? text : ""; }

int current_hhmm(char *text) {
  GM_TIME_fmt_get_time(GM_TIME_FMT_HHMM, text);
  return std::atoi(text);
}

}  // namespace

extern "C" {

int GM_TIME_fmt_width(GM_TIME_FMT_typ fmt) {
  const int idx = static_cast<int>(fmt);
  return idx < 0 || idx > kLastLayout ? 0 : kLayouts[idx].width;
}

void GM_TIME_fmt_to_ascii(GM_TIME_FMT_typ fmt, time_t t, char *out) {
  if (out == nullptr) return;
  struct tm tm_val;
  if (!local_breakdown(t, &tm_val)) {
    out[0] = '\0';
    return;
  }
  format_plain(fmt, &tm_val, out);
}

void GM_TIME_fmt_gmt_to_ascii(GM_TIME_FMT_typ fmt, time_t t, char *out) {
  if (out == nullptr) return;
  struct tm tm_val;
  if (!gmt_breakdown(t, &tm_val)) {
    out[0] = '\0';
    return;
  }
  format_plain(fmt, &tm_val, out);
}

void GM_TIME_fmt_to_ascii2(GM_TIME_FMT_typ fmt, time_t t, unsigned short ms, char *out) {
  if (out == nullptr) return;
  const int idx = static_cast<int>(fmt);
  struct tm tm_val;
  if (idx < 0 || idx > kLastLayout || !local_breakdown(t, &tm_val)) {
    out[0] = '\0';
    return;
  }
  if (idx <= kLastSecondsLayout) {
    format_plain(fmt, &tm_val, out);
    return;
  }
  const int millis = ms > 999 ? 999 : ms;
  if (fmt == GM_TIME_FMT_MMDD_HH_MM_SS_CCC) {
    // The log stamps every line with this layout: build it digit by digit.
    put2(out, tm_val.tm_mon + 1);
    put2(out + 2, tm_val.tm_mday);
    out[4] = ' ';
    put2(out + 5, tm_val.tm_hour);
    out[7] = ':';
    put2(out + 8, tm_val.tm_min);
    out[10] = ':';
    put2(out + 11, tm_val.tm_sec);
    out[13] = ':';
    put3(out + 14, millis);
    out[17] = '\0';
    return;
  }
  const Layout &layout = kLayouts[idx];
  const bool hundredths = fmt == GM_TIME_FMT_HH_MM_SS_CC;
  const bool separated = fmt == GM_TIME_FMT_HH_MM_SS_CC || fmt == GM_TIME_FMT_HH_MM_SS_CCC;
  const int suffix = (hundredths ? 2 : 3) + (separated ? 1 : 0);
  format_seconds_part(&tm_val, layout.pattern, layout.width - suffix, out);
  char *p = out + std::strlen(out);
  if (separated) *p++ = ':';
  if (hundredths) {
    put2(p, millis / 10);
    p += 2;
  } else {
    put3(p, millis);
    p += 3;
  }
  *p = '\0';
}

void GM_TIME_fmt_get_time2(GM_TIME_FMT_typ fmt, char *out) {
  time_t now = 0;
  unsigned short ms = 0;
  OS_TIME_bin_get_timer2(&now, &ms);
  GM_TIME_fmt_to_ascii2(fmt, now, ms, out);
}

void GM_TIME_fmt_get_time(GM_TIME_FMT_typ fmt, char *out) {
  time_t now = 0;
  GM_TIME_bin_get_timer(&now);
  GM_TIME_fmt_to_ascii(fmt, now, out);
}

void GM_TIME_fmt_get_gmt_time(GM_TIME_FMT_typ fmt, char *out) {
  time_t now = 0;
  GM_TIME_bin_get_gmt_timer(&now);
  GM_TIME_fmt_gmt_to_ascii(fmt, now, out);
}

void GM_TIME_fmt_get_time_zero(GM_TIME_FMT_typ fmt, char *out) { GM_TIME_fmt_to_ascii(fmt, 0, out); }

void GM_TIME_bin_get_timer(time_t *t) {
  time_t now = std::time(nullptr);
  OS_TIME_acceleration(&now);
  struct tm tm_val;
  if (local_breakdown(now, &tm_val)) g_isdst = tm_val.tm_isdst;
  if (t != nullptr) *t = now;
}

void GM_TIME_bin_get_gmt_timer(time_t *t) {
  time_t now = std::time(nullptr);
  OS_TIME_acceleration(&now);
  g_isdst = 0;
  if (t != nullptr) *t = now;
}

void GM_TIME_fmt_to_bin(const char *text, time_t *t) {
  char stamp[15] = {0};
  if (text != nullptr) {
    for (size_t i = 0; i < 14 && text[i] != '\0'; ++i) stamp[i] = text[i];
  }
  struct tm tm_val;
  std::memset(&tm_val, 0, sizeof tm_val);
  tm_val.tm_sec = field(stamp, 12, 2);
  tm_val.tm_min = field(stamp, 10, 2);
  tm_val.tm_hour = field(stamp, 8, 2);
  tm_val.tm_mday = field(stamp, 6, 2);
  tm_val.tm_mon = field(stamp, 4, 2) - 1;
  tm_val.tm_year = field(stamp, 0, 4) - 1900;
  tm_val.tm_isdst = g_isdst;
  const time_t result = std::mktime(&tm_val);
  if (t != nullptr) *t = result;
}

time_t GM_TIME_fmt_YYYYMMDDHHMMSS_to_seconds(const char *text) {
  int year = 0, month = 0, day = 0, hour = 0, min = 0, sec = 0;
  if (text != nullptr) std::sscanf(text, "%4d%2d%2d%2d%2d%2d", &year, &month, &day, &hour, &min, &sec);
  struct tm tm_val;
  std::memset(&tm_val, 0, sizeof tm_val);
  tm_val.tm_year = year - 1900;
  tm_val.tm_mon = month - 1;
  tm_val.tm_mday = day;
  tm_val.tm_hour = hour;
  tm_val.tm_min = min;
  tm_val.tm_sec = sec;
  tm_val.tm_isdst = 0;
  return std::mktime(&tm_val);
}

long GM_TIME_fmt_HHMM_to_seconds(const char *text) {
  return (field(text, 0, 1) * 10L + field(text, 1, 1)) * 3600L +
         (field(text, 2, 1) * 10L + field(text, 3, 1)) * 60L;
}

long GM_TIME_fmt_HHMMSS_to_seconds(const char *text) {
  return GM_TIME_fmt_HHMM_to_seconds(text) + field(text, 4, 1) * 10L + field(text, 5, 1);
}

void GM_TIME_bin_get_timer_diff(time_t t1, time_t t2, long *seconds) {
  if (seconds != nullptr) *seconds = absolute_diff(t1, t2);
}

void GM_TIME_bin_get_timer_elapsed(time_t t, long *seconds) {
  time_t now = 0;
  GM_TIME_bin_get_timer(&now);
  GM_TIME_bin_get_timer_diff(t, now, seconds);
}

void GM_TIME_bin_get_timer_string(time_t t, char *out) {
  if (out == nullptr) return;
  long seconds = 0;
  GM_TIME_bin_get_timer_elapsed(t, &seconds);
  elapsed_text(seconds, out);
}

void GM_TIME_get_delta_string(const char *text1, const char *text2, char *out) {
  if (out == nullptr) return;
  time_t t1 = 0;
  time_t t2 = 0;
  GM_TIME_fmt_to_bin(text1, &t1);
  GM_TIME_fmt_to_bin(text2, &t2);
  elapsed_text(absolute_diff(t1, t2), out);
}

void GM_TIME_bin_get_timer_elements(time_t t, int *sec, int *min, int *hour, int *day, int *month,
                                    int *year, int *week_day, int *year_day) {
  struct tm tm_val;
  if (!local_breakdown(t, &tm_val)) std::memset(&tm_val, 0, sizeof tm_val);
  if (sec != nullptr) *sec = tm_val.tm_sec;
  if (min != nullptr) *min = tm_val.tm_min;
  if (hour != nullptr) *hour = tm_val.tm_hour;
  if (day != nullptr) *day = tm_val.tm_mday;
  if (month != nullptr) *month = tm_val.tm_mon + 1;
  if (year != nullptr) *year = tm_val.tm_year + 1900;
  if (week_day != nullptr) *week_day = tm_val.tm_wday;
  if (year_day != nullptr) *year_day = tm_val.tm_yday;
}

void GM_TIME_bin_get_timer_date(time_t t, long *days) {
  if (days != nullptr) *days = static_cast<long>(t / 86400);
}

long GM_TIME_bin_timer_to_seconds(time_t t) {
  struct tm tm_val;
  if (!local_breakdown(t, &tm_val)) return 0;
  tm_val.tm_hour = 0;
  tm_val.tm_min = 0;
  tm_val.tm_sec = 0;
  tm_val.tm_isdst = g_isdst;
  return static_cast<long>(t - std::mktime(&tm_val));
}

char *GM_TIME_add_delta(const char *old_text, char *new_text, long seconds) {
  if (new_text == nullptr) return nullptr;
  time_t t = 0;
  GM_TIME_fmt_to_bin(old_text, &t);
  GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, t + seconds, new_text);
  return new_text;
}

char *GM_TIME_get_fmt_HHMM_delta(char *out, int minutes) {
  if (out == nullptr) return nullptr;
  time_t now = 0;
  GM_TIME_bin_get_timer(&now);
  const time_t moved = now + static_cast<time_t>(minutes) * 60;
  if (moved > 0) now = moved;
  struct tm tm_val;
  if (!local_breakdown(now, &tm_val)) {
    out[0] = '\0';
    return out;
  }
  put2(out, tm_val.tm_hour);
  put2(out + 2, tm_val.tm_min);
  out[4] = '\0';
  return out;
}

char *GM_TIME_fmt_get_month_name(const char *date, char *out) {
  if (out == nullptr) return nullptr;
  const int month = GM_TIME_fmt_get_month_number(date);
  std::memcpy(out, month >= 1 && month <= 12 ? kMonthNames[month - 1] : "   ", 4);
  return out;
}

char *GM_TIME_fmt_get_day_name(const char *date, char *out) {
  if (out == nullptr) return nullptr;
  int day = 0;
  if (GM_TIME_fmt_get_day_of_week(date, &day) == KX_SUCCESS) {
    std::memcpy(out, kDayNames[day - 1], 4);
  } else {
    out[0] = '\0';
  }
  return out;
}

KX_RC GM_TIME_fmt_get_day_of_week(const char *date, int *day) {
  // Noon keeps a daylight-saving shift from moving the date to another day.
  struct tm tm_val = date_breakdown(date, 12);
  tm_val.tm_isdst = -1;
  const int year = tm_val.tm_year;
  const int month = tm_val.tm_mon;
  const int mday = tm_val.tm_mday;
  const time_t t = std::mktime(&tm_val);
  const bool exists = tm_val.tm_year == year && tm_val.tm_mon == month && tm_val.tm_mday == mday;
  if (!exists || t < 0) {
    if (day != nullptr) *day = -1;
    return KX_FAIL;
  }
  if (day != nullptr) *day = tm_val.tm_wday + 1;
  return KX_SUCCESS;
}

int GM_TIME_fmt_date_to_julday(const char *date) {
  struct tm tm_val = date_breakdown(date, 0);
  std::mktime(&tm_val);
  return tm_val.tm_yday + 1;
}

long GM_TIME_fmt_date_to_int(const char *date) {
  struct tm tm_val = date_breakdown(date, 0);
  return static_cast<long>(std::mktime(&tm_val) / 86400) + 1;
}

long GM_TIME_fmt_compare_dates(const char *date1, const char *date2) {
  return GM_TIME_fmt_date_to_int(date1) - GM_TIME_fmt_date_to_int(date2);
}

GM_TIME_CMP_typ GM_TIME_fmt_compare(const char *text, long *gap) {
  time_t given = 0;
  time_t now = 0;
  GM_TIME_fmt_to_bin(text, &given);
  GM_TIME_bin_get_timer(&now);
  if (gap != nullptr) *gap = absolute_diff(given, now);
  if (given > now) return GM_TIME_GT;
  if (given == now) return GM_TIME_EQ;
  return GM_TIME_LT;
}

int GM_TIME_fmt_get_year_number(const char *date) { return field(date, 0, 4); }
int GM_TIME_fmt_get_month_number(const char *date) { return field(date, 4, 2); }
int GM_TIME_fmt_get_day_number(const char *date) { return field(date, 6, 2); }

int gm_time_int_year_to_full_year(int y) { return y + 1900; }

void GM_TIME_fmt_calcdate(char *date, int days) {
  DIAG_TRACE(2, "GM_TIME_fmt_calcdate: ODATE:%s, delta: %d", safe(date), days);
  if (date == nullptr || days == 0 || std::strlen(date) < 8) return;
  struct tm tm_val = date_breakdown(date, 12);
  tm_val.tm_mday += days;
  if (std::mktime(&tm_val) == static_cast<time_t>(-1)) return;
  char moved[kScratch + 1];
  // Only an eight-digit result fits the field; a year past 9999 leaves the
  // date as it was.
  if (std::strftime(moved, sizeof moved, "%Y%m%d", &tm_val) == 8) std::memcpy(date, moved, 8);
}

KX_RC GM_TIME_window_check(const char *from, const char *until, const char *job_date,
                           const char *curr_date, const char *day_start) {
  char curr[16] = {0};
  const int now = current_hhmm(curr);
  const char *dtime = safe(day_start);
  const char *dstart_text = dtime[0] != '\0' ? dtime + 1 : dtime;
  const int dstart = std::atoi(dstart_text);
  DIAG_TRACE(3, "GM_TIME_window_check_lower: curr:%s, from:%s, until:%s, dtime:%s", curr, safe(from),
             safe(until), dtime);

  if (is_blank(from) && is_blank(until)) {
    DIAG_TRACE(3, "OK:until='%s' and from='%s'", safe(until), safe(from));
    return KX_SUCCESS;
  }
  int from_n = 0;
  int until_n = 0;
  if (is_blank(from)) {
    from_n = dstart;
    DIAG_TRACE(3, "Set from to %s (old=%s)", dstart_text, safe(from));
  } else {
    from_n = std::atoi(from);
  }
  if (is_blank(until)) {
    until_n = dstart;
    DIAG_TRACE(3, "Set Until to %s (old=%s)", dstart_text, safe(until));
  } else if (until[0] == '>') {
    until_n = dstart;
    DIAG_TRACE(3, "Set Until to %s (old=%s)", dstart_text, until);
    if (std::atol(safe(job_date)) < std::atol(safe(curr_date))) {
      DIAG_TRACE(3, "Until=%s, Job's Odate:%s LT  Curr Odate:%s. Job ", until, safe(job_date),
                 safe(curr_date));
      return KX_SUCCESS;
    }
  } else {
    until_n = std::atoi(until);
  }

  bool inside = false;
  if (from_n < until_n) {
    inside = now >= from_n && now < until_n;
  } else {
    // The window runs over midnight.
    inside = !(now >= until_n && now < from_n);
  }
  return inside ? KX_SUCCESS : KX_FAIL;
}

int GM_TIME_daytime_delta(const char *daytime) {
  if (daytime == nullptr) return 0;
  char curr[16] = {0};
  const int now = current_hhmm(curr);
  const char *digits = daytime[0] == '+' || daytime[0] == '-' ? daytime + 1 : daytime;
  const int target = std::atoi(digits);
  if (std::strchr(daytime, '-') != nullptr) return now >= target ? 1 : 0;
  return now < target ? -1 : 0;
}

}  // extern "C"
