// Clock-acceleration files: the factor, the simulated date and the
// simulation start, which live in a shared directory anyone may write. The
// clock must keep working whatever they hold (no overflow in its arithmetic,
// which UBSan reports), and a word read back is at most 19 characters.
//
// Input: one control byte (bit 0: the factor file gets the input, else "2";
// bit 1: the date file gets it, else none; bit 2: the start file gets it,
// else none), then the content.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz_workdir.h"
#include "os_time.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void put(const char* name, bool fuzzed, const uint8_t* data, size_t size, const char* other) {
  const std::string path = std::string("time/") + name;
  if (fuzzed) {
    kxfuzz::write_file(path, data, size);
  } else if (other != nullptr) {
    kxfuzz::write_file(path, reinterpret_cast<const uint8_t*>(other), strlen(other));
  } else {
    unlink((kxfuzz::workdir() + "/" + path).c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  const std::string dir = kxfuzz::workdir() + "/time";
  if (mkdir(dir.c_str(), 0755) != 0) fail("cannot make the time directory");
  setenv("WEXAGENT_TIME_ACC", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned control = data[0];
  ++data;
  --size;
  put("WEXAGENT_FACTOR", control & 1, data, size, "2\n");
  put("WEXAGENT_ODAT", control & 2, data, size, nullptr);
  put("WEXAGENT_START_SYS", control & 4, data, size, nullptr);
  kx_common::os_time_test_reset((kxfuzz::workdir() + "/time").c_str());

  time_t t = 1700000000;
  OS_TIME_acceleration(&t);
  char word[20];
  for (KX_RC (*get)(char*) : {OS_TIME_get_factor, OS_TIME_get_odate, OS_TIME_get_sdate}) {
    memset(word, 'x', sizeof word);
    if (get(word) == KX_SUCCESS && strnlen(word, sizeof word) >= sizeof word)
      fail("a word read back is not terminated within 20 bytes");
  }
  return 0;
}
