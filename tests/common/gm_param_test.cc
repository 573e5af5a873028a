// gm_param_test.cc - plain parameter tables: line syntax, file reading, the
// registry with its change test, the DEFAULT rule, saving, value lists and
// the command-line and environment lists.

#include "gm_param.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string>
#include <utility>
#include <vector>

#include "os_diag.h"
#include "pexlist.h"
#include "test_workdir.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

Rows rows_of(PEXLIST_handle_typ *list) {
  Rows rows;
  char *key = nullptr;
  char *value = nullptr;
  GM_PARAM_list_reset(list);
  while (GM_PARAM_list_next(list, &key, &value) == KX_SUCCESS) rows.emplace_back(key, value);
  return rows;
}

Rows parse(const std::vector<std::string> &lines) {
  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  for (const auto &line : lines) GM_param_parse_str(&list, line.c_str());
  Rows rows = rows_of(&list);
  GM_PARAM_list_clear(&list);
  return rows;
}

// Moves a file's modification time by `delta` seconds from its current one.
void shift_mtime(const std::string &path, long delta) {
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  struct utimbuf times;
  times.actime = st.st_atime;
  times.modtime = st.st_mtime + delta;
  ASSERT_EQ(0, utime(path.c_str(), &times));
}

std::string get(const char *table, const char *key, KX_RC expected = KX_SUCCESS) {
  GM_PARAM_VALUE_typ value;
  snprintf(value, sizeof value, "untouched");
  EXPECT_EQ(expected, GM_PARAM_get(table, key, value)) << table << "/" << key;
  return value;
}

TEST(GmParamLine, SplitsKeyAndValueLikeTheAgent) {
  EXPECT_EQ((Rows{{"DBGLVL", "4"},
                  {"DBGLVL", "4"},
                  {"DBGLVL", "4"},
                  {"DBGLVL", "= 4"},
                  {"DBGLVL", ""},
                  {"PAD", "value"},
                  {"TAB", "value\t"},
                  {"CR", "value\r"},
                  {"HASH", "a # b"},
                  {"LEAD", "x"}}),
            parse({"DBGLVL 4", "dbglvl=4", "DBGLVL\t   4", "DBGLVL = 4\n", "DBGLVL",
                   "PAD value   ", "TAB value\t", "CR value\r\n", "HASH a # b",
                   " \t LEAD x"}));
}

