// be_requests.cc - request documents: frame, header and the bodies of the
// three request kinds, written straight into one preallocated buffer.
#include "be_requests.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <string>

#include "gm_param.h"
#include "gm_xml.h"
#include "os_diag.h"

namespace {

const char kDeclaration[] = "<?xml version='1.0' encoding='UTF-8'?>";
const char kRoot[] = "TWBKX";
const char kHeader[] = "HEADER";
const char kBody[] = "BODY";

const char* or_empty(const char* s) { return s != nullptr ? s : ""; }

// The bound of the document toXml is building. writeHeader and writeBody
// keep the signatures every request kind shares (a bare char*), so the size
// of toXml's buffer travels beside them: while toXml runs, elements appended
// to exactly that buffer are checked against it; a buffer someone else
// passes is the caller's to size. `reserve` keeps room for the end tags toXml
// still has to write after the current phase.
//
// Besides the room, toXml's document is kept well-formed: a text holding a
// byte that XML 1.0 cannot carry (a control character, or in I18N mode a
// byte that is not UTF-8) refuses the request, as a document that does not
// fit does. Either refusal stops all writing to that document; the elements
// after an overflow are still measured, so the refusal can say how long the
// document would have been.
struct DocumentBound {
  const char* buffer;
  size_t capacity;  // terminator included
  size_t reserve;
  bool utf8;        // the agent's text is UTF-8 (I18N mode), else Latin-1
  bool overflow;
  size_t left_out;          // bytes of the elements not written after an overflow
  char failed_element[80];  // first element that did not fit
  bool unwritable;
  char unwritable_what[PEX_ERROR_TEXT_SIZE / 2];  // what held the byte, and where
  DocumentBound* outer;     // a toXml running further up the stack
};

thread_local DocumentBound* current_bound = nullptr;

size_t tag_pair_length(const char* name) { return 2 * strlen(name) + 5; }  // <n></n>

// Bytes an element takes once written, counted without the int-sized
// counter of the writer for texts it could not take.
size_t element_length(const char* name, const char* value, size_t value_len) {
  if (value_len > static_cast<size_t>(INT_MAX)) return tag_pair_length(name) + 6 * value_len;
  return tag_pair_length(name) + GM_xml_characterDataLength(value, static_cast<int>(value_len));
}

// Appends one element unless it would overrun the bounded document or carry
// a byte XML cannot; after a refusal nothing more is appended to that
// document, so a refused request is never half-written. `what()` names the
// text for a refusal ("the value of attribute 'X'"); it is called only then.
// Returns whether the element was written.
template <typename Describe>
bool append_element(char* out, const char* name, const char* value, const Describe& what) {
  value = or_empty(value);
  DocumentBound* bound = current_bound;
  if (bound != nullptr && bound->buffer == out) {
    const size_t value_len = strlen(value);
    if (bound->overflow || bound->unwritable) {
      bound->left_out += element_length(name, value, value_len);
      return false;
    }
    for (const char* text : {name, value}) {
      const long bad = GM_xml_unwritable_offset(text, strlen(text), bound->utf8);
      if (bad < 0) continue;
      bound->unwritable = true;
      snprintf(bound->unwritable_what, sizeof bound->unwritable_what,
               "%s holds the byte 0x%02X at offset %ld",
               text == name ? "an element name" : std::string(what()).c_str(),
               static_cast<unsigned>(static_cast<unsigned char>(text[bad])), bad);
      return false;
    }
    const size_t used = GM_xml_length(out);
    const size_t limit = bound->capacity - 1 - bound->reserve;
    // Escaping never shrinks a text, so a raw value already over the limit
    // is refused before its length is handed to the int-sized counter.
    bool fits = used + tag_pair_length(name) + value_len <= limit;
    if (fits) fits = used + element_length(name, value, value_len) <= limit;
    if (!fits) {
      bound->overflow = true;
      bound->left_out += element_length(name, value, value_len);
      snprintf(bound->failed_element, sizeof bound->failed_element, "%s", name);
      return false;
    }
  }
  GM_XML_WriteElement(out, name, value, nullptr);
  return true;
}

template <typename Describe>
void append_body_element(char* out, const char* name, const char* value, const Describe& what) {
  if (append_element(out, name, value, what))
    DIAG_TRACE(4, "Added xml element '%s' with value '%s' to request body", name,
               or_empty(value));
}

void append_body_element(char* out, const char* name, const char* value) {
  append_body_element(out, name, value, [name] { return std::string("the value of ") + name; });
}

// ASCII only: which bytes above 127 may stand in a name depends on the code
// page and on the character (U+00D7 may not, U+00E9 may), and a key that is
// not certain to be a name travels as text, where every character may.
bool is_name_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}

