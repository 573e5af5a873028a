#include "kc_jobtypes.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "kc_cluster.h"

namespace kc {

namespace {

std::string env_name(const std::string& name) {
  std::string out = kEnvPrefix;
  for (char c : name) {
    const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    out += word ? c : '_';
  }
  return out;
}

std::string exit_code_text(const JobRecord& job) {
  switch (job.state) {
    case State::kKilled: return "KILLED";
    case State::kFailedToStart: return "FAILED_TO_START";
    default: return job.has_exit_code ? std::to_string(job.exit_code) : std::string();
  }
}

// The values of NAME1, NAME2, ... in the order of their numbers.
std::vector<std::string> numbered(const Attributes& attrs, const std::string& name) {
  std::map<unsigned long, std::string> found;
  for (const auto& [n, v] : attrs) {
    if (n.size() <= name.size() || n.compare(0, name.size(), name) != 0) continue;
    const std::string digits = n.substr(name.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) continue;
    found[std::strtoul(digits.c_str(), nullptr, 10)] = v;
  }
  std::vector<std::string> out;
  for (auto& [k, v] : found) out.push_back(v);
  return out;
}

bool valid_env_name(const std::string& s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// A command line run by the shell.
class CommandJob : public JobType {
 public:
  const char* name() const override { return "COMMAND"; }
  const char* description() const override {
    return "a command line run by /bin/sh in a working directory (CMDLINE, WORKDIR)";
  }
  bool validate(const Attributes& attrs, std::string& error) const override {
    if (attribute(attrs, "CMDLINE").empty()) {
      error = "a COMMAND job needs the attribute CMDLINE, the command line to run";
      return false;
    }
    const std::string workdir = attribute(attrs, "WORKDIR");
    if (!workdir.empty() && workdir[0] != '/') {
      error = "WORKDIR '" + workdir + "' is not an absolute path";
      return false;
    }
    return true;
  }
  bool launch_plan(const Config& config, const JobRecord& job, const std::string& dir, LaunchPlan& plan,
                   std::string&) const override {
    plan.argv = {"/bin/sh", "-c", attribute(job.attrs, "CMDLINE")};
    const std::string workdir = attribute(job.attrs, "WORKDIR");
    plan.cwd = workdir.empty() ? dir : workdir;
    plan.env = job_environment(job, dir);
    plan.max_output_bytes = config.max_output_bytes;
    plan.kill_grace_seconds = config.kill_grace_seconds;
    return true;
  }
  std::vector<Step> steps(const JobRecord& job) const override {
    return {{attribute(job.attrs, "CMDLINE"), exit_code_text(job)}};
  }
};

// What the Hadoop job types share: the edge node's commands with the
// cluster's configuration, -D properties (PROPERTYn = name=value), extra
// environment (ENVn = NAME=value), the job's tag, and steps made of the
// driver and each YARN application.
class HadoopJob : public JobType {
 public:
  bool validate(const Attributes& attrs, std::string& error) const override {
    for (const std::string& p : numbered(attrs, "PROPERTY")) {
      const auto eq = p.find('=');
      if (eq == std::string::npos || eq == 0) {
        error = "PROPERTYn must be name=value, not '" + p + "'";
        return false;
      }
    }
    for (const std::string& e : numbered(attrs, "ENV")) {
      const auto eq = e.find('=');
      if (eq == std::string::npos || !valid_env_name(e.substr(0, eq))) {
        error = "ENVn must be NAME=value with NAME of letters, digits and '_', not '" + e + "'";
        return false;
      }
    }
    std::vector<std::string> words;
    if (!split_words(attribute(attrs, "ARGS"), words, error)) {
      error = "ARGS: " + error;
      return false;
    }
    return validate_more(attrs, error);
  }

  bool launch_plan(const Config& config, const JobRecord& job, const std::string& dir, LaunchPlan& plan,
                   std::string& error) const override {
    std::vector<std::string> args;
    if (!split_words(attribute(job.attrs, "ARGS"), args, error)) return false;
    if (!command(config, job, args, plan.argv, error)) return false;
    const std::string workdir = attribute(job.attrs, "WORKDIR");
    plan.cwd = workdir.empty() ? dir : workdir;
    plan.env = job_environment(job, dir);
    std::map<std::string, std::string> extra = {{"HADOOP_CONF_DIR", config.hadoop_conf_dir}};
    std::string path = config.hadoop_bin_dir;
    for (const std::string& e : plan.env) {
      if (e.rfind("PATH=", 0) == 0) path += ":" + e.substr(5);
    }
    extra["PATH"] = path;
    for (const std::string& e : numbered(job.attrs, "ENV")) {
      const auto eq = e.find('=');
      extra[e.substr(0, eq)] = e.substr(eq + 1);
    }
    for (const auto& entry : extra) {
      const std::string prefix = entry.first + "=";
      plan.env.erase(std::remove_if(plan.env.begin(), plan.env.end(),
                                    [&prefix](const std::string& e) { return e.rfind(prefix, 0) == 0; }),
                     plan.env.end());
      plan.env.push_back(prefix + entry.second);
    }
    plan.max_output_bytes = config.max_output_bytes;
    plan.kill_grace_seconds = config.kill_grace_seconds;
    return true;
  }

  std::vector<Step> steps(const JobRecord& job) const override {
    const ClusterRecord cr = ClusterRecord::from_json(job.extra);
    std::vector<Step> out;
    out.push_back({driver_statement(job), cr.driver_start_error.empty()
                                              ? (cr.driver_has_exit_code ? std::to_string(cr.driver_exit_code) : "")
                                              : "FAILED_TO_START"});
    for (const AppInfo& a : cr.apps) out.push_back({a.id + " " + a.name, a.final_status});
    return out;
  }

  bool uses_cluster() const override { return true; }

 protected:
  virtual bool validate_more(const Attributes& attrs, std::string& error) const = 0;
  // The driver's argv.
  virtual bool command(const Config& config, const JobRecord& job, const std::vector<std::string>& args,
                       std::vector<std::string>& argv, std::string& error) const = 0;
  virtual std::string driver_statement(const JobRecord& job) const = 0;

  static bool require(const Attributes& attrs, const char* name, const char* job_type, std::string& error) {
    if (!attribute(attrs, name).empty()) return true;
    error = std::string("a ") + job_type + " job needs the attribute " + name;
    return false;
  }

  // -D options: the job's tag (so YARN's answers can be found by it), the
  // queue, then the job's own properties.
  static void generic_options(const JobRecord& job, bool tags, std::vector<std::string>& argv) {
    if (tags) argv.push_back("-Dmapreduce.job.tags=" + tag_for(job.orderno, job.runno));
    const std::string queue = attribute(job.attrs, "QUEUE");
    if (!queue.empty()) argv.push_back("-Dmapreduce.job.queuename=" + queue);
    for (const std::string& p : numbered(job.attrs, "PROPERTY")) argv.push_back("-D" + p);
  }
};

// hadoop jar JAR [CLASS] [PROGRAM] -D... ARGS
class MapReduceJob : public HadoopJob {
 public:
  const char* name() const override { return "MAPREDUCE"; }
  const char* description() const override {
    return "a MapReduce driver (hadoop jar JAR, or hadoop CLASS): JAR, CLASS, PROGRAM, ARGS, QUEUE, PROPERTYn, ENVn; "
           "tracked through YARN";
  }

 protected:
  bool validate_more(const Attributes& attrs, std::string& error) const override {
    if (!attribute(attrs, "JAR").empty() || !attribute(attrs, "CLASS").empty()) return true;
    error = "a MAPREDUCE job needs the attribute JAR, or CLASS for a class on Hadoop's classpath";
    return false;
  }
  // With a JAR: hadoop jar JAR [CLASS] (a jar whose manifest names a main
  // class runs that one, as hadoop jar does). Without: hadoop CLASS, the class
  // found on Hadoop's classpath (HADOOP_CLASSPATH through ENVn adds jars).
  bool command(const Config& config, const JobRecord& job, const std::vector<std::string>& args,
               std::vector<std::string>& argv, std::string&) const override {
    const std::string jar = attribute(job.attrs, "JAR");
    argv = {config.hadoop_bin_dir + "/hadoop"};
    if (!jar.empty()) {
      argv.push_back("jar");
      argv.push_back(jar);
    }
    for (const char* n : {"CLASS", "PROGRAM"}) {
      if (!attribute(job.attrs, n).empty()) argv.push_back(attribute(job.attrs, n));
    }
    generic_options(job, true, argv);
    argv.insert(argv.end(), args.begin(), args.end());
    return true;
  }
  std::string driver_statement(const JobRecord& job) const override {
    std::string s = attribute(job.attrs, "JAR").empty() ? "hadoop" : "hadoop jar " + attribute(job.attrs, "JAR");
    for (const char* n : {"CLASS", "PROGRAM", "ARGS"}) {
      if (!attribute(job.attrs, n).empty()) s += " " + attribute(job.attrs, n);
    }
    return s;
  }
};

// hdfs dfs -D... -COMMAND ARGS
class HdfsJob : public HadoopJob {
 public:
  const char* name() const override { return "HDFS"; }
  const char* description() const override {
    return "a file-system command (hdfs dfs): HDFS_COMMAND (put, get, mkdir, rm, ls, ...), ARGS, PROPERTYn, ENVn";
  }
  // File-system commands start no YARN application: the exit code decides.
  bool uses_cluster() const override { return false; }
  std::vector<Step> steps(const JobRecord& job) const override {
    return {{driver_statement(job), exit_code_text(job)}};
  }

 protected:
  bool validate_more(const Attributes& attrs, std::string& error) const override {
    if (!require(attrs, "HDFS_COMMAND", name(), error)) return false;
    std::string cmd = attribute(attrs, "HDFS_COMMAND");
    if (cmd[0] == '-') cmd.erase(0, 1);
    static const char* const kCommands[] = {
        "appendToFile", "cat",  "checksum", "chgrp",    "chmod",     "chown", "copyFromLocal", "copyToLocal",
        "count",        "cp",   "df",       "du",       "find",      "get",   "getfacl",       "getmerge",
        "head",         "ls",   "mkdir",    "moveFromLocal", "mv",   "put",   "rm",            "rmdir",
        "setrep",       "stat", "tail",     "test",     "text",      "touch", "touchz",        "truncate"};
    for (const char* c : kCommands) {
      if (cmd == c) return true;
    }
    error = "HDFS_COMMAND '" + attribute(attrs, "HDFS_COMMAND") + "' is not a file-system command this container runs";
    return false;
  }
  bool command(const Config& config, const JobRecord& job, const std::vector<std::string>& args,
               std::vector<std::string>& argv, std::string&) const override {
    std::string cmd = attribute(job.attrs, "HDFS_COMMAND");
    if (cmd[0] != '-') cmd.insert(0, "-");
    argv = {config.hadoop_bin_dir + "/hdfs", "dfs"};
    generic_options(job, false, argv);
    argv.push_back(cmd);
    argv.insert(argv.end(), args.begin(), args.end());
    return true;
  }
  std::string driver_statement(const JobRecord& job) const override {
    return "hdfs dfs -" + attribute(job.attrs, "HDFS_COMMAND") + " " + attribute(job.attrs, "ARGS");
  }
};

// hadoop distcp -D... OPTIONS SOURCE... TARGET
class DistcpJob : public HadoopJob {
 public:
  const char* name() const override { return "DISTCP"; }
  const char* description() const override {
    return "hadoop distcp: SOURCE (one or more), TARGET, OPTIONS, QUEUE, PROPERTYn, ENVn; tracked through YARN";
  }

 protected:
  bool validate_more(const Attributes& attrs, std::string& error) const override {
    std::vector<std::string> words;
    if (!require(attrs, "SOURCE", name(), error) || !require(attrs, "TARGET", name(), error)) return false;
    for (const char* n : {"SOURCE", "OPTIONS"}) {
      if (!split_words(attribute(attrs, n), words, error)) {
        error = std::string(n) + ": " + error;
        return false;
      }
    }
    return true;
  }
  bool command(const Config& config, const JobRecord& job, const std::vector<std::string>& args,
               std::vector<std::string>& argv, std::string& error) const override {
    std::vector<std::string> options, sources;
    if (!split_words(attribute(job.attrs, "OPTIONS"), options, error) ||
        !split_words(attribute(job.attrs, "SOURCE"), sources, error)) {
      return false;
    }
    argv = {config.hadoop_bin_dir + "/hadoop", "distcp"};
    generic_options(job, true, argv);
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), sources.begin(), sources.end());
    argv.push_back(attribute(job.attrs, "TARGET"));
    return true;
  }
  std::string driver_statement(const JobRecord& job) const override {
    return "hadoop distcp " + attribute(job.attrs, "SOURCE") + " " + attribute(job.attrs, "TARGET");
  }
};

// yarn jar JAR [CLASS] ARGS [TAG_OPTION tag]
class YarnAppJob : public HadoopJob {
 public:
  const char* name() const override { return "YARN_APP"; }
  const char* description() const override {
    return "yarn jar of a YARN application client: JAR, CLASS, ARGS, QUEUE, TAG_OPTION, ENVn; tracked through YARN";
  }

