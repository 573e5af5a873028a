// gm_param.cc - plain parameter tables, their registry and key/value row
// lists.
//
// Every buffer here is fixed-size (pieces of a line, keys, values, the value
// buffer of GM_PARAM_get); all copies into them go through copy_text or an
// explicit length so that an over-long line, key or value is cut, never
// written past its field.

#include "gm_param.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gm_str.h"
#include "gm_time.h"
#include "os_diag.h"
#include "os_file.h"
#include "pexlist.h"

extern char **environ;

extern "C" {
PEXLIST_handle_typ TABLE_list = {0, NULL, NULL};
}

namespace be_common {
namespace gm_param_detail {

namespace {

const int kLockWait = 30000;
OSSemObject g_table_sem = 0;

// Whole bytes of a table record and of a row's key field as stored.
const unsigned kKeyField = sizeof(GM_PARAM_KEY_typ);

}  // namespace

TableLock::TableLock() : held_(false) {
  if (OS_IPC_sem_create(&g_table_sem, "AG_Mutex", kLockWait) != KX_SUCCESS) return;
  held_ = OS_IPC_sem_lock(g_table_sem, kLockWait) == KX_SUCCESS;
}

TableLock::~TableLock() {
  if (held_) OS_IPC_sem_unlock(g_table_sem);
}

ParamFile::~ParamFile() { close(); }

KX_RC ParamFile::close() {
  if (fp_ == NULL) return KX_SUCCESS;
  FILE *fp = fp_;
  fp_ = NULL;
  return OS_FILE_fclose(fp);
}

void copy_text(char *dst, size_t size, const char *src) {
  if (dst == NULL || size == 0) return;
  if (src == NULL) src = "";
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

bool key_equals(const char *field, const char *key) {
  size_t len = strlen(key);
  return len < kKeyField && strncmp(field, key, kKeyField) == 0;
}

size_t unpadded_length(const char *name) {
  size_t n = strlen(name);
  while (n > 0 && name[n - 1] == ' ') --n;
  return n;
}

// Stored names have no trailing blanks; comparing the wanted name without its
// own keeps "CONFIG " from never finding the "CONFIG" it just loaded.
bool name_matches(const char *stored, const char *wanted) {
  size_t n = unpadded_length(wanted);
  return strnlen(stored, 64) == n && strncmp(stored, wanted, n) == 0;
}

void split_key(char *work, LineParts *parts) {
  char *p = work;
  while (*p == ' ' || *p == '\t') ++p;
  parts->comment = *p == '#';
  parts->key = p;
  while (*p != '\0' && *p != ' ' && *p != '=' && *p != '\t') ++p;
  parts->key_len = (size_t)(p - parts->key);
  parts->has_value = *p != '\0';
  if (parts->has_value) {
    *p = '\0';
    parts->value = p + 1;
  } else {
    parts->value = p;
  }
  parts->value_len = 0;
}

void prepare_value(LineParts *parts) {
  if (!parts->has_value) return;
  char *v = parts->value;
  while (*v == ' ' || *v == '\t') ++v;
  GM_STR_unpad(v);
  parts->value = v;
  parts->value_len = strlen(v);
  DIAG_TRACE(6, "value: (%d)'%.100s'", (int)parts->value_len, v);
  if (parts->value_len > GM_PARAM_ROW_VALUE_MAX)
    DIAG_ERROR("value too long: %d - truncated", (int)parts->value_len);
}

void report_file_too_long(const char *file_name) {
  DIAG_ERROR("file %s is longer than %d bytes: reading stopped there", file_name,
             GM_PARAM_FILE_MAX);
}

KX_RC add_row(PEXLIST_handle_typ *list, const char *key, const char *value,
              bool upper, bool insert) {
  if (list == NULL || key == NULL || value == NULL) return KX_FAIL;
  GM_PARAM_table_row row;
  memset(row.key, 0, sizeof row.key);
  copy_text(row.key, sizeof row.key, key);
  if (upper) GM_STR_toupper(row.key);
  size_t vlen = strnlen(value, GM_PARAM_ROW_VALUE_MAX);
  memcpy(row.val, value, vlen);
  row.val[vlen] = '\0';
  unsigned size = (unsigned)(sizeof row.key + vlen + 1);
  return insert ? PEXLIST_insert(list, &row, size) : PEXLIST_append(list, &row, size);
}

void table_path(char *path, size_t size, const char *table_name) {
  snprintf(path, size, "./data/%s.dat", table_name);
}

namespace {

// The registry record at a walk position, or NULL for a foreign entry.
GM_PARAM_table_list *as_record(void *ptr, unsigned size) {
  return size >= sizeof(GM_PARAM_table_list) ? static_cast<GM_PARAM_table_list *>(ptr)
                                              : NULL;
}

KX_RC stat_mtime(const char *path, char *mtime) {
  long bytes = 0;
  long lines = 0;
  DATETIME_D_typ created;
  DATETIME_D_typ modified;
  memset(modified, 0, sizeof modified);
  KX_RC rc = OS_FILE_stat(path, &bytes, &lines, created, modified);
  if (rc == KX_SUCCESS) copy_text(mtime, sizeof(DATETIME_D_typ), modified);
  return rc;
}

// A registry record for table_name (unpadded) with an empty table; KX_FAIL
// for a name that does not fit the record.
KX_RC new_record(const char *table_name, GM_PARAM_table_list *rec) {
  size_t len = strlen(table_name);
  if (len > GM_PARAM_KEY_MAX) {
    DIAG_TRACE(4, "table_name too long: %d", (int)len);
    return KX_FAIL;
  }
  memset(rec, 0, sizeof *rec);
  copy_text(rec->table_name, sizeof rec->table_name, table_name);
  GM_STR_unpad(rec->table_name);
  PEXLIST_init(&rec->table);
  return KX_SUCCESS;
}

}  // namespace

KX_RC registry_load(const RegistryKind &kind, const char *table_name, int flags,
                    int option) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  if (kind.plain_messages) {
    DIAG_TRACE(4, "%s: Table='%s'", kind.load_name, table_name ? table_name : "");
  } else {
    DIAG_TRACE(4, "%s", kind.load_name);
    DIAG_TRACE(4, "Table='%s'", table_name ? table_name : "");
  }
  if (table_name == NULL) return KX_FAIL;

  PATHNAME_D_typ path;
  table_path(path, sizeof path, table_name);

  PEXLIST_handle_typ *registry = kind.registry;
  PEXLIST_reset(registry);
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(registry, &ptr, &size) == KX_SUCCESS) {
    GM_PARAM_table_list *rec = as_record(ptr, size);
    if (rec == NULL || !name_matches(rec->table_name, table_name)) continue;
    if ((flags & 1) == 0) {
      DATETIME_D_typ mtime;
      if (stat_mtime(path, mtime) == KX_SUCCESS) {
        if (strcmp(mtime, rec->load_timestmp) == 0) {
          if (kind.plain_messages)
            DIAG_TRACE(4, "%s: Table '%s' was not modified", kind.load_name, table_name);
          return KX_EOS;
        }
        if (kind.plain_messages)
          DIAG_TRACE(4, "%s: Table '%s' was modified, reloading.", kind.load_name,
                     table_name);
      }
    }
    // Also when the file has gone: a table that cannot be examined is not
    // kept, so the next lookup tries the file again.
    kind.freer(&rec->table);
    PEXLIST_delete(registry);
    break;
  }

