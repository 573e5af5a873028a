#include "be_event.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "os_diag.h"
#include "test_workdir.h"

namespace {

// The agent's lists: EVENT_MSG in, pre-created PROCID, ORDERNO, RUNNO out.
class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DIAG_set_debug_level(4);
    OS_DIAG_initialize(nullptr, "ET");
    memset(&error_, 0, sizeof error_);
    error_.code = 99;
    snprintf(error_.text, sizeof error_.text, "untouched");
  }
  void TearDown() override { DIAG_set_debug_level(0); }

  // Output attributes named in names, each with a buffer of size bytes.
  PEXRC accept(const char* msg, std::vector<std::string> names = {"PROCID", "ORDERNO", "RUNNO"},
               size_t size = 128) {
    char in_name[] = "EVENT_MSG";
    std::string in_value = msg != nullptr ? msg : "";
    PEXAttr in_attr = {in_name, static_cast<uint16_t>(in_value.size() + 1), in_value.data()};
    PEXAttrList in = {msg != nullptr ? 1 : 0, &in_attr, 0};
    names_ = std::move(names);
    values_.assign(names_.size(), std::vector<char>(size, '\0'));
    std::vector<PEXAttr> attrs;
    for (size_t i = 0; i < names_.size(); ++i) {
      attrs.push_back({names_[i].data(), static_cast<uint16_t>(size), values_[i].data()});
    }
    PEXAttrList out = {static_cast<int32_t>(attrs.size()), attrs.data(), 0};
    return PEXAPI_EVENT_ACTION(nullptr, nullptr, &in, &out, &error_);
  }
  std::string out(const std::string& name) const {
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name) return values_[i].data();
    return "<absent>";
  }
  bool logged(const std::string& text) const {
    return kxtest::read_file(wd_.file("proclog/ET_" + std::to_string(getpid()) + ".log"))
               .find("ET:" + text + "\n") != std::string::npos;
  }

  kxtest::TestWorkdir wd_;
  std::vector<std::string> names_;
  std::vector<std::vector<char>> values_;
  PEXError error_;
};

TEST_F(EventTest, ThreeTokensNameTheRun) {
  for (const char* msg : {"ORD01 00002 4711", "  ORD01\t\t00002 \t4711 trailing words\n"}) {
    SCOPED_TRACE(msg);
    EXPECT_EQ(accept(msg), PEX_SUCCESS);
    EXPECT_EQ(out("ORDERNO"), "ORD01");
    EXPECT_EQ(out("RUNNO"), "00002");
    EXPECT_EQ(out("PROCID"), "4711");
    EXPECT_STREQ(error_.text, "untouched");
  }
  EXPECT_TRUE(logged("PEXAPI_EVENT_ACTION: INF PARSE"));
  EXPECT_TRUE(logged("PEXAPI_EVENT_ACTION: INF PARSE: event msg 'ORD01 00002 4711'"));
  EXPECT_TRUE(logged("PEXAPI_EVENT_ACTION : succesfully accepted event ORD01 00002 4711"));
}

TEST_F(EventTest, ValuesAreCutToTheAgentsBuffers) {
  EXPECT_EQ(accept("ORDERNUMBER 12 4711", {"PROCID", "ORDERNO", "RUNNO"}, 6), PEX_SUCCESS);
  EXPECT_EQ(out("ORDERNO"), "ORDER");
  EXPECT_EQ(out("RUNNO"), "12");
}

TEST_F(EventTest, InvalidMessagesAreRefusedWithTheirText) {
  const std::string o31(31, 'o'), r31(31, 'r'), p127(127, 'p');
  EXPECT_EQ(accept((o31 + " " + r31 + " " + p127).c_str()), PEX_SUCCESS);
  EXPECT_EQ(out("PROCID"), p127);

  const std::vector<std::string> invalid = {
      "ORD01 00002", "   ", "",
      std::string(32, 'o') + " " + r31 + " " + p127,
      o31 + " " + std::string(32, 'r') + " " + p127,
      o31 + " " + r31 + " " + std::string(128, 'p'),
  };
  for (const std::string& msg : invalid) {
    SCOPED_TRACE(msg);
    EXPECT_EQ(accept(msg.c_str()), PEX_FAIL);
    EXPECT_EQ(error_.code, 1u);
    EXPECT_EQ(error_.text, "Invalid event : " + msg);
    EXPECT_EQ(out("PROCID"), "");  // nothing stored
  }
}

TEST_F(EventTest, MissingAttributes) {
  EXPECT_EQ(accept(nullptr), PEX_FAIL);
  EXPECT_EQ(error_.code, 99u);
  EXPECT_TRUE(logged("PEXAPI_EVENT_ACTION : attribute EVENT_MSG is mandatory"));

  // Stored in order PROCID, ORDERNO, RUNNO: the ones before the gap stay.
  EXPECT_EQ(accept("ORD01 00002 4711", {"PROCID", "ORDERNO"}), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text, "Cannot set PROCID|ORDERNO|RUNNO to AttributesOut.");
  EXPECT_EQ(out("PROCID"), "4711");
  EXPECT_EQ(out("ORDERNO"), "ORD01");

  EXPECT_EQ(accept("ORD01 00002 4711", {"ORDERNO", "RUNNO"}), PEX_FAIL);
  EXPECT_EQ(out("ORDERNO"), "");
}

}  // namespace
