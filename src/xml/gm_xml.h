/*
 * gm_xml.h - the small XML documents exchanged with the container: a writer
 * that appends escaped text to a caller-owned buffer, and a reader on Expat
 * that extracts one element's text or turns the leaves of a parent element
 * into key/value rows.
 *
 * Writer: every GM_xml_write* / GM_XML_* writing call appends to xmlbuf,
 * which the caller allocates and initialises to a NUL-terminated text
 * (usually empty). These calls take no size: the caller must make sure the
 * buffer can take what is appended (GM_xml_characterDataLength tells how
 * long an escaped text becomes). Nothing is allocated here.
 *
 * Reader: the working state is process-wide and unguarded; one parse at a
 * time per process. Every parse starts from a clean state, whatever the
 * previous parse did.
 */
#ifndef BE_HADOOP_XML_GM_XML_H
#define BE_HADOOP_XML_GM_XML_H

#include <stddef.h>

#include <expat.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the reader's fixed areas. */
#define GM_XML_SEARCH_NAME_MAX 31    /* element / parent names of a search or list */
#define GM_XML_COPY_NAME_MAX 60      /* element name of GM_XML_DuplicateParentElement */
#define GM_XML_ROW_KEY_SIZE 64       /* key field of a key/value row */
#define GM_XML_ROW_VALUE_MAX 2047    /* longest text a row takes */
#define GM_XML_OUTPUT_SIZE 2048      /* caller's output buffers of the element search */
#define GM_XML_TEXT_AREA_SIZE 20480  /* text collected by the list building */

/* Reader flags, exported for the agent. Clear between parses.
 * GM_XML_StartParentElem: the element search is inside the parent element.
 * GM_XML_StartElementAfterParent: ... and inside the wanted element.
 * GM_XML_StartParentElementForList: the list building is inside the parent. */
extern int GM_XML_StartParentElem;
extern int GM_XML_StartElementAfterParent;
extern int GM_XML_StartParentElementForList;

/* ---- writer ---- */

/* Appends xmlHeader unchanged (a null header appends nothing). */
void GM_xml_writeHeader(char *xmlbuf, const XML_Char *xmlHeader);

/* Appends the first len bytes of ElemVal escaped as character data: tab, line
 * feed and carriage return as "&#%d;", '"' '&' '<' '>' as entities, every
 * other byte (apostrophe and bytes of 128 and above included) unchanged. A
 * zero byte cannot be carried by the NUL-terminated buffer and is dropped.
 * len <= 0 or a null ElemVal appends nothing. */
void GM_xml_writeCharacterData(char *xmlbuf, const XML_Char *ElemVal, int len);

/* Number of bytes GM_xml_writeCharacterData(.., ElemVal, len) appends
 * (terminator not counted). Lets a caller check that its buffer has room. */
size_t GM_xml_characterDataLength(const XML_Char *ElemVal, int len);

/* Offset of the first byte of text[0..len) that starts no character an
 * XML 1.0 document can carry, raw or escaped; -1 when every one can. With
 * utf8 the text is read as UTF-8: a byte that starts no valid sequence, an
 * overlong form, a surrogate, U+FFFE, U+FFFF or a code point above U+10FFFF
 * counts. Otherwise the text is in a single-byte code page such as
 * Latin-1, where every byte of 128 and above is a character. Either way the
 * control characters below 0x20 other than tab, line feed and carriage
 * return count (the writer above would copy them unchanged, making the
 * document ill-formed). */
long GM_xml_unwritable_offset(const char *text, size_t len, int utf8);

/* Appends ="'", AttrVal escaped as an attribute value, and "'". The value
 * ends at a byte 0 or 1. Escaping as character data, and in addition the
 * apostrophe (the delimiter) as "&#39;". A null AttrVal is an empty value. */
void GM_xml_writeAttributeValue(char *xmlbuf, const XML_Char *AttrVal);

/* Appends a ready-made attribute text (a='1' b='2'): tab, line feed and
 * carriage return as "&#%d;", '&' '<' '>' as entities, quotes and
 * apostrophes unchanged. The text ends at a byte 0 or 1. */
void GM_xml_writeAttributes(char *xmlbuf, const XML_Char *AttrStr);

/* Appends "<" ElemName, then " name='value'" for each pair of the
 * null-terminated name/value array ElemAttributes (may be null; the array
 * and its strings are not modified), then ">". */
void GM_xml_writeStartElem(char *xmlbuf, const XML_Char *ElemName, XML_Char **ElemAttributes);

/* Appends "<" ElemName, " " and the attribute text through
 * GM_xml_writeAttributes when ElemAttributes is not null, then ">". */
void GM_xml_writeStartElemWithStringAttributes(char *xmlbuf, const XML_Char *ElemName,
                                               const XML_Char *ElemAttributes);

/* Appends "</" ElemName ">". */
void GM_xml_writeEndElem(char *xmlbuf, const XML_Char *ElemName);

/* 1 when the agent runs in I18N mode: the CONFIG parameter I18N exists and
 * is exactly "CJK" (text then passes unconverted), else 0. Reads the
 * parameter table at every call. */
int isI18nDefined(void);

/* Appends the declaration (UTF-8 when CONFIG/I18N is "CJK", else
 * iso-8859-1) and the root start tag "<TWBKX>". Returns KX_SUCCESS. */
KX_RC GM_XML_BufInit(char *xmlbuf);

