// Tests of the answer documents: error extraction and BODY leaves as
// attributes.

#include "be_response.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "be_convert.h"
#include "gm_param.h"
#include "os_diag.h"
#include "pexapi_utl.h"
#include "test_workdir.h"

namespace {

namespace fs = std::filesystem;

using Attrs = std::vector<std::pair<std::string, std::string>>;

// An attribute list the test owns; released however the test ends.
struct OwnedAttrs {
  PEXAttrList list{7, nullptr, 5};  // not empty on purpose: the call must reset it
  ~OwnedAttrs() { PEXAPI_utils_release_attr(&list); }
  Attrs attrs() const {
    Attrs out;
    for (int32_t i = 0; i < list.Count; ++i)
      out.emplace_back(list.Attributes[i].Name, list.Attributes[i].Value);
    return out;
  }
  bool empty() const { return list.Count == 0 && list.Attributes == nullptr; }
};

// A fresh working directory with the process log open at debug level 4.
class ResponseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Latin-1 answers are read again through the conversion locales.
    const fs::path locale_dir = fs::path(wd_.file("agent")) / "exe" / "locale";
    fs::create_directories(locale_dir);
    for (const auto& entry : fs::directory_iterator(fs::path(KX_SOURCE_DIR) / "data" / "locale"))
      fs::copy_file(entry.path(), locale_dir / entry.path().filename());
    setenv("WEXAGENT", wd_.file("agent").c_str(), 1);
    OS_DIAG_initialize(nullptr, "RT");
    DIAG_set_debug_level(4);
    set_i18n(false);  // loaded tables outlive a test when tests share a process
  }
  void TearDown() override {
    BE_UTIL_release_required_locales();
    unsetenv("WEXAGENT");
  }
  std::string log() const {
    return kxtest::read_file(wd_.file("proclog/RT_" + std::to_string(getpid()) + ".log"));
  }
  ::testing::AssertionResult logged(const std::string& text) const {
    const std::string all = log();
    if (all.find("RT:" + text + "\n") != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no line \"" << text << "\" in the log:\n" << all;
  }
  void set_i18n(bool on) {
    wd_.write_table("CONFIG", on ? "I18N CJK\n" : "I18N NONE\n");
    GM_PARAM_load("CONFIG", 1);
  }
  // An error record full of marks, to see whether it was touched.
  static PEXError marked_error() {
    PEXError e;
    e.code = 4242;
    memset(e.text, '#', sizeof e.text - 1);
    e.text[sizeof e.text - 1] = '\0';
    return e;
  }
  static bool untouched(const PEXError& e) {
    return e.code == 4242 && strcmp(e.text, marked_error().text) == 0;
  }

  kxtest::TestWorkdir wd_;
};

std::string error_doc(const std::string& code, const std::string& message) {
  return "<TWBKX><HEADER><ACTION>SUBMIT</ACTION></HEADER><KXError><Code>" + code +
         "</Code><Message>" + message + "</Message></KXError><BODY><A>1</A></BODY></TWBKX>";
}

// ---------------------------------------------------------------- leaves

TEST_F(ResponseTest, LeavesOfBodyInClosingOrderWithDuplicatesAndDepth) {
  const char doc[] =
      "<?xml version='1.0' encoding='iso-8859-1'?>"
      "<TWBKX><HEADER><ONCODE>h</ONCODE></HEADER>"
      "<BODY>stray<ONCODE x='1'>0</ONCODE>"
      "<OUTER>mixed<A>a</A><B>b</B></OUTER>"
      "<L1><L2><L3><DEEP>&lt;d&amp;&#65;<![CDATA[<x>]]></DEEP></L3></L2></L1>"
      "<EMPTY/><EMPTY2></EMPTY2>\n <ONCODE>8</ONCODE></BODY>"
      "<NOTBODY>z</NOTBODY></TWBKX>";
  OwnedAttrs out;
  EXPECT_EQ(BE_INF_xmlBuff2attr(doc, "BODY", &out.list), PEX_SUCCESS);
  EXPECT_EQ(out.attrs(), (Attrs{{"ONCODE", "0"},
                                {"A", "a"},
                                {"B", "b"},
                                {"DEEP", "<d&A<x>"},
                                {"EMPTY", ""},
                                {"EMPTY2", ""},
                                {"ONCODE", "8"}}));
  EXPECT_EQ(out.list.Curr, 0);
  EXPECT_TRUE(logged("BE_INF_xmlBuff2attr"));

  OwnedAttrs same;
  EXPECT_EQ(PEXAPI_UTILS_xmlBuff2attr(doc, "BODY", &same.list), PEX_SUCCESS);
  EXPECT_EQ(same.attrs(), out.attrs());
  EXPECT_TRUE(logged("PEXAPI_UTILS_xmlBuff2attr"));
}

