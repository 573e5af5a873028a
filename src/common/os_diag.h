/*
 * os_diag.h - the process log: debug levels, trace and error lines, the
 * buffered mode with its ring and critical-event dump, size-limited rotation.
 *
 * All state is process-wide and unguarded; the backend is called one request
 * at a time per process.
 */
#ifndef BE_HADOOP_COMMON_OS_DIAG_H
#define BE_HADOOP_COMMON_OS_DIAG_H

#include <stdint.h>
#include <stdio.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KX_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))

/* Size of one ring half; a half holds at most OS_DIAG_HALF_SIZE - 1 bytes of
 * lines followed by a terminator. */
#define OS_DIAG_HALF_SIZE 32768
/* Longest text of one line; longer output is cut. */
#define OS_DIAG_MAX_TEXT 32767
/* Room os_diag_print_installed_versions needs for its failure reason. */
#define OS_DIAG_ERROR_SIZE 4200

/* Process-wide diagnostic state; exported because the agent reads it too.
 * Element 0 of diag_debug_level is the debug level; 1-31 are indexed levels. */
extern int diag_debug_level[32];
extern int diag_active_level;   /* level of the line being written now */
extern int diag_buffered_level; /* level a critical event raises to; 5 */

/* The ring of buffered mode: the half being filled and the bytes used in it.
 * debug_index and active_buff follow every line as it is written, but the
 * text of a trace line whose format is a literal of this library or of the
 * main program is put into debug_buff only when the ring is dumped (or
 * kx::diag::settle_ring is called): until then the line is kept as its
 * format and arguments. */
extern char debug_buff[2][OS_DIAG_HALF_SIZE];
extern int active_buff;
extern int debug_index;

/* Log file path (empty until OS_DIAG_initialize: nothing reaches a file) and
 * the process name written into every line. */
extern char os_diag_file_name[4097];
extern char os_diag_proc_name[100];

/* Rotation state. */
extern int is_log_versions_enabled;
extern int skip_checks_counter;   /* written lines since the last good check */
extern int last_log_file_version; /* highest numbered copy made so far */
extern int64_t limit_log_file_size; /* bytes */
extern int limit_log_versions;      /* numbered copies kept */

int DIAG_debug_level(void);
int DIAG_active_level(void);
int DIAG_buffered_level(void);

/* Store the level. A level outside 0-6 is replaced by 0 after two warnings
 * on stderr. DIAG_set_debug_level sets element 0 only. */
void DIAG_set_debug_level(int p_lvl);
void DIAG_set_active_level(int p_lvl);
void DIAG_set_buffered_level(int p_lvl);

/* Indexed levels, no range check of the level. DIAG_set_debug_level2(l, 0)
 * sets all 32 elements. An index outside 0-31 is ignored (reads give 0). */
int DIAG_debug_level2(int i);
void DIAG_set_debug_level2(int p_lvl, int i);

/* Starts diagnostics for this process: the log becomes
 * "./proclog/<proc_name>_<pid>.log" (name cut to 99 characters), the ring is
 * cleared, and rotation is enabled for AG, AT, AR, WK and ATW<digit>... with
 * the limits of CONFIG. log_file_name is ignored; either may be NULL. */
void OS_DIAG_initialize(const char *log_file_name, const char *proc_name);

/* Formats (at most 32,767 characters; longer output is cut) and hands the
 * text to the line writer at the current active level. Nothing is formatted
 * when the writer would drop the line anyway. */
void DIAG_printf(const char *format, ...) KX_PRINTF(1, 2);

/* Hands p_line to the line writer as it is; '%' is not interpreted. The text
 * is cut to 32,767 characters. NULL is ignored. */
void DIAG_print_text(const char *p_line);

/* Writes the formatted text (5,000-byte area, longer text is cut) when the
 * debug level is at least DiagLevel, at the active level as it is (0 for
 * ordinary callers). Always returns PEX_SUCCESS. */
PEXRC PEXAPI_UTILS_DiagPrintf(int DiagLevel, const char *format, ...) KX_PRINTF(2, 3);

/* Writes the formatted text (5,120-byte area, at most 5,119 characters) and
 * a newline to stderr. */
void OS_MSGERR_display(const char *format, ...) KX_PRINTF(1, 2);

/* Function entry and exit hooks; they do nothing. */
void DIAG_fnc_enter(const char *fnc_name);
void DIAG_fnc_exit(void);

/* Size check and rotation of the log file; called by the line writer every
 * 100 written lines. KX_FAIL when the file cannot be examined or a rename
 * fails (older copies then keep their numbers); KX_SUCCESS otherwise. */
KX_RC check_log_file_size(void);

/* Copies "installed-versions.txt" from the agent's home directory into fp,
 * at most its first 65,536 bytes: a longer file (or one that never ends)
 * is followed by the line "installed-versions file '<path>' is longer than
 * 65536 bytes: the rest is left out". On failure returns KX_FAIL and leaves
 * the reason in error (which must hold OS_DIAG_ERROR_SIZE bytes; may be
 * NULL). */
KX_RC os_diag_print_installed_versions(FILE *fp, char *error);

#ifdef __cplusplus
}

#include <stdarg.h>
#include <stddef.h>
#include <time.h>

namespace kx {
namespace diag {

// Start of the current raised-debug-level period (seconds since 1970, 0 when
// none) and the reset interval. Tests move the start back instead of waiting.
time_t raised_period_start();
void set_raised_period_start(time_t start);
int reset_interval();

// Makes the text of the lines buffered mode has kept unformatted at their
// places in debug_buff, as a dump does before it writes the ring out.
void settle_ring();

// Puts every piece of diagnostic state back as it is at load time, for test
// programs that run many cases in one process.
void reset_state();

// Copies the text file at path into fp in pieces of up to 1,023 characters,
// no more than 65,536 bytes of it (then a line saying the rest is left out).
// On failure returns KX_FAIL with "failed to open input file '<path>'" (or
// "null file pointer") in error, cut to error_size.
KX_RC copy_text_file(FILE* fp, const char* path, char* error, size_t error_size);

// vsnprintf(out, size, format, ap), byte for byte, without vsnprintf's cost
// for the conversions the trace lines use; anything else is handed to it.
// Returns the length of the text in out (size > 0).
size_t format_text(char* out, size_t size, const char* format, va_list ap);

}  // namespace diag
}  // namespace kx
#endif

/*
 * A trace line at level N: formatted only when the buffered or the debug
 * level could want it, written at active level N. An error line is written
 * at active level 0 with no test, so that in buffered mode it is a critical
 * event. The test reads the levels directly so a line nobody wants costs two
 * comparisons.
 */
#define DIAG_TRACE(lvl, ...)                                                  \
  do {                                                                        \
    if (diag_buffered_level > (lvl)-1 || diag_debug_level[0] > (lvl)-1) {     \
      DIAG_set_active_level(lvl);                                             \
      DIAG_printf(__VA_ARGS__);                                               \
      DIAG_set_active_level(0);                                               \
    }                                                                         \
  } while (0)

#define DIAG_ERROR(...) DIAG_printf(__VA_ARGS__)

/* Addresses in the allocation traces are printed with "%x". */
#define DIAG_ADDR(p) ((unsigned int)(unsigned long)(const void *)(p))

#endif /* BE_HADOOP_COMMON_OS_DIAG_H */
