// be_response.cc - error extraction from the container's answers and the
// conversion of their BODY leaves into attribute lists.

#include "be_response.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "be_convert.h"
#include "gm_str.h"
#include "gm_xml.h"
#include "os_diag.h"
#include "pexapi_utl.h"
#include "pexlist.h"

namespace {

const char kErrorElem[] = "KXError";
const char kCodeElem[] = "Code";
const char kMessageElem[] = "Message";
const char kMessageUnreadable[] = "Error while attempting to update error message";

// Longest message kept; the error record holds it and its terminator.
const size_t kMessageMax = PEX_ERROR_TEXT_SIZE - 1;

// An element list that is cleared whichever way the conversion ends. The
// handle starts empty because the reader may fail before it initialises it.
class RowList {
 public:
  RowList() { PEXLIST_init(&list_); }
  ~RowList() {
    if (!cleared_) PEXLIST_clear(&list_);
  }
  RowList(const RowList&) = delete;
  RowList& operator=(const RowList&) = delete;

  PEXLIST_handle_typ* get() { return &list_; }
  KX_RC clear() {
    cleared_ = true;
    return PEXLIST_clear(&list_);
  }

 private:
  PEXLIST_handle_typ list_;
  bool cleared_ = false;
};

// The text of Element inside KXError into value (GM_XML_OUTPUT_SIZE bytes,
// emptied first). The last-attribute outputs of the search are not wanted
// but must be writable.
KX_RC extract_error_part(const char* responseXml, const char* Element, char* value) {
  char attr_name[GM_XML_OUTPUT_SIZE];
  char attr_value[GM_XML_OUTPUT_SIZE];
  attr_name[0] = '\0';
  attr_value[0] = '\0';
  value[0] = '\0';
  return GM_XML_ParseByParentElement(responseXml, Element, kErrorElem, value, attr_name,
                                     attr_value);
}

// The decimal value of a text GM_STR_isunsignednumber accepted. A code too
// large for the record saturates: wrapping could turn an error into 0, which
// means success.
PEXErrorCode code_value(const char* text) {
  errno = 0;
  unsigned long long v = strtoull(text, nullptr, 10);
  if (errno == ERANGE || v > UINT32_MAX) return UINT32_MAX;
  return static_cast<PEXErrorCode>(v);
}

bool has_high_byte(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
    if (*p >= 0x80) return true;
  return false;
}

// In Latin-1 mode the answer has been converted to Latin-1, but the element
// search reads it as its declaration says, UTF-8 when there is none: one
// accented letter would make the document unreadable and the error vanish,
// turning a failed action into a success. The search is then repeated on a
// UTF-8 copy, which reads the same characters the attribute conversion
// reads. Gives false, and leaves *copy alone, when there is nothing to retry
// or the copy cannot be made.
bool latin1_as_utf8(const char* fnc, const char* text, std::string* copy) {
  if (!has_high_byte(text) || isI18nDefined()) return false;
  const size_t len = strlen(text);
  if (len > (SIZE_MAX - 1) / 2) return false;
  try {
    std::string utf8(2 * len + 1, '\0');  // each Latin-1 byte takes at most two
    if (BE_UTIL_convert_UTF8_Latin1(text, &utf8[0], utf8.size(), BE_UTIL_LATIN1_TO_UTF8) !=
        KX_SUCCESS)
      return false;
    utf8.resize(strlen(utf8.c_str()));
    copy->swap(utf8);
  } catch (...) {
    return false;
  }
  DIAG_TRACE(4, "%s: Reading the answer as Latin-1 text", fnc);
  return true;
}

// Expat hands every text on in UTF-8, whatever it read. An agent in Latin-1
// mode expects its own code page, as the remote call's conversion of the
// answer intends: without this an accented letter would reach the agent as
// two bytes. Converts text in place (it can only shrink); a text that is no
// valid UTF-8 or holds a character Latin-1 lacks is left as it is.
void utf8_to_agent(char* text) {
  if (!has_high_byte(text)) return;
  size_t len = strlen(text);
  // The reader cuts long texts by bytes, which can split the last character;
  // that partial character is dropped rather than failing the whole text.
  size_t lead = len;
  while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80 && len - lead < 3)
    --lead;
  if (lead > 0) {
    const unsigned char c = static_cast<unsigned char>(text[lead - 1]);
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (c >= 0xC0 && len - (lead - 1) < need) {
      len = lead - 1;
      text[len] = '\0';
    }
  }
  std::string latin1(len + 1, '\0');
  if (BE_UTIL_convert_UTF8_Latin1(text, &latin1[0], latin1.size(), BE_UTIL_UTF8_TO_LATIN1) !=
      KX_SUCCESS)
    return;
  memcpy(text, latin1.c_str(), strlen(latin1.c_str()) + 1);
}

using ParseFn = KX_RC (*)(const char* buffer, const char* ParentElem, PEXLIST_handle_typ* list,
                          const char* encoding);

KX_RC parse_by_declaration(const char* buffer, const char* ParentElem, PEXLIST_handle_typ* list,
                           const char*) {
  return GM_XML_ParseBuf2List(buffer, ParentElem, list);
}

