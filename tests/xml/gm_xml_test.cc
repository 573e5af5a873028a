// Tests of the XML writer and the two readers.

#include "gm_xml.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <string>
#include <utility>
#include <vector>

#include <expat.h>
#include <gtest/gtest.h>

#include "os_diag.h"
#include "pexlist.h"
#include "test_workdir.h"

namespace {

// A working directory with the process log open at debug level 6.
class XmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OS_DIAG_initialize(nullptr, "xmltest");
    DIAG_set_debug_level(6);
  }
  std::string log() const {
    return kxtest::read_file(wd_.file("proclog/xmltest_" + std::to_string(getpid()) + ".log"));
  }
  // Lines are "<stamp> xmltest:<text>\n".
  bool logged(const std::string& text) const { return log().find("xmltest:" + text) != std::string::npos; }

  kxtest::TestWorkdir wd_;
};

using Rows = std::vector<std::pair<std::string, std::string>>;

// Walks the list checking each entry's layout, then clears it.
Rows take_rows(PEXLIST_handle_typ* list) {
  Rows rows;
  void* p = nullptr;
  unsigned size = 0;
  PEXLIST_reset(list);
  while (PEXLIST_next_ptr(list, &p, &size) == KX_SUCCESS) {
    const char* row = static_cast<const char*>(p);
    std::string value(row + GM_XML_ROW_KEY_SIZE);
    EXPECT_EQ(size, GM_XML_ROW_KEY_SIZE + value.size() + 1);
    rows.emplace_back(row, value);
  }
  PEXLIST_clear(list);
  return rows;
}

TEST_F(XmlTest, EscapingTable) {
  const char data[] = "\t\n\r\"&<>'\x01\xe9z\0x";
  char buf[256] = "";
  GM_xml_writeCharacterData(buf, data, sizeof data - 1);
  EXPECT_STREQ(buf, "&#9;&#10;&#13;&quot;&amp;&lt;&gt;'\x01\xe9zx");
  EXPECT_EQ(GM_xml_characterDataLength(data, sizeof data - 1), strlen(buf));

  buf[0] = '\0';
  GM_xml_writeAttributeValue(buf, "\t\"&<>'\xe9\x01rest");
  EXPECT_STREQ(buf, "='&#9;&quot;&amp;&lt;&gt;&#39;\xe9'");

  buf[0] = '\0';
  GM_xml_writeAttributes(buf, "a='1\n' b=\"&<>\"\x01rest");
  EXPECT_STREQ(buf, "a='1&#10;' b=\"&amp;&lt;&gt;\"");

  buf[0] = '\0';
  GM_XML_WriteElement(buf, "MSG", "a<b & \"c\"", nullptr);
  EXPECT_STREQ(buf, "<MSG>a&lt;b &amp; &quot;c&quot;</MSG>");

  // Runs of plain bytes before, between and after the escaped ones.
  buf[0] = '\0';
  GM_XML_WriteElement(buf, "A", "left&&right side", nullptr);
  EXPECT_STREQ(buf, "<A>left&amp;&amp;right side</A>");
  buf[0] = '\0';
  GM_xml_writeAttributeValue(buf, "plain\x01");
  EXPECT_STREQ(buf, "='plain'");
}

TEST_F(XmlTest, StartTagsAndEmptyElement) {
  char buf[256] = "";
  char n1[] = "a", v1[] = "1", n2[] = "b", v2[] = "x'y";
  XML_Char* pairs[] = {n1, v1, n2, v2, nullptr};
  GM_xml_writeStartElem(buf, "E", pairs);
  GM_xml_writeStartElem(buf, "F", nullptr);
  GM_XML_StartParentElement(buf, "P", "k='v'");
  GM_XML_WriteElement(buf, "D", "", nullptr);
  GM_XML_CloseParentElement(buf, "P");
  EXPECT_STREQ(buf, "<E a='1' b='x&#39;y'><F><P k='v'><D></D></P>");
}

