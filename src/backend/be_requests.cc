// be_requests.cc - request documents: frame, header and the bodies of the
// three request kinds, written straight into one preallocated buffer.
#include "be_requests.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
struct DocumentBound {
  const char* buffer;
  size_t capacity;  // terminator included
  size_t reserve;
  bool overflow;
  char failed_element[80];  // first element that did not fit
  DocumentBound* outer;     // a toXml running further up the stack
};

thread_local DocumentBound* current_bound = nullptr;

size_t tag_pair_length(const char* name) { return 2 * strlen(name) + 5; }  // <n></n>

// Appends one element unless it would overrun the bounded document; after a
// refusal nothing more is appended to that document, so a refused request is
// never half-written. Returns whether the element was written.
bool append_element(char* out, const char* name, const char* value) {
  value = or_empty(value);
  DocumentBound* bound = current_bound;
  if (bound != nullptr && bound->buffer == out) {
    if (bound->overflow) return false;
    const size_t used = strlen(out);
    const size_t value_len = strlen(value);
    const size_t limit = bound->capacity - 1 - bound->reserve;
    // Escaping never shrinks a text, so a raw value already over the limit
    // is refused before its length is handed to the int-sized counter.
    bool fits = used + tag_pair_length(name) + value_len <= limit;
    if (fits) {
      const size_t escaped = GM_xml_characterDataLength(value, static_cast<int>(value_len));
      fits = used + tag_pair_length(name) + escaped <= limit;
    }
    if (!fits) {
      bound->overflow = true;
      snprintf(bound->failed_element, sizeof bound->failed_element, "%s", name);
      return false;
    }
  }
  GM_XML_WriteElement(out, name, value, nullptr);
  return true;
}

void append_body_element(char* out, const char* name, const char* value) {
  if (append_element(out, name, value))
    DIAG_TRACE(4, "Added xml element '%s' with value '%s' to request body", name,
               or_empty(value));
}

bool is_name_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
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

RequestGeneratorInterface::RequestGeneratorInterface() : m_Action("DUMMY_ACTION") {
  DIAG_TRACE(4, "%s: ", "RequestGeneratorInterface::RequestGeneratorInterface");
}

RequestGeneratorInterface::~RequestGeneratorInterface() = default;

void RequestGeneratorInterface::writeHeader(char* outStr) {
  DIAG_TRACE(4, "%s: ", "RequestGeneratorInterface::writeHeader");
  append_element(outStr, "ACTION", m_Action);
  DIAG_TRACE(4, "%s: return with value= %s ", "RequestGeneratorInterface::writeHeader", outStr);
}

char* RequestGeneratorInterface::toXml(bool excludeINFautoedit) {
  char* xml = static_cast<char*>(malloc(BE_REQUEST_XML_BUFFER_SIZE));
  if (xml == nullptr) {
    DIAG_ERROR("%s: fail to allocate memory for xml buffer", "RequestGeneratorInterface::toXml");
    return nullptr;
  }
  xml[0] = '\0';

  // The opening and the HEADER/BODY start tags are a few dozen fixed bytes:
  // they always fit, so only elements are checked.
  DocumentBound bound{xml, BE_REQUEST_XML_BUFFER_SIZE, 0, false, "", current_bound};
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

  if (bound.overflow) {
    DIAG_ERROR("%s: request document for action '%s' does not fit in %d bytes "
               "(stopped at element '%s'), request refused",
               "RequestGeneratorInterface::toXml", or_empty(m_Action),
               BE_REQUEST_XML_BUFFER_SIZE, bound.failed_element);
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
    if (usable_element_name(key)) {
      append_body_element(outStr, key, value);
    } else {
      ++pairs;
      char name[32];
      snprintf(name, sizeof name, "ZRT_ATTR_KEY_%d", pairs);
      append_body_element(outStr, name, key);
      snprintf(name, sizeof name, "ZRT_ATTR_VAL_%d", pairs);
      append_body_element(outStr, name, value);
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
