// gm_subtable_test.cc - sectioned parameter tables: the reader, the registry,
// changes in memory and the saved layout.

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "gm_param.h"
#include "pexlist.h"
#include "test_workdir.h"

namespace {

struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::string>> rows;
  bool operator==(const Section &o) const { return name == o.name && rows == o.rows; }
};
using Sections = std::vector<Section>;

void PrintTo(const Section &s, std::ostream *os) {
  *os << "[" << s.name << "]";
  for (const auto &r : s.rows) *os << " " << r.first << "=" << r.second;
}

Sections sections_of(PEXLIST_handle_typ *list) {
  Sections out;
  PEXLIST_handle_typ walk = *list;
  PEXLIST_reset(&walk);
  void *ptr = nullptr;
  unsigned size = 0;
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    auto *sec = static_cast<GM_PARAM_subtable_row *>(ptr);
    Section s{sec->key, {}};
    PEXLIST_handle_typ rows = sec->list;
    PEXLIST_reset(&rows);
    char *key = nullptr;
    char *value = nullptr;
    while (GM_PARAM_list_next(&rows, &key, &value) == KX_SUCCESS) s.rows.emplace_back(key, value);
    out.push_back(s);
  }
  return out;
}

TEST(GmSubtableFile, SectionsKeepKeyCaseAndDropLeadingRows) {
  kxtest::TestWorkdir wd;
  wd.write_table("S", "LEAD 1\n# comment\n[Hosts]\nPort 80\nname  web one  \n"
                      "[HOSTS]\nPort 81\n\n  [ empty ]\n");  // a blank ends the key: no header
  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_load_file(&list, "./data/S.dat"));
  EXPECT_EQ((Sections{{"HOSTS", {{"Port", "80"}, {"name", "web one"}}},
                      {"HOSTS", {{"Port", "81"}, {"[", "empty ]"}}}}),
            sections_of(&list));

  char value[2048] = "untouched";
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_list_get(&list, "HOSTS", "Port", value, sizeof value));
  EXPECT_STREQ("80", value);
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_list_get(&list, "HOSTS", "PORT", value, sizeof value));
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_list_get(&list, "Hosts", "Port", value, sizeof value));
  EXPECT_STREQ("80", value);
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_list_clear(&list));
}

TEST(GmSubtableFile, LongKeyFailsAndKeepsCompletedSections) {
  kxtest::TestWorkdir wd;
  wd.write_table("S", "[A]\nx 1\n[B]\ny 2\n" + std::string(64, 'k') + " 3\n[C]\n");
  PEXLIST_handle_typ list;
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_load_file(&list, "./data/S.dat"));
  EXPECT_EQ((Sections{{"A", {{"x", "1"}}}}), sections_of(&list));
  GM_PARAM_subtable_list_clear(&list);
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_load_file(&list, "./data/NONE.dat"));

  // In the registry a failed read registers nothing.
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_load("S", 1));
  EXPECT_EQ(0, PEXLIST_count(&SUBTABLE_list));
}

// A sectioned file that does not fit its reader fails as a whole, like one
// with a key that does not fit, after at most GM_PARAM_FILE_MAX bytes.
TEST(GmSubtableFile, FileBeyondTheByteLimitFails) {
  kxtest::TestWorkdir wd;
  ASSERT_EQ(0, symlink("/dev/zero", "data/ZERO.dat"));
  PEXLIST_handle_typ list;
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_load_file(&list, "./data/ZERO.dat"));
  EXPECT_EQ(0, PEXLIST_count(&list));

  std::string big = "[FIRST]\nk 1\n[SECOND]\n";
  const std::string row = "key " + std::string(1000, 'v') + "\n";
  while (big.size() <= GM_PARAM_FILE_MAX) big += row;
  wd.write_table("BIG", big);
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_load_file(&list, "./data/BIG.dat"));
  EXPECT_EQ((Sections{{"FIRST", {{"k", "1"}}}}), sections_of(&list));
  GM_PARAM_subtable_list_clear(&list);

  ASSERT_EQ(0, symlink("/dev/zero", "data/NET.dat"));
  char value[2048] = "untouched";
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_get("NET", "HOSTS", "Port", value));
  EXPECT_STREQ("untouched", value);
}

