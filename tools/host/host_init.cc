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
  bool force = false;
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
    } else if (word == "--container-bin" || word == "--locale-dir") {
      if (next == nullptr) throw UserError(word + " needs a path", kUsage);
      (word == "--container-bin" ? o.container_bin : o.locale_dir) = next;
      ++i;
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
// program or its directory), else beside kxhost.
std::string container_source(const InitOptions& o) {
  std::string dir = o.container_bin.empty() ? program_dir() : o.container_bin;
  if (!o.container_bin.empty() && is_file(o.container_bin)) dir = fs::path(o.container_bin).parent_path().string();
  if (dir.empty()) dir = ".";
  for (const char* name : {kContainerProgram, kStartScript}) {
    if (!is_executable(dir + "/" + name)) {
      throw UserError("no executable " + std::string(name) + " in " + absolute_path(dir),
                      o.container_bin.empty()
                          ? "build it (cmake --build build --target kxcontainer) or give --container-bin DIR"
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
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp);
    throw UserError("cannot write " + path + ": " + ec.message(), "check the directory's permissions");
  }
}

void copy_file(const std::string& from, const std::string& to, fs::perms perms) {
  std::ifstream in(from, std::ios::binary);
  if (!in) throw UserError("cannot read " + from + ": " + std::strerror(errno), "check that it is readable");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  write_file(to, content, perms);
}

std::string container_conf(int port) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!-- Written by kxhost init. The backend library reads it on every call,\n"
         "     kxcontainer when it starts (a change takes a restart of the container). -->\n"
         "<Configuration>\n"
         "  <ContainerHost>127.0.0.1</ContainerHost>\n"
         "  <Port>" + std::to_string(port) + "</Port>\n"
         "  <!-- After starting the container the library probes its port this\n"
         "       many times, this many milliseconds apart. -->\n"
         "  <RecoveryMaxRetry>5</RecoveryMaxRetry>\n"
         "  <RecoveryRetrySleepTime>1000</RecoveryRetrySleepTime>\n"
         "  <!-- Seconds a call to the container may take (0: no limit). -->\n"
         "  <RequestTimeout>60</RequestTimeout>\n"
         "  <!-- The container's own settings, shown with their defaults; relative\n"
         "       paths are taken from the container directory. See the README.\n"
         "  <ListenAddress>127.0.0.1</ListenAddress>\n"
         "  <StateDir>state</StateDir>                 job store and pid file\n"
         "  <SpoolDir>spool</SpoolDir>                 one directory per job: output, autoedits\n"
         "  <SaveDir>saved</SaveDir>                   output copies made by SYSOUT_N\n"
         "  <MaxRunningJobs>4</MaxRunningJobs>         more wait in a queue\n"
         "  <MaxQueuedJobs>10000</MaxQueuedJobs>\n"
         "  <MaxRequestBytes>1048576</MaxRequestBytes>\n"
         "  <MaxOutputBytes>1073741824</MaxOutputBytes> per job\n"
         "  <KillGraceSeconds>10</KillGraceSeconds>    from SIGTERM to SIGKILL\n"
         "  <AllowedUsers></AllowedUsers>              callers besides its own user and root\n"
         "  <Workers>16</Workers>                      requests served at once\n"
         "  <LogFile>log/kxcontainer.log</LogFile>\n"
         "  <LogLevel>info</LogLevel>                  default: from the agent's DBGLVL\n"
         "  <LogMaxBytes>10485760</LogMaxBytes>\n"
         "  <LogFiles>5</LogFiles>\n"
         "  <MonitorIntervalMs>200</MonitorIntervalMs>\n"
         "  -->\n"
         "</Configuration>\n";
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
  const int port = o.port != 0 ? o.port : free_port();
  if (port == 0) throw UserError("cannot find a free port on the loopback interface", "give one with --port N");

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
  write_file(dir + "/data/kx_container_conf.xml", container_conf(port), text);
  std::vector<std::string> locale_files;
  for (const auto& entry : fs::directory_iterator(locale)) {
    if (entry.path().extension() != ".cp") continue;
    copy_file(entry.path().string(), dir + "/exe/locale/" + entry.path().filename().string(), text);
    locale_files.push_back(entry.path().filename().string());
  }
  for (const char* name : {kContainerProgram, kStartScript}) {
    copy_file(bin + "/" + name, container_dir + "/" + name, program);
  }

  std::string locales;
  for (const std::string& f : locale_files) locales += " " + f;
  std::printf("kxhost: agent working directory %s is ready\n", dir.c_str());
  std::printf("  data/CONFIG.dat              DBGLVL %d\n", o.level);
  std::printf("  data/HADOOP.dat              KX_DIR %s\n", container_dir.c_str());
  std::printf("  data/kx_container_conf.xml   the container at 127.0.0.1:%d\n", port);
  std::printf("  exe/locale/                 %s\n", locales.c_str());
  std::printf("  proclog/  sysout/            the library's logs and job output files\n");
  std::printf("  container/                   %s, %s (from %s)\n", kContainerProgram, kStartScript,
              absolute_path(bin).c_str());
  std::printf("next:\n");
  std::printf("  cd %s\n", dir.c_str());
  std::printf("  export WEXAGENT=%s\n", dir.c_str());
  std::printf("  %s/kxhost run -- 'echo hello from a job'\n", program_dir().c_str());
  std::printf("The library starts the container at the first request; 'kxhost shutdown' stops it.\n");
  return 0;
}

}  // namespace kxhost
