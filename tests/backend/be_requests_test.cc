#include "be_requests.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <climits>
#include <string>
#include <vector>

#include "agent_env.h"
#include "gm_param.h"
#include "gm_xml.h"

namespace {

using kxtest::AgentAttrs;

const std::string kOpening = std::string(kxtest::doc::kDecl) + "<TWBKX>";

// The document a request renders, released the way callers release it.
std::string render(RequestGeneratorInterface& request, bool exclude) {
  char* xml = request.toXml(exclude);
  if (xml == nullptr) return "<null>";
  std::string text(xml);
  RequestGeneratorInterface::freeXmlBuffer(xml);
  return text;
}

std::string body_of(const std::string& doc) {
  const size_t from = doc.find("<BODY>");
  const size_t to = doc.rfind("</BODY>");
  if (from == std::string::npos || to == std::string::npos) return "<no body>";
  return doc.substr(from + 6, to - from - 6);
}

class RequestsTest : public kxtest::AgentEnv {
 protected:
  RequestsTest() : AgentEnv("RQ", kLogOnly) {}

  // Rewrites CONFIG and moves its modification time on, so that the change
  // is seen even within the same second as the previous write.
  void write_config(const std::string& content, int seconds_ahead) {
    wd_.write_table("CONFIG", content);
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += seconds_ahead;
    times[1] = times[0];
    ASSERT_EQ(0, utimensat(AT_FDCWD, "data/CONFIG.dat", times, 0));
  }
};

AgentAttrs worked_example_attrs() {
  return AgentAttrs{{"JOBNAME", "wordcount"},
                    {"%%PARM1", "a&b"},
                    {"%%\\OUT1", "x"},
                    {"%%HDP-MODE", "y"},
                    {"%%A$B", "v"}};
}

TEST_F(RequestsTest, WorkedSubmitExampleByteForByte) {
  AgentAttrs attrs = worked_example_attrs();
  // The port as the submit handler reads it: "-1" stays when CONFIG lacks it.
  GM_PARAM_VALUE_typ port = "-1";
  GM_PARAM_get("CONFIG", "TRACKER_EVENT_PORT", port);
  RequestJobSubmit submit("SUBMIT", attrs.list(), port);

  EXPECT_EQ(
      "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER><ACTION>SUBMIT</ACTION></HEADER>"
      "<BODY><JOBNAME>wordcount</JOBNAME><PARM1>a&amp;b</PARM1><HDP-MODE>y</HDP-MODE>"
      "<ZRT_ATTR_KEY_1>A$B</ZRT_ATTR_KEY_1><ZRT_ATTR_VAL_1>v</ZRT_ATTR_VAL_1>"
      "<DBGLVL>0</DBGLVL><TRACKER_EVENT_PORT>-1</TRACKER_EVENT_PORT></BODY></TWBKX>",
      render(submit, false));
  EXPECT_TRUE(logged("RequestJobSubmit::RequestJobSubmit: "));
  EXPECT_TRUE(logged("No need to pass on output autoedits <%%\\OUT1>"));
  EXPECT_TRUE(logged("Truncated autoedit key to <PARM1>"));
  EXPECT_TRUE(logged("Added xml element 'PARM1' with value 'a&b' to request body"));

  // The same request for the output actions leaves the HDP- autoedit out.
  EXPECT_EQ(
      "<JOBNAME>wordcount</JOBNAME><PARM1>a&amp;b</PARM1>"
      "<ZRT_ATTR_KEY_1>A$B</ZRT_ATTR_KEY_1><ZRT_ATTR_VAL_1>v</ZRT_ATTR_VAL_1>"
      "<DBGLVL>0</DBGLVL><TRACKER_EVENT_PORT>-1</TRACKER_EVENT_PORT>",
      body_of(render(submit, true)));
}

TEST_F(RequestsTest, TrackerEventPortFromConfigOrDefault) {
  AgentAttrs none{};
  // A null port is sent as the default rather than dereferenced.
  RequestJobSubmit unset("SUBMIT", none.list(), nullptr);
  EXPECT_EQ("<DBGLVL>0</DBGLVL><TRACKER_EVENT_PORT>-1</TRACKER_EVENT_PORT>",
            body_of(render(unset, false)));

  write_config("TRACKER_EVENT_PORT 40123\n", 1);
  GM_PARAM_VALUE_typ port = "-1";
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_get("CONFIG", "TRACKER_EVENT_PORT", port));
  RequestJobSubmit set("SUBMIT", none.list(), port);
  EXPECT_EQ("<DBGLVL>0</DBGLVL><TRACKER_EVENT_PORT>40123</TRACKER_EVENT_PORT>",
            body_of(render(set, false)));

