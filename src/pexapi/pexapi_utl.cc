// pexapi_utl.cc - attribute lists and error records.
//
// Everything lives in the caller's records; this module keeps no state. Only
// plain C allocation is used, so nothing here can throw across the C ABI.

#include "pexapi_utl.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string_view>

#include "gm_param.h"
#include "os_diag.h"
#include "pexlist.h"

namespace {

constexpr size_t kWorkAreaSize = 5000;                       // formatting area
constexpr size_t kErrorTextMax = PEX_ERROR_TEXT_SIZE - 1;    // 998
constexpr size_t kValueMax = 65534;                          // ValueLen is 16 bits
constexpr size_t kCountTextMax = 15;                         // text form: count
constexpr size_t kPairMax = 4159;                            // text form: one pair
constexpr size_t kPairNameMax = 63;
constexpr size_t kPairValueMax = 4095;

constexpr const char kInvalidList[] = "Attribute list is invalid.";
constexpr const char kNoArraySpace[] = "Failed to allocate space for attributes.";
constexpr const char kPrivateData[] = "Private Data";
constexpr const char kInstreamScript[] = "INSTREAM_SCRIPT";
constexpr std::string_view kAttrDelim = "ATTR_DELIM";
constexpr std::string_view kNameValueDelim = "^#^";
constexpr const char kVersion[] =
    "PEX dll 8.0.00 - folders 2451, 2452 - Wed Sep 12 14:50:52 2012";

// A list whose Count promises attributes it has no array for is as unusable
// as no list at all: indexing it would fault.
bool list_invalid(const PEXAttrList* l) {
  return l == nullptr || (l->Count > 0 && l->Attributes == nullptr);
}

int32_t count_of(const PEXAttrList* l) { return l->Count > 0 ? l->Count : 0; }

bool is_autoedit(const char* name) { return name[0] == '%' && name[1] == '%'; }

// Secret names never reach the log with their values.
bool is_secret(const char* name) {
  return GM_PARAM_is_printable(name, GM_PARAM_get_keysToRemove_list()) !=
         KX_SUCCESS;
}

const char* loggable_value(const char* name, const char* value) {
  return is_secret(name) ? kPrivateData : value;
}

const char* or_empty(const char* s) { return s != nullptr ? s : ""; }

// ---- lookups ----

enum class Match { kEqualAutoedit, kEqualExact, kContainsAutoedit, kPrefix };
enum class Order { kFirstToLast, kLastToFirst, kAfterCursor, kBeforeCursor };
enum class Cursor { kKeep, kResetThenFound, kFound };

bool matches(Match how, const char* stored, const char* wanted) {
  const char* candidate = stored;
  if ((how == Match::kEqualAutoedit || how == Match::kContainsAutoedit) && !is_autoedit(wanted) &&
      is_autoedit(stored)) {
    candidate = stored + 2;
  }
  switch (how) {
    case Match::kEqualAutoedit:
    case Match::kEqualExact:
      return strcmp(candidate, wanted) == 0;
    case Match::kContainsAutoedit:
      return strstr(candidate, wanted) != nullptr;
    case Match::kPrefix:
      return strncmp(stored, wanted, strlen(wanted)) == 0;
  }
  return false;
}

// Finds the index of the matching attribute, moving the cursor as asked.
// PEX_SUCCESS with *found set, PEX_EOS, or PEX_FAIL for bad arguments.
PEXRC lookup(PEXAttrList* l, const char* wanted, Match how, Order order, Cursor cursor,
             int32_t* found) {
  if (list_invalid(l)) {
    DIAG_TRACE(4, "%s", kInvalidList);
    return PEX_FAIL;
  }
  if (wanted == nullptr) return PEX_FAIL;
  if (cursor == Cursor::kResetThenFound) l->Curr = 0;

  // 64-bit arithmetic: the cursor may stand anywhere after an iteration.
  const int64_t last = static_cast<int64_t>(count_of(l)) - 1;
  const int64_t curr = l->Curr;
  int64_t from = 0;
  int64_t step = 1;
  switch (order) {
    case Order::kFirstToLast:
      from = 0;
      break;
    case Order::kLastToFirst:
      from = last;
      step = -1;
      break;
    case Order::kAfterCursor:
      from = std::max<int64_t>(curr + 1, 0);
      break;
    case Order::kBeforeCursor:
      // After an iteration ran past the end, Curr - 1 can lie beyond the array.
      from = std::min<int64_t>(curr - 1, last);
      step = -1;
      break;
  }
  for (int64_t i = from; i >= 0 && i <= last; i += step) {
    const char* stored = l->Attributes[i].Name;
    if (stored == nullptr || !matches(how, stored, wanted)) continue;
    if (cursor != Cursor::kKeep) l->Curr = static_cast<int32_t>(i);
    *found = static_cast<int32_t>(i);
    return PEX_SUCCESS;
  }
  return PEX_EOS;
}

PEXRC get_value(PEXAttrList* l, const char* wanted, char** value, Match how, Order order,
                Cursor cursor) {
  int32_t i = 0;
  PEXRC rc = lookup(l, wanted, how, order, cursor, &i);
  if (rc == PEX_SUCCESS && value != nullptr) *value = l->Attributes[i].Value;
  return rc;
}

PEXRC get_name_value(PEXAttrList* l, const char* wanted, char** name, char** value, Match how,
                     Order order, Cursor cursor) {
  int32_t i = 0;
  PEXRC rc = lookup(l, wanted, how, order, cursor, &i);
  if (rc == PEX_SUCCESS) {
    if (name != nullptr) *name = l->Attributes[i].Name;
    if (value != nullptr) *value = l->Attributes[i].Value;
  }
  return rc;
}

// ---- single-block attributes ----

// One allocation: the name, its terminator, then `storage` bytes of value
// storage holding the value text and zero fill. storage >= vlen + 1.
char* make_block(const char* name, size_t nlen, const char* value, size_t vlen, size_t storage) {
  char* block = static_cast<char*>(malloc(nlen + 1 + storage));
  if (block == nullptr) return nullptr;
  memcpy(block, name, nlen);
  block[nlen] = '\0';
  memcpy(block + nlen + 1, value, vlen);
  memset(block + nlen + 1 + vlen, 0, storage - vlen);
  return block;
}

void set_block(PEXAttr* a, char* block, size_t nlen, uint16_t value_len) {
  a->Name = block;
  a->Value = block + nlen + 1;
  a->ValueLen = value_len;
}

// A copy keeps its source's ValueLen, and its storage is never smaller than
// that, so that a later store of ValueLen - 1 characters stays inside it.
// `trace_no` tells the destination's own attributes (2) from appended ones (3).
bool copy_attr(const PEXAttr& src, PEXAttr* dst, const char* fnc, int trace_no) {
  if (src.Name == nullptr) {
    // Nothing to own: the copy stays nameless, as lookups skip it anyway.
    dst->Name = nullptr;
    dst->Value = nullptr;
    dst->ValueLen = src.ValueLen;
    return true;
  }
  const char* value = or_empty(src.Value);
  const size_t nlen = strlen(src.Name);
  const size_t vlen = strlen(value);
  const size_t storage = std::max<size_t>(vlen + 1, src.ValueLen);
  char* block = make_block(src.Name, nlen, value, vlen, storage);
  DIAG_TRACE(6, "malloc #%d in %s : %x", trace_no, fnc, DIAG_ADDR(block));
  if (block == nullptr) return false;
  set_block(dst, block, nlen, src.ValueLen);
  return true;
}

void free_names(PEXAttr* array, int32_t n) {
  for (int32_t i = 0; i < n; ++i) free(array[i].Name);
}

// Replaces the list's array with copies of the attributes of `first` and
// `second` (either may be null) followed by `extra` (may be null). The old
// array is left to whoever made it.
PEXRC append_copies(PEXAttrList* to, const PEXAttrList* first, const PEXAttrList* second,
                    const PEXAttr* extra, const char* fnc) {
  const int32_t n1 = first != nullptr ? count_of(first) : 0;
  const int32_t n2 = second != nullptr ? count_of(second) : 0;
  const int64_t total = static_cast<int64_t>(n1) + n2 + (extra != nullptr ? 1 : 0);
  if (total > INT32_MAX) {
    DIAG_TRACE(4, "%s", kNoArraySpace);
    return PEX_FAIL;
  }
  PEXAttr* array = nullptr;
  if (total > 0) {
    array = static_cast<PEXAttr*>(calloc(static_cast<size_t>(total), sizeof(PEXAttr)));
    DIAG_TRACE(6, "malloc #1 in %s : %x", fnc, DIAG_ADDR(array));
    if (array == nullptr) {
      DIAG_TRACE(4, "%s", kNoArraySpace);
      return PEX_FAIL;
    }
  } else {
    // An empty result owns no array: nothing would ever free one.
    DIAG_TRACE(6, "malloc #1 in %s : %x", fnc, DIAG_ADDR(array));
  }

  int32_t made = 0;
  bool ok = true;
  for (int32_t i = 0; ok && i < n1; ++i) {
    ok = copy_attr(first->Attributes[i], &array[made++], fnc, 2);
  }
  for (int32_t i = 0; ok && i < n2; ++i) {
    ok = copy_attr(second->Attributes[i], &array[made++], fnc, 3);
  }
  if (ok && extra != nullptr) {
    const char* value = or_empty(extra->Value);
    const size_t nlen = strlen(extra->Name);
    const size_t vlen = strnlen(value, kValueMax);
    char* block = make_block(extra->Name, nlen, value, vlen, vlen + 1);
    DIAG_TRACE(6, "malloc #3 in %s : %x", fnc, DIAG_ADDR(block));
    if (block == nullptr) {
      ok = false;
    } else {
      set_block(&array[made++], block, nlen, static_cast<uint16_t>(vlen + 1));
    }
  }
  if (!ok) {
    DIAG_ERROR("Malloc Failed");
    free_names(array, made);
    free(array);
    return PEX_FAIL;
  }
  to->Count = static_cast<int32_t>(total);
  to->Attributes = array;
  to->Curr = 0;
  return PEX_SUCCESS;
}

// Builds single-block attributes from a row list into `l`, which must
// already hold an array of n zeroed entries. Returns the last row code
// (KX_EOS folded into KX_SUCCESS); an allocation failure stops the reading.
KX_RC rows_to_attrs(PEXLIST_handle_typ* rows, PEXAttrList* l, int32_t n, const char* fnc,
                    const char* malloc_failed_fmt) {
  KX_RC rc = KX_SUCCESS;
  int32_t made = 0;
  while (rc == KX_SUCCESS && made < n) {
    char* key = nullptr;
    char* value = nullptr;
    rc = GM_PARAM_list_next(rows, &key, &value);
    if (rc != KX_SUCCESS) break;
    key = const_cast<char*>(or_empty(key));
    value = const_cast<char*>(or_empty(value));
    const size_t nlen = strnlen(key, sizeof(GM_PARAM_KEY_typ) - 1);
    const size_t vlen = strnlen(value, kValueMax);
    char* block = make_block(key, nlen, value, vlen, vlen + 1);
    DIAG_TRACE(6, "malloc #2 in %s : %x", fnc, DIAG_ADDR(block));
    if (block == nullptr) {
      DIAG_ERROR(malloc_failed_fmt, fnc);
      break;
    }
    set_block(&l->Attributes[made], block, nlen, static_cast<uint16_t>(vlen + 1));
    ++made;
    DIAG_TRACE(6, "Parameter -> Key:'%s', Value:'%s'", key, loggable_value(key, value));
  }
  l->Count = made;
  l->Curr = 0;
  return rc == KX_EOS ? KX_SUCCESS : rc;
}

// Release that also frees an array left behind by a count of zero, for the
// failure paths that hand back an empty list.
void release_fully(PEXAttrList* l, bool whole) {
  if (whole) {
    PEXAPI_utils_release_whole_attr(l);
  } else {
    PEXAPI_utils_release_attr(l);
  }
  if (l->Count <= 0) {
    free(l->Attributes);
    l->Attributes = nullptr;
    l->Count = 0;
  }
}

PEXRC release(PEXAttrList* l, bool whole) {
  const char* fnc = whole ? "PEXAPI_utils_release_whole_attr" : "PEXAPI_utils_release_attr";
  DIAG_TRACE(4, "%s", fnc);
  if (l == nullptr) {
    DIAG_ERROR("AttrList is NULL");
    return PEX_FAIL;
  }
  if (l->Count <= 0) return PEX_SUCCESS;
  if (l->Attributes == nullptr) {
    DIAG_ERROR("AttrList->Attributes is NULL");
    return PEX_FAIL;
  }
  for (int32_t i = 0; i < l->Count; ++i) {
    PEXAttr& a = l->Attributes[i];
    // A value stored right behind its name's terminator is part of the name's
    // block; freeing it on its own would corrupt the heap.
    const bool value_in_name_block =
        a.Name != nullptr && a.Value == a.Name + strlen(a.Name) + 1;
    if (a.Name != nullptr) {
      DIAG_TRACE(6, "free #1 in %s : %x", fnc, DIAG_ADDR(a.Name));
      free(a.Name);
      a.Name = nullptr;
    }
    if (whole && a.Value != nullptr) {
      if (!value_in_name_block) {
        DIAG_TRACE(6, "free #2 in %s : %x", fnc, DIAG_ADDR(a.Value));
        free(a.Value);
      }
      a.Value = nullptr;
    }
  }
  DIAG_TRACE(6, "free #%d in %s : %x", whole ? 3 : 2, fnc, DIAG_ADDR(l->Attributes));
  free(l->Attributes);
  l->Attributes = nullptr;
  l->Count = 0;
  return PEX_SUCCESS;
}

// Appends to a buffer whose size was computed beforehand; the bound is kept
// anyway so that a miscount cuts the text instead of running past it.
struct BoundedText {
  char* data;
  size_t cap;
  size_t len = 0;
  void put(std::string_view s) {
    const size_t room = cap - 1 - len;
    const size_t n = std::min(s.size(), room);
    memcpy(data + len, s.data(), n);
    len += n;
    data[len] = '\0';
  }
};

char* dup_n(const char* s, size_t n) {
  char* p = static_cast<char*>(malloc(n + 1));
  if (p == nullptr) return nullptr;
  memcpy(p, s, n);
  p[n] = '\0';
  return p;
}

// Stores Value into an attribute found by name: cut to its storage, the
// rest of the storage zero-filled.
PEXRC store_value(PEXAttr& a, const char* Value) {
  if (a.Value == nullptr) return PEX_FAIL;
  if (a.ValueLen == 0) return PEX_SUCCESS;  // no room even for a terminator
  const char* src = or_empty(Value);
  const size_t n = strnlen(src, a.ValueLen - 1u);
  memmove(a.Value, src, n);  // the value may come from the attribute itself
  memset(a.Value + n, 0, a.ValueLen - n);
  return PEX_SUCCESS;
}

}  // namespace

