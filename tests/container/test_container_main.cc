// kx_test_container - a stand-in for the container that tests start and script.
//
//   kx_test_container --port N --script DIR --record DIR --pid FILE
//                     [--port-file FILE] [--level L]
//
// Serves the Hessian method invoke(byte[]) at /KxService on 127.0.0.1:N; N 0
// takes any free port and writes it to the port file. Writes its pid to the
// pid file once it accepts connections.
//
// Request n (counted from 1) is answered from DIR/NNNN (n in four digits) or,
// when there is no such file, from the highest-numbered one below it, so the
// last answer repeats; with no file at all the answer is a minimal response
// document. An answer file holds the bytes of the binary reply, or starts with
// the line "#!kx" followed by directive lines, an empty line and the bytes:
//   fault <message>       answer with a Hessian fault carrying that message
//   fault-code <code>     the fault's code (default "ServiceException")
//   status <code>         answer with that HTTP status, the bytes as text/plain
//   delay <ms>            wait that long before answering
//   type binary|string|null|int   type of the reply value (default binary)
//   version 1|2           Hessian version of the reply (default: the caller's)
//   exit                  end the process without answering
//
// Request n is recorded as RECORD/NNNN.call (the HTTP body, byte for byte)
// and, when it is an invoke with a binary argument, RECORD/NNNN.doc (the
// document). Records are complete before the answer leaves. The container
// ends after answering a document whose action is ContainerStop, on SIGTERM,
// or when the record directory disappears (so a forgotten one cannot outlive
// its test).
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "hessian_exceptions.h"
#include "hessian_service.h"
#include "hessian_wrappers.h"

namespace {

using hessian::exceptions::fault_exception;
namespace w = hessian::wrappers;

const char kDefaultAnswer[] = "<?xml version='1.0' encoding='UTF-8'?><TWBKX><BODY></BODY></TWBKX>";
const char kStopAction[] = "<ACTION>ContainerStop</ACTION>";

struct Options {
  int port = -1;
  std::string script_dir;
  std::string record_dir;
  std::string pid_file;
  std::string port_file;
  std::string level = "0";
};

struct Answer {
  std::string body = kDefaultAnswer;
  bool fault = false;
  std::string fault_code = "ServiceException";
  std::string fault_message;
  int status = 200;
  int delay_ms = 0;
  std::string type = "binary";
  int version = 0;
  bool exit_now = false;
};

void log_line(const std::string& text) {
  std::cerr << "kx_test_container[" << getpid() << "]: " << text << std::endl;
}

std::string numbered(const std::string& dir, int n, const char* suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "/%04d%s", n, suffix);
  return dir + name;
}

bool read_whole(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

// Written under a temporary name and renamed, so that a reader sees the whole
// file or none.
bool write_whole(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

Answer parse_answer(const std::string& content) {
  Answer a;
  static const std::string magic = "#!kx\n";
  if (content.compare(0, magic.size(), magic) != 0) {
    a.body = content;
    return a;
  }
  std::size_t pos = magic.size();
  a.body.clear();
  while (pos < content.size()) {
    std::size_t eol = content.find('\n', pos);
    if (eol == std::string::npos) eol = content.size();
    const std::string line = content.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.empty()) {
      if (pos <= content.size()) a.body = content.substr(pos);
      break;
    }
    const std::size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    if (key == "fault") {
      a.fault = true;
      a.fault_message = value;
    } else if (key == "fault-code") {
      a.fault_code = value;
    } else if (key == "status") {
      a.status = std::atoi(value.c_str());
    } else if (key == "delay") {
      a.delay_ms = std::atoi(value.c_str());
    } else if (key == "type") {
      a.type = value;
    } else if (key == "version") {
      a.version = std::atoi(value.c_str());
    } else if (key == "exit") {
      a.exit_now = true;
    } else {
      log_line("ignoring unknown directive '" + key + "'");
    }
  }
  return a;
}

// Answers are scripted ahead of the requests they serve, so the answer of
// an earlier number found once stays the one to fall back on: remembering it
// keeps each lookup to a few files, however many requests came before.
std::mutex fallback_mu;
int fallback_number = 0;

Answer load_answer(const std::string& script_dir, int n) {
  std::string content;
  if (read_whole(numbered(script_dir, n, ""), content)) {
    std::lock_guard<std::mutex> lock(fallback_mu);
    if (n > fallback_number) fallback_number = n;
    return parse_answer(content);
  }
  int k;
  {
    std::lock_guard<std::mutex> lock(fallback_mu);
    k = fallback_number;
  }
  // Requests may overtake each other: a few numbers below n may hold
  // answers not recorded yet.
  for (int j = n - 1; j > k && j > n - 64; --j) {
    if (read_whole(numbered(script_dir, j, ""), content)) return parse_answer(content);
  }
  if (k > 0 && read_whole(numbered(script_dir, k, ""), content)) return parse_answer(content);
  return Answer();
}

// The request being answered on this thread, for the invoke method.
struct Exchange {
  int number = 0;
  const Answer* answer = nullptr;
};
thread_local Exchange current;

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--port") {
      o.port = std::atoi(value.c_str());
    } else if (key == "--script") {
      o.script_dir = value;
    } else if (key == "--record") {
      o.record_dir = value;
    } else if (key == "--pid") {
      o.pid_file = value;
    } else if (key == "--port-file") {
      o.port_file = value;
    } else if (key == "--level") {
      o.level = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o.port >= 0 && o.port <= 65535 && !o.script_dir.empty() &&
         !o.record_dir.empty() && !o.pid_file.empty();
}

