// os_diag.cc - the process log: levels, the line writer, buffered mode with
// its ring and critical-event dump, and size-limited rotation.

#include "os_diag.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "gm_param.h"
#include "gm_time.h"
#include "os_file.h"
#include "os_time.h"

extern "C" {
int diag_debug_level[32];
int diag_active_level;
int diag_buffered_level = 5;

char debug_buff[2][OS_DIAG_HALF_SIZE];
int active_buff;
int debug_index;

char os_diag_file_name[4097];
char os_diag_proc_name[100];

int is_log_versions_enabled;
int skip_checks_counter;
int last_log_file_version;
int64_t limit_log_file_size;
int limit_log_versions;
}

namespace {

constexpr int kMinLevel = 0;
constexpr int kMaxLevel = 6;
// A half never holds more than this, so its terminator always fits.
constexpr size_t kRingLimit = OS_DIAG_HALF_SIZE - 1;
constexpr int kChecksEvery = 100;
constexpr int64_t kMegabyte = 1048576;
constexpr int64_t kDefaultFileLimit = 10 * kMegabyte;
constexpr int kDefaultVersions = 10;
constexpr mode_t kDefaultFileMode = 0644;
constexpr size_t kVersionsPiece = 1024;  // 1,023 characters and a terminator
// The installed-versions file is a few lines; what it holds beyond this (a
// link to a device that never ends, say) is not copied into the log.
constexpr long kVersionsMax = 65536;

// Set while the writer is at work. Whatever the writer calls (parameter
// lookups, file operations) may log; those lines are dropped rather than
// written into the middle of a dump or of the line being built, and they
// never touch the shared format buffers below.
bool g_in_writer = false;
time_t g_raised_since = 0;
int g_reset_interval = 600;

// The line being written. Static because it is large; the writer guard
// keeps it from being reused while in use.
char g_line[OS_DIAG_MAX_TEXT + 256];

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

class WriterGuard {
 public:
  WriterGuard() { g_in_writer = true; }
  ~WriterGuard() { g_in_writer = false; }
  WriterGuard(const WriterGuard&) = delete;
  WriterGuard& operator=(const WriterGuard&) = delete;
};

void put_text(char* dst, size_t size, const char* text) {
  snprintf(dst, size, "%s", text);
}

// Both drop rules that do not depend on the text, so a line the writer would
// drop costs no formatting.
bool writer_would_drop() {
  int d = diag_debug_level[0];
  return (d > 0 && d < diag_active_level) || g_in_writer;
}

int checked_level(int lvl, const char* warning) {
  if (lvl >= kMinLevel && lvl <= kMaxLevel) return lvl;
  OS_MSGERR_display(warning, lvl);
  OS_MSGERR_display("It will be set to 0 by default.");
  return 0;
}

bool rotating_process(const char* name) {
  if (strcmp(name, "AG") == 0 || strcmp(name, "AT") == 0 || strcmp(name, "AR") == 0 ||
      strcmp(name, "WK") == 0)
    return true;
  // Tracker workers: ATW followed by their number.
  return strlen(name) >= 4 && strncmp(name, "ATW", 3) == 0 &&
         isdigit(static_cast<unsigned char>(name[3]));
}

bool lookup(const char* table, const char* key, GM_PARAM_VALUE_typ value) {
  value[0] = '\0';
  return GM_PARAM_get(table, key, value) == KX_SUCCESS;
}

// "<stamp> <name>:", the start of every line. The stamp is the same text for
// every line of one millisecond: it is made from the clock's second and
// millisecond exactly as GM_TIME_fmt_get_time2 makes it, but only when they
// (or the process name) differ from the previous line's. Each new text gets
// a new generation number, so a kept line can tell whether its half already
// holds a copy.
struct Prefix {
  char stamp[64] = "";
  char text[64 + sizeof os_diag_proc_name + 2] = "";
  size_t len = 0;
  uint64_t generation = 0;
  time_t second = -1;
  unsigned short ms = 0;
  char name[sizeof os_diag_proc_name] = "";
  size_t name_len = 0;
};
Prefix g_prefix;

// Reading the clock is the largest part of a kept line's cost, yet the
// stamp changes only once a millisecond. After each reading the processor's
// time-stamp counter, at a third of the price, tells whether that
// millisecond can have ended: the counter is taken to run no faster than a
// lower bound of its rate, so it never shows less time gone than has gone.
// Used only where the kernel itself keeps time by that counter (so it is
// constant and the same on every processor), and once its rate is known.
#if defined(__x86_64__) || defined(__i386__)
inline uint64_t counter() { return __rdtsc(); }
constexpr bool kHaveCounter = true;
#else
inline uint64_t counter() { return 0; }
constexpr bool kHaveCounter = false;
#endif

class StampClock {
 public:
  // True when the millisecond of the last reading cannot have ended yet.
  bool same_millisecond() const { return until_ != 0 && counter() < until_; }

  // The clock as OS_TIME_bin_get_timer2 gives it.
  void read(time_t* now, unsigned short* ms) {
    const uint64_t before = counter();
    int us_in_ms = 0;
    kx_common::bin_get_timer_us(now, ms, &us_in_ms);
    until_ = 0;
    if (!calibrated(before)) return;
    // The reading may lag the counter by up to a microsecond.
    const long left_us = 1000 - us_in_ms - 2;
    if (left_us > 0) until_ = before + static_cast<uint64_t>(left_us * ticks_per_us_);
  }

