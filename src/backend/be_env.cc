#include "be_env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "be_convert.h"
#include "gm_param.h"
#include "os_diag.h"
#include "pexapi_utl.h"

// The project's one version number, the same that kxcontainer and kxhost
// print and the package carries.
#ifndef BE_HADOOP_VERSION_NUMBER
#error "BE_HADOOP_VERSION_NUMBER is set by the build"
#endif

extern "C" {

int first_call = 1;
const char *be_hadoop_version =
    "KX backend for Hadoop " BE_HADOOP_VERSION_NUMBER " - folders 1 - " __DATE__ " " __TIME__;

}  // extern "C"

namespace {

char kExtendedLength[] = "08";
char kLogNameTrack[] = "AT";
char kLogNameServer[] = "AS";

}  // namespace

extern "C" {

void HADOOP_KX_version(char *ver, int size) {
  DIAG_TRACE(4, "HADOOP_KX_version");
  if (ver == nullptr || size < 1) return;
  // strncpy's zero padding is wanted here: the rest of the buffer is cleared.
  std::strncpy(ver, be_hadoop_version, static_cast<size_t>(size) - 1);
  ver[size - 1] = '\0';
}

char *PEXAPI_Extended_Length(void) { return kExtendedLength; }

void BE_INF_get_logname(PEXAttrList *Attributes, char **log_name) {
  DIAG_TRACE(4, "BE_INF_get_logname");
  char *reqtype = nullptr;
  char *keepdays = nullptr;
  const char *name = kLogNameServer;
  if (PEXAPI_UTILS_AttrListValueGetNoAutoedits(Attributes, const_cast<char *>("REQTYPE"),
                                               &reqtype) == PEX_SUCCESS &&
      reqtype != nullptr) {
    const bool tracker = std::strcmp(reqtype, "TRACK") == 0 || std::strcmp(reqtype, "EVENT") == 0 ||
                         std::strcmp(reqtype, "TRACK_INIT") == 0;
    const bool keeps_days = PEXAPI_UTILS_AttrListValueGetNoAutoedits(
                                Attributes, const_cast<char *>("SYSKEEPDAYS"), &keepdays) ==
                            PEX_SUCCESS;
    if (tracker && !keeps_days) name = kLogNameTrack;
  }
  if (log_name != nullptr) *log_name = const_cast<char *>(name);
}

int BE_INF_init_logfile(const char *filename) {
  DIAG_TRACE(4, "BE_INF_init_logfile");
  DIAG_TRACE(4, "filename: '%s'", filename ? filename : "");
  if (first_call == 0) return 0;

  char empty[1] = {'\0'};
  char proc_name[100] = {0};
  if (filename != nullptr) std::snprintf(proc_name, sizeof proc_name, "%s", filename);
  OS_DIAG_initialize(empty, proc_name);

  GM_PARAM_VALUE_typ dbg_lvl = {0};
  if (GM_PARAM_get("CONFIG", "DBGLVL", dbg_lvl) == KX_SUCCESS) {
    DIAG_set_debug_level(std::atoi(dbg_lvl));
  }
  first_call = 0;
  return 0;
}

PEXRC PEXAPI_Init(PEXBackEnd * /*BackEnd*/, PEXAttrList * /*Attributes*/, PEXError * /*Error*/) {
  char version[128];
  std::memset(version, 0, sizeof version);
  HADOOP_KX_version(version, sizeof version);
  DIAG_TRACE(4, "%s", version);
  // A failure here is not fatal: each conversion prepares the locales again
  // when it finds them missing, and logs why it cannot.
  (void)BE_UTIL_init_required_locales();
  return PEX_SUCCESS;
}

PEXRC PEXAPI_Connect(PEXBackEnd * /*BackEnd*/, PEXConnection * /*Connection*/,
                     PEXAttrList *Attributes, PEXError * /*Error*/) {
  char *log_name = nullptr;
  BE_INF_get_logname(Attributes, &log_name);
  if (BE_INF_init_logfile(log_name) != 0) {
    DIAG_printf("PEXAPI_Connect: BE_INF_init_logfile failed");
  }
  DIAG_TRACE(3, "PEXAPI_Connect");
  return PEX_SUCCESS;
}

PEXRC PEXAPI_Disconnect(PEXConnection * /*Connection*/, PEXError * /*Error*/) {
  DIAG_TRACE(3, "PEXAPI_Disconnect");
  return PEX_SUCCESS;
}

PEXRC PEXAPI_Term(PEXBackEnd * /*BackEnd*/, PEXError * /*Error*/) {
  DIAG_TRACE(3, "PEXAPI_Term");
  BE_UTIL_release_required_locales();
  return PEX_SUCCESS;
}

PEXRC PEXAPI_ReleaseAttr(PEXAttrList *AttrList) { return PEXAPI_utils_release_attr(AttrList); }

}  // extern "C"
