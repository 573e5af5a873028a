// hadoop_cluster.h - a real single-node Hadoop cluster for a test program,
// and a relay that can cut a test's view of one of its ports.
#ifndef BE_HADOOP_TESTS_SUPPORT_HADOOP_CLUSTER_H
#define BE_HADOOP_TESTS_SUPPORT_HADOOP_CLUSTER_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

// Hadoop's own CLI MiniCluster, started by tools/hadoop/kx-hadoop-cluster in
// a fresh directory (it resolves the jars first, offline once they are
// there) and stopped by pid at the end. Starting takes 15 s or so: one per
// test program.
class HadoopCluster {
 public:
  // Throws std::runtime_error, with the end of the cluster's log, when it
  // does not come up.
  HadoopCluster();
  ~HadoopCluster();
  HadoopCluster(const HadoopCluster&) = delete;
  HadoopCluster& operator=(const HadoopCluster&) = delete;

  // A value of cluster.env (HADOOP_BIN, HADOOP_CONF_DIR, RM_WEB_URL,
  // EXAMPLES_JAR, ...); empty when absent.
  std::string env(const std::string& key) const;
  // The port of RM_WEB_URL.
  int rm_web_port() const;
  // Runs a shell command line with the cluster's commands on PATH and its
  // configuration; returns the exit status, output the combined output.
  int run(const std::string& command_line, std::string* output = nullptr) const;
  // GET of a ResourceManager REST path ("/ws/v1/cluster/apps?...").
  std::string rm_get(const std::string& path) const;

 private:
  std::string dir_;
  std::map<std::string, std::string> env_;
};

// A TCP relay from a loopback port of its own to a target port; close()
// refuses new connections and cuts open ones, open() takes them again on
// the same port.
class TcpRelay {
 public:
  explicit TcpRelay(int target_port);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  void open();
  void close();

 private:
  void accept_loop(int listener);

  const int target_;
  int port_ = 0;
  std::mutex mu_;
  int listener_ = -1;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
  std::atomic<bool> open_{false};
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_HADOOP_CLUSTER_H