 private:
  bool calibrated(uint64_t tsc) {
    if (ticks_per_us_ > 0) return true;
    if (state_ == kUnusable) return false;
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &mono);
    const double mono_us = static_cast<double>(mono.tv_sec) * 1e6 + mono.tv_nsec / 1e3;
    if (state_ == kUnknown) {
      state_ = kernel_uses_counter() ? kMeasuring : kUnusable;
      start_tsc_ = tsc;
      start_us_ = mono_us;
      return false;
    }
    // 20 ms measure the rate to a few parts in 10,000; 2 % is left as margin.
    if (mono_us - start_us_ < 20000 || tsc <= start_tsc_) return false;
    ticks_per_us_ = 0.98 * static_cast<double>(tsc - start_tsc_) / (mono_us - start_us_);
    return true;
  }

  static bool kernel_uses_counter() {
    if (!kHaveCounter) return false;
    FilePtr f(fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r"));
    char name[32] = "";
    return f && fgets(name, sizeof name, f.get()) != nullptr && strcmp(name, "tsc\n") == 0;
  }

  enum State { kUnknown, kMeasuring, kUnusable };
  State state_ = kUnknown;
  uint64_t start_tsc_ = 0;
  double start_us_ = 0;
  double ticks_per_us_ = 0;
  uint64_t until_ = 0;
};
StampClock g_clock;

const Prefix& current_prefix() {
  Prefix& p = g_prefix;
  // os_diag_proc_name always ends within its array, so this reads no further.
  const bool new_name = memcmp(p.name, os_diag_proc_name, p.name_len + 1) != 0;
  if (!new_name && p.generation != 0 && g_clock.same_millisecond()) return p;
  time_t now = 0;
  unsigned short ms = 0;
  g_clock.read(&now, &ms);
  const bool new_stamp = now != p.second || ms != p.ms;
  if (!new_stamp && !new_name && p.generation != 0) return p;
  if (new_stamp || p.generation == 0) {
    GM_TIME_fmt_to_ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, now, ms, p.stamp);
    p.second = now;
    p.ms = ms;
  }
  p.name_len = strnlen(os_diag_proc_name, sizeof os_diag_proc_name - 1);
  memcpy(p.name, os_diag_proc_name, p.name_len);
  p.name[p.name_len] = '\0';
  const size_t stamp_len = strnlen(p.stamp, sizeof p.stamp - 1);
  char* w = p.text;
  memcpy(w, p.stamp, stamp_len);
  w += stamp_len;
  *w++ = ' ';
  memcpy(w, p.name, p.name_len);
  w += p.name_len;
  *w++ = ':';
  p.len = static_cast<size_t>(w - p.text);
  ++p.generation;
  return p;
}

// ---- the text of a line, without the general printf machinery ----
//
// The code's trace formats use a handful of conversions (%s with or without
// a precision, %d, %ld, %u, %lu, %zu, %x, the flags '-' and '0', a width,
// also one given as an argument).
// These are produced here directly; any other conversion, a null string or
// a text longer than a line takes makes the caller format with vsnprintf,
// so the text is always exactly what vsnprintf gives.

struct Out {
  char* p;
  size_t used;
  size_t cap;  // bytes of text that fit (the terminator not counted)
  bool put(const char* s, size_t n) {
    if (n > cap - used) return false;
    memcpy(p + used, s, n);
    used += n;
    return true;
  }
  bool fill(char c, size_t n) {
    if (n > cap - used) return false;
    memset(p + used, c, n);
    used += n;
    return true;
  }
};

// Digits of v in base 10 or 16, written backwards from end; returns the start.
// Each base has its own loop so that neither divides by a variable.
char* digits(unsigned long v, unsigned base, char* end) {
  static const char kHex[] = "0123456789abcdef";
  if (base == 16) {
    do {
      *--end = kHex[v & 15];
      v >>= 4;
    } while (v != 0);
    return end;
  }
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return end;
}

size_t digit_count(unsigned long v, unsigned base) {
  if (base == 16) return (static_cast<size_t>(64 - __builtin_clzl(v | 1)) + 3) / 4;
  size_t n = 1;
  for (unsigned long limit = 10; v >= limit; limit *= 10) {
    ++n;
    if (n == 20) break;  // 10^20 does not fit: v has 20 digits
  }
  return n;
}

bool put_padded(Out* out, const char* sign, const char* body, size_t n, size_t width, bool left,
                bool zero) {
  const size_t sign_n = sign != nullptr ? 1 : 0;
  const size_t pad = width > n + sign_n ? width - n - sign_n : 0;
  if (left) {
    return (sign_n == 0 || out->put(sign, 1)) && out->put(body, n) && out->fill(' ', pad);
  }
  if (zero) {
    return (sign_n == 0 || out->put(sign, 1)) && out->fill('0', pad) && out->put(body, n);
  }
  return out->fill(' ', pad) && (sign_n == 0 || out->put(sign, 1)) && out->put(body, n);
}