TEST_F(ResponseTest, DocumentWithoutLeavesDiffersBetweenTheTwoConversions) {
  for (const char* doc : {"<TWBKX><HEADER><A>1</A></HEADER></TWBKX>",
                          "<TWBKX><BODY>text only</BODY></TWBKX>"}) {
    OwnedAttrs own, exported;
    EXPECT_EQ(BE_INF_xmlBuff2attr(doc, "BODY", &own.list), PEX_SUCCESS) << doc;
    EXPECT_TRUE(own.empty());
    EXPECT_EQ(PEXAPI_UTILS_xmlBuff2attr(doc, "BODY", &exported.list), PEX_FAIL) << doc;
    EXPECT_TRUE(exported.empty());
  }
}

TEST_F(ResponseTest, OverLongLeavesAreSkippedAndTheRestConverts) {
  const std::string v2047(2047, 'v'), v2048(2048, 'w'), n63(63, 'n'), n64(64, 'm');
  const std::string doc = "<TWBKX><BODY><A>1</A><L>" + v2047 + "</L><M>" + v2048 + "</M><" + n63 +
                          ">2</" + n63 + "><" + n64 + ">3</" + n64 + "><Z>4</Z></BODY></TWBKX>";
  OwnedAttrs out;
  EXPECT_EQ(BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &out.list), PEX_SUCCESS);
  EXPECT_EQ(out.attrs(), (Attrs{{"A", "1"}, {"L", v2047}, {n63, "2"}, {"Z", "4"}}));
  EXPECT_TRUE(logged("xml element value too long: 2048"));
  EXPECT_TRUE(logged("xml element name too long: 64"));
}

TEST_F(ResponseTest, TruncatedDocumentFailsAndReportsNoError) {
  const std::string full = error_doc("5", "broken");
  const std::string cut = full.substr(0, full.size() - 10);  // error part still complete
  OwnedAttrs out;
  EXPECT_EQ(BE_INF_xmlBuff2attr(cut.c_str(), "BODY", &out.list), PEX_FAIL);
  EXPECT_TRUE(out.empty());
  EXPECT_NE(log().find("RT:Parse error at line 1:\n"), std::string::npos);

  PEXError err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, cut.c_str()), BE_INF_NO_ERROR_REPORTED);
  EXPECT_TRUE(untouched(err));

  // The failure leaves nothing behind for the next document.
  OwnedAttrs next;
  EXPECT_EQ(BE_INF_xmlBuff2attr("<BODY><B>2</B></BODY>", "BODY", &next.list), PEX_SUCCESS);
  EXPECT_EQ(next.attrs(), (Attrs{{"B", "2"}}));
  EXPECT_EQ(BE_INF_xmlBuff2attr("<BODY><A>1</A></BODY>", "BODY", nullptr), PEX_FAIL);
}

