#include "kc_rest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace kc {

namespace {

struct Sink {
  std::string* body;
  std::size_t limit;
  bool overflow = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t n, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t bytes = size * n;
  if (sink->body->size() + bytes > sink->limit) {
    sink->overflow = true;
    return 0;  // ends the transfer
  }
  sink->body->append(data, bytes);
  return bytes;
}

struct Upload {
  const std::string* body;
  std::size_t pos = 0;
};

std::size_t on_read(char* buffer, std::size_t size, std::size_t n, void* user) {
  auto* up = static_cast<Upload*>(user);
  const std::size_t left = up->body->size() - up->pos;
  const std::size_t take = std::min(left, size * n);
  up->body->copy(buffer, take, up->pos);
  up->pos += take;
  return take;
}

// An authenticated request may be sent twice (SPNEGO answers the first
// with 401): the body is read again from its start.
int on_seek(void* user, curl_off_t offset, int origin) {
  auto* up = static_cast<Upload*>(user);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > up->body->size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  up->pos = static_cast<std::size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

HttpResult http_exchange(const std::string& method, const std::string& url, const std::string& body,
                         const std::string& content_type, const HttpOptions& options) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  HttpResult result;
  std::unique_ptr<CURL, CurlDeleter> curl(initialised ? curl_easy_init() : nullptr);
  if (!curl) {
    result.error = "cannot set up an HTTP client";
    return result;
  }
  CURL* c = curl.get();
  Sink sink{&result.body, options.max_body_bytes};
  Upload upload{&body};
  char error[CURL_ERROR_SIZE] = {};
  std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Accept: application/json"));
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options.timeout_ms);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(options.timeout_ms, 5000L));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  if (options.negotiate) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_NEGOTIATE));
    // SPNEGO takes its credentials from the ticket cache; the user name only
    // switches authentication on.
    curl_easy_setopt(c, CURLOPT_USERPWD, ":");
  }
  if (method == "PUT") {
    headers.reset(curl_slist_append(headers.release(), ("Content-Type: " + content_type).c_str()));
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_SEEKFUNCTION, on_seek);
    curl_easy_setopt(c, CURLOPT_SEEKDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    result.error = sink.overflow ? "the answer is larger than " + std::to_string(options.max_body_bytes) + " bytes"
                                 : std::string(error[0] != '\0' ? error : curl_easy_strerror(rc));
    result.body.clear();
    return result;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
  if (!result.ok()) result.error = "HTTP status " + std::to_string(result.status) + " from " + url;
  if (result.status == 401) {
    result.error += options.negotiate ? " (the container's Kerberos ticket was not accepted; see its log)"
                                      : " (the server asks for Kerberos: set KerberosKeytabPath and KerberosPrincipal)";
  }
  return result;
}

}  // namespace kc