// One conversion of a format, as far as the quick formatter knows it.
struct Conversion {
  char conv = 0;  // 's', 'd', 'i', 'u', 'x' or '%'
  char size = 0;  // 0, 'l' or 'z'
  bool left = false;
  bool zero = false;
  bool has_precision = false;
  bool star_width = false;      // the width is an argument
  bool star_precision = false;  // the precision is an argument
  uint32_t width = 0;
  uint32_t precision = 0;
};

// Reads a width or a precision at f and moves f past it: '*' (the count is
// an argument) or digits. False when the digits count more than max.
bool read_count(const char*& f, uint32_t max, bool* from_argument, uint32_t* count) {
  if (*f == '*') {
    *from_argument = true;
    ++f;
    return true;
  }
  uint64_t n = 0;
  while (*f >= '0' && *f <= '9') {
    n = n * 10 + static_cast<uint64_t>(*f - '0');
    if (n > max) return false;
    ++f;
  }
  *count = static_cast<uint32_t>(n);
  return true;
}

// Reads the conversion that follows a '%' at f and moves f past it. False
// for anything the quick formatter leaves to vsnprintf. A conversion whose
// precision is an argument may still turn out to need it (a number with a
// precision); the caller sees that once it has the argument.
bool parse_conversion(const char*& f, Conversion* cv) {
  Conversion s;
  for (;; ++f) {
    if (*f == '-') {
      s.left = true;
    } else if (*f == '0') {
      s.zero = true;
    } else {
      break;
    }
  }
  if (!read_count(f, OS_DIAG_MAX_TEXT, &s.star_width, &s.width)) return false;
  if (*f == '.') {
    ++f;
    s.has_precision = true;
    if (!read_count(f, INT_MAX, &s.star_precision, &s.precision)) return false;
  }
  if (*f == 'l' || *f == 'z') s.size = *f++;
  s.conv = *f++;
  if (s.left) s.zero = false;
  switch (s.conv) {
    case '%':
      if (s.left || s.zero || s.width != 0 || s.star_width || s.has_precision || s.size != 0)
        return false;
      break;
    case 's':
      if (s.size != 0 || s.zero) return false;
      break;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
      if (s.has_precision && !s.star_precision) return false;
      break;
    default:
      return false;
  }
  *cv = s;
  return true;
}

// The argument of one conversion, fetched: a string and its length (its
// precision applied), or a number's magnitude and sign; and the width and
// side of its padding (given in the format or as an argument).
struct Value {
  const char* str;
  size_t len;
  unsigned long magnitude;
  bool negative;
  bool left;
  uint32_t width;
};

// Fetches the argument(s) of conversion cv from ap. False where vsnprintf
// must do it.
bool fetch(const Conversion& cv, va_list ap, Value* v) {
  *v = Value{nullptr, 0, 0, false, cv.left, cv.width};
  if (cv.star_width) {
    const int w = va_arg(ap, int);
    // A negative width is a '-' flag and its magnitude.
    if (w < -OS_DIAG_MAX_TEXT || w > OS_DIAG_MAX_TEXT) return false;
    if (w < 0) v->left = true;
    v->width = static_cast<uint32_t>(w < 0 ? -w : w);
  }
  bool has_precision = cv.has_precision;
  size_t precision = cv.precision;
  if (cv.star_precision) {
    const int p = va_arg(ap, int);
    if (p < 0) {
      has_precision = false;  // a negative precision is taken as none
    } else {
      precision = static_cast<size_t>(p);
    }
  }
  switch (cv.conv) {
    case '%':
      return true;
    case 's': {
      v->str = va_arg(ap, const char*);
      if (v->str == nullptr) return false;
      v->len = has_precision ? strnlen(v->str, precision) : strlen(v->str);
      return true;
    }
    default:
      if (has_precision) return false;
      if (cv.conv == 'd' || cv.conv == 'i') {
        long n = cv.size == 'l'   ? va_arg(ap, long)
                 : cv.size == 'z' ? static_cast<long>(va_arg(ap, ssize_t))
                                    : static_cast<long>(va_arg(ap, int));
        v->negative = n < 0;
        v->magnitude =
            v->negative ? 0UL - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
      } else {
        v->magnitude = cv.size == 'l'   ? va_arg(ap, unsigned long)
                       : cv.size == 'z' ? static_cast<unsigned long>(va_arg(ap, size_t))
                                          : static_cast<unsigned long>(va_arg(ap, unsigned int));
      }
      return true;
  }
}

// The characters conversion cv makes of v, padding included.
size_t width_of(const Conversion& cv, const Value& v) {
  size_t n = 0;
  switch (cv.conv) {
    case '%':
      return 1;
    case 's':
      n = v.len;
      break;
    default:
      n = digit_count(v.magnitude, cv.conv == 'x' ? 16 : 10) + (v.negative ? 1 : 0);
      break;
  }
  return std::max<size_t>(n, v.width);
}

bool put_value(Out* out, const Conversion& cv, const Value& v) {
  switch (cv.conv) {
    case '%':
      return out->put("%", 1);
    case 's':
      return put_padded(out, nullptr, v.str, v.len, v.width, v.left, false);
    default: {
      char buf[32];
      char* end = buf + sizeof buf;
      char* start = digits(v.magnitude, cv.conv == 'x' ? 16 : 10, end);
      return put_padded(out, v.negative ? "-" : nullptr, start,
                        static_cast<size_t>(end - start), v.width, v.left,
                        cv.zero && !v.left);
    }
  }
}

