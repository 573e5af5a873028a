/*
 * be_requests.h - the request documents sent to the container: one XML text
 * per request, "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER>
 * <ACTION>action</ACTION></HEADER><BODY>...</BODY></TWBKX>" on one line
 * with nothing between the tags (the line breaks here are for reading only).
 *
 * The body carries the input attributes, one element each, then the agent's
 * current debug level (DBGLVL), then what the request kind adds:
 *   GenericRequest    every action but a submit or an output read;
 *   RequestJobSubmit  adds TRACKER_EVENT_PORT;
 *   RequestSysout     adds SYSOUT_OFFSET, SYSOUT_BLOCK_SIZE, SYSOUT_STMT_SIZE.
 *
 * Typical use, on the caller's stack for one call:
 *
 *   GenericRequest request("TRACK", AttributesIn);
 *   char* xml = request.toXml(false);       // null: nothing to send
 *   PEXRC rc = accessor.call(xml, Error);   // sends the text unchanged
 *   RequestGeneratorInterface::freeXmlBuffer(xml);
 *
 * Ownership: a request object holds pointers only. The action text, the
 * attribute list and the tracker port text must stay alive until toXml has
 * returned; the object may be discarded right after. The text toXml returns
 * belongs to the caller, who releases it with freeXmlBuffer (never free or
 * delete directly).
 *
 * Bound: a document is at most BE_REQUEST_XML_BUFFER_SIZE - 1 characters.
 * A request whose document would be longer is refused as a whole: toXml
 * logs an error line and returns null, and nothing is ever written past the
 * buffer. Every document that fits is written in full.
 *
 * Well-formed: a text that holds a byte no XML 1.0 document can carry (a
 * control character other than tab, line feed and carriage return; in I18N
 * mode also a byte that is not part of a UTF-8 character) refuses the
 * request the same way. Such a byte is not replaced: the container acts on
 * these values (job parameters, names), and one silently changed would run
 * something other than what the agent asked for. refusal() tells the caller
 * why, in words for the agent.
 *
 * Not thread-safe: writing a body reloads the process-wide CONFIG table when
 * its file has changed.
 */
#ifndef BE_HADOOP_BACKEND_BE_REQUESTS_H
#define BE_HADOOP_BACKEND_BE_REQUESTS_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the buffer toXml allocates, terminator included. */
#define BE_REQUEST_XML_BUFFER_SIZE 100000

/* Appends the request-document opening to the NUL-terminated text already in
 * xmlbuf: the declaration "<?xml version='1.0' encoding='UTF-8'?>" (UTF-8
 * whatever the agent's code page) and the root start tag "<TWBKX>", 47 bytes
 * in all; the caller guarantees the room. Logs the buffer at level 4.
 * KX_SUCCESS; KX_FAIL with an error line for a null xmlbuf. */
KX_RC BE_INF_XML_BufInit(char *xmlbuf);

#ifdef __cplusplus
}

/* Abstract base: the document frame and the header. */
class RequestGeneratorInterface {
 public:
  RequestGeneratorInterface();

  /* Appends the ACTION element holding m_Action (escaped; null = empty). */
  virtual void writeHeader(char *outStr);

  /* Appends the body elements. excludeINFautoedit leaves out the attributes
   * whose names begin with "%%HDP-". */
  virtual void writeBody(char *outStr, bool excludeINFautoedit) = 0;

  virtual ~RequestGeneratorInterface();

  /* Builds the whole document in a new BE_REQUEST_XML_BUFFER_SIZE-byte
   * buffer and returns it; the caller releases it with freeXmlBuffer.
   * Null, with an error line, when the buffer cannot be allocated, the
   * document would not fit in it or a text holds a byte XML cannot carry
   * (the request is then not to be sent; refusal() says why). */
  virtual char *toXml(bool excludeINFautoedit);

  /* Why the last toXml returned null, for the agent's error record:
   *   "request document for action '<a>' not sent: it needs <n> bytes, more
   *    than the 99999 that fit (element '<e>' and those after it left out)"
   *   "request document not sent: <what> holds the byte 0x<hh> at offset
   *    <k>, which an XML 1.0 document cannot carry", <what> being "the
   *    value of attribute '<name>'", "the name of input attribute <i>",
   *    "the action name" or "the value of <element>"
   *   "no memory for the request document".
   * Empty after a toXml that returned a document. */
  const char *refusal() const { return m_refusal; }

  /* Releases a text returned by toXml. Null is accepted. */
  static void freeXmlBuffer(char *xmlBuff);

  /* outStr given to writeHeader/writeBody by anything but toXml must have
   * room for what they append: only toXml's own buffer is bounded. */

 protected:
  const char *m_Action; /* "DUMMY_ACTION" until a subclass sets it */

 private:
  char m_refusal[PEX_ERROR_TEXT_SIZE];
};

/* The input attributes as body elements, in list order, then DBGLVL:
 *  - a name beginning with "%%\" (an output autoedit) is never sent;
 *  - a name beginning with "%%HDP-" is not sent when excludeINFautoedit;
 *  - a leading "%%" is dropped from the name;
 *  - a name that is a usable element name (ASCII letter, '_' or ':' first,
 *    then ASCII letters, digits, '_', ':', '.', '-') gives one element of
 *    that name holding the value;
 *  - any other name (one with '%' or '$', an empty one, one with a byte of
 *    128 or above, ...) gives a pair of
 *    elements ZRT_ATTR_KEY_<n> holding the name and ZRT_ATTR_VAL_<n> holding
 *    the value, n counting the pairs of the whole request from 1.
 * DBGLVL holds CONFIG/DBGLVL ("0" when unset), read after reloading CONFIG
 * if its file changed. Attributes without a name are skipped; a null value
 * is sent empty. A null list or a non-positive Count gives DBGLVL alone. */
class GenericRequest : public RequestGeneratorInterface {
 public:
  GenericRequest(const char *action, const PEXAttrList *AttributesIn);
  void writeBody(char *outStr, bool excludeINFautoedit) override;

 protected:
  const PEXAttrList *m_AttributesIn; /* may be null */
};

/* The generic body, then TRACKER_EVENT_PORT holding tracker_event_port
 * (the caller's CONFIG/TRACKER_EVENT_PORT; null is sent as "-1", the
 * default when the key is missing). */
class RequestJobSubmit : public GenericRequest {
 public:
  RequestJobSubmit(const char *action, PEXAttrList *AttributesIn,
                   const char *tracker_event_port);
  void writeBody(char *outStr, bool excludeINFautoedit) override;

 protected:
  const char *m_TrackerEventPort;
};

/* The generic body, then SYSOUT_OFFSET (unsigned decimal, full 64-bit
 * range), SYSOUT_BLOCK_SIZE and SYSOUT_STMT_SIZE (signed decimals). */
class RequestSysout : public GenericRequest {
 public:
  RequestSysout(const char *action, PEXAttrList *AttributesIn, unsigned long offset, int size,
                int sizeStmt);
  void writeBody(char *outStr, bool excludeINFautoedit) override;

 protected:
  int m_size;               /* block size */
  int m_sizeStmt;           /* statement size */
  unsigned long m_offset;   /* offset into the output */
};

#endif /* __cplusplus */

#endif /* BE_HADOOP_BACKEND_BE_REQUESTS_H */