/* Appends the start tag of ParentElemName with the attribute text
 * ElemAttributes (may be null). Returns KX_SUCCESS. */
KX_RC GM_XML_StartParentElement(char *xmlbuf, const char *ParentElemName,
                                const char *ElemAttributes);

/* Appends start tag (with the attribute text ElemAttributes, may be null),
 * the whole of ElemVal as character data (null = empty), end tag.
 * Returns KX_SUCCESS. */
KX_RC GM_XML_WriteElement(char *xmlbuf, const char *ElemName, const char *ElemVal,
                          const char *ElemAttributes);

/* Appends the end tag of ParentElemName. Returns KX_SUCCESS. */
KX_RC GM_XML_CloseParentElement(char *xmlbuf, const char *ParentElemName);

/* Appends the root end tag "</TWBKX>". Returns KX_SUCCESS. */
KX_RC GM_XML_BufEnd(char *xmlbuf);

/* Appends to destination_xmlbuf the element ElemName of source_xmlbuf, from
 * the first exact start tag "<ElemName>" (a tag with attributes or blanks is
 * not found) to the first "</ElemName>" after it, both included.
 * KX_SUCCESS, also when nothing was found (destination unchanged).
 * KX_FAIL: null argument, a name longer than GM_XML_COPY_NAME_MAX
 * characters, or the work copy cannot be allocated. */
KX_RC GM_XML_DuplicateParentElement(const char *source_xmlbuf, char *destination_xmlbuf,
                                    const char *ElemName);

/* ---- reader ---- */

/* Parses the NUL-terminated document buffer and puts the text of Element
 * found inside ParentElem into ElemValue, and the name and value of that
 * element's last XML attribute into AttrName and AttrValue (UTF-8, as Expat
 * delivers them). When Element occurs more than once the last occurrence
 * wins; text of its child elements is included. Outputs are written only
 * when the element is found, each at most GM_XML_OUTPUT_SIZE - 1 characters
 * (longer text is cut), so each buffer must hold GM_XML_OUTPUT_SIZE bytes. A
 * null output buffer is left alone.
 * KX_SUCCESS also when the element is absent (outputs untouched).
 * KX_FAIL: parser not created, document not well-formed (outputs hold what
 * was collected), null Element/ParentElem, or either name longer than
 * GM_XML_SEARCH_NAME_MAX characters. */
KX_RC GM_XML_ParseByParentElement(const char *buffer, const char *Element, const char *ParentElem,
                                  char *ElemValue, char *AttrName, char *AttrValue);

/* GM_XML_ParseByParentElement with the parent "HEADER" / "BODY". KX_FAIL
 * with an error line when any of the three output buffers is null. */
KX_RC GM_XML_ParseHeader(const char *buffer, const char *Element, char *ElemValue,
                         char *AttrName, char *AttrValue);
KX_RC GM_XML_ParseBody(const char *buffer, const char *Element, char *ElemValue,
                       char *AttrName, char *AttrValue);

/* Initialises *list empty (earlier entries are not released: clear a list
 * before reusing it) and appends one key/value row per leaf element inside
 * ParentElem, in the order the leaves close: a 64-byte NUL-terminated name
 * field followed by the text and its terminator (entry size 64 + length +
 * 1). A leaf whose name has 64 or more characters or whose text has 2,048
 * or more is skipped with an error line; the rest still converts. The
 * document's own declaration chooses the input encoding.
 * KX_FAIL: null list or ParentElem, ParentElem longer than
 * GM_XML_SEARCH_NAME_MAX, parser not created, document not well-formed or a
 * row could not be stored; rows made before stay in the list. */
KX_RC GM_XML_ParseBuf2List(const char *buffer, const char *ParentElem, PEXLIST_handle_typ *list);

/* Why the last GM_XML_ParseByParentElement, GM_XML_ParseBuf2List or
 * GM_XML_ParseBuf2ListByEncoding found its document not well-formed, as
 * "line <n>: <Expat's reason>"; empty when that parse did not fail so (the
 * reader's state is process-wide, so this is the last parse of any
 * caller). */
const char *GM_XML_LastParseError(void);

/* As GM_XML_ParseBuf2List, with encoding (for example "UTF-8" or
 * "ISO-8859-1") given to the parser as the input encoding; it overrides the
 * document's declaration. A null encoding leaves the choice to the document. */
KX_RC GM_XML_ParseBuf2ListByEncoding(const char *buffer, const char *ParentElem,
                                     PEXLIST_handle_typ *list, const char *encoding);

/* Length of the text in xmlbuf: strlen, or the kept end of a document that a
 * GmXmlDocument scope covers. */
size_t GM_xml_length(const char *xmlbuf);

#ifdef __cplusplus
}

/* While one lives, the writer keeps the end of xmlbuf instead of measuring
 * the whole text at every append, so a document grows in linear time.
 * REQUIRES: during the scope nothing but the writer calls above changes
 * xmlbuf's text (reading it is fine). Scopes nest; one thread each. */
struct GmXmlDocument {
  explicit GmXmlDocument(char *xmlbuf);
  ~GmXmlDocument();
  GmXmlDocument(const GmXmlDocument &) = delete;
  GmXmlDocument &operator=(const GmXmlDocument &) = delete;

  const char *buffer;
  size_t length; /* of the text, terminator not counted */
  GmXmlDocument *outer;
};
#endif

#endif /* BE_HADOOP_XML_GM_XML_H */
