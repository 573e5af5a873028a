/*
 * be_shout.h - shout messages of the agent. The backend has no channel of
 * its own for them: it accepts "SEND" and sends nothing anywhere.
 *
 * PEXAPI_SHOUT_ACTION (declared in pexapi.h): PEX_FAIL when the connection
 * has no user data (a null Connection counts as none); otherwise PEX_SUCCESS
 * for the action "SEND" (exact, case-sensitive) and PEX_NOT_SUPPORTED for any
 * other (a null Action included). No attribute and not Error is touched.
 */
#ifndef BE_HADOOP_BACKEND_BE_SHOUT_H
#define BE_HADOOP_BACKEND_BE_SHOUT_H

#include "pexapi.h"

#endif /* BE_HADOOP_BACKEND_BE_SHOUT_H */