TEST(GmParamLine, CommentsBlankLinesAndHeadersAddNothing) {
  EXPECT_EQ(Rows{}, parse({"# DBGLVL 4", "   #x", "", "   ", "\n", "[SECTION]", "a[b]c 1"}));
  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  EXPECT_EQ(GM_PARAM_SECTION_HEADER, GM_param_parse_str_option1(&list, "[HOSTS]", 1));
  EXPECT_EQ(KX_SUCCESS, GM_param_parse_str_option1(&list, "MixedCase v", 0));
  EXPECT_EQ(KX_SUCCESS, GM_param_parse_str_option1(&list, "upper v", 1));
  EXPECT_EQ((Rows{{"MixedCase", "v"}, {"UPPER", "v"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);
}

TEST(GmParamLine, KeyOf64CharactersFailsAnd63IsKept) {
  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  std::string k63(63, 'k');
  EXPECT_EQ(KX_SUCCESS, GM_param_parse_str(&list, (k63 + " v").c_str()));
  EXPECT_EQ(KX_FAIL, GM_param_parse_str(&list, (k63 + "k v").c_str()));
  EXPECT_EQ((Rows{{std::string(63, 'K'), "v"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);
}

TEST(GmParamFile, ReadsInPiecesAndStopsAtALongKey) {
  kxtest::TestWorkdir wd;
  // A 2152-character line is read as a 2120-character piece (of which 2112
  // are parsed) and a 32-character piece that parses as a line of its own.
  std::string longline = "K " + std::string(2150, 'x');
  wd.write_table("T", "# settings\n[SECTION]\nA 1\nA 2\n" + longline + "\nNEXT 1\n" +
                          std::string(64, 'L') + " 5\nAFTER 1\n");
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_file(&list, "./data/T.dat"));
  EXPECT_EQ((Rows{{"A", "1"},
                  {"A", "2"},
                  {"K", std::string(2110, 'x')},
                  {std::string(32, 'X'), ""},
                  {"NEXT", "1"}}),
            rows_of(&list));
  GM_PARAM_list_clear(&list);

  EXPECT_EQ(KX_FAIL, GM_PARAM_load_file(&list, "./data/MISSING.dat"));

  wd.write_table("O", "a 1\n[S]\nb 2\n");
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_file_option1(&list, "./data/O.dat", 0));
  EXPECT_EQ((Rows{{"a", "1"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);
}

// The process log of the working directory, taking lines up to level 4.
class ParamLog {
 public:
  ParamLog() {
    char empty[] = "";
    char name[] = "PT";
    OS_DIAG_initialize(empty, name);
    DIAG_set_debug_level(4);
  }
  std::string text() const {
    return kxtest::read_file("proclog/PT_" + std::to_string(getpid()) + ".log");
  }
  int count(const std::string &line) const {
    const std::string all = text();
    int n = 0;
    for (size_t p = all.find(line); p != std::string::npos; p = all.find(line, p + 1)) ++n;
    return n;
  }
};

// What is read is bounded, not only what is kept: a link to /dev/zero gives
// lines that keep nothing, a huge file rows nobody needs.
TEST(GmParamFile, ReadingStopsAtTheByteLimit) {
  kxtest::TestWorkdir wd;
  ParamLog log;
  ASSERT_EQ(0, symlink("/dev/zero", "data/ZERO.dat"));
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_file(&list, "./data/ZERO.dat"));
  EXPECT_EQ(Rows{}, rows_of(&list));
  const std::string too_long = "file ./data/ZERO.dat is longer than 4194304 bytes: reading "
                               "stopped there";
  EXPECT_EQ(1, log.count(too_long));

  // Only whole pieces up to the limit are parsed: the row that starts within
  // it is kept, the one beyond it is not.
  const std::string comment = "#" + std::string(1000, 'c') + "\n";
  std::string big = "A 1\n";
  while (big.size() + comment.size() <= GM_PARAM_FILE_MAX - 4) big += comment;
  big += std::string(GM_PARAM_FILE_MAX - 4 - big.size(), '\n');
  big += "B 2\nC 3\n";  // B ends at the limit, C lies beyond it
  ASSERT_GT(big.size(), static_cast<size_t>(GM_PARAM_FILE_MAX));
  wd.write_table("BIG", big);
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_file(&list, "./data/BIG.dat"));
  EXPECT_EQ((Rows{{"A", "1"}, {"B", "2"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);
  EXPECT_EQ(1, log.count("file ./data/BIG.dat is longer than 4194304 bytes"));

  // A table whose file never ends is loaded once, empty: every lookup then
  // answers at once with the caller's default.
  ASSERT_EQ(0, symlink("/dev/zero", "data/CONFIG.dat"));
  EXPECT_EQ("untouched", get("CONFIG", "DBGLVL", KX_EOS));
  EXPECT_EQ("untouched", get("CONFIG", "I18N", KX_EOS));
  EXPECT_EQ(1, log.count("file ./data/CONFIG.dat is longer than 4194304 bytes"));
  DIAG_set_debug_level(0);
}

TEST(GmParamTable, LoadsOnFirstUseAndAnswersExactKeys) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "dbglvl=3\nDUP first\nDUP second\nBLANKS v   \nSP = 3\n");
  EXPECT_EQ("3", get("CONFIG", "DBGLVL"));
  EXPECT_EQ("untouched", get("CONFIG", "dbglvl", KX_EOS));
  EXPECT_EQ("first", get("CONFIG", "DUP"));
  EXPECT_EQ("v", get("CONFIG", "BLANKS"));
  EXPECT_EQ("= 3", get("CONFIG", "SP"));
  EXPECT_EQ("untouched", get("NOSUCH", "DBGLVL", KX_FAIL));

  // Loaded once: the file is not read again by lookups.
  ASSERT_EQ(0, unlink("data/CONFIG.dat"));
  EXPECT_EQ("3", get("CONFIG", "DBGLVL"));
  EXPECT_EQ(1, PEXLIST_count(&TABLE_list));
}

TEST(GmParamTable, DefaultRowAnswersAbsentKeysOnly) {
  kxtest::TestWorkdir wd;
  wd.write_table("HADOOP", "A 1\nDEFAULT fallback\nB 2\nDEFAULT later\n");
  EXPECT_EQ("1", get("HADOOP", "A"));
  EXPECT_EQ("2", get("HADOOP", "B"));
  EXPECT_EQ("later", get("HADOOP", "NOT_THERE"));

  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  GM_PARAM_list_append(&list, "DEFAULT", "0123456789");
  char small[5];
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_get(&list, "X", small, sizeof small));
  EXPECT_STREQ("0123", small);
  GM_PARAM_list_clear(&list);
}

TEST(GmParamTable, ReloadsOnlyAfterTheFileChanged) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "DBGLVL 1\n");
  EXPECT_EQ("1", get("CONFIG", "DBGLVL"));
  EXPECT_EQ(KX_EOS, GM_PARAM_load("CONFIG", 0));

  // Rewritten within the same second: not noticed.
  std::string path = wd.file("data/CONFIG.dat");
  struct stat before;
  ASSERT_EQ(0, stat(path.c_str(), &before));
  wd.write_table("CONFIG", "DBGLVL 2\n");
  struct utimbuf same = {before.st_atime, before.st_mtime};
  ASSERT_EQ(0, utime(path.c_str(), &same));
  EXPECT_EQ(KX_EOS, GM_PARAM_load("CONFIG", 0));
  EXPECT_EQ("1", get("CONFIG", "DBGLVL"));

  shift_mtime(path, 10);
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_load("CONFIG", 0));
  EXPECT_EQ("2", get("CONFIG", "DBGLVL"));
  EXPECT_EQ(1, PEXLIST_count(&TABLE_list));

  // Bit 0 reloads without the test, discarding unsaved changes.
  GM_PARAM_set("CONFIG", "DBGLVL", "5");
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_load("CONFIG", 1));
  EXPECT_EQ("2", get("CONFIG", "DBGLVL"));

  // A vanished file drops the table; lookups keep failing.
  ASSERT_EQ(0, unlink(path.c_str()));
  EXPECT_EQ(KX_FAIL, GM_PARAM_load("CONFIG", 0));
  EXPECT_EQ(0, PEXLIST_count(&TABLE_list));
  get("CONFIG", "DBGLVL", KX_FAIL);
}

TEST(GmParamTable, NamesAreLimitedAndTrailingBlanksDoNotLoop) {
  kxtest::TestWorkdir wd;
  std::string name64(64, 'T');
  EXPECT_EQ(KX_FAIL, GM_PARAM_load(name64.c_str(), 1));
  EXPECT_EQ(KX_FAIL, GM_PARAM_set(name64.c_str(), "K", "V"));

  wd.write_table("OS ", "PROCLOG_MODE 0640\n");
  EXPECT_EQ("0640", get("OS ", "PROCLOG_MODE"));
  EXPECT_EQ("0640", get("OS ", "PROCLOG_MODE"));
  EXPECT_EQ(1, PEXLIST_count(&TABLE_list));
}

TEST(GmParamTable, SetCutsLongValuesAndLivesInMemory) {
  kxtest::TestWorkdir wd;
  std::string big(5000, 'v');
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_set("MEM", "BIG", big.c_str()));
  GM_PARAM_table_list *table = nullptr;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_table_find(&table, "MEM"));
  EXPECT_EQ(14u, strlen(table->load_timestmp));
  char *stored = nullptr;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_list_get_ptr(&table->table, "BIG", &stored));
  EXPECT_EQ(4095u, strlen(stored));
  EXPECT_EQ(std::string(2047, 'v'), get("MEM", "BIG"));

  EXPECT_EQ(KX_SUCCESS, GM_PARAM_set("MEM", "BIG", "small"));
  EXPECT_EQ(1, GM_PARAM_table_count(table));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_delete("MEM", "BIG"));
  EXPECT_EQ(KX_EOS, GM_PARAM_delete("MEM", "BIG"));
  EXPECT_FALSE(kxtest::file_exists(wd.file("data/MEM.dat")));

  GM_PARAM_clear();
  EXPECT_EQ(0, PEXLIST_count(&TABLE_list));
}