TEST_F(ResponseTest, InputEncodingFollowsTheI18nMode) {
  // Latin-1 mode: the answer was converted to Latin-1 before, so a one-byte
  // é is read as Latin-1 whatever the declaration claims, and handed back to
  // the agent in Latin-1.
  const char latin1[] = "<?xml version='1.0' encoding='UTF-8'?><BODY><E>\xe9</E></BODY>";
  const char utf8[] = "<?xml version='1.0' encoding='iso-8859-1'?><BODY><E>\xc3\xa9</E></BODY>";
  {
    OwnedAttrs a, b;
    EXPECT_EQ(BE_INF_xmlBuff2attr(latin1, "BODY", &a.list), PEX_SUCCESS);
    EXPECT_EQ(a.attrs(), (Attrs{{"E", "\xe9"}}));
    ASSERT_EQ(a.list.Attributes[0].ValueLen, 2);
    EXPECT_EQ(BE_INF_xmlBuff2attr(utf8, "BODY", &b.list), PEX_SUCCESS);
    EXPECT_EQ(b.attrs(), (Attrs{{"E", "\xc3\xa9"}}));  // two Latin-1 characters
  }
  set_i18n(true);
  {
    OwnedAttrs a, b;
    EXPECT_EQ(BE_INF_xmlBuff2attr(utf8, "BODY", &a.list), PEX_SUCCESS);
    EXPECT_EQ(a.attrs(), (Attrs{{"E", "\xc3\xa9"}}));
    EXPECT_EQ(BE_INF_xmlBuff2attr(latin1, "BODY", &b.list), PEX_FAIL);  // not UTF-8
    EXPECT_TRUE(b.empty());
  }
  set_i18n(false);
  {
    OwnedAttrs a;
    EXPECT_EQ(BE_INF_xmlBuff2attr(latin1, "BODY", &a.list), PEX_SUCCESS);
    EXPECT_EQ(a.attrs(), (Attrs{{"E", "\xe9"}}));
  }
  // The exported variant believes the declaration in either mode, and also
  // hands its values back in the agent's code page.
  OwnedAttrs a, b;
  EXPECT_EQ(PEXAPI_UTILS_xmlBuff2attr(utf8, "BODY", &a.list), PEX_SUCCESS);
  EXPECT_EQ(a.attrs(), (Attrs{{"E", "\xc3\xa9"}}));
  EXPECT_EQ(PEXAPI_UTILS_xmlBuff2attr(latin1, "BODY", &b.list), PEX_FAIL);
}

// ---------------------------------------------------------------- errors

TEST_F(ResponseTest, ErrorCodeAndMessageReachTheRecord) {
  PEXError err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("12", "disk full").c_str()),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 12u);
  EXPECT_STREQ(err.text, "disk full");
  EXPECT_TRUE(logged("BE_INF_update_error: Checking whether an error was returned"));
  EXPECT_TRUE(logged("BE_INF_update_error: Error was reported"));

  // The list opening's substitute document, without any root around it.
  err = marked_error();
  const char substitute[] = "<KXError><Code>1</Code><Message>no &amp; way</Message></KXError>";
  EXPECT_EQ(BE_INF_update_error(&err, substitute), BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 1u);
  EXPECT_STREQ(err.text, "no & way");

  err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, "<R><KXError><Code>12</Code></KXError></R>"),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 12u);
  EXPECT_STREQ(err.text, "");

  // Codes beyond the record's range stay errors.
  err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("4294967295", "m").c_str()),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 4294967295u);
  err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("4294967296", "m").c_str()),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 4294967295u);

  EXPECT_EQ(BE_INF_update_error(nullptr, error_doc("3", "m").c_str()), BE_INF_UPDATE_ERROR_FAILED);
}

TEST_F(ResponseTest, AnswersThatReportNoError) {
  const std::string docs[] = {
      error_doc("0", "ignored"),
      error_doc("", "ignored"),
      error_doc("-3", "ignored"),
      error_doc("abc", "ignored"),
      "<TWBKX><KXError> <Code>12</Code><Message>m</Message></KXError></TWBKX>",
      "<TWBKX><KXError a='1'><Code>12</Code><Message>m</Message></KXError></TWBKX>",
      "<TWBKX><KXError><Message>m</Message></KXError><Other><KXError><Code></Code></KXError>"
      "</Other></TWBKX>",
      "<TWBKX><BODY><Code>12</Code></BODY><KXError></KXError><!--<KXError><Code>--></TWBKX>",
      "",
  };
  for (const std::string& doc : docs) {
    PEXError err = marked_error();
    EXPECT_EQ(BE_INF_update_error(&err, doc.c_str()), BE_INF_NO_ERROR_REPORTED) << doc;
    EXPECT_TRUE(untouched(err)) << doc;
  }
  EXPECT_EQ(BE_INF_update_error(nullptr, nullptr), BE_INF_NO_ERROR_REPORTED);
  EXPECT_TRUE(logged("BE_INF_update_error: No errors were reported"));

  // Such an answer goes on to the conversion as usual.
  OwnedAttrs out;
  EXPECT_EQ(BE_INF_xmlBuff2attr(docs[4].c_str(), "BODY", &out.list), PEX_SUCCESS);
  EXPECT_TRUE(out.empty());
}

