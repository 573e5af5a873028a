/*
 * be_handler.h - what the action handlers share for one exchange with the
 * container: the request text and the answer's attributes, each released
 * with the call; the answer's error check and its BODY as attributes; and
 * the guard that keeps an exception from crossing an entry point.
 *
 * C++ only, like be_remoting.h: the handlers are C++ translation units.
 */
#ifndef BE_HADOOP_BACKEND_BE_HANDLER_H
#define BE_HADOOP_BACKEND_BE_HANDLER_H

#include <exception>
#include <string>

#include "pexapi.h"

namespace be_backend {

/* A request text from RequestGeneratorInterface::toXml (null when none
 * could be built), freed with freeXmlBuffer at release() or at the end of
 * the holder's scope. */
class RequestText {
 public:
  explicit RequestText(char *text) : text_(text) {}
  ~RequestText() { release(); }
  RequestText(const RequestText &) = delete;
  RequestText &operator=(const RequestText &) = delete;
  const char *get() const { return text_; }
  void release();

 private:
  char *text_;
};

/* An answer's BODY as single-block attributes (answer_to_attributes),
 * released with PEXAPI_utils_release_attr at release() or at the end of the
 * holder's scope. */
class AnswerAttributes {
 public:
  AnswerAttributes();
  ~AnswerAttributes() { release(); }
  AnswerAttributes(const AnswerAttributes &) = delete;
  AnswerAttributes &operator=(const AnswerAttributes &) = delete;
  PEXAttrList *get() { return &list_; }
  void release();
  /* The value of the first attribute called name ("" for a null value), or
   * null when there is none. */
  const char *find(const char *name);

 private:
  PEXAttrList list_;
};

/* True when the answer reports an error (BE_INF_update_error): Error then
 * holds its code and message. The check reads a private copy of the answer;
 * the trace lines "<fnc>: Allocated <n> bytes for <what>" and "<fnc>: Freed
 * <n> bytes which were allocated for <what>" (level 4, n the answer's
 * length) bracket the copy's life. */
bool answer_reports_error(const std::string &response, const char *fnc, const char *what,
                          PEXError *Error);

/* The answer's BODY into list, which must hold nothing: the code of
 * BE_INF_xmlBuff2attr. On failure the answer is traced at level 2. */
PEXRC answer_to_attributes(const std::string &response, AnswerAttributes *list);

/* Fills Error (code 1; Error may be null) with why answer_to_attributes
 * failed, for the agent, who cannot read the process log. reply_kind is
 * the Hessian type of the reply the answer came from (responseKind()):
 *   "<fnc>: the container's reply is null, not a binary document"
 *   "<fnc>: the container's reply is a Hessian <kind>, not a binary document"
 *   "<fnc>: the container's answer is not well-formed XML (line <n>:
 *    <reason>)"
 *   "<fnc>: the container's answer could not be turned into attributes" */
void explain_untranslatable(const char *fnc, const std::string &reply_kind, PEXError *Error);

/* What an exception that reached an entry point leaves behind: the error
 * line "<fnc>: <what>" and the same text in Error (code 1; Error may be
 * null). Always PEX_FAIL. */
PEXRC report_exception(const char *fnc, const char *what, PEXError *Error);

/* Gives body()'s result; an exception ends as report_exception's (what is
 * "unknown exception" for one that is not a std::exception). */
template <typename Body>
PEXRC guard_entry(const char *fnc, PEXError *Error, Body &&body) {
  try {
    return body();
  } catch (const std::exception &e) {
    return report_exception(fnc, e.what(), Error);
  } catch (...) {
    return report_exception(fnc, "unknown exception", Error);
  }
}

// The shout, JCL and job-data entry points answer by whether the agent gave
// the connection user data; a null connection has none.
inline bool has_user_data(const PEXConnection *Connection) {
  return Connection != nullptr && Connection->UserData != nullptr;
}

}  // namespace be_backend

#endif /* BE_HADOOP_BACKEND_BE_HANDLER_H */
