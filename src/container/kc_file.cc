#include "kc_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kc {

int open_for_reading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool read_bounded(const std::string& path, std::size_t limit, std::string& text, std::string& error) {
  const int fd = open_for_reading(path);
  if (fd < 0) {
    error = errno == EINVAL ? "not a file" : std::strerror(errno);
    return false;
  }
  text.assign(limit + 1, '\0');
  std::size_t used = 0;
  bool ok = true;
  while (used < text.size()) {
    const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return ok;
}

}  // namespace kc
