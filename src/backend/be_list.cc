// be_list.cc - list requests: the agent's own request document passed
// through to the container, the answer handed back in chunks.
//
// The working buffers have a fixed room; what the agent's document needs
// there is measured before anything is copied, so a document that does not
// fit is refused instead of written past them.
#include "be_list.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "be_handler.h"
#include "be_remoting.h"
#include "be_requests.h"
#include "be_response.h"
#include "gm_param.h"
#include "gm_xml.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace {

using be_backend::guard_entry;

const char kAction[] = "PEXAPI_LIST_ACTION";
const char kOpen[] = "PEXAPI_LIST_DATA_OPEN";
const char kRead[] = "PEXAPI_LIST_DATA_READ";
const char kClose[] = "PEXAPI_LIST_DATA_CLOSE";
const char kText[] = "TEXT";
const char kHeader[] = "HEADER";
const char kBody[] = "BODY";
const char kBodyEnd[] = "</BODY>";
const char kDbglvl[] = "DBGLVL";
const char kRootEnd[] = "</TWBKX>";
const char kErrorStart[] = "<KXError><Code>1</Code><Message>";
const char kErrorEnd[] = "</Message></KXError>";
const PEXErrorCode kListErrorCode = 1;

// Room for either declaration of the XML writer and the root start tag.
const size_t kOpeningRoom = 128;
// The work buffer a chunk passes through on its way to the agent.
const size_t kChunkBufferSize = 1024;
static_assert(kChunkBufferSize > BE_LIST_CHUNK_SIZE, "a chunk and its terminator fit");

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

// Where the element copy of the XML writer finds an element: from the first
// plain start tag to the first end tag after it, end tag included. Kept in
// step with GM_XML_DuplicateParentElement, whose output is measured here.
struct Span {
  const char *start = nullptr;
  size_t len = 0;
};

Span find_element(const char *doc, const char *name) {
  const std::string start_tag = std::string("<") + name + ">";
  const std::string end_tag = std::string("</") + name + ">";
  Span span;
  const char *start = strstr(doc, start_tag.c_str());
  const char *end = start != nullptr ? strstr(start, end_tag.c_str()) : nullptr;
  if (end != nullptr) {
    span.start = start;
    span.len = static_cast<size_t>(end - start) + end_tag.size();
  }
  return span;
}

// Appends text to the NUL-terminated content of buf, whose room is cap bytes.
bool append_bounded(char *buf, size_t cap, const char *text) {
  const size_t used = strlen(buf);
  const size_t len = strlen(text);
  if (used + len + 1 > cap) return false;
  memcpy(buf + used, text, len + 1);
  return true;
}

PEXRC refuse_too_large(PEXError *Error, size_t needed) {
  DIAG_TRACE(1, "%s: request document needs %lu bytes, more than the %d that fit: not sent",
             kOpen, static_cast<unsigned long>(needed), BE_LIST_BUFFER_SIZE);
  PEXAPI_UTILS_ErrorSet(Error, kListErrorCode,
                        "%s: request document too large (HEADER and BODY need %lu bytes, "
                        "at most %d fit)",
                        kOpen, static_cast<unsigned long>(needed), BE_LIST_BUFFER_SIZE);
  return PEX_FAIL;
}

