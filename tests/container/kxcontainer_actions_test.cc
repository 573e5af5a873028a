// Every action of the agent through the library's entry points against the
// real container, as an agent process calls them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "pexapi.h"
#include "product_container.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

using kxtest::ActionResult;
using kxtest::AgentAttrs;

class ContainerActions : public kxtest::ContainerAgentEnv {
 protected:
  explicit ContainerActions(const std::string& conf = std::string()) : ContainerAgentEnv(conf) {}

  void SetUp() override { ASSERT_TRUE(container_->start()) << container_->log(); }

  ActionResult key_action(const std::string& action, const std::string& orderno) {
    return job(action, {{"ORDERNO", orderno}, {"RUNNO", "1"}});
  }

  // A list request of the agent's own making, read back in chunks.
  std::string list(const std::string& action, const std::string& body, PEXRC* last = nullptr) {
    AgentAttrs open{{"TEXT", "<?xml version='1.0'?><TWBKX><HEADER><ACTION>" + action +
                                 "</ACTION></HEADER><BODY>" + body + "</BODY></TWBKX>"}};
    void* handle = nullptr;
    PEXError error{};
    PEXAPI_LIST_DATA_OPEN(nullptr, &handle, open.list(), &error);
    std::string text;
    PEXRC rc;
    int reads = 0;
    do {
      AgentAttrs in, out;
      out.add("TEXT", "", 1000);
      rc = PEXAPI_LIST_DATA_READ(nullptr, handle, in.list(), out.list(), &error);
      if (rc == PEX_SUCCESS || rc == PEX_EOS) text += out.value(0);
    } while (rc == PEX_SUCCESS && ++reads < 100000);
    if (last != nullptr) *last = rc;
    if (rc == PEX_FAIL) text = std::to_string(error.code) + ": " + error.text;
    PEXAPI_LIST_DATA_CLOSE(nullptr, handle, open.list(), &error);
    return text;
  }

