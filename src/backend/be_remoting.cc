#include "be_remoting.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <memory>
#include <new>

#include "be_container.h"
#include "be_convert.h"
#include "be_loadfile.h"
#include "be_lock.h"
#include "gm_param.h"
#include "gm_str.h"
#include "gm_xml.h"
#include "hessian_exceptions.h"
#include "hessian_proxy.h"
#include "hessian_wrappers.h"
#include "http_transport.h"
#include "os_diag.h"
#include "os_time.h"
#include "pexapi_utl.h"

namespace {

const char kCall[] = "HessianRemoteAccessor::call";
const char kGetResponse[] = "HessianRemoteAccessor::getResponse";
const char kConfigurationRoot[] = "Configuration";
const PEXErrorCode kCallErrorCode = 1;

// The value of a decimal text that GM_STR_isunsignednumber accepted, held to
// [0, limit] so that an absurdly long number cannot overflow.
long bounded_value(const char *text, long limit) {
  long value = strtol(text, nullptr, 10);
  if (value < 0) return 0;
  return value > limit ? limit : value;
}

// Looks one child of Configuration up in the loaded file. False when the
// element is absent or empty, or the file does not parse: a half-parsed file
// must not yield values the rest of it might contradict.
bool lookup(const char *element, GM_PARAM_VALUE_typ value) {
  if (BE_ConfigurationFile::lookup(element, kConfigurationRoot, value) != KX_SUCCESS) return false;
  return value[0] != '\0';
}

bool lookup_unsigned(const char *element, GM_PARAM_VALUE_typ value) {
  return lookup(element, value) && GM_STR_isunsignednumber(value) == KX_SUCCESS;
}

bool port_open(const std::string &server, const std::string &port) {
  return ContainerConnectPortCheck(server.c_str(), port.c_str()) == 0;
}

// The one remote call. Every exception of the transport becomes the reason
// text of the failure.
PEXRC send(const std::string &server, const std::string &port, const std::string &path,
           const std::string &method, const char *text, long timeout_seconds,
           hessian::wrappers::Object *&response, PEXError *Error) {
  try {
    hessian::hessian_proxy proxy(server + ":" + port, path, false);
    if (timeout_seconds > 0) {
      DIAG_TRACE(4, "%s: RequestTimeout %ld seconds", kCall, timeout_seconds);
    } else {
      DIAG_TRACE(4, "%s: RequestTimeout 0: no limit", kCall);
    }
    proxy.set_timeout(timeout_seconds);
    hessian::wrappers::Binary argument{std::string(text)};
    std::unique_ptr<hessian::wrappers::Object> reply(proxy.call(method, 1, &argument));
    DIAG_TRACE(4, "Call succeeded...");
    const auto *binary = dynamic_cast<const hessian::wrappers::Binary *>(reply.get());
    if (binary != nullptr) {
      DIAG_TRACE(4, "Response of type String: %s", binary->value().c_str());
    }
    delete response;
    response = reply.release();
    return PEX_SUCCESS;
  } catch (const sslpp::exceptions::http_exception &e) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "http exception: %s", e.what());
  } catch (const hessian::exceptions::timeout_exception &e) {
    // Not the transport's wording: the agent's operator needs to know that
    // the container hung and which setting gave up on it.
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode,
                          "io exception: no answer from the container within %ld seconds; the "
                          "limit is RequestTimeout in %s (0: no limit)",
                          e.seconds(), BE_CONTAINER_CONF_FILE);
  } catch (const hessian::exceptions::io_exception &e) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "io exception: %s", e.what());
  } catch (const hessian::exceptions::fault_exception &e) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "hessian fault: %s", e.what());
  } catch (const std::exception &e) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "exception: %s", e.what());
  } catch (...) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "exception: %s", "unknown exception");
  }
  return PEX_FAIL;
}

// Puts the common prefix before whatever reason the record holds. The
// caller's record may come in uninitialised, so its text is read bounded.
void prefix_error(PEXError *Error) {
  char reason[PEX_ERROR_TEXT_SIZE];
  size_t len = strnlen(Error->text, sizeof Error->text - 1);
  memcpy(reason, Error->text, len);
  reason[len] = '\0';
  PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "Failed to create or connect to Container. %s",
                        reason);
}

}  // namespace