 protected:
  bool validate_more(const Attributes& attrs, std::string& error) const override {
    if (!numbered(attrs, "PROPERTY").empty()) {
      error = "a YARN_APP job takes no PROPERTYn: its client reads its own options, given in ARGS";
      return false;
    }
    return require(attrs, "JAR", name(), error);
  }
  // The option by which the client takes application tags: TAG_OPTION, by
  // default the distributed shell's; "none" for a client that has none (its
  // applications are then found by the ids in its output).
  static std::string tag_option(const JobRecord& job) {
    const std::string given = attribute(job.attrs, "TAG_OPTION");
    if (given == "none") return std::string();
    if (!given.empty()) return given;
    const std::string cls = attribute(job.attrs, "CLASS");
    const std::string ds = "distributedshell.Client";
    const bool distributed_shell = cls.size() >= ds.size() && cls.compare(cls.size() - ds.size(), ds.size(), ds) == 0;
    return distributed_shell ? "-application_tags" : std::string();
  }
  bool command(const Config& config, const JobRecord& job, const std::vector<std::string>& args,
               std::vector<std::string>& argv, std::string&) const override {
    argv = {config.hadoop_bin_dir + "/yarn", "jar", attribute(job.attrs, "JAR")};
    if (!attribute(job.attrs, "CLASS").empty()) argv.push_back(attribute(job.attrs, "CLASS"));
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string option = tag_option(job);
    if (!option.empty()) {
      argv.push_back(option);
      argv.push_back(tag_for(job.orderno, job.runno));
      // The distributed shell names its queue the same way.
      if (option == "-application_tags" && !attribute(job.attrs, "QUEUE").empty()) {
        argv.push_back("-queue");
        argv.push_back(attribute(job.attrs, "QUEUE"));
      }
    }
    return true;
  }
  std::string driver_statement(const JobRecord& job) const override {
    return "yarn jar " + attribute(job.attrs, "JAR") + " " + attribute(job.attrs, "CLASS");
  }
};

}  // namespace

