// be_shout.cc - PEXAPI_SHOUT_ACTION: accepted, never delivered; the agent
// only needs to know whether the connection could have carried it.
#include "be_shout.h"

#include <string.h>

#include "be_handler.h"
#include "os_diag.h"

extern "C" PEXRC PEXAPI_SHOUT_ACTION(PEXConnection *Connection, char *Action,
                                     PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                     PEXError *Error) {
  (void)AttributesIn;
  (void)AttributesOut;
  (void)Error;
  DIAG_TRACE(3, "%s", "PEXAPI_SHOUT_ACTION");
  DIAG_TRACE(4, "Action: '%s'", Action != nullptr ? Action : "");
  if (!be_backend::has_user_data(Connection)) return PEX_FAIL;
  return Action != nullptr && strcmp(Action, "SEND") == 0 ? PEX_SUCCESS : PEX_NOT_SUPPORTED;
}
