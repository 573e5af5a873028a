// be_job.cc - PEXAPI_JOB_ACTION: one job request to the container, its answer
// into the agent's output attributes.
//
// Everything a call builds (request text, accessor and its reply, answer
// attributes, extended autoedits) lives in guards on this call's stack, so
// every way out, an exception included, releases it.
#include "be_job.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "be_handler.h"
#include "be_remoting.h"
#include "be_requests.h"
#include "be_sysout.h"
#include "gm_param.h"
#include "os_diag.h"
#include "pexapi_utl.h"

namespace {

const char kFnc[] = "PEXAPI_JOB_ACTION";
const char kTrackTerm[] = "TRACK_TERM";
const char kSubmit[] = "SUBMIT";
const char kTrack[] = "TRACK";
const char kDelete[] = "DELETE";
const char kDefaultTrackerEventPort[] = "-1";

// The actions that go to the container.
const char *const kSentActions[] = {kSubmit, kDelete, "KILL", kTrack, "STATISTICS", "TRACK_INIT"};

bool is_action(const char *action, const char *name) {
  return action != nullptr && strcmp(action, name) == 0;
}

bool is_sent_action(const char *action) {
  for (const char *name : kSentActions) {
    if (is_action(action, name)) return true;
  }
  return false;
}

// Key/value rows of the extended autoedits found while tracking.
class AutoeditRows {
 public:
  AutoeditRows() { memset(&list_, 0, sizeof list_); }
  ~AutoeditRows() { clear(); }
  AutoeditRows(const AutoeditRows &) = delete;
  AutoeditRows &operator=(const AutoeditRows &) = delete;
  PEXLIST_handle_typ *get() { return &list_; }
  void clear() {
    if (list_.count > 0) GM_PARAM_list_clear(&list_);
  }

 private:
  PEXLIST_handle_typ list_;
};

// True when name is the autoedit prefix followed by a number from 1 to
// count written as "%d" (no sign, no leading zero). The number is bounded
// while it is read, so the indicator buffer holds any answer's names.
bool is_autoedit_indicator(const char *name, int32_t count) {
  const size_t prefix_len = sizeof BE_JOB_AUTOEDIT_PREFIX - 1;
  if (strncmp(name, BE_JOB_AUTOEDIT_PREFIX, prefix_len) != 0) return false;
  const char *digits = name + prefix_len;
  if (*digits < '1' || *digits > '9') return false;
  int64_t n = 0;
  for (const char *p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > count) return false;
  }
  char aeIndicator[BE_JOB_AE_INDICATOR_SIZE];
  snprintf(aeIndicator, sizeof aeIndicator, "%s%d", BE_JOB_AUTOEDIT_PREFIX, static_cast<int>(n));
  return strcmp(aeIndicator, name) == 0;
}

// An answer element AUTOEDITOUT<n> holding name=value: the pair is kept when
// it has a value. Anything else is dropped without a word.
void collect_autoedit(PEXLIST_handle_typ *rows, const PEXAttr &attr, int32_t count) {
  if (!is_autoedit_indicator(attr.Name, count) || attr.Value == nullptr) return;
  const char *equals = strchr(attr.Value, '=');
  if (equals == nullptr) return;
  const std::string name(attr.Value, static_cast<size_t>(equals - attr.Value));
  const char *value = equals + 1;
  if (*value == '\0') return;
  if (GM_PARAM_list_append(rows, name.c_str(), value) == KX_SUCCESS) {
    DIAG_TRACE(4, "Appended extended autoedit <%s> with value <%s>", name.c_str(), value);
  } else {
    DIAG_ERROR("%s: cannot keep extended autoedit <%s>", kFnc, name.c_str());
  }
}

// Stores the answer's values into the agent's attributes, in answer order,
// until one has no attribute to go to; the agent is told which one.
PEXRC store_answer(PEXAttrList *answer, PEXAttrList *AttributesOut, bool track,
                   PEXLIST_handle_typ *autoedits, PEXError *Error) {
  PEXRC rc = PEX_SUCCESS;
  PEXAttrValueSetter out(AttributesOut);
  const int32_t count = answer->Count;
  for (int32_t i = 0; i < count && rc == PEX_SUCCESS; ++i) {
    const PEXAttr &attr = answer->Attributes[i];
    const char *name = attr.Name != nullptr ? attr.Name : "";
    const char *value = attr.Value != nullptr ? attr.Value : "";
    rc = out.set(name, value);
    if (rc == PEX_SUCCESS) {
      DIAG_TRACE(4, "Updated <%s> with value <%s>", name, value);
    } else if (rc == PEX_EOS && track &&
               strncmp(name, BE_JOB_AUTOEDIT_PREFIX, sizeof BE_JOB_AUTOEDIT_PREFIX - 1) == 0) {
      collect_autoedit(autoedits, attr, count);
      rc = PEX_SUCCESS;
    } else {
      DIAG_TRACE(2, "ERROR: Failed to update <%s> with value <%s>", name, value);
      if (rc == PEX_EOS) {
        PEXAPI_UTILS_ErrorSet(Error, 1,
                              "%s: the answer's element <%.200s> has no output attribute of that "
                              "name; it and the elements after it were not stored",
                              kFnc, name);
      } else {
        PEXAPI_UTILS_ErrorSet(Error, 1, "%s: the answer's element <%.200s> could not be stored",
                              kFnc, name);
      }
    }
  }
  return rc;
}

