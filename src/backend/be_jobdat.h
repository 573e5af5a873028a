/*
 * be_jobdat.h - the job-data entry points (declared in pexapi.h). Job data
 * travels to the container in the job's own requests; these calls only give
 * the agent the fixed answers it expects. None keeps state or touches Error.
 *
 * PEXAPI_JOB_DATA_OPEN: PEX_FAIL when the connection has no user data (a null
 * Connection counts as none), else PEX_SUCCESS. No handle is made: Handle is
 * left as passed.
 *
 * PEXAPI_JOB_DATA_READ: always PEX_SUCCESS; nothing is read, stored or
 * logged.
 *
 * PEXAPI_JOB_DATA_WRITE: takes the data and discards it: Attributes, whose
 * attributes must be single-block ones allocated by the library, is released
 * (PEXAPI_utils_release_attr: Count 0, Attributes NULL) whatever the result.
 * Then PEX_FAIL when the connection has no user data, else PEX_SUCCESS.
 *
 * PEXAPI_JOB_DATA_CLOSE: always PEX_SUCCESS.
 */
#ifndef BE_HADOOP_BACKEND_BE_JOBDAT_H
#define BE_HADOOP_BACKEND_BE_JOBDAT_H

#include "pexapi.h"

#endif /* BE_HADOOP_BACKEND_BE_JOBDAT_H */
