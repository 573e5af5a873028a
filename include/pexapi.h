/*
 * pexapi.h - the records and enumerations shared between the scheduling agent
 * and this backend. Everything here is plain C and laid out exactly as the
 * agent expects it; nothing may be reordered or resized.
 */
#ifndef BE_HADOOP_PEXAPI_H
#define BE_HADOOP_PEXAPI_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return code of the backend interface and the attribute library. */
typedef enum {
  PEX_SUCCESS = 0,
  PEX_FAIL = 1,
  PEX_EOS = 2,
  PEX_NOT_FOUND = 3,
  PEX_NOT_SUPPORTED = 4,
  PEX_RETRY = 5,
  PEX_UNAVAILABLE = 6,
  PEX_CPP_STUB_CALLED = 30
} PEXRC;

/* Return code of the utility layer: note that success is 1 here. */
typedef int KX_RC;
#define KX_SUCCESS 1
#define KX_FAIL 2
#define KX_EOS 6

typedef unsigned char flag;

/* ---- attribute lists and error records ---- */

typedef struct {
  char *Name;
  uint16_t ValueLen; /* capacity of Value in bytes, terminator included */
  char *Value;
} PEXAttr;

typedef struct {
  int32_t Count;
  PEXAttr *Attributes;
  int32_t Curr; /* cursor; may stand beyond Count after an iteration */
} PEXAttrList;

typedef uint32_t PEXErrorCode;
#define PEX_ERROR_TEXT_SIZE 999
typedef char PEXErrorText[PEX_ERROR_TEXT_SIZE];

typedef struct {
  PEXErrorCode code;
  PEXErrorText text; /* at most 998 characters and a terminator */
} PEXError;

/* ---- agent records passed to the entry points ---- */

typedef char PEXBeType[32];
typedef char PEXBeDir[256];
typedef char PEXBeName[128];
typedef char PEXObjectAction[128];

typedef struct {
  PEXBeType Type;
  PEXBeDir Dir;
  PEXAttrList Attributes;
  void *DLLHandle;
  void *Methods;
  void *UserData;
} PEXBackEnd;

typedef struct {
  PEXBackEnd *BeHandle;
  PEXBeName BeName;
  PEXAttrList Attributes;
  void *UserData;
  PEXRC result;
} PEXConnection;

/* ---- linked list of private byte copies ---- */

struct pex_entry {
  void *ptr;    /* size + 1 bytes: the caller's data and a zero byte */
  int32_t size; /* length of the caller's data */
  struct pex_entry *prev;
  struct pex_entry *next;
};
typedef struct pex_entry PEXLIST_entry_typ;

typedef struct {
  int32_t count;
  PEXLIST_entry_typ *first;
  PEXLIST_entry_typ *curr; /* entry last returned; NULL = before the first */
} PEXLIST_handle_typ;

/* ---- parameter tables ---- */

typedef char GM_PARAM_KEY_typ[64];
typedef char GM_PARAM_ROW_VALUE_typ[4096];
typedef char GM_PARAM_VALUE_typ[2048];
typedef char DATETIME_D_typ[18];
typedef char PATHNAME_D_typ[4097];

typedef struct {
  GM_PARAM_KEY_typ key;
  GM_PARAM_ROW_VALUE_typ val;
} GM_PARAM_table_row;

typedef struct {
  char table_name[64];
  DATETIME_D_typ load_timestmp;
  PEXLIST_handle_typ table;
} GM_PARAM_table_list;

typedef struct {
  char key[64];
  PEXLIST_handle_typ list;
} GM_PARAM_subtable_row;

/* ---- time utilities ---- */

typedef enum {
  GM_TIME_FMT_HHMM = 0,
  GM_TIME_FMT_HH_MM = 1,
  GM_TIME_FMT_DD_MMM_YYYY = 2,
  GM_TIME_FMT_YYYYMMDD = 3,
  GM_TIME_FMT_YYYYMMDDHHMMSS = 4,
  GM_TIME_FMT_YYYY_MM_DD_HH_MM_SS = 5,
  GM_TIME_FMT_MMDD = 6,
  GM_TIME_FMT_DDMMYYYY = 7,
  GM_TIME_FMT_HHMMSS = 8,
  GM_TIME_FMT_HH_MM_SS = 9,
  GM_TIME_FMT_HH_MM_SS_CC = 10,
  GM_TIME_FMT_HH_MM_SS_CCC = 11,
  GM_TIME_FMT_MMDD_HH_MM_SS_CCC = 12,
  GM_TIME_FMT_HHMMSS_CCC = 13,
  GM_TIME_FMT_YYYYMMDD_HHMMSS_CCC = 14
} GM_TIME_FMT_typ;

typedef enum {
  GM_TIME_GT = 0, /* the given time is later than now */
  GM_TIME_EQ = 1,
  GM_TIME_LT = 2  /* the given time is earlier */
} GM_TIME_CMP_typ;

typedef struct {
  struct timeval time_before;
  long cpu_time;  /* hundredths of a second */
  long real_time; /* hundredths of a second */
} OS_TIME_TIMER_typ;

/* ---- file utilities ---- */

