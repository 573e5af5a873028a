#include "kc_jobs.h"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "kc_cluster.h"
#include "kc_file.h"
#include "kc_jobtypes.h"

namespace kc {

namespace {

namespace fs = std::filesystem;

// The agent's offset after the end of an output: all bits set.
constexpr std::uint64_t kEndedOffset = ~std::uint64_t{0};
// Largest block an output read hands out, whatever the agent asks: the
// library takes no answer value longer than 2047 bytes, and would drop a
// longer block while its offset moved on past it.
constexpr std::uint64_t kMaxBlock = 2047;
// The autoedit file is the job's to write: we read only this much of it.
constexpr std::size_t kMaxAutoeditBytes = 64 * 1024;
constexpr std::size_t kMaxAutoedits = 1000;
// How long a KILL waits for the job to end before it answers.
constexpr auto kKillWait = std::chrono::seconds(2);

std::string iso_time(std::int64_t ms) {
  if (ms <= 0) return std::string();
  const time_t secs = static_cast<time_t>(ms / 1000);
  tm t;
  gmtime_r(&secs, &t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &t);
  return buf;
}

std::string seconds_text(std::int64_t micros) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(micros / 1000000),
                static_cast<long long>((micros % 1000000) / 1000));
  return buf;
}

// The items joined by sep, as many as fit the library's 2047-byte value,
// with "..." when some were left out.
std::string joined(const std::vector<std::string>& items, const char* sep) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string piece = (i == 0 ? "" : sep) + items[i];
    if (out.size() + piece.size() > 2040) return out + piece.substr(0, 2040 - out.size()) + "...";
    out += piece;
  }
  return out;
}

