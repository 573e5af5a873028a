// kx_bench - speed of the library's hot paths, with Google Benchmark.
//
// Runs in a private working directory (data/, proclog/, sysout/ under the
// temporary directory, removed at exit), as the agent's processes would, so
// parameter tables and the log behave as installed. Not part of the tests:
//   cmake --build <build> --target kx_bench && <build>/bench/kx_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "be_requests.h"
#include "be_response.h"
#include "gm_param.h"
#include "gm_time.h"
#include "hessian_codec.h"
#include "hessian_wrappers.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace fs = std::filesystem;

namespace {

// The working directory for the whole run.
class Workdir {
 public:
  Workdir() {
    std::string pattern = (fs::temp_directory_path() / "kxbench-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      std::perror("kx_bench: mkdtemp");
      std::exit(1);
    }
    path_ = buf.data();
    for (const char* sub : {"data", "proclog", "sysout"}) fs::create_directory(fs::path(path_) / sub);
    previous_ = fs::current_path();
    fs::current_path(path_);
  }
  ~Workdir() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(path_, ec);
  }
  Workdir(const Workdir&) = delete;
  Workdir& operator=(const Workdir&) = delete;

 private:
  std::string path_;
  fs::path previous_;
};

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

// Every benchmark starts from the state the agent's processes run in most of
// the time: buffered mode (debug level 0) with a log open.
void buffered_mode() {
  DIAG_set_debug_level(0);
  OS_DIAG_initialize(nullptr, "BN");
}

// Trace lines one run of op puts into the ring (from an empty ring), so the
// results say how much of an operation's time is its own logging.
template <typename Op>
double ring_lines(Op op) {
  OS_DIAG_initialize(nullptr, "BN");  // empties the ring
  op();
  kx::diag::settle_ring();
  double lines = 0;
  for (const char* half : debug_buff) {
    const size_t used = strnlen(half, OS_DIAG_HALF_SIZE);
    for (size_t i = 0; i < used; ++i) lines += half[i] == '\n';
  }
  return lines;
}

// ---------------------------------------------------------------- logging

void BM_TraceBuffered(benchmark::State& state) {
  buffered_mode();
  int n = 0;
  for (auto _ : state) {
    DIAG_TRACE(4, "%s: Added xml element '%s' with value '%d' to request body",
               "GenericRequest::writeBody", "JOBNAME", ++n);
  }
  benchmark::DoNotOptimize(debug_index);
}
BENCHMARK(BM_TraceBuffered);

void BM_TraceDropped(benchmark::State& state) {
  buffered_mode();
  DIAG_set_debug_level(3);
  int n = 0;
  for (auto _ : state) {
    DIAG_TRACE(6, "%s: allocated %d bytes at %x", "PEXLIST_append", ++n, DIAG_ADDR(&n));
    benchmark::ClobberMemory();
  }
  DIAG_set_debug_level(0);
}
BENCHMARK(BM_TraceDropped);

void BM_TimeStamp(benchmark::State& state) {
  char stamp[32];
  for (auto _ : state) {
    GM_TIME_fmt_get_time2(GM_TIME_FMT_MMDD_HH_MM_SS_CCC, stamp);
    benchmark::DoNotOptimize(stamp);
  }
}
BENCHMARK(BM_TimeStamp);

// ---------------------------------------------------------------- parameters

