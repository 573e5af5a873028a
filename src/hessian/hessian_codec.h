// hessian_codec.h - Hessian 1.0 and 2.0 documents to and from value trees.
//
// Both sides of a call: the client encodes calls and decodes replies, a
// service decodes calls and encodes replies. Decoding is bounded: every length
// read from the data is checked against the bytes that remain before anything
// is taken or allocated, nesting is limited and the decoded tree's memory is
// charged against a budget proportional to the document, so hostile or
// truncated input ends in io_exception, never in a read past the buffer or a
// runaway allocation.
#ifndef BE_HADOOP_HESSIAN_HESSIAN_CODEC_H
#define BE_HADOOP_HESSIAN_HESSIAN_CODEC_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hessian_wrappers.h"

namespace hessian {
namespace codec {

// Deepest nesting of lists, maps and objects the decoder accepts.
constexpr int kMaxDepth = 256;

// The memory a decoded document may take. A value of one byte on the wire
// becomes an object of tens of bytes in the tree, so without a bound a
// reply of tens of megabytes could take gigabytes. The decoder charges an
// estimate of every value it builds (the object, its place in its list or
// map, the bytes of its text) against kMemoryFactor times the document's
// size plus kMemoryBase; a document beyond that is refused as malformed
// (io_exception saying so). A binary or string takes about its own size, so
// only trees of many small values reach the bound.
constexpr std::size_t kMemoryFactor = 4;
constexpr std::size_t kMemoryBase = std::size_t{1} << 20;
// What one value is charged before its text: the object and its slot.
constexpr std::size_t kValueCost = 40;
// What a list or map is charged on top: its type name and vector.
constexpr std::size_t kContainerCost = 64;

// The memory a document of document_size bytes may take once decoded.
constexpr std::size_t memory_budget(std::size_t document_size) {
  return kMemoryFactor * document_size + kMemoryBase;
}
// Longest chunk of a string or binary value: longer ones are split.
constexpr std::size_t kMaxChunk = 0xffff;

// Appends one value in Hessian 1.0 (version 1) or 2.0 (version 2) form. A null
// pointer is written as null. Strings and binaries longer than kMaxChunk go
// in chunks. REQUIRES: version is 1 or 2.
void write_value(std::string& out, const wrappers::Object* value, int version);

// A call document. Version 1: "c" 1 0, "m" and the method name, the arguments,
// "z"; version 2: "H" 2 0, "C", the method name, the argument count, the
// arguments. reply_version 2 with version 1 writes "c" 2 0, the way a
// Hessian 1.0 caller asks for a Hessian 2.0 reply.
// Throws std::invalid_argument for a method name longer than 65,535 bytes.
std::string encode_call(std::string_view method, const std::vector<const wrappers::Object*>& args,
                        int version = 1, int reply_version = 0);

// A reply carrying one value: "r" 1 0 value "z" (version 1) or "H" 2 0 "R"
// value (version 2).
std::string encode_reply(const wrappers::Object* value, int version);

// A fault reply with the fields code and message (Hessian 1.0 "r" 1 0 "f" ...
// "z" "z", Hessian 2.0 "H" 2 0 "F" map).
std::string encode_fault(std::string_view code, std::string_view message, int version);

// Decodes a reply. Returns its value (never null: a null reply is a Null).
// Throws fault_exception for a fault, io_exception when the data is not a
// complete, well-formed reply.
std::unique_ptr<wrappers::Object> decode_reply(std::string_view data);

struct Call {
  std::string method;
  std::vector<std::unique_ptr<wrappers::Object>> args;
  // The version the caller reads replies in: 2 for a Hessian 2.0 call or a
  // Hessian 1.0 call whose header says 2, otherwise 1.
  int reply_version = 1;
};

// Decodes a call in either version (Hessian 1.0 headers are skipped).
// Throws io_exception when the data is not a complete, well-formed call.
Call decode_call(std::string_view data);

// Decodes a single value of the given version that fills the whole of data.
// Throws io_exception as above.
std::unique_ptr<wrappers::Object> decode_value(std::string_view data, int version);

}  // namespace codec
}  // namespace hessian

#endif  // BE_HADOOP_HESSIAN_HESSIAN_CODEC_H
