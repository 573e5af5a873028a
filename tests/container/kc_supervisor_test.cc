// The job supervisor on its own: what it records of a job's end, its
// output and its kill, read back from the job directory as the container
// reads it.
#include "kc_supervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "product_container.h"
#include "test_container.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

class SupervisorTest : public ::testing::Test {
 protected:
  SupervisorTest() : dir_(wd_.file("job")) { fs::create_directory(dir_); }

  // Starts the supervisor of a shell command line in the job directory.
  void launch(const std::string& cmdline, std::uint64_t max_output = 1 << 20, int grace = 1,
              const std::string& cwd = std::string()) {
    kc::LaunchPlan plan;
    plan.argv = {"/bin/sh", "-c", cmdline};
    plan.cwd = cwd.empty() ? dir_ : cwd;
    plan.env = {"PATH=/usr/bin:/bin", "KX_GREETING=hello"};
    plan.max_output_bytes = max_output;
    plan.kill_grace_seconds = grace;
    std::string error;
    ASSERT_TRUE(kc::write_plan(dir_, plan, error)) << error;
    ASSERT_TRUE(kc::spawn_supervisor(kxtest::kxcontainer_program(), dir_, pid_, error)) << error;
    ASSERT_GT(pid_, 0);
  }

  // Waits (bounded) for the end record.
  kc::EndInfo wait_end(int timeout_ms = 20000) {
    kc::EndInfo end;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!kc::read_status(dir_, end)) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "no status.json within " << timeout_ms << " ms";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return end;
  }

  bool wait_for_file(const std::string& name, int timeout_ms = 10000) {
    for (int i = 0; i < timeout_ms / 10; ++i) {
      if (kxtest::file_exists(dir_ + "/" + name)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string output() const { return kxtest::read_file(dir_ + "/" + kc::kOutputFile); }

  kxtest::TestWorkdir wd_;
  std::string dir_;
  pid_t pid_ = 0;
};

TEST_F(SupervisorTest, RecordsTheExitCodeAndTheOutputOfBothStreams) {
  launch("echo out $KX_GREETING; echo err >&2; pwd; exit 3");
  const kc::EndInfo end = wait_end();
  EXPECT_TRUE(end.start_error.empty()) << end.start_error;
  EXPECT_TRUE(end.has_exit_code);
  EXPECT_EQ(end.exit_code, 3);
  EXPECT_EQ(end.signal, 0);
  EXPECT_FALSE(end.killed);
  EXPECT_EQ(output(), "out hello\nerr\n" + fs::canonical(dir_).string() + "\n");
  EXPECT_EQ(end.output_bytes, static_cast<std::int64_t>(output().size()));
  EXPECT_GE(end.ended_ms, end.started_ms);
  kc::StartedInfo started;
  ASSERT_TRUE(kc::read_started(dir_, started));
  EXPECT_EQ(started.supervisor_pid, pid_);
  EXPECT_GT(started.job_pid, 0);
}

TEST_F(SupervisorTest, HoldsTheLockWhileItRunsSoASecondSupervisorCannotStart) {
  launch("sleep 30");
  ASSERT_TRUE(wait_for_file(kc::kStartedFile));
  EXPECT_TRUE(kc::supervisor_alive(dir_));
  pid_t second = 0;
  std::string error;
  EXPECT_FALSE(kc::spawn_supervisor(kxtest::kxcontainer_program(), dir_, second, error));
  EXPECT_NE(error.find("already runs"), std::string::npos) << error;
  ASSERT_TRUE(kc::request_kill(dir_, pid_));
  wait_end();
  for (int i = 0; i < 500 && kc::supervisor_alive(dir_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(kc::supervisor_alive(dir_));
  // Only this job's supervisor takes a kill request for it.
  EXPECT_FALSE(kc::request_kill(dir_, getpid()));
}

TEST_F(SupervisorTest, AJobThatCannotStartSaysWhyInItsStatusAndOutput) {
  launch("true", 1 << 20, 1, wd_.file("no/such/dir"));
  const kc::EndInfo end = wait_end();
  EXPECT_NE(end.start_error.find("cannot change to the working directory"), std::string::npos) << end.start_error;
  EXPECT_NE(output().find("the job could not start"), std::string::npos) << output();
}

TEST_F(SupervisorTest, AKillTakesTheWholeTreeEvenAJobThatIgnoresSigterm) {
  // The job leaves a background child and shrugs off SIGTERM; the grace
  // period is 1 s, then everything gets SIGKILL.
  launch("sleep 300 & echo $! > bg.pid; trap '' TERM; echo ready; while :; do sleep 0.05; done");
  ASSERT_TRUE(wait_for_file("bg.pid"));
  for (int i = 0; i < 500 && output().find("ready") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const pid_t background = static_cast<pid_t>(std::atol(kxtest::read_file(dir_ + "/bg.pid").c_str()));
  ASSERT_GT(background, 0);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(kc::request_kill(dir_, pid_));
  const kc::EndInfo end = wait_end();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(end.killed);
  EXPECT_EQ(end.signal, SIGKILL);
  EXPECT_EQ(end.exit_code, 128 + SIGKILL);
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(10));
  for (int i = 0; i < 500 && kxtest::process_alive(background); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(kxtest::process_alive(background));
}

TEST_F(SupervisorTest, OutputBeyondTheLimitIsDiscardedWithANote) {
  launch("head -c 100000 /dev/zero | tr '\\0' x; echo; echo done", 8192);
  const kc::EndInfo end = wait_end();
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_TRUE(end.output_truncated);
  const std::string out = output();
  EXPECT_EQ(out.find_first_not_of('x'), 8192u);
  EXPECT_NE(out.find("output cut at 8192 bytes (MaxOutputBytes)"), std::string::npos);
  EXPECT_EQ(out.find("done"), std::string::npos);
  EXPECT_EQ(end.output_bytes, static_cast<std::int64_t>(out.size()));
}

TEST_F(SupervisorTest, RecordFilesAreWholeOrAbsent) {
  std::string error;
  kc::EndInfo end;
  EXPECT_FALSE(kc::read_status(dir_, end));
  wd_.write("job/status.json", "{\"exit_code\": 4, \"has_exit_code\": tr");
  EXPECT_FALSE(kc::read_status(dir_, end));
  end.exit_code = 5;
  end.has_exit_code = true;
  ASSERT_TRUE(kc::write_status(dir_, end, error)) << error;
  kc::EndInfo back;
  ASSERT_TRUE(kc::read_status(dir_, back));
  EXPECT_EQ(back.exit_code, 5);
  EXPECT_FALSE(kxtest::file_exists(dir_ + "/status.json.tmp"));
}

TEST(ProcessUsage, ReadsThisProcess) {
  std::int64_t u = -1, s = -1, rss = -1;
  ASSERT_TRUE(kc::process_usage(getpid(), u, s, rss));
  EXPECT_GE(u, 0);
  EXPECT_GT(rss, 0);
  EXPECT_FALSE(kc::process_usage(0x7ffffff0, u, s, rss));
}

}  // namespace
