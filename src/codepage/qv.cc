#include "qv.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <set>
#include <string>

struct QVLocaleRec {
  bool from_callback;  // allocated by the caller's allocator
  bool ascii_based;    // see ascii_based()
  char name[256];
  char charset[64];
};

namespace {

constexpr size_t kMaxDirLength = 1023;
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxCodePageLength = 63;
constexpr size_t kMaxPartLength = 32;
constexpr size_t kMaxDataFileSize = 4096;

struct Library {
  std::mutex lock;
  int uses = 0;
  std::string dir;  // canonical data directory while uses > 0
  QVAllocFunc alloc = nullptr;
  QVFreeFunc release = nullptr;
  void *context = nullptr;
  // Every handle handed out and not yet released. Handles are checked
  // against this set before they are touched, so a stale or foreign pointer
  // is refused instead of being dereferenced.
  std::set<QVLocaleRec *> live;
  // Converters between conversions: opening one costs more than most
  // conversions do. Each is lent to one conversion at a time.
  struct IdleConverter {
    char to[sizeof QVLocaleRec::charset];
    char from[sizeof QVLocaleRec::charset];
    iconv_t cd;
  };
  IdleConverter idle[8];
  size_t idle_count = 0;
};

// Never destroyed, so a QVTerm from another object's destructor at exit
// still finds it.
Library &library() {
  static Library *lib = new Library;
  return *lib;
}

void copy_field(char *field, size_t size, const char *value) {
  size_t n = strnlen(value, size - 1);
  memcpy(field, value, n);
  field[n] = '\0';
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// An iconv descriptor for one conversion: an idle one of the same pair of
// character sets when there is one, else a new one. Given back (reset to its
// initial state) on every path out of the conversion, or closed when the
// idle ones are enough.
class Converter {
 public:
  Converter(const char *to, const char *from) : to_(to), from_(from) {
    {
      Library &lib = library();
      std::lock_guard<std::mutex> guard(lib.lock);
      for (size_t i = 0; i < lib.idle_count; ++i) {
        if (strcmp(lib.idle[i].to, to) == 0 && strcmp(lib.idle[i].from, from) == 0) {
          cd_ = lib.idle[i].cd;
          lib.idle[i] = lib.idle[--lib.idle_count];
          return;
        }
      }
    }
    cd_ = iconv_open(to, from);
  }
  ~Converter() {
    if (!ok()) return;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    Library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    // Converters outlive no QVTerm: one given back after it is closed.
    if (lib.uses > 0 && lib.idle_count < sizeof lib.idle / sizeof lib.idle[0]) {
      Library::IdleConverter &slot = lib.idle[lib.idle_count++];
      copy_field(slot.to, sizeof slot.to, to_);
      copy_field(slot.from, sizeof slot.from, from_);
      slot.cd = cd_;
      return;
    }
    iconv_close(cd_);
  }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;
  bool ok() const { return cd_ != kNoConverter; }
  iconv_t get() const { return cd_; }

 private:
  const char *to_;
  const char *from_;
  iconv_t cd_ = kNoConverter;
};

// With the library's lock held.
void close_idle_converters(Library &lib) {
  for (size_t i = 0; i < lib.idle_count; ++i) iconv_close(lib.idle[i].cd);
  lib.idle_count = 0;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_of(const std::string &s, size_t max_len, bool (*ok)(char)) {
  if (s.empty() || s.size() > max_len) return false;
  for (char c : s)
    if (!ok(c)) return false;
  return true;
}

bool language_char(char c) { return is_alpha(c); }
bool territory_char(char c) { return is_alpha(c) || is_digit(c); }
bool sort_char(char c) { return is_alpha(c) || is_digit(c) || c == '_' || c == '-'; }
// No '/' or '.': the code page becomes part of a file name.
bool code_page_char(char c) {
  return is_alpha(c) || is_digit(c) || c == '_' || c == '-' || c == '+';
}
// A character set as iconv names it, without "//" suffixes: those would
// silently change what an unconvertible character does.
bool charset_char(char c) {
  return is_alpha(c) || is_digit(c) || c == '_' || c == '-' || c == '.' || c == ':' ||
         c == '+' || c == '(' || c == ')';
}

// Splits "[language[_territory]].codepage[@sort]"; returns the error number.
long parse_name(const char *name, std::string *code_page) {
  if (name == nullptr) return QV_ERR_CODE_PAGE;
  std::string text(name, strnlen(name, kMaxNameLength + 1));
  if (text.size() > kMaxNameLength) return QV_ERR_CODE_PAGE;

  std::string sort;
  size_t at = text.find('@');
  if (at != std::string::npos) {
    sort = text.substr(at + 1);
    text.erase(at);
    if (!all_of(sort, kMaxPartLength, sort_char)) return QV_ERR_SORT;
  }
  size_t dot = text.find('.');
  if (dot == std::string::npos) return QV_ERR_CODE_PAGE;
  *code_page = text.substr(dot + 1);
  if (!all_of(*code_page, kMaxCodePageLength, code_page_char)) return QV_ERR_CODE_PAGE;

  std::string language = text.substr(0, dot);
  size_t underscore = language.find('_');
  if (underscore != std::string::npos) {
    std::string territory = language.substr(underscore + 1);
    language.erase(underscore);
    if (!all_of(territory, kMaxPartLength, territory_char)) return QV_ERR_TERRITORY;
    if (!all_of(language, kMaxPartLength, language_char)) return QV_ERR_LANGUAGE;
  } else if (!language.empty() && !all_of(language, kMaxPartLength, language_char)) {
    return QV_ERR_LANGUAGE;
  }
  return QV_OK;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Reads "<dir>/<code_page>.cp" and finds its charset line; returns the error
// number.
long load_charset(const std::string &dir, const std::string &code_page, std::string *charset) {
  std::string path = dir + "/" + code_page + ".cp";
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? QV_ERR_CODE_PAGE : QV_ERR_DATA_LOADING;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return QV_ERR_DATA_LOADING;

  std::string content;
  char buf[1024];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return QV_ERR_DATA_LOADING;
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
    if (content.size() > kMaxDataFileSize) return QV_ERR_DATA_LOADING;
  }

  charset->clear();
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string line = trim(content.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return QV_ERR_DATA_LOADING;
    if (trim(line.substr(0, eq)) != "charset") continue;  // room for later keys
    if (!charset->empty()) return QV_ERR_DATA_LOADING;    // ambiguous file
    *charset = trim(line.substr(eq + 1));
    if (!all_of(*charset, kMaxCodePageLength, charset_char)) return QV_ERR_DATA_LOADING;
  }
  if (charset->empty()) return QV_ERR_DATA_LOADING;

  // The converter must know the set in both directions; UTF-8 is the pivot
  // every glibc character set converts through.
  Converter to(charset->c_str(), "UTF-8");
  Converter from("UTF-8", charset->c_str());
  if (!to.ok() || !from.ok()) return QV_ERR_DATA_LOADING;
  return QV_OK;
}

// Character sets in which each byte below 0x80 is that ASCII character on
// its own, whatever came before: a text of such bytes is the same text in
// any two of them, so it needs no converter.
bool ascii_based(const char *charset) {
  static const char *const kWhole[] = {"UTF-8", "UTF8", "ASCII", "US-ASCII", "ANSI_X3.4-1968"};
  for (const char *name : kWhole)
    if (strcasecmp(charset, name) == 0) return true;
  static const char *const kNumbered[] = {"ISO-8859-", "ISO8859-", "ISO_8859-", "CP125",
                                          "WINDOWS-125", "LATIN"};
  for (const char *prefix : kNumbered) {
    const size_t n = strlen(prefix);
    if (strncasecmp(charset, prefix, n) != 0) continue;
    const char *digits = charset + n;
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) return false;
    return true;
  }
  return false;
}

// glibc's UTF-8 decoder accepts sequences beyond U+10FFFF, which a UTF-8 to
// UTF-8 conversion would then pass on; a UTF-8 source is checked against
// the well-formed forms of RFC 3629 first.
bool is_utf8_charset(const char *charset) {
  return strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "UTF8") == 0;
}

bool well_formed_utf8(const unsigned char *p, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

void free_record(Library &lib, QVLocaleRec *rec) {
  if (rec->from_callback)
    lib.release(rec, lib.context);
  else
    delete rec;
}

}  // namespace

extern "C" {

int QVInit(const char *data_dir, QVAllocFunc alloc, QVFreeFunc release, void *context,
           unsigned int options) {
  if ((options & ~QV_INIT_DEFAULT) != 0) return QV_ERR_INVALID_OPTION;
  if ((alloc == nullptr) != (release == nullptr)) return QV_ERR_INVALID_OPTION;
  if (data_dir == nullptr || strnlen(data_dir, kMaxDirLength + 1) > kMaxDirLength)
    return QV_ERR_DATA_LOADING;
  struct stat st;
  if (stat(data_dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(data_dir, R_OK | X_OK) != 0)
    return QV_ERR_DATA_LOADING;
  char *canonical = realpath(data_dir, nullptr);
  if (canonical == nullptr) return errno == ENOMEM ? QV_ERR_MEMORY : QV_ERR_DATA_LOADING;

  Library &lib = library();
  std::lock_guard<std::mutex> guard(lib.lock);
  int rc = QV_OK;
  try {
    if (lib.uses == 0) {
      lib.dir = canonical;
      lib.alloc = alloc;
      lib.release = release;
      lib.context = context;
      lib.uses = 1;
    } else if (lib.dir != canonical) {
      rc = QV_ERR_DIRECTORY_MISMATCH;
    } else if (lib.uses == INT_MAX) {
      rc = QV_ERR_MEMORY;
    } else {
      // A nested use shares the outer allocator; its own is not needed.
      ++lib.uses;
    }
  } catch (const std::bad_alloc &) {
    rc = QV_ERR_MEMORY;
  }
  free(canonical);
  return rc;
}

QVLocale QVGetLocale(const char *name, unsigned int options, long *error) {
  long dummy;
  long &err = error != nullptr ? *error : dummy;
  if (options != 0) {
    err = QV_ERR_INVALID_OPTION;
    return nullptr;
  }
  Library &lib = library();
  try {
    std::string code_page;
    std::string charset;
    std::string dir;
    {
      std::lock_guard<std::mutex> guard(lib.lock);
      if (lib.uses == 0) {
        err = QV_ERR_NOT_INITIALIZED;
        return nullptr;
      }
      dir = lib.dir;
    }
    err = parse_name(name, &code_page);
    if (err != QV_OK) return nullptr;
    err = load_charset(dir, code_page, &charset);
    if (err != QV_OK) return nullptr;

    std::lock_guard<std::mutex> guard(lib.lock);
    // The library may have ended while the data file was read.
    if (lib.uses == 0 || lib.dir != dir) {
      err = QV_ERR_NOT_INITIALIZED;
      return nullptr;
    }
    QVLocaleRec *rec;
    bool from_callback = lib.alloc != nullptr;
    if (from_callback) {
      void *block = lib.alloc(sizeof(QVLocaleRec), lib.context);
      rec = block != nullptr ? new (block) QVLocaleRec() : nullptr;
    } else {
      rec = new (std::nothrow) QVLocaleRec();
    }
    if (rec == nullptr) {
      err = QV_ERR_MEMORY;
      return nullptr;
    }
    rec->from_callback = from_callback;
    // Both fit: the name and the charset were length-checked when parsed.
    copy_field(rec->name, sizeof rec->name, name);
    copy_field(rec->charset, sizeof rec->charset, charset.c_str());
    rec->ascii_based = ascii_based(rec->charset);
    try {
      lib.live.insert(rec);
    } catch (const std::bad_alloc &) {
      free_record(lib, rec);
      err = QV_ERR_MEMORY;
      return nullptr;
    }
    err = QV_OK;
    return rec;
  } catch (const std::bad_alloc &) {
    err = QV_ERR_MEMORY;
    return nullptr;
  }
}

int QVReleaseLocale(QVLocale locale, unsigned int options) {
  if (options != 0) return QV_ERR_INVALID_OPTION;
  Library &lib = library();
  std::lock_guard<std::mutex> guard(lib.lock);
  auto it = lib.live.find(locale);
  if (it == lib.live.end()) return -1;
  lib.live.erase(it);
  free_record(lib, locale);
  return QV_OK;
}

long QVConvertString(QVLocale target, char *dst, size_t dst_size, QVLocale source,
                     const char *src, size_t src_len, unsigned int options) {
  if ((options & ~QV_CONVERT_TERMINATE) != 0 || dst == nullptr || dst_size == 0) return -1;
  const bool terminate = (options & QV_CONVERT_TERMINATE) != 0;
  if (terminate) dst[0] = '\0';
  if (src == nullptr && src_len != 0) return -1;

  char to[sizeof target->charset];
  char from[sizeof source->charset];
  bool both_ascii_based = false;
  {
    Library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    if (lib.live.count(target) == 0 || lib.live.count(source) == 0) return -1;
    memcpy(to, target->charset, sizeof to);
    memcpy(from, source->charset, sizeof from);
    both_ascii_based = target->ascii_based && source->ascii_based;
  }
  const size_t capacity = terminate ? dst_size - 1 : dst_size;

  if (both_ascii_based) {
    size_t i = 0;
    while (i < src_len && static_cast<unsigned char>(src[i]) < 0x80) ++i;
    if (i == src_len) {
      if (src_len > capacity) return -1;  // as iconv's E2BIG
      if (src_len > 0) memcpy(dst, src, src_len);
      if (terminate) dst[src_len] = '\0';
      return src_len > static_cast<size_t>(LONG_MAX) ? -1 : static_cast<long>(src_len);
    }
  }

  if (is_utf8_charset(from) &&
      !well_formed_utf8(reinterpret_cast<const unsigned char *>(src), src_len))
    return -1;
  Converter conv(to, from);
  if (!conv.ok()) return -1;
  char *in = const_cast<char *>(src != nullptr ? src : "");
  size_t in_left = src_len;
  char *out = dst;
  size_t out_left = capacity;
  // iconv stops at the first invalid or incomplete sequence (EILSEQ,
  // EINVAL) or when the output is full (E2BIG); each of these is a failed
  // conversion, never a silently shortened text.
  if (iconv(conv.get(), &in, &in_left, &out, &out_left) == static_cast<size_t>(-1) ||
      iconv(conv.get(), nullptr, nullptr, &out, &out_left) == static_cast<size_t>(-1)) {
    if (terminate) dst[0] = '\0';
    return -1;
  }
  const size_t written = capacity - out_left;
  if (terminate) dst[written] = '\0';
  return written > static_cast<size_t>(LONG_MAX) ? -1 : static_cast<long>(written);
}

void QVTerm(void * /*reserved*/) {
  Library &lib = library();
  std::lock_guard<std::mutex> guard(lib.lock);
  if (lib.uses == 0) return;
  if (--lib.uses > 0) return;
  for (QVLocaleRec *rec : lib.live) free_record(lib, rec);
  lib.live.clear();
  close_idle_converters(lib);
  lib.dir.clear();
  lib.alloc = nullptr;
  lib.release = nullptr;
  lib.context = nullptr;
}

}  // extern "C"
