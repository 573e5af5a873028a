/*
 * be_job.h - the job actions of the agent: submit, track, kill, delete and
 * statistics of a Hadoop job, each one request document to the container
 * and one answer copied into the agent's output attributes.
 *
 * Actions (exact, case-sensitive):
 *   "SUBMIT"      the body also carries TRACKER_EVENT_PORT (CONFIG, "-1"
 *                 when the key is missing);
 *   "TRACK"       the answer's AUTOEDITOUT<n> elements that the agent did
 *                 not pre-create carry "name=value" pairs, which are
 *                 appended to the output as new attributes;
 *   "TRACK_INIT", "KILL", "STATISTICS";
 *   "DELETE"      the job's output file under ./sysout then gets the
 *                 permissions of SYSOUT_MODE;
 *   "TRACK_TERM"  nothing is sent: PEX_SUCCESS;
 *   anything else nothing is sent: PEX_NOT_SUPPORTED.
 *
 * Not thread-safe: the process-wide CONFIG table and XML reader state are
 * used; the agent calls the entry points one at a time per process.
 */
#ifndef BE_HADOOP_BACKEND_BE_JOB_H
#define BE_HADOOP_BACKEND_BE_JOB_H

#include "pexapi.h"

/* Name prefix of the answer elements that carry extended autoedits. */
#define BE_JOB_AUTOEDIT_PREFIX "AUTOEDITOUT"

/* Room for BE_JOB_AUTOEDIT_PREFIX followed by any int in decimal and a
 * terminator, so that answers of any size can be matched. */
#define BE_JOB_AE_INDICATOR_SIZE 32

/* PEXAPI_JOB_ACTION (declared in pexapi.h) runs one job action (see above).
 * Connection is not used. AttributesIn is sent whole as the request body,
 * "%%HDP-" names included; for "DELETE" its ORDERNO value is upper-cased in
 * place afterwards. Each BODY element of the answer is stored into the
 * attribute of AttributesOut with the same name, cut to that attribute's
 * buffer; the storing stops at the first element the agent did not
 * pre-create (result PEX_EOS, later elements are not stored), except for
 * "TRACK" extended autoedits.
 *
 * Ownership: for "TRACK" the array of AttributesOut is replaced by
 * library-owned single-block copies of the agent's attributes followed by
 * the extended autoedits (the agent's array and strings are left as they
 * were, still the agent's); the caller releases the new array with
 * PEXAPI_ReleaseAttr. Every other action only stores into the agent's own
 * attributes.
 *
 * Results: PEX_SUCCESS; PEX_NOT_SUPPORTED (Error untouched); PEX_FAIL with
 * Error set when the container cannot be reached or the answer reports an
 * error (the container's code and message); the translation's code (Error
 * untouched) when the answer is not a readable document; PEX_EOS (Error
 * untouched) as above. A null Action is not supported; a null Error is
 * accepted (failure texts then reach the log only). */

#endif /* BE_HADOOP_BACKEND_BE_JOB_H */
