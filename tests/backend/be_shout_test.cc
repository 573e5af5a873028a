#include "be_shout.h"

#include <gtest/gtest.h>

#include "agent_env.h"

namespace {

class ShoutTest : public kxtest::AgentEnv {
 protected:
  ShoutTest() : AgentEnv("ST", kLogOnly) {}
};

TEST_F(ShoutTest, OnlySendWithUserDataIsAccepted) {
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

  EXPECT_TRUE(logged("PEXAPI_SHOUT_ACTION"));
  EXPECT_TRUE(logged("Action: 'send'"));
}

}  // namespace
