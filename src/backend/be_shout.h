/*
 * be_shout.h - shout messages of the agent. The backend has no channel of
 * its own for them: it accepts "SEND" and sends nothing anywhere.
 */
#ifndef BE_HADOOP_BACKEND_BE_SHOUT_H
#define BE_HADOOP_BACKEND_BE_SHOUT_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PEX_FAIL when the connection has no user data (a null Connection counts
 * as none); otherwise PEX_SUCCESS for the action "SEND" (exact,
 * case-sensitive) and PEX_NOT_SUPPORTED for any other (a null Action
 * included). No attribute and not Error is touched. */
PEXRC PEXAPI_SHOUT_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                          PEXAttrList *AttributesOut, PEXError *Error);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_SHOUT_H */
