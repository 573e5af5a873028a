// kc_store.h - the durable job store: one SQLite database in WAL mode.
//
// A job is keyed by ORDERNO and RUNNO. Every write is one transaction,
// committed (synchronous=FULL) before the call returns, so whatever an answer
// reports survives a crash of the container at any instant. One connection,
// guarded by a mutex: every statement is short.
#ifndef BE_HADOOP_CONTAINER_KC_STORE_H
#define BE_HADOOP_CONTAINER_KC_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kc_document.h"

struct sqlite3;

namespace kc {

// A job's life: WAITING (queued) -> STARTING (its supervisor is being
// started) -> EXECUTING -> one of the four ends. A job killed while waiting
// goes straight to KILLED. The ends are final.
enum class State { kWaiting, kStarting, kExecuting, kEndedOk, kEndedNotOk, kKilled, kFailedToStart };

// The name in the store and, but for STARTING (which the agent sees as
// EXECUTING), in answers.
const char* state_name(State state);
bool parse_state(const std::string& name, State& state);
bool is_final(State state);
// The one rule for moving a job from one state to another.
bool transition_allowed(State from, State to);

struct JobRecord {
  std::int64_t id = 0;
  std::string orderno, runno;
  std::string job_type;
  State state = State::kWaiting;
  Attributes attrs;             // the SUBMIT's input attributes
  bool has_exit_code = false;
  int exit_code = 0;
  std::string message;          // why it ended as it did, for the operator
  std::int64_t submitted_ms = 0, started_ms = 0, ended_ms = 0;  // ms since the epoch; 0: not yet
  std::int64_t supervisor_pid = 0, job_pid = 0;
  std::string spool;            // the job's own directory
  Attributes autoedits;         // name=value pairs the job handed back
  std::int64_t utime_us = 0, stime_us = 0, maxrss_kb = 0, output_bytes = 0;
  bool kill_requested = false;
  bool output_deleted = false;
  std::string extra;            // JSON kept by the job type (cluster applications...)
};

struct JobFilter {
  std::vector<std::string> states;  // state names, or empty for all
  std::string orderno;  // exact, or empty for all
  int limit = 1000;
};

class Store {
 public:
  // Opens (creating) the database at path. Null with error on failure.
  static std::unique_ptr<Store> open(const std::string& path, std::string& error);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Inserts job (id, state and times are the caller's) unless its key is
  // taken; either way job ends up holding the stored record. created tells
  // which. False with error when the store fails.
  bool insert_or_get(JobRecord& job, bool& created, std::string& error);
  // The record of a key or of an id; false when there is none (error empty)
  // or the store fails (error set).
  bool get(const std::string& orderno, const std::string& runno, JobRecord& job, std::string& error);
  bool get(std::int64_t id, JobRecord& job, std::string& error);
  // Writes every field of job (by id). False when no such row or on failure.
  bool save(const JobRecord& job, std::string& error);
  // Writes job only if its stored state is still from; false (error empty)
  // when another writer moved it first.
  bool save_if_state(const JobRecord& job, State from, std::string& error);
  bool remove(std::int64_t id, std::string& error);

  // Jobs in the given state, oldest first, at most limit.
  std::vector<JobRecord> in_state(State state, int limit, std::string& error);
  // STARTING and EXECUTING jobs.
  std::vector<JobRecord> active(std::string& error);
  std::int64_t count(State state, std::string& error);
  std::int64_t count_all(std::string& error);
  std::vector<JobRecord> list(const JobFilter& filter, std::string& error);

 private:
  explicit Store(sqlite3* db) : db_(db) {}
  bool exec(const char* sql, std::string& error);
  std::vector<JobRecord> query(const std::string& where, const std::vector<std::string>& args, int limit,
                               std::string& error);

  std::mutex mu_;
  sqlite3* db_;
};

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_STORE_H
