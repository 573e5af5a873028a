// The Hadoop job types against a real single-node Hadoop cluster, through
// the library's entry points as an agent calls them, with YARN's own REST
// answers as the truth. One cluster and one container for the whole program
// (starting a cluster takes a while); every test has jobs of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "agent_env.h"
#include "hadoop_cluster.h"
#include "pexapi.h"
#include "product_container.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;
using kxtest::ActionResult;
using kxtest::job_action;
using kxtest::read_output;
using kxtest::track_to_end;

constexpr int kJobTimeoutMs = 240000;

// The world of the whole program: the cluster, an agent working directory
// (this process is the agent), and the container beside it, which reaches
// the ResourceManager's REST API through a relay a test can cut.
struct World {
  std::unique_ptr<kxtest::HadoopCluster> cluster;
  std::unique_ptr<kxtest::AgentProcess> agent;
  std::unique_ptr<kxtest::TcpRelay> relay;
  std::unique_ptr<kxtest::ProductContainer> container;
};
World* world = nullptr;

class HadoopWorld : public ::testing::Environment {
 public:
  void SetUp() override {
    world = new World;
    world->cluster = std::make_unique<kxtest::HadoopCluster>();
    world->agent = std::make_unique<kxtest::AgentProcess>(1);
    const kxtest::TestWorkdir& wd = world->agent->wd;
    world->relay = std::make_unique<kxtest::TcpRelay>(world->cluster->rm_web_port());
    const kxtest::HadoopCluster& c = *world->cluster;
    world->container = std::make_unique<kxtest::ProductContainer>(
        wd.file("container"), "<HadoopBinDir>" + c.env("HADOOP_BIN") + "</HadoopBinDir><HadoopConfDir>" +
                                  c.env("HADOOP_CONF_DIR") + "</HadoopConfDir><ResourceManagerUrl>http://127.0.0.1:" +
                                  std::to_string(world->relay->port()) +
                                  "</ResourceManagerUrl><ClusterPollIntervalMs>300</ClusterPollIntervalMs>"
                                  "<ClusterWaitSeconds>30</ClusterWaitSeconds><MaxRunningJobs>8</MaxRunningJobs>");
    ASSERT_TRUE(world->container->start()) << world->container->log();
    // Input for the MapReduce jobs.
    wd.write("words.txt", "one two three\nfour five one\n");
    std::string out;
    ASSERT_EQ(c.run("hdfs dfs -mkdir -p /user/root/kxin && hdfs dfs -put -f " + wd.file("words.txt") +
                        " /user/root/kxin/",
                    &out),
              0)
        << out;
  }
  void TearDown() override {
    if (world == nullptr) return;
    world->container.reset();
    world->relay.reset();
    world->agent.reset();
    world->cluster.reset();
    delete world;
    world = nullptr;
  }
};

const ::testing::Environment* const kWorld = ::testing::AddGlobalTestEnvironment(new HadoopWorld);

ActionResult submit(const std::string& orderno, std::vector<std::pair<std::string, std::string>> attrs) {
  attrs.insert(attrs.begin(), {{"ORDERNO", orderno}, {"RUNNO", "1"}});
  return job_action("SUBMIT", attrs);
}

ActionResult track(const std::string& orderno) { return job_action("TRACK", {{"ORDERNO", orderno}, {"RUNNO", "1"}}); }

// The applications YARN holds under a job's tag: id -> "STATE/FINALSTATUS".
std::map<std::string, std::string> yarn_apps(const std::string& tag) {
  std::map<std::string, std::string> out;
  const auto j = nlohmann::json::parse(world->cluster->rm_get("/ws/v1/cluster/apps?applicationTags=" + tag), nullptr,
                                       false);
  if (!j.is_object() || !j.contains("apps") || !j["apps"].is_object() || !j["apps"].contains("app")) return out;
  const auto& list = j["apps"]["app"];
  for (const auto& a : list.is_array() ? list : nlohmann::json::array({list})) {
    if (a.is_object()) out[a.value("id", "")] = a.value("state", "") + "/" + a.value("finalStatus", "");
  }
  return out;
}