  // Other actions never carry the port.
  GenericRequest track("TRACK", none.list());
  EXPECT_EQ(kxtest::doc::request("TRACK", "<DBGLVL>0</DBGLVL>"), render(track, false));
}

TEST_F(RequestsTest, TextIsEscapedNamesAreNot) {
  AgentAttrs attrs{{"MSG", "t\tl\nc\r'q\"<>&"}, {"%%ANY_name-1.x", "1"}};
  GenericRequest request("A&<B>", attrs.list());
  EXPECT_EQ(kxtest::doc::request("A&amp;&lt;B&gt;",
                                 "<MSG>t&#9;l&#10;c&#13;'q&quot;&lt;&gt;&amp;</MSG>"
                                 "<ANY_name-1.x>1</ANY_name-1.x><DBGLVL>0</DBGLVL>"),
            render(request, false));
}

TEST_F(RequestsTest, AutoeditAndPrefixRules) {
  AgentAttrs attrs{{"%%\\OUT", "never"},      // output autoedit: never sent
                   {"%%HDP-MODE", "m"},        // sent only without the exclusion
                   {"HDP-PLAIN", "p"},         // no "%%": not an autoedit
                   {"%HDP-ONE", "one"},        // one '%' stays: a pair
                   {"%%%%\\X", "twice"},       // only the first "%%" goes
                   {"%%", "empty"},            // nothing left for a tag name
                   {"%%9LIVES", "digit"},      // a tag cannot begin with a digit
                   {"%%A B", "blank"},         // nor hold a blank
                   {"%%A><B", "inject"}};      // nor markup
  GenericRequest request("OUTPUT", attrs.list());
  const std::string common =
      "<HDP-PLAIN>p</HDP-PLAIN>"
      "<ZRT_ATTR_KEY_1>%HDP-ONE</ZRT_ATTR_KEY_1><ZRT_ATTR_VAL_1>one</ZRT_ATTR_VAL_1>"
      "<ZRT_ATTR_KEY_2>%%\\X</ZRT_ATTR_KEY_2><ZRT_ATTR_VAL_2>twice</ZRT_ATTR_VAL_2>"
      "<ZRT_ATTR_KEY_3></ZRT_ATTR_KEY_3><ZRT_ATTR_VAL_3>empty</ZRT_ATTR_VAL_3>"
      "<ZRT_ATTR_KEY_4>9LIVES</ZRT_ATTR_KEY_4><ZRT_ATTR_VAL_4>digit</ZRT_ATTR_VAL_4>"
      "<ZRT_ATTR_KEY_5>A B</ZRT_ATTR_KEY_5><ZRT_ATTR_VAL_5>blank</ZRT_ATTR_VAL_5>"
      "<ZRT_ATTR_KEY_6>A&gt;&lt;B</ZRT_ATTR_KEY_6><ZRT_ATTR_VAL_6>inject</ZRT_ATTR_VAL_6>"
      "<DBGLVL>0</DBGLVL>";
  EXPECT_EQ("<HDP-MODE>m</HDP-MODE>" + common, body_of(render(request, false)));
  EXPECT_EQ(common, body_of(render(request, true)));
}