// The parameter table is loaded once per process, so each mode is its own test.
TEST_F(XmlTest, DocumentOpeningLatin1Mode) {
  wd_.write_table("CONFIG", "I18N cjk\n");
  char buf[512] = "";
  GM_XML_BufInit(buf);
  GM_XML_StartParentElement(buf, "HEADER", nullptr);
  GM_XML_WriteElement(buf, "ACTION", "TRACK", nullptr);
  GM_XML_CloseParentElement(buf, "HEADER");
  GM_XML_BufEnd(buf);
  EXPECT_STREQ(buf,
               "<?xml version='1.0' encoding='iso-8859-1'?>"
               "<TWBKX><HEADER><ACTION>TRACK</ACTION></HEADER></TWBKX>");
  EXPECT_TRUE(logged("xml buffer: <?xml version='1.0' encoding='iso-8859-1'?><TWBKX>\n"));
  EXPECT_TRUE(logged("GM_XML_WriteElement: element - 'ACTION'   value - 'TRACK'\n"));
  EXPECT_TRUE(logged("GM_xml_writeCharacterData: Current XML buffer length = 66, Adding element with length 5\n"));
  EXPECT_TRUE(logged("GM_xml_writeCharacterData: New XML buffer length = 71\n"));
}

TEST_F(XmlTest, DocumentOpeningI18nMode) {
  wd_.write_table("CONFIG", "I18N CJK\n");
  char buf[128] = "";
  GM_XML_BufInit(buf);
  EXPECT_STREQ(buf, "<?xml version='1.0' encoding='UTF-8'?><TWBKX>");
}

TEST_F(XmlTest, DuplicateParentElement) {
  const char src[] = "<TWBKX><HEADER/><BODY><X>1</X></BODY></TWBKX>";
  char dst[256] = "<R>";
  EXPECT_EQ(GM_XML_DuplicateParentElement(src, dst, "BODY"), KX_SUCCESS);
  EXPECT_STREQ(dst, "<R><BODY><X>1</X></BODY>");
  EXPECT_TRUE(logged("DuplicateParentElement: <BODY><X>1</X></BODY>\n"));

  EXPECT_EQ(GM_XML_DuplicateParentElement(src, dst, "NONE"), KX_SUCCESS);
  EXPECT_EQ(GM_XML_DuplicateParentElement("<BODY a='1'>x</BODY>", dst, "BODY"), KX_SUCCESS);
  EXPECT_STREQ(dst, "<R><BODY><X>1</X></BODY>");
  EXPECT_TRUE(logged("Found nothing to duplicate\n"));

  // An end tag before the start tag belongs to another element.
  dst[0] = '\0';
  GM_XML_DuplicateParentElement("<B a='1'>1</B><B>2</B>", dst, "B");
  EXPECT_STREQ(dst, "<B>2</B>");
  GM_XML_DuplicateParentElement("<B a='1'>1</B><B>2", dst, "B");
  EXPECT_STREQ(dst, "<B>2</B>");

  std::string name60(60, 'N');
  std::string doc = "<" + name60 + ">v</" + name60 + ">";
  dst[0] = '\0';
  EXPECT_EQ(GM_XML_DuplicateParentElement(doc.c_str(), dst, name60.c_str()), KX_SUCCESS);
  EXPECT_EQ(dst, doc);
  EXPECT_EQ(GM_XML_DuplicateParentElement(doc.c_str(), dst, (name60 + "N").c_str()), KX_FAIL);
}

