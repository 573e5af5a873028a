#include "be_container.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "be_loadfile.h"
#include "gm_param.h"
#include "gm_xml.h"
#include "os_diag.h"
#include "os_time.h"
#include "pexapi_utl.h"

namespace {

const char kFallbackAddress[] = "127.0.0.1";
const char kDefaultDebugLevel[] = "0";

// Closes a socket descriptor when the probe leaves.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Both values are pasted into a shell command line as they are. Restricting
// them to characters no shell gives a meaning keeps the command texts
// exactly as documented while making sure nothing else can run.
bool is_safe_dir_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '/' || c == '.' || c == '_' || c == '+' || c == '-';
}

bool is_safe_dir(const char* dir) {
  // A leading '-' would turn into an option of "ls -ld".
  if (dir[0] == '\0' || dir[0] == '-') return false;
  for (const char* p = dir; *p != '\0'; ++p) {
    if (!is_safe_dir_char(*p)) return false;
  }
  return true;
}

bool is_digits(const char* text) {
  if (text[0] == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

PEXRC refuse(PEXError* Error, const char* text) {
  DIAG_ERROR("%s", text);
  PEXAPI_UTILS_ErrorSet(Error, 1, "%s", text);
  return PEX_FAIL;
}

// HADOOP / KX_DIR into dir; false when it is missing or empty.
bool get_container_dir(char* dir) {
  return GM_PARAM_get("HADOOP", "KX_DIR", dir) == KX_SUCCESS && dir[0] != '\0';
}

}  // namespace

extern "C" struct sockaddr_in getInetAddress(const char* host) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  if (host != NULL && inet_aton(host, &addr.sin_addr) != 0) return addr;

  if (host != NULL) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = NULL;
    if (getaddrinfo(host, NULL, &hints, &found) == 0 && found != NULL) {
      const struct sockaddr_in* first =
          reinterpret_cast<const struct sockaddr_in*>(found->ai_addr);
      addr.sin_family = first->sin_family;
      addr.sin_addr = first->sin_addr;
      freeaddrinfo(found);
      return addr;
    }
    if (found != NULL) freeaddrinfo(found);
  }

  DIAG_TRACE(2, "Unable to translate host <%s>, using <%s> instead", host ? host : "(null)",
             kFallbackAddress);
  inet_aton(kFallbackAddress, &addr.sin_addr);
  return addr;
}

extern "C" int ContainerConnectPortCheck(const char* host, const char* port) {
  DIAG_TRACE(4, "ContainerConnectPortCheck: address '%s' port '%s'", host ? host : "(null)",
             port ? port : "(null)");

  struct sockaddr_in addr = getInetAddress(host);
  // Read up to the first non-digit, as the configuration has always been
  // read; only a number that is no port at all is refused.
  const long number = port != NULL ? strtol(port, NULL, 10) : 0;
  if (number < 0 || number > 65535) {
    DIAG_TRACE(4, "ContainerConnectPortCheck: Failed.");
    return 1;
  }
  addr.sin_port = htons(static_cast<uint16_t>(number));

  Socket sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0 ||
      connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
    DIAG_TRACE(4, "ContainerConnectPortCheck: Failed.");
    return 1;
  }
  DIAG_TRACE(4, "ContainerConnectPortCheck: Succeeded.");
  return 0;
}

extern "C" int isKerberosMode(void) {
  DIAG_TRACE(4, "isKerberosMode");

  GM_PARAM_VALUE_typ dir;
  if (get_container_dir(dir)) {
    PATHNAME_D_typ path;
    const int len = snprintf(path, sizeof path, "%s%c..%cdata%c%s", dir, '/', '/', '/',
                             BE_CONTAINER_CONF_FILE);
    if (len > 0 && static_cast<size_t>(len) < sizeof path &&
        BE_ConfigurationFile::load(path, BE_CONTAINER_CONF_SIZE)) {
      GM_PARAM_VALUE_typ keytab;
      GM_PARAM_VALUE_typ principal;
      BE_ConfigurationFile::lookup("KerberosKeytabPath", "Configuration", keytab);
      BE_ConfigurationFile::lookup("KerberosPrincipal", "Configuration", principal);
      if (keytab[0] != '\0' && principal[0] != '\0') {
        DIAG_TRACE(4, "Identified Kerberos Mode");
        return 1;
      }
    }
  }
  DIAG_TRACE(4, "Not in Kerberos Mode");
  return 0;
}