// False when the format needs vsnprintf (or the text does not fit).
bool quick_format(Out* out, const char* f, va_list ap) {
  for (;;) {
    const char* pct = strchr(f, '%');
    if (pct == nullptr) return out->put(f, strlen(f));
    if (!out->put(f, static_cast<size_t>(pct - f))) return false;
    f = pct + 1;
    Conversion cv;
    Value v;
    if (!parse_conversion(f, &cv) || !fetch(cv, ap, &v) || !put_value(out, cv, v)) return false;
  }
}

// ---- lines kept unformatted ----
//
// In buffered mode nearly every line goes into the ring and is never read.
// Such a line is kept as its format, a copy of its arguments and its prefix,
// and only its length is worked out now: that is all the switch of ring
// halves needs. Its text is made at its place in debug_buff when the ring is
// dumped, byte for byte what it would have been. Only a format in the
// read-only data of this library or of the main program is kept so, since it
// must outlive the line. A format the quick formatter does not know, a null
// string or a line longer than a half is formatted at once, as every line is
// outside buffered mode.

constexpr size_t kMaxKeptArgs = 16;

// A format taken apart once: its literal pieces and conversions in order,
// each conversion preceded by the literal before it.
struct Program {
  struct Piece {
    const char* literal;
    uint32_t literal_len;
    Conversion cv;
  };
  bool keepable = false;
  std::vector<Piece> pieces;
  const char* tail = nullptr;
  uint32_t tail_len = 0;
  size_t literal_len = 0;  // of all pieces and the tail
};

Program compile(const char* format) {
  Program p;
  const char* f = format;
  for (;;) {
    const char* pct = strchr(f, '%');
    if (pct == nullptr) break;
    Program::Piece piece{f, static_cast<uint32_t>(pct - f), Conversion{}};
    f = pct + 1;
    if (!parse_conversion(f, &piece.cv) || p.pieces.size() == kMaxKeptArgs) return p;
    p.literal_len += piece.literal_len;
    p.pieces.push_back(piece);
  }
  p.tail = f;
  p.tail_len = static_cast<uint32_t>(strlen(f));
  p.literal_len += p.tail_len;
  p.keepable = p.literal_len <= OS_DIAG_MAX_TEXT;
  return p;
}

// The read-only segments of the object this code is in and of the main
// program, where their string literals live; found once. Both stay loaded
// as long as this code does, so a format there outlives every kept line.
struct ReadOnly {
  struct Range {
    uintptr_t from, to;
  };
  Range ranges[16];
  int count = 0;
  int objects_seen = 0;
};

int note_read_only(dl_phdr_info* info, size_t, void* data) {
  auto* ro = static_cast<ReadOnly*>(data);
  const auto here = reinterpret_cast<uintptr_t>(&note_read_only);
  bool mine = ro->objects_seen++ == 0;  // the first object reported is the main program
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    const uintptr_t from = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && here >= from && here < from + ph.p_memsz) mine = true;
  }
  if (!mine) return 0;
  for (int i = 0; i < info->dlpi_phnum && ro->count < 16; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    const uintptr_t from = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) == 0)
      ro->ranges[ro->count++] = {from, from + ph.p_memsz};
  }
  return 0;
}

bool in_read_only_data(const char* p) {
  static const ReadOnly ro = [] {
    ReadOnly r;
    dl_iterate_phdr(note_read_only, &r);
    return r;
  }();
  const auto a = reinterpret_cast<uintptr_t>(p);
  for (int i = 0; i < ro.count; ++i)
    if (a >= ro.ranges[i].from && a < ro.ranges[i].to) return true;
  return false;
}

// Programs by format address. A format seen first is taken apart once;
// one that may not be kept is remembered as such. When the table is full,
// further formats are simply formatted at once.
class Programs {
 public:
  const Program* find(const char* format) {
    size_t i = slot(format);
    for (size_t probes = 0; probes < kSlots; ++probes, i = (i + 1) & (kSlots - 1)) {
      if (keys_[i] == format) return programs_[i].get();
      if (keys_[i] == nullptr) {
        if (!in_read_only_data(format) || used_ >= kSlots / 2) return nullptr;
        try {
          programs_[i] = std::make_unique<Program>(compile(format));
        } catch (const std::bad_alloc&) {
          return nullptr;  // formatted at once; taken apart another time
        }
        keys_[i] = format;
        ++used_;
        return programs_[i].get();
      }
    }
    return nullptr;
  }

 private:
  static constexpr size_t kSlots = 4096;
  static size_t slot(const char* p) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) * 0x9E3779B97F4A7C15ULL) >> 52) &
           (kSlots - 1);
  }
  const char* keys_[kSlots] = {};
  std::unique_ptr<Program> programs_[kSlots];
  size_t used_ = 0;
};

// Made on first use in static storage and never destroyed: a line written
// while other static objects are still being made, or from an exit handler
// that runs after they are gone (an agent's Term, say), still finds it, and
// making it allocates nothing.
template <typename T, size_t N = 1>
T* kept_for_the_process() {
  alignas(T) static unsigned char storage[N * sizeof(T)];
  static T* const objects = [] {
    T* first = reinterpret_cast<T*>(storage);
    for (size_t i = 0; i < N; ++i) new (first + i) T();
    return first;
  }();
  return objects;
}