// The agent's own order and run numbers are at most 31 characters, which
// also keeps the job's YARN tag within YARN's 100.
bool valid_key_part(const std::string& s) {
  if (s.empty() || s.size() > 31) return false;
  for (char c : s) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool read_unsigned(const std::string* text, std::uint64_t& out) {
  if (text == nullptr || text->empty() || text->size() > 20) return false;
  for (char c : *text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  out = std::strtoull(text->c_str(), nullptr, 10);
  return errno == 0;
}

// The agent's view of a state: STARTING is EXECUTING to it.
const char* agent_state(State s) { return s == State::kStarting ? "EXECUTING" : state_name(s); }

bool is_active(State s) { return s == State::kStarting || s == State::kExecuting; }

std::string no_job(const std::string& orderno, const std::string& runno) {
  return error_answer(kErrNoSuchJob, "no job ORDERNO=" + orderno + " RUNNO=" + runno + " in the container");
}

std::string internal(const std::string& what) {
  spdlog::error("{}", what);
  return error_answer(kErrInternal, what);
}

std::int64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

// Copies a job's output to a new file (never over an existing one).
bool copy_output(const std::string& from, const std::string& to, std::string& error) {
  const int in = open_for_reading(from);
  if (in < 0 && errno != ENOENT) {
    error = "cannot read the output: " + std::string(std::strerror(errno));
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (out < 0) {
    error = "cannot create " + to + ": " + std::strerror(errno);
    if (in >= 0) ::close(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buf(64 * 1024);
  ssize_t n = 0;
  while (in >= 0 && (n = ::read(in, buf.data(), buf.size())) > 0) {
    const char* p = buf.data();
    while (n > 0) {
      const ssize_t w = ::write(out, p, static_cast<std::size_t>(n));
      if (w < 0) {
        ok = false;
        break;
      }
      p += w;
      n -= w;
    }
    if (!ok) break;
  }
  if (n < 0) ok = false;
  if (!ok) error = "cannot copy the output to " + to + ": " + std::strerror(errno);
  if (in >= 0) ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

JobService::JobService(const Config& config, Store& store, std::string exe)
    : config_(config), store_(store), cluster_(config), exe_(std::move(exe)) {}

std::int64_t JobService::count(State state) {
  std::string error;
  return store_.count(state, error);
}

bool JobService::move(JobRecord& job, State to, std::string& error) {
  if (!transition_allowed(job.state, to)) {
    error = std::string("job ") + job_id(job) + " cannot go from " + state_name(job.state) + " to " + state_name(to);
    return false;
  }
  const State from = job.state;
  job.state = to;
  if (!store_.save_if_state(job, from, error)) {
    if (error.empty()) error = "job " + job_id(job) + " changed meanwhile";
    job.state = from;
    return false;
  }
  spdlog::info("job {} {} -> {}{}{}", job_id(job), state_name(from), state_name(to),
               job.message.empty() ? "" : ": ", job.message);
  return true;
}

Attributes JobService::read_autoedits(const std::string& dir) const {
  Attributes out;
  std::string text, error;
  if (!read_bounded(dir + "/" + kAutoeditFile, kMaxAutoeditBytes - 1, text, error)) return out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    // A last line without its line feed may still be being written.
    if (eol == std::string::npos) break;
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    bool replaced = false;
    for (auto& [n, v] : out) {
      if (n == name) {
        v = value;  // the last value a job hands back is the one that counts
        replaced = true;
      }
    }
    if (!replaced && out.size() < kMaxAutoedits) out.emplace_back(std::move(name), std::move(value));
  }
  return out;
}

void JobService::record_end(JobRecord& job, const EndInfo& end, State to, std::string message) {
  const State from = job.state;
  job.has_exit_code = end.has_exit_code;
  job.exit_code = end.exit_code;
  job.message = std::move(message);
  if (end.output_truncated) job.message += (job.message.empty() ? "" : "; ") + std::string("output cut at MaxOutputBytes");
  if (!end.output_error.empty()) job.message += (job.message.empty() ? "" : "; ") + end.output_error;
  if (job.started_ms == 0) job.started_ms = end.started_ms;
  job.ended_ms = std::max(end.ended_ms, now_ms());
  job.utime_us = end.utime_us;
  job.stime_us = end.stime_us;
  job.maxrss_kb = end.maxrss_kb;
  job.output_bytes = file_size(job.spool + "/" + kOutputFile);
  job.autoedits = read_autoedits(job.spool);
  std::string error;
  if (!move(job, to, error)) {
    // Someone else recorded it first; take theirs.
    std::string ignored;
    store_.get(job.id, job, ignored);
    if (job.state == from) spdlog::error("cannot record the end of job {}: {}", job_id(job), error);
  }
}

void JobService::finalize(JobRecord& job, const EndInfo& end) {
  if (!end.start_error.empty()) return record_end(job, end, State::kFailedToStart, end.start_error);
  if (job.kill_requested || end.killed) return record_end(job, end, State::kKilled, "killed on request");
  if (end.has_exit_code && end.exit_code == 0) return record_end(job, end, State::kEndedOk, "");
  // The shell's own codes for a command it could not find or run.
  if (job.job_type == "COMMAND" && end.signal == 0 && (end.exit_code == 127 || end.exit_code == 126)) {
    return record_end(job, end, State::kFailedToStart,
                      end.exit_code == 127 ? "command not found (exit code 127)"
                                           : "command not executable (exit code 126)");
  }
  record_end(job, end, State::kEndedNotOk,
             end.signal != 0 ? "ended by signal " + std::to_string(end.signal)
                             : "exit code " + std::to_string(end.exit_code));
}

void JobService::advance_cluster_job(JobRecord& job, const EndInfo& end) {
  // Caller holds mu_. The driver has ended; YARN decides the rest.
  ClusterRecord cr = ClusterRecord::from_json(job.extra);
  std::string error;
  if (!cr.driver_ended) {
    cr.driver_ended = true;
    cr.driver_has_exit_code = end.has_exit_code;
    cr.driver_exit_code = end.exit_code;
    cr.driver_signal = end.signal;
    cr.driver_start_error = end.start_error;
    cr.driver_ended_ms = end.ended_ms;
    job.extra = cr.to_json();
    if (!store_.save(job, error)) spdlog::error("job {}: {}", job_id(job), error);
    spdlog::info("job {}: its driver ended ({}); {} YARN application(s) known", job_id(job),
                 end.start_error.empty() ? "exit code " + std::to_string(end.exit_code) : end.start_error,
                 cr.apps.size());
  }
  if (!end.start_error.empty()) return record_end(job, end, State::kFailedToStart, end.start_error);
  // Never declared ended without a word from YARN given after the driver
  // ended: its applications may still run.
  if (!cr.rm_ok || cr.rm_checked_ms <= cr.driver_ended_ms || !cr.all_final()) return;
  const std::string after_dir = job.spool + "/after";
  if (!cr.apps.empty() && cr.after != "done") {
    if (cr.after.empty()) {
      const bool logs_ready = std::all_of(cr.apps.begin(), cr.apps.end(), [](const AppInfo& a) {
        return a.logs_settled();
      });
      const bool waited = now_ms() - cr.apps_final_ms > config_.cluster_wait_seconds * 1000LL;
      if (config_.yarn_logs && !logs_ready && !waited) return;
      StartedInfo started;
      // After a crash the step may have started already: never twice.
      if (!read_started(after_dir, started) && !start_after_step(job, cr, after_dir, error)) {
        spdlog::warn("job {}: cannot collect its applications' counters and logs: {}", job_id(job), error);
        cr.after = "done";
      } else {
        cr.after = "started";
      }
      job.extra = cr.to_json();
      if (!store_.save(job, error)) spdlog::error("job {}: {}", job_id(job), error);
      if (cr.after != "done") return;
    } else {
      EndInfo after_end;
      if (!read_status(after_dir, after_end)) {
        if (supervisor_alive(after_dir)) return;  // still collecting
        // Gone without a record (its status is written before its lock
        // goes, so a second look tells): go on without it.
        if (!read_status(after_dir, after_end)) {
          spdlog::warn("job {}: the collection of counters and logs ended without a record", job_id(job));
        }
      }
      cr.after = "done";
      job.extra = cr.to_json();
    }
  }
  // The end: every application ended, the driver too.
  std::string failed;
  for (const AppInfo& a : cr.apps) {
    if (a.succeeded()) continue;
    if (!failed.empty()) failed += "; ";
    failed += a.id + " " + a.state + "/" + a.final_status;
    if (!a.diagnostics.empty()) failed += ": " + a.diagnostics.substr(0, 300);
  }
  if (job.kill_requested) return record_end(job, end, State::kKilled, "killed on request");
  if (end.has_exit_code && end.exit_code == 0 && failed.empty()) return record_end(job, end, State::kEndedOk, "");
  std::string message = end.signal != 0 ? "driver ended by signal " + std::to_string(end.signal)
                                        : "driver exit code " + std::to_string(end.exit_code);
  if (!failed.empty()) message += "; " + failed;
  record_end(job, end, State::kEndedNotOk, message);
}

bool JobService::start_after_step(const JobRecord& job, const ClusterRecord& cr, const std::string& dir,
                                  std::string& error) {
  // One step of the edge node's own commands: for each application a line
  // of YARN's figures, the MapReduce job's counters, its aggregated logs.
  static const char kScript[] =
      "bin=$1 logs=$2 cap=$3; shift 3\n"
      "for app in \"$@\"; do\n"
      "  id=${app%%|*}; rest=${app#*|}; type=${rest%%|*}; line=${rest#*|}\n"
      "  echo; echo \"==== kxcontainer: $line\"\n"
      "  if [ \"$type\" = MAPREDUCE ]; then \"$bin/mapred\" job -status \"job_${id#application_}\" 2>&1; fi\n"
      "  if [ \"$logs\" = true ]; then\n"
      "    echo \"==== kxcontainer: aggregated logs of $id\"\n"
      "    \"$bin/yarn\" logs -applicationId \"$id\" 2>&1 | head -c \"$cap\"\n"
      "  fi\n"
      "done\n";
  LaunchPlan plan;
  plan.argv = {"/bin/sh", "-c", kScript, "kx-after", config_.hadoop_bin_dir, config_.yarn_logs ? "true" : "false",
               std::to_string(config_.yarn_logs_max_bytes)};
  for (const AppInfo& a : cr.apps) {
    char figures[256];
    std::snprintf(figures, sizeof figures, "%s %s/%s, memory-seconds %lld, vcore-seconds %lld, elapsed %.3f s",
                  a.id.c_str(), a.state.c_str(), a.final_status.c_str(), static_cast<long long>(a.memory_seconds),
                  static_cast<long long>(a.vcore_seconds), a.elapsed_ms / 1000.0);
    plan.argv.push_back(a.id + "|" + a.type + "|" + a.name + ": " + figures);
  }
  plan.cwd = job.spool;
  plan.env = job_environment(job, job.spool);
  plan.env.push_back("HADOOP_CONF_DIR=" + config_.hadoop_conf_dir);
  plan.output_path = job.spool + "/" + kOutputFile;
  // The driver's output counts against the job's limit: what is appended
  // gets only what the driver left of it.
  const auto used = static_cast<std::uint64_t>(std::max<std::int64_t>(0, file_size(plan.output_path)));
  plan.max_output_bytes = config_.max_output_bytes - std::min<std::uint64_t>(used, config_.max_output_bytes);
  plan.kill_grace_seconds = config_.kill_grace_seconds;
  std::error_code ec;
  fs::create_directories(dir, ec);
  pid_t pid = 0;
  if (ec) {
    error = ec.message();
    return false;
  }
  if (!write_plan(dir, plan, error) || !spawn_supervisor(exe_, dir, pid, error)) return false;
  spdlog::info("job {}: collecting counters and logs of {} application(s)", job_id(job), cr.apps.size());
  return true;
}

void JobService::refresh(JobRecord& job) {
  if (!is_active(job.state) || job.spool.empty()) return;
  const JobType* type = find_job_type(job.job_type);
  const bool cluster = type != nullptr && type->uses_cluster();
  EndInfo end;
  if (read_status(job.spool, end)) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string error;
    if (!store_.get(job.id, job, error) || !is_active(job.state)) return;
    return cluster ? advance_cluster_job(job, end) : finalize(job, end);
  }
  // Asking takes the job's lock for a moment; a supervisor being spawned
  // (STARTING, under mu_) must not find it taken, so that job is asked below.
  if (job.state != State::kStarting && supervisor_alive(job.spool)) return;
  // The lock is free: the supervisor is gone. Its status, if it wrote one,
  // is complete now (it writes it before it lets go of the lock).
  std::lock_guard<std::mutex> lock(mu_);
  std::string error;
  if (!store_.get(job.id, job, error) || !is_active(job.state)) return;
  if (read_status(job.spool, end)) return cluster ? advance_cluster_job(job, end) : finalize(job, end);
  if (supervisor_alive(job.spool)) return;  // started just now by another thread
  StartedInfo started;
  if (!read_started(job.spool, started)) {
    // No supervisor ever got as far as the job: it never ran, so it may run.
    job.supervisor_pid = 0;
    job.message = "queued again: its supervisor was lost before the job started";
    if (!move(job, State::kWaiting, error)) spdlog::error("{}", error);
    return;
  }
  job.message = "the job's supervisor ended without recording the job's end";
  job.ended_ms = now_ms();
  job.autoedits = read_autoedits(job.spool);
  if (!move(job, State::kEndedNotOk, error)) spdlog::error("{}", error);
}

void JobService::cluster_tick() {
  std::string error;
  for (JobRecord job : store_.active(error)) {
    const JobType* type = find_job_type(job.job_type);
    if (type == nullptr || !type->uses_cluster() || job.spool.empty()) continue;
    ClusterRecord cr = ClusterRecord::from_json(job.extra);
    // The driver's own word on its applications, for a client that cannot
    // carry the tag: read as its output grows.
    const std::string output = job.spool + "/" + kOutputFile;
    const std::int64_t size = file_size(output);
    if (static_cast<std::int64_t>(cr.scanned) < size) {
      const std::uint64_t from = cr.scanned > 64 ? cr.scanned - 64 : 0;  // an id may straddle the last look
      const std::uint64_t to = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), from + (1u << 20));
      std::string text(static_cast<std::size_t>(to - from), '\0');
      const int fd = open_for_reading(output);
      if (fd >= 0) {
        const ssize_t n = ::pread(fd, text.data(), text.size(), static_cast<off_t>(from));
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        ::close(fd);
        for (std::string& id : find_application_ids(text)) {
          if (std::find(cr.output_ids.begin(), cr.output_ids.end(), id) == cr.output_ids.end()) {
            cr.output_ids.push_back(std::move(id));
          }
        }
        cr.scanned = from + text.size();
      }
    }
    std::vector<AppInfo> apps;
    std::string rm_error;
    if (cluster_.applications(cr.tag, cr.output_ids, apps, rm_error)) {
      if (!cr.rm_ok) spdlog::info("job {}: the ResourceManager answers again", job_id(job));
      // The ResourceManager forgets old applications: keep what it said last.
      for (AppInfo& a : apps) {
        auto known = std::find_if(cr.apps.begin(), cr.apps.end(), [&](const AppInfo& k) { return k.id == a.id; });
        if (known != cr.apps.end()) {
          *known = std::move(a);
        } else {
          cr.apps.push_back(std::move(a));
          spdlog::info("job {}: YARN application {}", job_id(job), cr.apps.back().id);
        }
      }
      cr.rm_ok = true;
      cr.rm_error.clear();
      cr.rm_failing_since_ms = 0;
      cr.rm_checked_ms = now_ms();
      if (!cr.apps.empty() && cr.all_final() && cr.apps_final_ms == 0) cr.apps_final_ms = now_ms();
      if (!cr.all_final()) cr.apps_final_ms = 0;
    } else {
      if (cr.rm_ok) {
        cr.rm_failing_since_ms = now_ms();
        spdlog::warn("job {}: {}; its last known state stands", job_id(job), rm_error);
      }
      cr.rm_ok = false;
      cr.rm_error = rm_error;
    }
    // A MapReduce job's counters, once the JobHistory server has them.
    if (cr.rm_ok) {
      for (AppInfo& a : cr.apps) {
        if (a.type != "MAPREDUCE" || !a.final() || !a.counters.empty()) continue;
        std::string text, counters_error;
        if (cluster_.counters(a.id, text, counters_error)) a.counters = text;
      }
    }
    if (job.kill_requested && cr.rm_ok) {
      for (const AppInfo& a : cr.apps) {
        std::string kill_error;
        if (!a.final() && !cluster_.kill(a.id, kill_error)) spdlog::warn("job {}: {}", job_id(job), kill_error);
      }
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      JobRecord fresh;
      std::string store_error;
      if (!store_.get(job.id, fresh, store_error) || !is_active(fresh.state)) continue;
      // Only what this pass asked about is written back: while YARN was
      // being asked, the monitor may have recorded the driver's end.
      ClusterRecord merged = ClusterRecord::from_json(fresh.extra);
      merged.output_ids = std::move(cr.output_ids);
      merged.scanned = cr.scanned;
      merged.apps = std::move(cr.apps);
      merged.rm_ok = cr.rm_ok;
      merged.rm_error = std::move(cr.rm_error);
      merged.rm_checked_ms = cr.rm_checked_ms;
      merged.rm_failing_since_ms = cr.rm_failing_since_ms;
      merged.apps_final_ms = cr.apps_final_ms;
      fresh.extra = merged.to_json();
      if (!store_.save(fresh, store_error)) spdlog::error("job {}: {}", job_id(job), store_error);
      job = fresh;
    }
    refresh(job);
  }
}

void JobService::start(JobRecord job) {
  // Caller holds mu_.
  std::string error;
  const JobType* type = find_job_type(job.job_type);
  job.spool = config_.spool_dir + "/" + std::to_string(job.id);
  if (!move(job, State::kStarting, error)) {
    spdlog::error("{}", error);
    return;
  }
  LaunchPlan plan;
  pid_t pid = 0;
  std::error_code ec;
  fs::create_directories(job.spool, ec);
  if (ec) {
    error = "cannot create the job directory " + job.spool + ": " + ec.message();
  } else if (type == nullptr) {
    error = "the container no longer offers the job type " + job.job_type;
  } else if (type->launch_plan(config_, job, job.spool, plan, error) && write_plan(job.spool, plan, error) &&
             spawn_supervisor(exe_, job.spool, pid, error)) {
    job.supervisor_pid = pid;
    job.started_ms = now_ms();
    if (!move(job, State::kExecuting, error)) spdlog::error("{}", error);
    return;
  }
  job.message = error;
  job.ended_ms = now_ms();
  if (!move(job, State::kFailedToStart, error)) spdlog::error("{}", error);
}

void JobService::dispatch() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string error;
  std::int64_t running = store_.count(State::kStarting, error) + store_.count(State::kExecuting, error);
  while (running < config_.max_running_jobs) {
    auto waiting = store_.in_state(State::kWaiting, 1, error);
    if (waiting.empty()) break;
    start(std::move(waiting.front()));
    ++running;
  }
  if (!error.empty()) spdlog::error("dispatch: {}", error);
}

void JobService::tick() {
  std::string error;
  for (JobRecord& job : store_.active(error)) {
    refresh(job);
    if (job.kill_requested && is_active(job.state)) request_kill(job.spool, static_cast<pid_t>(job.supervisor_pid));
  }
  if (!error.empty()) spdlog::error("monitor: {}", error);
  dispatch();
}

void JobService::recover() {
  std::string error;
  const auto active = store_.active(error);
  if (!error.empty()) spdlog::error("recovery: {}", error);
  int adopted = 0, ended = 0;
  for (JobRecord job : active) {
    refresh(job);
    if (is_active(job.state)) {
      ++adopted;
      // A kill asked of the container that died may not have reached it.
      if (job.kill_requested) request_kill(job.spool, static_cast<pid_t>(job.supervisor_pid));
    } else {
      ++ended;
    }
  }
  spdlog::info("recovery: {} running job(s) adopted, {} recorded as ended, {} waiting", adopted, ended,
               store_.count(State::kWaiting, error));
  dispatch();
}

bool JobService::read_key(const Request& request, Key& key, std::string& answer) {
  const std::string* orderno = request.get("ORDERNO");
  const std::string* runno = request.get("RUNNO");
  if (orderno == nullptr || runno == nullptr) {
    answer = error_answer(kErrMissingKey, request.action + " needs the attributes ORDERNO and RUNNO");
    return false;
  }
  if (!valid_key_part(*orderno) || !valid_key_part(*runno)) {
    answer = error_answer(kErrMissingKey,
                          "ORDERNO and RUNNO must each be 1 to 31 letters, digits, '.', '_' or '-'");
    return false;
  }
  key = {*orderno, *runno};
  return true;
}

bool JobService::find(const Key& key, JobRecord& job, std::string& answer) {
  std::string error;
  if (store_.get(key.orderno, key.runno, job, error)) {
    refresh(job);
    return true;
  }
  answer = error.empty() ? no_job(key.orderno, key.runno) : internal("job store: " + error);
  return false;
}

std::string JobService::submit(const Request& request) {
  Key key;
  std::string answer;
  if (!read_key(request, key, answer)) return answer;
  JobRecord job;
  std::string error;
  // A resent SUBMIT (the agent's call timed out) finds its job: it runs once.
  if (store_.get(key.orderno, key.runno, job, error)) {
    refresh(job);
    spdlog::info("job {} submitted again; answered with the existing job", job_id(job));
    return Answer().add("JOBID", job_id(job)).add("STATUS", agent_state(job.state)).finish();
  }
  if (!error.empty()) return internal("job store: " + error);
  const std::string* type_name = request.get("JOB_TYPE");
  if (type_name == nullptr || type_name->empty()) {
    return error_answer(kErrUnknownJobType, "SUBMIT needs the attribute JOB_TYPE (see LIST_JOB_TYPES)");
  }
  const JobType* type = find_job_type(*type_name);
  if (type == nullptr) {
    return error_answer(kErrUnknownJobType, "the container offers no job type '" + *type_name + "'");
  }
  if (!type->validate(request.body, error)) return error_answer(kErrBadAttribute, error);
  const std::int64_t waiting = store_.count(State::kWaiting, error);
  if (waiting >= config_.max_queued_jobs) {
    return error_answer(kErrQueueFull, std::to_string(waiting) + " jobs are waiting already (MaxQueuedJobs)");
  }
  job.orderno = key.orderno;
  job.runno = key.runno;
  job.job_type = type->name();
  job.state = State::kWaiting;
  job.attrs = request.body;
  job.submitted_ms = now_ms();
  if (type->uses_cluster()) {
    ClusterRecord cr;
    cr.tag = tag_for(job.orderno, job.runno);
    job.extra = cr.to_json();
  }
  bool created = false;
  if (!store_.insert_or_get(job, created, error)) return internal("job store: " + error);
  if (created) {
    spdlog::info("job {} submitted ({})", job_id(job), job.job_type);
    dispatch();
    store_.get(job.id, job, error);
  }
  return Answer().add("JOBID", job_id(job)).add("STATUS", agent_state(job.state)).finish();
}

std::string JobService::track(const Request& request, bool autoedits) {
  Key key;
  JobRecord job;
  std::string answer;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  Answer a;
  a.add("JOBID", job_id(job))
      .add("STATUS", agent_state(job.state))
      .add("EXITCODE", job.has_exit_code && is_final(job.state) ? std::to_string(job.exit_code) : std::string())
      .add("STARTTIME", iso_time(job.started_ms))
      .add("ENDTIME", iso_time(job.ended_ms))
      .add("MESSAGE", cluster_message(job));
  add_applications(a, job);
  if (autoedits) {
    // While it runs, what the job has handed back so far.
    const Attributes values = is_active(job.state) && !job.spool.empty() ? read_autoedits(job.spool) : job.autoedits;
    int n = 0;
    for (const auto& [name, value] : values) a.add("AUTOEDITOUT" + std::to_string(++n), name + "=" + value);
  }
  return a.finish();
}

std::string JobService::kill(const Request& request) {
  Key key;
  JobRecord job;
  std::string answer, error;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!store_.get(job.id, job, error)) return internal("job store: " + error);
    if (job.state == State::kWaiting) {
      job.kill_requested = true;
      job.message = "killed before it started";
      job.ended_ms = now_ms();
      if (!move(job, State::kKilled, error)) return internal(error);
    } else if (is_active(job.state) && !job.kill_requested) {
      job.kill_requested = true;
      if (!store_.save(job, error)) return internal("job store: " + error);
      spdlog::info("job {}: kill requested", job_id(job));
    }
  }
  if (is_active(job.state)) {
    const ClusterRecord cr = ClusterRecord::from_json(job.extra);
    if (!cr.driver_ended && !request_kill(job.spool, static_cast<pid_t>(job.supervisor_pid))) {
      spdlog::warn("job {}: its supervisor (pid {}) did not take the kill request", job_id(job), job.supervisor_pid);
    }
    // YARN's applications are killed through YARN; the monitor goes on
    // killing any that turn up later.
    for (const AppInfo& app : cr.apps) {
      std::string kill_error;
      if (!app.final() && !cluster_.kill(app.id, kill_error)) spdlog::warn("job {}: {}", job_id(job), kill_error);
    }
    // Most jobs end at once; one that holds out is reported as still
    // executing and ends after the grace period.
    const auto deadline = std::chrono::steady_clock::now() + kKillWait;
    while (is_active(job.state) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      refresh(job);
    }
  }
  return Answer().add("STATUS", agent_state(job.state)).finish();
}