TEST_F(RequestsTest, PairCounterRunsOverTheWholeRequest) {
  AgentAttrs attrs{{"%%A$1", "a"},  {"PLAIN", "p"}, {"%%\\SKIPPED$", "s"},
                   {"%%HDP-X$", "h"}, {"B%2", "b"}, {"OTHER", "o"}, {"%%C$3", "c"}};
  RequestSysout request("SYSOUT_GET", attrs.list(), 7, 100, 0);
  EXPECT_EQ(
      "<ZRT_ATTR_KEY_1>A$1</ZRT_ATTR_KEY_1><ZRT_ATTR_VAL_1>a</ZRT_ATTR_VAL_1>"
      "<PLAIN>p</PLAIN>"
      "<ZRT_ATTR_KEY_2>B%2</ZRT_ATTR_KEY_2><ZRT_ATTR_VAL_2>b</ZRT_ATTR_VAL_2>"
      "<OTHER>o</OTHER>"
      "<ZRT_ATTR_KEY_3>C$3</ZRT_ATTR_KEY_3><ZRT_ATTR_VAL_3>c</ZRT_ATTR_VAL_3>"
      "<DBGLVL>0</DBGLVL>"
      "<SYSOUT_OFFSET>7</SYSOUT_OFFSET><SYSOUT_BLOCK_SIZE>100</SYSOUT_BLOCK_SIZE>"
      "<SYSOUT_STMT_SIZE>0</SYSOUT_STMT_SIZE>",
      body_of(render(request, true)));
  // Each rendering counts afresh.
  EXPECT_NE(std::string::npos, render(request, true).find("<ZRT_ATTR_KEY_1>A$1<"));
}

TEST_F(RequestsTest, DebugLevelIsReadAfterAChangeTestOfConfig) {
  AgentAttrs attrs{{"JOB", "j"}};
  GenericRequest request("TRACK", attrs.list());

  write_config("DBGLVL 3\n", 1);
  EXPECT_EQ("<JOB>j</JOB><DBGLVL>3</DBGLVL>", body_of(render(request, false)));

  // An unchanged file is not read again: a value held in memory survives.
  ASSERT_EQ(KX_SUCCESS, GM_PARAM_set("CONFIG", "DBGLVL", "4"));
  EXPECT_EQ("<JOB>j</JOB><DBGLVL>4</DBGLVL>", body_of(render(request, false)));

  // A changed file is, at the next request.
  write_config("DBGLVL 5\n", 5);
  EXPECT_EQ("<JOB>j</JOB><DBGLVL>5</DBGLVL>", body_of(render(request, false)));

  // A key removed from the file falls back to "0".
  write_config("OTHER x\n", 9);
  EXPECT_EQ("<JOB>j</JOB><DBGLVL>0</DBGLVL>", body_of(render(request, false)));
}

TEST_F(RequestsTest, DeclarationIsUtf8WhateverTheCodePage) {
  write_config("I18N CJK\n", 1);
  AgentAttrs none{};
  GenericRequest request("TRACK", none.list());
  EXPECT_EQ(0u, render(request, false).rfind(kOpening, 0));
}

TEST_F(RequestsTest, SysoutNumbersKeepTheirFullRange) {
  AgentAttrs attrs{{"JOBID", "job_1"}};
  RequestSysout first("SYSOUT_ONSTMT", attrs.list(), 0, -1, -2147483647 - 1);
  EXPECT_EQ(kxtest::doc::request("SYSOUT_ONSTMT",
                                 "<JOBID>job_1</JOBID><DBGLVL>0</DBGLVL>"
                                 "<SYSOUT_OFFSET>0</SYSOUT_OFFSET>"
                                 "<SYSOUT_BLOCK_SIZE>-1</SYSOUT_BLOCK_SIZE>"
                                 "<SYSOUT_STMT_SIZE>-2147483648</SYSOUT_STMT_SIZE>"),
            render(first, true));

  RequestSysout last("SYSOUT_GET", attrs.list(), ULONG_MAX, INT_MAX, 250);
  EXPECT_EQ(
      "<JOBID>job_1</JOBID><DBGLVL>0</DBGLVL>"
      "<SYSOUT_OFFSET>18446744073709551615</SYSOUT_OFFSET>"
      "<SYSOUT_BLOCK_SIZE>2147483647</SYSOUT_BLOCK_SIZE>"
      "<SYSOUT_STMT_SIZE>250</SYSOUT_STMT_SIZE>",
      body_of(render(last, true)));
}

