// Parameter-table lines: each line of the input through the line parser (both
// variants), and the whole input as a table file. Every row must have a
// terminated key of at most 63 characters (upper case where the parser
// upper-cases) and a value of at most 4095; lookups of what was stored must
// find it.
//
// Input: one control byte (bit 0: option1 parses upper-case their keys), then
// the lines.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_workdir.h"
#include "gm_param.h"
#include "pexlist.h"

namespace {

[[noreturn]] void fail(const char* what, const char* detail = "") {
  std::fprintf(stderr, "%s%s\n", what, detail);
  std::abort();
}

bool has_lower(const char* key) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p; ++p)
    if (std::islower(*p)) return true;
  return false;
}

// Walks the rows, checks them and looks the first key up again.
void check_rows(PEXLIST_handle_typ* list, bool upper) {
  GM_PARAM_list_reset(list);
  char* key = nullptr;
  char* value = nullptr;
  std::string first_key;
  KX_RC rc;
  while ((rc = GM_PARAM_list_next(list, &key, &value)) == KX_SUCCESS) {
    if (key == nullptr || value == nullptr) fail("row without key or value");
    if (strnlen(key, sizeof(GM_PARAM_KEY_typ)) >= sizeof(GM_PARAM_KEY_typ))
      fail("key field not terminated");
    if (upper && has_lower(key)) fail("key not upper-cased: ", key);
    if (strlen(value) > GM_PARAM_ROW_VALUE_MAX) fail("value longer than 4095: ", key);
    if (first_key.empty() && key[0] != '\0') first_key = key;
  }
  if (rc != KX_EOS) fail("walking the rows failed");
  if (!first_key.empty()) {
    GM_PARAM_VALUE_typ got;
    if (GM_PARAM_list_get(list, first_key.c_str(), got, sizeof got) != KX_SUCCESS)
      fail("a stored key is not found: ", first_key.c_str());
    if (strlen(got) >= sizeof got) fail("lookup overran its buffer");
  }
  GM_PARAM_list_clear(list);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool upper1 = (data[0] & 1) != 0;
  const std::string text = kxfuzz::as_text(data + 1, size - 1);

  PEXLIST_handle_typ plain, option1;
  PEXLIST_init(&plain);
  PEXLIST_init(&option1);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos + (end < text.size() ? 1 : 0));
    const KX_RC rc = GM_param_parse_str(&plain, line.c_str());
    if (rc != KX_SUCCESS && rc != KX_FAIL) fail("GM_param_parse_str: unexpected result");
    const KX_RC rc1 = GM_param_parse_str_option1(&option1, line.c_str(), upper1 ? 1 : 0);
    if (rc1 != KX_SUCCESS && rc1 != KX_FAIL && rc1 != GM_PARAM_SECTION_HEADER)
      fail("GM_param_parse_str_option1: unexpected result");
    pos = end + 1;
  }
  check_rows(&plain, true);
  check_rows(&option1, upper1);

  kxfuzz::write_file("data/FUZZ.dat", data + 1, size - 1);
  PEXLIST_handle_typ file;
  PEXLIST_init(&file);
  if (GM_PARAM_load_file(&file, "data/FUZZ.dat") != KX_SUCCESS) fail("GM_PARAM_load_file failed");
  check_rows(&file, true);
  PEXLIST_init(&file);
  if (GM_PARAM_load_file_option1(&file, "data/FUZZ.dat", upper1 ? 1 : 0) != KX_SUCCESS)
    fail("GM_PARAM_load_file_option1 failed");
  check_rows(&file, upper1);
  return 0;
}