// TRACK until YARN runs the job's application.
bool wait_running(const std::string& orderno, int timeout_ms = 120000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const ActionResult r = track(orderno);
    if (r["YARN_STATE"] == "RUNNING") return true;
    if (r["STATUS"] != "EXECUTING" && r["STATUS"] != "WAITING") return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> sleep_job(int map_ms) {
  return {{"JOB_TYPE", "MAPREDUCE"},
          {"CLASS", "org.apache.hadoop.mapreduce.SleepJob"},
          {"ENV1", "HADOOP_CLASSPATH=" + world->cluster->env("JOBCLIENT_TESTS_JAR")},
          {"ARGS", "-m 1 -r 0 -mt " + std::to_string(map_ms)}};
}

TEST(HadoopJobs, HdfsCommandsRunThroughTheEdgeNodesCommands) {
  world->agent->wd.write("local.txt", "hello hdfs\n");
  ActionResult r = submit("h1", {{"JOB_TYPE", "HDFS"}, {"HDFS_COMMAND", "put"},
                                 {"ARGS", world->agent->wd.file("local.txt") + " /user/root/kx-local.txt"}});
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  EXPECT_EQ(track_to_end("h1", kJobTimeoutMs)["STATUS"], "ENDED_OK");
  submit("h2", {{"JOB_TYPE", "HDFS"}, {"HDFS_COMMAND", "-cat"}, {"ARGS", "/user/root/kx-local.txt"}});
  EXPECT_EQ(track_to_end("h2", kJobTimeoutMs)["STATUS"], "ENDED_OK");
  EXPECT_NE(read_output("h2").find("hello hdfs"), std::string::npos);
  submit("h3", {{"JOB_TYPE", "HDFS"}, {"HDFS_COMMAND", "cat"}, {"ARGS", "/user/root/no-such-file"}});
  const ActionResult missing = track_to_end("h3", kJobTimeoutMs);
  EXPECT_EQ(missing["STATUS"], "ENDED_NOTOK");
  EXPECT_EQ(missing["EXITCODE"], "1");
  // A command the file-system shell does not have is refused at the submit.
  r = submit("h4", {{"JOB_TYPE", "HDFS"}, {"HDFS_COMMAND", "format"}});
  EXPECT_EQ(r.rc, PEX_FAIL);
  EXPECT_EQ(r.code, 6u);
}

TEST(HadoopJobs, AWordcountIsTrackedByItsTagToYarnsFinalStatus) {
  ActionResult r = submit("wc1", {{"JOB_TYPE", "MAPREDUCE"}, {"JAR", world->cluster->env("EXAMPLES_JAR")},
                                  {"PROGRAM", "wordcount"}, {"ARGS", "kxin kxout-wc1"}});
  ASSERT_EQ(r.rc, PEX_SUCCESS) << r.text;
  r = track_to_end("wc1", kJobTimeoutMs);
  ASSERT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"];
  EXPECT_EQ(r["YARN_FINAL_STATUS"], "SUCCEEDED");
  EXPECT_EQ(r["PROGRESS"], "100");
  const auto apps = yarn_apps("kx-wc1-1");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps.begin()->first, r["APPLICATIONS"]);
  EXPECT_EQ(apps.begin()->second, "FINISHED/SUCCEEDED");
  const std::string out = read_output("wc1");
  EXPECT_NE(out.find("Map input records=2"), std::string::npos) << "no counters in the output";
  EXPECT_NE(out.find("aggregated logs of " + r["APPLICATIONS"]), std::string::npos);
  const ActionResult stats = job_action("STATISTICS", {{"ORDERNO", "wc1"}, {"RUNNO", "1"}});
  EXPECT_EQ(stats["YARN_APPS"], "1");
  EXPECT_GT(std::atol(stats["MEMORY_SECONDS"].c_str()), 0);
  EXPECT_NE(stats["APPLICATION_USAGE"].find(r["APPLICATIONS"] + " memory-seconds="), std::string::npos);
  EXPECT_NE(stats["COUNTERS"].find("MAP_INPUT_RECORDS=2"), std::string::npos) << stats["COUNTERS"];
  std::string words;
  world->cluster->run("hdfs dfs -cat kxout-wc1/part-r-00000", &words);
  EXPECT_NE(words.find("one\t2"), std::string::npos) << words;
}

