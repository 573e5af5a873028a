/*
 * os_file.h - a thin file layer over the POSIX and C-library file calls with
 * uniform KX_RC results (KX_SUCCESS 1, KX_FAIL 2, KX_EOS 6) and diagnostics
 * at fixed levels: file status, owner, delete and rename, text streams with
 * the agent's locking and permission rules, descriptors, directories and
 * path helpers. It also holds the parameter-table semaphore, which on this
 * platform does nothing.
 *
 * On failure every operation leaves errno as the failing system call set it,
 * for the caller's own messages; nothing is retried here.
 */
#ifndef BE_HADOOP_COMMON_OS_FILE_H
#define BE_HADOOP_COMMON_OS_FILE_H

#include <dirent.h>
#include <stdio.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Work area of OS_FILE_fputs and OS_FILE_fprintf: at most 4999 characters of
 * formatted text are written. */
#define OS_FILE_LINE_AREA 5000

/* Longest path built by OS_FILE_path_trans, OS_FILE_setlib and
 * OS_FILE_build_filename (their out buffers hold 256 characters). */
#define OS_FILE_SHORT_PATH_MAX 255

/* ---- the operations the library itself uses ---- */

/* Size in bytes of path; *size_lines = 0; ctime_text and mtime_text
 * (DATETIME_D_typ) both the modification time as YYYYMMDDHHMMSS local time.
 * Out pointers may be NULL. KX_FAIL when the file cannot be examined. */
KX_RC OS_FILE_stat(const char *path, long *size_bytes, long *size_lines, char *ctime_text,
                   char *mtime_text);

/* Owner and group of path. KX_FAIL on error. */
KX_RC OS_FILE_get_file_owner(const char *path, unsigned int *uid, unsigned int *gid);

/* Removes the file (unlink). KX_FAIL when it cannot be removed. */
KX_RC OS_FILE_delete(const char *path);

/* rename(); an existing new_path is replaced. On failure an error line and
 * KX_FAIL. */
KX_RC OS_FILE_rename(const char *old_path, const char *new_path);

/* Opens a stream. OS_FILE_WRITE ("w"), OS_FILE_APPEND ("a") and
 * OS_FILE_WRITE_BINARY ("wb") write; every other mode reads ("r"). A
 * writing stream gets mode | 0644, an exclusive lock from the current
 * position to the end of the file (waiting for other holders; released when
 * the stream is closed) and no buffering. On failure *stream = NULL and
 * KX_FAIL. The caller closes the stream with OS_FILE_fclose. */
KX_RC OS_FILE_fopen(const char *path, FILE **stream, OS_FILE_MODE_typ mode);

/* Closes the stream. KX_FAIL when the close fails or stream is NULL. */
KX_RC OS_FILE_fclose(FILE *stream);

/* Reads one line (at most size - 1 characters, newline kept). KX_SUCCESS when
 * something was read; KX_FAIL at end of file, on error or for bad arguments,
 * with line empty. */
KX_RC OS_FILE_fgets(char *line, int size, FILE *stream);

/* As OS_FILE_fgets, and *length (may be NULL) = the bytes taken from the
 * stream, zero bytes included: a line holding a zero byte is longer than
 * strlen(line) says. Readers of files that an operator supplies count with
 * it, so that a file that never ends (a link to /dev/zero, whose lines are
 * all empty to strlen) still reaches their byte limit. */
KX_RC OS_FILE_fgets_len(char *line, int size, FILE *stream, long *length);

/* Formats the text (cut to OS_FILE_LINE_AREA - 1 characters) and writes it
 * followed by a newline. On a write error two error lines and KX_FAIL. */
