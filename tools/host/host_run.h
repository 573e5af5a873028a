// host_run.h - kxhost run: one job from submission to its end, the way an
// agent runs it, shown to a person.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_RUN_H
#define BE_HADOOP_TOOLS_HOST_HOST_RUN_H

#include <functional>
#include <memory>

#include "host_backend.h"

namespace kxhost {

// Exit codes of run besides the job's own (0-255).
inline constexpr int kRunToolFailed = 125;     // kxhost, the library or the container failed
inline constexpr int kRunFailedToStart = 126;  // the job FAILED_TO_START
inline constexpr int kRunLeftRunning = 130;    // interrupted twice: the job was left running
inline constexpr int kRunKilled = 137;         // the job was KILLED

// kxhost run [options] [NAME=VALUE ...] [-- COMMAND LINE]. Parses and checks
// everything, then calls load() for the library (which may throw UserError)
// and runs the job. Returns the exit code; mistakes throw UserError before
// anything is sent.
int cmd_run(int argc, char** argv, int first, const std::function<std::unique_ptr<Library>()>& load);

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_RUN_H
