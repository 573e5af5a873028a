// Tests of the attribute library: lookups and the cursor, storing, appending,
// building from row lists and table files, release, logging, text form.

#include "pexapi_utl.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os_diag.h"
#include "pexlist.h"
#include "test_workdir.h"

namespace {

// An output list as the agent builds it: every attribute has a value buffer
// of its own size, allocated exactly so that the sanitizer sees an overrun.
class AgentList {
 public:
  AgentList& add(const std::string& name, const std::string& value, size_t buffer = 0) {
    if (buffer == 0) buffer = value.size() + 1;
    names_.push_back(std::make_unique<std::string>(name));
    auto buf = std::unique_ptr<char[]>(new char[buffer]());
    memcpy(buf.get(), value.data(), std::min(value.size(), buffer - 1));
    attrs_.push_back(PEXAttr{&(*names_.back())[0], static_cast<uint16_t>(buffer), buf.get()});
    values_.push_back(std::move(buf));
    list_.Count = static_cast<int32_t>(attrs_.size());
    list_.Attributes = attrs_.data();
    return *this;
  }
  PEXAttrList* list() { return &list_; }

 private:
  std::vector<std::unique_ptr<std::string>> names_;
  std::vector<std::unique_ptr<char[]>> values_;
  std::vector<PEXAttr> attrs_;
  PEXAttrList list_{0, nullptr, 0};
};

// A working directory with the log open at the given debug level.
class Logged {
 public:
  explicit Logged(int level) {
    OS_DIAG_initialize("", "UTLTEST");
    DIAG_set_debug_level(level);
  }
  std::string log() const {
    return kxtest::read_file(dir_.file("proclog/UTLTEST_" + std::to_string(getpid()) + ".log"));
  }
  const kxtest::TestWorkdir& dir() const { return dir_; }

 private:
  kxtest::TestWorkdir dir_;
};

// A key/value row as the parameter tables store it: the whole key field,
// then the value and its terminator.
void append_row(PEXLIST_handle_typ* rows, const std::string& key, const std::string& value) {
  std::vector<char> row(sizeof(GM_PARAM_KEY_typ) + value.size() + 1, '\0');
  memcpy(row.data(), key.data(), std::min(key.size(), sizeof(GM_PARAM_KEY_typ) - 1));
  memcpy(row.data() + sizeof(GM_PARAM_KEY_typ), value.data(), value.size());
  ASSERT_EQ(KX_SUCCESS, PEXLIST_append(rows, row.data(), static_cast<unsigned>(row.size())));
}

std::string value_of(PEXAttrList* l, const char* name) {
  char* v = nullptr;
  return PEXAPI_UTILS_AttrListValueGet(l, name, &v) == PEX_SUCCESS ? v : "<none>";
}

// ---- error record ----

TEST(ErrorRecord, StoresCodeAndCutsLongTexts) {
  Logged log(4);
  PEXError err;
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_UTILS_ErrorSet(&err, 17, "%s failed: %d", "submit", 3));
  EXPECT_EQ(17u, PEXAPI_UTILS_ErrorCodeGet(&err));
  EXPECT_STREQ("submit failed: 3", err.text);
  EXPECT_NE(std::string::npos, log.log().find("UTLTEST:ErrorSet: submit failed: 3\n"));

  const std::string long_text(2000, 'e');
  PEXAPI_UTILS_ErrorSet(&err, 1, "%s", long_text.c_str());
  EXPECT_EQ(std::string(998, 'e'), err.text);

  // Longer than the whole formatting area.
  const std::string huge(7000, 'h');
  PEXAPI_UTILS_ErrorSet(&err, 2, "%s%s", huge.c_str(), huge.c_str());
  EXPECT_EQ(std::string(998, 'h'), err.text);

  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_ErrorSet(nullptr, 1, "x"));
}

// ---- cursor and lookups ----

TEST(Cursor, NextRunsPastTheEndAndKeepsCounting) {
  AgentList a;
  a.add("A", "1").add("B", "2");
  char* n = nullptr;
  char* v = nullptr;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListNext(a.list(), &n, &v));
  EXPECT_STREQ("A", n);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListNext(a.list(), &n, &v));
  EXPECT_STREQ("B", n);
  EXPECT_STREQ("2", v);
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListNext(a.list(), &n, &v));
  EXPECT_EQ(3, a.list()->Curr);
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListNext(a.list(), &n, &v));
  EXPECT_EQ(4, a.list()->Curr);
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListReset(a.list()));
  EXPECT_EQ(0, a.list()->Curr);

  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_AttrListNext(nullptr, &n, &v));
  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_AttrListReset(nullptr));
}

