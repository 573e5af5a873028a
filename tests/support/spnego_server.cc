#include "spnego_server.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <httplib.h>

#include <chrono>
#include <thread>

namespace kxtest {

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const std::string& in) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char ch : in) {
    bits = (bits << 8) | ch;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 0x3f];
    }
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3f];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::string base64_decode(const std::string& in) {
  const std::string& alphabet = kAlphabet;
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char ch : in) {
    if (ch == '=') break;
    const auto v = alphabet.find(ch);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// One GSS-API acceptance of a client's first token; the client's name, or
// why not.
bool accept_token(const std::string& keytab, const std::string& token, std::string& client, std::string& reply) {
  OM_uint32 minor = 0;
  gss_key_value_element_desc element{"keytab", keytab.c_str()};
  gss_key_value_set_desc store{1, &element};
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  if (gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_ACCEPT, &store, &cred,
                            nullptr, nullptr) != GSS_S_COMPLETE) {
    client = "no acceptor credentials in " + keytab;
    return false;
  }
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc input{token.size(), const_cast<char*>(token.data())};
  gss_buffer_desc output{0, nullptr};
  gss_name_t source = GSS_C_NO_NAME;
  const OM_uint32 major = gss_accept_sec_context(&minor, &context, cred, &input, GSS_C_NO_CHANNEL_BINDINGS, &source,
                                                 nullptr, &output, nullptr, nullptr, nullptr);
  bool ok = major == GSS_S_COMPLETE;
  if (ok) {
    gss_buffer_desc name{0, nullptr};
    gss_display_name(&minor, source, &name, nullptr);
    client.assign(static_cast<const char*>(name.value), name.length);
    gss_release_buffer(&minor, &name);
    reply = base64_encode(std::string(static_cast<const char*>(output.value), output.length));
  } else {
    client = "the token was not accepted (GSS major status " + std::to_string(major) + ")";
  }
  gss_release_buffer(&minor, &output);
  gss_release_name(&minor, &source);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  gss_release_cred(&minor, &cred);
  return ok;
}

}  // namespace

struct SpnegoServer::Impl {
  std::string keytab;
  std::map<std::string, std::string> bodies;
  httplib::Server server;
  int port = 0;
  std::thread thread;
  mutable std::mutex mu;
  std::vector<std::string> requests;

  void handle(const httplib::Request& req, httplib::Response& res) {
    const std::string auth = req.get_header_value("Authorization");
    static const std::string kScheme = "Negotiate ";
    if (auth.compare(0, kScheme.size(), kScheme) != 0) {
      // The challenge: the client retries with its token.
      res.status = 401;
      res.set_header("WWW-Authenticate", "Negotiate");
      note(req.method + " " + req.path + " refused: no token");
      return;
    }
    std::string client, reply;
    if (!accept_token(keytab, base64_decode(auth.substr(kScheme.size())), client, reply)) {
      res.status = 403;
      note(req.method + " " + req.path + " refused: " + client);
      return;
    }
    if (!reply.empty()) res.set_header("WWW-Authenticate", "Negotiate " + reply);
    const auto it = bodies.find(req.path);
    if (it == bodies.end()) {
      res.status = 404;
    } else {
      res.set_content(it->second, "application/json");
    }
    note(req.method + " " + req.path + " by " + client);
  }

  void note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu);
    requests.push_back(line);
  }
};

SpnegoServer::SpnegoServer(std::string keytab, std::map<std::string, std::string> bodies)
    : impl_(std::make_unique<Impl>()) {
  impl_->keytab = std::move(keytab);
  impl_->bodies = std::move(bodies);
  Impl* impl = impl_.get();
  impl->server.Get(".*", [impl](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); });
  impl->server.Put(".*", [impl](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); });
  impl->port = impl->server.bind_to_any_port("127.0.0.1");
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  for (int i = 0; i < 1000 && !impl->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

SpnegoServer::~SpnegoServer() {
  impl_->server.stop();
  impl_->thread.join();
}

std::string SpnegoServer::url() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

std::vector<std::string> SpnegoServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

}  // namespace kxtest