// Applied on every call so that an edit takes effect with the next request.
bool BE_read_container_configuration(ContainerSettings *settings) {
  GM_PARAM_VALUE_typ kx_dir;
  if (GM_PARAM_get("HADOOP", "KX_DIR", kx_dir) != KX_SUCCESS || kx_dir[0] == '\0') return false;

  char path[sizeof kx_dir + sizeof BE_CONTAINER_CONF_FILE + 16];
  int n = snprintf(path, sizeof path, "%s%c..%cdata%c%s", kx_dir, '/', '/', '/',
                   BE_CONTAINER_CONF_FILE);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;

  // Kept from call to call while the file stays the same: an edit still
  // counts from the next request.
  if (!BE_ConfigurationFile::load(path, BE_CONTAINER_CONF_SIZE)) return false;

  GM_PARAM_VALUE_typ value;
  if (lookup("ContainerHost", value)) settings->server = value;
  if (lookup_unsigned("Port", value)) settings->port = value;
  if (lookup_unsigned("RecoveryMaxRetry", value)) {
    settings->probes = static_cast<int>(bounded_value(value, INT_MAX));
  }
  if (lookup_unsigned("RecoveryRetrySleepTime", value)) {
    settings->sleep_seconds = bounded_value(value, LONG_MAX) / 1000;
  }
  if (lookup_unsigned("RequestTimeout", value)) {
    settings->timeout_seconds = bounded_value(value, LONG_MAX);
  }
  // Recognised, but the container is started whatever it says: an agent
  // that cannot reach its container has nothing else to fall back on.
  if (lookup("EnableRecovery", value) && strcmp(value, "false") == 0) {
    DIAG_TRACE(4, "%s: EnableRecovery is false; the container is still started when down", kCall);
  }
  return true;
}

RemoteAccessorInterface::RemoteAccessorInterface(std::string port, std::string method_name,
                                                 std::string server, std::string url)
    : m_port(std::move(port)),
      m_method_name(std::move(method_name)),
      m_server(std::move(server)),
      m_url(std::move(url)) {}

RemoteAccessorInterface::~RemoteAccessorInterface() = default;

HessianRemoteAccessor::HessianRemoteAccessor(std::string port, std::string method_name,
                                             std::string server, std::string url)
    : RemoteAccessorInterface(std::move(port), std::move(method_name), std::move(server),
                              std::move(url)),
      m_response(nullptr) {}

// A handler that leaves early would otherwise leak the reply; after
// deleteResponse there is nothing left to release.
HessianRemoteAccessor::~HessianRemoteAccessor() { deleteResponse(); }

void HessianRemoteAccessor::deleteResponse() {
  delete m_response;
  m_response = nullptr;
}

