#include "kc_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "hessian_exceptions.h"
#include "hessian_proxy.h"
#include "http_transport.h"
#include "kc_config.h"
#include "kc_jobs.h"
#include "kc_kerberos.h"
#include "kc_log.h"
#include "kc_peer.h"
#include "kc_server.h"
#include "kc_store.h"
#include "kc_supervisor.h"
#include "kc_version.h"

namespace kc {

namespace {

// A fault in one pass of a background loop is logged and the next pass
// comes as usual: the jobs it watches must not lose their watcher.
template <typename F>
void guarded(const char* what, F&& pass) {
  try {
    pass();
  } catch (const std::exception& e) {
    spdlog::error("{} pass failed: {}", what, e.what());
  }
}

namespace fs = std::filesystem;

constexpr int kReadyTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 60000;

std::string pid_path(const Config& c) { return c.state_dir + "/kxcontainer.pid"; }

bool make_dirs(const std::string& dir, std::string& error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

long read_pid(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  return n > 0 ? std::strtol(buf, nullptr, 10) : 0;
}

// Opens and locks the pid file. -1 when another process holds it (its pid
// in running_pid) or it cannot be opened (error set).
int lock_pid_file(const Config& c, long& running_pid, std::string& error) {
  if (!make_dirs(c.state_dir, error)) return -1;
  const std::string path = pid_path(c);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    running_pid = read_pid(fd);
    if (errno != EWOULDBLOCK) error = "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// The pid of the running container, or 0 when none holds the pid file.
long running_pid(const Config& c) {
  const int fd = ::open(pid_path(c).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  long pid = 0;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) pid = read_pid(fd);
  ::close(fd);
  return pid;
}

std::string call_host(const Config& c) {
  if (c.listen_address == "0.0.0.0" || c.listen_address.empty()) return "127.0.0.1";
  if (c.listen_address == "::") return "[::1]";
  if (c.listen_address.find(':') != std::string::npos) return "[" + c.listen_address + "]";
  return c.listen_address;
}

// Sends a document with action and no attributes; returns the answer.
// Throws what the Hessian client throws.
std::string call(const Config& c, const std::string& action, long timeout_seconds) {
  hessian::hessian_proxy proxy(call_host(c) + ":" + std::to_string(c.port), "/KxService", false);
  proxy.set_timeout(timeout_seconds);
  const std::string doc = "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER><ACTION>" + action +
                          "</ACTION></HEADER><BODY></BODY></TWBKX>";
  hessian::wrappers::Binary arg(doc);
  std::unique_ptr<hessian::wrappers::Object> reply(proxy.call("invoke", 1, &arg));
  const auto* bin = dynamic_cast<const hessian::wrappers::Binary*>(reply.get());
  if (bin == nullptr) throw std::runtime_error("the answer is not a document but a " + reply->classname());
  return bin->value();
}

void kerberos_login(KerberosLogin& kerberos, const Config& config) {
  std::string error;
  if (kerberos.login(error)) {
    const std::time_t expires = static_cast<std::time_t>(kerberos.expires_ms() / 1000);
    std::tm tm{};
    ::localtime_r(&expires, &tm);
    char until[32];
    std::strftime(until, sizeof until, "%Y-%m-%d %H:%M:%S", &tm);
    spdlog::info("Kerberos: logged in as {} from {} into {}; the ticket is valid until {}", config.kerberos_principal,
                 config.kerberos_keytab, kerberos.cache_path(), until);
  } else {
    spdlog::error("Kerberos: {}; trying again in {} s", error,
                  (kerberos.next_due_ms() - now_ms() + 999) / 1000);
  }
}

void report(int fd, const std::string& text) {
  if (fd < 0) return;
  const std::string line = text + "\n";
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
}

// True once this program's file is gone from under it: an upgrade of the
// installation has put a new program in its place.
bool program_replaced() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return false;
  static const std::string kGone = " (deleted)";
  const std::string path(buf, static_cast<std::size_t>(n));
  return path.size() > kGone.size() && path.compare(path.size() - kGone.size(), kGone.size(), kGone) == 0;
}

// The daemon's life once the pid file is ours: open everything, recover,
// serve, stop. ready_fd (or -1) hears "OK" once it listens, or the reason it
// cannot.
int serve(const Options& options, Config config, int pid_fd, int ready_fd) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
  // Blocked before any thread exists, so only the signal thread takes them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const std::string pid_text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(pid_fd, 0) != 0 || ::pwrite(pid_fd, pid_text.data(), pid_text.size(), 0) < 0) {
    report(ready_fd, "cannot write the pid file: " + std::string(std::strerror(errno)));
    return 1;
  }
  std::string error;
  if (!open_log(config, effective_log_level(config, options.level), error)) {
    report(ready_fd, "cannot open the log " + config.log_file + ": " + error);
    return 1;
  }
  spdlog::info("kxcontainer {} starting: pid {}, directory {}, configuration {}", kVersion, ::getpid(), config.home,
               options.conf);
  resolve_hadoop(config);
  for (const std::string& w : config.warnings) spdlog::warn("{}", w);
  spdlog::info("Hadoop: commands in {}, configuration {}, ResourceManager {}, JobHistory {}", config.hadoop_bin_dir,
               config.hadoop_conf_dir, config.resource_manager_url, config.job_history_url);
  std::vector<std::string> unknown;
  const std::set<uid_t> allowed = allowed_uids(config.allowed_users, unknown);
  for (const std::string& u : unknown) spdlog::warn("AllowedUsers names '{}', who is not a user here", u);
  ::chmod(config.state_dir.c_str(), 0700);
  if (!make_dirs(config.spool_dir, error)) {
    spdlog::error("{}", error);
    report(ready_fd, error);
    return 1;
  }
  // The ticket cache is the process's before any job or REST call starts,
  // and before any thread: setenv is not safe beside them.
  std::unique_ptr<KerberosLogin> kerberos;
  if (config.kerberos()) {
    kerberos = std::make_unique<KerberosLogin>(config);
    ::setenv("KRB5CCNAME", kerberos->cache_name().c_str(), 1);
    kerberos_login(*kerberos, config);
  }
  std::unique_ptr<Store> store = Store::open(config.state_dir + "/jobs.db", error);
  if (!store) {
    spdlog::error("{}", error);
    report(ready_fd, error);
    return 1;
  }
  // Supervisors are started from this very program image, not from its file:
  // an upgrade may replace or remove the file while this container runs, and
  // a supervisor must speak the spool's format of the container that made it.
  JobService jobs(config, *store, "/proc/self/exe");
  // The port first: a container that cannot listen exits before it has
  // started any job.
  Server server(config, jobs, allowed);
  if (!server.bind(error)) {
    spdlog::error("{}", error);
    report(ready_fd, error);
    return 1;
  }
  jobs.recover();

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread monitor([&] {
    std::unique_lock<std::mutex> lock(mu);
    bool replaced = false;
    while (!done) {
      lock.unlock();
      guarded("monitor", [&] { jobs.tick(); });
      // The jobs go on under their supervisors; the library starts the new
      // program at its next request, when it finds the port closed.
      if (!replaced && program_replaced()) {
        replaced = true;
        spdlog::info("this program was replaced (an upgrade): stopping, the next request starts the new one");
        server.request_stop();
      }
      lock.lock();
      cv.wait_for(lock, std::chrono::milliseconds(config.monitor_interval_ms), [&] { return done; });
    }
  });
  // YARN is asked on a thread of its own: a slow ResourceManager never
  // holds up the monitor of local jobs, nor any request.
  std::thread cluster([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!done) {
      lock.unlock();
      guarded("cluster", [&] { jobs.cluster_tick(); });
      lock.lock();
      cv.wait_for(lock, std::chrono::milliseconds(config.cluster_poll_interval_ms), [&] { return done; });
    }
  });
  // A new ticket before the old one runs out.
  std::thread renewer([&] {
    if (!kerberos) return;
    std::unique_lock<std::mutex> lock(mu);
    while (!done) {
      const auto due = std::chrono::system_clock::time_point(std::chrono::milliseconds(kerberos->next_due_ms()));
      if (cv.wait_until(lock, due, [&] { return done; })) break;
      lock.unlock();
      guarded("kerberos", [&] { kerberos_login(*kerberos, config); });
      lock.lock();
    }
  });
  std::thread stopper([&] {
    server.wait_for_stop_request();
    server.stop();
  });
  std::thread signal_thread([&] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0) continue;
      if (sig == SIGUSR1) return;
      if (sig == SIGHUP) continue;
      spdlog::info("signal {}: stopping", sig);
      server.request_stop();
    }
  });

  spdlog::info("listening on {}:{} for {} worker(s); at most {} job(s) at once", config.listen_address, config.port,
               config.workers, config.max_running_jobs);
  report(ready_fd, "OK");
  if (ready_fd >= 0) ::close(ready_fd);
  server.run();

  server.request_stop();
  stopper.join();
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_all();
  monitor.join();
  cluster.join();
  renewer.join();
  pthread_kill(signal_thread.native_handle(), SIGUSR1);
  signal_thread.join();
  spdlog::info("kxcontainer stopped; {} job(s) still executing under their supervisors",
               jobs.count(State::kExecuting) + jobs.count(State::kStarting));
  close_log();
  return 0;
}

}  // namespace

