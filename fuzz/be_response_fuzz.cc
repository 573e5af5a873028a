// The container's answer documents: the error test and both conversions of
// BODY leaves into attributes, on arbitrary text.
//
// Input: one control byte, then the document. Control bits 0-1 choose the
// parent element, bit 2 turns I18N mode on (the answer is read as UTF-8, no
// Latin-1 retry), bit 3 passes a null error record.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "be_response.h"
#include "fuzz_workdir.h"
#include "gm_param.h"
#include "pexapi_utl.h"

namespace {

const char* const kParents[] = {"BODY", "HEADER", "KXError", "TWBKX"};

[[noreturn]] void fail(const char* what, const char* detail = "") {
  std::fprintf(stderr, "%s%s\n", what, detail);
  std::abort();
}

// A converted list: single-block attributes within the reader's limits, or
// nothing at all after a failure.
void check_list(const char* fnc, PEXRC rc, PEXAttrList* list, bool need_one) {
  if (rc != PEX_SUCCESS) {
    if (list->Count != 0 || list->Attributes != nullptr) fail(fnc, ": failure left attributes");
    return;
  }
  if (list->Count < 0 || (list->Count > 0 && list->Attributes == nullptr)) fail(fnc, ": bad list");
  if (need_one && list->Count == 0) fail(fnc, ": success without an attribute");
  for (int i = 0; i < list->Count; ++i) {
    const PEXAttr& a = list->Attributes[i];
    if (a.Name == nullptr || a.Value == nullptr) fail(fnc, ": attribute without storage");
    if (strlen(a.Name) >= 64) fail(fnc, ": name of 64 characters or more");
    const size_t len = strlen(a.Value);
    if (len >= 2048) fail(fnc, ": value of 2048 characters or more");
    if (a.ValueLen < len + 1) fail(fnc, ": ValueLen smaller than the value");
  }
  if (PEXAPI_utils_release_attr(list) != PEX_SUCCESS) fail(fnc, ": release failed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  kxfuzz::install_locales();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned control = data[0];
  const std::string doc = kxfuzz::as_text(data + 1, size - 1);
  const char* parent = kParents[control & 3];
  GM_PARAM_set("CONFIG", "I18N", (control & 4) != 0 ? "CJK" : "");

  PEXAttrList list = {0, nullptr, 0};
  check_list("BE_INF_xmlBuff2attr", BE_INF_xmlBuff2attr(doc.c_str(), parent, &list), &list, false);
  list = {0, nullptr, 0};
  check_list("PEXAPI_UTILS_xmlBuff2attr", PEXAPI_UTILS_xmlBuff2attr(doc.c_str(), parent, &list),
             &list, true);

  PEXError error;
  error.code = 4242;
  memset(error.text, '#', sizeof error.text - 1);
  error.text[sizeof error.text - 1] = '\0';
  const PEXError before = error;
  const bool null_error = (control & 8) != 0;
  const BE_INF_UPDATE_ERROR_RC rc = BE_INF_update_error(null_error ? nullptr : &error, doc.c_str());
  if (rc != BE_INF_NO_ERROR_REPORTED && doc.find("<KXError><Code>") == std::string::npos)
    fail("an error reported by an answer without <KXError><Code>");
  switch (rc) {
    case BE_INF_NO_ERROR_REPORTED:
      if (memcmp(&error, &before, sizeof error) != 0) fail("no error reported, yet the record changed");
      break;
    case BE_INF_UPDATE_ERROR_SUCCEEDED:
      if (null_error) fail("an error stored into a null record");
      [[fallthrough]];
    case BE_INF_UPDATE_ERROR_FAILED:
      if (null_error) break;
      if (error.code == 0) fail("an error reported with code 0");
      if (strnlen(error.text, sizeof error.text) >= sizeof error.text) fail("unterminated error text");
      if (rc == BE_INF_UPDATE_ERROR_FAILED &&
          strcmp(error.text, "Error while attempting to update error message") != 0)
        fail("an unreadable message left another text: ", error.text);
      break;
    default:
      fail("BE_INF_update_error: unknown result");
  }
  return 0;
}