TEST_F(ResponseTest, LatinOneAnswerKeepsItsError) {
  // The answer was converted to Latin-1, its declaration (or the default)
  // still says UTF-8: the error must not get lost on the accented letter.
  const std::string message = "caf\xe9 100%s";
  for (const std::string& decl : {std::string("<?xml version='1.0' encoding='UTF-8'?>"),
                                  std::string()}) {
    const std::string doc = decl + error_doc("12", message);
    PEXError err = marked_error();
    EXPECT_EQ(BE_INF_update_error(&err, doc.c_str()), BE_INF_UPDATE_ERROR_SUCCEEDED) << decl;
    EXPECT_EQ(err.code, 12u);
    EXPECT_STREQ(err.text, "caf\xe9 100%s");  // in the agent's code page
    OwnedAttrs out;
    EXPECT_EQ(BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &out.list), PEX_SUCCESS);
    EXPECT_EQ(out.attrs(), (Attrs{{"A", "1"}}));
  }
  EXPECT_TRUE(logged("BE_INF_update_error: Reading the answer as Latin-1 text"));

  // Still not well-formed as Latin-1, or an I18N answer that is no UTF-8:
  // no error, as the conversion fails too.
  const std::string cut = error_doc("12", message).substr(0, 120);
  PEXError err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, cut.c_str()), BE_INF_NO_ERROR_REPORTED);
  set_i18n(true);
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("12", message).c_str()), BE_INF_NO_ERROR_REPORTED);
  EXPECT_TRUE(untouched(err));
}

TEST_F(ResponseTest, TwoErrorElementsTheLastWins) {
  PEXError err = marked_error();
  const char doc[] =
      "<TWBKX><KXError><Code>3</Code><Message>first</Message></KXError>"
      "<KXError><Code>7</Code><Message>second</Message></KXError></TWBKX>";
  EXPECT_EQ(BE_INF_update_error(&err, doc), BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(err.code, 7u);
  EXPECT_STREQ(err.text, "second");
}

TEST_F(ResponseTest, MessageIsStoredAsDataAndCut) {
  PEXError err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("9", "50%s done %d %n %%").c_str()),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_STREQ(err.text, "50%s done %d %n %%");

  const std::string m998(998, 'x');
  for (size_t len : {998u, 1500u, 2000u, 2047u}) {
    std::string message = m998 + std::string(len - 998, 'y');
    err = marked_error();
    EXPECT_EQ(BE_INF_update_error(&err, error_doc("9", message).c_str()),
              BE_INF_UPDATE_ERROR_SUCCEEDED);
    EXPECT_EQ(std::string(err.text), m998) << len;
  }
  // Longer than the reader keeps: still cut to the same 998.
  err = marked_error();
  EXPECT_EQ(BE_INF_update_error(&err, error_doc("9", m998 + std::string(3000, 'z')).c_str()),
            BE_INF_UPDATE_ERROR_SUCCEEDED);
  EXPECT_EQ(std::string(err.text), m998);
}

// ---------------------------------------------------------------- fuzz

// Random answers whose expected results are known: leaves of BODY at random
// depth, error elements around it, over-long leaves now and then.
class DocGen {
 public:
  DocGen(uint32_t seed, bool i18n) : rng_(seed), i18n_(i18n) {}

