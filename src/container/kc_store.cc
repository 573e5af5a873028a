#include "kc_store.h"

#include <sqlite3.h>

#include <nlohmann/json.hpp>

namespace kc {

namespace {

constexpr int kSchemaVersion = 1;

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS jobs(
  id             INTEGER PRIMARY KEY AUTOINCREMENT,
  orderno        TEXT NOT NULL,
  runno          TEXT NOT NULL,
  job_type       TEXT NOT NULL,
  state          TEXT NOT NULL,
  attrs          TEXT NOT NULL,
  has_exit_code  INTEGER NOT NULL DEFAULT 0,
  exit_code      INTEGER NOT NULL DEFAULT 0,
  message        TEXT NOT NULL DEFAULT '',
  submitted_ms   INTEGER NOT NULL DEFAULT 0,
  started_ms     INTEGER NOT NULL DEFAULT 0,
  ended_ms       INTEGER NOT NULL DEFAULT 0,
  supervisor_pid INTEGER NOT NULL DEFAULT 0,
  job_pid        INTEGER NOT NULL DEFAULT 0,
  spool          TEXT NOT NULL DEFAULT '',
  autoedits      TEXT NOT NULL DEFAULT '[]',
  utime_us       INTEGER NOT NULL DEFAULT 0,
  stime_us       INTEGER NOT NULL DEFAULT 0,
  maxrss_kb      INTEGER NOT NULL DEFAULT 0,
  output_bytes   INTEGER NOT NULL DEFAULT 0,
  kill_requested INTEGER NOT NULL DEFAULT 0,
  output_deleted INTEGER NOT NULL DEFAULT 0,
  extra          TEXT NOT NULL DEFAULT '',
  UNIQUE(orderno, runno));
CREATE INDEX IF NOT EXISTS jobs_by_state ON jobs(state, id);
)sql";

constexpr char kColumns[] =
    "id, orderno, runno, job_type, state, attrs, has_exit_code, exit_code, message, submitted_ms, "
    "started_ms, ended_ms, supervisor_pid, job_pid, spool, autoedits, utime_us, stime_us, maxrss_kb, "
    "output_bytes, kill_requested, output_deleted, extra";

// A prepared statement, finalized when it goes out of scope.
class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
      error_ = sqlite3_errmsg(db);
      stmt_ = nullptr;
    }
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  const std::string& error() const { return error_; }
  sqlite3_stmt* get() const { return stmt_; }

  void bind(int i, const std::string& s) {
    sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  }
  void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  std::string text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p != nullptr ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  std::string error_;
};

std::string pairs_to_json(const Attributes& pairs) {
  nlohmann::json j = nlohmann::json::array();
  for (const auto& [n, v] : pairs) j.push_back({n, v});
  // Values are the agent's bytes: not always valid UTF-8, so kept as they
  // are rather than refused.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Attributes pairs_from_json(const std::string& text) {
  Attributes out;
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_array()) return out;
  for (const auto& p : j) {
    if (p.is_array() && p.size() == 2 && p[0].is_string() && p[1].is_string()) {
      out.emplace_back(p[0].get<std::string>(), p[1].get<std::string>());
    }
  }
  return out;
}

JobRecord read_row(const Stmt& s) {
  JobRecord r;
  r.id = s.integer(0);
  r.orderno = s.text(1);
  r.runno = s.text(2);
  r.job_type = s.text(3);
  parse_state(s.text(4), r.state);
  r.attrs = pairs_from_json(s.text(5));
  r.has_exit_code = s.integer(6) != 0;
  r.exit_code = static_cast<int>(s.integer(7));
  r.message = s.text(8);
  r.submitted_ms = s.integer(9);
  r.started_ms = s.integer(10);
  r.ended_ms = s.integer(11);
  r.supervisor_pid = s.integer(12);
  r.job_pid = s.integer(13);
  r.spool = s.text(14);
  r.autoedits = pairs_from_json(s.text(15));
  r.utime_us = s.integer(16);
  r.stime_us = s.integer(17);
  r.maxrss_kb = s.integer(18);
  r.output_bytes = s.integer(19);
  r.kill_requested = s.integer(20) != 0;
  r.output_deleted = s.integer(21) != 0;
  r.extra = s.text(22);
  return r;
}