  // Waits (bounded) for text to reach the container's log.
  bool logged(const std::string& text) {
    for (int i = 0; i < 300; ++i) {
      if (container_->log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  PEXRC sysout_action(const std::string& action, std::vector<std::pair<std::string, std::string>> in,
                      PEXError& error) {
    AgentAttrs attrs, out;
    for (const auto& [n, v] : in) attrs.add(n, v);
    return PEXAPI_SYSOUT_ACTION(nullptr, const_cast<char*>(action.c_str()), attrs.list(), out.list(), &error);
  }
};

TEST_F(ContainerActions, ACommandRunsToItsEndWithItsExitCodeOutputAndAutoedits) {
  wd_.write("words.txt", "one two three\nfour five\n");
  ActionResult r = submit("0001a", "wc -w < " + wd_.file("words.txt") + "; echo WORDS=$(wc -w < " +
                                       wd_.file("words.txt") + ") >> $KX_AUTOEDIT_FILE; echo ORDER=$KX_ORDERNO >> " +
                                       "$KX_AUTOEDIT_FILE; exit 0");
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_EQ(r["JOBID"], "kx-0001a-1");
  EXPECT_TRUE(r["STATUS"] == "EXECUTING" || r["STATUS"] == "ENDED_OK") << r["STATUS"];

  AgentAttrs in{{"ORDERNO", "0001a"}, {"RUNNO", "1"}}, out;
  for (const std::string& n : kxtest::answer_names("TRACK")) out.add(n, "", 256);
  r = wait_end("0001a");
  ASSERT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"];
  EXPECT_EQ(r["EXITCODE"], "0");
  EXPECT_FALSE(r["STARTTIME"].empty());
  EXPECT_FALSE(r["ENDTIME"].empty());
  // The autoedits come back as new output attributes of TRACK.
  PEXError error{};
  ASSERT_EQ(PEXAPI_JOB_ACTION(nullptr, const_cast<char*>("TRACK"), in.list(), out.list(), &error), PEX_SUCCESS);
  const int asked = static_cast<int>(kxtest::answer_names("TRACK").size());
  ASSERT_EQ(out.count(), asked + 2);
  EXPECT_EQ(out.name(asked), "WORDS");
  EXPECT_EQ(out.value(asked), "5");
  EXPECT_EQ(out.name(asked + 1), "ORDER");
  EXPECT_EQ(out.value(asked + 1), "0001a");

  EXPECT_EQ(output("0001a"), "5\n");
  r = key_action("STATISTICS", "0001a");
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_EQ(r["STATUS"], "ENDED_OK");
  EXPECT_EQ(r["OUTPUT_BYTES"], "2");
  EXPECT_NE(r["ELAPSED"].find('.'), std::string::npos);
  // The container's log has a line per request: action, key, result, time
  // (flushed within a second).
  EXPECT_TRUE(logged("SUBMIT ORDERNO=0001a RUNNO=1 -> ok in ")) << container_->log();
  EXPECT_TRUE(logged("job kx-0001a-1 EXECUTING -> ENDED_OK")) << container_->log();
}

TEST_F(ContainerActions, AResentSubmitAnswersWithTheJobAndRunsNothing) {
  const std::string runs = wd_.file("runs");
  ActionResult first = submit("dup", "echo run >> " + runs + "; sleep 0.3");
  ActionResult second = submit("dup", "echo other >> " + runs);
  ASSERT_EQ(first.rc, PEX_SUCCESS) << first.text;
  ASSERT_EQ(second.rc, PEX_SUCCESS) << second.text;
  EXPECT_EQ(second["JOBID"], first["JOBID"]);
  EXPECT_EQ(wait_end("dup")["STATUS"], "ENDED_OK");
  EXPECT_EQ(submit("dup", "true")["STATUS"], "ENDED_OK");
  EXPECT_EQ(kxtest::read_file(runs), "run\n");
}

TEST_F(ContainerActions, ARequestLargerThanTheLimitIsRefusedUnread) {
  container_->configure("<MaxRequestBytes>4096</MaxRequestBytes>");
  container_->stop();
  ASSERT_TRUE(container_->start());
  const ActionResult r = submit("large", "echo " + std::string(8000, 'x'));
  EXPECT_EQ(r.rc, PEX_FAIL);
  EXPECT_NE(r.text.find("413"), std::string::npos) << r.text;
  EXPECT_EQ(key_action("TRACK", "large").code, 5u);
}

TEST_F(ContainerActions, BadRequestsGetAClearErrorAndChangeNothing) {
  ActionResult r = job("SUBMIT", {{"RUNNO", "1"}, {"JOB_TYPE", "COMMAND"}, {"CMDLINE", "true"}});
  EXPECT_EQ(r.rc, PEX_FAIL);
  EXPECT_EQ(r.code, 2u);
  EXPECT_NE(r.text.find("ORDERNO and RUNNO"), std::string::npos) << r.text;
  r = job("SUBMIT", {{"ORDERNO", "a/b"}, {"RUNNO", "1"}, {"JOB_TYPE", "COMMAND"}, {"CMDLINE", "true"}});
  EXPECT_EQ(r.code, 2u);
  r = job("SUBMIT", {{"ORDERNO", "bad1"}, {"RUNNO", "1"}, {"JOB_TYPE", "TELEPORT"}});
  EXPECT_EQ(r.code, 4u);
  EXPECT_NE(r.text.find("no job type 'TELEPORT'"), std::string::npos) << r.text;
  r = job("SUBMIT", {{"ORDERNO", "bad2"}, {"RUNNO", "1"}});
  EXPECT_EQ(r.code, 4u);
  r = job("SUBMIT", {{"ORDERNO", "bad3"}, {"RUNNO", "1"}, {"JOB_TYPE", "COMMAND"}});
  EXPECT_EQ(r.code, 6u);
  EXPECT_NE(r.text.find("CMDLINE"), std::string::npos);
  r = key_action("TRACK", "never");
  EXPECT_EQ(r.rc, PEX_FAIL);
  EXPECT_EQ(r.code, 5u);
  EXPECT_NE(r.text.find("no job ORDERNO=never RUNNO=1"), std::string::npos) << r.text;
  PEXRC last;
  EXPECT_EQ(list("LIST_NOTHING", "", &last).substr(0, 3), "3: ");
  EXPECT_EQ(last, PEX_FAIL);
  // Nothing of the above was stored.
  EXPECT_EQ(list("LIST_JOBS", "").find("<JOB>"), std::string::npos);
}

TEST_F(ContainerActions, ACommandThatDoesNotExistFailsToStartWithItsReason) {
  submit("nocmd", "no_such_command_kx_test");
  const ActionResult r = wait_end("nocmd");
  EXPECT_EQ(r["STATUS"], "FAILED_TO_START");
  EXPECT_EQ(r["EXITCODE"], "127");
  EXPECT_NE(r["MESSAGE"].find("command not found"), std::string::npos) << r["MESSAGE"];
  EXPECT_NE(output("nocmd").find("no_such_command_kx_test"), std::string::npos);

  submit("nodir", "true", {{"WORKDIR", wd_.file("missing")}});
  const ActionResult d = wait_end("nodir");
  EXPECT_EQ(d["STATUS"], "FAILED_TO_START");
  EXPECT_NE(d["MESSAGE"].find("cannot change to the working directory"), std::string::npos) << d["MESSAGE"];
}

TEST_F(ContainerActions, AJobThatLeavesPipesForItsFilesCannotHangTheContainer) {
  // Nobody ever writes to these pipes: a reader that waited on them would
  // hold the container forever.
  submit("pipes", "rm -f \"$KX_AUTOEDIT_FILE\" && mkfifo \"$KX_AUTOEDIT_FILE\" && echo before && "
                  "mv \"$KX_SPOOL_DIR/output\" \"$KX_SPOOL_DIR/output.kept\" && mkfifo \"$KX_SPOOL_DIR/output\"");
  const ActionResult r = wait_end("pipes");
  EXPECT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"];
  EXPECT_EQ(key_action("STATISTICS", "pipes").rc, PEX_SUCCESS);
  output("pipes");
  EXPECT_EQ(key_action("TRACK", "pipes").rc, PEX_SUCCESS);
}

TEST_F(ContainerActions, KillEndsAJobAsKilledEvenOneThatIgnoresSigterm) {
  const std::string ready = wd_.file("ready");
  submit("stubborn", "trap '' TERM; touch " + ready + "; while :; do sleep 0.05; done");
  for (int i = 0; i < 1000 && !kxtest::file_exists(ready); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto t0 = std::chrono::steady_clock::now();
  ActionResult r = key_action("KILL", "stubborn");
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  r = wait_end("stubborn");
  EXPECT_EQ(r["STATUS"], "KILLED");
  EXPECT_EQ(r["EXITCODE"], "137");
  // The grace period (2 s here) was given before the SIGKILL.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  // A kill of an ended job changes nothing.
  EXPECT_EQ(key_action("KILL", "stubborn")["STATUS"], "KILLED");
}

TEST_F(ContainerActions, DeleteRefusesARunningJobAndRemovesAnEndedOneWithItsOutput) {
  submit("del", "sleep 30");
  ActionResult r = key_action("DELETE", "del");
  EXPECT_EQ(r.rc, PEX_FAIL);
  EXPECT_EQ(r.code, 7u);
  EXPECT_NE(r.text.find("kill it before deleting it"), std::string::npos) << r.text;
  EXPECT_EQ(key_action("KILL", "del")["STATUS"], "KILLED");
  ASSERT_TRUE(fs::exists(container_->spool_dir()));
  EXPECT_FALSE(fs::is_empty(container_->spool_dir()));
  r = key_action("DELETE", "del");
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_EQ(r["STATUS"], "DELETED");
  EXPECT_TRUE(fs::is_empty(container_->spool_dir()));
  EXPECT_EQ(key_action("TRACK", "del").code, 5u);
  // A resent DELETE finds nothing left to do.
  EXPECT_EQ(key_action("DELETE", "del").rc, PEX_SUCCESS);
}

TEST_F(ContainerActions, OutputComesInWholeCharactersAndExactBytes) {
  // Bytes the agent would otherwise lose: a carriage return, markup, an
  // accented letter that a 7-byte block would split.
  submit("text", "printf 'a<b>&c\\r\\nd\\303\\251f\\303\\251g\\303\\251h\\n'");
  ASSERT_EQ(wait_end("text")["STATUS"], "ENDED_OK");
  int reads = 0;
  // The agent is Latin-1: é arrives as one byte.
  EXPECT_EQ(output("text", 7, &reads), "a<b>&c\r\nd\xe9" "f\xe9g\xe9h\n");
  EXPECT_GT(reads, 2);
}

TEST_F(ContainerActions, StatementReadsHandOutTheJobsStepWithItsCode) {
  submit("stmt", "exit 3");
  ASSERT_EQ(wait_end("stmt")["STATUS"], "ENDED_NOTOK");
  AgentAttrs job_attrs{{"ORDERNO", "stmt"}, {"RUNNO", "1"}};
  void* handle = nullptr;
  PEXError error{};
  ASSERT_EQ(PEXAPI_SYSOUT_DATA_OPEN(nullptr, &handle, job_attrs.list(), &error), PEX_SUCCESS);
  AgentAttrs in{{"NAVIGATE", "NEXT"}}, out;
  out.add("ONSTMT", "", 100);
  out.add("ONCODE", "", 20);
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_READ(nullptr, handle, in.list(), out.list(), &error), PEX_SUCCESS) << error.text;
  EXPECT_EQ(out.value(0), "exit 3");
  EXPECT_EQ(out.value(1), "3");
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_READ(nullptr, handle, in.list(), out.list(), &error), PEX_EOS);
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_CLOSE(nullptr, handle, job_attrs.list(), &error), PEX_SUCCESS);
}

TEST_F(ContainerActions, OutputActionsClearCopyAndDelete) {
  submit("out", "echo first line");
  ASSERT_EQ(wait_end("out")["STATUS"], "ENDED_OK");
  PEXError error{};
  const std::string copy = wd_.file("copy.txt");
  ASSERT_EQ(sysout_action("F", {{"ORDERNO", "out"}, {"RUNNO", "1"}, {"SYSOUT_FILE", copy}}, error), PEX_SUCCESS)
      << error.text;
  EXPECT_EQ(kxtest::read_file(copy), "first line\n");
  // Never over an existing file, never a relative path.
  EXPECT_EQ(sysout_action("F", {{"ORDERNO", "out"}, {"RUNNO", "1"}, {"SYSOUT_FILE", copy}}, error), PEX_FAIL);
  EXPECT_EQ(error.code, 6u);
  EXPECT_EQ(sysout_action("F", {{"ORDERNO", "out"}, {"RUNNO", "1"}, {"SYSOUT_FILE", "rel.txt"}}, error), PEX_FAIL);
  ASSERT_EQ(sysout_action("N", {{"ORDERNO", "out"}, {"RUNNO", "1"}}, error), PEX_SUCCESS) << error.text;
  ASSERT_TRUE(fs::exists(container_->dir() + "/saved"));
  for (const auto& f : fs::directory_iterator(container_->dir() + "/saved")) {
    EXPECT_EQ(kxtest::read_file(f.path().string()), "first line\n");
  }
  ASSERT_EQ(sysout_action("CLEAR", {{"ORDERNO", "out"}, {"RUNNO", "1"}}, error), PEX_SUCCESS) << error.text;
  EXPECT_EQ(output("out"), "");
  ASSERT_EQ(sysout_action("D", {{"ORDERNO", "out"}, {"RUNNO", "1"}}, error), PEX_SUCCESS) << error.text;
  AgentAttrs job_attrs{{"ORDERNO", "out"}, {"RUNNO", "1"}};
  void* handle = nullptr;
  PEXAPI_SYSOUT_DATA_OPEN(nullptr, &handle, job_attrs.list(), &error);
  AgentAttrs in{{"NAVIGATE", "NEXT"}}, out;
  out.add("TEXT", "", 100);
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_READ(nullptr, handle, in.list(), out.list(), &error), PEX_FAIL);
  EXPECT_EQ(error.code, 10u);
  PEXAPI_SYSOUT_DATA_CLOSE(nullptr, handle, job_attrs.list(), &error);
}

