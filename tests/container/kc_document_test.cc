// The container's documents: requests as the library writes them, answers
// any XML parser (and so the library) reads back.
#include "kc_document.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kc::Element;
using kc::Request;

const std::string kDecl = "<?xml version='1.0' encoding='UTF-8'?>";

std::string request_doc(const std::string& action, const std::string& body) {
  return kDecl + "<TWBKX><HEADER><ACTION>" + action + "</ACTION></HEADER><BODY>" + body + "</BODY></TWBKX>";
}

TEST(RequestDocument, ReadsTheActionAndTheAttributesInOrderWithKeyPairsDecoded) {
  Request r;
  std::string error;
  ASSERT_TRUE(kc::parse_request(
      request_doc("SUBMIT", "<ORDERNO>0001a</ORDERNO><ZRT_ATTR_KEY_1>A$B</ZRT_ATTR_KEY_1>"
                            "<ZRT_ATTR_VAL_1>v&amp;w</ZRT_ATTR_VAL_1><PARM>x&#10;y</PARM><EMPTY></EMPTY>"
                            "<DBGLVL>0</DBGLVL>"),
      r, error))
      << error;
  EXPECT_EQ(r.action, "SUBMIT");
  const kc::Attributes want = {{"ORDERNO", "0001a"}, {"A$B", "v&w"}, {"PARM", "x\ny"}, {"EMPTY", ""}, {"DBGLVL", "0"}};
  EXPECT_EQ(r.body, want);
  ASSERT_NE(r.get("PARM"), nullptr);
  EXPECT_EQ(r.get("MISSING"), nullptr);
}

TEST(RequestDocument, RefusesWhatIsNotAWellFormedRequest) {
  Request r;
  std::string error;
  EXPECT_FALSE(kc::parse_request("", r, error));
  EXPECT_FALSE(kc::parse_request(request_doc("TRACK", "<A>1</A>").substr(0, 60), r, error));
  EXPECT_FALSE(kc::parse_request(kDecl + "<TWBKX><BODY><A>1</A></BODY></TWBKX>", r, error));
  EXPECT_NE(error.find("HEADER/ACTION"), std::string::npos) << error;
  // Entity expansion has no place here: a DOCTYPE is refused outright.
  EXPECT_FALSE(kc::parse_request(
      "<?xml version='1.0'?><!DOCTYPE x [<!ENTITY a 'aaaa'>]><TWBKX><HEADER><ACTION>&a;</ACTION></HEADER></TWBKX>", r,
      error));
  EXPECT_NE(error.find("DOCTYPE"), std::string::npos) << error;
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "<a>";
  Element root;
  EXPECT_FALSE(kc::parse_xml(deep, root, error));
  EXPECT_NE(error.find("deeper than 64"), std::string::npos) << error;
}

TEST(AnswerDocument, EscapesMarkupAndReplacesWhatXmlCannotCarry) {
  std::string out;
  kc::append_xml_text(out, "a<b>&\"c\r\n\td\x01" "e\xff" "f\xc3\xa9g\xe2\x82");
  EXPECT_EQ(out, "a&lt;b&gt;&amp;&quot;c&#13;\n\td?e?f\xc3\xa9g??");
  // Surrogates and overlong forms are not characters either.
  out.clear();
  kc::append_xml_text(out, "\xed\xa0\x80|\xc0\xaf|\xef\xbf\xbe");
  EXPECT_EQ(out, "???|??|???");
}

TEST(AnswerDocument, ReadsBackThroughAnXmlParserUnchanged) {
  const std::string value = "line 1\r\nline <2> & \"3\"";
  const std::string doc = kc::Answer().add("STATUS", "ENDED_OK").add("TEXT", value).add("N", -1).finish();
  Element root;
  std::string error;
  ASSERT_TRUE(kc::parse_xml(doc, root, error)) << error;
  const Element* body = root.child("BODY");
  ASSERT_NE(body, nullptr);
  ASSERT_EQ(body->children.size(), 3u);
  EXPECT_EQ(body->children[1].text, value);
  EXPECT_EQ(body->children[2].text, "-1");
}

TEST(AnswerDocument, ErrorsCarryANonZeroCodeRightAfterKXError) {
  const std::string doc = kc::error_answer(0, "a <bad> & message");
  EXPECT_NE(doc.find("<KXError><Code>1</Code><Message>a &lt;bad&gt; &amp; message</Message>"), std::string::npos)
      << doc;
  Element root;
  std::string error;
  EXPECT_TRUE(kc::parse_xml(doc, root, error)) << error;
}

TEST(Utf8Cuts, NeverSplitACharacter) {
  const std::string s = "ab\xc3\xa9" "c\xe2\x82\xac";  // a b é c €
  EXPECT_EQ(kc::utf8_prefix(s, 100), s.size());
  EXPECT_EQ(kc::utf8_prefix(s, 3), 2u);  // é would be split
  EXPECT_EQ(kc::utf8_prefix(s, 4), 4u);
  EXPECT_EQ(kc::utf8_prefix(s, 6), 5u);  // € would be split
  EXPECT_EQ(kc::utf8_prefix("\xe2\x82\xac", 2), 0u);
  EXPECT_EQ(kc::utf8_complete(s), s.size());
  EXPECT_EQ(kc::utf8_complete(s.substr(0, 7)), 5u);
  EXPECT_EQ(kc::utf8_complete(s.substr(0, 3)), 2u);
  EXPECT_EQ(kc::utf8_complete(""), 0u);
}

}  // namespace
