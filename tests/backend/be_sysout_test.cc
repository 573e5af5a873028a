// Output retrieval end to end: the output actions and the reads through the
// library's entry points against the test container, and the permissions of
// the output file.
#include "be_sysout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <vector>

#include "agent_env.h"

namespace {

using kxtest::AgentAttrs;
using kxtest::doc::answer;
using kxtest::doc::element;
using kxtest::doc::error_answer;
using kxtest::doc::kDecl;
using kxtest::doc::request;

// The job attributes every read sends, as they appear in the body.
const char kJobBody[] = "<ORDERNO>0001a</ORDERNO><RUNNO>3</RUNNO><DBGLVL>0</DBGLVL>";

std::string sizes(const std::string& offset, int block, int stmt) {
  return element("SYSOUT_OFFSET", offset) + element("SYSOUT_BLOCK_SIZE", std::to_string(block)) +
         element("SYSOUT_STMT_SIZE", std::to_string(stmt));
}

// A working directory with the container configuration beside its container
// directory, an agent home with the shipped locale data and a log at level 4.
class SysoutTest : public kxtest::AgentEnv {
 protected:
  SysoutTest() : AgentEnv("SO") {
    job_.add("ORDERNO", "0001a");
    job_.add("RUNNO", "3");
    job_.add("%%HDP-QUEUE", "default");
    navigate_.add("NAVIGATE", "NEXT");
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(PEXAPI_SYSOUT_DATA_CLOSE(nullptr, handle_, nullptr, nullptr), PEX_SUCCESS);
    }
  }

  void open() {
    ASSERT_EQ(PEXAPI_SYSOUT_DATA_OPEN(nullptr, &handle_, job_.list(), nullptr), PEX_SUCCESS);
    ASSERT_NE(handle_, nullptr);
  }
  void reset_error() { kxtest::preset_error(&error_); }
  PEXRC read(AgentAttrs& out) { return read(navigate_, out); }
  PEXRC read(AgentAttrs& in, AgentAttrs& out) {
    reset_error();
    return PEXAPI_SYSOUT_DATA_READ(nullptr, handle_, in.list(), out.list(), &error_);
  }
  PEXRC action(const char* name, AgentAttrs& in) {
    reset_error();
    AgentAttrs out;
    return PEXAPI_SYSOUT_ACTION(nullptr, const_cast<char*>(name), in.list(), out.list(), &error_);
  }
  bool error_untouched() const { return kxtest::error_untouched(error_); }
  uint64_t offset() const { return static_cast<BE_INF_sysout_handle*>(handle_)->offset; }

  AgentAttrs job_, navigate_;
  void* handle_ = nullptr;
  PEXError error_{};
};

// ---- block mode ---------------------------------------------------------

TEST_F(SysoutTest, BlockReadsCarryTheReportedOffsetAndEndWithTheLastBlock) {
  const std::string first = answer(element("SYSOUT_TEXT", "line 1\nline 2") +
                                   element("SYSOUT_OFFSET", "5000"));
  start({first, answer(element("SYSOUT_TEXT", "last line") + element("SYSOUT_OFFSET", "-1")),
         ""});
  open();
  EXPECT_EQ(offset(), 0u);
  AgentAttrs out;
  out.add("TEXT", "", 5000);

  ASSERT_EQ(read(out), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(out.value(0), "line 1\nline 2");
  EXPECT_EQ(offset(), 5000u);
  EXPECT_TRUE(error_untouched());

  EXPECT_EQ(read(out), PEX_EOS);
  EXPECT_EQ(out.value(0), "last line");
  EXPECT_EQ(offset(), UINT64_MAX);

  // A read after the end is still sent, with the ended offset; an empty
  // answer leaves the agent's text alone.
  EXPECT_EQ(read(out), PEX_EOS);
  EXPECT_EQ(out.value(0), "last line");

  ASSERT_EQ(container_.request_count(), 3);
  EXPECT_EQ(container_.request(1), request("SYSOUT_GET", kJobBody + sizes("0", 5000, 0)));
  EXPECT_EQ(container_.request(2), request("SYSOUT_GET", kJobBody + sizes("5000", 5000, 0)));
  EXPECT_EQ(container_.request(3),
            request("SYSOUT_GET", kJobBody + sizes("18446744073709551615", 5000, 0)));

  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_READ"));
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_OPEN: Allocated new BE_INF_sysout_handle"));
  const std::string size = std::to_string(first.size());
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_READ: Allocated <" + size +
                     "> bytes for sysout get response"));
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_READ: Freed <" + size +
                     "> bytes which were allocated for sysout get response"));
  EXPECT_TRUE(logged("End of sysout"));
}

