// agent_env.h - what the backend tests share: the documents the container
// exchanges, attribute lists the way the agent owns them, and a fixture that
// runs the library as one agent process (log, container directory, agent
// home) next to a test container.
#ifndef BE_HADOOP_TESTS_SUPPORT_AGENT_ENV_H
#define BE_HADOOP_TESTS_SUPPORT_AGENT_ENV_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "pexapi.h"
#include "test_container.h"
#include "test_workdir.h"

namespace kxtest {

// Documents as the library and the container exchange them, byte for byte.
namespace doc {

inline constexpr char kDecl[] = "<?xml version='1.0' encoding='UTF-8'?>";

// "<name>value</name>"; value is taken as it is (no escaping).
std::string element(const std::string& name, const std::string& value);
// An answer whose BODY holds body.
std::string answer(const std::string& body);
// An answer that reports an error: a KXError with Code and Message, no BODY.
std::string error_answer(const std::string& code, const std::string& message);
// A request for action whose BODY holds body.
std::string request(const std::string& action, const std::string& body);

}  // namespace doc

// An attribute list the way the agent owns one: the names and each value's
// buffer live here and the record points at them. A value's buffer holds
// max(capacity, the value's length) characters and the terminator; ValueLen
// counts the whole buffer (at most 65,535). list() is the same record every
// time, so whatever a call did to it shows in the next one, as it would for
// the agent. When a call replaced the array with library copies (an append),
// those are released with the list. Add every attribute before the list is
// handed over.
class AgentAttrs {
 public:
  AgentAttrs() = default;
  AgentAttrs(std::initializer_list<std::pair<std::string, std::string>> pairs);
  ~AgentAttrs();
  AgentAttrs(AgentAttrs&& other) noexcept;
  AgentAttrs& operator=(AgentAttrs&& other) noexcept;
  AgentAttrs(const AgentAttrs&) = delete;
  AgentAttrs& operator=(const AgentAttrs&) = delete;

  void add(const std::string& name, const std::string& value, std::size_t capacity = 0);
  PEXAttrList* list() { return &list_; }

  // True when the record no longer points at the agent's own array.
  bool replaced() const { return list_.Attributes != agent_array(); }
  // The record as it stands, library copies included.
  int count() const { return list_.Count; }
  std::string name(int i) const { return list_.Attributes[i].Name; }
  std::string value(int i) const { return list_.Attributes[i].Value; }
  uint16_t value_len(int i) const { return list_.Attributes[i].ValueLen; }
  // The whole buffer the agent made for attribute i, terminator and what
  // follows it included, to see that nothing was written past the end.
  std::string buffer(int i) const { return std::string(values_[i].data(), values_[i].size()); }

 private:
  const PEXAttr* agent_array() const { return attrs_.empty() ? nullptr : attrs_.data(); }
  void release_library_copies();

  std::vector<std::vector<char>> names_, values_;
  std::vector<PEXAttr> attrs_;
  PEXAttrList list_{};
};

// Presets an error record so that a test can tell whether a call wrote to
// it: code 99, text "untouched".
void preset_error(PEXError* error);
bool error_untouched(const PEXError& error);

// The agent's side of a working directory: container/ named by HADOOP's
// KX_DIR, and an agent home agent/ (WEXAGENT) holding the shipped locale
// data in exe/locale.
void add_container_dir(const TestWorkdir& wd);
void add_agent_home(const TestWorkdir& wd);

// One agent process for a whole program (a benchmark, a test program that
// shares one cluster among its tests): a fresh working directory with both
// parts above, CONFIG's DBGLVL at level, and the library initialised and
// connected as an agent does it; disconnected and terminated at the end.
class AgentProcess {
 public:
  explicit AgentProcess(int level);
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  TestWorkdir wd;
  PEXBackEnd backend{};
  PEXConnection connection{};
};

// A fixture that runs the library as one agent process in a fresh working
// directory wd_: its log "./proclog/<log_name>_<pid>.log" takes trace lines
// up to level, and, as parts asks,
//  - kContainerDir: the container directory container/, named by HADOOP /
//    KX_DIR;
//  - kAgentHome: an agent home agent/ (WEXAGENT) with the shipped locale
//    data in exe/locale.
// container_ is a test container, not started. Afterwards the conversion
// locales are released, WEXAGENT is unset and the level is 0 again.
class AgentEnv : public ::testing::Test {
 public:
  enum Parts : unsigned {
    kLogOnly = 0,
    kContainerDir = 1u << 0,
    kAgentHome = 1u << 1,
    kEndToEnd = kContainerDir | kAgentHome,
  };

 protected:
  explicit AgentEnv(std::string log_name, unsigned parts = kEndToEnd, int level = 4);
  ~AgentEnv() override;

  std::string container_dir() const { return wd_.file("container"); }
  std::string agent_home() const { return wd_.file("agent"); }

  // Scripts the container's answers, starts it and points the library at it.
  void start(const std::vector<std::string>& answers = {});
  // Writes the container configuration naming port.
  void point_at(int port) const;

  // The log as it is now.
  std::string log() const;
  // Success when the line "<log_name>:<line>" was written; a failure shows
  // the whole log.
  ::testing::AssertionResult logged(const std::string& line) const;
  int count_logged(const std::string& line) const;

  TestWorkdir wd_;
  TestContainer container_;

 private:
  const std::string log_name_;
  const unsigned parts_;
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_AGENT_ENV_H
