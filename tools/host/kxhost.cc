// kxhost - loads libbe_hadoop.so the way the scheduling agent does (dlopen,
// then the PEXAPI_* entry points by name), so that a person can lay out an
// agent working directory, run a job through the library from a shell, and
// call single entry points to see what they do.
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host_backend.h"
#include "host_init.h"
#include "host_paths.h"
#include "host_raw.h"
#include "host_run.h"
#include "host_workdir.h"

#ifndef KX_VERSION
#define KX_VERSION "unknown"
#endif

namespace {

using namespace kxhost;

constexpr int kExitMistake = 2;

const char kUsage[] =
    "usage: kxhost [--lib PATH] [--no-check] COMMAND [ARGS]\n"
    "       kxhost --help | --version\n"
    "\n"
    "kxhost loads the backend library with dlopen, as the scheduling agent does,\n"
    "and drives it in the current directory, which must be an agent working\n"
    "directory (data/, proclog/, sysout/) with WEXAGENT naming the agent home.\n"
    "\n"
    "Getting started:\n"
    "  init [DIR] [--port N] [--level N] [--container-bin PATH] [--locale-dir DIR]\n"
    "       [--conf-template FILE] [--copy | --link] [--force]\n"
    "      lay out the agent working directory DIR (default: .): data/ with\n"
    "      CONFIG.dat (DBGLVL, default 4), HADOOP.dat (KX_DIR) and\n"
    "      kx_container_conf.xml (from the template ../data/kx_container_conf.xml\n"
    "      beside kxhost's directory, with a free port unless --port or the\n"
    "      template names one), proclog/, sysout/, exe/locale/, and the container\n"
    "      directory DIR/container with kxcontainer and its start script: links\n"
    "      to an installed container directory, copies from a build tree\n"
    "      (--copy, --link choose). --force writes them again over an existing\n"
    "      layout. Then: cd DIR; export WEXAGENT=DIR\n"
    "  run [--interval MS] [--block-size N] [--delete] [--quiet] [NAME=VALUE ...] [-- COMMAND LINE]\n"
    "      submit a job, follow it to its end on one line of standard error, then\n"
    "      print its output, its autoedits and its statistics, and exit with its\n"
    "      exit code. The words after -- are the command line (CMDLINE) of a\n"
    "      COMMAND job. ORDERNO (default: a new one), RUNNO (default 1), JOB_TYPE\n"
    "      (default COMMAND) and every other NAME=VALUE are the job's attributes;\n"
    "      a COMMAND job sees NAME as $KX_NAME and hands values back by appending\n"
    "      name=value lines to $KX_AUTOEDIT_FILE. A key the container knows\n"
    "      already shows that job again: a job never runs twice.\n"
    "      --interval MS   time between two polls (default 200)\n"
    "      --block-size N  output bytes asked for per read (default 16384)\n"
    "      --delete        delete the job, its record and output, at the end\n"
    "      --quiet         print nothing but the job's output\n"
    "      An interrupt (Ctrl-C) kills the job; a second one leaves it running.\n"
    "\n"
    "One entry point at a time, every result code and attribute shown:\n"
    "  version                     the library's version text\n"
    "  lifecycle [REQTYPE]         Init, Connect, Disconnect, Term\n"
    "  job ACTION [NAME=VALUE ...] [--out NAME[:SIZE] ...]\n"
    "                              one job action (SUBMIT, TRACK, KILL, DELETE,\n"
    "                              STATISTICS, ...); --out pre-creates an output\n"
    "                              attribute with a SIZE-byte buffer (default 256)\n"
    "  sysout ORDERNO [NAME=VALUE ...]\n"
    "                              read a job's output block by block\n"
    "  shutdown                    stop the container (PEXAPI_Shutdown)\n"
    "  free-port                   print a free loopback TCP port\n"
    "\n"
    "Options:\n"
    "  --lib PATH    the library; default BIN/../lib/libbe_hadoop.so when it\n"
    "                exists, else the dynamic loader's search\n"
    "  --no-check    skip kxhost's checks of the working directory and let the\n"
    "                library meet whatever it meets\n"
    "\n"
    "kxhost finds its companions beside its own directory BIN, in a build tree as\n"
    "in an installed prefix: BIN/../lib/libbe_hadoop.so, BIN/kxcontainer,\n"
    "BIN/zrtHadoop_container and BIN/../share/be_hadoop/locale/*.cp.\n"
    "Text is UTF-8 on kxhost's side; kxhost converts it when the agent runs in\n"
    "Latin-1 (no 'I18N CJK' in data/CONFIG.dat).\n"
    "\n"
    "Exit codes: 0 done; 1 the library answered with a failure; 2 a mistake in\n"
    "the command line or the working directory (nothing was sent). run exits with\n"
    "the job's exit code, or 125 when kxhost, the library or the container failed\n"
    "(or for a mistake), 126 when the job failed to start, 137 when it was killed,\n"
    "130 when two interrupts left it running.\n";

void print_error(const std::string& what, const std::string& hint) {
  std::fprintf(stderr, "kxhost: %s\n", what.c_str());
  if (!hint.empty()) std::fprintf(stderr, "  hint: %s\n", hint.c_str());
}

// Thrown once the problems found were printed.
struct Reported {};

struct Globals {
  std::string lib;
  bool lib_given = false;
  bool check = true;
};

std::unique_ptr<Library> load(const Globals& g, const std::string& command, bool needs_container) {
  if (g.check) {
    std::vector<std::string> warnings;
    const auto problems =
        check_working_directory(needs_container ? Needs::kContainer : Needs::kProcess, warnings);
    for (const Problem& p : problems) print_error(p.what, p.hint);
    if (!problems.empty()) {
      std::fprintf(stderr, "kxhost: %s: the library was not called; fix the above first\n", command.c_str());
      throw Reported{};
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "kxhost: warning: %s\n", w.c_str());
  }
  std::string error;
  std::unique_ptr<Library> lib = Library::open(g.lib, error);
  if (!lib) {
    std::string hint = "give its path with --lib PATH";
    if (!g.lib_given) {
      hint = "there is no " + program_dir() + "/../lib/" + kLibraryName +
             " beside kxhost and the loader finds none; give its path with --lib PATH";
    }
    throw UserError("cannot load the backend library " + g.lib + ": " + error, hint);
  }
  return lib;
}

bool asks_for_help(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

int dispatch(const Globals& g, int argc, char** argv, int i) {
  const std::string cmd = argv[i];
  if (cmd == "help" || asks_for_help(argc, argv, i)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "free-port") {
    const int port = free_port();
    if (port == 0) return 1;
    std::printf("%d\n", port);
    return 0;
  }
  if (cmd == "init") return cmd_init(argc, argv, i + 1);
  if (cmd == "run") {
    return cmd_run(argc, argv, i + 1, [&] { return load(g, cmd, true); });
  }
  if (cmd == "version") {
    if (i + 1 < argc) throw UserError("version takes no arguments", "see kxhost --help");
    return cmd_version(*load(Globals{g.lib, g.lib_given, false}, cmd, false));
  }
  const Loader loader = [&] { return load(g, cmd, cmd != "lifecycle"); };
  if (cmd == "lifecycle") return cmd_lifecycle(argc, argv, i + 1, loader);
  if (cmd == "job") return cmd_job(argc, argv, i + 1, loader);
  if (cmd == "sysout") return cmd_sysout(argc, argv, i + 1, loader);
  if (cmd == "shutdown") return cmd_shutdown(argc, i + 1, loader);
  throw UserError("unknown command '" + cmd + "'", "kxhost --help lists the commands");
}

}  // namespace

int main(int argc, char** argv) {
  Globals g;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (opt == "--version") {
      std::printf("kxhost %s\n", KX_VERSION);
      return 0;
    }
    if (opt == "--no-check") {
      g.check = false;
    } else if (opt == "--lib" && i + 1 < argc) {
      g.lib = argv[++i];
      g.lib_given = true;
    } else {
      print_error(opt == "--lib" ? "--lib needs a path" : "unknown option " + opt, "kxhost --help lists the options");
      return kExitMistake;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return kExitMistake;
  }
  if (!g.lib_given) g.lib = default_library();
  const int mistake = std::strcmp(argv[i], "run") == 0 ? kRunToolFailed : kExitMistake;
  try {
    return dispatch(g, argc, argv, i);
  } catch (const UserError& e) {
    print_error(e.what(), e.hint);
  } catch (const Reported&) {
  } catch (const std::exception& e) {
    print_error(e.what(), "");
  }
  return mistake;
}
