#include "hessian_codec.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "hessian_exceptions.h"

namespace hessian {
namespace codec {

using namespace wrappers;
using exceptions::fault_exception;
using exceptions::io_exception;

namespace {

// ---------------------------------------------------------------------------
// Writing

void put_u8(std::string& out, unsigned v) { out.push_back(static_cast<char>(v & 0xffu)); }

void put_u16(std::string& out, unsigned v) {
  put_u8(out, v >> 8);
  put_u8(out, v);
}

void put_u32(std::string& out, std::uint32_t v) {
  put_u16(out, v >> 16);
  put_u16(out, v & 0xffffu);
}

void put_u64(std::string& out, std::uint64_t v) {
  put_u32(out, static_cast<std::uint32_t>(v >> 32));
  put_u32(out, static_cast<std::uint32_t>(v));
}

bool is_high_surrogate(std::uint32_t u) { return u >= 0xd800 && u <= 0xdbff; }
bool is_low_surrogate(std::uint32_t u) { return u >= 0xdc00 && u <= 0xdfff; }

// Hessian counts string lengths in UTF-16 units and its Java peers cannot read
// four-byte UTF-8, so text is cut into units first and characters outside the
// basic plane travel as surrogate pairs.
std::vector<std::uint16_t> to_units(std::string_view s) {
  std::vector<std::uint16_t> units;
  units.reserve(s.size());
  auto cont = [&](std::size_t i) {
    return i < s.size() && (static_cast<unsigned char>(s[i]) & 0xc0) == 0x80;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned b = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = b;
    std::size_t len = 1;
    if (b >= 0xc0 && b < 0xe0 && cont(i + 1)) {
      cp = ((b & 0x1fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3fu);
      len = 2;
    } else if (b >= 0xe0 && b < 0xf0 && cont(i + 1) && cont(i + 2)) {
      cp = ((b & 0x0fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3fu) << 6) |
           (static_cast<unsigned char>(s[i + 2]) & 0x3fu);
      len = 3;
    } else if (b >= 0xf0 && b < 0xf8 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = ((b & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3fu) << 12) |
           ((static_cast<unsigned char>(s[i + 2]) & 0x3fu) << 6) |
           (static_cast<unsigned char>(s[i + 3]) & 0x3fu);
      len = 4;
      if (cp < 0x10000 || cp > 0x10ffff) {
        cp = b;
        len = 1;
      }
    }
    // A byte that starts no valid sequence stands for its Latin-1 character.
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<std::uint16_t>(0xd800 + (cp >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xdc00 + (cp & 0x3ff)));
    } else {
      units.push_back(static_cast<std::uint16_t>(cp));
    }
    i += len;
  }
  return units;
}

void put_units(std::string& out, const std::uint16_t* u, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned c = u[i];
    if (c < 0x80) {
      put_u8(out, c);
    } else if (c < 0x800) {
      put_u8(out, 0xc0 | (c >> 6));
      put_u8(out, 0x80 | (c & 0x3f));
    } else {
      put_u8(out, 0xe0 | (c >> 12));
      put_u8(out, 0x80 | ((c >> 6) & 0x3f));
      put_u8(out, 0x80 | (c & 0x3f));
    }
  }
}

// Size of the next chunk of at most kMaxChunk units that does not split a
// surrogate pair.
std::size_t chunk_units(const std::vector<std::uint16_t>& u, std::size_t pos) {
  std::size_t n = u.size() - pos;
  if (n <= kMaxChunk) return n;
  n = kMaxChunk;
  if (is_high_surrogate(u[pos + n - 1])) --n;
  return n;
}

// Text in chunks: chunk_tag and a 16-bit count for every full chunk, then the
// final chunk in the form final_chunk writes.
template <typename Final>
void put_text(std::string& out, const std::vector<std::uint16_t>& u, char chunk_tag, Final final_chunk) {
  std::size_t pos = 0;
  while (u.size() - pos > kMaxChunk) {
    const std::size_t n = chunk_units(u, pos);
    put_u8(out, static_cast<unsigned char>(chunk_tag));
    put_u16(out, static_cast<unsigned>(n));
    put_units(out, u.data() + pos, n);
    pos += n;
  }
  const std::size_t n = u.size() - pos;
  final_chunk(n);
  put_units(out, u.data() + pos, n);
}

void put_string1(std::string& out, std::string_view text, char chunk_tag, char final_tag) {
  put_text(out, to_units(text), chunk_tag, [&](std::size_t n) {
    put_u8(out, static_cast<unsigned char>(final_tag));
    put_u16(out, static_cast<unsigned>(n));
  });
}

void put_string2(std::string& out, std::string_view text) {
  // The compact forms only stand alone: after chunks the final one is 'S'.
  const std::vector<std::uint16_t> u = to_units(text);
  const bool chunked = u.size() > kMaxChunk;
  put_text(out, u, 'R', [&](std::size_t n) {
    if (!chunked && n < 32) {
      put_u8(out, static_cast<unsigned>(n));
    } else if (!chunked && n < 1024) {
      put_u8(out, 0x30 + static_cast<unsigned>(n >> 8));
      put_u8(out, static_cast<unsigned>(n));
    } else {
      put_u8(out, 'S');
      put_u16(out, static_cast<unsigned>(n));
    }
  });
}

// A Hessian 1.0 type name: 't', a 16-bit count, the characters.
void put_type1(std::string& out, const std::string& type) {
  if (type.empty()) return;
  const std::vector<std::uint16_t> u = to_units(type);
  if (u.size() > kMaxChunk) throw std::invalid_argument("hessian: type name too long");
  put_u8(out, 't');
  put_u16(out, static_cast<unsigned>(u.size()));
  put_units(out, u.data(), u.size());
}

void put_binary(std::string& out, const std::string& bytes, int version) {
  std::size_t pos = 0;
  const std::size_t size = bytes.size();
  if (version == 2 && size < 16) {
    put_u8(out, 0x20 + static_cast<unsigned>(size));
  } else if (version == 2 && size < 1024) {
    put_u8(out, 0x34 + static_cast<unsigned>(size >> 8));
    put_u8(out, static_cast<unsigned>(size));
  } else {
    while (size - pos > kMaxChunk) {
      put_u8(out, version == 2 ? 'A' : 'b');
      put_u16(out, static_cast<unsigned>(kMaxChunk));
      out.append(bytes, pos, kMaxChunk);
      pos += kMaxChunk;
    }
    put_u8(out, 'B');
    put_u16(out, static_cast<unsigned>(size - pos));
  }
  out.append(bytes, pos, std::string::npos);
}

void put_int2(std::string& out, std::int32_t v) {
  if (v >= -16 && v <= 47) {
    put_u8(out, static_cast<unsigned>(0x90 + v));
  } else if (v >= -2048 && v <= 2047) {
    put_u8(out, static_cast<unsigned>(0xc8 + (v >> 8)));
    put_u8(out, static_cast<unsigned>(v));
  } else if (v >= -262144 && v <= 262143) {
    put_u8(out, static_cast<unsigned>(0xd4 + (v >> 16)));
    put_u16(out, static_cast<unsigned>(v) & 0xffffu);
  } else {
    put_u8(out, 'I');
    put_u32(out, static_cast<std::uint32_t>(v));
  }
}

void put_long2(std::string& out, std::int64_t v) {
  if (v >= -8 && v <= 15) {
    put_u8(out, static_cast<unsigned>(0xe0 + v));
  } else if (v >= -2048 && v <= 2047) {
    put_u8(out, static_cast<unsigned>(0xf8 + (v >> 8)));
    put_u8(out, static_cast<unsigned>(v));
  } else if (v >= -262144 && v <= 262143) {
    put_u8(out, static_cast<unsigned>(0x3c + (v >> 16)));
    put_u16(out, static_cast<unsigned>(v) & 0xffffu);
  } else if (v >= INT32_MIN && v <= INT32_MAX) {
    put_u8(out, 'Y');
    put_u32(out, static_cast<std::uint32_t>(v));
  } else {
    put_u8(out, 'L');
    put_u64(out, static_cast<std::uint64_t>(v));
  }
}

void put_double(std::string& out, double v, int version) {
  // Negative zero keeps its sign only in the eight-byte form.
  if (version == 2 && !(v == 0.0 && std::signbit(v))) {
    if (v == 0.0) return put_u8(out, 0x5b);
    if (v == 1.0) return put_u8(out, 0x5c);
    if (std::trunc(v) == v && v >= -128.0 && v <= 127.0) {
      put_u8(out, 0x5d);
      return put_u8(out, static_cast<unsigned>(static_cast<int>(v)));
    }
    if (std::trunc(v) == v && v >= -32768.0 && v <= 32767.0) {
      put_u8(out, 0x5e);
      return put_u16(out, static_cast<unsigned>(static_cast<int>(v)) & 0xffffu);
    }
  }
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  put_u8(out, 'D');
  put_u64(out, bits);
}

}  // namespace

void write_value(std::string& out, const Object* value, int version) {
  if (version != 1 && version != 2) throw std::invalid_argument("hessian: version must be 1 or 2");
  const bool v2 = version == 2;
  if (value == nullptr || dynamic_cast<const Null*>(value) != nullptr) {
    put_u8(out, 'N');
  } else if (const auto* b = dynamic_cast<const Boolean*>(value)) {
    put_u8(out, b->value() ? 'T' : 'F');
  } else if (const auto* i = dynamic_cast<const Integer*>(value)) {
    if (v2) {
      put_int2(out, i->value());
    } else {
      put_u8(out, 'I');
      put_u32(out, static_cast<std::uint32_t>(i->value()));
    }
  } else if (const auto* l = dynamic_cast<const Long*>(value)) {
    if (v2) {
      put_long2(out, l->value());
    } else {
      put_u8(out, 'L');
      put_u64(out, static_cast<std::uint64_t>(l->value()));
    }
  } else if (const auto* d = dynamic_cast<const Double*>(value)) {
    put_double(out, d->value(), version);
  } else if (const auto* t = dynamic_cast<const Date*>(value)) {
    const std::int64_t ms = t->millis();
    if (v2 && ms % 60000 == 0 && ms / 60000 >= INT32_MIN && ms / 60000 <= INT32_MAX) {
      put_u8(out, 'K');
      put_u32(out, static_cast<std::uint32_t>(ms / 60000));
    } else {
      put_u8(out, v2 ? 'J' : 'd');
      put_u64(out, static_cast<std::uint64_t>(ms));
    }
  } else if (const auto* s = dynamic_cast<const String*>(value)) {
    if (v2) {
      put_string2(out, s->value());
    } else {
      put_string1(out, s->value(), 's', 'S');
    }
  } else if (const auto* x = dynamic_cast<const Xml*>(value)) {
    if (v2) {
      put_string2(out, x->value());
    } else {
      put_string1(out, x->value(), 'x', 'X');
    }
  } else if (const auto* bin = dynamic_cast<const Binary*>(value)) {
    put_binary(out, bin->value(), version);
  } else if (const auto* list = dynamic_cast<const List*>(value)) {
    const std::size_t n = list->size();
    if (n > INT32_MAX) throw std::invalid_argument("hessian: list too long");
    if (!v2) {
      put_u8(out, 'V');
      put_type1(out, list->type());
      put_u8(out, 'l');
      put_u32(out, static_cast<std::uint32_t>(n));
    } else if (!list->type().empty()) {
      if (n < 8) {
        put_u8(out, 0x70 + static_cast<unsigned>(n));
        put_string2(out, list->type());
      } else {
        put_u8(out, 'V');
        put_string2(out, list->type());
        put_int2(out, static_cast<std::int32_t>(n));
      }
    } else if (n < 8) {
      put_u8(out, 0x78 + static_cast<unsigned>(n));
    } else {
      put_u8(out, 'X');
      put_int2(out, static_cast<std::int32_t>(n));
    }
    for (std::size_t k = 0; k < n; ++k) write_value(out, list->at(k), version);
    if (!v2) put_u8(out, 'z');
  } else if (const auto* map = dynamic_cast<const Map*>(value)) {
    if (!v2) {
      put_u8(out, 'M');
      put_type1(out, map->type());
    } else if (!map->type().empty()) {
      put_u8(out, 'M');
      put_string2(out, map->type());
    } else {
      put_u8(out, 'H');
    }
    for (std::size_t k = 0; k < map->size(); ++k) {
      write_value(out, map->key(k), version);
      write_value(out, map->value(k), version);
    }
    put_u8(out, v2 ? 'Z' : 'z');
  } else if (const auto* ref = dynamic_cast<const Ref*>(value)) {
    if (v2) {
      if (ref->index() > INT32_MAX) throw std::invalid_argument("hessian: reference out of range");
      put_u8(out, 'Q');
      put_int2(out, static_cast<std::int32_t>(ref->index()));
    } else {
      put_u8(out, 'R');
      put_u32(out, ref->index());
    }
  } else {
    throw std::invalid_argument("hessian: cannot encode a value of class " + value->classname());
  }
}

std::string encode_call(std::string_view method, const std::vector<const Object*>& args, int version,
                        int reply_version) {
  std::string out;
  if (version == 2) {
    out = "H\x02";
    put_u8(out, 0);
    put_u8(out, 'C');
    put_string2(out, method);
    if (args.size() > INT32_MAX) throw std::invalid_argument("hessian: too many arguments");
    put_int2(out, static_cast<std::int32_t>(args.size()));
    for (const Object* a : args) write_value(out, a, 2);
    return out;
  }
  if (version != 1) throw std::invalid_argument("hessian: version must be 1 or 2");
  const std::vector<std::uint16_t> u = to_units(method);
  if (u.size() > kMaxChunk) throw std::invalid_argument("hessian: method name too long");
  put_u8(out, 'c');
  put_u8(out, reply_version == 2 ? 2 : 1);
  put_u8(out, 0);
  put_u8(out, 'm');
  put_u16(out, static_cast<unsigned>(u.size()));
  put_units(out, u.data(), u.size());
  for (const Object* a : args) write_value(out, a, 1);
  put_u8(out, 'z');
  return out;
}

std::string encode_reply(const Object* value, int version) {
  std::string out;
  if (version == 2) {
    out = "H\x02";
    put_u8(out, 0);
    put_u8(out, 'R');
    write_value(out, value, 2);
  } else {
    out = "r\x01";
    put_u8(out, 0);
    write_value(out, value, 1);
    put_u8(out, 'z');
  }
  return out;
}

std::string encode_fault(std::string_view code, std::string_view message, int version) {
  std::string out;
  if (version == 2) {
    out = "H\x02";
    put_u8(out, 0);
    out += "FH";
    put_string2(out, "code");
    put_string2(out, code);
    put_string2(out, "message");
    put_string2(out, message);
    put_u8(out, 'Z');
  } else {
    out = "r\x01";
    put_u8(out, 0);
    put_u8(out, 'f');
    put_string1(out, "code", 's', 'S');
    put_string1(out, code, 's', 'S');
    put_string1(out, "message", 's', 'S');
    put_string1(out, message, 's', 'S');
    out += "zz";
  }
  return out;
}

// ---------------------------------------------------------------------------
// Reading

namespace {

std::string hex_byte(unsigned b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", b & 0xffu);
  return buf;
}

// The bytes of one document with a read position. Every read checks what is
// left first; a failure names the position.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t size() const { return data_.size(); }
  bool at_end() const { return pos_ == data_.size(); }

