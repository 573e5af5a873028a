// The file layer: status, streams with locking and permissions, descriptors,
// directories, names and the housekeeping helpers, with their log lines.
#include "os_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "gm_param.h"
#include "gm_time.h"
#include "os_diag.h"
#include "test_workdir.h"

namespace {

// A fresh working directory whose process log takes every line up to
// level 4, in UTC.
class FileLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char empty[] = "";
    char name[] = "FT";
    OS_DIAG_initialize(empty, name);
    DIAG_set_debug_level(4);
  }
  void TearDown() override { DIAG_set_debug_level(0); }

  std::string log() const {
    return kxtest::read_file(work_.file("proclog/FT_" + std::to_string(getpid()) + ".log"));
  }
  bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }
  std::string path(const char *relative) const { return work_.file(relative); }

  kxtest::TestWorkdir work_;
};

class Umask {
 public:
  explicit Umask(mode_t m) : old_(umask(m)) {}
  ~Umask() { umask(old_); }

 private:
  mode_t old_;
};

void set_mtime(const std::string &p, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(p.c_str(), &times), 0);
}

mode_t mode_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs fn in a child process and returns its exit status.
template <typename Fn>
int in_child(Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 when no other process holds a lock on the file.
int lock_test_from_child(const std::string &p) {
  return in_child([&] {
    const int fd = open(p.c_str(), O_RDWR);
    return fd >= 0 && lockf(fd, F_TEST, 0) == 0 ? 0 : 1;
  });
}

}  // namespace

TEST_F(FileLayer, StatGivesSizeAndTheModificationTimeTwice) {
  work_.write("data/t.dat", "hello");
  set_mtime(path("data/t.dat"), 1735787045);  // 2025-01-02 03:04:05 UTC
  long bytes = -1, lines = -1;
  DATETIME_D_typ created, modified;
  ASSERT_EQ(OS_FILE_stat("data/t.dat", &bytes, &lines, created, modified), KX_SUCCESS);
  EXPECT_EQ(bytes, 5);
  EXPECT_EQ(lines, 0);
  EXPECT_STREQ(modified, "20250102030405");
  EXPECT_STREQ(created, modified);
  EXPECT_TRUE(logged("OS_FILE_stat enter: file_name = 'data/t.dat'"));
  EXPECT_TRUE(logged("size in bytes = 5, modify timestamp = '20250102030405'"));

  errno = 0;
  EXPECT_EQ(OS_FILE_stat("data/none.dat", &bytes, &lines, created, modified), KX_FAIL);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(logged("OS_FILE_stat failed. errno: 2 (No such file or directory)"));
  long long big = 0;
  EXPECT_EQ(OS_FILE_stat64("data/t.dat", &big, &lines, created, modified), KX_SUCCESS);
  EXPECT_EQ(big, 5);
  EXPECT_EQ(OS_FILE_stat_short("data/none.dat", &bytes), KX_FAIL);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(logged("OS_FILE_stat_short. file_name='data/none.dat'. errno: 2."));
}

TEST_F(FileLayer, FgetsOnEmptyAndUnterminatedFiles) {
  work_.write("empty", "");
  work_.write("two", "first\nlast");
  char line[16];
  FILE *fp = nullptr;
  ASSERT_EQ(OS_FILE_fopen("empty", &fp, OS_FILE_READ), KX_SUCCESS);
  std::strcpy(line, "stale");
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, fp), KX_FAIL);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(OS_FILE_fclose(fp), KX_SUCCESS);

  ASSERT_EQ(OS_FILE_fopen("two", &fp, OS_FILE_READ), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fgets(line, 4, fp), KX_SUCCESS);
  EXPECT_STREQ(line, "fir");
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, fp), KX_SUCCESS);
  EXPECT_STREQ(line, "st\n");
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, fp), KX_SUCCESS);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, fp), KX_FAIL);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(OS_FILE_fclose(fp), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fclose(nullptr), KX_FAIL);
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, nullptr), KX_FAIL);
}

