// hessian_service.h - the service side: named methods answering Hessian calls.
//
// Transport-free: a server hands over each request body and sends back the
// document handle() returns, with HTTP status 200 (faults included).
#ifndef BE_HADOOP_HESSIAN_HESSIAN_SERVICE_H
#define BE_HADOOP_HESSIAN_HESSIAN_SERVICE_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hessian_wrappers.h"

namespace hessian {

class service {
 public:
  using arguments = std::vector<std::unique_ptr<wrappers::Object>>;
  // A method gets the decoded arguments and returns its result (null pointer:
  // a null reply). To answer with a fault it throws
  // exceptions::fault_exception; any other exception it throws becomes a fault
  // with code "ServiceException" and the exception's what().
  using method = std::function<std::unique_ptr<wrappers::Object>(const arguments& args)>;

  // Adds or replaces the method of that name.
  void add_method(const std::string& name, method m);

  // Decodes one call document, runs its method and returns the encoded
  // reply, in the Hessian version the caller reads (see codec::Call), or in
  // reply_version (1 or 2) when that is not 0. A document that is not a
  // well-formed call gets a fault "ProtocolException", an unknown method a
  // fault "NoSuchMethodException". Exceptions from the method become faults;
  // only std::bad_alloc leaves.
  std::string handle(std::string_view request, int reply_version = 0) const;

 private:
  std::map<std::string, method, std::less<>> methods_;
};

}  // namespace hessian

#endif  // BE_HADOOP_HESSIAN_HESSIAN_SERVICE_H