std::string JobService::remove(const Request& request) {
  Key key;
  std::string answer, error;
  if (!read_key(request, key, answer)) return answer;
  JobRecord job;
  std::lock_guard<std::mutex> lock(mu_);
  if (!store_.get(key.orderno, key.runno, job, error)) {
    if (!error.empty()) return internal("job store: " + error);
    // Deleting what is gone already is done: a resent DELETE succeeds.
    return Answer().add("STATUS", "DELETED").finish();
  }
  if (is_active(job.state)) {
    return error_answer(kErrJobActive, "job " + job_id(job) + " is still executing; kill it before deleting it");
  }
  if (!store_.remove(job.id, error)) return internal("job store: " + error);
  if (!job.spool.empty()) {
    std::error_code ec;
    fs::remove_all(job.spool, ec);
    if (ec) spdlog::warn("job {}: cannot remove {}: {}", job_id(job), job.spool, ec.message());
  }
  spdlog::info("job {} deleted", job_id(job));
  return Answer().add("STATUS", "DELETED").finish();
}

std::string JobService::statistics(const Request& request) {
  Key key;
  JobRecord job;
  std::string answer;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  std::int64_t utime = job.utime_us, stime = job.stime_us, rss = job.maxrss_kb, out = job.output_bytes;
  std::int64_t elapsed_ms = 0;
  if (job.started_ms > 0) elapsed_ms = (job.ended_ms > 0 ? job.ended_ms : now_ms()) - job.started_ms;
  if (is_active(job.state)) {
    StartedInfo started;
    if (read_started(job.spool, started) && started.job_pid > 0) {
      process_usage(static_cast<pid_t>(started.job_pid), utime, stime, rss);
    }
    out = file_size(job.spool + "/" + kOutputFile);
  }
  Answer a;
  a.add("STATUS", agent_state(job.state))
      .add("ELAPSED", seconds_text(elapsed_ms * 1000))
      .add("CPU_USER", seconds_text(utime))
      .add("CPU_SYSTEM", seconds_text(stime))
      .add("MAX_RSS_KB", rss)
      .add("OUTPUT_BYTES", out);
  const ClusterRecord cr = ClusterRecord::from_json(job.extra);
  long long memory = 0, vcores = 0;
  std::vector<std::string> usage;
  for (const AppInfo& app : cr.apps) {
    memory += app.memory_seconds;
    vcores += app.vcore_seconds;
    char line[160];
    std::snprintf(line, sizeof line, "%s memory-seconds=%lld vcore-seconds=%lld elapsed=%s", app.id.c_str(),
                  static_cast<long long>(app.memory_seconds), static_cast<long long>(app.vcore_seconds),
                  seconds_text(app.elapsed_ms * 1000).c_str());
    usage.push_back(line);
  }
  std::vector<std::string> counters;
  for (const AppInfo& app : cr.apps) {
    if (!app.counters.empty()) counters.push_back(app.counters);
  }
  return a.add("YARN_APPS", static_cast<long long>(cr.apps.size()))
      .add("MEMORY_SECONDS", memory)
      .add("VCORE_SECONDS", vcores)
      .add("APPLICATION_USAGE", joined(usage, "; "))
      .add("COUNTERS", joined(counters, ";"))
      .finish();
}

