#include "hessian_service.h"

#include <exception>
#include <new>
#include <utility>

#include "hessian_codec.h"
#include "hessian_exceptions.h"

namespace hessian {

void service::add_method(const std::string& name, method m) { methods_[name] = std::move(m); }

std::string service::handle(std::string_view request, int reply_version) const {
  codec::Call call;
  try {
    call = codec::decode_call(request);
  } catch (const exceptions::io_exception& e) {
    return codec::encode_fault("ProtocolException", e.what(), reply_version == 2 ? 2 : 1);
  }
  const int version = reply_version == 1 || reply_version == 2 ? reply_version : call.reply_version;
  const auto it = methods_.find(call.method);
  if (it == methods_.end()) {
    return codec::encode_fault("NoSuchMethodException", "the service has no method named '" + call.method + "'",
                               version);
  }
  try {
    std::unique_ptr<wrappers::Object> result = it->second(call.args);
    return codec::encode_reply(result.get(), version);
  } catch (const exceptions::fault_exception& e) {
    return codec::encode_fault(e.code(), e.what(), version);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return codec::encode_fault("ServiceException", e.what(), version);
  }
}

}  // namespace hessian