  GM_PARAM_table_list rec;
  KX_RC rc = new_record(table_name, &rec);
  if (rc != KX_SUCCESS) return rc;
  rc = stat_mtime(path, rec.load_timestmp);
  if (rc != KX_SUCCESS) return rc;

  rc = kind.reader(&rec.table, path, option);
  if (rc == KX_SUCCESS) {
    rc = PEXLIST_append(registry, &rec, sizeof rec);
    if (rc != KX_SUCCESS) kind.freer(&rec.table);
  } else {
    // A sectioned reader may fail after it read some sections.
    kind.freer(&rec.table);
  }
  return rc;
}

KX_RC registry_find(const RegistryKind &kind, GM_PARAM_table_list **table,
                    const char *table_name,
                    KX_RC (*loader)(const char *table_name, int flags)) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  if (table == NULL || table_name == NULL) return KX_FAIL;

  // One load at most: a load that succeeds registers the name, so a second
  // miss would mean the registry is corrupt, not that we should load again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    PEXLIST_handle_typ walk = *kind.registry;  // the registry's position stays
    walk.curr = NULL;
    void *ptr = NULL;
    unsigned size = 0;
    KX_RC rc;
    while ((rc = PEXLIST_next_ptr(&walk, &ptr, &size)) == KX_SUCCESS) {
      GM_PARAM_table_list *rec = as_record(ptr, size);
      if (rec == NULL || !name_matches(rec->table_name, table_name)) continue;
      DIAG_TRACE(5, "table '%s' already loaded", table_name);
      *table = rec;
      PEXLIST_reset(&rec->table);
      return KX_SUCCESS;
    }
    if (rc != KX_EOS) return rc;
    if (attempt > 0) break;
    rc = loader(table_name, 1);
    if (rc != KX_SUCCESS) return rc;
  }
  return KX_FAIL;
}

KX_RC registry_find_or_create(const RegistryKind &kind, GM_PARAM_table_list **table,
                              const char *table_name, TableFinder finder) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  if (table == NULL || table_name == NULL) return KX_FAIL;
  if (finder(table, table_name) == KX_SUCCESS) return KX_SUCCESS;

  GM_PARAM_table_list rec;
  KX_RC rc = new_record(table_name, &rec);
  if (rc != KX_SUCCESS) return rc;
  GM_TIME_fmt_get_time(GM_TIME_FMT_YYYYMMDDHHMMSS, rec.load_timestmp);
  rc = PEXLIST_append(kind.registry, &rec, sizeof rec);
  if (rc != KX_SUCCESS) return rc;
  return finder(table, table_name);
}

