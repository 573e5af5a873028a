#include "be_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "os_diag.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A working directory whose HADOOP table points KX_DIR at container/.
class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir());
    wd_.write_table("HADOOP", "KX_DIR " + dir() + "\n");
  }
  void TearDown() override { DIAG_set_debug_level(0); }

  void start_log(int level) {
    DIAG_set_debug_level(level);
    OS_DIAG_initialize(nullptr, "LK");
  }
  std::string log() const {
    return kxtest::read_file("proclog/LK_" + std::to_string(getpid()) + ".log");
  }
  bool logged(const std::string& text) const {
    return log().find("LK:" + text + "\n") != std::string::npos;
  }
  std::string dir() const { return wd_.file("container"); }
  std::string lock_file() const { return dir() + "/lock.dat"; }

  kxtest::TestWorkdir wd_;
};

TEST_F(LockTest, LockAndUnlockLeaveTheFileInPlace) {
  start_log(4);
  ASSERT_EQ(LockCriticalSection(), PEX_SUCCESS);
  EXPECT_EQ(std::string(lockFileName), lock_file());
  EXPECT_GE(lockFileFd, 0);
  struct stat st;
  ASSERT_EQ(stat(lock_file().c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(BE_LOCK_FILE_MODE & ~mask));
  EXPECT_EQ(st.st_size, 0);

  EXPECT_EQ(UnLockCriticalSection(), PEX_SUCCESS);
  EXPECT_EQ(lockFileFd, -1);
  EXPECT_TRUE(kxtest::file_exists(lock_file()));

  // The next round reuses the file that is there.
  ASSERT_EQ(LockCriticalSection(), PEX_SUCCESS);
  struct stat again;
  ASSERT_EQ(stat(lock_file().c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, st.st_ino);
  EXPECT_EQ(UnLockCriticalSection(), PEX_SUCCESS);

  for (const char* line : {"LockCriticalSection", "InitializeCriticalSection",
                           "LockCriticalSection - Locked", "UnLockCriticalSection",
                           "UnLockCriticalSection - UnLocked"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
}

TEST_F(LockTest, MissingContainerDirectoryRefusesTheLock) {
  start_log(4);
  wd_.write_table("HADOOP", "OTHER x\n");
  EXPECT_EQ(LockCriticalSection(), PEX_FAIL);
  EXPECT_EQ(lockFileFd, -1);
  EXPECT_STREQ(lockFileName, "");
  EXPECT_TRUE(logged("InitializeKxCriticalSection: cannot get KX_DIR"));
  EXPECT_FALSE(kxtest::file_exists(lock_file()));
}

TEST_F(LockTest, EmptyContainerDirectoryCountsAsMissing) {
  wd_.write_table("HADOOP", "KX_DIR\n");
  EXPECT_EQ(InitializeKxCriticalSection(), PEX_FAIL);
  EXPECT_STREQ(lockFileName, "");
}

TEST_F(LockTest, PathLimitIs1023Characters) {
  std::string fits = "/" + std::string(1013, 'd');  // 1014 characters
  wd_.write_table("HADOOP", "KX_DIR " + fits + "\n");
  ASSERT_EQ(InitializeKxCriticalSection(), PEX_SUCCESS);
  EXPECT_EQ(std::string(lockFileName), fits + "/lock.dat");
  EXPECT_EQ(std::strlen(lockFileName), 1023u);
}

TEST_F(LockTest, PathOneTooLongIsRefusedAtEveryLevel) {
  start_log(1);  // failure lines are written even when traces are not
  const std::string saved = "/earlier/lock.dat";
  std::snprintf(lockFileName, sizeof lockFileName, "%s", saved.c_str());
  wd_.write_table("HADOOP", "KX_DIR /" + std::string(1014, 'd') + "\n");
  EXPECT_EQ(LockCriticalSection(), PEX_FAIL);
  EXPECT_EQ(std::string(lockFileName), saved);
  EXPECT_TRUE(logged("InitializeCriticalSection - Size needed for lockFileName '1024' exceeds "
                     "the size of buffer '1024'"));
  EXPECT_FALSE(logged("LockCriticalSection"));
}

TEST_F(LockTest, OpenFailureIsReported) {
  start_log(1);
  wd_.write_table("HADOOP", "KX_DIR " + wd_.file("no/such/dir") + "\n");
  EXPECT_EQ(LockCriticalSection(), PEX_FAIL);
  EXPECT_EQ(lockFileFd, -1);
  EXPECT_TRUE(logged("LockCriticalSection - Failed to open the lockfile (" +
                     wd_.file("no/such/dir") + "/lock.dat), errno(2)"));
}

// One LockCriticalSection on a lock file this process may not open. Access
// checks do not apply to the superuser, so then the attempt runs in a child
// that has given up its privileges.
struct Attempt {
  PEXRC rc = PEX_SUCCESS;
  long took_ms = 0;
  std::string log;
};

Attempt lock_without_access(const std::string& proclog) {
  Attempt a;
  const Clock::time_point start = Clock::now();
  pid_t logger = getpid();
  if (geteuid() != 0) {
    a.rc = LockCriticalSection();
  } else {
    logger = fork();
    if (logger == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
      OS_DIAG_initialize(nullptr, "LK");
      DIAG_set_debug_level(1);
      _exit(LockCriticalSection() == PEX_FAIL ? 0 : 1);
    }
    int status = 0;
    waitpid(logger, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 100) << "could not drop privileges";
    a.rc = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? PEX_FAIL : PEX_SUCCESS;
  }
  a.took_ms = elapsed_ms(start);
  a.log = kxtest::read_file(proclog + "/LK_" + std::to_string(logger) + ".log");
  return a;
}

TEST_F(LockTest, RefusedAccessIsTriedOnceMoreAfterASecond) {
  start_log(1);
  // A lock file that only its owner may write, and that owner is not us.
  const int fd = open(lock_file().c_str(), O_WRONLY | O_CREAT, 0200);
  ASSERT_GE(fd, 0);
  close(fd);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(lock_file().c_str(), 0), 0);
  }
  // The unprivileged child must reach the table, the directory and the log.
  for (const std::string& p : {wd_.path(), dir(), wd_.file("data")}) chmod(p.c_str(), 0755);
  chmod(wd_.file("data/HADOOP.dat").c_str(), 0644);
  chmod(wd_.file("proclog").c_str(), 0777);

  const Attempt a = lock_without_access(wd_.file("proclog"));
  EXPECT_EQ(a.rc, PEX_FAIL);
  EXPECT_GE(a.took_ms, 1000);
  EXPECT_NE(a.log.find("LK:LockCriticalSection - Failed to open access the lockfile (" +
                       lock_file() + "), errno(13)\n"),
            std::string::npos)
      << a.log;
}

TEST_F(LockTest, UnlockWithoutTheLockFails) {
  start_log(1);
  ASSERT_EQ(lockFileFd, -1);
  EXPECT_EQ(UnLockCriticalSection(), PEX_FAIL);
  EXPECT_EQ(lockFileFd, -1);
  const std::string text = log();
  EXPECT_NE(text.find("UnLockCriticalSection - Failed to unlock the lockfile"), std::string::npos);
  EXPECT_NE(text.find("UnLockCriticalSection - Failed to close the lockfile"), std::string::npos);
}

// Writes one line to the shared record with a single append.
void mark(int fd, const char* what) {
  char line[64];
  const int n = std::snprintf(line, sizeof line, "%s %d\n", what, static_cast<int>(getpid()));
  if (write(fd, line, n) != n) _exit(3);
}

TEST_F(LockTest, SecondProcessWaitsUntilTheFirstReleases) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    if (LockCriticalSection() != PEX_SUCCESS) _exit(1);
    if (write(ready[1], "L", 1) != 1) _exit(2);
    usleep(400 * 1000);
    _exit(UnLockCriticalSection() == PEX_SUCCESS ? 0 : 1);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(LockCriticalSection(), PEX_SUCCESS);
  EXPECT_GE(elapsed_ms(start), 300);
  EXPECT_EQ(UnLockCriticalSection(), PEX_SUCCESS);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LockTest, ContendingProcessesNeverShareTheSection) {
  const int kProcesses = 6;
  const int kRounds = 5;
  const std::string record = wd_.file("record");
  const int out = open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(out, 0);

  // Every child waits on the pipe, so all of them contend from the same
  // moment instead of one after another as they are forked.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(4);
      for (int round = 0; round < kRounds; ++round) {
        if (LockCriticalSection() != PEX_SUCCESS) _exit(1);
        mark(out, "enter");
        usleep(10 * 1000);  // long enough for an intruder to show
        mark(out, "leave");
        if (UnLockCriticalSection() != PEX_SUCCESS) _exit(2);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);  // end of file on the pipe: everybody starts
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
  }
  close(out);

  std::istringstream lines(kxtest::read_file(record));
  std::string what, inside;
  int pid = 0, entries = 0;
  while (lines >> what >> pid) {
    const std::string who = std::to_string(pid);
    if (what == "enter") {
      EXPECT_EQ(inside, "") << who << " entered while " << inside << " was inside";
      inside = who;
      ++entries;
    } else {
      EXPECT_EQ(inside, who) << who << " left a section it did not hold";
      inside.clear();
    }
  }
  EXPECT_EQ(inside, "");
  EXPECT_EQ(entries, kProcesses * kRounds);
  EXPECT_TRUE(kxtest::file_exists(lock_file()));
}

}  // namespace
