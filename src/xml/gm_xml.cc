// gm_xml.cc - XML writer (plain appending of escaped text) and the two Expat
// readers (element search, leaf list).

#include "gm_xml.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <stdint.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <type_traits>

#include "gm_param.h"
#include "os_diag.h"
#include "pexlist.h"

static_assert(std::is_same<XML_Char, char>::value,
              "the reader hands Expat's names and texts on as plain char strings");

extern "C" {
int GM_XML_StartParentElem = 0;
int GM_XML_StartElementAfterParent = 0;
int GM_XML_StartParentElementForList = 0;
}

namespace {

const char kRootElem[] = "TWBKX";
const char kDeclUtf8[] = "<?xml version='1.0' encoding='UTF-8'?>";
const char kDeclLatin1[] = "<?xml version='1.0' encoding='iso-8859-1'?>";

// ---------------------------------------------------------------- writing

enum class Escape {
  kCharacterData,  // the text's own length bounds it
  kAttributeValue, // pairs form: apostrophe-delimited by us
  kAttributeString // ready-made a='1' b='2': the caller's delimiters stay
};

// Escapes len bytes of src (stopping at byte 0 or 1 in the attribute forms)
// into out, which may be null to only count. Returns the bytes produced; out
// is not terminated.
// Bytes the escape has to look at; every other byte is copied as it is, a
// run of them at a time.
struct EscapedBytes {
  bool is[256] = {};
  constexpr EscapedBytes() {
    constexpr unsigned char kBytes[] = {0, 1, 9, 10, 13, '"', '&', '<', '>', '\''};
    for (unsigned char c : kBytes) is[c] = true;
  }
};
constexpr EscapedBytes kEscaped;

size_t escape(const char* src, size_t len, Escape form, char* out) {
  size_t n = 0;
  auto put = [&](const char* s, size_t k) {
    if (out != nullptr) memcpy(out + n, s, k);
    n += k;
  };
  for (size_t i = 0; i < len; ++i) {
    size_t run = i;
    while (run < len && !kEscaped.is[static_cast<unsigned char>(src[run])]) ++run;
    if (run > i) {
      put(src + i, run - i);
      i = run;
      if (i == len) break;
    }
    const char c = src[i];
    if (form != Escape::kCharacterData && (c == 0 || c == 1)) break;
    switch (c) {
      case 9:
        put("&#9;", 4);
        break;
      case 10:
        put("&#10;", 5);
        break;
      case 13:
        put("&#13;", 5);
        break;
      case '"':
        if (form == Escape::kAttributeString)
          put(&src[i], 1);
        else
          put("&quot;", 6);
        break;
      case '&':
        put("&amp;", 5);
        break;
      case '<':
        put("&lt;", 4);
        break;
      case '>':
        put("&gt;", 4);
        break;
      case '\'':
        // An apostrophe inside an apostrophe-delimited value would end it.
        if (form == Escape::kAttributeValue)
          put("&#39;", 5);
        else
          put(&src[i], 1);
        break;
      case 0:
        // A NUL-terminated buffer cannot carry it.
        break;
      default:  // byte 1 in character data
        put(&src[i], 1);
        break;
    }
  }
  return n;
}

// The documents whose end the writer keeps, innermost first.
using KeptDocument = GmXmlDocument;
thread_local KeptDocument* kept_document = nullptr;

KeptDocument* kept(const char* xmlbuf) {
  for (KeptDocument* d = kept_document; d != nullptr; d = d->outer)
    if (d->buffer == xmlbuf) return d;
  return nullptr;
}

size_t length_of(const char* xmlbuf) {
  const KeptDocument* d = kept(xmlbuf);
  return d != nullptr ? d->length : strlen(xmlbuf);
}

// The end of xmlbuf for a run of appends: found once (kept or measured),
// moved by each append, and handed back to a kept document at the end.
class Cursor {
 public:
  explicit Cursor(char* xmlbuf)
      : doc_(kept(xmlbuf)),
        start_(xmlbuf),
        end_(xmlbuf + (doc_ != nullptr ? doc_->length : strlen(xmlbuf))) {}
  ~Cursor() {
    if (doc_ != nullptr) doc_->length = length();
  }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  void raw(const char* text) {
    if (text == nullptr) return;
    const size_t n = strlen(text);
    memcpy(end_, text, n + 1);
    end_ += n;
  }
  // Appends the escaped text and terminates it.
  void escaped(const char* src, size_t len, Escape form) {
    end_ += escape(src, len, form, end_);
    *end_ = '\0';
  }
  size_t length() const { return static_cast<size_t>(end_ - start_); }

