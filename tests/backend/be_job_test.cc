// Job actions end to end: the library's entry point against the test
// container, as the agent calls it.
#include "be_job.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent_env.h"
#include "os_diag.h"

namespace {

namespace fs = std::filesystem;

using kxtest::doc::answer;
using kxtest::doc::element;
using kxtest::doc::kDecl;
using kxtest::doc::request;
using kxtest::AgentAttrs;

// A working directory whose container directory has the test container's
// configuration beside it, an agent home with the shipped locale data, and a
// log at level 4.
class JobActionTest : public kxtest::AgentEnv {
 protected:
  JobActionTest() : AgentEnv("JA") {}

  PEXRC job(const char* action, AgentAttrs& in, AgentAttrs& out) {
    kxtest::preset_error(&error_);
    return PEXAPI_JOB_ACTION(nullptr, const_cast<char*>(action), in.list(), out.list(), &error_);
  }
  bool error_untouched() const { return kxtest::error_untouched(error_); }

  PEXError error_{};
};

// ---- what is sent ----------------------------------------------------------

TEST_F(JobActionTest, SubmitCarriesTheDefaultTrackerPortAndStoresTheAnswerCut) {
  const std::string reply = answer(element("JOBID", "job_201_0001") + element("STATUS", "SUBMITTED"));
  start({reply});
  AgentAttrs in, out;
  in.add("ORDERNO", "0001a");
  in.add("%%HDP-QUEUE", "default");
  in.add("JOBNAME", "caf\xE9");
  out.add("STATUS", "", 20);
  out.add("JOBID", "", 8);

  ASSERT_EQ(job("SUBMIT", in, out), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(container_.request(1),
            request("SUBMIT", "<ORDERNO>0001a</ORDERNO><HDP-QUEUE>default</HDP-QUEUE>"
                              "<JOBNAME>caf\xC3\xA9</JOBNAME><DBGLVL>0</DBGLVL>"
                              "<TRACKER_EVENT_PORT>-1</TRACKER_EVENT_PORT>"));
  EXPECT_FALSE(out.replaced());
  EXPECT_EQ(out.value(0), "SUBMITTED");
  EXPECT_EQ(out.value(1), "job_201_");
  EXPECT_TRUE(error_untouched());
  EXPECT_TRUE(logged("PEXAPI_JOB_ACTION"));
  EXPECT_TRUE(logged("Action: 'SUBMIT'"));
  EXPECT_TRUE(logged("Updated <JOBID> with value <job_201_0001>"));
  const std::string size = std::to_string(reply.size());
  EXPECT_TRUE(logged("PEXAPI_JOB_ACTION: Allocated <" + size + "> bytes for job action response"));
  EXPECT_TRUE(logged("PEXAPI_JOB_ACTION: Freed <" + size +
                     "> bytes which were allocated for job action response"));
  EXPECT_FALSE(logged("'SUBMIT' action failed. Write notification in the sysout file."));
}

TEST_F(JobActionTest, EverySupportedActionIsSentUnderItsNameAndOnlySubmitHasThePort) {
  wd_.write_table("CONFIG", "TRACKER_EVENT_PORT 7001\nDBGLVL 3\n");
  start();
  const char* actions[] = {"SUBMIT", "TRACK", "TRACK_INIT", "KILL", "DELETE", "STATISTICS"};
  for (const char* action : actions) {
    AgentAttrs in, out;
    in.add("ORDERNO", "X1");
    EXPECT_EQ(job(action, in, out), PEX_SUCCESS) << action << ": " << error_.text;
  }
  ASSERT_EQ(container_.request_count(), 6);
  EXPECT_EQ(container_.request(1),
            request("SUBMIT", "<ORDERNO>X1</ORDERNO><DBGLVL>3</DBGLVL>"
                              "<TRACKER_EVENT_PORT>7001</TRACKER_EVENT_PORT>"));
  for (int i = 1; i < 6; ++i) {
    EXPECT_EQ(container_.request(i + 1),
              request(actions[i], "<ORDERNO>X1</ORDERNO><DBGLVL>3</DBGLVL>"));
  }
}

TEST_F(JobActionTest, UnsupportedNamesAndTrackTermSendNothing) {
  start();
  AgentAttrs in, out;
  out.add("STATUS", "old", 10);
  for (const char* action : {"submit", "track", "SUBMIT ", "TRACK_TERMX", "Track_Term", ""}) {
    EXPECT_EQ(job(action, in, out), PEX_NOT_SUPPORTED) << "'" << action << "'";
    EXPECT_TRUE(error_untouched());
  }
  EXPECT_TRUE(logged("'submit' action failed. Write notification in the sysout file."));
  error_.code = 99;
  EXPECT_EQ(PEXAPI_JOB_ACTION(nullptr, nullptr, in.list(), out.list(), &error_),
            PEX_NOT_SUPPORTED);

  EXPECT_EQ(job("TRACK_TERM", in, out), PEX_SUCCESS);
  EXPECT_TRUE(error_untouched());
  EXPECT_TRUE(logged("<TRACK_TERM> action currently is not supported"));
  EXPECT_FALSE(logged("'TRACK_TERM' action failed. Write notification in the sysout file."));
  EXPECT_EQ(container_.request_count(), 0);
  EXPECT_EQ(out.value(0), "old");
}

TEST_F(JobActionTest, TrackTermNeedsNoContainer) {
  point_at(kxtest::free_loopback_port());
  AgentAttrs in, out;
  EXPECT_EQ(job("TRACK_TERM", in, out), PEX_SUCCESS);
  EXPECT_TRUE(error_untouched());
}

// ---- failures ----------------------------------------------------------------

TEST_F(JobActionTest, ContainerErrorReportFailsWithItsCodeAndMessage) {
  start({answer(element("STATUS", "FAILED") +
                "<KXError><Code>17</Code><Message>job &lt;7&gt; not found</Message></KXError>")});
  AgentAttrs in, out;
  out.add("STATUS", "old", 10);
  EXPECT_EQ(job("TRACK", in, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 17u);
  EXPECT_STREQ(error_.text, "job <7> not found");
  EXPECT_FALSE(out.replaced());
  EXPECT_EQ(out.value(0), "old");
  EXPECT_FALSE(logged("'TRACK' action failed. Write notification in the sysout file."));
}

TEST_F(JobActionTest, UnreachableContainerFailsWithTheCallError) {
  point_at(kxtest::free_loopback_port());
  // A directory where the lock file belongs makes the start attempt fail at once.
  fs::create_directory(wd_.file("container/lock.dat"));
  AgentAttrs in, out;
  EXPECT_EQ(job("KILL", in, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(std::string(error_.text).rfind("Failed to create or connect to Container.", 0), 0u)
      << error_.text;
  EXPECT_FALSE(logged("'KILL' action failed. Write notification in the sysout file."));
}

TEST_F(JobActionTest, UnreadableAnswerGivesTheTranslationCode) {
  const std::string broken = std::string(kDecl) + "<TWBKX><BODY><STATUS>x</BODY></TWBKX>";
  start({broken});
  AgentAttrs in, out;
  out.add("STATUS", "old", 10);
  EXPECT_EQ(job("STATISTICS", in, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text,
               "PEXAPI_JOB_ACTION: the container's answer is not well-formed XML (line 1: "
               "mismatched tag)");
  EXPECT_EQ(out.value(0), "old");
  EXPECT_TRUE(logged("Failed to translate the following XML buffer into list: " + broken));
  EXPECT_TRUE(logged("'STATISTICS' action failed. Write notification in the sysout file."));
}

// A reply that is not an answer document fails the action as an
// untranslatable one does, and says what came instead.
TEST_F(JobActionTest, ReplyThatIsNoDocumentSaysWhatItWas) {
  start();
  container_.answer_raw("#!kx\ntype null\n\n");
  container_.answer_raw("#!kx\ntype string\n\n" + answer(element("STATUS", "x")));
  container_.answer_raw("#!kx\ntype int\n\n7");
  AgentAttrs in, out;
  out.add("STATUS", "old", 10);
  // Not TRACK: a track hands the agent a new array every time, which this
  // test, reusing one list, would have to release after each call.
  for (const char* kind : {"is null", "is a Hessian String", "is a Hessian Integer"}) {
    EXPECT_EQ(job("STATISTICS", in, out), PEX_FAIL) << kind;
    EXPECT_EQ(error_.code, 1u);
    EXPECT_EQ(std::string(error_.text),
              std::string("PEXAPI_JOB_ACTION: the container's reply ") + kind +
                  ", not a binary document");
  }
  EXPECT_EQ(out.value(0), "old");
  EXPECT_TRUE(logged("HessianRemoteAccessor::getResponse: the reply is a Hessian Null, not a "
                     "binary value: taken as an empty answer"));
}

// A request that cannot be sent whole and well-formed is refused before the
// container is asked, and the agent reads why.
TEST_F(JobActionTest, RefusedRequestsSayWhyAndSendNothing) {
  start();
  AgentAttrs big, out;
  big.add("ORDERNO", "X1");
  big.add("BIG", std::string(100000, 'b'));
  big.add("AFTER", std::string(50, 'a'));
  EXPECT_EQ(job("SUBMIT", big, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  const size_t needed =
      request("SUBMIT", element("ORDERNO", "X1") + element("BIG", std::string(100000, 'b')) +
                            element("AFTER", std::string(50, 'a')) + element("DBGLVL", "0") +
                            element("TRACKER_EVENT_PORT", "-1"))
          .size();
  EXPECT_EQ(std::string(error_.text),
            "PEXAPI_JOB_ACTION: request document for action 'SUBMIT' not sent: it needs " +
                std::to_string(needed) +
                " bytes, more than the 99999 that fit (element 'BIG' and those after it left "
                "out)");

  AgentAttrs control;
  control.add("JOBNAME", "ok");
  control.add("%%PARM1", std::string("a\x01" "b", 3));
  EXPECT_EQ(job("TRACK", control, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text,
               "PEXAPI_JOB_ACTION: request document not sent: the value of attribute '%%PARM1' "
               "holds the byte 0x01 at offset 1, which an XML 1.0 document cannot carry");

  AgentAttrs key;
  key.add(std::string("K\x1b" "Y", 3), "v");
  EXPECT_EQ(job("KILL", key, out), PEX_FAIL);
  EXPECT_STREQ(error_.text,
               "PEXAPI_JOB_ACTION: request document not sent: the name of input attribute 1 "
               "holds the byte 0x1B at offset 1, which an XML 1.0 document cannot carry");
  EXPECT_EQ(container_.request_count(), 0);
  EXPECT_FALSE(logged("'SUBMIT' action failed. Write notification in the sysout file."));
}

TEST_F(JobActionTest, KillStopsAtTheFirstElementTheAgentDidNotCreate) {
  start({answer(element("STATUS", "KILLED") + element("AUTOEDITOUT1", "A=1") +
                element("MSG", "gone"))});
  AgentAttrs in, out;
  out.add("MSG", "old", 10);
  out.add("STATUS", "", 10);
  EXPECT_EQ(job("KILL", in, out), PEX_EOS);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text,
               "PEXAPI_JOB_ACTION: the answer's element <AUTOEDITOUT1> has no output attribute "
               "of that name; it and the elements after it were not stored");
  EXPECT_FALSE(out.replaced());  // autoedits are a track's only
  EXPECT_EQ(out.count(), 2);
  EXPECT_EQ(out.value(1), "KILLED");
  EXPECT_EQ(out.value(0), "old");
  EXPECT_TRUE(logged("ERROR: Failed to update <AUTOEDITOUT1> with value <A=1>"));
  EXPECT_TRUE(logged("'KILL' action failed. Write notification in the sysout file."));
}

// The container's side reads requests with a conforming XML parser; here
// Expat itself stands in for it. Returns whether doc is well-formed and puts
// the text of the first element called name into *text.
bool expat_reads(const std::string& doc, const std::string& name, std::string* text) {
  struct State {
    std::string name;
    std::string* text;
    int inside = 0;
    bool done = false;
  } state{name, text};
  text->clear();
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* d, const XML_Char* n, const XML_Char**) {
        auto* st = static_cast<State*>(d);
        if (!st->done && st->name == n) ++st->inside;
      },
      [](void* d, const XML_Char* n) {
        auto* st = static_cast<State*>(d);
        if (st->inside > 0 && st->name == n) {
          st->inside = 0;
          st->done = true;
        }
      });
  XML_SetCharacterDataHandler(parser, [](void* d, const XML_Char* s, int len) {
    auto* st = static_cast<State*>(d);
    if (st->inside > 0) st->text->append(s, static_cast<size_t>(len));
  });
  const bool ok = XML_Parse(parser, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

std::string latin1_to_utf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Every byte an agent's value may hold arrives inside a document a
// conforming parser reads, escaped or as it is; the ones XML cannot carry
// are refused (above), never sent raw.
TEST_F(JobActionTest, WhatTheContainerReceivesIsWellFormed) {
  start();
  std::string every;  // Latin-1: all but NUL and the refused controls
  for (int b = 1; b < 256; ++b) {
    if (b >= 0x20 || b == '\t' || b == '\n' || b == '\r') every += static_cast<char>(b);
  }
  AgentAttrs in, out;
  in.add("ALL", every);
  in.add(std::string("%%CAF\xC9", 6), "k");  // not an ASCII name: sent as a pair
  ASSERT_EQ(job("SUBMIT", in, out), PEX_SUCCESS) << error_.text;
  std::string text;
  ASSERT_TRUE(expat_reads(container_.request(1), "ALL", &text)) << container_.request(1);
  EXPECT_EQ(text, latin1_to_utf8(every));
  ASSERT_TRUE(expat_reads(container_.request(1), "ZRT_ATTR_KEY_1", &text));
  EXPECT_EQ(text, "CAF\xC3\x89");

  // In I18N mode the agent's text is UTF-8 and goes as it is: it must be
  // UTF-8 of characters XML carries.
  wd_.write_table("CONFIG", "I18N CJK\n");
  const std::string utf8 = "tab\there \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD <&>";
  AgentAttrs cjk;
  cjk.add("TEXT", utf8);
  ASSERT_EQ(job("TRACK", cjk, out), PEX_SUCCESS) << error_.text;
  ASSERT_TRUE(expat_reads(container_.request(2), "TEXT", &text)) << container_.request(2);
  EXPECT_EQ(text, utf8);
  for (const std::string& bad : {std::string("caf\xE9"), std::string("\xED\xA0\x80"),
                                 std::string("\xEF\xBF\xBF"), std::string("\xC0\xAF")}) {
    AgentAttrs broken;
    broken.add("TEXT", "ok " + bad);
    EXPECT_EQ(job("TRACK", broken, out), PEX_FAIL);
    EXPECT_EQ(std::string(error_.text).find("the value of attribute 'TEXT' holds the byte 0x"),
              std::string("PEXAPI_JOB_ACTION: request document not sent: ").size())
        << error_.text;
  }
  EXPECT_EQ(container_.request_count(), 2);
}

// ---- extended autoedits ------------------------------------------------------

TEST_F(JobActionTest, TrackAppendsOnlyAutoeditsWithinTheAnswerThatHaveAValue) {
  start({answer(element("AUTOEDITOUT1", "A=1") + element("AUTOEDITOUT2", "B=") +
                element("AUTOEDITOUT7", "C=3"))});
  AgentAttrs in, out;
  out.add("STATUS", "old", 10);
  ASSERT_EQ(job("TRACK", in, out), PEX_SUCCESS) << error_.text;
  ASSERT_EQ(out.count(), 2);
  EXPECT_EQ(out.name(0), "STATUS");
  EXPECT_EQ(out.value(0), "old");
  EXPECT_EQ(out.value_len(0), 11);
  EXPECT_EQ(out.name(1), "A");
  EXPECT_EQ(out.value(1), "1");
  EXPECT_EQ(out.value_len(1), 2);
  EXPECT_TRUE(logged("Appended extended autoedit <A> with value <1>"));
  EXPECT_TRUE(error_untouched());
}

TEST_F(JobActionTest, TrackAutoeditsKeepAnswerOrderAndOnlyExactNames) {
  start({answer(element("STATUS", "RUNNING") + element("AUTOEDITOUT3", "P=a=b") +
                element("AUTOEDITOUT1", "=v") + element("AUTOEDITOUT05", "Z=1") +
                element("AUTOEDITOUT2", "NOEQUALS") + element("AUTOEDITOUT4", "K=4") +
                element("AUTOEDITOUTX", "Q=1"))});
  AgentAttrs in, out;
  out.add("STATUS", "", 10);
  out.add("AUTOEDITOUT4", "", 10);  // pre-created: an ordinary value
  ASSERT_EQ(job("TRACK", in, out), PEX_SUCCESS) << error_.text;
  ASSERT_EQ(out.count(), 4);
  EXPECT_EQ(out.value(0), "RUNNING");
  EXPECT_EQ(out.value(1), "K=4");
  EXPECT_EQ(out.name(2), "P");
  EXPECT_EQ(out.value(2), "a=b");
  EXPECT_EQ(out.name(3), "");
  EXPECT_EQ(out.value(3), "v");
}

TEST_F(JobActionTest, TrackKeepsAutoeditsFoundBeforeAStoreFailure) {
  start({answer(element("AUTOEDITOUT1", "A=1") + element("UNKNOWN", "x") +
                element("AUTOEDITOUT2", "B=2") + element("STATUS", "DONE"))});
  AgentAttrs in, out;
  out.add("STATUS", "", 10);
  EXPECT_EQ(job("TRACK", in, out), PEX_EOS);
  ASSERT_EQ(out.count(), 2);
  EXPECT_EQ(out.value(0), "");
  EXPECT_EQ(out.name(1), "A");
  EXPECT_TRUE(logged("'TRACK' action failed. Write notification in the sysout file."));
}

TEST_F(JobActionTest, TrackAnswerOfTwelveHundredAutoedits) {
  std::string body;
  for (int n = 1; n <= 1200; ++n) {
    body += element("AUTOEDITOUT" + std::to_string(n), "V" + std::to_string(n) + "=" +
                                                           std::to_string(n * 7));
  }
  start({answer(body)});
  AgentAttrs in, out;
  out.add("STATUS", "", 10);
  ASSERT_EQ(job("TRACK", in, out), PEX_SUCCESS) << error_.text;
  ASSERT_EQ(out.count(), 1201);
  for (int n : {1, 999, 1000, 1001, 1200}) {
    EXPECT_EQ(out.name(n), "V" + std::to_string(n));
    EXPECT_EQ(out.value(n), std::to_string(n * 7));
  }
}

// ---- output file after a delete ----------------------------------------------

TEST_F(JobActionTest, DeleteSetsTheOutputFileModeOnlyWhenItSucceeds) {
  wd_.write_table("HADOOP",
                  "KX_DIR " + wd_.file("container") + "\nSYSOUT_MODE 640\n");
  const std::string sysout = wd_.file("sysout/0001A_7");
  wd_.write("sysout/0001A_7", "output\n");
  ASSERT_EQ(chmod(sysout.c_str(), 0600), 0);
  start({answer("<KXError><Code>5</Code><Message>busy</Message></KXError>"),
         answer(element("STATUS", "DELETED"))});  // the last answer repeats
  AgentAttrs in, out;
  in.add("ORDERNO", "0001a");
  in.add("RUNNO", "007");
  out.add("STATUS", "", 10);

  struct stat st;
  EXPECT_EQ(job("DELETE", in, out), PEX_FAIL);
  ASSERT_EQ(stat(sysout.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  EXPECT_EQ(job("DELETE", in, out), PEX_SUCCESS) << error_.text;
  ASSERT_EQ(stat(sysout.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(out.value(0), "DELETED");
  EXPECT_TRUE(error_untouched());

  // A job without an output file is still deleted.
  AgentAttrs other;
  other.add("ORDERNO", "NOFILE");
  other.add("RUNNO", "1");
  EXPECT_EQ(job("DELETE", other, out), PEX_SUCCESS) << error_.text;
  EXPECT_TRUE(error_untouched());
}

// ---- log levels ----------------------------------------------------------------

TEST_F(JobActionTest, LinesAppearFromTheirOwnLevel) {
  start({answer(element("STATUS", "KILLED") + element("OTHER", "x"))});
  AgentAttrs in, out;
  out.add("STATUS", "", 10);
  DIAG_set_debug_level(2);
  EXPECT_EQ(job("KILL", in, out), PEX_EOS);
  EXPECT_TRUE(logged("ERROR: Failed to update <OTHER> with value <x>"));
  EXPECT_FALSE(logged("PEXAPI_JOB_ACTION"));

  DIAG_set_debug_level(3);
  EXPECT_EQ(job("KILL", in, out), PEX_EOS);
  EXPECT_TRUE(logged("PEXAPI_JOB_ACTION"));
  EXPECT_FALSE(logged("Action: 'KILL'"));
  EXPECT_FALSE(logged("Updated <STATUS> with value <KILLED>"));
  EXPECT_FALSE(logged("'KILL' action failed. Write notification in the sysout file."));
}

}  // namespace
