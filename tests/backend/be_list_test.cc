#include "be_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent_env.h"
#include "os_diag.h"

namespace {

using kxtest::AgentAttrs;
using kxtest::doc::kDecl;

const char kLatin1Decl[] = "<?xml version='1.0' encoding='iso-8859-1'?>";
const char kHeader[] = "<HEADER><ACTION>LIST_JOBS</ACTION></HEADER>";
const char kCallFailed[] = "Failed to create or connect to Container. hessian fault: ";

// An answer document of exactly n characters whose filler differs from one
// position to the next, so a chunk cut in the wrong place shows.
std::string answer_of(size_t n) {
  if (n == 0) return "";
  const std::string head = std::string(kDecl) + "<TWBKX><BODY><LIST>";
  const std::string tail = "</LIST></BODY></TWBKX>";
  std::string filler;
  for (size_t i = 0; filler.size() + head.size() + tail.size() < n; ++i)
    filler.push_back(static_cast<char>('a' + i % 26));
  return head + filler + tail;
}

struct Read {
  PEXRC rc;
  std::string text;
};

class ListTest : public kxtest::AgentEnv {
 protected:
  ListTest() : AgentEnv("LT") { memset(&error_, 0, sizeof error_); }

  PEXRC open(const std::string& text) {
    AgentAttrs in;
    in.add("TEXT", text);
    memset(&error_, 0, sizeof error_);
    return PEXAPI_LIST_DATA_OPEN(&connection_, &handle_, in.list(), &error_);
  }
  Read read(size_t capacity = BE_LIST_CHUNK_SIZE) {
    AgentAttrs out;
    out.add("TEXT", "previous", capacity);
    memset(&error_, 0, sizeof error_);
    const PEXRC rc = PEXAPI_LIST_DATA_READ(&connection_, handle_, nullptr, out.list(), &error_);
    return {rc, out.value(0)};
  }
  void close() {
    EXPECT_EQ(PEXAPI_LIST_DATA_CLOSE(&connection_, handle_, nullptr, &error_), PEX_SUCCESS);
    handle_ = nullptr;
  }
  const char* stored() const { return static_cast<BE_INF_list_handle*>(handle_)->xmlResponse; }