std::string JobService::sysout_get(const Request& request) {
  Key key;
  JobRecord job;
  std::string answer;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  std::uint64_t offset = 0, size = 0;
  if (!read_unsigned(request.get("SYSOUT_OFFSET"), offset)) {
    return error_answer(kErrBadAttribute, "SYSOUT_GET needs SYSOUT_OFFSET, an unsigned number");
  }
  if (!read_unsigned(request.get("SYSOUT_BLOCK_SIZE"), size) || size == 0) {
    return error_answer(kErrBadAttribute, "SYSOUT_GET needs SYSOUT_BLOCK_SIZE, a number above 0");
  }
  if (job.output_deleted) {
    return error_answer(kErrOutputDeleted, "the output of job " + job_id(job) + " was deleted");
  }
  size = std::min(size, kMaxBlock);
  // The state is read before the output: once a job has ended, its output
  // is complete, so "ended" and "everything read" can be told together.
  const bool ended = is_final(job.state);
  std::string text;
  std::int64_t total = 0;
  if (!job.spool.empty() && offset != kEndedOffset) {
    const int fd = open_for_reading(job.spool + "/" + kOutputFile);
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) == 0) total = st.st_size;
      if (offset < static_cast<std::uint64_t>(total)) {
        // Three bytes more than the block, to see whether the block's end
        // splits a character.
        const std::uint64_t want = std::min<std::uint64_t>(size + 3, static_cast<std::uint64_t>(total) - offset);
        text.resize(static_cast<std::size_t>(want));
        const ssize_t n = ::pread(fd, text.data(), text.size(), static_cast<off_t>(offset));
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      }
      ::close(fd);
    }
  }
  std::size_t take = utf8_prefix(text, static_cast<std::size_t>(size));
  // A running job may be in the middle of writing a character: it is handed
  // out once it is whole.
  if (!ended && take == text.size()) take = utf8_complete(text);
  // A character longer than the whole block goes out as its first byte
  // (shown as '?') rather than stall the read.
  if (take == 0 && text.size() > size) take = 1;
  text.resize(take);
  const std::uint64_t next = offset == kEndedOffset ? offset : offset + take;
  const bool all_read = ended && (offset == kEndedOffset || next >= static_cast<std::uint64_t>(total));
  return Answer()
      .add("SYSOUT_TEXT", text)
      .add("SYSOUT_OFFSET", all_read ? std::string("-1") : std::to_string(next))
      .finish();
}

