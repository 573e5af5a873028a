#include "http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "hessian_exceptions.h"

namespace sslpp {
namespace exceptions {

http_exception::http_exception(long status, const std::string& message)
    : std::runtime_error(message), status_(status) {}
http_exception::~http_exception() = default;

}  // namespace exceptions

namespace {

using hessian::exceptions::io_exception;

struct EasyCleanup {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistCleanup {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

// The library lives inside the agent's processes, so libcurl is set up once
// and never torn down: another part of the process may still be using it.
void global_init() {
  static std::once_flag once;
  static CURLcode rc = CURLE_OK;
  std::call_once(once, [] { rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (rc != CURLE_OK) throw io_exception(std::string("cannot initialise libcurl: ") + curl_easy_strerror(rc));
}

struct Sink {
  std::string data;
  std::size_t limit;
  bool overflow = false;
};

size_t write_body(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* sink = static_cast<Sink*>(userdata);
  const size_t n = size * nmemb;
  if (n > sink->limit - sink->data.size()) {
    sink->overflow = true;
    return 0;  // makes libcurl abort the transfer
  }
  sink->data.append(ptr, n);
  return n;
}

HeaderList add_header(HeaderList list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw io_exception("out of memory building HTTP headers");
  list.release();
  return HeaderList(grown);
}

}  // namespace

std::string http_post(const std::string& url, std::string_view content_type, std::string_view body,
                      const http_options& options) {
  global_init();
  // One handle for the process, its options reset at every call: making a
  // handle costs more than the exchange itself on a loopback connection. A
  // call made while another thread holds it gets a handle of its own.
  static std::mutex shared_mutex;
  static CURL* shared = nullptr;  // never cleaned up, as libcurl itself
  std::unique_lock<std::mutex> lock(shared_mutex, std::try_to_lock);
  EasyHandle own;
  if (lock.owns_lock()) {
    if (shared == nullptr) shared = curl_easy_init();
    if (shared == nullptr) throw io_exception("cannot create a libcurl handle");
    curl_easy_reset(shared);
  } else {
    own.reset(curl_easy_init());
    if (!own) throw io_exception("cannot create a libcurl handle");
  }
  CURL* c = lock.owns_lock() ? shared : own.get();
  // The options below point at this call's locals: they must not outlive it.
  struct ResetOnExit {
    CURL* c;
    ~ResetOnExit() { curl_easy_reset(c); }
  } reset_on_exit{c};

  HeaderList headers;
  headers = add_header(std::move(headers), "Content-Type: " + std::string(content_type));
  // Large request documents must not wait for a 100-continue that some
  // servers never send.
  headers = add_header(std::move(headers), "Expect:");

  Sink sink;
  sink.limit = options.max_reply_bytes;
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  // Every call on a connection of its own, as before the handle was kept:
  // the container sees one request per connection, and a container that
  // went away is noticed by the next call's connect.
  curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  // Nor does the kept handle remember a name's address across calls.
  curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  // libcurl counts in milliseconds in an int and refuses a longer limit
  // without a word, which would leave the exchange unbounded.
  const long timeout = std::min(options.timeout_seconds, static_cast<long>(INT_MAX / 1000));
  if (timeout > 0) curl_easy_setopt(c, CURLOPT_TIMEOUT, timeout);

  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    std::string message = "POST " + url + " failed: ";
    if (sink.overflow) {
      message += "answer longer than " + std::to_string(options.max_reply_bytes) + " bytes";
    } else {
      message += curl_easy_strerror(rc);
      if (errbuf[0] != '\0') message += std::string(" (") + errbuf + ")";
    }
    if (rc == CURLE_OPERATION_TIMEDOUT && timeout > 0) {
      throw hessian::exceptions::timeout_exception(timeout, message);
    }
    throw io_exception(message);
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    throw exceptions::http_exception(status, "HTTP status " + std::to_string(status) + " from " + url);
  }
  return std::move(sink.data);
}

}  // namespace sslpp
