/*
 * be_jcl.h - the JCL entry points (declared in pexapi.h). A Hadoop job has
 * no JCL the agent could read or write through the backend; these calls only
 * give the agent the fixed answers it expects. None keeps state or touches an
 * attribute or Error.
 *
 * PEXAPI_JCL_ACTION: always PEX_NOT_FOUND.
 *
 * PEXAPI_JCL_DATA_OPEN: PEX_FAIL when the connection has no user data (a null
 * Connection counts as none), else PEX_SUCCESS. No handle is made: Handle is
 * left as passed.
 *
 * PEXAPI_JCL_DATA_READ: always PEX_SUCCESS; nothing is read or stored.
 *
 * PEXAPI_JCL_DATA_WRITE: always PEX_NOT_SUPPORTED.
 *
 * PEXAPI_JCL_DATA_CLOSE: always PEX_SUCCESS.
 */
#ifndef BE_HADOOP_BACKEND_BE_JCL_H
#define BE_HADOOP_BACKEND_BE_JCL_H

#include "pexapi.h"

#endif /* BE_HADOOP_BACKEND_BE_JCL_H */