std::string JobService::sysout_statements(const Request& request) {
  Key key;
  JobRecord job;
  std::string answer;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  std::uint64_t offset = 0, stmt_size = 0, code_size = 0;
  if (!read_unsigned(request.get("SYSOUT_OFFSET"), offset)) {
    return error_answer(kErrBadAttribute, "SYSOUT_ONSTMT needs SYSOUT_OFFSET, an unsigned number");
  }
  if (!read_unsigned(request.get("SYSOUT_STMT_SIZE"), stmt_size) || stmt_size == 0) {
    return error_answer(kErrBadAttribute, "SYSOUT_ONSTMT needs SYSOUT_STMT_SIZE, a number above 0");
  }
  if (!read_unsigned(request.get("SYSOUT_BLOCK_SIZE"), code_size)) code_size = 0;
  const JobType* type = find_job_type(job.job_type);
  // A job's steps are handed out once it has ended; until then the answer
  // holds no statement and the agent asks again.
  if (!is_final(job.state) || type == nullptr) {
    return Answer().add("SYSOUT_OFFSET", std::to_string(offset)).finish();
  }
  const std::vector<Step> steps = type->steps(job);
  if (offset >= steps.size()) return std::string();  // the end: an empty answer
  const Step& step = steps[offset];
  std::string statement = step.statement.substr(0, utf8_prefix(step.statement, stmt_size));
  std::string code = step.code.substr(0, code_size > 0 ? utf8_prefix(step.code, code_size) : step.code.size());
  return Answer()
      .add("ONSTMT", statement)
      .add("ONCODE", code)
      .add("SYSOUT_OFFSET", std::to_string(offset + 1))
      .finish();
}

