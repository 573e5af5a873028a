#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent_env.h"
#include "pexapi.h"

namespace {

namespace fs = std::filesystem;

class ShutdownTest : public kxtest::AgentEnv {
 protected:
  ShutdownTest() : AgentEnv("SD", kLogOnly) {}
};

TEST_F(ShutdownTest, RunningContainerIsToldToStopAndEnds) {
  fs::create_directory(wd_.file("container"));
  wd_.write_table("HADOOP", "KX_DIR " + wd_.file("container") + "\n");
  container_.start();
  wd_.write("data/kx_container_conf.xml", "<Configuration><Port>" +
                                              std::to_string(container_.port()) +
                                              "</Port></Configuration>\n");

  EXPECT_EQ(PEXAPI_Shutdown(), PEX_SUCCESS);
  EXPECT_EQ(container_.requests(),
            std::vector<std::string>{"<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER>"
                                     "<ACTION>ContainerStop</ACTION></HEADER><BODY><DBGLVL>0"
                                     "</DBGLVL></BODY></TWBKX>"});
  EXPECT_TRUE(container_.wait_exit(5000));
  EXPECT_TRUE(logged("PEXAPI_Shutdown"));
}

TEST_F(ShutdownTest, FailsWhenContainerIsDownAndKxDirMissing) {
  // Without KX_DIR there is no configuration file, so the default port is
  // probed: never disturb a container someone else runs there.
  if (kxtest::port_accepts(38980)) GTEST_SKIP() << "port 38980 is in use on this host";
  wd_.write_table("HADOOP", "OTHER x\n");
  EXPECT_EQ(PEXAPI_Shutdown(), PEX_FAIL);
  EXPECT_TRUE(logged("ErrorSet: Failed to create or connect to Container. "
                     "HessianRemoteAccessor::call, failed to lock critical section"));
}

}  // namespace
