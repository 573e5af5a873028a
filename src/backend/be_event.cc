// be_event.cc - PEXAPI_EVENT_ACTION: an event message split into the job
// run's order number, run number and process identifier.
//
// The message comes from outside the agent; a token too long for the field
// it names is not a valid event, so it is refused rather than cut: a cut
// order number could name some other job.
#include "be_event.h"

#include <string.h>

#include <string>

#include "be_handler.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace {

const char kFnc[] = "PEXAPI_EVENT_ACTION";
const PEXErrorCode kEventErrorCode = 1;
// The separators of a "%s" conversion.
const char kBlanks[] = " \t\n\v\f\r";

struct EventTokens {
  std::string orderno;
  std::string runno;
  std::string procid;
};

// True when msg holds three tokens, each within its maximum.
bool split_event(const char *msg, EventTokens *tokens) {
  std::string *const fields[] = {&tokens->orderno, &tokens->runno, &tokens->procid};
  const size_t limits[] = {BE_EVENT_ORDERNO_MAX, BE_EVENT_RUNNO_MAX, BE_EVENT_PROCID_MAX};
  const char *p = msg;
  for (int i = 0; i < 3; ++i) {
    p += strspn(p, kBlanks);
    const size_t len = strcspn(p, kBlanks);
    if (len == 0 || len > limits[i]) return false;
    fields[i]->assign(p, len);
    p += len;
  }
  return true;
}

PEXRC event_action(PEXAttrList *AttributesIn, PEXAttrList *AttributesOut, PEXError *Error) {
  DIAG_TRACE(4, "%s: INF PARSE", kFnc);
  char *msg = nullptr;
  if (PEXAPI_UTILS_AttrListValueGet(AttributesIn, "EVENT_MSG", &msg) != PEX_SUCCESS ||
      msg == nullptr) {
    DIAG_TRACE(4, "%s : attribute %s is mandatory", kFnc, "EVENT_MSG");
    return PEX_FAIL;
  }
  DIAG_TRACE(4, "%s: INF PARSE: event msg '%s'", kFnc, msg);

  EventTokens tokens;
  if (!split_event(msg, &tokens)) {
    PEXAPI_UTILS_ErrorSet(Error, kEventErrorCode, "Invalid event : %s", msg);
    return PEX_FAIL;
  }
  // A failing store leaves the ones before it in place.
  if (PEXAPI_UTILS_AttrListValueSet(AttributesOut, "PROCID", tokens.procid.c_str()) !=
          PEX_SUCCESS ||
      PEXAPI_UTILS_AttrListValueSet(AttributesOut, "ORDERNO", tokens.orderno.c_str()) !=
          PEX_SUCCESS ||
      PEXAPI_UTILS_AttrListValueSet(AttributesOut, "RUNNO", tokens.runno.c_str()) !=
          PEX_SUCCESS) {
    PEXAPI_UTILS_ErrorSet(Error, kEventErrorCode,
                          "Cannot set PROCID|ORDERNO|RUNNO to AttributesOut.");
    return PEX_FAIL;
  }
  DIAG_TRACE(4, "%s : succesfully accepted event %s", kFnc, msg);
  return PEX_SUCCESS;
}

}  // namespace

extern "C" PEXRC PEXAPI_EVENT_ACTION(PEXConnection *Connection, char *Action,
                                     PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                     PEXError *Error) {
  (void)Connection;
  (void)Action;
  return be_backend::guard_entry(
      kFnc, Error, [&] { return event_action(AttributesIn, AttributesOut, Error); });
}
