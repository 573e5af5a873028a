#include "host_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host_workdir.h"

namespace kxhost {

namespace {

constexpr char kUsage[] = "see kxhost --help";
constexpr int kDefaultIntervalMs = 200;
constexpr int kDefaultBlock = 16384;
// A job that has ended hands out its output to the end; reads that bring
// nothing that often mean a container that does not.
constexpr int kMaxEmptyReads = 100;
// A non-terminal progress display writes a line at each change of state and
// otherwise at most this often.
constexpr auto kPlainLineEvery = std::chrono::seconds(2);

volatile sig_atomic_t g_interrupts = 0;

// Where the report goes: standard output as it was when run began.
std::FILE* g_out = stdout;

// While run works, descriptor 1 is standard error: what the library and the
// programs it starts print (the container's start script says it started)
// must not mix with the report, which with --quiet is the job's output alone.
class ReportStream {
 public:
  ReportStream() {
    std::fflush(stdout);
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    out_ = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (out_ == nullptr) {
      if (fd >= 0) ::close(fd);
      return;
    }
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    g_out = out_;
  }
  ~ReportStream() {
    if (out_ == nullptr) return;
    std::fflush(stdout);
    std::fflush(out_);
    ::dup2(::fileno(out_), STDOUT_FILENO);
    std::fclose(out_);
    g_out = stdout;
  }
  ReportStream(const ReportStream&) = delete;
  ReportStream& operator=(const ReportStream&) = delete;

 private:
  std::FILE* out_ = nullptr;
};

void on_interrupt(int) { g_interrupts = g_interrupts + 1; }

// SIGINT and SIGTERM count; the previous handlers come back at the end.
class InterruptGuard {
 public:
  InterruptGuard() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the sleep between two polls ends at once.
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

struct RunOptions {
  int interval_ms = kDefaultIntervalMs;
  int block = kDefaultBlock;
  bool remove = false;
  bool quiet = false;
  std::vector<std::pair<std::string, std::string>> attrs;
};

int read_number(const std::string& option, const char* text, int lo, int hi) {
  char* end = nullptr;
  const long v = text != nullptr ? std::strtol(text, &end, 10) : 0;
  if (text == nullptr || *text == '\0' || *end != '\0' || v < lo || v > hi) {
    throw UserError(option + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi), kUsage);
  }
  return static_cast<int>(v);
}

bool has(const RunOptions& o, const std::string& name) {
  for (const auto& a : o.attrs) {
    if (a.first == name) return true;
  }
  return false;
}

std::string get(const RunOptions& o, const std::string& name) {
  for (const auto& a : o.attrs) {
    if (a.first == name) return a.second;
  }
  return std::string();
}

std::string base36(unsigned long long v) {
  static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string s;
  do {
    s.insert(s.begin(), digits[v % 36]);
    v /= 36;
  } while (v != 0);
  return s;
}

// A key no earlier run has used: the container answers a known key with its
// old job, so a reused one would show a stale job instead of running a new one.
std::string new_orderno() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  const unsigned long long us = static_cast<unsigned long long>(tv.tv_sec) * 1000000ull +
                                static_cast<unsigned long long>(tv.tv_usec);
  return "KX" + base36(us) + "-" + base36(static_cast<unsigned long long>(getpid()));
}

RunOptions parse(int argc, char** argv, int first) {
  RunOptions o;
  std::string command;
  bool have_command = false;
  for (int i = first; i < argc; ++i) {
    const std::string word = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (word == "--") {
      for (++i; i < argc; ++i) command += (command.empty() ? "" : " ") + std::string(argv[i]);
      have_command = true;
      break;
    }
    if (word == "--interval") {
      o.interval_ms = read_number(word, next, 10, 60000);
      ++i;
    } else if (word == "--block-size") {
      o.block = read_number(word, next, 1, 65534);
      ++i;
    } else if (word == "--delete") {
      o.remove = true;
    } else if (word == "-q" || word == "--quiet") {
      o.quiet = true;
    } else if (word.size() > 1 && word[0] == '-') {
      throw UserError("run has no option " + word, kUsage);
    } else {
      std::string name, value;
      split_assignment(word, name, value);
      if (has(o, name)) throw UserError(name + " is given twice", "give each attribute once");
      o.attrs.emplace_back(name, value);
    }
  }
  if (have_command) {
    if (has(o, "CMDLINE")) {
      throw UserError("the command line is given twice, as CMDLINE= and after --", "give it one way");
    }
    if (command.empty()) throw UserError("nothing follows --", "for example: kxhost run -- 'echo hi'");
    o.attrs.emplace_back("CMDLINE", command);
  }
  if (!has(o, "JOB_TYPE")) o.attrs.emplace_back("JOB_TYPE", "COMMAND");
  if (get(o, "JOB_TYPE") == "COMMAND" && get(o, "CMDLINE").empty()) {
    throw UserError("a COMMAND job needs a command line", "for example: kxhost run -- 'echo hi; wc -w /etc/passwd'");
  }
  if (!has(o, "ORDERNO")) o.attrs.emplace(o.attrs.begin(), "ORDERNO", new_orderno());
  if (!has(o, "RUNNO")) o.attrs.emplace(o.attrs.begin() + 1, "RUNNO", "1");
  return o;
}

bool is_final(const std::string& status) {
  return status == "ENDED_OK" || status == "ENDED_NOTOK" || status == "KILLED" || status == "FAILED_TO_START";
}

std::string bytes_text(const std::string& decimal) {
  const double n = std::strtod(decimal.c_str(), nullptr);
  char buf[64];
  if (n < 1024) {
    std::snprintf(buf, sizeof buf, "%.0f bytes", n);
  } else if (n < 1024.0 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024);
  } else if (n < 1024.0 * 1024 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024));
  } else {
    std::snprintf(buf, sizeof buf, "%.2f GiB", n / (1024.0 * 1024 * 1024));
  }
  return buf;
}