bool is_name_char(unsigned char c) {
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// A key that could not stand as a tag name ('%' and '$' above all, but also
// an empty key or one with blanks or markup characters) would make the
// document ill-formed or let a key inject markup; such keys travel as text.
bool usable_element_name(const char* key) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(key);
  if (!is_name_start(*p)) return false;
  for (++p; *p != '\0'; ++p)
    if (!is_name_char(*p)) return false;
  return true;
}

}  // namespace

extern "C" KX_RC BE_INF_XML_BufInit(char* xmlbuf) {
  if (xmlbuf == nullptr) {
    DIAG_ERROR("%s: null xml buffer", "BE_INF_XML_BufInit");
    return KX_FAIL;
  }
  GM_xml_writeHeader(xmlbuf, kDeclaration);
  GM_xml_writeStartElem(xmlbuf, kRoot, nullptr);
  DIAG_TRACE(4, "xml buffer: %s\n", xmlbuf);
  return KX_SUCCESS;
}

// ------------------------------------------------------------- base class

RequestGeneratorInterface::RequestGeneratorInterface() : m_Action("DUMMY_ACTION"), m_refusal{} {
  DIAG_TRACE(4, "%s: ", "RequestGeneratorInterface::RequestGeneratorInterface");
}

RequestGeneratorInterface::~RequestGeneratorInterface() = default;

void RequestGeneratorInterface::writeHeader(char* outStr) {
  DIAG_TRACE(4, "%s: ", "RequestGeneratorInterface::writeHeader");
  append_element(outStr, "ACTION", m_Action, [] { return "the action name"; });
  DIAG_TRACE(4, "%s: return with value= %s ", "RequestGeneratorInterface::writeHeader", outStr);
}

char* RequestGeneratorInterface::toXml(bool excludeINFautoedit) {
  static const char kFnc[] = "RequestGeneratorInterface::toXml";
  m_refusal[0] = '\0';
  char* xml = static_cast<char*>(malloc(BE_REQUEST_XML_BUFFER_SIZE));
  if (xml == nullptr) {
    DIAG_ERROR("%s: fail to allocate memory for xml buffer", kFnc);
    snprintf(m_refusal, sizeof m_refusal, "no memory for the request document");
    return nullptr;
  }
  xml[0] = '\0';
  GmXmlDocument document(xml);

  // The opening and the HEADER/BODY start tags are a few dozen fixed bytes:
  // they always fit, so only elements are checked.
  DocumentBound bound{};
  bound.buffer = xml;
  bound.capacity = BE_REQUEST_XML_BUFFER_SIZE;
  bound.utf8 = isI18nDefined() != 0;
  bound.outer = current_bound;
  current_bound = &bound;

  BE_INF_XML_BufInit(xml);
  GM_XML_StartParentElement(xml, kHeader, nullptr);
  bound.reserve = strlen("</HEADER><BODY></BODY></TWBKX>");
  writeHeader(xml);
  GM_XML_CloseParentElement(xml, kHeader);
  GM_XML_StartParentElement(xml, kBody, nullptr);
  bound.reserve = strlen("</BODY></TWBKX>");
  writeBody(xml, excludeINFautoedit);
  current_bound = bound.outer;

  if (bound.unwritable) {
    // The action name itself may be what held the byte: it is not repeated.
    snprintf(m_refusal, sizeof m_refusal,
             "request document not sent: %s, which an XML 1.0 document cannot carry",
             bound.unwritable_what);
    DIAG_ERROR("%s: %s", kFnc, m_refusal);
    free(xml);
    return nullptr;
  }
  if (bound.overflow) {
    const size_t needed = GM_xml_length(xml) + bound.left_out + strlen("</BODY></TWBKX>");
    snprintf(m_refusal, sizeof m_refusal,
             "request document for action '%.200s' not sent: it needs %lu bytes, more than the "
             "%d that fit (element '%s' and those after it left out)",
             or_empty(m_Action), static_cast<unsigned long>(needed),
             BE_REQUEST_XML_BUFFER_SIZE - 1, bound.failed_element);
    DIAG_ERROR("%s: %s", kFnc, m_refusal);
    free(xml);
    return nullptr;
  }
  GM_XML_CloseParentElement(xml, kBody);
  GM_XML_BufEnd(xml);
  DIAG_TRACE(4, "%s: return with value= %s ", "RequestGeneratorInterface::toXml", xml);
  return xml;
}

void RequestGeneratorInterface::freeXmlBuffer(char* xmlBuff) {
  DIAG_TRACE(4, "%s: ", "RequestGeneratorInterface::freeXmlBuffer");
  free(xmlBuff);
}

