/*
 * be_lock.h - the critical section shared by every agent process on the
 * host that uses the same container directory: a POSIX record lock (lockf)
 * on the file "lock.dat" in that directory. It serialises the start of the
 * container.
 *
 * The lock file is created on first use and then stays in the directory:
 * processes queue on the one file, so removing it would let a newcomer lock
 * a fresh file while another process still holds the old one.
 *
 * The state is process-wide and unguarded; the section excludes other
 * processes, not threads of this one.
 */
#ifndef BE_HADOOP_BACKEND_BE_LOCK_H
#define BE_HADOOP_BACKEND_BE_LOCK_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of lockFileName; a path of at most 1023 characters fits. */
#define BE_LOCK_FILE_NAME_SIZE 1024
/* Permission bits of a newly created lock file (before the creation mask). */
#define BE_LOCK_FILE_MODE 0220

/* Full path of the lock file, rebuilt by every InitializeKxCriticalSection;
 * empty at load time. */
extern char lockFileName[BE_LOCK_FILE_NAME_SIZE];
/* Descriptor of the open lock file while this process holds the section;
 * -1 otherwise. */
extern int lockFileFd;

/* Derives lockFileName as "<KX_DIR>/lock.dat" from HADOOP / KX_DIR.
 * PEX_FAIL, with lockFileName unchanged, when the key is missing or empty or
 * the path would be longer than 1023 characters. Touches no file. */
PEXRC InitializeKxCriticalSection(void);

/* Enters the section: opens (creating it if missing) the lock file and
 * waits, without a time limit, until this process holds its lock. An open
 * refused with EACCES is tried once more after a second.
 * PEX_SUCCESS with lockFileFd open; PEX_FAIL, with lockFileFd -1, when the
 * path cannot be derived, the file cannot be opened or the lock fails.
 * REQUIRES: the section is not already held by this process. */
PEXRC LockCriticalSection(void);

/* Leaves the section: releases the lock and closes lockFileFd, which is -1
 * afterwards in every case. The lock file stays in place.
 * PEX_SUCCESS when the lock was released (also when the close then failed);
 * PEX_FAIL when the release failed, for instance when no lock was held. */
PEXRC UnLockCriticalSection(void);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_LOCK_H */
