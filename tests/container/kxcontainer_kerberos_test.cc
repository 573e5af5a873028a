// A container in Kerberos mode, through the library's entry points: it logs
// in from its keytab against a real KDC, logs in again before its ticket
// ends, its jobs' commands see its ticket, and its calls to the cluster's
// REST servers authenticate with SPNEGO. A login the KDC refuses leaves a
// container that still serves, says why, and tries again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "kdc.h"
#include "pexapi.h"
#include "product_container.h"
#include "spnego_server.h"
#include "test_workdir.h"

namespace {

using kxtest::ActionResult;
using kxtest::AgentAttrs;

// One realm, one service keytab and one REST server for the whole program.
struct Realm {
  kxtest::TestWorkdir dir;
  kxtest::Kdc kdc{dir.path()};
  bool ready = kdc.error().empty() && kdc.add_principal("kxagent", dir.path() + "/kxagent.keytab", 12) &&
               kdc.add_principal("HTTP/127.0.0.1", dir.path() + "/http.keytab");
  kxtest::SpnegoServer rest{dir.path() + "/http.keytab",
                            {{"/ws/v1/cluster/scheduler",
                              R"({"scheduler":{"schedulerInfo":{"queueName":"root","queues":{"queue":[
                                   {"queueName":"secure","state":"RUNNING","capacity":100}]}}}})"}}};
};
Realm* realm = nullptr;

std::string kerberos_conf(const std::string& principal) {
  return "<KerberosKeytabPath>" + realm->dir.path() + "/kxagent.keytab</KerberosKeytabPath><KerberosPrincipal>" +
         principal + "</KerberosPrincipal><ResourceManagerUrl>" + realm->rest.url() + "</ResourceManagerUrl>";
}

class KerberosContainer : public kxtest::ContainerAgentEnv {
 protected:
  static void SetUpTestSuite() { realm = new Realm(); }
  static void TearDownTestSuite() {
    delete realm;
    realm = nullptr;
  }

  explicit KerberosContainer(const std::string& principal = "kxagent@KX.TEST")
      : ContainerAgentEnv((realm->kdc.use(), kerberos_conf(principal))) {}

  void SetUp() override {
    ASSERT_TRUE(realm->ready) << realm->kdc.error();
    ASSERT_TRUE(container_->start()) << container_->log();
  }

  // Waits (bounded) until text is in the container's log count times.
  bool logged(const std::string& text, int count = 1, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const std::string log = container_->log();
      int seen = 0;
      for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++seen;
      if (seen >= count) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::string list_queues() {
    AgentAttrs open{{"TEXT", "<TWBKX><HEADER><ACTION>LIST_QUEUES</ACTION></HEADER><BODY></BODY></TWBKX>"}};
    void* handle = nullptr;
    PEXError error{};
    if (PEXAPI_LIST_DATA_OPEN(nullptr, &handle, open.list(), &error) != PEX_SUCCESS) return error.text;
    std::string text;
    PEXRC rc;
    do {
      AgentAttrs in, out;
      out.add("TEXT", "", 1000);
      rc = PEXAPI_LIST_DATA_READ(nullptr, handle, in.list(), out.list(), &error);
      if (rc == PEX_SUCCESS || rc == PEX_EOS) text += out.value(0);
    } while (rc == PEX_SUCCESS);
    if (rc == PEX_FAIL) text += error.text;
    PEXAPI_LIST_DATA_CLOSE(nullptr, handle, open.list(), &error);
    return text;
  }
};

TEST_F(KerberosContainer, LogsInRenewsAndLendsItsTicketToJobsAndRestCalls) {
  const std::string cache = container_->state_dir() + "/krb5cc";
  EXPECT_TRUE(logged("Kerberos: logged in as kxagent@KX.TEST from " + realm->dir.path() + "/kxagent.keytab into " +
                     cache))
      << container_->log();

  // A job's commands find the container's ticket without a keytab of their own.
  ASSERT_EQ(submit("krb1", "klist").rc, PEX_SUCCESS);
  const ActionResult r = wait_end("krb1");
  EXPECT_EQ(r["STATUS"], "ENDED_OK") << r["MESSAGE"] << output("krb1");
  const std::string listing = output("krb1");
  EXPECT_NE(listing.find("Ticket cache: FILE:" + cache), std::string::npos) << listing;
  EXPECT_NE(listing.find("Default principal: kxagent@KX.TEST"), std::string::npos) << listing;

  // The REST call to the cluster authenticates as the container's principal.
  const std::string queues = list_queues();
  EXPECT_NE(queues.find("<NAME>root.secure</NAME>"), std::string::npos) << queues;
  const auto seen = realm->rest.requests();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "GET /ws/v1/cluster/scheduler by kxagent@KX.TEST"), seen.end());

  // Its tickets live 12 s: a second login comes before the first ends.
  EXPECT_TRUE(logged("Kerberos: logged in as kxagent@KX.TEST", 2, 20000)) << container_->log();
}

class RefusedKerberosContainer : public KerberosContainer {
 protected:
  RefusedKerberosContainer() : KerberosContainer("stranger@KX.TEST") {}
};

TEST_F(RefusedKerberosContainer, StillServesAndSaysWhyItHasNoTicket) {
  EXPECT_TRUE(logged("Kerberos: cannot log in as stranger@KX.TEST from the keytab " + realm->dir.path() +
                     "/kxagent.keytab: "))
      << container_->log();
  EXPECT_TRUE(logged("; trying again in ")) << container_->log();
  ASSERT_EQ(submit("krb2", "echo local jobs run").rc, PEX_SUCCESS);
  EXPECT_EQ(wait_end("krb2")["STATUS"], "ENDED_OK");
  // The cluster refuses a caller without a ticket, and the error says where to look.
  const std::string queues = list_queues();
  EXPECT_NE(queues.find("Kerberos ticket was not accepted"), std::string::npos) << queues;
}

}  // namespace
