// Time texts, parsing, date arithmetic and the window test.
#include "gm_time.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "os_time.h"
#include "test_workdir.h"

namespace {

// Runs a test in a given time zone and restores the previous one.
class ScopedTz {
 public:
  explicit ScopedTz(const char *tz) {
    const char *old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

// Freezes the clock at a given local time: acceleration with factor 0 makes
// every reading the simulated date. The files live in the test's directory.
class FrozenClock {
 public:
  FrozenClock() {
    kx_common::os_time_test_reset(work_.path().c_str());
    setenv("WEXAGENT_TIME_ACC", "1", 1);
    OS_TIME_set_factor("0");
  }
  ~FrozenClock() {
    unsetenv("WEXAGENT_TIME_ACC");
    kx_common::os_time_test_reset(nullptr);
  }
  void at(const char *stamp) { ASSERT_EQ(OS_TIME_set_odate(stamp), KX_SUCCESS); }

 private:
  kxtest::TestWorkdir work_;
};

time_t utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm tm_val = {};
  tm_val.tm_year = y - 1900;
  tm_val.tm_mon = mo - 1;
  tm_val.tm_mday = d;
  tm_val.tm_hour = h;
  tm_val.tm_min = mi;
  tm_val.tm_sec = s;
  return timegm(&tm_val);
}

std::string ascii(GM_TIME_FMT_typ fmt, time_t t) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  GM_TIME_fmt_to_ascii(fmt, t, out);
  return out;
}

std::string ascii2(GM_TIME_FMT_typ fmt, time_t t, unsigned short ms) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  GM_TIME_fmt_to_ascii2(fmt, t, ms, out);
  return out;
}

std::string calcdate(const char *date, int days) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s", date);
  GM_TIME_fmt_calcdate(buf, days);
  return buf;
}

}  // namespace

TEST(GmTimeFormat, EverySecondsLayoutOfAFixedTime) {
  ScopedTz tz("UTC");
  const time_t t = utc(2026, 12, 7, 3, 45, 12);
  EXPECT_EQ(ascii(GM_TIME_FMT_HHMM, t), "0345");
  EXPECT_EQ(ascii(GM_TIME_FMT_HH_MM, t), "03:45");
  EXPECT_EQ(ascii(GM_TIME_FMT_DD_MMM_YYYY, t), "07-Dec-2026");
  EXPECT_EQ(ascii(GM_TIME_FMT_YYYYMMDD, t), "20261207");
  EXPECT_EQ(ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, t), "20261207034512");
  EXPECT_EQ(ascii(GM_TIME_FMT_YYYY_MM_DD_HH_MM_SS, t), "2026-12-07 03:45:12");
  EXPECT_EQ(ascii(GM_TIME_FMT_MMDD, t), "1207");
  EXPECT_EQ(ascii(GM_TIME_FMT_DDMMYYYY, t), "07122026");
  EXPECT_EQ(ascii(GM_TIME_FMT_HHMMSS, t), "034512");
  EXPECT_EQ(ascii(GM_TIME_FMT_HH_MM_SS, t), "03:45:12");
  // The millisecond layouts belong to the second operation only.
  EXPECT_EQ(ascii(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, t), "");
  EXPECT_EQ(ascii(static_cast<GM_TIME_FMT_typ>(-1), t), "");
  for (int f = 0; f <= 14; ++f) {
    const std::string text = f <= 9 ? ascii(static_cast<GM_TIME_FMT_typ>(f), t)
                                    : ascii2(static_cast<GM_TIME_FMT_typ>(f), t, 345);
    EXPECT_EQ(static_cast<int>(text.size()), GM_TIME_fmt_width(static_cast<GM_TIME_FMT_typ>(f))) << f;
  }
}

TEST(GmTimeFormat, MillisecondLayouts) {
  ScopedTz tz("UTC");
  const time_t t = utc(2026, 12, 7, 3, 45, 12);
  EXPECT_EQ(ascii2(GM_TIME_FMT_HH_MM_SS_CC, t, 345), "03:45:12:34");
  EXPECT_EQ(ascii2(GM_TIME_FMT_HH_MM_SS_CCC, t, 5), "03:45:12:005");
  EXPECT_EQ(ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, t, 345), "1207 03:45:12:345");
  EXPECT_EQ(ascii2(GM_TIME_FMT_HHMMSS_CCC, t, 7), "034512007");
  EXPECT_EQ(ascii2(GM_TIME_FMT_YYYYMMDD_HHMMSS_CCC, t, 999), "20261207034512999");
  EXPECT_EQ(ascii2(GM_TIME_FMT_YYYYMMDDHHMMSS, t, 345), "20261207034512");
  // A count of milliseconds that is no millisecond never widens the text.
  EXPECT_EQ(ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, t, 65535), "1207 03:45:12:999");
  EXPECT_EQ(ascii2(static_cast<GM_TIME_FMT_typ>(15), t, 1), "");
}

