#include "kc_supervisor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "kc_file.h"

extern char** environ;

namespace kc {

namespace {

using nlohmann::json;

// How long the output of a job is still read after its main process ended:
// a background process it left behind may hold the output open for good.
constexpr int kDrainMs = 2000;
// The largest record file we read back.
constexpr std::size_t kMaxRecordBytes = 1u << 20;

std::string errno_text(int e) { return std::strerror(e); }

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool read_small_file(const std::string& path, std::string& out) {
  std::string error;
  return read_bounded(path, kMaxRecordBytes, out, error) && out.size() <= kMaxRecordBytes;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void close_from(int first) {
  // One call where the kernel has it; the loop below may run to a very
  // high descriptor limit.
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
  struct rlimit rl;
  long last = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? static_cast<long>(rl.rlim_cur)
                                                                                  : 65536;
  for (long fd = first; fd < last; ++fd) ::close(static_cast<int>(fd));
}

namespace {

// A message through a pipe between fork and exec: a tag and a number, small
// enough to be written in one piece.
struct ForkMessage {
  char tag;
  int value;
};

void send_message(int fd, char tag, int value) {
  ForkMessage m{tag, value};
  ssize_t ignored = ::write(fd, &m, sizeof m);
  (void)ignored;
}

// The parent of each process, from /proc.
std::map<pid_t, pid_t> parent_map() {
  std::map<pid_t, pid_t> parents;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return parents;
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0') continue;
    std::string stat;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    if (!std::getline(in, stat)) continue;
    const auto close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    char state;
    long ppid;
    if (std::sscanf(stat.c_str() + close_paren + 1, " %c %ld", &state, &ppid) == 2) {
      parents[static_cast<pid_t>(pid)] = static_cast<pid_t>(ppid);
    }
  }
  closedir(proc);
  return parents;
}

std::int64_t timeval_us(const timeval& tv) {
  return static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool write_file_atomic(const std::string& path, const std::string& content, std::string& error) {
  const std::string tmp = path + ".tmp";
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    error = "cannot write " + tmp + ": " + errno_text(errno);
    return false;
  }
  if (!write_all(fd.get(), content.data(), content.size()) || ::fsync(fd.get()) != 0) {
    error = "cannot write " + tmp + ": " + errno_text(errno);
    return false;
  }
  fd.reset();
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + tmp + ": " + errno_text(errno);
    return false;
  }
  // The rename itself is durable only once the directory is.
  const std::string dir = path.substr(0, path.find_last_of('/'));
  Fd d(::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() >= 0) ::fsync(d.get());
  return true;
}

bool write_plan(const std::string& dir, const LaunchPlan& plan, std::string& error) {
  json j = {{"argv", plan.argv},
            {"cwd", plan.cwd},
            {"env", plan.env},
            {"max_output_bytes", plan.max_output_bytes},
            {"kill_grace_seconds", plan.kill_grace_seconds},
            {"output_path", plan.output_path}};
  return write_file_atomic(dir + "/" + kPlanFile, j.dump(-1, ' ', false, json::error_handler_t::replace), error);
}

bool read_plan(const std::string& dir, LaunchPlan& plan, std::string& error) {
  std::string text;
  if (!read_small_file(dir + "/" + kPlanFile, text)) {
    error = "cannot read " + dir + "/" + kPlanFile;
    return false;
  }
  try {
    const json j = json::parse(text);
    plan.argv = j.at("argv").get<std::vector<std::string>>();
    plan.cwd = j.at("cwd").get<std::string>();
    plan.env = j.at("env").get<std::vector<std::string>>();
    plan.max_output_bytes = j.at("max_output_bytes").get<std::uint64_t>();
    plan.kill_grace_seconds = j.at("kill_grace_seconds").get<int>();
    plan.output_path = j.value("output_path", std::string());
  } catch (const json::exception& e) {
    error = std::string("malformed launch plan: ") + e.what();
    return false;
  }
  if (plan.argv.empty()) {
    error = "the launch plan names no program";
    return false;
  }
  return true;
}

bool write_started(const std::string& dir, const StartedInfo& info, std::string& error) {
  json j = {{"supervisor_pid", info.supervisor_pid}, {"job_pid", info.job_pid}, {"started_ms", info.started_ms}};
  return write_file_atomic(dir + "/" + kStartedFile, j.dump(), error);
}

bool read_started(const std::string& dir, StartedInfo& info) {
  std::string text;
  if (!read_small_file(dir + "/" + kStartedFile, text)) return false;
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return false;
  info.supervisor_pid = j.value("supervisor_pid", std::int64_t{0});
  info.job_pid = j.value("job_pid", std::int64_t{0});
  info.started_ms = j.value("started_ms", std::int64_t{0});
  return true;
}

bool write_status(const std::string& dir, const EndInfo& info, std::string& error) {
  json j = {{"has_exit_code", info.has_exit_code}, {"exit_code", info.exit_code},
            {"signal", info.signal},               {"killed", info.killed},
            {"start_error", info.start_error},     {"started_ms", info.started_ms},
            {"ended_ms", info.ended_ms},           {"utime_us", info.utime_us},
            {"stime_us", info.stime_us},           {"maxrss_kb", info.maxrss_kb},
            {"output_bytes", info.output_bytes},   {"output_truncated", info.output_truncated},
            {"output_error", info.output_error}};
  return write_file_atomic(dir + "/" + kStatusFile, j.dump(-1, ' ', false, json::error_handler_t::replace),
                           error);
}

bool read_status(const std::string& dir, EndInfo& info) {
  std::string text;
  if (!read_small_file(dir + "/" + kStatusFile, text)) return false;
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return false;
  try {
    info.has_exit_code = j.value("has_exit_code", false);
    info.exit_code = j.value("exit_code", 0);
    info.signal = j.value("signal", 0);
    info.killed = j.value("killed", false);
    info.start_error = j.value("start_error", std::string());
    info.started_ms = j.value("started_ms", std::int64_t{0});
    info.ended_ms = j.value("ended_ms", std::int64_t{0});
    info.utime_us = j.value("utime_us", std::int64_t{0});
    info.stime_us = j.value("stime_us", std::int64_t{0});
    info.maxrss_kb = j.value("maxrss_kb", std::int64_t{0});
    info.output_bytes = j.value("output_bytes", std::int64_t{0});
    info.output_truncated = j.value("output_truncated", false);
    info.output_error = j.value("output_error", std::string());
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

bool spawn_supervisor(const std::string& exe, const std::string& dir, pid_t& pid, std::string& error) {
  const std::string lock_path = dir + "/" + kLockFile;
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) {
    error = "cannot open " + lock_path + ": " + errno_text(errno);
    return false;
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? "a supervisor already runs for this job" : "cannot lock " + lock_path + ": " +
                                                                                  errno_text(errno);
    return false;
  }
  std::vector<std::string> args = {exe, "supervise", dir};
  std::vector<char*> argv = c_strings(args);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error = "cannot create a pipe: " + errno_text(errno);
    return false;
  }
  Fd reader(pipe_fds[0]), writer(pipe_fds[1]);
  const pid_t middle = ::fork();
  if (middle < 0) {
    error = "cannot fork: " + errno_text(errno);
    return false;
  }
  if (middle == 0) {
    // Only async-signal-safe calls from here on: the container has threads.
    const pid_t grandchild = ::fork();
    if (grandchild != 0) {
      send_message(writer.get(), grandchild > 0 ? 'P' : 'F', grandchild > 0 ? grandchild : errno);
      ::_exit(0);
    }
    ::setsid();
    const int lock_copy = ::fcntl(lock.get(), F_DUPFD, 10);
    const int writer_copy = ::fcntl(writer.get(), F_DUPFD_CLOEXEC, 10);
    const int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    ::dup2(lock_copy, 3);  // inherited through exec: the supervisor holds the lock
    ::dup2(writer_copy, 4);
    ::fcntl(4, F_SETFD, FD_CLOEXEC);
    close_from(5);
    ::execve(argv[0], argv.data(), environ);
    send_message(4, 'E', errno);
    ::_exit(127);
  }
  writer.reset();
  int status;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  pid = 0;
  int exec_errno = 0, fork_errno = 0;
  ForkMessage m;
  ssize_t n;
  while ((n = ::read(reader.get(), &m, sizeof m)) == sizeof m || (n < 0 && errno == EINTR)) {
    if (n < 0) continue;
    if (m.tag == 'P') pid = m.value;
    if (m.tag == 'E') exec_errno = m.value;
    if (m.tag == 'F') fork_errno = m.value;
  }
  if (fork_errno != 0 || pid == 0) {
    error = "cannot fork the supervisor: " + errno_text(fork_errno != 0 ? fork_errno : EAGAIN);
    return false;
  }
  if (exec_errno != 0) {
    error = "cannot run " + exe + ": " + errno_text(exec_errno);
    return false;
  }
  return true;
}

bool supervisor_alive(const std::string& dir) {
  Fd fd(::open((dir + "/" + kLockFile).c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(fd.get(), LOCK_UN);
  return false;
}

bool request_kill(const std::string& dir, pid_t pid) {
  if (pid <= 0) return false;
  // The pid must still be this job's supervisor, not a stranger that
  // inherited the number.
  std::string cmdline;
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::getline(in, cmdline, '\x01');
  const std::string expected = std::string("supervise") + '\0' + dir + '\0';
  if (cmdline.find(expected) == std::string::npos) return false;
  return ::kill(pid, SIGTERM) == 0;
}

void signal_tree(pid_t root, pid_t pgid, int sig) {
  if (pgid > 0) ::killpg(pgid, sig);
  const auto parents = parent_map();
  std::map<pid_t, std::vector<pid_t>> children;
  for (const auto& [pid, ppid] : parents) children[ppid].push_back(pid);
  std::deque<pid_t> todo = {root};
  while (!todo.empty()) {
    const pid_t p = todo.front();
    todo.pop_front();
    const auto it = children.find(p);
    if (it == children.end()) continue;
    for (pid_t c : it->second) {
      ::kill(c, sig);
      todo.push_back(c);
    }
  }
}

bool process_usage(pid_t pid, std::int64_t& utime_us, std::int64_t& stime_us, std::int64_t& maxrss_kb) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  const auto close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return false;
  std::istringstream fields(stat.substr(close_paren + 2));
  std::vector<std::string> f;
  std::string word;
  while (f.size() < 15 && fields >> word) f.push_back(word);
  if (f.size() < 15) return false;
  // Fields from the state on: utime is the 12th, then stime, cutime, cstime.
  const long ticks = sysconf(_SC_CLK_TCK);
  const auto us = [&](const std::string& t) { return std::strtoll(t.c_str(), nullptr, 10) * 1000000 / ticks; };
  utime_us = us(f[11]) + us(f[13]);
  stime_us = us(f[12]) + us(f[14]);
  maxrss_kb = 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) maxrss_kb = std::strtoll(line.c_str() + 6, nullptr, 10);
  }
  return true;
}

int supervise_main(const std::string& dir) {
  // Orphans of the job become our children, so a kill reaches them and
  // nothing is left a zombie.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::signal(SIGPIPE, SIG_IGN);
  EndInfo end;
  end.started_ms = now_ms();
  std::string error;
  auto finish = [&](int rc) {
    end.ended_ms = now_ms();
    std::string werr;
    if (!write_status(dir, end, werr)) {
      std::fprintf(stderr, "kxcontainer supervise: %s\n", werr.c_str());
      return 1;
    }
    return rc;
  };
  LaunchPlan plan;
  if (!read_plan(dir, plan, error)) {
    end.start_error = error;
    return finish(1);
  }
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  Fd sfd(::signalfd(-1, &signals, SFD_CLOEXEC));
  const std::string output_path = plan.output_path.empty() ? dir + "/" + kOutputFile : plan.output_path;
  Fd out(::open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  int output_pipe[2], error_pipe[2];
  if (sfd.get() < 0 || out.get() < 0 || ::pipe2(output_pipe, O_CLOEXEC) != 0) {
    end.start_error = "cannot set up the job's output: " + errno_text(errno);
    return finish(1);
  }
  Fd pipe_read(output_pipe[0]), pipe_write(output_pipe[1]);
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
    end.start_error = "cannot create a pipe: " + errno_text(errno);
    return finish(1);
  }
  Fd err_read(error_pipe[0]), err_write(error_pipe[1]);

  // The intent first: from here on the job may run, and a later container
  // must never start it again.
  StartedInfo started{::getpid(), 0, end.started_ms};
  if (!write_started(dir, started, error)) {
    end.start_error = error;
    return finish(1);
  }
  std::vector<char*> argv = c_strings(plan.argv);
  std::vector<char*> envp = c_strings(plan.env);
  const pid_t job = ::fork();
  if (job < 0) {
    end.start_error = "cannot fork: " + errno_text(errno);
    return finish(1);
  }
  if (job == 0) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(pipe_write.get(), 1);
    ::dup2(pipe_write.get(), 2);
    ::dup2(err_write.get(), 3);
    ::fcntl(3, F_SETFD, FD_CLOEXEC);
    close_from(4);
    if (::chdir(plan.cwd.c_str()) != 0) {
      send_message(3, 'C', errno);
      ::_exit(127);
    }
    ::execve(argv[0], argv.data(), envp.data());
    send_message(3, 'X', errno);
    ::_exit(127);
  }
  pipe_write.reset();
  err_write.reset();
  ForkMessage m{};
  ssize_t got;
  while ((got = ::read(err_read.get(), &m, sizeof m)) < 0 && errno == EINTR) {
  }
  if (got == sizeof m) {
    end.start_error = m.tag == 'C' ? "cannot change to the working directory " + plan.cwd + ": " + errno_text(m.value)
                                   : "cannot run " + plan.argv[0] + ": " + errno_text(m.value);
    int st;
    ::waitpid(job, &st, 0);
    const std::string line = "kxcontainer: the job could not start: " + end.start_error + "\n";
    write_all(out.get(), line.data(), line.size());
    end.output_bytes = static_cast<std::int64_t>(line.size());
    return finish(0);
  }
  started.job_pid = job;
  if (!write_started(dir, started, error)) std::fprintf(stderr, "kxcontainer supervise: %s\n", error.c_str());

