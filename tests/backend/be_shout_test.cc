#include "be_shout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "os_diag.h"
#include "test_workdir.h"

namespace {

TEST(ShoutTest, OnlySendWithUserDataIsAccepted) {
  kxtest::TestWorkdir wd;
  DIAG_set_debug_level(4);
  OS_DIAG_initialize(nullptr, "ST");
  int agent_data = 0;
  PEXConnection with{};
  with.UserData = &agent_data;
  PEXConnection without{};
  PEXError error{};
  char send[] = "SEND", lower[] = "send", other[] = "SENDX";

  EXPECT_EQ(PEXAPI_SHOUT_ACTION(&with, send, nullptr, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_SHOUT_ACTION(&with, lower, nullptr, nullptr, &error), PEX_NOT_SUPPORTED);
  EXPECT_EQ(PEXAPI_SHOUT_ACTION(&with, other, nullptr, nullptr, &error), PEX_NOT_SUPPORTED);
  EXPECT_EQ(PEXAPI_SHOUT_ACTION(&with, nullptr, nullptr, nullptr, &error), PEX_NOT_SUPPORTED);
  EXPECT_EQ(PEXAPI_SHOUT_ACTION(&without, send, nullptr, nullptr, &error), PEX_FAIL);
  EXPECT_EQ(PEXAPI_SHOUT_ACTION(nullptr, send, nullptr, nullptr, &error), PEX_FAIL);
  EXPECT_EQ(error.code, 0u);

  const std::string log =
      kxtest::read_file(wd.file("proclog/ST_" + std::to_string(getpid()) + ".log"));
  EXPECT_NE(log.find("ST:PEXAPI_SHOUT_ACTION\n"), std::string::npos);
  EXPECT_NE(log.find("ST:Action: 'send'\n"), std::string::npos);
  DIAG_set_debug_level(0);
}

}  // namespace
