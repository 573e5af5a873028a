// pexlist.cc - the doubly linked list of private byte copies.
//
// Entries and data blocks come from malloc so that a C caller's view of the
// memory matches ours; every allocation and release is traced at level 6,
// which is what one reads when hunting a leak in a table or element list.

#include "pexlist.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "os_diag.h"

namespace {

// The handle's layout is shared with the agent and has no room for a tail,
// so the tail of the list appended to last is remembered here: rows are
// appended one after another to the same list (an answer's leaves, a table's
// lines), and walking from the head each time made that quadratic.
//
// The hint is trusted only while its list still has the head and the count
// it had then and its tail has no successor; any deletion or clearing, of
// whatever list, forgets it, so it can never point at a freed entry. One
// hint for the process, under a lock: lists may live in different threads.
struct TailHint {
  const PEXLIST_handle_typ *list;
  PEXLIST_entry_typ *first;
  PEXLIST_entry_typ *tail;
  int32_t count;
};
TailHint g_tail = {NULL, NULL, NULL, 0};
std::mutex g_tail_mutex;

void forget_tail() {
  std::lock_guard<std::mutex> lock(g_tail_mutex);
  g_tail = TailHint{NULL, NULL, NULL, 0};
}

// The last entry of list, from the hint when it still holds, else walked.
PEXLIST_entry_typ *last_entry(const PEXLIST_handle_typ *list) {
  {
    std::lock_guard<std::mutex> lock(g_tail_mutex);
    if (g_tail.list == list && g_tail.tail != NULL && list->first == g_tail.first &&
        list->count == g_tail.count && g_tail.tail->next == NULL)
      return g_tail.tail;
  }
  PEXLIST_entry_typ *last = list->first;
  while (last != NULL && last->next != NULL) last = last->next;
  return last;
}

void remember_tail(const PEXLIST_handle_typ *list, PEXLIST_entry_typ *tail) {
  std::lock_guard<std::mutex> lock(g_tail_mutex);
  g_tail = TailHint{list, list->first, tail, list->count};
}

}  // namespace

