#include "host_init.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_backend.h"
#include "host_paths.h"
#include "host_workdir.h"

namespace kxhost {

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] = "see kxhost --help";

struct InitOptions {
  std::string dir = ".";
  int port = 0;
  int level = 4;
  std::string container_bin;
  std::string locale_dir;
  std::string conf_template;
  bool force = false;
  // How the container programs get into the working directory: -1 as fits
  // their source, 0 copied, 1 linked.
  int link = -1;
};

int read_number(const std::string& option, const char* text, int lo, int hi) {
  char* end = nullptr;
  const long v = text != nullptr ? std::strtol(text, &end, 10) : 0;
  if (text == nullptr || *text == '\0' || *end != '\0' || v < lo || v > hi) {
    throw UserError(option + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                        (text != nullptr ? std::string(", not '") + text + "'" : std::string()),
                    kUsage);
  }
  return static_cast<int>(v);
}

InitOptions parse(int argc, char** argv, int first) {
  InitOptions o;
  bool have_dir = false;
  for (int i = first; i < argc; ++i) {
    const std::string word = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (word == "--port") {
      o.port = read_number(word, next, 1, 65535);
      ++i;
    } else if (word == "--level") {
      o.level = read_number(word, next, 0, 6);
      ++i;
    } else if (word == "--container-bin" || word == "--locale-dir" || word == "--conf-template") {
      if (next == nullptr) throw UserError(word + " needs a path", kUsage);
      (word == "--container-bin" ? o.container_bin : word == "--locale-dir" ? o.locale_dir : o.conf_template) = next;
      ++i;
    } else if (word == "--copy" || word == "--link") {
      o.link = word == "--link" ? 1 : 0;
    } else if (word == "--force") {
      o.force = true;
    } else if (!word.empty() && word[0] == '-') {
      throw UserError("init has no option " + word, kUsage);
    } else if (have_dir) {
      throw UserError("init takes one directory, not '" + o.dir + "' and '" + word + "'", kUsage);
    } else {
      o.dir = word;
      have_dir = true;
    }
  }
  return o;
}

// Where kxcontainer and its start script come from: --container-bin (the
// program or its directory), else an installed prefix's container directory,
// else beside kxhost (a build tree).
std::string container_source(const InitOptions& o) {
  std::string dir = o.container_bin;
  if (dir.empty()) dir = installed_container_dir();
  if (dir.empty()) dir = program_dir();
  if (!o.container_bin.empty() && is_file(o.container_bin)) dir = fs::path(o.container_bin).parent_path().string();
  if (dir.empty()) dir = ".";
  for (const char* name : {kContainerProgram, kStartScript}) {
    if (!is_executable(dir + "/" + name)) {
      throw UserError("no executable " + std::string(name) + " in " + absolute_path(dir),
                      o.container_bin.empty()
                          ? "build it (cmake --build build --target kxcontainer), install the package, "
                            "or give --container-bin DIR"
                          : "--container-bin names kxcontainer or the directory holding it and " +
                                std::string(kStartScript));
    }
  }
  return dir;
}

std::string locale_source(const InitOptions& o) {
  const std::string dir = o.locale_dir.empty() ? default_locale_dir() : o.locale_dir;
  for (const char* name : kLocaleFiles) {
    if (!is_file(dir + "/" + name)) {
      throw UserError("no locale data file " + std::string(name) + " in " + absolute_path(dir),
                      "give the directory holding Latin1.cp and UTF-8.cp with --locale-dir DIR "
                      "(data/locale in the source tree)");
    }
  }
  return dir;
}

