// spnego_server.h - a loopback HTTP server that admits only callers who
// authenticate with SPNEGO (HTTP Negotiate), checked by GSS-API against a
// service keytab of a real KDC: what a Kerberized cluster's REST servers
// ask of their clients.
#ifndef BE_HADOOP_TESTS_SUPPORT_SPNEGO_SERVER_H
#define BE_HADOOP_TESTS_SUPPORT_SPNEGO_SERVER_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kxtest {

class SpnegoServer {
 public:
  // keytab holds the key of HTTP/127.0.0.1. bodies: path -> JSON answered
  // to an authenticated GET or PUT of that path.
  SpnegoServer(std::string keytab, std::map<std::string, std::string> bodies);
  ~SpnegoServer();
  SpnegoServer(const SpnegoServer&) = delete;
  SpnegoServer& operator=(const SpnegoServer&) = delete;

  std::string url() const;
  // "METHOD path by principal" for every request admitted, and "METHOD path
  // refused: why" for every other, in order.
  std::vector<std::string> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_SPNEGO_SERVER_H
