/*
 * gm_param.h - parameter tables: the agent's settings files "./data/<T>.dat",
 * loaded on first use into a process-wide registry and answered by table name
 * and key; the same key/value row lists as a general ordered list built from
 * files, the environment, the command line or a separator-delimited text; and
 * the sectioned tables ("[NAME]" headers) with their own registry.
 *
 * A row (GM_PARAM_table_row, pexapi.h) is stored as one PEXLIST entry of
 * 65 + strlen(value) bytes: the whole 64-byte key field, then the value and
 * its terminator. Rows keep file order; a key may occur more than once and
 * lookups find the first.
 *
 * Results are KX_RC: KX_SUCCESS (1), KX_FAIL (2), KX_EOS (6: key absent, end
 * of a walk, or a table file that was not modified). Callers compare against
 * KX_SUCCESS unless a contract says otherwise.
 *
 * Registry state (TABLE_list, SUBTABLE_list and each table's walking
 * position) is process-wide and unguarded: one thread at a time.
 */
#ifndef BE_HADOOP_COMMON_GM_PARAM_H
#define BE_HADOOP_COMMON_GM_PARAM_H

#include <stddef.h>
#include <stdio.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Limits of the line syntax and of the stored and returned texts. */
#define GM_PARAM_PIECE_MAX 2120      /* characters read per piece of a line */
#define GM_PARAM_PARSE_MAX 2112      /* characters of a piece that are parsed */
#define GM_PARAM_KEY_MAX 63          /* stored key characters */
#define GM_PARAM_ROW_VALUE_MAX 4095  /* stored value characters */
#define GM_PARAM_VALUE_MAX 2047      /* characters GM_PARAM_get returns */
#define GM_PARAM_SAVE_VALUE_MAX 2048 /* value characters written by a save */
#define GM_PARAM_VALUELIST_MAX 2047  /* length of a value list text */
/* Bytes a table file is read up to, plain or sectioned. Tables hold tens of
 * rows; a file beyond this (or one that never ends, such as a link to
 * /dev/zero) is not read further. */
#define GM_PARAM_FILE_MAX 4194304
/* A section header line in a plain reader with the option1 parse. */
#define GM_PARAM_SECTION_HEADER 48

/* The registries: lists of GM_PARAM_table_list records in order of loading,
 * empty at load time. Plain tables in TABLE_list, sectioned tables (whose
 * record lists hold GM_PARAM_subtable_row entries) in SUBTABLE_list. */
extern PEXLIST_handle_typ TABLE_list;
extern PEXLIST_handle_typ SUBTABLE_list;

/* ------------------------------------------------------------------------ */
/* Named tables                                                             */
/* ------------------------------------------------------------------------ */

/* Copies the value of `key` in table `table_name` into `value`, which must
 * hold a GM_PARAM_VALUE_typ (2048 bytes): at most 2047 characters and a
 * terminator. The table is loaded from "./data/<table_name>.dat" on first use
 * and not re-examined afterwards. Keys are compared exactly (tables read from
 * files have upper-case keys). A "DEFAULT" row answers an absent key.
 * KX_SUCCESS; KX_EOS when the key is absent; KX_FAIL when the table cannot be
 * loaded or an argument is null. The buffer is untouched unless KX_SUCCESS. */
KX_RC GM_PARAM_get(const char *table_name, const char *key, char *value);

/* Loads the table, or reloads it when its file's modification time differs
 * from the one it was loaded with; flags bit 0 set reloads without that test.
 * A reload discards the old record (and unsaved changes) first. KX_EOS when
 * the file is unchanged; KX_FAIL when the name is longer than 63 characters
 * or the file cannot be examined (the table is then not registered). */
KX_RC GM_PARAM_load(const char *table_name, int flags);

/* As GM_PARAM_load, with keys upper-cased only when `upper` is non-zero and
 * reading stopped at the first section header. */
KX_RC GM_PARAM_load_option1(const char *table_name, int flags, int upper);

/* Sets *table to the registry's own record of the table, loading it when it
 * is not registered, and resets the record's row position. The record lives
 * until the table is reloaded or cleared. On failure *table is untouched and
 * the load's code is returned. */
KX_RC GM_PARAM_table_find(GM_PARAM_table_list **table, const char *table_name);