TEST_F(SysoutTest, BlockTextIsCutToTheBufferAndAnEmptyOffsetEnds) {
  start({answer(element("SYSOUT_TEXT", "0123456789ABCDEF") + element("SYSOUT_OFFSET", ""))});
  open();
  AgentAttrs out;
  out.add("TEXT", "previous text", 10);  // 13 characters: a 14-byte buffer
  EXPECT_EQ(read(out), PEX_EOS);
  EXPECT_EQ(out.buffer(0), std::string("0123456789ABC") + '\0');
  EXPECT_EQ(offset(), UINT64_MAX);
  EXPECT_EQ(container_.request(1), request("SYSOUT_GET", kJobBody + sizes("0", 13, 0)));
}

TEST_F(SysoutTest, BlockAnswerFailures) {
  start({answer(element("SYSOUT_OFFSET", "700")),
         answer(element("SYSOUT_TEXT", "orphan block")),  // no offset
         error_answer("12", "disk full"),
         std::string(kDecl) + "<TWBKX><BODY><SYSOUT_TEXT>cut"});
  open();
  AgentAttrs out;
  out.add("TEXT", "", 100);
  ASSERT_EQ(read(out), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(out.value(0), "");  // no SYSOUT_TEXT: nothing stored

  EXPECT_EQ(read(out), PEX_FAIL);
  EXPECT_EQ(out.value(0), "orphan block");
  EXPECT_EQ(offset(), 700u);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text,
               "PEXAPI_SYSOUT_DATA_READ: the container's answer to SYSOUT_GET holds no "
               "SYSOUT_OFFSET, so the read cannot go on");
  EXPECT_TRUE(logged("Failed to keep track of sysout read offset"));

  EXPECT_EQ(read(out), PEX_FAIL);
  EXPECT_EQ(error_.code, 12u);
  EXPECT_STREQ(error_.text, "disk full");
  EXPECT_EQ(out.value(0), "orphan block");

  EXPECT_EQ(read(out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text,
               "PEXAPI_SYSOUT_DATA_READ: the container's answer is not well-formed XML (line 1: "
               "no element found)");
  EXPECT_TRUE(logged("Failed to translate the following XML buffer into list: " +
                     std::string(kDecl) + "<TWBKX><BODY><SYSOUT_TEXT>cut"));
  EXPECT_EQ(offset(), 700u);
  // The failed reads kept sending the last good offset.
  EXPECT_EQ(container_.request(4), request("SYSOUT_GET", kJobBody + sizes("700", 100, 0)));
}

// ---- statement mode -----------------------------------------------------

TEST_F(SysoutTest, StatementReadsSendBothSizesAndEndOnlyWithAnEmptyAnswer) {
  start({answer(element("ONSTMT", "//STEP1 EXEC") + element("ONCODE", "CC0000") +
                element("SYSOUT_OFFSET", "12")),
         answer(element("ONSTMT", "") + element("ONCODE", "")),
         // Statement answers are not checked for an error report.
         error_answer("5", "ignored"),
         ""});
  open();
  AgentAttrs out;
  out.add("ONSTMT", "", 80);
  out.add("ONCODE", "", 10);

  ASSERT_EQ(read(out), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(out.value(0), "//STEP1 EXEC");
  EXPECT_EQ(out.value(1), "CC0000");
  EXPECT_EQ(offset(), 12u);

  // An empty statement keeps the agent's, an empty code is stored; without
  // SYSOUT_OFFSET the position stays.
  ASSERT_EQ(read(out), PEX_SUCCESS);
  EXPECT_EQ(out.value(0), "//STEP1 EXEC");
  EXPECT_EQ(out.value(1), "");
  EXPECT_EQ(offset(), 12u);

  EXPECT_EQ(read(out), PEX_SUCCESS);
  EXPECT_TRUE(error_untouched());
  EXPECT_EQ(read(out), PEX_EOS);

  ASSERT_EQ(container_.request_count(), 4);
  EXPECT_EQ(container_.request(1), request("SYSOUT_ONSTMT", kJobBody + sizes("0", 10, 80)));
  EXPECT_EQ(container_.request(2), request("SYSOUT_ONSTMT", kJobBody + sizes("12", 10, 80)));
  EXPECT_FALSE(logged("PEXAPI_SYSOUT_DATA_READ: Allocated <"));
}

TEST_F(SysoutTest, StatementWithoutOncodeSendsBlockSizeZeroAndTextWinsOverOnstmt) {
  start({answer(element("ONSTMT", "a statement longer than the buffer") +
                element("ONCODE", "X") + element("SYSOUT_OFFSET", "40"))});
  open();
  AgentAttrs stmt_only;
  stmt_only.add("ONSTMT", "", 11);
  ASSERT_EQ(read(stmt_only), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(stmt_only.buffer(0), std::string("a statement") + '\0');

  AgentAttrs both;
  both.add("ONSTMT", "", 20);
  both.add("TEXT", "", 30);
  read(both);
  EXPECT_EQ(container_.request(1), request("SYSOUT_ONSTMT", kJobBody + sizes("0", 0, 11)));
  EXPECT_EQ(container_.request(2), request("SYSOUT_GET", kJobBody + sizes("40", 30, 0)));
}

// ---- checks before anything is sent --------------------------------------

TEST_F(SysoutTest, NavigateAndOutputAttributesAreCheckedBeforeSending) {
  start();
  open();
  AgentAttrs out, none, in_missing, in_blank;
  out.add("TEXT", "kept", 100);
  none.add("OTHER", "", 10);
  in_missing.add("DIRECTION", "NEXT");
  in_blank.add("NAVIGATE", "NEXT ");

  EXPECT_EQ(read(in_missing, out), PEX_EOS);
  EXPECT_EQ(error_.code, static_cast<PEXErrorCode>(PEX_EOS));
  EXPECT_STREQ(error_.text, "keyword NAVIGATE not found");

  EXPECT_EQ(read(in_blank, out), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_STREQ(error_.text, "'NAVIGATE' value 'NEXT ' is invalid");

  EXPECT_EQ(read(none), PEX_SUCCESS);
  EXPECT_TRUE(error_untouched());
  EXPECT_EQ(out.value(0), "kept");
  EXPECT_EQ(container_.request_count(), 0);

  // A read without a handle is refused instead of followed.
  reset_error();
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_READ(nullptr, nullptr, navigate_.list(), out.list(), &error_),
            PEX_FAIL);
  EXPECT_FALSE(error_untouched());
  EXPECT_EQ(container_.request_count(), 0);
}

TEST_F(SysoutTest, OpenAndCloseOwnOnlyTheHandle) {
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_OPEN(nullptr, nullptr, job_.list(), nullptr), PEX_FAIL);
  open();
  EXPECT_EQ(static_cast<BE_INF_sysout_handle*>(handle_)->jobAttrList, job_.list());
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_CLOSE(nullptr, handle_, nullptr, nullptr), PEX_SUCCESS);
  handle_ = nullptr;
  EXPECT_EQ(job_.value(0), "0001a");
  EXPECT_EQ(job_.list()->Count, 3);
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_CLOSE"));
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_DATA_CLOSE: Allocation BE_INF_sysout_handle was released"));
  EXPECT_EQ(PEXAPI_SYSOUT_DATA_CLOSE(nullptr, nullptr, nullptr, nullptr), PEX_FAIL);
}

// ---- output actions -----------------------------------------------------

TEST_F(SysoutTest, EachOutputActionIsSentUnderItsSysoutName) {
  const std::string reply = answer(element("STATUS", "CLEARED"));
  start({reply});
  const char* actions[] = {"CLEAR", "F", "N", "D"};
  for (const char* name : actions) {
    EXPECT_EQ(action(name, job_), PEX_SUCCESS) << name << ": " << error_.text;
    EXPECT_TRUE(error_untouched());
  }
  ASSERT_EQ(container_.request_count(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(container_.request(i + 1), request(std::string("SYSOUT_") + actions[i], kJobBody));
  }
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_ACTION"));
  EXPECT_TRUE(logged("Action: 'CLEAR'"));
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_ACTION: Allocated <" + std::to_string(reply.size()) +
                     "> bytes for sysout handle response"));
}

