/*
 * pexapi_utl.h - operations on attribute lists and error records: lookups,
 * the list cursor, storing into existing attributes, appending, building
 * lists from row lists and table files, releasing, logging, and the one-line
 * text form of a whole list. All of it is exported for the agent as well.
 *
 * Storage shapes: a single-block attribute holds name and value in one
 * allocation starting at Name (released by freeing Name); a two-block
 * attribute has Name and Value allocated apart (both freed). Attributes the
 * agent pre-creates belong to the agent.
 *
 * Lookup outputs point into the list's own storage and stay valid until the
 * list is changed or released. No operation here locks anything.
 */
#ifndef BE_HADOOP_PEXAPI_PEXAPI_UTL_H
#define BE_HADOOP_PEXAPI_PEXAPI_UTL_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PEXAPI_UTL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define PEXAPI_UTL_PRINTF(f, a)
#endif

/* ---- error record ---- */

/* Sets Error->code and the formatted text (formatted in a 5,000-byte area,
 * stored cut to 998 characters). Traces "ErrorSet: <text>" at level 4.
 * PEX_SUCCESS; PEX_FAIL (nothing written) for a null Error. A null format
 * stores an empty text. */
PEXRC PEXAPI_UTILS_ErrorSet(PEXError *Error, PEXErrorCode code, const char *format, ...)
    PEXAPI_UTL_PRINTF(3, 4);

/* The stored code; PEX_FAIL for a null Error. */
PEXErrorCode PEXAPI_UTILS_ErrorCodeGet(const PEXError *Error);

/* ---- cursor ---- */

/* Curr := 0. PEX_FAIL for a null list. */
PEXRC PEXAPI_UTILS_AttrListReset(PEXAttrList *AttrList);

/* Gives name and value of attribute Curr and advances Curr. Past the end:
 * PEX_EOS, and Curr still advances by one. A null list (or a positive Count
 * without an array) gives PEX_FAIL and changes nothing. Null output pointers
 * are not written. */
PEXRC PEXAPI_UTILS_AttrListNext(PEXAttrList *AttrList, char **Name, char **Value);

/* ---- lookups ----
 * All: PEX_SUCCESS when found, PEX_EOS when nothing matches, PEX_FAIL for a
 * null list or a null search text (trace "Attribute list is invalid." at
 * level 4 for the list). Attributes without a name are skipped. A failed
 * search leaves the outputs untouched; the ResetIndex variants leave Curr at
 * 0 then. Names given out are the stored ones, "%%" included.
 *
 * Autoedit rule: a searched name without a leading "%%" also matches the text
 * after the "%%" of a stored autoedit name. */

/* Equal (autoedit rule), first to last; Curr unchanged. */
PEXRC PEXAPI_UTILS_AttrListValueGet(PEXAttrList *AttrList, const char *Name, char **Value);
/* Equal as stored (no autoedit rule), first to last; Curr unchanged. */
PEXRC PEXAPI_UTILS_AttrListValueGetNoAutoedits(PEXAttrList *AttrList, const char *Name,
                                               char **Value);
/* Equal (autoedit rule), last to first; Curr unchanged. */
PEXRC PEXAPI_UTILS_AttrListValueGetLast(PEXAttrList *AttrList, const char *Name, char **Value);
/* Curr := 0, then equal (autoedit rule) first to last; Curr := found index. */
PEXRC PEXAPI_UTILS_AttrListResetIndex(PEXAttrList *AttrList, const char *Name, char **Value);
/* Equal (autoedit rule) from Curr+1 upward; Curr := found index. */
PEXRC PEXAPI_UTILS_AttrListValueGetNext(PEXAttrList *AttrList, const char *Name, char **Value);
/* Equal (autoedit rule) from Curr-1 downward (never above the last
 * attribute, whatever Curr is); Curr := found index. */
PEXRC PEXAPI_UTILS_AttrListValueGetPrev(PEXAttrList *AttrList, const char *Name, char **Value);

/* The stored name contains SubName (autoedit rule); order and cursor as the
 * equal-name variants above. */
PEXRC PEXAPI_UTILS_AttrListValueGetSubname(PEXAttrList *AttrList, const char *SubName,
                                           char **Name, char **Value);
PEXRC PEXAPI_UTILS_AttrListResetIndexSubname(PEXAttrList *AttrList, const char *SubName,
                                             char **Name, char **Value);
PEXRC PEXAPI_UTILS_AttrListValueGetNextSubname(PEXAttrList *AttrList, const char *SubName,
                                               char **Name, char **Value);
PEXRC PEXAPI_UTILS_AttrListValueGetPrevSubname(PEXAttrList *AttrList, const char *SubName,
                                               char **Name, char **Value);

/* The stored name begins with Prefix (no "%%" skipped); order and cursor as
 * the equal-name variants above. */
PEXRC PEXAPI_UTILS_AttrListValueGetPrefix(PEXAttrList *AttrList, const char *Prefix, char **Name,
                                          char **Value);
PEXRC PEXAPI_UTILS_AttrListResetIndexPrefix(PEXAttrList *AttrList, const char *Prefix,
                                            char **Name, char **Value);
PEXRC PEXAPI_UTILS_AttrListValueGetNextPrefix(PEXAttrList *AttrList, const char *Prefix,
                                              char **Name, char **Value);
PEXRC PEXAPI_UTILS_AttrListValueGetPrevPrefix(PEXAttrList *AttrList, const char *Prefix,
                                              char **Name, char **Value);