int start_command(const Options& options) {
  const Config config = load_config(options.home, options.conf);
  long pid = 0;
  std::string error;
  const int pid_fd = lock_pid_file(config, pid, error);
  if (pid_fd < 0) {
    if (!error.empty()) {
      std::fprintf(stderr, "kxcontainer: %s\n", error.c_str());
      return 1;
    }
    std::printf("kxcontainer: already running (pid %ld)\n", pid);
    return 0;
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "kxcontainer: cannot create a pipe: %s\n", std::strerror(errno));
    return 1;
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    std::fprintf(stderr, "kxcontainer: cannot fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (child == 0) {
    ::close(ready[0]);
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    // Standard output and error go to a file beside the log, so whatever
    // the process says outside the log (a crash report) is kept.
    const std::string out_path = config.log_file == "-" ? std::string("/dev/null")
                                                        : config.log_file.substr(0, config.log_file.find_last_of('/')) +
                                                              "/kxcontainer.out";
    std::string ignored;
    make_dirs(out_path.substr(0, out_path.find_last_of('/')), ignored);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(null_fd, 0);
    if (out_fd >= 0) {
      ::dup2(out_fd, 1);
      ::dup2(out_fd, 2);
    }
    // Nothing the starter had open stays open in the daemon (a lock its
    // caller holds, a pipe it waits on): the pid file and the ready pipe
    // move to 3 and 4, everything above goes.
    const int pid_copy = ::fcntl(pid_fd, F_DUPFD_CLOEXEC, 100);
    const int ready_copy = ::fcntl(ready[1], F_DUPFD_CLOEXEC, 100);
    ::dup3(pid_copy, 3, O_CLOEXEC);
    ::dup3(ready_copy, 4, O_CLOEXEC);
    close_from(5);
    std::exit(serve(options, config, 3, 4));
  }
  ::close(ready[1]);
  ::close(pid_fd);
  int status;
  ::waitpid(child, &status, 0);
  std::string answer;
  pollfd pfd{ready[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
  char buf[512];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::read(ready[0], buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<std::size_t>(n));
    if (answer.find('\n') != std::string::npos) break;
  }
  ::close(ready[0]);
  if (answer.rfind("OK", 0) == 0) {
    std::printf("kxcontainer: started (pid %ld) on %s:%d\n", running_pid(config), config.listen_address.c_str(),
                config.port);
    return 0;
  }
  if (answer.empty()) answer = "it did not report ready within 30 s; see " + config.log_file + "\n";
  std::fprintf(stderr, "kxcontainer: cannot start: %s", answer.c_str());
  return 1;
}

int run_command(const Options& options) {
  const Config config = load_config(options.home, options.conf);
  long pid = 0;
  std::string error;
  const int pid_fd = lock_pid_file(config, pid, error);
  if (pid_fd < 0) {
    std::fprintf(stderr, "kxcontainer: %s\n",
                 error.empty() ? ("already running (pid " + std::to_string(pid) + ")").c_str() : error.c_str());
    return 1;
  }
  return serve(options, config, pid_fd, -1);
}

int stop_command(const Options& options) {
  const Config config = load_config(options.home, options.conf);
  const long pid = running_pid(config);
  if (pid == 0) {
    std::printf("kxcontainer: not running\n");
    return 0;
  }
  try {
    call(config, "ContainerStop", 10);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kxcontainer: ContainerStop failed (%s); sending SIGTERM to pid %ld\n", e.what(), pid);
    ::kill(static_cast<pid_t>(pid), SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  while (running_pid(config) != 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "kxcontainer: pid %ld did not stop within %d s\n", pid, kStopTimeoutMs / 1000);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("kxcontainer: stopped\n");
  return 0;
}

int status_command(const Options& options) {
  const Config config = load_config(options.home, options.conf);
  std::string answer;
  try {
    answer = call(config, "ContainerStatus", 10);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kxcontainer: not answering at %s:%d (%s)\n", call_host(config).c_str(), config.port,
                 e.what());
    return 1;
  }
  Element root;
  std::string error;
  const Element* body = parse_xml(answer, root, error) ? root.child("BODY") : nullptr;
  if (body == nullptr) {
    std::fprintf(stderr, "kxcontainer: an unreadable status answer: %s\n", error.c_str());
    return 1;
  }
  auto get = [&](const char* name) {
    const Element* e = body->child(name);
    return e != nullptr ? e->text : std::string("?");
  };
  std::printf("kxcontainer %s: pid %s, up %s s, %s executing, %s waiting, at %s:%d\n", get("VERSION").c_str(),
              get("PID").c_str(), get("UPTIME").c_str(), get("EXECUTING").c_str(), get("WAITING").c_str(),
              call_host(config).c_str(), config.port);
  return 0;
}

}  // namespace kc