void BM_ParamGet(benchmark::State& state) {
  buffered_mode();
  std::string table = "# a table of the usual size\n";
  for (int i = 0; i < 50; ++i)
    table += "KEY_" + std::to_string(i) + " value number " + std::to_string(i) + "\n";
  write_text("data/BENCH.dat", table);
  GM_PARAM_VALUE_typ value;
  if (GM_PARAM_get("BENCH", "KEY_25", value) != KX_SUCCESS) {
    state.SkipWithError("the table did not load");
    return;
  }
  state.counters["trace_lines"] = ring_lines([&] { GM_PARAM_get("BENCH", "KEY_25", value); });
  for (auto _ : state) {
    GM_PARAM_get("BENCH", "KEY_25", value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ParamGet);

// ---------------------------------------------------------------- documents

// Fifty job attributes as the agent passes them: names, autoedits, values.
class Attributes {
 public:
  explicit Attributes(int count) {
    for (int i = 0; i < count; ++i) {
      names_.push_back((i % 5 == 0 ? "%%VAR_" : "ATTR_") + std::to_string(i));
      values_.push_back("value <" + std::to_string(i) + "> & some text of a job parameter");
    }
    for (int i = 0; i < count; ++i) {
      attrs_.push_back({&names_[i][0], static_cast<uint16_t>(values_[i].size() + 1), &values_[i][0]});
    }
    list_ = {count, attrs_.data(), 0};
  }
  const PEXAttrList* list() const { return &list_; }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> values_;
  std::vector<PEXAttr> attrs_;
  PEXAttrList list_;
};

// The argument is the debug level: 0 is buffered mode, where every detail
// line is formatted into the ring; at 1 the detail lines are dropped.
void BM_RequestToXml50(benchmark::State& state) {
  buffered_mode();
  write_text("data/CONFIG.dat", "DBGLVL 0\n");
  const Attributes attrs(50);
  size_t bytes = 0;
  state.counters["trace_lines"] = ring_lines([&] {
    GenericRequest request("TRACK", attrs.list());
    RequestGeneratorInterface::freeXmlBuffer(request.toXml(false));
  });
  DIAG_set_debug_level(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    GenericRequest request("TRACK", attrs.list());
    char* xml = request.toXml(false);
    if (xml == nullptr) {
      state.SkipWithError("toXml refused the request");
      break;
    }
    bytes = strlen(xml);
    RequestGeneratorInterface::freeXmlBuffer(xml);
  }
  DIAG_set_debug_level(0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_RequestToXml50)->Arg(0)->Arg(1);

void BM_AnswerToAttributes50(benchmark::State& state) {
  buffered_mode();
  std::string doc =
      "<?xml version='1.0' encoding='iso-8859-1'?><TWBKX><HEADER><ACTION>TRACK</ACTION>"
      "</HEADER><BODY>";
  for (int i = 0; i < 50; ++i) {
    const std::string name = "ELEM_" + std::to_string(i);
    doc += "<" + name + ">value &amp; text " + std::to_string(i) + "</" + name + ">";
  }
  doc += "</BODY></TWBKX>";
  state.counters["trace_lines"] = ring_lines([&] {
    PEXAttrList list = {0, nullptr, 0};
    BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &list);
    PEXAPI_utils_release_attr(&list);
  });
  DIAG_set_debug_level(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    PEXAttrList list = {0, nullptr, 0};
    if (BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &list) != PEX_SUCCESS || list.Count != 50) {
      state.SkipWithError("the answer did not convert");
      break;
    }
    PEXAPI_utils_release_attr(&list);
  }
  DIAG_set_debug_level(0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_AnswerToAttributes50)->Arg(0)->Arg(1);

// ---------------------------------------------------------------- Hessian

std::string payload(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 7));
  return bytes;
}

void BM_HessianEncodeCall100k(benchmark::State& state) {
  const int version = static_cast<int>(state.range(0));
  const hessian::wrappers::Binary arg(payload(100000));
  const std::vector<const hessian::wrappers::Object*> args = {&arg};
  for (auto _ : state) {
    std::string call = hessian::codec::encode_call("invoke", args, version);
    benchmark::DoNotOptimize(call.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * arg.value().size()));
}
BENCHMARK(BM_HessianEncodeCall100k)->Arg(1)->Arg(2);

void BM_HessianDecodeReply100k(benchmark::State& state) {
  const int version = static_cast<int>(state.range(0));
  const hessian::wrappers::Binary value(payload(100000));
  const std::string reply = hessian::codec::encode_reply(&value, version);
  for (auto _ : state) {
    std::unique_ptr<hessian::wrappers::Object> decoded = hessian::codec::decode_reply(reply);
    benchmark::DoNotOptimize(decoded.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * value.value().size()));
}
BENCHMARK(BM_HessianDecodeReply100k)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Workdir workdir;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
