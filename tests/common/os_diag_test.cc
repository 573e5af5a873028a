// os_diag_test.cc - the process log: levels, line writer, buffered mode dump,
// rotation and the two message formatters.

#include "os_diag.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "gm_param.h"
#include "gm_time.h"
#include "os_time.h"
#include "test_workdir.h"

namespace {

using kxtest::file_exists;
using kxtest::read_file;
using kxtest::TestWorkdir;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Every case starts from load-time state, even when the cases share a process.
class OsDiag : public testing::Test {
 protected:
  void SetUp() override {
    kx::diag::reset_state();
    GM_PARAM_clear();
  }
  void TearDown() override {
    kx::diag::reset_state();
    GM_PARAM_clear();
  }
  static std::string log() { return read_file(os_diag_file_name); }
};

// True when text holds a time stamp MMDD HH:MM:SS:mmm at pos.
bool stamp_at(const std::string& text, size_t pos) {
  static const char shape[] = "dddd dd:dd:dd:ddd";
  if (pos + 17 > text.size()) return false;
  for (size_t i = 0; i < 17; ++i) {
    char c = text[pos + i];
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(c)) : c != shape[i]) return false;
  }
  return true;
}

std::string stamps_hidden(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (stamp_at(text, i)) {
      out += "STAMP";
      i += 17;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// A text that makes the whole line, with stamp and the name "AS", `total` bytes long.
std::string text_for_line(const std::string& head, size_t total) {
  size_t text_len = total - (17 + 1 + 2 + 1 + 1);
  std::string text = head;
  text.resize(text_len, '.');
  return text;
}

// What the dump shows for the agent's installed versions in this environment.
std::string versions_block() {
  struct stat st;
  if (stat(".", &st) != 0) return "failed to get agent directory\n";
  struct passwd* pw = getpwuid(st.st_uid);
  if (pw == nullptr) return "failed to get agent directory\n";
  std::string path = std::string(pw->pw_dir) + "/installed-versions.txt";
  if (file_exists(path)) return read_file(path);
  return "failed to open input file '" + path + "'\n";
}

std::string dump(const std::string& error_line, const std::string& older,
                 const std::string& active, int interval) {
  return "STAMP: Orvanta/Agent has encountered the following critical error:\n\n" + error_line +
         "\n" + versions_block() + "\nFull debug log containing the error:\n\n" +
         ">>> Start dump non active buffer\n" + older + ">>> End dump non active buffer\n" +
         ">>> Start dump active buffer\n" + active + error_line +
         ">>> End dump active buffer\n" +
         "\nContinue generating debug information. Debug level will reset in " +
         std::to_string(interval) + " seconds.\n\n";
}

int g_formatted = 0;
int formatted() { return ++g_formatted; }

TEST_F(OsDiag, OutOfRangeLevelsWarnOnStderrAndBecomeZero) {
  DIAG_set_debug_level(4);
  CaptureStderr();
  DIAG_set_debug_level(9);
  DIAG_set_active_level(-1);
  DIAG_set_buffered_level(7);
  EXPECT_EQ(GetCapturedStderr(),
            "Warning: debug level 9 is not in the range of 0-6.\n"
            "It will be set to 0 by default.\n"
            "Warning: active debug level -1 is not in the range of 0-6.\n"
            "It will be set to 0 by default.\n"
            "Warning: buffered debug level 7 is not in the range of 0-6.\n"
            "It will be set to 0 by default.\n");
  EXPECT_EQ(DIAG_debug_level(), 0);
  EXPECT_EQ(DIAG_active_level(), 0);
  EXPECT_EQ(DIAG_buffered_level(), 0);

  CaptureStderr();
  DIAG_set_debug_level(6);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(DIAG_debug_level(), 6);
}

TEST_F(OsDiag, IndexedLevels) {
  DIAG_set_debug_level2(3, 0);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(DIAG_debug_level2(i), 3) << i;
  DIAG_set_debug_level2(42, 7);  // no range check on the level
  EXPECT_EQ(DIAG_debug_level2(7), 42);
  EXPECT_EQ(DIAG_debug_level(), 3);
  DIAG_set_debug_level(5);
  EXPECT_EQ(DIAG_debug_level2(1), 3);
  DIAG_set_debug_level2(1, 32);  // outside the array: ignored
  DIAG_set_debug_level2(1, -1);
  EXPECT_EQ(DIAG_debug_level2(32), 0);
  EXPECT_EQ(DIAG_debug_level2(-1), 0);
}

TEST_F(OsDiag, MessageDisplayCutsAtItsArea) {
  std::string big(6000, 'm');
  CaptureStderr();
  OS_MSGERR_display("%s", big.c_str());
  OS_MSGERR_display("%d%%", 50);
  EXPECT_EQ(GetCapturedStderr(), std::string(5119, 'm') + "\n50%\n");
}

TEST_F(OsDiag, DebugLevelThreeWritesUpToThreeAndFormatsFourOnly) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  DIAG_set_debug_level(3);
  DIAG_TRACE(4, "four %d", formatted());
  DIAG_TRACE(6, "six %d", formatted());
  EXPECT_EQ(g_formatted, 1);  // level 4 passes the buffered level, level 6 does not
  DIAG_ERROR("error");
  DIAG_TRACE(1, "one");
  DIAG_TRACE(3, "three %s", "x");
  std::string text = log();
  EXPECT_TRUE(stamp_at(text, 0) && text.compare(17, 5, " AS:e") == 0) << text;
  EXPECT_EQ(stamps_hidden(text), "STAMP AS:error\nSTAMP AS:one\nSTAMP AS:three x\n");
  EXPECT_EQ(DIAG_active_level(), 0);
}

TEST_F(OsDiag, TextsAreWrittenUnchangedAndCut) {
  TestWorkdir wd;
  OS_DIAG_initialize(nullptr, "AS");
  DIAG_set_debug_level(2);
  DIAG_print_text("100%s %d%% done");
  std::string big(40000, 'x');
  DIAG_printf("%s", big.c_str());
  DIAG_print_text(big.c_str());
  EXPECT_EQ(PEXAPI_UTILS_DiagPrintf(2, "two %d", 2), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_UTILS_DiagPrintf(3, "three"), PEX_SUCCESS);
  PEXAPI_UTILS_DiagPrintf(1, "%s", big.c_str());
  std::string cut = std::string(OS_DIAG_MAX_TEXT, 'x');
  EXPECT_EQ(stamps_hidden(log()), "STAMP AS:100%s %d%% done\nSTAMP AS:" + cut + "\nSTAMP AS:" + cut +
                                      "\nSTAMP AS:two 2\nSTAMP AS:" + std::string(4999, 'x') +
                                      "\n");
}

TEST_F(OsDiag, NothingReachesAFileBeforeInitialize) {
  TestWorkdir wd;
  DIAG_TRACE(4, "early");
  DIAG_ERROR("early error");
  EXPECT_GT(debug_index, 0);
  EXPECT_TRUE(std::filesystem::is_empty("proclog"));
  OS_DIAG_initialize("", "AS");
  EXPECT_EQ(debug_index, 0);
  EXPECT_EQ(debug_buff[0][0], '\0');
  EXPECT_EQ(std::string(os_diag_file_name), "./proclog/AS_" + std::to_string(getpid()) + ".log");
}

TEST_F(OsDiag, NewLogFileGetsModeAndOwner) {
  TestWorkdir wd;
  mode_t old_mask = umask(077);
  OS_DIAG_initialize("", "AS");
  DIAG_set_debug_level(1);
  DIAG_ERROR("first");
  struct stat st, dir;
  ASSERT_EQ(stat(os_diag_file_name, &st), 0);
  ASSERT_EQ(stat(".", &dir), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, dir.st_uid);
  EXPECT_EQ(st.st_gid, dir.st_gid);
  // Only a new file is given its mode.
  chmod(os_diag_file_name, 0600);
  DIAG_ERROR("second");
  ASSERT_EQ(stat(os_diag_file_name, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  umask(old_mask);
}

TEST_F(OsDiag, NewLogFileModeFromProclogMode) {
  TestWorkdir wd;
  wd.write_table("OS", "PROCLOG_MODE 0640\n");
  mode_t old_mask = umask(0);
  OS_DIAG_initialize("", "AS");
  DIAG_set_debug_level(5);
  DIAG_ERROR("line");
  struct stat st;
  ASSERT_EQ(stat(os_diag_file_name, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  umask(old_mask);
  // The lookup's own traces did not end up in the file.
  EXPECT_EQ(stamps_hidden(log()), "STAMP AS:line\n");
}

TEST_F(OsDiag, ErrorLineInBufferedModeDumpsOlderHalfFirst) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  // 200 lines of 200 bytes: 163 fill the first half (32,600 bytes), the 164th
  // does not fit and starts the second.
  std::string lines[2];
  for (int i = 0; i < 200; ++i) {
    std::string text = text_for_line("trace " + std::to_string(i) + " ", 200);
    DIAG_TRACE(4, "%s", text.c_str());
    lines[i < 163 ? 0 : 1] += "STAMP AS:" + text + "\n";
  }
  EXPECT_FALSE(file_exists(os_diag_file_name));
  EXPECT_EQ(active_buff, 1);
  EXPECT_EQ(debug_index, 37 * 200);

  DIAG_ERROR("boom %d", 1);
  EXPECT_EQ(stamps_hidden(log()), dump("STAMP AS:boom 1\n", lines[0], lines[1], 600));
  EXPECT_EQ(DIAG_debug_level(), 5);
  EXPECT_EQ(debug_index, 0);
  EXPECT_EQ(debug_buff[0][0], '\0');
  EXPECT_EQ(debug_buff[1][0], '\0');

  size_t before = log().size();
  DIAG_TRACE(4, "straight to the file");
  EXPECT_EQ(stamps_hidden(log().substr(before)), "STAMP AS:straight to the file\n");
}

TEST_F(OsDiag, SwitchedHalfStartsOver) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  for (int i = 0; i < 32; ++i) DIAG_TRACE(4, "%s", text_for_line("old", 1000).c_str());
  ASSERT_EQ(debug_index, 32000);
  std::string second = "STAMP AS:" + text_for_line("eight hundred", 800) + "\n";
  DIAG_TRACE(5, "%s", text_for_line("eight hundred", 800).c_str());
  EXPECT_EQ(active_buff, 1);
  EXPECT_EQ(debug_index, 800);
  for (int i = 0; i < 31; ++i) {
    DIAG_TRACE(4, "%s", text_for_line("second", 1000).c_str());
    second += "STAMP AS:" + text_for_line("second", 1000) + "\n";
  }
  // Back to the first half, which now holds only what follows.
  DIAG_TRACE(4, "%s", text_for_line("marker", 1000).c_str());
  EXPECT_EQ(active_buff, 0);
  DIAG_ERROR("boom");
  std::string marker = "STAMP AS:" + text_for_line("marker", 1000) + "\n";
  EXPECT_EQ(stamps_hidden(log()), dump("STAMP AS:boom\n", second, marker, 600));
}

TEST_F(OsDiag, OverlongLineIsCutToOneHalf) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  DIAG_TRACE(4, "short");
  std::string big(40000, 'y');
  DIAG_set_active_level(4);
  DIAG_print_text(big.c_str());
  DIAG_set_active_level(0);
  ASSERT_EQ(active_buff, 1);
  ASSERT_EQ(debug_index, OS_DIAG_HALF_SIZE - 1);
  EXPECT_EQ(debug_buff[1][OS_DIAG_HALF_SIZE - 2], '\n');
  EXPECT_EQ(debug_buff[1][OS_DIAG_HALF_SIZE - 1], '\0');
  DIAG_TRACE(4, "after");
  EXPECT_EQ(active_buff, 0);
  DIAG_ERROR("boom");
  std::string cut = "STAMP AS:" + std::string(OS_DIAG_HALF_SIZE - 1 - 22, 'y') + "\n";
  EXPECT_EQ(stamps_hidden(log()), dump("STAMP AS:boom\n", cut, "STAMP AS:after\n", 600));
}

TEST_F(OsDiag, RaisedLevelFallsBackAfterResetInterval) {
  TestWorkdir wd;
  wd.write_table("CONFIG", "DBG_RESET_INTERVAL 60\n");
  OS_DIAG_initialize("", "AS");
  DIAG_ERROR("boom");
  EXPECT_NE(log().find("Debug level will reset in 60 seconds."), std::string::npos);
  ASSERT_EQ(DIAG_debug_level(), 5);
  ASSERT_NE(kx::diag::raised_period_start(), 0);

  kx::diag::set_raised_period_start(time(nullptr) - 59);
  size_t before = log().size();
  DIAG_TRACE(4, "inside");
  EXPECT_EQ(DIAG_debug_level(), 5);

  kx::diag::set_raised_period_start(time(nullptr) - 61);
  DIAG_TRACE(4, "late");
  EXPECT_EQ(stamps_hidden(log().substr(before)),
            "STAMP AS:inside\nSTAMP AS:late\nSTAMP AS:Reseting debug level to 0 after 60 seconds\n");
  EXPECT_EQ(DIAG_debug_level(), 0);
  EXPECT_EQ(kx::diag::raised_period_start(), 0);

  before = log().size();
  DIAG_TRACE(4, "buffered again");
  EXPECT_EQ(log().size(), before);
}

TEST_F(OsDiag, DiagPrintfAtLevelZeroIsACriticalEvent) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  PEXAPI_UTILS_DiagPrintf(0, "crit %s", "now");
  EXPECT_EQ(stamps_hidden(log()), dump("STAMP AS:crit now\n", "", "", 600));
}

TEST_F(OsDiag, RotationOnlyForAgentProcessNames) {
  TestWorkdir wd;
  for (const char* name : {"AG", "AT", "AR", "WK", "ATW7", "ATW12"}) {
    OS_DIAG_initialize("", name);
    EXPECT_EQ(is_log_versions_enabled, 1) << name;
    EXPECT_EQ(limit_log_file_size, 10485760);
    EXPECT_EQ(limit_log_versions, 10);
  }
  for (const char* name : {"ATWX", "ATW", "AS", "at", "AGX", ""}) {
    OS_DIAG_initialize("", name);
    EXPECT_EQ(is_log_versions_enabled, 0) << name;
  }
}

TEST_F(OsDiag, NoSizeLimitOrNoCopiesDisablesRotation) {
  TestWorkdir wd;
  wd.write_table("CONFIG", "LIMIT_LOG_FILE_SIZE 2\nLIMIT_LOG_VERSIONS 0\n");
  OS_DIAG_initialize("", "AT");
  EXPECT_EQ(limit_log_file_size, 2 * 1048576);
  EXPECT_EQ(is_log_versions_enabled, 0);
  wd.write_table("CONFIG", "LIMIT_LOG_FILE_SIZE 0\n");
  GM_PARAM_clear();
  OS_DIAG_initialize("", "AT");
  EXPECT_EQ(is_log_versions_enabled, 0);
}

class OsDiagRotation : public OsDiag {
 protected:
  void SetUp() override {
    OsDiag::SetUp();
    wd_.write_table("CONFIG", "LIMIT_LOG_FILE_SIZE 1\nLIMIT_LOG_VERSIONS 3\n");
    OS_DIAG_initialize("", "AT");
    DIAG_set_debug_level(1);
    base_ = "./proclog/AT_" + std::to_string(getpid());
  }
  // 100 lines of about 11 kB: the file passes 1 MB before the hundredth.
  void batch(int number, int count = 100) {
    std::string text = "batch " + std::to_string(number) + " ";
    text.resize(11000, '-');
    for (int i = 0; i < count; ++i) DIAG_ERROR("%s", text.c_str());
  }
  std::string copy(int n) const {
    char name[16];
    snprintf(name, sizeof name, "_%02d.log", n);
    return base_ + name;
  }
  std::string batch_in(const std::string& path) const { return read_file(path).substr(21, 8); }

  TestWorkdir wd_;
  std::string base_;
};

TEST_F(OsDiagRotation, KeepsThreeCopiesNewestFirst) {
  ASSERT_EQ(is_log_versions_enabled, 1);
  batch(1, 99);
  EXPECT_FALSE(file_exists(copy(1)));  // over the limit, but not checked yet
  batch(1, 1);
  EXPECT_FALSE(file_exists(os_diag_file_name));
  EXPECT_EQ(batch_in(copy(1)), "batch 1 ");
  for (int b = 2; b <= 4; ++b) batch(b);
  EXPECT_EQ(batch_in(copy(1)), "batch 4 ");
  EXPECT_EQ(batch_in(copy(2)), "batch 3 ");
  EXPECT_EQ(batch_in(copy(3)), "batch 2 ");
  EXPECT_FALSE(file_exists(copy(4)));
  EXPECT_EQ(last_log_file_version, 3);
  EXPECT_EQ(skip_checks_counter, 0);
}

TEST_F(OsDiagRotation, FailedRenameIsRetriedAfterEveryLine) {
  std::filesystem::create_directories(copy(1) + "/blocker");
  batch(1);
  EXPECT_TRUE(file_exists(os_diag_file_name));
  EXPECT_EQ(skip_checks_counter, 100);
  batch(1, 1);
  EXPECT_EQ(skip_checks_counter, 101);
  std::filesystem::remove_all(copy(1));
  batch(1, 1);
  EXPECT_EQ(skip_checks_counter, 0);
  EXPECT_FALSE(file_exists(os_diag_file_name));
  EXPECT_EQ(batch_in(copy(1)), "batch 1 ");
  EXPECT_EQ(last_log_file_version, 1);
}

TEST_F(OsDiag, VersionsFileIsCopiedWhole) {
  TestWorkdir wd;
  std::string content = "agent 1.2\n" + std::string(3000, 'v') + "\nlast line without end";
  wd.write("versions.txt", content);
  char error[OS_DIAG_ERROR_SIZE] = "";
  FILE* out = fopen("out.txt", "w");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(kx::diag::copy_text_file(out, "versions.txt", error, sizeof error), KX_SUCCESS);
  EXPECT_EQ(kx::diag::copy_text_file(out, "missing.txt", error, sizeof error), KX_FAIL);
  fclose(out);
  EXPECT_EQ(read_file("out.txt"), content);
  EXPECT_STREQ(error, "failed to open input file 'missing.txt'");
  EXPECT_EQ(os_diag_print_installed_versions(nullptr, error), KX_FAIL);
  EXPECT_STREQ(error, "null file pointer");
}

// The copy goes into the log at a critical event: a versions file that never
// ends (or a huge one) must not make every dump endless.
TEST_F(OsDiag, VersionsFileIsCopiedUpTo64Kilobytes) {
  TestWorkdir wd;
  const std::string line(99, 'v');
  std::string content;
  while (content.size() < 70000) content += line + "\n";
  wd.write("versions.txt", content);
  ASSERT_EQ(symlink("/dev/zero", "zero.txt"), 0);
  char error[OS_DIAG_ERROR_SIZE] = "";
  FILE* out = fopen("out.txt", "w");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(kx::diag::copy_text_file(out, "versions.txt", error, sizeof error), KX_SUCCESS);
  fclose(out);
  // Whole lines of 100 bytes: 655 of them fit in 65,536 bytes.
  std::string kept;
  for (int i = 0; i < 655; ++i) kept += line + "\n";
  EXPECT_EQ(read_file("out.txt"),
            kept + "installed-versions file 'versions.txt' is longer than 65536 bytes: the rest "
                   "is left out\n");

  out = fopen("out.txt", "w");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(kx::diag::copy_text_file(out, "zero.txt", error, sizeof error), KX_SUCCESS);
  fclose(out);
  EXPECT_EQ(read_file("out.txt"),
            "installed-versions file 'zero.txt' is longer than 65536 bytes: the rest is left "
            "out\n");
}

// The line text is made without vsnprintf for the conversions the traces
// use; whatever the format, the text must be vsnprintf's to the byte, cut
// where vsnprintf cuts it.
std::string quick_text(size_t size, const char* format, ...) KX_PRINTF(2, 3);
std::string quick_text(size_t size, const char* format, ...) {
  std::string out(size + 8, '#');
  va_list ap;
  va_start(ap, format);
  kx::diag::format_text(&out[0], size, format, ap);
  va_end(ap);
  return out;
}

std::string reference_text(size_t size, const char* format, ...) KX_PRINTF(2, 3);
std::string reference_text(size_t size, const char* format, ...) {
  std::string out(size + 8, '#');
  va_list ap;
  va_start(ap, format);
  vsnprintf(&out[0], size, format, ap);
  va_end(ap);
  return out;
}

// The conversions the code's trace formats use, each applied as X(format,
// arguments...): both the quick formatter and the kept lines are held to
// vsnprintf on them.
#define FORMAT_CASES(X)                                                                   \
  X("plain text, no conversion");                                                         \
  X("%s: elem - '%s'", "GM_XML_ActOnStart", "BODY");                                     \
  X("%s", "");                                                                            \
  X("100%% of %d%%", 42);                                                                 \
  X("%d %d %d %i", 0, -1, INT_MIN, INT_MAX);                                              \
  X("%ld %ld %lu %zu %zd", LONG_MIN, LONG_MAX, ULONG_MAX, SIZE_MAX,                       \
    static_cast<ssize_t>(-7));                                                            \
  X("%u %x %x %lx %zx", 4000000000u, 0u, 0xdeadbeefu, ULONG_MAX, static_cast<size_t>(255)); \
  X("[%5d|%-5d|%05d|%05d|%3d]", 42, 42, 42, -42, 123456);                                 \
  X("[%08x|%-8x|%2x]", 0xabcu, 0xabcu, 0xabcdefu);                                        \
  X("[%10s|%-10s|%2s]", "abc", "abc", "abcdef");                                          \
  X("[%.2s|%.0s|%.10s|%.2047s]", "abcdef", "abc", "abc", "abc")

#define EXPECT_SAME_TEXT(size, ...) \
  EXPECT_EQ(quick_text(size, __VA_ARGS__), reference_text(size, __VA_ARGS__)) << #__VA_ARGS__

#define SAME_AT_SIZE(...) EXPECT_SAME_TEXT(size, __VA_ARGS__)

TEST(LineText, SameBytesAsVsnprintf) {
  const std::string long_text(40000, 'z');
  const char* volatile none = nullptr;  // not known to the compiler as null
  for (size_t size : {size_t{1}, size_t{5}, size_t{17}, size_t{64}, size_t{OS_DIAG_MAX_TEXT + 1}}) {
    FORMAT_CASES(SAME_AT_SIZE);
    EXPECT_SAME_TEXT(size, "input text(%d)='%.*s'", 3, 3, "abcdef");
    EXPECT_SAME_TEXT(size, "'%-.*s' '%.*s' '%8.*s'", 2, "abcdef", -1, "abcdef", 3, "abcdef");
    EXPECT_SAME_TEXT(size, "[%-*s|%*s|%*d|%-*d|%0*x]", 8, "ab", -8, "ab", 5, -3, 4, 9, 6, 0xffu);
    EXPECT_SAME_TEXT(size, "malloc %d bytes #1 in PEX_list_insert_ptr : %x", 32, 0x5a5a5a5au);
    EXPECT_SAME_TEXT(size, "%s", long_text.c_str());
    EXPECT_SAME_TEXT(size, "%s%s", long_text.c_str(), long_text.c_str());
    EXPECT_SAME_TEXT(size, "%40000d|%d", 1, 2);
    // Conversions the traces do not use go through vsnprintf.
    EXPECT_SAME_TEXT(size, "%f %.3f %e %g", 1.5, 2.25, 1e10, 0.1);
    EXPECT_SAME_TEXT(size, "%o %#x %+d % d %c %p", 8u, 255u, 5, 5, 'q', static_cast<void*>(nullptr));
    EXPECT_SAME_TEXT(size, "%lld %hhd %hd %*d %.3d", -5LL, 300, 70000, 6, 7, 8);
    EXPECT_SAME_TEXT(size, "%s|%.3s", none, none);
  }
}

// A trace line of buffered mode is kept unformatted until a dump; what the
// dump shows must be vsnprintf's text, in the place and the half the line
// had when it was written.
std::string reference_line(const char* format, ...) KX_PRINTF(1, 2);
std::string reference_line(const char* format, ...) {
  std::string text(OS_DIAG_MAX_TEXT + 1, '\0');
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(&text[0], text.size(), format, ap);
  va_end(ap);
  text.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), OS_DIAG_MAX_TEXT));
  return "STAMP AS:" + text + "\n";
}