Programs& programs() { return *kept_for_the_process<Programs>(); }

// Bytes of one ring half's kept lines: their prefixes and arguments.
class Store {
 public:
  // n more bytes at the end, to be written by the caller.
  char* extend(size_t n) {
    reserve(n);
    char* at = data_.get() + used_;
    used_ += n;
    return at;
  }
  size_t size() const { return used_; }
  // Room for n more bytes, so that the next extend(n) does not allocate.
  void reserve(size_t n) {
    if (n > cap_ - used_) grow(n);
  }
  const char* at(size_t offset) const { return data_.get() + offset; }
  void clear() { used_ = 0; }

 private:
  void grow(size_t n) {
    size_t cap = std::max<size_t>(cap_ * 2, 16384);
    while (cap - used_ < n) cap *= 2;
    std::unique_ptr<char[]> bigger(new char[cap]);
    if (used_ > 0) memcpy(bigger.get(), data_.get(), used_);
    data_ = std::move(bigger);
    cap_ = cap;
  }
  std::unique_ptr<char[]> data_;
  size_t cap_ = 0;
  size_t used_ = 0;
};

// A kept argument in a half's store: its Value, then a string's bytes (its
// pointer is set again when the line is made).
size_t stored_size(const Conversion& cv, const Value& v) {
  return sizeof v + (cv.conv == 's' ? v.len : 0);
}

char* store_value(char* w, const Conversion& cv, const Value& v) {
  memcpy(w, &v, sizeof v);
  if (cv.conv == 's') memcpy(w + sizeof v, v.str, v.len);
  return w + stored_size(cv, v);
}

const char* load_value(const char* at, const Conversion& cv, Value* v) {
  memcpy(v, at, sizeof *v);
  if (cv.conv == 's') v->str = at + sizeof *v;
  return at + stored_size(cv, *v);
}

struct KeptLine {
  const Program* program;
  uint32_t offset;  // in the half
  uint32_t length;  // of the whole line, line feed included
  uint32_t prefix;  // in the store, prefix_len bytes
  uint32_t prefix_len;
  uint32_t args;    // in the store
};

struct Half {
  std::vector<KeptLine> lines;
  Store store;
  uint64_t prefix_generation = 0;  // of the prefix last copied into store
  uint32_t prefix = 0;
  size_t end = 0;  // bytes of lines in the half, kept or written
};