TEST(Lookup, AutoeditRuleAppliesOnlyToPlainSearchNames) {
  AgentList a;
  a.add("%%JOBNAME", "job1").add("ODATE", "20240101");
  char* v = nullptr;
  EXPECT_EQ("job1", value_of(a.list(), "JOBNAME"));
  EXPECT_EQ("job1", value_of(a.list(), "%%JOBNAME"));
  EXPECT_EQ("20240101", value_of(a.list(), "ODATE"));
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGet(a.list(), "%%ODATE", &v));

  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetNoAutoedits(a.list(), "JOBNAME", &v));
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetNoAutoedits(a.list(), "%%JOBNAME", &v));
  EXPECT_STREQ("job1", v);

  // Storing matches exactly: the autoedit is not found by its bare name.
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueSet(a.list(), "JOBNAME", "other"));
  EXPECT_EQ("job1", value_of(a.list(), "JOBNAME"));

  v = nullptr;
  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_AttrListValueGet(nullptr, "JOBNAME", &v));
  EXPECT_EQ(nullptr, v);
}

TEST(Lookup, SubnameAndPrefix) {
  AgentList a;
  a.add("ORDERID", "o").add("%%JOBNAME", "j").add("%%ODATE", "d");
  char* n = nullptr;
  char* v = nullptr;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetSubname(a.list(), "NAME", &n, &v));
  EXPECT_STREQ("%%JOBNAME", n);
  EXPECT_STREQ("j", v);
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetSubname(a.list(), "%%NAME", &n, &v));

  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrefix(a.list(), "%%", &n, &v));
  EXPECT_STREQ("%%JOBNAME", n);
  // A prefix never skips the "%%".
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetPrefix(a.list(), "JOB", &n, &v));
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListResetIndexPrefix(a.list(), "%%", &n, &v));
  EXPECT_EQ(1, a.list()->Curr);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetNextPrefix(a.list(), "%%", &n, &v));
  EXPECT_STREQ("%%ODATE", n);
  EXPECT_EQ(2, a.list()->Curr);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrevSubname(a.list(), "O", &n, &v));
  EXPECT_STREQ("%%JOBNAME", n);
  EXPECT_EQ(1, a.list()->Curr);
}

TEST(Lookup, RelativeSearchesMoveTheCursor) {
  AgentList a;
  a.add("X", "0").add("Y", "1").add("X", "2").add("X", "3");
  char* v = nullptr;
  EXPECT_EQ("0", value_of(a.list(), "X"));
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetLast(a.list(), "X", &v));
  EXPECT_STREQ("3", v);
  EXPECT_EQ(0, a.list()->Curr);

  a.list()->Curr = 2;
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListResetIndex(a.list(), "MISSING", &v));
  EXPECT_EQ(0, a.list()->Curr);
  // The search starts after the cursor: index 0 is never examined.
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetNext(a.list(), "X", &v));
  EXPECT_STREQ("2", v);
  EXPECT_EQ(2, a.list()->Curr);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetNext(a.list(), "X", &v));
  EXPECT_EQ(3, a.list()->Curr);
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetNext(a.list(), "X", &v));
  EXPECT_EQ(3, a.list()->Curr);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrev(a.list(), "X", &v));
  EXPECT_STREQ("2", v);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrev(a.list(), "X", &v));
  EXPECT_STREQ("0", v);
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetPrev(a.list(), "X", &v));
  EXPECT_EQ(0, a.list()->Curr);

  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListResetIndex(a.list(), "Y", &v));
  EXPECT_EQ(1, a.list()->Curr);
}