TEST(GmTimeFormat, EpochAndZones) {
  {
    ScopedTz tz("UTC");
    EXPECT_EQ(ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, 0), "19700101000000");
    char out[32];
    GM_TIME_fmt_get_time_zero(GM_TIME_FMT_YYYY_MM_DD_HH_MM_SS, out);
    EXPECT_STREQ(out, "1970-01-01 00:00:00");
  }
  ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, 0), "19700101010000");
  char out[32];
  GM_TIME_fmt_gmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, 0, out);
  EXPECT_STREQ(out, "19700101000000");
  // Summer time shows in the local text.
  EXPECT_EQ(ascii(GM_TIME_FMT_HHMM, utc(2026, 7, 1, 10, 0, 0)), "1200");
}

TEST(GmTimeFormat, LogStampIsTheLocalTimeNow) {
  ScopedTz tz("UTC");
  // gettimeofday, not time(): the coarse clock behind time() may still show
  // the previous second.
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const time_t before = tv.tv_sec;
  char out[32];
  std::memset(out, 'X', sizeof out);
  GM_TIME_fmt_get_time2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, out);
  gettimeofday(&tv, nullptr);
  const time_t after = tv.tv_sec;
  ASSERT_EQ(std::strlen(out), 17u);
  const std::string seconds_part(out, 13);
  EXPECT_TRUE(seconds_part == ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, before, 0).substr(0, 13) ||
              seconds_part == ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, after, 0).substr(0, 13))
      << out;
  EXPECT_EQ(out[13], ':');
  for (int i = 14; i < 17; ++i) EXPECT_TRUE(out[i] >= '0' && out[i] <= '9') << out;
}

TEST(GmTimeParse, NormalisesAndNeverReadsPastTheText) {
  ScopedTz tz("UTC");
  time_t t = 0;
  GM_TIME_fmt_to_bin("20260230000000", &t);
  EXPECT_EQ(ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, t), "20260302000000");
  GM_TIME_fmt_to_bin("20241231235959trailing", &t);
  EXPECT_EQ(t, utc(2024, 12, 31, 23, 59, 59));
  GM_TIME_fmt_to_bin("20260115", &t);  // no time part: midnight
  EXPECT_EQ(t, utc(2026, 1, 15, 0, 0, 0));
  EXPECT_EQ(GM_TIME_fmt_YYYYMMDDHHMMSS_to_seconds("20260101120000"), utc(2026, 1, 1, 12, 0, 0));
  EXPECT_EQ(GM_TIME_fmt_HHMM_to_seconds("0130"), 5400);
  EXPECT_EQ(GM_TIME_fmt_HHMMSS_to_seconds("013005"), 5405);
  EXPECT_EQ(GM_TIME_fmt_HHMM_to_seconds("01"), 3600);
}

TEST(GmTimeArithmetic, DeltasAndElapsedTexts) {
  ScopedTz tz("UTC");
  char out[64];
  EXPECT_STREQ(GM_TIME_add_delta("20241231235959", out, 1), "20250101000000");
  EXPECT_STREQ(GM_TIME_add_delta("20240301000000", out, -86400), "20240229000000");
  GM_TIME_get_delta_string("20260102010203", "20260101000000", out);
  EXPECT_STREQ(out, "1 days 1 hours 2 minutes 3 seconds");
  long seconds = 0;
  GM_TIME_bin_get_timer_diff(10, 100, &seconds);
  EXPECT_EQ(seconds, 90);
  const time_t t = utc(2024, 12, 31, 3, 45, 12);
  EXPECT_EQ(GM_TIME_bin_timer_to_seconds(t), 3 * 3600 + 45 * 60 + 12);
  long days = 0;
  GM_TIME_bin_get_timer_date(t, &days);
  EXPECT_EQ(days, (t - 13512) / 86400);
  int sec, min, hour, day, month, year, wday, yday;
  GM_TIME_bin_get_timer_elements(t, &sec, &min, &hour, &day, &month, &year, &wday, &yday);
  EXPECT_EQ(year, 2024);
  EXPECT_EQ(month, 12);
  EXPECT_EQ(day, 31);
  EXPECT_EQ(wday, 2);    // Tuesday
  EXPECT_EQ(yday, 365);  // leap year, counted from 0
  EXPECT_EQ(gm_time_int_year_to_full_year(126), 2026);
}

