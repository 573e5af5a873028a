// Trace lines of buffered mode are kept unformatted and made into text only
// when the ring is read: for any arguments, the text made then must be what
// vsnprintf makes of the same format and arguments, at the place the line
// was given when it was written.
//
// Input: a sequence of lines, each one byte choosing a format from the table
// below, then that format's arguments in turn: a number is 8 bytes (taken as
// the conversion's type), a string a length byte and that many bytes (a NUL
// among them ends it early, as for any C string). Strings are at most 255
// bytes and an input at most 8 lines, so the lines always fit in one half.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_workdir.h"
#include "os_diag.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  unsigned byte() { return p_ < end_ ? *p_++ : 0; }
  unsigned long number() {
    unsigned long v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  std::string text() {
    const size_t n = byte();
    std::string s;
    for (size_t i = 0; i < n && p_ < end_; ++i) s.push_back(static_cast<char>(*p_++));
    return std::string(s.c_str());  // up to the first NUL
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

std::string reference(const char* format, ...) KX_PRINTF(1, 2);
std::string reference(const char* format, ...) {
  std::string text(OS_DIAG_MAX_TEXT + 1, '\0');
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(&text[0], text.size(), format, ap);
  va_end(ap);
  text.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), OS_DIAG_MAX_TEXT));
  return text;
}

// Writes one trace line and returns the text vsnprintf makes of it.
#define LINE(...)                \
  do {                           \
    DIAG_TRACE(4, __VA_ARGS__);  \
    return reference(__VA_ARGS__); \
  } while (0)

std::string write_line(unsigned choice, Input& in) {
  switch (choice % 12) {
    case 0: {
      const std::string a = in.text(), b = in.text();
      LINE("%s: elem - '%s'", a.c_str(), b.c_str());
    }
    case 1: {
      const int len = static_cast<int>(in.number() % 300);
      const std::string s = in.text();
      LINE("%s: input text(%d)='%-.*s'", "GM_XML_ActOnCharacterData", len, len, s.c_str());
    }
    case 2: {
      const int width = static_cast<int>(static_cast<long>(in.number()) % 64);
      const std::string name = in.text(), value = in.text();
      LINE("\t%-*s = %.500s", width, name.c_str(), value.c_str());
    }
    case 3: {
      const long a = static_cast<long>(in.number());
      const unsigned long b = in.number();
      const size_t c = in.number();
      const ssize_t d = static_cast<ssize_t>(in.number());
      LINE("%ld %lu %zu %zd %lx %zx", a, b, c, d, b, c);
    }
    case 4: {
      const int a = static_cast<int>(in.number());
      const unsigned b = static_cast<unsigned>(in.number());
      LINE("[%d|%i|%u|%x|%5d|%-5d|%05d|%08x|%-8x]", a, a, b, b, a, a, a, b, b);
    }
    case 5: {
      const std::string s = in.text();
      const int w = static_cast<int>(static_cast<long>(in.number()) % 300);
      LINE("[%10s|%-10s|%.3s|%*s|%*d]", s.c_str(), s.c_str(), s.c_str(), w, s.c_str(), w, w);
    }
    case 6: {
      const int p = static_cast<int>(static_cast<long>(in.number()) % 40);
      const int d = static_cast<int>(in.number());
      LINE("100%% of %.*d and %d%%", p, d, d);  // a real precision goes to vsnprintf
    }
    case 7: {
      const std::string a = in.text(), b = in.text(), c = in.text();
      LINE("%s%s%s", a.c_str(), b.c_str(), c.c_str());
    }
    case 8: {
      const double x = static_cast<double>(in.number() % 100000) / 7;
      LINE("%s=%f", "ratio", x);  // a conversion only vsnprintf knows
    }
    case 9: {
      const int a = static_cast<int>(in.number());
      LINE("%s: allocated %d bytes at %x", "PEXLIST_append", a, static_cast<unsigned>(a));
    }
    case 10: {
      const std::string s = in.text();
      const char* none = in.byte() % 2 == 0 ? nullptr : s.c_str();
      LINE("value '%s'", none);
    }
    default: {
      const std::string s = in.text();
      LINE("%s", s.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kx::diag::reset_state();
  OS_DIAG_initialize(nullptr, "FZ");  // buffered mode, an empty ring
  Input in(data, size);
  std::vector<std::string> texts;
  while (!in.empty() && texts.size() < 8) texts.push_back(write_line(in.byte(), in));
  if (active_buff != 0) fail("the lines did not fit in one half");
  kx::diag::settle_ring();

  // Each line is "<stamp> FZ:<text>\n" with a 17-character stamp.
  const std::string ring(debug_buff[0], strnlen(debug_buff[0], OS_DIAG_HALF_SIZE));
  if (ring.size() != static_cast<size_t>(debug_index)) fail("ring length differs from its index");
  size_t at = 0;
  for (const std::string& text : texts) {
    const std::string expected = " FZ:" + text + "\n";
    if (ring.compare(at + 17, expected.size(), expected) != 0)
      fail("line text differs from vsnprintf's: '" + text + "'");
    at += 17 + expected.size();
  }
  if (at != ring.size()) fail("the ring holds more than the lines written");
  return 0;
}