TEST(HadoopJobs, DistcpAndTheDistributedShellCarryTheTag) {
  submit("dc1", {{"JOB_TYPE", "DISTCP"}, {"SOURCE", "/user/root/kxin"}, {"TARGET", "/user/root/kxcopy"}});
  submit("ds1", {{"JOB_TYPE", "YARN_APP"},
                 {"JAR", world->cluster->env("DISTSHELL_JAR")},
                 {"CLASS", "org.apache.hadoop.yarn.applications.distributedshell.Client"},
                 {"ARGS", "-jar " + world->cluster->env("DISTSHELL_JAR") +
                              " -shell_command 'echo from-the-shell' -num_containers 1 -container_memory 128"
                              " -master_memory 256"}});
  const ActionResult dc = track_to_end("dc1", kJobTimeoutMs);
  const ActionResult ds = track_to_end("ds1", kJobTimeoutMs);
  EXPECT_EQ(dc["STATUS"], "ENDED_OK") << dc["MESSAGE"];
  EXPECT_EQ(ds["STATUS"], "ENDED_OK") << ds["MESSAGE"];
  EXPECT_EQ(yarn_apps("kx-dc1-1").size(), 1u);
  ASSERT_EQ(yarn_apps("kx-ds1-1").size(), 1u);
  EXPECT_EQ(yarn_apps("kx-ds1-1").begin()->second, "FINISHED/SUCCEEDED");
  std::string listing;
  world->cluster->run("hdfs dfs -ls -R /user/root/kxcopy", &listing);
  EXPECT_NE(listing.find("words.txt"), std::string::npos) << listing;
}

TEST(HadoopJobs, AFailingMapReduceJobEndsNotOkWithItsLogs) {
  // Map tasks whose JVM cannot start: the application fails.
  submit("fail1", {{"JOB_TYPE", "MAPREDUCE"}, {"JAR", world->cluster->env("EXAMPLES_JAR")},
                   {"PROGRAM", "wordcount"}, {"ARGS", "kxin kxout-fail1"},
                   {"PROPERTY1", "mapreduce.map.java.opts=-XX:+KxNoSuchOption"},
                   {"PROPERTY2", "mapreduce.map.maxattempts=1"}});
  const ActionResult r = track_to_end("fail1", kJobTimeoutMs);
  EXPECT_EQ(r["STATUS"], "ENDED_NOTOK");
  EXPECT_EQ(r["YARN_FINAL_STATUS"], "FAILED");
  EXPECT_NE(r["MESSAGE"].find("FAILED"), std::string::npos) << r["MESSAGE"];
  const std::string out = read_output("fail1");
  EXPECT_NE(out.find("aggregated logs of"), std::string::npos);
  EXPECT_NE(out.find("KxNoSuchOption"), std::string::npos) << "the task's own error is not in the output";
}