// The agent's list gains the extended autoedits as new attributes after its
// own. The agent's list is always rebuilt, even with none to add, so that
// after every track the agent finds an array of the same origin to release.
void append_autoedits(PEXLIST_handle_typ *rows, PEXAttrList *AttributesOut) {
  PEXAttrList extended;
  memset(&extended, 0, sizeof extended);
  if (PEXAPI_UTILS_list2attr(rows, &extended) == PEX_SUCCESS) {
    if (PEXAPI_UTILS_AttrListAppend_Attr2Attr(&extended, AttributesOut) != PEX_SUCCESS) {
      DIAG_ERROR("%s: cannot append %d extended autoedits", kFnc, static_cast<int>(extended.Count));
    }
    PEXAPI_utils_release_attr(&extended);
  } else {
    DIAG_ERROR("%s: cannot turn extended autoedits into attributes", kFnc);
  }
  GM_PARAM_list_clear(rows);
}

// Sends a supported action and takes its answer. Sets *report to false for
// the ways out that end the action without the failure notice.
PEXRC send_action(const char *Action, PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                  PEXError *Error, PEXLIST_handle_typ *autoedits, bool *report) {
  const bool track = is_action(Action, kTrack);

  HessianRemoteAccessor remoting(BE_REMOTE_PORT, BE_REMOTE_METHOD, BE_REMOTE_SERVER,
                                 BE_REMOTE_PATH);
  GenericRequest request(Action, AttributesIn);
  GM_PARAM_VALUE_typ tracker_event_port;
  if (GM_PARAM_get("CONFIG", "TRACKER_EVENT_PORT", tracker_event_port) != KX_SUCCESS) {
    snprintf(tracker_event_port, sizeof tracker_event_port, "%s", kDefaultTrackerEventPort);
  }
  RequestJobSubmit jobSubmitRequest(Action, AttributesIn, tracker_event_port);

  RequestGeneratorInterface &chosen =
      is_action(Action, kSubmit) ? static_cast<RequestGeneratorInterface &>(jobSubmitRequest)
                                 : request;
  be_backend::RequestText reqXML(chosen.toXml(false));
  if (reqXML.get() == nullptr) {
    // Refused before anything was sent, like a call that could not be made.
    PEXAPI_UTILS_ErrorSet(Error, 1, "%s: %s", kFnc, chosen.refusal());
    *report = false;
    return PEX_FAIL;
  }
  PEXRC rc = remoting.call(reqXML.get(), Error);
  if (rc != PEX_SUCCESS) {
    *report = false;
    return rc;
  }

  const std::string response = remoting.getResponse();
  const std::string reply_kind = remoting.responseKind();
  if (be_backend::answer_reports_error(response, kFnc, "job action response", Error)) {
    *report = false;
    return PEX_FAIL;  // the guards release the request text and the reply
  }

  {
    be_backend::AnswerAttributes temp_attrlist;
    rc = be_backend::answer_to_attributes(response, &temp_attrlist);
    if (rc == PEX_SUCCESS) {
      rc = store_answer(temp_attrlist.get(), AttributesOut, track, autoedits, Error);
    } else {
      be_backend::explain_untranslatable(kFnc, reply_kind, Error);
    }
  }
  if (track) append_autoedits(autoedits, AttributesOut);

  reqXML.release();
  remoting.deleteResponse();
  if (is_action(Action, kDelete)) {
    // A missing output file or an unusable mode is not the action's failure.
    BE_SYSOUT_chmod_sysout(AttributesIn, Error);
  }
  return rc;
}

PEXRC job_action(const char *Action, PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                 PEXError *Error) {
  const char *action_text = Action != nullptr ? Action : "";
  DIAG_TRACE(3, "%s", kFnc);
  DIAG_TRACE(4, "Action: '%s'", action_text);

  if (is_action(Action, kTrackTerm)) {
    DIAG_TRACE(4, "<%s> action currently is not supported", action_text);
    return PEX_SUCCESS;
  }

  AutoeditRows extendedAutoEditList;
  PEXRC rc = PEX_NOT_SUPPORTED;
  bool report = true;
  if (is_sent_action(Action)) {
    rc = send_action(Action, AttributesIn, AttributesOut, Error, extendedAutoEditList.get(),
                     &report);
  }
  if (rc != PEX_SUCCESS && report) {
    DIAG_TRACE(4, "'%s' action failed. Write notification in the sysout file.", action_text);
  }
  return rc;
}

}  // namespace

extern "C" PEXRC PEXAPI_JOB_ACTION(PEXConnection *Connection, char *Action,
                                   PEXAttrList *AttributesIn, PEXAttrList *AttributesOut,
                                   PEXError *Error) {
  (void)Connection;
  return be_backend::guard_entry(
      kFnc, Error, [&] { return job_action(Action, AttributesIn, AttributesOut, Error); });
}