TEST_F(XmlTest, ElementSearch) {
  const char doc[] =
      "<TWBKX><Code>9</Code><KXError><Code a='1' b='2'>1</Code><Code c='3'>2<i>x</i></Code>"
      "</KXError></TWBKX>";
  char val[GM_XML_OUTPUT_SIZE] = "keep", an[GM_XML_OUTPUT_SIZE] = "", av[GM_XML_OUTPUT_SIZE] = "";
  EXPECT_EQ(GM_XML_ParseByParentElement(doc, "Code", "KXError", val, an, av), KX_SUCCESS);
  EXPECT_STREQ(val, "2x");
  EXPECT_STREQ(an, "c");
  EXPECT_STREQ(av, "3");
  EXPECT_TRUE(logged("GM_XML_ActOnStart: elem - 'Code'\n"));
  EXPECT_TRUE(logged("GM_XML_ActOnCharacterData: input text(1)='2'\n"));
  EXPECT_TRUE(logged("GM_XML_ActOnEnd: elem - 'KXError'\n"));

  snprintf(val, sizeof val, "keep");
  EXPECT_EQ(GM_XML_ParseByParentElement(doc, "Message", "KXError", val, an, av), KX_SUCCESS);
  EXPECT_STREQ(val, "keep");

  // A text longer than the caller's buffer is cut, never written past it.
  std::string big = "<BODY><V>" + std::string(5000, 'v') + "</V></BODY>";
  EXPECT_EQ(GM_XML_ParseBody(big.c_str(), "V", val, an, av), KX_SUCCESS);
  EXPECT_EQ(std::string(val), std::string(GM_XML_OUTPUT_SIZE - 1, 'v'));

  EXPECT_EQ(GM_XML_ParseHeader("<HEADER><ACTION>TRACK</ACTION></HEADER>", "ACTION", val, an, av),
            KX_SUCCESS);
  EXPECT_STREQ(val, "TRACK");
  EXPECT_TRUE(logged("GM_XML_ParseHeader: Element - 'ACTION'   Value - '"));
  EXPECT_EQ(GM_XML_ParseBody(doc, "Code", val, nullptr, av), KX_FAIL);
  EXPECT_TRUE(logged("GM_XML_ParseBody: ERROR!!! Can not process. One of the output elements is NULL\n"));
  EXPECT_EQ(GM_XML_ParseByParentElement(doc, "Code", std::string(32, 'K').c_str(), val, an, av),
            KX_FAIL);
}

// Every writer call, into a document whose end the writer keeps (with a
// second kept document written in between) and into a plain buffer: the
// same text, and the length lines of the log count the same bytes.
TEST_F(XmlTest, KeptDocumentEndWritesTheSameText) {
  size_t after_text = 0;
  auto write = [&after_text](char* buf, char* other) {
    GM_XML_BufInit(buf);
    GM_XML_StartParentElement(buf, "HEADER", "a='1' b=\"2\"");
    GM_XML_WriteElement(buf, "ACTION", "TRACK<&>\t'\"", nullptr);
    if (other != nullptr) {
      GmXmlDocument inner(other);
      GM_XML_WriteElement(other, "X", "inner", nullptr);
      EXPECT_EQ(GM_xml_length(other), strlen(other));
    }
    GM_XML_CloseParentElement(buf, "HEADER");
    char* atts[] = {const_cast<char*>("k"), const_cast<char*>("v'"), nullptr};
    GM_xml_writeStartElem(buf, "BODY", atts);
    GM_xml_writeCharacterData(buf, "abc\ndef", 7);
    after_text = strlen(buf);
    GM_xml_writeAttributes(buf, "q=\"<\"");
    GM_xml_writeAttributeValue(buf, "x&y");
    GM_XML_DuplicateParentElement("<P><Q>1</Q></P>", buf, "P");
    GM_xml_writeEndElem(buf, "BODY");
    GM_XML_BufEnd(buf);
  };
  std::vector<char> plain(4096, '\0');
  write(plain.data(), nullptr);
  const std::string plain_log = log();

  std::vector<char> kept(4096, '\0');
  std::vector<char> other(256, '\0');
  {
    GmXmlDocument doc(kept.data());
    write(kept.data(), other.data());
    EXPECT_EQ(GM_xml_length(kept.data()), strlen(plain.data()));
  }
  EXPECT_STREQ(plain.data(), kept.data());
  EXPECT_STREQ("<X>inner</X>", other.data());
  const std::string lengths =
      "GM_xml_writeCharacterData: New XML buffer length = " + std::to_string(after_text) + "\n";
  EXPECT_NE(plain_log.find(lengths), std::string::npos) << lengths;
  EXPECT_NE(log().substr(plain_log.size()).find(lengths), std::string::npos);
}

