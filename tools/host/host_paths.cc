#include "host_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace kxhost {

namespace fs = std::filesystem;

std::string program_dir() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return fs::path(std::string(buf, static_cast<std::size_t>(n))).parent_path().string();
}

std::string default_library() {
  const std::string dir = program_dir();
  if (!dir.empty()) {
    const std::string beside = (fs::path(dir).parent_path() / "lib" / kLibraryName).string();
    if (is_file(beside)) return beside;
  }
  return kLibraryName;
}

std::string default_locale_dir() {
  const std::string dir = program_dir();
  if (dir.empty()) return std::string();
  return (fs::path(dir).parent_path() / kLocaleSubdir).string();
}

std::string installed_container_dir() {
  const std::string dir = program_dir();
  if (dir.empty()) return std::string();
  const std::string container = (fs::path(dir).parent_path() / kContainerSubdir).string();
  return is_file(container + "/" + kContainerProgram) ? container : std::string();
}

std::string default_conf_template() {
  const std::string dir = program_dir();
  if (dir.empty()) return std::string();
  return (fs::path(dir).parent_path() / kConfTemplate).string();
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_executable(const std::string& path) { return is_file(path) && ::access(path.c_str(), X_OK) == 0; }

std::string absolute_path(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace kxhost
