/*
 * be_response.h - reading the container's answer documents: whether an
 * answer reports an error (a KXError element with Code and Message), and the
 * leaf elements of its BODY as an attribute list.
 *
 * All three operations use the XML reader's process-wide working state
 * (gm_xml.h): one of them at a time per process, and no other XML reading
 * meanwhile. None of them keeps state between calls.
 */
#ifndef BE_HADOOP_BACKEND_BE_RESPONSE_H
#define BE_HADOOP_BACKEND_BE_RESPONSE_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result of BE_INF_update_error. */
typedef enum {
  BE_INF_NO_ERROR_REPORTED = 0,      /* go on with the answer */
  BE_INF_UPDATE_ERROR_FAILED = 1,    /* error reported; its message could not be read */
  BE_INF_UPDATE_ERROR_SUCCEEDED = 2  /* error reported; Error holds code and message */
} BE_INF_UPDATE_ERROR_RC;

/* Decides whether the NUL-terminated answer responseXml (not modified)
 * reports an error. It does only when the text contains "<KXError><Code>"
 * (start tags without attributes or blanks between them), the document is
 * well-formed, and the text of Code inside KXError is a non-negative decimal
 * number other than 0 (a value beyond 4294967295 counts as 4294967295). With
 * several KXError elements, the last Code and the last Message win. The
 * document is read as its declaration says (UTF-8 without one); outside I18N
 * mode, a text that cannot be read so but holds bytes of 128 and above is
 * read again as Latin-1, as BE_INF_xmlBuff2attr reads it (the locales of
 * be_convert.h are prepared for that when absent).
 * Then Error gets the code and the text of Message inside KXError, cut to
 * 998 characters and stored as it is (never used as a format; empty when
 * there is no Message): BE_INF_UPDATE_ERROR_SUCCEEDED. When the Message
 * cannot be read, Error gets the code and "Error while attempting to update
 * error message": BE_INF_UPDATE_ERROR_FAILED, as also when Error is null.
 * Otherwise BE_INF_NO_ERROR_REPORTED and Error is not touched; a null
 * responseXml reports nothing. */
BE_INF_UPDATE_ERROR_RC BE_INF_update_error(PEXError *Error, const char *responseXml);

/* Turns each leaf element (an element without child elements, at any depth)
 * inside the element ParentElem of the NUL-terminated document xmlbuffer into
 * one single-block attribute, in the order the leaves close: name = element
 * name, value = its character data (empty for an empty element). Duplicates
 * are kept; a leaf whose name has 64 or more characters or whose text has
 * 2,048 or more is skipped with an error line and the rest still converts.
 * The document is read as UTF-8 when isI18nDefined() is true, else as
 * ISO-8859-1, whatever its declaration says.
 * *AttrList is first made empty (Count 0, Attributes NULL, Curr 0) without
 * releasing what it held: pass a list that holds nothing. On PEX_SUCCESS the
 * caller owns the attributes and releases them with
 * PEXAPI_utils_release_attr; a document without ParentElem gives PEX_SUCCESS
 * and an empty list. PEX_FAIL with an empty list: null AttrList, parser not
 * created, document not well-formed, a row could not be stored or the
 * attribute array not allocated. */
PEXRC BE_INF_xmlBuff2attr(const char *xmlbuffer, const char *ParentElem, PEXAttrList *AttrList);

/* As BE_INF_xmlBuff2attr, except that the document's own declaration chooses
 * the input encoding (UTF-8 without one), and that PEX_SUCCESS needs at least
 * one attribute: a document whose ParentElem has no leaves, or that has no
 * ParentElem, gives PEX_FAIL with an empty list. */
PEXRC PEXAPI_UTILS_xmlBuff2attr(const char *xmlbuffer, const char *ParentElem,
                                PEXAttrList *AttrList);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_RESPONSE_H */