  struct Doc {
    std::string text;
    Attrs leaves;
    bool indicator = false;
    uint64_t last_code = 0;
    bool have_code = false;
    std::string last_message;
  };

  Doc make() {
    Doc d;
    d.text = "<?xml version='1.0' encoding='UTF-8'?><TWBKX>";
    int errors = pick(4) == 0 ? 1 + pick(2) : 0;
    int body_at = pick(errors + 1);
    for (int i = 0; i <= errors; ++i) {
      if (i == body_at) {
        d.text += "<BODY>";
        children(&d, 0);
        d.text += "</BODY>";
      }
      if (i < errors) error_part(&d);
    }
    d.text += "</TWBKX>";
    return d;
  }

  uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
  std::mt19937& rng() { return rng_; }

 private:
  std::string name() {
    static const char* names[] = {"A", "B", "ONCODE", "Code", "Message", "x.y-1", "_n"};
    if (pick(40) == 0) return std::string(63 + pick(2), 'N');
    return names[pick(sizeof names / sizeof names[0])];
  }
  // Source text and what the reader delivers for it.
  std::pair<std::string, std::string> text(size_t max) {
    std::pair<std::string, std::string> t;
    size_t len = pick(50) == 0 ? 2040 + pick(16) : pick(static_cast<uint32_t>(max));
    while (t.second.size() < len) {
      switch (pick(12)) {
        case 0: t.first += "&amp;"; t.second += "&"; break;
        case 1: t.first += "&lt;"; t.second += "<"; break;
        case 2: t.first += i18n_ ? "\xc3\xa9" : "\xe9"; t.second += "\xc3\xa9"; break;
        case 3: t.first += "%s"; t.second += "%s"; break;
        default: {
          char c = static_cast<char>('0' + pick(75));
          if (c == '<' || c == '&' || c == '>') c = 'q';
          t.first += c;
          t.second += c;
        }
      }
    }
    return t;
  }
  // A text the reader delivers, as the agent receives it: Latin-1 outside
  // I18N mode (the only non-ASCII character generated is é).
  std::string agent(const std::string& utf8) const {
    if (i18n_) return utf8;
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
      if (utf8.compare(i, 2, "\xc3\xa9") == 0) {
        out += '\xe9';
        ++i;
      } else {
        out += utf8[i];
      }
    }
    return out;
  }
  // Writes 0 to 4 elements; returns how many.
  int children(Doc* d, int depth) {
    int n = static_cast<int>(pick(5));
    for (int i = 0; i < n; ++i) {
      std::string nm = name();
      d->text += "<" + nm + ">";
      // An element whose children came out as none is a leaf after all.
      if (depth >= 4 || pick(4) != 0 || children(d, depth + 1) == 0) leaf_text(d, nm);
      d->text += "</" + nm + ">";
      if (pick(6) == 0) d->text += "\n  ";
    }
    return n;
  }
  void leaf_text(Doc* d, const std::string& nm) {
    auto t = text(20);
    d->text += t.first;
    // The reader's limit counts its own UTF-8; the agent gets its code page.
    if (nm.size() < 64 && t.second.size() < 2048) d->leaves.emplace_back(nm, agent(t.second));
  }
  void error_part(Doc* d) {
    bool blank = pick(5) == 0;
    uint64_t code = pick(3) == 0 ? 0 : pick(3) == 0 ? 4294967290ull + pick(12) : pick(1000);
    d->text += blank ? "<KXError> <Code>" : "<KXError><Code>";
    d->text += std::to_string(code) + "</Code>";
    d->indicator = d->indicator || !blank;
    d->last_code = code;
    d->have_code = true;
    if (pick(4) != 0) {
      auto t = text(1200);
      d->text += "<Message>" + t.first + "</Message>";
      d->last_message = agent(t.second);
    }
    d->text += "</KXError>";
  }

  std::mt19937 rng_;
  bool i18n_;
};

