#include "kc_cluster.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "kc_rest.h"

namespace kc {

namespace {

using nlohmann::json;

AppInfo app_from_rest(const json& a) {
  AppInfo i;
  i.id = a.value("id", "");
  i.name = a.value("name", "");
  i.type = a.value("applicationType", "");
  i.queue = a.value("queue", "");
  i.state = a.value("state", "");
  i.final_status = a.value("finalStatus", "");
  i.progress = a.value("progress", 0.0);
  i.tracking_url = a.value("trackingUrl", "");
  i.diagnostics = a.value("diagnostics", "");
  i.log_aggregation = a.value("logAggregationStatus", "");
  i.memory_seconds = a.value("memorySeconds", std::int64_t{0});
  i.vcore_seconds = a.value("vcoreSeconds", std::int64_t{0});
  i.elapsed_ms = a.value("elapsedTime", std::int64_t{0});
  return i;
}

json app_to_json(const AppInfo& i) {
  return {{"id", i.id},
          {"name", i.name},
          {"type", i.type},
          {"queue", i.queue},
          {"state", i.state},
          {"finalStatus", i.final_status},
          {"progress", i.progress},
          {"trackingUrl", i.tracking_url},
          {"diagnostics", i.diagnostics},
          {"logAggregationStatus", i.log_aggregation},
          {"memorySeconds", i.memory_seconds},
          {"vcoreSeconds", i.vcore_seconds},
          {"elapsedTime", i.elapsed_ms}};
}

HttpOptions rest_options(const Config& c) {
  HttpOptions o;
  o.timeout_ms = 10000;
  o.negotiate = c.kerberos();
  return o;
}

void collect_queues(const json& q, const std::string& parent, std::vector<QueueInfo>& out) {
  if (!q.is_object()) return;
  QueueInfo info;
  const std::string name = q.value("queueName", "");
  info.name = parent.empty() ? name : parent + "." + name;
  info.state = q.value("state", "");
  info.capacity = q.value("capacity", 0.0);
  info.max_capacity = q.value("maximumCapacity", 0.0);
  info.used_capacity = q.value("usedCapacity", 0.0);
  out.push_back(info);
  if (q.contains("queues") && q["queues"].is_object() && q["queues"].contains("queue")) {
    for (const json& child : q["queues"]["queue"]) collect_queues(child, info.name, out);
  }
}

}  // namespace

bool AppInfo::logs_settled() const {
  return log_aggregation != "NOT_START" && log_aggregation != "RUNNING" && log_aggregation != "RUNNING_WITH_FAILURE";
}

bool ClusterRecord::all_final() const {
  return std::all_of(apps.begin(), apps.end(), [](const AppInfo& a) { return a.final(); });
}

ClusterRecord ClusterRecord::from_json(const std::string& text) {
  ClusterRecord r;
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return r;
  try {
    r.tag = j.value("tag", "");
    r.output_ids = j.value("output_ids", std::vector<std::string>{});
    r.scanned = j.value("scanned", std::uint64_t{0});
    if (j.contains("apps")) {
      for (const json& a : j["apps"]) r.apps.push_back(app_from_rest(a));
    }
    r.rm_ok = j.value("rm_ok", true);
    r.rm_error = j.value("rm_error", "");
    r.rm_checked_ms = j.value("rm_checked_ms", std::int64_t{0});
    r.rm_failing_since_ms = j.value("rm_failing_since_ms", std::int64_t{0});
    r.driver_ended = j.value("driver_ended", false);
    r.driver_has_exit_code = j.value("driver_has_exit_code", false);
    r.driver_exit_code = j.value("driver_exit_code", 0);
    r.driver_signal = j.value("driver_signal", 0);
    r.driver_start_error = j.value("driver_start_error", "");
    r.driver_ended_ms = j.value("driver_ended_ms", std::int64_t{0});
    r.apps_final_ms = j.value("apps_final_ms", std::int64_t{0});
    r.after = j.value("after", "");
  } catch (const json::exception&) {
  }
  return r;
}

std::string ClusterRecord::to_json() const {
  json apps_json = json::array();
  for (const AppInfo& a : apps) apps_json.push_back(app_to_json(a));
  json j = {{"tag", tag},
            {"output_ids", output_ids},
            {"scanned", scanned},
            {"apps", apps_json},
            {"rm_ok", rm_ok},
            {"rm_error", rm_error},
            {"rm_checked_ms", rm_checked_ms},
            {"rm_failing_since_ms", rm_failing_since_ms},
            {"driver_ended", driver_ended},
            {"driver_has_exit_code", driver_has_exit_code},
            {"driver_exit_code", driver_exit_code},
            {"driver_signal", driver_signal},
            {"driver_start_error", driver_start_error},
            {"driver_ended_ms", driver_ended_ms},
            {"apps_final_ms", apps_final_ms},
            {"after", after}};
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string tag_for(const std::string& orderno, const std::string& runno) {
  std::string tag = "kx-" + orderno + "-" + runno;
  std::transform(tag.begin(), tag.end(), tag.begin(), [](unsigned char c) { return std::tolower(c); });
  return tag;
}

std::vector<std::string> find_application_ids(std::string_view text) {
  static constexpr std::string_view kPrefix = "application_";
  std::vector<std::string> ids;
  const auto digits = [&](std::size_t p) {
    std::size_t e = p;
    while (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) ++e;
    return e;
  };
  for (std::size_t pos = text.find(kPrefix); pos != std::string_view::npos; pos = text.find(kPrefix, pos + 1)) {
    const std::size_t a = pos + kPrefix.size();
    const std::size_t a_end = digits(a);
    if (a_end == a || a_end >= text.size() || text[a_end] != '_') continue;
    const std::size_t b_end = digits(a_end + 1);
    if (b_end == a_end + 1) continue;
    std::string id(text.substr(pos, b_end - pos));
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
  }
  return ids;
}

ClusterClient::ClusterClient(const Config& config) : config_(config) {}

bool ClusterClient::applications(const std::string& tag, const std::vector<std::string>& ids,
                                 std::vector<AppInfo>& apps, std::string& error) const {
  std::vector<AppInfo> found;
  const HttpResult r =
      http_exchange("GET", config_.resource_manager_url + "/ws/v1/cluster/apps?applicationTags=" + tag, "", "",
                    rest_options(config_));
  if (!r.ok()) {
    error = "ResourceManager " + config_.resource_manager_url + ": " + r.error;
    return false;
  }
  const json j = json::parse(r.body, nullptr, false);
  if (!j.is_object() || !j.contains("apps")) {
    error = "ResourceManager " + config_.resource_manager_url + ": an answer that is not an application list";
    return false;
  }
  if (j["apps"].is_object() && j["apps"].contains("app")) {
    for (const json& a : j["apps"]["app"]) found.push_back(app_from_rest(a));
  }
  for (const std::string& id : ids) {
    if (std::any_of(found.begin(), found.end(), [&](const AppInfo& a) { return a.id == id; })) continue;
    const HttpResult one =
        http_exchange("GET", config_.resource_manager_url + "/ws/v1/cluster/apps/" + id, "", "", rest_options(config_));
    if (one.status == 404) continue;  // an id in the output the cluster does not know
    if (!one.ok()) {
      error = "ResourceManager " + config_.resource_manager_url + ": " + one.error;
      return false;
    }
    const json a = json::parse(one.body, nullptr, false);
    if (a.is_object() && a.contains("app")) found.push_back(app_from_rest(a["app"]));
  }
  // Oldest first: ids sort by the cluster's start time, then by sequence.
  std::sort(found.begin(), found.end(), [](const AppInfo& x, const AppInfo& y) {
    return x.id.size() != y.id.size() ? x.id.size() < y.id.size() : x.id < y.id;
  });
  apps = std::move(found);
  return true;
}

bool ClusterClient::kill(const std::string& id, std::string& error) const {
  const HttpResult r = http_exchange("PUT", config_.resource_manager_url + "/ws/v1/cluster/apps/" + id + "/state",
                                     "{\"state\":\"KILLED\"}", "application/json", rest_options(config_));
  if (!r.ok()) {
    error = "ResourceManager " + config_.resource_manager_url + ": " + r.error;
    return false;
  }
  return true;
}

bool ClusterClient::queues(std::vector<QueueInfo>& out, std::string& error) const {
  const HttpResult r =
      http_exchange("GET", config_.resource_manager_url + "/ws/v1/cluster/scheduler", "", "", rest_options(config_));
  if (!r.ok()) {
    error = "ResourceManager " + config_.resource_manager_url + ": " + r.error;
    return false;
  }
  const json j = json::parse(r.body, nullptr, false);
  if (!j.is_object() || !j.contains("scheduler") || !j["scheduler"].contains("schedulerInfo")) {
    error = "ResourceManager " + config_.resource_manager_url + ": an answer that is not a scheduler";
    return false;
  }
  const json& info = j["scheduler"]["schedulerInfo"];
  if (info.contains("queues") && info["queues"].is_object() && info["queues"].contains("queue")) {
    for (const json& q : info["queues"]["queue"]) collect_queues(q, "root", out);
  } else {
    QueueInfo root;
    root.name = info.value("queueName", "default");
    root.state = "RUNNING";
    out.push_back(root);
  }
  return true;
}

}  // namespace kc
