// kc_config.h - the container's settings, read from kx_container_conf.xml.
//
// The file is the one the library reads (root Configuration; ContainerHost
// and Port are shared with it); the other children are the container's own.
// Every setting has a default, so a missing or malformed file, or a bad value,
// never stops the container: it is reported as a warning and the default
// stands.
#ifndef BE_HADOOP_CONTAINER_KC_CONFIG_H
#define BE_HADOOP_CONTAINER_KC_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace kc {

struct Config {
  // Where the container lives: the directory of kxcontainer and its start
  // script. Relative defaults below are resolved against it.
  std::string home;

  std::string container_host = "localhost";  // ContainerHost: where callers reach us
  int port = 38980;                          // Port
  std::string listen_address = "127.0.0.1"; // ListenAddress
  std::string state_dir;                     // StateDir: job store and pid file; <home>/state
  std::string spool_dir;                     // SpoolDir: one directory per job; <home>/spool
  std::string save_dir;                      // SaveDir: output copies of SYSOUT_N; <home>/saved
  int max_running_jobs = 4;                  // MaxRunningJobs
  int max_queued_jobs = 10000;               // MaxQueuedJobs: waiting jobs beyond this are refused
  std::uint64_t max_request_bytes = 1u << 20;     // MaxRequestBytes
  std::uint64_t max_output_bytes = 1ull << 30;    // MaxOutputBytes, per job
  int kill_grace_seconds = 10;               // KillGraceSeconds
  std::vector<std::string> allowed_users;    // AllowedUsers: names, comma or blank separated
  int workers = 16;                          // Workers: requests served at once
  std::string log_file;                      // LogFile; <home>/log/kxcontainer.log
  std::string log_level = "info";            // LogLevel: error, warn, info, debug, trace
  bool log_level_set = false;                // LogLevel came from the file
  std::uint64_t log_max_bytes = 10u << 20;   // LogMaxBytes: size at which the log rotates
  int log_files = 5;                         // LogFiles: rotated copies kept
  int monitor_interval_ms = 200;             // MonitorIntervalMs: how often running jobs are checked

  // The Hadoop edge node. Empty values are found by resolve_hadoop().
  std::string hadoop_bin_dir;                // HadoopBinDir: hadoop, hdfs, yarn, mapred
  std::string hadoop_conf_dir;               // HadoopConfDir: HADOOP_CONF_DIR of the jobs
  std::string resource_manager_url;          // ResourceManagerUrl: http://host:port of its REST API
  std::string job_history_url;               // JobHistoryUrl: the MapReduce JobHistory server's
  int cluster_poll_interval_ms = 1000;       // ClusterPollIntervalMs: how often YARN is asked
  bool yarn_logs = true;                     // YarnLogs: append aggregated logs to the output
  std::uint64_t yarn_logs_max_bytes = 10u << 20;  // YarnLogsMaxBytes, per application
  int cluster_wait_seconds = 120;            // ClusterWaitSeconds: the longest wait for log aggregation

  // Kerberos, the elements the library reads too: both set means Kerberos.
  std::string kerberos_keytab;               // KerberosKeytabPath
  std::string kerberos_principal;            // KerberosPrincipal
  bool kerberos() const { return !kerberos_keytab.empty() && !kerberos_principal.empty(); }

  // Warnings met while reading: unreadable file, malformed document, bad
  // values. The caller logs them once the log is open.
  std::vector<std::string> warnings;
};

// Reads path (may be missing) into a Config whose relative paths are
// resolved against home. Never throws for a bad file; see warnings.
Config load_config(const std::string& home, const std::string& path);

// Parses the document text; the same rules as load_config. For tests and
// fuzzing.
Config parse_config(const std::string& home, const std::string& text);

// Fills in what the configuration left to be found on the edge node: the
// command directory ($HADOOP_HOME/bin, else where `hadoop` is on PATH, else
// /usr/bin), the configuration directory ($HADOOP_CONF_DIR, else
// $HADOOP_HOME/etc/hadoop, else /etc/hadoop/conf), and the REST addresses
// from its yarn-site.xml and mapred-site.xml (else localhost:8088 and
// localhost:19888). Adds a warning for what it could not find.
void resolve_hadoop(Config& config);

// The value of a property in a Hadoop configuration file, or empty.
std::string hadoop_property(const std::string& file, const std::string& name);

// The default configuration file of a container directory:
// <home>/../data/kx_container_conf.xml.
std::string default_config_path(const std::string& home);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_CONFIG_H
