#include "qv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

// A working directory with the shipped locale data copied to ./locale.
class QvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = work_.file("locale");
    fs::create_directory(dir_);
    for (const auto &entry : fs::directory_iterator(fs::path(KX_SOURCE_DIR) / "data" / "locale"))
      fs::copy_file(entry.path(), fs::path(dir_) / entry.path().filename());
  }

  // Converts text; returns the result code and stores the output.
  long convert(QVLocale to, QVLocale from, const std::string &text, size_t dst_size,
               std::string *out, unsigned int options = QV_CONVERT_TERMINATE) {
    std::vector<char> buf(dst_size + 16, '#');
    long rc = QVConvertString(to, buf.data(), dst_size, from, text.data(), text.size(), options);
    // Nothing may be written past the given size.
    for (size_t i = dst_size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "overrun at " << i;
    if (out != nullptr) out->assign(buf.data(), rc >= 0 ? static_cast<size_t>(rc) : 0);
    if (rc >= 0 && (options & QV_CONVERT_TERMINATE)) {
      EXPECT_EQ(buf[rc], '\0');
    }
    return rc;
  }

  QVLocale get(const char *name) {
    long err = -1;
    QVLocale loc = QVGetLocale(name, 0, &err);
    EXPECT_NE(loc, nullptr) << name << " error " << err;
    EXPECT_EQ(err, 0);
    return loc;
  }

  long error_of(const char *name) {
    long err = -1;
    QVLocale loc = QVGetLocale(name, 0, &err);
    EXPECT_EQ(loc, nullptr) << name;
    return err;
  }

  kxtest::TestWorkdir work_;
  std::string dir_;
};

TEST_F(QvTest, ConvertsBetweenLatin1AndUtf8BothWays) {
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  QVLocale utf8 = get(".UTF-8");
  QVLocale lat1 = get(".Latin1");

  std::string out;
  EXPECT_EQ(convert(utf8, lat1, "caf\xE9", 64, &out), 5);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_EQ(convert(lat1, utf8, "caf\xC3\xA9", 64, &out), 4);
  EXPECT_EQ(out, "caf\xE9");

  const std::string ascii = "<TWBKX><ACTION>TRACK</ACTION></TWBKX>";
  EXPECT_EQ(convert(utf8, lat1, ascii, 64, &out), static_cast<long>(ascii.size()));
  EXPECT_EQ(out, ascii);
  EXPECT_EQ(convert(lat1, utf8, ascii, 64, &out), static_cast<long>(ascii.size()));
  EXPECT_EQ(out, ascii);

  EXPECT_EQ(convert(utf8, lat1, "", 1, &out), 0);

  // Language and territory are accepted and leave the conversion alone.
  QVLocale de = get("de_DE.Latin1@phonebook");
  EXPECT_EQ(convert(utf8, de, "\xFC", 8, &out), 2);
  EXPECT_EQ(out, "\xC3\xBC");

  EXPECT_EQ(QVReleaseLocale(de, 0), 0);
  EXPECT_EQ(QVReleaseLocale(lat1, 0), 0);
  EXPECT_EQ(QVReleaseLocale(utf8, 0), 0);
  EXPECT_NE(QVReleaseLocale(utf8, 0), 0);  // twice is refused, not a double free
  EXPECT_NE(QVReleaseLocale(nullptr, 0), 0);
  QVTerm(nullptr);
}

TEST_F(QvTest, RefusesNamesWithTheirErrorNumbers) {
  EXPECT_EQ(error_of(".UTF-8"), QV_ERR_NOT_INITIALIZED);
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);

  EXPECT_EQ(error_of(".EBCDIC-500"), 30);  // no data file
  EXPECT_EQ(error_of(".utf-8"), 30);       // file names are case-sensitive
  EXPECT_EQ(error_of("UTF-8"), 30);        // no code page part
  EXPECT_EQ(error_of("."), 30);
  EXPECT_EQ(error_of("./../locale/UTF-8"), 30);
  EXPECT_EQ(error_of(""), 30);
  EXPECT_EQ(error_of(nullptr), 30);
  EXPECT_EQ(error_of(std::string(300, 'a').append(".UTF-8").c_str()), 30);
  EXPECT_EQ(error_of("e1.UTF-8"), 31);
  EXPECT_EQ(error_of("_DE.UTF-8"), 31);
  EXPECT_EQ(error_of("de_.UTF-8"), 34);
  EXPECT_EQ(error_of("de_D E.UTF-8"), 34);
  EXPECT_EQ(error_of(".UTF-8@"), 33);
  EXPECT_EQ(error_of(".UTF-8@a b"), 33);

  long err = -1;
  EXPECT_EQ(QVGetLocale(".UTF-8", 1, &err), nullptr);
  EXPECT_EQ(err, QV_ERR_INVALID_OPTION);
  EXPECT_EQ(QVGetLocale(".NOPE", 0, nullptr), nullptr);  // no error slot is fine
  QVTerm(nullptr);
}