TEST(GmParamSave, WritesTheLayoutAndReadsBack) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "DBGLVL 3\n");
  std::string key40(40, 'K');
  std::string big(3000, 'b');
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_set("CONFIG", "NAME", "a value"));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_set("CONFIG", key40.c_str(), big.c_str()));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_save("CONFIG"));

  std::string expected = "DBGLVL" + std::string(29, ' ') + " 3\n\n" + "NAME" +
                         std::string(31, ' ') + " a value\n\n" + key40 + " " +
                         std::string(2048, 'b') + "\n\n";
  EXPECT_EQ(expected, kxtest::read_file(wd.file("data/CONFIG.dat")));
  struct stat st;
  ASSERT_EQ(0, stat(wd.file("data/CONFIG.dat").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0644u);

  // The saved time is the load time: no reload.
  EXPECT_EQ(KX_EOS, GM_PARAM_load("CONFIG", 0));

  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_file(&list, "./data/CONFIG.dat"));
  EXPECT_EQ((Rows{{"DBGLVL", "3"}, {"NAME", "a value"}, {key40, std::string(2048, 'b')}}),
            rows_of(&list));
  GM_PARAM_list_clear(&list);

  EXPECT_EQ(KX_FAIL, GM_PARAM_save("NOSUCH"));
}