Half* halves() { return kept_for_the_process<Half, 2>(); }
// Room in either half for one more kept line storing `bytes`, allocated
// before the ring is touched: a line that finds no memory is formatted at
// once instead, and nothing thrown leaves DIAG_printf.
bool make_room(size_t bytes) {
  try {
    for (int h = 0; h < 2; ++h) {
      Half& half = halves()[h];
      if (half.lines.size() == half.lines.capacity())
        half.lines.reserve(std::max<size_t>(64, 2 * half.lines.capacity()));
      half.store.reserve(bytes);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Where this code last left the ring. Anyone else moving active_buff or
// debug_index (the agent may) makes the kept lines be written out first.
int g_left_half = 0;

// Makes the text of half h's kept lines at their places in debug_buff.
void write_out(int h) {
  Half& half = halves()[h];
  char* text = debug_buff[h];
  for (const KeptLine& line : half.lines) {
    Out out{text + line.offset, 0, line.length - 1};
    out.put(half.store.at(line.prefix), line.prefix_len);
    const char* arg = half.store.at(line.args);
    const Program& prog = *line.program;
    for (const Program::Piece& piece : prog.pieces) {
      out.put(piece.literal, piece.literal_len);
      Value v;
      arg = load_value(arg, piece.cv, &v);
      put_value(&out, piece.cv, v);
    }
    out.put(prog.tail, prog.tail_len);
    text[line.offset + line.length - 1] = '\n';
  }
  half.lines.clear();
  half.store.clear();
  half.prefix_generation = 0;
  if (half.end < OS_DIAG_HALF_SIZE) text[half.end] = '\0';
}

void forget_half(int h) {
  Half& half = halves()[h];
  half.lines.clear();
  half.store.clear();
  half.prefix_generation = 0;
  half.end = 0;
}

// Takes len bytes (at most kRingLimit) at the end of the half being filled,
// switching halves when they do not fit: the other half starts over and its
// old lines stop being part of it. Returns their offset.
size_t ring_reserve(size_t len) {
  if (active_buff != 0 && active_buff != 1) active_buff = 0;
  if (debug_index < 0 || static_cast<size_t>(debug_index) > kRingLimit) debug_index = 0;
  const bool moved = active_buff != g_left_half ||
                     static_cast<size_t>(debug_index) != halves()[active_buff].end;
  if (moved) {
    write_out(0);
    write_out(1);
    halves()[active_buff].end = static_cast<size_t>(debug_index);
  }
  if (len + debug_index > kRingLimit) {
    active_buff = 1 - active_buff;
    debug_index = 0;
    forget_half(active_buff);
  }
  const size_t offset = static_cast<size_t>(debug_index);
  debug_index += static_cast<int>(len);
  halves()[active_buff].end = static_cast<size_t>(debug_index);
  g_left_half = active_buff;
  return offset;
}

// Keeps a trace line of buffered mode unformatted; false when it has to be
// formatted now. ap is used up either way.
bool keep_line(const char* format, va_list ap) {
  const Program* prog = programs().find(format);
  if (prog == nullptr || !prog->keepable) return false;
  const size_t count = prog->pieces.size();
  Value values[kMaxKeptArgs];
  size_t text_len = prog->literal_len;
  size_t arg_bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const Conversion& cv = prog->pieces[i].cv;
    if (!fetch(cv, ap, &values[i])) return false;
    text_len += width_of(cv, values[i]);
    arg_bytes += stored_size(cv, values[i]);
  }
  if (text_len > OS_DIAG_MAX_TEXT) return false;
  const Prefix& prefix = current_prefix();
  const size_t len = prefix.len + text_len + 1;
  if (len > kRingLimit || !make_room(prefix.len + arg_bytes)) return false;

  const size_t offset = ring_reserve(len);
  Half& half = halves()[active_buff];
  if (half.prefix_generation != prefix.generation) {
    half.prefix = static_cast<uint32_t>(half.store.size());
    memcpy(half.store.extend(prefix.len), prefix.text, prefix.len);
    half.prefix_generation = prefix.generation;
  }
  KeptLine& line = half.lines.emplace_back();
  line.program = prog;
  line.offset = static_cast<uint32_t>(offset);
  line.length = static_cast<uint32_t>(len);
  line.prefix = half.prefix;
  line.prefix_len = static_cast<uint32_t>(prefix.len);
  line.args = static_cast<uint32_t>(half.store.size());
  char* w = half.store.extend(arg_bytes);
  for (size_t i = 0; i < count; ++i) w = store_value(w, prog->pieces[i].cv, values[i]);
  return true;
}

void ring_append(const char* line, size_t len) {
  bool cut = len > kRingLimit;
  if (cut) len = kRingLimit;
  const size_t offset = ring_reserve(len);
  char* half = debug_buff[active_buff];
  memcpy(half + offset, line, len);
  if (cut) half[offset + len - 1] = '\n';
  half[offset + len] = '\0';
}

void ring_clear() {
  forget_half(0);
  forget_half(1);
  memset(debug_buff, 0, sizeof debug_buff);
  debug_index = 0;
}

void dump_half(FILE* fp, int half) {
  fwrite(debug_buff[half], 1, strnlen(debug_buff[half], OS_DIAG_HALF_SIZE), fp);
}

void give_new_file_attributes(FILE* fp) {
  int fd = fileno(fp);
  mode_t mode = kDefaultFileMode;
  GM_PARAM_VALUE_typ value;
  if (lookup("OS", "PROCLOG_MODE", value) && atoi(value) > 0) {
    long bits = strtol(value, nullptr, 8) & 07777;
    // Digits that are no octal number would give a file nobody may write.
    if (bits > 0) mode = static_cast<mode_t>(bits);
  }
  (void)fchmod(fd, mode);
  unsigned int uid = 0;
  unsigned int gid = 0;
  if (OS_FILE_get_file_owner(".", &uid, &gid) == KX_SUCCESS)
    (void)fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid));
}

void write_dump(FILE* fp, const char* stamp, const char* line, int buffered_level) {
  fprintf(fp, "%s: Orvanta/Agent has encountered the following critical error:\n\n%s\n", stamp,
          line);
  char reason[OS_DIAG_ERROR_SIZE] = "";
  if (os_diag_print_installed_versions(fp, reason) != KX_SUCCESS) fprintf(fp, "%s\n", reason);
  fputs("\nFull debug log containing the error:\n\n", fp);
  write_out(0);
  write_out(1);
  fputs(">>> Start dump non active buffer\n", fp);
  dump_half(fp, 1 - active_buff);
  fputs(">>> End dump non active buffer\n", fp);
  fputs(">>> Start dump active buffer\n", fp);
  dump_half(fp, active_buff);
  fputs(">>> End dump active buffer\n", fp);
  ring_clear();

  DIAG_set_debug_level(buffered_level);
  g_raised_since = time(nullptr);
  GM_PARAM_VALUE_typ value;
  if (lookup("CONFIG", "DBG_RESET_INTERVAL", value) && atoi(value) > 0)
    g_reset_interval = atoi(value);
  fprintf(fp, "\nContinue generating debug information. Debug level will reset in %d seconds.\n\n",
          g_reset_interval);
}

// The stamp of the line being written, kept for the dump and the reset note.
char g_stamp[64];

// Puts "<stamp> <name>:" at the start of g_line; returns its length. The
// text follows it there, at most OS_DIAG_MAX_TEXT characters: the area holds
// the longest stamp, name and text with the line feed.
size_t begin_line() {
  const Prefix& prefix = current_prefix();
  memcpy(g_stamp, prefix.stamp, sizeof g_stamp);
  memcpy(g_line, prefix.text, prefix.len);
  return prefix.len;
}

