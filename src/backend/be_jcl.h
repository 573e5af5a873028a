/*
 * be_jcl.h - the JCL entry points. A Hadoop job has no JCL the agent could
 * read or write through the backend; these calls only give the agent the
 * fixed answers it expects. None keeps state or touches an attribute or
 * Error.
 */
#ifndef BE_HADOOP_BACKEND_BE_JCL_H
#define BE_HADOOP_BACKEND_BE_JCL_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Always PEX_NOT_FOUND. */
PEXRC PEXAPI_JCL_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                        PEXAttrList *AttributesOut, PEXError *Error);

/* PEX_FAIL when the connection has no user data (a null Connection counts
 * as none), else PEX_SUCCESS. No handle is made: Handle is left as passed. */
PEXRC PEXAPI_JCL_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                           PEXError *Error);

/* Always PEX_SUCCESS; nothing is read or stored. */
PEXRC PEXAPI_JCL_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                           PEXAttrList *AttributesOut, PEXError *Error);

/* Always PEX_NOT_SUPPORTED. */
PEXRC PEXAPI_JCL_DATA_WRITE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);

/* Always PEX_SUCCESS. */
PEXRC PEXAPI_JCL_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_JCL_H */