/* *size := ValueLen - 1 of the first equal name (autoedit rule); Curr
 * unchanged. */
PEXRC PEXAPI_UTILS_AttrListValueSizeGet(PEXAttrList *AttrList, const char *Name, int *size);

/* ---- storing and appending ---- */

/* Stores Value into the first attribute named exactly Name: at most
 * ValueLen - 1 characters, the rest of the storage zero-filled. PEX_EOS when
 * no attribute has the name (nothing added), PEX_FAIL for a null list. A null
 * Value stores an empty text. */
PEXRC PEXAPI_UTILS_AttrListValueSet(PEXAttrList *AttrList, const char *Name, const char *Value);

/* The list gains Name=Value at its end. The whole array is replaced by
 * single-block copies (Curr := 0); the previous array and its strings are not
 * released: they stay with whoever made them. A value is kept to 65,534
 * characters. PEX_FAIL (list unchanged) for a null list or an allocation
 * failure. */
PEXRC PEXAPI_UTILS_AttrListAppend_Value2Attr(PEXAttrList *AttrList, const char *Name,
                                             const char *Value);

/* AttrListTo gains copies of all attributes of AttrListFrom after its own;
 * as above, its array is replaced and the previous one not released.
 * AttrListFrom is unchanged. Each copy keeps its source's ValueLen and has
 * at least that much value storage. */
PEXRC PEXAPI_UTILS_AttrListAppend_Attr2Attr(PEXAttrList *AttrListFrom, PEXAttrList *AttrListTo);

/* ---- building lists ---- */

/* One single-block attribute per key/value row of param_list (whose own
 * cursor does not move). AttrList->Attributes is overwritten, not released:
 * pass an empty list. PEX_FAIL when the array cannot be allocated or reading
 * the rows fails (the list is then released); an allocation failure for one
 * row keeps the rows made so far and still gives PEX_SUCCESS. */
PEXRC PEXAPI_UTILS_list2attr(PEXLIST_handle_typ *param_list, PEXAttrList *AttrList);

/* One single-block attribute per row of "./data/<table_name>.dat". A file
 * that cannot be loaded leaves AttrList untouched and gives PEX_SUCCESS.
 * PEX_FAIL for a null list or when the array cannot be allocated. */
PEXRC PEXAPI_UTILS_param2attr(const char *table_name, PEXAttrList *AttrList);

/* ---- releasing and logging ---- */

/* Releases a list of single-block attributes: frees each Name, then the
 * array; Attributes := NULL, Count := 0 (Curr kept). Count <= 0 does
 * nothing. PEX_FAIL for a null list or a positive Count without an array. */
PEXRC PEXAPI_utils_release_attr(PEXAttrList *AttrList);

/* The same for two-block attributes: frees each Name and Value. A Value that
 * lies inside its Name's block (single-block shape) is not freed twice. */
PEXRC PEXAPI_utils_release_whole_attr(PEXAttrList *AttrList);

/* Writes the list to the log at the caller's active level; values of secret
 * names are written as "Private Data". Always PEX_SUCCESS. */
PEXRC PEXAPI_utils_print_attr(PEXAttrList *AttrList);

/* ---- text form ---- */

/* Allocates *buffer (the caller frees it) with the text form
 * "<Count>ATTR_DELIM<name>^#^<value>ATTR_DELIM..." (nothing escaped; the
 * value of "INSTREAM_SCRIPT" written as "Private Data"). Curr := 0.
 * PEX_FAIL for a null list, array or buffer, a negative Count, or an
 * allocation failure. */
PEXRC PEXPI_UTILS_serialize_attr_list(const PEXAttrList *AttributesList, char **buffer);

/* Rebuilds AttrList as two-block attributes from a text form (its previous
 * attributes are released as single-block ones first). Names are kept to 63
 * characters, values to 4,095, a pair to 4,159; every pair of the text is
 * read, however many the count announces. PEX_FAIL for a null list, an
 * empty text, a missing delimiter, a count that is not positive, a pair
 * without "^#^" (the list is then released) or an allocation failure. */
PEXRC PEXPI_UTILS_deserialize_attr_list(const char *buffer, PEXAttrList *AttrList);

/* ---- version ---- */

/* Copies at most size - 1 characters of the version text into ver, with no
 * terminator when the text is longer: pass a zero-filled buffer. */
void PEX_version(char *ver, int size);

#ifdef __cplusplus
}

#include <cstddef>
#include <vector>

/* PEXAPI_UTILS_AttrListValueSet for many names into one list, each found
 * through an index of the list's names made once (the first attribute of a
 * name wins, as in the search) instead of a search from the start per name.
 * The results are those of PEXAPI_UTILS_AttrListValueSet. REQUIRES: the
 * list's array and names do not change while the index lives (values may). */
class PEXAttrValueSetter {
 public:
  explicit PEXAttrValueSetter(PEXAttrList *AttrList);
  PEXRC set(const char *Name, const char *Value);

 private:
  // Open addressing: a slot holds an attribute's index + 1, 0 when free.
  // The slot of Name, or the free one where it would go.
  size_t slot_for(const char *Name) const;
  PEXAttrList *list_;
  bool indexed_;
  std::vector<int32_t> slots_;
  size_t mask_ = 0;
};
#endif

#endif /* BE_HADOOP_PEXAPI_PEXAPI_UTL_H */
