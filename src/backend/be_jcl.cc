// be_jcl.cc - the JCL entry points: fixed answers, nothing kept.
#include "be_jcl.h"

#include "be_handler.h"
#include "os_diag.h"

extern "C" PEXRC PEXAPI_JCL_ACTION(PEXConnection *Connection, char *Action,
                                   PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                   PEXError *Error) {
  (void)Connection;
  (void)AttributesIn;
  (void)AttributesOut;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JCL_ACTION");
  DIAG_TRACE(4, "Action: '%s'", Action != nullptr ? Action : "");
  return PEX_NOT_FOUND;
}

extern "C" PEXRC PEXAPI_JCL_DATA_OPEN(PEXConnection *Connection, void **Handle,
                                      PEXAttrList *Attributes, PEXError *Error) {
  (void)Handle;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JCL_DATA_OPEN");
  return be_backend::has_user_data(Connection) ? PEX_SUCCESS : PEX_FAIL;
}

extern "C" PEXRC PEXAPI_JCL_DATA_READ(PEXConnection *Connection, void *Handle,
                                      PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                      PEXError *Error) {
  (void)Connection;
  (void)Handle;
  (void)AttributesIn;
  (void)AttributesOut;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JCL_DATA_READ");
  return PEX_SUCCESS;
}

extern "C" PEXRC PEXAPI_JCL_DATA_WRITE(PEXConnection *Connection, void *Handle,
                                       PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Handle;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JCL_DATA_WRITE");
  return PEX_NOT_SUPPORTED;
}

extern "C" PEXRC PEXAPI_JCL_DATA_CLOSE(PEXConnection *Connection, void *Handle,
                                       PEXAttrList *Attributes, PEXError *Error) {
  (void)Connection;
  (void)Handle;
  (void)Attributes;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_JCL_DATA_CLOSE");
  return PEX_SUCCESS;
}
