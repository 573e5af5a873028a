// os_diag.cc - the process log: levels, the line writer, buffered mode with
// its ring and critical-event dump, and size-limited rotation.

#include "os_diag.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

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

// The stamp is the same text for every line of one millisecond: it is made
// from the clock's second and millisecond exactly as GM_TIME_fmt_get_time2
// makes it, but only when they differ from the previous line's.
void time_stamp(char* out) {
  static time_t last_second = -1;
  static unsigned short last_ms = 0;
  static char last_text[64] = "";
  time_t now = 0;
  unsigned short ms = 0;
  OS_TIME_bin_get_timer2(&now, &ms);
  if (now != last_second || ms != last_ms) {
    GM_TIME_fmt_to_ascii2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, now, ms, last_text);
    last_second = now;
    last_ms = ms;
  }
  memcpy(out, last_text, sizeof last_text);
}

// ---- the text of a line, without the general printf machinery ----
//
// The code's trace formats use a handful of conversions (%s with or without
// a precision, %d, %ld, %u, %lu, %zu, %x, the flags '-' and '0', a width).
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
char* digits(unsigned long v, unsigned base, char* end) {
  static const char kHex[] = "0123456789abcdef";
  do {
    *--end = kHex[v % base];
    v /= base;
  } while (v != 0);
  return end;
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

// False when the format needs vsnprintf (or the text does not fit).
bool quick_format(Out* out, const char* f, va_list ap) {
  for (;;) {
    const char* pct = strchr(f, '%');
    if (pct == nullptr) return out->put(f, strlen(f));
    if (!out->put(f, static_cast<size_t>(pct - f))) return false;
    f = pct + 1;
    bool left = false;
    bool zero = false;
    for (;; ++f) {
      if (*f == '-') {
        left = true;
      } else if (*f == '0') {
        zero = true;
      } else {
        break;
      }
    }
    size_t width = 0;
    while (*f >= '0' && *f <= '9') {
      width = width * 10 + static_cast<size_t>(*f - '0');
      if (width > OS_DIAG_MAX_TEXT) return false;
      ++f;
    }
    bool has_precision = false;
    size_t precision = 0;
    if (*f == '.') {
      ++f;
      has_precision = true;
      if (*f == '*') {
        const int p = va_arg(ap, int);
        ++f;
        if (p < 0) {
          has_precision = false;  // a negative precision is taken as none
        } else {
          precision = static_cast<size_t>(p);
        }
      } else {
        while (*f >= '0' && *f <= '9') {
          precision = precision * 10 + static_cast<size_t>(*f - '0');
          if (precision > INT_MAX) return false;
          ++f;
        }
      }
    }
    char size = 0;
    if (*f == 'l' || *f == 'z') size = *f++;
    const char conv = *f++;
    if (left) zero = false;
    switch (conv) {
      case '%':
        if (left || zero || width != 0 || has_precision || size != 0) return false;
        if (!out->put("%", 1)) return false;
        break;
      case 's': {
        if (size != 0 || zero) return false;
        const char* str = va_arg(ap, const char*);
        if (str == nullptr) return false;
        const size_t n = has_precision ? strnlen(str, precision) : strlen(str);
        if (!put_padded(out, nullptr, str, n, width, left, false)) return false;
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x': {
        if (has_precision) return false;
        unsigned long magnitude = 0;
        bool negative = false;
        if (conv == 'd' || conv == 'i') {
          long v = size == 'l' ? va_arg(ap, long)
                   : size == 'z' ? static_cast<long>(va_arg(ap, ssize_t))
                                 : static_cast<long>(va_arg(ap, int));
          negative = v < 0;
          magnitude = negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        } else {
          magnitude = size == 'l' ? va_arg(ap, unsigned long)
                      : size == 'z' ? static_cast<unsigned long>(va_arg(ap, size_t))
                                    : static_cast<unsigned long>(va_arg(ap, unsigned int));
        }
        char buf[32];
        char* end = buf + sizeof buf;
        char* start = digits(magnitude, conv == 'x' ? 16 : 10, end);
        if (!put_padded(out, negative ? "-" : nullptr, start, static_cast<size_t>(end - start),
                        width, left, zero))
          return false;
        break;
      }
      default:
        return false;
    }
  }
}

void ring_append(const char* line, size_t len) {
  if (active_buff != 0 && active_buff != 1) active_buff = 0;
  if (debug_index < 0 || static_cast<size_t>(debug_index) > kRingLimit) debug_index = 0;
  bool cut = len > kRingLimit;
  if (cut) len = kRingLimit;
  if (len + debug_index > kRingLimit) {
    // The other half starts over; its old lines stop being part of it.
    active_buff = 1 - active_buff;
    debug_index = 0;
  }
  char* half = debug_buff[active_buff];
  memcpy(half + debug_index, line, len);
  if (cut) half[debug_index + len - 1] = '\n';
  debug_index += static_cast<int>(len);
  half[debug_index] = '\0';
}

void ring_clear() {
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
  time_stamp(g_stamp);
  const size_t stamp_len = strlen(g_stamp);
  const size_t name_len = strlen(os_diag_proc_name);
  char* w = g_line;
  memcpy(w, g_stamp, stamp_len);
  w += stamp_len;
  *w++ = ' ';
  memcpy(w, os_diag_proc_name, name_len);
  w += name_len;
  *w++ = ':';
  return static_cast<size_t>(w - g_line);
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
  // Formatted straight behind the line's stamp and name.
  const size_t prefix = begin_line();
  va_list ap;
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