// The common steps of both conversions. need_rows: an empty element list
// (clearing reports KX_EOS) is a failure too.
PEXRC leaves_to_attrs(const char* fnc, const char* xmlbuffer, const char* ParentElem,
                      PEXAttrList* AttrList, ParseFn parse, const char* encoding, bool need_rows) {
  if (AttrList == nullptr) {
    DIAG_ERROR("%s: ERROR!!! Can not process. The attribute list is NULL", fnc);
    return PEX_FAIL;
  }
  AttrList->Count = 0;
  AttrList->Attributes = nullptr;
  AttrList->Curr = 0;

  RowList rows;
  if (parse(xmlbuffer, ParentElem, rows.get(), encoding) != KX_SUCCESS) return PEX_FAIL;

  PEXRC rc = PEXAPI_UTILS_list2attr(rows.get(), AttrList);
  if (rc != PEX_SUCCESS) return rc;
  if (!isI18nDefined()) {
    for (int32_t i = 0; i < AttrList->Count; ++i) {
      PEXAttr& a = AttrList->Attributes[i];
      if (a.Value == nullptr) continue;
      utf8_to_agent(a.Value);
      a.ValueLen = static_cast<uint16_t>(strlen(a.Value) + 1);
    }
  }

  KX_RC cleared = rows.clear();
  if (need_rows) return cleared == KX_SUCCESS ? PEX_SUCCESS : PEX_FAIL;
  return cleared == KX_FAIL ? PEX_FAIL : PEX_SUCCESS;
}

}  // namespace

extern "C" {

BE_INF_UPDATE_ERROR_RC BE_INF_update_error(PEXError* Error, const char* responseXml) {
  static const char kFnc[] = "BE_INF_update_error";
  DIAG_TRACE(4, "%s: Checking whether an error was returned", kFnc);
  PEXErrorCode code = 0;
  char message[PEX_ERROR_TEXT_SIZE];
  memset(message, 0, sizeof message);
  char value[GM_XML_OUTPUT_SIZE];
  memset(value, 0, sizeof value);
  BE_INF_UPDATE_ERROR_RC result = BE_INF_UPDATE_ERROR_SUCCEEDED;
  KX_RC message_rc = KX_SUCCESS;

  char indicator[20];
  snprintf(indicator, sizeof indicator, "<%s><%s>", kErrorElem, kCodeElem);
  // The indicator is a cheap filter: only answers written in exactly this
  // form are parsed for an error at all.
  if (responseXml != nullptr && strstr(responseXml, indicator) != nullptr) {
    const char* text = responseXml;
    std::string utf8;
    KX_RC code_rc = extract_error_part(text, kCodeElem, value);
    if (code_rc != KX_SUCCESS && latin1_as_utf8(kFnc, text, &utf8)) {
      text = utf8.c_str();
      code_rc = extract_error_part(text, kCodeElem, value);
    }
    if (code_rc == KX_SUCCESS && value[0] != '\0' && GM_STR_isunsignednumber(value) == KX_SUCCESS)
      code = code_value(value);

    message_rc = extract_error_part(text, kMessageElem, value);
    // Converted before the cut, so that the cut counts the agent's characters
    // and never splits one.
    if (message_rc == KX_SUCCESS && !isI18nDefined()) utf8_to_agent(value);
    if (message_rc == KX_SUCCESS && value[0] != '\0') {
      size_t n = strnlen(value, kMessageMax);
      memcpy(message, value, n);
      message[n] = '\0';
    }
  }

  if (code == 0) {
    DIAG_TRACE(4, "%s: No errors were reported", kFnc);
    return BE_INF_NO_ERROR_REPORTED;
  }

  DIAG_TRACE(4, "%s: Error was reported", kFnc);
  if (message_rc != KX_SUCCESS) {
    PEXAPI_UTILS_ErrorSet(Error, code, "%s", kMessageUnreadable);
    return BE_INF_UPDATE_ERROR_FAILED;
  }
  // The container's text may hold '%': it is data, never a format.
  if (PEXAPI_UTILS_ErrorSet(Error, code, "%s", message) != PEX_SUCCESS)
    result = BE_INF_UPDATE_ERROR_FAILED;
  return result;
}

PEXRC BE_INF_xmlBuff2attr(const char* xmlbuffer, const char* ParentElem, PEXAttrList* AttrList) {
  static const char kFnc[] = "BE_INF_xmlBuff2attr";
  DIAG_TRACE(4, "%s", kFnc);
  // In Latin-1 mode the remote call has already converted the answer from
  // UTF-8, so its declaration no longer tells the truth; in I18N mode the
  // answer is passed on as received.
  const char* encoding = isI18nDefined() ? "UTF-8" : "ISO-8859-1";
  return leaves_to_attrs(kFnc, xmlbuffer, ParentElem, AttrList, GM_XML_ParseBuf2ListByEncoding,
                         encoding, false);
}

PEXRC PEXAPI_UTILS_xmlBuff2attr(const char* xmlbuffer, const char* ParentElem,
                                PEXAttrList* AttrList) {
  static const char kFnc[] = "PEXAPI_UTILS_xmlBuff2attr";
  DIAG_TRACE(4, "%s", kFnc);
  return leaves_to_attrs(kFnc, xmlbuffer, ParentElem, AttrList, parse_by_declaration, nullptr,
                         true);
}

}  // extern "C"
