#include "hessian_proxy.h"

#include <stdexcept>

#include "hessian_codec.h"

namespace hessian {

hessian_proxy::hessian_proxy(const std::string& host, const std::string& path, bool secure) {
  url_ = secure ? "https://" : "http://";
  url_ += host;
  if (path.empty() || path[0] != '/') url_ += '/';
  url_ += path;
}

wrappers::Object* hessian_proxy::call_with(const std::string& method, int argc,
                                           const std::vector<const wrappers::Object*>& args) {
  if (argc < 0 || static_cast<std::size_t>(argc) != args.size()) {
    throw std::invalid_argument("hessian_proxy::call: argument count " + std::to_string(argc) +
                                " but " + std::to_string(args.size()) + " arguments given");
  }
  const std::string request = codec::encode_call(method, args, 1, hessian2_reply_ ? 2 : 1);
  sslpp::http_options options;
  options.timeout_seconds = timeout_seconds_;
  const std::string reply = sslpp::http_post(url_, "x-application/hessian", request, options);
  return codec::decode_reply(reply).release();
}

}  // namespace hessian
