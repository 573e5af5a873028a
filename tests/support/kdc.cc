#include "kdc.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "test_container.h"

namespace kxtest {

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Runs a command line through the shell, its output into the realm's log.
int shell(const std::string& command, const std::string& log) {
  const int status = std::system((command + " >>" + log + " 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Kdc::Kdc(std::string dir) : dir_(std::move(dir)) {
  const int port = free_loopback_port();
  const std::string p = std::to_string(port);
  write(dir_ + "/kdc.conf",
        "[kdcdefaults]\n kdc_listen = 127.0.0.1:" + p + "\n kdc_tcp_listen = 127.0.0.1:" + p +
            "\n[realms]\n KX.TEST = {\n  database_name = " + dir_ + "/principal\n  key_stash_file = " + dir_ +
            "/stash\n  acl_file = " + dir_ +
            "/kadm5.acl\n  max_life = 10h\n  supported_enctypes = aes256-cts-hmac-sha1-96:normal "
            "aes128-cts-hmac-sha1-96:normal\n }\n[logging]\n kdc = FILE:" +
            dir_ + "/kdc.log\n");
  // Names are taken as written: a host name is never looked up, so
  // HTTP/127.0.0.1 is the service a client of http://127.0.0.1 asks for.
  write(dir_ + "/krb5.conf",
        "[libdefaults]\n default_realm = KX.TEST\n dns_lookup_realm = false\n dns_lookup_kdc = false\n"
        " rdns = false\n dns_canonicalize_hostname = false\n udp_preference_limit = 1\n"
        "[realms]\n KX.TEST = {\n  kdc = 127.0.0.1:" +
            p + "\n }\n[domain_realm]\n 127.0.0.1 = KX.TEST\n");
  write(dir_ + "/kadm5.acl", "");
  use();
  const std::string log = dir_ + "/setup.log";
  if (shell("kdb5_util -r KX.TEST create -s -P kx-master-key", log) != 0) {
    error_ = "kdb5_util could not create the realm; see " + log;
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test program that dies before its destructors runs takes the KDC along.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::execlp("krb5kdc", "krb5kdc", "-n", "-r", "KX.TEST", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) {
    pid_ = 0;
    error_ = "cannot fork the KDC";
    return;
  }
  // Up once it accepts a TCP connection on its port.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!port_accepts(port)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      error_ = "krb5kdc ended at its start; see " + dir_ + "/kdc.log";
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error_ = "krb5kdc does not listen on port " + p;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Kdc::use() const {
  ::setenv("KRB5_CONFIG", (dir_ + "/krb5.conf").c_str(), 1);
  ::setenv("KRB5_KDC_PROFILE", (dir_ + "/kdc.conf").c_str(), 1);
}

Kdc::~Kdc() { stop_pid(pid_); }

bool Kdc::admin(const std::string& query) {
  if (shell("kadmin.local -r KX.TEST -q '" + query + "'", dir_ + "/setup.log") != 0) {
    error_ = "kadmin.local refused: " + query;
    return false;
  }
  return true;
}

bool Kdc::add_principal(const std::string& name, const std::string& keytab, int max_life_seconds) {
  std::string add = "addprinc -randkey";
  if (max_life_seconds > 0) add += " -maxlife \"" + std::to_string(max_life_seconds) + " seconds\"";
  return admin(add + " " + name) && admin("ktadd -k " + keytab + " -norandkey " + name);
}

}  // namespace kxtest