// True when a container runs from the container directory: it holds the
// lock of its pid file for as long as it lives.
bool container_running(const std::string& container_dir) {
  const int fd = ::open((container_dir + "/state/kxcontainer.pid").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

// Written beside its final name and renamed over it, so that a file in use
// (a container program that runs) is replaced, not rewritten in place.
void write_file(const std::string& path, const std::string& content, fs::perms perms) {
  const std::string tmp = path + ".kxhost-new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
      throw UserError("cannot write " + path + ": " + std::strerror(errno), "check the directory's permissions");
    }
  }
  std::error_code ec;
  fs::permissions(tmp, perms, ec);
  if (!ec) fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp);
    throw UserError("cannot write " + path + ": " + ec.message(), "check the directory's permissions");
  }
}

std::string read_text(const std::string& from) {
  std::ifstream in(from, std::ios::binary);
  if (!in) throw UserError("cannot read " + from + ": " + std::strerror(errno), "check that it is readable");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void copy_file(const std::string& from, const std::string& to, fs::perms perms) {
  write_file(to, read_text(from), perms);
}

// A symbolic link to an absolute path, made beside its final name and
// renamed over it (a program that runs from the old name goes on running).
void link_file(const std::string& target, const std::string& path) {
  const std::string tmp = path + ".kxhost-new";
  std::error_code ec;
  fs::remove(tmp, ec);
  fs::create_symlink(absolute_path(target), tmp, ec);
  if (!ec) fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp);
    throw UserError("cannot link " + path + " to " + target + ": " + ec.message(), "check the directory's permissions");
  }
}

// Where text holds what, outside the <!-- --> comments; npos if nowhere.
std::size_t find_outside_comments(const std::string& text, const std::string& what, std::size_t from = 0) {
  for (std::size_t at = from; at < text.size();) {
    const std::size_t hit = text.find(what, at);
    const std::size_t comment = text.find("<!--", at);
    if (hit == std::string::npos || comment == std::string::npos || hit < comment) return hit;
    const std::size_t end = text.find("-->", comment + 4);
    if (end == std::string::npos) return std::string::npos;
    at = end + 3;
  }
  return std::string::npos;
}

// The template with the port in its <Port> element: the one given, else the
// template's own unless it is 0 or empty, else a free one. A template
// without the element gets one.
std::string container_conf(const std::string& path, const std::string& text, int port_given, int& port) {
  const std::string open = "<Port>", close = "</Port>";
  const std::size_t a = find_outside_comments(text, open);
  const std::size_t b = a == std::string::npos ? a : text.find(close, a);
  std::string own;
  if (b != std::string::npos) own = text.substr(a + open.size(), b - a - open.size());
  port = port_given;
  if (port == 0 && !own.empty() && own != "0") {
    char* end = nullptr;
    const long v = std::strtol(own.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) {
      throw UserError(path + " has <Port>" + own + "</Port>", "write 0 there (a free port for each working "
                      "directory) or a port from 1 to 65535, or give --port N");
    }
    port = static_cast<int>(v);
  }
  if (port == 0) port = free_port();
  if (port == 0) throw UserError("cannot find a free port on the loopback interface", "give one with --port N");
  if (b != std::string::npos) {
    return text.substr(0, a + open.size()) + std::to_string(port) + text.substr(b);
  }
  const std::size_t end = find_outside_comments(text, "</Configuration>");
  if (end == std::string::npos) {
    throw UserError(path + " has no <Configuration> element", "give a container configuration template");
  }
  return text.substr(0, end) + "  <Port>" + std::to_string(port) + "</Port>\n" + text.substr(end);
}

}  // namespace

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