// Binds the mutable fields of r to ?1..?19 in the order of kUpdate.
void bind_fields(Stmt& s, const JobRecord& r) {
  s.bind(1, std::string(state_name(r.state)));
  s.bind(2, static_cast<std::int64_t>(r.has_exit_code));
  s.bind(3, static_cast<std::int64_t>(r.exit_code));
  s.bind(4, r.message);
  s.bind(5, r.started_ms);
  s.bind(6, r.ended_ms);
  s.bind(7, r.supervisor_pid);
  s.bind(8, r.job_pid);
  s.bind(9, r.spool);
  s.bind(10, pairs_to_json(r.autoedits));
  s.bind(11, r.utime_us);
  s.bind(12, r.stime_us);
  s.bind(13, r.maxrss_kb);
  s.bind(14, r.output_bytes);
  s.bind(15, static_cast<std::int64_t>(r.kill_requested));
  s.bind(16, static_cast<std::int64_t>(r.output_deleted));
  s.bind(17, r.extra);
  s.bind(18, r.id);
}

constexpr char kUpdate[] =
    "UPDATE jobs SET state=?1, has_exit_code=?2, exit_code=?3, message=?4, started_ms=?5, ended_ms=?6, "
    "supervisor_pid=?7, job_pid=?8, spool=?9, autoedits=?10, utime_us=?11, stime_us=?12, maxrss_kb=?13, "
    "output_bytes=?14, kill_requested=?15, output_deleted=?16, extra=?17 WHERE id=?18";

struct StateName {
  State state;
  const char* name;
};
constexpr StateName kStates[] = {
    {State::kWaiting, "WAITING"},   {State::kStarting, "STARTING"},       {State::kExecuting, "EXECUTING"},
    {State::kEndedOk, "ENDED_OK"},  {State::kEndedNotOk, "ENDED_NOTOK"}, {State::kKilled, "KILLED"},
    {State::kFailedToStart, "FAILED_TO_START"},
};

}  // namespace

const char* state_name(State state) {
  for (const auto& s : kStates) {
    if (s.state == state) return s.name;
  }
  return "UNKNOWN";
}

bool parse_state(const std::string& name, State& state) {
  for (const auto& s : kStates) {
    if (name == s.name) {
      state = s.state;
      return true;
    }
  }
  return false;
}

bool is_final(State state) {
  return state == State::kEndedOk || state == State::kEndedNotOk || state == State::kKilled ||
         state == State::kFailedToStart;
}

bool transition_allowed(State from, State to) {
  if (is_final(from)) return false;
  switch (to) {
    // A start that never got as far as the job's process: it may run later.
    case State::kWaiting: return from == State::kStarting || from == State::kExecuting;
    case State::kStarting: return from == State::kWaiting;
    case State::kExecuting: return from == State::kStarting;
    case State::kKilled: return true;
    case State::kFailedToStart:
    case State::kEndedOk:
    case State::kEndedNotOk: return from == State::kStarting || from == State::kExecuting;
  }
  return false;
}

std::unique_ptr<Store> Store::open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "cannot open the job store " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(db));
  sqlite3_busy_timeout(db, 5000);
  if (!store->exec("PRAGMA journal_mode=WAL", error) || !store->exec("PRAGMA synchronous=FULL", error) ||
      !store->exec(kSchema, error)) {
    error = "job store " + path + ": " + error;
    return nullptr;
  }
  Stmt v(db, "PRAGMA user_version");
  int version = 0;
  if (v.ok() && sqlite3_step(v.get()) == SQLITE_ROW) version = static_cast<int>(v.integer(0));
  if (version > kSchemaVersion) {
    error = "job store " + path + " was written by a newer container (schema " + std::to_string(version) + ")";
    return nullptr;
  }
  if (version < kSchemaVersion &&
      !store->exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error)) {
    return nullptr;
  }
  return store;
}

Store::~Store() { sqlite3_close(db_); }

bool Store::exec(const char* sql, std::string& error) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg != nullptr ? msg : "unknown error";
    sqlite3_free(msg);
    return false;
  }
  return true;
}