extern "C" {

KX_RC PEXLIST_init(PEXLIST_handle_typ *list) {
  if (list == NULL) return KX_FAIL;
  forget_tail();
  list->first = NULL;
  list->curr = NULL;
  list->count = 0;
  return KX_SUCCESS;
}

KX_RC PEXLIST_reset(PEXLIST_handle_typ *list) {
  if (list == NULL) return KX_FAIL;
  list->curr = NULL;
  return KX_SUCCESS;
}

KX_RC PEXLIST_next_ptr(PEXLIST_handle_typ *list, void **ptr, unsigned *size) {
  if (list == NULL) return KX_FAIL;
  PEXLIST_entry_typ *next = list->curr == NULL ? list->first : list->curr->next;
  // At the end the cursor keeps its last entry: a caller looping until
  // KX_EOS can call again and get KX_EOS again rather than a restart.
  if (next == NULL) return KX_EOS;
  list->curr = next;
  if (next->ptr == NULL) return KX_FAIL;
  if (ptr != NULL) *ptr = next->ptr;
  if (size != NULL) *size = (unsigned)next->size;
  return KX_SUCCESS;
}

KX_RC PEXLIST_next(PEXLIST_handle_typ *list, void *ptr, unsigned in_size,
                   unsigned *out_size) {
  void *data = NULL;
  unsigned size = 0;
  KX_RC rc = PEXLIST_next_ptr(list, &data, &size);
  if (rc != KX_SUCCESS) return rc;
  if (out_size != NULL) *out_size = size;
  if (in_size < size) return KX_FAIL;
  if (size > 0) {
    if (ptr == NULL) return KX_FAIL;
    memcpy(ptr, data, size);
  }
  return KX_SUCCESS;
}

KX_RC PEX_list_insert_ptr(PEXLIST_handle_typ *list, PEXLIST_entry_typ *after,
                          const void *ptr, unsigned size) {
  if (list == NULL) return KX_FAIL;
  // The entry records its size as int32 and the block needs one byte more;
  // a larger request would wrap both.
  if (size > (unsigned)INT32_MAX) return KX_FAIL;
  if (ptr == NULL && size > 0) return KX_FAIL;

  PEXLIST_entry_typ *entry = (PEXLIST_entry_typ *)malloc(sizeof(PEXLIST_entry_typ));
  DIAG_TRACE(6, "malloc %d bytes #1 in PEX_list_insert_ptr : %x",
             (int)sizeof(PEXLIST_entry_typ), DIAG_ADDR(entry));
  if (entry == NULL) return KX_FAIL;

  void *data = malloc((size_t)size + 1);
  DIAG_TRACE(6, "malloc %d bytes #2 in PEX_list_insert_ptr : %x", (int)(size + 1u),
             DIAG_ADDR(data));
  if (data == NULL) {
    DIAG_TRACE(6, "free #1 in PEX_list_insert_ptr : %x", DIAG_ADDR(entry));
    free(entry);
    return KX_FAIL;
  }

  memset(data, 0, (size_t)size + 1);
  if (size > 0) memcpy(data, ptr, size);
  entry->ptr = data;
  entry->size = (int32_t)size;
  list->count++;

  if (list->first == NULL) {
    entry->prev = NULL;
    entry->next = NULL;
    list->first = entry;
  } else if (after != NULL) {
    entry->prev = after;
    entry->next = after->next;
    if (after->next != NULL) after->next->prev = entry;
    after->next = entry;
  } else {
    entry->prev = NULL;
    entry->next = list->first;
    list->first->prev = entry;
    list->first = entry;
  }
  return KX_SUCCESS;
}

KX_RC PEXLIST_append(PEXLIST_handle_typ *list, const void *ptr, unsigned size) {
  if (list == NULL) return KX_FAIL;
  PEXLIST_entry_typ *last = last_entry(list);
  KX_RC rc = PEX_list_insert_ptr(list, last, ptr, size);
  if (rc == KX_SUCCESS) remember_tail(list, last != NULL ? last->next : list->first);
  return rc;
}

KX_RC PEXLIST_insert(PEXLIST_handle_typ *list, const void *ptr, unsigned size) {
  if (list == NULL) return KX_FAIL;
  return PEX_list_insert_ptr(list, list->curr, ptr, size);
}

KX_RC PEX_list_delete_ptr(PEXLIST_handle_typ *list, PEXLIST_entry_typ *entry) {
  if (list == NULL) return KX_FAIL;
  // Searching by identity keeps a stale or foreign pointer from being
  // unlinked (and freed) out of some other list.
  PEXLIST_entry_typ *e = list->first;
  while (e != NULL && e != entry) e = e->next;
  if (e == NULL) return KX_EOS;
  forget_tail();

  if (e->prev != NULL)
    e->prev->next = e->next;
  else
    list->first = e->next;
  if (e->next != NULL) e->next->prev = e->prev;
  // Stepping back keeps the cursor on a live entry; the next step of an
  // iteration then gives the entry that followed the deleted one.
  list->curr = e->prev;
  if (list->count > 0) list->count--;

  DIAG_TRACE(6, "free #1 in PEX_list_delete_ptr : %x", DIAG_ADDR(e->ptr));
  free(e->ptr);
  DIAG_TRACE(6, "free #2 in PEX_list_delete_ptr : %x", DIAG_ADDR(e));
  free(e);
  return KX_SUCCESS;
}

KX_RC PEXLIST_delete(PEXLIST_handle_typ *list) {
  if (list == NULL) return KX_FAIL;
  if (list->curr == NULL) return KX_EOS;
  return PEX_list_delete_ptr(list, list->curr);
}

KX_RC PEXLIST_clear(PEXLIST_handle_typ *list) {
  if (list == NULL) return KX_FAIL;
  if (list->first == NULL) return KX_EOS;
  forget_tail();
  // Detach first, so the handle is already empty and consistent while the
  // entries are released.
  PEXLIST_entry_typ *e = list->first;
  list->count = 0;
  list->first = NULL;
  list->curr = NULL;
  while (e != NULL) {
    PEXLIST_entry_typ *next = e->next;
    DIAG_TRACE(6, "free #1 in PEXLIST_clear : %x", DIAG_ADDR(e->ptr));
    free(e->ptr);
    DIAG_TRACE(6, "free #2 in PEXLIST_clear : %x", DIAG_ADDR(e));
    free(e);
    e = next;
  }
  return KX_SUCCESS;
}

int PEXLIST_count(const PEXLIST_handle_typ *list) {
  if (list == NULL) return 0;
  // Walk a copy of the handle: the caller's cursor stays where it is.
  PEXLIST_handle_typ walk = *list;
  PEXLIST_reset(&walk);
  int n = 0;
  while (PEXLIST_next_ptr(&walk, NULL, NULL) == KX_SUCCESS) n++;
  return n;
}

}  // extern "C"