int cmd_init(int argc, char** argv, int first) {
  const InitOptions o = parse(argc, argv, first);
  const std::string dir = absolute_path(o.dir);
  const std::string container_dir = dir + "/container";
  if (!safe_container_dir(container_dir)) {
    throw UserError("the library cannot start a container from " + container_dir +
                        ": it accepts only letters, digits and /._+- in that path",
                    "choose a directory whose path has none of the other characters");
  }
  const std::string bin = container_source(o);
  const std::string locale = locale_source(o);
  const std::string conf_template = o.conf_template.empty() ? default_conf_template() : o.conf_template;
  if (!is_file(conf_template)) {
    throw UserError("no container configuration template " + absolute_path(conf_template),
                    "give one with --conf-template FILE (data/kx_container_conf.xml in the source tree)");
  }
  // An installed container directory is upgraded in place: working
  // directories link to it and get the new programs at their next start.
  const std::string installed = installed_container_dir();
  const bool link = o.link >= 0 ? o.link == 1 : !installed.empty() && absolute_path(bin) == absolute_path(installed);

  const std::vector<std::string> written = {"data/CONFIG.dat", "data/HADOOP.dat", "data/kx_container_conf.xml",
                                            "container/" + std::string(kContainerProgram),
                                            "container/" + std::string(kStartScript)};
  if (!o.force) {
    for (const std::string& f : written) {
      if (fs::exists(dir + "/" + f)) {
        throw UserError(dir + " holds an agent working directory already (" + f + " exists)",
                        "use --force to write its settings and container programs again");
      }
    }
  }
  if (container_running(container_dir)) {
    throw UserError("a container runs from " + container_dir,
                    "stop it first: " + container_dir + "/" + kStartScript + " stop");
  }
  int port = 0;
  const std::string conf = container_conf(conf_template, read_text(conf_template), o.port, port);

  std::error_code ec;
  for (const char* sub : {"data", "proclog", "sysout", "exe/locale", "container"}) {
    fs::create_directories(dir + "/" + sub, ec);
    if (ec) throw UserError("cannot create " + dir + "/" + sub + ": " + ec.message(), "check the permissions");
  }
  const auto text = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
  const auto program = text | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  write_file(dir + "/data/CONFIG.dat",
             "# The agent's main settings (written by kxhost init).\n"
             "# DBGLVL: the backend's log level, 0 (errors only, details kept for them) to 6.\n"
             "DBGLVL " + std::to_string(o.level) + "\n",
             text);
  write_file(dir + "/data/HADOOP.dat",
             "# The backend's settings (written by kxhost init).\n"
             "# KX_DIR: the container directory, from which the library starts the container.\n"
             "KX_DIR " + container_dir + "\n",
             text);
  write_file(dir + "/data/kx_container_conf.xml", conf, text);
  std::vector<std::string> locale_files;
  for (const auto& entry : fs::directory_iterator(locale)) {
    if (entry.path().extension() != ".cp") continue;
    copy_file(entry.path().string(), dir + "/exe/locale/" + entry.path().filename().string(), text);
    locale_files.push_back(entry.path().filename().string());
  }
  for (const char* name : {kContainerProgram, kStartScript}) {
    if (link) {
      link_file(bin + "/" + name, container_dir + "/" + name);
    } else {
      copy_file(bin + "/" + name, container_dir + "/" + name, program);
    }
  }

  std::string locales;
  for (const std::string& f : locale_files) locales += " " + f;
  std::printf("kxhost: agent working directory %s is ready\n", dir.c_str());
  std::printf("  data/CONFIG.dat              DBGLVL %d\n", o.level);
  std::printf("  data/HADOOP.dat              KX_DIR %s\n", container_dir.c_str());
  std::printf("  data/kx_container_conf.xml   the container at 127.0.0.1:%d\n", port);
  std::printf("  exe/locale/                 %s\n", locales.c_str());
  std::printf("  proclog/  sysout/            the library's logs and job output files\n");
  std::printf("  container/                   %s, %s (%s %s)\n", kContainerProgram, kStartScript,
              link ? "links to" : "copied from", absolute_path(bin).c_str());
  std::printf("next:\n");
  std::printf("  cd %s\n", dir.c_str());
  std::printf("  export WEXAGENT=%s\n", dir.c_str());
  std::printf("  %s/kxhost run -- 'echo hello from a job'\n", program_dir().c_str());
  std::printf("The library starts the container at the first request; 'kxhost shutdown' stops it.\n");
  return 0;
}

}  // namespace kxhost
