// test_workdir.h - a fresh agent working directory for one test.
#ifndef BE_HADOOP_TESTS_SUPPORT_TEST_WORKDIR_H
#define BE_HADOOP_TESTS_SUPPORT_TEST_WORKDIR_H

#include <string>

namespace kxtest {

// Makes a new directory under the system's temporary directory with the
// agent's data/, proclog/ and sysout/ folders, and makes it the current
// directory. The destructor returns to the previous directory and removes the
// whole tree. The checkout is never touched.
class TestWorkdir {
 public:
  TestWorkdir();
  ~TestWorkdir();
  TestWorkdir(const TestWorkdir&) = delete;
  TestWorkdir& operator=(const TestWorkdir&) = delete;

  const std::string& path() const { return path_; }
  // Absolute path of a file below the working directory.
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

  // Writes a text file below the working directory (parents must exist).
  void write(const std::string& relative, const std::string& content) const;
  // Writes "./data/<table>.dat".
  void write_table(const std::string& table, const std::string& content) const {
    write("data/" + table + ".dat", content);
  }

 private:
  std::string path_;
  std::string previous_;
};

// Reads a whole file; an empty string when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_TEST_WORKDIR_H