// Ends the line begun in g_line, whose text ends at `end`, and writes it.
void finish_line(size_t end) {
  int d = diag_debug_level[0];
  int a = diag_active_level;
  int b = diag_buffered_level;
  WriterGuard guard;
  g_line[end] = '\n';
  g_line[end + 1] = '\0';
  const size_t len = end + 1;
  const char* stamp = g_stamp;

  if (d == 0) {
    ring_append(g_line, len);
    if (a > 0) return;
  }
  if (os_diag_file_name[0] == '\0') return;

  struct stat st;
  bool existed = ::stat(os_diag_file_name, &st) == 0;
  FilePtr fp(fopen(os_diag_file_name, "a"));
  if (!fp) return;
  if (!existed) give_new_file_attributes(fp.get());

  if (d == 0 && a == 0) {
    write_dump(fp.get(), stamp, g_line, b);
  } else if (d > 0 && d >= a) {
    fwrite(g_line, 1, len, fp.get());
    if (g_raised_since != 0 && time(nullptr) - g_raised_since > g_reset_interval) {
      fprintf(fp.get(), "%s %s:Reseting debug level to 0 after %d seconds\n", stamp,
              os_diag_proc_name, g_reset_interval);
      DIAG_set_debug_level(0);
      g_raised_since = 0;
    }
  }
  fp.reset();

  if (is_log_versions_enabled) {
    ++skip_checks_counter;
    // A failed check leaves the counter up, so it runs again after the next line.
    if (skip_checks_counter >= kChecksEvery && check_log_file_size() == KX_SUCCESS)
      skip_checks_counter = 0;
  }
}

void write_line(const char* text) {
  if (writer_would_drop()) return;
  const size_t prefix = begin_line();
  const size_t text_len = strnlen(text, OS_DIAG_MAX_TEXT);
  memcpy(g_line + prefix, text, text_len);
  finish_line(prefix + text_len);
}

void copy_name(char* out, size_t size, const char* base, int number) {
  snprintf(out, size, "%s_%02d.log", base, number);
}

}  // namespace

namespace kx {
namespace diag {

time_t raised_period_start() { return g_raised_since; }
void set_raised_period_start(time_t start) { g_raised_since = start; }
int reset_interval() { return g_reset_interval; }

void settle_ring() {
  write_out(0);
  write_out(1);
}

void reset_state() {
  memset(diag_debug_level, 0, sizeof diag_debug_level);
  diag_active_level = 0;
  diag_buffered_level = 5;
  ring_clear();
  active_buff = 0;
  os_diag_file_name[0] = '\0';
  os_diag_proc_name[0] = '\0';
  is_log_versions_enabled = 0;
  skip_checks_counter = 0;
  last_log_file_version = 0;
  limit_log_file_size = 0;
  limit_log_versions = 0;
  g_in_writer = false;
  g_raised_since = 0;
  g_reset_interval = 600;
}

KX_RC copy_text_file(FILE* fp, const char* path, char* error, size_t error_size) {
  if (fp == nullptr) {
    if (error != nullptr) snprintf(error, error_size, "null file pointer");
    return KX_FAIL;
  }
  FilePtr in(fopen(path, "r"));
  if (!in) {
    if (error != nullptr) snprintf(error, error_size, "failed to open input file '%s'", path);
    return KX_FAIL;
  }
  char piece[kVersionsPiece];
  long length = 0;
  long read = 0;
  while (OS_FILE_fgets_len(piece, static_cast<int>(sizeof piece), in.get(), &length) ==
         KX_SUCCESS) {
    read += length;
    if (read > kVersionsMax) {
      fprintf(fp, "installed-versions file '%s' is longer than %ld bytes: the rest is left out\n",
              path, kVersionsMax);
      break;
    }
    fputs(piece, fp);
  }
  return KX_SUCCESS;
}

size_t format_text(char* out, size_t size, const char* format, va_list ap) {
  if (size == 0) return 0;
  va_list quick;
  va_copy(quick, ap);
  Out o{out, 0, size - 1};
  const bool done = quick_format(&o, format, quick);
  va_end(quick);
  if (done) {
    out[o.used] = '\0';
    return o.used;
  }
  const int n = vsnprintf(out, size, format, ap);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return std::min(static_cast<size_t>(n), size - 1);
}

}  // namespace diag
}  // namespace kx

