// kc_jobtypes.h - the kinds of job the container runs, chosen by JOB_TYPE.
//
// A job type checks a SUBMIT's attributes, says what the supervisor runs,
// and names the job's steps (the statements of an output read by statement).
#ifndef BE_HADOOP_CONTAINER_KC_JOBTYPES_H
#define BE_HADOOP_CONTAINER_KC_JOBTYPES_H

#include <string>
#include <vector>

#include "kc_config.h"
#include "kc_document.h"
#include "kc_store.h"
#include "kc_supervisor.h"

namespace kc {

// Prefix of the environment variables that carry a job's input attributes.
inline constexpr char kEnvPrefix[] = "KX_";

// One step of a job, as an output read by statement hands it out.
struct Step {
  std::string statement;
  std::string code;
};

class JobType {
 public:
  virtual ~JobType() = default;
  virtual const char* name() const = 0;
  virtual const char* description() const = 0;
  // Checks a SUBMIT's attributes before anything is stored; false with an
  // operator's message for a bad or missing one.
  virtual bool validate(const Attributes& attrs, std::string& error) const = 0;
  // What the supervisor runs for job, whose directory is dir.
  virtual bool launch_plan(const Config& config, const JobRecord& job, const std::string& dir, LaunchPlan& plan,
                           std::string& error) const = 0;
  // The steps of an ended job, in order.
  virtual std::vector<Step> steps(const JobRecord& job) const = 0;
  // True when YARN decides the job's end: its applications are tracked.
  virtual bool uses_cluster() const { return false; }
};

// Splits an argument text into words as a shell would, without expanding
// anything: blanks separate, '...' keeps everything, "..." keeps all but \"
// and \\, a backslash outside quotes keeps the next character. False (error
// set) for an unterminated quote.
bool split_words(const std::string& text, std::vector<std::string>& words, std::string& error);

// The job type of that name, or null.
const JobType* find_job_type(const std::string& name);
const std::vector<const JobType*>& job_types();

// The environment every job starts with: a few variables of the
// container's own (PATH, HOME, USER, LOGNAME, LANG, LC_ALL, TZ), SHELL, each
// input attribute as KX_<NAME> (a character other than a letter, digit or
// '_' becomes '_'), KX_JOBID, KX_SPOOL_DIR and KX_AUTOEDIT_FILE.
std::vector<std::string> job_environment(const JobRecord& job, const std::string& dir);

// "kx-<ORDERNO>-<RUNNO>".
std::string job_id(const JobRecord& job);

// The value of an attribute of job, or empty.
std::string attribute(const Attributes& attrs, const std::string& name);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_JOBTYPES_H