// Builds the outgoing document into out (BE_LIST_BUFFER_SIZE bytes, empty):
// the request opening, the agent's HEADER, its BODY with DBGLVL as the last
// child, the root end tag. PEX_FAIL with Error set when it would not fit.
PEXRC build_request(const char *text, const char *dbglvl, char *out, PEXError *Error) {
  const Span header = find_element(text, kHeader);
  const Span body = find_element(text, kBody);

  // The body copy: the element, then DBGLVL written where its end tag was.
  size_t body_len = 0;
  if (body.start != nullptr) {
    body_len = body.len + strlen("<DBGLVL>") + strlen("</DBGLVL>") +
               GM_xml_characterDataLength(dbglvl, static_cast<int>(strlen(dbglvl)));
  }
  if (body_len + 1 > BE_LIST_BUFFER_SIZE) return refuse_too_large(Error, body_len + 1);

  std::vector<char> body_buf(BE_LIST_BUFFER_SIZE, '\0');
  GM_XML_DuplicateParentElement(text, body_buf.data(), kBody);
  char *body_end = strstr(body_buf.data(), kBodyEnd);
  if (body_end != nullptr) {
    *body_end = '\0';
    GM_XML_WriteElement(body_buf.data(), kDbglvl, dbglvl, nullptr);
    GM_XML_CloseParentElement(body_buf.data(), kBody);
  }

  BE_INF_XML_BufInit(out);
  const size_t needed = strlen(out) + header.len + strlen(body_buf.data()) + strlen(kRootEnd) + 1;
  if (needed > BE_LIST_BUFFER_SIZE) {
    out[0] = '\0';
    return refuse_too_large(Error, needed);
  }
  GM_XML_DuplicateParentElement(text, out, kHeader);
  append_bounded(out, BE_LIST_BUFFER_SIZE, body_buf.data());
  GM_XML_BufEnd(out);
  return PEX_SUCCESS;
}

// The error text as the substitute document carries it. Control characters
// other than tab, line feed and carriage return cannot appear in an XML
// document even escaped; with ascii_only, neither can bytes that a UTF-8
// reader might refuse. Each such byte becomes '?'.
std::string carried_text(const char *text, bool ascii_only) {
  std::string carried(text);
  for (char &c : carried) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F ||
        (ascii_only && u >= 0x80)) {
      c = '?';
    }
  }
  return carried;
}

using OwnedText = std::unique_ptr<char, decltype(&free)>;

OwnedText write_error_document(const char *text, size_t header_len, const std::string &message) {
  const size_t cap = kOpeningRoom + header_len + strlen(kErrorStart) +
                     GM_xml_characterDataLength(message.c_str(), static_cast<int>(message.size())) +
                     strlen(kErrorEnd) + strlen(kRootEnd) + 1;
  OwnedText doc(static_cast<char *>(calloc(cap, 1)), &free);
  if (!doc) return doc;
  GM_XML_BufInit(doc.get());
  if (header_len > 0) GM_XML_DuplicateParentElement(text, doc.get(), kHeader);
  GM_xml_writeHeader(doc.get(), kErrorStart);
  GM_xml_writeCharacterData(doc.get(), message.c_str(), static_cast<int>(message.size()));
  GM_xml_writeHeader(doc.get(), kErrorEnd);
  GM_XML_BufEnd(doc.get());
  return doc;
}

// The document stored instead of an answer when the call failed: the agent's
// HEADER and a KXError with code 1 and the call's error text. It must report
// the failure to the first read, whatever the text or the agent's HEADER hold,
// so each form is read back before it is kept; a form the reader cannot take
// gives way to a plainer one (no HEADER, then no bytes above 127).
OwnedText error_document(const char *text, const char *error_text) {
  const size_t header_len = find_element(text, kHeader).len;
  struct Form {
    bool header;
    bool ascii_only;
  };
  const Form forms[] = {{true, false}, {false, false}, {false, true}};
  OwnedText doc(nullptr, &free);
  for (const Form &form : forms) {
    if (!form.header && !form.ascii_only && header_len == 0) continue;  // same as the first
    if (doc) DIAG_TRACE(1, "%s: error document not readable, writing a plainer one", kOpen);
    doc = write_error_document(text, form.header ? header_len : 0,
                               carried_text(error_text, form.ascii_only));
    if (!doc) return doc;
    PEXError check;
    memset(&check, 0, sizeof check);
    if (BE_INF_update_error(&check, doc.get()) == BE_INF_UPDATE_ERROR_SUCCEEDED) break;
  }
  return doc;
}

OwnedText copy_text(const std::string &text) {
  OwnedText copy(static_cast<char *>(malloc(text.size() + 1)), &free);
  if (copy) {
    memcpy(copy.get(), text.data(), text.size());
    copy.get()[text.size()] = '\0';
  }
  return copy;
}

