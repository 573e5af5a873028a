#include "gm_str.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "os_diag.h"
#include "test_workdir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A working directory whose process log takes every trace line.
class GmStrLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DIAG_set_debug_level(6);
    OS_DIAG_initialize(nullptr, "GST");
  }
  void TearDown() override { DIAG_set_debug_level(0); }
  std::string log() const {
    return kxtest::read_file("proclog/GST_" + std::to_string(getpid()) + ".log");
  }
  bool logged(const std::string& text) const {
    return log().find("GST:" + text + "\n") != std::string::npos;
  }
  kxtest::TestWorkdir wd_;
};

TEST(GmStrTest, UnpadRemovesOnlyTrailingSpaces) {
  char text[] = "ab \t  ";
  EXPECT_EQ(GM_STR_unpad(text), text);
  EXPECT_STREQ(text, "ab \t");
  char blanks[] = "   ";
  EXPECT_STREQ(GM_STR_unpad(blanks), "");
  EXPECT_EQ(GM_STR_unpad(nullptr), nullptr);
  EXPECT_EQ(GM_STRlen("ab \t  "), 4);
  EXPECT_EQ(GM_STRlen(nullptr), 0);
}

TEST(GmStrTest, IsNumberAcceptsSignedDigitsOnly) {
  for (const char* ok : {"123", "+7", "-", "0"}) {
    CaptureStderr();
    EXPECT_EQ(GM_STR_isnumber(ok), KX_SUCCESS) << ok;
    EXPECT_EQ(GetCapturedStderr(), "");
  }
  for (const char* bad : {"", "1.5", "12a", " 1", "1-"}) {
    CaptureStderr();
    EXPECT_EQ(GM_STR_isnumber(bad), KX_FAIL) << bad;
    EXPECT_EQ(GetCapturedStderr(), std::string(bad) + " is not valid number\n");
  }
}

TEST(GmStrTest, IsUnsignedNumberMessages) {
  CaptureStderr();
  EXPECT_EQ(GM_STR_isunsignednumber("0"), KX_SUCCESS);
  EXPECT_EQ(GM_STR_isunsignednumber("-"), KX_SUCCESS);
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_EQ(GM_STR_isunsignednumber("-3"), KX_FAIL);
  EXPECT_EQ(GetCapturedStderr(), "-3 is not a positive number\n");
  CaptureStderr();
  EXPECT_EQ(GM_STR_isunsignednumber("x"), KX_FAIL);
  EXPECT_EQ(GetCapturedStderr(), "x is not valid number\nx is not a positive number\n");
  CaptureStderr();
  EXPECT_EQ(GM_STR_isunsignednumber("-99999999999999999999999"), KX_FAIL);
  GetCapturedStderr();
}

TEST(GmStrTest, CompareIgnoresTrailingBlanks) {
  EXPECT_EQ(GM_STRcmp("abc", "abc  "), 0);
  EXPECT_EQ(GM_STRcmp("ab", "abc"), -1);
  EXPECT_EQ(GM_STRcmp("abc ", "ab"), 1);
  EXPECT_EQ(GM_STRcmp("abz", "abc"), 1);
  EXPECT_EQ(GM_STRcmp("a", "z"), -1);
  EXPECT_EQ(GM_STRcmp("  ", ""), 0);
  EXPECT_EQ(GM_STR_all_blanks(""), 1);
  EXPECT_EQ(GM_STR_all_blanks(" \t"), 0);
  EXPECT_EQ(GM_STR_contain_blank("a b"), 1);
  EXPECT_EQ(GM_STR_contain_blank("a\tb"), 0);
}

TEST(GmStrTest, SubstrLimitsAndStaysInItsBuffer) {
  EXPECT_STREQ(GM_STR_substr("hello", 1, 3), "el");
  EXPECT_STREQ(GM_STR_substr("hello", 2, 99), "llo");
  EXPECT_STREQ(GM_STR_substr("hello", 5, 9), "");
  EXPECT_STREQ(GM_STR_substr("hello", 6, 9), "");
  EXPECT_STREQ(GM_STR_substr("hello", 3, 2), "");
  std::string longer(400, 'q');
  EXPECT_EQ(strlen(GM_STR_substr(longer.c_str(), 0, 400)), 290u);
}