std::string JobService::sysout_action(const Request& request) {
  Key key;
  JobRecord job;
  std::string answer, error;
  if (!read_key(request, key, answer) || !find(key, job, answer)) return answer;
  const std::string output = job.spool.empty() ? std::string() : job.spool + "/" + kOutputFile;
  if (job.output_deleted) return error_answer(kErrOutputDeleted, "the output of job " + job_id(job) + " was deleted");
  if (request.action == "SYSOUT_CLEAR") {
    if (!output.empty() && ::truncate(output.c_str(), 0) != 0 && errno != ENOENT) {
      return internal("cannot clear " + output + ": " + std::strerror(errno));
    }
    spdlog::info("job {}: output cleared", job_id(job));
    return Answer().add("STATUS", agent_state(job.state)).finish();
  }
  if (request.action == "SYSOUT_D") {
    // Decided under the lock: a waiting job may be started at any moment.
    std::lock_guard<std::mutex> lock(mu_);
    if (!store_.get(job.id, job, error)) return internal("job store: " + error);
    if (!is_final(job.state)) {
      return error_answer(kErrJobActive, "job " + job_id(job) + " has not ended; its output cannot be deleted");
    }
    job.output_deleted = true;
    if (!store_.save(job, error)) return internal("job store: " + error);
    if (!output.empty()) ::unlink(output.c_str());
    spdlog::info("job {}: output deleted", job_id(job));
    return Answer().add("STATUS", agent_state(job.state)).finish();
  }
  std::string target;
  if (request.action == "SYSOUT_F") {
    target = attribute(request.body, "SYSOUT_FILE");
    if (target.empty() || target[0] != '/') {
      return error_answer(kErrBadAttribute, "SYSOUT_F needs SYSOUT_FILE, an absolute path for the copy");
    }
  } else {
    std::error_code ec;
    fs::create_directories(config_.save_dir, ec);
    target = config_.save_dir + "/" + job.orderno + "_" + job.runno + "_" + std::to_string(now_ms()) + ".out";
  }
  if (!copy_output(output, target, error)) return error_answer(kErrBadAttribute, error);
  spdlog::info("job {}: output copied to {}", job_id(job), target);
  return Answer().add("SYSOUT_FILE", target).finish();
}

