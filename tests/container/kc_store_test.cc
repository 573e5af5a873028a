// The job store: one record per ORDERNO/RUNNO, committed and durable, with
// the one rule for changes of state.
#include "kc_store.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_workdir.h"

namespace {

using kc::JobRecord;
using kc::State;

JobRecord waiting(const std::string& orderno, const std::string& runno) {
  JobRecord j;
  j.orderno = orderno;
  j.runno = runno;
  j.job_type = "COMMAND";
  j.attrs = {{"CMDLINE", "true"}, {"PASSWORD", "s\xc3\xa9"}};
  j.submitted_ms = 1000;
  return j;
}

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<kc::Store> open() {
    std::string error;
    auto store = kc::Store::open(wd_.file("jobs.db"), error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  kxtest::TestWorkdir wd_;
};

TEST_F(StoreTest, AKeyIsStoredOnceAndASecondInsertGetsTheFirstRecord) {
  auto store = open();
  std::string error;
  JobRecord a = waiting("0001a", "1");
  bool created = false;
  ASSERT_TRUE(store->insert_or_get(a, created, error)) << error;
  EXPECT_TRUE(created);
  EXPECT_GT(a.id, 0);

  JobRecord again = waiting("0001a", "1");
  again.attrs = {{"CMDLINE", "false"}};
  ASSERT_TRUE(store->insert_or_get(again, created, error)) << error;
  EXPECT_FALSE(created);
  EXPECT_EQ(again.id, a.id);
  EXPECT_EQ(again.attrs, a.attrs);

  JobRecord other = waiting("0001a", "2");
  ASSERT_TRUE(store->insert_or_get(other, created, error));
  EXPECT_TRUE(created);
  EXPECT_EQ(store->count_all(error), 2);
}

TEST_F(StoreTest, ConcurrentInsertsOfOneKeyCreateOneJob) {
  auto store = open();
  std::vector<std::thread> threads;
  std::vector<int> created_flags(8, 0);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      JobRecord j = waiting("race", "1");
      bool created = false;
      std::string error;
      if (store->insert_or_get(j, created, error) && created) created_flags[i] = 1;
    });
  }
  for (auto& t : threads) t.join();
  int total = 0;
  for (int f : created_flags) total += f;
  EXPECT_EQ(total, 1);
}

TEST_F(StoreTest, EveryFieldSurvivesAReopen) {
  std::string error;
  JobRecord j = waiting("0002b", "7");
  {
    auto store = open();
    bool created;
    ASSERT_TRUE(store->insert_or_get(j, created, error));
    j.state = State::kEndedNotOk;
    j.has_exit_code = true;
    j.exit_code = 3;
    j.message = "exit code 3";
    j.started_ms = 2000;
    j.ended_ms = 3000;
    j.supervisor_pid = 11;
    j.job_pid = 12;
    j.spool = "/s/1";
    j.autoedits = {{"ROWS", "42"}, {"EMPTY", ""}};
    j.utime_us = 5;
    j.stime_us = 6;
    j.maxrss_kb = 7;
    j.output_bytes = 8;
    j.kill_requested = true;
    j.output_deleted = true;
    j.extra = "{\"apps\":[]}";
    ASSERT_TRUE(store->save(j, error)) << error;
  }
  auto store = open();
  JobRecord back;
  ASSERT_TRUE(store->get("0002b", "7", back, error)) << error;
  EXPECT_EQ(back.state, State::kEndedNotOk);
  EXPECT_TRUE(back.has_exit_code);
  EXPECT_EQ(back.exit_code, 3);
  EXPECT_EQ(back.message, "exit code 3");
  EXPECT_EQ(back.attrs, j.attrs);
  EXPECT_EQ(back.autoedits, j.autoedits);
  EXPECT_EQ(back.started_ms, 2000);
  EXPECT_EQ(back.ended_ms, 3000);
  EXPECT_EQ(back.job_pid, 12);
  EXPECT_EQ(back.spool, "/s/1");
  EXPECT_EQ(back.output_bytes, 8);
  EXPECT_TRUE(back.kill_requested);
  EXPECT_TRUE(back.output_deleted);
  EXPECT_EQ(back.extra, j.extra);
  EXPECT_FALSE(store->get("0002b", "8", back, error));
  EXPECT_TRUE(error.empty());
}

TEST_F(StoreTest, AConditionalSaveLosesToAnEarlierWriter) {
  auto store = open();
  std::string error;
  JobRecord j = waiting("c", "1");
  bool created;
  ASSERT_TRUE(store->insert_or_get(j, created, error));
  JobRecord first = j, second = j;
  first.state = State::kStarting;
  second.state = State::kKilled;
  EXPECT_TRUE(store->save_if_state(first, State::kWaiting, error));
  EXPECT_FALSE(store->save_if_state(second, State::kWaiting, error));
  EXPECT_TRUE(error.empty());
  ASSERT_TRUE(store->get(j.id, j, error));
  EXPECT_EQ(j.state, State::kStarting);
}

TEST_F(StoreTest, ListsFilterByStateAndOrderAndKeepSubmissionOrder) {
  auto store = open();
  std::string error;
  bool created;
  for (const char* o : {"b", "a", "c"}) {
    JobRecord j = waiting(o, "1");
    ASSERT_TRUE(store->insert_or_get(j, created, error));
  }
  JobRecord a;
  ASSERT_TRUE(store->get("a", "1", a, error));
  a.state = State::kStarting;
  ASSERT_TRUE(store->save(a, error));
  EXPECT_EQ(store->in_state(State::kWaiting, 10, error).front().orderno, "b");
  EXPECT_EQ(store->active(error).size(), 1u);
  kc::JobFilter f;
  f.states = {"WAITING"};
  auto listed = store->list(f, error);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].orderno, "b");
  EXPECT_EQ(listed[1].orderno, "c");
  f.states.clear();
  f.orderno = "a";
  EXPECT_EQ(store->list(f, error).size(), 1u);
  f.orderno.clear();
  f.limit = 2;
  EXPECT_EQ(store->list(f, error).size(), 2u);
}

TEST(JobStates, EndsAreFinalAndOnlyTheRuleMovesAJob) {
  using S = State;
  EXPECT_TRUE(kc::transition_allowed(S::kWaiting, S::kStarting));
  EXPECT_TRUE(kc::transition_allowed(S::kWaiting, S::kKilled));
  EXPECT_FALSE(kc::transition_allowed(S::kWaiting, S::kEndedOk));
  EXPECT_FALSE(kc::transition_allowed(S::kWaiting, S::kExecuting));
  EXPECT_TRUE(kc::transition_allowed(S::kStarting, S::kExecuting));
  EXPECT_TRUE(kc::transition_allowed(S::kExecuting, S::kEndedNotOk));
  EXPECT_TRUE(kc::transition_allowed(S::kExecuting, S::kWaiting));  // a start that never happened
  for (S end : {S::kEndedOk, S::kEndedNotOk, S::kKilled, S::kFailedToStart}) {
    EXPECT_TRUE(kc::is_final(end));
    for (S to : {S::kWaiting, S::kStarting, S::kExecuting, S::kEndedOk, S::kKilled}) {
      EXPECT_FALSE(kc::transition_allowed(end, to)) << kc::state_name(end) << " -> " << kc::state_name(to);
    }
  }
  State s;
  EXPECT_TRUE(kc::parse_state("FAILED_TO_START", s));
  EXPECT_EQ(s, S::kFailedToStart);
  EXPECT_FALSE(kc::parse_state("ended_ok", s));
}

}  // namespace
