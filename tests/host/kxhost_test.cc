// kxhost as a person uses it: the built program run as a subprocess, against
// the built library and the real container, in fresh temporary directories.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_workdir.h"

namespace kxtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const std::string kHost = KXHOST_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

::testing::AssertionResult has(const std::string& text, const std::string& part) {
  if (contains(text, part)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << part << "' not in:\n" << text;
}

bool executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Something answers on the loopback port.
bool listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) ::close(fd);
  return open;
}

std::vector<std::string> host(std::vector<std::string> args) {
  args.insert(args.begin(), kHost);
  return args;
}

// A process with pid that ran: true until it has gone or only waits to be
// reaped by whoever inherited it.
bool alive(long pid) {
  if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_field, comm, state;
  stat >> pid_field >> comm >> state;
  return state != "Z";
}

// ---- what kxhost does without a library --------------------------------------

class HostAlone : public ::testing::Test {
 protected:
  // kxhost copied alone into an empty prefix: no library beside it, none on
  // the loader's path, no container and no locale data.
  HostAlone() : lone_(wd_.file("prefix/bin/kxhost")) {
    fs::create_directories(wd_.file("prefix/bin"));
    fs::copy_file(kHost, lone_);
  }
  Outcome lone(std::vector<std::string> args) {
    args.insert(args.begin(), lone_);
    return run_program(args, wd_.path(), {{"LD_LIBRARY_PATH", std::nullopt}});
  }
  TestWorkdir wd_;
  std::string lone_;
};

TEST_F(HostAlone, HelpAndVersionNeedNoLibrary) {
  const std::vector<std::vector<std::string>> asks = {{"--help"}, {"-h"}, {"help"}, {"run", "--help"}};
  for (const std::vector<std::string>& args : asks) {
    const Outcome r = lone(args);
    EXPECT_EQ(r.code, 0) << args[0] << "\n" << r.err;
    EXPECT_TRUE(has(r.out, "usage: kxhost"));
    EXPECT_TRUE(has(r.out, "run [--interval MS]"));
    EXPECT_TRUE(has(r.out, "init [DIR]"));
  }
  const Outcome v = lone({"--version"});
  EXPECT_EQ(v.code, 0);
  EXPECT_TRUE(has(v.out, "kxhost 1."));
}

TEST_F(HostAlone, ALibraryThatCannotBeLoadedIsNamedWithAHint) {
  const Outcome r = lone({"version"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "cannot load the backend library libbe_hadoop.so"));
  EXPECT_TRUE(has(r.err, "hint: there is no " + wd_.file("prefix/bin") + "/../lib/libbe_hadoop.so"));
  EXPECT_TRUE(has(r.err, "--lib PATH"));

  const Outcome given = lone({"--lib", wd_.file("nowhere/libbe_hadoop.so"), "version"});
  EXPECT_EQ(given.code, 2);
  EXPECT_TRUE(has(given.err, "cannot load the backend library " + wd_.file("nowhere/libbe_hadoop.so")));
}

TEST_F(HostAlone, InitWithoutTheContainerProgramSaysWhereItLooked) {
  const Outcome r = lone({"init", wd_.file("agent")});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "no executable kxcontainer in " + wd_.file("prefix/bin")));
  EXPECT_TRUE(has(r.err, "--container-bin"));
  EXPECT_FALSE(fs::exists(wd_.file("agent")));
}

TEST_F(HostAlone, UnknownCommandsAndOptionsAreRefused) {
  Outcome r = lone({"frobnicate"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "unknown command 'frobnicate'"));
  EXPECT_TRUE(has(r.err, "kxhost --help"));
  r = lone({"--frobnicate", "version"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "unknown option --frobnicate"));
  r = lone({});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "usage: kxhost"));
}

// ---- checks of the working directory, before the library is called ---------

class HostChecks : public ::testing::Test {
 protected:
  // An agent working directory with everything but the container: data/,
  // proclog/, sysout/ and an agent home with the locale data.
  HostChecks() {
    fs::create_directories(wd_.file("home/exe/locale"));
    for (const auto& e : fs::directory_iterator(fs::path(KX_SOURCE_DIR) / "data" / "locale"))
      fs::copy_file(e.path(), wd_.file("home/exe/locale/") + e.path().filename().string());
    env_["WEXAGENT"] = wd_.file("home");
  }
  Outcome host_in(const std::string& dir, std::vector<std::string> args) {
    return run_program(host(std::move(args)), dir, env_);
  }
  // Nothing was asked of the library: it would have opened its log.
  bool library_untouched() const { return fs::is_empty(wd_.file("proclog")); }

