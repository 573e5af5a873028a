// The container's reading of request documents and its writing of answer
// text, on arbitrary input: whatever it reads, what it writes back must be a
// document any XML parser accepts.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kc_document.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

bool xml_name(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return !(s[0] >= '0' && s[0] <= '9');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kc::Request request;
  std::string error;
  if (kc::parse_request(text, request, error)) {
    if (request.action.empty()) fail("parse_request", "accepted a request without an action");
    kc::Answer answer;
    answer.add("ACTION", request.action);
    for (const auto& [name, value] : request.body) answer.add(xml_name(name) ? name : "VALUE", value);
    const std::string doc = answer.finish();
    kc::Element root;
    if (!kc::parse_xml(doc, root, error)) fail("answer is not well-formed", error);
  } else if (error.empty()) {
    fail("parse_request", "refused without saying why");
  }
  // Any bytes at all become text a parser takes back.
  kc::Element root;
  std::string wrapped = "<T>";
  kc::append_xml_text(wrapped, text);
  wrapped += "</T>";
  if (!kc::parse_xml(wrapped, root, error)) fail("escaped text is not well-formed", error);
  if (root.text.size() > text.size()) fail("escaped text grew", root.text);
  const std::string error_doc = kc::error_answer(7, text);
  if (!kc::parse_xml(error_doc, root, error)) fail("error answer is not well-formed", error);
  // Cuts stay inside the text and on character boundaries.
  for (std::size_t max : {std::size_t{0}, std::size_t{1}, std::size_t{3}, size / 2, size}) {
    const std::size_t cut = kc::utf8_prefix(text, max);
    if (cut > max && cut > size) fail("utf8_prefix", "cut beyond the limit");
  }
  if (kc::utf8_complete(text) > size) fail("utf8_complete", "beyond the text");
  return 0;
}
