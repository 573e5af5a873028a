// kc_supervisor.h - one small supervisor process per job.
//
// The container never runs a job itself: it writes the job's launch plan
// into the job's directory and starts "kxcontainer supervise DIR", detached
// (its own session, not the container's child), holding the job's lock file.
// The supervisor runs the job in a session and process group of its own,
// copies its output into the spool, and records how it ended with
// write-then-rename, so the container, or a new one after a crash, reads the
// whole record or none. A held lock means a live supervisor.
//
// Files of a job directory:
//   plan.json     what to run (written by the container before the start)
//   lock          held (flock) by the supervisor for its whole life
//   started.json  written before the job's process exists, and again with
//                 its pid: without it the job certainly never ran
//   output        the job's standard output and error, as they come
//   autoedits     where the job appends name=value lines (KX_AUTOEDIT_FILE)
//   status.json   how the job ended, written once at the end
#ifndef BE_HADOOP_CONTAINER_KC_SUPERVISOR_H
#define BE_HADOOP_CONTAINER_KC_SUPERVISOR_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kc {

inline constexpr char kPlanFile[] = "plan.json";
inline constexpr char kLockFile[] = "lock";
inline constexpr char kStartedFile[] = "started.json";
inline constexpr char kOutputFile[] = "output";
inline constexpr char kAutoeditFile[] = "autoedits";
inline constexpr char kStatusFile[] = "status.json";

struct LaunchPlan {
  std::vector<std::string> argv;  // argv[0] is a path
  std::string cwd;
  std::vector<std::string> env;   // "NAME=value", the job's whole environment
  std::uint64_t max_output_bytes = 1ull << 30;
  int kill_grace_seconds = 10;
  // Where the output goes (appended); empty: the directory's own output.
  std::string output_path;
};

struct StartedInfo {
  std::int64_t supervisor_pid = 0;
  std::int64_t job_pid = 0;  // 0: about to start it
  std::int64_t started_ms = 0;
};

struct EndInfo {
  bool has_exit_code = false;
  int exit_code = 0;          // the exit status, or 128 + the signal that ended it
  int signal = 0;             // the signal that ended it, or 0
  bool killed = false;        // it ended after a kill request
  std::string start_error;    // non-empty: the job never ran, and why
  std::int64_t started_ms = 0, ended_ms = 0;
  std::int64_t utime_us = 0, stime_us = 0, maxrss_kb = 0;
  std::int64_t output_bytes = 0;
  bool output_truncated = false;
  std::string output_error;   // a write to the spool failed (disk full...)
};

std::int64_t now_ms();

// Writes content to path through a temporary file, fsync and rename, so a
// reader sees the old file or the new one, never half of one.
bool write_file_atomic(const std::string& path, const std::string& content, std::string& error);

bool write_plan(const std::string& dir, const LaunchPlan& plan, std::string& error);
bool read_plan(const std::string& dir, LaunchPlan& plan, std::string& error);
bool write_started(const std::string& dir, const StartedInfo& info, std::string& error);
bool read_started(const std::string& dir, StartedInfo& info);
bool write_status(const std::string& dir, const EndInfo& info, std::string& error);
bool read_status(const std::string& dir, EndInfo& info);

// Starts "exe supervise dir" detached, after taking the job's lock, which
// passes to the supervisor. False (error set) when the lock is held already
// (a supervisor runs for this job: it must not run twice) or the program
// cannot be started. pid receives the supervisor's pid.
bool spawn_supervisor(const std::string& exe, const std::string& dir, pid_t& pid, std::string& error);

// True while a supervisor holds the job's lock.
bool supervisor_alive(const std::string& dir);

// Asks the supervisor of dir (pid) to kill its job; it escalates to SIGKILL
// after the grace period of the plan on its own. False when pid is not that
// job's supervisor any more.
bool request_kill(const std::string& dir, pid_t pid);

// The supervisor itself: "kxcontainer supervise DIR", with the job's lock
// on descriptor 3. Returns the process's exit code.
int supervise_main(const std::string& dir);

// Closes every descriptor from first up. Async-signal-safe, for the time
// between fork and exec.
void close_from(int first);

// Sends sig to process group pgid and to every process below root.
void signal_tree(pid_t root, pid_t pgid, int sig);

// The CPU time (user, system, in microseconds) and peak memory (kB) of a
// running process and its waited-for children, from /proc. False when it is
// gone.
bool process_usage(pid_t pid, std::int64_t& utime_us, std::int64_t& stime_us, std::int64_t& maxrss_kb);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_SUPERVISOR_H
