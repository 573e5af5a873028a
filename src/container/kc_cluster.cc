#include "kc_cluster.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <type_traits>
#include <nlohmann/json.hpp>

#include "kc_rest.h"

namespace kc {

namespace {

using nlohmann::json;

// About three hundred years: more is not a real application's life.
constexpr std::int64_t kMaxElapsedMs = 10'000'000'000'000;

// Hadoop's REST servers do not agree on types or on lists: the JobHistory
// server writes a list of one as the element itself, and a field may come
// as a number where text is expected. Nothing they answer may throw.
std::string text_of(const json& o, const char* key) {
  if (!o.is_object()) return {};
  const auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename T>
T number_of(const json& o, const char* key) {
  if (!o.is_object()) return T{};
  const auto it = o.find(key);
  if (it == o.end() || !it->is_number()) return T{};
  if constexpr (std::is_integral_v<T>) {
    // A float beyond the integer's range would be undefined to convert.
    if (it->is_number_float()) {
      const double d = it->get<double>();
      return d >= static_cast<double>(std::numeric_limits<T>::min()) &&
                     d < static_cast<double>(std::numeric_limits<T>::max())
                 ? static_cast<T>(d)
                 : T{};
    }
  }
  return it->get<T>();
}

// The elements of o[key]: a list's entries, or an object as a list of one.
std::vector<const json*> items_of(const json& o, const char* key) {
  std::vector<const json*> out;
  if (!o.is_object()) return out;
  const auto it = o.find(key);
  if (it == o.end()) return out;
  if (it->is_object()) {
    out.push_back(&*it);
  } else if (it->is_array()) {
    for (const json& e : *it) {
      if (e.is_object()) out.push_back(&e);
    }
  }
  return out;
}

const json& member(const json& o, const char* key) {
  static const json kNull;
  if (!o.is_object()) return kNull;
  const auto it = o.find(key);
  return it == o.end() ? kNull : *it;
}

AppInfo app_from_rest(const json& a) {
  AppInfo i;
  i.id = text_of(a, "id");
  i.name = text_of(a, "name");
  i.type = text_of(a, "applicationType");
  i.queue = text_of(a, "queue");
  i.state = text_of(a, "state");
  i.final_status = text_of(a, "finalStatus");
  i.progress = number_of<double>(a, "progress");
  i.tracking_url = text_of(a, "trackingUrl");
  i.diagnostics = text_of(a, "diagnostics");
  i.log_aggregation = text_of(a, "logAggregationStatus");
  i.memory_seconds = number_of<std::int64_t>(a, "memorySeconds");
  i.vcore_seconds = number_of<std::int64_t>(a, "vcoreSeconds");
  // Shown in seconds with milliseconds: kept where that arithmetic is safe.
  i.elapsed_ms = std::clamp<std::int64_t>(number_of<std::int64_t>(a, "elapsedTime"), 0, kMaxElapsedMs);
  i.counters = text_of(a, "counters");
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
          {"elapsedTime", i.elapsed_ms},
          {"counters", i.counters}};
}

HttpOptions rest_options(const Config& c) {
  HttpOptions o;
  o.timeout_ms = 10000;
  o.negotiate = c.kerberos();
  return o;
}

void collect_queues(const json& q, const std::string& parent, std::vector<QueueInfo>& out) {
  QueueInfo info;
  const std::string name = text_of(q, "queueName");
  info.name = parent.empty() ? name : parent + "." + name;
  info.state = text_of(q, "state");
  info.capacity = number_of<double>(q, "capacity");
  info.max_capacity = number_of<double>(q, "maximumCapacity");
  info.used_capacity = number_of<double>(q, "usedCapacity");
  out.push_back(info);
  for (const json* child : items_of(member(q, "queues"), "queue")) collect_queues(*child, info.name, out);
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
    for (const json* a : items_of(j, "apps")) r.apps.push_back(app_from_rest(*a));
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
  for (const json* a : items_of(j["apps"], "app")) found.push_back(app_from_rest(*a));
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
    if (member(a, "app").is_object()) found.push_back(app_from_rest(a["app"]));
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

bool ClusterClient::counters(const std::string& app_id, std::string& text, std::string& error) const {
  static constexpr char kPrefix[] = "application_";
  if (app_id.rfind(kPrefix, 0) != 0) {
    error = "not an application id: " + app_id;
    return false;
  }
  const std::string job = "job_" + app_id.substr(sizeof kPrefix - 1);
  const HttpResult r = http_exchange("GET", config_.job_history_url + "/ws/v1/history/mapreduce/jobs/" + job + "/counters",
                                     "", "", rest_options(config_));
  if (!r.ok()) {
    error = "JobHistory server " + config_.job_history_url + ": " + r.error;
    return false;
  }
  const json j = json::parse(r.body, nullptr, false);
  const auto groups = items_of(member(j, "jobCounters"), "counterGroup");
  if (groups.empty()) {
    error = "JobHistory server " + config_.job_history_url + ": an answer without counters";
    return false;
  }
  text.clear();
  for (const json* group : groups) {
    for (const json* c : items_of(*group, "counter")) {
      if (!text.empty()) text += ',';
      text += text_of(*c, "name") + "=" + std::to_string(number_of<std::int64_t>(*c, "totalCounterValue"));
    }
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
  const json& info = member(member(j, "scheduler"), "schedulerInfo");
  if (!info.is_object()) {
    error = "ResourceManager " + config_.resource_manager_url + ": an answer that is not a scheduler";
    return false;
  }
  const auto queues = items_of(member(info, "queues"), "queue");
  for (const json* q : queues) collect_queues(*q, "root", out);
  if (queues.empty()) {
    QueueInfo root;
    root.name = text_of(info, "queueName");
    if (root.name.empty()) root.name = "default";
    root.state = "RUNNING";
    out.push_back(root);
  }
  return true;
}

}  // namespace kc
