// kc_cluster.h - the Hadoop cluster as the container sees it: YARN's
// applications of a job, found by the job's tag through the
// ResourceManager's REST API, and what the container keeps of them.
//
// YARN's own word decides a Hadoop job's end: its applications' states and
// final statuses, not a log line or the driver's exit code alone.
#ifndef BE_HADOOP_CONTAINER_KC_CLUSTER_H
#define BE_HADOOP_CONTAINER_KC_CLUSTER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kc_config.h"

namespace kc {

struct AppInfo {
  std::string id, name, type, queue;
  std::string state;         // NEW ... RUNNING, FINISHED, FAILED, KILLED
  std::string final_status;  // UNDEFINED while it runs; SUCCEEDED, FAILED, KILLED
  double progress = 0;       // 0 to 100
  std::string tracking_url, diagnostics;
  std::string log_aggregation;  // NOT_START, RUNNING, SUCCEEDED, FAILED, TIME_OUT, DISABLED...
  std::int64_t memory_seconds = 0, vcore_seconds = 0, elapsed_ms = 0;
  // A MapReduce job's counters from the JobHistory server, "NAME=value,...",
  // once it has them.
  std::string counters;
  bool final() const { return state == "FINISHED" || state == "FAILED" || state == "KILLED"; }
  bool succeeded() const { return state == "FINISHED" && final_status == "SUCCEEDED"; }
  // Aggregation over, or never to come.
  bool logs_settled() const;
};

// What the container keeps of a Hadoop job (the job record's extra field).
struct ClusterRecord {
  std::string tag;
  std::vector<std::string> output_ids;  // application ids read from the driver's output
  std::uint64_t scanned = 0;            // output bytes looked at for them
  std::vector<AppInfo> apps;
  bool rm_ok = true;
  std::string rm_error;
  std::int64_t rm_checked_ms = 0;        // the last answer of the ResourceManager
  std::int64_t rm_failing_since_ms = 0;  // 0 while it answers
  // The driver (the edge-node command), once it has ended.
  bool driver_ended = false;
  bool driver_has_exit_code = false;
  int driver_exit_code = 0;
  int driver_signal = 0;
  std::string driver_start_error;
  std::int64_t driver_ended_ms = 0;
  std::int64_t apps_final_ms = 0;  // when every application was first seen ended
  // The step after the applications: their counters and logs into the output.
  std::string after;               // "", "started", "done"

  static ClusterRecord from_json(const std::string& text);
  std::string to_json() const;
  bool all_final() const;
};

// "kx-<orderno>-<runno>" in lower case: YARN keeps tags in lower case.
std::string tag_for(const std::string& orderno, const std::string& runno);

// The application ids ("application_<digits>_<digits>") in text, each once.
std::vector<std::string> find_application_ids(std::string_view text);

struct QueueInfo {
  std::string name, state;
  double capacity = 0, max_capacity = 0, used_capacity = 0;
};

// The ResourceManager's and the JobHistory server's REST APIs.
class ClusterClient {
 public:
  explicit ClusterClient(const Config& config);
  // The applications tagged tag and those of ids. False (error set) when
  // the ResourceManager did not answer; apps is then untouched.
  bool applications(const std::string& tag, const std::vector<std::string>& ids, std::vector<AppInfo>& apps,
                    std::string& error) const;
  // Asks the ResourceManager to kill an application.
  bool kill(const std::string& id, std::string& error) const;
  bool queues(std::vector<QueueInfo>& out, std::string& error) const;
  // The counters of the MapReduce job of an ended application, as
  // "NAME=value,..." in the JobHistory server's order. False (error set)
  // when the server has not got them (yet).
  bool counters(const std::string& app_id, std::string& text, std::string& error) const;

 private:
  const Config& config_;
};

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_CLUSTER_H