  [[noreturn]] void fail(const std::string& what) const {
    throw io_exception("malformed Hessian data at byte " + std::to_string(pos_) + ": " + what);
  }

  unsigned peek() const {
    if (at_end()) fail("unexpected end of data (truncated)");
    return static_cast<unsigned char>(data_[pos_]);
  }
  unsigned u8() {
    const unsigned b = peek();
    ++pos_;
    return b;
  }
  unsigned u16() {
    need(2, "16-bit length");
    const unsigned v = (u8() << 8);
    return v | u8();
  }
  std::uint32_t u32() {
    need(4, "32-bit value");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | u8();
    return v;
  }
  std::uint64_t u64() {
    need(8, "64-bit value");
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | u8();
    return v;
  }
  std::string_view take(std::size_t n, const char* what) {
    need(n, what);
    std::string_view v = data_.substr(pos_, n);
    pos_ += n;
    return v;
  }
  // Fails unless n more bytes are held.
  void need(std::size_t n, const char* what) const {
    if (n > remaining()) {
      fail(std::string(what) + " of " + std::to_string(n) + " runs past the end of the data (" +
           std::to_string(remaining()) + " bytes left)");
    }
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

// Collects UTF-16 units as UTF-8, joining surrogate pairs (which Java peers
// send as two three-byte sequences) into one four-byte sequence.
class Utf8Builder {
 public:
  void unit(std::uint32_t u) {
    if (pending_ != 0) {
      if (is_low_surrogate(u)) {
        emit(0x10000 + ((pending_ - 0xd800) << 10) + (u - 0xdc00));
        pending_ = 0;
        return;
      }
      emit(pending_);
      pending_ = 0;
    }
    if (is_high_surrogate(u)) {
      pending_ = u;
    } else {
      emit(u);
    }
  }
  void code_point(std::uint32_t cp) {
    flush();
    emit(cp);
  }
  std::string finish() {
    flush();
    return std::move(out_);
  }
  std::size_t size() const { return out_.size(); }

 private:
  void flush() {
    if (pending_ != 0) emit(pending_);
    pending_ = 0;
  }
  void emit(std::uint32_t cp) {
    if (cp < 0x80) {
      out_.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      put_u8(out_, 0xc0 | (cp >> 6));
      put_u8(out_, 0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
      put_u8(out_, 0xe0 | (cp >> 12));
      put_u8(out_, 0x80 | ((cp >> 6) & 0x3f));
      put_u8(out_, 0x80 | (cp & 0x3f));
    } else {
      put_u8(out_, 0xf0 | (cp >> 18));
      put_u8(out_, 0x80 | ((cp >> 12) & 0x3f));
      put_u8(out_, 0x80 | ((cp >> 6) & 0x3f));
      put_u8(out_, 0x80 | (cp & 0x3f));
    }
  }

  std::string out_;
  std::uint32_t pending_ = 0;
};

bool is_string2_tag(unsigned t) { return t < 0x20 || (t >= 0x30 && t <= 0x33) || t == 'R' || t == 'S'; }
bool is_int2_tag(unsigned t) { return (t >= 0x80 && t <= 0xd7) || t == 'I'; }

class Parser {
 public:
  Parser(Reader& r, int version)
      : r_(r), v2_(version == 2), budget_(memory_budget(r.size())), left_(budget_) {}

  std::unique_ptr<Object> value(int depth) {
    const unsigned tag = r_.u8();
    charge(kValueCost);
    return v2_ ? value2(tag, depth) : value1(tag, depth);
  }

  // Hessian 1.0 text after its tag: a 16-bit count of characters, then them.
  std::string counted_text1() {
    Utf8Builder text;
    units(r_.u16(), text);
    return text.finish();
  }

  // A Hessian 2.0 string value, tag included.
  std::string string2() {
    const unsigned tag = r_.u8();
    if (!is_string2_tag(tag)) r_.fail("expected a string, found " + hex_byte(tag));
    return string2_body(tag);
  }

  // A Hessian 2.0 int value, tag included.
  std::int32_t int2() {
    const unsigned tag = r_.u8();
    if (!is_int2_tag(tag)) r_.fail("expected an integer, found " + hex_byte(tag));
    return int2_body(tag);
  }

  // Reads the fields of a fault after its tag and throws fault_exception. The
  // detail after the message is the sender's exception object, which may use
  // forms this decoder does not model; once the message is in hand a failure
  // there does not hide the fault.
  [[noreturn]] void fault() {
    std::string code;
    std::string message;
    bool have_message = false;
    try {
      const unsigned end = v2_ ? 'Z' : 'z';
      if (v2_) {
        const unsigned tag = r_.u8();
        if (tag == 'M') {
          type2();
        } else if (tag != 'H') {
          r_.fail("fault is not a map");
        }
      }
      while (r_.peek() != end) {
        std::unique_ptr<Object> key = value(1);
        std::unique_ptr<Object> val = value(1);
        const auto* k = dynamic_cast<const String*>(key.get());
        const auto* s = dynamic_cast<const String*>(val.get());
        if (k == nullptr || s == nullptr) continue;
        if (k->value() == "code") code = s->value();
        if (k->value() == "message") {
          message = s->value();
          have_message = true;
        }
      }
      r_.u8();
    } catch (const io_exception&) {
      if (!have_message) throw;
    }
    throw fault_exception(code, message);
  }

 private:
  // A list, map or object begins.
  void enter(int depth) {
    if (depth >= kMaxDepth) r_.fail("values nested deeper than " + std::to_string(kMaxDepth) + " levels");
    charge(kContainerCost);
  }

  // Every value, text and name copy is charged before (or, for text whose
  // decoded length only shows as it is decoded, as) it is built, so the tree
  // never grows far past the budget before the document is refused.
  void charge(std::size_t n) {
    if (n > left_) {
      r_.fail("decoded values would take more than " + std::to_string(budget_) +
              " bytes of memory (" + std::to_string(kMemoryFactor) + " times the " +
              std::to_string(r_.size()) + "-byte document and " + std::to_string(kMemoryBase) +
              " more); refused");
    }
    left_ -= n;
  }

  // A count of values announced before them: refused at once when even the
  // smallest values could not fit, instead of after building most of them.
  void announce(std::size_t n) {
    if (n > left_ / kValueCost) charge(n * kValueCost);
  }

  unsigned cont() {
    const unsigned c = r_.u8();
    if ((c & 0xc0) != 0x80) r_.fail("invalid UTF-8 in a string");
    return c & 0x3f;
  }

  // count UTF-16 units, each one to three bytes of UTF-8 (a four-byte
  // sequence counts as two).
  void units(std::size_t count, Utf8Builder& out) {
    r_.need(count, "string chunk");  // no character takes less than a byte
    charge(count);  // at least a byte each; the rest is charged below
    const std::size_t before = out.size();
    decode_units(count, out);
    const std::size_t grown = out.size() - before;
    if (grown > count) charge(grown - count);
  }

  void decode_units(std::size_t count, Utf8Builder& out) {
    while (count > 0) {
      const unsigned b = r_.u8();
      if (b < 0x80) {
        out.unit(b);
      } else if (b >= 0xc0 && b < 0xe0) {
        out.unit(((b & 0x1f) << 6) | cont());
      } else if (b >= 0xe0 && b < 0xf0) {
        const unsigned c1 = cont();
        out.unit(((b & 0x0f) << 12) | (c1 << 6) | cont());
      } else if (b >= 0xf0 && b < 0xf8 && count >= 2) {
        const unsigned c1 = cont();
        const unsigned c2 = cont();
        const std::uint32_t cp = ((b & 0x07u) << 18) | (c1 << 12) | (c2 << 6) | cont();
        if (cp < 0x10000 || cp > 0x10ffff) r_.fail("invalid UTF-8 in a string");
        out.code_point(cp);
        --count;
      } else {
        r_.fail("invalid UTF-8 in a string");
      }
      --count;
    }
  }

  std::string text1(unsigned tag, unsigned chunk_tag, unsigned final_tag) {
    Utf8Builder text;
    for (;;) {
      units(r_.u16(), text);
      if (tag == final_tag) break;
      tag = r_.u8();
      if (tag != chunk_tag && tag != final_tag) r_.fail("bad string chunk " + hex_byte(tag));
    }
    return text.finish();
  }

  std::string binary1(unsigned tag) {
    std::string bytes;
    for (;;) {
      const unsigned len = r_.u16();
      const std::string_view chunk = r_.take(len, "binary chunk");
      charge(chunk.size());
      bytes.append(chunk);
      if (tag == 'B') break;
      tag = r_.u8();
      if (tag != 'b' && tag != 'B') r_.fail("bad binary chunk " + hex_byte(tag));
    }
    return bytes;
  }

  std::unique_ptr<Object> value1(unsigned tag, int depth) {
    switch (tag) {
      case 'N':
        return std::make_unique<Null>();
      case 'T':
        return std::make_unique<Boolean>(true);
      case 'F':
        return std::make_unique<Boolean>(false);
      case 'I':
        return std::make_unique<Integer>(static_cast<std::int32_t>(r_.u32()));
      case 'L':
        return std::make_unique<Long>(static_cast<std::int64_t>(r_.u64()));
      case 'D':
        return std::make_unique<Double>(bits_to_double(r_.u64()));
      case 'd':
        return std::make_unique<Date>(static_cast<std::int64_t>(r_.u64()));
      case 's':
      case 'S':
        return std::make_unique<String>(text1(tag, 's', 'S'));
      case 'x':
      case 'X':
        return std::make_unique<Xml>(text1(tag, 'x', 'X'));
      case 'b':
      case 'B':
        return std::make_unique<Binary>(binary1(tag));
      case 'R':
        return std::make_unique<Ref>(r_.u32());
      case 'V': {
        enter(depth);
        auto list = std::make_unique<List>(optional_type1());
        if (r_.peek() == 'l') {
          r_.u8();
          // Only a hint (the list ends with 'z'), but a count that the data
          // or the memory budget could not hold marks the document as corrupt.
          const std::uint32_t hint = r_.u32();
          r_.need(hint, "list");
          announce(hint);
        }
        while (r_.peek() != 'z') list->add(value(depth + 1));
        r_.u8();
        return list;
      }
      case 'M': {
        enter(depth);
        auto map = std::make_unique<Map>(optional_type1());
        while (r_.peek() != 'z') {
          std::unique_ptr<Object> key = value(depth + 1);
          map->add(std::move(key), value(depth + 1));
        }
        r_.u8();
        return map;
      }
      case 'r': {
        // A remote object reference: its type and URL.
        charge(kContainerCost + 2 * kValueCost);
        auto map = std::make_unique<Map>(optional_type1());
        if (r_.u8() != 'S') r_.fail("remote reference without a URL");
        map->add(std::make_unique<String>("url"), std::make_unique<String>(text1('S', 's', 'S')));
        return map;
      }
      default:
        r_.fail("unknown Hessian 1.0 code " + hex_byte(tag));
    }
  }

  std::string optional_type1() {
    if (r_.peek() != 't') return std::string();
    r_.u8();
    return counted_text1();
  }

  static double bits_to_double(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  std::string string2_body(unsigned tag) {
    Utf8Builder text;
    for (;;) {
      bool last = true;
      std::size_t len;
      if (tag < 0x20) {
        len = tag;
      } else if (tag >= 0x30 && tag <= 0x33) {
        len = ((tag - 0x30) << 8) | r_.u8();
      } else if (tag == 'S' || tag == 'R') {
        len = r_.u16();
        last = tag == 'S';
      } else {
        r_.fail("bad string chunk " + hex_byte(tag));
      }
      units(len, text);
      if (last) break;
      tag = r_.u8();
    }
    return text.finish();
  }

  std::string binary2_body(unsigned tag) {
    std::string bytes;
    for (;;) {
      bool last = true;
      std::size_t len;
      if (tag >= 0x20 && tag <= 0x2f) {
        len = tag - 0x20;
      } else if (tag >= 0x34 && tag <= 0x37) {
        len = ((tag - 0x34) << 8) | r_.u8();
      } else if (tag == 'B' || tag == 'A') {
        len = r_.u16();
        last = tag == 'B';
      } else {
        r_.fail("bad binary chunk " + hex_byte(tag));
      }
      const std::string_view chunk = r_.take(len, "binary chunk");
      charge(chunk.size());
      bytes.append(chunk);
      if (last) break;
      tag = r_.u8();
    }
    return bytes;
  }

  std::int32_t int2_body(unsigned tag) {
    const int t = static_cast<int>(tag);
    if (tag >= 0x80 && tag <= 0xbf) return t - 0x90;
    if (tag >= 0xc0 && tag <= 0xcf) return (t - 0xc8) * 256 + static_cast<int>(r_.u8());
    if (tag >= 0xd0 && tag <= 0xd7) return (t - 0xd4) * 65536 + static_cast<int>(r_.u16());
    return static_cast<std::int32_t>(r_.u32());
  }

  // A type: a string, which joins the type table, or an index into it.
  std::string type2() {
    const unsigned tag = r_.peek();
    if (is_string2_tag(tag)) {
      charge(sizeof(std::string));
      types_.push_back(string2());
      return types_.back();
    }
    const std::int32_t index = int2();
    if (index < 0 || static_cast<std::size_t>(index) >= types_.size()) {
      r_.fail("type reference " + std::to_string(index) + " out of range");
    }
    const std::string& type = types_[static_cast<std::size_t>(index)];
    // A two-byte reference can repeat a long type name: each copy is charged.
    charge(type.size());
    return type;
  }

  // A count of values to follow; each takes at least a byte.
  std::size_t count2(const char* what) {
    const std::int32_t n = int2();
    if (n < 0) r_.fail(std::string("negative ") + what + " length");
    r_.need(static_cast<std::size_t>(n), what);
    announce(static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
  }

  std::unique_ptr<Object> list2(std::string type, bool fixed, std::size_t n, int depth) {
    enter(depth);
    auto list = std::make_unique<List>(std::move(type));
    if (fixed) {
      for (std::size_t i = 0; i < n; ++i) list->add(value(depth + 1));
    } else {
      while (r_.peek() != 'Z') list->add(value(depth + 1));
      r_.u8();
    }
    return list;
  }

  std::unique_ptr<Object> map2(std::string type, int depth) {
    enter(depth);
    auto map = std::make_unique<Map>(std::move(type));
    while (r_.peek() != 'Z') {
      std::unique_ptr<Object> key = value(depth + 1);
      map->add(std::move(key), value(depth + 1));
    }
    r_.u8();
    return map;
  }

  std::unique_ptr<Object> object2(std::size_t ref, int depth) {
    if (ref >= classes_.size()) r_.fail("object of undefined class " + std::to_string(ref));
    enter(depth);
    const ClassDef& def = classes_[ref];
    // An instance takes one byte and copies its class's names: each copy is
    // charged, or a small reply could make the decoder copy gigabytes.
    charge(def.name.size());
    announce(def.fields.size());
    auto map = std::make_unique<Map>(def.name);
    for (const std::string& field : def.fields) {
      charge(kValueCost + field.size());
      map->add(std::make_unique<String>(field), value(depth + 1));
    }
    return map;
  }

  void define_class() {
    charge(kValueCost);
    ClassDef def;
    def.name = string2();
    const std::size_t n = count2("class definition");
    for (std::size_t i = 0; i < n; ++i) {
      charge(sizeof(std::string));
      def.fields.push_back(string2());
    }
    classes_.push_back(std::move(def));
  }

  std::unique_ptr<Object> value2(unsigned tag, int depth) {
    // A class definition is not a value: the object it describes follows.
    while (tag == 'C') {
      define_class();
      tag = r_.u8();
    }
    if (is_string2_tag(tag)) return std::make_unique<String>(string2_body(tag));
    if ((tag >= 0x20 && tag <= 0x2f) || (tag >= 0x34 && tag <= 0x37) || tag == 'A' || tag == 'B') {
      return std::make_unique<Binary>(binary2_body(tag));
    }
    if (is_int2_tag(tag)) return std::make_unique<Integer>(int2_body(tag));
    const int t = static_cast<int>(tag);
    if (tag >= 0xd8 && tag <= 0xef) return std::make_unique<Long>(t - 0xe0);
    if (tag >= 0xf0) return std::make_unique<Long>((t - 0xf8) * 256 + static_cast<int>(r_.u8()));
    if (tag >= 0x38 && tag <= 0x3f) {
      return std::make_unique<Long>((t - 0x3c) * 65536 + static_cast<int>(r_.u16()));
    }
    if (tag >= 0x60 && tag <= 0x6f) return object2(tag - 0x60, depth);
    if (tag >= 0x70 && tag <= 0x77) {
      std::string type = type2();
      return list2(std::move(type), true, tag - 0x70, depth);
    }
    if (tag >= 0x78 && tag <= 0x7f) return list2(std::string(), true, tag - 0x78, depth);
    switch (tag) {
      case 'N':
        return std::make_unique<Null>();
      case 'T':
        return std::make_unique<Boolean>(true);
      case 'F':
        return std::make_unique<Boolean>(false);
      case 'Y':
        return std::make_unique<Long>(static_cast<std::int32_t>(r_.u32()));
      case 'L':
        return std::make_unique<Long>(static_cast<std::int64_t>(r_.u64()));
      case 'D':
        return std::make_unique<Double>(bits_to_double(r_.u64()));
      case 0x5b:
        return std::make_unique<Double>(0.0);
      case 0x5c:
        return std::make_unique<Double>(1.0);
      case 0x5d:
        return std::make_unique<Double>(static_cast<std::int8_t>(r_.u8()));
      case 0x5e:
        return std::make_unique<Double>(static_cast<std::int16_t>(r_.u16()));
      case 0x5f:
        // Thousandths, as the Java implementation writes them.
        return std::make_unique<Double>(0.001 * static_cast<std::int32_t>(r_.u32()));
      case 'J':
        return std::make_unique<Date>(static_cast<std::int64_t>(r_.u64()));
      case 'K':
        return std::make_unique<Date>(static_cast<std::int64_t>(static_cast<std::int32_t>(r_.u32())) * 60000);
      case 'Q': {
        const std::int32_t index = int2();
        if (index < 0) r_.fail("negative reference");
        return std::make_unique<Ref>(static_cast<std::uint32_t>(index));
      }
      case 'H':
        return map2(std::string(), depth);
      case 'M': {
        std::string type = type2();
        return map2(std::move(type), depth);
      }
      case 'U': {
        std::string type = type2();
        return list2(std::move(type), false, 0, depth);
      }
      case 'V': {
        std::string type = type2();
        const std::size_t n = count2("list");
        return list2(std::move(type), true, n, depth);
      }
      case 'W':
        return list2(std::string(), false, 0, depth);
      case 'X': {
        const std::size_t n = count2("list");
        return list2(std::string(), true, n, depth);
      }
      case 'O': {
        const std::int32_t ref = int2();
        if (ref < 0) r_.fail("negative class reference");
        return object2(static_cast<std::size_t>(ref), depth);
      }
      default:
        r_.fail("unknown Hessian 2.0 code " + hex_byte(tag));
    }
  }

  struct ClassDef {
    std::string name;
    std::vector<std::string> fields;
  };

  Reader& r_;
  bool v2_;
  const std::size_t budget_;
  std::size_t left_;  // of budget_
  std::vector<std::string> types_;
  std::vector<ClassDef> classes_;
};

}  // namespace

std::unique_ptr<Object> decode_reply(std::string_view data) {
  if (data.empty()) throw io_exception("empty Hessian reply");
  Reader r(data);
  const unsigned tag = r.u8();
  if (tag == 'r') {
    const unsigned major = r.u8();
    r.u8();  // minor
    Parser p(r, major >= 2 ? 2 : 1);
    // Hessian 1.0 reply headers carry nothing we use.
    while (major < 2 && r.peek() == 'H') {
      r.u8();
      p.counted_text1();
      p.value(0);
    }
    if (r.peek() == 'f') {
      r.u8();
      p.fault();
    }
    std::unique_ptr<Object> v = p.value(0);
    if (r.u8() != 'z') r.fail("reply does not end with 'z'");
    return v;
  }
  if (tag == 'H') {
    const unsigned major = r.u8();
    r.u8();  // minor
    if (major != 2) r.fail("unsupported Hessian version " + std::to_string(major));
    Parser p(r, 2);
    const unsigned kind = r.u8();
    if (kind == 'R') return p.value(0);
    if (kind == 'F') p.fault();
    r.fail("expected a reply or a fault, found " + hex_byte(kind));
  }
  r.fail("not a Hessian reply (starts with " + hex_byte(tag) + ")");
}

Call decode_call(std::string_view data) {
  if (data.empty()) throw io_exception("empty Hessian call");
  Reader r(data);
  Call call;
  unsigned tag = r.u8();
  if (tag == 'c') {
    call.reply_version = r.u8() >= 2 ? 2 : 1;
    r.u8();  // minor
    Parser p(r, 1);
    for (;;) {
      tag = r.u8();
      if (tag == 'm') break;
      if (tag != 'H') r.fail("expected a header or the method, found " + hex_byte(tag));
      p.counted_text1();
      p.value(0);
    }
    call.method = p.counted_text1();
    while (r.peek() != 'z') call.args.push_back(p.value(0));
    r.u8();
    return call;
  }
  if (tag == 'H') {
    const unsigned major = r.u8();
    r.u8();  // minor
    if (major != 2) r.fail("unsupported Hessian version " + std::to_string(major));
    tag = r.u8();
  }
  if (tag != 'C') r.fail("not a Hessian call (found " + hex_byte(tag) + ")");
  Parser p(r, 2);
  call.reply_version = 2;
  call.method = p.string2();
  const std::int32_t n = p.int2();
  if (n < 0) r.fail("negative argument count");
  r.need(static_cast<std::size_t>(n), "argument list");
  for (std::int32_t i = 0; i < n; ++i) call.args.push_back(p.value(0));
  return call;
}

std::unique_ptr<Object> decode_value(std::string_view data, int version) {
  Reader r(data);
  Parser p(r, version);
  std::unique_ptr<Object> v = p.value(0);
  if (!r.at_end()) r.fail("trailing bytes after the value");
  return v;
}

}  // namespace codec
}  // namespace hessian
