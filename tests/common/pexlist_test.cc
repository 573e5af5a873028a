#include "pexlist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os_diag.h"
#include "test_workdir.h"

namespace {

void append_text(PEXLIST_handle_typ* list, const char* text) {
  ASSERT_EQ(PEXLIST_append(list, text, (unsigned)strlen(text)), KX_SUCCESS);
}

// Next entry's text, or "<rc>" when the step did not succeed.
std::string step(PEXLIST_handle_typ* list) {
  void* data = nullptr;
  unsigned size = 0;
  KX_RC rc = PEXLIST_next_ptr(list, &data, &size);
  if (rc != KX_SUCCESS) return "<" + std::to_string(rc) + ">";
  return std::string(static_cast<const char*>(data), size);
}

std::vector<std::string> walk(PEXLIST_handle_typ* list) {
  PEXLIST_reset(list);
  std::vector<std::string> out;
  for (std::string s = step(list); s[0] != '<'; s = step(list)) out.push_back(s);
  return out;
}

using Texts = std::vector<std::string>;

class PexlistTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PEXLIST_init(&list_), KX_SUCCESS); }
  void TearDown() override { PEXLIST_clear(&list_); }
  PEXLIST_handle_typ list_;
};

TEST_F(PexlistTest, WalkEndsWithRepeatedEosUntilReset) {
  append_text(&list_, "A");
  append_text(&list_, "B");
  append_text(&list_, "C");
  EXPECT_EQ(step(&list_), "A");
  EXPECT_EQ(step(&list_), "B");
  EXPECT_EQ(step(&list_), "C");
  EXPECT_EQ(step(&list_), "<6>");
  EXPECT_EQ(step(&list_), "<6>");
  EXPECT_EQ(PEXLIST_reset(&list_), KX_SUCCESS);
  EXPECT_EQ(step(&list_), "A");
  EXPECT_EQ(list_.count, 3);
  EXPECT_EQ(PEXLIST_count(&list_), 3);
  // Counting walks a copy: the cursor still stands on A.
  EXPECT_EQ(step(&list_), "B");
}

TEST_F(PexlistTest, DeleteMovesCursorBackSoTheWalkContinues) {
  for (const char* t : {"A", "B", "C"}) append_text(&list_, t);
  EXPECT_EQ(PEXLIST_delete(&list_), KX_EOS);  // cursor before the first entry
  step(&list_);
  step(&list_);  // on B
  EXPECT_EQ(PEXLIST_delete(&list_), KX_SUCCESS);
  EXPECT_EQ(step(&list_), "C");
  EXPECT_EQ(list_.count, 2);

  PEXLIST_reset(&list_);
  step(&list_);  // on the head A
  EXPECT_EQ(PEXLIST_delete(&list_), KX_SUCCESS);
  EXPECT_EQ(list_.curr, nullptr);
  EXPECT_EQ(step(&list_), "C");
  EXPECT_EQ(list_.first->prev, nullptr);

  EXPECT_EQ(PEXLIST_delete(&list_), KX_SUCCESS);  // the last entry
  EXPECT_EQ(list_.first, nullptr);
  EXPECT_EQ(list_.count, 0);
}

TEST_F(PexlistTest, DeletePtrRefusesAnEntryOfAnotherList) {
  PEXLIST_handle_typ other;
  PEXLIST_init(&other);
  append_text(&other, "X");
  append_text(&list_, "A");
  EXPECT_EQ(PEX_list_delete_ptr(&list_, other.first), KX_EOS);
  EXPECT_EQ(PEX_list_delete_ptr(&list_, nullptr), KX_EOS);
  EXPECT_EQ(walk(&list_), Texts{"A"});
  EXPECT_EQ(walk(&other), Texts{"X"});
  PEXLIST_clear(&other);
}

