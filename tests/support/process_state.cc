#include "process_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "be_convert.h"
#include "be_env.h"
#include "be_lock.h"
#include "gm_param.h"
#include "gm_xml.h"
#include "os_diag.h"
#include "os_time.h"

extern char** environ;

namespace kxtest {

namespace {

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  std::sort(env.begin(), env.end());
  return env;
}

}  // namespace

void reset_library_state() {
  // Releasing locales and tables writes trace lines; the log state is reset
  // last so that none of them survives into the next test.
  BE_UTIL_release_required_locales();
  GM_PARAM_clear();
  GM_PARAM_subtable_clear();
  if (lockFileFd >= 0) ::close(lockFileFd);
  lockFileFd = -1;
  lockFileName[0] = '\0';
  first_call = 1;
  kx_common::os_time_test_reset(nullptr);
  GM_XML_StartParentElem = 0;
  GM_XML_StartElementAfterParent = 0;
  GM_XML_StartParentElementForList = 0;
  kx::diag::reset_state();
}

ProcessSnapshot::ProcessSnapshot()
    : environment_(current_environment()), cwd_(std::filesystem::current_path().string()) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  mask_ = mask;
}

void ProcessSnapshot::restore() const {
  if (current_environment() != environment_) {
    ::clearenv();
    for (const std::string& entry : environment_) {
      const size_t eq = entry.find('=');
      if (eq == std::string::npos) continue;
      ::setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
    }
  }
  std::error_code ec;
  if (std::filesystem::current_path(ec) != cwd_) std::filesystem::current_path(cwd_, ec);
  ::umask(static_cast<mode_t>(mask_));
}

void ProcessStateListener::OnTestStart(const ::testing::TestInfo&) {
  start_.restore();
  reset_library_state();
}

}  // namespace kxtest