TEST(HadoopJobs, ADriverThatExitsZeroWhileItsApplicationFailsNeverEndsOk) {
  // JobClient -submit hands the job to YARN and exits 0 at once; the job's
  // map class does not exist, so its application fails afterwards.
  const std::string conf = world->agent->wd.file("failing-job.xml");
  std::ofstream(conf) << "<?xml version='1.0'?><configuration>"
                      << "<property><name>mapreduce.job.jar</name><value>" << world->cluster->env("EXAMPLES_JAR")
                      << "</value></property>"
                      << "<property><name>mapred.mapper.new-api</name><value>true</value></property>"
                      << "<property><name>mapreduce.job.map.class</name><value>org.kxtest.NoSuchMapper</value></property>"
                      << "<property><name>mapreduce.job.reduces</name><value>0</value></property>"
                      << "<property><name>mapreduce.map.maxattempts</name><value>1</value></property>"
                      << "<property><name>mapreduce.input.fileinputformat.inputdir</name><value>kxin</value></property>"
                      << "<property><name>mapreduce.output.fileoutputformat.outputdir</name><value>kxout-drv0</value>"
                         "</property>"
                      << "<property><name>mapreduce.job.tags</name><value>kx-drv0-1</value></property>"
                      << "</configuration>\n";
  submit("drv0", {{"JOB_TYPE", "MAPREDUCE"}, {"CLASS", "org.apache.hadoop.mapred.JobClient"},
                  {"ARGS", "-submit " + conf}});
  // The driver is gone well before the application: still executing then.
  bool seen_driver_gone_while_executing = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kJobTimeoutMs);
  ActionResult r;
  for (;;) {
    r = track("drv0");
    if (r["STATUS"] != "EXECUTING" || std::chrono::steady_clock::now() > deadline) break;
    // The driver's end record is the supervisor's status file.
    for (const auto& d : fs::directory_iterator(world->container->spool_dir())) {
      if (kxtest::read_file(d.path().string() + "/plan.json").find("failing-job.xml") != std::string::npos &&
          fs::exists(d.path() / "status.json")) {
        seen_driver_gone_while_executing = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(seen_driver_gone_while_executing);
  EXPECT_EQ(r["STATUS"], "ENDED_NOTOK") << r["MESSAGE"];
  EXPECT_EQ(r["EXITCODE"], "0");
  EXPECT_NE(r["MESSAGE"].find("FAILED"), std::string::npos) << r["MESSAGE"];
  EXPECT_EQ(yarn_apps("kx-drv0-1").begin()->second, "FINISHED/FAILED");
}

TEST(HadoopJobs, AKillReachesYarn) {
  ASSERT_EQ(submit("kill1", sleep_job(600000)).rc, PEX_SUCCESS);
  ASSERT_TRUE(wait_running("kill1"));
  EXPECT_EQ(job_action("KILL", {{"ORDERNO", "kill1"}, {"RUNNO", "1"}}).rc, PEX_SUCCESS);
  const ActionResult r = track_to_end("kill1", kJobTimeoutMs);
  EXPECT_EQ(r["STATUS"], "KILLED");
  const auto apps = yarn_apps("kx-kill1-1");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps.begin()->second, "KILLED/KILLED");
}

TEST(HadoopJobs, ARestartedContainerFindsTheApplicationAgainAndSubmitsNothingTwice) {
  ASSERT_EQ(submit("rs1", sleep_job(15000)).rc, PEX_SUCCESS);
  ASSERT_TRUE(wait_running("rs1"));
  world->container->kill9();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // The next request starts a new container through the library.
  const ActionResult r = track_to_end("rs1", kJobTimeoutMs);
  EXPECT_TRUE(world->container->running());
  EXPECT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"];
  const auto apps = yarn_apps("kx-rs1-1");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps.begin()->second, "FINISHED/SUCCEEDED");
}

TEST(HadoopJobs, AnUnreachableResourceManagerNeverEndsAJob) {
  ASSERT_EQ(submit("rm1", sleep_job(4000)).rc, PEX_SUCCESS);
  ASSERT_TRUE(wait_running("rm1"));
  world->relay->close();
  // The job ends in YARN meanwhile; the container cannot see it.
  const auto yarn_says = [] {
    const auto apps = yarn_apps("kx-rm1-1");
    return apps.empty() ? std::string() : apps.begin()->second;
  };
  for (int i = 0; i < 600 && yarn_says() != "FINISHED/SUCCEEDED"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ActionResult r = track("rm1");
  EXPECT_EQ(r["STATUS"], "EXECUTING");
  EXPECT_NE(r["MESSAGE"].find("ResourceManager has not answered since"), std::string::npos) << r["MESSAGE"];
  EXPECT_EQ(r["YARN_STATE"], "RUNNING");  // the last it said
  world->relay->open();
  r = track_to_end("rm1", kJobTimeoutMs);
  EXPECT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"];
  EXPECT_EQ(r["YARN_FINAL_STATUS"], "SUCCEEDED");
}

TEST(HadoopJobs, TheClustersQueuesAreListed) {
  kxtest::AgentAttrs open{{"TEXT", "<TWBKX><HEADER><ACTION>LIST_QUEUES</ACTION></HEADER><BODY></BODY></TWBKX>"}};
  void* handle = nullptr;
  PEXError error{};
  ASSERT_EQ(PEXAPI_LIST_DATA_OPEN(nullptr, &handle, open.list(), &error), PEX_SUCCESS) << error.text;
  kxtest::AgentAttrs in, out;
  out.add("TEXT", "", 1000);
  std::string text;
  PEXRC rc;
  do {
    rc = PEXAPI_LIST_DATA_READ(nullptr, handle, in.list(), out.list(), &error);
    text += out.value(0);
  } while (rc == PEX_SUCCESS);
  PEXAPI_LIST_DATA_CLOSE(nullptr, handle, open.list(), &error);
  EXPECT_EQ(rc, PEX_EOS) << error.text;
  EXPECT_NE(text.find("<NAME>root.default</NAME>"), std::string::npos) << text;
  EXPECT_NE(text.find("<NAME>root.batch</NAME>"), std::string::npos) << text;
}

}  // namespace
