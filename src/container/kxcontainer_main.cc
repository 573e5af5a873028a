// kxcontainer - the container: the local service that runs and watches the
// agent's jobs. See the README's container sections.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "kc_config.h"
#include "kc_daemon.h"
#include "kc_supervisor.h"
#include "kc_version.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: kxcontainer [--home DIR] [--conf FILE] COMMAND\n"
               "commands:\n"
               "  start [LEVEL]   start the container in the background (nothing if it runs);\n"
               "                  LEVEL is the agent's debug level (0-6)\n"
               "  run [LEVEL]     run it in the foreground until it is stopped\n"
               "  stop            send ContainerStop and wait until it has ended\n"
               "  status          exit 0 when it answers, and show its state\n"
               "  --version       print the version\n"
               "--home: the container directory (default: this program's directory)\n"
               "--conf: the configuration (default: HOME/../data/kx_container_conf.xml)\n");
}

std::string self_path() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool read_level(const char* text, int& level) {
  if (text == nullptr || text[0] < '0' || text[0] > '9' || text[1] != '\0') return false;
  level = text[0] - '0';
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kc::Options options;
  options.exe = self_path();
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--home") == 0) {
      options.home = argv[i + 1];
    } else if (std::strcmp(argv[i], "--conf") == 0) {
      options.conf = argv[i + 1];
    } else {
      break;
    }
  }
  if (i >= argc) {
    usage(stderr);
    return 2;
  }
  const std::string cmd = argv[i];
  if (cmd == "--version") {
    std::printf("kxcontainer %s\n", kc::kVersion);
    return 0;
  }
  if (cmd == "--help" || cmd == "-h") {
    usage(stdout);
    return 0;
  }
  // The supervisor is this program started again by the container.
  if (cmd == "supervise" && i + 1 < argc) return kc::supervise_main(argv[i + 1]);
  if (options.home.empty()) options.home = options.exe.substr(0, options.exe.find_last_of('/'));
  if (options.conf.empty()) options.conf = kc::default_config_path(options.home);
  if (cmd == "start" || cmd == "run") {
    if (i + 1 < argc && !read_level(argv[i + 1], options.level)) {
      std::fprintf(stderr, "kxcontainer: the level must be a digit from 0 to 6, not '%s'\n", argv[i + 1]);
      return 2;
    }
    return cmd == "start" ? kc::start_command(options) : kc::run_command(options);
  }
  if (cmd == "stop") return kc::stop_command(options);
  if (cmd == "status") return kc::status_command(options);
  std::fprintf(stderr, "kxcontainer: unknown command '%s'\n", cmd.c_str());
  usage(stderr);
  return 2;
}