TEST(GmStrTest, GetWordSplitsAtRunsOfSeparators) {
  const char* text = "  one,, two three";
  EXPECT_STREQ(GM_STR_get_word(text, 2, " ,"), "two");
  EXPECT_STREQ(GM_STR_get_word(text, 0, " ,"), "one");
  EXPECT_STREQ(GM_STR_get_word(text, 4, " ,"), "");
  // Only 999 characters are examined: the word beyond them is not seen.
  std::string longer(1200, 'w');
  longer[1100] = ' ';
  EXPECT_EQ(strlen(GM_STR_get_word(longer.c_str(), 1, " ")), 999u);
  EXPECT_STREQ(GM_STR_get_word(longer.c_str(), 2, " "), "");
}

TEST(GmStrTest, FgetsLineCutsAtNewlines) {
  std::unique_ptr<FILE, int (*)(FILE*)> fp(tmpfile(), fclose);
  ASSERT_NE(fp, nullptr);
  fputs("one\ntwo", fp.get());
  rewind(fp.get());
  char buf[16];
  EXPECT_EQ(GM_STR_fgets_line(fp.get(), buf, sizeof(buf)), KX_SUCCESS);
  EXPECT_STREQ(buf, "one");
  EXPECT_EQ(GM_STR_fgets_line(fp.get(), buf, sizeof(buf)), KX_SUCCESS);
  EXPECT_STREQ(buf, "two");
  EXPECT_EQ(GM_STR_fgets_line(fp.get(), buf, sizeof(buf)), KX_FAIL);
}

TEST(GmStrTest, GetExtentionHonoursTheSize) {
  char out[8];
  EXPECT_EQ(GM_STR_get_extention("a.tar.gz", out, 7), KX_SUCCESS);
  EXPECT_STREQ(out, "gz");
  GM_STR_get_extention("x.abcdef", out, 2);
  EXPECT_STREQ(out, "ab");
  GM_STR_get_extention("x.c", out, 1);
  EXPECT_STREQ(out, "");
  GM_STR_get_extention("noext", out, 7);
  EXPECT_STREQ(out, "");
  snprintf(out, sizeof(out), "keep");
  GM_STR_get_extention("x.c", out, 0);
  EXPECT_STREQ(out, "keep");
}

TEST(GmStrTest, MathResultsAndErrorTexts) {
  struct Case {
    const char* expr;
    const char* result;
  } cases[] = {
      {"7 / 2", "3.500000"},   {"6 * 2", "12"},         {"1 / 0", "DIV BY ZERO"},
      {"5 - 8", "-3"},         {"1.5 + 1.5", "3"},      {"1e19 * 1", "OVER FLOW"},
      {"2 * 9.1e18", "OVER FLOW"}, {"2 % 3", "0"},      {"4", "0"},
      {"8e18 + 8e18", "16000000000000000000"},
  };
  for (const Case& c : cases) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%s", c.expr);
    EXPECT_EQ(GM_STR_math(buf), 0.0);
    EXPECT_STREQ(buf, c.result) << c.expr;
  }
}

TEST(GmStrTest, BackslashBeforeBlanks) {
  char out[32];
  EXPECT_STREQ(GM_STR_bckslsh_blnk("a b ", out), "a\\ b");
  EXPECT_STREQ(GM_STR_bckslsh_blnk("  x  y", out), "\\ \\ x\\ \\ y");
  EXPECT_STREQ(GM_STR_bckslsh_blnk("", out), "");
  EXPECT_EQ(GM_STR_bckslsh_blnk(nullptr, out), nullptr);
}

TEST(GmStrTest, BackslashesDoubled) {
  char out[32] = "stale";
  EXPECT_STREQ(GM_STR_bckslsh_2double("a\\b", out), "a\\\\b\\\\");
  EXPECT_STREQ(GM_STR_bckslsh_2double("a\\\\\\b\\", out), "a\\\\b\\\\");
  EXPECT_STREQ(GM_STR_bckslsh_2double("\\a", out), "a\\\\");
  EXPECT_STREQ(GM_STR_bckslsh_2double("\\\\", out), "\\\\");
  EXPECT_STREQ(GM_STR_bckslsh_2double("", out), "");
}