TEST_F(XmlTest, ListBuilding) {
  PEXLIST_handle_typ list;
  const char doc[] =
      "<TWBKX><A>0</A><BODY>t<A>1</A><B q='1'>y<C>x</C></B><D/><C>&lt;&#233;</C></BODY></TWBKX>";
  EXPECT_EQ(GM_XML_ParseBuf2List(doc, "BODY", &list), KX_SUCCESS);
  EXPECT_EQ(take_rows(&list), (Rows{{"A", "1"}, {"C", "x"}, {"D", ""}, {"C", "<\xc3\xa9"}}));
  EXPECT_TRUE(logged("GM_XML_ActOnStartForList: elem - 'B'\n"));
  EXPECT_TRUE(logged("GM_XML_ActOnCharacterDataForList: input text(1)='x'\n"));
  EXPECT_TRUE(logged("GM_XML_ActOnEndForList: elem - 'BODY'\n"));

  // The given encoding overrides the declaration: one Latin-1 byte becomes two.
  const char latin1[] = "<?xml version='1.0' encoding='UTF-8'?><BODY><E>\xe9</E></BODY>";
  EXPECT_EQ(GM_XML_ParseBuf2ListByEncoding(latin1, "BODY", &list, "ISO-8859-1"), KX_SUCCESS);
  EXPECT_EQ(take_rows(&list), (Rows{{"E", "\xc3\xa9"}}));
  EXPECT_TRUE(logged("GM_XML_ParseBuf2ListByEncoding\n"));
}

TEST_F(XmlTest, ListOverLengthLimits) {
  const std::string n63(63, 'n'), n64(64, 'm'), v2047(2047, 'v'), v2048(2048, 'w');
  const std::string v30k(30000, 'z');
  std::string doc = "<BODY><" + n63 + ">1</" + n63 + "><" + n64 + ">2</" + n64 + "><L>" + v2047 +
                    "</L><M>" + v2048 + "</M><G><H>" + v30k + "</H></G><K>k</K></BODY>";
  PEXLIST_handle_typ list;
  EXPECT_EQ(GM_XML_ParseBuf2List(doc.c_str(), "BODY", &list), KX_SUCCESS);
  EXPECT_EQ(take_rows(&list), (Rows{{n63, "1"}, {"L", v2047}, {"K", "k"}}));
  EXPECT_TRUE(logged("xml element name too long: 64\n"));
  EXPECT_TRUE(logged("xml element value too long: 2048\n"));
  // The enclosing G reports its over-long leaf a second time.
  std::string l = log(), line = "xmltest:xml element value too long: 30000\n";
  size_t first = l.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(l.find(line, first + 1), std::string::npos);
}

TEST_F(XmlTest, TruncatedDocument) {
  PEXLIST_handle_typ list;
  EXPECT_EQ(GM_XML_ParseBuf2List("<BODY>\n<A>1</A>\n<B>2", "BODY", &list), KX_FAIL);
  EXPECT_TRUE(logged("Parse error at line 3:\nno element found\n\n"));
  EXPECT_STREQ(GM_XML_LastParseError(), "line 3: no element found");
  EXPECT_EQ(take_rows(&list), (Rows{{"A", "1"}}));
  EXPECT_EQ(GM_XML_ParseBuf2List("<BODY><A>1</A></BODY>", "BODY", &list), KX_SUCCESS);
  EXPECT_STREQ(GM_XML_LastParseError(), "");
  take_rows(&list);

  char val[GM_XML_OUTPUT_SIZE] = "", an[GM_XML_OUTPUT_SIZE] = "", av[GM_XML_OUTPUT_SIZE] = "";
  EXPECT_EQ(GM_XML_ParseByParentElement("<KXError><Code>5</Code><Mess", "Code", "KXError", val, an,
                                        av),
            KX_FAIL);
  EXPECT_STREQ(val, "5");
}

