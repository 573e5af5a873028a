#include "kc_document.h"

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace kc {

namespace {

constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxElements = 200000;
constexpr char kDecl[] = "<?xml version='1.0' encoding='UTF-8'?>";

struct ParserDeleter {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

struct TreeBuilder {
  XML_Parser parser = nullptr;
  Element root;
  std::vector<Element*> stack;
  std::size_t elements = 0;
  std::string error;
  bool have_root = false;

  void fail(std::string why) {
    if (error.empty()) error = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }

  static void on_start(void* data, const XML_Char* name, const XML_Char**) {
    auto* b = static_cast<TreeBuilder*>(data);
    if (++b->elements > kMaxElements) return b->fail("more than 200000 elements");
    if (static_cast<int>(b->stack.size()) >= kMaxDepth) return b->fail("elements nested deeper than 64 levels");
    Element* e;
    if (b->stack.empty()) {
      b->have_root = true;
      e = &b->root;
    } else {
      b->stack.back()->children.emplace_back();
      e = &b->stack.back()->children.back();
    }
    e->name = name;
    b->stack.push_back(e);
  }
  static void on_end(void* data, const XML_Char*) {
    auto* b = static_cast<TreeBuilder*>(data);
    if (!b->stack.empty()) b->stack.pop_back();
  }
  static void on_text(void* data, const XML_Char* s, int len) {
    auto* b = static_cast<TreeBuilder*>(data);
    if (!b->stack.empty()) b->stack.back()->text.append(s, static_cast<std::size_t>(len));
  }
  static void on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<TreeBuilder*>(data)->fail("a DOCTYPE is not accepted");
  }
};

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The leaves inside e in closing order, which for leaves is document order.
void collect_leaves(const Element& e, Attributes& out) {
  for (const Element& c : e.children) {
    if (c.children.empty()) {
      out.emplace_back(c.name, c.text);
    } else {
      collect_leaves(c, out);
    }
  }
}

const Element* find_element(const Element& e, std::string_view name) {
  if (e.name == name) return &e;
  for (const Element& c : e.children) {
    if (const Element* f = find_element(c, name)) return f;
  }
  return nullptr;
}

// Length of the valid UTF-8 sequence at s[i] of a character XML 1.0 allows,
// or 0 when there is none.
std::size_t xml_char_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
  std::size_t len;
  std::uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  static const std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min_for_len[len]) return 0;                       // overlong
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;                // surrogate
  if (cp == 0xFFFE || cp == 0xFFFF || cp > 0x10FFFF) return 0;
  return len;
}