TEST(Lookup, BackwardSearchAfterIterationStartsAtTheLastAttribute) {
  AgentList a;
  a.add("X", "0").add("X", "1");
  char* n = nullptr;
  char* v = nullptr;
  while (PEXAPI_UTILS_AttrListNext(a.list(), &n, &v) == PEX_SUCCESS) {
  }
  PEXAPI_UTILS_AttrListNext(a.list(), &n, &v);
  ASSERT_EQ(4, a.list()->Curr);
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrev(a.list(), "X", &v));
  EXPECT_STREQ("1", v);
  EXPECT_EQ(1, a.list()->Curr);

  a.list()->Curr = INT32_MAX;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueGetPrevPrefix(a.list(), "X", &n, &v));
  EXPECT_STREQ("1", v);
  a.list()->Curr = INT32_MAX;
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListValueGetNextSubname(a.list(), "X", &n, &v));
  EXPECT_EQ(PEX_EOS, PEXAPI_UTILS_AttrListNext(a.list(), &n, &v));
}

// ---- storing ----

TEST(Store, SizeAndCutToTheAgentsBuffer) {
  AgentList a;
  a.add("%%OUT", "", 100).add("OTHER", "keep", 5);
  int size = 0;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueSizeGet(a.list(), "OUT", &size));
  EXPECT_EQ(99, size);

  const std::string value(150, 'v');
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueSet(a.list(), "%%OUT", value.c_str()));
  EXPECT_EQ(std::string(99, 'v'), a.list()->Attributes[0].Value);

  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueSet(a.list(), "%%OUT", "ab"));
  const char* stored = a.list()->Attributes[0].Value;
  EXPECT_STREQ("ab", stored);
  for (int i = 2; i < 100; ++i) ASSERT_EQ('\0', stored[i]) << i;
  EXPECT_STREQ("keep", a.list()->Attributes[1].Value);
}

// The indexed store gives what the search gives, name by name: the first of
// two equal names, exact names only (no autoedit rule), a miss as PEX_EOS,
// a nameless or valueless attribute as the search treats it.
TEST(Store, IndexedStoreMatchesTheSearch) {
  auto build = [](AgentList* a) {
    a->add("DUP", "", 8).add("%%AE", "", 8).add("DUP", "", 8).add("SHORT", "", 3);
    a->add("NOVALUE", "", 4);
    a->list()->Attributes[4].Value = nullptr;
    a->add("", "", 4);
    a->list()->Attributes[5].Name = nullptr;
  };
  AgentList searched;
  AgentList indexed;
  build(&searched);
  build(&indexed);
  PEXAttrValueSetter setter(indexed.list());
  const char* names[] = {"DUP", "AE", "%%AE", "SHORT", "NOVALUE", "MISSING", "DUP", ""};
  const char* values[] = {"one", "two", "three", "long value", "x", "y", "four", "z"};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    EXPECT_EQ(PEXAPI_UTILS_AttrListValueSet(searched.list(), names[i], values[i]),
              setter.set(names[i], values[i]))
        << names[i];
  }
  for (int i = 0; i < 4; ++i)
    EXPECT_STREQ(searched.list()->Attributes[i].Value, indexed.list()->Attributes[i].Value) << i;
  EXPECT_STREQ("four", indexed.list()->Attributes[0].Value);
  EXPECT_STREQ("", indexed.list()->Attributes[2].Value);
  EXPECT_STREQ("lo", indexed.list()->Attributes[3].Value);
  EXPECT_EQ(PEX_FAIL, setter.set("NOVALUE", "x"));

  PEXAttrValueSetter on_null(nullptr);
  EXPECT_EQ(PEX_FAIL, on_null.set("DUP", "x"));

  // Enough names for the index to probe past taken slots, a third repeated.
  AgentList many_searched;
  AgentList many_indexed;
  for (int i = 0; i < 300; ++i) {
    many_searched.add("N" + std::to_string(i % 200), "", 8);
    many_indexed.add("N" + std::to_string(i % 200), "", 8);
  }
  PEXAttrValueSetter many(many_indexed.list());
  for (int k = 0; k < 250; ++k) {
    const std::string name = "N" + std::to_string(k);
    const std::string value = "v" + std::to_string(k);
    ASSERT_EQ(PEXAPI_UTILS_AttrListValueSet(many_searched.list(), name.c_str(), value.c_str()),
              many.set(name.c_str(), value.c_str()))
        << name;
  }
  for (int i = 0; i < 300; ++i) {
    ASSERT_STREQ(many_searched.list()->Attributes[i].Value,
                 many_indexed.list()->Attributes[i].Value)
        << i;
  }
}