std::string JobService::list_jobs(const Request& request) {
  JobFilter filter;
  if (const std::string* s = request.get("STATUS")) {
    // STARTING is EXECUTING to the agent.
    filter.states = {*s};
    if (*s == "EXECUTING") filter.states.push_back("STARTING");
  }
  if (const std::string* o = request.get("ORDERNO")) filter.orderno = *o;
  if (const std::string* l = request.get("LIMIT")) {
    std::uint64_t limit;
    if (!read_unsigned(l, limit) || limit == 0 || limit > 100000) {
      return error_answer(kErrBadAttribute, "LIMIT must be a number from 1 to 100000");
    }
    filter.limit = static_cast<int>(limit);
  }
  std::string error;
  auto jobs = store_.list(filter, error);
  if (!error.empty()) return internal("job store: " + error);
  Answer a;
  a.open("JOBS");
  for (const JobRecord& j : jobs) {
    a.open("JOB")
        .add("ORDERNO", j.orderno)
        .add("RUNNO", j.runno)
        .add("JOBID", job_id(j))
        .add("JOB_TYPE", j.job_type)
        .add("STATUS", agent_state(j.state))
        .add("EXITCODE", j.has_exit_code && is_final(j.state) ? std::to_string(j.exit_code) : std::string())
        .add("SUBMITTED", iso_time(j.submitted_ms))
        .add("STARTTIME", iso_time(j.started_ms))
        .add("ENDTIME", iso_time(j.ended_ms))
        .close("JOB");
  }
  return a.close("JOBS").finish();
}

