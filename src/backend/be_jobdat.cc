// be_jobdat.cc - the job-data entry points: fixed answers, nothing kept.
#include "be_jobdat.h"

#include "be_handler.h"
#include "os_diag.h"
#include "pexapi_utl.h"

using be_backend::has_user_data;

extern "C" PEXRC PEXAPI_JOB_DATA_OPEN(PEXConnection *Connection, void **Handle,
                                      PEXAttrList *Attributes, PEXError *Error) {
  (void)Handle;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JOB_DATA_OPEN");
  return has_user_data(Connection) ? PEX_SUCCESS : PEX_FAIL;
}

extern "C" PEXRC PEXAPI_JOB_DATA_READ(PEXConnection *Connection, void *Handle,
                                      PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                      PEXError *Error) {
  (void)Connection;
  (void)Handle;
  (void)AttributesIn;
  (void)AttributesOut;
  (void)Error;
  return PEX_SUCCESS;
}

extern "C" PEXRC PEXAPI_JOB_DATA_WRITE(PEXConnection *Connection, void *Handle,
                                       PEXAttrList *Attributes, PEXError *Error) {
  (void)Handle;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JOB_DATA_WRITE");
  // The data is released even when the connection cannot take it: the agent
  // hands its ownership over with the call.
  PEXAPI_utils_release_attr(Attributes);
  return has_user_data(Connection) ? PEX_SUCCESS : PEX_FAIL;
}

extern "C" PEXRC PEXAPI_JOB_DATA_CLOSE(PEXConnection *Connection, void *Handle,
                                       PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Handle;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JOB_DATA_CLOSE");
  return PEX_SUCCESS;
}