// ---- appending ----

TEST(Append, EmptyListsAndOrder) {
  PEXAttrList empty{0, nullptr, 0};
  PEXAttrList other{0, nullptr, 5};
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Attr2Attr(&other, &empty));
  EXPECT_EQ(0, empty.Count);
  EXPECT_EQ(nullptr, empty.Attributes);

  PEXAttrList l{0, nullptr, 7};
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "A", "1"));
  EXPECT_EQ(1, l.Count);
  EXPECT_EQ(0, l.Curr);
  EXPECT_EQ(2, l.Attributes[0].ValueLen);

  // The previous array is not released by an append: keep it to free here.
  PEXAttrList before = l;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "B", "22"));
  PEXAPI_utils_release_attr(&before);

  AgentList from;
  from.add("C", "3").add("D", "4");
  before = l;
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Attr2Attr(from.list(), &l));
  PEXAPI_utils_release_attr(&before);
  ASSERT_EQ(4, l.Count);
  const char* order[] = {"A", "B", "C", "D"};
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(order[i], l.Attributes[i].Name);
  EXPECT_EQ("22", value_of(&l, "B"));
  EXPECT_EQ(2, from.list()->Count);
  EXPECT_STREQ("C", from.list()->Attributes[0].Name);

  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_AttrListAppend_Value2Attr(nullptr, "A", "1"));
  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_AttrListAppend_Attr2Attr(nullptr, &l));
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_utils_release_attr(&l));
}

TEST(Append, CopiesHoldTheWholeCapacityTheyAdvertise) {
  // The agent's output attribute: a 100-byte buffer holding a short value.
  AgentList agent;
  agent.add("RESULT", "abc", 100);
  PEXAttrList out = *agent.list();
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Value2Attr(&out, "NEW", "n"));
  ASSERT_EQ(100, out.Attributes[0].ValueLen);
  const std::string value(150, 'w');
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueSet(&out, "RESULT", value.c_str()));
  EXPECT_EQ(std::string(99, 'w'), out.Attributes[0].Value);

  PEXAttrList copy{0, nullptr, 0};
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Attr2Attr(agent.list(), &copy));
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListValueSet(&copy, "RESULT", value.c_str()));
  EXPECT_EQ(std::string(99, 'w'), copy.Attributes[0].Value);
  PEXAPI_utils_release_attr(&copy);
  PEXAPI_utils_release_attr(&out);
}

TEST(Append, ValueKeptWithinTheLengthField) {
  PEXAttrList l{0, nullptr, 0};
  const std::string big(70000, 'b');
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "BIG", big.c_str()));
  EXPECT_EQ(65535, l.Attributes[0].ValueLen);
  EXPECT_EQ(65534u, strlen(l.Attributes[0].Value));
  PEXAPI_utils_release_attr(&l);
}

TEST(Append, AllocationAndReleaseTracesAtLevelSix) {
  Logged log(6);
  PEXAttrList l{0, nullptr, 0};
  PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "A", "1");
  PEXAPI_utils_release_attr(&l);
  const std::string text = log.log();
  EXPECT_NE(std::string::npos,
            text.find("malloc #1 in PEXAPI_UTILS_AttrListAppend_Value2Attr : "));
  EXPECT_NE(std::string::npos,
            text.find("malloc #3 in PEXAPI_UTILS_AttrListAppend_Value2Attr : "));
  EXPECT_NE(std::string::npos, text.find(":PEXAPI_utils_release_attr\n"));
  EXPECT_NE(std::string::npos, text.find("free #1 in PEXAPI_utils_release_attr : "));
  EXPECT_NE(std::string::npos, text.find("free #2 in PEXAPI_utils_release_attr : "));

  DIAG_set_debug_level(5);
  PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "B", "2");
  PEXAPI_utils_release_attr(&l);
  EXPECT_EQ(std::string::npos, log.log().find("malloc #3 in", text.size()));
}

// ---- release ----