KX_RC registry_save(const char *table_name, TableFinder finder,
                    KX_RC (*saver)(PEXLIST_handle_typ *list, const char *path)) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  KX_RC rc = table_name == NULL ? KX_FAIL : finder(&rec, table_name);
  if (rc != KX_SUCCESS) {
    DIAG_TRACE(2, "Can not find the configuration table '%s'",
               table_name ? table_name : "");
    return rc;
  }
  PATHNAME_D_typ path;
  table_path(path, sizeof path, table_name);
  rc = saver(&rec->table, path);
  // The new time makes the next change test see the file as unchanged.
  if (rc == KX_SUCCESS) stat_mtime(path, rec->load_timestmp);
  return rc;
}

void registry_clear(const RegistryKind &kind) {
  TableLock lock;
  PEXLIST_handle_typ walk = *kind.registry;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    GM_PARAM_table_list *rec = as_record(ptr, size);
    if (rec != NULL) kind.freer(&rec->table);
  }
  PEXLIST_clear(kind.registry);
}

}  // namespace gm_param_detail
}  // namespace be_common

namespace {

using namespace be_common::gm_param_detail;

const char kVersionText[] = "GLOBAL dll 8.0.00 - folders 2451, 2452 - Wed Sep 12 14:50:52 2012";

// Fixed obfuscation keys; any fixed strings of these lengths would serve, but
// changing them makes every value stored so far unreadable.
const char kObfKey7[] = "K7QZ2MX";
const char kObfKey11[] = "R4TV9WB3NJ6";

char kMaskPassword[] = "PASSWORD";
char kMaskPasswordKey[] = "PASSWORD_KEY";
char kMaskPassphrase[] = "KEY_PASSPHRASE";
char kMaskInstream[] = "INSTREAM_SCRIPT";
char *g_keys_to_remove[] = {kMaskPassword, kMaskPasswordKey, kMaskPassphrase,
                            kMaskInstream, NULL};

KX_RC read_rows(PEXLIST_handle_typ *list, const char *path, int option) {
  return option < 0 ? GM_PARAM_load_file(list, path)
                    : GM_PARAM_load_file_option1(list, path, option);
}

// Puts the list's cursor on the first row whose key is stored_key (as
// stored, see copy_text): true when there is one; otherwise the cursor has
// run past the end.
bool seek_row(PEXLIST_handle_typ *list, const char *stored_key) {
  PEXLIST_reset(list);
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(list, &ptr, &size) == KX_SUCCESS) {
    if (size < sizeof(GM_PARAM_KEY_typ)) continue;
    if (key_equals(static_cast<char *>(ptr), stored_key)) return true;
  }
  return false;
}

void free_rows(PEXLIST_handle_typ *list) { PEXLIST_clear(list); }

const RegistryKind kPlain = {&TABLE_list, "GM_PARAM_load", true, read_rows, free_rows};
const RegistryKind kPlainOption1 = {&TABLE_list, "GM_PARAM_load_option1", true,
                                    read_rows, free_rows};

KX_RC parse_line(PEXLIST_handle_typ *list, const char *line, bool upper,
                 bool report_header) {
  if (list == NULL || line == NULL) return KX_FAIL;
  char work[GM_PARAM_PARSE_MAX + 1];
  copy_text(work, sizeof work, line);
  size_t n = strlen(work);
  if (n > 0 && work[n - 1] == '\n') work[--n] = '\0';
  DIAG_TRACE(6, "GM_param_parse_str");
  DIAG_TRACE(6, "line: '%.*s'", (int)n, work);

  LineParts parts;
  split_key(work, &parts);
  if (parts.comment) return KX_SUCCESS;
  if (parts.key_len >= sizeof(GM_PARAM_KEY_typ)) {
    DIAG_ERROR("key too long: %d", (int)parts.key_len);
    return KX_FAIL;
  }
  if (parts.key_len == 0) return KX_SUCCESS;
  if (GM_PARAM_IsSubtable(parts.key) == KX_SUCCESS)
    return report_header ? GM_PARAM_SECTION_HEADER : KX_SUCCESS;
  prepare_value(&parts);
  return add_row(list, parts.key, parts.value, upper, false);
}

KX_RC read_file(PEXLIST_handle_typ *list, const char *file_name, const char *op,
                bool option1, int upper) {
  DIAG_TRACE(4, "%s", op);
  DIAG_TRACE(4, "File:%s", file_name ? file_name : "");
  if (list == NULL || file_name == NULL) return KX_FAIL;
  ParamFile file;
  KX_RC rc = OS_FILE_fopen(file_name, file.out(), OS_FILE_READ);
  if (rc != KX_SUCCESS) {
    DIAG_TRACE(4, "Failed to load file %s.", file_name);
    return rc;
  }
  PEXLIST_init(list);
  char piece[GM_PARAM_PIECE_MAX + 1];
  long length = 0;
  long read = 0;
  while (OS_FILE_fgets_len(piece, (int)sizeof piece, file.get(), &length) == KX_SUCCESS) {
    // Counted in bytes read, not rows kept: lines of zero bytes keep nothing.
    read += length;
    if (read > GM_PARAM_FILE_MAX) {
      report_file_too_long(file_name);
      break;
    }
    KX_RC prc = option1 ? GM_param_parse_str_option1(list, piece, upper)
                        : GM_param_parse_str(list, piece);
    if (prc != KX_SUCCESS) break;
  }
  file.close();
  return KX_SUCCESS;
}