extern "C" {

int DIAG_debug_level(void) { return diag_debug_level[0]; }
int DIAG_active_level(void) { return diag_active_level; }
int DIAG_buffered_level(void) { return diag_buffered_level; }

void DIAG_set_debug_level(int p_lvl) {
  diag_debug_level[0] = checked_level(p_lvl, "Warning: debug level %d is not in the range of 0-6.");
}

void DIAG_set_active_level(int p_lvl) {
  diag_active_level =
      checked_level(p_lvl, "Warning: active debug level %d is not in the range of 0-6.");
}

void DIAG_set_buffered_level(int p_lvl) {
  diag_buffered_level =
      checked_level(p_lvl, "Warning: buffered debug level %d is not in the range of 0-6.");
}

int DIAG_debug_level2(int i) {
  if (i < 0 || i >= 32) return 0;
  return diag_debug_level[i];
}

void DIAG_set_debug_level2(int p_lvl, int i) {
  if (i == 0) {
    for (int& level : diag_debug_level) level = p_lvl;
  } else if (i > 0 && i < 32) {
    diag_debug_level[i] = p_lvl;
  }
}

void OS_DIAG_initialize(const char* /*log_file_name*/, const char* proc_name) {
  snprintf(os_diag_proc_name, sizeof os_diag_proc_name, "%s", proc_name ? proc_name : "");
  snprintf(os_diag_file_name, sizeof os_diag_file_name, "./proclog/%s_%d.log", os_diag_proc_name,
           static_cast<int>(getpid()));
  ring_clear();
  active_buff = 0;

  if (!rotating_process(os_diag_proc_name)) {
    is_log_versions_enabled = 0;
    return;
  }
  is_log_versions_enabled = 1;
  skip_checks_counter = 0;
  last_log_file_version = 0;

  GM_PARAM_VALUE_typ value;
  if (lookup("CONFIG", "LIMIT_LOG_FILE_SIZE", value)) {
    long long mb = strtoll(value, nullptr, 10);
    limit_log_file_size = mb > LLONG_MAX / kMegabyte ? LLONG_MAX : mb * kMegabyte;
  } else {
    limit_log_file_size = kDefaultFileLimit;
  }
  if (limit_log_file_size <= 0) {
    is_log_versions_enabled = 0;
    return;
  }
  if (lookup("CONFIG", "LIMIT_LOG_VERSIONS", value)) {
    limit_log_versions = atoi(value);
    if (limit_log_versions <= 0) is_log_versions_enabled = 0;
  } else {
    limit_log_versions = kDefaultVersions;
  }
}

void DIAG_printf(const char* format, ...) {
  if (format == nullptr || writer_would_drop()) return;
  va_list ap;
  // A trace line of buffered mode lives only in the ring.
  if (diag_debug_level[0] == 0 && diag_active_level > 0) {
    va_start(ap, format);
    const bool kept = keep_line(format, ap);
    va_end(ap);
    if (kept) return;
  }
  // Formatted straight behind the line's stamp and name.
  const size_t prefix = begin_line();
  va_start(ap, format);
  const size_t text_len =
      kx::diag::format_text(g_line + prefix, OS_DIAG_MAX_TEXT + 1, format, ap);
  va_end(ap);
  finish_line(prefix + text_len);
}

void DIAG_print_text(const char* p_line) {
  if (p_line == nullptr) return;
  write_line(p_line);
}

PEXRC PEXAPI_UTILS_DiagPrintf(int DiagLevel, const char* format, ...) {
  if (format == nullptr || DIAG_debug_level() < DiagLevel) return PEX_SUCCESS;
  char text[5000];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  DIAG_print_text(text);
  return PEX_SUCCESS;
}

void DIAG_fnc_enter(const char* /*fnc_name*/) {}
void DIAG_fnc_exit(void) {}

KX_RC check_log_file_size(void) {
  long size = 0;
  long lines = 0;
  DATETIME_D_typ created = "";
  DATETIME_D_typ modified = "";
  if (OS_FILE_stat(os_diag_file_name, &size, &lines, created, modified) != KX_SUCCESS)
    return KX_FAIL;

  PATHNAME_D_typ base;
  put_text(base, sizeof base, os_diag_file_name);
  if (char* dot = strrchr(base, '.')) *dot = '\0';

  if (static_cast<int64_t>(size) <= limit_log_file_size) return KX_SUCCESS;

  KX_RC rc = KX_SUCCESS;
  char from[sizeof(PATHNAME_D_typ) + 16];
  char to[sizeof(PATHNAME_D_typ) + 16];
  for (int i = last_log_file_version; i >= 0 && rc == KX_SUCCESS; --i) {
    if (i + 1 > limit_log_versions) {
      // The oldest copy is beyond the number kept. A copy already gone is no
      // reason to stop: the rename below replaces it anyway.
      copy_name(from, sizeof from, base, last_log_file_version);
      (void)OS_FILE_delete(from);
      continue;
    }
    if (i == 0)
      put_text(from, sizeof from, os_diag_file_name);
    else
      copy_name(from, sizeof from, base, i);
    copy_name(to, sizeof to, base, i + 1);
    if (OS_FILE_rename(from, to) != KX_SUCCESS) rc = KX_FAIL;
  }
  if (rc == KX_SUCCESS && last_log_file_version < limit_log_versions) ++last_log_file_version;
  return rc;
}

KX_RC os_diag_print_installed_versions(FILE* fp, char* error) {
  if (fp == nullptr) {
    if (error != nullptr) snprintf(error, OS_DIAG_ERROR_SIZE, "null file pointer");
    return KX_FAIL;
  }
  PATHNAME_D_typ home = "";
  if (OS_FILE_get_agent_home_dir(home) != KX_SUCCESS) {
    if (error != nullptr) snprintf(error, OS_DIAG_ERROR_SIZE, "failed to get agent directory");
    return KX_FAIL;
  }
  char path[sizeof(PATHNAME_D_typ) + 32];
  size_t len = strlen(home);
  snprintf(path, sizeof path, "%s%sinstalled-versions.txt", home,
           len > 0 && home[len - 1] == '/' ? "" : "/");
  return kx::diag::copy_text_file(fp, path, error, error != nullptr ? OS_DIAG_ERROR_SIZE : 0);
}

}  // extern "C"
