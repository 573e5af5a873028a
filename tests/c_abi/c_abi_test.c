/*
 * The agent's view of the library: a C program that includes only the public
 * header, checks the record layouts it shares with the backend and calls the
 * lifecycle as an agent process does, in a fresh working directory.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pexapi.h"

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                               \
  do {                                                            \
    ++checks;                                                     \
    if (!(cond)) {                                                \
      ++failures;                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                             \
  } while (0)

/* Layouts as the agent compiles them on x86-64. */
_Static_assert(sizeof(PEXRC) == 4, "PEXRC is 32 bits");
_Static_assert(offsetof(PEXAttr, Name) == 0 && offsetof(PEXAttr, ValueLen) == 8 &&
                   offsetof(PEXAttr, Value) == 16 && sizeof(PEXAttr) == 24,
               "PEXAttr layout");
_Static_assert(offsetof(PEXAttrList, Count) == 0 && offsetof(PEXAttrList, Attributes) == 8 &&
                   offsetof(PEXAttrList, Curr) == 16 && sizeof(PEXAttrList) == 24,
               "PEXAttrList layout");
_Static_assert(offsetof(PEXError, code) == 0 && offsetof(PEXError, text) == 4 &&
                   sizeof(((PEXError *)0)->text) == 999,
               "PEXError layout");
_Static_assert(offsetof(PEXBackEnd, Dir) == 32 && offsetof(PEXBackEnd, Attributes) == 288 &&
                   offsetof(PEXBackEnd, DLLHandle) == 312 && offsetof(PEXBackEnd, UserData) == 328,
               "PEXBackEnd layout");
_Static_assert(offsetof(PEXConnection, BeName) == 8 && offsetof(PEXConnection, Attributes) == 136 &&
                   offsetof(PEXConnection, UserData) == 160 && offsetof(PEXConnection, result) == 168,
               "PEXConnection layout");
_Static_assert(offsetof(PEXLIST_entry_typ, size) == 8 && offsetof(PEXLIST_entry_typ, next) == 24,
               "PEXLIST_entry_typ layout");
_Static_assert(offsetof(PEXLIST_handle_typ, first) == 8 && offsetof(PEXLIST_handle_typ, curr) == 16,
               "PEXLIST_handle_typ layout");
_Static_assert(sizeof(GM_PARAM_table_row) == 64 + 4096, "row layout");
_Static_assert(PEX_CPP_STUB_CALLED == 30 && KX_SUCCESS == 1 && KX_FAIL == 2 && KX_EOS == 6,
               "return codes");
_Static_assert(GM_TIME_FMT_YYYYMMDD_HHMMSS_CCC == 14 && OS_FILE_WRITE_NOTRUNC_NOLOCK == 16,
               "enumerations");

static void check_service_calls(void) {
  char ver[128];
  char tiny[1] = {'x'};
  char big[4096];

  CHECK(strcmp(PEXAPI_Extended_Length(), "08") == 0);

  HADOOP_KX_version(tiny, 1);
  CHECK(tiny[0] == '\0');

  memset(big, 'x', sizeof big);
  HADOOP_KX_version(big, sizeof big);
  CHECK(strlen(big) > 0 && strlen(big) < sizeof big);
  CHECK(big[sizeof big - 1] == '\0' && big[strlen(big) + 1] == '\0'); /* zero padded */

  memset(ver, 'x', sizeof ver);
  HADOOP_KX_version(ver, 8);
  CHECK(strlen(ver) == 7 && strncmp(ver, big, 7) == 0);
  CHECK(ver[8] == 'x'); /* nothing written past size */
}

static void check_lifecycle(void) {
  PEXBackEnd backend;
  PEXConnection connection;
  PEXError error;
  PEXAttr attrs[1];
  PEXAttrList list;
  char name[] = "REQTYPE";
  char value[] = "TRACK";
  char log_path[64];
  struct stat st;

  memset(&backend, 0, sizeof backend);
  memset(&connection, 0, sizeof connection);
  memset(&error, 0, sizeof error);
  attrs[0].Name = name;
  attrs[0].ValueLen = sizeof value;
  attrs[0].Value = value;
  list.Count = 1;
  list.Attributes = attrs;
  list.Curr = 0;

  CHECK(PEXAPI_Init(&backend, &list, &error) == PEX_SUCCESS);
  CHECK(PEXAPI_Connect(&backend, &connection, &list, &error) == PEX_SUCCESS);
  CHECK(PEXAPI_Disconnect(&connection, &error) == PEX_SUCCESS);
  CHECK(PEXAPI_Term(&backend, &error) == PEX_SUCCESS);
  CHECK(error.code == 0 && error.text[0] == '\0');

  /* A tracking process logs under AT, at the debug level of CONFIG. */
  snprintf(log_path, sizeof log_path, "./proclog/AT_%d.log", (int)getpid());
  CHECK(stat(log_path, &st) == 0 && st.st_size > 0);
}

int main(void) {
  char dir[] = "/tmp/kx-c-abi-XXXXXX";
  FILE *config;
  char cmd[128];

  if (mkdtemp(dir) == NULL || chdir(dir) != 0) return 2;
  mkdir("data", 0755);
  mkdir("proclog", 0755);
  mkdir("sysout", 0755);
  config = fopen("data/CONFIG.dat", "w");
  if (config == NULL) return 2;
  fputs("DBGLVL 4\n", config);
  fclose(config);

  check_service_calls();
  check_lifecycle();

  if (chdir("/") != 0) return 2;
  snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
  if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
