#include "be_loadfile.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gm_xml.h"
#include "os_diag.h"
#include "os_file.h"

namespace {

// Closes a stream of OS_FILE_fopen when the reader leaves, whichever way.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() {
    if (fp_ != NULL) OS_FILE_fclose(fp_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  FILE** out() { return &fp_; }
  FILE* get() const { return fp_; }

 private:
  FILE* fp_ = NULL;
};

const char kByteOrderMark[] = "\xEF\xBB\xBF";
const size_t kByteOrderMarkLen = 3;

// Length of str once trailing blanks and tabs are cut off at len.
size_t unpadded_length(const char* str, size_t len) {
  while (len > 0 && (str[len - 1] == ' ' || str[len - 1] == '\t')) --len;
  return len;
}

}  // namespace

extern "C" char* BE_str_unpad_all(char* str) {
  if (str == NULL) return str;
  str[unpadded_length(str, strlen(str))] = '\0';
  return str;
}

extern "C" KX_RC BE_load_file_to_string(const char* filename, char* xmlbuff, int maxSize) {
  DIAG_TRACE(4, "BE_load_file_to_string: filename='%s' reading up to size %d",
             filename ? filename : "(null)", maxSize);
  if (filename == NULL || xmlbuff == NULL) return KX_FAIL;

  InputFile file;
  const KX_RC open_rc = OS_FILE_fopen(filename, file.out(), OS_FILE_READ);
  if (open_rc != KX_SUCCESS) {
    DIAG_TRACE(4, "BE_load_file_to_string: Failed to open file %s.", filename);
    return open_rc;
  }

  char line[BE_LOADFILE_LINE_MAX + 1];
  // The length is tracked rather than recounted, so a long file costs one
  // pass over what is appended.
  size_t used = strlen(xmlbuff);
  const size_t limit = maxSize > 0 ? static_cast<size_t>(maxSize) : 0;
  // What is kept is bounded by the buffer, but trimming can shrink a line to
  // nothing (blank lines, or lines of zero bytes from a link to /dev/zero),
  // so the bytes read need a bound of their own.
  const size_t read_limit = limit * BE_LOADFILE_READ_FACTOR;
  size_t read = 0;
  long piece = 0;
  KX_RC rc = KX_SUCCESS;
  while (OS_FILE_fgets_len(line, static_cast<int>(sizeof line), file.get(), &piece) ==
         KX_SUCCESS) {
    read += static_cast<size_t>(piece);
    if (read > read_limit) {
      DIAG_TRACE(1, "BE_load_file_to_string: %s holds more than %lu bytes; not read further",
                 filename, static_cast<unsigned long>(read_limit));
      DIAG_TRACE(4,
                 "BE_load_file_to_string: Not enough allocated space in xmlbuff to fulfill the "
                 "file content");
      rc = 2;
      break;
    }
    char* text = line;
    size_t len = unpadded_length(text, strlen(text));
    if (len > 0 && text[len - 1] == '\n') --len;
    len = unpadded_length(text, len);
    text[len] = '\0';

    if (used + len >= limit) {
      DIAG_TRACE(4,
                 "BE_load_file_to_string: Not enough allocated space in xmlbuff to fulfill the "
                 "file content");
      rc = 2;
      break;
    }
    if (len >= kByteOrderMarkLen && memcmp(text, kByteOrderMark, kByteOrderMarkLen) == 0) {
      text += kByteOrderMarkLen;
      len -= kByteOrderMarkLen;
    }
    memcpy(xmlbuff + used, text, len);
    used += len;
    xmlbuff[used] = '\0';
  }
  return rc;
}

namespace {

// A version younger than this is not trusted to be told apart from the next
// by its time stamp alone (file systems stamp in coarse ticks, some in whole
// seconds).
const time_t kSettleSeconds = 2;

struct Identity {
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime;
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

struct ConfigurationCache {
  std::mutex mutex;
  std::string path;
  int size = 0;
  bool kept = false;  // identity below describes text and found
  Identity identity{};
  bool loaded = false;
  std::vector<char> text;  // reused from read to read
  std::map<std::pair<std::string, std::string>, std::pair<KX_RC, std::string>> found;
};

ConfigurationCache& cache() {
  static ConfigurationCache* c = new ConfigurationCache;  // outlives every caller
  return *c;
}

bool settled(const struct stat& st) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return st.st_mtim.tv_sec + kSettleSeconds < now.tv_sec;
}

}  // namespace

bool BE_ConfigurationFile::load(const char* path, int size) {
  ConfigurationCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  struct stat st;
  const bool regular = stat(path, &st) == 0 && S_ISREG(st.st_mode);
  Identity now{};
  if (regular) now = Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  if (regular && c.kept && c.path == path && c.size == size && c.identity == now) return c.loaded;

  c.kept = false;
  c.found.clear();
  c.path = path;
  c.size = size;
  if (size <= 0) size = 1;
  if (c.text.size() != static_cast<size_t>(size)) c.text.assign(static_cast<size_t>(size), '\0');
  c.text[0] = '\0';
  c.loaded = BE_load_file_to_string(path, c.text.data(), size) == KX_SUCCESS;
  // The identity taken before the read: a change during the read shows as a
  // new identity at the next use and is read then.
  if (regular && settled(st)) {
    c.identity = now;
    c.kept = true;
  }
  return c.loaded;
}

KX_RC BE_ConfigurationFile::lookup(const char* element, const char* root, GM_PARAM_VALUE_typ value) {
  ConfigurationCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  value[0] = '\0';
  const auto key = std::make_pair(std::string(element), std::string(root));
  const auto hit = c.found.find(key);
  if (hit != c.found.end()) {
    snprintf(value, sizeof(GM_PARAM_VALUE_typ), "%s", hit->second.second.c_str());
    return hit->second.first;
  }
  const KX_RC rc =
      GM_XML_ParseByParentElement(c.text.data(), element, root, value, nullptr, nullptr);
  c.found.emplace(key, std::make_pair(rc, std::string(value)));
  return rc;
}