/* Replaces the first row of `key` (stored as given, cut to 63 characters) or
 * appends one; the value is cut to 4095 characters. A table that cannot be
 * loaded is created empty in memory (load time = now). Nothing is written to
 * disk. KX_FAIL for a name longer than 63 characters. */
KX_RC GM_PARAM_set(const char *table_name, const char *key, const char *value);

/* Removes the first row of `key`. KX_EOS when absent; the find's code when
 * the table cannot be found. In memory only. */
KX_RC GM_PARAM_delete(const char *table_name, const char *key);

/* Writes the table to "./data/<table_name>.dat" in the saved layout and takes
 * the file's new modification time as the load time. */
KX_RC GM_PARAM_save(const char *table_name);

/* Empties every plain table and TABLE_list. */
void GM_PARAM_clear(void);

/* Number of rows of a table record; 0 for null. */
int GM_PARAM_table_count(GM_PARAM_table_list *table);

/* The value of the key as a decimal number, or `default_value` when the key
 * cannot be read or the number is negative. */
int GM_PARAM_get_int_by_name(const char *table_name, const char *key,
                             int default_value);

/* Copies the text after the first '.' of CONFIG FIX_NUMBER (or of FD_NUMBER
 * when that is absent or "0") into `version`, which must hold 2048 bytes.
 * KX_FAIL (output untouched) when the value holds no '.'; the lookup's code
 * when neither key is present. */
KX_RC GM_PARAM_get_agent_version(char *version);

/* ------------------------------------------------------------------------ */
/* Row lists: any PEXLIST_handle_typ holding GM_PARAM_table_row entries      */
/* ------------------------------------------------------------------------ */

/* Initialises `list` empty (entries it held are NOT freed: pass a fresh or
 * cleared handle) and reads the plain parameter file into it. Reading stops
 * at end of file, at the first line that does not parse (a key of 64
 * characters or more, a failed allocation) or before the piece of a line
 * that would take the bytes read past GM_PARAM_FILE_MAX (with the error line
 * "file %s is longer than %d bytes: reading stopped there"); the rows
 * before it stay and the result is KX_SUCCESS. KX_FAIL (list untouched) when
 * the file cannot be opened. */
KX_RC GM_PARAM_load_file(PEXLIST_handle_typ *list, const char *file_name);

/* As GM_PARAM_load_file; keys are upper-cased only when `upper` is non-zero
 * and reading stops at the first section header line. */
KX_RC GM_PARAM_load_file_option1(PEXLIST_handle_typ *list, const char *file_name,
                                 int upper);

/* Parses one line (at most 2112 characters of it are read) and appends its
 * row with an upper-cased key. Comments, empty lines and section headers add
 * nothing and give KX_SUCCESS. KX_FAIL for a key of 64 characters or more or
 * a failed append. */
KX_RC GM_param_parse_str(PEXLIST_handle_typ *list, const char *line);

/* As GM_param_parse_str, upper-casing the key only when `upper` is non-zero;
 * a section header gives GM_PARAM_SECTION_HEADER (48) instead. */
KX_RC GM_param_parse_str_option1(PEXLIST_handle_typ *list, const char *line,
                                 int upper);

/* Resets the list and looks `key` up: the first row of that key, else the
 * last "DEFAULT" row's value (cut to 2047). Copies at most size - 1
 * characters and a terminator. KX_EOS (buffer untouched) when neither is
 * there; KX_FAIL for a null argument or a size below 1. */
KX_RC GM_PARAM_list_get(PEXLIST_handle_typ *list, const char *key, char *value,
                        int size);

/* The same lookup; *value points at the list's stored value (valid until the
 * row is deleted or the list cleared). */
KX_RC GM_PARAM_list_get_ptr(PEXLIST_handle_typ *list, const char *key,
                            char **value);

/* Advances the list's position and points *key and *value at the next row's
 * stored key and value (owned by the list). KX_EOS at the end; KX_FAIL for a
 * null list or an entry too short to be a row. */
KX_RC GM_PARAM_list_next(PEXLIST_handle_typ *list, char **key, char **value);

/* Puts the position before the first row. */
KX_RC GM_PARAM_list_reset(PEXLIST_handle_typ *list);

/* Frees every row; KX_EOS when the list was already empty. */
KX_RC GM_PARAM_list_clear(PEXLIST_handle_typ *list);

