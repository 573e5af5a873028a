// Clock acceleration, sleeping and the interval timer.
#include "os_time.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "gm_time.h"
#include "test_workdir.h"

// The agent's process layer names its processes through this variable; the
// library only reads it. Defined here so a test can play the supervisor.
extern "C" char OS_PROC_name[100];
char OS_PROC_name[100] = "";

namespace {

// Acceleration files in a fresh directory of the test's own; the activity
// decision starts undetermined again and the environment is restored.
class Acceleration : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    kx_common::os_time_test_reset(work_.path().c_str());
  }
  void TearDown() override {
    unsetenv("WEXAGENT_TIME_ACC");
    OS_PROC_name[0] = '\0';
    kx_common::os_time_test_reset(nullptr);
  }
  static std::string stamp(time_t t) {
    char out[32];
    GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, t, out);
    return out;
  }
  std::string file(const char *name) const { return work_.file(name); }

  kxtest::TestWorkdir work_;
};

}  // namespace

TEST_F(Acceleration, InactiveWithoutTheVariableEvenWithAFactor) {
  unsetenv("WEXAGENT_TIME_ACC");
  kxtest::TestWorkdir &w = work_;
  w.write("WEXAGENT_FACTOR", "60\n");
  time_t t = 1000000;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1000000);
  char word[20];
  EXPECT_EQ(OS_TIME_get_factor(word), KX_FAIL);
  // The decision is taken once: setting the variable later changes nothing.
  setenv("WEXAGENT_TIME_ACC", "", 1);
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1000000);
  EXPECT_FALSE(kxtest::file_exists(file("WEXAGENT_START_SYS")));
}

TEST_F(Acceleration, FactorSixtyOneMinuteAfterTheStartReadsOneHourLater) {
  setenv("WEXAGENT_TIME_ACC", "", 1);  // any value, even empty, means active
  const time_t now = time(nullptr);
  const time_t start = now - 60;
  work_.write("WEXAGENT_FACTOR", "60\n");
  work_.write("WEXAGENT_START_SYS", stamp(start) + "\n");
  time_t before = time(nullptr);
  time_t reading = 0;
  GM_TIME_bin_get_timer(&reading);
  time_t after = time(nullptr);
  EXPECT_GE(reading, start + 60 * (before - start));
  EXPECT_LE(reading, start + 60 * (after - start));
  EXPECT_GE(reading, start + 3600);

  // The millisecond clock of the log follows the same simulated time.
  time_t t2 = 0;
  unsigned short ms = 0;
  OS_TIME_bin_get_timer2(&t2, &ms);
  EXPECT_GE(t2, reading);
  EXPECT_LT(ms, 1000);

  // Without the factor file the next reading is real time again.
  ASSERT_EQ(OS_TIME_delete_factor(), KX_SUCCESS);
  before = time(nullptr);
  GM_TIME_bin_get_timer(&reading);
  after = time(nullptr);
  EXPECT_GE(reading, before);
  EXPECT_LE(reading, after);
}

TEST_F(Acceleration, FirstUseWritesTheStartAndASimulatedDateIsTheBase) {
  setenv("WEXAGENT_TIME_ACC", "yes", 1);
  ASSERT_EQ(OS_TIME_set_factor("2"), KX_SUCCESS);
  const time_t real = 2000000000;
  time_t t = real;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, real);  // at the start, the simulation is the real time
  char word[20];
  ASSERT_EQ(OS_TIME_get_sdate(word), KX_SUCCESS);
  EXPECT_EQ(std::string(word), stamp(real));

  t = real + 100;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, real + 200);

  // The base file is read on every reading.
  ASSERT_EQ(OS_TIME_set_odate("20260101000000"), KX_SUCCESS);
  t = real + 100;
  OS_TIME_acceleration(&t);
  time_t base = 0;
  GM_TIME_fmt_to_bin("20260101000000", &base);
  EXPECT_EQ(t, base + 200);

  // The start stays as first taken, even when the file changes.
  ASSERT_EQ(OS_TIME_set_sdate("20000101000000"), KX_SUCCESS);
  t = real + 100;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, base + 200);
}

TEST_F(Acceleration, UnusableFilesNeverBreakTheClock) {
  setenv("WEXAGENT_TIME_ACC", "1", 1);
  work_.write("WEXAGENT_FACTOR", "");
  time_t t = 1234567;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1234567);
  work_.write("WEXAGENT_FACTOR", "fast\n");
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1234567);
  // A start file without a time is replaced by the current reading.
  work_.write("WEXAGENT_FACTOR", "3\n");
  work_.write("WEXAGENT_START_SYS", "garbage\n");
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1234567);
  EXPECT_EQ(kxtest::read_file(file("WEXAGENT_START_SYS")), stamp(1234567) + "\n");
  // A factor that would overflow the clock keeps real time.
  work_.write("WEXAGENT_FACTOR", "9000000000000000000\n");
  t = 1234567 + 10;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1234567 + 10);
}

