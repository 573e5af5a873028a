/*
 * be_env.h - the backend's lifecycle and service entry points and the choice
 * of its log file. These are the calls the agent makes around its actions.
 */
#ifndef BE_HADOOP_BACKEND_BE_ENV_H
#define BE_HADOOP_BACKEND_BE_ENV_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 1 until the first PEXAPI_Connect of the process has opened the log. */
extern int first_call;
/* The text HADOOP_KX_version hands out; fixed at build time. */
extern const char *be_hadoop_version;

/* The lifecycle and service entry points (PEXAPI_Init, PEXAPI_Connect,
 * PEXAPI_Disconnect, PEXAPI_Term, PEXAPI_ReleaseAttr, PEXAPI_Extended_Length,
 * HADOOP_KX_version) are declared with the other entry points in pexapi.h.
 * HADOOP_KX_version copies at most size - 1 characters of the version text,
 * pads with zero bytes and terminates at ver[size - 1]; a size below 1 or a
 * null buffer writes nothing. */

/* Stores in *log_name "AT" for tracking and event processes (REQTYPE TRACK,
 * EVENT or TRACK_INIT without SYSKEEPDAYS), "AS" for all others. */
void BE_INF_get_logname(PEXAttrList *Attributes, char **log_name);

/* Opens the log under filename and reads CONFIG/DBGLVL, once per process.
 * Returns 0. */
int BE_INF_init_logfile(const char *filename);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_ENV_H */