extern "C" {

// ---- error record ----

PEXRC PEXAPI_UTILS_ErrorSet(PEXError* Error, PEXErrorCode code, const char* format, ...) {
  if (Error == nullptr) return PEX_FAIL;
  char work[kWorkAreaSize];
  work[0] = '\0';
  if (format != nullptr) {
    va_list ap;
    va_start(ap, format);
    if (vsnprintf(work, sizeof work, format, ap) < 0) work[0] = '\0';
    va_end(ap);
  }
  Error->code = code;
  const size_t n = strnlen(work, kErrorTextMax);
  memcpy(Error->text, work, n);
  Error->text[n] = '\0';
  DIAG_TRACE(4, "ErrorSet: %s", Error->text);
  return PEX_SUCCESS;
}

PEXErrorCode PEXAPI_UTILS_ErrorCodeGet(const PEXError* Error) {
  return Error != nullptr ? Error->code : static_cast<PEXErrorCode>(PEX_FAIL);
}

// ---- cursor ----

PEXRC PEXAPI_UTILS_AttrListReset(PEXAttrList* AttrList) {
  if (AttrList == nullptr) return PEX_FAIL;
  AttrList->Curr = 0;
  return PEX_SUCCESS;
}

PEXRC PEXAPI_UTILS_AttrListNext(PEXAttrList* AttrList, char** Name, char** Value) {
  if (list_invalid(AttrList)) return PEX_FAIL;
  const int32_t curr = AttrList->Curr;
  const bool inside = curr >= 0 && curr < AttrList->Count;
  if (inside) {
    if (Name != nullptr) *Name = AttrList->Attributes[curr].Name;
    if (Value != nullptr) *Value = AttrList->Attributes[curr].Value;
  }
  // Callers rely on the cursor moving on even past the end.
  if (curr < INT32_MAX) AttrList->Curr = curr + 1;
  return inside ? PEX_SUCCESS : PEX_EOS;
}

// ---- lookups ----

PEXRC PEXAPI_UTILS_AttrListValueGet(PEXAttrList* AttrList, const char* Name, char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualAutoedit, Order::kFirstToLast,
                   Cursor::kKeep);
}