TEST_F(SysoutTest, OtherOutputActionsAreNotSupportedAndSendNothing) {
  start();
  for (const char* name : {"clear", "FN", "F ", "SYSOUT_F", ""}) {
    EXPECT_EQ(action(name, job_), PEX_NOT_SUPPORTED) << "'" << name << "'";
    EXPECT_TRUE(error_untouched());
  }
  reset_error();
  EXPECT_EQ(PEXAPI_SYSOUT_ACTION(nullptr, nullptr, job_.list(), nullptr, &error_),
            PEX_NOT_SUPPORTED);
  EXPECT_EQ(container_.request_count(), 0);
}

TEST_F(SysoutTest, OutputActionFailuresReachTheErrorRecord) {
  const std::string reply = error_answer("7", "no such job");
  start({reply});
  container_.answer_fault("service broke");
  EXPECT_EQ(action("D", job_), PEX_FAIL);
  EXPECT_EQ(error_.code, 7u);
  EXPECT_STREQ(error_.text, "no such job");
  EXPECT_TRUE(logged("PEXAPI_SYSOUT_ACTION: Freed <" + std::to_string(reply.size()) +
                     "> bytes which were allocated for sysout handle response"));

  EXPECT_EQ(action("F", job_), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(std::string(error_.text).rfind("Failed to create or connect to Container.", 0), 0u)
      << error_.text;
}

// ---- output file permissions ---------------------------------------------

class SysoutModeTest : public kxtest::AgentEnv {
 protected:
  SysoutModeTest() : AgentEnv("SM", kLogOnly) {}

  // Writes the output file of job ORDERNO/RUNNO with mode 0600.
  std::string output_file(const std::string& name) {
    wd_.write("sysout/" + name, "output\n");
    const std::string path = wd_.file("sysout/" + name);
    EXPECT_EQ(chmod(path.c_str(), 0600), 0);
    return path;
  }
  static unsigned mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  KX_RC chmod_job(const std::string& orderno, const std::string& runno) {
    job_ = AgentAttrs();
    job_.add("ORDERNO", orderno);
    job_.add("RUNNO", runno);
    return BE_SYSOUT_chmod_sysout(job_.list(), nullptr);
  }

  AgentAttrs job_;
};

TEST_F(SysoutModeTest, HadoopModeWinsOverConfigAndIsReadInOctal) {
  const std::string path = output_file("AB12C_7");
  wd_.write_table("HADOOP", "SYSOUT_MODE 640\n");
  wd_.write_table("CONFIG", "SYSOUT_MODE 600\n");
  EXPECT_EQ(chmod_job("ab12c", "007"), KX_SUCCESS);
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_EQ(job_.value(0), "AB12C");  // upper-cased in the caller's list
  EXPECT_TRUE(logged(">>> BE_SYSOUT_chmod_sysout"));
  EXPECT_TRUE(logged("SYSOUT_MODE = '640'"));
  EXPECT_TRUE(logged(">>> BE_SYSOUT_chmod_sysout, rc = 1"));
}

TEST_F(SysoutModeTest, ConfigModeServesWhenHadoopHasNone) {
  const std::string path = output_file("J1_2");
  wd_.write_table("HADOOP", "KX_DIR /nowhere\n");
  wd_.write_table("CONFIG", "SYSOUT_MODE 640\n");
  EXPECT_EQ(chmod_job("J1", "2"), KX_SUCCESS);
  EXPECT_EQ(mode_of(path), 0640u);
}

// The HADOOP table stays as first loaded in a process, so each value gets a
// test (and so a process) of its own.
struct UnusableMode {
  const char* name;
  const char* line;
  const char* value;
};

void PrintTo(const UnusableMode& mode, std::ostream* os) { *os << "'" << mode.value << "'"; }

class SysoutUnusableModeTest : public SysoutModeTest,
                               public ::testing::WithParamInterface<UnusableMode> {};

TEST_P(SysoutUnusableModeTest, LeavesThePermissions) {
  const std::string path = output_file("J1_2");
  wd_.write_table("HADOOP", GetParam().line);
  EXPECT_EQ(chmod_job("J1", "2"), KX_SUCCESS);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_TRUE(logged("SYSOUT_MODE = '" + std::string(GetParam().value) +
                     "' is not valid chmod value, sysout access permissions will not change."));
}

INSTANTIATE_TEST_SUITE_P(Values, SysoutUnusableModeTest,
                         ::testing::Values(UnusableMode{"Letters", "SYSOUT_MODE rw\n", "rw"},
                                           UnusableMode{"Empty", "SYSOUT_MODE\n", ""},
                                           UnusableMode{"LoneSign", "SYSOUT_MODE +\n", "+"},
                                           UnusableMode{"NoOctalDigit", "SYSOUT_MODE 89\n", "89"},
                                           UnusableMode{"Negative", "SYSOUT_MODE -640\n", "-640"}),
                         [](const ::testing::TestParamInfo<UnusableMode>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SysoutModeTest, ADecimalLookingModeIsReadUpToItsFirstNonOctalDigit) {
  const std::string path = output_file("J1_2");
  wd_.write_table("HADOOP", "SYSOUT_MODE 789\n");
  EXPECT_EQ(chmod_job("J1", "2"), KX_SUCCESS);
  EXPECT_EQ(mode_of(path), 07u);
}

TEST_F(SysoutModeTest, NoModeAnywhereChangesNothing) {
  const std::string path = output_file("J1_2");
  EXPECT_EQ(chmod_job("J1", "2"), KX_SUCCESS);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_TRUE(logged("SYSOUT_MODE value doesn't exist, sysout access permissions will not change."));
}

TEST_F(SysoutModeTest, MissingAttributesOrFileFail) {
  wd_.write_table("HADOOP", "SYSOUT_MODE 640\n");
  AgentAttrs no_runno;
  no_runno.add("ORDERNO", "J1");
  EXPECT_EQ(BE_SYSOUT_chmod_sysout(no_runno.list(), nullptr), KX_FAIL);
  EXPECT_TRUE(logged("Failed to retrieve RUNNO"));
  AgentAttrs no_orderno;
  no_orderno.add("RUNNO", "2");
  EXPECT_EQ(BE_SYSOUT_chmod_sysout(no_orderno.list(), nullptr), KX_FAIL);
  EXPECT_TRUE(logged("Failed to retrieve ORDERNO"));
  EXPECT_EQ(BE_SYSOUT_chmod_sysout(nullptr, nullptr), KX_FAIL);

  EXPECT_EQ(chmod_job("J9", "x"), KX_FAIL);
  EXPECT_TRUE(logged("stat command failed for file './sysout/J9_0'"));
}

TEST_F(SysoutModeTest, AnOrdernoTooLongForThePathIsRefused) {
  wd_.write_table("HADOOP", "SYSOUT_MODE 640\n");
  // "./sysout/" + ORDERNO + "_7": 4,085 characters of ORDERNO fill the path.
  EXPECT_EQ(chmod_job(std::string(4085, 'a'), "7"), KX_FAIL);
  EXPECT_TRUE(logged("stat command failed for file './sysout/" + std::string(4085, 'A') + "_7'"));
  EXPECT_EQ(chmod_job(std::string(4086, 'a'), "7"), KX_FAIL);
  EXPECT_TRUE(logged("BE_SYSOUT_chmod_sysout: ORDERNO of 4086 characters makes the output file "
                     "path longer than 4096 characters; permissions not changed"));
  EXPECT_FALSE(logged("stat command failed for file './sysout/" + std::string(4086, 'A') + "_7'"));
  EXPECT_EQ(chmod_job(std::string(100000, 'a'), "7"), KX_FAIL);
}

}  // namespace
