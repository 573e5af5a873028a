// kc_kerberos.h - the container's own Kerberos identity.
//
// With KerberosKeytabPath and KerberosPrincipal set, the container logs in
// from the keytab into a ticket cache of its own under the state directory,
// and logs in again before the ticket runs out. The cache is the process's
// KRB5CCNAME, so every job's commands and every REST call (SPNEGO through
// libcurl) use it without knowing the keytab.
#ifndef BE_HADOOP_CONTAINER_KC_KERBEROS_H
#define BE_HADOOP_CONTAINER_KC_KERBEROS_H

#include <cstdint>
#include <string>

#include "kc_config.h"

namespace kc {

class KerberosLogin {
 public:
  explicit KerberosLogin(const Config& config);

  // "FILE:<state directory>/krb5cc": what KRB5CCNAME is set to.
  std::string cache_name() const { return "FILE:" + cache_path_; }
  const std::string& cache_path() const { return cache_path_; }

  // Gets a ticket from the keytab and replaces the cache with it in one
  // step, so a job never reads a half-written cache.
  bool login(std::string& error);

  // When the next login is due (ms since the epoch): four fifths into the
  // ticket's life, or a retry a while after a failed login.
  std::int64_t next_due_ms() const { return next_due_ms_; }
  // When the ticket in the cache expires (ms since the epoch), 0 before any.
  std::int64_t expires_ms() const { return expires_ms_; }

 private:
  std::string keytab_, principal_, cache_path_;
  std::int64_t next_due_ms_ = 0;
  std::int64_t expires_ms_ = 0;
};

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_KERBEROS_H