TEST(GmSubtableTable, LookupChangeAndReload) {
  kxtest::TestWorkdir wd;
  wd.write_table("NET", "[hosts]\nPort 80\nDEFAULT any\n");
  GM_PARAM_VALUE_typ value = "untouched";
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_get("NET", "HOSTS", "Port", value));
  EXPECT_STREQ("80", value);
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_get("NET", "HOSTS", "other", value));
  EXPECT_STREQ("any", value);
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_get("NET", "NOPE", "Port", value));
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_get("ABSENT", "HOSTS", "Port", value));
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_load("NET", 0));
  EXPECT_EQ(0, PEXLIST_count(&TABLE_list));  // registries are separate

  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NET", "HOSTS", "Port", "8080"));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NET", "extra", "k", "v"));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NET", "extra", "k2", "v2"));
  GM_PARAM_table_list *table = nullptr;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_table_find(&table, "NET"));
  EXPECT_EQ((Sections{{"HOSTS", {{"Port", "8080"}, {"DEFAULT", "any"}}},
                      {"extra", {{"k", "v"}, {"k2", "v2"}}}}),
            sections_of(&table->table));

  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_delete_entry("NET", "extra", "k"));
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_delete_entry("NET", "extra", "k"));
  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_delete_entry("ABSENT", "extra", "k"));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_delete("NET", "HOSTS"));
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_delete("NET", "HOSTS"));
  EXPECT_EQ((Sections{{"extra", {{"k2", "v2"}}}}), sections_of(&table->table));

  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_set("NET", std::string(64, 's').c_str(), "k", "v"));

  // Reloading discards the changes.
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_subtable_load("NET", 1));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_table_find(&table, "NET"));
  EXPECT_EQ((Sections{{"HOSTS", {{"Port", "80"}, {"DEFAULT", "any"}}}}),
            sections_of(&table->table));
  EXPECT_EQ(1, PEXLIST_count(&SUBTABLE_list));
  GM_PARAM_subtable_clear();
  EXPECT_EQ(0, PEXLIST_count(&SUBTABLE_list));
}

TEST(GmSubtableSave, WritesTheLayoutAndReadsBack) {
  kxtest::TestWorkdir wd;
  std::string big(3000, 'b');
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NEW", "HOSTS", "Port", "80"));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NEW", "HOSTS", "Big", big.c_str()));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_set("NEW", "OTHER", "k", ""));
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_save("NEW"));

  std::string expected = "[HOSTS]\n\n" + ("Port" + std::string(60, ' ')) + "  80\n\n" +
                         ("Big" + std::string(61, ' ')) + "  " + std::string(2048, 'b') +
                         "\n\n[OTHER]\n\n" + ("k" + std::string(63, ' ')) + "  \n\n";
  EXPECT_EQ(expected, kxtest::read_file(wd.file("data/NEW.dat")));
  EXPECT_EQ(KX_EOS, GM_PARAM_subtable_load("NEW", 0));

  PEXLIST_handle_typ list;
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_subtable_load_file(&list, "./data/NEW.dat"));
  EXPECT_EQ((Sections{{"HOSTS", {{"Port", "80"}, {"Big", std::string(2048, 'b')}}},
                      {"OTHER", {{"k", ""}}}}),
            sections_of(&list));
  GM_PARAM_subtable_list_clear(&list);

  EXPECT_EQ(KX_FAIL, GM_PARAM_subtable_save("ABSENT"));
}

TEST(GmSubtableName, HeaderTestAndNameCut) {
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_IsSubtable("[A]"));
  EXPECT_EQ(KX_SUCCESS, GM_PARAM_IsSubtable("x[a]]y"));
  EXPECT_EQ(KX_FAIL, GM_PARAM_IsSubtable("]a["));
  EXPECT_EQ(KX_FAIL, GM_PARAM_IsSubtable("[a"));
  EXPECT_EQ(KX_FAIL, GM_PARAM_IsSubtable(nullptr));
  char text[] = "x[a]b]y";
  EXPECT_STREQ("a]b", GM_PARAM_Get_SubtableName(text));
  char plain[] = "name";
  EXPECT_EQ(nullptr, GM_PARAM_Get_SubtableName(plain));
  EXPECT_STREQ("name", plain);
}

}  // namespace
