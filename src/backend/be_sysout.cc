// be_sysout.cc - a job's output: the output actions, the block and statement
// reads through an open handle, and the permissions of the output file.
//
// Every request builds, uses and drops its own accessor and request text, on
// this call's stack, so every way out (an exception included) releases them.
#include "be_sysout.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <exception>
#include <new>
#include <string>

#include "be_handler.h"
#include "be_remoting.h"
#include "be_requests.h"
#include "gm_param.h"
#include "gm_str.h"
#include "os_diag.h"
#include "os_file.h"
#include "pexapi_utl.h"

namespace {

using be_backend::AnswerAttributes;
using be_backend::answer_reports_error;
using be_backend::answer_to_attributes;
using be_backend::explain_untranslatable;
using be_backend::guard_entry;
using be_backend::RequestText;

const char kActionFnc[] = "PEXAPI_SYSOUT_ACTION";
const char kOpenFnc[] = "PEXAPI_SYSOUT_DATA_OPEN";
const char kReadFnc[] = "PEXAPI_SYSOUT_DATA_READ";
const char kCloseFnc[] = "PEXAPI_SYSOUT_DATA_CLOSE";
const char kChmodFnc[] = "BE_SYSOUT_chmod_sysout";
const char kNavigate[] = "NAVIGATE";
const char kSysoutMode[] = "SYSOUT_MODE";

// The agent's output actions; each goes to the container as SYSOUT_<action>.
const char *const kOutputActions[] = {"CLEAR", "F", "N", "D"};

bool is_output_action(const char *action) {
  if (action == nullptr) return false;
  for (const char *name : kOutputActions) {
    if (strcmp(action, name) == 0) return true;
  }
  return false;
}

// The container's answer and the Hessian type of the reply it came in.
struct Answer {
  std::string text;
  std::string reply_kind;
};

// Renders the request and sends it; on PEX_SUCCESS *response holds the
// answer and the reply object is already released.
PEXRC send_request(RequestGeneratorInterface &request, const char *fnc, PEXError *Error,
                   Answer *response) {
  RequestText reqXML(request.toXml(true));
  if (reqXML.get() == nullptr) {
    // A request that cannot be built is never sent; the agent learns why.
    PEXAPI_UTILS_ErrorSet(Error, PEX_FAIL, "%s: %s", fnc, request.refusal());
    return PEX_FAIL;
  }
  HessianRemoteAccessor remoting(BE_REMOTE_PORT, BE_REMOTE_METHOD, BE_REMOTE_SERVER,
                                 BE_REMOTE_PATH);
  const PEXRC rc = remoting.call(reqXML.get(), Error);
  if (rc != PEX_SUCCESS) return rc;
  response->text = remoting.getResponse();
  response->reply_kind = remoting.responseKind();
  remoting.deleteResponse();
  return PEX_SUCCESS;
}

// Sends one read: as send_request, and PEX_EOS for an empty answer, which
// ends the output.
PEXRC send_read(RequestGeneratorInterface &request, PEXError *Error, Answer *response) {
  const PEXRC rc = send_request(request, kReadFnc, Error, response);
  if (rc != PEX_SUCCESS) return rc;
  if (response->text.empty()) {
    DIAG_TRACE(4, "End of sysout");
    return PEX_EOS;
  }
  return PEX_SUCCESS;
}

uint64_t read_offset(const char *value) {
  // Beyond the 64-bit range strtoull gives all bits set, which is the end.
  return strtoull(value, nullptr, 10);
}

int attribute_capacity(PEXAttrList *list, const char *name, bool *present) {
  int size = 0;
  *present = PEXAPI_UTILS_AttrListValueSizeGet(list, name, &size) == PEX_SUCCESS;
  return *present ? size : 0;
}

PEXRC sysout_action(const char *Action, PEXAttrList *AttributesIn, PEXError *Error) {
  DIAG_TRACE(3, "%s", kActionFnc);
  DIAG_TRACE(4, "Action: '%s'", Action != nullptr ? Action : "");
  if (!is_output_action(Action)) return PEX_NOT_SUPPORTED;

  const std::string action = std::string("SYSOUT_") + Action;
  GenericRequest request(action.c_str(), AttributesIn);
  Answer response;
  const PEXRC rc = send_request(request, kActionFnc, Error, &response);
  if (rc != PEX_SUCCESS) return rc;
  if (answer_reports_error(response.text, kActionFnc, "sysout handle response", Error)) {
    return PEX_FAIL;
  }
  return PEX_SUCCESS;
}

PEXRC read_block(BE_INF_sysout_handle *handle, PEXAttrList *AttributesOut, int block_size,
                 PEXError *Error) {
  RequestSysout request("SYSOUT_GET", handle->jobAttrList,
                        static_cast<unsigned long>(handle->offset), block_size, 0);
  Answer response;
  PEXRC rc = send_read(request, Error, &response);
  if (rc != PEX_SUCCESS) return rc;
  if (answer_reports_error(response.text, kReadFnc, "sysout get response", Error)) return PEX_FAIL;

  AnswerAttributes answer;
  rc = answer_to_attributes(response.text, &answer);
  if (rc != PEX_SUCCESS) {
    explain_untranslatable(kReadFnc, response.reply_kind, Error);
    return rc;
  }

  const char *text = answer.find("SYSOUT_TEXT");
  if (text != nullptr) PEXAPI_UTILS_AttrListValueSet(AttributesOut, "TEXT", text);

  const char *offset = answer.find("SYSOUT_OFFSET");
  if (offset == nullptr) {
    DIAG_TRACE(2, "Failed to keep track of sysout read offset");
    PEXAPI_UTILS_ErrorSet(Error, 1,
                          "%s: the container's answer to SYSOUT_GET holds no SYSOUT_OFFSET, so "
                          "the read cannot go on",
                          kReadFnc);
    return PEX_FAIL;
  }
  if (offset[0] == '\0' || offset[0] == '-') {
    handle->offset = BE_SYSOUT_OFFSET_END;
    return PEX_EOS;  // the last block comes with the end
  }
  handle->offset = read_offset(offset);
  return PEX_SUCCESS;
}

PEXRC read_statement(BE_INF_sysout_handle *handle, PEXAttrList *AttributesOut, int stmt_size,
                     PEXError *Error) {
  bool has_oncode = false;
  const int block_size = attribute_capacity(AttributesOut, "ONCODE", &has_oncode);
  RequestSysout request("SYSOUT_ONSTMT", handle->jobAttrList,
                        static_cast<unsigned long>(handle->offset), block_size, stmt_size);
  Answer response;
  PEXRC rc = send_read(request, Error, &response);
  if (rc != PEX_SUCCESS) return rc;

  // Statement answers are not checked for an error report.
  AnswerAttributes answer;
  rc = answer_to_attributes(response.text, &answer);
  if (rc != PEX_SUCCESS) {
    explain_untranslatable(kReadFnc, response.reply_kind, Error);
    return rc;
  }

  const char *stmt = answer.find("ONSTMT");
  if (stmt != nullptr && stmt[0] != '\0') {
    PEXAPI_UTILS_AttrListValueSet(AttributesOut, "ONSTMT", stmt);
  }
  const char *code = answer.find("ONCODE");
  if (code != nullptr) PEXAPI_UTILS_AttrListValueSet(AttributesOut, "ONCODE", code);
  const char *offset = answer.find("SYSOUT_OFFSET");
  if (offset != nullptr) handle->offset = read_offset(offset);
  return PEX_SUCCESS;
}

PEXRC sysout_read(void *Handle, PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                  PEXError *Error) {
  DIAG_TRACE(3, "%s", kReadFnc);

  char *navigate = nullptr;
  const PEXRC lookup_rc = PEXAPI_UTILS_AttrListValueGet(AttributesIn, kNavigate, &navigate);
  if (lookup_rc != PEX_SUCCESS) {
    PEXAPI_UTILS_ErrorSet(Error, lookup_rc, "keyword %s not found", kNavigate);
    return lookup_rc;
  }
  if (navigate == nullptr || strcmp(navigate, "NEXT") != 0) {
    PEXAPI_UTILS_ErrorSet(Error, 1, "'%s' value '%s' is invalid", kNavigate,
                          navigate != nullptr ? navigate : "");
    return PEX_FAIL;
  }

  bool has_text = false, has_stmt = false;
  const int text_size = attribute_capacity(AttributesOut, "TEXT", &has_text);
  const int stmt_size = has_text ? 0 : attribute_capacity(AttributesOut, "ONSTMT", &has_stmt);
  if (!has_text && !has_stmt) return PEX_SUCCESS;

  BE_INF_sysout_handle *handle = static_cast<BE_INF_sysout_handle *>(Handle);
  if (handle == nullptr) {
    PEXAPI_UTILS_ErrorSet(Error, PEX_FAIL, "%s: invalid sysout handle", kReadFnc);
    return PEX_FAIL;
  }
  return has_text ? read_block(handle, AttributesOut, text_size, Error)
                  : read_statement(handle, AttributesOut, stmt_size, Error);
}

// RUNNO as a decimal int from its leading digits (0 without any), with the
// int range saturated instead of overflowing.
int read_runno(const char *text) {
  const long n = strtol(text, nullptr, 10);
  if (n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<int>(n);
}

// The mode as "%o" reads it: an optional sign, then octal digits up to the
// first other character. False when no digit can be read or the digits do
// not fit an unsigned int; the mode is then unusable rather than undefined.
bool read_octal_mode(const char *text, mode_t *mode) {
  const char *p = text;
  if (*p == '+' || *p == '-') ++p;
  uint64_t n = 0;
  const char *digits = p;
  for (; *p >= '0' && *p <= '7'; ++p) {
    n = n * 8 + static_cast<uint64_t>(*p - '0');
    if (n > UINT32_MAX) return false;
  }
  if (p == digits) return false;
  *mode = static_cast<mode_t>(n);
  return true;
}

KX_RC chmod_sysout(PEXAttrList *AttributesIn) {
  DIAG_TRACE(3, ">>> %s", kChmodFnc);

  char *orderno = nullptr;
  if (PEXAPI_UTILS_AttrListValueGet(AttributesIn, "ORDERNO", &orderno) != PEX_SUCCESS ||
      orderno == nullptr) {
    DIAG_TRACE(2, "Failed to retrieve %s", "ORDERNO");
    return KX_FAIL;
  }
  char *runno = nullptr;
  if (PEXAPI_UTILS_AttrListValueGet(AttributesIn, "RUNNO", &runno) != PEX_SUCCESS ||
      runno == nullptr) {
    DIAG_TRACE(2, "Failed to retrieve %s", "RUNNO");
    return KX_FAIL;
  }
  GM_STR_toupper(orderno);
  const int run = read_runno(runno);

  char path[BE_SYSOUT_PATH_MAX + 1];
  const int needed = snprintf(path, sizeof path, "%s%s%s_%d", "./sysout", "/", orderno, run);
  if (needed < 0 || static_cast<size_t>(needed) >= sizeof path) {
    DIAG_ERROR("%s: ORDERNO of %d characters makes the output file path longer than %d "
               "characters; permissions not changed",
               kChmodFnc, static_cast<int>(strlen(orderno)), BE_SYSOUT_PATH_MAX);
    return KX_FAIL;
  }
  if (OS_FILE_stat(path, nullptr, nullptr, nullptr, nullptr) != KX_SUCCESS) {
    DIAG_TRACE(4, "stat command failed for file '%s'", path);
    return KX_FAIL;
  }

  GM_PARAM_VALUE_typ value;
  if (GM_PARAM_get("HADOOP", kSysoutMode, value) != KX_SUCCESS &&
      GM_PARAM_get("CONFIG", kSysoutMode, value) != KX_SUCCESS) {
    DIAG_TRACE(4, "%s value doesn't exist, sysout access permissions will not change.",
               kSysoutMode);
    value[0] = '\0';
  }

  mode_t mode = 0;
  if (value[0] != '\0' && GM_STR_isunsignednumber(value) == KX_SUCCESS &&
      strtoll(value, nullptr, 10) >= 0 && read_octal_mode(value, &mode)) {
    DIAG_TRACE(4, "%s = '%s'", kSysoutMode, value);
    if (chmod(path, mode) != 0) {
      DIAG_ERROR("Failed in chmod command for changing sysout file permissions");
      return KX_FAIL;
    }
  } else {
    DIAG_TRACE(4, "%s = '%s' is not valid chmod value, sysout access permissions will not change.",
               kSysoutMode, value);
  }
  DIAG_TRACE(3, ">>> %s, rc = %d", kChmodFnc, 1);
  return KX_SUCCESS;
}

}  // namespace

extern "C" KX_RC BE_SYSOUT_chmod_sysout(PEXAttrList *AttributesIn, PEXError *Error) {
  (void)Error;
  try {
    return chmod_sysout(AttributesIn);
  } catch (const std::exception &e) {
    DIAG_ERROR("%s: %s", kChmodFnc, e.what());
  } catch (...) {
    DIAG_ERROR("%s: unknown exception", kChmodFnc);
  }
  return KX_FAIL;
}

extern "C" PEXRC PEXAPI_SYSOUT_ACTION(PEXConnection *Connection, char *Action,
                                      PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                      PEXError *Error) {
  (void)Connection;
  (void)AttributesOut;
  return guard_entry(kActionFnc, Error,
                     [&] { return sysout_action(Action, AttributesIn, Error); });
}

extern "C" PEXRC PEXAPI_SYSOUT_DATA_OPEN(PEXConnection *Connection, void **Handle,
                                         PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Error;
  if (Handle == nullptr) return PEX_FAIL;
  BE_INF_sysout_handle *handle = new (std::nothrow) BE_INF_sysout_handle;
  *Handle = handle;
  if (handle == nullptr) {
    DIAG_ERROR("%s: cannot allocate BE_INF_sysout_handle", kOpenFnc);
    return PEX_FAIL;
  }
  handle->offset = 0;
  handle->jobAttrList = Attributes;
  DIAG_TRACE(4, "%s: Allocated new BE_INF_sysout_handle", kOpenFnc);
  return PEX_SUCCESS;
}

extern "C" PEXRC PEXAPI_SYSOUT_DATA_READ(PEXConnection *Connection, void *Handle,
                                         PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                         PEXError *Error) {
  (void)Connection;
  return guard_entry(kReadFnc, Error,
                     [&] { return sysout_read(Handle, AttributesIn, AttributesOut, Error); });
}

extern "C" PEXRC PEXAPI_SYSOUT_DATA_CLOSE(PEXConnection *Connection, void *Handle,
                                          PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", kCloseFnc);
  if (Handle == nullptr) return PEX_FAIL;
  delete static_cast<BE_INF_sysout_handle *>(Handle);
  DIAG_TRACE(4, "%s: Allocation BE_INF_sysout_handle was released", kCloseFnc);
  return PEX_SUCCESS;
}