TEST_F(QvTest, CodePagesAreReadFromTheDataDirectoryAtRequestTime) {
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  EXPECT_EQ(error_of(".CP1252"), 30);
  work_.write("locale/CP1252.cp", "# added by hand\n\n  charset = CP1252 \r\nnote=x\n");
  QVLocale cp = get(".CP1252");
  QVLocale utf8 = get(".UTF-8");
  std::string out;
  EXPECT_EQ(convert(utf8, cp, "\x80", 8, &out), 3);
  EXPECT_EQ(out, "\xE2\x82\xAC");

  work_.write("locale/Bogus.cp", "charset=NO-SUCH-SET-42\n");
  EXPECT_EQ(error_of(".Bogus"), QV_ERR_DATA_LOADING);
  work_.write("locale/Empty.cp", "# nothing\n");
  EXPECT_EQ(error_of(".Empty"), QV_ERR_DATA_LOADING);
  work_.write("locale/Twice.cp", "charset=UTF-8\ncharset=ISO-8859-1\n");
  EXPECT_EQ(error_of(".Twice"), QV_ERR_DATA_LOADING);
  work_.write("locale/Translit.cp", "charset=ASCII//TRANSLIT\n");
  EXPECT_EQ(error_of(".Translit"), QV_ERR_DATA_LOADING);
  fs::create_directory(fs::path(dir_) / "Dir.cp");
  EXPECT_EQ(error_of(".Dir"), QV_ERR_DATA_LOADING);
  work_.write("locale/Huge.cp", "charset=UTF-8\n" + std::string(5000, '#'));
  EXPECT_EQ(error_of(".Huge"), QV_ERR_DATA_LOADING);
  QVTerm(nullptr);
}

// Converters are kept between conversions; one left in the middle of a
// shift sequence by a failed conversion must start the next one afresh.
TEST_F(QvTest, KeptConverterStartsEachConversionInItsInitialState) {
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  work_.write("locale/JIS.cp", "charset=ISO-2022-JP\n");
  QVLocale jis = get(".JIS");
  QVLocale utf8 = get(".UTF-8");
  const std::string text = "\xE6\x97\xA5\xE6\x9C\xAC";  // two kanji
  std::string fresh, again;
  const long n = convert(jis, utf8, text, 64, &fresh);
  ASSERT_GT(n, 0);
  EXPECT_EQ(fresh.substr(0, 3), "\x1B$B");  // shifts into JIS X 0208 ...
  EXPECT_EQ(fresh.substr(fresh.size() - 3), "\x1B(B");  // ... and back
  // Room for the shift and one character only: fails inside the shift.
  EXPECT_EQ(convert(jis, utf8, text, 6, nullptr), -1);
  EXPECT_EQ(convert(jis, utf8, text, 64, &again), n);
  EXPECT_EQ(again, fresh);
  QVTerm(nullptr);
}

