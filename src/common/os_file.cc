#include "os_file.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gm_param.h"
#include "gm_time.h"
#include "os_diag.h"
#include "os_time.h"

namespace {

constexpr mode_t kReadableByAll = 0644;
constexpr size_t kPathSize = sizeof(PATHNAME_D_typ);
constexpr size_t kShortPathSize = OS_FILE_SHORT_PATH_MAX + 1;
constexpr size_t kNameSize = 256;

const char *safe(const char *text) { return text != nullptr ? text : ""; }

// Logging may call into code that changes errno; callers of this layer read
// the failing call's errno after we return.
class ErrnoKeeper {
 public:
  explicit ErrnoKeeper(int saved) : saved_(saved) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper &) = delete;
  ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

 private:
  int saved_;
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

class Dir {
 public:
  explicit Dir(const char *path) : dir_(::opendir(path)) {}
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Dir(const Dir &) = delete;
  Dir &operator=(const Dir &) = delete;
  DIR *get() const { return dir_; }

 private:
  DIR *dir_;
};

class Stream {
 public:
  explicit Stream(FILE *fp) : fp_(fp) {}
  ~Stream() {
    if (fp_ != nullptr) std::fclose(fp_);
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  FILE *get() const { return fp_; }

 private:
  FILE *fp_;
};

bool is_dot_entry(const char *name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::string join(const char *dir, const char *name) {
  std::string path = safe(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += safe(name);
  return path;
}

// Copies text into out (size bytes) only when it fits whole.
bool put_whole(char *out, size_t size, const std::string &text) {
  if (text.size() >= size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool user_by_uid(uid_t uid, struct passwd *pw, std::vector<char> *buf) {
  struct passwd *found = nullptr;
  buf->assign(16384, '\0');
  return ::getpwuid_r(uid, pw, buf->data(), buf->size(), &found) == 0 && found != nullptr;
}

bool user_by_name(const char *name, struct passwd *pw, std::vector<char> *buf) {
  struct passwd *found = nullptr;
  buf->assign(16384, '\0');
  return ::getpwnam_r(name, pw, buf->data(), buf->size(), &found) == 0 && found != nullptr;
}

// Waits for the lock; a signal does not end the wait.
int lock_waiting(int fd) {
  int rc;
  do {
    rc = ::lockf(fd, F_LOCK, 0);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Only a regular file has an end to read up to: a device such as /dev/zero
// would fill memory.
bool read_whole(const char *path, std::string *content) {
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  char buf[8192];
  content->clear();
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    content->append(buf, static_cast<size_t>(n));
  }
}

// Replaces the file's content through a temporary file beside it, so a
// failure part-way never leaves a half-written file behind.
bool replace_content(const char *path, const std::string &content) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  std::string tmp = std::string(path) + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  Fd fd(::mkstemp(name.data()));
  if (fd.get() < 0) return false;
  const bool ok = write_all(fd.get(), content.data(), content.size()) &&
                  ::fchmod(fd.get(), st.st_mode & 07777) == 0 && ::close(fd.release()) == 0 &&
                  ::rename(name.data(), path) == 0;
  if (!ok) {
    const int saved = errno;
    ::unlink(name.data());
    errno = saved;
  }
  return ok;
}

mode_t permission_digit(OS_FILE_PERMISSION_typ p) {
  const int v = static_cast<int>(p);
  return static_cast<mode_t>(((v & OS_FILE_READ_PERMISSION) ? 4 : 0) |
                             ((v & OS_FILE_WRITE_PERMISSION) ? 2 : 0) |
                             ((v & OS_FILE_EXEC_PERMISSION) ? 1 : 0));
}

std::string base36(int value, int min_digits) {
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  unsigned long v = value < 0 ? 0UL : static_cast<unsigned long>(value);
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v % 36]);
    v /= 36;
  } while (v > 0);
  while (static_cast<int>(out.size()) < min_digits) out.insert(out.begin(), '0');
  return out;
}

bool home_of_current_user(std::string *home) {
  if (const char *env = std::getenv("HOME")) {
    *home = env;
    return true;
  }
  struct passwd pw;
  std::vector<char> buf;
  if (!user_by_uid(::geteuid(), &pw, &buf)) return false;
  *home = pw.pw_dir;
  return true;
}

// The owner that the agent's create modes give a new file: the user named
// by LOGNAME, else the current user.
void give_to_login_user(int fd) {
  struct passwd pw;
  std::vector<char> buf;
  const char *logname = std::getenv("LOGNAME");
  std::string name;
  if (logname != nullptr) {
    name = logname;
  } else {
    if (!user_by_uid(::geteuid(), &pw, &buf)) return;
    name = pw.pw_name;
    DIAG_TRACE(4, "getenv LOGNAME not defined, using %s.", name.c_str());
  }
  if (user_by_name(name.c_str(), &pw, &buf)) (void)::fchown(fd, pw.pw_uid, pw.pw_gid);
}

KX_RC stat_common(const char *op, const char *path, struct stat *st) {
  if (path == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  if (::stat(path, st) != 0) {
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "%s. file_name='%s'. errno: %d.", op, path, errno);
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC vformat_to(FILE *stream, const char *op, const char *line_end, const char *format,
                 va_list ap) {
  if (stream == nullptr || format == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  char text[OS_FILE_LINE_AREA];
  std::vsnprintf(text, sizeof text, format, ap);
  if (std::fprintf(stream, "%s%s", text, line_end) < 0) {
    ErrnoKeeper keep(errno);
    const int err = errno;
    DIAG_ERROR("%s: Failed to write: '%s'", op, text);
    DIAG_ERROR("%s: Failed with error number %d: '%s'", op, err, std::strerror(err));
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC remove_tree(const std::string &path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return KX_FAIL;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? KX_SUCCESS : KX_FAIL;
  {
    Dir dir(path.c_str());
    if (dir.get() == nullptr) return KX_FAIL;
    while (struct dirent *entry = ::readdir(dir.get())) {
      if (is_dot_entry(entry->d_name)) continue;
      if (remove_tree(join(path.c_str(), entry->d_name)) != KX_SUCCESS) return KX_FAIL;
    }
  }
  return ::rmdir(path.c_str()) == 0 ? KX_SUCCESS : KX_FAIL;
}

long free_megabytes(const struct statvfs &vfs) {
  return static_cast<long>(static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize /
                           (1024ULL * 1024ULL));
}

bool config_number(const char *key, long *value) {
  GM_PARAM_VALUE_typ text = "";
  if (GM_PARAM_get("CONFIG", key, text) != KX_SUCCESS || text[0] == '\0') return false;
  *value = std::atol(text);
  return true;
}

}  // namespace

extern "C" {

/* ---- status and owners ---- */

KX_RC OS_FILE_stat(const char *path, long *size_bytes, long *size_lines, char *ctime_text,
                   char *mtime_text) {
  DIAG_TRACE(4, "OS_FILE_stat enter: file_name = '%s'", safe(path));
  struct stat st;
  if (path == nullptr || ::stat(path, &st) != 0) {
    if (path == nullptr) errno = EINVAL;
    ErrnoKeeper keep(errno);
    const int err = errno;
    DIAG_TRACE(4, "OS_FILE_stat failed. errno: %d (%s)", err, std::strerror(err));
    return KX_FAIL;
  }
  DATETIME_D_typ stamp = "";
  GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, st.st_mtime, stamp);
  if (size_bytes != nullptr) *size_bytes = static_cast<long>(st.st_size);
  if (size_lines != nullptr) *size_lines = 0;
  if (ctime_text != nullptr) std::memcpy(ctime_text, stamp, std::strlen(stamp) + 1);
  if (mtime_text != nullptr) std::memcpy(mtime_text, stamp, std::strlen(stamp) + 1);
  DIAG_TRACE(4, "size in bytes = %ld, modify timestamp = '%s'", static_cast<long>(st.st_size), stamp);
  return KX_SUCCESS;
}

KX_RC OS_FILE_stat64(const char *path, long long *size_bytes, long *size_lines, char *ctime_text,
                     char *mtime_text) {
  struct stat st;
  if (stat_common("OS_FILE_stat64", path, &st) != KX_SUCCESS) return KX_FAIL;
  DATETIME_D_typ stamp = "";
  GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDDHHMMSS, st.st_mtime, stamp);
  if (size_bytes != nullptr) *size_bytes = static_cast<long long>(st.st_size);
  if (size_lines != nullptr) *size_lines = 0;
  if (ctime_text != nullptr) std::memcpy(ctime_text, stamp, std::strlen(stamp) + 1);
  if (mtime_text != nullptr) std::memcpy(mtime_text, stamp, std::strlen(stamp) + 1);
  return KX_SUCCESS;
}

KX_RC OS_FILE_stat_short(const char *path, long *size_bytes) {
  struct stat st;
  if (stat_common("OS_FILE_stat_short", path, &st) != KX_SUCCESS) return KX_FAIL;
  if (size_bytes != nullptr) *size_bytes = static_cast<long>(st.st_size);
  return KX_SUCCESS;
}

KX_RC OS_FILE_get_file_owner(const char *path, unsigned int *uid, unsigned int *gid) {
  struct stat st;
  if (path == nullptr || ::stat(path, &st) != 0) {
    if (path == nullptr) errno = EINVAL;
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "OS_FILE_get_file-owner. path='%s'. errno: %d.", safe(path), errno);
    return KX_FAIL;
  }
  if (uid != nullptr) *uid = static_cast<unsigned int>(st.st_uid);
  if (gid != nullptr) *gid = static_cast<unsigned int>(st.st_gid);
  return KX_SUCCESS;
}

KX_RC OS_FILE_set_file_owner(const char *path, unsigned int uid, unsigned int gid) {
  if (path == nullptr || ::chown(path, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
    if (path == nullptr) errno = EINVAL;
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "OS_FILE_set_file_owner. path='%s'. error: %s.", safe(path), std::strerror(errno));
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC OS_FILE_set_agent_owner(const char *path) {
  unsigned int uid = 0;
  unsigned int gid = 0;
  if (OS_FILE_get_file_owner(".", &uid, &gid) != KX_SUCCESS) return KX_FAIL;
  return OS_FILE_set_file_owner(path, uid, gid);
}

KX_RC OS_FILE_chown(const char *path, const char *owner) {
  KX_RC rc = KX_FAIL;
  struct passwd pw;
  std::vector<char> buf;
  int err = 0;
  if (path == nullptr || owner == nullptr) {
    err = EINVAL;
  } else if (!user_by_name(owner, &pw, &buf)) {
    err = ENOENT;
  } else if (::chown(path, pw.pw_uid, static_cast<gid_t>(-1)) != 0) {
    err = errno;
  } else {
    rc = KX_SUCCESS;
  }
  ErrnoKeeper keep(rc == KX_SUCCESS ? errno : err);
  DIAG_TRACE(4, "OS_FILE_chown. file %s, owner %s, rc=%d", safe(path), safe(owner), rc);
  return rc;
}

KX_RC OS_FILE_set_permission(const char *path, OS_FILE_PERMISSION_typ owner,
                             OS_FILE_PERMISSION_typ group, OS_FILE_PERMISSION_typ general) {
  const mode_t mode = static_cast<mode_t>((permission_digit(owner) << 6) |
                                          (permission_digit(group) << 3) | permission_digit(general));
  const bool ok = path != nullptr && ::chmod(path, mode) == 0;
  if (path == nullptr) errno = EINVAL;
  ErrnoKeeper keep(errno);
  DIAG_TRACE(4, "OS_FILE_set_permission: file '%s', mode %o %s", safe(path), static_cast<unsigned>(mode),
             ok ? "ended successfully" : "FAILED");
  return ok ? KX_SUCCESS : KX_FAIL;
}

/* ---- delete and rename ---- */

KX_RC OS_FILE_delete(const char *path) {
  DIAG_TRACE(4, "OS_FILE_delete: Deleting file '%s'", safe(path));
  const bool ok = path != nullptr && ::unlink(path) == 0;
  if (path == nullptr) errno = EINVAL;
  ErrnoKeeper keep(errno);
  DIAG_TRACE(4, "OS_FILE_delete %s", ok ? "ended successfully" : "FAILED");
  return ok ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_rename(const char *old_path, const char *new_path) {
  DIAG_TRACE(4, "OS_FILE_rename %s to %s", safe(old_path), safe(new_path));
  if (old_path == nullptr || new_path == nullptr || ::rename(old_path, new_path) != 0) {
    if (old_path == nullptr || new_path == nullptr) errno = EINVAL;
    ErrnoKeeper keep(errno);
    DIAG_ERROR("OS_FILE_rename : cannot rename %s to %s : %s", safe(old_path), safe(new_path),
               std::strerror(errno));
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

/* ---- streams ---- */

KX_RC OS_FILE_fopen(const char *path, FILE **stream, OS_FILE_MODE_typ mode) {
  static const char kOp[] = "OS_FILE_fopen";
  DIAG_TRACE(4, "%s started : %s. mode=%d", kOp, safe(path), static_cast<int>(mode));
  if (stream != nullptr) *stream = nullptr;
  const bool truncating = mode == OS_FILE_WRITE || mode == OS_FILE_WRITE_BINARY;
  const bool writing = truncating || mode == OS_FILE_APPEND;
  const char *c_mode = mode == OS_FILE_WRITE ? "w"
                       : mode == OS_FILE_APPEND ? "a"
                       : mode == OS_FILE_WRITE_BINARY ? "wb"
                                                      : "r";
  FILE *fp = nullptr;
  if (path == nullptr || stream == nullptr) {
    errno = EINVAL;
  } else if (truncating) {
    // Truncating before the lock is held would cut a file that another
    // process is writing right now: open, wait for the lock, then truncate.
    Fd fd(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() >= 0) {
      fp = ::fdopen(fd.get(), c_mode);
      if (fp != nullptr) fd.release();
    }
  } else if (writing) {
    fp = std::fopen(path, c_mode);
  } else {
    // Opened plainly, a pipe with no writer blocks its reader for good: a
    // reader here never waits for anything but a file.
    int err = 0;
    {
      Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      struct stat st;
      if (fd.get() < 0) {
        err = errno;
      } else if (::fstat(fd.get(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        err = EINVAL;
      } else if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0 ||
                 (fp = ::fdopen(fd.get(), c_mode)) == nullptr) {
        err = errno;
      } else {
        fd.release();
      }
    }
    if (fp == nullptr) errno = err;
  }
  if (fp == nullptr) {
    ErrnoKeeper keep(errno);
    const int err = errno;
    DIAG_TRACE(1, "%s failed to open file: %s. mode: %s. errno=%d, %s", kOp, safe(path), c_mode, err,
               std::strerror(err));
    return KX_FAIL;
  }
  const int fd = ::fileno(fp);
  if (writing) {
    struct stat st;
    if (::fstat(fd, &st) == 0) (void)::fchmod(fd, (st.st_mode & 07777) | kReadableByAll);
    if (lock_waiting(fd) != 0) {
      ErrnoKeeper keep(errno);
      DIAG_ERROR("%s : lockf : %s", kOp, std::strerror(errno));
    }
    if (truncating && ::ftruncate(fd, 0) != 0) {
      const int err = errno;
      std::fclose(fp);
      ErrnoKeeper keep(err);
      DIAG_TRACE(1, "%s failed to open file: %s. mode: %s. errno=%d, %s", kOp, path, c_mode, err,
                 std::strerror(err));
      return KX_FAIL;
    }
    std::setbuf(fp, nullptr);
  }
  DIAG_TRACE(4, "%s : opened %d", kOp, fd);
  *stream = fp;
  return KX_SUCCESS;
}

KX_RC OS_FILE_fclose(FILE *stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  DIAG_TRACE(4, "OS_FILE_fclose started %d", ::fileno(stream));
  if (std::fclose(stream) != 0) {
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "OS_FILE_fclose failed ");
    return KX_FAIL;
  }
  DIAG_TRACE(4, "OS_FILE_fclose ended ");
  return KX_SUCCESS;
}

KX_RC OS_FILE_fgets(char *line, int size, FILE *stream) {
  if (line == nullptr || size <= 0) return KX_FAIL;
  line[0] = '\0';
  if (stream == nullptr) return KX_FAIL;
  if (std::fgets(line, size, stream) == nullptr) {
    line[0] = '\0';
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC OS_FILE_fgets_len(char *line, int size, FILE *stream, long *length) {
  if (length != nullptr) *length = 0;
  if (line == nullptr || size <= 0) return KX_FAIL;
  line[0] = '\0';
  if (stream == nullptr) return KX_FAIL;
  long n = 0;
  ::flockfile(stream);
  while (n < size - 1) {
    const int c = getc_unlocked(stream);
    if (c == EOF) break;
    line[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  ::funlockfile(stream);
  line[n] = '\0';
  if (length != nullptr) *length = n;
  return n > 0 ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_fputs(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const KX_RC rc = vformat_to(stream, "OS_FILE_fputs", "\n", format, ap);
  va_end(ap);
  return rc;
}

KX_RC OS_FILE_fprintf(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const KX_RC rc = vformat_to(stream, "OS_FILE_fprintf", "", format, ap);
  va_end(ap);
  return rc;
}

KX_RC OS_FILE_fread(FILE *stream, void *buffer, long size, long *bytes_read) {
  if (bytes_read != nullptr) *bytes_read = 0;
  if (stream == nullptr || buffer == nullptr || size < 0) {
    errno = EINVAL;
    return KX_FAIL;
  }
  const size_t n = std::fread(buffer, 1, static_cast<size_t>(size), stream);
  if (bytes_read != nullptr) *bytes_read = static_cast<long>(n);
  if (n == 0 && size > 0) return std::ferror(stream) ? KX_FAIL : KX_EOS;
  return KX_SUCCESS;
}

KX_RC OS_FILE_fwrite(FILE *stream, const void *buffer, long size) {
  if (stream == nullptr || buffer == nullptr || size < 0) {
    errno = EINVAL;
    return KX_FAIL;
  }
  return std::fwrite(buffer, 1, static_cast<size_t>(size), stream) == static_cast<size_t>(size)
             ? KX_SUCCESS
             : KX_FAIL;
}

flag OS_FILE_feof(FILE *stream) { return stream == nullptr || std::feof(stream) ? 1 : 0; }

KX_RC OS_FILE_get_agent_home_dir(char *dir) {
  static const char kOp[] = "OS_FILE_get_agent_home_dir";
  DIAG_TRACE(4, "%s", kOp);
  struct stat st;
  if (::stat(".", &st) != 0) {
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "%s: stat failed. errno: %d.", kOp, errno);
    return KX_FAIL;
  }
  struct passwd pw;
  std::vector<char> buf;
  if (!user_by_uid(st.st_uid, &pw, &buf)) {
    DIAG_TRACE(4, "%s: failed to get password entry for user '%d'\n", kOp, static_cast<int>(st.st_uid));
    return KX_FAIL;
  }
  if (dir != nullptr) std::snprintf(dir, kPathSize, "%s", pw.pw_dir);
  return KX_SUCCESS;
}

/* ---- the parameter-table semaphore: nothing to do on this platform ---- */

KX_RC OS_IPC_sem_create(OSSemObject *handle, const char *name, int max_wait) {
  (void)name;
  (void)max_wait;
  if (handle != nullptr) *handle = 0;
  return KX_SUCCESS;
}

KX_RC OS_IPC_sem_lock(OSSemObject handle, int wait) {
  (void)handle;
  (void)wait;
  return KX_SUCCESS;
}

KX_RC OS_IPC_sem_unlock(OSSemObject handle) {
  (void)handle;
  return KX_SUCCESS;
}

KX_RC OS_IPC_sem_delete(OSSemObject handle) {
  (void)handle;
  return KX_SUCCESS;
}

/* ---- descriptors ---- */

KX_RC OS_FILE_open(int *fd, const char *path, OS_FILE_MODE_typ mode) {
  static const char kOp[] = "OS_FILE_open";
  DIAG_TRACE(4, "%s started : %s. mode=%d", kOp, safe(path), static_cast<int>(mode));
  if (fd != nullptr) *fd = -1;
  if (fd == nullptr || path == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  enum class Lock { kNone, kWait, kNoWait };
  int flags = O_RDONLY;
  Lock lock = Lock::kNone;
  bool truncate = false;  // after the lock is held, never before
  bool create_mode = false;
  switch (mode) {
    case OS_FILE_CREATE:
    case OS_FILE_CREATE_777:
      flags = O_WRONLY | O_CREAT;
      lock = Lock::kWait;
      truncate = true;
      create_mode = true;
      break;
    case OS_FILE_LOCK:
      flags = O_RDWR | O_CREAT;
      lock = Lock::kWait;
      break;
    case OS_FILE_LOCK_NOWAIT:
      flags = O_RDWR | O_CREAT;
      lock = Lock::kNoWait;
      break;
    case OS_FILE_NOLOCK:
      flags = O_RDWR | O_CREAT;
      break;
    case OS_FILE_WRITE:
    case OS_FILE_WRITE_BINARY:
    case OS_FILE_TRUNC:
      flags = O_WRONLY | O_CREAT;
      lock = Lock::kWait;
      truncate = true;
      break;
    case OS_FILE_APPEND:
    case OS_FILE_APPEND_BINARY:
      flags = O_WRONLY | O_CREAT | O_APPEND;
      lock = Lock::kWait;
      break;
    case OS_FILE_UPDATE:
      flags = O_RDWR;
      lock = Lock::kWait;
      break;
    case OS_FILE_WRITE_NOLOCK:
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case OS_FILE_WRITE_NOTRUNC_NOLOCK:
      flags = O_WRONLY | O_CREAT;
      break;
    default:
      flags = O_RDONLY;
      break;
  }
  Fd handle(::open(path, flags | O_CLOEXEC, kReadableByAll));
  int err = 0;
  if (handle.get() < 0) {
    err = errno;
  } else if (lock == Lock::kWait && lock_waiting(handle.get()) != 0) {
    err = errno;
  } else if (lock == Lock::kNoWait && ::lockf(handle.get(), F_TLOCK, 0) != 0) {
    err = errno;
  } else if (truncate && ::ftruncate(handle.get(), 0) != 0) {
    err = errno;
  }
  if (err != 0) {
    ErrnoKeeper keep(err);
    DIAG_TRACE(4, "%s failed to open file: %s. mode=%d. errno=%d, %s", kOp, path,
               static_cast<int>(mode), err, std::strerror(err));
    return KX_FAIL;
  }
  if (create_mode) {
    (void)::fchmod(handle.get(), mode == OS_FILE_CREATE_777 ? 0777 : kReadableByAll);
    give_to_login_user(handle.get());
  }
  *fd = handle.release();
  DIAG_TRACE(4, "%s : opened %d", kOp, *fd);
  return KX_SUCCESS;
}

KX_RC OS_FILE_lseek(int fd, long offset, OS_FILE_SEEK_typ origin) {
  int whence = SEEK_SET;
  if (origin == OS_FILE_CURR) whence = SEEK_CUR;
  if (origin == OS_FILE_END) whence = SEEK_END;
  return ::lseek(fd, static_cast<off_t>(offset), whence) == static_cast<off_t>(-1) ? KX_FAIL
                                                                                    : KX_SUCCESS;
}

KX_RC OS_FILE_read(int fd, void *buffer, long size, long *bytes_read) {
  if (bytes_read != nullptr) *bytes_read = 0;
  if (buffer == nullptr || size < 0) {
    errno = EINVAL;
    return KX_FAIL;
  }
  ssize_t n;
  do {
    n = ::read(fd, buffer, static_cast<size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return KX_FAIL;
  if (bytes_read != nullptr) *bytes_read = static_cast<long>(n);
  return n == 0 && size > 0 ? KX_EOS : KX_SUCCESS;
}

KX_RC OS_FILE_write(int fd, const void *buffer, long size) {
  if (buffer == nullptr || size < 0) {
    errno = EINVAL;
    return KX_FAIL;
  }
  return write_all(fd, static_cast<const char *>(buffer), static_cast<size_t>(size)) ? KX_SUCCESS
                                                                                     : KX_FAIL;
}

KX_RC OS_FILE_close(int fd) {
  DIAG_TRACE(4, "OS_FILE_close: Closing descriptor %d", fd);
  const bool ok = ::close(fd) == 0;
  ErrnoKeeper keep(errno);
  DIAG_TRACE(4, "OS_FILE_close %s", ok ? "ended successfully" : "FAILED");
  return ok ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_release(int fd) {
  (void)OS_FILE_lock(fd, F_ULOCK);
  return OS_FILE_close(fd);
}

KX_RC OS_FILE_lock(int fd, int command) {
  const char *what = command == F_ULOCK ? "unlocking" : command == F_TEST ? "testing lock for" : "locking";
  DIAG_TRACE(4, "OS_FILE_lock: %s descriptor %d", what, fd);
  if (command != F_ULOCK && command != F_LOCK && command != F_TLOCK && command != F_TEST) {
    errno = EINVAL;
    return KX_FAIL;
  }
  // The whole file: lock from the start whatever the current position.
  const off_t here = ::lseek(fd, 0, SEEK_CUR);
  if (here == static_cast<off_t>(-1) || ::lseek(fd, 0, SEEK_SET) == static_cast<off_t>(-1)) return KX_FAIL;
  const int rc = command == F_LOCK ? lock_waiting(fd) : ::lockf(fd, command, 0);
  const int err = errno;
  (void)::lseek(fd, here, SEEK_SET);
  errno = err;
  return rc == 0 ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_gets(int fd, char *line, int size) {
  if (line == nullptr || size <= 0) {
    errno = EINVAL;
    return KX_FAIL;
  }
  line[0] = '\0';
  ssize_t n;
  do {
    n = ::read(fd, line, static_cast<size_t>(size - 1));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return KX_FAIL;
  const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(n)));
  const ssize_t used = nl != nullptr ? (nl - line) + 1 : n;
  line[used] = '\0';
  // Give back what was read beyond the line end.
  if (used < n && ::lseek(fd, static_cast<off_t>(used - n), SEEK_CUR) == static_cast<off_t>(-1))
    return KX_FAIL;
  return KX_SUCCESS;
}

/* ---- files ---- */

KX_RC OS_FILE_copy(const char *src, const char *dst) {
  if (src == nullptr || dst == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  Fd in(::open(src, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return KX_FAIL;
  // A device that never ends would fill the destination's file system.
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return KX_FAIL;
  }
  Fd out(::open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
  if (out.get() < 0) return KX_FAIL;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KX_FAIL;
    if (n == 0) break;
    if (!write_all(out.get(), buf, static_cast<size_t>(n))) return KX_FAIL;
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return KX_FAIL;
  return ::close(out.release()) == 0 ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_check_existence(const char *path, OS_FILE_ACCESS_typ test) {
  static const char kOp[] = "OS_FILE_check_existence";
  if (path == nullptr || ::access(path, F_OK) != 0) {
    if (path == nullptr) errno = EINVAL;
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "%s: file '%s' doesn't exist", kOp, safe(path));
    return KX_FAIL;
  }
  int how = F_OK;
  if (test == OS_FILE_ACCESS_EXECUTE) how = X_OK;
  if (test == OS_FILE_ACCESS_WRITE) how = W_OK;
  if (test == OS_FILE_ACCESS_READ) how = R_OK;
  if (how != F_OK && ::access(path, how) != 0) {
    ErrnoKeeper keep(errno);
    DIAG_TRACE(4, "%s: file '%s' is inaccessible", kOp, path);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "%s: file '%s' exists", kOp, path);
  return KX_SUCCESS;
}

flag OS_FILE_is_exist(const char *path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 ? 1 : 0;
}

flag OS_FILE_is_dir(const char *path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

KX_RC OS_FILE_create(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  Fd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kReadableByAll));
  if (fd.get() < 0) return KX_FAIL;
  return ::close(fd.release()) == 0 ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_create_empty(const char *path) { return OS_FILE_create(path); }

KX_RC OS_FILE_delete_files(const char *const *paths) {
  if (paths == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  KX_RC rc = KX_SUCCESS;
  for (; *paths != nullptr; ++paths) {
    if (OS_FILE_delete(*paths) != KX_SUCCESS) rc = KX_FAIL;
  }
  return rc;
}

KX_RC OS_FILE_delete_pattern(const char *dir, const char *pattern) {
  if (dir == nullptr || pattern == nullptr) {
    errno = EINVAL;
    return KX_FAIL;
  }
  Dir walk(dir);
  if (walk.get() == nullptr) return KX_FAIL;
  KX_RC rc = KX_SUCCESS;
  while (struct dirent *entry = ::readdir(walk.get())) {
    if (is_dot_entry(entry->d_name) || ::fnmatch(pattern, entry->d_name, 0) != 0) continue;
    const std::string path = join(dir, entry->d_name);
    if (OS_FILE_is_dir(path.c_str())) continue;
    if (OS_FILE_delete(path.c_str()) != KX_SUCCESS) rc = KX_FAIL;
  }
  return rc;
}

KX_RC OS_FILE_translate_pc_to_unix(const char *path) {
  std::string in;
  if (path == nullptr || !read_whole(path, &in)) return KX_FAIL;
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;
    out += in[i];
  }
  return replace_content(path, out) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_translate_unix_to_pc(const char *path) {
  std::string in;
  if (path == nullptr || !read_whole(path, &in)) return KX_FAIL;
  std::string out;
  out.reserve(in.size() + in.size() / 16);
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r')) out += '\r';
    out += in[i];
  }
  return replace_content(path, out) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_width(const char *path, int max_width, int *width) {
  if (width != nullptr) *width = 0;
  std::string content;
  if (path == nullptr || !read_whole(path, &content)) return KX_FAIL;
  size_t longest = 0;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (end - start > longest) longest = end - start;
    start = end + 1;
  }
  if (width != nullptr) *width = static_cast<int>(longest);
  return max_width >= 0 && longest > static_cast<size_t>(max_width) ? KX_FAIL : KX_SUCCESS;
}

/* ---- directories ---- */

KX_RC OS_FILE_dir_open(const char *path, DIR **dir) {
  if (dir == nullptr) return KX_FAIL;
  *dir = path != nullptr ? ::opendir(path) : nullptr;
  return *dir != nullptr ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_dir_next(DIR *dir, char *name, int size) {
  if (dir == nullptr || name == nullptr || size <= 0) return KX_FAIL;
  name[0] = '\0';
  errno = 0;
  while (struct dirent *entry = ::readdir(dir)) {
    if (is_dot_entry(entry->d_name)) continue;
    std::snprintf(name, static_cast<size_t>(size), "%s", entry->d_name);
    return KX_SUCCESS;
  }
  return errno != 0 ? KX_FAIL : KX_EOS;
}

KX_RC OS_FILE_dir_close(DIR *dir) {
  return dir != nullptr && ::closedir(dir) == 0 ? KX_SUCCESS : KX_FAIL;
}

long OS_FILE_dir_telldir(DIR *dir) { return dir != nullptr ? ::telldir(dir) : -1; }

void OS_FILE_dir_seekdir(DIR *dir, long position) {
  if (dir != nullptr) ::seekdir(dir, position);
}

KX_RC OS_FILE_dir_entry_add(const char *dir, const char *name) {
  if (dir == nullptr || name == nullptr) return KX_FAIL;
  return OS_FILE_create(join(dir, name).c_str());
}

KX_RC OS_FILE_dir_entry_delete(const char *dir, const char *name) {
  if (dir == nullptr || name == nullptr) return KX_FAIL;
  return OS_FILE_delete(join(dir, name).c_str());
}

KX_RC OS_FILE_dir_rm_old_files(const char *dir, int days) {
  if (dir == nullptr) return KX_FAIL;
  Dir walk(dir);
  if (walk.get() == nullptr) return KX_FAIL;
  char today[16] = "";
  GM_TIME_fmt_get_time(GM_TIME_FMT_YYYYMMDD, today);
  KX_RC rc = KX_SUCCESS;
  while (struct dirent *entry = ::readdir(walk.get())) {
    if (is_dot_entry(entry->d_name)) continue;
    const std::string path = join(dir, entry->d_name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    char modified[16] = "";
    GM_TIME_fmt_to_ascii(GM_TIME_FMT_YYYYMMDD, st.st_mtime, modified);
    if (GM_TIME_fmt_compare_dates(today, modified) > days && OS_FILE_delete(path.c_str()) != KX_SUCCESS)
      rc = KX_FAIL;
  }
  return rc;
}

KX_RC OS_FILE_dir_delete(const char *path) {
  if (path == nullptr) return KX_FAIL;
  return remove_tree(path);
}

KX_RC OS_FILE_open_wild_card_list(const char *pattern, FILE **list) {
  if (list != nullptr) *list = nullptr;
  if (pattern == nullptr || list == nullptr) return KX_FAIL;
  // The pattern is expanded here, never handed to a shell: a name holding
  // shell syntax must not run as a command.
  glob_t matches;
  const int rc = ::glob(pattern, 0, nullptr, &matches);
  if (rc == GLOB_NOMATCH) {
    ::globfree(&matches);
    return KX_EOS;
  }
  if (rc != 0) {
    ::globfree(&matches);
    return KX_FAIL;
  }
  FILE *tmp = std::tmpfile();
  KX_RC result = tmp != nullptr ? KX_SUCCESS : KX_FAIL;
  for (size_t i = 0; tmp != nullptr && i < matches.gl_pathc; ++i) {
    if (std::fprintf(tmp, "%s\n", matches.gl_pathv[i]) < 0) result = KX_FAIL;
  }
  ::globfree(&matches);
  if (result != KX_SUCCESS || std::fflush(tmp) != 0) {
    if (tmp != nullptr) std::fclose(tmp);
    return KX_FAIL;
  }
  std::rewind(tmp);
  *list = tmp;
  return KX_SUCCESS;
}

/* ---- names ---- */

KX_RC OS_FILE_create_tmp_filename(char *out) {
  static int counter = 0;
  if (out == nullptr) return KX_FAIL;
  const char *dir = std::getenv("TEMP");
  if (dir == nullptr || dir[0] == '\0') dir = ".";
  char name[64];
  std::snprintf(name, sizeof name, "TMP%d%d", static_cast<int>(::getpid()), ++counter);
  return put_whole(out, kPathSize, join(dir, name)) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_path_trans(const char *in, char *out) {
  if (out == nullptr) return KX_FAIL;
  out[0] = '\0';
  if (in == nullptr) return KX_FAIL;
  std::string result;
  if (std::strncmp(in, "$HOME", 5) == 0 && (in[5] == '\0' || in[5] == '/')) {
    std::string home;
    if (!home_of_current_user(&home)) return KX_FAIL;
    result = home + (in + 5);
  } else if (in[0] == '~') {
    const char *slash = std::strchr(in, '/');
    const std::string user = slash != nullptr ? std::string(in + 1, slash) : std::string(in + 1);
    std::string home;
    if (user.empty()) {
      if (!home_of_current_user(&home)) return KX_FAIL;
    } else {
      struct passwd pw;
      std::vector<char> buf;
      if (!user_by_name(user.c_str(), &pw, &buf)) return KX_FAIL;
      home = pw.pw_dir;
    }
    result = home + (slash != nullptr ? slash : "");
  } else {
    result = in;
  }
  return put_whole(out, kShortPathSize, result) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_setlib(const char *lib, char *out) {
  if (OS_FILE_path_trans(lib, out) != KX_SUCCESS) return KX_FAIL;
  size_t len = std::strlen(out);
  while (len > 1 && out[len - 1] == '/') out[--len] = '\0';
  return KX_SUCCESS;
}

KX_RC OS_FILE_build_filename(const char *lib, const char *member, char *out) {
  if (out == nullptr) return KX_FAIL;
  out[0] = '\0';
  if (member == nullptr) return KX_FAIL;
  char dir[kShortPathSize];
  if (OS_FILE_setlib(lib, dir) != KX_SUCCESS) return KX_FAIL;
  const std::string path = dir[0] != '\0' ? join(dir, member) : std::string(member);
  return put_whole(out, kShortPathSize, path) ? KX_SUCCESS : KX_FAIL;
}

KX_RC OS_FILE_build_filetype(const char *order_no, int run_no, char *full, char *name,
                             OS_FILE_TYPE_typ kind) {
  if (full != nullptr) full[0] = '\0';
  if (name != nullptr) name[0] = '\0';
  const char *order = safe(order_no);
  const std::string run = base36(run_no, 4);
  const char *dir = nullptr;
  char file[kNameSize];
  switch (kind) {
    case OS_FILE_ECF:
    case OS_FILE_BKFILE:
      dir = kind == OS_FILE_ECF ? "./status" : "./backup";
      std::snprintf(file, sizeof file, "%s_%s.dsect", order, run.c_str());
      break;
    case OS_FILE_INSTREAM:
      dir = "./temp";
      std::snprintf(file, sizeof file, "INSTREAM_%s_%s", order, run.c_str());
      break;
    case OS_FILE_SSH_TMP:
      dir = "./temp";
      std::snprintf(file, sizeof file, "%s_%s_sshTmp.dat", order, run.c_str());
      break;
    case OS_FILE_PROCID:
      dir = "./procid";
      std::snprintf(file, sizeof file, "%s_%d.dat", order, run_no);
      break;
    default:
      return KX_FAIL;
  }
  if (name != nullptr) std::snprintf(name, kNameSize, "%s", file);
  if (full != nullptr) std::snprintf(full, kPathSize, "%s/%s", dir, file);
  return KX_SUCCESS;
}

/* ---- agent housekeeping ---- */

KX_RC OS_FILE_checkDiskFreeSpace(const char *path) {
  static const char kOp[] = "OS_FILE_checkDiskFreeSpace";
  if (path == nullptr) return KX_FAIL;
  long min_free = 0;
  long min_warn = 0;
  long retries = 0;
  const bool check_min = config_number("MIN_FREE_SPACE", &min_free) && min_free > 0;
  const bool check_warn = config_number("MIN_FREE_SPACE_WARN", &min_warn) && min_warn > 0;
  if (!config_number("SLEEP_COUNT", &retries) || retries < 0) retries = 0;
  for (long attempt = 0;; ++attempt) {
    struct statvfs vfs;
    if (::statvfs(path, &vfs) != 0) {
      ErrnoKeeper keep(errno);
      DIAG_TRACE(1, "%s: cannot examine the file system of '%s': %s", kOp, path, std::strerror(errno));
      return KX_FAIL;
    }
    const long free_mb = free_megabytes(vfs);
    DIAG_TRACE(4, "%s: %ld MB free on '%s'", kOp, free_mb, path);
    if (check_min && free_mb < min_free) {
      if (attempt < retries) {
        OS_TIME_sleep(1);
        continue;
      }
      DIAG_ERROR("%s: only %ld MB free on '%s', below the minimum of %ld MB", kOp, free_mb, path,
                 min_free);
      return KX_FAIL;
    }
    if (check_warn && free_mb < min_warn) {
      DIAG_TRACE(1, "%s: warning: only %ld MB free on '%s', below %ld MB", kOp, free_mb, path, min_warn);
    }
    return KX_SUCCESS;
  }
}

KX_RC OS_FILE_save_config_backup(const char *table) {
  if (table == nullptr) return KX_FAIL;
  if (::mkdir("./data/cfg_backup", 0755) != 0 && errno != EEXIST) return KX_FAIL;
  GM_PARAM_table_list *record = nullptr;
  if (GM_PARAM_table_find(&record, table) != KX_SUCCESS || record == nullptr) return KX_FAIL;
  char path[kPathSize];
  if (std::snprintf(path, sizeof path, "./data/cfg_backup/%s.bak", table) >= static_cast<int>(sizeof path))
    return KX_FAIL;
  return GM_PARAM_list_save(&record->table, path);
}

KX_RC OS_FILE_clean_upgrade_files(void) {
  static const char kOldExe[] = "./exe_old";
  if (!OS_FILE_is_dir(kOldExe)) return KX_SUCCESS;
  GM_PARAM_table_list *record = nullptr;
  if (GM_PARAM_table_find(&record, "upgrade_running_jobs") == KX_SUCCESS && record != nullptr) {
    GM_PARAM_list_reset(&record->table);
    char *order = nullptr;
    char *run = nullptr;
    while (GM_PARAM_list_next(&record->table, &order, &run) == KX_SUCCESS) {
      PATHNAME_D_typ full = "";
      char name[kNameSize] = "";
      if (OS_FILE_build_filetype(order, std::atoi(safe(run)), full, name, OS_FILE_ECF) == KX_SUCCESS &&
          OS_FILE_is_exist(full)) {
        DIAG_TRACE(4, "OS_FILE_clean_upgrade_files: job %s still running, '%s' kept", name, kOldExe);
        return KX_SUCCESS;
      }
    }
  }
  return OS_FILE_dir_delete(kOldExe);
}

}  // extern "C"
