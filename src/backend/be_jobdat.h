/*
 * be_jobdat.h - the job-data entry points. Job data travels to the container
 * in the job's own requests; these calls only give the agent the fixed
 * answers it expects. None keeps state or touches Error.
 */
#ifndef BE_HADOOP_BACKEND_BE_JOBDAT_H
#define BE_HADOOP_BACKEND_BE_JOBDAT_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PEX_FAIL when the connection has no user data (a null Connection counts
 * as none), else PEX_SUCCESS. No handle is made: Handle is left as passed. */
PEXRC PEXAPI_JOB_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                           PEXError *Error);

/* Always PEX_SUCCESS; nothing is read, stored or logged. */
PEXRC PEXAPI_JOB_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                           PEXAttrList *AttributesOut, PEXError *Error);

/* Takes the data and discards it: Attributes, whose attributes must be
 * single-block ones allocated by the library, is released
 * (PEXAPI_utils_release_attr: Count 0, Attributes NULL) whatever the result.
 * Then PEX_FAIL when the connection has no user data, else PEX_SUCCESS. */
PEXRC PEXAPI_JOB_DATA_WRITE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);

/* Always PEX_SUCCESS. */
PEXRC PEXAPI_JOB_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_JOBDAT_H */