TEST_F(QvTest, InitNeedsAnExistingDirectoryAndKnownOptions) {
  const std::string missing = work_.file("no/such/locale");
  EXPECT_NE(QVInit(missing.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  EXPECT_NE(QVInit(nullptr, nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  const std::string plain = work_.file("locale/UTF-8.cp");
  EXPECT_NE(QVInit(plain.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  std::string too_long = dir_ + std::string(1100, '/');
  EXPECT_NE(QVInit(too_long.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  EXPECT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, 0x4), QV_ERR_INVALID_OPTION);
  auto alloc = [](size_t n, void *) { return malloc(n); };
  EXPECT_EQ(QVInit(dir_.c_str(), alloc, nullptr, nullptr, QV_INIT_DEFAULT),
            QV_ERR_INVALID_OPTION);
  // None of the failures counted: the library is still not started.
  EXPECT_EQ(error_of(".UTF-8"), QV_ERR_NOT_INITIALIZED);

  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  fs::create_directory(work_.file("other"));
  EXPECT_EQ(QVInit(work_.file("other").c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT),
            QV_ERR_DIRECTORY_MISMATCH);
  // The same directory spelt differently is the same library.
  ASSERT_EQ(QVInit((dir_ + "/./").c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  QVTerm(nullptr);
  QVTerm(nullptr);
  EXPECT_EQ(error_of(".UTF-8"), QV_ERR_NOT_INITIALIZED);
  QVTerm(nullptr);  // one too many does nothing
}

TEST_F(QvTest, NestedInitAndTermKeepOuterLocalesUsable) {
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  QVLocale utf8 = get(".UTF-8");
  QVLocale lat1 = get(".Latin1");

  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  QVLocale inner = get(".Latin1");
  std::string out;
  EXPECT_EQ(convert(utf8, inner, "\xE9", 8, &out), 2);
  EXPECT_EQ(QVReleaseLocale(inner, 0), 0);
  QVTerm(nullptr);

  EXPECT_EQ(convert(lat1, utf8, "\xC3\xA9t\xC3\xA9", 8, &out), 3);
  EXPECT_EQ(out, "\xE9t\xE9");

  // The last QVTerm frees what was left; the dead handles are refused.
  QVTerm(nullptr);
  EXPECT_EQ(convert(lat1, utf8, "abc", 8, &out), -1);
  EXPECT_NE(QVReleaseLocale(utf8, 0), 0);
}

TEST_F(QvTest, BadInputAndShortBuffersFailWithoutOverrun) {
  ASSERT_EQ(QVInit(dir_.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT), 0);
  QVLocale utf8 = get(".UTF-8");
  QVLocale lat1 = get(".Latin1");
  std::string out;

  // "caf\xE9" needs five bytes of UTF-8 and a terminator.
  EXPECT_EQ(convert(utf8, lat1, "caf\xE9", 5, &out), -1);
  EXPECT_EQ(convert(utf8, lat1, "caf\xE9", 4, &out), -1);  // cut inside a character
  EXPECT_EQ(convert(utf8, lat1, "caf\xE9", 6, &out), 5);
  // Without the terminate option the text may fill the buffer exactly.
  EXPECT_EQ(convert(utf8, lat1, "caf\xE9", 5, &out, 0), 5);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_EQ(convert(utf8, lat1, "x", 0, &out), -1);
  // Plain ASCII takes no converter, and fails alike when it does not fit.
  EXPECT_EQ(convert(utf8, lat1, "abcd", 4, &out), -1);
  EXPECT_EQ(convert(utf8, lat1, "abcd", 4, &out, 0), 4);
  EXPECT_EQ(out, "abcd");
  // A character set whose ASCII letters are other bytes still converts them.
  work_.write("locale/Ebcdic.cp", "charset=IBM037\n");
  QVLocale ebcdic = get(".Ebcdic");
  EXPECT_EQ(convert(ebcdic, utf8, "AZ", 8, &out), 2);
  EXPECT_EQ(out, "\xC1\xE9");

  // A failed conversion leaves an empty text, not a partial one.
  std::vector<char> buf(8, 'z');
  EXPECT_EQ(QVConvertString(lat1, buf.data(), buf.size(), utf8, "ab\xFF", 3, 8), -1);
  EXPECT_EQ(buf[0], '\0');

  for (const char *bad : {"\xC3", "a\xFF" "b", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(convert(lat1, utf8, bad, 16, &out), -1) << "invalid UTF-8 accepted";
    EXPECT_EQ(convert(utf8, utf8, bad, 16, &out), -1) << "invalid UTF-8 passed through";
  }
  EXPECT_EQ(convert(lat1, utf8, "\xE2\x82\xAC", 16, &out), -1);  // no euro sign in Latin-1
  const std::string valid = "\x7F\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
  EXPECT_EQ(convert(utf8, utf8, valid, 32, &out), static_cast<long>(valid.size()));
  EXPECT_EQ(out, valid);

  EXPECT_EQ(QVConvertString(lat1, nullptr, 8, utf8, "a", 1, 8), -1);
  EXPECT_EQ(QVConvertString(lat1, buf.data(), buf.size(), utf8, nullptr, 1, 8), -1);
  EXPECT_EQ(QVConvertString(lat1, buf.data(), buf.size(), utf8, "a", 1, 8 | 1), -1);
  EXPECT_EQ(QVConvertString(nullptr, buf.data(), buf.size(), utf8, "a", 1, 8), -1);
  int not_a_locale = 0;
  EXPECT_EQ(QVConvertString(reinterpret_cast<QVLocale>(&not_a_locale), buf.data(), buf.size(),
                            utf8, "a", 1, 8),
            -1);
  QVTerm(nullptr);
}

struct Counts {
  int allocs = 0;
  int frees = 0;
};

TEST_F(QvTest, CallerAllocatorHoldsTheLocaleRecords) {
  Counts counts;
  auto alloc = [](size_t n, void *ctx) {
    ++static_cast<Counts *>(ctx)->allocs;
    return malloc(n);
  };
  auto release = [](void *p, void *ctx) {
    ++static_cast<Counts *>(ctx)->frees;
    free(p);
  };
  ASSERT_EQ(QVInit(dir_.c_str(), alloc, release, &counts, QV_INIT_DEFAULT), 0);
  QVLocale a = get(".UTF-8");
  get(".Latin1");
  EXPECT_EQ(counts.allocs, 2);
  EXPECT_EQ(QVReleaseLocale(a, 0), 0);
  EXPECT_EQ(counts.frees, 1);
  QVTerm(nullptr);  // frees the one left behind
  EXPECT_EQ(counts.frees, 2);
}

}  // namespace
