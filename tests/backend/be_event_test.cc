#include "be_event.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_env.h"

namespace {

using kxtest::AgentAttrs;

// The agent's lists: EVENT_MSG in, pre-created PROCID, ORDERNO, RUNNO out.
class EventTest : public kxtest::AgentEnv {
 protected:
  EventTest() : AgentEnv("ET", kLogOnly) { kxtest::preset_error(&error_); }

  // Output attributes named in names, each with a buffer of size bytes.
  PEXRC accept(const char* msg, std::vector<std::string> names = {"PROCID", "ORDERNO", "RUNNO"},
               size_t size = 128) {
    AgentAttrs in;
    if (msg != nullptr) in.add("EVENT_MSG", msg);
    out_ = AgentAttrs();
    for (const std::string& name : names) out_.add(name, "", size - 1);
    return PEXAPI_EVENT_ACTION(nullptr, nullptr, in.list(), out_.list(), &error_);
  }
  std::string out(const std::string& name) const {
    for (int i = 0; i < out_.count(); ++i)
      if (out_.name(i) == name) return out_.value(i);
    return "<absent>";
  }

  AgentAttrs out_;
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
