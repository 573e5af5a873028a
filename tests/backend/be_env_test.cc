#include "be_env.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent_env.h"
#include "os_diag.h"

namespace {

using kxtest::AgentAttrs;

std::string logname(AgentAttrs attrs) {
  char* name = nullptr;
  BE_INF_get_logname(attrs.list(), &name);
  return name ? name : "(null)";
}

std::string log_path(const char* name) {
  return "./proclog/" + std::string(name) + "_" + std::to_string(getpid()) + ".log";
}

TEST(BeEnvLogName, TrackingProcessesLogUnderAT) {
  EXPECT_EQ(logname({{"REQTYPE", "TRACK"}}), "AT");
  EXPECT_EQ(logname({{"REQTYPE", "EVENT"}}), "AT");
  EXPECT_EQ(logname({{"REQTYPE", "TRACK_INIT"}}), "AT");
}

TEST(BeEnvLogName, EverythingElseLogsUnderAS) {
  EXPECT_EQ(logname({}), "AS");
  EXPECT_EQ(logname({{"REQTYPE", "SUBMIT"}}), "AS");
  EXPECT_EQ(logname({{"REQTYPE", "track"}}), "AS");
  EXPECT_EQ(logname({{"REQTYPE", "TRACKX"}}), "AS");
  // SYSKEEPDAYS counts by its presence alone, even empty.
  EXPECT_EQ(logname({{"REQTYPE", "TRACK"}, {"SYSKEEPDAYS", ""}}), "AS");
  EXPECT_EQ(logname({{"SYSKEEPDAYS", "3"}, {"REQTYPE", "EVENT"}}), "AS");
}

TEST(BeEnvVersion, SizesAndPadding) {
  char one[1] = {'x'};
  HADOOP_KX_version(one, 1);
  EXPECT_EQ(one[0], '\0');

  std::vector<char> whole(512, 'x');
  HADOOP_KX_version(whole.data(), static_cast<int>(whole.size()));
  const size_t len = std::strlen(whole.data());
  EXPECT_EQ(std::string(whole.data()), be_hadoop_version);
  for (size_t i = len; i < whole.size(); ++i) ASSERT_EQ(whole[i], '\0') << "at " << i;

  char cut[12];
  std::memset(cut, 'x', sizeof cut);
  HADOOP_KX_version(cut, 10);
  EXPECT_EQ(std::string(cut), std::string(be_hadoop_version).substr(0, 9));
  EXPECT_EQ(cut[10], 'x');

  HADOOP_KX_version(cut, 0);  // refused, nothing written
  EXPECT_EQ(cut[10], 'x');
}

TEST(BeEnvVersion, ExtendedLengthIsConstant) {
  EXPECT_STREQ(PEXAPI_Extended_Length(), "08");
  EXPECT_EQ(PEXAPI_Extended_Length(), PEXAPI_Extended_Length());
}

TEST(BeEnvConnect, FirstConnectOpensLogAndSetsLevelOnce) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "DBGLVL 5\n");
  PEXBackEnd be{};
  PEXConnection conn{};
  PEXError err{};
  AgentAttrs track({{"REQTYPE", "TRACK"}});

  ASSERT_EQ(PEXAPI_Init(&be, track.list(), &err), PEX_SUCCESS);
  ASSERT_EQ(PEXAPI_Connect(&be, &conn, track.list(), &err), PEX_SUCCESS);
  EXPECT_EQ(first_call, 0);
  EXPECT_EQ(DIAG_debug_level(), 5);
  std::string log = kxtest::read_file(log_path("AT"));
  EXPECT_NE(log.find(":PEXAPI_Connect\n"), std::string::npos) << log;
  // The log opens inside BE_INF_init_logfile, so its own entry traces
  // precede the file.
  EXPECT_EQ(log.find(":filename: 'AT'\n"), std::string::npos) << log;

  // A later connect of another kind neither reopens under AS nor re-reads
  // the level, even when the table changed meanwhile.
  wd.write_table("CONFIG", "DBGLVL 1\n");
  AgentAttrs submit({{"REQTYPE", "SUBMIT"}});
  ASSERT_EQ(PEXAPI_Connect(&be, &conn, submit.list(), &err), PEX_SUCCESS);
  EXPECT_EQ(DIAG_debug_level(), 5);
  EXPECT_FALSE(kxtest::file_exists(log_path("AS")));
  ASSERT_EQ(PEXAPI_Disconnect(&conn, &err), PEX_SUCCESS);
  ASSERT_EQ(PEXAPI_Term(&be, &err), PEX_SUCCESS);

  log = kxtest::read_file(log_path("AT"));
  EXPECT_NE(log.find(":PEXAPI_Disconnect\n"), std::string::npos);
  EXPECT_NE(log.find(":PEXAPI_Term\n"), std::string::npos);
  EXPECT_EQ(err.code, 0u);
  EXPECT_EQ(err.text[0], '\0');
}

TEST(BeEnvConnect, MissingLevelLeavesDebugLevelAlone) {
  kxtest::TestWorkdir wd;
  DIAG_set_debug_level(3);
  PEXBackEnd be{};
  PEXConnection conn{};
  PEXError err{};
  AgentAttrs none({});
  ASSERT_EQ(PEXAPI_Connect(&be, &conn, none.list(), &err), PEX_SUCCESS);
  EXPECT_EQ(DIAG_debug_level(), 3);
  EXPECT_NE(kxtest::read_file(log_path("AS")).find(":PEXAPI_Connect\n"), std::string::npos);
}

TEST(BeEnvConnect, LevelTextThatIsNoNumberGivesZero) {
  kxtest::TestWorkdir wd;
  wd.write_table("CONFIG", "DBGLVL high\n");
  DIAG_set_debug_level(4);
  EXPECT_EQ(BE_INF_init_logfile("AS"), 0);
  EXPECT_EQ(DIAG_debug_level(), 0);
}

}  // namespace
