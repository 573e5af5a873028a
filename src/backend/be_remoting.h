/*
 * be_remoting.h - delivery of one request document to the container and
 * the text of its answer.
 *
 * Typical use, on the caller's stack for one entry-point call:
 *
 *   HessianRemoteAccessor accessor(BE_REMOTE_PORT, BE_REMOTE_METHOD,
 *                                  BE_REMOTE_SERVER, BE_REMOTE_PATH);
 *   PEXRC rc = accessor.call(xml, Error);     // Error set on PEX_FAIL
 *   if (rc == PEX_SUCCESS) {
 *     std::string answer = accessor.getResponse();   // agent's code page
 *     ...
 *   }
 *   accessor.deleteResponse();
 *
 * Before it sends, call makes sure the container listens on its port and,
 * when it does not, starts it (once per host at a time, under the
 * cross-process lock) and waits for the port. Every call re-reads the
 * container configuration file "<KX_DIR>/../data/kx_container_conf.xml",
 * root element Configuration, whose children may override:
 *   ContainerHost           host name or address (any non-empty text)
 *   Port                    port, unsigned decimal
 *   RecoveryMaxRetry        port probes after a start (default 3)
 *   RecoveryRetrySleepTime  milliseconds between probes, used in whole
 *                           seconds, truncated (default 3000)
 *   RequestTimeout          seconds the remote call itself may take,
 *                           connection included (default
 *                           BE_REMOTE_DEFAULT_TIMEOUT); 0: no limit. A call
 *                           that runs out of time fails with "io exception:
 *                           no answer from the container within <n>
 *                           seconds; the limit is RequestTimeout in
 *                           kx_container_conf.xml (0: no limit)".
 * A value that is empty or not an unsigned decimal leaves the default; a
 * file that is missing, too large or not well-formed leaves all defaults.
 * EnableRecovery is read and traced but changes nothing.
 *
 * C++ only: the action handlers are C++ translation units. Nothing here
 * throws; every failure comes back as PEX_FAIL with the error record set.
 */
#ifndef BE_HADOOP_BACKEND_BE_REMOTING_H
#define BE_HADOOP_BACKEND_BE_REMOTING_H

#include <string>
#include <utility>

#include "pexapi.h"

/* The container's service as every caller constructs the accessor. */
#define BE_REMOTE_PORT "38980"
#define BE_REMOTE_METHOD "invoke"
#define BE_REMOTE_SERVER "localhost"
#define BE_REMOTE_PATH "/KxService"
/* Seconds a remote call may take when the configuration sets no
 * RequestTimeout. No action keeps the container busy for more than moments
 * (jobs run on in the cluster after the answer), so five minutes is a wide
 * margin: a container slower than that is hung, and the agent process must
 * not hang with it. */
#define BE_REMOTE_DEFAULT_TIMEOUT 300

/* What the container configuration file sets for a call. */
struct ContainerSettings {
  std::string server;        /* ContainerHost */
  std::string port;          /* Port */
  int probes = 3;            /* RecoveryMaxRetry: port probes after a start */
  long sleep_seconds = 3;    /* RecoveryRetrySleepTime / 1000: between probes */
  long timeout_seconds = BE_REMOTE_DEFAULT_TIMEOUT; /* RequestTimeout; 0: no limit */
};

/* Reads the container configuration file as every call does and applies
 * the elements above that it holds to *settings, which keeps what the file
 * does not set. false, with *settings untouched, when HADOOP / KX_DIR is
 * missing or the file is missing, too large or never ends (the loader's
 * limits); a file that is not well-formed changes nothing either. */
bool BE_read_container_configuration(ContainerSettings *settings);

namespace hessian {
namespace wrappers {
class Object;
}  // namespace wrappers
}  // namespace hessian

/* A remote service reached by host, port, service path and method name. */
class RemoteAccessorInterface {
 public:
  RemoteAccessorInterface(std::string port, std::string method_name, std::string server,
                          std::string url);

  /* Sends the NUL-terminated request text and keeps the answer.
   * PEX_SUCCESS when the service answered; PEX_FAIL with Error set (code 1)
   * otherwise. */
  virtual PEXRC call(const char *request, PEXError *Error) = 0;

  /* The answer of the last successful call as text in the agent's code
   * page; empty when there is none. */
  virtual std::string getResponse() = 0;

  virtual ~RemoteAccessorInterface();

  /* Getters return a copy; setters replace the value. */
  std::string get_port() const { return m_port; }
  void set_port(std::string port) { m_port = std::move(port); }
  std::string get_method_name() const { return m_method_name; }
  void set_method_name(std::string method_name) { m_method_name = std::move(method_name); }
  std::string get_server() const { return m_server; }
  void set_server(std::string server) { m_server = std::move(server); }
  std::string get_url() const { return m_url; }
  void set_url(std::string url) { m_url = std::move(url); }

 protected:
  std::string m_port;        /* container port, decimal text */
  std::string m_method_name; /* remote method name */
  std::string m_server;      /* container host name or address */
  std::string m_url;         /* service path */
};

/* The container reached by Hessian over plain HTTP. Not copyable: it owns
 * the reply object of its last successful call. */
class HessianRemoteAccessor : public RemoteAccessorInterface {
 public:
  /* m_response starts empty. */
  HessianRemoteAccessor(std::string port, std::string method_name, std::string server,
                        std::string url);
  HessianRemoteAccessor(const HessianRemoteAccessor &) = delete;
  HessianRemoteAccessor &operator=(const HessianRemoteAccessor &) = delete;

  /* Reads the configuration file (which may replace m_server and m_port
   * for this and later calls), converts request from Latin-1 to UTF-8
   * unless CONFIG / I18N is "CJK" (an unconvertible text is sent as it is),
   * probes the port, starts the container when it is closed, and calls
   * m_method_name with the text as its one binary argument.
   * PEX_SUCCESS when the container answered, whatever the type of the
   * answer; the reply replaces the one held before. PEX_FAIL with Error set
   * to "Failed to create or connect to Container. <reason>" (code 1) when
   * the container cannot be reached or started, the transport or the
   * service fails, request is null, or request (after the conversion)
   * holds a byte that an XML 1.0 document in UTF-8 cannot carry (the reason
   * then reads "HessianRemoteAccessor::call, request document not sent: it
   * holds the byte 0x<hh> at offset <k>, which an XML 1.0 document in UTF-8
   * cannot carry"; nothing is sent and no container is started for it); the
   * reply held before stays. Error
   * may be null (the reason then reaches the log only). Blocks for the
   * whole exchange: the lock wait, 5 seconds after a start, the probes and
   * their sleeps, and the call itself (bounded by RequestTimeout). */
  PEXRC call(const char *request, PEXError *Error) override;

  /* The binary answer held, converted from UTF-8 to Latin-1 unless in I18N
   * mode (an unconvertible answer is returned as it is, stopping at a zero
   * byte only when converted); empty when no answer is held or it is not a
   * binary value (traced at level 2). The answer stays held. */
  std::string getResponse() override;

  /* The Hessian type of the reply held ("Binary" for an answer document;
   * "Null", "String", "Integer", ... for a reply of another type), empty
   * when none is held. Lets a caller tell the agent why an answer was
   * empty. */
  std::string responseKind() const;

  /* Releases a reply still held. */
  ~HessianRemoteAccessor() override;

  /* Releases the reply held, if any; getResponse is empty afterwards. */
  virtual void deleteResponse();

 protected:
  hessian::wrappers::Object *m_response; /* reply of the last successful call, or null */
};

#endif /* BE_HADOOP_BACKEND_BE_REMOTING_H */
