// child_process.h - a program run as a person runs it from a shell: its own
// process group, its own working directory and environment, standard output
// and error captured, every wait bounded.
#ifndef BE_HADOOP_TESTS_HOST_CHILD_PROCESS_H
#define BE_HADOOP_TESTS_HOST_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxtest {

class ChildProcess {
 public:
  // Environment changes on top of the test's own: a value sets the variable,
  // nullopt removes it.
  using EnvChanges = std::map<std::string, std::optional<std::string>>;

  // Starts argv[0] (a path) in cwd; throws std::runtime_error when it cannot.
  ChildProcess(const std::vector<std::string>& argv, const std::string& cwd, const EnvChanges& env = {});
  // A child still running is killed with its whole process group.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Collects output until done() holds or the child ends; false when the
  // bound passed first.
  bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds bound);
  // The exit code (128 + n for a signal n); -1 when the child did not end
  // within the bound (it is then killed).
  int wait(std::chrono::milliseconds bound);
  void signal(int sig);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool collect(int timeout_ms);
  void reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool ended_ = false;
  int status_ = 0;
  std::string out_, err_;
};

struct Outcome {
  int code;
  std::string out, err;
};

// Runs a program to its end within bound.
Outcome run_program(const std::vector<std::string>& argv, const std::string& cwd,
                    const ChildProcess::EnvChanges& env = {},
                    std::chrono::milliseconds bound = std::chrono::seconds(60));

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_HOST_CHILD_PROCESS_H
