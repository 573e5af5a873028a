#include "be_jobdat.h"

#include <gtest/gtest.h>

#include "agent_env.h"
#include "pexapi_utl.h"

namespace {

class JobDataTest : public kxtest::AgentEnv {
 protected:
  JobDataTest() : AgentEnv("DT", kLogOnly, 3) {}
};

TEST_F(JobDataTest, FixedAnswersWithAndWithoutUserData) {
  int agent_data = 0;
  PEXConnection with{};
  with.UserData = &agent_data;
  PEXConnection without{};
  PEXError error{};
  void* const agent_handle = &agent_data;
  void* handle = agent_handle;

  EXPECT_EQ(PEXAPI_JOB_DATA_OPEN(&with, &handle, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_JOB_DATA_OPEN(&without, &handle, nullptr, &error), PEX_FAIL);
  EXPECT_EQ(handle, agent_handle);
  EXPECT_EQ(PEXAPI_JOB_DATA_READ(&without, handle, nullptr, nullptr, &error), PEX_SUCCESS);
  EXPECT_EQ(PEXAPI_JOB_DATA_CLOSE(&without, handle, nullptr, &error), PEX_SUCCESS);

  // Written data is released in both cases (the leak check of the
  // sanitizer build sees to the storage).
  for (PEXConnection* connection : {&with, &without}) {
    // One append from a plain list: library-owned single-block copies.
    char n1[] = "LINE1", v1[] = "echo 1", n2[] = "LINE2", v2[] = "echo 2";
    PEXAttr lines[] = {{n1, sizeof v1, v1}, {n2, sizeof v2, v2}};
    PEXAttrList from = {2, lines, 0};
    PEXAttrList data{};
    ASSERT_EQ(PEXAPI_UTILS_AttrListAppend_Attr2Attr(&from, &data), PEX_SUCCESS);
    ASSERT_EQ(data.Count, 2);
    EXPECT_EQ(PEXAPI_JOB_DATA_WRITE(connection, handle, &data, &error),
              connection == &with ? PEX_SUCCESS : PEX_FAIL);
    EXPECT_EQ(data.Count, 0);
    EXPECT_EQ(data.Attributes, nullptr);
  }
  EXPECT_EQ(error.code, 0u);

  for (const char* name : {"PEXAPI_JOB_DATA_OPEN", "PEXAPI_JOB_DATA_WRITE", "PEXAPI_JOB_DATA_CLOSE"})
    EXPECT_TRUE(logged(name)) << name;
  EXPECT_EQ(log().find("PEXAPI_JOB_DATA_READ"), std::string::npos);
}

}  // namespace