// The first row of exactly `key` (no DEFAULT rule), or NULL. Walks a copy of
// the handle so the list's position stays where it was.
char *find_row(const PEXLIST_handle_typ *list, const char *key) {
  PEXLIST_handle_typ walk = *list;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    if (size < sizeof(GM_PARAM_KEY_typ)) continue;
    char *row = static_cast<char *>(ptr);
    if (key_equals(row, key)) return row + sizeof(GM_PARAM_KEY_typ);
  }
  return NULL;
}

// The lookup with the DEFAULT rule; *from_default tells which row answered.
KX_RC lookup(PEXLIST_handle_typ *list, const char *key, char **value,
             bool *from_default) {
  PEXLIST_reset(list);
  char *fallback = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(list, &ptr, &size) == KX_SUCCESS) {
    if (size < sizeof(GM_PARAM_KEY_typ)) continue;
    char *row = static_cast<char *>(ptr);
    if (key_equals(row, key)) {
      *value = row + sizeof(GM_PARAM_KEY_typ);
      *from_default = false;
      return KX_SUCCESS;
    }
    if (key_equals(row, "DEFAULT")) fallback = row + sizeof(GM_PARAM_KEY_typ);
  }
  if (fallback == NULL) return KX_EOS;
  *value = fallback;
  *from_default = true;
  return KX_SUCCESS;
}

void note_long_value(const char *value) {
  if (strnlen(value, GM_PARAM_ROW_VALUE_MAX + 1) > GM_PARAM_ROW_VALUE_MAX)
    DIAG_TRACE(4, "value too long: %d - truncated", (int)sizeof(GM_PARAM_ROW_VALUE_typ));
}

bool valid_level(const char *text, int *level) {
  if (GM_STR_isunsignednumber(text) != KX_SUCCESS) return false;
  long n = strtol(text, NULL, 10);
  if (n > 6) return false;
  *level = (int)n;
  return true;
}

KX_RC load_valuelist(PEXLIST_handle_typ *list, const char *text, const char *separators,
                     const char *op, bool option1, int upper) {
  DIAG_TRACE(4, "%s", op);
  if (text == NULL) {
    DIAG_TRACE(5, "Value is NULL.");
    return KX_FAIL;
  }
  if (separators == NULL || separators[0] == '\0') {
    DIAG_TRACE(5, "Separator is empty.");
    return KX_FAIL;
  }
  if (list == NULL) return KX_FAIL;
  DIAG_TRACE(5, "Value:'%s', sep='%s'", text, separators);
  PEXLIST_init(list);
  char copy[GM_PARAM_VALUELIST_MAX + 1];
  copy_text(copy, sizeof copy, text);
  char *p = copy;
  for (;;) {
    p += strspn(p, separators);
    if (*p == '\0') break;
    char *token = p;
    p += strcspn(p, separators);
    if (*p != '\0') *p++ = '\0';
    DIAG_TRACE(5, "Value: '%s'", token);
    if (option1)
      GM_param_parse_str_option1(list, token, upper);
    else
      GM_param_parse_str(list, token);
  }
  return KX_SUCCESS;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

unsigned char key_byte(int i) {
  return (unsigned char)(kObfKey7[i % 7] ^ kObfKey11[i % 11]);
}

// In place, from the last byte back: the two digits of byte i land at 2i and
// 2i + 1, which only ever hold bytes already turned into digits.
void obfuscate(char *value, int length) {
  static const char kHex[] = "0123456789abcdef";
  for (int i = length - 1; i >= 0; --i) {
    unsigned char b = (unsigned char)value[i] ^ key_byte(i);
    value[2 * i] = kHex[b >> 4];
    value[2 * i + 1] = kHex[b & 0x0f];
  }
  value[2 * length] = '\0';
}

// In place, forwards: byte i is written at i, behind the digits still to read.
// A text shorter than 2 * length digits ends where its digits end.
void reveal(char *value, int length) {
  int i = 0;
  for (; i < length; ++i) {
    char hi = value[2 * i];
    if (hi == '\0') break;
    char lo = value[2 * i + 1];
    if (lo == '\0') break;
    value[i] = (char)(((hex_digit(hi) << 4) | hex_digit(lo)) ^ key_byte(i));
  }
  value[i] = '\0';
  GM_STR_unpad(value);
}

}  // namespace