bool split_words(const std::string& text, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      const auto end = text.find('\'', i + 1);
      if (end == std::string::npos) {
        error = "a quote (') is not closed";
        return false;
      }
      word += text.substr(i + 1, end - i - 1);
      i = end;
      in_word = true;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() && (text[j + 1] == '"' || text[j + 1] == '\\')) ++j;
        word += text[j];
      }
      if (j >= text.size()) {
        error = "a quote (\") is not closed";
        return false;
      }
      i = j;
      in_word = true;
    } else if (c == '\\' && i + 1 < text.size()) {
      word += text[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return true;
}

std::string attribute(const Attributes& attrs, const std::string& name) {
  for (const auto& [n, v] : attrs) {
    if (n == name) return v;
  }
  return std::string();
}

std::string job_id(const JobRecord& job) { return "kx-" + job.orderno + "-" + job.runno; }

std::vector<std::string> job_environment(const JobRecord& job, const std::string& dir) {
  // One value per name; the container's own KX_ variables come last, so an
  // attribute cannot stand in for them.
  std::map<std::string, std::string> vars;
  for (const char* name : {"PATH", "HOME", "USER", "LOGNAME", "LANG", "LC_ALL", "TZ", "KRB5CCNAME", "KRB5_CONFIG", "JAVA_HOME"}) {
    if (const char* v = std::getenv(name)) vars[name] = v;
  }
  vars.emplace("PATH", "/usr/local/bin:/usr/bin:/bin");
  vars["SHELL"] = "/bin/sh";
  for (const auto& [n, v] : job.attrs) vars[env_name(n)] = v;
  vars[std::string(kEnvPrefix) + "JOBID"] = job_id(job);
  vars[std::string(kEnvPrefix) + "SPOOL_DIR"] = dir;
  vars[std::string(kEnvPrefix) + "AUTOEDIT_FILE"] = dir + "/" + kAutoeditFile;
  std::vector<std::string> env;
  for (const auto& [n, v] : vars) env.push_back(n + "=" + v);
  return env;
}

const std::vector<const JobType*>& job_types() {
  static const CommandJob command;
  static const MapReduceJob mapreduce;
  static const HdfsJob hdfs;
  static const DistcpJob distcp;
  static const YarnAppJob yarn_app;
  static const std::vector<const JobType*> types = {&command, &mapreduce, &hdfs, &distcp, &yarn_app};
  return types;
}

const JobType* find_job_type(const std::string& name) {
  for (const JobType* t : job_types()) {
    if (name == t->name()) return t;
  }
  return nullptr;
}

}  // namespace kc