TEST(Release, RefusesBrokenListsAndFreesEitherShapeOnce) {
  Logged log(1);
  EXPECT_EQ(PEX_FAIL, PEXAPI_utils_release_attr(nullptr));
  PEXAttrList no_array{2, nullptr, 0};
  EXPECT_EQ(PEX_FAIL, PEXAPI_utils_release_whole_attr(&no_array));
  PEXAttrList empty{0, nullptr, 3};
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_utils_release_attr(&empty));
  const std::string text = log.log();
  EXPECT_NE(std::string::npos, text.find("UTLTEST:AttrList is NULL\n"));
  EXPECT_NE(std::string::npos, text.find("UTLTEST:AttrList->Attributes is NULL\n"));

  // A single-block list given to the two-block release must not be freed twice.
  PEXAttrList l{0, nullptr, 0};
  PEXAPI_UTILS_AttrListAppend_Value2Attr(&l, "A", "1");
  l.Curr = 1;
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_utils_release_whole_attr(&l));
  EXPECT_EQ(0, l.Count);
  EXPECT_EQ(nullptr, l.Attributes);
  EXPECT_EQ(1, l.Curr);
}

// ---- text form ----

TEST(TextForm, SerializesAndRebuilds) {
  Logged log(6);
  AgentList a;
  a.add("A", "1", 40).add("B", "x");
  a.list()->Curr = 2;
  char* text = nullptr;
  ASSERT_EQ(PEX_SUCCESS, PEXPI_UTILS_serialize_attr_list(a.list(), &text));
  EXPECT_STREQ("2ATTR_DELIMA^#^1ATTR_DELIMB^#^x", text);
  EXPECT_EQ(0, a.list()->Curr);

  PEXAttrList back{0, nullptr, 9};
  ASSERT_EQ(PEX_SUCCESS, PEXPI_UTILS_deserialize_attr_list(text, &back));
  free(text);
  ASSERT_EQ(2, back.Count);
  EXPECT_EQ(0, back.Curr);
  EXPECT_STREQ("A", back.Attributes[0].Name);
  EXPECT_STREQ("1", back.Attributes[0].Value);
  EXPECT_EQ(2, back.Attributes[0].ValueLen);
  EXPECT_STREQ("x", back.Attributes[1].Value);
  EXPECT_EQ(2, back.Attributes[1].ValueLen);
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_utils_release_whole_attr(&back));
  EXPECT_NE(std::string::npos, log.log().find("free #2 in PEXAPI_utils_release_whole_attr : "));
  EXPECT_NE(std::string::npos, log.log().find("free #3 in PEXAPI_utils_release_whole_attr : "));

  AgentList script;
  script.add("INSTREAM_SCRIPT", "rm -rf /tmp/x").add("INSTREAM_SCRIPTX", "y");
  ASSERT_EQ(PEX_SUCCESS, PEXPI_UTILS_serialize_attr_list(script.list(), &text));
  EXPECT_STREQ("2ATTR_DELIMINSTREAM_SCRIPT^#^Private DataATTR_DELIMINSTREAM_SCRIPTX^#^y", text);
  free(text);

  PEXAttrList none{0, nullptr, 0};
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_serialize_attr_list(&none, &text));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_serialize_attr_list(a.list(), nullptr));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_serialize_attr_list(nullptr, &text));
}

TEST(TextForm, RefusesMalformedTexts) {
  Logged log(1);
  PEXAttrList l{0, nullptr, 0};
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("0ATTR_DELIM", &l));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("2A^#^1", &l));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("xATTR_DELIMA^#^1", &l));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("", &l));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list(nullptr, &l));
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("1ATTR_DELIMA^#^1", nullptr));
  EXPECT_EQ(0, l.Count);
  // A count text longer than its 15 characters is read from its first 15.
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("0000000000000001ATTR_DELIMA^#^1", &l));

  // The second pair has no separator: the first is dropped again.
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("2ATTR_DELIMA^#^1ATTR_DELIMB", &l));
  EXPECT_EQ(0, l.Count);
  EXPECT_EQ(nullptr, l.Attributes);
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list("1ATTR_DELIMnoseparator", &l));
  EXPECT_EQ(nullptr, l.Attributes);

  const std::string text = log.log();
  EXPECT_NE(std::string::npos, text.find(":PEXPI_UTILS_deserialize_attr_list: attr_count = 0\n"));
  EXPECT_NE(std::string::npos, text.find(":PEXPI_UTILS_deserialize_attr_list: next_ptr is NULL\n"));
  EXPECT_NE(std::string::npos,
            text.find(":PEXPI_UTILS_deserialize_attr_list: name_val_delim_ptr is NULL\n"));
}