  TestWorkdir wd_;
  ChildProcess::EnvChanges env_;
};

TEST_F(HostChecks, AMissingContainerDirectoryIsReportedBeforeTheLibraryIsCalled) {
  Outcome r = host_in(wd_.path(), {"run", "--", "true"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "has no data/HADOOP.dat"));
  EXPECT_TRUE(has(r.err, "hint: write a line 'KX_DIR /path/to/container' to data/HADOOP.dat"));
  EXPECT_FALSE(contains(r.err, "critical section"));

  wd_.write_table("HADOOP", "# no container directory here\nOTHER 1\n");
  r = host_in(wd_.path(), {"job", "TRACK", "ORDERNO=a1", "RUNNO=1", "--out", "STATUS:32"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "the key KX_DIR is missing or empty"));
  EXPECT_TRUE(has(r.err, "kxhost: job: the library was not called"));

  wd_.write_table("HADOOP", "KX_DIR " + wd_.file("container") + "\n");
  r = host_in(wd_.path(), {"shutdown"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "the container directory KX_DIR " + wd_.file("container") + " does not exist"));

  fs::create_directory(wd_.file("container"));
  r = host_in(wd_.path(), {"run", "--", "true"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "has no executable zrtHadoop_container"));
  EXPECT_TRUE(library_untouched());
}

TEST_F(HostChecks, WithoutChecksTheLibraryMeetsTheMissingDirectoryItself) {
  // What the check spares a person: the library's own, late report. Without
  // KX_DIR the library has no configuration and tries the default port.
  if (listening(38980)) GTEST_SKIP() << "a container answers on the default port 38980 here";
  const Outcome r = host_in(wd_.path(), {"--no-check", "job", "TRACK", "ORDERNO=a1", "RUNNO=1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "failed to lock critical section"));
}

TEST_F(HostChecks, AnAgentHomeAndAWorkingDirectoryAreAskedFor) {
  env_["WEXAGENT"] = std::nullopt;
  Outcome r = host_in(wd_.path(), {"lifecycle"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "WEXAGENT is not set"));
  EXPECT_TRUE(has(r.err, "hint: export WEXAGENT="));

  env_["WEXAGENT"] = wd_.file("data");
  r = host_in(wd_.path(), {"lifecycle"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "the locale data file " + wd_.file("data") + "/exe/locale/"));

  fs::create_directory(wd_.file("empty"));
  r = host_in(wd_.file("empty"), {"run", "--", "true"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, wd_.file("empty") + " is not an agent working directory"));
  EXPECT_TRUE(has(r.err, "hint: lay one out with 'kxhost init DIR', then cd DIR"));
  EXPECT_TRUE(library_untouched());
}

TEST_F(HostChecks, BadWordsAreRefusedWithTheirForm) {
  Outcome r = host_in(wd_.path(), {"run", "FOO", "--", "true"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "'FOO' is not an attribute"));
  EXPECT_TRUE(has(r.err, "NAME=VALUE"));

  r = host_in(wd_.path(), {"job", "SUBMIT", "=x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "'=x' has no name"));

  r = host_in(wd_.path(), {"job", "TRACK", "ORDERNO=a", "--out", "STATUS:0"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "SIZE must be a number from 1 to 65535"));

  r = host_in(wd_.path(), {"run", "ORDERNO=a"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "a COMMAND job needs a command line"));

  r = host_in(wd_.path(), {"run", "CMDLINE=true", "--", "false"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "the command line is given twice"));

  r = host_in(wd_.path(), {"run", "--interval", "0", "--", "true"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "--interval needs a number from 10 to 60000"));
  EXPECT_TRUE(library_untouched());
}

// ---- init --------------------------------------------------------------------

class HostInit : public ::testing::Test {
 protected:
  TestWorkdir wd_;
};

TEST_F(HostInit, LaysOutAWorkingDirectoryTheLibraryAndTheContainerCanUse) {
  const std::string dir = wd_.file("agent");
  const Outcome r = run_program(host({"init", dir, "--port", "40123", "--level", "3"}), wd_.path());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(r.out, "cd " + dir + "\n"));
  EXPECT_TRUE(has(r.out, "export WEXAGENT=" + dir + "\n"));

  EXPECT_TRUE(has(read_file(dir + "/data/CONFIG.dat"), "\nDBGLVL 3\n"));
  EXPECT_TRUE(has(read_file(dir + "/data/HADOOP.dat"), "\nKX_DIR " + dir + "/container\n"));
  EXPECT_TRUE(has(read_file(dir + "/data/kx_container_conf.xml"), "<Port>40123</Port>"));
  for (const char* sub : {"proclog", "sysout"}) EXPECT_TRUE(fs::is_directory(dir + "/" + sub)) << sub;
  for (const auto& e : fs::directory_iterator(fs::path(KX_SOURCE_DIR) / "data" / "locale")) {
    if (e.path().extension() != ".cp") continue;
    EXPECT_EQ(read_file(dir + "/exe/locale/" + e.path().filename().string()), read_file(e.path().string()))
        << e.path().filename();
  }
  EXPECT_TRUE(executable(dir + "/container/kxcontainer"));
  EXPECT_TRUE(executable(dir + "/container/zrtHadoop_container"));

  // The container reads the configuration from its place: it looks for
  // itself on the port written there (and finds nothing running).
  const Outcome status = run_program({dir + "/container/zrtHadoop_container", "status"}, dir);
  EXPECT_EQ(status.code, 1);
  EXPECT_TRUE(has(status.err, "not answering at 127.0.0.1:40123"));
  EXPECT_FALSE(fs::exists(dir + "/container/state/kxcontainer.pid"));
}

TEST_F(HostInit, ALayoutIsWrittenAgainOnlyWhenAskedTo) {
  const std::string dir = wd_.file("agent");
  ASSERT_EQ(run_program(host({"init", dir, "--port", "40124"}), wd_.path()).code, 0);
  Outcome r = run_program(host({"init", dir, "--port", "40125"}), wd_.path());
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, dir + " holds an agent working directory already"));
  EXPECT_TRUE(has(r.err, "--force"));
  EXPECT_TRUE(has(read_file(dir + "/data/kx_container_conf.xml"), "<Port>40124</Port>"));

  // The current directory is the default; a new port is written.
  r = run_program(host({"init", "--force", "--port", "40125"}), dir);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(read_file(dir + "/data/kx_container_conf.xml"), "<Port>40125</Port>"));
  EXPECT_TRUE(executable(dir + "/container/kxcontainer"));
}

