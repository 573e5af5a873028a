// kdc.h - a real Kerberos KDC (Debian's MIT krb5kdc) for one test program.
//
// The realm KX.TEST lives in a directory of its own: its database, its
// configuration (kdc.conf, krb5.conf) and its log. The KDC listens on a
// free loopback port; KRB5_CONFIG points this process and everything it
// starts at the realm (see use()). Stopped by its pid when the object goes.
#ifndef BE_HADOOP_TESTS_SUPPORT_KDC_H
#define BE_HADOOP_TESTS_SUPPORT_KDC_H

#include <sys/types.h>

#include <string>

namespace kxtest {

class Kdc {
 public:
  explicit Kdc(std::string dir);
  ~Kdc();
  Kdc(const Kdc&) = delete;
  Kdc& operator=(const Kdc&) = delete;

  // Empty once the KDC answers; else why it does not.
  const std::string& error() const { return error_; }
  static const char* realm() { return "KX.TEST"; }
  const std::string& dir() const { return dir_; }

  // Points KRB5_CONFIG (and the KDC's profile) at the realm again, for a
  // test whose environment was reset since the KDC started.
  void use() const;

  // Adds name@KX.TEST with a random key and writes its key to keytab.
  // max_life_seconds > 0 caps its tickets' life. False (with error())
  // when kadmin refuses.
  bool add_principal(const std::string& name, const std::string& keytab, int max_life_seconds = 0);

 private:
  bool admin(const std::string& query);

  std::string dir_;
  pid_t pid_ = 0;
  std::string error_;
};

}  // namespace kxtest

#endif  // BE_HADOOP_TESTS_SUPPORT_KDC_H
