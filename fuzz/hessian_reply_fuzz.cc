// The client's reply decoder on arbitrary bytes from the container. A reply
// must end in a value, a fault_exception or an io_exception, nothing else;
// a value, written again in the version it came in, must decode to the same
// tree.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz_workdir.h"
#include "hessian_codec.h"
#include "hessian_exceptions.h"
#include "hessian_tree.h"

using namespace hessian;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view doc(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<wrappers::Object> value;
  try {
    value = codec::decode_reply(doc);
  } catch (const exceptions::fault_exception&) {
    return 0;
  } catch (const exceptions::io_exception&) {
    return 0;
  }
  if (!value) {
    std::fprintf(stderr, "decode_reply gave a null value\n");
    std::abort();
  }
  const int version = kxfuzz::document_version(data, size);
  const std::string again = codec::encode_reply(value.get(), version);
  std::unique_ptr<wrappers::Object> copy;
  try {
    copy = codec::decode_reply(again);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "re-encoded reply (version %d) does not decode: %s\n", version, e.what());
    std::abort();
  }
  if (!kxfuzz::same_tree(value.get(), copy.get())) {
    std::fprintf(stderr, "re-encoded reply (version %d) decodes to another tree\n", version);
    std::abort();
  }
  return 0;
}