TEST_F(Acceleration, TheSupervisorStartsAFreshSimulation) {
  setenv("WEXAGENT_TIME_ACC", "1", 1);
  std::snprintf(OS_PROC_name, sizeof OS_PROC_name, "SU");
  work_.write("WEXAGENT_FACTOR", "10\n");
  work_.write("WEXAGENT_START_SYS", "20000101000000\n");
  const time_t real = 1800000000;
  time_t t = real;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, real);
  EXPECT_EQ(kxtest::read_file(file("WEXAGENT_START_SYS")), stamp(real) + "\n");
}

TEST_F(Acceleration, FileWordsSetGetDelete) {
  setenv("WEXAGENT_TIME_ACC", "1", 1);
  char word[20];
  EXPECT_EQ(OS_TIME_get_odate(word), KX_FAIL);
  EXPECT_EQ(OS_TIME_delete_odate(), KX_FAIL);
  // Only the first word of at most 19 characters is taken.
  work_.write("WEXAGENT_ODAT", "  12345678901234567890123 second\n");
  ASSERT_EQ(OS_TIME_get_odate(word), KX_SUCCESS);
  EXPECT_STREQ(word, "1234567890123456789");
  ASSERT_EQ(OS_TIME_set_factor("5"), KX_SUCCESS);
  ASSERT_EQ(OS_TIME_set_factor("7"), KX_SUCCESS);
  ASSERT_EQ(OS_TIME_get_factor(word), KX_SUCCESS);
  EXPECT_STREQ(word, "7");
  EXPECT_EQ(OS_TIME_delete_factor(), KX_SUCCESS);
  EXPECT_EQ(OS_TIME_get_factor(word), KX_FAIL);
  EXPECT_EQ(OS_TIME_set_sdate(nullptr), KX_FAIL);
}

// The files live in a shared directory anyone may write: only their first
// 512 bytes are looked at, so a link to a device that never ends costs one
// small read.
TEST_F(Acceleration, OnlyTheStartOfATimeFileIsRead) {
  setenv("WEXAGENT_TIME_ACC", "1", 1);
  char word[20];
  ASSERT_EQ(symlink("/dev/zero", file("WEXAGENT_FACTOR").c_str()), 0);
  EXPECT_EQ(OS_TIME_get_factor(word), KX_FAIL);
  time_t t = 1234567;
  OS_TIME_acceleration(&t);
  EXPECT_EQ(t, 1234567);
  work_.write("WEXAGENT_ODAT", std::string(511, ' ') + "20240101");
  ASSERT_EQ(OS_TIME_get_odate(word), KX_SUCCESS);
  EXPECT_STREQ(word, "2");
  work_.write("WEXAGENT_ODAT", std::string(512, '\n') + "20240101");
  EXPECT_EQ(OS_TIME_get_odate(word), KX_FAIL);
}

TEST(OsTime, SleepReturnsAtOnceForNothingAndWaitsOtherwise) {
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OS_TIME_sleep(0), KX_SUCCESS);
  EXPECT_EQ(OS_TIME_sleep(-5), KX_SUCCESS);
  EXPECT_EQ(os_time_sleep_select(0), KX_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OS_TIME_sleep(1), KX_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(990));
}

TEST(OsTime, IntervalTimerInHundredths) {
  OS_TIME_TIMER_typ timer;
  std::memset(&timer, 0xff, sizeof timer);
  ASSERT_EQ(OS_TIME_timer(0, &timer), KX_SUCCESS);
  usleep(120000);
  ASSERT_EQ(OS_TIME_timer(1, &timer), KX_SUCCESS);
  EXPECT_GE(timer.real_time, 11);
  EXPECT_LT(timer.real_time, 100);
  EXPECT_GE(timer.cpu_time, 0);
  EXPECT_EQ(OS_TIME_timer(1, nullptr), KX_FAIL);
}

TEST(OsTime, UniqueNumberFromTheTimeOfDay) {
  setenv("TZ", "UTC", 1);
  tzset();
  // The number comes from gettimeofday; time() may lag a second behind it.
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const time_t before = tv.tv_sec;
  const long n = OS_TIME_creat_uniq();
  gettimeofday(&tv, nullptr);
  const time_t after = tv.tv_sec;
  auto expected = [](time_t t) {
    struct tm tm_val;
    gmtime_r(&t, &tm_val);
    return tm_val.tm_hour * 10000000L + tm_val.tm_min * 100000L + tm_val.tm_sec * 1000L;
  };
  EXPECT_TRUE((n - expected(before) >= 0 && n - expected(before) < 1000) ||
              (n - expected(after) >= 0 && n - expected(after) < 1000))
      << n;
  int hr_ms = -1;
  time_t hr = 0;
  OS_TIME_get_hr_time(&hr, &hr_ms);
  EXPECT_GE(hr, before);
  EXPECT_GE(hr_ms, 0);
  EXPECT_LT(hr_ms, 1000);
}
