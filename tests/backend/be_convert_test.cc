#include "be_convert.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_env.h"
#include "gm_param.h"
#include "os_diag.h"

namespace {

namespace fs = std::filesystem;

// An agent home under a fresh working directory, with the shipped locale
// data at agent/exe/locale, and a log at debug level 4.
class ConvertTest : public kxtest::AgentEnv {
 protected:
  ConvertTest() : AgentEnv("CT", kAgentHome) {}

  std::string locale_dir() const { return agent_home() + "/exe/locale"; }

  // True when the code-page library is not started (nothing holds it).
  static bool qv_ended() {
    long err = -1;
    QVGetLocale(".UTF-8", 0, &err);
    return err == QV_ERR_NOT_INITIALIZED;
  }

  void set_i18n(const std::string &line) {
    wd_.write_table("CONFIG", line);
    GM_PARAM_load("CONFIG", 1);
  }

  // Runs one conversion into a guarded buffer; returns the result code.
  KX_RC convert(const std::string &text, size_t dst_size, int direction, std::string *out) {
    std::vector<char> buf(dst_size + 16, '#');
    KX_RC rc = BE_UTIL_convert_UTF8_Latin1(text.c_str(), buf.data(), dst_size, direction);
    for (size_t i = dst_size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "overrun at " << i;
    out->assign(buf.data(), strnlen(buf.data(), dst_size));
    return rc;
  }
};

TEST_F(ConvertTest, I18nModeHoldsOnlyForCjkExactly) {
  EXPECT_EQ(isI18nDefined(), 0);  // no CONFIG table at all
  set_i18n("I18N CJK\n");
  EXPECT_EQ(isI18nDefined(), 1);
  set_i18n("I18N cjk\n");
  EXPECT_EQ(isI18nDefined(), 0);
  set_i18n("i18n=CJK   \n");  // keys are upper-cased, trailing blanks dropped
  EXPECT_EQ(isI18nDefined(), 1);
  set_i18n("I18N CJKX\nDBGLVL 4\n");
  EXPECT_EQ(isI18nDefined(), 0);
  set_i18n("DBGLVL 4\n");
  EXPECT_EQ(isI18nDefined(), 0);
  EXPECT_TRUE(logged("isI18nDefined"));
}

TEST_F(ConvertTest, ConvertsLatin1ToUtf8AndBack) {
  ASSERT_EQ(BE_UTIL_init_required_locales(), KX_SUCCESS);
  EXPECT_EQ(required_locales_initialized, 1);
  EXPECT_TRUE(logged("BE_UTIL_init_required_locales started"));
  EXPECT_TRUE(logged("BE_INF_get_agent_dir"));
  EXPECT_TRUE(logged("QV_init"));
  EXPECT_TRUE(logged("BE_INF_QV_init: QV library was initialized"));
  EXPECT_TRUE(logged("createLocaleByName: '.UTF-8'"));
  EXPECT_TRUE(logged("createLocaleByName: Locale '.Latin1' was created."));
  EXPECT_TRUE(logged("LAT1_Locale successfully initialized"));
  EXPECT_TRUE(logged("BE_UTIL_init_required_locales exiting successfully"));

  std::string out;
  EXPECT_EQ(convert("caf\xE9", 64, BE_UTIL_LATIN1_TO_UTF8, &out), KX_SUCCESS);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_TRUE(logged("BE_UTIL_convert_UTF8_Latin1: Converting string from Latin1 to UTF8"));
  EXPECT_TRUE(logged("BE_UTIL_convert_UTF8_Latin1: String successfully converted"));
  EXPECT_EQ(convert("caf\xC3\xA9", 64, BE_UTIL_UTF8_TO_LATIN1, &out), KX_SUCCESS);
  EXPECT_EQ(out, "caf\xE9");
  EXPECT_TRUE(logged("BE_UTIL_convert_UTF8_Latin1: Converting string from UTF8 to Latin1"));

  const std::string ascii = "<TWBKX><BODY><X>plain</X></BODY></TWBKX>";
  for (int direction : {1, 2}) {
    EXPECT_EQ(convert(ascii, 3 * ascii.size() + 3, direction, &out), KX_SUCCESS);
    EXPECT_EQ(out, ascii);
  }

  // A second preparation finds the pair present and creates nothing.
  QVLocale utf8 = UTF8_Locale, lat1 = LAT1_Locale;
  EXPECT_EQ(BE_UTIL_init_required_locales(), KX_SUCCESS);
  EXPECT_EQ(UTF8_Locale, utf8);
  EXPECT_EQ(LAT1_Locale, lat1);
  EXPECT_TRUE(
      logged("BE_UTIL_init_required_locales: Required locales already initialized - nothing to do"));

  BE_UTIL_release_required_locales();
  EXPECT_EQ(required_locales_initialized, 0);
  EXPECT_EQ(UTF8_Locale, nullptr);
  EXPECT_EQ(LAT1_Locale, nullptr);
  EXPECT_TRUE(logged("UTF8_Locale successfully released"));
  EXPECT_TRUE(logged("LAT1_Locale successfully released"));
  EXPECT_TRUE(logged("BE_UTIL_release_required_locales: QV was released"));
  EXPECT_TRUE(qv_ended());

  // A conversion after the release prepares the pair again.
  EXPECT_EQ(convert("\xE9", 8, BE_UTIL_LATIN1_TO_UTF8, &out), KX_SUCCESS);
  EXPECT_EQ(out, "\xC3\xA9");
  EXPECT_EQ(required_locales_initialized, 1);
}

TEST_F(ConvertTest, RefusesBadDirectionsInputAndShortBuffers) {
  std::string out;
  std::vector<char> dst(16, 'q');
  EXPECT_EQ(BE_UTIL_convert_UTF8_Latin1("abc", dst.data(), dst.size(), 3), KX_FAIL);
  EXPECT_EQ(std::string(dst.data(), dst.size()), std::string(16, 'q'));
  EXPECT_TRUE(logged("BE_UTIL_convert_UTF8_Latin1: Invalid direction 3"));

  // "caf\xE9" needs five bytes of UTF-8 and the terminator.
  EXPECT_EQ(convert("caf\xE9", 5, BE_UTIL_LATIN1_TO_UTF8, &out), KX_FAIL);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(logged("BE_UTIL_convert_UTF8_Latin1: failed to convert string"));
  EXPECT_EQ(convert("caf\xE9", 6, BE_UTIL_LATIN1_TO_UTF8, &out), KX_SUCCESS);
  EXPECT_EQ(out, "caf\xC3\xA9");

  // Broken or overlong UTF-8 and characters outside Latin-1 are refused, so
  // the caller passes the text on as it is.
  for (const char *bad : {"caf\xC3", "\xC3\x28", "\xC0\xAF", "\xFF", "\xE2\x82\xAC"})
    EXPECT_EQ(convert(bad, 64, BE_UTIL_UTF8_TO_LATIN1, &out), KX_FAIL) << bad;

  EXPECT_EQ(BE_UTIL_convert_UTF8_Latin1(nullptr, dst.data(), dst.size(), 2), KX_FAIL);
  EXPECT_EQ(BE_UTIL_convert_UTF8_Latin1("a", nullptr, 8, 2), KX_FAIL);

  // The pair is still good after the failures.
  EXPECT_EQ(convert("\xC3\xA9", 2, BE_UTIL_UTF8_TO_LATIN1, &out), KX_SUCCESS);
  EXPECT_EQ(out, "\xE9");
}

TEST_F(ConvertTest, PreparationFailsWithoutAgentHomeOrLocaleData) {
  unsetenv("WEXAGENT");
  EXPECT_EQ(BE_UTIL_init_required_locales(), KX_FAIL);
  EXPECT_TRUE(logged("Cannot get WEXAGENT environment variable\n"));
  EXPECT_TRUE(logged("BE_UTIL_init_required_locales: Failed to get Agent dir"));
  std::string out;
  EXPECT_EQ(convert("abc", 8, BE_UTIL_LATIN1_TO_UTF8, &out), KX_FAIL);

  setenv("WEXAGENT", std::string(2100, 'x').c_str(), 1);  // would not fit the buffer
  EXPECT_EQ(BE_UTIL_init_required_locales(), KX_FAIL);

  setenv("WEXAGENT", wd_.file("nowhere").c_str(), 1);
  EXPECT_EQ(BE_UTIL_init_required_locales(), KX_FAIL);
  EXPECT_TRUE(logged("BE_INF_QV_init: Failed to initialize QV library. searched for locales at: '" +
                     wd_.file("nowhere") + "/exe/locale'"));
  EXPECT_TRUE(logged("BE_UTIL_init_required_locales: Failed to init QV"));

  // Over 1023 characters is refused, never cut to some other directory.
  std::string deep = agent_home() + std::string(1020, '/');
  EXPECT_EQ(BE_INF_QV_init(deep.c_str()), KX_FAIL);
  EXPECT_TRUE(qv_ended());

  setenv("WEXAGENT", agent_home().c_str(), 1);
  fs::remove(fs::path(locale_dir()) / "Latin1.cp");
  EXPECT_EQ(BE_UTIL_init_required_locales(), KX_FAIL);
  EXPECT_TRUE(logged("createLocaleByName: QVGetLocale failed - Invalid  code page specified."));
  EXPECT_TRUE(logged("createLocaleByName: ERROR: Locale - '.Latin1' has not been created"));
  EXPECT_TRUE(logged("BE_UTIL_init_required_locales: Cannot create '.Latin1' locale"));
  // The failure undid what it made.
  EXPECT_EQ(required_locales_initialized, 0);
  EXPECT_EQ(UTF8_Locale, nullptr);
  EXPECT_TRUE(qv_ended());
}

TEST_F(ConvertTest, ReleaseWithoutPreparationTouchesNothing) {
  ASSERT_EQ(QVInit(locale_dir().c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  BE_UTIL_release_required_locales();
  EXPECT_TRUE(logged(
      "BE_UTIL_release_required_locales: Required locales are not initialized - nothing to release"));
  EXPECT_FALSE(qv_ended());  // our own use of the library was not ended for us
  QVTerm(nullptr);
}

TEST_F(ConvertTest, OneShotConversionLeavesTheProcessLocalesUsable) {
  ASSERT_EQ(BE_UTIL_init_required_locales(), KX_SUCCESS);
  char dst[16];
  EXPECT_EQ(BE_INF_Convert_String(".Latin1", "\xE9t\xE9", ".UTF-8", dst, sizeof dst), KX_SUCCESS);
  EXPECT_STREQ(dst, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(BE_INF_Convert_String(".UTF-8", dst, ".Latin1", dst + 8, 8), KX_SUCCESS);
  EXPECT_STREQ(dst + 8, "\xE9t\xE9");

  std::string out;
  EXPECT_EQ(convert("\xE9", 8, BE_UTIL_LATIN1_TO_UTF8, &out), KX_SUCCESS);
  EXPECT_EQ(out, "\xC3\xA9");

  // Each one-shot call ends its own use: releasing the pair ends the library.
  BE_UTIL_release_required_locales();
  EXPECT_TRUE(qv_ended());
}

TEST_F(ConvertTest, OneShotConversionFailuresLogAtLevelTwo) {
  char dst[8] = "keep";
  EXPECT_EQ(BE_INF_Convert_String(".KOI9-X", "abc", ".UTF-8", dst, sizeof dst), KX_FAIL);
  EXPECT_TRUE(logged("BE_INF_Convert_String: Cannot create '.KOI9-X' locale"));
  EXPECT_EQ(BE_INF_Convert_String(".UTF-8", "abc", "no-dot", dst, sizeof dst), KX_FAIL);
  EXPECT_TRUE(logged("BE_INF_Convert_String: Cannot create 'no-dot' locale"));
  EXPECT_EQ(BE_INF_Convert_String(".Latin1", "\xE9\xE9\xE9\xE9", ".UTF-8", dst, sizeof dst),
            KX_FAIL);
  EXPECT_TRUE(logged("BE_INF_Convert_String: failed to convert string"));
  EXPECT_TRUE(qv_ended());  // every path ended its use of the library

  DIAG_set_debug_level(1);
  EXPECT_EQ(BE_INF_Convert_String(".Nope", "abc", ".UTF-8", dst, sizeof dst), KX_FAIL);
  EXPECT_TRUE(logged("createLocaleByName: ERROR: Locale - '.Nope' has not been created"));
  EXPECT_FALSE(logged("BE_INF_Convert_String: Cannot create '.Nope' locale"));

  unsetenv("WEXAGENT");
  DIAG_set_debug_level(2);
  EXPECT_EQ(BE_INF_Convert_String(".UTF-8", "abc", ".Latin1", dst, sizeof dst), KX_FAIL);
  EXPECT_TRUE(logged("BE_INF_Convert_String: failed to get Agent dir"));
}

}  // namespace
