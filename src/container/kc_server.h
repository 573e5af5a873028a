// kc_server.h - the container's endpoint: Hessian "invoke" on /KxService.
//
// cpp-httplib serves each connection on a worker of its pool, so a slow
// action (a KILL waiting for its job) holds up only its own caller. Every
// request first proves its caller is an allowed local user.
#ifndef BE_HADOOP_CONTAINER_KC_SERVER_H
#define BE_HADOOP_CONTAINER_KC_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "kc_config.h"
#include "kc_jobs.h"

namespace httplib {
class Server;
}

namespace kc {

class Server {
 public:
  Server(const Config& config, JobService& jobs, std::set<uid_t> allowed);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds ListenAddress:Port. False with error when it cannot.
  bool bind(std::string& error);
  // Serves until stop(); returns once every request in flight is answered.
  void run();
  // Stops accepting; safe from any thread, including a handler's.
  void stop();
  // Blocks until a stop is asked for (ContainerStop or request_stop()).
  void wait_for_stop_request();
  void request_stop();

  // One Hessian call body in, one Hessian reply out: what /KxService does
  // once the caller is let in. For tests.
  std::string handle_call(const std::string& body);

 private:
  std::string invoke(const std::string& document);

  const Config& config_;
  JobService& jobs_;
  const std::set<uid_t> allowed_;
  std::unique_ptr<httplib::Server> http_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_requested_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> run_over_{false};
  const long long started_ms_;
};

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_SERVER_H