PEXRC HessianRemoteAccessor::call(const char *request, PEXError *Error) {
  PEXError scratch;
  if (Error == nullptr) {
    memset(&scratch, 0, sizeof scratch);
    Error = &scratch;
  }
  int attempt = -1;  // -1 until a start has succeeded
  PEXRC result = PEX_SUCCESS;
  ContainerSettings settings;
  std::unique_ptr<char[]> converted;
  const char *text = request;

  DIAG_TRACE(4, "HessianRemoteAccessor::call");

  try {
    settings.server = m_server;
    settings.port = m_port;
    BE_read_container_configuration(&settings);
    m_server = settings.server;
    m_port = settings.port;

    if (request == nullptr) {
      // A request document that could not be built arrives as null.
      PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "%s, no request document to send", kCall);
      result = PEX_FAIL;
    } else {
      if (!isI18nDefined()) {
        size_t size = 3 * strlen(request) + 3;
        converted.reset(new (std::nothrow) char[size]);
        if (converted) {
          DIAG_TRACE(4, "%s: Allocated memory for UTF-8 conversion", kCall);
          if (BE_UTIL_convert_UTF8_Latin1(request, converted.get(), size,
                                          BE_UTIL_LATIN1_TO_UTF8) == KX_SUCCESS) {
            text = converted.get();
          } else {
            DIAG_TRACE(2, "%s: Failed to convert, request will remain as is", kCall);
          }
        } else {
          DIAG_TRACE(2, "%s: Failed to convert, request will remain as is", kCall);
        }
      }

      // Whatever built the text, the container must get a well-formed
      // document: one that XML cannot read is refused here, before a
      // container is started for it.
      const long bad = GM_xml_unwritable_offset(text, strlen(text), 1);
      if (bad >= 0) {
        PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode,
                              "%s, request document not sent: it holds the byte 0x%02X at offset "
                              "%ld, which an XML 1.0 document in UTF-8 cannot carry",
                              kCall, static_cast<unsigned>(static_cast<unsigned char>(text[bad])),
                              bad);
        result = PEX_FAIL;
      } else if (!port_open(m_server, m_port)) {
        if (LockCriticalSection() != PEX_SUCCESS) {
          PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode,
                                "HessianRemoteAccessor::call, failed to lock critical section");
          result = PEX_FAIL;
        } else {
          // Another process may have started it while this one waited.
          if (!port_open(m_server, m_port)) {
            if (StartContainer(Error) != PEX_SUCCESS) {
              result = PEX_FAIL;
            } else {
              for (attempt = 0; attempt < settings.probes; ++attempt) {
                DIAG_TRACE(4, "connecting attempt to port %s", m_port.c_str());
                if (port_open(m_server, m_port)) {
                  result = PEX_SUCCESS;
                  break;
                }
                result = PEX_FAIL;
                OS_TIME_sleep(settings.sleep_seconds);
              }
            }
          }
          if (UnLockCriticalSection() != PEX_SUCCESS) {
            PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode,
                                  "HessianRemoteAccessor::call, failed to unlock critical section");
            result = PEX_FAIL;
          }
        }
      }

      if (result == PEX_SUCCESS && port_open(m_server, m_port)) {
        result = send(m_server, m_port, m_url, m_method_name, text, settings.timeout_seconds,
                      m_response, Error);
      } else {
        if (attempt == settings.probes) {
          PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "Container connect retries exceeded");
        }
        result = PEX_FAIL;
      }
    }
  } catch (const std::exception &e) {
    PEXAPI_UTILS_ErrorSet(Error, kCallErrorCode, "exception: %s", e.what());
    result = PEX_FAIL;
  }

  if (result == PEX_FAIL) prefix_error(Error);

  if (converted) {
    converted.reset();
    DIAG_TRACE(4, "%s: Released memory allocation required for UTF-8 conversion", kCall);
  }
  return result;
}

std::string HessianRemoteAccessor::responseKind() const {
  if (m_response == nullptr) return std::string();
  try {
    return m_response->classname();
  } catch (const std::exception &) {
    return std::string();
  }
}

std::string HessianRemoteAccessor::getResponse() {
  const auto *binary = dynamic_cast<const hessian::wrappers::Binary *>(m_response);
  if (binary == nullptr) {
    if (m_response != nullptr) {
      DIAG_TRACE(2, "%s: the reply is a Hessian %s, not a binary value: taken as an empty answer",
                 kGetResponse, responseKind().c_str());
    }
    return std::string();
  }
  try {
    const std::string &text = binary->value();
    size_t size = text.size() + 1;
    std::unique_ptr<char[]> buffer(new char[size]);
    DIAG_TRACE(4, "%s: Allocated <%d> bytes for temporarly containing the response",
               kGetResponse, static_cast<int>(size));
    std::string result;
    if (isI18nDefined()) {
      result = text;
    } else if (BE_UTIL_convert_UTF8_Latin1(text.c_str(), buffer.get(), size,
                                           BE_UTIL_UTF8_TO_LATIN1) == KX_SUCCESS) {
      result = buffer.get();
    } else {
      DIAG_TRACE(2, "%s: Failed to convert, data will remain as is", kGetResponse);
      result = text;
    }
    buffer.reset();
    DIAG_TRACE(4, "%s: Freed <%d> bytes which were allocated for temporarly containing the response",
               kGetResponse, static_cast<int>(size));
    return result;
  } catch (const std::exception &e) {
    DIAG_ERROR("%s: %s", kGetResponse, e.what());
    return std::string();
  }
}
