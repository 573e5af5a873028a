/*
 * be_event.h - events the agent receives for a job run: the event message
 * names the run by order number, run number and the job's process
 * identifier, which are handed back as attributes.
 *
 * Nothing is sent to the container and no state is kept.
 */
#ifndef BE_HADOOP_BACKEND_BE_EVENT_H
#define BE_HADOOP_BACKEND_BE_EVENT_H

#include "pexapi.h"

/* Longest token of an event message, by position. */
#define BE_EVENT_ORDERNO_MAX 31
#define BE_EVENT_RUNNO_MAX 31
#define BE_EVENT_PROCID_MAX 127

/* PEXAPI_EVENT_ACTION (declared in pexapi.h) splits the value of EVENT_MSG
 * in AttributesIn into three tokens separated by white space (leading white
 * space skipped, any run of it separates, text after the third token
 * ignored): order number, run number, process identifier. They are stored,
 * each cut to the agent's buffer, into PROCID, then ORDERNO, then RUNNO of
 * AttributesOut, which the agent pre-creates.
 * PEX_SUCCESS when all three are stored. PEX_FAIL:
 *  - EVENT_MSG missing: Error untouched (a trace line at level 4);
 *  - fewer than three tokens, or a token longer than its maximum above:
 *    Error code 1, "Invalid event : <message>", nothing stored;
 *  - a store fails (name not pre-created): Error code 1, "Cannot set
 *    PROCID|ORDERNO|RUNNO to AttributesOut."; the stores before it stay.
 * Connection and Action are not examined; Error may be null. */

#endif /* BE_HADOOP_BACKEND_BE_EVENT_H */