bool dir_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parse_options(argc, argv, opt)) {
    std::cerr << "usage: " << argv[0]
              << " --port N --script DIR --record DIR --pid FILE [--port-file FILE] [--level L]\n";
    return 2;
  }

  std::atomic<int> counter{0};
  std::atomic<bool> stop_requested{false};
  std::mutex mu;
  std::condition_variable cv;
  bool answered_stop = false;

  hessian::service service;
  service.add_method("invoke", [&](const hessian::service::arguments& args) -> std::unique_ptr<w::Object> {
    const auto* doc = args.size() == 1 ? dynamic_cast<const w::Binary*>(args[0].get()) : nullptr;
    if (doc == nullptr) throw fault_exception("IllegalArgumentException", "invoke takes one byte[] argument");
    if (!write_whole(numbered(opt.record_dir, current.number, ".doc"), doc->value())) {
      log_line("cannot record request " + std::to_string(current.number));
    }
    if (doc->value().find(kStopAction) != std::string::npos) stop_requested = true;
    const Answer& a = *current.answer;
    if (a.fault) throw fault_exception(a.fault_code, a.fault_message);
    if (a.type == "string") return std::make_unique<w::String>(a.body);
    if (a.type == "null") return nullptr;
    if (a.type == "int") return std::make_unique<w::Integer>(std::atoi(a.body.c_str()));
    return std::make_unique<w::Binary>(a.body);
  });

  httplib::Server svr;
  // One request per connection: an idle kept-alive connection would hold
  // up the end of the process.
  svr.set_keep_alive_max_count(1);
  svr.Post("/KxService", [&](const httplib::Request& req, httplib::Response& res) {
    const int n = ++counter;
    if (!write_whole(numbered(opt.record_dir, n, ".call"), req.body)) {
      log_line("cannot record request " + std::to_string(n));
    }
    const Answer answer = load_answer(opt.script_dir, n);
    log_line("request " + std::to_string(n) + ": " + std::to_string(req.body.size()) + " bytes");
    if (answer.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
    if (answer.exit_now) {
      log_line("exiting without an answer, as scripted");
      std::_Exit(3);
    }
    current.number = n;
    current.answer = &answer;
    const std::string reply = service.handle(req.body, answer.version);
    current = Exchange();
    if (answer.status != 200) {
      res.status = answer.status;
      res.set_content(answer.body, "text/plain");
    } else {
      res.set_content(reply, "x-application/hessian");
    }
  });
  // Runs once the response has been written.
  svr.set_logger([&](const httplib::Request&, const httplib::Response&) {
    if (!stop_requested) return;
    std::lock_guard<std::mutex> lock(mu);
    answered_stop = true;
    cv.notify_all();
  });

  int port = opt.port;
  if (port == 0) {
    port = svr.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
      log_line("cannot bind to a loopback port");
      return 1;
    }
  } else if (!svr.bind_to_port("127.0.0.1", port)) {
    log_line("cannot bind to 127.0.0.1:" + std::to_string(port));
    return 1;
  }
  if (!opt.port_file.empty()) write_whole(opt.port_file, std::to_string(port) + "\n");
  write_whole(opt.pid_file, std::to_string(getpid()) + "\n");
  log_line("listening on 127.0.0.1:" + std::to_string(port) + ", level " + opt.level);

  std::thread listener([&] { svr.listen_after_bind(); });
  {
    std::unique_lock<std::mutex> lock(mu);
    while (!answered_stop) {
      if (cv.wait_for(lock, std::chrono::seconds(1)) == std::cv_status::timeout &&
          !dir_exists(opt.record_dir)) {
        log_line("record directory gone, stopping");
        break;
      }
    }
  }
  if (answered_stop) log_line("ContainerStop answered, stopping");
  svr.stop();
  listener.join();
  return 0;
}