TEST(GmParamList, SetInsertAppendDeleteKeepOrder) {
  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  GM_PARAM_list_set(&list, "B", "2");
  GM_PARAM_list_set(&list, "C", "3");
  GM_PARAM_list_reset(&list);
  GM_PARAM_list_insert(&list, "A", "1");
  GM_PARAM_list_set(&list, "B", "two");
  GM_PARAM_list_append(&list, "lower", "x");
  std::string k70(70, 'k');
  GM_PARAM_list_set(&list, k70.c_str(), "1");
  GM_PARAM_list_set(&list, k70.c_str(), "2");
  EXPECT_EQ((Rows{{"A", "1"}, {"B", "two"}, {"C", "3"}, {"lower", "x"}, {std::string(63, 'k'), "2"}}),
            rows_of(&list));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_delete(&list, "B"));
  EXPECT_EQ(KX_EOS, GM_PARAM_list_delete(&list, "B"));

  char *key = nullptr;
  char *value = nullptr;
  GM_PARAM_list_reset(&list);
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_list_next(&list, &key, &value));
  EXPECT_STREQ("A", key);
  EXPECT_EQ(65u + 1u, (unsigned)list.first->size);
  EXPECT_EQ(KX_FAIL, GM_PARAM_list_next(nullptr, &key, &value));

  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_clear(&list));
  EXPECT_EQ(KX_EOS, GM_PARAM_list_clear(&list));
}

TEST(GmParamList, MergeAndFilter) {
  PEXLIST_handle_typ dest, src, out;
  PEXLIST_init(&dest);
  PEXLIST_init(&src);
  PEXLIST_init(&out);
  GM_PARAM_list_append(&dest, "A", "dest");
  GM_PARAM_list_append(&src, "A", "src");
  GM_PARAM_list_append(&src, "PASSWORD", "secret");
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_merge(&dest, &src, 0));
  EXPECT_EQ((Rows{{"A", "dest"}, {"PASSWORD", "secret"}}), rows_of(&dest));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_merge(&dest, &src, 1));
  EXPECT_EQ((Rows{{"A", "src"}, {"PASSWORD", "secret"}}), rows_of(&dest));

  char **mask = GM_PARAM_get_keysToRemove_list();
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_filter(&dest, &out, mask));
  EXPECT_EQ((Rows{{"A", "src"}}), rows_of(&out));
  // Filtering a list into itself appends each kept row once.
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_list_filter(&dest, &dest, mask));
  EXPECT_EQ(3, PEXLIST_count(&dest));
  EXPECT_EQ(KX_FAIL, GM_PARAM_list_filter(nullptr, &out, mask));

  EXPECT_EQ(KX_FAIL, GM_PARAM_is_printable("PASSWORD", mask));
  EXPECT_EQ(KX_FAIL, GM_PARAM_is_printable("INSTREAM_SCRIPT", mask));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_is_printable("password", mask));
  GM_PARAM_list_clear(&dest);
  GM_PARAM_list_clear(&src);
  GM_PARAM_list_clear(&out);
}

