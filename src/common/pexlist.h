/*
 * pexlist.h - a doubly linked list of private byte copies with a cursor.
 *
 * The handle (PEXLIST_handle_typ, pexapi.h) belongs to the caller, usually a
 * local variable; the entries and their data blocks belong to the list and
 * are freed only by PEXLIST_clear or a delete. Every data block holds the
 * caller's bytes followed by one zero byte, so text entries read back as C
 * strings. No locking: one thread uses a list at a time.
 *
 * Results are KX_RC: KX_SUCCESS (1), KX_FAIL (2), KX_EOS (6).
 */
#ifndef BE_HADOOP_COMMON_PEXLIST_H
#define BE_HADOOP_COMMON_PEXLIST_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the handle empty: first := curr := NULL, count := 0. Entries it still
 * held are not freed (they are lost). KX_FAIL for a null list. */
KX_RC PEXLIST_init(PEXLIST_handle_typ *list);

/* Puts the cursor before the first entry. KX_FAIL for a null list. */
KX_RC PEXLIST_reset(PEXLIST_handle_typ *list);

/* Moves the cursor to the next entry (the first one after a reset) and gives
 * the list's own data block in *ptr and its size in *size (either pointer may
 * be NULL). The block stays owned by the list and lives until the entry is
 * deleted or the list cleared. At the end: KX_EOS, and the cursor stays on
 * the last entry, so every further call gives KX_EOS until a reset. KX_FAIL
 * for a null list or an entry without data (the cursor has moved). */
KX_RC PEXLIST_next_ptr(PEXLIST_handle_typ *list, void **ptr, unsigned *size);

/* As PEXLIST_next_ptr, then copies the entry's bytes (without the zero byte)
 * into the caller's buffer ptr of in_size bytes and stores the entry's size in
 * *out_size (when out_size is not NULL). When in_size is smaller than the
 * entry, nothing is copied and the result is KX_FAIL; the cursor has moved to
 * that entry all the same and *out_size tells the size needed. */
KX_RC PEXLIST_next(PEXLIST_handle_typ *list, void *ptr, unsigned in_size,
                   unsigned *out_size);

/* Appends a private copy of size bytes at ptr after the last entry. ptr may
 * be NULL only when size is 0. The cursor does not move. KX_FAIL for a null
 * list, a null ptr with a non-zero size, a size above INT32_MAX or a failed
 * allocation (the list is then unchanged). */
KX_RC PEXLIST_append(PEXLIST_handle_typ *list, const void *ptr, unsigned size);

/* Inserts a copy after the cursor's entry, or at the head when the cursor is
 * before the first entry. The cursor does not move. Failures as for
 * PEXLIST_append. */
KX_RC PEXLIST_insert(PEXLIST_handle_typ *list, const void *ptr, unsigned size);

/* Inserts a copy after the entry `after`, or at the head when `after` is
 * NULL; into an empty list as its only entry. REQUIRES: `after` is NULL or an
 * entry of this list. The cursor does not move. Failures as for
 * PEXLIST_append. */
KX_RC PEX_list_insert_ptr(PEXLIST_handle_typ *list, PEXLIST_entry_typ *after,
                          const void *ptr, unsigned size);

/* Deletes the cursor's entry; the cursor goes back to the entry before it, so
 * the next step gives the entry that followed the deleted one. KX_EOS when
 * the cursor is before the first entry, KX_FAIL for a null list. */
KX_RC PEXLIST_delete(PEXLIST_handle_typ *list);

/* Unlinks and frees `entry`, found by identity from the head. The cursor is
 * set to the entry before it (NULL when it was the head), whichever entry the
 * cursor stood on. KX_EOS when `entry` is not in the list (nothing changes),
 * KX_FAIL for a null list. */
KX_RC PEX_list_delete_ptr(PEXLIST_handle_typ *list, PEXLIST_entry_typ *entry);

/* Frees every entry; the list becomes empty (count 0, cursor reset). KX_EOS
 * when it was empty already, KX_FAIL for a null list. */
KX_RC PEXLIST_clear(PEXLIST_handle_typ *list);

/* Counts the entries by walking them; the caller's cursor does not move and
 * the count field is not consulted. 0 for a null list. */
int PEXLIST_count(const PEXLIST_handle_typ *list);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_COMMON_PEXLIST_H */
