#include "kc_kerberos.h"

#include <krb5/krb5.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "kc_supervisor.h"

namespace kc {

namespace {

// A failed login is tried again after this long: the KDC may be back.
constexpr std::int64_t kRetryMs = 30000;
// Never log in again sooner than this, whatever the ticket's life.
constexpr std::int64_t kMinimumRefreshMs = 1000;

struct ContextDeleter {
  void operator()(krb5_context c) const { krb5_free_context(c); }
};
using Context = std::unique_ptr<std::remove_pointer_t<krb5_context>, ContextDeleter>;

// Holds one libkrb5 object of the context and frees it with its own call.
template <typename T, krb5_error_code (*Free)(krb5_context, T)>
class Owned {
 public:
  explicit Owned(krb5_context c) : context_(c) {}
  ~Owned() {
    if (value_ != nullptr) Free(context_, value_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* out() { return &value_; }
  T get() const { return value_; }

 private:
  krb5_context context_;
  T value_ = nullptr;
};

krb5_error_code free_principal(krb5_context c, krb5_principal p) {
  krb5_free_principal(c, p);
  return 0;
}
krb5_error_code free_options(krb5_context c, krb5_get_init_creds_opt* o) {
  krb5_get_init_creds_opt_free(c, o);
  return 0;
}

std::string message(krb5_context c, krb5_error_code code) {
  const char* m = krb5_get_error_message(c, code);
  std::string text = m != nullptr ? m : "Kerberos error " + std::to_string(code);
  krb5_free_error_message(c, m);
  return text;
}

}  // namespace

KerberosLogin::KerberosLogin(const Config& config)
    : keytab_(config.kerberos_keytab),
      principal_(config.kerberos_principal),
      cache_path_(config.state_dir + "/krb5cc") {}

bool KerberosLogin::login(std::string& error) {
  next_due_ms_ = now_ms() + kRetryMs;
  const std::string what = "cannot log in as " + principal_ + " from the keytab " + keytab_ + ": ";
  krb5_context raw = nullptr;
  if (krb5_init_context(&raw) != 0) {
    error = what + "no Kerberos context (is the Kerberos configuration readable?)";
    return false;
  }
  const Context context(raw);
  krb5_context c = context.get();

  Owned<krb5_principal, free_principal> client(c);
  Owned<krb5_keytab, krb5_kt_close> keytab(c);
  Owned<krb5_get_init_creds_opt*, free_options> options(c);
  krb5_error_code code = krb5_parse_name(c, principal_.c_str(), client.out());
  if (code == 0) code = krb5_kt_resolve(c, keytab_.c_str(), keytab.out());
  if (code == 0) code = krb5_get_init_creds_opt_alloc(c, options.out());
  krb5_creds creds{};
  if (code == 0) code = krb5_get_init_creds_keytab(c, &creds, client.get(), keytab.get(), 0, nullptr, options.get());
  if (code != 0) {
    error = what + message(c, code);
    return false;
  }

  // Written beside the cache and renamed over it: a reader sees the old
  // ticket or the new one, never a cache being filled.
  const std::string fresh = cache_path_ + ".new";
  std::remove(fresh.c_str());
  {
    Owned<krb5_ccache, krb5_cc_close> cache(c);
    code = krb5_cc_resolve(c, ("FILE:" + fresh).c_str(), cache.out());
    if (code == 0) code = krb5_cc_initialize(c, cache.get(), client.get());
    if (code == 0) code = krb5_cc_store_cred(c, cache.get(), &creds);
  }
  const krb5_timestamp start = creds.times.starttime != 0 ? creds.times.starttime : creds.times.authtime;
  const krb5_timestamp end = creds.times.endtime;
  krb5_free_cred_contents(c, &creds);
  if (code != 0) {
    std::remove(fresh.c_str());
    error = what + "cannot write the ticket cache " + fresh + ": " + message(c, code);
    return false;
  }
  if (std::rename(fresh.c_str(), cache_path_.c_str()) != 0) {
    std::remove(fresh.c_str());
    error = what + "cannot replace the ticket cache " + cache_path_;
    return false;
  }
  // Kerberos times are 32-bit seconds that wrap in 2106: read as unsigned.
  const std::int64_t start_ms = static_cast<std::int64_t>(static_cast<std::uint32_t>(start)) * 1000;
  expires_ms_ = static_cast<std::int64_t>(static_cast<std::uint32_t>(end)) * 1000;
  const std::int64_t life = expires_ms_ - start_ms;
  next_due_ms_ = std::max(start_ms + life * 4 / 5, now_ms() + kMinimumRefreshMs);
  return true;
}

}  // namespace kc