std::string JobService::list_job_types() {
  Answer a;
  a.open("JOB_TYPES");
  for (const JobType* t : job_types()) {
    a.open("JOB_TYPE").add("NAME", t->name()).add("DESCRIPTION", t->description()).close("JOB_TYPE");
  }
  return a.close("JOB_TYPES").finish();
}

std::string JobService::list_queues() {
  std::vector<QueueInfo> queues;
  std::string error;
  if (!cluster_.queues(queues, error)) return error_answer(kErrCluster, "cannot list the queues: " + error);
  Answer a;
  a.open("QUEUES");
  for (const QueueInfo& q : queues) {
    char capacity[32], max_capacity[32], used[32];
    std::snprintf(capacity, sizeof capacity, "%.1f", q.capacity);
    std::snprintf(max_capacity, sizeof max_capacity, "%.1f", q.max_capacity);
    std::snprintf(used, sizeof used, "%.1f", q.used_capacity);
    a.open("QUEUE")
        .add("NAME", q.name)
        .add("STATE", q.state)
        .add("CAPACITY", capacity)
        .add("MAX_CAPACITY", max_capacity)
        .add("USED_CAPACITY", used)
        .close("QUEUE");
  }
  return a.close("QUEUES").finish();
}

std::string JobService::cluster_message(const JobRecord& job) const {
  const ClusterRecord cr = ClusterRecord::from_json(job.extra);
  if (cr.rm_ok || !is_active(job.state)) return job.message;
  return "the ResourceManager has not answered since " + iso_time(cr.rm_failing_since_ms) + " (" + cr.rm_error +
         "); the state shown is the last it gave";
}

void JobService::add_applications(Answer& a, const JobRecord& job) const {
  const ClusterRecord cr = ClusterRecord::from_json(job.extra);
  std::vector<std::string> ids, states, finals;
  double progress = 0;
  for (const AppInfo& app : cr.apps) {
    ids.push_back(app.id);
    states.push_back(app.state);
    finals.push_back(app.final_status);
    progress += app.final() ? 100.0 : app.progress;
  }
  const int percent = cr.apps.empty() ? (is_final(job.state) ? 100 : 0)
                                      : static_cast<int>(progress / static_cast<double>(cr.apps.size()));
  a.add("APPLICATIONS", joined(ids, ","))
      .add("YARN_STATE", joined(states, ","))
      .add("YARN_FINAL_STATUS", joined(finals, ","))
      .add("PROGRESS", percent)
      .add("TRACKING_URL", cr.apps.empty() ? std::string() : cr.apps.back().tracking_url);
}

std::string JobService::handle(const Request& request) {
  const std::string& action = request.action;
  if (action == "SUBMIT") return submit(request);
  if (action == "TRACK") return track(request, true);
  if (action == "TRACK_INIT") return track(request, false);
  if (action == "KILL") return kill(request);
  if (action == "DELETE") return remove(request);
  if (action == "STATISTICS") return statistics(request);
  if (action == "SYSOUT_GET") return sysout_get(request);
  if (action == "SYSOUT_ONSTMT") return sysout_statements(request);
  if (action == "SYSOUT_CLEAR" || action == "SYSOUT_F" || action == "SYSOUT_N" || action == "SYSOUT_D") {
    return sysout_action(request);
  }
  if (action == "LIST_JOBS") return list_jobs(request);
  if (action == "LIST_JOB_TYPES") return list_job_types();
  if (action == "LIST_QUEUES") return list_queues();
  return error_answer(kErrUnknownAction, "the container has no action '" + action + "'");
}

}  // namespace kc
