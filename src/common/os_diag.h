/*
 * os_diag.h - the process log: debug levels, trace and error lines, the
 * buffered mode with its ring and critical-event dump, size-limited rotation.
 *
 * All state is process-wide and unguarded; the backend is called one request
 * at a time per process.
 */
#ifndef BE_HADOOP_COMMON_OS_DIAG_H
#define BE_HADOOP_COMMON_OS_DIAG_H

#include <stdio.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KX_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))

/* Process-wide diagnostic state; exported because the agent reads it too. */
extern int diag_debug_level[32];
extern int diag_active_level;
extern int diag_buffered_level;

int DIAG_debug_level(void);
int DIAG_active_level(void);
int DIAG_buffered_level(void);

/* Levels outside 0-6 are replaced by 0 after two warnings on stderr. */
void DIAG_set_debug_level(int p_lvl);
void DIAG_set_active_level(int p_lvl);
void DIAG_set_buffered_level(int p_lvl);

/* Indexed levels; DIAG_set_debug_level2(l, 0) sets all 32. No range check. */
int DIAG_debug_level2(int i);
void DIAG_set_debug_level2(int p_lvl, int i);

/* Starts diagnostics: the log becomes "./proclog/<proc_name>_<pid>.log".
 * log_file_name is ignored. */
void OS_DIAG_initialize(char *log_file_name, char *proc_name);

/* Formats (at most 32,767 characters) and hands the text to the line writer. */
void DIAG_printf(const char *format, ...) KX_PRINTF(1, 2);

/* Hands p_line to the line writer as it is; '%' is not interpreted. */
void DIAG_print_text(char *p_line);

/* Writes the formatted text (5,000-byte area) when the debug level is at
 * least DiagLevel, at active level 0. Returns PEX_SUCCESS. */
PEXRC PEXAPI_UTILS_DiagPrintf(int DiagLevel, char *format, ...) KX_PRINTF(2, 3);

/* Writes the formatted text (5,120-byte area) and a newline to stderr. */
void OS_MSGERR_display(char *format, ...) KX_PRINTF(1, 2);

void DIAG_fnc_enter(char *fnc_name);
void DIAG_fnc_exit(void);

/* Size check and rotation of the log file; called by the line writer. */
KX_RC check_log_file_size(void);

/* Copies the agent's installed-versions file into fp. */
KX_RC os_diag_print_installed_versions(FILE *fp, char *error);

#ifdef __cplusplus
}
#endif

/*
 * A trace line at level N: formatted only when the buffered or the debug
 * level could want it, written at active level N. An error line is written
 * at active level 0 with no test, so that in buffered mode it is a critical
 * event.
 */
#define DIAG_TRACE(lvl, ...)                                              \
  do {                                                                    \
    if (DIAG_buffered_level() > (lvl)-1 || DIAG_debug_level() > (lvl)-1) { \
      DIAG_set_active_level(lvl);                                         \
      DIAG_printf(__VA_ARGS__);                                           \
      DIAG_set_active_level(0);                                           \
    }                                                                     \
  } while (0)

#define DIAG_ERROR(...) DIAG_printf(__VA_ARGS__)

/* Addresses in the allocation traces are printed with "%x". */
#define DIAG_ADDR(p) ((unsigned int)(unsigned long)(const void *)(p))

#endif /* BE_HADOOP_COMMON_OS_DIAG_H */
