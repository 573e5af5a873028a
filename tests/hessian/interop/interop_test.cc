// Our Hessian layer against the Java implementation (libhessian-java): our
// client calls a Java service, and the Java client calls our test container.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hessian_exceptions.h"
#include "hessian_proxy.h"
#include "hessian_wrappers.h"
#include "test_container.h"
#include "test_workdir.h"

namespace {

using hessian::exceptions::fault_exception;
using hessian::wrappers::Binary;
using hessian::wrappers::Object;

const char kFaultMessage[] = "scripted fault for the interop test";

#define REQUIRE_JAVA()                                                                  \
  do {                                                                                  \
    if (std::string(KX_JAVA).empty()) GTEST_SKIP() << "no Java compiler at configure time"; \
    ASSERT_FALSE(std::string(KX_HESSIAN_JAR).empty()) << "libhessian-java is not installed"; \
  } while (0)

// A request document of exactly n bytes, holding every byte value.
std::string document(std::size_t n, const std::string& action = "SUBMIT") {
  std::string doc = "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER><ACTION>" + action +
                    "</ACTION></HEADER><BODY>";
  const std::string tail = "</BODY></TWBKX>";
  if (n < doc.size() + tail.size()) {
    std::string small(n, '\0');
    for (std::size_t i = 0; i < n; ++i) small[i] = static_cast<char>(i * 13 + 250);
    return small;
  }
  for (std::size_t i = 0; doc.size() + tail.size() < n; ++i) doc.push_back(static_cast<char>(i * 7 + i / 251));
  return doc + tail;
}

std::vector<std::string> java_command(const std::string& main_class) {
  return {KX_JAVA,
          "--add-opens", "java.base/java.lang=ALL-UNNAMED",
          "--add-opens", "java.base/java.util=ALL-UNNAMED",
          "-cp", std::string(KX_INTEROP_CLASSES) + ":" + KX_HESSIAN_JAR,
          main_class};
}

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Runs a command with its output in log and stdin from stdin_fd (or
// /dev/null); returns its pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& log, int stdin_fd = -1) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
    dup2(out, 1);
    dup2(out, 2);
    dup2(in, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a command to its end (at most a minute) and returns its exit status.
int run(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = spawn(args, log);
  const long long deadline = now_ms() + 60000;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now_ms() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The Java echo service, running for the life of the object. It ends when
// the pipe on its standard input closes, even if this process dies first.
class JavaService {
 public:
  explicit JavaService(const kxtest::TestWorkdir& wd) : log_(wd.file("java_service.log")) {
    const std::string port_file = wd.file("java_service.port");
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    std::vector<std::string> cmd = java_command("KxEchoService");
    cmd.push_back(port_file);
    pid_ = spawn(cmd, log_, fds[0]);
    close(fds[0]);
    stdin_ = fds[1];
    const long long deadline = now_ms() + 30000;
    while (port_ == 0 && now_ms() < deadline) {
      port_ = std::atoi(kxtest::read_file(port_file).c_str());
      if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (port_ == 0 || !kxtest::wait_for_port(port_, 5000)) {
      throw std::runtime_error("Java service did not start:\n" + kxtest::read_file(log_));
    }
  }
  ~JavaService() {
    close(stdin_);
    kxtest::stop_pid(pid_);
  }
  int port() const { return port_; }
  std::string log() const { return kxtest::read_file(log_); }

 private:
  std::string log_;
  pid_t pid_ = 0;
  int stdin_ = -1;
  int port_ = 0;
};

std::string call_invoke(hessian::hessian_proxy& proxy, const std::string& doc) {
  const Binary arg(doc);
  std::unique_ptr<Object> reply(proxy.call("invoke", 1, &arg));
  EXPECT_EQ(reply->classname(), "Binary");
  const auto* b = dynamic_cast<const Binary*>(reply.get());
  return b != nullptr ? b->value() : std::string();
}

// --- our client, their service ----------------------------------------------

TEST(HessianInterop, OurClientCallsTheJavaService) {
  REQUIRE_JAVA();
  kxtest::TestWorkdir wd;
  JavaService java(wd);
  for (bool hessian2_reply : {false, true}) {
    SCOPED_TRACE(hessian2_reply ? "Hessian 2.0 replies" : "Hessian 1.0 replies");
    hessian::hessian_proxy proxy("127.0.0.1:" + std::to_string(java.port()), "/KxService", false);
    proxy.set_hessian2_reply(hessian2_reply);
    for (std::size_t size : {20u, 100000u}) {
      const std::string doc = document(size);
      ASSERT_EQ(doc.size(), size);
      EXPECT_TRUE(call_invoke(proxy, doc) == "ECHO:" + doc) << size << "\n" << java.log();
    }
  }
}

TEST(HessianInterop, JavaServiceFaultsReachOurClient) {
  REQUIRE_JAVA();
  kxtest::TestWorkdir wd;
  JavaService java(wd);
  for (bool hessian2_reply : {false, true}) {
    hessian::hessian_proxy proxy("127.0.0.1:" + std::to_string(java.port()), "KxService", false);
    proxy.set_hessian2_reply(hessian2_reply);
    const Binary arg(document(300, "FAULT"));
    try {
      delete proxy.call("invoke", 1, &arg);
      ADD_FAILURE() << "no fault";
    } catch (const fault_exception& e) {
      EXPECT_EQ(std::string(e.what()), kFaultMessage);
      EXPECT_EQ(e.code(), "ServiceException");
    }
  }
}

// --- their client, our test container ---------------------------------------

struct ClientRun {
  std::vector<std::string> replies;
  std::vector<std::string> faults;
};

// Has the Java client send each document to the container, in one JVM.
ClientRun run_java_client(const kxtest::TestWorkdir& wd, int port, const std::string& mode,
                          const std::vector<std::string>& docs) {
  std::vector<std::string> cmd = java_command("KxInteropClient");
  cmd.push_back("http://127.0.0.1:" + std::to_string(port) + "/KxService");
  cmd.push_back(mode);
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const std::string name = mode + "_" + std::to_string(i);
    wd.write(name + ".doc", docs[i]);
    cmd.push_back(wd.file(name + ".doc"));
    cmd.push_back(wd.file(name + ".reply"));
  }
  const std::string log = wd.file("java_client.log");
  EXPECT_EQ(run(cmd, log), 0) << kxtest::read_file(log);
  ClientRun result;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const std::string name = mode + "_" + std::to_string(i);
    result.replies.push_back(kxtest::read_file(wd.file(name + ".reply")));
    result.faults.push_back(kxtest::read_file(wd.file(name + ".reply.fault")));
  }
  return result;
}

TEST(HessianInterop, JavaClientCallsOurTestContainer) {
  REQUIRE_JAVA();
  kxtest::TestWorkdir wd;
  // hessian1: Hessian 1.0 calls whose replies come back in Hessian 2.0, as the
  // Java client asks by default; hessian2: Hessian 2.0 calls and replies.
  for (const std::string mode : {"hessian1", "hessian2"}) {
    SCOPED_TRACE(mode);
    kxtest::TestContainer container;
    const std::vector<std::string> docs = {document(20), document(100000), document(100000, "TRACK")};
    const std::vector<std::string> answers = {document(20, "A"), document(100000, "ANSWER"),
                                              document(65535, "ANSWER")};
    container.answer(answers[0]);
    container.answer(answers[1]);
    // The third answer comes in Hessian 1.0 whatever the client asked for. The
    // Java client reads the body of a Hessian 1.0 reply with its Hessian 2.0
    // decoder, so it cannot take the 1.0 chunk code 'b': the answer stays
    // within one chunk.
    container.answer_raw("#!kx\nversion 1\n\n" + answers[2]);
    container.start();
    const ClientRun run = run_java_client(wd, container.port(), mode, docs);
    ASSERT_EQ(container.request_count(), 3) << container.log();
    for (std::size_t i = 0; i < docs.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(container.request(static_cast<int>(i) + 1) == docs[i]);
      EXPECT_TRUE(run.replies[i] == answers[i]);
      EXPECT_EQ(run.faults[i], "");
    }
    EXPECT_EQ(container.call_body(1)[0], mode == "hessian1" ? 'c' : 'H');
  }
}

TEST(HessianInterop, TestContainerFaultsReachTheJavaClient) {
  REQUIRE_JAVA();
  kxtest::TestWorkdir wd;
  kxtest::TestContainer container;
  container.answer_fault("no such job 0042", "KxException");
  container.start();
  const ClientRun run = run_java_client(wd, container.port(), "hessian1", {document(20)});
  EXPECT_EQ(run.faults[0], "KxException\nno such job 0042");
  EXPECT_EQ(run.replies[0], "");
  EXPECT_TRUE(container.request(1) == document(20));
}

}  // namespace