TEST_F(PexlistTest, InsertGoesAfterTheCursorOrAtTheHead) {
  append_text(&list_, "B");
  ASSERT_EQ(PEXLIST_insert(&list_, "A", 1), KX_SUCCESS);  // cursor null: head
  EXPECT_EQ(walk(&list_), (Texts{"A", "B"}));
  PEXLIST_reset(&list_);
  step(&list_);  // on A
  ASSERT_EQ(PEXLIST_insert(&list_, "a2", 2), KX_SUCCESS);
  EXPECT_EQ(list_.curr->size, 1);  // the cursor did not move
  EXPECT_EQ(step(&list_), "a2");
  EXPECT_EQ(walk(&list_), (Texts{"A", "a2", "B"}));
  ASSERT_EQ(PEX_list_insert_ptr(&list_, list_.first->next->next, "C", 1), KX_SUCCESS);
  EXPECT_EQ(walk(&list_), (Texts{"A", "a2", "B", "C"}));
  // Back links agree with forward links.
  EXPECT_EQ(list_.first->next->next->next->prev, list_.first->next->next);
  EXPECT_EQ(list_.count, 4);
}

TEST_F(PexlistTest, NextWithSmallBufferFailsButMovesTheCursor) {
  append_text(&list_, "0123456789");
  append_text(&list_, "after");
  char buf[16];
  memset(buf, '#', sizeof(buf));
  unsigned out = 0;
  EXPECT_EQ(PEXLIST_next(&list_, buf, 4, &out), KX_FAIL);
  EXPECT_EQ(out, 10u);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(PEXLIST_next(&list_, buf, sizeof(buf), &out), KX_SUCCESS);
  EXPECT_EQ(out, 5u);
  EXPECT_EQ(std::string(buf, out), "after");
  EXPECT_EQ(PEXLIST_next(&list_, buf, sizeof(buf), &out), KX_EOS);
}

TEST_F(PexlistTest, DataBlockIsAPrivateCopyWithAZeroByte) {
  char text[] = "hello world";
  ASSERT_EQ(PEXLIST_append(&list_, text, 5), KX_SUCCESS);
  text[0] = 'J';
  const char* data = static_cast<const char*>(list_.first->ptr);
  EXPECT_EQ(list_.first->size, 5);
  EXPECT_EQ(memcmp(data, "hello", 5), 0);
  EXPECT_EQ(data[5], '\0');
  ASSERT_EQ(PEXLIST_append(&list_, nullptr, 0), KX_SUCCESS);
  EXPECT_EQ(static_cast<const char*>(list_.first->next->ptr)[0], '\0');
}

TEST_F(PexlistTest, RejectsNullListsAndUnsafeSizes) {
  EXPECT_EQ(PEXLIST_init(nullptr), KX_FAIL);
  EXPECT_EQ(PEXLIST_reset(nullptr), KX_FAIL);
  EXPECT_EQ(PEXLIST_next_ptr(nullptr, nullptr, nullptr), KX_FAIL);
  EXPECT_EQ(PEXLIST_append(nullptr, "x", 1), KX_FAIL);
  EXPECT_EQ(PEXLIST_delete(nullptr), KX_FAIL);
  EXPECT_EQ(PEXLIST_clear(nullptr), KX_FAIL);
  EXPECT_EQ(PEXLIST_count(nullptr), 0);
  EXPECT_EQ(PEXLIST_clear(&list_), KX_EOS);
  EXPECT_EQ(PEXLIST_append(&list_, nullptr, 3), KX_FAIL);
  EXPECT_EQ(PEXLIST_append(&list_, "x", 0xFFFFFFFFu), KX_FAIL);
  EXPECT_EQ(list_.first, nullptr);
  EXPECT_EQ(list_.count, 0);
}

TEST_F(PexlistTest, EntryWithoutDataFailsTheStep) {
  append_text(&list_, "A");
  append_text(&list_, "B");
  void* saved = list_.first->ptr;
  list_.first->ptr = nullptr;
  EXPECT_EQ(step(&list_), "<2>");
  EXPECT_EQ(step(&list_), "B");  // the cursor moved onto the broken entry
  list_.first->ptr = saved;
}

// Whether the process log holds the allocation trace fmt filled with p.
bool traced(const char* fmt, const void* p) {
  char line[256];
  snprintf(line, sizeof(line), fmt, DIAG_ADDR(p));
  std::string log = kxtest::read_file("proclog/PXT_" + std::to_string(getpid()) + ".log");
  return log.find(std::string("PXT:") + line + "\n") != std::string::npos;
}

