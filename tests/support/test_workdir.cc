#include "test_workdir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kxtest {

namespace fs = std::filesystem;

TestWorkdir::TestWorkdir() {
  previous_ = fs::current_path().string();
  std::string pattern = (fs::temp_directory_path() / "kxtest-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  for (const char* sub : {"data", "proclog", "sysout"}) fs::create_directory(fs::path(path_) / sub);
  fs::current_path(path_);
}

TestWorkdir::~TestWorkdir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

void TestWorkdir::write(const std::string& relative, const std::string& content) const {
  std::ofstream out(file(relative), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + relative);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace kxtest