// The one-line display while the job runs, on standard error: redrawn in
// place on a terminal, a plain line now and then otherwise.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled), tty_(isatty(STDERR_FILENO) == 1) {}
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void show(const std::string& job, const std::string& status, const std::string& elapsed,
            const std::string& output_bytes, const std::string& yarn) {
    if (!enabled_) return;
    std::fflush(g_out);
    char line[256];
    std::snprintf(line, sizeof line, "%s  %-15s  %7.1f s  %s of output%s%.120s", job.c_str(), status.c_str(),
                  std::strtod(elapsed.c_str(), nullptr), bytes_text(output_bytes).c_str(),
                  yarn.empty() ? "" : "  ", yarn.c_str());
    const auto now = std::chrono::steady_clock::now();
    if (tty_) {
      std::fprintf(stderr, "\r%s\033[K", line);
      drawn_ = true;
    } else if (status != last_status_ || now - last_line_ >= kPlainLineEvery) {
      std::fprintf(stderr, "%s\n", line);
      last_line_ = now;
    }
    last_status_ = status;
    std::fflush(stderr);
  }

  // Ends a line drawn in place, so that what follows starts on its own.
  void finish() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
  }

 private:
  bool enabled_;
  bool tty_;
  bool drawn_ = false;
  std::string last_status_;
  std::chrono::steady_clock::time_point last_line_{};
};

void sleep_ms(int ms) {
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // an interrupt ends it early, on purpose
}

struct Tracked {
  std::string jobid, status, exitcode, start, end, message;
  // The job's YARN applications (Hadoop jobs): ids, states, final statuses,
  // overall progress in percent, the last one's tracking URL.
  std::string applications, yarn_state, final_status, progress, tracking_url;
  std::vector<std::pair<std::string, std::string>> autoedits;
};

struct Stats {
  std::string status, elapsed, cpu_user, cpu_system, max_rss_kb, output_bytes;
  std::string yarn_apps, memory_seconds, vcore_seconds, application_usage, counters;
};

// "42% application_1_0001 RUNNING" for the live line; empty without YARN.
std::string yarn_text(const Tracked& t) {
  if (t.applications.empty()) return std::string();
  return t.progress + "% " + t.applications + " " + t.yarn_state;
}

// The job and what it needs to talk to the library, for one run.
class JobRun {
 public:
  JobRun(const Library& lib, const AgentText& text, const RunOptions& o)
      : lib_(lib), text_(text), o_(o), session_(lib, "SUBMIT", false) {
    orderno_ = get(o, "ORDERNO");
    runno_ = get(o, "RUNNO");
  }

  // Where to look when something failed: the library's log of this process
  // and the container's.
  static std::string logs_hint() {
    std::string hint = "the library's log is proclog/AS_" + std::to_string(getpid()) + ".log";
    std::string kx_dir;
    if (table_value("data/HADOOP.dat", "KX_DIR", kx_dir) && !kx_dir.empty()) {
      hint += ", the container's " + kx_dir + "/log/kxcontainer.log";
    }
    return hint;
  }

