#include "agent_env.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "be_convert.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace kxtest {

namespace fs = std::filesystem;

namespace doc {

std::string element(const std::string& name, const std::string& value) {
  return "<" + name + ">" + value + "</" + name + ">";
}

std::string answer(const std::string& body) {
  return std::string(kDecl) + "<TWBKX><BODY>" + body + "</BODY></TWBKX>";
}

std::string error_answer(const std::string& code, const std::string& message) {
  return std::string(kDecl) + "<TWBKX><KXError><Code>" + code + "</Code><Message>" + message +
         "</Message></KXError></TWBKX>";
}

std::string request(const std::string& action, const std::string& body) {
  return std::string(kDecl) + "<TWBKX><HEADER><ACTION>" + action + "</ACTION></HEADER><BODY>" +
         body + "</BODY></TWBKX>";
}

}  // namespace doc

// ---- AgentAttrs ---------------------------------------------------------------

AgentAttrs::AgentAttrs(std::initializer_list<std::pair<std::string, std::string>> pairs) {
  for (const auto& p : pairs) add(p.first, p.second);
}

AgentAttrs::~AgentAttrs() { release_library_copies(); }

// Moving the vectors keeps their storage, so the record stays valid; the
// source is left empty so that it releases nothing.
AgentAttrs::AgentAttrs(AgentAttrs&& other) noexcept
    : names_(std::move(other.names_)),
      values_(std::move(other.values_)),
      attrs_(std::move(other.attrs_)),
      list_(other.list_) {
  other.names_.clear();
  other.values_.clear();
  other.attrs_.clear();
  other.list_ = PEXAttrList{};
}

AgentAttrs& AgentAttrs::operator=(AgentAttrs&& other) noexcept {
  if (this != &other) {
    release_library_copies();
    names_ = std::move(other.names_);
    values_ = std::move(other.values_);
    attrs_ = std::move(other.attrs_);
    list_ = other.list_;
    other.names_.clear();
    other.values_.clear();
    other.attrs_.clear();
    other.list_ = PEXAttrList{};
  }
  return *this;
}

void AgentAttrs::add(const std::string& name, const std::string& value, std::size_t capacity) {
  names_.emplace_back(name.begin(), name.end());
  names_.back().push_back('\0');
  std::vector<char> buffer(std::max(capacity, value.size()) + 1, '\0');
  std::memcpy(buffer.data(), value.data(), value.size());
  values_.push_back(std::move(buffer));

  // The buffers keep their addresses when the outer vectors grow; only the
  // record's array may move.
  const std::size_t len = std::min<std::size_t>(values_.back().size(), UINT16_MAX);
  attrs_.push_back({names_.back().data(), static_cast<uint16_t>(len), values_.back().data()});
  list_ = {static_cast<int32_t>(attrs_.size()), attrs_.data(), 0};
}

void AgentAttrs::release_library_copies() {
  if (replaced()) PEXAPI_utils_release_attr(&list_);
}

// ---- error record -------------------------------------------------------------

namespace {
const PEXErrorCode kPresetCode = 99;
const char kPresetText[] = "untouched";
}  // namespace

void preset_error(PEXError* error) {
  *error = PEXError{};
  error->code = kPresetCode;
  std::snprintf(error->text, sizeof error->text, "%s", kPresetText);
}

bool error_untouched(const PEXError& error) {
  return error.code == kPresetCode && std::strcmp(error.text, kPresetText) == 0;
}

void add_container_dir(const TestWorkdir& wd) {
  fs::create_directory(wd.file("container"));
  wd.write_table("HADOOP", "KX_DIR " + wd.file("container") + "\n");
}

void add_agent_home(const TestWorkdir& wd) {
  const fs::path locale = fs::path(wd.file("agent")) / "exe" / "locale";
  fs::create_directories(locale);
  for (const auto& entry : fs::directory_iterator(fs::path(KX_SOURCE_DIR) / "data" / "locale"))
    fs::copy_file(entry.path(), locale / entry.path().filename());
  setenv("WEXAGENT", wd.file("agent").c_str(), 1);
}

// ---- AgentProcess -------------------------------------------------------------

AgentProcess::AgentProcess(int level) {
  add_container_dir(wd);
  add_agent_home(wd);
  wd.write_table("CONFIG", "DBGLVL " + std::to_string(level) + "\n");
  PEXAttrList none{};
  PEXError error{};
  PEXAPI_Init(&backend, &none, &error);
  PEXAPI_Connect(&backend, &connection, &none, &error);
}

AgentProcess::~AgentProcess() {
  PEXError error{};
  PEXAPI_Disconnect(&connection, &error);
  PEXAPI_Term(&backend, &error);
}

// ---- AgentEnv -----------------------------------------------------------------

AgentEnv::AgentEnv(std::string log_name, unsigned parts, int level)
    : log_name_(std::move(log_name)), parts_(parts) {
  if (parts_ & kContainerDir) add_container_dir(wd_);
  if (parts_ & kAgentHome) add_agent_home(wd_);
  DIAG_set_debug_level(level);
  OS_DIAG_initialize(nullptr, log_name_.c_str());
}

AgentEnv::~AgentEnv() {
  if (parts_ & kAgentHome) {
    BE_UTIL_release_required_locales();
    unsetenv("WEXAGENT");
  }
  DIAG_set_debug_level(0);
}

void AgentEnv::start(const std::vector<std::string>& answers) {
  for (const auto& a : answers) container_.answer(a);
  container_.start();
  point_at(container_.port());
}

void AgentEnv::point_at(int port) const {
  wd_.write("data/kx_container_conf.xml", std::string(doc::kDecl) + "<Configuration>" +
                                              doc::element("Port", std::to_string(port)) +
                                              "</Configuration>");
}

std::string AgentEnv::log() const {
  return read_file(wd_.file("proclog/" + log_name_ + "_" + std::to_string(getpid()) + ".log"));
}

::testing::AssertionResult AgentEnv::logged(const std::string& line) const {
  const std::string all = log();
  if (all.find(log_name_ + ":" + line + "\n") != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no line \"" << line << "\" in the log:\n" << all;
}

int AgentEnv::count_logged(const std::string& line) const {
  const std::string all = log();
  const std::string wanted = log_name_ + ":" + line + "\n";
  int n = 0;
  for (std::size_t p = all.find(wanted); p != std::string::npos; p = all.find(wanted, p + 1)) ++n;
  return n;
}

}  // namespace kxtest