PEXRC list_open(void **Handle, PEXAttrList *Attributes, PEXError *Error) {
  DIAG_TRACE(3, "%s", kOpen);
  GM_PARAM_VALUE_typ dbglvl = "0";
  GM_PARAM_get("CONFIG", kDbglvl, dbglvl);

  char *text = nullptr;
  if (PEXAPI_UTILS_AttrListValueGet(Attributes, kText, &text) != PEX_SUCCESS || text == nullptr ||
      text[0] == '\0') {
    PEXAPI_UTILS_ErrorSet(Error, kListErrorCode, "keyword %s not found", kText);
    return PEX_FAIL;
  }
  if (Handle == nullptr) {
    DIAG_TRACE(1, "%s: Handle is null", kOpen);
    PEXAPI_UTILS_ErrorSet(Error, kListErrorCode, "%s: Handle is null", kOpen);
    return PEX_FAIL;
  }
  DIAG_TRACE(4, "xml_buff: %s", text);

  std::vector<char> out(BE_LIST_BUFFER_SIZE, '\0');
  if (build_request(text, dbglvl, out.data(), Error) != PEX_SUCCESS) return PEX_FAIL;

  // The call's error text is needed for the stored document even when the
  // agent passes no error record.
  PEXError local;
  memset(&local, 0, sizeof local);
  PEXError *call_error = Error != nullptr ? Error : &local;

  HessianRemoteAccessor remoting(BE_REMOTE_PORT, BE_REMOTE_METHOD, BE_REMOTE_SERVER,
                                 BE_REMOTE_PATH);
  const PEXRC rc = remoting.call(out.data(), call_error);
  OwnedText answer(nullptr, &free);
  if (rc != PEX_SUCCESS) {
    char error_text[PEX_ERROR_TEXT_SIZE];
    const size_t len = strnlen(call_error->text, sizeof call_error->text - 1);
    memcpy(error_text, call_error->text, len);
    error_text[len] = '\0';
    answer = error_document(text, error_text);
  } else {
    answer = copy_text(remoting.getResponse());
  }
  remoting.deleteResponse();

  BE_INF_list_handle *handle =
      answer ? static_cast<BE_INF_list_handle *>(calloc(1, sizeof(BE_INF_list_handle))) : nullptr;
  if (handle == nullptr) {
    DIAG_ERROR("%s: cannot allocate the list handle and its answer", kOpen);
    PEXAPI_UTILS_ErrorSet(Error, kListErrorCode, "%s: out of memory", kOpen);
    return PEX_FAIL;
  }
  DIAG_TRACE(6, "malloc/calloc #1 in %s : %x", kOpen, DIAG_ADDR(handle));
  DIAG_TRACE(6, "malloc/calloc #2 in %s : %x", kOpen, DIAG_ADDR(answer.get()));
  handle->current_line = 0;
  handle->xmlResponse = answer.release();
  *Handle = handle;
  return rc;
}

// The attribute whose value buffer the lookup handed out: its capacity bounds
// every write into it.
const PEXAttr *attribute_of(const PEXAttrList *list, const char *value) {
  for (int32_t i = 0; i < list->Count; ++i) {
    if (list->Attributes[i].Value == value) return &list->Attributes[i];
  }
  return nullptr;
}

void put_chunk(const PEXAttr *attr, const char *chunk) {
  if (attr == nullptr || attr->Value == nullptr || attr->ValueLen == 0) return;
  const size_t len = strnlen(chunk, static_cast<size_t>(attr->ValueLen) - 1);
  memcpy(attr->Value, chunk, len);
  attr->Value[len] = '\0';
}

