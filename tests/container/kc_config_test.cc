// The container's configuration: the library's file with the container's
// own elements; a bad file or value never stops the container.
#include "kc_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "test_workdir.h"

namespace {

std::string conf(const std::string& children) {
  return "<?xml version='1.0' encoding='UTF-8'?><Configuration>" + children + "</Configuration>";
}

TEST(ContainerConfig, DefaultsLieUnderTheContainerDirectory) {
  const kc::Config c = kc::parse_config("/opt/kx", conf(""));
  EXPECT_TRUE(c.warnings.empty());
  EXPECT_EQ(c.port, 38980);
  EXPECT_EQ(c.listen_address, "127.0.0.1");
  EXPECT_EQ(c.state_dir, "/opt/kx/state");
  EXPECT_EQ(c.spool_dir, "/opt/kx/spool");
  EXPECT_EQ(c.log_file, "/opt/kx/log/kxcontainer.log");
  EXPECT_EQ(kc::default_config_path("/opt/kx"), "/opt/kx/../data/kx_container_conf.xml");
}

TEST(ContainerConfig, ReadsItsOwnElementsAndTheLibrarysPort) {
  const kc::Config c = kc::parse_config(
      "/opt/kx", conf("<Port> 4000 </Port><RecoveryMaxRetry>9</RecoveryMaxRetry><StateDir>st</StateDir>"
                      "<SpoolDir>/var/spool/kx</SpoolDir><MaxRunningJobs>2</MaxRunningJobs>"
                      "<AllowedUsers>alice, bob\tcarol</AllowedUsers><LogLevel>trace</LogLevel>"
                      "<MaxOutputBytes>8192</MaxOutputBytes><KillGraceSeconds>0</KillGraceSeconds>"));
  EXPECT_TRUE(c.warnings.empty());
  EXPECT_EQ(c.port, 4000);
  EXPECT_EQ(c.state_dir, "/opt/kx/st");
  EXPECT_EQ(c.spool_dir, "/var/spool/kx");
  EXPECT_EQ(c.max_running_jobs, 2);
  EXPECT_EQ(c.allowed_users, (std::vector<std::string>{"alice", "bob", "carol"}));
  EXPECT_EQ(c.log_level, "trace");
  EXPECT_TRUE(c.log_level_set);
  EXPECT_EQ(c.max_output_bytes, 8192u);
  EXPECT_EQ(c.kill_grace_seconds, 0);
}

TEST(ContainerConfig, ABadValueKeepsItsDefaultWithAWarning) {
  const kc::Config c = kc::parse_config(
      "/h", conf("<Port>80x</Port><MaxRunningJobs>0</MaxRunningJobs><LogLevel>loud</LogLevel><Workers>-1</Workers>"));
  EXPECT_EQ(c.port, 38980);
  EXPECT_EQ(c.max_running_jobs, 4);
  EXPECT_EQ(c.log_level, "info");
  EXPECT_EQ(c.workers, 16);
  ASSERT_EQ(c.warnings.size(), 4u);
  EXPECT_NE(c.warnings[0].find("Port '80x'"), std::string::npos) << c.warnings[0];
}

TEST(ContainerConfig, AMissingMalformedOrEndlessFileGivesTheDefaults) {
  kxtest::TestWorkdir wd;
  kc::Config c = kc::load_config("/h", wd.file("none.xml"));
  EXPECT_EQ(c.port, 38980);
  ASSERT_EQ(c.warnings.size(), 1u);

  wd.write("bad.xml", "<Configuration><Port>1234</Port>");
  c = kc::load_config("/h", wd.file("bad.xml"));
  EXPECT_EQ(c.port, 38980);
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("not well-formed"), std::string::npos);

  wd.write("other.xml", "<Settings><Port>1234</Port></Settings>");
  c = kc::load_config("/h", wd.file("other.xml"));
  EXPECT_EQ(c.port, 38980);

  // A file that never ends is read up to a bound, not forever.
  ASSERT_EQ(::symlink("/dev/zero", wd.file("zero.xml").c_str()), 0);
  c = kc::load_config("/h", wd.file("zero.xml"));
  EXPECT_EQ(c.port, 38980);
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("larger than 1 MiB"), std::string::npos);

  // A pipe nobody writes to is refused at once, not waited on.
  ASSERT_EQ(::mkfifo(wd.file("fifo.xml").c_str(), 0600), 0);
  c = kc::load_config("/h", wd.file("fifo.xml"));
  EXPECT_EQ(c.port, 38980);
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("cannot be read (not a file)"), std::string::npos) << c.warnings[0];
}

}  // namespace