TEST(TextForm, RebuildKeepsToTheLimits) {
  PEXAttrList l{0, nullptr, 0};
  // Announced 1, holding 3: every pair is read, none stored past the array.
  ASSERT_EQ(PEX_SUCCESS,
            PEXPI_UTILS_deserialize_attr_list("1ATTR_DELIMA^#^1ATTR_DELIMB^#^2ATTR_DELIMC^#^", &l));
  ASSERT_EQ(3, l.Count);
  EXPECT_STREQ("C", l.Attributes[2].Name);
  EXPECT_STREQ("", l.Attributes[2].Value);
  EXPECT_EQ(1, l.Attributes[2].ValueLen);
  PEXAPI_utils_release_whole_attr(&l);

  const std::string long_name(100, 'n');
  ASSERT_EQ(PEX_SUCCESS,
            PEXPI_UTILS_deserialize_attr_list(("1ATTR_DELIM" + long_name + "^#^v").c_str(), &l));
  EXPECT_EQ(std::string(63, 'n'), l.Attributes[0].Name);
  EXPECT_STREQ("v", l.Attributes[0].Value);
  PEXAPI_utils_release_whole_attr(&l);

  const std::string long_value(5000, 'v');
  ASSERT_EQ(PEX_SUCCESS,
            PEXPI_UTILS_deserialize_attr_list(("1ATTR_DELIMN^#^" + long_value).c_str(), &l));
  ASSERT_EQ(1, l.Count);
  EXPECT_TRUE(long_value.compare(0, 4095, l.Attributes[0].Value) == 0);
  EXPECT_EQ(4095u, strlen(l.Attributes[0].Value));
  EXPECT_EQ(4096, l.Attributes[0].ValueLen);
  PEXAPI_utils_release_whole_attr(&l);

  // The pair is cut to 4,159 characters before it is split.
  const std::string pair = std::string(63, 'k') + "^#^" + std::string(4095, 'w');
  ASSERT_EQ(PEX_SUCCESS, PEXPI_UTILS_deserialize_attr_list(("1ATTR_DELIM" + pair).c_str(), &l));
  EXPECT_EQ(4093u, strlen(l.Attributes[0].Value));
  PEXAPI_utils_release_whole_attr(&l);

  // A separator beyond the pair's limit is not seen.
  const std::string far = "1ATTR_DELIM" + std::string(4200, 'k') + "^#^v";
  EXPECT_EQ(PEX_FAIL, PEXPI_UTILS_deserialize_attr_list(far.c_str(), &l));
}

TEST(TextForm, SerializeSizesByTheRealValueText) {
  // An attribute whose ValueLen understates its text must not overrun.
  std::string name = "A";
  std::string value(300, 'z');
  PEXAttr attr{&name[0], 2, &value[0]};
  PEXAttrList l{1, &attr, 0};
  char* text = nullptr;
  ASSERT_EQ(PEX_SUCCESS, PEXPI_UTILS_serialize_attr_list(&l, &text));
  EXPECT_EQ("1ATTR_DELIMA^#^" + value, text);
  free(text);
}

// ---- row lists, table files, logging ----

TEST(Build, TableFileRowsBecomeAttributes) {
  Logged log(6);
  PEXAttrList l{0, nullptr, 4};
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_UTILS_param2attr("NOSUCH", &l));
  EXPECT_EQ(0, l.Count);
  EXPECT_EQ(nullptr, l.Attributes);
  EXPECT_EQ(4, l.Curr);
  EXPECT_EQ(PEX_FAIL, PEXAPI_UTILS_param2attr("NOSUCH", nullptr));

  log.dir().write_table("MYTAB", "# comment\nhost localhost\nport=38980\npassword s3cret\n");
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_param2attr("MYTAB", &l));
  ASSERT_EQ(3, l.Count);
  EXPECT_EQ(0, l.Curr);
  EXPECT_EQ("localhost", value_of(&l, "HOST"));
  EXPECT_EQ("38980", value_of(&l, "PORT"));
  EXPECT_EQ(6, l.Attributes[1].ValueLen);
  EXPECT_EQ(PEX_SUCCESS, PEXAPI_utils_release_attr(&l));

  const std::string text = log.log();
  EXPECT_NE(std::string::npos, text.find(":PEXAPI_UTILS_param2attr\n"));
  EXPECT_NE(std::string::npos, text.find("malloc #1 in PEXAPI_UTILS_param2attr : "));
  EXPECT_NE(std::string::npos, text.find("malloc #2 in PEXAPI_UTILS_param2attr : "));
  EXPECT_NE(std::string::npos, text.find("Parameter -> Key:'HOST', Value:'localhost'\n"));
  EXPECT_NE(std::string::npos, text.find("Parameter -> Key:'PASSWORD', Value:'Private Data'\n"));
  // (The table reader's own level-6 line traces are not this module's.)
  EXPECT_EQ(std::string::npos, text.find("Value:'s3cret'"));
}

