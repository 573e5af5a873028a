// What the container makes of the cluster's REST answers in the shapes
// Hadoop's servers really write them: the JobHistory server writes a list
// of one as the element itself, and fields may come with unexpected types.
// None of it may throw: the cluster thread reads these answers unattended.
#include "kc_cluster.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

namespace {

// A loopback HTTP server answering fixed bodies by path.
class RestServer {
 public:
  explicit RestServer(std::map<std::string, std::string> bodies) : bodies_(std::move(bodies)) {
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      const auto it = bodies_.find(req.path);
      if (it == bodies_.end()) {
        res.status = 404;
        return;
      }
      res.set_content(it->second, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ~RestServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  std::map<std::string, std::string> bodies_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

kc::Config config_for(const RestServer& server) {
  kc::Config c;
  c.resource_manager_url = server.url();
  c.job_history_url = server.url();
  return c;
}

TEST(ClusterAnswers, CountersReadWhetherAGroupHoldsAListOrASingleCounter) {
  RestServer server({{"/ws/v1/history/mapreduce/jobs/job_17_0001/counters",
                      R"({"jobCounters":{"id":"job_17_0001","counterGroup":[
                           {"counterGroupName":"TaskCounter","counter":[
                             {"name":"MAP_INPUT_RECORDS","totalCounterValue":2},
                             {"name":"REDUCE_OUTPUT_RECORDS","totalCounterValue":3}]},
                           {"counterGroupName":"FileInputFormatCounter","counter":
                             {"name":"BYTES_READ","totalCounterValue":40}},
                           {"counterGroupName":"Odd","counter":[7,"x",{"name":"N","totalCounterValue":"9"}]}]}})"},
                     {"/ws/v1/history/mapreduce/jobs/job_17_0002/counters",
                      R"({"jobCounters":{"id":"job_17_0002","counterGroup":
                           {"counterGroupName":"Only","counter":{"name":"ONE","totalCounterValue":1}}}})"},
                     {"/ws/v1/history/mapreduce/jobs/job_17_0003/counters", R"({"jobCounters":5})"}});
  const kc::Config config = config_for(server);
  const kc::ClusterClient client(config);
  std::string text, error;
  ASSERT_TRUE(client.counters("application_17_0001", text, error)) << error;
  EXPECT_EQ(text, "MAP_INPUT_RECORDS=2,REDUCE_OUTPUT_RECORDS=3,BYTES_READ=40,N=0");
  ASSERT_TRUE(client.counters("application_17_0002", text, error)) << error;
  EXPECT_EQ(text, "ONE=1");

  EXPECT_FALSE(client.counters("application_17_0003", text, error));
  EXPECT_NE(error.find("an answer without counters"), std::string::npos) << error;
  EXPECT_FALSE(client.counters("application_17_0004", text, error));  // not known to the server
  EXPECT_FALSE(client.counters("container_17_0001_01_000001", text, error));
  EXPECT_NE(error.find("not an application id"), std::string::npos) << error;
}

TEST(ClusterAnswers, ApplicationsAndQueuesReadFromAListOfOneOrItsElement) {
  RestServer server({{"/ws/v1/cluster/apps",
                      R"({"apps":{"app":{"id":"application_17_0001","state":"RUNNING","finalStatus":"UNDEFINED",
                           "progress":"half","applicationType":"MAPREDUCE","memorySeconds":12}}})"},
                     {"/ws/v1/cluster/scheduler",
                      R"({"scheduler":{"schedulerInfo":{"queueName":"root","queues":{"queue":
                           {"queueName":"default","state":"RUNNING","capacity":100.0,"queues":{"queue":[
                             {"queueName":"a","capacity":40},{"queueName":"b","capacity":60}]}}}}}})"}});
  const kc::Config config = config_for(server);
  const kc::ClusterClient client(config);
  std::vector<kc::AppInfo> apps;
  std::string error;
  ASSERT_TRUE(client.applications("kx-o-1", {}, apps, error)) << error;
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].id, "application_17_0001");
  EXPECT_EQ(apps[0].state, "RUNNING");
  EXPECT_EQ(apps[0].progress, 0);  // a field of the wrong type reads as unknown
  EXPECT_EQ(apps[0].memory_seconds, 12);

  std::vector<kc::QueueInfo> queues;
  ASSERT_TRUE(client.queues(queues, error)) << error;
  ASSERT_EQ(queues.size(), 3u);
  EXPECT_EQ(queues[0].name, "root.default");
  EXPECT_EQ(queues[1].name, "root.default.a");
  EXPECT_EQ(queues[2].name, "root.default.b");
  EXPECT_EQ(queues[2].capacity, 60);
}

TEST(ClusterAnswers, AnswersThatAreNotListsAreErrorsNotCrashes) {
  RestServer server({{"/ws/v1/cluster/apps", R"([1,2,3])"}, {"/ws/v1/cluster/scheduler", R"({"scheduler":null})"}});
  const kc::Config config = config_for(server);
  const kc::ClusterClient client(config);
  std::vector<kc::AppInfo> apps;
  std::string error;
  EXPECT_FALSE(client.applications("kx-o-1", {}, apps, error));
  EXPECT_NE(error.find("not an application list"), std::string::npos) << error;
  std::vector<kc::QueueInfo> queues;
  EXPECT_FALSE(client.queues(queues, error));
  EXPECT_NE(error.find("not a scheduler"), std::string::npos) << error;
}

}  // namespace