/* Replaces the first row of `key` in place, or appends one. The key is kept
 * as given (cut to 63), the value cut to 4095. Moves the list's position. */
KX_RC GM_PARAM_list_set(PEXLIST_handle_typ *list, const char *key,
                        const char *value);

/* Inserts a row after the current position (at the front when reset). */
KX_RC GM_PARAM_list_insert(PEXLIST_handle_typ *list, const char *key,
                           const char *value);

/* Appends a row at the end (key cut to 63, value to 4095 characters). The
 * position does not move. KX_FAIL for a null argument or failed allocation. */
KX_RC GM_PARAM_list_append(PEXLIST_handle_typ *list, const char *key,
                           const char *value);

/* Removes the first row of `key`; KX_EOS when absent. */
KX_RC GM_PARAM_list_delete(PEXLIST_handle_typ *list, const char *key);

/* Writes the list to `file_name` (truncated, locked): per row the key in a
 * field of 35, a blank, at most 2048 value characters, and an empty line. */
KX_RC GM_PARAM_list_save(PEXLIST_handle_typ *list, const char *file_name);

/* Logs the rows as error lines; the position does not move. */
KX_RC GM_PARAM_list_print(PEXLIST_handle_typ *list);

/* Sets each `src` row in `dest` when `dest` has no value for its key (DEFAULT
 * rule) or when `force` is non-zero. Always KX_SUCCESS. */
KX_RC GM_PARAM_list_merge(PEXLIST_handle_typ *dest, PEXLIST_handle_typ *src,
                          int force);

/* Appends to `dest` every `src` row whose key is not one of the NULL-
 * terminated `keys` (may be NULL). KX_FAIL when the source cannot be walked
 * or an append fails. */
KX_RC GM_PARAM_list_filter(PEXLIST_handle_typ *src, PEXLIST_handle_typ *dest,
                           char *const *keys);

/* Initialises `list` with a row per environment entry NAME=VALUE that starts
 * with CONFIG ZRTENV_PREFIX (every entry when there is none); the prefix is
 * dropped and NAME upper-cased. */
KX_RC GM_PARAM_load_env(PEXLIST_handle_typ *list);

/* Initialises `list` from options "-NAME value" of argv[1..]; merges the rows
 * of the file named by INPUT_FILE and, when INPUT_ENV is "Y", of the
 * environment (command-line rows win); sets the debug level from DBGLVL (or
 * CONFIG DBGLVL, else 0). The INPUT_FILE failure frees the list and returns
 * that code. */
KX_RC GM_PARAM_load_args(PEXLIST_handle_typ *list, int argc, char *const *argv);

/* Initialises `list` from a value list: entries of `text` (at most 2047
 * characters are read) separated by any character of `separators`, each
 * parsed as a line. KX_FAIL for a null text or empty separators. */
KX_RC GM_PARAM_load_valuelist(PEXLIST_handle_typ *list, const char *text,
                              const char *separators);
KX_RC GM_PARAM_load_valuelist_option1(PEXLIST_handle_typ *list, const char *text,
                                      const char *separators, int upper);

/* Joins the keys of `list` with `separator` into `out` (at most 2047
 * characters and a terminator; `out` holds 2048 bytes). KX_FAIL (out
 * untouched) when the text would not fit or the list is null. */
KX_RC GM_PARAM_save_valuelist(PEXLIST_handle_typ *list, char *out,
                              const char *separator);

/* ------------------------------------------------------------------------ */
/* Other operations                                                         */
/* ------------------------------------------------------------------------ */

/* KX_SUCCESS when `text` holds a '[' and its last ']' stands after it;
 * KX_FAIL otherwise and for null. */
KX_RC GM_PARAM_IsSubtable(const char *text);

/* The built-in NULL-terminated list of names whose values are never logged.
 * Owned by the library; do not modify. */
char **GM_PARAM_get_keysToRemove_list(void);

/* KX_FAIL when `name` equals one of the NULL-terminated `names` exactly,
 * else KX_SUCCESS (also for a null list). */
KX_RC GM_PARAM_is_printable(const char *name, char *const *names);

/* Obfuscates the first 64 bytes of `value` (terminator and whatever follows
 * included) into 128 lower-case hex digits. REQUIRES: `value` holds at least
 * 129 bytes. Always KX_SUCCESS. */
