// track_bench - one TRACK through the library against the floor of its
// protocol, side by side in one process, for growing requests and answers.
//
// The agent's way: the library linked, Init and Connect once, then
// PEXAPI_JOB_ACTION(conn, "TRACK", ...) at debug level 0, with N input
// attributes and an answer of M BODY leaves (each with an output attribute
// of its name), against a minimal loopback server that answers every call
// with the same reply bytes. The floor is what any client of that exchange
// has to do: the two port probes (connect, close), one raw HTTP POST of the
// library's own request bytes on a new connection, one Expat parse of the
// answer document. Each iteration runs both, in alternating order, so drift
// on a shared machine touches both alike.
//   cmake --build <build> --target track_bench
//   <build>/bench/track_bench --benchmark_repetitions=5
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <expat.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent_env.h"
#include "hessian_codec.h"
#include "hessian_wrappers.h"
#include "os_diag.h"
#include "pexapi.h"
#include "test_workdir.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

size_t content_length(const std::string& head) {
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(strtoul(head.c_str() + at + 17, nullptr, 10));
}

// Answers every HTTP request with the fixed reply, one connection at a time,
// and closes; a connection that sends nothing is a port probe.
class FixedReplyServer {
 public:
  FixedReplyServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 64) != 0)
      throw std::runtime_error("track_bench: cannot listen on loopback");
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FixedReplyServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }

  int port() const { return port_; }

  // The answer document, as the container sends it: a Hessian binary in
  // the reply version the call asked for.
  void set_answer(const std::string& xml) {
    hessian::wrappers::Binary binary{std::string(xml)};
    std::lock_guard<std::mutex> lock(mutex_);
    reply_v1_ = http(hessian::codec::encode_reply(&binary, 1));
    reply_v2_ = http(hessian::codec::encode_reply(&binary, 2));
    last_request_.clear();
  }
  // Each request received is written to path (replacing the previous one).
  void record_to(const std::string& path) { record_path_ = path; }
  // The last whole HTTP request received (head and body).
  std::string last_request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_request_;
  }

 private:
  static std::string http(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: x-application/hessian\r\nConnection: close\r\n\r\n" + body;
  }

  void serve() {
    while (!stop_) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      handle(c);
      close(c);
    }
  }

  void handle(int c) {
    std::string in;
    char buf[65536];
    size_t body_at = std::string::npos;
    size_t need = 0;
    for (;;) {
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
      if (body_at == std::string::npos) {
        const size_t end = in.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        body_at = end + 4;
        need = body_at + content_length(in.substr(0, body_at));
      }
      if (in.size() >= need) break;
    }
    // A Hessian 1 call begins with 'c', a Hessian 2 one with 'H' or 'C'.
    const bool v1 = in.size() > body_at && in[body_at] == 'c';
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reply = v1 ? reply_v1_ : reply_v2_;
      last_request_ = in;
    }
    write_all(c, reply);
    if (!record_path_.empty()) std::ofstream(record_path_, std::ios::binary) << in;
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string reply_v1_, reply_v2_, last_request_, record_path_;
};

