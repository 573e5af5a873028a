// The container's configuration file, arbitrary text: it never stops the
// container, and every setting it yields lies in its documented range.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kc_config.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kc::Config c = kc::parse_config("/h", std::string(reinterpret_cast<const char*>(data), size));
  if (c.port < 1 || c.port > 65535) fail("port out of range");
  if (c.max_running_jobs < 1 || c.max_running_jobs > 10000) fail("MaxRunningJobs out of range");
  if (c.workers < 1 || c.workers > 256) fail("Workers out of range");
  if (c.kill_grace_seconds < 0 || c.kill_grace_seconds > 3600) fail("KillGraceSeconds out of range");
  if (c.max_request_bytes < 4096 || c.max_output_bytes < 4096) fail("a byte limit below its floor");
  if (c.log_files < 1 || c.log_files > 100) fail("LogFiles out of range");
  if (c.state_dir.empty() || c.spool_dir.empty() || c.log_file.empty()) fail("an empty path");
  if (c.listen_address.empty()) fail("no listen address");
  return 0;
}
