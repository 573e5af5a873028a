// The service side on arbitrary request bodies: decode_call must give a call
// or an io_exception, and a decoded call written again must decode the same.
// service::handle must answer every body with a document the client can read
// (a value or a fault), never with an exception.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz_workdir.h"
#include "hessian_codec.h"
#include "hessian_exceptions.h"
#include "hessian_service.h"
#include "hessian_tree.h"

using namespace hessian;

namespace {

[[noreturn]] void fail(const char* what, const char* detail = "") {
  std::fprintf(stderr, "%s%s\n", what, detail);
  std::abort();
}

// The container's one method: the document comes as a binary and goes back
// as one; anything else is a fault, as in the real service.
const service& the_service() {
  static const service s = [] {
    service svc;
    svc.add_method("invoke", [](const service::arguments& args) -> std::unique_ptr<wrappers::Object> {
      if (args.size() != 1) throw exceptions::fault_exception("IllegalArgument", "one argument");
      const auto* bin = dynamic_cast<const wrappers::Binary*>(args[0].get());
      if (bin == nullptr) throw std::invalid_argument("not a binary");
      return std::make_unique<wrappers::Binary>(bin->value());
    });
    return svc;
  }();
  return s;
}

void check_round_trip(const codec::Call& call, const uint8_t* data, size_t size) {
  const int version = kxfuzz::document_version(data, size);
  std::vector<const wrappers::Object*> args;
  for (const auto& a : call.args) args.push_back(a.get());
  std::string again;
  try {
    again = codec::encode_call(call.method, args, version, call.reply_version);
  } catch (const std::invalid_argument& e) {
    fail("a decoded call cannot be encoded: ", e.what());
  }
  codec::Call copy;
  try {
    copy = codec::decode_call(again);
  } catch (const std::exception& e) {
    fail("re-encoded call does not decode: ", e.what());
  }
  if (copy.method != call.method) fail("re-encoded call names another method");
  if (copy.reply_version != call.reply_version) fail("re-encoded call asks another reply version");
  if (copy.args.size() != call.args.size()) fail("re-encoded call has another argument count");
  for (size_t i = 0; i < call.args.size(); ++i)
    if (!kxfuzz::same_tree(call.args[i].get(), copy.args[i].get())) fail("argument differs");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    check_round_trip(codec::decode_call(body), data, size);
  } catch (const exceptions::io_exception&) {
  }

  std::string reply;
  try {
    reply = the_service().handle(body);
  } catch (const std::exception& e) {
    fail("service::handle let an exception out: ", e.what());
  }
  try {
    codec::decode_reply(reply);
  } catch (const exceptions::fault_exception&) {
  } catch (const std::exception& e) {
    fail("the service's answer is not a readable reply: ", e.what());
  }
  return 0;
}