extern "C" {

/* ---- named tables ---- */

KX_RC GM_PARAM_load(const char *table_name, int flags) {
  return registry_load(kPlain, table_name, flags, -1);
}

KX_RC GM_PARAM_load_option1(const char *table_name, int flags, int upper) {
  return registry_load(kPlainOption1, table_name, flags, upper != 0 ? 1 : 0);
}

KX_RC GM_PARAM_table_find(GM_PARAM_table_list **table, const char *table_name) {
  return registry_find(kPlain, table, table_name, GM_PARAM_load);
}

KX_RC GM_PARAM_get(const char *table_name, const char *key, char *value) {
  DIAG_TRACE(5, "GM_PARAM_get: table:'%s', key:'%s'", table_name ? table_name : "",
             key ? key : "");
  KX_RC rc = KX_FAIL;
  if (table_name != NULL && key != NULL && value != NULL) {
    TableLock lock;
    GM_PARAM_table_list *rec = NULL;
    if (lock.held()) rc = GM_PARAM_table_find(&rec, table_name);
    if (rc == KX_SUCCESS)
      rc = GM_PARAM_list_get(&rec->table, key, value, (int)sizeof(GM_PARAM_VALUE_typ));
  }
  DIAG_TRACE(4, "GM_PARAM_get: rc = %d, table:'%s', key:'%s', value:'%s'", rc,
             table_name ? table_name : "", key ? key : "",
             rc == KX_SUCCESS ? value : "");
  return rc;
}

KX_RC GM_PARAM_set(const char *table_name, const char *key, const char *value) {
  if (key == NULL || value == NULL) return KX_FAIL;
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  KX_RC rc = registry_find_or_create(kPlain, &rec, table_name, GM_PARAM_table_find);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_list_set(&rec->table, key, value);
}

KX_RC GM_PARAM_delete(const char *table_name, const char *key) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  KX_RC rc = GM_PARAM_table_find(&rec, table_name);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_list_delete(&rec->table, key);
}

KX_RC GM_PARAM_save(const char *table_name) {
  return registry_save(table_name, GM_PARAM_table_find, GM_PARAM_list_save);
}

void GM_PARAM_clear(void) {
  DIAG_TRACE(4, "GM_PARAM_clear");
  registry_clear(kPlain);
}

int GM_PARAM_table_count(GM_PARAM_table_list *table) {
  return table == NULL ? 0 : PEXLIST_count(&table->table);
}

int GM_PARAM_get_int_by_name(const char *table_name, const char *key,
                             int default_value) {
  static const char kOp[] = "GM_PARAM_get_int_by_name";
  GM_PARAM_VALUE_typ value;
  int result = default_value;
  bool have = false;
  if (GM_PARAM_get(table_name, key, value) == KX_SUCCESS) {
    // atoi's reading, without its undefined overflow.
    long n = strtol(value, NULL, 10);
    if (n > INT_MAX) n = INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    if (n >= 0) {
      result = (int)n;
      have = true;
    }
  }
  if (!have)
    DIAG_TRACE(4, "%s default value will be used for the varible: %s", kOp,
               key ? key : "");
  DIAG_TRACE(4, "%s exit with: %d", kOp, result);
  return result;
}

KX_RC GM_PARAM_get_agent_version(char *version) {
  static const char kOp[] = "GM_PARAM_get_agent_version";
  DIAG_TRACE(4, "%s", kOp);
  GM_PARAM_VALUE_typ value;
  KX_RC rc = GM_PARAM_get("CONFIG", "FIX_NUMBER", value);
  if (rc != KX_SUCCESS || strcmp(value, "0") == 0)
    rc = GM_PARAM_get("CONFIG", "FD_NUMBER", value);
  if (rc != KX_SUCCESS) {
    DIAG_ERROR("%s Cannot obtain agent version", kOp);
  } else {
    const char *dot = strchr(value, '.');
    if (dot == NULL) {
      DIAG_ERROR("%s Wrong agent version format: '%s'", kOp, value);
      rc = KX_FAIL;
    } else if (version != NULL) {
      copy_text(version, sizeof(GM_PARAM_VALUE_typ), dot + 1);
    } else {
      rc = KX_FAIL;
    }
  }
  DIAG_TRACE(4, "%s exit with: %d", kOp, rc);
  return rc;
}

/* ---- row lists ---- */

KX_RC GM_param_parse_str(PEXLIST_handle_typ *list, const char *line) {
  return parse_line(list, line, true, false);
}

KX_RC GM_param_parse_str_option1(PEXLIST_handle_typ *list, const char *line,
                                 int upper) {
  return parse_line(list, line, upper != 0, true);
}

KX_RC GM_PARAM_load_file(PEXLIST_handle_typ *list, const char *file_name) {
  return read_file(list, file_name, "GM_PARAM_load_file", false, 1);
}

KX_RC GM_PARAM_load_file_option1(PEXLIST_handle_typ *list, const char *file_name,
                                 int upper) {
  return read_file(list, file_name, "GM_PARAM_load_file_option1", true, upper);
}