bool Store::insert_or_get(JobRecord& job, bool& created, std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt ins(db_,
           "INSERT INTO jobs(orderno, runno, job_type, state, attrs, submitted_ms, spool, extra) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT(orderno, runno) DO NOTHING");
  if (!ins.ok()) {
    error = ins.error();
    return false;
  }
  ins.bind(1, job.orderno);
  ins.bind(2, job.runno);
  ins.bind(3, job.job_type);
  ins.bind(4, std::string(state_name(job.state)));
  ins.bind(5, pairs_to_json(job.attrs));
  ins.bind(6, job.submitted_ms);
  ins.bind(7, job.spool);
  ins.bind(8, job.extra);
  if (sqlite3_step(ins.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  created = sqlite3_changes(db_) == 1;
  Stmt sel(db_, std::string("SELECT ") + kColumns + " FROM jobs WHERE orderno=?1 AND runno=?2");
  sel.bind(1, job.orderno);
  sel.bind(2, job.runno);
  if (!sel.ok() || sqlite3_step(sel.get()) != SQLITE_ROW) {
    error = sel.ok() ? sqlite3_errmsg(db_) : sel.error();
    return false;
  }
  job = read_row(sel);
  return true;
}

std::vector<JobRecord> Store::query(const std::string& where, const std::vector<std::string>& args, int limit,
                                    std::string& error) {
  std::vector<JobRecord> out;
  std::lock_guard<std::mutex> lock(mu_);
  std::string sql = std::string("SELECT ") + kColumns + " FROM jobs";
  if (!where.empty()) sql += " WHERE " + where;
  sql += " ORDER BY id";
  if (limit > 0) sql += " LIMIT " + std::to_string(limit);
  Stmt s(db_, sql);
  if (!s.ok()) {
    error = s.error();
    return out;
  }
  for (std::size_t i = 0; i < args.size(); ++i) s.bind(static_cast<int>(i + 1), args[i]);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) out.push_back(read_row(s));
  if (rc != SQLITE_DONE) error = sqlite3_errmsg(db_);
  return out;
}

bool Store::get(const std::string& orderno, const std::string& runno, JobRecord& job, std::string& error) {
  error.clear();
  auto rows = query("orderno=?1 AND runno=?2", {orderno, runno}, 1, error);
  if (rows.empty()) return false;
  job = std::move(rows.front());
  return true;
}

bool Store::get(std::int64_t id, JobRecord& job, std::string& error) {
  error.clear();
  auto rows = query("id=?1", {std::to_string(id)}, 1, error);
  if (rows.empty()) return false;
  job = std::move(rows.front());
  return true;
}

bool Store::save(const JobRecord& job, std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, kUpdate);
  if (!s.ok()) {
    error = s.error();
    return false;
  }
  bind_fields(s, job);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  if (sqlite3_changes(db_) != 1) {
    error = "job " + std::to_string(job.id) + " is not in the store";
    return false;
  }
  return true;
}

bool Store::save_if_state(const JobRecord& job, State from, std::string& error) {
  error.clear();
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, std::string(kUpdate) + " AND state=?19");
  if (!s.ok()) {
    error = s.error();
    return false;
  }
  bind_fields(s, job);
  s.bind(19, std::string(state_name(from)));
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return sqlite3_changes(db_) == 1;
}

bool Store::remove(std::int64_t id, std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "DELETE FROM jobs WHERE id=?1");
  if (!s.ok()) {
    error = s.error();
    return false;
  }
  s.bind(1, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

std::vector<JobRecord> Store::in_state(State state, int limit, std::string& error) {
  return query("state=?1", {state_name(state)}, limit, error);
}

std::vector<JobRecord> Store::active(std::string& error) {
  return query("state IN ('STARTING', 'EXECUTING')", {}, 0, error);
}

std::int64_t Store::count(State state, std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT count(*) FROM jobs WHERE state=?1");
  if (!s.ok()) {
    error = s.error();
    return -1;
  }
  s.bind(1, std::string(state_name(state)));
  return sqlite3_step(s.get()) == SQLITE_ROW ? s.integer(0) : -1;
}

std::int64_t Store::count_all(std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT count(*) FROM jobs");
  if (!s.ok()) {
    error = s.error();
    return -1;
  }
  return sqlite3_step(s.get()) == SQLITE_ROW ? s.integer(0) : -1;
}

std::vector<JobRecord> Store::list(const JobFilter& filter, std::string& error) {
  std::string where;
  std::vector<std::string> args;
  for (const std::string& state : filter.states) {
    args.push_back(state);
    where += (where.empty() ? "state IN (?" : ", ?") + std::to_string(args.size());
  }
  if (!where.empty()) where += ")";
  if (!filter.orderno.empty()) {
    args.push_back(filter.orderno);
    where += (where.empty() ? "" : " AND ") + std::string("orderno=?") + std::to_string(args.size());
  }
  return query(where, args, filter.limit, error);
}

}  // namespace kc