extern "C" PEXRC BE_INF_build_container_command(const char* kx_dir, const char* dbglvl,
                                                int as_root, int kerberos, char* command,
                                                size_t size, PEXError* Error) {
  if (command == NULL || size == 0) {
    return refuse(Error, "StartContainer: no buffer for the container start command");
  }
  command[0] = '\0';
  if (kx_dir == NULL || dbglvl == NULL) {
    return refuse(Error, "StartContainer: container directory or debug level missing");
  }
  char reason[PEX_ERROR_TEXT_SIZE];
  if (!is_safe_dir(kx_dir)) {
    snprintf(reason, sizeof reason,
             "StartContainer: refusing container directory '%.200s': only letters, digits and "
             "/._+- are allowed, and no leading -",
             kx_dir);
    return refuse(Error, reason);
  }
  if (!is_digits(dbglvl)) {
    snprintf(reason, sizeof reason,
             "StartContainer: refusing debug level '%.200s': digits only are allowed", dbglvl);
    return refuse(Error, reason);
  }

  int needed;
  if (as_root && kerberos) {
    needed = snprintf(command, size, "su `ls -ld %s | awk '{print $3}'` -c 'nohup %s/%s start %s &'",
                      kx_dir, kx_dir, BE_CONTAINER_SCRIPT, dbglvl);
  } else {
    needed = snprintf(command, size, "%s/%s start %s &", kx_dir, BE_CONTAINER_SCRIPT, dbglvl);
  }
  if (needed < 0 || static_cast<size_t>(needed) >= size) {
    command[0] = '\0';
    snprintf(reason, sizeof reason,
             "StartContainer: the container start command needs %d characters, more than the "
             "%d that fit",
             needed, static_cast<int>(size) - 1);
    return refuse(Error, reason);
  }
  return PEX_SUCCESS;
}

extern "C" PEXRC StartContainer(PEXError* Error) {
  DIAG_TRACE(4, "StartContainer");

  GM_PARAM_VALUE_typ level;
  if (GM_PARAM_get("CONFIG", "DBGLVL", level) != KX_SUCCESS || level[0] == '\0') {
    snprintf(level, sizeof level, "%s", kDefaultDebugLevel);
  }
  GM_PARAM_VALUE_typ dir;
  if (!get_container_dir(dir)) {
    PEXAPI_UTILS_ErrorSet(Error, 1, "cannot get %s", "KX_DIR");
    return PEX_FAIL;
  }

  const int as_root = getuid() == 0;
  int kerberos = 0;
  if (as_root) {
    DIAG_TRACE(4, "Agent is root");
    kerberos = isKerberosMode();
  } else {
    DIAG_TRACE(4, "Agent is non-root");
  }

  char command[BE_CONTAINER_COMMAND_SIZE];
  if (BE_INF_build_container_command(dir, level, as_root, kerberos, command, sizeof command,
                                     Error) != PEX_SUCCESS) {
    return PEX_FAIL;
  }

  DIAG_TRACE(4, "StartContainer - starting container. Unix command line [%s]", command);
  // The script puts the container in the background, so the shell returns
  // at once; its exit status says nothing about the container.
  if (system(command) == -1) {
    PEXAPI_UTILS_ErrorSet(Error, 1, "Failed to create Container process.");
    return PEX_FAIL;
  }
  DIAG_TRACE(4, "StartContainer: Succeeded starting Container.");
  OS_TIME_sleep(BE_CONTAINER_START_PAUSE);
  return PEX_SUCCESS;
}
