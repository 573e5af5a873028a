#include "be_loadfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_env.h"

namespace {

class LoadFileTest : public kxtest::AgentEnv {
 protected:
  LoadFileTest() : AgentEnv("LF", kLogOnly, 6) {}

  // Loads data/<name> into a fresh buffer of max_size bytes holding `prefix`.
  KX_RC load(const std::string& name, int max_size, std::string* out,
             const std::string& prefix = "") {
    std::vector<char> buf(max_size + 16, '\0');
    prefix.copy(buf.data(), prefix.size());
    const KX_RC rc = BE_load_file_to_string(wd_.file("data/" + name).c_str(), buf.data(), max_size);
    *out = buf.data();
    return rc;
  }
};

TEST(BeStrUnpadAll, CutsTrailingBlanksAndTabsOnly) {
  char mixed[] = "  a b \t \t";
  EXPECT_EQ(BE_str_unpad_all(mixed), mixed);
  EXPECT_STREQ(mixed, "  a b");
  char blanks[] = " \t ";
  EXPECT_STREQ(BE_str_unpad_all(blanks), "");
  char line_end[] = "x \n";  // a line feed is not a blank
  EXPECT_STREQ(BE_str_unpad_all(line_end), "x \n");
  char empty[] = "";
  EXPECT_STREQ(BE_str_unpad_all(empty), "");
  EXPECT_EQ(BE_str_unpad_all(nullptr), nullptr);
}

TEST_F(LoadFileTest, JoinsLinesWithoutLineEndsOrTrailingBlanks) {
  wd_.write("data/c.xml", "<Configuration> \t\n  <Port>1</Port>\t \n\n</Configuration>  ");
  std::string text;
  EXPECT_EQ(load("c.xml", 1000, &text), 1);
  EXPECT_EQ(text, "<Configuration>  <Port>1</Port></Configuration>");
  EXPECT_TRUE(logged("BE_load_file_to_string: filename='" + wd_.file("data/c.xml") +
                     "' reading up to size 1000"));
}

TEST_F(LoadFileTest, DropsTheByteOrderMark) {
  wd_.write("data/bom.xml", "\xEF\xBB\xBF<a>\n<b>\xEF\xBB\xBF</b>\n");
  std::string text;
  EXPECT_EQ(load("bom.xml", 100, &text), 1);
  // Only at the start of a line is the mark dropped.
  EXPECT_EQ(text, "<a><b>\xEF\xBB\xBF</b>");
}

TEST_F(LoadFileTest, SizeLimitKeepsRoomForTheTerminator) {
  wd_.write("data/c.xml", "12345\n67890\n");  // 10 characters of content
  std::string text;
  EXPECT_EQ(load("c.xml", 11, &text), 1);
  EXPECT_EQ(text, "1234567890");

  EXPECT_EQ(load("c.xml", 10, &text), 2);
  EXPECT_EQ(text, "12345");  // the lines that fitted stay
  EXPECT_TRUE(logged("BE_load_file_to_string: Not enough allocated space in xmlbuff to fulfill "
                     "the file content"));

  // What the buffer held before counts against the limit.
  EXPECT_EQ(load("c.xml", 11, &text, "x"), 2);
  EXPECT_EQ(text, "x12345");
}

TEST_F(LoadFileTest, LinesLongerThanOneReadArriveWhole) {
  const std::string long_line(BE_LOADFILE_LINE_MAX * 2 + 17, 'q');
  wd_.write("data/long.xml", long_line + "\nend\n");
  std::string text;
  EXPECT_EQ(load("long.xml", 30000, &text), 1);
  EXPECT_EQ(text, long_line + "end");
}

// Trimming can make lines keep nothing, so what is read has its own bound:
// BE_LOADFILE_READ_FACTOR times the buffer.
TEST_F(LoadFileTest, ReadingEndsWithinFourTimesTheBuffer) {
  ASSERT_EQ(symlink("/dev/zero", wd_.file("data/zero.xml").c_str()), 0);
  std::string text;
  EXPECT_EQ(load("zero.xml", 1000, &text, "keep"), 2);
  EXPECT_EQ(text, "keep");
  EXPECT_TRUE(logged("BE_load_file_to_string: " + wd_.file("data/zero.xml") +
                     " holds more than 4000 bytes; not read further"));

  // Blank lines and indentation within the bound are trimmed as always...
  const std::string head = "<a>" + std::string(2000, ' ') + "\n";
  wd_.write("data/padded.xml", head + std::string(1500, '\n') + "\t<b/>\n");
  EXPECT_EQ(load("padded.xml", 1000, &text), 1);
  EXPECT_EQ(text, "<a>\t<b/>");
  // ... beyond it the file counts as one that does not fit.
  wd_.write("data/padded.xml", head + std::string(2100, '\n') + "\t<b/>\n");
  EXPECT_EQ(load("padded.xml", 1000, &text), 2);
  EXPECT_EQ(text, "<a>");
}

TEST_F(LoadFileTest, EmptyAndMissingFiles) {
  wd_.write("data/empty.xml", "");
  std::string text;
  EXPECT_EQ(load("empty.xml", 10, &text, "keep"), 1);
  EXPECT_EQ(text, "keep");

  EXPECT_EQ(load("absent.xml", 10, &text, "keep"), KX_FAIL);
  EXPECT_EQ(text, "keep");
  EXPECT_TRUE(logged("BE_load_file_to_string: Failed to open file " +
                     wd_.file("data/absent.xml") + "."));

  char buf[4] = "";
  EXPECT_EQ(BE_load_file_to_string(nullptr, buf, 4), KX_FAIL);

  // A pipe in the file's place is one that cannot be opened, not a wait
  // for a writer that never comes.
  ASSERT_EQ(mkfifo(wd_.file("data/pipe.xml").c_str(), 0600), 0);
  EXPECT_EQ(load("pipe.xml", 10, &text, "keep"), KX_FAIL);
  EXPECT_EQ(text, "keep");
  EXPECT_TRUE(logged("BE_load_file_to_string: Failed to open file " + wd_.file("data/pipe.xml") + "."));
}

}  // namespace
