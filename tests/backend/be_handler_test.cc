#include "be_handler.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "agent_env.h"

namespace {

using be_backend::AnswerAttributes;
using be_backend::answer_reports_error;
using be_backend::answer_to_attributes;
using be_backend::guard_entry;
using kxtest::doc::answer;
using kxtest::doc::element;
using kxtest::doc::error_answer;

class HandlerTest : public kxtest::AgentEnv {
 protected:
  HandlerTest() : AgentEnv("HT") { kxtest::preset_error(&error_); }

  PEXError error_;
};

TEST_F(HandlerTest, NoExceptionLeavesAnEntryPoint) {
  EXPECT_EQ(guard_entry("ENTRY", &error_, [] { return PEX_EOS; }), PEX_EOS);
  EXPECT_TRUE(kxtest::error_untouched(error_));

  EXPECT_EQ(guard_entry("ENTRY", &error_,
                        []() -> PEXRC { throw std::runtime_error("cannot go on"); }),
            PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text, "ENTRY: cannot go on");
  EXPECT_TRUE(logged("ENTRY: cannot go on"));

  EXPECT_EQ(guard_entry("ENTRY", &error_, []() -> PEXRC { throw 7; }), PEX_FAIL);
  EXPECT_STREQ(error_.text, "ENTRY: unknown exception");

  // Without an error record the failure still reaches the log.
  EXPECT_EQ(guard_entry("NOREC", nullptr, []() -> PEXRC { throw std::bad_alloc(); }), PEX_FAIL);
  EXPECT_TRUE(logged("NOREC: std::bad_alloc"));
}

TEST_F(HandlerTest, ErrorCheckReadsACopyBracketedByItsLines) {
  const std::string failed = error_answer("7", "disk full");
  EXPECT_TRUE(answer_reports_error(failed, "FNC", "test response", &error_));
  EXPECT_EQ(error_.code, 7u);
  EXPECT_STREQ(error_.text, "disk full");
  const std::string size = std::to_string(failed.size());
  EXPECT_TRUE(logged("FNC: Allocated <" + size + "> bytes for test response"));
  EXPECT_TRUE(logged("FNC: Freed <" + size + "> bytes which were allocated for test response"));

  kxtest::preset_error(&error_);
  EXPECT_FALSE(answer_reports_error(answer(element("STATUS", "OK")), "FNC", "x", &error_));
  EXPECT_TRUE(kxtest::error_untouched(error_));
}

TEST_F(HandlerTest, AnswerAttributesTellAnEmptyValueFromAMissingOne) {
  AnswerAttributes body;
  ASSERT_EQ(answer_to_attributes(answer(element("A", "1") + element("B", "")), &body),
            PEX_SUCCESS);
  ASSERT_NE(body.find("A"), nullptr);
  EXPECT_STREQ(body.find("A"), "1");
  ASSERT_NE(body.find("B"), nullptr);
  EXPECT_STREQ(body.find("B"), "");
  EXPECT_EQ(body.find("C"), nullptr);
  body.release();
  EXPECT_EQ(body.get()->Count, 0);
  EXPECT_EQ(body.find("A"), nullptr);

  const std::string broken = std::string(kxtest::doc::kDecl) + "<TWBKX><BODY><A>1</BODY>";
  AnswerAttributes none;
  EXPECT_NE(answer_to_attributes(broken, &none), PEX_SUCCESS);
  EXPECT_TRUE(logged("Failed to translate the following XML buffer into list: " + broken));
}

}  // namespace