int connect_loopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The floor: two probes, the raw POST on a new connection, the parse.
bool floor_once(int port, const std::string& request, const std::string& answer_xml) {
  for (int i = 0; i < 2; ++i) {
    const int fd = connect_loopback(port);
    if (fd < 0) return false;
    close(fd);
  }
  const int fd = connect_loopback(port);
  if (fd < 0) return false;
  bool ok = write_all(fd, request);
  char buf[65536];
  size_t got = 0;
  for (ssize_t n; ok && (n = read(fd, buf, sizeof buf)) > 0;) got += static_cast<size_t>(n);
  close(fd);
  XML_Parser parser = XML_ParserCreate(nullptr);
  ok = ok && got > 0 &&
       XML_Parse(parser, answer_xml.data(), static_cast<int>(answer_xml.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

struct Setup {
  kxtest::AgentProcess agent{0};
  const kxtest::TestWorkdir& wd = agent.wd;
  FixedReplyServer server;

  // port: the server the library is to call, 0 for this process's own.
  explicit Setup(int port = 0) {
    if (port == 0) port = server.port();
    const std::string conf = wd.file("data/kx_container_conf.xml");
    wd.write("data/kx_container_conf.xml",
             "<?xml version='1.0'?><Configuration><ContainerHost>127.0.0.1</ContainerHost><Port>" +
                 std::to_string(port) + "</Port></Configuration>");
    // An agent's configuration was written long before its requests.
    const timespec old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    utimensat(AT_FDCWD, conf.c_str(), old, 0);
  }
};

Setup* setup = nullptr;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

std::string leaf_name(int i) { return "LEAF" + std::to_string(i); }

std::string answer_of(int leaves) {
  std::string body;
  for (int i = 1; i <= leaves; ++i)
    body += "<" + leaf_name(i) + ">value " + std::to_string(i) + "</" + leaf_name(i) + ">";
  return kxtest::doc::answer(body);
}

// An answer of n extended autoedits, which no output attribute takes.
std::string autoedit_answer_of(int n) {
  std::string body;
  for (int i = 1; i <= n; ++i) {
    const std::string tag = "AUTOEDITOUT" + std::to_string(i);
    body += "<" + tag + ">AE" + std::to_string(i) + "=value " + std::to_string(i) + "</" + tag + ">";
  }
  return kxtest::doc::answer(body);
}

kxtest::AgentAttrs input_of(int attributes) {
  kxtest::AgentAttrs in;
  in.add("ORDERNO", "b0");
  in.add("RUNNO", "1");
  for (int i = 3; i <= attributes; ++i)
    in.add("ATTR" + std::to_string(i), "value of attribute " + std::to_string(i));
  return in;
}

// One TRACK with M answer leaves, each with its output attribute; the
// library's time in *seconds. True when the last leaf reached its attribute.
bool track_once(kxtest::AgentAttrs* in, int leaves, double* seconds) {
  kxtest::AgentAttrs out;
  for (int i = 1; i <= leaves; ++i) out.add(leaf_name(i), "", 64);
  PEXError error{};
  const auto t0 = Clock::now();
  const PEXRC rc = PEXAPI_JOB_ACTION(&setup->agent.connection, const_cast<char*>("TRACK"), in->list(),
                                     out.list(), &error);
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return rc == PEX_SUCCESS && (leaves == 0 || out.value(leaves - 1) == "value " + std::to_string(leaves));
}

// One benchmark per size: N input attributes, M answer leaves. The iteration
// time is TRACK's; the counters give both medians, their ratio and the
// spread (10th and 90th percentiles) of this repetition.
void BM_TrackVsFloor(benchmark::State& state) {
  const int n_in = static_cast<int>(state.range(0));
  const int m_out = static_cast<int>(state.range(1));
  const std::string answer_xml = answer_of(m_out);
  setup->server.set_answer(answer_xml);
  kxtest::AgentAttrs in = input_of(n_in);
  auto track = [&](double* seconds) { return track_once(&in, m_out, seconds); };

  double t = 0;
  if (!track(&t)) {  // also gives the library's request bytes
    state.SkipWithError("TRACK failed");
    return;
  }
  const std::string request = setup->server.last_request();

  std::vector<double> track_us, floor_us;
  size_t k = 0;
  for (auto _ : state) {
    double tt = 0, tf = 0;
    bool ok = true;
    for (int step = 0; step < 2; ++step) {
      if ((step == 0) == (k % 2 == 0)) {
        ok = ok && track(&tt);
      } else {
        const auto t0 = Clock::now();
        ok = ok && floor_once(setup->server.port(), request, answer_xml);
        tf = std::chrono::duration<double>(Clock::now() - t0).count();
      }
    }
    ++k;
    if (!ok) {
      state.SkipWithError("an exchange failed");
      break;
    }
    state.SetIterationTime(tt);
    track_us.push_back(tt * 1e6);
    floor_us.push_back(tf * 1e6);
  }
  if (track_us.empty()) return;
  const double tm = percentile(track_us, 0.5), fm = percentile(floor_us, 0.5);
  state.counters["track_us"] = tm;
  state.counters["track_p10"] = percentile(track_us, 0.1);
  state.counters["track_p90"] = percentile(track_us, 0.9);
  state.counters["floor_us"] = fm;
  state.counters["floor_p10"] = percentile(floor_us, 0.1);
  state.counters["floor_p90"] = percentile(floor_us, 0.9);
  state.counters["ratio"] = tm / fm;
  state.counters["request_bytes"] = static_cast<double>(request.size());
}

BENCHMARK(BM_TrackVsFloor)
    ->Args({10, 10})
    ->Args({100, 10})
    ->Args({1000, 10})
    ->Args({10, 1000})
    ->Args({1000, 1000})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

// Driver modes for counting system calls (strace) without the server:
//   track_bench --serve=M <port-file>   serves the answer of M leaves, writes
//                                       its port there and each request it
//                                       gets to <port-file>.request; runs
//                                       until killed
//   track_bench --serve-autoedits=M <port-file>
//                                       the same with M AUTOEDITOUTn leaves
//   track_bench --track=K --port=P [--attrs=N] [--leaves=M]
//                                       K TRACKs against that server
//                                       (--level=L: at debug level L)
//   track_bench --track=0 --floor=F --port=P --request=<file> [--leaves=M]
//                                       F floors of those request bytes
int drive(int argc, char** argv) {
  long serve = -1, serve_autoedits = -1, track = 0, port = 0, attrs = 10, leaves = 10, floors = 0,
       level = 0;
  const char* port_file = nullptr;
  const char* request_file = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto num = [&](const char* key, long* v) {
      const std::string k = std::string(key) + "=";
      if (a.compare(0, k.size(), k) != 0) return false;
      *v = strtol(a.c_str() + k.size(), nullptr, 10);
      return true;
    };
    if (num("--serve", &serve) || num("--serve-autoedits", &serve_autoedits) || num("--track", &track) || num("--port", &port) ||
        num("--attrs", &attrs) || num("--leaves", &leaves) || num("--floor", &floors) || num("--level", &level))
      continue;
    if (a.compare(0, 10, "--request=") == 0) {
      request_file = argv[i] + 10;
      continue;
    }
    port_file = argv[i];
  }
  if (serve >= 0 || serve_autoedits >= 0) {
    FixedReplyServer server;
    server.set_answer(serve >= 0 ? answer_of(static_cast<int>(serve))
                                 : autoedit_answer_of(static_cast<int>(serve_autoedits)));
    if (port_file != nullptr) server.record_to(std::string(port_file) + ".request");
    FILE* f = port_file != nullptr ? fopen(port_file, "w") : stdout;
    fprintf(f, "%d\n", server.port());
    if (f != stdout) fclose(f);
    for (;;) pause();
  }
  setup = new Setup(static_cast<int>(port));
  DIAG_set_debug_level(static_cast<int>(level));
  kxtest::AgentAttrs in = input_of(static_cast<int>(attrs));
  double t = 0;
  std::string request;
  for (long i = 0; i < track; ++i) {
    if (!track_once(&in, static_cast<int>(leaves), &t)) {
      fprintf(stderr, "track_bench: TRACK failed\n");
      return 1;
    }
  }
  if (track > 0) fprintf(stderr, "track_bench: the last TRACK took %.6f s\n", t);
  if (floors > 0) {
    std::ifstream file(request_file != nullptr ? request_file : "");
    const std::string request((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string answer_xml = answer_of(static_cast<int>(leaves));
    for (long i = 0; i < floors; ++i) {
      if (request.empty() || !floor_once(static_cast<int>(port), request, answer_xml)) {
        fprintf(stderr, "track_bench: floor exchange failed\n");
        return 1;
      }
    }
  }
  delete setup;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--serve", 7) == 0 || strncmp(argv[i], "--track=", 8) == 0)
      return drive(argc, argv);
  }
  benchmark::Initialize(&argc, argv);
  setup = new Setup;
  benchmark::RunSpecifiedBenchmarks();
  delete setup;
  benchmark::Shutdown();
  return 0;
}