TEST_F(ContainerActions, ListsNameTheJobsAndTheJobTypes) {
  submit("l1", "true");
  submit("l2", "exit 2");
  wait_end("l1");
  wait_end("l2");
  const std::string all = list("LIST_JOBS", "");
  EXPECT_NE(all.find("<JOB><ORDERNO>l1</ORDERNO><RUNNO>1</RUNNO><JOBID>kx-l1-1</JOBID><JOB_TYPE>COMMAND</JOB_TYPE>"
                     "<STATUS>ENDED_OK</STATUS><EXITCODE>0</EXITCODE>"),
            std::string::npos)
      << all;
  const std::string failed = list("LIST_JOBS", "<STATUS>ENDED_NOTOK</STATUS>");
  EXPECT_NE(failed.find("<ORDERNO>l2</ORDERNO>"), std::string::npos);
  EXPECT_EQ(failed.find("<ORDERNO>l1</ORDERNO>"), std::string::npos);
  const std::string types = list("LIST_JOB_TYPES", "");
  for (const char* t : {"COMMAND", "MAPREDUCE", "HDFS", "DISTCP", "YARN_APP"}) {
    EXPECT_NE(types.find(std::string("<NAME>") + t + "</NAME>"), std::string::npos) << t;
  }
}

TEST_F(ContainerActions, StopLeavesRunningJobsRunningAndANewContainerTracksThem) {
  submit("survivor", "sleep 1; echo done; exit 4");
  const pid_t old = container_->pid();
  EXPECT_EQ(PEXAPI_Shutdown(), PEX_SUCCESS);
  for (int i = 0; i < 500 && container_->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(container_->running());
  EXPECT_NE(container_->log().find("ContainerStop received"), std::string::npos);
  ASSERT_TRUE(container_->start());
  EXPECT_NE(container_->pid(), old);
  const ActionResult r = wait_end("survivor");
  EXPECT_EQ(r["STATUS"], "ENDED_NOTOK");
  EXPECT_EQ(r["EXITCODE"], "4");
  EXPECT_EQ(output("survivor"), "done\n");
}

TEST_F(ContainerActions, TheStartScriptIsIdempotentAndStatusAnswersOnlyWhenUp) {
  const pid_t pid = container_->pid();
  std::string out;
  EXPECT_EQ(container_->script("start 0", &out), 0);
  EXPECT_NE(out.find("already running"), std::string::npos) << out;
  EXPECT_EQ(container_->pid(), pid);
  EXPECT_EQ(container_->script("status", &out), 0);
  EXPECT_NE(out.find("0 executing, 0 waiting"), std::string::npos) << out;
  EXPECT_EQ(container_->script("stop", &out), 0) << out;
  EXPECT_FALSE(container_->running());
  EXPECT_NE(container_->script("status", &out), 0);
  EXPECT_NE(out.find("not answering"), std::string::npos) << out;
}

class QueuedActions : public ContainerActions {
 protected:
  QueuedActions() : ContainerActions("<MaxRunningJobs>2</MaxRunningJobs>") {}
};

TEST_F(QueuedActions, JobsBeyondTheLimitWaitAndStartInOrder) {
  const std::string gate = wd_.file("gate");
  for (const char* o : {"q1", "q2", "q3", "q4"}) {
    submit(o, std::string("while [ ! -e ") + gate + " ]; do sleep 0.02; done; date +%s%N");
  }
  EXPECT_EQ(key_action("TRACK", "q1")["STATUS"], "EXECUTING");
  EXPECT_EQ(key_action("TRACK", "q2")["STATUS"], "EXECUTING");
  EXPECT_EQ(key_action("TRACK", "q3")["STATUS"], "WAITING");
  EXPECT_EQ(key_action("TRACK", "q4")["STATUS"], "WAITING");
  // A waiting job's output is not deleted: it may start at any moment.
  PEXError error{};
  EXPECT_EQ(sysout_action("D", {{"ORDERNO", "q3"}, {"RUNNO", "1"}}, error), PEX_FAIL);
  EXPECT_EQ(error.code, 7u);
  EXPECT_NE(std::string(error.text).find("has not ended"), std::string::npos) << error.text;
  // A job killed while it waits never runs.
  EXPECT_EQ(key_action("KILL", "q4")["STATUS"], "KILLED");
  wd_.write("gate", "");
  const ActionResult r3 = wait_end("q3");
  EXPECT_EQ(r3["STATUS"], "ENDED_OK");
  EXPECT_NE(output("q3"), "");
  EXPECT_LE(key_action("TRACK", "q1")["STARTTIME"], r3["STARTTIME"]);
  EXPECT_EQ(output("q4"), "");
  EXPECT_EQ(wait_end("q4")["STATUS"], "KILLED");
}

}  // namespace
