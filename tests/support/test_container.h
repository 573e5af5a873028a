// test_container.h - start, script and stop the test container from a test.
//
// The test container (tests/container) answers invoke(byte[]) at /KxService
// on a loopback port, from answers the test scripts in advance, and records
// every request it receives.
#ifndef BE_HADOOP_TESTS_SUPPORT_TEST_CONTAINER_H
#define BE_HADOOP_TESTS_SUPPORT_TEST_CONTAINER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace kxtest {

// One container instance: a fresh directory under the system's temporary
// directory with its answer scripts (script/), its records (record/), its pid
// file, its log and the start-script calls file. Nothing runs until start()
// or a start script (write_start_script) launches it.
class TestContainer {
 public:
  TestContainer();
  // Stops the container if it still runs, then removes the directory.
  ~TestContainer();
  TestContainer(const TestContainer&) = delete;
  TestContainer& operator=(const TestContainer&) = delete;

  // Answers, used in the order added (request n gets answer n); once they run
  // out the last one repeats. With none, every request gets a minimal
  // response document. Answers may be added while the container runs.
  void answer(const std::string& document);  // a binary reply
  void answer_fault(const std::string& message, const std::string& code = "ServiceException");
  void answer_http_status(int status, const std::string& body = std::string());
  void answer_after(int delay_ms, const std::string& document);  // binary, late
  void answer_exit();  // the container ends without answering (broken connection)
  // An answer file in the container's own format (see test_container_main.cc),
  // e.g. "#!kx\ntype string\n\ntext".
  void answer_raw(const std::string& file_content);
  int answers() const { return answers_; }

  // Starts the container on port (0: a free loopback port) and returns once
  // it accepts connections. Throws std::runtime_error, with the container's
  // log, when it does not come up within 10 seconds.
  void start(int port = 0);
  // The port of the last start() (0 before).
  int port() const { return port_; }
  // The running container: the process of start(), or the one whose pid the
  // pid file holds (launched by a start script); 0 when none runs.
  pid_t pid() const;
  bool running() const { return pid() != 0; }
  // Ends it (SIGTERM, SIGKILL after 5 s) and waits until it is gone.
  void stop();
  // Waits up to timeout_ms for the container to end by itself (after a
  // ContainerStop). True when no container runs any more.
  bool wait_exit(int timeout_ms);

  // Number of HTTP requests received so far.
  int request_count() const;
  // Request document n (from 1), byte for byte; empty when request n carried
  // no binary document.
  std::string request(int n) const;
  // All request documents in order.
  std::vector<std::string> requests() const;
  // The whole Hessian call of request n as it arrived.
  std::string call_body(int n) const;
  // The arguments of every start-script run so far, one line each ("start 3").
  std::vector<std::string> start_script_calls() const;

  const std::string& dir() const { return dir_; }
  std::string script_dir() const { return dir_ + "/script"; }
  std::string record_dir() const { return dir_ + "/record"; }
  std::string pid_file() const { return dir_ + "/container.pid"; }
  std::string log_file() const { return dir_ + "/container.log"; }
  std::string calls_file() const { return dir_ + "/start_calls"; }
  std::string log() const;

 private:
  void add_answer_file(const std::string& content);

  std::string dir_;
  int answers_ = 0;
  int port_ = 0;
  mutable pid_t child_ = 0;  // reaped (and cleared) by pid() once it ends
};

// Writes an executable start script "zrtHadoop_container" into container_dir
// (created when missing) for container c: "zrtHadoop_container start <level>"
// launches c's container in the background with c's script and record
// directories, on port, or when port is 0 on the Port element of
// container_dir/../data/kx_container_conf.xml (38980 when there is none). The
// container writes c.pid_file(), so c.pid(), c.stop() and c's destructor
// reach it. Throws std::runtime_error when the script cannot be written.
void write_start_script(const std::string& container_dir, const TestContainer& c, int port = 0);

// A loopback port that nobody listened on at the moment of the call.
int free_loopback_port();
// True when a TCP connection to 127.0.0.1:port succeeds.
bool port_accepts(int port);
// Polls port_accepts every 10 ms until it succeeds or timeout_ms has passed.
bool wait_for_port(int port, int timeout_ms);
// True while process pid exists and is not a zombie.
bool process_alive(pid_t pid);
// Ends process pid: SIGTERM, SIGKILL after grace_ms, then waits until it is
// gone, reaping it when it is a child of this process.
void stop_pid(pid_t pid, int grace_ms = 5000);

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_TEST_CONTAINER_H
