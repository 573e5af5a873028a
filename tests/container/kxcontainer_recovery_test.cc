// The container under the worst the agent's host can do to it: started by
// the library when it is down, killed with SIGKILL while jobs run, called by
// many agent processes at once and by a user who may not use it, asked for
// a large output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pexapi.h"
#include "product_container.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

using kxtest::ActionResult;

class ContainerRecovery : public kxtest::ContainerAgentEnv {
 protected:
  explicit ContainerRecovery(const std::string& conf = "<MaxRunningJobs>32</MaxRunningJobs>")
      : ContainerAgentEnv(conf) {}

  int count_lines(const std::string& path) {
    const std::string text = kxtest::read_file(path);
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }
};

TEST_F(ContainerRecovery, TheLibraryStartsTheContainerThroughItsStartScript) {
  ASSERT_FALSE(container_->running());
  const ActionResult r = submit("first", "echo hello");
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_TRUE(container_->running());
  EXPECT_EQ(wait_end("first")["STATUS"], "ENDED_OK");
  EXPECT_EQ(output("first"), "hello\n");
}

TEST_F(ContainerRecovery, AKilledContainerLosesNoJobAndRunsNoneTwice) {
  ASSERT_TRUE(container_->start());
  const std::string runs = wd_.file("runs");
  fs::create_directory(runs);
  // Twenty jobs of different lengths; each notes every run of itself.
  const int kJobs = 20;
  for (int i = 0; i < kJobs; ++i) {
    const std::string o = "k" + std::to_string(i);
    const std::string sleep = std::to_string(0.15 * i);
    const ActionResult r = submit(o, "echo run >> " + runs + "/" + o + "; echo start " + o + "; sleep " + sleep +
                                         "; echo end " + o + "; echo N=" + o + " >> $KX_AUTOEDIT_FILE; exit " +
                                         std::to_string(i % 5));
    ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  container_->kill9();
  ASSERT_FALSE(container_->running());
  // Some end while no container runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  // The next request finds the port closed and starts a new container.
  for (int i = 0; i < kJobs; ++i) {
    const std::string o = "k" + std::to_string(i);
    const ActionResult r = wait_end(o);
    ASSERT_EQ(r.rc, PEX_SUCCESS) << o << ": " << r.text;
    EXPECT_EQ(r["EXITCODE"], std::to_string(i % 5)) << o;
    EXPECT_EQ(r["STATUS"], i % 5 == 0 ? "ENDED_OK" : "ENDED_NOTOK") << o;
    EXPECT_EQ(output(o), "start " + o + "\nend " + o + "\n");
    EXPECT_EQ(count_lines(runs + "/" + o), 1) << o << " ran more than once";
  }
  EXPECT_NE(container_->log().find("recovery: "), std::string::npos);
}

TEST_F(ContainerRecovery, SixteenAgentProcessesSubmitAndTrackAtOnce) {
  ASSERT_TRUE(container_->start());
  const std::string runs = wd_.file("runs");
  fs::create_directory(runs);
  constexpr int kAgents = 16, kJobsEach = 4;
  std::vector<pid_t> agents;
  for (int a = 0; a < kAgents; ++a) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // An agent process of its own: submit, then track every job to its end.
      bool ok = true;
      for (int j = 0; j < kJobsEach; ++j) {
        const std::string o = "a" + std::to_string(a) + "j" + std::to_string(j);
        ok &= submit(o, "echo x >> " + runs + "/" + o + "; exit " + std::to_string(j)).rc == PEX_SUCCESS;
      }
      for (int j = 0; j < kJobsEach; ++j) {
        const std::string o = "a" + std::to_string(a) + "j" + std::to_string(j);
        ok &= wait_end(o)["EXITCODE"] == std::to_string(j);
      }
      _exit(ok ? 0 : 1);
    }
    agents.push_back(pid);
  }
  for (pid_t pid : agents) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "agent " << pid;
  }
  for (int a = 0; a < kAgents; ++a) {
    for (int j = 0; j < kJobsEach; ++j) {
      EXPECT_EQ(count_lines(runs + "/a" + std::to_string(a) + "j" + std::to_string(j)), 1);
    }
  }
}

