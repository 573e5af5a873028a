#include "os_time.h"

#include <errno.h>
#include <limits.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gm_time.h"

extern "C" {
// The agent's process layer names its processes; this library has none, so
// the reference is weak and an absent definition reads as an empty name.
extern char OS_PROC_name[] __attribute__((weak));
}

namespace {

enum class Accel { kUndetermined, kActive, kInactive };

constexpr char kDefaultDir[] = "/tmp";
constexpr char kFactorFile[] = "WEXAGENT_FACTOR";
constexpr char kStartFile[] = "WEXAGENT_START_SYS";
constexpr char kOdateFile[] = "WEXAGENT_ODAT";
constexpr size_t kWordSize = 20;  // one word of at most 19 characters
constexpr size_t kWordArea = 512;  // bytes of a time file looked at

Accel g_accel = Accel::kUndetermined;
time_t g_sim_start = 0;
char g_dir[PATH_MAX] = "/tmp";

bool acceleration_active() {
  if (g_accel == Accel::kUndetermined) {
    g_accel = std::getenv("WEXAGENT_TIME_ACC") != nullptr ? Accel::kActive : Accel::kInactive;
  }
  return g_accel == Accel::kActive;
}

void build_path(char *out, size_t size, const char *name) {
  std::snprintf(out, size, "%s/%s", g_dir, name);
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the first whitespace-delimited word of the file, at most 19
// characters of it. Only the file's first kWordArea bytes are looked at, so
// a file that never ends (or never stops being blank) costs one small read.
// Plain stdio on purpose: the clock runs inside the log writer and must not
// log.
bool read_word(const char *name, char *out) {
  char path[PATH_MAX + 32];
  build_path(path, sizeof path, name);
  FILE *fp = std::fopen(path, "r");
  if (fp == nullptr) return false;
  char area[kWordArea];
  const size_t n = std::fread(area, 1, sizeof area, fp);
  std::fclose(fp);
  size_t start = 0;
  while (start < n && is_blank(area[start])) ++start;
  size_t len = 0;
  while (start + len < n && len < kWordSize - 1 && area[start + len] != '\0' &&
         !is_blank(area[start + len]))
    ++len;
  if (len == 0) return false;
  std::memset(out, 0, kWordSize);
  std::memcpy(out, area + start, len);
  return true;
}

bool write_word(const char *name, const char *word) {
  if (word == nullptr) return false;
  char path[PATH_MAX + 32];
  build_path(path, sizeof path, name);
  FILE *fp = std::fopen(path, "w");
  if (fp == nullptr) return false;
  const bool written = std::fprintf(fp, "%s\n", word) >= 0;
  return std::fclose(fp) == 0 && written;
}

bool remove_file(const char *name) {
  char path[PATH_MAX + 32];
  build_path(path, sizeof path, name);
  return ::unlink(path) == 0;
}

// A time file holds a time only when it starts with 14 digits; anything
// else would be normalised into a meaningless date.
bool holds_stamp(const char *word) {
  for (int i = 0; i < 14; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(word[i]))) return false;
  }
  return true;
}

bool parse_factor(const char *word, long *factor) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(word, &end, 10);
  if (end == word || *end != '\0' || errno == ERANGE) return false;
  *factor = value;
  return true;
}

bool read_stamp(const char *name, time_t *t) {
  char word[kWordSize];
  if (!read_word(name, word) || !holds_stamp(word)) return false;
  GM_TIME_fmt_to_bin(word, t);
  return true;
}

time_t simulation_start(time_t real_now) {
  if (g_sim_start != 0) return g_sim_start;
  // The supervisor process starts a fresh simulation for the whole host.
  if (OS_PROC_name != nullptr && std::strcmp(OS_PROC_name, "SU") == 0) remove_file(kStartFile);
  time_t start = 0;
  if (!read_stamp(kStartFile, &start)) {
    char stamp[kWordSize] = {0};
    GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, real_now, stamp);
    write_word(kStartFile, stamp);  // unwritable: the start lives in memory only
    start = real_now;
  }
  g_sim_start = start;
  return start;
}

}  // namespace

namespace kx_common {

void bin_get_timer_us(time_t *t, unsigned short *ms, int *us_in_ms) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  time_t now = tv.tv_sec;
  OS_TIME_acceleration(&now);
  if (t != nullptr) *t = now;
  if (ms != nullptr) *ms = static_cast<unsigned short>(tv.tv_usec / 1000);
  if (us_in_ms != nullptr) *us_in_ms = static_cast<int>(tv.tv_usec % 1000);
}