// Readers of operator-supplied files bound what they read by this count: a
// zero byte must count, or a link to /dev/zero would read empty lines forever.
TEST_F(FileLayer, FgetsLenCountsEveryByteTaken) {
  work_.write("zeros", std::string("a\0b\n", 4) + std::string(10, '\0'));
  char line[8];
  long length = -1;
  FILE *fp = nullptr;
  ASSERT_EQ(OS_FILE_fopen("zeros", &fp, OS_FILE_READ), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fgets_len(line, sizeof line, fp, &length), KX_SUCCESS);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::string(line, 4), std::string("a\0b\n", 4));
  EXPECT_EQ(OS_FILE_fgets_len(line, sizeof line, fp, &length), KX_SUCCESS);
  EXPECT_EQ(length, 7);  // size - 1
  EXPECT_EQ(OS_FILE_fgets_len(line, sizeof line, fp, nullptr), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fgets_len(line, sizeof line, fp, &length), KX_FAIL);
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(OS_FILE_fclose(fp), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fgets_len(line, sizeof line, nullptr, &length), KX_FAIL);
  EXPECT_EQ(OS_FILE_fgets_len(line, 0, fp, &length), KX_FAIL);
}

TEST_F(FileLayer, FputsAddsTheNewlineAndCutsAt4999) {
  FILE *fp = nullptr;
  ASSERT_EQ(OS_FILE_fopen("out", &fp, OS_FILE_WRITE), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fputs(fp, "%s\n", "first"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fputs(fp, "%s %d", "second", 2), KX_SUCCESS);
  const std::string long_text(6000, 'x');
  EXPECT_EQ(OS_FILE_fputs(fp, "%s", long_text.c_str()), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fprintf(fp, "no newline"), KX_SUCCESS);
  // Unbuffered: the file holds every line before the stream is closed.
  EXPECT_EQ(kxtest::read_file("out"),
            "first\n\nsecond 2\n" + std::string(4999, 'x') + "\nno newline");
  EXPECT_EQ(OS_FILE_fclose(fp), KX_SUCCESS);

  ASSERT_EQ(OS_FILE_fopen("out", &fp, OS_FILE_READ), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_fputs(fp, "%s", "cannot"), KX_FAIL);
  EXPECT_EQ(errno, EBADF);
  OS_FILE_fclose(fp);
  EXPECT_TRUE(logged("OS_FILE_fputs: Failed to write: 'cannot'"));
  EXPECT_TRUE(logged("OS_FILE_fputs: Failed with error number 9: 'Bad file descriptor'"));
}

TEST_F(FileLayer, FopenModesPermissionsAndLogs) {
  {
    Umask mask(077);
    FILE *fp = nullptr;
    ASSERT_EQ(OS_FILE_fopen("data/new.dat", &fp, OS_FILE_WRITE), KX_SUCCESS);
    OS_FILE_fclose(fp);
  }
  EXPECT_EQ(mode_of(path("data/new.dat")) & 0644, 0644u);
  EXPECT_TRUE(logged("OS_FILE_fopen started : data/new.dat. mode=6"));
  EXPECT_TRUE(logged("OS_FILE_fopen : opened "));
  EXPECT_TRUE(logged("OS_FILE_fclose started "));
  EXPECT_TRUE(logged("OS_FILE_fclose ended \n"));

  work_.write("f", "old text\n");
  FILE *fp = nullptr;
  ASSERT_EQ(OS_FILE_fopen("f", &fp, OS_FILE_APPEND), KX_SUCCESS);
  OS_FILE_fputs(fp, "added");
  OS_FILE_fclose(fp);
  EXPECT_EQ(kxtest::read_file("f"), "old text\nadded\n");
  ASSERT_EQ(OS_FILE_fopen("f", &fp, OS_FILE_WRITE_BINARY), KX_SUCCESS);
  OS_FILE_fclose(fp);
  EXPECT_EQ(kxtest::read_file("f"), "");

  // Every mode outside the three writing ones reads and leaves the file.
  work_.write("f", "keep\n");
  for (int mode : {int{OS_FILE_READ_NOLOCK}, int{OS_FILE_CREATE}, int{OS_FILE_TRUNC},
                   int{OS_FILE_APPEND_BINARY}, 42}) {
    ASSERT_EQ(OS_FILE_fopen("f", &fp, static_cast<OS_FILE_MODE_typ>(mode)), KX_SUCCESS) << mode;
    char line[16];
    EXPECT_EQ(OS_FILE_fgets(line, sizeof line, fp), KX_SUCCESS);
    EXPECT_STREQ(line, "keep\n");
    OS_FILE_fclose(fp);
  }
  EXPECT_EQ(kxtest::read_file("f"), "keep\n");

  fp = reinterpret_cast<FILE *>(1);
  errno = 0;
  EXPECT_EQ(OS_FILE_fopen("missing/x", &fp, OS_FILE_READ), KX_FAIL);
  EXPECT_EQ(fp, nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(logged("OS_FILE_fopen failed to open file: missing/x. mode: r. errno=2, "
                     "No such file or directory"));
}

TEST_F(FileLayer, WritingStreamHoldsTheLockAndTruncatesOnlyOnceItHasIt) {
  const std::string p = path("data/locked.dat");
  work_.write("data/locked.dat", "old content\n");
  FILE *fp = nullptr;
  ASSERT_EQ(OS_FILE_fopen(p.c_str(), &fp, OS_FILE_APPEND), KX_SUCCESS);
  EXPECT_NE(lock_test_from_child(p), 0);
  OS_FILE_fclose(fp);
  EXPECT_EQ(lock_test_from_child(p), 0);

  // A child holds the lock; our truncating open must wait for it and must
  // not cut the file while the child still writes it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(p.c_str(), O_RDWR);
    if (fd < 0 || lockf(fd, F_LOCK, 0) != 0) _exit(2);
    if (write(ready[1], "x", 1) != 1) _exit(2);
    usleep(300000);
    const std::string seen = kxtest::read_file(p);
    _exit(seen == "old content\n" ? 0 : 1);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(OS_FILE_fopen(p.c_str(), &fp, OS_FILE_WRITE), KX_SUCCESS);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  OS_FILE_fputs(fp, "new");
  OS_FILE_fclose(fp);
  EXPECT_EQ(kxtest::read_file(p), "new\n");
  close(ready[0]);
  close(ready[1]);
}

TEST_F(FileLayer, RenameAndDeleteWithTheirLogLines) {
  work_.write("a", "A");
  work_.write("b", "B");
  EXPECT_EQ(OS_FILE_rename("a", "b"), KX_SUCCESS);
  EXPECT_EQ(kxtest::read_file("b"), "A");
  EXPECT_FALSE(kxtest::file_exists("a"));
  EXPECT_TRUE(logged("OS_FILE_rename a to b"));
  errno = 0;
  EXPECT_EQ(OS_FILE_rename("a", "c"), KX_FAIL);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(logged("FT:OS_FILE_rename : cannot rename a to c : No such file or directory\n"));

  EXPECT_EQ(OS_FILE_delete("b"), KX_SUCCESS);
  EXPECT_FALSE(kxtest::file_exists("b"));
  EXPECT_TRUE(logged("OS_FILE_delete: Deleting file 'b'\n"));
  EXPECT_TRUE(logged("OS_FILE_delete ended successfully\n"));
  EXPECT_EQ(OS_FILE_delete("b"), KX_FAIL);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(logged("OS_FILE_delete FAILED\n"));
}

TEST_F(FileLayer, OwnersAndTheAgentHomeDirectory) {
  struct stat st;
  ASSERT_EQ(stat(".", &st), 0);
  unsigned int uid = 99999, gid = 99999;
  ASSERT_EQ(OS_FILE_get_file_owner(".", &uid, &gid), KX_SUCCESS);
  EXPECT_EQ(uid, st.st_uid);
  EXPECT_EQ(gid, st.st_gid);
  EXPECT_EQ(OS_FILE_get_file_owner("nothing", &uid, &gid), KX_FAIL);
  EXPECT_TRUE(logged("OS_FILE_get_file-owner. path='nothing'. errno: 2."));

  const struct passwd *pw = getpwuid(st.st_uid);
  ASSERT_NE(pw, nullptr);
  PATHNAME_D_typ home;
  ASSERT_EQ(OS_FILE_get_agent_home_dir(home), KX_SUCCESS);
  EXPECT_STREQ(home, pw->pw_dir);
  EXPECT_TRUE(logged("FT:OS_FILE_get_agent_home_dir\n"));

  work_.write("mine", "");
  EXPECT_EQ(OS_FILE_set_agent_owner("mine"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_set_file_owner("nothing", uid, gid), KX_FAIL);
  EXPECT_TRUE(logged("OS_FILE_set_file_owner. path='nothing'. error: No such file or directory."));
  EXPECT_EQ(OS_FILE_chown("mine", pw->pw_name), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_chown("mine", "no-such-user-here"), KX_FAIL);

  EXPECT_EQ(OS_FILE_set_permission("mine", OS_FILE_READ_WRITE_EXEC_PERMISSION, OS_FILE_READ_PERMISSION,
                                   OS_FILE_NO_PERMISSION),
            KX_SUCCESS);
  EXPECT_EQ(mode_of(path("mine")), 0740u);
}

TEST_F(FileLayer, SemaphoresDoNothing) {
  OSSemObject sem = 12345;
  EXPECT_EQ(OS_IPC_sem_create(&sem, "AG_Mutex", 30000), KX_SUCCESS);
  EXPECT_EQ(OS_IPC_sem_lock(sem, 30000), KX_SUCCESS);
  EXPECT_EQ(OS_IPC_sem_lock(sem, 30000), KX_SUCCESS);  // nested use succeeds too
  EXPECT_EQ(OS_IPC_sem_unlock(sem), KX_SUCCESS);
  EXPECT_EQ(OS_IPC_sem_delete(sem), KX_SUCCESS);
}

TEST_F(FileLayer, DescriptorModesLocksAndLines) {
  int fd = -1;
  {
    Umask mask(077);
    ASSERT_EQ(OS_FILE_open(&fd, "c644", OS_FILE_CREATE), KX_SUCCESS);
    EXPECT_EQ(OS_FILE_write(fd, "ab\ncd\nrest", 10), KX_SUCCESS);
    EXPECT_NE(lock_test_from_child(path("c644")), 0);
    EXPECT_EQ(OS_FILE_release(fd), KX_SUCCESS);
    ASSERT_EQ(OS_FILE_open(&fd, "c777", OS_FILE_CREATE_777), KX_SUCCESS);
    OS_FILE_close(fd);
  }
  EXPECT_EQ(mode_of(path("c644")), 0644u);
  EXPECT_EQ(mode_of(path("c777")), 0777u);
  EXPECT_TRUE(logged("OS_FILE_close: Closing descriptor "));
  EXPECT_TRUE(logged("OS_FILE_close ended successfully"));

  ASSERT_EQ(OS_FILE_open(&fd, "c644", OS_FILE_READ), KX_SUCCESS);
  char line[16];
  EXPECT_EQ(OS_FILE_gets(fd, line, sizeof line), KX_SUCCESS);
  EXPECT_STREQ(line, "ab\n");
  EXPECT_EQ(OS_FILE_gets(fd, line, sizeof line), KX_SUCCESS);
  EXPECT_STREQ(line, "cd\n");
  EXPECT_EQ(OS_FILE_gets(fd, line, sizeof line), KX_SUCCESS);
  EXPECT_STREQ(line, "rest");
  EXPECT_EQ(OS_FILE_gets(fd, line, sizeof line), KX_FAIL);
  EXPECT_EQ(OS_FILE_write(fd, "x", 1), KX_FAIL);  // read modes are read-only
  EXPECT_EQ(OS_FILE_lseek(fd, 3, OS_FILE_BEGIN), KX_SUCCESS);
  long got = 0;
  EXPECT_EQ(OS_FILE_read(fd, line, 2, &got), KX_SUCCESS);
  EXPECT_EQ(std::string(line, got), "cd");
  EXPECT_EQ(OS_FILE_lseek(fd, 0, OS_FILE_END), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_read(fd, line, 2, &got), KX_EOS);
  OS_FILE_close(fd);

  // A lock held by another process: the no-wait mode fails at once.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const std::string p = path("c644");
  const pid_t pid = fork();
  if (pid == 0) {
    const int cfd = open(p.c_str(), O_RDWR);
    if (cfd < 0 || lockf(cfd, F_LOCK, 0) != 0) _exit(2);
    char x = 'x';
    if (write(ready[1], &x, 1) != 1 || read(done[0], &x, 1) != 1) _exit(2);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(OS_FILE_open(&fd, "c644", OS_FILE_LOCK_NOWAIT), KX_FAIL);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EACCES);
  ASSERT_EQ(OS_FILE_open(&fd, "c644", OS_FILE_NOLOCK), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_lock(fd, F_TEST), KX_FAIL);
  EXPECT_TRUE(logged("OS_FILE_lock: testing lock for descriptor "));
  ASSERT_EQ(write(done[1], "x", 1), 1);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(OS_FILE_lock(fd, F_TLOCK), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_lock(fd, F_ULOCK), KX_SUCCESS);
  OS_FILE_close(fd);
  for (int p2 : {ready[0], ready[1], done[0], done[1]}) close(p2);
}

TEST_F(FileLayer, FileHelpers) {
  work_.write("src", "l1\r\nlonger line\r\n");
  chmod(path("src").c_str(), 0750);
  EXPECT_EQ(OS_FILE_copy("src", "dst"), KX_SUCCESS);
  EXPECT_EQ(kxtest::read_file("dst"), "l1\r\nlonger line\r\n");
  EXPECT_EQ(mode_of(path("dst")), 0750u);
  EXPECT_EQ(OS_FILE_translate_pc_to_unix("dst"), KX_SUCCESS);
  EXPECT_EQ(kxtest::read_file("dst"), "l1\nlonger line\n");
  EXPECT_EQ(mode_of(path("dst")), 0750u);
  EXPECT_EQ(OS_FILE_translate_unix_to_pc("dst"), KX_SUCCESS);
  EXPECT_EQ(kxtest::read_file("dst"), "l1\r\nlonger line\r\n");
  int width = 0;
  EXPECT_EQ(OS_FILE_translate_pc_to_unix("dst"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_width("dst", 80, &width), KX_SUCCESS);
  EXPECT_EQ(width, 11);
  EXPECT_EQ(OS_FILE_width("dst", 10, &width), KX_FAIL);

  EXPECT_EQ(OS_FILE_check_existence("dst", OS_FILE_ACCESS_READ), KX_SUCCESS);
  EXPECT_TRUE(logged("OS_FILE_check_existence: file 'dst' exists"));
  EXPECT_EQ(OS_FILE_check_existence("dst", OS_FILE_ACCESS_EXECUTE), KX_SUCCESS);
  work_.write("plain", "");
  chmod(path("plain").c_str(), 0644);
  EXPECT_EQ(OS_FILE_check_existence("plain", OS_FILE_ACCESS_EXECUTE), KX_FAIL);
  EXPECT_TRUE(logged("OS_FILE_check_existence: file 'plain' is inaccessible"));
  EXPECT_EQ(OS_FILE_check_existence("none", OS_FILE_ACCESS_EXIST), KX_FAIL);
  EXPECT_TRUE(logged("OS_FILE_check_existence: file 'none' doesn't exist"));
  EXPECT_TRUE(OS_FILE_is_exist("dst"));
  EXPECT_FALSE(OS_FILE_is_dir("dst"));
  EXPECT_TRUE(OS_FILE_is_dir("data"));

  EXPECT_EQ(OS_FILE_create("e1"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_create_empty("e2"), KX_SUCCESS);
  const char *files[] = {"e1", "e2", "e3", nullptr};
  EXPECT_EQ(OS_FILE_delete_files(files), KX_FAIL);  // e3 never existed
  EXPECT_FALSE(OS_FILE_is_exist("e1"));
  EXPECT_FALSE(OS_FILE_is_exist("e2"));
}

// A device has no end to copy or translate up to.
TEST_F(FileLayer, AReaderRefusesAPipeInsteadOfWaitingForAWriter) {
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  FILE *fp = reinterpret_cast<FILE *>(1);
  errno = 0;
  EXPECT_EQ(OS_FILE_fopen("pipe", &fp, OS_FILE_READ), KX_FAIL);
  EXPECT_EQ(fp, nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(logged("OS_FILE_fopen failed to open file: pipe. mode: r. errno=22, Invalid argument"));
}

TEST_F(FileLayer, WholeFileHelpersRefuseADevice) {
  ASSERT_EQ(symlink("/dev/zero", path("zero").c_str()), 0);
  errno = 0;
  EXPECT_EQ(OS_FILE_copy("zero", "dst"), KX_FAIL);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(OS_FILE_is_exist("dst"));
  EXPECT_EQ(OS_FILE_translate_pc_to_unix("zero"), KX_FAIL);
  EXPECT_EQ(OS_FILE_translate_unix_to_pc("zero"), KX_FAIL);
  int width = 7;
  EXPECT_EQ(OS_FILE_width("zero", 80, &width), KX_FAIL);
  EXPECT_EQ(width, 0);
}

TEST_F(FileLayer, Directories) {
  ASSERT_EQ(mkdir("d", 0755), 0);
  ASSERT_EQ(mkdir("d/sub", 0755), 0);
  EXPECT_EQ(OS_FILE_dir_entry_add("d", "a.log"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_dir_entry_add("d", "b.log"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_dir_entry_add("d/sub", "c.txt"), KX_SUCCESS);
  DIR *dir = nullptr;
  ASSERT_EQ(OS_FILE_dir_open("d", &dir), KX_SUCCESS);
  char name[256];
  int count = 0;
  while (OS_FILE_dir_next(dir, name, sizeof name) == KX_SUCCESS) {
    EXPECT_STRNE(name, ".");
    EXPECT_STRNE(name, "..");
    ++count;
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(OS_FILE_dir_close(dir), KX_SUCCESS);

  set_mtime(path("d/a.log"), time(nullptr) - 10 * 86400);
  EXPECT_EQ(OS_FILE_dir_rm_old_files("d", 5), KX_SUCCESS);
  EXPECT_FALSE(OS_FILE_is_exist("d/a.log"));
  EXPECT_TRUE(OS_FILE_is_exist("d/b.log"));
  EXPECT_EQ(OS_FILE_dir_entry_add("d", "x.log"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_delete_pattern("d", "*.log"), KX_SUCCESS);
  EXPECT_FALSE(OS_FILE_is_exist("d/b.log"));
  EXPECT_FALSE(OS_FILE_is_exist("d/x.log"));
  EXPECT_TRUE(OS_FILE_is_exist("d/sub/c.txt"));
  EXPECT_EQ(OS_FILE_dir_entry_delete("d/sub", "c.txt"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_dir_entry_add("d/sub", "c.txt"), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_dir_delete("d"), KX_SUCCESS);
  EXPECT_FALSE(OS_FILE_is_exist("d"));
  EXPECT_EQ(OS_FILE_dir_delete("d"), KX_FAIL);
}

TEST_F(FileLayer, WildcardListsNeverRunTheShell) {
  ASSERT_EQ(mkdir("w", 0755), 0);
  for (const char *f : {"w/a1.txt", "w/a2.txt", "w/b.txt"}) work_.write(f, "");
  FILE *list = nullptr;
  ASSERT_EQ(OS_FILE_open_wild_card_list("w/a*.txt", &list), KX_SUCCESS);
  char line[64];
  ASSERT_EQ(OS_FILE_fgets(line, sizeof line, list), KX_SUCCESS);
  EXPECT_STREQ(line, "w/a1.txt\n");
  ASSERT_EQ(OS_FILE_fgets(line, sizeof line, list), KX_SUCCESS);
  EXPECT_STREQ(line, "w/a2.txt\n");
  EXPECT_EQ(OS_FILE_fgets(line, sizeof line, list), KX_FAIL);
  OS_FILE_fclose(list);
  EXPECT_EQ(OS_FILE_open_wild_card_list("w/z*", &list), KX_EOS);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(OS_FILE_open_wild_card_list("w/q; touch pwned", &list), KX_EOS);
  EXPECT_FALSE(OS_FILE_is_exist("pwned"));
}

TEST_F(FileLayer, AgentFileNamesAndPathExpansion) {
  PATHNAME_D_typ full;
  char name[256];
  EXPECT_EQ(OS_FILE_build_filetype("0A1B2", 37, full, name, OS_FILE_ECF), KX_SUCCESS);
  EXPECT_STREQ(full, "./status/0A1B2_0011.dsect");
  EXPECT_STREQ(name, "0A1B2_0011.dsect");
  EXPECT_EQ(OS_FILE_build_filetype("0A1B2", 36 * 36 * 36 * 36 - 1, full, name, OS_FILE_BKFILE), KX_SUCCESS);
  EXPECT_STREQ(full, "./backup/0A1B2_ZZZZ.dsect");
  EXPECT_EQ(OS_FILE_build_filetype("X", 1, full, name, OS_FILE_INSTREAM), KX_SUCCESS);
  EXPECT_STREQ(full, "./temp/INSTREAM_X_0001");
  EXPECT_EQ(OS_FILE_build_filetype("X", 1, full, name, OS_FILE_SSH_TMP), KX_SUCCESS);
  EXPECT_STREQ(full, "./temp/X_0001_sshTmp.dat");
  EXPECT_EQ(OS_FILE_build_filetype("X", 42, full, name, OS_FILE_PROCID), KX_SUCCESS);
  EXPECT_STREQ(full, "./procid/X_42.dat");
  EXPECT_EQ(OS_FILE_build_filetype("X", 1, full, name, OS_FILE_LOG), KX_FAIL);
  EXPECT_STREQ(full, "");
  EXPECT_STREQ(name, "");

  setenv("HOME", "/home/agent", 1);
  char out[OS_FILE_SHORT_PATH_MAX + 1];
  EXPECT_EQ(OS_FILE_path_trans("$HOME/data", out), KX_SUCCESS);
  EXPECT_STREQ(out, "/home/agent/data");
  EXPECT_EQ(OS_FILE_path_trans("~/data", out), KX_SUCCESS);
  EXPECT_STREQ(out, "/home/agent/data");
  EXPECT_EQ(OS_FILE_path_trans("$HOMEX/data", out), KX_SUCCESS);
  EXPECT_STREQ(out, "$HOMEX/data");
  const struct passwd *pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(OS_FILE_path_trans(("~" + std::string(pw->pw_name) + "/x").c_str(), out), KX_SUCCESS);
  EXPECT_EQ(std::string(out), std::string(pw->pw_dir) + "/x");
  EXPECT_EQ(OS_FILE_path_trans("~no-such-user-here/x", out), KX_FAIL);
  EXPECT_EQ(OS_FILE_path_trans(("/" + std::string(300, 'p')).c_str(), out), KX_FAIL);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(OS_FILE_build_filename("$HOME/lib/", "member", out), KX_SUCCESS);
  EXPECT_STREQ(out, "/home/agent/lib/member");

  setenv("TEMP", "/var/tmp", 1);
  PATHNAME_D_typ tmp1, tmp2;
  EXPECT_EQ(OS_FILE_create_tmp_filename(tmp1), KX_SUCCESS);
  EXPECT_EQ(OS_FILE_create_tmp_filename(tmp2), KX_SUCCESS);
  EXPECT_EQ(std::string(tmp1).rfind("/var/tmp/TMP" + std::to_string(getpid()), 0), 0u);
  EXPECT_STRNE(tmp1, tmp2);
  unsetenv("TEMP");
}

TEST_F(FileLayer, HousekeepingWithTheParameterTables) {
  EXPECT_EQ(OS_FILE_checkDiskFreeSpace("."), KX_SUCCESS);  // no CONFIG: nothing to check
  work_.write_table("CONFIG", "MIN_FREE_SPACE 999999999\nSLEEP_COUNT 0\n");
  EXPECT_EQ(OS_FILE_checkDiskFreeSpace("."), KX_FAIL);
  EXPECT_EQ(OS_FILE_checkDiskFreeSpace("/no/such/dir"), KX_FAIL);

  EXPECT_EQ(OS_FILE_save_config_backup("CONFIG"), KX_SUCCESS);
  const std::string backup = kxtest::read_file("data/cfg_backup/CONFIG.bak");
  EXPECT_NE(backup.find("MIN_FREE_SPACE"), std::string::npos);

  ASSERT_EQ(mkdir("exe_old", 0755), 0);
  ASSERT_EQ(mkdir("status", 0755), 0);
  work_.write("exe_old/agent", "");
  work_.write_table("upgrade_running_jobs", "0A1B2 37\n");
  work_.write("status/0A1B2_0011.dsect", "");
  EXPECT_EQ(OS_FILE_clean_upgrade_files(), KX_SUCCESS);
  EXPECT_TRUE(OS_FILE_is_dir("exe_old"));
  OS_FILE_delete("status/0A1B2_0011.dsect");
  EXPECT_EQ(OS_FILE_clean_upgrade_files(), KX_SUCCESS);
  EXPECT_FALSE(OS_FILE_is_exist("exe_old"));
}