KX_RC GM_PARAM_encrypt(char *value);
/* Reverses GM_PARAM_encrypt (at most 128 digits are read, stopping at the
 * terminator) and removes trailing blanks. Always KX_SUCCESS. */
KX_RC GM_PARAM_decrypt(char *value);
/* The same for `length` bytes: REQUIRES 2 * length + 1 bytes of room. */
KX_RC GM_PARAM_encryptEx(char *value, int length);
KX_RC GM_PARAM_decryptEx(char *value, int length);

/* Copies the library's version text into `out`: at most size - 1 characters
 * and a terminator (nothing for a size below 1). */
void GLOBAL_version(char *out, int size);

/* ------------------------------------------------------------------------ */
/* Sectioned tables: records whose list holds GM_PARAM_subtable_row entries  */
/* ------------------------------------------------------------------------ */

/* As GM_PARAM_load on SUBTABLE_list with the sectioned reader. */
KX_RC GM_PARAM_subtable_load(const char *table_name, int flags);

/* Initialises `list` and reads a sectioned file into section records
 * (GM_PARAM_subtable_row). Rows before the first header are ignored; keys keep
 * their case; section names are upper-cased. KX_FAIL when the file cannot be
 * opened, a key has 64 characters or more, or the file is longer than
 * GM_PARAM_FILE_MAX bytes (the error line "file %s is longer than %d bytes:
 * reading stopped there"); the sections completed before stay in the list. */
KX_RC GM_PARAM_subtable_load_file(PEXLIST_handle_typ *list, const char *file_name);

/* As GM_PARAM_table_find on SUBTABLE_list. */
KX_RC GM_PARAM_subtable_table_find(GM_PARAM_table_list **table,
                                   const char *table_name);

/* Points *rows at the row list of the first section named `section` (exactly)
 * and resets its position. KX_EOS when absent. */
KX_RC GM_PARAM_subtable_list_find(PEXLIST_handle_typ *sections, const char *section,
                                  PEXLIST_handle_typ **rows);

/* Section lookup, then GM_PARAM_list_get with `size`. */
KX_RC GM_PARAM_subtable_list_get(PEXLIST_handle_typ *sections, const char *section,
                                 const char *key, char *value, int size);

/* Table, section and key lookup into a 2048-byte buffer. */
KX_RC GM_PARAM_subtable_get(const char *table_name, const char *section,
                            const char *key, char *value);

/* Finds or appends the section, then GM_PARAM_list_set. KX_FAIL for a section
 * name longer than 63 characters. */
KX_RC GM_PARAM_subtable_list_set(PEXLIST_handle_typ *sections, const char *section,
                                 const char *key, const char *value);

/* As GM_PARAM_subtable_list_set on a registered sectioned table, created
 * empty in memory when none can be loaded. */
KX_RC GM_PARAM_subtable_set(const char *table_name, const char *section,
                            const char *key, const char *value);

/* Writes the sectioned layout to "./data/<table_name>.dat" and takes the new
 * modification time as the load time. */
KX_RC GM_PARAM_subtable_save(const char *table_name);

/* Writes "[NAME]" per section and its rows with the key in a field of 64, two
 * blanks and at most 2048 value characters, each line followed by an empty
 * line. */
KX_RC GM_PARAM_subtable_list_save(PEXLIST_handle_typ *sections, const char *file_name);

/* Removes the first section of that name with all its rows; KX_EOS when
 * absent. */
KX_RC GM_PARAM_subtable_delete(const char *table_name, const char *section);
KX_RC GM_PARAM_subtable_list_delete(PEXLIST_handle_typ *sections, const char *section);

/* Removes the first row of `key` from the section. KX_FAIL when the table
 * cannot be found; KX_EOS when the section or key is absent. */
KX_RC GM_PARAM_subtable_delete_entry(const char *table_name, const char *section,
                                     const char *key);
/* The same on a table's section list. */
KX_RC GM_PARAM_subtable_list_delete_entry(PEXLIST_handle_typ *sections,
                                          const char *section, const char *key);

/* Empties every sectioned table and SUBTABLE_list. */
void GM_PARAM_subtable_clear(void);

/* Frees every section's rows, then the sections. KX_EOS when it was empty. */
KX_RC GM_PARAM_subtable_list_clear(PEXLIST_handle_typ *sections);

