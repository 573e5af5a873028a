#include "product_container.h"

#include <dirent.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_container.h"
#include "test_workdir.h"

namespace kxtest {

namespace fs = std::filesystem;

std::string kxcontainer_program() { return std::string(KX_BINARY_DIR) + "/bin/kxcontainer"; }

ProductContainer::ProductContainer(std::string container_dir, const std::string& extra_conf)
    : dir_(std::move(container_dir)), port_(free_loopback_port()) {
  fs::create_directories(dir_);
  fs::create_directories(data_dir());
  fs::create_symlink(kxcontainer_program(), dir_ + "/kxcontainer");
  fs::copy_file(std::string(KX_SOURCE_DIR) + "/src/container/zrtHadoop_container", dir_ + "/zrtHadoop_container");
  configure(extra_conf);
}

ProductContainer::~ProductContainer() {
  stop();
  kill_supervisors(dir_);
}

std::string ProductContainer::data_dir() const { return fs::path(dir_).parent_path().string() + "/data"; }

void ProductContainer::configure(const std::string& extra_conf) {
  std::ofstream out(data_dir() + "/kx_container_conf.xml", std::ios::trunc);
  out << "<?xml version='1.0' encoding='UTF-8'?><Configuration><ContainerHost>127.0.0.1</ContainerHost>"
      << "<Port>" << port_ << "</Port><RecoveryMaxRetry>20</RecoveryMaxRetry>"
      << "<RecoveryRetrySleepTime>1000</RecoveryRetrySleepTime><RequestTimeout>60</RequestTimeout>"
      << "<MonitorIntervalMs>50</MonitorIntervalMs><KillGraceSeconds>2</KillGraceSeconds>" << extra_conf
      << "</Configuration>\n";
}

int ProductContainer::script(const std::string& command, std::string* output) const {
  const std::string cmd = dir_ + "/zrtHadoop_container " + command + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  std::string text;
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = ::pclose(p);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProductContainer::start(int level) {
  std::string out;
  const int rc = script("start " + std::to_string(level), &out);
  if (rc != 0) std::fprintf(stderr, "zrtHadoop_container start: %s", out.c_str());
  return rc == 0 && running();
}

pid_t ProductContainer::pid() const {
  const int fd = ::open((state_dir() + "/kxcontainer.pid").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  pid_t pid = 0;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    char buf[32] = {};
    if (::pread(fd, buf, sizeof buf - 1, 0) > 0) pid = static_cast<pid_t>(std::atol(buf));
  }
  ::close(fd);
  return pid;
}

void ProductContainer::kill9() {
  const pid_t p = pid();
  if (p == 0) return;
  ::kill(p, SIGKILL);
  for (int i = 0; i < 1000 && pid() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void ProductContainer::stop() {
  const pid_t p = pid();
  if (p == 0) return;
  ::kill(p, SIGTERM);
  for (int i = 0; i < 1000 && pid() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (pid() != 0) kill9();
}

std::string ProductContainer::log() const { return read_file(dir_ + "/log/kxcontainer.log"); }

namespace {

long json_number(const std::string& text, const std::string& key) {
  const auto at = text.find("\"" + key + "\":");
  return at == std::string::npos ? 0 : std::atol(text.c_str() + at + key.size() + 3);
}

}  // namespace

void kill_supervisors(const std::string& dir) {
  std::error_code ec;
  for (const auto& job : fs::directory_iterator(dir + "/spool", ec)) {
    const std::string started = read_file(job.path().string() + "/started.json");
    // Each job leads a process group of its own; its supervisor is apart.
    if (const long job_pid = json_number(started, "job_pid"); job_pid > 0) ::kill(-static_cast<pid_t>(job_pid), SIGKILL);
    if (const long sup = json_number(started, "supervisor_pid"); sup > 0) {
      std::ifstream in("/proc/" + std::to_string(sup) + "/cmdline", std::ios::binary);
      std::stringstream cmdline;
      cmdline << in.rdbuf();
      if (cmdline.str().find(job.path().string()) != std::string::npos) ::kill(static_cast<pid_t>(sup), SIGKILL);
    }
  }
}

long peak_rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

}  // namespace kxtest

namespace kxtest {

std::vector<std::string> answer_names(const std::string& action) {
  if (action == "SUBMIT") return {"JOBID", "STATUS"};
  if (action == "TRACK" || action == "TRACK_INIT") {
    return {"JOBID",        "STATUS",     "EXITCODE",          "STARTTIME", "ENDTIME",     "MESSAGE",
            "APPLICATIONS", "YARN_STATE", "YARN_FINAL_STATUS", "PROGRESS",  "TRACKING_URL"};
  }
  if (action == "STATISTICS") {
    return {"STATUS",    "ELAPSED",        "CPU_USER",      "CPU_SYSTEM",       "MAX_RSS_KB", "OUTPUT_BYTES",
            "YARN_APPS", "MEMORY_SECONDS", "VCORE_SECONDS", "APPLICATION_USAGE", "COUNTERS"};
  }
  return {"STATUS"};
}

ContainerAgentEnv::ContainerAgentEnv(const std::string& extra_conf, int level)
    : AgentEnv("KXE", kEndToEnd, level),
      container_(std::make_unique<ProductContainer>(container_dir(), extra_conf)) {}

ActionResult ContainerAgentEnv::job(const std::string& action,
                                    const std::vector<std::pair<std::string, std::string>>& in) {
  return job_action(action, in);
}

ActionResult job_action(const std::string& action, const std::vector<std::pair<std::string, std::string>>& in) {
  AgentAttrs attrs_in, attrs_out;
  for (const auto& [n, v] : in) attrs_in.add(n, v);
  for (const std::string& n : answer_names(action)) attrs_out.add(n, "", 2047);
  PEXError error{};
  ActionResult r;
  r.rc = PEXAPI_JOB_ACTION(nullptr, const_cast<char*>(action.c_str()), attrs_in.list(), attrs_out.list(), &error);
  r.code = error.code;
  r.text = error.text;
  for (int i = 0; i < attrs_out.count(); ++i) r.out[attrs_out.name(i)] = attrs_out.value(i);
  return r;
}

ActionResult ContainerAgentEnv::submit(const std::string& orderno, const std::string& cmdline,
                                       std::vector<std::pair<std::string, std::string>> more) {
  more.insert(more.begin(), {{"ORDERNO", orderno}, {"RUNNO", "1"}, {"JOB_TYPE", "COMMAND"}, {"CMDLINE", cmdline}});
  return job("SUBMIT", more);
}

ActionResult ContainerAgentEnv::wait_end(const std::string& orderno, int timeout_ms) {
  return track_to_end(orderno, timeout_ms);
}

ActionResult track_to_end(const std::string& orderno, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  ActionResult r;
  for (;;) {
    r = job_action("TRACK", {{"ORDERNO", orderno}, {"RUNNO", "1"}});
    const std::string s = r["STATUS"];
    if (r.rc != PEX_SUCCESS || (s != "WAITING" && s != "EXECUTING")) return r;
    if (std::chrono::steady_clock::now() > deadline) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ContainerAgentEnv::output(const std::string& orderno, int block, int* reads) {
  return read_output(orderno, block, reads);
}

std::string read_output(const std::string& orderno, int block, int* reads) {
  AgentAttrs job_attrs{{"ORDERNO", orderno}, {"RUNNO", "1"}};
  void* handle = nullptr;
  PEXError error{};
  std::string text;
  if (PEXAPI_SYSOUT_DATA_OPEN(nullptr, &handle, job_attrs.list(), &error) != PEX_SUCCESS) return text;
  int n = 0;
  PEXRC rc;
  bool empty = false;
  do {
    AgentAttrs in{{"NAVIGATE", "NEXT"}}, out;
    out.add("TEXT", "", static_cast<std::size_t>(block));
    rc = PEXAPI_SYSOUT_DATA_READ(nullptr, handle, in.list(), out.list(), &error);
    ++n;
    if (rc == PEX_SUCCESS || rc == PEX_EOS) text += out.value(0);
    // An empty block before the end: the job runs and has written no more.
    empty = out.value(0).empty();
  } while (rc == PEX_SUCCESS && !empty);
  if (rc != PEX_EOS && rc != PEX_SUCCESS) ADD_FAILURE() << "output read ended with " << rc << ": " << error.text;
  PEXAPI_SYSOUT_DATA_CLOSE(nullptr, handle, job_attrs.list(), &error);
  if (reads != nullptr) *reads = n;
  return text;
}

}  // namespace kxtest