  void fail(const std::string& what) {
    std::fprintf(stderr, "kxhost: %s: %s\n  hint: %s\n", what.c_str(),
                 text_.from_agent(error_text(session_.error())).c_str(), logs_hint().c_str());
  }

  // One job action; a failure is reported with what its code means.
  bool job_action(const std::string& action, AgentAttrs& in, AgentAttrs& out) {
    const PEXRC rc = session_.action("PEXAPI_JOB_ACTION", action, in, out);
    if (rc == PEX_SUCCESS) return true;
    if (rc == PEX_FAIL) {
      fail(action + " failed");
    } else if (rc == PEX_EOS) {
      std::fprintf(stderr,
                   "kxhost: %s: the answer holds an element kxhost made no room for (PEX_EOS), so the "
                   "library stored nothing after it\n  hint: is the container a version kxhost knows? %s\n",
                   action.c_str(), logs_hint().c_str());
    } else {
      std::fprintf(stderr, "kxhost: %s: the library answered %s\n  hint: %s\n", action.c_str(), rc_name(rc),
                   logs_hint().c_str());
    }
    return false;
  }

  bool submit(std::string& jobid, std::string& status) {
    AgentAttrs in(lib_), out(lib_);
    for (const auto& [n, v] : o_.attrs) in.add(n, text_.to_agent(v, n));
    out.add("JOBID", "", 160);
    out.add("STATUS", "", 32);
    if (!job_action("SUBMIT", in, out)) return false;
    jobid = text_.from_agent(out.get("JOBID"));
    status = out.get("STATUS");
    return true;
  }

  bool track(Tracked& t) {
    AgentAttrs in(lib_), out(lib_);
    key(in);
    out.add("JOBID", "", 160);
    out.add("STATUS", "", 32);
    out.add("EXITCODE", "", 16);
    out.add("STARTTIME", "", 32);
    out.add("ENDTIME", "", 32);
    out.add("MESSAGE", "", 4096);
    for (const char* name : {"APPLICATIONS", "YARN_STATE", "YARN_FINAL_STATUS", "TRACKING_URL"}) out.add(name, "", 2048);
    out.add("PROGRESS", "", 16);
    if (!job_action("TRACK", in, out)) return false;
    t.jobid = text_.from_agent(out.get("JOBID"));
    t.status = out.get("STATUS");
    t.exitcode = out.get("EXITCODE");
    t.start = out.get("STARTTIME");
    t.end = out.get("ENDTIME");
    t.message = text_.from_agent(out.get("MESSAGE"));
    t.applications = out.get("APPLICATIONS");
    t.yarn_state = out.get("YARN_STATE");
    t.final_status = out.get("YARN_FINAL_STATUS");
    t.progress = out.get("PROGRESS");
    t.tracking_url = text_.from_agent(out.get("TRACKING_URL"));
    // What the library appended behind the attributes asked for are the
    // autoedits the job handed back.
    t.autoedits.clear();
    for (int i = 0; i < out.count(); ++i) {
      if (out.added(out.name(i))) continue;
      t.autoedits.emplace_back(text_.from_agent(out.name(i)), text_.from_agent(out.value(i)));
    }
    return true;
  }

  bool statistics(Stats& s) {
    AgentAttrs in(lib_), out(lib_);
    key(in);
    for (const char* name : {"STATUS", "ELAPSED", "CPU_USER", "CPU_SYSTEM", "MAX_RSS_KB", "OUTPUT_BYTES", "YARN_APPS",
                             "MEMORY_SECONDS", "VCORE_SECONDS"}) {
      out.add(name, "", 32);
    }
    out.add("APPLICATION_USAGE", "", 2048);
    out.add("COUNTERS", "", 2048);
    if (!job_action("STATISTICS", in, out)) return false;
    s = {out.get("STATUS"),         out.get("ELAPSED"),        out.get("CPU_USER"),
         out.get("CPU_SYSTEM"),     out.get("MAX_RSS_KB"),     out.get("OUTPUT_BYTES"),
         out.get("YARN_APPS"),      out.get("MEMORY_SECONDS"), out.get("VCORE_SECONDS"),
         out.get("APPLICATION_USAGE"), out.get("COUNTERS")};
    return true;
  }