TEST_F(RequestsTest, EmptyOrMissingAttributeListStillHasABody) {
  // The container stop request.
  PEXAttrList empty{0, nullptr, 0};
  GenericRequest stop("ContainerStop", &empty);
  EXPECT_EQ(
      "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER><ACTION>ContainerStop</ACTION>"
      "</HEADER><BODY><DBGLVL>0</DBGLVL></BODY></TWBKX>",
      render(stop, true));
  EXPECT_TRUE(logged("GenericRequest::GenericRequest: "));

  GenericRequest no_list("ContainerStop", nullptr);
  EXPECT_EQ(render(stop, true), render(no_list, true));

  // A nameless attribute has no key to send; a value-less one is sent empty.
  PEXAttr odd[2] = {{nullptr, 2, const_cast<char*>("x")}, {const_cast<char*>("NOVAL"), 0, nullptr}};
  PEXAttrList odd_list{2, odd, 0};
  GenericRequest with_odd("TRACK", &odd_list);
  EXPECT_EQ("<NOVAL></NOVAL><DBGLVL>0</DBGLVL>", body_of(render(with_odd, false)));
}

TEST_F(RequestsTest, DocumentThatWouldOverrunItsBufferIsRefused) {
  AgentAttrs base{{"A", std::string(60000, 'a')}, {"B", ""}};
  GenericRequest probe("TRACK", base.list());
  const size_t fixed = render(probe, false).size();  // everything but B's text
  ASSERT_LT(fixed, static_cast<size_t>(BE_REQUEST_XML_BUFFER_SIZE));
  const size_t room = BE_REQUEST_XML_BUFFER_SIZE - 1 - fixed;

  // Exactly filling the buffer, terminator included, is still a document.
  AgentAttrs full{{"A", std::string(60000, 'a')}, {"B", std::string(room, 'b')}};
  GenericRequest fits("TRACK", full.list());
  const std::string doc = render(fits, false);
  EXPECT_EQ(static_cast<size_t>(BE_REQUEST_XML_BUFFER_SIZE - 1), doc.size());
  EXPECT_EQ("</B><DBGLVL>0</DBGLVL></BODY></TWBKX>", doc.substr(doc.size() - 37));

  // One byte more is refused whole: B still fits, the DBGLVL after it not.
  AgentAttrs over{{"A", std::string(60000, 'a')}, {"B", std::string(room + 1, 'b')}};
  GenericRequest too_big("TRACK", over.list());
  EXPECT_EQ(nullptr, too_big.toXml(false));
  const std::string refusal = "request document for action 'TRACK' not sent: it needs 100000 "
                              "bytes, more than the 99999 that fit (element 'DBGLVL' and those "
                              "after it left out)";
  EXPECT_EQ(refusal, too_big.refusal());
  EXPECT_TRUE(logged("RequestGeneratorInterface::toXml: " + refusal));

  // Escaping counts: a short text whose escapes do not fit, in a subclass.
  AgentAttrs quotes{{"Q", std::string(20000, '"')}};
  RequestJobSubmit submit("SUBMIT", quotes.list(), "-1");
  EXPECT_EQ(nullptr, submit.toXml(false));

  // The refusal leaves nothing behind for the next request.
  EXPECT_EQ(doc, render(fits, false));
  EXPECT_STREQ("", fits.refusal());
}

