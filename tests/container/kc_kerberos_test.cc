// The container's own login, against a real KDC: a ticket from the keytab
// into a cache of its own, replaced whole by the next login, and a refused
// login that explains itself and leaves the last good ticket in place.
#include "kc_kerberos.h"

#include "kc_cluster.h"

#include <gtest/gtest.h>
#include <krb5/krb5.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kdc.h"
#include "spnego_server.h"
#include "test_workdir.h"

namespace {

struct Ticket {
  std::string client, server;
  std::int64_t start = 0, end = 0;  // seconds since the epoch
};

// Every ticket in a FILE cache, read with libkrb5 itself.
std::vector<Ticket> tickets_in(const std::string& cache_path, std::string* principal = nullptr) {
  std::vector<Ticket> out;
  krb5_context c = nullptr;
  if (krb5_init_context(&c) != 0) return out;
  krb5_ccache cache = nullptr;
  if (krb5_cc_resolve(c, ("FILE:" + cache_path).c_str(), &cache) == 0) {
    krb5_principal owner = nullptr;
    if (principal != nullptr && krb5_cc_get_principal(c, cache, &owner) == 0) {
      char* name = nullptr;
      krb5_unparse_name(c, owner, &name);
      *principal = name;
      krb5_free_unparsed_name(c, name);
      krb5_free_principal(c, owner);
    }
    krb5_cc_cursor cursor = nullptr;
    if (krb5_cc_start_seq_get(c, cache, &cursor) == 0) {
      krb5_creds creds;
      while (krb5_cc_next_cred(c, cache, &cursor, &creds) == 0) {
        char* client = nullptr;
        char* server = nullptr;
        krb5_unparse_name(c, creds.client, &client);
        krb5_unparse_name(c, creds.server, &server);
        // The cache keeps configuration entries beside tickets.
        if (!krb5_is_config_principal(c, creds.server)) {
          out.push_back({client, server, creds.times.starttime != 0 ? creds.times.starttime : creds.times.authtime,
                         creds.times.endtime});
        }
        krb5_free_unparsed_name(c, client);
        krb5_free_unparsed_name(c, server);
        krb5_free_cred_contents(c, &creds);
      }
      krb5_cc_end_seq_get(c, cache, &cursor);
    }
    krb5_cc_close(c, cache);
  }
  krb5_free_context(c);
  return out;
}

std::int64_t now_s() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class KerberosLoginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    realm_dir_ = new kxtest::TestWorkdir();
    kdc_ = new kxtest::Kdc(realm_dir_->path());
    if (kdc_->error().empty()) {
      kdc_->add_principal("kxsvc", realm_dir_->path() + "/kxsvc.keytab", 60);
      kdc_->add_principal("HTTP/127.0.0.1", realm_dir_->path() + "/http.keytab");
    }
  }
  static void TearDownTestSuite() {
    delete kdc_;
    delete realm_dir_;
  }
  void SetUp() override {
    ASSERT_EQ(kdc_->error(), "");
    kdc_->use();
    config_.kerberos_keytab = realm_dir_->path() + "/kxsvc.keytab";
    config_.kerberos_principal = "kxsvc@KX.TEST";
    config_.state_dir = state_.path();
  }

  static kxtest::TestWorkdir* realm_dir_;
  static kxtest::Kdc* kdc_;
  kxtest::TestWorkdir state_;
  kc::Config config_;
};

kxtest::TestWorkdir* KerberosLoginTest::realm_dir_ = nullptr;
kxtest::Kdc* KerberosLoginTest::kdc_ = nullptr;

