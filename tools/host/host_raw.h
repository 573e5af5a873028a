// host_raw.h - the raw commands: one entry point each, every result code and
// attribute shown, for a person who wants to see what the library does.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_RAW_H
#define BE_HADOOP_TOOLS_HOST_HOST_RAW_H

#include <functional>
#include <memory>

#include "host_backend.h"

namespace kxhost {

using Loader = std::function<std::unique_ptr<Library>()>;

// Each returns the exit code: 0 when the library answered PEX_SUCCESS (or
// PEX_EOS at the end of an output), 1 otherwise. argv[first] is the first
// word after the command's name. The words are checked first; then load()
// checks the working directory and loads the library. Mistakes throw
// UserError.
int cmd_version(const Library& lib);
int cmd_lifecycle(int argc, char** argv, int first, const Loader& load);
int cmd_job(int argc, char** argv, int first, const Loader& load);
int cmd_sysout(int argc, char** argv, int first, const Loader& load);
int cmd_shutdown(int argc, int first, const Loader& load);

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_RAW_H