  PEXConnection connection_{};
  void* handle_ = nullptr;
  PEXError error_;
};

const std::string kAgentDoc = std::string(kDecl) + "<TWBKX>" + kHeader +
                              "<BODY><FILTER>a&amp;b</FILTER></BODY><EXTRA>x</EXTRA></TWBKX>";

// ---- chunks ----------------------------------------------------------------------

TEST_F(ListTest, AnswersComeInChunksWithTheLastOneRepeated) {
  struct Case {
    size_t size;
    std::vector<std::pair<PEXRC, size_t>> reads;  // code and length of each read
  };
  const std::vector<Case> cases = {
      {2500, {{PEX_SUCCESS, 1000}, {PEX_SUCCESS, 1000}, {PEX_EOS, 500}, {PEX_EOS, 500}}},
      {2000, {{PEX_SUCCESS, 1000}, {PEX_EOS, 1000}, {PEX_EOS, 1000}}},
      {1001, {{PEX_SUCCESS, 1000}, {PEX_EOS, 1}}},
      {1000, {{PEX_EOS, 1000}, {PEX_EOS, 1000}}},
      {0, {{PEX_EOS, 0}, {PEX_EOS, 0}}},
  };
  for (const Case& c : cases) container_.answer(answer_of(c.size));
  start();

  for (const Case& c : cases) {
    SCOPED_TRACE("answer of " + std::to_string(c.size));
    const std::string answer = answer_of(c.size);
    ASSERT_EQ(answer.size(), c.size);
    ASSERT_EQ(open(kAgentDoc), PEX_SUCCESS) << error_.text;
    size_t at = 0;
    for (const auto& [rc, len] : c.reads) {
      const Read r = read();
      EXPECT_EQ(r.rc, rc);
      EXPECT_EQ(r.text, answer.substr(at, len));
      if (rc == PEX_SUCCESS) at += len;
    }
    EXPECT_EQ(at + c.reads.back().second, c.size);  // the chunks cover the answer
    close();
  }
  EXPECT_TRUE(logged("xmlResponseSize: '2500'"));
  EXPECT_TRUE(logged("Compared to: '3' * '1000'"));
  EXPECT_TRUE(logged("list_handle->current_line: '2'"));
  EXPECT_TRUE(logged("Handling small chunk"));
}

TEST_F(ListTest, SmallAgentBufferGetsEachChunkCut) {
  container_.answer(answer_of(2500));
  start();
  ASSERT_EQ(open(kAgentDoc), PEX_SUCCESS);
  const Read first = read(100);
  EXPECT_EQ(first.rc, PEX_SUCCESS);
  EXPECT_EQ(first.text, answer_of(2500).substr(0, 100));
  // The cut-off characters are not handed out again.
  EXPECT_EQ(read(100).text, answer_of(2500).substr(1000, 100));

  // A read without TEXT in its output list hands out nothing and says why.
  AgentAttrs out;
  out.add("LINE", "", 1000);
  EXPECT_EQ(PEXAPI_LIST_DATA_READ(&connection_, handle_, nullptr, out.list(), &error_), PEX_EOS);
  EXPECT_EQ(error_.code, static_cast<PEXErrorCode>(PEX_EOS));
  EXPECT_STREQ(error_.text, "keyword TEXT not found");
  EXPECT_EQ(read().text, answer_of(2500).substr(2000));
  close();
}

// ---- the outgoing document -------------------------------------------------------

TEST_F(ListTest, HeaderAndBodyAreSentWithTheDebugLevelAdded) {
  wd_.write_table("CONFIG", "DBGLVL 5\n");
  start();
  ASSERT_EQ(open(kAgentDoc), PEX_SUCCESS) << error_.text;
  close();
  // Only a plain start tag is found: this BODY is not sent, nor is DBGLVL.
  ASSERT_EQ(open(std::string("<TWBKX>") + kHeader + "<BODY id='1'><A>1</A></BODY></TWBKX>"),
            PEX_SUCCESS);
  close();

  ASSERT_EQ(container_.request_count(), 2);
  EXPECT_EQ(container_.request(1), std::string(kDecl) + "<TWBKX>" + kHeader +
                                       "<BODY><FILTER>a&amp;b</FILTER><DBGLVL>5</DBGLVL></BODY>"
                                       "</TWBKX>");
  EXPECT_EQ(container_.request(2), std::string(kDecl) + "<TWBKX>" + kHeader + "</TWBKX>");
  EXPECT_TRUE(logged("xml_buff: " + kAgentDoc));
}

TEST_F(ListTest, MissingTextOrOverLargeDocumentIsRefusedUnsent) {
  start();
  void* const untouched = &connection_;
  handle_ = untouched;
  for (const char* text : std::initializer_list<const char*>{"", nullptr}) {
    AgentAttrs in;
    if (text != nullptr) in.add("TEXT", text);
    EXPECT_EQ(PEXAPI_LIST_DATA_OPEN(&connection_, &handle_, in.list(), &error_), PEX_FAIL);
    EXPECT_EQ(error_.code, 1u);
    EXPECT_STREQ(error_.text, "keyword TEXT not found");
  }

  // The outgoing document may take 99,999 characters: the opening, HEADER,
  // BODY with <DBGLVL>0</DBGLVL>, the root end tag.
  const std::string opening = std::string(kDecl) + "<TWBKX>";
  const std::string fixed = opening + kHeader + "<BODY><Q></Q><DBGLVL>0</DBGLVL></BODY></TWBKX>";
  const auto doc = [](size_t fill) {
    return std::string("<TWBKX>") + kHeader + "<BODY><Q>" + std::string(fill, 'q') +
           "</Q></BODY></TWBKX>";
  };
  const size_t fits = BE_LIST_BUFFER_SIZE - 1 - fixed.size();
  for (const size_t fill : {fits + 1, size_t{200000}}) {
    EXPECT_EQ(open(doc(fill)), PEX_FAIL);
    EXPECT_EQ(error_.code, 1u);
    EXPECT_EQ(std::string(error_.text).rfind("PEXAPI_LIST_DATA_OPEN: request document too large",
                                             0),
              0u)
        << error_.text;
  }
  EXPECT_EQ(handle_, untouched);
  EXPECT_EQ(container_.request_count(), 0);

  ASSERT_EQ(open(doc(fits)), PEX_SUCCESS) << error_.text;
  close();
  ASSERT_EQ(container_.request_count(), 1);
  EXPECT_EQ(container_.request(1).size(), static_cast<size_t>(BE_LIST_BUFFER_SIZE - 1));
  EXPECT_EQ(container_.request(1), opening + kHeader + "<BODY><Q>" + std::string(fits, 'q') +
                                       "</Q><DBGLVL>0</DBGLVL></BODY></TWBKX>");
}

// ---- errors ----------------------------------------------------------------------

TEST_F(ListTest, FailedCallIsReportedByEveryRead) {
  container_.answer_fault("tracker unreachable");
  start();
  EXPECT_EQ(open(kAgentDoc), PEX_FAIL);
  const std::string text = std::string(kCallFailed) + "tracker unreachable";
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(error_.text, text);
  ASSERT_NE(handle_, nullptr);
  EXPECT_EQ(stored(), std::string(kLatin1Decl) + "<TWBKX>" + kHeader +
                          "<KXError><Code>1</Code><Message>" + text +
                          "</Message></KXError></TWBKX>");
  for (int i = 0; i < 2; ++i) {
    const Read r = read();
    EXPECT_EQ(r.rc, PEX_FAIL);
    EXPECT_EQ(r.text, "previous");
    EXPECT_EQ(error_.code, 1u);
    EXPECT_EQ(error_.text, text);
  }
  close();
}

TEST_F(ListTest, ErrorTextWithMarkupStaysReadable) {
  container_.answer_fault("<quota> & \"disk\"\tfull");
  container_.answer_fault("bad\x01" "byte");
  container_.answer_fault("no header");
  start();

  ASSERT_EQ(open(kAgentDoc), PEX_FAIL);
  EXPECT_NE(std::string(stored()).find("&lt;quota&gt; &amp; &quot;disk&quot;&#9;full"),
            std::string::npos)
      << stored();
  EXPECT_EQ(read().rc, PEX_FAIL);
  EXPECT_EQ(error_.text, std::string(kCallFailed) + "<quota> & \"disk\"\tfull");
  close();

  // No XML document can carry a control character: it is replaced.
  ASSERT_EQ(open(kAgentDoc), PEX_FAIL);
  EXPECT_EQ(read().rc, PEX_FAIL);
  EXPECT_EQ(error_.text, std::string(kCallFailed) + "bad?byte");
  close();

  // An agent HEADER that is not well-formed is dropped from the report.
  ASSERT_EQ(open("<TWBKX><HEADER><A></HEADER><BODY></BODY></TWBKX>"), PEX_FAIL);
  EXPECT_EQ(std::string(stored()).find("<HEADER>"), std::string::npos) << stored();
  EXPECT_EQ(read().rc, PEX_FAIL);
  EXPECT_EQ(error_.text, std::string(kCallFailed) + "no header");
  close();
}

TEST_F(ListTest, ReportedErrorComesBeforeAnyChunk) {
  container_.answer(std::string(kDecl) +
                    "<TWBKX><KXError><Code>7</Code><Message>no such list</Message></KXError>"
                    "<BODY>" + std::string(3000, 'x') + "</BODY></TWBKX>");
  start();
  ASSERT_EQ(open(kAgentDoc), PEX_SUCCESS);
  for (int i = 0; i < 2; ++i) {
    const Read r = read();
    EXPECT_EQ(r.rc, PEX_FAIL);
    EXPECT_EQ(r.text, "previous");
    EXPECT_EQ(error_.code, 7u);
    EXPECT_STREQ(error_.text, "no such list");
  }
  close();
}

// ---- the rest --------------------------------------------------------------------

TEST_F(ListTest, NullHandlesAndTheActionEntryPoint) {
  AgentAttrs out;
  out.add("TEXT", "previous", 1000);
  EXPECT_EQ(PEXAPI_LIST_DATA_READ(&connection_, nullptr, nullptr, out.list(), &error_), PEX_FAIL);
  EXPECT_EQ(out.value(0), "previous");
  EXPECT_EQ(PEXAPI_LIST_DATA_CLOSE(&connection_, nullptr, nullptr, &error_), PEX_FAIL);
  EXPECT_TRUE(logged("PEXAPI_LIST_DATA_CLOSE: Handle is null"));
  BE_INF_list_handle empty{0, nullptr};
  EXPECT_EQ(PEXAPI_LIST_DATA_CLOSE(&connection_, &empty, nullptr, &error_), PEX_FAIL);
  EXPECT_TRUE(logged("PEXAPI_LIST_DATA_CLOSE: Xml Response is null"));

  char action[] = "LIST";
  EXPECT_EQ(PEXAPI_LIST_ACTION(&connection_, action, out.list(), out.list(), &error_),
            PEX_NOT_FOUND);
  EXPECT_TRUE(logged("PEXAPI_LIST_ACTION"));
  EXPECT_TRUE(logged("Action: 'LIST'"));
}

TEST_F(ListTest, DetailLinesNeedLevelFour) {
  DIAG_set_debug_level(3);
  container_.answer(answer_of(1500));
  start();
  ASSERT_EQ(open(kAgentDoc), PEX_SUCCESS);
  EXPECT_EQ(read().rc, PEX_SUCCESS);
  close();
  EXPECT_TRUE(logged("PEXAPI_LIST_DATA_OPEN"));
  EXPECT_TRUE(logged("PEXAPI_LIST_DATA_READ"));
  EXPECT_TRUE(logged("PEXAPI_LIST_DATA_CLOSE"));
  EXPECT_EQ(log().find("xml_buff: "), std::string::npos);
  EXPECT_EQ(log().find("xmlResponseSize: "), std::string::npos);
}

}  // namespace
