// Code-page data files: the input as the data file of the code page FUZZ,
// read when the locale ".FUZZ" is asked for. Either the locale is refused
// with one of the errors the interface names, or it converts text into
// UTF-8 without writing past the target.
//
// Input: the file.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_workdir.h"
#include "qv.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  kxfuzz::install_locales();
  g_dir = kxfuzz::workdir() + "/exe/locale";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::write_file("exe/locale/FUZZ.cp", data, size);
  if (QVInit(g_dir.c_str(), nullptr, nullptr, nullptr, QV_INIT_DEFAULT) != QV_OK)
    fail("QVInit failed");
  long error = -1;
  QVLocale fuzz = QVGetLocale(".FUZZ", 0, &error);
  if (fuzz == nullptr) {
    if (error != QV_ERR_CODE_PAGE && error != QV_ERR_DATA_LOADING && error != QV_ERR_MEMORY)
      fail("QVGetLocale: an error the interface does not name");
  } else {
    if (error != QV_OK) fail("QVGetLocale: a locale with an error");
    QVLocale utf8 = QVGetLocale(".UTF-8", 0, &error);
    if (utf8 == nullptr) fail("the UTF-8 locale is gone");
    char out[16];
    const char text[] = "Hadoop job 42";
    for (QVLocale from : {fuzz, utf8}) {
      QVLocale to = from == fuzz ? utf8 : fuzz;
      const long n = QVConvertString(to, out, sizeof out, from, text, sizeof text - 1,
                                     QV_CONVERT_TERMINATE);
      if (n >= static_cast<long>(sizeof out) || n < -1) fail("QVConvertString: bad count");
      if (n >= 0 && strnlen(out, sizeof out) >= sizeof out) fail("output not terminated");
    }
    if (QVReleaseLocale(utf8, 0) != 0 || QVReleaseLocale(fuzz, 0) != 0) fail("release failed");
  }
  QVTerm(nullptr);
  return 0;
}
