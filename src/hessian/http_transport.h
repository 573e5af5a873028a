// http_transport.h - one HTTP POST exchange over libcurl.
#ifndef BE_HADOOP_HESSIAN_HTTP_TRANSPORT_H
#define BE_HADOOP_HESSIAN_HTTP_TRANSPORT_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sslpp {
namespace exceptions {

// The server answered with an HTTP status other than 200. what() names the
// status and the URL, e.g. "HTTP status 503 from http://127.0.0.1:38980/KxService".
class http_exception : public std::runtime_error {
 public:
  http_exception(long status, const std::string& message);
  ~http_exception() override;
  long status() const { return status_; }

 private:
  long status_;
};

}  // namespace exceptions

struct http_options {
  // Limit of the whole exchange in seconds; 0 is no limit. Longer than
  // INT_MAX / 1000 seconds (about 24 days) counts as that long.
  long timeout_seconds = 0;
  // Largest answer body accepted; a longer one fails the exchange.
  std::size_t max_reply_bytes = 64u * 1024 * 1024;
};

// POSTs body to url (http:// or https://; https verifies the peer) with the
// given Content-Type and returns the body of a 200 answer. Never uses a proxy
// from the environment and follows no redirect.
// Throws sslpp::exceptions::http_exception for any other status, and
// hessian::exceptions::io_exception when no complete answer arrives (connection
// refused or broken, answer too large); when the time limit was reached, its
// kind hessian::exceptions::timeout_exception.
std::string http_post(const std::string& url, std::string_view content_type, std::string_view body,
                      const http_options& options);

}  // namespace sslpp

#endif  // BE_HADOOP_HESSIAN_HTTP_TRANSPORT_H