// ---------------------------------------------------------- generic body

GenericRequest::GenericRequest(const char* action, const PEXAttrList* AttributesIn)
    : m_AttributesIn(AttributesIn) {
  DIAG_TRACE(4, "%s: ", "GenericRequest::GenericRequest");
  m_Action = action;
}

void GenericRequest::writeBody(char* outStr, bool excludeINFautoedit) {
  DIAG_TRACE(4, "%s: ", "GenericRequest::writeBody");
  int pairs = 0;
  const PEXAttrList* list = m_AttributesIn;
  const int count = (list != nullptr && list->Attributes != nullptr) ? list->Count : 0;
  for (int i = 0; i < count; ++i) {
    const char* key = list->Attributes[i].Name;
    const char* value = list->Attributes[i].Value;
    if (key == nullptr) continue;
    if (strncmp(key, "%%\\", 3) == 0) {
      DIAG_TRACE(4, "No need to pass on output autoedits <%s>", key);
      continue;
    }
    if (excludeINFautoedit && strncmp(key, "%%HDP-", 6) == 0) continue;
    if (strncmp(key, "%%", 2) == 0) {
      key += 2;
      DIAG_TRACE(4, "Truncated autoedit key to <%s>", key);
    }
    // A name holding a byte that cannot be written is not repeated in the
    // refusal: the agent finds the attribute by its place.
    const char* attribute = list->Attributes[i].Name;
    const auto value_of = [attribute] {
      return "the value of attribute '" + std::string(attribute) + "'";
    };
    if (usable_element_name(key)) {
      append_body_element(outStr, key, value, value_of);
    } else {
      ++pairs;
      char name[32];
      snprintf(name, sizeof name, "ZRT_ATTR_KEY_%d", pairs);
      append_body_element(outStr, name, key, [i] {
        return "the name of input attribute " + std::to_string(i + 1);
      });
      snprintf(name, sizeof name, "ZRT_ATTR_VAL_%d", pairs);
      append_body_element(outStr, name, value, value_of);
    }
  }

  // Read at every request so that a debug level raised in the agent's
  // configuration reaches the container with the next request.
  GM_PARAM_load("CONFIG", 0);
  GM_PARAM_VALUE_typ dbglvl = "0";
  GM_PARAM_get("CONFIG", "DBGLVL", dbglvl);
  append_body_element(outStr, "DBGLVL", dbglvl);
  DIAG_TRACE(4, "%s: return with value= %s ", "GenericRequest::writeBody", outStr);
}

// ------------------------------------------------------------ job submit

RequestJobSubmit::RequestJobSubmit(const char* action, PEXAttrList* AttributesIn,
                                   const char* tracker_event_port)
    : GenericRequest(action, AttributesIn), m_TrackerEventPort(tracker_event_port) {
  DIAG_TRACE(4, "%s: ", "RequestJobSubmit::RequestJobSubmit");
}

void RequestJobSubmit::writeBody(char* outStr, bool excludeINFautoedit) {
  DIAG_TRACE(4, "%s: ", "RequestJobSubmit::writeBody");
  GenericRequest::writeBody(outStr, excludeINFautoedit);
  append_body_element(outStr, "TRACKER_EVENT_PORT",
                      m_TrackerEventPort != nullptr ? m_TrackerEventPort : "-1");
  DIAG_TRACE(4, "%s: return with value= %s ", "RequestJobSubmit::writeBody", outStr);
}

// ----------------------------------------------------------- output read

RequestSysout::RequestSysout(const char* action, PEXAttrList* AttributesIn,
                             unsigned long offset, int size, int sizeStmt)
    : GenericRequest(action, AttributesIn), m_size(size), m_sizeStmt(sizeStmt), m_offset(offset) {
  DIAG_TRACE(4, "%s: ", "RequestSysout::RequestSysout");
}

void RequestSysout::writeBody(char* outStr, bool excludeINFautoedit) {
  DIAG_TRACE(4, "%s: ", "RequestSysout::writeBody");
  GenericRequest::writeBody(outStr, excludeINFautoedit);
  char number[32];
  snprintf(number, sizeof number, "%lu", m_offset);
  append_body_element(outStr, "SYSOUT_OFFSET", number);
  snprintf(number, sizeof number, "%d", m_size);
  append_body_element(outStr, "SYSOUT_BLOCK_SIZE", number);
  snprintf(number, sizeof number, "%d", m_sizeStmt);
  append_body_element(outStr, "SYSOUT_STMT_SIZE", number);
  DIAG_TRACE(4, "%s: return with value= %s ", "RequestSysout::writeBody", outStr);
}