// An upgrade renames a new program over the container's: the running
// container gives way by itself, its job goes on under its supervisor, and
// the library's next request starts the new program, which adopts the job.
TEST_F(ContainerRecovery, AReplacedProgramGivesWayToTheNewOneAtTheNextRequest) {
  // The container directory links to an installed program, as kxhost init
  // lays it out from an installation.
  const std::string installed = wd_.file("installed");
  fs::create_directory(installed);
  fs::copy_file(kxtest::kxcontainer_program(), installed + "/kxcontainer");
  const std::string link = container_->dir() + "/kxcontainer";
  fs::remove(link);
  fs::create_symlink(installed + "/kxcontainer", link);
  ASSERT_TRUE(container_->start());
  const pid_t old_pid = container_->pid();
  const std::string go = wd_.file("go");
  ASSERT_EQ(submit("up", "echo before; while [ ! -e " + go + " ]; do sleep 0.05; done; echo after").rc, PEX_SUCCESS);

  fs::copy_file(kxtest::kxcontainer_program(), installed + "/kxcontainer.new");
  fs::rename(installed + "/kxcontainer.new", installed + "/kxcontainer");
  for (int i = 0; i < 200 && container_->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(container_->running()) << "the container with a replaced program still runs";
  EXPECT_NE(container_->log().find("this program was replaced"), std::string::npos);

  const ActionResult r = job("TRACK", {{"ORDERNO", "up"}, {"RUNNO", "1"}});
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_EQ(r["STATUS"], "EXECUTING");
  ASSERT_TRUE(container_->running());
  EXPECT_NE(container_->pid(), old_pid);
  wd_.write("go", "");
  EXPECT_EQ(wait_end("up")["STATUS"], "ENDED_OK");
  EXPECT_EQ(output("up"), "before\nafter\n");
}

TEST_F(ContainerRecovery, AnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "switching users needs the superuser";
  ASSERT_TRUE(container_->start());
  ASSERT_EQ(submit("mine", "true").rc, PEX_SUCCESS);
  // The working directory must be readable by the other user for the
  // library to find its tables.
  fs::permissions(wd_.path(), fs::perms::all, fs::perm_options::add);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    const ActionResult r = job("TRACK", {{"ORDERNO", "mine"}, {"RUNNO", "1"}});
    const bool refused = r.rc == PEX_FAIL && r.text.find("403") != std::string::npos;
    if (!refused) std::fprintf(stderr, "rc %d: %s\n", r.rc, r.text.c_str());
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(container_->log().find("refused a call from 127.0.0.1"), std::string::npos) << container_->log();
  // The container's own user still gets in.
  EXPECT_EQ(job("TRACK", {{"ORDERNO", "mine"}, {"RUNNO", "1"}}).rc, PEX_SUCCESS);
}

TEST_F(ContainerRecovery, AHundredMegabyteOutputIsReadInBlocksWithBoundedMemory) {
  ASSERT_TRUE(container_->start());
#if defined(__SANITIZE_ADDRESS__)
  // Some 50,000 calls at 2,047 bytes each are slow under the sanitizer: a
  // fifth of it there.
  constexpr long kBytes = 20L * 1000 * 1000;
#else
  constexpr long kBytes = 100L * 1000 * 1000;
#endif
  submit("big", "head -c " + std::to_string(kBytes) + " /dev/zero | tr '\\0' x");
  ASSERT_EQ(wait_end("big", 120000)["STATUS"], "ENDED_OK");
  [[maybe_unused]] const long before = kxtest::peak_rss_kb(container_->pid());
  int reads = 0;
  const std::string text = output("big", 65000, &reads);
  [[maybe_unused]] const long after = kxtest::peak_rss_kb(container_->pid());
  EXPECT_EQ(static_cast<long>(text.size()), kBytes);
  EXPECT_EQ(text.find_first_not_of('x'), std::string::npos);
  // However large the agent's buffer, a block holds at most 2047 bytes.
  EXPECT_GE(reads, static_cast<int>(kBytes / 2047));
#if !defined(__SANITIZE_ADDRESS__)
  // Each read holds one block; the whole output never is in memory. (The
  // sanitizer's quarantine keeps freed blocks, so it is not measured there.)
  EXPECT_LT(after - before, 32 * 1024) << "peak memory grew from " << before << " kB to " << after << " kB";
#endif
}

}  // namespace
