#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kxtest {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environment(const ChildProcess::EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> p;
  for (std::string& w : words) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& cwd, const EnvChanges& env) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> args = argv, vars = environment(env);
  std::vector<char*> argp = pointers(args), envp = pointers(vars);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    // Only the three standard descriptors go on, as from a shell: whatever
    // else the test inherited (a build lock, say) must not end up in a
    // container that the child's library starts and that outlives the test.
    ::closefrom(3);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    ::close(out_fd_);
    ::close(err_fd_);
    throw std::runtime_error("fork failed");
  }
  ::setpgid(pid_, pid_);  // also from here, so that no signal can come before it
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !ended_) {
    ::kill(-pid_, SIGKILL);
    reap(true);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

// Reads what is there within timeout_ms; false once both pipes are closed.
bool ChildProcess::collect(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (::poll(fds, 2, timeout_ms) <= 0) return true;
  char buf[65536];
  for (int k = 0; k < 2; ++k) {
    if (fds[k].fd < 0 || (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
    if (n > 0) {
      (k == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fds[k].fd);
      (k == 0 ? out_fd_ : err_fd_) = -1;
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

void ChildProcess::reap(bool block) {
  if (ended_) return;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r == pid_) {
    ended_ = true;
    status_ = status;
  }
}

bool ChildProcess::wait_until(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    reap(false);
    if (ended_ && out_fd_ < 0 && err_fd_ < 0) return done();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (!collect(static_cast<int>(std::min<long long>(left, 50)))) {
      reap(false);
      if (!ended_) ::usleep(10000);
    }
  }
  return true;
}

int ChildProcess::wait(std::chrono::milliseconds bound) {
  if (!wait_until([this] { return ended_ && out_fd_ < 0 && err_fd_ < 0; }, bound)) {
    ::kill(-pid_, SIGKILL);
    reap(true);
    return -1;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}

void ChildProcess::signal(int sig) {
  if (!ended_) ::kill(pid_, sig);
}

Outcome run_program(const std::vector<std::string>& argv, const std::string& cwd, const ChildProcess::EnvChanges& env,
                    std::chrono::milliseconds bound) {
  ChildProcess child(argv, cwd, env);
  const int code = child.wait(bound);
  return {code, child.out(), child.err()};
}

}  // namespace kxtest