TEST_F(PexlistTest, ClearEmptiesTheHandleAndTracesEachRelease) {
  kxtest::TestWorkdir wd;
  DIAG_set_debug_level(6);
  OS_DIAG_initialize(nullptr, "PXT");
  append_text(&list_, "abc");
  PEXLIST_entry_typ* entry = list_.first;
  void* data = entry->ptr;
  step(&list_);
  ASSERT_EQ(PEXLIST_clear(&list_), KX_SUCCESS);
  EXPECT_EQ(list_.first, nullptr);
  EXPECT_EQ(list_.curr, nullptr);
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(PEXLIST_clear(&list_), KX_EOS);
  ASSERT_EQ(sizeof(PEXLIST_entry_typ), 32u);
  EXPECT_TRUE(traced("malloc 32 bytes #1 in PEX_list_insert_ptr : %x", entry));
  EXPECT_TRUE(traced("malloc 4 bytes #2 in PEX_list_insert_ptr : %x", data));
  EXPECT_TRUE(traced("free #1 in PEXLIST_clear : %x", data));
  EXPECT_TRUE(traced("free #2 in PEXLIST_clear : %x", entry));

  append_text(&list_, "x");
  entry = list_.first;
  data = entry->ptr;
  ASSERT_EQ(PEX_list_delete_ptr(&list_, entry), KX_SUCCESS);
  EXPECT_TRUE(traced("free #1 in PEX_list_delete_ptr : %x", data));
  EXPECT_TRUE(traced("free #2 in PEX_list_delete_ptr : %x", entry));
  DIAG_set_debug_level(0);
}

// Appends go to the real end whatever happened to the list in between:
// interleaved lists, an insertion after the last entry, a deleted last entry,
// a copy of the handle that grew the shared entries.
TEST_F(PexlistTest, AppendFindsTheEndAfterAnyChange) {
  PEXLIST_handle_typ other;
  ASSERT_EQ(PEXLIST_init(&other), KX_SUCCESS);
  append_text(&list_, "A");
  append_text(&other, "x");
  append_text(&list_, "B");
  append_text(&other, "y");
  append_text(&list_, "C");
  EXPECT_EQ(walk(&list_), (Texts{"A", "B", "C"}));
  EXPECT_EQ(walk(&other), (Texts{"x", "y"}));

  PEXLIST_entry_typ* last = list_.first->next->next;
  ASSERT_EQ(PEX_list_insert_ptr(&list_, last, "D", 1), KX_SUCCESS);
  append_text(&list_, "E");
  EXPECT_EQ(walk(&list_), (Texts{"A", "B", "C", "D", "E"}));

  PEXLIST_entry_typ* e = list_.first;
  while (e->next != nullptr) e = e->next;
  ASSERT_EQ(PEX_list_delete_ptr(&list_, e), KX_SUCCESS);
  append_text(&list_, "F");
  EXPECT_EQ(walk(&list_), (Texts{"A", "B", "C", "D", "F"}));

  PEXLIST_handle_typ copy = list_;
  append_text(&copy, "G");
  list_.count = copy.count;
  append_text(&list_, "H");
  EXPECT_EQ(walk(&list_), (Texts{"A", "B", "C", "D", "F", "G", "H"}));

  ASSERT_EQ(PEXLIST_clear(&list_), KX_SUCCESS);
  append_text(&list_, "I");
  append_text(&list_, "J");
  EXPECT_EQ(walk(&list_), (Texts{"I", "J"}));
  EXPECT_EQ(list_.first->prev, nullptr);
  EXPECT_EQ(list_.first->next->next, nullptr);
  EXPECT_EQ(list_.first->next->prev, list_.first);
  PEXLIST_clear(&other);
}

TEST_F(PexlistTest, ManyAppendsKeepTheirOrder) {
  const int n = 100000;
  for (int i = 0; i < n; ++i) {
    const std::string t = std::to_string(i);
    ASSERT_EQ(PEXLIST_append(&list_, t.data(), (unsigned)t.size()), KX_SUCCESS);
  }
  EXPECT_EQ(list_.count, n);
  PEXLIST_reset(&list_);
  for (int i = 0; i < n; ++i) ASSERT_EQ(step(&list_), std::to_string(i));
  EXPECT_EQ(step(&list_), "<6>");
}

}  // namespace
