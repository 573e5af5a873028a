#include "hadoop_cluster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "test_container.h"
#include "test_workdir.h"

namespace kxtest {

namespace {

std::string script() { return std::string(KX_SOURCE_DIR) + "/tools/hadoop/kx-hadoop-cluster"; }

int shell(const std::string& command, std::string* output) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = ::pclose(p);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

HadoopCluster::HadoopCluster() {
  char pattern[] = "/tmp/kxhadoop-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::string out;
  if (shell(script() + " start " + quoted(dir_), &out) != 0) {
    const std::string log = read_file(dir_ + "/cluster.log");
    shell(script() + " stop " + quoted(dir_), nullptr);
    throw std::runtime_error("the Hadoop cluster did not start:\n" + out + "\n" +
                             log.substr(log.size() > 4000 ? log.size() - 4000 : 0));
  }
  std::ifstream in(dir_ + "/cluster.env");
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
  }
}

HadoopCluster::~HadoopCluster() {
  shell(script() + " stop " + quoted(dir_), nullptr);
  shell("rm -rf " + quoted(dir_), nullptr);
}

std::string HadoopCluster::env(const std::string& key) const {
  const auto it = env_.find(key);
  return it == env_.end() ? std::string() : it->second;
}

int HadoopCluster::rm_web_port() const {
  const std::string url = env("RM_WEB_URL");
  return std::atoi(url.substr(url.rfind(':') + 1).c_str());
}

int HadoopCluster::run(const std::string& command_line, std::string* output) const {
  return shell("PATH=" + quoted(env("HADOOP_BIN")) + ":$PATH HADOOP_CONF_DIR=" + quoted(env("HADOOP_CONF_DIR")) +
                   " sh -c " + quoted(command_line),
               output);
}

std::string HadoopCluster::rm_get(const std::string& path) const {
  std::string out;
  shell("curl -s --max-time 20 " + quoted(env("RM_WEB_URL") + path), &out);
  return out;
}

TcpRelay::TcpRelay(int target_port) : target_(target_port) {
  port_ = free_loopback_port();
  open();
}

TcpRelay::~TcpRelay() {
  close();
  for (auto& t : threads_) t.join();
}

void TcpRelay::open() {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_) return;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    ::close(fd);
    throw std::runtime_error("the relay cannot listen on its port again");
  }
  listener_ = fd;
  open_ = true;
  threads_.emplace_back([this, fd] { accept_loop(fd); });
}

void TcpRelay::close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!open_) return;
  open_ = false;
  ::shutdown(listener_, SHUT_RDWR);
  for (int c : connections_) ::shutdown(c, SHUT_RDWR);
  connections_.clear();
}

void TcpRelay::accept_loop(int listener) {
  for (;;) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 100) < 0 || !open_) break;
    if ((p.revents & POLLIN) == 0) continue;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(target_));
    if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(client);
      ::close(server);
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      connections_.push_back(client);
      connections_.push_back(server);
    }
    // One pump per connection: copies both ways until either side ends.
    std::thread([client, server] {
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buf[16384];
      for (;;) {
        if (::poll(fds, 2, 1000) < 0) break;
        bool done = false;
        for (int i = 0; i < 2 && !done; ++i) {
          if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
          const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
          if (n <= 0 || ::write(fds[1 - i].fd, buf, static_cast<std::size_t>(n)) != n) done = true;
        }
        if (done) break;
      }
      ::close(client);
      ::close(server);
    }).detach();
  }
  ::close(listener);
}

}  // namespace kxtest
