#include "kc_jobtypes.h"

#include <cstdlib>
#include <map>

namespace kc {

namespace {

std::string env_name(const std::string& name) {
  std::string out = kEnvPrefix;
  for (char c : name) {
    const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    out += word ? c : '_';
  }
  return out;
}

std::string exit_code_text(const JobRecord& job) {
  switch (job.state) {
    case State::kKilled: return "KILLED";
    case State::kFailedToStart: return "FAILED_TO_START";
    default: return job.has_exit_code ? std::to_string(job.exit_code) : std::string();
  }
}

// A command line run by the shell.
class CommandJob : public JobType {
 public:
  const char* name() const override { return "COMMAND"; }
  const char* description() const override {
    return "a command line run by /bin/sh in a working directory (CMDLINE, WORKDIR)";
  }
  bool validate(const Attributes& attrs, std::string& error) const override {
    if (attribute(attrs, "CMDLINE").empty()) {
      error = "a COMMAND job needs the attribute CMDLINE, the command line to run";
      return false;
    }
    const std::string workdir = attribute(attrs, "WORKDIR");
    if (!workdir.empty() && workdir[0] != '/') {
      error = "WORKDIR '" + workdir + "' is not an absolute path";
      return false;
    }
    return true;
  }
  bool launch_spec(const Config& config, const JobRecord& job, const std::string& dir, LaunchSpec& spec,
                   std::string&) const override {
    spec.argv = {"/bin/sh", "-c", attribute(job.attrs, "CMDLINE")};
    const std::string workdir = attribute(job.attrs, "WORKDIR");
    spec.cwd = workdir.empty() ? dir : workdir;
    spec.env = job_environment(job, dir);
    spec.max_output_bytes = config.max_output_bytes;
    spec.kill_grace_seconds = config.kill_grace_seconds;
    return true;
  }
  std::vector<Step> steps(const JobRecord& job) const override {
    return {{attribute(job.attrs, "CMDLINE"), exit_code_text(job)}};
  }
};

}  // namespace

std::string attribute(const Attributes& attrs, const std::string& name) {
  for (const auto& [n, v] : attrs) {
    if (n == name) return v;
  }
  return std::string();
}

std::string job_id(const JobRecord& job) { return "kx-" + job.orderno + "-" + job.runno; }

std::vector<std::string> job_environment(const JobRecord& job, const std::string& dir) {
  // One value per name; the container's own KX_ variables come last, so an
  // attribute cannot stand in for them.
  std::map<std::string, std::string> vars;
  for (const char* name : {"PATH", "HOME", "USER", "LOGNAME", "LANG", "LC_ALL", "TZ"}) {
    if (const char* v = std::getenv(name)) vars[name] = v;
  }
  vars.emplace("PATH", "/usr/local/bin:/usr/bin:/bin");
  vars["SHELL"] = "/bin/sh";
  for (const auto& [n, v] : job.attrs) vars[env_name(n)] = v;
  vars[std::string(kEnvPrefix) + "JOBID"] = job_id(job);
  vars[std::string(kEnvPrefix) + "SPOOL_DIR"] = dir;
  vars[std::string(kEnvPrefix) + "AUTOEDIT_FILE"] = dir + "/" + kAutoeditFile;
  std::vector<std::string> env;
  for (const auto& [n, v] : vars) env.push_back(n + "=" + v);
  return env;
}

const std::vector<const JobType*>& job_types() {
  static const CommandJob command;
  static const std::vector<const JobType*> types = {&command};
  return types;
}

const JobType* find_job_type(const std::string& name) {
  for (const JobType* t : job_types()) {
    if (name == t->name()) return t;
  }
  return nullptr;
}

}  // namespace kc
