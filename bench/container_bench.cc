// container_bench - TRACK through the library against kxcontainer holding 1
// and 1,000 jobs, and against the scripted test container, in one run.
//
// An agent process as the agent has one: dlopen'ed library in a working
// directory of its own, Init and Connect once, then PEXAPI_JOB_ACTION
// "TRACK" with the answer's attributes pre-created, at debug level 0.
//   cmake --build <build> --target container_bench && <build>/bench/container_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_env.h"
#include "pexapi.h"
#include "product_container.h"
#include "test_container.h"
#include "test_workdir.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  kxtest::AgentProcess agent{0};
  const kxtest::TestWorkdir& wd = agent.wd;
  std::unique_ptr<kxtest::ProductContainer> product;
  std::unique_ptr<kxtest::TestContainer> scripted;
  std::string product_conf, scripted_conf;
  int jobs = 0;

  Setup() {
    product = std::make_unique<kxtest::ProductContainer>(wd.file("container"),
                                                         "<MaxRunningJobs>64</MaxRunningJobs><LogLevel>warn</LogLevel>");
    product_conf = kxtest::read_file(wd.file("data/kx_container_conf.xml"));
    if (!product->start()) {
      std::fprintf(stderr, "container_bench: kxcontainer did not start:\n%s", product->log().c_str());
      std::exit(1);
    }
    scripted = std::make_unique<kxtest::TestContainer>();
    // The scripted container answers what kxcontainer answers an ended job.
    scripted->answer(kxtest::doc::answer(
        "<JOBID>kx-b0-1</JOBID><STATUS>ENDED_OK</STATUS><EXITCODE>0</EXITCODE>"
        "<STARTTIME>2026-12-08T12:00:00Z</STARTTIME><ENDTIME>2026-12-08T12:00:01Z</ENDTIME><MESSAGE></MESSAGE>"));
    scripted->start();
    scripted_conf = "<?xml version='1.0'?><Configuration><ContainerHost>127.0.0.1</ContainerHost><Port>" +
                    std::to_string(scripted->port()) + "</Port></Configuration>";
  }

  void use_product() { wd.write("data/kx_container_conf.xml", product_conf); }
  void use_scripted() { wd.write("data/kx_container_conf.xml", scripted_conf); }

  PEXRC action(const char* name, const std::vector<std::pair<std::string, std::string>>& in,
               const std::vector<std::string>& out_names, std::string* status = nullptr) {
    kxtest::AgentAttrs attrs_in, attrs_out;
    for (const auto& [n, v] : in) attrs_in.add(n, v);
    for (const auto& n : out_names) attrs_out.add(n, "", 256);
    PEXError error{};
    const PEXRC rc = PEXAPI_JOB_ACTION(&agent.connection, const_cast<char*>(name), attrs_in.list(), attrs_out.list(), &error);
    if (status != nullptr && attrs_out.count() > 1) *status = attrs_out.value(1);
    return rc;
  }

  // Submits jobs until the container holds n, and waits until all ended.
  void hold(int n) {
    use_product();
    for (; jobs < n; ++jobs) {
      action("SUBMIT",
             {{"ORDERNO", "b" + std::to_string(jobs)}, {"RUNNO", "1"}, {"JOB_TYPE", "COMMAND"}, {"CMDLINE", "true"}},
             {"JOBID", "STATUS"});
    }
    for (int i = 0; i < n; ++i) {
      std::string status;
      do {
        action("TRACK", {{"ORDERNO", "b" + std::to_string(i)}, {"RUNNO", "1"}},
               kxtest::answer_names("TRACK"), &status);
        if (status == "EXECUTING" || status == "WAITING") std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } while (status == "EXECUTING" || status == "WAITING");
    }
  }
};

Setup* setup = nullptr;

void track(benchmark::State& state) {
  const auto names = kxtest::answer_names("TRACK");
  for (auto _ : state) {
    if (setup->action("TRACK", {{"ORDERNO", "b0"}, {"RUNNO", "1"}}, names) != PEX_SUCCESS) {
      state.SkipWithError("TRACK failed");
      break;
    }
  }
}

void BM_TrackKxContainer(benchmark::State& state) {
  setup->hold(static_cast<int>(state.range(0)));
  track(state);
}

void BM_TrackScriptedContainer(benchmark::State& state) {
  setup->use_scripted();
  track(state);
  setup->use_product();
}

BENCHMARK(BM_TrackKxContainer)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_TrackScriptedContainer)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_TrackKxContainer)->Arg(1000)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_TrackScriptedContainer)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  setup = new Setup;
  benchmark::RunSpecifiedBenchmarks();
  delete setup;
  benchmark::Shutdown();
  return 0;
}