// A parse that fails inside the parent must not leave the next parse
// believing it starts inside it.
TEST_F(XmlTest, FailedParseDoesNotLeakIntoNext) {
  char val[GM_XML_OUTPUT_SIZE] = "", an[GM_XML_OUTPUT_SIZE] = "", av[GM_XML_OUTPUT_SIZE] = "";
  EXPECT_EQ(GM_XML_ParseByParentElement("<KXError><Code x='1'>", "Code", "KXError", val, an, av),
            KX_FAIL);
  EXPECT_EQ(GM_XML_StartParentElem, 0);
  EXPECT_EQ(GM_XML_StartElementAfterParent, 0);
  snprintf(val, sizeof val, "none");
  EXPECT_EQ(GM_XML_ParseByParentElement("<R><Code y='2'>7</Code></R>", "Code", "KXError", val, an,
                                        av),
            KX_SUCCESS);
  EXPECT_STREQ(val, "none");
  EXPECT_STREQ(an, "x");

  PEXLIST_handle_typ list;
  EXPECT_EQ(GM_XML_ParseBuf2List("<BODY><A>1</A><B>", "BODY", &list), KX_FAIL);
  EXPECT_EQ(GM_XML_StartParentElementForList, 0);
  take_rows(&list);
  EXPECT_EQ(GM_XML_ParseBuf2List("<R><A>1</A><Z>2</Z></R>", "BODY", &list), KX_SUCCESS);
  EXPECT_EQ(PEXLIST_count(&list), 0);
}

// The writer copies every byte but the escaped ones unchanged, so a text may
// be written exactly when GM_xml_unwritable_offset finds nothing in it.
// Expat, reading what the writer made, agrees for every byte in a
// single-byte code page and for every UTF-8 form of up to four bytes.
TEST_F(XmlTest, UnwritableBytesAreExactlyTheOnesExpatRefuses) {
  DIAG_set_debug_level(0);
  DIAG_set_buffered_level(0);  // tens of thousands of writes: no trace lines
  auto well_formed = [](const std::string& text, const char* encoding) {
    char buf[64] = "";
    GM_XML_WriteElement(buf, "A", text.c_str(), nullptr);
    XML_Parser parser = XML_ParserCreate(encoding);
    const bool ok = XML_Parse(parser, buf, static_cast<int>(strlen(buf)), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
  };
  auto agree = [&](const std::string& text, bool utf8) {
    const bool writable = GM_xml_unwritable_offset(text.data(), text.size(), utf8) < 0;
    const bool read = well_formed(text, utf8 ? "UTF-8" : "ISO-8859-1");
    if (writable == read) return true;
    std::string hex;
    for (unsigned char c : text) hex += " " + std::to_string(c);
    ADD_FAILURE() << (utf8 ? "UTF-8" : "Latin-1") << hex << ": predicate " << writable
                  << ", Expat " << read;
    return false;
  };
  int disagreements = 0;
  for (int b = 1; b < 0x100; ++b) {
    disagreements += !agree(std::string(1, static_cast<char>(b)), false);
    disagreements += !agree(std::string(1, static_cast<char>(b)), true);
  }
  for (int a = 0x80; a < 0x100 && disagreements < 10; ++a)
    for (int c = 1; c < 0x100; ++c)
      disagreements += !agree({static_cast<char>(a), static_cast<char>(c)}, true);
  for (int a = 0xE0; a < 0xF0 && disagreements < 10; ++a)
    for (int c = 0x80; c < 0xC0; ++c)
      for (int d : {0x41, 0x80, 0xBD, 0xBE, 0xBF})
        disagreements += !agree({static_cast<char>(a), static_cast<char>(c), static_cast<char>(d)}, true);
  for (int a = 0xF0; a < 0x100 && disagreements < 10; ++a)
    for (int c = 0x80; c < 0xC0; ++c)
      disagreements += !agree({static_cast<char>(a), static_cast<char>(c), '\x80', '\x80'}, true);
  EXPECT_EQ(disagreements, 0);

  // The offset is that of the first byte that starts no character.
  EXPECT_EQ(GM_xml_unwritable_offset("ab\x01", 3, 0), 2);
  EXPECT_EQ(GM_xml_unwritable_offset("\xC3\xA9\xC3", 3, 1), 2);
  EXPECT_EQ(GM_xml_unwritable_offset("\xC3\xA9\xC3", 3, 0), -1);
  EXPECT_EQ(GM_xml_unwritable_offset("a\tb\nc\rd", 7, 1), -1);
  EXPECT_EQ(GM_xml_unwritable_offset(nullptr, 3, 1), -1);
}

}  // namespace
