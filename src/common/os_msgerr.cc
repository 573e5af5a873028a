// os_msgerr.cc - messages for the operator on standard error, for the cases
// where the log itself cannot be trusted (for example a bad debug level).

#include <cstdarg>
#include <cstdio>

#include "os_diag.h"

namespace {
constexpr int kMessageArea = 5120;
}

extern "C" void OS_MSGERR_display(const char* format, ...) {
  if (format == nullptr) return;
  char text[kMessageArea];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  fprintf(stderr, "%.*s\n", kMessageArea - 1, text);
}
