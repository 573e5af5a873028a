// hessian_proxy.h - calls methods of a Hessian service over HTTP.
#ifndef BE_HADOOP_HESSIAN_HESSIAN_PROXY_H
#define BE_HADOOP_HESSIAN_HESSIAN_PROXY_H

#include <string>
#include <type_traits>
#include <vector>

#include "hessian_exceptions.h"
#include "hessian_wrappers.h"
#include "http_transport.h"

namespace hessian {

// One remote service, reached at http://<host>/<path> (https:// when secure).
// Each call is one POST of a Hessian 1.0 call document with the Content-Type
// "x-application/hessian"; the reply may come in Hessian 1.0 or 2.0 form.
// Holds no connection between calls. Not for use by two threads at once.
class hessian_proxy {
 public:
  // host: "name:port" or "address:port" ("[v6address]:port" for IPv6).
  // path: the service path; a missing leading '/' is added.
  hessian_proxy(const std::string& host, const std::string& path, bool secure);

  // Calls method with argc arguments, each a pointer to a
  // hessian::wrappers::Object or a class derived from it (a Binary*, say);
  // a null pointer is sent as null. The arguments stay the caller's.
  //   Object* reply = proxy.call("invoke", 1, &document);
  // Returns the reply value, newly allocated and owned by the caller, who
  // releases it with delete; never null (a null reply is a Null object). A
  // reply that is not a binary value comes back as its own type, whose
  // classname() is not "Binary".
  // Throws exceptions::fault_exception when the service answers with a fault,
  // sslpp::exceptions::http_exception for an HTTP status other than 200,
  // exceptions::io_exception when the connection fails or the reply is not
  // well-formed, std::invalid_argument when argc differs from the number of
  // arguments given.
  //
  // The arguments are a parameter pack, not a C ellipsis: through an ellipsis a
  // Binary* would have to be read back as an Object*, which is undefined.
  template <typename... Args>
  wrappers::Object* call(const std::string& method, int argc, Args... args) {
    static_assert((std::is_convertible_v<Args, const wrappers::Object*> && ...),
                  "hessian_proxy::call arguments must be pointers to hessian::wrappers::Object");
    return call_with(method, argc, {static_cast<const wrappers::Object*>(args)...});
  }

  // The same with the arguments in a vector; argc must equal args.size().
  wrappers::Object* call_with(const std::string& method, int argc,
                              const std::vector<const wrappers::Object*>& args);

  // Time limit of each call in seconds, connection included; 0 (the default)
  // waits as long as the service takes. A call that runs out of time throws
  // exceptions::timeout_exception (an io_exception). Negative values count
  // as 0.
  void set_timeout(long seconds) { timeout_seconds_ = seconds > 0 ? seconds : 0; }
  long timeout() const { return timeout_seconds_; }

  // Asks the service for Hessian 2.0 replies (the call header says version
  // 2), as Java callers do by default. Off by default.
  void set_hessian2_reply(bool on) { hessian2_reply_ = on; }

  const std::string& url() const { return url_; }

 private:
  std::string url_;
  long timeout_seconds_ = 0;
  bool hessian2_reply_ = false;
};

}  // namespace hessian

#endif  // BE_HADOOP_HESSIAN_HESSIAN_PROXY_H