  bool main_done = false, output_open = true, killing = false;
  int main_status = 0;
  rusage main_usage{};
  std::int64_t kill_deadline = 0, drain_deadline = 0;
  std::uint64_t written = 0;
  std::vector<char> buf(64 * 1024);
  auto escalate = [&](int sig) { signal_tree(::getpid(), job, sig); };

  while (!main_done || (output_open && now_ms() < drain_deadline)) {
    int timeout = -1;
    const std::int64_t now = now_ms();
    if (kill_deadline > 0) timeout = static_cast<int>(std::max<std::int64_t>(0, kill_deadline - now));
    if (main_done) {
      const int left = static_cast<int>(std::max<std::int64_t>(0, drain_deadline - now));
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    pollfd fds[2] = {{pipe_read.get(), POLLIN, 0}, {sfd.get(), POLLIN, 0}};
    const int ready = ::poll(output_open ? fds : fds + 1, output_open ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) {
      // Nothing can be watched any more: the job is ended rather than left
      // unwatched, and what is recorded is how it really ended.
      end.output_error = "the supervisor could not watch the job (" + errno_text(errno) + "); it was killed";
      if (!main_done) {
        killing = true;
        escalate(SIGKILL);
        if (::wait4(job, &main_status, 0, &main_usage) == job) main_done = true;
      }
      break;
    }
    if (kill_deadline > 0 && now_ms() >= kill_deadline) {
      escalate(SIGKILL);
      kill_deadline = 0;
    }
    if (output_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(pipe_read.get(), buf.data(), buf.size());
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        output_open = false;
      } else if (n > 0) {
        std::size_t keep = static_cast<std::size_t>(n);
        if (written + keep > plan.max_output_bytes) keep = plan.max_output_bytes - std::min(written, plan.max_output_bytes);
        if (keep > 0 && end.output_error.empty()) {
          if (write_all(out.get(), buf.data(), keep)) {
            written += keep;
          } else {
            end.output_error = "cannot write the output: " + errno_text(errno);
          }
        }
        if (keep < static_cast<std::size_t>(n) && !end.output_truncated) {
          end.output_truncated = true;
          const std::string note = "\nkxcontainer: output cut at " + std::to_string(plan.max_output_bytes) +
                                   " bytes (MaxOutputBytes); the rest was discarded\n";
          if (end.output_error.empty() && write_all(out.get(), note.data(), note.size())) written += note.size();
        }
      }
    }
    signalfd_siginfo si;
    const bool signalled = (fds[1].revents & POLLIN) != 0;
    if (!signalled || ::read(sfd.get(), &si, sizeof si) != sizeof si) continue;
    if (si.ssi_signo == SIGCHLD) {
      int st;
      rusage ru;
      pid_t p;
      while ((p = ::wait4(-1, &st, WNOHANG, &ru)) > 0) {
        if (p == job) {
          main_done = true;
          main_status = st;
          main_usage = ru;
          drain_deadline = now_ms() + kDrainMs;
          // A kill takes everything the job started, not only its main process.
          if (killing) escalate(SIGKILL);
        }
      }
    } else if (!killing && !main_done) {
      killing = true;
      if (plan.kill_grace_seconds <= 0) {
        escalate(SIGKILL);
      } else {
        escalate(SIGTERM);
        kill_deadline = now_ms() + plan.kill_grace_seconds * 1000LL;
      }
    }
  }
  end.killed = killing;
  if (!main_done) {
    // Its end was never seen: no exit code is made up for it.
  } else if (WIFEXITED(main_status)) {
    end.has_exit_code = true;
    end.exit_code = WEXITSTATUS(main_status);
  } else if (WIFSIGNALED(main_status)) {
    end.has_exit_code = true;
    end.signal = WTERMSIG(main_status);
    end.exit_code = 128 + end.signal;
  }
  end.utime_us = timeval_us(main_usage.ru_utime);
  end.stime_us = timeval_us(main_usage.ru_stime);
  end.maxrss_kb = main_usage.ru_maxrss;
  end.output_bytes = static_cast<std::int64_t>(written);
  return finish(0);
}

}  // namespace kc