// Results that must hold for any input, well-formed or not.
void check_any(const std::string& doc, PEXRC* rc_out) {
  OwnedAttrs first, again;
  PEXRC rc = BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &first.list);
  ASSERT_TRUE(rc == PEX_SUCCESS || rc == PEX_FAIL);
  if (rc == PEX_FAIL) {
    ASSERT_TRUE(first.empty());
  }
  for (const auto& a : first.attrs()) {
    ASSERT_LT(a.first.size(), 64u);
    ASSERT_LT(a.second.size(), 2048u);
  }
  ASSERT_EQ(BE_INF_xmlBuff2attr(doc.c_str(), "BODY", &again.list), rc);
  ASSERT_EQ(again.attrs(), first.attrs());

  PEXError err;
  err.code = 4242;
  snprintf(err.text, sizeof err.text, "mark");
  BE_INF_UPDATE_ERROR_RC erc = BE_INF_update_error(&err, doc.c_str());
  if (erc == BE_INF_NO_ERROR_REPORTED) {
    ASSERT_EQ(err.code, 4242u);
    ASSERT_STREQ(err.text, "mark");
  } else {
    ASSERT_EQ(erc, BE_INF_UPDATE_ERROR_SUCCEEDED);
    ASSERT_NE(err.code, 0u);
    ASSERT_LE(strlen(err.text), 998u);
    ASSERT_NE(doc.find("<KXError><Code>"), std::string::npos);
  }
  *rc_out = rc;
}

void fuzz_mode(bool i18n, uint32_t seed, int rounds) {
  DocGen gen(seed, i18n);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE("round " + std::to_string(i) + (i18n ? " (I18N)" : " (Latin-1)"));
    DocGen::Doc d = gen.make();
    SCOPED_TRACE(d.text);

    OwnedAttrs out;
    ASSERT_EQ(BE_INF_xmlBuff2attr(d.text.c_str(), "BODY", &out.list), PEX_SUCCESS);
    ASSERT_EQ(out.attrs(), d.leaves);

    PEXError err{};
    BE_INF_UPDATE_ERROR_RC erc = BE_INF_update_error(&err, d.text.c_str());
    const uint64_t code = d.last_code > UINT32_MAX ? UINT32_MAX : d.last_code;
    if (d.indicator && code != 0) {
      ASSERT_EQ(erc, BE_INF_UPDATE_ERROR_SUCCEEDED);
      ASSERT_EQ(err.code, code);
      ASSERT_EQ(std::string(err.text), d.last_message.substr(0, 998));
    } else {
      ASSERT_EQ(erc, BE_INF_NO_ERROR_REPORTED);
    }

    // Every proper prefix of a document is not well-formed.
    std::string cut = d.text.substr(0, gen.pick(static_cast<uint32_t>(d.text.size())));
    PEXRC rc;
    check_any(cut, &rc);
    ASSERT_EQ(rc, PEX_FAIL);
    ASSERT_EQ(BE_INF_update_error(&err, cut.c_str()), BE_INF_NO_ERROR_REPORTED);

    // Damaged documents and noise: anything may come out, but consistently.
    std::string damaged = d.text;
    for (uint32_t k = 1 + gen.pick(4); k > 0; --k) {
      size_t at = gen.pick(static_cast<uint32_t>(damaged.size()));
      static const char bytes[] = "<>/&;'\"= \x01\x7f\xe9\xc3\xa9K";
      damaged[at] = bytes[gen.pick(sizeof bytes - 1)];
    }
    check_any(damaged, &rc);
    if (i % 4 == 0) {
      std::string noise(gen.pick(200), ' ');
      for (char& c : noise) c = static_cast<char>(1 + gen.pick(255));
      check_any("<BODY>" + noise, &rc);
      check_any("<KXError><Code>" + noise, &rc);
    }
  }
}

TEST_F(ResponseTest, RandomAndDamagedDocumentsGiveConsistentResults) {
  DIAG_set_debug_level(1);  // the reader's data traces would dominate the run
  const auto start = std::chrono::steady_clock::now();
  fuzz_mode(false, 20240601u, 1200);
  set_i18n(true);
  fuzz_mode(true, 7u, 800);
  const auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(secs.count(), 10.0);
}

}  // namespace