TEST(Build, RowListBecomesAttributesAndIsLogged) {
  Logged log(4);
  PEXLIST_handle_typ rows{0, nullptr, nullptr};
  append_row(&rows, "A", "1");
  append_row(&rows, "KEY_PASSPHRASE", "hush");
  append_row(&rows, "LONG", std::string(600, 'q'));
  ASSERT_EQ(KX_SUCCESS, PEXLIST_next_ptr(&rows, nullptr, nullptr));
  PEXLIST_entry_typ* const cursor = rows.curr;

  PEXAttrList l{0, nullptr, 2};
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_list2attr(&rows, &l));
  EXPECT_EQ(cursor, rows.curr);
  ASSERT_EQ(3, l.Count);
  EXPECT_EQ(0, l.Curr);
  EXPECT_EQ("hush", value_of(&l, "KEY_PASSPHRASE"));
  EXPECT_EQ(601, l.Attributes[2].ValueLen);
  PEXAPI_utils_release_attr(&l);
  PEXLIST_clear(&rows);

  const std::string text = log.log();
  EXPECT_NE(std::string::npos, text.find(":PEXAPI_UTILS_list2attr\n"));
  EXPECT_NE(std::string::npos, text.find(":PEXAPI_utils_print_attr\n"));
  EXPECT_NE(std::string::npos, text.find(":Attributes begin\n"));
  EXPECT_NE(std::string::npos, text.find(":\tA        = 1\n"));
  EXPECT_NE(std::string::npos, text.find(":\tKEY_PASSPHRASE = Private Data\n"));
  EXPECT_NE(std::string::npos, text.find(":\tLONG     = " + std::string(500, 'q') + "\n"));
  EXPECT_NE(std::string::npos, text.find(":Attributes end\n"));
  EXPECT_EQ(std::string::npos, text.find("hush"));
}

TEST(Build, EmptyRowListGivesAnEmptyList) {
  PEXLIST_handle_typ rows{0, nullptr, nullptr};
  PEXAttrList l{0, nullptr, 0};
  ASSERT_EQ(PEX_SUCCESS, PEXAPI_UTILS_list2attr(&rows, &l));
  EXPECT_EQ(0, l.Count);
  EXPECT_EQ(nullptr, l.Attributes);
}

TEST(Log, SecretNamesAreMasked) {
  Logged log(4);
  AgentList a;
  a.add("PASSWORD", "pw1").add("PASSWORD_KEY", "pw2").add("INSTREAM_SCRIPT", "pw3");
  a.add("password", "visible");
  PEXAPI_utils_print_attr(a.list());
  const std::string text = log.log();
  EXPECT_NE(std::string::npos, text.find(":\tPASSWORD = Private Data\n"));
  EXPECT_NE(std::string::npos, text.find(":\tINSTREAM_SCRIPT = Private Data\n"));
  EXPECT_NE(std::string::npos, text.find(":\tpassword = visible\n"));
  EXPECT_EQ(std::string::npos, text.find("pw"));
}

// ---- version ----

TEST(Version, CopiesWithoutTerminatorWhenCut) {
  char ver[128] = {};
  PEX_version(ver, sizeof ver);
  EXPECT_STREQ("PEX dll 8.0.00 - folders 2451, 2452 - Wed Sep 12 14:50:52 2012", ver);
  char small[8];
  memset(small, '#', sizeof small);
  PEX_version(small, 4);
  EXPECT_EQ(0, memcmp(small, "PEX####", 7));
}

}  // namespace
