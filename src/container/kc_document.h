// kc_document.h - the documents the container reads and writes.
//
// Requests arrive as the library writes them: a TWBKX root, HEADER/ACTION
// naming the action and BODY holding one element per attribute (a key that
// is not an XML name travels as a ZRT_ATTR_KEY_n / ZRT_ATTR_VAL_n pair).
// Answers are TWBKX documents whose BODY leaves become the agent's output
// attributes, or whose KXError reports a failure.
#ifndef BE_HADOOP_CONTAINER_KC_DOCUMENT_H
#define BE_HADOOP_CONTAINER_KC_DOCUMENT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kc {

// A parsed element: its name, its own character data and its children.
struct Element {
  std::string name;
  std::string text;
  std::vector<Element> children;

  // The first child of that name, or null.
  const Element* child(std::string_view child_name) const;
};

// Parses a whole document. Refuses documents with a DOCTYPE (entity
// expansion has no place in our exchange), deeper than 64 levels or with more
// than 200,000 elements. On failure returns false and says why in error.
bool parse_xml(std::string_view text, Element& root, std::string& error);

using Attributes = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string action;
  Attributes body;  // BODY leaves in document order, key pairs decoded
  Element root;     // the whole document, for requests that read more

  // The value of the first attribute of that name, or null.
  const std::string* get(std::string_view name) const;
};

// Reads a request document. False (with error) when the text is not
// well-formed or has no HEADER/ACTION.
bool parse_request(std::string_view text, Request& request, std::string& error);

// Appends text as XML character data that any XML 1.0 parser accepts:
// markup characters escaped, a carriage return as "&#13;" (a parser would
// otherwise fold it into the line feed), and every byte that is not part of
// a valid UTF-8 sequence of a character XML allows replaced by '?'.
void append_xml_text(std::string& out, std::string_view text);

// The longest prefix of text of at most max bytes that does not end inside
// a UTF-8 sequence. Never 0 for a non-empty text and max > 0 unless the
// first sequence alone is longer than max.
std::size_t utf8_prefix(std::string_view text, std::size_t max);

// The length of text without a UTF-8 sequence that is cut off at its end.
std::size_t utf8_complete(std::string_view text);

// An answer document under construction: leaves and nested elements in
// BODY, in order.
class Answer {
 public:
  Answer();
  Answer& add(std::string_view name, std::string_view value);
  Answer& add(std::string_view name, long long value);
  Answer& open(std::string_view name);
  Answer& close(std::string_view name);
  // The finished document. The answer can take no more elements afterwards.
  std::string finish();

 private:
  std::string doc_;
};

// An answer that reports an error: KXError with Code (non-zero) and Message.
std::string error_answer(unsigned code, std::string_view message);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_DOCUMENT_H