PEXRC list_read(void *Handle, PEXAttrList *AttributesOut, PEXError *Error) {
  DIAG_TRACE(3, "%s", kRead);
  BE_INF_list_handle *list_handle = static_cast<BE_INF_list_handle *>(Handle);
  if (list_handle == nullptr || list_handle->xmlResponse == nullptr) {
    DIAG_TRACE(1, "%s: Handle is null", kRead);
    PEXAPI_UTILS_ErrorSet(Error, kListErrorCode, "%s: Handle is null", kRead);
    return PEX_FAIL;
  }
  if (BE_INF_update_error(Error, list_handle->xmlResponse) != BE_INF_NO_ERROR_REPORTED) {
    return PEX_FAIL;
  }

  char *line = nullptr;
  const PEXRC rc = PEXAPI_UTILS_AttrListValueGet(AttributesOut, kText, &line);
  if (rc != PEX_SUCCESS) {
    PEXAPI_UTILS_ErrorSet(Error, rc, "keyword %s not found", kText);
    return rc;
  }
  const PEXAttr *attr = attribute_of(AttributesOut, line);
  if (attr != nullptr && attr->Value != nullptr && attr->ValueLen > 0) {
    // The agent's buffer is read no further than its capacity.
    DIAG_TRACE(4, "Got key: '%s', line='%.*s'", kText,
               static_cast<int>(strnlen(attr->Value, attr->ValueLen)), attr->Value);
    attr->Value[0] = '\0';
  } else {
    DIAG_TRACE(4, "Got key: '%s', line='%s'", kText, "");
  }

  const char *response = list_handle->xmlResponse;
  const size_t size = strlen(response);
  const size_t start = static_cast<size_t>(list_handle->current_line) * BE_LIST_CHUNK_SIZE;
  DIAG_TRACE(4, "xmlResponseSize: '%d'", static_cast<int>(size));
  DIAG_TRACE(4, "Compared to: '%d' * '%d'", static_cast<int>(list_handle->current_line + 1),
             BE_LIST_CHUNK_SIZE);
  DIAG_TRACE(4, "list_handle->current_line: '%d'", static_cast<int>(list_handle->current_line));

  char chunk[kChunkBufferSize];
  memset(chunk, 0, sizeof chunk);
  if (start + BE_LIST_CHUNK_SIZE < size) {
    memcpy(chunk, response + start, BE_LIST_CHUNK_SIZE);
    put_chunk(attr, chunk);
    DIAG_TRACE(4, "line: '%s'", chunk);
    ++list_handle->current_line;
    return PEX_SUCCESS;
  }
  // A read only advances while more than a chunk remains, so start <= size.
  DIAG_TRACE(4, "Handling small chunk");
  memcpy(chunk, response + start, size - start);
  put_chunk(attr, chunk);
  return PEX_EOS;
}

PEXRC list_close(void *Handle) {
  DIAG_TRACE(3, "%s", kClose);
  BE_INF_list_handle *list_handle = static_cast<BE_INF_list_handle *>(Handle);
  if (list_handle == nullptr) {
    DIAG_TRACE(1, "%s: Handle is null", kClose);
    return PEX_FAIL;
  }
  if (list_handle->xmlResponse == nullptr) {
    DIAG_TRACE(1, "%s: Xml Response is null", kClose);
    return PEX_FAIL;
  }
  DIAG_TRACE(6, "free #1 in %s : %x", kClose, DIAG_ADDR(list_handle->xmlResponse));
  free(list_handle->xmlResponse);
  list_handle->xmlResponse = nullptr;
  DIAG_TRACE(6, "free #2 in %s : %x", kClose, DIAG_ADDR(list_handle));
  free(list_handle);
  return PEX_SUCCESS;
}

}  // namespace

extern "C" PEXRC PEXAPI_LIST_ACTION(PEXConnection *Connection, char *Action,
                                    PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                    PEXError *Error) {
  (void)Connection;
  (void)AttributesIn;
  (void)AttributesOut;
  (void)Error;
  DIAG_TRACE(3, "%s", kAction);
  DIAG_TRACE(4, "Action: '%s'", or_empty(Action));
  return PEX_NOT_FOUND;
}

extern "C" PEXRC PEXAPI_LIST_DATA_OPEN(PEXConnection *Connection, void **Handle,
                                       PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  return guard_entry(kOpen, Error, [&] { return list_open(Handle, Attributes, Error); });
}

extern "C" PEXRC PEXAPI_LIST_DATA_READ(PEXConnection *Connection, void *Handle,
                                       PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                       PEXError *Error) {
  (void)Connection;
  (void)AttributesIn;
  return guard_entry(kRead, Error, [&] { return list_read(Handle, AttributesOut, Error); });
}

extern "C" PEXRC PEXAPI_LIST_DATA_CLOSE(PEXConnection *Connection, void *Handle,
                                        PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Attributes;
  (void)Error;
  return list_close(Handle);
}