typedef enum {
  OS_FILE_CREATE = 0,
  OS_FILE_LOCK = 1,
  OS_FILE_LOCK_NOWAIT = 2,
  OS_FILE_NOLOCK = 3,
  OS_FILE_READ = 4,
  OS_FILE_READ_NOLOCK = 5,
  OS_FILE_WRITE = 6,
  OS_FILE_APPEND = 7,
  OS_FILE_TRUNC = 8,
  OS_FILE_UPDATE = 9,
  OS_FILE_WRITE_BINARY = 10,
  OS_FILE_APPEND_BINARY = 11,
  OS_FILE_READ_BINARY = 12,
  OS_FILE_READ_BINARY_NOLOCK = 13,
  OS_FILE_CREATE_777 = 14,
  OS_FILE_WRITE_NOLOCK = 15,
  OS_FILE_WRITE_NOTRUNC_NOLOCK = 16
} OS_FILE_MODE_typ;

typedef enum {
  OS_FILE_PROCID = 0,
  OS_FILE_SYSOUT = 1,
  OS_FILE_LOG = 2,
  OS_FILE_ECF = 3,
  OS_FILE_PID = 4,
  OS_FILE_DATAFILE = 5,
  OS_FILE_TMP = 6,
  OS_FILE_EXITFILE = 7,
  OS_FILE_BKFILE = 8,
  OS_FILE_ONSTMT = 9,
  OS_FILE_INSTREAM = 10,
  OS_FILE_SSH_TMP = 11
} OS_FILE_TYPE_typ;

/* Permission bits: 1 read, 2 write, 4 execute, added together. */
typedef enum {
  OS_FILE_NO_PERMISSION = 0,
  OS_FILE_READ_PERMISSION = 1,
  OS_FILE_WRITE_PERMISSION = 2,
  OS_FILE_READ_WRITE_PERMISSION = 3,
  OS_FILE_EXEC_PERMISSION = 4,
  OS_FILE_READ_EXEC_PERMISSION = 5,
  OS_FILE_WRITE_EXEC_PERMISSION = 6,
  OS_FILE_READ_WRITE_EXEC_PERMISSION = 7
} OS_FILE_PERMISSION_typ;

typedef enum {
  OS_FILE_BEGIN = 0,
  OS_FILE_CURR = 1,
  OS_FILE_END = 2
} OS_FILE_SEEK_typ;

typedef enum {
  OS_FILE_ACCESS_EXIST = 0,
  OS_FILE_ACCESS_EXECUTE = 1,
  OS_FILE_ACCESS_WRITE = 2,
  OS_FILE_ACCESS_READ = 3
} OS_FILE_ACCESS_typ;

typedef int OSSemObject;

/* ---- entry points the agent calls ---- */

/* Lifecycle and service calls. */
PEXRC PEXAPI_Init(PEXBackEnd *BackEnd, PEXAttrList *Attributes, PEXError *Error);
PEXRC PEXAPI_Connect(PEXBackEnd *BackEnd, PEXConnection *Connection, PEXAttrList *Attributes,
                     PEXError *Error);
PEXRC PEXAPI_Disconnect(PEXConnection *Connection, PEXError *Error);
PEXRC PEXAPI_Term(PEXBackEnd *BackEnd, PEXError *Error);
PEXRC PEXAPI_Shutdown(void);
PEXRC PEXAPI_ReleaseAttr(PEXAttrList *AttrList);
char *PEXAPI_Extended_Length(void);
void HADOOP_KX_version(char *ver, int size);

/* Actions: one request each. */
PEXRC PEXAPI_JOB_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                        PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_SYSOUT_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                           PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_LIST_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                         PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_EVENT_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                          PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_SHOUT_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                          PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_JCL_ACTION(PEXConnection *Connection, char *Action, PEXAttrList *AttributesIn,
                        PEXAttrList *AttributesOut, PEXError *Error);

/* Data streams: open gives a handle that read, write and close take. */
PEXRC PEXAPI_SYSOUT_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                              PEXError *Error);
PEXRC PEXAPI_SYSOUT_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                              PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_SYSOUT_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                               PEXError *Error);
PEXRC PEXAPI_LIST_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                            PEXError *Error);
PEXRC PEXAPI_LIST_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                            PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_LIST_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                             PEXError *Error);
PEXRC PEXAPI_JCL_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                           PEXError *Error);
PEXRC PEXAPI_JCL_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                           PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_JCL_DATA_WRITE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);
PEXRC PEXAPI_JCL_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);
PEXRC PEXAPI_JOB_DATA_OPEN(PEXConnection *Connection, void **Handle, PEXAttrList *Attributes,
                           PEXError *Error);
PEXRC PEXAPI_JOB_DATA_READ(PEXConnection *Connection, void *Handle, PEXAttrList *AttributesIn,
                           PEXAttrList *AttributesOut, PEXError *Error);
PEXRC PEXAPI_JOB_DATA_WRITE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);
PEXRC PEXAPI_JOB_DATA_CLOSE(PEXConnection *Connection, void *Handle, PEXAttrList *Attributes,
                            PEXError *Error);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_PEXAPI_H */
