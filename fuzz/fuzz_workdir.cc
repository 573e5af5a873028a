#include "fuzz_workdir.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace kxfuzz {

namespace fs = std::filesystem;

namespace {

std::string g_dir;

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "kxfuzz: %s: %s\n", what, path.c_str());
  std::abort();
}

void remove_workdir() {
  if (g_dir.empty()) return;
  std::error_code ec;
  fs::current_path(fs::temp_directory_path(ec), ec);
  fs::remove_all(g_dir, ec);
}

}  // namespace

void enter_workdir() {
  if (!g_dir.empty()) return;
  std::error_code ec;
  fs::path tmp = fs::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  std::string pattern = (tmp / "kxfuzz-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) die("cannot make a working directory", pattern);
  g_dir = buf.data();
  for (const char* sub : {"data", "proclog", "sysout"}) {
    if (!fs::create_directory(fs::path(g_dir) / sub, ec)) die("cannot make", g_dir + "/" + sub);
  }
  if (chdir(g_dir.c_str()) != 0) die("cannot change into", g_dir);
  std::atexit(remove_workdir);
}

void install_locales() {
  std::error_code ec;
  fs::create_directories(fs::path(g_dir) / "exe" / "locale", ec);
  if (ec) die("cannot make", g_dir + "/exe/locale");
  static const char kLatin1[] = "charset=ISO-8859-1\n";
  static const char kUtf8[] = "charset=UTF-8\n";
  write_file("exe/locale/Latin1.cp", reinterpret_cast<const uint8_t*>(kLatin1), sizeof kLatin1 - 1);
  write_file("exe/locale/UTF-8.cp", reinterpret_cast<const uint8_t*>(kUtf8), sizeof kUtf8 - 1);
  if (setenv("WEXAGENT", g_dir.c_str(), 1) != 0) die("cannot set WEXAGENT to", g_dir);
}

const std::string& workdir() { return g_dir; }

void write_file(const std::string& relative, const uint8_t* data, size_t size) {
  const std::string path = g_dir + "/" + relative;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) die("cannot write", path);
}

}  // namespace kxfuzz
