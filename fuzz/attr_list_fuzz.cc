// The text form of an attribute list read back: arbitrary text must give a
// list within the stated limits or PEX_FAIL, and a list that was read must
// write and read again with the same number of attributes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_workdir.h"
#include "pexapi_utl.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void check_limits(const PEXAttrList& list) {
  if (list.Count < 1 || list.Attributes == nullptr) fail("success without an attribute");
  for (int i = 0; i < list.Count; ++i) {
    const PEXAttr& a = list.Attributes[i];
    if (a.Name == nullptr || a.Value == nullptr) fail("attribute without storage");
    if (strlen(a.Name) > 63) fail("name longer than 63 characters");
    const size_t len = strlen(a.Value);
    if (len > 4095) fail("value longer than 4095 characters");
    if (a.ValueLen != len + 1) fail("ValueLen is not the value's size");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = kxfuzz::as_text(data, size);
  PEXAttrList list = {0, nullptr, 0};
  if (PEXPI_UTILS_deserialize_attr_list(text.c_str(), &list) != PEX_SUCCESS) {
    // A failure may keep the pairs read so far (allocation failure); they
    // are still the caller's to release.
    PEXAPI_utils_release_whole_attr(&list);
    return 0;
  }
  check_limits(list);

  char* again = nullptr;
  if (PEXPI_UTILS_serialize_attr_list(&list, &again) != PEX_SUCCESS || again == nullptr)
    fail("a list that was read cannot be written");
  PEXAttrList copy = {0, nullptr, 0};
  if (PEXPI_UTILS_deserialize_attr_list(again, &copy) != PEX_SUCCESS)
    fail("a written list cannot be read again");
  check_limits(copy);
  if (copy.Count != list.Count) fail("the written list reads back with another count");

  free(again);
  PEXAPI_utils_release_whole_attr(&copy);
  PEXAPI_utils_release_whole_attr(&list);
  return 0;
}