KX_RC GM_PARAM_list_get(PEXLIST_handle_typ *list, const char *key, char *value,
                        int size) {
  if (list == NULL || key == NULL || value == NULL || size < 1) return KX_FAIL;
  char *stored = NULL;
  bool from_default = false;
  KX_RC rc = lookup(list, key, &stored, &from_default);
  if (rc != KX_SUCCESS) return rc;
  size_t limit = (size_t)size;
  // A DEFAULT value is remembered at most 2047 characters long.
  if (from_default && limit > sizeof(GM_PARAM_VALUE_typ)) limit = sizeof(GM_PARAM_VALUE_typ);
  copy_text(value, limit, stored);
  if (from_default) DIAG_TRACE(4, "accepting default value for %s", key);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_list_get_ptr(PEXLIST_handle_typ *list, const char *key, char **value) {
  if (list == NULL || key == NULL || value == NULL) return KX_FAIL;
  char *stored = NULL;
  bool from_default = false;
  KX_RC rc = lookup(list, key, &stored, &from_default);
  if (rc != KX_SUCCESS) return rc;
  *value = stored;
  if (from_default) DIAG_TRACE(4, "accepting default value for %s", key);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_list_next(PEXLIST_handle_typ *list, char **key, char **value) {
  if (list == NULL) return KX_FAIL;
  void *ptr = NULL;
  unsigned size = 0;
  KX_RC rc = PEXLIST_next_ptr(list, &ptr, &size);
  if (rc != KX_SUCCESS) return rc;
  // The data block ends in a zero byte, so a bare key field reads as "".
  if (size < sizeof(GM_PARAM_KEY_typ)) return KX_FAIL;
  char *row = static_cast<char *>(ptr);
  if (key != NULL) *key = row;
  if (value != NULL) *value = row + sizeof(GM_PARAM_KEY_typ);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_list_reset(PEXLIST_handle_typ *list) { return PEXLIST_reset(list); }

KX_RC GM_PARAM_list_clear(PEXLIST_handle_typ *list) { return PEXLIST_clear(list); }

KX_RC GM_PARAM_list_set(PEXLIST_handle_typ *list, const char *key, const char *value) {
  if (list == NULL || key == NULL || value == NULL) return KX_FAIL;
  // Compare with the key as it will be stored, so that setting an over-long
  // key twice replaces its row instead of adding a second one.
  GM_PARAM_KEY_typ stored_key;
  copy_text(stored_key, sizeof stored_key, key);
  // PEXLIST_delete leaves the cursor on the row before the deleted one.
  if (seek_row(list, stored_key)) PEXLIST_delete(list);
  note_long_value(value);
  return add_row(list, stored_key, value, false, true);
}

KX_RC GM_PARAM_list_insert(PEXLIST_handle_typ *list, const char *key,
                           const char *value) {
  if (list == NULL || key == NULL || value == NULL) return KX_FAIL;
  note_long_value(value);
  return add_row(list, key, value, false, true);
}

KX_RC GM_PARAM_list_append(PEXLIST_handle_typ *list, const char *key,
                           const char *value) {
  if (list == NULL || key == NULL || value == NULL) return KX_FAIL;
  note_long_value(value);
  return add_row(list, key, value, false, false);
}

KX_RC GM_PARAM_list_delete(PEXLIST_handle_typ *list, const char *key) {
  if (list == NULL || key == NULL) return KX_FAIL;
  GM_PARAM_KEY_typ stored_key;
  copy_text(stored_key, sizeof stored_key, key);
  return seek_row(list, stored_key) ? PEXLIST_delete(list) : KX_EOS;
}

KX_RC GM_PARAM_list_save(PEXLIST_handle_typ *list, const char *file_name) {
  KX_RC rc = KX_FAIL;
  if (list != NULL && file_name != NULL) {
    ParamFile file;
    rc = OS_FILE_fopen(file_name, file.out(), OS_FILE_WRITE);
    if (rc == KX_SUCCESS) {
      PEXLIST_handle_typ walk = *list;
      walk.curr = NULL;
      char *key = NULL;
      char *value = NULL;
      while ((rc = GM_PARAM_list_next(&walk, &key, &value)) == KX_SUCCESS) {
        // The written text ends in a newline and the writer adds one: every
        // row is followed by an empty line.
        rc = OS_FILE_fputs(file.get(), "%-35.64s %.2048s\n", key, value);
        if (rc != KX_SUCCESS) break;
      }
      if (rc == KX_EOS) rc = KX_SUCCESS;
      if (file.close() != KX_SUCCESS) rc = KX_FAIL;
    }
  }
  DIAG_TRACE(3, "%s ended %s, file: %s ", "GM_PARAM_list_save",
             rc == KX_SUCCESS ? "SUCCESS" : "FAIL", file_name ? file_name : "");
  return rc;
}

KX_RC GM_PARAM_list_print(PEXLIST_handle_typ *list) {
  if (list == NULL) return KX_FAIL;
  PEXLIST_handle_typ walk = *list;
  walk.curr = NULL;
  char *key = NULL;
  char *value = NULL;
  DIAG_ERROR("List BEGIN");
  while (GM_PARAM_list_next(&walk, &key, &value) == KX_SUCCESS)
    DIAG_ERROR("\t%s = '%s'", key, value);
  DIAG_ERROR("List END");
  return KX_SUCCESS;
}

KX_RC GM_PARAM_list_merge(PEXLIST_handle_typ *dest, PEXLIST_handle_typ *src, int force) {
  DIAG_TRACE(4, "GM_PARAM_list_merge");
  // A list merged into itself already has every key; with force the walk
  // would delete the very rows it stands on.
  if (dest == NULL || src == NULL || dest == src) return KX_SUCCESS;
  PEXLIST_handle_typ walk = *src;
  walk.curr = NULL;
  char *key = NULL;
  char *value = NULL;
  GM_PARAM_VALUE_typ existing;
  while (GM_PARAM_list_next(&walk, &key, &value) == KX_SUCCESS) {
    if (force != 0 ||
        GM_PARAM_list_get(dest, key, existing, (int)sizeof existing) != KX_SUCCESS)
      GM_PARAM_list_set(dest, key, value);
  }
  return KX_SUCCESS;
}

KX_RC GM_PARAM_list_filter(PEXLIST_handle_typ *src, PEXLIST_handle_typ *dest,
                           char *const *keys) {
  static const char kOp[] = "GM_PARAM_list_filter";
  if (src == NULL || dest == NULL) {
    DIAG_ERROR("%s: Failed to filter DSECT list", kOp);
    return KX_FAIL;
  }
  // Only the rows there now: filtering a list into itself must not walk the
  // rows it appends.
  int remaining = PEXLIST_count(src);
  PEXLIST_handle_typ walk = *src;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  for (; remaining > 0; --remaining) {
    KX_RC rc = PEXLIST_next_ptr(&walk, &ptr, &size);
    if (rc == KX_EOS) break;
    if (rc == KX_SUCCESS && size < sizeof(GM_PARAM_KEY_typ)) rc = KX_FAIL;
    if (rc != KX_SUCCESS) {
      DIAG_ERROR("%s: Failed to filter DSECT list", kOp);
      return rc;
    }
    const char *key = static_cast<const char *>(ptr);
    bool drop = false;
    for (char *const *k = keys; k != NULL && *k != NULL; ++k) {
      if (key_equals(key, *k)) {
        drop = true;
        break;
      }
    }
    if (drop) continue;
    rc = PEXLIST_append(dest, ptr, size);
    if (rc != KX_SUCCESS) {
      DIAG_ERROR("%s: Failed to filter DSECT list", kOp);
      return rc;
    }
  }
  return KX_SUCCESS;
}

KX_RC GM_PARAM_load_env(PEXLIST_handle_typ *list) {
  DIAG_TRACE(4, "GM_PARAM_load_env");
  if (list == NULL) return KX_FAIL;
  PEXLIST_init(list);
  GM_PARAM_VALUE_typ prefix;
  if (GM_PARAM_get("CONFIG", "ZRTENV_PREFIX", prefix) != KX_SUCCESS) prefix[0] = '\0';
  size_t plen = strlen(prefix);
  for (char **entry = environ; entry != NULL && *entry != NULL; ++entry) {
    if (strncmp(*entry, prefix, plen) == 0) GM_param_parse_str(list, *entry + plen);
  }
  return KX_SUCCESS;
}

KX_RC GM_PARAM_load_args(PEXLIST_handle_typ *list, int argc, char *const *argv) {
  static const char kBadArg[] =
      "-%s Value '%s' is not in a valid range of 0 to 6. Retrieve from config table.\n";
  static const char kBadConfig[] =
      "Config table value '%s' is not in a valid range of 0 to 6. Using default 0.\n";
  DIAG_TRACE(4, "GM_PARAM_load_argv");
  if (list == NULL) return KX_FAIL;
  PEXLIST_init(list);

  for (int i = 1; argv != NULL && i < argc && argv[i] != NULL && argv[i][0] == '-';
       i += 2) {
    if (i + 1 >= argc || argv[i + 1] == NULL) break;  // an option without value
    GM_PARAM_KEY_typ key;
    copy_text(key, sizeof key, argv[i] + 1);
    GM_STR_unpad(key);
    GM_STR_toupper(key);
    GM_PARAM_list_append(list, key, argv[i + 1]);
  }

  const char *stored = find_row(list, "INPUT_FILE");
  if (stored != NULL) {
    PATHNAME_D_typ file_name;
    copy_text(file_name, sizeof file_name, stored);
    GM_PARAM_list_delete(list, "INPUT_FILE");
    PEXLIST_handle_typ from_file;
    PEXLIST_init(&from_file);
    KX_RC rc = GM_PARAM_load_file(&from_file, file_name);
    if (rc != KX_SUCCESS) {
      PEXLIST_clear(list);
      return rc;
    }
    GM_PARAM_list_merge(list, &from_file, 0);
    PEXLIST_clear(&from_file);
  }

  GM_PARAM_VALUE_typ input_env;
  input_env[0] = '\0';
  stored = find_row(list, "INPUT_ENV");
  bool env_in_list = stored != NULL;
  if (env_in_list)
    copy_text(input_env, sizeof input_env, stored);
  else if (GM_PARAM_get("CONFIG", "INPUT_ENV", input_env) != KX_SUCCESS)
    input_env[0] = '\0';
  if (strcmp(input_env, "Y") == 0) {
    if (env_in_list) GM_PARAM_list_delete(list, "INPUT_ENV");
    PEXLIST_handle_typ from_env;
    PEXLIST_init(&from_env);
    GM_PARAM_load_env(&from_env);
    GM_PARAM_list_merge(list, &from_env, 0);
    PEXLIST_clear(&from_env);
  }

  int level = 0;
  bool found = false;
  stored = find_row(list, "DBGLVL");
  if (stored != NULL) {
    GM_PARAM_VALUE_typ text;
    copy_text(text, sizeof text, stored);
    found = valid_level(text, &level);
    if (!found) OS_MSGERR_display(kBadArg, "DBGLVL", text);
  }
  if (!found) {
    GM_PARAM_VALUE_typ text;
    if (GM_PARAM_get("CONFIG", "DBGLVL", text) == KX_SUCCESS) {
      found = valid_level(text, &level);
      if (!found) OS_MSGERR_display(kBadConfig, text);
    }
  }
  DIAG_set_debug_level(found ? level : 0);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_load_valuelist(PEXLIST_handle_typ *list, const char *text,
                              const char *separators) {
  return load_valuelist(list, text, separators, "GM_PARAM_load_valuelist", false, 1);
}

KX_RC GM_PARAM_load_valuelist_option1(PEXLIST_handle_typ *list, const char *text,
                                      const char *separators, int upper) {
  return load_valuelist(list, text, separators, "GM_PARAM_load_valuelist_option1",
                        true, upper);
}

KX_RC GM_PARAM_save_valuelist(PEXLIST_handle_typ *list, char *out,
                              const char *separator) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  DIAG_TRACE(4, "GM_PARAM_save_valuelist");
  if (list == NULL) {
    DIAG_TRACE(5, "List is invalid.");
    return KX_FAIL;
  }
  if (out == NULL) return KX_FAIL;
  if (separator == NULL) separator = "";
  size_t sep_len = strlen(separator);
  char joined[GM_PARAM_VALUELIST_MAX + 1];
  size_t len = 0;
  joined[0] = '\0';

  PEXLIST_handle_typ walk = *list;
  walk.curr = NULL;
  char *key = NULL;
  char *value = NULL;
  bool first = true;
  while (GM_PARAM_list_next(&walk, &key, &value) == KX_SUCCESS) {
    DIAG_TRACE(6, "Key: '%s', Val: '%s'", key, value);
    size_t key_len = strnlen(key, sizeof(GM_PARAM_KEY_typ));
    size_t need = (first ? 0 : sep_len) + key_len;
    if (len + need > GM_PARAM_VALUELIST_MAX) {
      DIAG_TRACE(5, "Failed to create string list. ");
      return KX_FAIL;
    }
    if (!first) {
      memcpy(joined + len, separator, sep_len);
      len += sep_len;
    }
    memcpy(joined + len, key, key_len);
    len += key_len;
    joined[len] = '\0';
    first = false;
  }
  memcpy(out, joined, len + 1);
  return KX_SUCCESS;
}

/* ---- other operations ---- */

KX_RC GM_PARAM_IsSubtable(const char *text) {
  if (text == NULL) return KX_FAIL;
  const char *open = strchr(text, '[');
  const char *close = strrchr(text, ']');
  return open != NULL && close != NULL && close > open ? KX_SUCCESS : KX_FAIL;
}

char **GM_PARAM_get_keysToRemove_list(void) { return g_keys_to_remove; }

KX_RC GM_PARAM_is_printable(const char *name, char *const *names) {
  if (name == NULL || names == NULL) return KX_SUCCESS;
  for (char *const *n = names; *n != NULL; ++n) {
    if (strcmp(name, *n) == 0) return KX_FAIL;
  }
  return KX_SUCCESS;
}

KX_RC GM_PARAM_encrypt(char *value) {
  if (value != NULL) obfuscate(value, 64);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_decrypt(char *value) {
  if (value != NULL) reveal(value, 64);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_encryptEx(char *value, int length) {
  if (value != NULL && length > 0) obfuscate(value, length);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_decryptEx(char *value, int length) {
  if (value != NULL && length > 0) reveal(value, length);
  return KX_SUCCESS;
}

void GLOBAL_version(char *out, int size) {
  if (out == NULL || size < 1) return;
  copy_text(out, (size_t)size, kVersionText);
}

}  // extern "C"