TEST(GmTimeDates, CalcdateAcrossMonthYearAndLeapDay) {
  ScopedTz tz("UTC");
  EXPECT_EQ(calcdate("20260228", 1), "20260301");
  EXPECT_EQ(calcdate("20240228", 1), "20240229");
  EXPECT_EQ(calcdate("20240229", 365), "20250228");
  EXPECT_EQ(calcdate("20241231", 1), "20250101");
  EXPECT_EQ(calcdate("20250101", -1), "20241231");
  EXPECT_EQ(calcdate("20250301", -1), "20250228");
  EXPECT_EQ(calcdate("20250301", 0), "20250301");
  EXPECT_EQ(calcdate("2025030", 5), "2025030");
  // Only the date moves; what follows it stays.
  EXPECT_EQ(calcdate("20261231XYZ", 1), "20270101XYZ");
  GM_TIME_fmt_calcdate(nullptr, 3);
}

TEST(GmTimeDates, CalcdateOverTheSpringChange) {
  ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(calcdate("20260328", 1), "20260329");
  EXPECT_EQ(calcdate("20260329", 1), "20260330");
  EXPECT_EQ(calcdate("20261025", -1), "20261024");
}

TEST(GmTimeDates, DayNumbersAndComparisons) {
  ScopedTz tz("UTC");
  EXPECT_EQ(GM_TIME_fmt_date_to_int("19700101"), 1);
  EXPECT_EQ(GM_TIME_fmt_date_to_int("19700102"), 2);
  EXPECT_EQ(GM_TIME_fmt_compare_dates("20240301", "20240228"), 2);
  EXPECT_EQ(GM_TIME_fmt_compare_dates("20250301", "20250228"), 1);
  EXPECT_EQ(GM_TIME_fmt_compare_dates("20251231", "20260101"), -1);
  EXPECT_EQ(GM_TIME_fmt_date_to_julday("20240101"), 1);
  EXPECT_EQ(GM_TIME_fmt_date_to_julday("20241231"), 366);
  EXPECT_EQ(GM_TIME_fmt_date_to_julday("20251231"), 365);
  EXPECT_EQ(GM_TIME_fmt_get_year_number("20260115"), 2026);
  EXPECT_EQ(GM_TIME_fmt_get_month_number("20260115"), 1);
  EXPECT_EQ(GM_TIME_fmt_get_day_number("20260115"), 15);
  EXPECT_EQ(GM_TIME_fmt_get_day_number("202601"), 0);
}

TEST(GmTimeDates, WeekDaysAndNames) {
  ScopedTz tz("UTC");
  int day = 0;
  EXPECT_EQ(GM_TIME_fmt_get_day_of_week("20260115", &day), KX_SUCCESS);
  EXPECT_EQ(day, 5);  // Thursday
  EXPECT_EQ(GM_TIME_fmt_get_day_of_week("20240229", &day), KX_SUCCESS);
  EXPECT_EQ(day, 5);
  EXPECT_EQ(GM_TIME_fmt_get_day_of_week("20250229", &day), KX_FAIL);
  EXPECT_EQ(day, -1);
  EXPECT_EQ(GM_TIME_fmt_get_day_of_week("19691231", &day), KX_FAIL);
  EXPECT_EQ(GM_TIME_fmt_get_day_of_week("19700101", &day), KX_SUCCESS);
  EXPECT_EQ(day, 5);
  char name[4];
  EXPECT_STREQ(GM_TIME_fmt_get_day_name("20260104", name), "SUN");
  EXPECT_STREQ(GM_TIME_fmt_get_day_name("20260110", name), "SAT");
  EXPECT_STREQ(GM_TIME_fmt_get_day_name("20260132", name), "");
  EXPECT_STREQ(GM_TIME_fmt_get_month_name("20261207", name), "DEC");
  EXPECT_STREQ(GM_TIME_fmt_get_month_name("20260115", name), "JAN");
  EXPECT_STREQ(GM_TIME_fmt_get_month_name("20261307", name), "   ");
  EXPECT_STREQ(GM_TIME_fmt_get_month_name("20260007", name), "   ");
}