 private:
  KeptDocument* doc_;
  char* start_;
  char* end_;
};

void append_raw(char* xmlbuf, const char* text) { Cursor(xmlbuf).raw(text); }

const char* or_empty(const char* s) { return s != nullptr ? s : ""; }

// ---------------------------------------------------------------- reading

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer<XML_Parser>::type, ParserFree>;

// Expat salts its hash tables against crafted names; left alone, every
// parser asks the kernel for fresh random bytes. One salt drawn for the
// process keeps that protection without a system call per parse.
unsigned long hash_salt() {
  static const unsigned long salt = [] {
    unsigned long s = 0;
    if (getrandom(&s, sizeof s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof s)) {
      s = static_cast<unsigned long>(time(nullptr)) ^ (static_cast<unsigned long>(getpid()) << 16) ^
          reinterpret_cast<uintptr_t>(&s);
    }
    return s != 0 ? s : 1UL;  // 0 would make Expat draw its own
  }();
  return salt;
}

XML_Parser create_parser(const char* encoding) {
  XML_Parser p = XML_ParserCreate(encoding);
  if (p != nullptr) XML_SetHashSalt(p, hash_salt());
  return p;
}

// Copies at most cap - 1 bytes of src (NUL-terminated) into dst, terminated.
void bounded_copy(char* dst, size_t cap, const char* src) {
  size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// Working state of the element search.
struct SearchState {
  char element[GM_XML_SEARCH_NAME_MAX + 1];
  char parent[GM_XML_SEARCH_NAME_MAX + 1];
  char* value;
  char* attr_name;
  char* attr_value;
  size_t value_len;
};
SearchState g_search;

void reset_search() {
  GM_XML_StartParentElem = 0;
  GM_XML_StartElementAfterParent = 0;
  g_search.element[0] = '\0';
  g_search.parent[0] = '\0';
  g_search.value = nullptr;
  g_search.attr_name = nullptr;
  g_search.attr_value = nullptr;
  g_search.value_len = 0;
}

// Working state of the list building. The name area keeps 63 characters but
// name_len counts the whole name, so an over-long name is still seen as such;
// the text area likewise keeps what fits and text_len counts everything.
struct ListState {
  char parent[GM_XML_SEARCH_NAME_MAX + 1];
  PEXLIST_handle_typ* list;
  char name[GM_XML_ROW_KEY_SIZE];
  size_t name_len;
  bool have_name;
  char text[GM_XML_TEXT_AREA_SIZE];
  size_t text_len;
  bool over_length;
  bool store_failed;
};
ListState g_list;

void reset_list() {
  GM_XML_StartParentElementForList = 0;
  g_list.parent[0] = '\0';
  g_list.list = nullptr;
  g_list.name[0] = '\0';
  g_list.name_len = 0;
  g_list.have_name = false;
  g_list.text[0] = '\0';
  g_list.text_len = 0;
  g_list.over_length = false;
  g_list.store_failed = false;
}

int clamp_int(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

// Feeds the whole text to Expat as one final document (in pieces only when it
// is longer than an int can count).
bool parse_all(XML_Parser parser, const char* buffer) {
  const char* text = or_empty(buffer);
  size_t left = strlen(text);
  const size_t kPiece = static_cast<size_t>(INT_MAX / 2);
  do {
    size_t n = left > kPiece ? kPiece : left;
    left -= n;
    if (XML_Parse(parser, text, static_cast<int>(n), left == 0 ? 1 : 0) == XML_STATUS_ERROR)
      return false;
    text += n;
  } while (left > 0);
  return true;
}

// Why the last parse of either reader failed, for callers that explain the
// failure to someone who cannot read the process log; empty when it did not.
char g_last_parse_error[128];

void report_parse_error(XML_Parser parser) {
  const int line = static_cast<int>(XML_GetCurrentLineNumber(parser));
  const char* reason = XML_ErrorString(XML_GetErrorCode(parser));
  DIAG_ERROR("Parse error at line %d:\n%s\n", line, reason);
  snprintf(g_last_parse_error, sizeof g_last_parse_error, "line %d: %s", line, or_empty(reason));
}

void XMLCALL search_start(void*, const XML_Char* name, const XML_Char** atts) {
  DIAG_TRACE(5, "%s: elem - '%s'", "GM_XML_ActOnStart", name);
  if (GM_XML_StartParentElem && strcmp(name, g_search.element) == 0) {
    GM_XML_StartElementAfterParent = 1;
    g_search.value_len = 0;
    if (g_search.value != nullptr) g_search.value[0] = '\0';
    for (int i = 0; atts != nullptr && atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
      if (g_search.attr_name != nullptr)
        bounded_copy(g_search.attr_name, GM_XML_OUTPUT_SIZE, atts[i]);
      if (g_search.attr_value != nullptr)
        bounded_copy(g_search.attr_value, GM_XML_OUTPUT_SIZE, atts[i + 1]);
    }
  }
  if (strcmp(name, g_search.parent) == 0) GM_XML_StartParentElem = 1;
}

void XMLCALL search_text(void*, const XML_Char* s, int len) {
  DIAG_TRACE(5, "%s: input text(%d)='%-.*s'", "GM_XML_ActOnCharacterData", len, len, s);
  if (!GM_XML_StartParentElem || !GM_XML_StartElementAfterParent || g_search.value == nullptr)
    return;
  size_t room = GM_XML_OUTPUT_SIZE - 1 - g_search.value_len;
  size_t n = static_cast<size_t>(len) < room ? static_cast<size_t>(len) : room;
  memcpy(g_search.value + g_search.value_len, s, n);
  g_search.value_len += n;
  g_search.value[g_search.value_len] = '\0';
}

void XMLCALL search_end(void*, const XML_Char* name) {
  DIAG_TRACE(5, "%s: elem - '%s'", "GM_XML_ActOnEnd", name);
  if (strcmp(name, g_search.parent) == 0)
    GM_XML_StartParentElem = 0;
  else if (GM_XML_StartParentElem && strcmp(name, g_search.element) == 0)
    GM_XML_StartElementAfterParent = 0;
}

void XMLCALL list_start(void*, const XML_Char* name, const XML_Char**) {
  DIAG_TRACE(5, "%s: elem - '%s'", "GM_XML_ActOnStartForList", name);
  if (GM_XML_StartParentElementForList) {
    g_list.name_len = strlen(name);
    bounded_copy(g_list.name, sizeof g_list.name, name);
    g_list.have_name = true;
  }
  if (strcmp(name, g_list.parent) == 0) GM_XML_StartParentElementForList = 1;
  g_list.text_len = 0;
  g_list.text[0] = '\0';
}

void XMLCALL list_text(void*, const XML_Char* s, int len) {
  DIAG_TRACE(5, "%s: input text(%d)='%-.*s'", "GM_XML_ActOnCharacterDataForList", len, len, s);
  if (!GM_XML_StartParentElementForList || len <= 0) return;
  size_t stored = g_list.text_len < sizeof g_list.text - 1 ? g_list.text_len : sizeof g_list.text - 1;
  size_t room = sizeof g_list.text - 1 - stored;
  size_t n = static_cast<size_t>(len) < room ? static_cast<size_t>(len) : room;
  memcpy(g_list.text + stored, s, n);
  g_list.text[stored + n] = '\0';
  g_list.text_len += static_cast<size_t>(len);
}

void XMLCALL list_end(void*, const XML_Char* name) {
  DIAG_TRACE(5, "%s: elem - '%s'", "GM_XML_ActOnEndForList", name);
  g_list.over_length = false;
  if (strcmp(name, g_list.parent) == 0) {
    GM_XML_StartParentElementForList = 0;
    return;
  }
  if (!GM_XML_StartParentElementForList) return;
  if (g_list.have_name && g_list.name_len >= GM_XML_ROW_KEY_SIZE) {
    DIAG_ERROR("xml element name too long: %d", clamp_int(g_list.name_len));
    g_list.over_length = true;
  }
  if (g_list.text_len > GM_XML_ROW_VALUE_MAX) {
    DIAG_ERROR("xml element value too long: %d", clamp_int(g_list.text_len));
    g_list.over_length = true;
  }
  // The name and text stay as they are, so each enclosing end tag reports
  // the same over-long leaf again and makes no row either.
  if (g_list.over_length) return;
  if (!g_list.have_name) return;  // end of an element with children

  char row[GM_XML_ROW_KEY_SIZE + GM_XML_ROW_VALUE_MAX + 1];
  memset(row, 0, GM_XML_ROW_KEY_SIZE);
  memcpy(row, g_list.name, g_list.name_len + 1);
  memcpy(row + GM_XML_ROW_KEY_SIZE, g_list.text, g_list.text_len + 1);
  unsigned size = static_cast<unsigned>(GM_XML_ROW_KEY_SIZE + g_list.text_len + 1);
  if (PEXLIST_append(g_list.list, row, size) != KX_SUCCESS) {
    DIAG_ERROR("%s: failed to store element '%s'", "GM_XML_ActOnEndForList", g_list.name);
    g_list.store_failed = true;
  }
  g_list.have_name = false;
  g_list.name[0] = '\0';
  g_list.name_len = 0;
}

// Clears the working state when a parse is over, whichever way it ends, so
// that the exported flags never carry one document's position into the next.
struct SearchScope {
  SearchScope() { reset_search(); }
  ~SearchScope() { reset_search(); }
};
struct ListScope {
  ListScope() { reset_list(); }
  ~ListScope() { reset_list(); }
};

bool name_fits(const char* fnc, const char* name, size_t max) {
  size_t n = strlen(name);
  if (n <= max) return true;
  DIAG_ERROR("%s: element name too long: %d", fnc, clamp_int(n));
  return false;
}

KX_RC parse_to_list(const char* fnc, const char* buffer, const char* ParentElem,
                    PEXLIST_handle_typ* list, const char* encoding) {
  ParserPtr parser(create_parser(encoding));
  if (!parser) return KX_FAIL;
  DIAG_TRACE(4, "%s", fnc);
  if (list == nullptr || ParentElem == nullptr) {
    DIAG_ERROR("%s: ERROR!!! Can not process. The list or the parent element is NULL", fnc);
    return KX_FAIL;
  }
  if (!name_fits(fnc, ParentElem, GM_XML_SEARCH_NAME_MAX)) return KX_FAIL;

  ListScope scope;
  g_last_parse_error[0] = '\0';
  g_list.list = list;
  if (PEXLIST_init(list) != KX_SUCCESS) return KX_FAIL;
  bounded_copy(g_list.parent, sizeof g_list.parent, ParentElem);
  XML_SetElementHandler(parser.get(), list_start, list_end);
  XML_SetCharacterDataHandler(parser.get(), list_text);

  KX_RC rc = KX_SUCCESS;
  if (!parse_all(parser.get(), buffer)) {
    report_parse_error(parser.get());
    rc = KX_FAIL;
  }
  if (g_list.over_length || g_list.store_failed) rc = KX_FAIL;
  return rc;
}

KX_RC parse_by_parent(const char* buffer, const char* Element, const char* ParentElem,
                      char* ElemValue, char* AttrName, char* AttrValue) {
  static const char kFnc[] = "GM_XML_ParseByParentElement";
  ParserPtr parser(create_parser(nullptr));
  if (!parser) {
    DIAG_ERROR("%s: failed to create parser", kFnc);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "%s", kFnc);
  if (Element == nullptr || ParentElem == nullptr) {
    DIAG_ERROR("%s: ERROR!!! Can not process. The element or the parent element is NULL", kFnc);
    return KX_FAIL;
  }
  if (!name_fits(kFnc, Element, GM_XML_SEARCH_NAME_MAX) ||
      !name_fits(kFnc, ParentElem, GM_XML_SEARCH_NAME_MAX))
    return KX_FAIL;

  SearchScope scope;
  g_last_parse_error[0] = '\0';
  bounded_copy(g_search.element, sizeof g_search.element, Element);
  bounded_copy(g_search.parent, sizeof g_search.parent, ParentElem);
  g_search.value = ElemValue;
  g_search.attr_name = AttrName;
  g_search.attr_value = AttrValue;
  XML_SetElementHandler(parser.get(), search_start, search_end);
  XML_SetCharacterDataHandler(parser.get(), search_text);

  if (!parse_all(parser.get(), buffer)) {
    report_parse_error(parser.get());
    return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC parse_in(const char* fnc, const char* parent, const char* buffer, const char* Element,
               char* ElemValue, char* AttrName, char* AttrValue) {
  if (ElemValue == nullptr || AttrName == nullptr || AttrValue == nullptr) {
    DIAG_ERROR("%s: ERROR!!! Can not process. One of the output elements is NULL", fnc);
    return KX_FAIL;
  }
  // The buffers are the caller's; they may hold anything, so the trace reads
  // no further than their size.
  DIAG_TRACE(4, "%s: Element - '%s'   Value - '%.2047s'   Attriute - '%.2047s'   Attr Value - '%.2047s'",
             fnc, or_empty(Element), ElemValue, AttrName, AttrValue);
  return parse_by_parent(buffer, Element, parent, ElemValue, AttrName, AttrValue);
}

}  // namespace

// The writer's pieces on a cursor, with the trace lines of the calls they
// stand for, so that an element is written with one look for its document.
void write_character_data(Cursor& at, const XML_Char* ElemVal, int len) {
  static const char kFnc[] = "GM_xml_writeCharacterData";
  DIAG_TRACE(5, "%s: Current XML buffer length = %d, Adding element with length %d", kFnc,
             clamp_int(at.length()), len);
  if (ElemVal != nullptr && len > 0)
    at.escaped(ElemVal, static_cast<size_t>(len), Escape::kCharacterData);
  DIAG_TRACE(5, "%s: New XML buffer length = %d", kFnc, clamp_int(at.length()));
}

void write_attribute_value(Cursor& at, const XML_Char* AttrVal) {
  DIAG_TRACE(5, "GM_xml_writeAttributeValue");
  const char* v = or_empty(AttrVal);
  at.raw("='");
  at.escaped(v, strlen(v), Escape::kAttributeValue);
  at.raw("'");
}

void write_attributes(Cursor& at, const XML_Char* AttrStr) {
  DIAG_TRACE(5, "GM_xml_writeAttributes");
  const char* a = or_empty(AttrStr);
  at.escaped(a, strlen(a), Escape::kAttributeString);
}

void write_start_elem(Cursor& at, const XML_Char* ElemName, const XML_Char* ElemAttributes) {
  DIAG_TRACE(5, "GM_xml_writeStartElemWithStringAttributes");
  at.raw("<");
  at.raw(ElemName);
  if (ElemAttributes != nullptr) {
    at.raw(" ");
    write_attributes(at, ElemAttributes);
  }
  at.raw(">");
}

void write_end_elem(Cursor& at, const XML_Char* ElemName) {
  DIAG_TRACE(5, "GM_xml_writeEndElem");
  at.raw("</");
  at.raw(ElemName);
  at.raw(">");
}

// ---------------------------------------------------------------- writer API

extern "C" {

void GM_xml_writeHeader(char* xmlbuf, const XML_Char* xmlHeader) {
  DIAG_TRACE(4, "GM_xml_writeHeader");
  append_raw(xmlbuf, xmlHeader);
}

void GM_xml_writeCharacterData(char* xmlbuf, const XML_Char* ElemVal, int len) {
  Cursor at(xmlbuf);
  write_character_data(at, ElemVal, len);
}

size_t GM_xml_characterDataLength(const XML_Char* ElemVal, int len) {
  if (ElemVal == nullptr || len <= 0) return 0;
  return escape(ElemVal, static_cast<size_t>(len), Escape::kCharacterData, nullptr);
}

long GM_xml_unwritable_offset(const char* text, size_t len, int utf8) {
  if (text == nullptr) return -1;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < len) {
    // Printable ASCII, the bulk of any text, needs no closer look.
    while (i < len && p[i] >= 0x20 && p[i] < 0x80) ++i;
    if (i == len) break;
    const unsigned b = p[i];
    if (b < 0x80 || !utf8) {
      // Below 0x20 only tab, line feed and carriage return are characters;
      // a single-byte code page maps every byte above to one that is.
      if (b < 0x20 && b != 0x09 && b != 0x0A && b != 0x0D) return static_cast<long>(i);
      ++i;
      continue;
    }
    size_t n;
    unsigned cp;
    if (b >= 0xC2 && b <= 0xDF) {
      n = 2;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4;
      cp = b & 0x07;
    } else {
      return static_cast<long>(i);  // a continuation byte, C0/C1 or F5-FF
    }
    if (len - i < n) return static_cast<long>(i);
    for (size_t k = 1; k < n; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return static_cast<long>(i);
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (overlong || surrogate || cp == 0xFFFE || cp == 0xFFFF || cp > 0x10FFFF)
      return static_cast<long>(i);
    i += n;
  }
  return -1;
}

void GM_xml_writeAttributeValue(char* xmlbuf, const XML_Char* AttrVal) {
  Cursor at(xmlbuf);
  write_attribute_value(at, AttrVal);
}

void GM_xml_writeAttributes(char* xmlbuf, const XML_Char* AttrStr) {
  Cursor at(xmlbuf);
  write_attributes(at, AttrStr);
}

void GM_xml_writeStartElem(char* xmlbuf, const XML_Char* ElemName, XML_Char** ElemAttributes) {
  DIAG_TRACE(4, "GM_xml_writeStartElem");
  Cursor at(xmlbuf);
  at.raw("<");
  at.raw(ElemName);
  for (int i = 0; ElemAttributes != nullptr && ElemAttributes[i] != nullptr; i += 2) {
    at.raw(" ");
    at.raw(ElemAttributes[i]);
    write_attribute_value(at, ElemAttributes[i + 1]);
    if (ElemAttributes[i + 1] == nullptr) break;
  }
  at.raw(">");
}

void GM_xml_writeStartElemWithStringAttributes(char* xmlbuf, const XML_Char* ElemName,
                                               const XML_Char* ElemAttributes) {
  Cursor at(xmlbuf);
  write_start_elem(at, ElemName, ElemAttributes);
}

void GM_xml_writeEndElem(char* xmlbuf, const XML_Char* ElemName) {
  Cursor at(xmlbuf);
  write_end_elem(at, ElemName);
}

KX_RC GM_XML_BufInit(char* xmlbuf) {
  DIAG_TRACE(4, "GM_XML_BufInit");
  GM_xml_writeHeader(xmlbuf, isI18nDefined() ? kDeclUtf8 : kDeclLatin1);
  GM_xml_writeStartElem(xmlbuf, kRootElem, nullptr);
  DIAG_TRACE(6, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

KX_RC GM_XML_StartParentElement(char* xmlbuf, const char* ParentElemName,
                                const char* ElemAttributes) {
  DIAG_TRACE(5, "%s: parent element - '%s'", "GM_XML_StartParentElement", or_empty(ParentElemName));
  GM_xml_writeStartElemWithStringAttributes(xmlbuf, ParentElemName, ElemAttributes);
  DIAG_TRACE(6, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

KX_RC GM_XML_WriteElement(char* xmlbuf, const char* ElemName, const char* ElemVal,
                          const char* ElemAttributes) {
  const char* value = or_empty(ElemVal);
  DIAG_TRACE(5, "%s: element - '%s'   value - '%s'", "GM_XML_WriteElement", or_empty(ElemName),
             value);
  {
    Cursor at(xmlbuf);
    write_start_elem(at, ElemName, ElemAttributes);
    size_t len = strlen(value);
    if (len > 0) {
      // Values longer than an int can count are written in int-sized pieces.
      const size_t kPiece = static_cast<size_t>(INT_MAX / 2);
      for (size_t done = 0; done < len;) {
        size_t n = len - done > kPiece ? kPiece : len - done;
        write_character_data(at, value + done, static_cast<int>(n));
        done += n;
      }
    }
    write_end_elem(at, ElemName);
  }
  DIAG_TRACE(6, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

KX_RC GM_XML_CloseParentElement(char* xmlbuf, const char* ParentElemName) {
  DIAG_TRACE(5, "%s: parent element - '%s'", "GM_XML_CloseParentElement", or_empty(ParentElemName));
  GM_xml_writeEndElem(xmlbuf, ParentElemName);
  DIAG_TRACE(6, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

KX_RC GM_XML_BufEnd(char* xmlbuf) {
  DIAG_TRACE(4, "GM_XML_BufEnd");
  GM_xml_writeEndElem(xmlbuf, kRootElem);
  DIAG_TRACE(5, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

KX_RC GM_XML_DuplicateParentElement(const char* source_xmlbuf, char* destination_xmlbuf,
                                    const char* ElemName) {
  static const char kFnc[] = "GM_XML_DuplicateParentElement";
  DIAG_TRACE(4, "%s", kFnc);
  if (source_xmlbuf == nullptr || destination_xmlbuf == nullptr || ElemName == nullptr) {
    DIAG_ERROR("%s: ERROR!!! Can not process. One of the arguments is NULL", kFnc);
    return KX_FAIL;
  }
  if (!name_fits(kFnc, ElemName, GM_XML_COPY_NAME_MAX)) return KX_FAIL;

  const size_t src_len = strlen(source_xmlbuf);
  std::unique_ptr<char, decltype(&free)> work(static_cast<char*>(calloc(src_len + 1, 1)), &free);
  DIAG_TRACE(6, "malloc/calloc #1 in GM_XML_DuplicateParentElement : %x", DIAG_ADDR(work.get()));
  if (!work) {
    DIAG_ERROR("calloc failed for DuplicateParentElement");
    return KX_FAIL;
  }

  char start_tag[64];
  char end_tag[64];
  snprintf(start_tag, sizeof start_tag, "<%s>", ElemName);
  snprintf(end_tag, sizeof end_tag, "</%s>", ElemName);
  const char* start = strstr(source_xmlbuf, start_tag);
  // The end tag is looked for after the start tag: an earlier one belongs to
  // some other element and would leave a lone end tag in the destination.
  const char* end = start != nullptr ? strstr(start, end_tag) : nullptr;
  if (start != nullptr && end != nullptr) {
    const size_t body = static_cast<size_t>(end - start);
    const size_t end_len = strlen(end_tag);
    memcpy(work.get(), start, body);
    memcpy(work.get() + body, end_tag, end_len + 1);  // within the source's length
    DIAG_TRACE(4, "DuplicateParentElement: %s\n", work.get());
    append_raw(destination_xmlbuf, work.get());
  } else {
    DIAG_TRACE(1, "Found nothing to duplicate");
  }
  DIAG_TRACE(6, "free #1 in GM_XML_DuplicateParentElement : %x", DIAG_ADDR(work.get()));
  return KX_SUCCESS;
}

// ---------------------------------------------------------------- reader API

KX_RC GM_XML_ParseByParentElement(const char* buffer, const char* Element, const char* ParentElem,
                                  char* ElemValue, char* AttrName, char* AttrValue) {
  return parse_by_parent(buffer, Element, ParentElem, ElemValue, AttrName, AttrValue);
}

KX_RC GM_XML_ParseHeader(const char* buffer, const char* Element, char* ElemValue, char* AttrName,
                         char* AttrValue) {
  return parse_in("GM_XML_ParseHeader", "HEADER", buffer, Element, ElemValue, AttrName, AttrValue);
}

KX_RC GM_XML_ParseBody(const char* buffer, const char* Element, char* ElemValue, char* AttrName,
                       char* AttrValue) {
  return parse_in("GM_XML_ParseBody", "BODY", buffer, Element, ElemValue, AttrName, AttrValue);
}

const char* GM_XML_LastParseError(void) { return g_last_parse_error; }

KX_RC GM_XML_ParseBuf2List(const char* buffer, const char* ParentElem, PEXLIST_handle_typ* list) {
  return parse_to_list("GM_XML_ParseBuf2List", buffer, ParentElem, list, nullptr);
}

KX_RC GM_XML_ParseBuf2ListByEncoding(const char* buffer, const char* ParentElem,
                                     PEXLIST_handle_typ* list, const char* encoding) {
  return parse_to_list("GM_XML_ParseBuf2ListByEncoding", buffer, ParentElem, list, encoding);
}

size_t GM_xml_length(const char* xmlbuf) { return length_of(xmlbuf); }

}  // extern "C"

GmXmlDocument::GmXmlDocument(char* xmlbuf)
    : buffer(xmlbuf), length(strlen(xmlbuf)), outer(kept_document) {
  kept_document = this;
}

GmXmlDocument::~GmXmlDocument() { kept_document = outer; }

extern "C" int isI18nDefined(void) {
  DIAG_TRACE(4, "isI18nDefined");
  GM_PARAM_VALUE_typ value;
  value[0] = '\0';
  return GM_PARAM_get("CONFIG", "I18N", value) == KX_SUCCESS && strcmp(value, "CJK") == 0;
}
