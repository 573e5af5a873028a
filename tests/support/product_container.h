// product_container.h - a real kxcontainer laid out for one test.
//
// The container directory gets the built kxcontainer and the shipped start
// script, as an installation has them; its configuration lies in the data
// directory beside it (normally the agent's own data/), on a free loopback
// port. Nothing runs until start() or the library's recovery path starts
// it; whatever runs is stopped by its pid at the end.
#ifndef BE_HADOOP_TESTS_SUPPORT_PRODUCT_CONTAINER_H
#define BE_HADOOP_TESTS_SUPPORT_PRODUCT_CONTAINER_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent_env.h"

namespace kxtest {

// The built kxcontainer program.
std::string kxcontainer_program();

class ProductContainer {
 public:
  // container_dir is created; its sibling data/ receives the configuration.
  // extra_conf: more elements for the Configuration root, as XML text.
  explicit ProductContainer(std::string container_dir, const std::string& extra_conf = std::string());
  // Stops the container and every job supervisor left over.
  ~ProductContainer();
  ProductContainer(const ProductContainer&) = delete;
  ProductContainer& operator=(const ProductContainer&) = delete;

  // Rewrites the configuration with these extra elements (same port).
  void configure(const std::string& extra_conf);

  // Runs "zrtHadoop_container start level"; true when it reports started.
  bool start(int level = 0);
  // Runs "zrtHadoop_container <command>" and returns its exit status;
  // output receives what it printed.
  int script(const std::string& command, std::string* output = nullptr) const;
  // The daemon's pid while one holds the pid file, else 0.
  pid_t pid() const;
  bool running() const { return pid() != 0; }
  // SIGKILL, then waits until the pid file is free.
  void kill9();
  // SIGTERM (SIGKILL after 10 s) and waits until it is gone.
  void stop();

  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string data_dir() const;
  std::string state_dir() const { return dir_ + "/state"; }
  std::string spool_dir() const { return dir_ + "/spool"; }
  std::string log() const;

 private:
  std::string dir_;
  int port_;
};

// Kills every supervisor (and its job) that a container of dir started.
void kill_supervisors(const std::string& dir);

// The peak resident memory of a process in kB (VmHWM), 0 when unknown.
long peak_rss_kb(pid_t pid);

}  // namespace kxtest


namespace kxtest {

// What one job action gave the agent.
struct ActionResult {
  PEXRC rc = PEX_FAIL;
  unsigned code = 0;
  std::string text;                           // the error record's text
  std::map<std::string, std::string> out;     // the output attributes after the call
  std::string operator[](const std::string& name) const {
    const auto it = out.find(name);
    return it == out.end() ? std::string() : it->second;
  }
};

// The output attributes the container's answer to each job action carries,
// which the agent pre-creates.
std::vector<std::string> answer_names(const std::string& action);

// What an agent does with one call, through the library's entry points:
// PEXAPI_JOB_ACTION with these input attributes and the answer's output
// attributes pre-created.
ActionResult job_action(const std::string& action, const std::vector<std::pair<std::string, std::string>>& in);
// TRACK until the job orderno/1 has ended (or timeout_ms passed); the last
// answer.
ActionResult track_to_end(const std::string& orderno, int timeout_ms = 60000);
// The output of job orderno/1 through PEXAPI_SYSOUT_DATA_*, block by block
// (block: the capacity of TEXT), to its end, or while the job runs, what it
// has written so far; reads counts the calls.
std::string read_output(const std::string& orderno, int block = 4096, int* reads = nullptr);

// An agent process (this test) with a real container beside it: the
// container directory container/ of the working directory holds kxcontainer,
// its configuration is the agent's data/kx_container_conf.xml. The container
// is not running until a test starts it (container_.start()) or the library
// starts it through its recovery path.
class ContainerAgentEnv : public AgentEnv {
 protected:
  explicit ContainerAgentEnv(const std::string& extra_conf = std::string(), int level = 1);

  // PEXAPI_JOB_ACTION with these input attributes and the answer's output
  // attributes pre-created.
  ActionResult job(const std::string& action, const std::vector<std::pair<std::string, std::string>>& in);
  // SUBMIT of a COMMAND job.
  ActionResult submit(const std::string& orderno, const std::string& cmdline,
                      std::vector<std::pair<std::string, std::string>> more = {});
  // TRACK until the job has ended (or timeout_ms passed); the last answer.
  ActionResult wait_end(const std::string& orderno, int timeout_ms = 60000);
  // The whole output of an ended job through PEXAPI_SYSOUT_DATA_*, block by
  // block (block: the capacity of TEXT); reads counts the calls. Of a job
  // that still runs, what it has written so far.
  std::string output(const std::string& orderno, int block = 4096, int* reads = nullptr);

  std::unique_ptr<ProductContainer> container_;
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_PRODUCT_CONTAINER_H