TEST(GmTimeNow, ComparisonsAgainstAFrozenClock) {
  ScopedTz tz("UTC");
  FrozenClock clock;
  clock.at("20260115120000");
  long gap = -1;
  EXPECT_EQ(GM_TIME_fmt_compare("20260115120000", &gap), GM_TIME_EQ);
  EXPECT_EQ(gap, 0);
  EXPECT_EQ(GM_TIME_fmt_compare("20260115120100", &gap), GM_TIME_GT);
  EXPECT_EQ(gap, 60);
  EXPECT_EQ(GM_TIME_fmt_compare("20260114120000", &gap), GM_TIME_LT);
  EXPECT_EQ(gap, 86400);
  EXPECT_EQ(GM_TIME_daytime_delta("+1300"), -1);
  EXPECT_EQ(GM_TIME_daytime_delta("+1100"), 0);
  EXPECT_EQ(GM_TIME_daytime_delta("-1100"), 1);
  EXPECT_EQ(GM_TIME_daytime_delta("-1200"), 1);
  EXPECT_EQ(GM_TIME_daytime_delta("-1300"), 0);
  char out[8];
  clock.at("20260115233000");
  EXPECT_STREQ(GM_TIME_get_fmt_HHMM_delta(out, 45), "0015");
  EXPECT_STREQ(GM_TIME_get_fmt_HHMM_delta(out, -90), "2200");
  char elapsed[64];
  GM_TIME_bin_get_timer_string(utc(2026, 1, 14, 22, 29, 0), elapsed);
  EXPECT_STREQ(elapsed, "1 days 1 hours 1 minutes 0 seconds");
  char stamp[32];
  GM_TIME_fmt_get_time2(GM_TIME_FMT_YYYYMMDD_HHMMSS_CCC, stamp);
  EXPECT_EQ(std::string(stamp, 14), "20260115233000");
}

TEST(GmTimeWindow, OverMidnightAndDayStart) {
  ScopedTz tz("UTC");
  FrozenClock clock;
  clock.at("20260115233000");
  EXPECT_EQ(GM_TIME_window_check("2200", "0600", "20260115", "20260115", "+0700"), KX_SUCCESS);
  clock.at("20260116010000");
  EXPECT_EQ(GM_TIME_window_check("2200", "0600", "20260115", "20260115", "+0700"), KX_SUCCESS);
  clock.at("20260116120000");
  EXPECT_EQ(GM_TIME_window_check("2200", "0600", "20260115", "20260115", "+0700"), KX_FAIL);
  // A plain window is half-open: from is inside, until is not.
  EXPECT_EQ(GM_TIME_window_check("1200", "1300", "0", "0", "+0700"), KX_SUCCESS);
  EXPECT_EQ(GM_TIME_window_check("1100", "1200", "0", "0", "+0700"), KX_FAIL);
  EXPECT_EQ(GM_TIME_window_check("    ", "", "0", "0", "+0700"), KX_SUCCESS);
  EXPECT_EQ(GM_TIME_window_check(nullptr, nullptr, nullptr, nullptr, nullptr), KX_SUCCESS);
  // A missing from opens the window at the day start.
  EXPECT_EQ(GM_TIME_window_check("    ", "1300", "0", "0", "+0700"), KX_SUCCESS);
  EXPECT_EQ(GM_TIME_window_check("    ", "1100", "0", "0", "+0700"), KX_FAIL);
  // A missing until closes it at the day start (here: over midnight).
  EXPECT_EQ(GM_TIME_window_check("1300", "", "0", "0", "+0700"), KX_FAIL);
  EXPECT_EQ(GM_TIME_window_check("1100", "", "0", "0", "+0700"), KX_SUCCESS);
  // '>' until: an older job passes at once; a current one is checked.
  EXPECT_EQ(GM_TIME_window_check("1300", ">", "20260114", "20260115", "+0700"), KX_SUCCESS);
  EXPECT_EQ(GM_TIME_window_check("1300", ">", "20260115", "20260115", "+0700"), KX_FAIL);
}
