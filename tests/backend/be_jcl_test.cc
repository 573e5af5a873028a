#include "be_jcl.h"

#include <gtest/gtest.h>

#include "agent_env.h"

namespace {

class JclTest : public kxtest::AgentEnv {
 protected:
  JclTest() : AgentEnv("JT", kLogOnly, 3) {}
};

TEST_F(JclTest, FixedAnswersWithAndWithoutUserData) {
  int agent_data = 0;
  PEXConnection with{};
  with.UserData = &agent_data;
  PEXConnection without{};
  PEXError error{};
  char action[] = "GET";
  void* const agent_handle = &agent_data;
  void* handle = agent_handle;

  EXPECT_EQ(PEXAPI_JCL_ACTION(&with, action, nullptr, nullptr, &error), PEX_NOT_FOUND);
  EXPECT_EQ(PEXAPI_JCL_DATA_OPEN(&with, &handle, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_JCL_DATA_OPEN(&without, &handle, nullptr, &error), PEX_FAIL);
  EXPECT_EQ(PEXAPI_JCL_DATA_OPEN(nullptr, &handle, nullptr, &error), PEX_FAIL);
  EXPECT_EQ(handle, agent_handle);  // no handle is made
  EXPECT_EQ(PEXAPI_JCL_DATA_READ(&without, handle, nullptr, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_JCL_DATA_WRITE(&with, handle, nullptr, &error), PEX_NOT_SUPPORTED);
  EXPECT_EQ(PEXAPI_JCL_DATA_CLOSE(&without, handle, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(error.code, 0u);

  for (const char* name : {"PEXAPI_JCL_ACTION", "PEXAPI_JCL_DATA_OPEN", "PEXAPI_JCL_DATA_READ",
                           "PEXAPI_JCL_DATA_WRITE", "PEXAPI_JCL_DATA_CLOSE"}) {
    EXPECT_TRUE(logged(name)) << name;
  }
  EXPECT_EQ(log().find("Action: "), std::string::npos);  // level 4 only
}

}  // namespace