  bool simple(const char* action, std::string& status) {
    AgentAttrs in(lib_), out(lib_);
    key(in);
    out.add("STATUS", "", 32);
    if (!job_action(action, in, out)) return false;
    status = out.get("STATUS");
    return true;
  }

  // Reads the output block by block and writes it to standard output.
  bool output(bool headers, const std::string& jobid) {
    AgentAttrs job(lib_);  // the handle refers to it until the close
    key(job);
    void* handle = nullptr;
    PEXError& error = session_.error();
    error = PEXError{};
    if (lib_.get<DataOpenFn>("PEXAPI_SYSOUT_DATA_OPEN")(session_.connection(), &handle, job.list(), &error) !=
        PEX_SUCCESS) {
      fail("PEXAPI_SYSOUT_DATA_OPEN failed");
      return false;
    }
    if (headers) std::fprintf(g_out, "---- output of %s ----\n", jobid.c_str());
    const auto read = lib_.get<DataReadFn>("PEXAPI_SYSOUT_DATA_READ");
    long long bytes = 0;
    int blocks = 0, empty = 0;
    bool ends_in_newline = true, ok = true;
    for (;;) {
      AgentAttrs in(lib_), out(lib_);
      in.add("NAVIGATE", "NEXT");
      out.add("TEXT", "", static_cast<std::size_t>(o_.block) + 1);
      const PEXRC rc = read(session_.connection(), handle, in.list(), out.list(), &error);
      if (rc != PEX_SUCCESS && rc != PEX_EOS) {
        std::fflush(g_out);
        fail("PEXAPI_SYSOUT_DATA_READ failed");
        ok = false;
        break;
      }
      const std::string block = text_.from_agent(out.get("TEXT"));
      if (!block.empty()) {
        std::fwrite(block.data(), 1, block.size(), g_out);
        bytes += static_cast<long long>(block.size());
        ends_in_newline = block.back() == '\n';
        ++blocks;
        empty = 0;
      } else if (rc == PEX_SUCCESS && ++empty > kMaxEmptyReads) {
        std::fflush(g_out);
        std::fprintf(stderr, "kxhost: the output of %s does not come to its end (%d empty reads)\n  hint: %s\n",
                     jobid.c_str(), kMaxEmptyReads, logs_hint().c_str());
        ok = false;
        break;
      }
      if (rc == PEX_EOS) break;
    }
    AgentAttrs none(lib_);
    lib_.get<DataCloseFn>("PEXAPI_SYSOUT_DATA_CLOSE")(session_.connection(), handle, none.list(), &error);
    if (headers) {
      if (!ends_in_newline) std::fprintf(g_out, "\n");
      std::fprintf(g_out, "---- end of output: %lld bytes in %d block%s of at most %d ----\n", bytes, blocks,
                   blocks == 1 ? "" : "s", o_.block);
    }
    std::fflush(g_out);
    return ok;
  }

 private:
  void key(AgentAttrs& list) const {
    list.add("ORDERNO", text_.to_agent(orderno_, "ORDERNO"));
    list.add("RUNNO", text_.to_agent(runno_, "RUNNO"));
  }
  const Library& lib_;
  const AgentText& text_;
  const RunOptions& o_;
  Session session_;
  std::string orderno_, runno_;
};

int exit_code(const Tracked& t) {
  if (t.status == "KILLED") return kRunKilled;
  if (t.status == "FAILED_TO_START") return kRunFailedToStart;
  char* end = nullptr;
  const long code = std::strtol(t.exitcode.c_str(), &end, 10);
  const bool numeric = !t.exitcode.empty() && *end == '\0' && code >= 0 && code <= 255;
  if (t.status == "ENDED_OK") return numeric ? static_cast<int>(code) : 0;
  return numeric && code != 0 ? static_cast<int>(code) : 1;
}

}  // namespace