#define TRACE_AND_EXPECT(expected, ...)      \
  do {                                       \
    DIAG_TRACE(4, __VA_ARGS__);              \
    expected += reference_line(__VA_ARGS__); \
  } while (0)

#define KEPT_LINE(...) TRACE_AND_EXPECT(lines, __VA_ARGS__)

TEST_F(OsDiag, KeptLinesDumpAsVsnprintfFormatsThem) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  const std::string half_text(20000, 'h');
  const char* volatile none = nullptr;
  char made_here[] = "made at run time %d";  // no literal: formatted at once
  std::string lines;
  FORMAT_CASES(KEPT_LINE);
  TRACE_AND_EXPECT(lines, "'%-.*s' '%.*s' '%8.*s'", 2, "abcdef", -1, "abcdef", 3, "abcdef");
  TRACE_AND_EXPECT(lines, "%.*d|%d", -1, 5, 6);
  // A precision past INT_MAX (3 in 32 bits) makes vsnprintf fail: an empty text.
  TRACE_AND_EXPECT(lines, "%.4294967299s|", "abcdef");
  TRACE_AND_EXPECT(lines, "\t%-*s = %.500s|%*d|%*s|%0*d", 8, "NAME", "value", -6, 42, 3, "abcdef",
                   5, -7);
  TRACE_AND_EXPECT(lines, "%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d", 1, 2, 3, 4, 5,
                   6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17);
  TRACE_AND_EXPECT(lines, "%f %o %c %lld %.3d", 1.5, 8u, 'q', -5LL, 7);
  TRACE_AND_EXPECT(lines, "%s|%.3s", none, none);
  TRACE_AND_EXPECT(lines, made_here, 1);
  made_here[0] = 'M';
  // The argument is copied: changing it afterwards changes nothing.
  std::string changing = "before";
  TRACE_AND_EXPECT(lines, "value '%s'", changing.c_str());
  changing.assign("after, and longer");
  TRACE_AND_EXPECT(lines, "%s", half_text.c_str());
  ASSERT_EQ(active_buff, 0);
  DIAG_ERROR("boom");
  const std::string expected = dump("STAMP AS:boom\n", "", lines, 600);
  const std::string got = stamps_hidden(log());
  const auto diff = std::mismatch(expected.begin(), expected.end(), got.begin(), got.end());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(diff.first == expected.end())
      << "first difference at " << (diff.first - expected.begin()) << ": expected \""
      << expected.substr(diff.first - expected.begin(), 80) << "\", got \""
      << got.substr(diff.second - got.begin(), 80) << "\"";
}