PEXRC PEXAPI_UTILS_AttrListValueGetNoAutoedits(PEXAttrList* AttrList, const char* Name,
                                               char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualExact, Order::kFirstToLast,
                   Cursor::kKeep);
}

PEXRC PEXAPI_UTILS_AttrListValueGetLast(PEXAttrList* AttrList, const char* Name, char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualAutoedit, Order::kLastToFirst,
                   Cursor::kKeep);
}

PEXRC PEXAPI_UTILS_AttrListResetIndex(PEXAttrList* AttrList, const char* Name, char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualAutoedit, Order::kFirstToLast,
                   Cursor::kResetThenFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetNext(PEXAttrList* AttrList, const char* Name, char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualAutoedit, Order::kAfterCursor,
                   Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetPrev(PEXAttrList* AttrList, const char* Name, char** Value) {
  return get_value(AttrList, Name, Value, Match::kEqualAutoedit, Order::kBeforeCursor,
                   Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetSubname(PEXAttrList* AttrList, const char* SubName,
                                           char** Name, char** Value) {
  return get_name_value(AttrList, SubName, Name, Value, Match::kContainsAutoedit,
                        Order::kFirstToLast, Cursor::kKeep);
}

PEXRC PEXAPI_UTILS_AttrListResetIndexSubname(PEXAttrList* AttrList, const char* SubName,
                                             char** Name, char** Value) {
  return get_name_value(AttrList, SubName, Name, Value, Match::kContainsAutoedit,
                        Order::kFirstToLast, Cursor::kResetThenFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetNextSubname(PEXAttrList* AttrList, const char* SubName,
                                               char** Name, char** Value) {
  return get_name_value(AttrList, SubName, Name, Value, Match::kContainsAutoedit,
                        Order::kAfterCursor, Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetPrevSubname(PEXAttrList* AttrList, const char* SubName,
                                               char** Name, char** Value) {
  return get_name_value(AttrList, SubName, Name, Value, Match::kContainsAutoedit,
                        Order::kBeforeCursor, Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetPrefix(PEXAttrList* AttrList, const char* Prefix, char** Name,
                                          char** Value) {
  return get_name_value(AttrList, Prefix, Name, Value, Match::kPrefix, Order::kFirstToLast,
                        Cursor::kKeep);
}

PEXRC PEXAPI_UTILS_AttrListResetIndexPrefix(PEXAttrList* AttrList, const char* Prefix,
                                            char** Name, char** Value) {
  return get_name_value(AttrList, Prefix, Name, Value, Match::kPrefix, Order::kFirstToLast,
                        Cursor::kResetThenFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetNextPrefix(PEXAttrList* AttrList, const char* Prefix,
                                              char** Name, char** Value) {
  return get_name_value(AttrList, Prefix, Name, Value, Match::kPrefix, Order::kAfterCursor,
                        Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueGetPrevPrefix(PEXAttrList* AttrList, const char* Prefix,
                                              char** Name, char** Value) {
  return get_name_value(AttrList, Prefix, Name, Value, Match::kPrefix, Order::kBeforeCursor,
                        Cursor::kFound);
}

PEXRC PEXAPI_UTILS_AttrListValueSizeGet(PEXAttrList* AttrList, const char* Name, int* size) {
  int32_t i = 0;
  PEXRC rc = lookup(AttrList, Name, Match::kEqualAutoedit, Order::kFirstToLast, Cursor::kKeep, &i);
  if (rc == PEX_SUCCESS && size != nullptr) {
    const uint16_t len = AttrList->Attributes[i].ValueLen;
    *size = len > 0 ? len - 1 : 0;
  }
  return rc;
}

// ---- storing and appending ----

PEXRC PEXAPI_UTILS_AttrListValueSet(PEXAttrList* AttrList, const char* Name, const char* Value) {
  int32_t i = 0;
  PEXRC rc = lookup(AttrList, Name, Match::kEqualExact, Order::kFirstToLast, Cursor::kKeep, &i);
  if (rc != PEX_SUCCESS) return rc;
  return store_value(AttrList->Attributes[i], Value);
}

PEXRC PEXAPI_UTILS_AttrListAppend_Value2Attr(PEXAttrList* AttrList, const char* Name,
                                             const char* Value) {
  if (list_invalid(AttrList)) {
    DIAG_TRACE(4, "%s", kInvalidList);
    return PEX_FAIL;
  }
  if (Name == nullptr) return PEX_FAIL;
  PEXAttr extra{const_cast<char*>(Name), 0, const_cast<char*>(or_empty(Value))};
  return append_copies(AttrList, AttrList, nullptr, &extra,
                       "PEXAPI_UTILS_AttrListAppend_Value2Attr");
}

PEXRC PEXAPI_UTILS_AttrListAppend_Attr2Attr(PEXAttrList* AttrListFrom, PEXAttrList* AttrListTo) {
  if (list_invalid(AttrListFrom) || list_invalid(AttrListTo)) {
    DIAG_TRACE(4, "%s", kInvalidList);
    return PEX_FAIL;
  }
  return append_copies(AttrListTo, AttrListTo, AttrListFrom, nullptr,
                       "PEXAPI_UTILS_AttrListAppend_Attr2Attr");
}

// ---- building lists ----

PEXRC PEXAPI_UTILS_list2attr(PEXLIST_handle_typ* param_list, PEXAttrList* AttrList) {
  static const char fnc[] = "PEXAPI_UTILS_list2attr";
  DIAG_TRACE(4, "%s", fnc);
  if (param_list == nullptr || AttrList == nullptr) {
    DIAG_TRACE(4, "%s", kInvalidList);
    return PEX_FAIL;
  }
  // The caller's walking position must not move.
  PEXLIST_handle_typ rows = *param_list;
  const int32_t n = std::max(PEXLIST_count(&rows), 0);

  PEXAttr* array = nullptr;
  if (n > 0) array = static_cast<PEXAttr*>(calloc(static_cast<size_t>(n), sizeof(PEXAttr)));
  DIAG_TRACE(6, "malloc #1 in %s : %x", fnc, DIAG_ADDR(array));
  if (array == nullptr && n != 0) {
    DIAG_ERROR("%s: malloc failed", fnc);
    return PEX_FAIL;
  }
  AttrList->Attributes = array;
  AttrList->Count = 0;

  PEXLIST_reset(&rows);
  KX_RC rc = rows_to_attrs(&rows, AttrList, n, fnc, "%s: Malloc Failed");
  if (rc == KX_FAIL) {
    DIAG_ERROR("Error occured");
    release_fully(AttrList, false);
    return PEX_FAIL;
  }
  if (DIAG_debug_level() > 3 || DIAG_buffered_level() > 3) {
    DIAG_set_active_level(4);
    PEXAPI_utils_print_attr(AttrList);
    DIAG_set_active_level(0);
  }
  return PEX_SUCCESS;
}

PEXRC PEXAPI_UTILS_param2attr(const char* table_name, PEXAttrList* AttrList) {
  static const char fnc[] = "PEXAPI_UTILS_param2attr";
  DIAG_TRACE(4, "%s", fnc);
  if (AttrList == nullptr || table_name == nullptr) {
    DIAG_TRACE(4, "%s", kInvalidList);
    return PEX_FAIL;
  }
  PATHNAME_D_typ path;
  const int len = snprintf(path, sizeof path, "./data/%s.dat", table_name);
  // A cut path would name some other file; such a table cannot be loaded.
  if (len < 0 || static_cast<size_t>(len) >= sizeof path) return PEX_SUCCESS;

  PEXLIST_handle_typ rows{0, nullptr, nullptr};
  if (GM_PARAM_load_file(&rows, path) != KX_SUCCESS) {
    GM_PARAM_list_clear(&rows);
    return PEX_SUCCESS;
  }
  const int32_t n = std::max(PEXLIST_count(&rows), 0);
  PEXAttr* array = nullptr;
  if (n > 0) array = static_cast<PEXAttr*>(calloc(static_cast<size_t>(n), sizeof(PEXAttr)));
  DIAG_TRACE(6, "malloc #1 in %s : %x", fnc, DIAG_ADDR(array));
  if (array == nullptr && n != 0) {
    DIAG_TRACE(4, "%s", kNoArraySpace);
    GM_PARAM_list_clear(&rows);
    return PEX_FAIL;
  }
  AttrList->Attributes = array;
  AttrList->Count = 0;
  GM_PARAM_list_reset(&rows);
  rows_to_attrs(&rows, AttrList, n, fnc, "Malloc Failed");
  GM_PARAM_list_clear(&rows);
  return PEX_SUCCESS;
}

// ---- releasing and logging ----

PEXRC PEXAPI_utils_release_attr(PEXAttrList* AttrList) { return release(AttrList, false); }

PEXRC PEXAPI_utils_release_whole_attr(PEXAttrList* AttrList) { return release(AttrList, true); }

PEXRC PEXAPI_utils_print_attr(PEXAttrList* AttrList) {
  DIAG_printf("PEXAPI_utils_print_attr");
  if (AttrList == nullptr || AttrList->Attributes == nullptr) return PEX_SUCCESS;
  DIAG_printf("Attributes begin");
  for (int32_t i = 0; i < AttrList->Count; ++i) {
    const PEXAttr& a = AttrList->Attributes[i];
    const char* name = or_empty(a.Name);
    DIAG_printf("\t%-*s = %.500s", 8, name, loggable_value(name, or_empty(a.Value)));
  }
  DIAG_printf("Attributes end");
  return PEX_SUCCESS;
}

// ---- text form ----

PEXRC PEXPI_UTILS_serialize_attr_list(const PEXAttrList* AttributesList, char** buffer) {
  static const char fnc[] = "PEXPI_UTILS_serialize_attr_list";
  if (AttributesList == nullptr || AttributesList->Attributes == nullptr || buffer == nullptr ||
      AttributesList->Count < 0) {
    return PEX_FAIL;
  }
  // The cursor is documented to be 0 afterwards; writing only when it is not
  // spares a list that lives in read-only storage.
  if (AttributesList->Curr != 0) const_cast<PEXAttrList*>(AttributesList)->Curr = 0;

  const int32_t count = AttributesList->Count;
  const PEXAttr* attrs = AttributesList->Attributes;
  // Per attribute: name, separator (3), delimiter (10); the value is counted
  // by the larger of its capacity and its text, so the buffer holds the text
  // even when an attribute's ValueLen understates it.
  size_t size = 13 * static_cast<size_t>(count) + 14;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = or_empty(attrs[i].Name);
    const size_t nlen = strlen(name);
    if (strcmp(name, kInstreamScript) == 0) {
      size += nlen + strlen(kPrivateData);
    } else {
      size += nlen + std::max<size_t>(attrs[i].ValueLen, strlen(or_empty(attrs[i].Value)) + 1);
    }
  }
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) {
    DIAG_ERROR("%s: malloc failed", fnc);
    return PEX_FAIL;
  }
  BoundedText out{text, size};
  char digits[16];
  snprintf(digits, sizeof digits, "%d", count);
  out.put(digits);
  out.put(kAttrDelim);
  for (int32_t i = 0; i < count; ++i) {
    const char* name = or_empty(attrs[i].Name);
    out.put(name);
    out.put(kNameValueDelim);
    out.put(strcmp(name, kInstreamScript) == 0 ? kPrivateData : or_empty(attrs[i].Value));
    if (i + 1 < count) out.put(kAttrDelim);
  }
  *buffer = text;
  return PEX_SUCCESS;
}

PEXRC PEXPI_UTILS_deserialize_attr_list(const char* buffer, PEXAttrList* AttrList) {
  static const char fnc[] = "PEXPI_UTILS_deserialize_attr_list";
  if (AttrList == nullptr || buffer == nullptr || buffer[0] == '\0') return PEX_FAIL;
  AttrList->Curr = 0;

  const std::string_view text(buffer);
  const size_t first = text.find(kAttrDelim);
  if (first == std::string_view::npos) {
    DIAG_ERROR("%s: next_ptr is NULL", fnc);
    return PEX_FAIL;
  }
  char count_text[kCountTextMax + 1];
  const size_t count_len = std::min(first, kCountTextMax);
  memcpy(count_text, buffer, count_len);
  count_text[count_len] = '\0';
  if (strtol(count_text, nullptr, 10) <= 0) {
    DIAG_ERROR("%s: attr_count = 0", fnc);
    return PEX_FAIL;
  }

  // The array is sized by the pairs the text really holds: the announced
  // count may be smaller than that, and storing past it would corrupt memory.
  const size_t body = first + kAttrDelim.size();
  size_t pairs = 1;
  for (size_t p = text.find(kAttrDelim, body); p != std::string_view::npos;
       p = text.find(kAttrDelim, p + kAttrDelim.size())) {
    ++pairs;
  }
  if (pairs > static_cast<size_t>(INT32_MAX)) {
    DIAG_ERROR("%s: malloc failed", fnc);
    return PEX_FAIL;
  }

  PEXAPI_utils_release_attr(AttrList);
  AttrList->Count = 0;
  AttrList->Curr = 0;
  AttrList->Attributes = static_cast<PEXAttr*>(calloc(pairs, sizeof(PEXAttr)));
  if (AttrList->Attributes == nullptr) {
    DIAG_ERROR("%s: malloc failed", fnc);
    return PEX_FAIL;
  }

  size_t pos = body;
  for (;;) {
    const size_t next = text.find(kAttrDelim, pos);
    const size_t end = next == std::string_view::npos ? text.size() : next;
    const std::string_view pair = text.substr(pos, std::min(end - pos, kPairMax));
    const size_t sep = pair.find(kNameValueDelim);
    if (sep == std::string_view::npos) {
      DIAG_ERROR("%s: name_val_delim_ptr is NULL", fnc);
      release_fully(AttrList, true);
      return PEX_FAIL;
    }
    const std::string_view name = pair.substr(0, std::min(sep, kPairNameMax));
    const std::string_view value = pair.substr(sep + kNameValueDelim.size(), kPairValueMax);
    char* n = dup_n(name.data(), name.size());
    char* v = n != nullptr ? dup_n(value.data(), value.size()) : nullptr;
    if (v == nullptr) {
      free(n);
      DIAG_ERROR("%s: malloc failed", fnc);
      return PEX_FAIL;
    }
    PEXAttr& a = AttrList->Attributes[AttrList->Count];
    a.Name = n;
    a.Value = v;
    a.ValueLen = static_cast<uint16_t>(value.size() + 1);
    ++AttrList->Count;
    if (next == std::string_view::npos) break;
    pos = next + kAttrDelim.size();
  }
  return PEX_SUCCESS;
}

// ---- version ----

void PEX_version(char* ver, int size) {
  if (ver == nullptr || size <= 1) return;
  const size_t room = static_cast<size_t>(size) - 1;
  const size_t n = std::min(strlen(kVersion), room);
  memcpy(ver, kVersion, n);
  // Like a bounded string copy: zero fill within the room, no terminator
  // beyond it.
  memset(ver + n, 0, room - n);
}

}  // extern "C"

PEXAttrValueSetter::PEXAttrValueSetter(PEXAttrList* AttrList)
    : list_(AttrList), indexed_(!list_invalid(AttrList)) {
  if (!indexed_) return;
  const int32_t n = count_of(AttrList);
  size_t size = 8;
  while (size < 2 * static_cast<size_t>(n)) size *= 2;
  slots_.assign(size, 0);
  mask_ = size - 1;
  for (int32_t i = 0; i < n; ++i) {
    const char* name = AttrList->Attributes[i].Name;
    if (name == nullptr) continue;
    const size_t at = slot_for(name);
    if (slots_[at] == 0) slots_[at] = i + 1;  // an earlier one of the name stays
  }
}

size_t PEXAttrValueSetter::slot_for(const char* Name) const {
  // Never more than half full, so a free slot ends every search.
  size_t at = std::hash<std::string_view>()(Name) & mask_;
  while (slots_[at] != 0 && strcmp(list_->Attributes[slots_[at] - 1].Name, Name) != 0)
    at = (at + 1) & mask_;
  return at;
}

PEXRC PEXAttrValueSetter::set(const char* Name, const char* Value) {
  // An invalid list takes the search's way, which says so in the log.
  if (!indexed_ || Name == nullptr) return PEXAPI_UTILS_AttrListValueSet(list_, Name, Value);
  const int32_t slot = slots_[slot_for(Name)];
  if (slot == 0) return PEX_EOS;
  return store_value(list_->Attributes[slot - 1], Value);
}
