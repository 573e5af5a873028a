// kc_daemon.h - the container's commands: start, run, stop, status.
//
// One container per state directory: its pid file is locked (flock) for the
// daemon's whole life, so a second start sees it running and does nothing,
// and the lock vanishes with the process however it ends.
#ifndef BE_HADOOP_CONTAINER_KC_DAEMON_H
#define BE_HADOOP_CONTAINER_KC_DAEMON_H

#include <string>

namespace kc {

struct Options {
  std::string home;   // the container directory
  std::string conf;   // the configuration file
  int level = 0;      // the agent's debug level, from the start script
  std::string exe;    // this program
};

// Starts the daemon in the background and returns once it listens (0),
// when one runs already (0), or when it cannot start (1, the reason on
// standard error).
int start_command(const Options& options);
// Runs the container in the foreground until it is stopped. Exit code 0
// after a ContainerStop or SIGTERM.
int run_command(const Options& options);
// Sends ContainerStop and waits for the daemon to end.
int stop_command(const Options& options);
// 0 when the container answers (its state on standard output), 1 otherwise.
int status_command(const Options& options);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_DAEMON_H