TEST(GmStrTest, TrimsInPlace) {
  char text[] = " \t\n x y ";
  EXPECT_EQ(GM_STR_trim_leading_spaces(text), KX_SUCCESS);
  EXPECT_STREQ(text, "x y ");
  EXPECT_EQ(GM_STR_trim_leading_spaces(nullptr), KX_FAIL);

  char kv[] = "key=value=x";
  EXPECT_EQ(GM_STR_trim_leading_until_char(kv, ":="), KX_SUCCESS);
  EXPECT_STREQ(kv, "=value=x");
  EXPECT_EQ(GM_STR_trim_leading_until_char(kv, ""), KX_SUCCESS);
  EXPECT_STREQ(kv, "=value=x");
  EXPECT_EQ(GM_STR_trim_leading_until_char(kv, "#"), KX_SUCCESS);
  EXPECT_STREQ(kv, "=value=x");
  EXPECT_EQ(GM_STR_trim_leading_until_char(kv, nullptr), KX_FAIL);

  char path[] = "/a/b/c.txt";
  EXPECT_EQ(GM_STR_trim_trailing_until_char(path, "/"), KX_SUCCESS);
  EXPECT_STREQ(path, "/a/b/");
  EXPECT_EQ(GM_STR_trim_trailing_until_char(path, "#"), KX_SUCCESS);
  EXPECT_STREQ(path, "/a/b/");
  EXPECT_EQ(GM_STR_trim_trailing_until_char(nullptr, "/"), KX_FAIL);
}

TEST_F(GmStrLogTest, NthFieldCountsRunsOfDelimitersAsOne) {
  char field[8];
  EXPECT_EQ(GM_STR_get_nth_field("a,,b", 2, ',', field, sizeof(field)), KX_SUCCESS);
  EXPECT_STREQ(field, "b");
  EXPECT_EQ(GM_STR_get_nth_field(",b", 1, ',', field, sizeof(field)), KX_SUCCESS);
  EXPECT_STREQ(field, "");
  EXPECT_EQ(GM_STR_get_nth_field("x,y", 0, ',', field, sizeof(field)), KX_SUCCESS);
  EXPECT_STREQ(field, "x");
  EXPECT_EQ(GM_STR_get_nth_field("a,b,,", 3, ',', field, sizeof(field)), KX_FAIL);
  EXPECT_TRUE(logged("field 3 doesn't exist. there are only 2 fields\n\tLine - 'a,b,,'")) << log();
  // A field must fit together with its terminator.
  EXPECT_EQ(GM_STR_get_nth_field("1234567,12345678", 2, ',', field, sizeof(field)), KX_FAIL);
  EXPECT_EQ(GM_STR_get_nth_field("1234567,12345678", 1, ',', field, sizeof(field)), KX_SUCCESS);
  EXPECT_STREQ(field, "1234567");
}

TEST_F(GmStrLogTest, MathTracesItsSteps) {
  char buf[32] = "7 / 2";
  GM_STR_math(buf);
  EXPECT_TRUE(logged("GM_STR_math:'7 / 2'")) << log();
  EXPECT_TRUE(logged("GM_STR_math:'7' '/' '2', a=7.000000, b=2.000000")) << log();
  EXPECT_TRUE(logged("GM_STR_math: Result = 3.500000 , error:''")) << log();
  EXPECT_TRUE(logged("GM_STR_math: Result = 3.500000")) << log();
  snprintf(buf, sizeof(buf), "1 / 0");
  GM_STR_math(buf);
  EXPECT_TRUE(logged("GM_STR_math: Result = 0.000000 , error:'DIV BY ZERO'")) << log();
}

TEST_F(GmStrLogTest, TrimsTraceTheirWork) {
  char text[] = "  x";
  GM_STR_trim_leading_spaces(text);
  EXPECT_TRUE(logged(">>> GM_STR_trim_leading_spaces enter: original string   x")) << log();
  EXPECT_TRUE(logged("GM_STR_trim_leading_spaces: will start copying from x")) << log();
  EXPECT_TRUE(logged("<<< GM_STR_trim_leading_spaces exit: trimmed string x")) << log();
  GM_STR_trim_leading_spaces(nullptr);
  EXPECT_TRUE(logged("<<< GM_STR_trim_leading_spaces: cannot process null pointer")) << log();

  char kv[] = "k=v";
  GM_STR_trim_leading_until_char(kv, "#");
  EXPECT_TRUE(logged("<<<GM_STR_trim_leading_until_char exit: no occurences of # found in k=v"))
      << log();
  GM_STR_trim_leading_until_char(kv, "");
  EXPECT_TRUE(logged("<<< GM_STR_trim_leading_until_char exit: will not process empty string"))
      << log();
  GM_STR_trim_leading_until_char(nullptr, "=");
  EXPECT_TRUE(logged("<<< GM_STR_trim_leading_until_char exit: cannot process null pointer "
                     "to_trim"))
      << log();
  GM_STR_trim_trailing_until_char(kv, nullptr);
  EXPECT_TRUE(logged("<<< GM_STR_trim_trailing_until_char exit: cannot process null pointer "
                     "stop"))
      << log();
}

}  // namespace