TEST_F(KerberosLoginTest, LogsInFromTheKeytabIntoACacheOfItsOwnAndIsDueAgainBeforeTheTicketEnds) {
  kc::KerberosLogin login(config_);
  EXPECT_EQ(login.cache_name(), "FILE:" + state_.path() + "/krb5cc");
  std::string error;
  const std::int64_t before = now_s();
  ASSERT_TRUE(login.login(error)) << error;

  std::string owner;
  const auto tickets = tickets_in(login.cache_path(), &owner);
  EXPECT_EQ(owner, "kxsvc@KX.TEST");
  ASSERT_EQ(tickets.size(), 1u);
  EXPECT_EQ(tickets[0].server, "krbtgt/KX.TEST@KX.TEST");
  EXPECT_LE(tickets[0].end - tickets[0].start, 60);  // the principal's cap holds
  EXPECT_EQ(login.expires_ms(), tickets[0].end * 1000);
  // Due four fifths into the ticket's life: well before it ends.
  EXPECT_GE(login.next_due_ms(), (before + 40) * 1000);
  EXPECT_LE(login.next_due_ms(), (tickets[0].end - 10) * 1000);

  struct stat st {};
  ASSERT_EQ(::stat(login.cache_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "a ticket cache readable by others";
  EXPECT_FALSE(kxtest::file_exists(login.cache_path() + ".new"));

  // The next login replaces the cache whole: one ticket, not two.
  ASSERT_TRUE(login.login(error)) << error;
  EXPECT_EQ(tickets_in(login.cache_path()).size(), 1u);
}

TEST_F(KerberosLoginTest, ARefusedLoginSaysWhoAndWhichKeytabAndKeepsTheLastTicket) {
  kc::KerberosLogin good(config_);
  std::string error;
  ASSERT_TRUE(good.login(error)) << error;
  const auto kept = tickets_in(good.cache_path());

  config_.kerberos_principal = "nobody@KX.TEST";
  kc::KerberosLogin stranger(config_);
  const std::int64_t before = now_s();
  EXPECT_FALSE(stranger.login(error));
  EXPECT_NE(error.find("cannot log in as nobody@KX.TEST from the keytab " + config_.kerberos_keytab + ": "),
            std::string::npos)
      << error;
  // Tried again soon, not at once and not never.
  EXPECT_GE(stranger.next_due_ms(), (before + 10) * 1000);
  EXPECT_LE(stranger.next_due_ms(), (before + 120) * 1000);
  const auto after = tickets_in(good.cache_path());
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].end, kept[0].end);

  config_.kerberos_principal = "kxsvc@KX.TEST";
  config_.kerberos_keytab = state_.path() + "/no-such.keytab";
  kc::KerberosLogin lost(config_);
  EXPECT_FALSE(lost.login(error));
  EXPECT_NE(error.find("no-such.keytab"), std::string::npos) << error;
}

TEST_F(KerberosLoginTest, RestCallsAuthenticateWithSpnegoFromTheContainersCache) {
  kxtest::SpnegoServer server(realm_dir_->path() + "/http.keytab",
                              {{"/ws/v1/cluster/scheduler",
                                R"({"scheduler":{"schedulerInfo":{"queueName":"root","queues":{"queue":[
                                     {"queueName":"secure","state":"RUNNING","capacity":100}]}}}})"},
                               {"/ws/v1/cluster/apps/application_17_0001/state", R"({"state":"KILLED"})"}});
  config_.resource_manager_url = server.url();
  const kc::ClusterClient client(config_);
  std::vector<kc::QueueInfo> queues;
  std::string error;

  // Before any login the cache is empty: refused, and the error says where to look.
  kc::KerberosLogin login(config_);
  ::setenv("KRB5CCNAME", login.cache_name().c_str(), 1);
  EXPECT_FALSE(client.queues(queues, error));
  EXPECT_NE(error.find("HTTP status 401"), std::string::npos) << error;
  EXPECT_NE(error.find("Kerberos ticket was not accepted"), std::string::npos) << error;

  ASSERT_TRUE(login.login(error)) << error;
  ASSERT_TRUE(client.queues(queues, error)) << error;
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "root.secure");
  // A PUT sends its body again after the server's challenge.
  EXPECT_TRUE(client.kill("application_17_0001", error)) << error;

  const auto seen = server.requests();
  ASSERT_FALSE(seen.empty());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "GET /ws/v1/cluster/scheduler by kxsvc@KX.TEST"), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "PUT /ws/v1/cluster/apps/application_17_0001/state by kxsvc@KX.TEST"),
            seen.end());
}

}  // namespace
