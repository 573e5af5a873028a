// kc_rest.h - small HTTP exchanges with the cluster's REST APIs.
//
// One libcurl easy handle per exchange, no proxy from the environment, no
// redirects followed, a time limit on every exchange and a cap on the answer.
// With negotiate on, the request authenticates with SPNEGO from the
// process's Kerberos ticket cache (KRB5CCNAME).
#ifndef BE_HADOOP_CONTAINER_KC_REST_H
#define BE_HADOOP_CONTAINER_KC_REST_H

#include <string>

namespace kc {

struct HttpResult {
  long status = 0;     // the HTTP status; 0 when no answer came
  std::string body;
  std::string error;   // why no answer came (connection refused, time limit...)
  bool ok() const { return status >= 200 && status < 300; }
};

struct HttpOptions {
  long timeout_ms = 10000;
  std::size_t max_body_bytes = 16u << 20;
  bool negotiate = false;
};

// method: "GET" or "PUT"; body and content_type only for PUT.
HttpResult http_exchange(const std::string& method, const std::string& url, const std::string& body,
                         const std::string& content_type, const HttpOptions& options);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_REST_H