// The configuration comes from a template an operator may have edited: its
// own settings stay, its port is kept unless it is 0, and a <Port> inside a
// comment is not the setting.
TEST_F(HostInit, TheContainerConfigurationIsTheTemplateWithItsPort) {
  const std::string tpl = wd_.file("template.xml");
  wd_.write("template.xml",
            "<?xml version=\"1.0\"?>\n<!-- init writes <Port>N</Port> below -->\n<Configuration>\n"
            "  <Port>0</Port>\n  <!-- <Port>1</Port> -->\n  <HadoopConfDir>/etc/site</HadoopConfDir>\n"
            "</Configuration>\n");
  const std::string a = wd_.file("a");
  ASSERT_EQ(run_program(host({"init", a, "--conf-template", tpl}), wd_.path()).code, 0);
  const std::string conf = read_file(a + "/data/kx_container_conf.xml");
  EXPECT_TRUE(has(conf, "<!-- init writes <Port>N</Port> below -->")) << conf;
  EXPECT_TRUE(has(conf, "<!-- <Port>1</Port> -->")) << conf;
  EXPECT_TRUE(has(conf, "<HadoopConfDir>/etc/site</HadoopConfDir>")) << conf;
  EXPECT_FALSE(has(conf, "<Port>0</Port>")) << conf;

  // An operator's fixed port is kept; --port wins over it.
  wd_.write("template.xml", "<Configuration>\n  <Port>40310</Port>\n</Configuration>\n");
  ASSERT_EQ(run_program(host({"init", wd_.file("b"), "--conf-template", tpl}), wd_.path()).code, 0);
  EXPECT_TRUE(has(read_file(wd_.file("b") + "/data/kx_container_conf.xml"), "<Port>40310</Port>"));
  ASSERT_EQ(run_program(host({"init", wd_.file("c"), "--conf-template", tpl, "--port", "40311"}), wd_.path()).code, 0);
  EXPECT_TRUE(has(read_file(wd_.file("c") + "/data/kx_container_conf.xml"), "<Port>40311</Port>"));

  // A template without the setting gets one; one that is not a port is refused.
  wd_.write("template.xml", "<Configuration>\n  <!-- </Configuration> -->\n</Configuration>\n");
  ASSERT_EQ(run_program(host({"init", wd_.file("d"), "--conf-template", tpl, "--port", "40312"}), wd_.path()).code,
            0);
  EXPECT_EQ(read_file(wd_.file("d") + "/data/kx_container_conf.xml"),
            "<Configuration>\n  <!-- </Configuration> -->\n  <Port>40312</Port>\n</Configuration>\n");
  wd_.write("template.xml", "<Configuration><Port>http</Port></Configuration>\n");
  const Outcome bad = run_program(host({"init", wd_.file("e"), "--conf-template", tpl}), wd_.path());
  EXPECT_EQ(bad.code, 2);
  EXPECT_TRUE(has(bad.err, "has <Port>http</Port>")) << bad.err;
}

