/*
 * be_sysout.h - a job's output (sysout): the output actions the agent
 * forwards to the container, the piece-by-piece reading of the output, and
 * the permissions of the agent's own output file of a job.
 *
 * Reading, one handle per read:
 *
 *   void* handle = NULL;
 *   PEXAPI_SYSOUT_DATA_OPEN(conn, &handle, jobAttrs, &err);
 *   while ((rc = PEXAPI_SYSOUT_DATA_READ(conn, handle, in, out, &err)) == PEX_SUCCESS) ...;
 *   PEXAPI_SYSOUT_DATA_CLOSE(conn, handle, NULL, &err);
 *
 * The mode is chosen by which attribute the agent pre-created in the read's
 * output list: TEXT reads block by block ("SYSOUT_GET"), ONSTMT (with
 * ONCODE) reads statement by statement ("SYSOUT_ONSTMT"). The capacity of
 * each buffer (its value length minus one) is sent along so that the answer
 * fits.
 *
 * Not thread-safe: the process-wide parameter tables and XML reader state
 * are used; the agent calls the entry points one at a time per process.
 */
#ifndef BE_HADOOP_BACKEND_BE_SYSOUT_H
#define BE_HADOOP_BACKEND_BE_SYSOUT_H

#include <stdint.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Most characters of the path of a job's output file, terminator excluded
 * (the path buffer holds one more). */
#define BE_SYSOUT_PATH_MAX 4096

/* The handle of an open output read, created by PEXAPI_SYSOUT_DATA_OPEN and
 * freed by PEXAPI_SYSOUT_DATA_CLOSE; opaque to the agent. */
typedef struct {
  uint64_t offset;          /* next read position; 0 after the open,
                             * BE_SYSOUT_OFFSET_END once the end was reported */
  PEXAttrList *jobAttrList; /* the open's Attributes, not copied: the agent keeps
                             * them alive and unchanged until the close */
} BE_INF_sysout_handle;

/* Offset of a read that the container has reported ended (all bits set). */
#define BE_SYSOUT_OFFSET_END UINT64_MAX

/* Sets the permission bits of the job's output file
 * "./sysout/<ORDERNO upper-cased>_<RUNNO as a decimal int>" (relative to the
 * working directory) to SYSOUT_MODE, looked up in the table HADOOP and then
 * in CONFIG, read as octal digits. ORDERNO in AttributesIn is upper-cased in
 * place. Error is never written (may be null).
 * Returns KX_SUCCESS (1) when the bits were set, or nothing needed doing
 * (SYSOUT_MODE missing, empty or not an unsigned number); KX_FAIL (2) when
 * ORDERNO or RUNNO is missing, the path would exceed BE_SYSOUT_PATH_MAX
 * characters (an error line; nothing is built), the file cannot be queried,
 * or chmod fails. A null AttributesIn counts as missing attributes. */
KX_RC BE_SYSOUT_chmod_sysout(PEXAttrList *AttributesIn, PEXError *Error);

/* The output entry points are declared in pexapi.h.
 *
 * PEXAPI_SYSOUT_ACTION forwards the output action "CLEAR", "F", "N" or "D"
 * (exact, case-sensitive) to the container as "SYSOUT_<action>" with
 * AttributesIn as the request body ("%%HDP-" names left out). AttributesOut
 * and Connection are not used.
 * PEX_SUCCESS when the container accepted it; PEX_NOT_SUPPORTED for any
 * other action (nothing sent, Error untouched); PEX_FAIL with Error set when
 * the container cannot be reached, the request cannot be built, or the
 * answer reports an error (its code and message).
 *
 * PEXAPI_SYSOUT_DATA_OPEN allocates a handle with offset 0 that refers to
 * Attributes (not copied) and stores it through Handle. Nothing is sent.
 * Error is not used. PEX_SUCCESS; PEX_FAIL for a null Handle or when
 * allocation fails (*Handle is then null).
 *
 * PEXAPI_SYSOUT_DATA_READ reads the next piece of the output of the
 * handle's job. AttributesIn must hold NAVIGATE = "NEXT". AttributesOut
 * holds TEXT (block mode) or ONSTMT and optionally ONCODE (statement mode),
 * each with the agent's own buffer; values are cut to their capacity and
 * terminated.
 * Block mode: PEX_SUCCESS with the next block; PEX_EOS with the last block
 * (the handle is then ended) or for an empty answer (nothing stored);
 * PEX_FAIL when the answer reports an error (Error set) or has no
 * SYSOUT_OFFSET (the block, if any, stored; offset unchanged).
 * Statement mode: PEX_SUCCESS with the next statement; PEX_EOS for an empty
 * answer. Neither TEXT nor ONSTMT: PEX_SUCCESS, nothing sent.
 * Both modes: NAVIGATE missing gives PEX_EOS with Error "keyword NAVIGATE
 * not found"; NAVIGATE other than "NEXT" gives PEX_FAIL with Error code 1;
 * a failed remote call gives its code with Error as it set it; an answer
 * that is not a readable document gives the translation's code. A null
 * Handle gives PEX_FAIL with Error set.
 *
 * PEXAPI_SYSOUT_DATA_CLOSE frees a handle from PEXAPI_SYSOUT_DATA_OPEN; the
 * attribute list it referred to is not touched. Attributes and Error are
 * not used. PEX_SUCCESS; PEX_FAIL for a null Handle. */

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_SYSOUT_H */