TEST(GmParamValueList, SplitsAndJoins) {
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_valuelist(&list, "a,b,,c", ","));
  EXPECT_EQ((Rows{{"A", ""}, {"B", ""}, {"C", ""}}), rows_of(&list));
  char out[2048] = "untouched";
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_save_valuelist(&list, out, ","));
  EXPECT_STREQ("A,B,C", out);
  GM_PARAM_list_clear(&list);

  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_valuelist(&list, "host=h1; port=80", ";"));
  EXPECT_EQ((Rows{{"HOST", "h1"}, {"PORT", "80"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);

  EXPECT_EQ(KX_FAIL, GM_PARAM_load_valuelist(&list, nullptr, ","));
  EXPECT_EQ(KX_FAIL, GM_PARAM_load_valuelist(&list, "a", ""));

  // 40 keys of 60 characters do not fit in 2047: refused, output kept.
  PEXLIST_init(&list);
  for (int i = 0; i < 40; ++i) GM_PARAM_list_append(&list, std::string(60, 'a' + i % 26).c_str(), "");
  snprintf(out, sizeof out, "untouched");
  EXPECT_EQ(KX_FAIL, GM_PARAM_save_valuelist(&list, out, ","));
  EXPECT_STREQ("untouched", out);
  GM_PARAM_list_clear(&list);
}

TEST(GmParamArgs, OptionsInputFileAndDebugLevel) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "DBGLVL 2\n");
  wd.write("in.txt", "NAME from_file\nEXTRA e\n");
  const char *argv[] = {"prog", "-name", "cmd", "-Input_File", "in.txt", "-dbglvl", "9",
                        "rest", "-ignored", "x"};
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_args(&list, 10, const_cast<char **>(argv)));
  EXPECT_EQ((Rows{{"NAME", "cmd"}, {"DBGLVL", "9"}, {"EXTRA", "e"}}), rows_of(&list));
  EXPECT_EQ(2, DIAG_debug_level());  // 9 is out of range: CONFIG's value
  GM_PARAM_list_clear(&list);

  const char *argv2[] = {"prog", "-DBGLVL", "4", "-dangling"};
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_args(&list, 4, const_cast<char **>(argv2)));
  EXPECT_EQ((Rows{{"DBGLVL", "4"}}), rows_of(&list));
  EXPECT_EQ(4, DIAG_debug_level());
  GM_PARAM_list_clear(&list);
  DIAG_set_debug_level(0);

  const char *argv3[] = {"prog", "-INPUT_FILE", "missing.txt"};
  EXPECT_EQ(KX_FAIL, GM_PARAM_load_args(&list, 3, const_cast<char **>(argv3)));
  EXPECT_EQ(0, PEXLIST_count(&list));
}

TEST(GmParamEnv, PrefixSelectsAndIsDropped) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "ZRTENV_PREFIX KXT_\n");
  setenv("KXT_my_name", "the value", 1);
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_load_env(&list));
  EXPECT_EQ((Rows{{"MY_NAME", "the value"}}), rows_of(&list));
  GM_PARAM_list_clear(&list);
  unsetenv("KXT_my_name");
}

TEST(GmParamMisc, IntsVersionsAndObfuscation) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "N 42\nNEG -3\nFIX_NUMBER 0\nFD_NUMBER 9.0.21\n");
  EXPECT_EQ(42, GM_PARAM_get_int_by_name("CONFIG", "N", 7));
  EXPECT_EQ(7, GM_PARAM_get_int_by_name("CONFIG", "NEG", 7));
  EXPECT_EQ(7, GM_PARAM_get_int_by_name("CONFIG", "ABSENT", 7));
  GM_PARAM_VALUE_typ version = "";
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_get_agent_version(version));
  EXPECT_STREQ("0.21", version);

  char text[20];
  GLOBAL_version(text, sizeof text);
  EXPECT_STREQ("GLOBAL dll 8.0.00 -", text);

  char buf[129];
  memset(buf, 0, sizeof buf);
  snprintf(buf, sizeof buf, "secret  ");
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_encrypt(buf));
  EXPECT_EQ(128u, strlen(buf));
  EXPECT_EQ(std::string::npos, std::string(buf).find_first_not_of("0123456789abcdef"));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_decrypt(buf));
  EXPECT_STREQ("secret", buf);

  char shortbuf[11] = "abcd";
  GM_PARAM_encryptEx(shortbuf, 5);
  EXPECT_EQ(10u, strlen(shortbuf));
  GM_PARAM_decryptEx(shortbuf, 5);
  EXPECT_STREQ("abcd", shortbuf);
}

}  // namespace