/* Logs the sections and rows as error lines. KX_FAIL for null. */
KX_RC GM_PARAM_subtable_list_print(PEXLIST_handle_typ *sections);

/* Cuts `text` in place at its last ']' and returns the part after its first
 * '['; NULL (text untouched) when it is not a section header. */
char *GM_PARAM_Get_SubtableName(char *text);

#ifdef __cplusplus
}

/* Shared by the plain and the sectioned family; not part of the C API. */
namespace be_common {
namespace gm_param_detail {

// The parameter-table lock, held for the guard's lifetime. The semaphore
// calls give no exclusion on this platform; nesting relies on that.
class TableLock {
 public:
  TableLock();
  ~TableLock();
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

// One line split in place: the key terminated, the value (if any) prepared.
struct LineParts {
  bool comment;    // comment or nothing but blanks: no key at all
  char *key;       // terminated inside the caller's buffer
  size_t key_len;
  bool has_value;  // the key ended at a blank, tab or '='
  char *value;     // points at "" when there is none
  size_t value_len;
};

// Skips leading blanks and tabs, recognises a comment and terminates the key
// at the first blank, tab or '=' of `work`. Does not touch the value.
void split_key(char *work, LineParts *parts);

// Steps over blanks and tabs after the separator, removes trailing blanks and
// logs the value (and an over-long one as an error line).
void prepare_value(LineParts *parts);

// Appends a row (or, with `insert`, puts it after the list's cursor) built
// from the key cut to 63 and the value cut to 4095 characters; upper-cases
// the stored key when `upper`.
KX_RC add_row(PEXLIST_handle_typ *list, const char *key, const char *value,
              bool upper, bool insert);

// The error line of a table file read up to GM_PARAM_FILE_MAX bytes.
void report_file_too_long(const char *file_name);

// Closes a stream opened with OS_FILE_fopen when it goes out of scope.
class ParamFile {
 public:
  ParamFile() : fp_(NULL) {}
  ~ParamFile();
  ParamFile(const ParamFile &) = delete;
  ParamFile &operator=(const ParamFile &) = delete;
  FILE **out() { return &fp_; }
  FILE *get() const { return fp_; }
  // Closes now; KX_FAIL when the close fails.
  KX_RC close();

 private:
  FILE *fp_;
};

// Bounded copy that always terminates (nothing for a size of 0).
void copy_text(char *dst, size_t size, const char *src);

// True when the 64-byte key field of a row holds exactly `key`.
bool key_equals(const char *field, const char *key);

// The name with trailing blanks removed, as table and section names are kept.
size_t unpadded_length(const char *name);
bool name_matches(const char *stored, const char *wanted);

// Loading and finding in one registry. The reader fills a fresh row list; the
// freer releases what a record's list holds.
typedef KX_RC (*TableReader)(PEXLIST_handle_typ *list, const char *path, int option);
typedef void (*TableFreer)(PEXLIST_handle_typ *list);

struct RegistryKind {
  PEXLIST_handle_typ *registry;
  const char *load_name;  // operation name in the load's messages
  bool plain_messages;    // plain load: "%s: Table='%s'" and the change notes
  TableReader reader;
  TableFreer freer;
};

KX_RC registry_load(const RegistryKind &kind, const char *table_name, int flags,
                    int option);
KX_RC registry_find(const RegistryKind &kind, GM_PARAM_table_list **table,
                    const char *table_name,
                    KX_RC (*loader)(const char *table_name, int flags));
// Registers an empty in-memory table (load time = now) when none is found.
typedef KX_RC (*TableFinder)(GM_PARAM_table_list **table, const char *table_name);
KX_RC registry_find_or_create(const RegistryKind &kind, GM_PARAM_table_list **table,
                              const char *table_name, TableFinder finder);
// Writes a registered table with `saver` and refreshes its load time.
KX_RC registry_save(const char *table_name, TableFinder finder,
                    KX_RC (*saver)(PEXLIST_handle_typ *list, const char *path));
void registry_clear(const RegistryKind &kind);

// "./data/<name>.dat" into a PATHNAME_D_typ.
void table_path(char *path, size_t size, const char *table_name);

}  // namespace gm_param_detail
}  // namespace be_common

#endif /* __cplusplus */

#endif /* BE_HADOOP_COMMON_GM_PARAM_H */