void os_time_test_reset(const char *dir) {
  std::snprintf(g_dir, sizeof g_dir, "%s", dir != nullptr ? dir : kDefaultDir);
  g_accel = Accel::kUndetermined;
  g_sim_start = 0;
}

}  // namespace kx_common

extern "C" {

void OS_TIME_get_hr_time(time_t *t, int *ms) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  if (t != nullptr) *t = tv.tv_sec;
  if (ms != nullptr) *ms = static_cast<int>(tv.tv_usec / 1000);
}

void OS_TIME_bin_get_timer2(time_t *t, unsigned short *ms) {
  kx_common::bin_get_timer_us(t, ms, nullptr);
}

void OS_TIME_acceleration(time_t *t) {
  if (t == nullptr || !acceleration_active()) return;
  char word[kWordSize];
  long factor = 0;
  if (!read_word(kFactorFile, word) || !parse_factor(word, &factor)) return;
  const time_t start = simulation_start(*t);
  time_t base = start;
  if (!read_stamp(kOdateFile, &base)) base = start;
  long scaled = 0;
  long result = 0;
  // A factor so large that the simulated clock overflows is no clock at
  // all: keep the real time rather than wrap around.
  if (__builtin_mul_overflow(factor, static_cast<long>(*t - start), &scaled) ||
      __builtin_add_overflow(scaled, static_cast<long>(base), &result)) {
    return;
  }
  *t = static_cast<time_t>(result);
}

KX_RC OS_TIME_sleep(long seconds) {
  if (seconds <= 0) return KX_SUCCESS;
  struct timespec left = {static_cast<time_t>(seconds), 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return KX_SUCCESS;
}

KX_RC os_time_sleep_select(long seconds) {
  struct timeval tv = {static_cast<time_t>(seconds), 0};
  if (::select(0, nullptr, nullptr, nullptr, &tv) < 0) {
    std::perror("select - os_time_sleep_select");
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC OS_TIME_timer(int start_or_stop, OS_TIME_TIMER_typ *timer) {
  if (timer == nullptr) return KX_FAIL;
  if (start_or_stop == 0) {
    ::gettimeofday(&timer->time_before, nullptr);
    timer->cpu_time = 0;
    timer->real_time = 0;
    return KX_SUCCESS;
  }
  struct timeval now;
  ::gettimeofday(&now, nullptr);
  const long long usec = (static_cast<long long>(now.tv_sec) - timer->time_before.tv_sec) * 1000000LL +
                         (now.tv_usec - timer->time_before.tv_usec);
  timer->real_time = static_cast<long>(usec / 10000);
  const clock_t cpu = std::clock();
  timer->cpu_time =
      cpu == static_cast<clock_t>(-1) ? 0 : static_cast<long>(cpu / (CLOCKS_PER_SEC / 100));
  return KX_SUCCESS;
}

KX_RC OS_TIME_get_factor(char *out) {
  if (out == nullptr || !acceleration_active()) return KX_FAIL;
  return read_word(kFactorFile, out) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_TIME_get_odate(char *out) {
  if (out == nullptr) return KX_FAIL;
  return read_word(kOdateFile, out) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_TIME_get_sdate(char *out) {
  if (out == nullptr) return KX_FAIL;
  return read_word(kStartFile, out) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_TIME_set_factor(const char *text) { return write_word(kFactorFile, text) ? KX_SUCCESS : KX_FAIL; }
KX_RC OS_TIME_set_odate(const char *text) { return write_word(kOdateFile, text) ? KX_SUCCESS : KX_FAIL; }
KX_RC OS_TIME_set_sdate(const char *text) { return write_word(kStartFile, text) ? KX_SUCCESS : KX_FAIL; }

KX_RC OS_TIME_delete_factor(void) { return remove_file(kFactorFile) ? KX_SUCCESS : KX_FAIL; }
KX_RC OS_TIME_delete_odate(void) { return remove_file(kOdateFile) ? KX_SUCCESS : KX_FAIL; }
KX_RC OS_TIME_delete_sdate(void) { return remove_file(kStartFile) ? KX_SUCCESS : KX_FAIL; }

long OS_TIME_creat_uniq(void) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  const time_t now = tv.tv_sec;
  struct tm tm_now;
  ::tzset();
  if (::localtime_r(&now, &tm_now) == nullptr) return 0;
  return tm_now.tm_hour * 10000000L + tm_now.tm_min * 100000L + tm_now.tm_sec * 1000L +
         static_cast<long>(tv.tv_usec / 1000);
}

}  // extern "C"
