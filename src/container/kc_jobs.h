// kc_jobs.h - the job service: every action of the agent on the container's
// jobs, and the monitor that notices jobs ending and starts queued ones.
//
// The store is the truth; the job directories (kc_supervisor.h) tell how
// running jobs are doing. Every change of state is committed to the store
// before the answer that reports it is built.
#ifndef BE_HADOOP_CONTAINER_KC_JOBS_H
#define BE_HADOOP_CONTAINER_KC_JOBS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "kc_cluster.h"
#include "kc_config.h"
#include "kc_document.h"
#include "kc_store.h"
#include "kc_supervisor.h"

namespace kc {

// The codes of a KXError answer. Never 0 (0 means success to the library).
enum ErrorCode : unsigned {
  kErrMalformed = 1,       // the request is not a well-formed request document
  kErrMissingKey = 2,      // ORDERNO or RUNNO missing or not usable
  kErrUnknownAction = 3,   // the container has no such action
  kErrUnknownJobType = 4,  // JOB_TYPE missing or not offered
  kErrNoSuchJob = 5,       // no job of that ORDERNO and RUNNO
  kErrBadAttribute = 6,    // an attribute's value cannot be used
  kErrJobActive = 7,       // the action needs a job that is not running
  // 8 is not used: a request over MaxRequestBytes gets HTTP 413 unread.
  kErrInternal = 9,        // the store or the spool failed
  kErrOutputDeleted = 10,  // the job's output was deleted
  kErrStopping = 11,       // the container is stopping
  kErrQueueFull = 12,      // MaxQueuedJobs jobs are waiting already
  kErrCluster = 13,        // the ResourceManager did not answer
};

class JobService {
 public:
  // exe: this program, started again as each job's supervisor.
  JobService(const Config& config, Store& store, std::string exe);

  // Brings the store up to date with the job directories after a start:
  // jobs that ended while no container ran get their end, live ones are
  // adopted, starts that never happened are queued again.
  void recover();

  // One request document in, one answer document out. An empty answer is
  // the end of an output read by statement.
  std::string handle(const Request& request);

  // One pass of the monitor: ended jobs recorded, waiting jobs started.
  void tick();
  // One pass over the Hadoop jobs: their YARN applications asked for,
  // killed when their job is, and the end decided once YARN has spoken.
  void cluster_tick();

  // Counts for the status answer.
  std::int64_t count(State state);

 private:
  struct Key {
    std::string orderno, runno;
  };
  bool read_key(const Request& request, Key& key, std::string& answer);
  bool find(const Key& key, JobRecord& job, std::string& answer);

  std::string submit(const Request& request);
  std::string track(const Request& request, bool autoedits);
  std::string kill(const Request& request);
  std::string remove(const Request& request);
  std::string statistics(const Request& request);
  std::string sysout_get(const Request& request);
  std::string sysout_statements(const Request& request);
  std::string sysout_action(const Request& request);
  std::string list_jobs(const Request& request);
  std::string list_job_types();
  std::string status();

  // Reads how an active job is doing and records an end it finds. Returns
  // the record as it stands afterwards.
  void refresh(JobRecord& job);
  void finalize(JobRecord& job, const EndInfo& end);
  void record_end(JobRecord& job, const EndInfo& end, State to, std::string message);
  void advance_cluster_job(JobRecord& job, const EndInfo& end);
  bool start_after_step(const JobRecord& job, const ClusterRecord& cr, const std::string& dir, std::string& error);
  std::string list_queues();
  std::string cluster_message(const JobRecord& job) const;
  void add_applications(Answer& a, const JobRecord& job) const;
  bool move(JobRecord& job, State to, std::string& error);
  void dispatch();
  void start(JobRecord job);
  Attributes read_autoedits(const std::string& dir) const;

  const Config& config_;
  Store& store_;
  const ClusterClient cluster_;
  const std::string exe_;
  // Serialises changes of state; reads go to the store directly.
  std::mutex mu_;
};

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_JOBS_H
