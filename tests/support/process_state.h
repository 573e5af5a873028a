// process_state.h - what the library keeps for the life of a process, put
// back between tests.
//
// The agent loads the library once per process and never unloads it, so the
// library keeps process-wide state: debug levels and the log ring, loaded
// parameter tables, the conversion locales, the lock file, the first-connect
// flag, the clock-acceleration decisions. A test program runs many tests in
// one process; without a reset each test would see what the ones before it
// left behind, and a test would pass alone but fail in the whole program.
#ifndef BE_HADOOP_TESTS_SUPPORT_PROCESS_STATE_H
#define BE_HADOOP_TESTS_SUPPORT_PROCESS_STATE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kxtest {

// Puts the library's process-wide state back as it is when the library has
// just been loaded. Safe to call at any time between tests.
void reset_library_state();

// The process around the library: environment, working directory and file
// mode mask, as they were when taken.
class ProcessSnapshot {
 public:
  ProcessSnapshot();  // takes them now
  // Puts them back; only what differs is changed.
  void restore() const;

 private:
  std::vector<std::string> environment_;
  std::string cwd_;
  unsigned mask_ = 0;
};

// Before every test: the library's state reset and the process as it was
// when the program started, so every test starts as if it were the first.
class ProcessStateListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override;

 private:
  ProcessSnapshot start_;
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_PROCESS_STATE_H
