#include "kc_config.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <type_traits>

#include "kc_document.h"
#include "kc_file.h"

namespace kc {

namespace {

// The largest configuration file we read; a real one is a few hundred bytes,
// and a file that never ends (a device, a runaway generator) must not hang
// the start.
constexpr std::size_t kMaxConfigBytes = 1u << 20;

std::string trim(std::string s) {
  const char* blanks = " \t\r\n";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

std::string resolve(const std::string& home, const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return home + "/" + path;
}

// An unsigned decimal in [lo, hi], or false.
bool read_number(const std::string& text, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const std::uint64_t v = std::strtoull(text.c_str(), nullptr, 10);
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

void apply(Config& c, const std::string& name, const std::string& raw) {
  const std::string value = trim(raw);
  auto bad = [&](const char* what) {
    c.warnings.push_back("configuration: " + name + " '" + value + "' is not " + what + "; using the default");
  };
  auto number = [&](std::uint64_t lo, std::uint64_t hi, auto& field) {
    std::uint64_t v;
    if (read_number(value, lo, hi, v)) {
      field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    } else {
      bad(("a number from " + std::to_string(lo) + " to " + std::to_string(hi)).c_str());
    }
  };
  auto path = [&](std::string& field) {
    if (value.empty()) return bad("a path");
    field = resolve(c.home, value);
  };
  if (name == "ContainerHost") {
    if (!value.empty()) c.container_host = value;
  } else if (name == "Port") {
    number(1, 65535, c.port);
  } else if (name == "ListenAddress") {
    if (value.empty()) return bad("an address");
    c.listen_address = value;
  } else if (name == "StateDir") {
    path(c.state_dir);
  } else if (name == "SpoolDir") {
    path(c.spool_dir);
  } else if (name == "SaveDir") {
    path(c.save_dir);
  } else if (name == "MaxRunningJobs") {
    number(1, 10000, c.max_running_jobs);
  } else if (name == "MaxQueuedJobs") {
    number(0, 10000000, c.max_queued_jobs);
  } else if (name == "MaxRequestBytes") {
    number(4096, 1ull << 30, c.max_request_bytes);
  } else if (name == "MaxOutputBytes") {
    number(4096, 1ull << 50, c.max_output_bytes);
  } else if (name == "KillGraceSeconds") {
    number(0, 3600, c.kill_grace_seconds);
  } else if (name == "AllowedUsers") {
    c.allowed_users.clear();
    std::string word;
    for (char ch : value + ",") {
      if (ch == ',' || ch == ' ' || ch == '\t' || ch == '\n') {
        if (!word.empty()) c.allowed_users.push_back(word);
        word.clear();
      } else {
        word += ch;
      }
    }
  } else if (name == "Workers") {
    number(1, 256, c.workers);
  } else if (name == "LogFile") {
    path(c.log_file);
  } else if (name == "LogLevel") {
    static const char* levels[] = {"error", "warn", "info", "debug", "trace"};
    for (const char* l : levels) {
      if (value == l) {
        c.log_level = value;
        c.log_level_set = true;
        return;
      }
    }
    bad("one of error, warn, info, debug, trace");
  } else if (name == "LogMaxBytes") {
    number(4096, 1ull << 40, c.log_max_bytes);
  } else if (name == "LogFiles") {
    number(1, 100, c.log_files);
  } else if (name == "MonitorIntervalMs") {
    number(10, 10000, c.monitor_interval_ms);
  } else if (name == "HadoopBinDir") {
    path(c.hadoop_bin_dir);
  } else if (name == "HadoopConfDir") {
    path(c.hadoop_conf_dir);
  } else if (name == "ResourceManagerUrl" || name == "JobHistoryUrl") {
    if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) return bad("an http:// or https:// address");
    std::string url = value;
    while (!url.empty() && url.back() == '/') url.pop_back();
    (name == "ResourceManagerUrl" ? c.resource_manager_url : c.job_history_url) = url;
  } else if (name == "ClusterPollIntervalMs") {
    number(100, 60000, c.cluster_poll_interval_ms);
  } else if (name == "YarnLogs") {
    if (value == "true" || value == "false") {
      c.yarn_logs = value == "true";
    } else {
      bad("true or false");
    }
  } else if (name == "YarnLogsMaxBytes") {
    number(0, 1ull << 40, c.yarn_logs_max_bytes);
  } else if (name == "ClusterWaitSeconds") {
    number(1, 86400, c.cluster_wait_seconds);
  } else if (name == "KerberosKeytabPath") {
    c.kerberos_keytab = value;
  } else if (name == "KerberosPrincipal") {
    c.kerberos_principal = value;
  }
  // Anything else belongs to the library (RecoveryMaxRetry, Kerberos...) or
  // to a later version: not ours to judge.
}

Config defaults(const std::string& home) {
  Config c;
  c.home = home;
  c.state_dir = home + "/state";
  c.spool_dir = home + "/spool";
  c.save_dir = home + "/saved";
  c.log_file = home + "/log/kxcontainer.log";
  return c;
}

bool is_executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

}  // namespace

std::string hadoop_property(const std::string& file, const std::string& name) {
  std::string text, error;
  if (!read_bounded(file, kMaxConfigBytes, text, error)) return std::string();
  Element root;
  if (text.size() > kMaxConfigBytes || !parse_xml(text, root, error)) return std::string();
  for (const Element& p : root.children) {
    const Element* n = p.child("name");
    const Element* v = p.child("value");
    if (p.name == "property" && n != nullptr && v != nullptr && trim(n->text) == name) return trim(v->text);
  }
  return std::string();
}

void resolve_hadoop(Config& c) {
  const std::string home = env("HADOOP_HOME");
  if (c.hadoop_bin_dir.empty()) {
    if (!home.empty() && is_executable(home + "/bin/hadoop")) c.hadoop_bin_dir = home + "/bin";
    std::string path = env("PATH");
    for (std::size_t pos = 0; c.hadoop_bin_dir.empty() && pos <= path.size();) {
      const std::size_t end = std::min(path.find(':', pos), path.size());
      const std::string dir = path.substr(pos, end - pos);
      if (!dir.empty() && is_executable(dir + "/hadoop")) c.hadoop_bin_dir = dir;
      pos = end + 1;
    }
    if (c.hadoop_bin_dir.empty()) {
      c.hadoop_bin_dir = "/usr/bin";
      c.warnings.push_back("no hadoop command found ($HADOOP_HOME/bin, PATH); Hadoop jobs will look in /usr/bin "
                           "(set HadoopBinDir)");
    }
  }
  if (c.hadoop_conf_dir.empty()) {
    if (!env("HADOOP_CONF_DIR").empty()) {
      c.hadoop_conf_dir = env("HADOOP_CONF_DIR");
    } else if (!home.empty() && ::access((home + "/etc/hadoop").c_str(), R_OK) == 0) {
      c.hadoop_conf_dir = home + "/etc/hadoop";
    } else {
      c.hadoop_conf_dir = "/etc/hadoop/conf";
    }
  }
  const auto web = [&](const std::string& file, const char* property, const char* fallback) {
    std::string address = hadoop_property(c.hadoop_conf_dir + "/" + file, property);
    if (address.empty()) return std::string(fallback);
    // A bind-all address is no address to call.
    if (address.rfind("0.0.0.0:", 0) == 0) address = "localhost" + address.substr(7);
    return "http://" + address;
  };
  if (c.resource_manager_url.empty()) {
    c.resource_manager_url = web("yarn-site.xml", "yarn.resourcemanager.webapp.address", "http://localhost:8088");
  }
  if (c.job_history_url.empty()) {
    c.job_history_url = web("mapred-site.xml", "mapreduce.jobhistory.webapp.address", "http://localhost:19888");
  }
}

std::string default_config_path(const std::string& home) { return home + "/../data/kx_container_conf.xml"; }

Config parse_config(const std::string& home, const std::string& text) {
  Config c = defaults(home);
  Element root;
  std::string error;
  if (!parse_xml(text, root, error)) {
    c.warnings.push_back("configuration is not well-formed (" + error + "); using the defaults");
    return c;
  }
  if (root.name != "Configuration") {
    c.warnings.push_back("configuration root is '" + root.name + "', not 'Configuration'; using the defaults");
    return c;
  }
  for (const Element& e : root.children) apply(c, e.name, e.text);
  return c;
}

Config load_config(const std::string& home, const std::string& path) {
  std::string text, error;
  if (!read_bounded(path, kMaxConfigBytes, text, error)) {
    Config c = defaults(home);
    c.warnings.push_back("configuration file " + path + " cannot be read (" + error + "); using the defaults");
    return c;
  }
  if (text.size() > kMaxConfigBytes) {
    Config c = defaults(home);
    c.warnings.push_back("configuration file " + path + " is larger than 1 MiB; using the defaults");
    return c;
  }
  return parse_config(home, text);
}

}  // namespace kc