TEST_F(OsDiag, KeptLinesAreInTheRingOnceSettled) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  DIAG_TRACE(4, "kept %s %d", "line", 1);
  DIAG_set_active_level(4);
  DIAG_print_text("written");
  DIAG_set_active_level(0);
  DIAG_TRACE(5, "kept %s %d", "line", 2);
  const int used = debug_index;
  EXPECT_EQ(std::string(debug_buff[0]).find("kept line"), std::string::npos);
  kx::diag::settle_ring();
  EXPECT_EQ(debug_index, used);
  EXPECT_EQ(stamps_hidden(debug_buff[0]),
            "STAMP AS:kept line 1\nSTAMP AS:written\nSTAMP AS:kept line 2\n");
  EXPECT_EQ(static_cast<int>(strlen(debug_buff[0])), used);
}

// The stamp of a kept line is not read from the clock every time; it must
// still be the millisecond the line was written in, across many changes of
// millisecond (and past the moment the shortcut starts to be used).
std::string now_stamp() {
  time_t t = 0;
  unsigned short ms = 0;
  OS_TIME_bin_get_timer2(&t, &ms);
  char text[64];
  GM_TIME_fmt_to_ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, t, ms, text);
  return text;
}

TEST_F(OsDiag, EveryLineIsStampedWithItsOwnMillisecond) {
  TestWorkdir wd;
  const auto start = std::chrono::steady_clock::now();
  int changes = 0;
  std::string last;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(80)) {
    OS_DIAG_initialize("", "AS");
    std::vector<std::pair<std::string, std::string>> bounds;
    for (int i = 0; i < 300; ++i) {
      std::string before = now_stamp();
      DIAG_TRACE(4, "line %d", i);
      bounds.emplace_back(std::move(before), now_stamp());
    }
    kx::diag::settle_ring();
    std::istringstream ring(debug_buff[active_buff]);
    std::string line;
    for (const auto& [before, after] : bounds) {
      ASSERT_TRUE(std::getline(ring, line));
      const std::string stamp = line.substr(0, 17);
      ASSERT_LE(before, stamp) << line;
      ASSERT_LE(stamp, after) << line;
      changes += stamp != last;
      last = stamp;
    }
  }
  EXPECT_GT(changes, 40);
}

TEST_F(OsDiag, RingMovedByAnotherHandKeepsEveryLine) {
  TestWorkdir wd;
  OS_DIAG_initialize("", "AS");
  DIAG_TRACE(4, "first %d", 1);
  DIAG_TRACE(4, "second %d", 2);
  // The agent starts the half over: the lines written so far are gone, the
  // next ones start at 0, and nothing kept before turns up over them.
  debug_index = 0;
  DIAG_TRACE(4, "third %d", 3);
  DIAG_ERROR("boom");
  EXPECT_EQ(stamps_hidden(log()), dump("STAMP AS:boom\n", "", "STAMP AS:third 3\n", 600));
}

}  // namespace