int cmd_run(int argc, char** argv, int first, const std::function<std::unique_ptr<Library>()>& load) {
  const RunOptions o = parse(argc, argv, first);
  const AgentText text;
  for (const auto& [n, v] : o.attrs) text.to_agent(v, n);  // refuses what the agent cannot hold, up front
  const ReportStream report;
  const std::unique_ptr<Library> lib = load();
  const bool talk = !o.quiet;

  InterruptGuard interrupts;
  JobRun run(*lib, text, o);
  std::string jobid, status;
  if (talk) {
    std::fprintf(g_out, "kxhost: submitting a %s job, ORDERNO=%s RUNNO=%s\n", get(o, "JOB_TYPE").c_str(),
                 get(o, "ORDERNO").c_str(), get(o, "RUNNO").c_str());
    std::fflush(g_out);
  }
  if (!run.submit(jobid, status)) return kRunToolFailed;
  if (talk) {
    std::fprintf(g_out, "kxhost: job %s submitted: %s\n", jobid.c_str(), status.c_str());
    std::fflush(g_out);
  }

  Tracked t;
  Stats s;
  bool kill_sent = false;
  {
    Progress progress(talk);
    for (;;) {
      if (g_interrupts >= 2) {
        progress.finish();
        std::fprintf(stderr,
                     "kxhost: leaving job %s running; follow it with: kxhost job TRACK ORDERNO=%s RUNNO=%s "
                     "--out STATUS:32\n",
                     jobid.c_str(), get(o, "ORDERNO").c_str(), get(o, "RUNNO").c_str());
        return kRunLeftRunning;
      }
      if (g_interrupts == 1 && !kill_sent) {
        progress.finish();
        std::fprintf(stderr, "kxhost: interrupted: killing job %s (interrupt again to leave it running)\n",
                     jobid.c_str());
        kill_sent = true;
        std::string ignored;
        if (!run.simple("KILL", ignored)) return kRunToolFailed;
      }
      if (!run.track(t) || !run.statistics(s)) {
        progress.finish();
        return kRunToolFailed;
      }
      progress.show(jobid, t.status, s.elapsed, s.output_bytes, yarn_text(t));
      if (is_final(t.status)) break;
      sleep_ms(o.interval_ms);
    }
  }

  if (talk) {
    std::fprintf(g_out, "kxhost: job %s ended: %s", jobid.c_str(), t.status.c_str());
    if (!t.exitcode.empty()) std::fprintf(g_out, ", exit code %s", t.exitcode.c_str());
    if (!t.start.empty()) std::fprintf(g_out, " (ran %s to %s)", t.start.c_str(), t.end.c_str());
    std::fprintf(g_out, "\n");
    if (!t.message.empty()) std::fprintf(g_out, "kxhost: message: %s\n", t.message.c_str());
    if (!t.applications.empty()) {
      std::fprintf(g_out, "kxhost: YARN applications %s: %s, final status %s\n", t.applications.c_str(),
                   t.yarn_state.c_str(), t.final_status.c_str());
      if (!t.tracking_url.empty()) std::fprintf(g_out, "kxhost: tracking URL %s\n", t.tracking_url.c_str());
    }
    std::fflush(g_out);
  }
  bool ok = run.output(talk, jobid);
  if (talk) {
    if (t.autoedits.empty()) {
      std::fprintf(g_out, "autoedits: none\n");
    } else {
      std::fprintf(g_out, "autoedits (%zu):\n", t.autoedits.size());
      for (const auto& [n, v] : t.autoedits) std::fprintf(g_out, "  %s=%s\n", n.c_str(), v.c_str());
    }
    if (run.statistics(s)) {
      std::fprintf(g_out,
                   "statistics: elapsed %s s, CPU %s s user + %s s system, peak memory %s KiB, output %s bytes\n",
                   s.elapsed.c_str(), s.cpu_user.c_str(), s.cpu_system.c_str(), s.max_rss_kb.c_str(),
                  s.output_bytes.c_str());
      if (s.yarn_apps != "0" && !s.yarn_apps.empty()) {
        std::fprintf(g_out, "YARN: %s application(s), %s memory-seconds (MB), %s vcore-seconds\n  %s\n",
                     s.yarn_apps.c_str(), s.memory_seconds.c_str(), s.vcore_seconds.c_str(),
                     s.application_usage.c_str());
        if (!s.counters.empty()) std::fprintf(g_out, "  counters: %s\n", s.counters.c_str());
      }
    } else {
      ok = false;
    }
  }
  if (o.remove) {
    std::string deleted;
    if (run.simple("DELETE", deleted)) {
      if (talk) {
        std::fprintf(g_out, "kxhost: job %s %s\n", jobid.c_str(), deleted == "DELETED" ? "deleted" : deleted.c_str());
      }
    } else {
      ok = false;
    }
  }
  std::fflush(g_out);
  return ok ? exit_code(t) : kRunToolFailed;
}

}  // namespace kxhost