// From a build tree the container programs are copied; --link links them,
// so that a working directory follows an installation's upgrades.
TEST_F(HostInit, ContainerProgramsAreCopiedOrLinked) {
  const std::string copied = wd_.file("copied"), linked = wd_.file("linked");
  ASSERT_EQ(run_program(host({"init", copied, "--port", "40320"}), wd_.path()).code, 0);
  const Outcome r = run_program(host({"init", linked, "--port", "40321", "--link"}), wd_.path());
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string bin = fs::path(KXHOST_PATH).parent_path().string();
  for (const char* name : {"kxcontainer", "zrtHadoop_container"}) {
    EXPECT_FALSE(fs::is_symlink(copied + "/container/" + name)) << name;
    ASSERT_TRUE(fs::is_symlink(linked + "/container/" + name)) << name;
    EXPECT_EQ(fs::read_symlink(linked + "/container/" + name), fs::path(bin) / name);
  }
  EXPECT_TRUE(has(r.out, "links to " + bin));
  // Through the links the start script still takes the working directory's
  // container directory as the container's home.
  const Outcome status = run_program({linked + "/container/zrtHadoop_container", "status"}, linked);
  EXPECT_EQ(status.code, 1);
  EXPECT_TRUE(has(status.err, "not answering at 127.0.0.1:40321")) << status.err;
}

TEST_F(HostInit, APathTheLibraryWouldRefuseIsRefusedAtOnce) {
  const Outcome r = run_program(host({"init", wd_.file("two words")}), wd_.path());
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(has(r.err, "it accepts only letters, digits and /._+- in that path"));
  EXPECT_FALSE(fs::exists(wd_.file("two words")));
}

// ---- run, against the real container ------------------------------------------

// A working directory made by kxhost init with a container on a free port.
// The container is down at first: the library starts it through its own
// recovery path at the first request. It is stopped by its pid at the end.
class HostRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wd_ = new TestWorkdir;
    const Outcome port = run_program(host({"free-port"}), wd_->path());
    ASSERT_EQ(port.code, 0);
    const Outcome init = run_program(host({"init", dir(), "--port", port.out.substr(0, port.out.find('\n'))}),
                                     wd_->path());
    ASSERT_EQ(init.code, 0) << init.err;
  }

  static void TearDownTestSuite() {
    const long pid = std::atol(read_file(dir() + "/container/state/kxcontainer.pid").c_str());
    if (alive(pid)) {
      run_program({dir() + "/container/zrtHadoop_container", "stop"}, dir(), {}, seconds(30));
      const auto deadline = std::chrono::steady_clock::now() + seconds(10);
      while (alive(pid) && std::chrono::steady_clock::now() < deadline) ::usleep(20000);
      if (alive(pid)) {
        ADD_FAILURE() << "the container (pid " << pid << ") did not stop; killed";
        ::kill(static_cast<pid_t>(pid), SIGKILL);
      }
    }
    delete wd_;
    wd_ = nullptr;
  }

  static std::string dir() { return wd_->file("agent"); }
  static ChildProcess::EnvChanges env() { return {{"WEXAGENT", dir()}}; }
  static Outcome run(std::vector<std::string> args) {
    return run_program(host(std::move(args)), dir(), env(), seconds(60));
  }

  static TestWorkdir* wd_;
};

TestWorkdir* HostRun::wd_ = nullptr;

