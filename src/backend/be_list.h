/*
 * be_list.h - list requests of the agent: a request document of the agent's
 * own making passed through to the container, and the answer read back as
 * plain text in chunks.
 *
 * Reading, one handle per request:
 *
 *   void* handle = NULL;
 *   rc = PEXAPI_LIST_DATA_OPEN(conn, &handle, in, &err);   // in holds TEXT
 *   if (handle != NULL) {
 *     while ((rc = PEXAPI_LIST_DATA_READ(conn, handle, NULL, out, &err)) == PEX_SUCCESS) ...;
 *     PEXAPI_LIST_DATA_CLOSE(conn, handle, NULL, &err);
 *   }
 *
 * The backend does not interpret the list: it keeps the agent's HEADER and
 * BODY, adds the debug level to the body, sends the document and hands out
 * whatever came back, BE_LIST_CHUNK_SIZE characters at a time.
 *
 * Not thread-safe: the process-wide CONFIG table and XML reader state are
 * used; the agent calls the entry points one at a time per process.
 */
#ifndef BE_HADOOP_BACKEND_BE_LIST_H
#define BE_HADOOP_BACKEND_BE_LIST_H

#include <stdint.h>

#include "pexapi.h"

/* Characters handed out by one read. */
#define BE_LIST_CHUNK_SIZE 1000

/* Room of each working buffer (the body copy and the outgoing document),
 * terminator included. A request that does not fit is refused. */
#define BE_LIST_BUFFER_SIZE 100000

/* The handle of an open list read, created by PEXAPI_LIST_DATA_OPEN and freed
 * by PEXAPI_LIST_DATA_CLOSE; opaque to the agent. */
typedef struct {
  uint32_t current_line; /* index of the next chunk to hand out; 0 after the open */
  char *xmlResponse;     /* owned: the container's answer, or a document that
                          * reports why the call failed */
} BE_INF_list_handle;

/* The list entry points are declared in pexapi.h.
 *
 * PEXAPI_LIST_ACTION does nothing: lists are read through the data entry
 * points. No argument is touched. Always PEX_NOT_FOUND.
 *
 * PEXAPI_LIST_DATA_OPEN sends the agent's request document, the value of
 * TEXT in Attributes (read only): the UTF-8 request opening, the agent's
 * <HEADER> element unchanged, its <BODY> element unchanged but for a DBGLVL
 * element (CONFIG / DBGLVL, "0" when unset) added as the last child, and the
 * root end tag. Either element is found only with a plain start tag; a
 * missing one is not sent (and without BODY no DBGLVL either).
 * On success a new handle holding a copy of the answer is stored through
 * Handle: PEX_SUCCESS. When the remote call fails, the handle is still
 * stored; it holds a document whose KXError carries code 1 and the call's
 * error text (escaped), so that the first read reports the failure; the
 * result is the call's code and Error holds its text.
 * PEX_FAIL with Error code 1 and no handle (Handle untouched, nothing sent):
 * TEXT missing or empty ("keyword TEXT not found"), a HEADER and BODY too
 * large for BE_LIST_BUFFER_SIZE, or a null Handle. Connection is not used;
 * Error may be null.
 *
 * PEXAPI_LIST_DATA_READ hands out the next chunk of the handle's answer into
 * the agent's pre-created TEXT of AttributesOut (cut to its buffer): the
 * chunk current_line of BE_LIST_CHUNK_SIZE characters with PEX_SUCCESS while
 * more than BE_LIST_CHUNK_SIZE characters remain after its start, otherwise
 * the rest with PEX_EOS; every later read gives that last chunk again.
 * Every read first checks the answer for a reported error: PEX_FAIL with
 * Error holding its code and message, nothing handed out. TEXT missing: the
 * lookup's code (PEX_EOS) with "keyword TEXT not found" in Error. A null
 * handle or one without an answer: PEX_FAIL. AttributesIn and Connection
 * are not used.
 *
 * PEXAPI_LIST_DATA_CLOSE frees the handle and its answer: PEX_SUCCESS.
 * PEX_FAIL, with a trace line at level 1, for a null handle or one without
 * an answer (then nothing is freed). Attributes, Error and Connection are
 * not used. */

#endif /* BE_HADOOP_BACKEND_BE_LIST_H */
