// The container's log as an operator reads it: secrets never in it, a level
// that holds, a file that rotates by size.
#include "kc_log.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>

#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

TEST(ContainerLog, ValuesOfSecretLookingNamesAreMasked) {
  const kc::Attributes attrs = {{"ORDERNO", "0001a"},      {"DB_PASSWORD", "hunter2"}, {"api_key", "k-123"},
                                {"AUTH_TOKEN", "t"},         {"PWD", "x"},               {"ZRT_ATTR_KEY_1", "A$B"},
                                {"CMDLINE", "echo \"hi\""}};
  const std::string line = kc::loggable(attrs);
  EXPECT_EQ(line,
            "ORDERNO=0001a DB_PASSWORD=**** api_key=**** AUTH_TOKEN=**** PWD=**** ZRT_ATTR_KEY_1=A$B "
            "CMDLINE=echo \"hi\"");
  for (const char* secret : {"hunter2", "k-123"}) EXPECT_EQ(line.find(secret), std::string::npos);
  // A long value is cut, so one attribute cannot flood the log.
  const std::string long_line = kc::loggable({{"ARGS", std::string(1000, 'a')}});
  EXPECT_EQ(long_line, "ARGS=" + std::string(200, 'a') + "...");
}

TEST(ContainerLog, TheLevelComesFromTheConfigurationOrTheAgent) {
  kc::Config c;
  EXPECT_EQ(kc::effective_log_level(c, 0), "info");
  EXPECT_EQ(kc::effective_log_level(c, 4), "debug");
  EXPECT_EQ(kc::effective_log_level(c, 6), "trace");
  c.log_level = "warn";
  c.log_level_set = true;
  EXPECT_EQ(kc::effective_log_level(c, 6), "warn");
}

TEST(ContainerLog, TheFileRotatesBySizeAndKeepsItsCopies) {
  kxtest::TestWorkdir wd;
  kc::Config c;
  c.log_file = wd.file("log/deeper/kx.log");
  c.log_max_bytes = 4096;
  c.log_files = 2;
  std::string error;
  ASSERT_TRUE(kc::open_log(c, "info", error)) << error;
  for (int i = 0; i < 200; ++i) spdlog::info("line {} {}", i, std::string(60, 'x'));
  spdlog::debug("below the level");
  kc::close_log();
  EXPECT_TRUE(fs::exists(wd.file("log/deeper/kx.log")));
  EXPECT_TRUE(fs::exists(wd.file("log/deeper/kx.1.log")));
  EXPECT_TRUE(fs::exists(wd.file("log/deeper/kx.2.log")));
  EXPECT_FALSE(fs::exists(wd.file("log/deeper/kx.3.log")));
  EXPECT_LE(fs::file_size(wd.file("log/deeper/kx.1.log")), 4096u);
  const std::string last = kxtest::read_file(wd.file("log/deeper/kx.log"));
  EXPECT_NE(last.find("line 199"), std::string::npos);
  EXPECT_EQ(last.find("below the level"), std::string::npos);
}

}  // namespace