// A control character cannot stand in an XML 1.0 document even escaped, so
// a text holding one refuses the request, wherever it is; in I18N mode the
// text must also be UTF-8. Bytes of a single-byte code page above 127 are
// characters and pass.
TEST_F(RequestsTest, TextsXmlCannotCarryRefuseTheRequest) {
  const std::string tail = " which an XML 1.0 document cannot carry";
  AgentAttrs value{{"OK", "caf\xE9 \x7F\x85\xFF"}, {"%%P", std::string("x\x1Fy")}};
  GenericRequest by_value("TRACK", value.list());
  EXPECT_EQ(nullptr, by_value.toXml(false));
  EXPECT_EQ("request document not sent: the value of attribute '%%P' holds the byte 0x1F at "
            "offset 1," + tail,
            std::string(by_value.refusal()));
  EXPECT_TRUE(logged("RequestGeneratorInterface::toXml: " + std::string(by_value.refusal())));

  AgentAttrs name{{"A", "1"}, {std::string("B\x0C"), "2"}};
  GenericRequest by_name("TRACK", name.list());
  EXPECT_EQ(nullptr, by_name.toXml(false));
  EXPECT_EQ("request document not sent: the name of input attribute 2 holds the byte 0x0C at "
            "offset 1," + tail,
            std::string(by_name.refusal()));

  GenericRequest by_action("TR\x08" "CK", nullptr);
  EXPECT_EQ(nullptr, by_action.toXml(false));
  EXPECT_EQ("request document not sent: the action name holds the byte 0x08 at offset 2," + tail,
            std::string(by_action.refusal()));

  RequestJobSubmit by_port("SUBMIT", nullptr, "\x01");
  EXPECT_EQ(nullptr, by_port.toXml(false));
  EXPECT_EQ("request document not sent: the value of TRACKER_EVENT_PORT holds the byte 0x01 at "
            "offset 0," + tail,
            std::string(by_port.refusal()));

  // Latin-1 bytes above 127 are characters; the same bytes are not UTF-8.
  AgentAttrs latin1{{"OK", "caf\xE9 \x7F\x85\xFF"}};
  GenericRequest fine("TRACK", latin1.list());
  EXPECT_EQ("<OK>caf\xE9 \x7F\x85\xFF</OK><DBGLVL>0</DBGLVL>", body_of(render(fine, false)));
  write_config("I18N CJK\n", 5);
  EXPECT_EQ(nullptr, fine.toXml(false));
  EXPECT_EQ("request document not sent: the value of attribute 'OK' holds the byte 0xE9 at "
            "offset 3," + tail,
            std::string(fine.refusal()));
  AgentAttrs utf8{{"OK", "caf\xC3\xA9"}};
  GenericRequest fine8("TRACK", utf8.list());
  EXPECT_EQ("<OK>caf\xC3\xA9</OK><DBGLVL>0</DBGLVL>", body_of(render(fine8, false)));
}

// Which bytes above 127 may stand in an element name depends on the code
// page and the character; such a key goes as a name/value pair of text.
TEST_F(RequestsTest, KeysBeyondAsciiTravelAsPairs) {
  AgentAttrs attrs{{"%%CAF\xC9", "1"}, {"A\xD7" "B", "2"}};
  GenericRequest request("TRACK", attrs.list());
  EXPECT_EQ("<ZRT_ATTR_KEY_1>CAF\xC9</ZRT_ATTR_KEY_1><ZRT_ATTR_VAL_1>1</ZRT_ATTR_VAL_1>"
            "<ZRT_ATTR_KEY_2>A\xD7" "B</ZRT_ATTR_KEY_2><ZRT_ATTR_VAL_2>2</ZRT_ATTR_VAL_2>"
            "<DBGLVL>0</DBGLVL>",
            body_of(render(request, false)));
}

// A request kind that sets no action of its own, and a body written by hand.
class BareRequest : public RequestGeneratorInterface {
 public:
  void writeBody(char* outStr, bool excludeINFautoedit) override {
    GM_XML_WriteElement(outStr, "EXCLUDE", excludeINFautoedit ? "1" : "0", nullptr);
  }
};

TEST_F(RequestsTest, FrameAroundAnyBody) {
  BareRequest bare;
  EXPECT_EQ(kxtest::doc::request("DUMMY_ACTION", "<EXCLUDE>1</EXCLUDE>"), render(bare, true));

  char buf[128] = "prefix";
  EXPECT_EQ(KX_SUCCESS, BE_INF_XML_BufInit(buf));
  EXPECT_EQ("prefix" + kOpening, std::string(buf));
  EXPECT_EQ(KX_FAIL, BE_INF_XML_BufInit(nullptr));

  RequestGeneratorInterface::freeXmlBuffer(nullptr);
  EXPECT_TRUE(logged("RequestGeneratorInterface::freeXmlBuffer: "));
}

}  // namespace
