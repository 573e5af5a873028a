#include "test_container.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_workdir.h"

namespace kxtest {

namespace fs = std::filesystem;

namespace {

const char kContainerBinary[] = KX_BINARY_DIR "/bin/kx_test_container";
const char kStartScriptTemplate[] = KX_SOURCE_DIR "/tests/container/zrtHadoop_container.in";

std::string numbered(const std::string& dir, int n, const char* suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "/%04d%s", n, suffix);
  return dir + name;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

pid_t read_pid(const std::string& path) {
  const std::string text = read_file(path);
  const long v = std::strtol(text.c_str(), nullptr, 10);
  return v > 0 ? static_cast<pid_t>(v) : 0;
}

// A pid file can outlive its process and the number be reused; only a test
// container is ever signalled through one.
bool is_test_container(pid_t pid) {
  const std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  return cmdline.find("kx_test_container") != std::string::npos;
}

std::string shell_quoted_body(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out;
}

void replace_all(std::string& text, const std::string& key, const std::string& value) {
  for (std::size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + value.size())) {
    text.replace(pos, key.size(), value);
  }
}

}  // namespace

TestContainer::TestContainer() {
  std::string pattern = (fs::temp_directory_path() / "kxcontainer-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = buf.data();
  fs::create_directory(script_dir());
  fs::create_directory(record_dir());
}

TestContainer::~TestContainer() {
  // A start script may have launched a container that has not yet written
  // its pid file.
  if (file_exists(calls_file()) && !file_exists(pid_file())) {
    for (int i = 0; i < 200 && !file_exists(pid_file()); ++i) sleep_ms(10);
  }
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void TestContainer::add_answer_file(const std::string& content) {
  write_file(numbered(script_dir(), answers_ + 1, ""), content);
  ++answers_;
}

void TestContainer::answer(const std::string& document) {
  // A document that happens to begin like a directive block is sent as the
  // body of an explicit one.
  if (document.compare(0, 5, "#!kx\n") == 0) {
    add_answer_file("#!kx\ntype binary\n\n" + document);
  } else {
    add_answer_file(document);
  }
}

void TestContainer::answer_fault(const std::string& message, const std::string& code) {
  add_answer_file("#!kx\nfault " + message + "\nfault-code " + code + "\n\n");
}

void TestContainer::answer_http_status(int status, const std::string& body) {
  add_answer_file("#!kx\nstatus " + std::to_string(status) + "\n\n" + body);
}

void TestContainer::answer_after(int delay_ms, const std::string& document) {
  add_answer_file("#!kx\ndelay " + std::to_string(delay_ms) + "\n\n" + document);
}

void TestContainer::answer_exit() { add_answer_file("#!kx\nexit\n\n"); }

void TestContainer::answer_raw(const std::string& file_content) { add_answer_file(file_content); }

void TestContainer::start(int port) {
  if (running()) throw std::runtime_error("test container already running");
  if (access(kContainerBinary, X_OK) != 0) {
    throw std::runtime_error(std::string("test container not built: ") + kContainerBinary);
  }
  const std::string port_file = dir_ + "/port";
  std::remove(port_file.c_str());
  std::remove(pid_file().c_str());

  const std::vector<std::string> args = {kContainerBinary, "--port",   std::to_string(port),
                                         "--script",       script_dir(), "--record",
                                         record_dir(),     "--pid",      pid_file(),
                                         "--port-file",    port_file};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string log = log_file();

  const pid_t p = fork();
  if (p < 0) throw std::runtime_error("fork failed");
  if (p == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    if (in >= 0) dup2(in, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  child_ = p;

  const long long deadline = now_ms() + 10000;
  while (now_ms() < deadline) {
    int status = 0;
    if (waitpid(p, &status, WNOHANG) == p) {
      child_ = 0;
      throw std::runtime_error("test container ended at start:\n" + this->log());
    }
    const long v = std::strtol(read_file(port_file).c_str(), nullptr, 10);
    if (v > 0 && port_accepts(static_cast<int>(v))) {
      port_ = static_cast<int>(v);
      return;
    }
    sleep_ms(10);
  }
  stop();
  throw std::runtime_error("test container did not come up:\n" + this->log());
}

pid_t TestContainer::pid() const {
  if (child_ > 0) {
    int status = 0;
    if (waitpid(child_, &status, WNOHANG) == child_) {
      child_ = 0;
    } else if (process_alive(child_)) {
      return child_;
    }
  }
  const pid_t p = read_pid(pid_file());
  if (p > 0 && process_alive(p) && is_test_container(p)) return p;
  return 0;
}

void TestContainer::stop() {
  const pid_t p = pid();
  if (p != 0) stop_pid(p);
  if (p == child_) child_ = 0;
}

bool TestContainer::wait_exit(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    if (pid() == 0) return true;
    if (now_ms() >= deadline) return false;
    sleep_ms(10);
  }
}

int TestContainer::request_count() const {
  int n = 0;
  while (file_exists(numbered(record_dir(), n + 1, ".call"))) ++n;
  return n;
}

std::string TestContainer::request(int n) const { return read_file(numbered(record_dir(), n, ".doc")); }

std::vector<std::string> TestContainer::requests() const {
  std::vector<std::string> docs;
  const int count = request_count();
  for (int n = 1; n <= count; ++n) {
    if (file_exists(numbered(record_dir(), n, ".doc"))) docs.push_back(request(n));
  }
  return docs;
}

std::string TestContainer::call_body(int n) const { return read_file(numbered(record_dir(), n, ".call")); }

std::vector<std::string> TestContainer::start_script_calls() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(calls_file()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string TestContainer::log() const { return read_file(log_file()); }

void write_start_script(const std::string& container_dir, const TestContainer& c, int port) {
  std::string script = read_file(kStartScriptTemplate);
  if (script.empty()) throw std::runtime_error(std::string("cannot read ") + kStartScriptTemplate);
  replace_all(script, "@BIN@", shell_quoted_body(kContainerBinary));
  replace_all(script, "@SCRIPT_DIR@", shell_quoted_body(c.script_dir()));
  replace_all(script, "@RECORD_DIR@", shell_quoted_body(c.record_dir()));
  replace_all(script, "@PID_FILE@", shell_quoted_body(c.pid_file()));
  replace_all(script, "@LOG_FILE@", shell_quoted_body(c.log_file()));
  replace_all(script, "@CALLS_FILE@", shell_quoted_body(c.calls_file()));
  replace_all(script, "@PORT@", port > 0 ? std::to_string(port) : std::string());
  fs::create_directories(container_dir);
  const std::string path = container_dir + "/zrtHadoop_container";
  write_file(path, script);
  if (chmod(path.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + path);
}

int free_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("cannot find a free loopback port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool port_accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

bool wait_for_port(int port, int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    if (port_accepts(port)) return true;
    if (now_ms() >= deadline) return false;
    sleep_ms(10);
  }
}

bool process_alive(pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  // A zombie still answers kill(); its state in /proc says it has ended. The
  // state is that of the main thread, which turns zombie while the other
  // threads may still be closing the process's files, so a zombie counts as
  // ended only once it is the last thread.
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string stat = read_file(proc + "/stat");
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return true;
  const char state = stat[paren + 2];
  if (state != 'Z' && state != 'X') return true;
  const std::string status = read_file(proc + "/status");
  const std::size_t threads = status.find("Threads:");
  return threads != std::string::npos && std::strtol(status.c_str() + threads + 8, nullptr, 10) > 1;
}

void stop_pid(pid_t pid, int grace_ms) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const long long start = now_ms();
  bool killed = false;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return;
    if (r < 0 && !process_alive(pid)) return;
    const long long elapsed = now_ms() - start;
    if (!killed && elapsed >= grace_ms) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (elapsed >= grace_ms + 5000) return;
    sleep_ms(5);
  }
}

}  // namespace kxtest
