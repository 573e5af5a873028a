// Sectioned parameter-table files: the input as a file through the sectioned
// reader. Every section name must be terminated, at most 63 characters and
// upper case; every row as in a plain table (key of at most 63, value of at
// most 4095); the first row of the first section with rows that is the
// first of its name must be found again by lookup; and the
// table saved and read back must give the same sections and rows, values
// cut to the 2048 characters a save writes.
//
// Input: the file.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_workdir.h"
#include "gm_param.h"
#include "pexlist.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "%s%s\n", what, detail.c_str());
  std::abort();
}

struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::string>> rows;
  bool operator==(const Section& o) const { return name == o.name && rows == o.rows; }
};

std::vector<Section> sections_of(PEXLIST_handle_typ* list) {
  std::vector<Section> out;
  PEXLIST_handle_typ walk = *list;
  PEXLIST_reset(&walk);
  void* ptr = nullptr;
  unsigned size = 0;
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    if (size != sizeof(GM_PARAM_subtable_row)) fail("section record of the wrong size");
    auto* sec = static_cast<GM_PARAM_subtable_row*>(ptr);
    if (strnlen(sec->key, sizeof sec->key) >= sizeof sec->key) fail("section name not terminated");
    Section s{sec->key, {}};
    for (unsigned char c : s.name)
      if (std::islower(c)) fail("section name not upper-cased: ", s.name);
    PEXLIST_handle_typ rows = sec->list;
    PEXLIST_reset(&rows);
    char* key = nullptr;
    char* value = nullptr;
    while (GM_PARAM_list_next(&rows, &key, &value) == KX_SUCCESS) {
      if (strnlen(key, sizeof(GM_PARAM_KEY_typ)) >= sizeof(GM_PARAM_KEY_typ))
        fail("key field not terminated");
      if (strlen(value) > GM_PARAM_ROW_VALUE_MAX) fail("value longer than 4095: ", key);
      s.rows.emplace_back(key, value);
    }
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::write_file("data/FUZZ.dat", data, size);
  PEXLIST_handle_typ list;
  PEXLIST_init(&list);
  const KX_RC rc = GM_PARAM_subtable_load_file(&list, "data/FUZZ.dat");
  if (rc != KX_SUCCESS && rc != KX_FAIL) fail("GM_PARAM_subtable_load_file: unexpected result");
  std::vector<Section> read = sections_of(&list);

  // Lookups find the first section of a name: check the first one there is.
  std::vector<std::string> seen;
  for (const Section& s : read) {
    bool earlier = false;
    for (const std::string& name : seen) earlier = earlier || name == s.name;
    if (earlier) continue;
    seen.push_back(s.name);
    if (s.rows.empty()) continue;
    char got[2048];
    if (GM_PARAM_subtable_list_get(&list, s.name.c_str(), s.rows[0].first.c_str(), got,
                                   sizeof got) != KX_SUCCESS)
      fail("a stored row is not found: ", s.name + "/" + s.rows[0].first);
    break;
  }

  if (rc == KX_SUCCESS) {
    if (GM_PARAM_subtable_list_save(&list, "data/SAVED.dat") != KX_SUCCESS) fail("save failed");
    PEXLIST_handle_typ again;
    PEXLIST_init(&again);
    if (GM_PARAM_subtable_load_file(&again, "data/SAVED.dat") != KX_SUCCESS)
      fail("a saved table does not read back");
    std::vector<Section> expected = read;
    for (Section& s : expected)
      for (auto& row : s.rows)
        if (row.second.size() > GM_PARAM_SAVE_VALUE_MAX) {
          // The cut may leave trailing blanks, which reading removes.
          row.second.resize(GM_PARAM_SAVE_VALUE_MAX);
          while (!row.second.empty() && row.second.back() == ' ') row.second.pop_back();
        }
    if (!(sections_of(&again) == expected)) fail("a saved table reads back differently");
    GM_PARAM_subtable_list_clear(&again);
  }
  GM_PARAM_subtable_list_clear(&list);
  return 0;
}