TEST_F(HostRun, RunsACommandJobToItsEndAndShowsWhatItHandedBack) {
  const Outcome down = run_program({dir() + "/container/zrtHadoop_container", "status"}, dir());
  ASSERT_NE(down.code, 0) << "the container must be down before the first request";

  const Outcome r = run({"run", "GREETING=hello", "--",
                         "printf 'one two three\\nfour\\n' > words.txt;", "n=$(wc -w < words.txt);",
                         "echo \"counted $n words\";", "echo \"WORDS=$n\" >> \"$KX_AUTOEDIT_FILE\";",
                         "echo \"SAID=$KX_GREETING\" >> \"$KX_AUTOEDIT_FILE\""});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "kxhost: submitting a COMMAND job, ORDERNO=KX"));
  EXPECT_TRUE(has(r.out, "ENDED_OK, exit code 0"));
  EXPECT_TRUE(has(r.out, "---- output of kx-KX"));
  EXPECT_TRUE(has(r.out, "\ncounted 4 words\n---- end of output: 16 bytes in 1 block of at most 16384 ----\n"));
  EXPECT_TRUE(has(r.out, "autoedits (2):\n  WORDS=4\n  SAID=hello\n"));
  EXPECT_TRUE(has(r.out, "statistics: elapsed "));
  EXPECT_TRUE(has(r.out, "output 16 bytes"));
  // Not a terminal: plain progress lines, the last one the end state.
  EXPECT_TRUE(has(r.err, "ENDED_OK"));
  EXPECT_FALSE(contains(r.err, "\r"));

  // The library started the container through its start script, whose word
  // goes to standard error, apart from the report.
  EXPECT_TRUE(has(r.err, "kxcontainer: started"));
  EXPECT_FALSE(contains(r.out, "kxcontainer: started"));
  const long pid = std::atol(read_file(dir() + "/container/state/kxcontainer.pid").c_str());
  EXPECT_TRUE(alive(pid));
}

TEST_F(HostRun, TheJobsEndDecidesTheExitCode) {
  Outcome r = run({"run", "--", "echo failing; exit 3"});
  EXPECT_EQ(r.code, 3) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "ENDED_NOTOK, exit code 3"));
  EXPECT_TRUE(has(r.out, "\nfailing\n"));

  r = run({"run", "WORKDIR=/nonexistent/kxhost-test", "--", "true"});
  EXPECT_EQ(r.code, 126) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "FAILED_TO_START"));

  r = run({"run", "--quiet", "--", "exit 0"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");

  // A job the container refuses: its reason, and where to read more.
  r = run({"run", "WORKDIR=relative/dir", "--", "true"});
  EXPECT_EQ(r.code, 125) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "kxhost: SUBMIT failed: error 6: "));
  EXPECT_TRUE(has(r.err, "WORKDIR 'relative/dir' is not an absolute path"));
  EXPECT_TRUE(has(r.err, "hint: the library's log is proclog/AS_"));
}

TEST_F(HostRun, AnInterruptKillsTheJob) {
  ChildProcess child(host({"run", "--", "sleep 30"}), dir(), env());
  ASSERT_TRUE(child.wait_until([&] { return contains(child.err(), "EXECUTING"); }, seconds(30))) << child.err();
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(seconds(30)), 137) << child.out() << child.err();
  EXPECT_TRUE(has(child.err(), "interrupted: killing job"));
  EXPECT_TRUE(has(child.out(), "ended: KILLED"));
}

TEST_F(HostRun, OutputArrivesWholeBlockByBlockAndInUtf8) {
  Outcome r = run({"run", "--quiet", "--block-size", "1000", "--", "seq 1 2000"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string expected;
  for (int i = 1; i <= 2000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(r.out, expected);

  r = run({"run", "--block-size", "1000", "--", "seq 1 2000"});
  EXPECT_TRUE(has(r.out, "---- end of output: 8893 bytes in 9 blocks of at most 1000 ----"));

  // The agent here runs in Latin-1: the text goes through it both ways.
  r = run({"run", "--quiet", "WORD=d\xC3\xA9j\xC3\xA0", "--", "echo \"caf\xC3\xA9 $KX_WORD\""});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "caf\xC3\xA9 d\xC3\xA9j\xC3\xA0\n");
  r = run({"run", "--", "echo \xE2\x82\xAC"});
  EXPECT_EQ(r.code, 125);
  EXPECT_TRUE(has(r.err, "has characters outside Latin-1"));
  EXPECT_TRUE(has(r.err, "I18N CJK"));
}

TEST_F(HostRun, AKnownKeyRunsOnceAndADeletedJobIsGone) {
  const std::string marker = dir() + "/runs.txt";
  const std::vector<std::string> args = {"run", "ORDERNO=ONCE", "RUNNO=7", "--",
                                         "echo ran >> " + marker + "; echo ran"};
  Outcome r = run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  r = run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(r.out, "job kx-ONCE-7 submitted: ENDED_OK"));
  EXPECT_TRUE(has(r.out, "\nran\n"));
  EXPECT_EQ(read_file(marker), "ran\n");

  r = run({"run", "--delete", "ORDERNO=GONE", "--", "echo bye"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(r.out, "kxhost: job kx-GONE-1 deleted"));
  r = run({"job", "TRACK", "ORDERNO=GONE", "RUNNO=1", "--out", "STATUS:32"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "error 5: "));
}

}  // namespace
}  // namespace kxtest
