// be_handler.cc - the pieces every action handler uses around one exchange
// with the container.
#include "be_handler.h"

#include <stdint.h>
#include <string.h>

#include <vector>

#include "be_requests.h"
#include "be_response.h"
#include "gm_xml.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace be_backend {

namespace {

// The code an entry point's failure carries when nothing more precise is
// known.
const PEXErrorCode kEntryErrorCode = 1;

int length_of(const std::string &text) {
  return text.size() > static_cast<size_t>(INT32_MAX) ? INT32_MAX
                                                      : static_cast<int>(text.size());
}

}  // namespace

void RequestText::release() {
  RequestGeneratorInterface::freeXmlBuffer(text_);
  text_ = nullptr;
}

AnswerAttributes::AnswerAttributes() { memset(&list_, 0, sizeof list_); }

void AnswerAttributes::release() { PEXAPI_utils_release_attr(&list_); }

const char *AnswerAttributes::find(const char *name) {
  char *value = nullptr;
  if (PEXAPI_UTILS_AttrListValueGet(&list_, name, &value) != PEX_SUCCESS) return nullptr;
  return value != nullptr ? value : "";
}

bool answer_reports_error(const std::string &response, const char *fnc, const char *what,
                          PEXError *Error) {
  const int length = length_of(response);
  BE_INF_UPDATE_ERROR_RC error_rc;
  {
    // The check reads a private copy, whose life the two lines bracket.
    std::vector<char> copy(response.size() + 1, '\0');
    memcpy(copy.data(), response.data(), response.size());
    DIAG_TRACE(4, "%s: Allocated <%d> bytes for %s", fnc, length, what);
    error_rc = BE_INF_update_error(Error, copy.data());
  }
  DIAG_TRACE(4, "%s: Freed <%d> bytes which were allocated for %s", fnc, length, what);
  return error_rc != BE_INF_NO_ERROR_REPORTED;
}

PEXRC answer_to_attributes(const std::string &response, AnswerAttributes *list) {
  const PEXRC rc = BE_INF_xmlBuff2attr(response.c_str(), "BODY", list->get());
  if (rc != PEX_SUCCESS) {
    DIAG_TRACE(2, "Failed to translate the following XML buffer into list: %s",
               response.c_str());
  }
  return rc;
}

void explain_untranslatable(const char *fnc, const std::string &reply_kind, PEXError *Error) {
  if (reply_kind == "Null") {
    PEXAPI_UTILS_ErrorSet(Error, kEntryErrorCode,
                          "%s: the container's reply is null, not a binary document", fnc);
  } else if (!reply_kind.empty() && reply_kind != "Binary") {
    PEXAPI_UTILS_ErrorSet(Error, kEntryErrorCode,
                          "%s: the container's reply is a Hessian %s, not a binary document", fnc,
                          reply_kind.c_str());
  } else if (GM_XML_LastParseError()[0] != '\0') {
    PEXAPI_UTILS_ErrorSet(Error, kEntryErrorCode,
                          "%s: the container's answer is not well-formed XML (%s)", fnc,
                          GM_XML_LastParseError());
  } else {
    PEXAPI_UTILS_ErrorSet(Error, kEntryErrorCode,
                          "%s: the container's answer could not be turned into attributes", fnc);
  }
}

PEXRC report_exception(const char *fnc, const char *what, PEXError *Error) {
  DIAG_ERROR("%s: %s", fnc, what);
  PEXAPI_UTILS_ErrorSet(Error, kEntryErrorCode, "%s: %s", fnc, what);
  return PEX_FAIL;
}

}  // namespace be_backend
