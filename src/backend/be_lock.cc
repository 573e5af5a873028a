#include "be_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "gm_param.h"
#include "os_diag.h"
#include "os_time.h"

char lockFileName[BE_LOCK_FILE_NAME_SIZE] = "";
int lockFileFd = -1;

namespace {

const char kLockFileSuffix[] = "/lock.dat";
const size_t kLockFileSuffixLen = sizeof kLockFileSuffix - 1;  // 9

int open_lock_file() {
  // Close-on-exec: the container is started from inside the section, and a
  // long-lived child has no business holding the agent's descriptor.
  return open(lockFileName, O_WRONLY | O_CREAT | O_CLOEXEC, BE_LOCK_FILE_MODE);
}

// lockf over the whole file; a signal arriving while we queue is not a
// reason to give up the wait.
int lock_whole_file(int fd, int command) {
  int rc;
  do {
    rc = lockf(fd, command, 0);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

extern "C" PEXRC InitializeKxCriticalSection(void) {
  DIAG_TRACE(4, "InitializeCriticalSection");

  GM_PARAM_VALUE_typ dir;
  // An empty value would put the lock file at the root of the file system.
  if (GM_PARAM_get("HADOOP", "KX_DIR", dir) != KX_SUCCESS || dir[0] == '\0') {
    DIAG_TRACE(4, "InitializeKxCriticalSection: cannot get %s", "KX_DIR");
    return PEX_FAIL;
  }
  const size_t needed = strlen(dir) + kLockFileSuffixLen;
  if (needed > BE_LOCK_FILE_NAME_SIZE - 1) {
    DIAG_ERROR(
        "InitializeCriticalSection - Size needed for lockFileName '%d' exceeds the size of "
        "buffer '%d'",
        static_cast<int>(needed), BE_LOCK_FILE_NAME_SIZE);
    return PEX_FAIL;
  }
  // The length was checked above, so plain copies cannot overrun the name.
  const size_t dir_len = strlen(dir);
  memcpy(lockFileName, dir, dir_len);
  memcpy(lockFileName + dir_len, kLockFileSuffix, kLockFileSuffixLen);
  lockFileName[dir_len + kLockFileSuffixLen] = '\0';
  return PEX_SUCCESS;
}

extern "C" PEXRC LockCriticalSection(void) {
  DIAG_TRACE(4, "LockCriticalSection");
  if (InitializeKxCriticalSection() != PEX_SUCCESS) return PEX_FAIL;

  lockFileFd = open_lock_file();
  if (lockFileFd < 0) {
    if (errno == EACCES) {
      OS_TIME_sleep(1);
      lockFileFd = open_lock_file();
      if (lockFileFd < 0) {
        DIAG_ERROR("LockCriticalSection - Failed to open access the lockfile (%s), errno(%d)",
                   lockFileName, errno);
        return PEX_FAIL;
      }
    } else {
      DIAG_ERROR("LockCriticalSection - Failed to open the lockfile (%s), errno(%d)",
                 lockFileName, errno);
      return PEX_FAIL;
    }
  }

  if (lock_whole_file(lockFileFd, F_LOCK) == 0) {
    DIAG_TRACE(4, "LockCriticalSection - Locked");
    return PEX_SUCCESS;
  }
  // The file stays: another process may be queued on it right now.
  const int lock_errno = errno;
  const int fd = lockFileFd;
  close(lockFileFd);
  lockFileFd = -1;
  DIAG_ERROR("LockCriticalSection - Failed to lock the lockfile (%s), errno(%d), fd (%d)",
             lockFileName, lock_errno, fd);
  return PEX_FAIL;
}

extern "C" PEXRC UnLockCriticalSection(void) {
  DIAG_TRACE(4, "UnLockCriticalSection");

  if (lock_whole_file(lockFileFd, F_ULOCK) == 0) {
    if (close(lockFileFd) != 0) {
      const int close_errno = errno;
      lockFileFd = -1;
      DIAG_ERROR("UnLockCriticalSection - Failed to close the lockfile (%s), errno(%d), fd (%d)",
                 lockFileName, close_errno, lockFileFd);
    }
    lockFileFd = -1;
    DIAG_TRACE(4, "UnLockCriticalSection - UnLocked");
    return PEX_SUCCESS;
  }

  DIAG_ERROR("UnLockCriticalSection - Failed to unlock the lockfile (%s), errno(%d), fd (%d)",
             lockFileName, errno, lockFileFd);
  const int fd = lockFileFd;
  lockFileFd = -1;
  if (close(fd) != 0) {
    DIAG_ERROR("UnLockCriticalSection - Failed to close the lockfile (%s), errno(%d), fd (%d)",
               lockFileName, errno, fd);
  } else {
    DIAG_ERROR(
        "UnLockCriticalSection - Lock file (%s) was closed successfully, file was unlocked! "
        "(returning PEX_FAIL)",
        lockFileName);
  }
  return PEX_FAIL;
}