// Length of the UTF-8 sequence that the lead byte c announces (1 for a byte
// that cannot lead one).
std::size_t sequence_length(unsigned char c) {
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

const Element* Element::child(std::string_view child_name) const {
  for (const Element& c : children) {
    if (c.name == child_name) return &c;
  }
  return nullptr;
}

bool parse_xml(std::string_view text, Element& root, std::string& error) {
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("UTF-8"));
  if (!parser) {
    error = "cannot create an XML parser";
    return false;
  }
  TreeBuilder b;
  b.parser = parser.get();
  XML_SetUserData(parser.get(), &b);
  XML_SetElementHandler(parser.get(), &TreeBuilder::on_start, &TreeBuilder::on_end);
  XML_SetCharacterDataHandler(parser.get(), &TreeBuilder::on_text);
  XML_SetStartDoctypeDeclHandler(parser.get(), &TreeBuilder::on_doctype);
  // Fed in pieces: XML_Parse takes an int length.
  constexpr std::size_t kPiece = 1u << 20;
  std::size_t pos = 0;
  bool ok = true;
  do {
    const std::size_t n = std::min(kPiece, text.size() - pos);
    const bool last = pos + n == text.size();
    if (XML_Parse(parser.get(), text.data() + pos, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      ok = false;
      break;
    }
    pos += n;
  } while (pos < text.size());
  if (!ok) {
    if (b.error.empty()) {
      error = "line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
              XML_ErrorString(XML_GetErrorCode(parser.get()));
    } else {
      error = b.error;
    }
    return false;
  }
  if (!b.have_root) {
    error = "no root element";
    return false;
  }
  root = std::move(b.root);
  return true;
}

const std::string* Request::get(std::string_view name) const {
  for (const auto& [n, v] : body) {
    if (n == name) return &v;
  }
  return nullptr;
}

bool parse_request(std::string_view text, Request& request, std::string& error) {
  if (!parse_xml(text, request.root, error)) return false;
  const Element* header = find_element(request.root, "HEADER");
  const Element* action = header != nullptr ? header->child("ACTION") : nullptr;
  if (action == nullptr || action->text.empty()) {
    error = "the document has no HEADER/ACTION";
    return false;
  }
  request.action = action->text;
  Attributes leaves;
  if (const Element* body = find_element(request.root, "BODY")) collect_leaves(*body, leaves);
  // A key that is not an XML name arrives as a numbered pair: the key in
  // ZRT_ATTR_KEY_n, its value in ZRT_ATTR_VAL_n right after it.
  static constexpr std::string_view kKey = "ZRT_ATTR_KEY_", kVal = "ZRT_ATTR_VAL_";
  request.body.clear();
  std::string pending_number, pending_key;
  bool pending = false;
  for (auto& [name, value] : leaves) {
    if (starts_with(name, kKey)) {
      pending = true;
      pending_number = name.substr(kKey.size());
      pending_key = std::move(value);
      continue;
    }
    if (starts_with(name, kVal) && pending && name.substr(kVal.size()) == pending_number) {
      request.body.emplace_back(std::move(pending_key), std::move(value));
      pending = false;
      continue;
    }
    request.body.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

void append_xml_text(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t len = xml_char_at(text, i);
    if (len == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (len == 1) {
      switch (text[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break;
        default: out += text[i];
      }
    } else {
      out.append(text.data() + i, len);
    }
    i += len;
  }
}

std::size_t utf8_prefix(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text.size();
  // Step back over continuation bytes to the lead byte of the sequence that
  // the cut would split, and keep it only if it ends before the cut.
  std::size_t cut = max;
  std::size_t back = 0;
  while (cut > 0 && back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
    ++back;
  }
  if (cut + sequence_length(static_cast<unsigned char>(text[cut])) <= max) return max;
  return cut;
}

std::size_t utf8_complete(std::string_view text) {
  std::size_t i = text.size();
  for (std::size_t back = 0; back < 3 && i > 0; ++back) {
    const auto c = static_cast<unsigned char>(text[i - 1]);
    if ((c & 0xC0) != 0x80) {
      // i - 1 holds a lead byte (or a plain one): whole if its sequence fits.
      return (i - 1) + sequence_length(c) <= text.size() ? text.size() : i - 1;
    }
    --i;
  }
  return text.size();
}

Answer::Answer() : doc_(kDecl) { doc_ += "<TWBKX><BODY>"; }

Answer& Answer::add(std::string_view name, std::string_view value) {
  doc_ += '<';
  doc_ += name;
  doc_ += '>';
  append_xml_text(doc_, value);
  doc_ += "</";
  doc_ += name;
  doc_ += '>';
  return *this;
}

Answer& Answer::add(std::string_view name, long long value) { return add(name, std::to_string(value)); }

Answer& Answer::open(std::string_view name) {
  doc_ += '<';
  doc_ += name;
  doc_ += '>';
  return *this;
}

Answer& Answer::close(std::string_view name) {
  doc_ += "</";
  doc_ += name;
  doc_ += '>';
  return *this;
}

std::string Answer::finish() {
  doc_ += "</BODY></TWBKX>";
  return std::move(doc_);
}

std::string error_answer(unsigned code, std::string_view message) {
  std::string doc = kDecl;
  doc += "<TWBKX><KXError><Code>";
  doc += std::to_string(code == 0 ? 1 : code);
  doc += "</Code><Message>";
  append_xml_text(doc, message);
  doc += "</Message></KXError></TWBKX>";
  return doc;
}

}  // namespace kc