KX_RC OS_FILE_fputs(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Home directory of the user who owns the current directory, into dir
 * (PATHNAME_D_typ, cut to 4096 characters). KX_FAIL when "." cannot be
 * examined or the user has no password entry. */
KX_RC OS_FILE_get_agent_home_dir(char *dir);

/* The parameter-table semaphore. They do nothing; KX_SUCCESS. */
KX_RC OS_IPC_sem_create(OSSemObject *handle, const char *name, int max_wait);
KX_RC OS_IPC_sem_lock(OSSemObject handle, int wait);
KX_RC OS_IPC_sem_unlock(OSSemObject handle);
KX_RC OS_IPC_sem_delete(OSSemObject handle);

/* ---- status and owners ---- */

/* As OS_FILE_stat with a 64-bit size. */
KX_RC OS_FILE_stat64(const char *path, long long *size_bytes, long *size_lines, char *ctime_text,
                     char *mtime_text);

/* Existence and size only (size may be NULL). */
KX_RC OS_FILE_stat_short(const char *path, long *size_bytes);

/* chown(path, uid, gid). */
KX_RC OS_FILE_set_file_owner(const char *path, unsigned int uid, unsigned int gid);

/* Gives path the owner and group of the current directory. */
KX_RC OS_FILE_set_agent_owner(const char *path);

/* Makes the user named owner the file's owner (the group stays). KX_FAIL
 * for an unknown user or a failed chown. */
KX_RC OS_FILE_chown(const char *path, const char *owner);

/* Sets the permission bits from three OS_FILE_PERMISSION_typ values (1 read,
 * 2 write, 4 execute) for owner, group and others. */
KX_RC OS_FILE_set_permission(const char *path, OS_FILE_PERMISSION_typ owner,
                             OS_FILE_PERMISSION_typ group, OS_FILE_PERMISSION_typ general);

/* ---- descriptors ---- */

/* Opens a descriptor with the full mode set:
 *  OS_FILE_CREATE, OS_FILE_CREATE_777: write, create or truncate, lock the
 *    whole file (waiting), mode 0644 or 0777, owner = the user named by
 *    LOGNAME (else the current user);
 *  OS_FILE_WRITE, OS_FILE_WRITE_BINARY, OS_FILE_TRUNC: write, create or
 *    truncate, lock (waiting); OS_FILE_APPEND(_BINARY): append, create,
 *    lock (waiting); OS_FILE_UPDATE: read and write an existing file, lock;
 *  OS_FILE_LOCK: read and write, create, lock (waiting); OS_FILE_LOCK_NOWAIT
 *    the same with a lock that fails at once when held elsewhere;
 *  OS_FILE_NOLOCK: read and write, create, no lock; OS_FILE_WRITE_NOLOCK:
 *    write, create or truncate; OS_FILE_WRITE_NOTRUNC_NOLOCK: write, create;
 *  the read modes: read only, no lock.
 * Files are created with 0644. On failure *fd = -1 and KX_FAIL. */
KX_RC OS_FILE_open(int *fd, const char *path, OS_FILE_MODE_typ mode);

/* Moves the position by offset from origin. */
KX_RC OS_FILE_lseek(int fd, long offset, OS_FILE_SEEK_typ origin);

/* Reads at most size bytes into buffer; *bytes_read = the count (0 at end
 * of file, then KX_EOS). KX_FAIL on error. */
KX_RC OS_FILE_read(int fd, void *buffer, long size, long *bytes_read);

/* Writes all size bytes (resuming after short writes). */
KX_RC OS_FILE_write(int fd, const void *buffer, long size);

/* Closes the descriptor. */
KX_RC OS_FILE_close(int fd);

/* Releases the lock of the whole file and closes the descriptor. */
KX_RC OS_FILE_release(int fd);

/* Locks (F_LOCK waiting, F_TLOCK failing at once), unlocks (F_ULOCK) or
 * tests (F_TEST: KX_FAIL when another process holds it) the lock of the
 * whole file. The position is kept. */
KX_RC OS_FILE_lock(int fd, int command);

/* Reads one line (at most size - 1 characters, newline kept) and leaves the
 * position just after it. KX_FAIL at end of file or on error. */
KX_RC OS_FILE_gets(int fd, char *line, int size);

/* ---- streams ---- */

/* Reads at most size bytes; *bytes_read = the count. KX_EOS at end of file
 * with nothing read, KX_FAIL on error. */
KX_RC OS_FILE_fread(FILE *stream, void *buffer, long size, long *bytes_read);

/* Writes all size bytes. */
KX_RC OS_FILE_fwrite(FILE *stream, const void *buffer, long size);

/* As OS_FILE_fputs without the added newline. */
KX_RC OS_FILE_fprintf(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* 1 at end of file (also for NULL), else 0. */
flag OS_FILE_feof(FILE *stream);

/* ---- files ---- */

/* Copies the content and the permission bits of src to dst (replaced).
 * KX_FAIL (errno EINVAL) when src is not a regular file. */
KX_RC OS_FILE_copy(const char *src, const char *dst);

/* Tests existence (OS_FILE_ACCESS_EXIST) or accessibility. KX_FAIL when the
 * file does not exist or the access is refused. */
KX_RC OS_FILE_check_existence(const char *path, OS_FILE_ACCESS_typ test);

/* 1 when path exists / is a directory, else 0. */
flag OS_FILE_is_exist(const char *path);
flag OS_FILE_is_dir(const char *path);

/* Create path as an empty file (mode 0644), replacing any content. */
KX_RC OS_FILE_create(const char *path);
KX_RC OS_FILE_create_empty(const char *path);

/* Deletes every file of a NULL-terminated array; KX_FAIL when any failed
 * (the others are still deleted). */
KX_RC OS_FILE_delete_files(const char *const *paths);

/* Deletes the entries of dir whose names match the wildcard pattern
 * (fnmatch). KX_FAIL when dir cannot be read or a deletion failed. */
KX_RC OS_FILE_delete_pattern(const char *dir, const char *pattern);

/* Translates line ends of the file in place. KX_FAIL (errno EINVAL) when
 * path is not a regular file. */
KX_RC OS_FILE_translate_pc_to_unix(const char *path);
KX_RC OS_FILE_translate_unix_to_pc(const char *path);

/* Longest line of the file (without its newline) into *width; KX_FAIL when
 * the file cannot be read, is not a regular file, or a line exceeds
 * max_width. */
KX_RC OS_FILE_width(const char *path, int max_width, int *width);

/* ---- directories ---- */

/* Opens a directory walk; the caller closes it with OS_FILE_dir_close. */
KX_RC OS_FILE_dir_open(const char *path, DIR **dir);

/* Next entry name (cut to size - 1 characters), skipping "." and "..".
 * KX_EOS at the end. */
KX_RC OS_FILE_dir_next(DIR *dir, char *name, int size);

KX_RC OS_FILE_dir_close(DIR *dir);
long OS_FILE_dir_telldir(DIR *dir);
void OS_FILE_dir_seekdir(DIR *dir, long position);

/* Creates (empty) or removes the entry name of directory dir. */
KX_RC OS_FILE_dir_entry_add(const char *dir, const char *name);
KX_RC OS_FILE_dir_entry_delete(const char *dir, const char *name);

/* Removes the files of dir whose modification date lies more than days
 * days before today. */
KX_RC OS_FILE_dir_rm_old_files(const char *dir, int days);

/* Removes the directory tree; stops at the first failure. */
KX_RC OS_FILE_dir_delete(const char *path);

/* Opens a list of the paths matching a shell wildcard: *list is a temporary
 * stream holding one path per line, read with OS_FILE_fgets and closed with
 * OS_FILE_fclose (which removes it). KX_EOS when nothing matches (*list =
 * NULL), KX_FAIL on error. */
KX_RC OS_FILE_open_wild_card_list(const char *pattern, FILE **list);

/* ---- names ---- */

/* A temporary file name "TMP<pid><counter>" in the directory named by TEMP
 * (else "."); out holds PATHNAME_D_typ. The file is not created. */
KX_RC OS_FILE_create_tmp_filename(char *out);

/* Expands a leading "$HOME", "~" or "~user" of in to that home directory.
 * out holds OS_FILE_SHORT_PATH_MAX + 1; KX_FAIL (out empty) when the result
 * is longer or the user is unknown. */
KX_RC OS_FILE_path_trans(const char *in, char *out);

/* The library (directory) name expanded like OS_FILE_path_trans, without a
 * trailing '/'. */
KX_RC OS_FILE_setlib(const char *lib, char *out);

/* lib (expanded) "/" member. */
KX_RC OS_FILE_build_filename(const char *lib, const char *member, char *out);

/* Names a per-job file of the agent: full = directory "/" name.
 * OS_FILE_ECF "./status" and OS_FILE_BKFILE "./backup": "%s_%s.dsect";
 * OS_FILE_INSTREAM "./temp": "INSTREAM_%s_%s"; OS_FILE_SSH_TMP "./temp":
 * "%s_%s_sshTmp.dat" (order number, run number in base 36 with at least 4
 * digits); OS_FILE_PROCID "./procid": "%s_%d.dat" (order number, run
 * number). Other kinds: both names empty and KX_FAIL. full holds
 * PATHNAME_D_typ, name 256 characters. */
KX_RC OS_FILE_build_filetype(const char *order_no, int run_no, char *full, char *name,
                             OS_FILE_TYPE_typ kind);

/* ---- agent housekeeping ---- */

/* Checks the free space of the file system of path against CONFIG
 * MIN_FREE_SPACE (KX_FAIL below it, after CONFIG SLEEP_COUNT further tries a
 * second apart) and MIN_FREE_SPACE_WARN (a warning line), in megabytes. An
 * absent setting is not checked. */
KX_RC OS_FILE_checkDiskFreeSpace(const char *path);

/* Saves the parameter table to "./data/cfg_backup/<table>.bak". */
KX_RC OS_FILE_save_config_backup(const char *table);

/* After an upgrade removes "./exe_old" once no job of the table
 * upgrade_running_jobs (key: order number, value: run number) still has a
 * status file. KX_SUCCESS also when there is nothing to remove yet. */
KX_RC OS_FILE_clean_upgrade_files(void);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_COMMON_OS_FILE_H */
