// gm_subtable.cc - sectioned parameter tables: rows grouped under "[NAME]"
// headers, kept in SUBTABLE_list beside the plain registry.
//
// A sectioned table record (GM_PARAM_table_list) holds a list of section
// records (GM_PARAM_subtable_row), each with its own list of rows. Loading,
// finding, saving and clearing share the plain tables' registry code; only
// the reader, the writer and the way a record is freed differ.

#include <string.h>

#include "gm_param.h"
#include "gm_str.h"
#include "os_diag.h"
#include "os_file.h"
#include "pexlist.h"

extern "C" {
PEXLIST_handle_typ SUBTABLE_list = {0, NULL, NULL};
}

namespace {

using namespace be_common::gm_param_detail;

GM_PARAM_subtable_row *as_section(void *ptr, unsigned size) {
  return size >= sizeof(GM_PARAM_subtable_row) ? static_cast<GM_PARAM_subtable_row *>(ptr)
                                                : NULL;
}

KX_RC read_sections(PEXLIST_handle_typ *list, const char *path, int /*option*/) {
  return GM_PARAM_subtable_load_file(list, path);
}

void free_sections(PEXLIST_handle_typ *list) { GM_PARAM_subtable_list_clear(list); }

const RegistryKind kSectioned = {&SUBTABLE_list, "GM_PARAM_subtable_load", false,
                                 read_sections, free_sections};

// Starts a section record named after the header key: the text between its
// first '[' and last ']', upper-cased, cut to 63, without trailing blanks.
void open_section(GM_PARAM_subtable_row *section, char *header) {
  memset(section, 0, sizeof *section);
  char *name = GM_PARAM_Get_SubtableName(header);
  copy_text(section->key, sizeof section->key, name != NULL ? name : "");
  GM_STR_toupper(section->key);
  GM_STR_unpad(section->key);
  PEXLIST_init(&section->list);
}

// Hands the section to the list; its rows are freed when that fails.
KX_RC close_section(PEXLIST_handle_typ *list, GM_PARAM_subtable_row *section) {
  KX_RC rc = PEXLIST_append(list, section, sizeof *section);
  if (rc != KX_SUCCESS) PEXLIST_clear(&section->list);
  return rc;
}

// The first section of that name; the list's own record, or NULL.
GM_PARAM_subtable_row *find_section(const PEXLIST_handle_typ *sections,
                                    const char *name, KX_RC *rc) {
  PEXLIST_handle_typ walk = *sections;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  while ((*rc = PEXLIST_next_ptr(&walk, &ptr, &size)) == KX_SUCCESS) {
    GM_PARAM_subtable_row *section = as_section(ptr, size);
    if (section != NULL && name_matches(section->key, name)) return section;
  }
  return NULL;
}

}  // namespace

extern "C" {

KX_RC GM_PARAM_subtable_load_file(PEXLIST_handle_typ *list, const char *file_name) {
  DIAG_TRACE(4, "GM_PARAM_subtable_load_file");
  DIAG_TRACE(4, "File:%s", file_name ? file_name : "");
  if (list == NULL || file_name == NULL) return KX_FAIL;
  ParamFile file;
  if (OS_FILE_fopen(file_name, file.out(), OS_FILE_READ) != KX_SUCCESS) {
    DIAG_TRACE(4, "Failed to load file %s.", file_name);
    return KX_FAIL;
  }
  PEXLIST_init(list);

  GM_PARAM_subtable_row section;
  bool in_section = false;
  // The same piece length as the plain reader: a saved row with a full
  // 2048-character value is 64 + 2 + 2048 characters long and must come back
  // as one line, not as a cut value and a stray row.
  char piece[GM_PARAM_PIECE_MAX + 1];
  long length = 0;
  long read = 0;
  while (OS_FILE_fgets_len(piece, (int)sizeof piece, file.get(), &length) == KX_SUCCESS) {
    read += length;
    if (read > GM_PARAM_FILE_MAX) {
      report_file_too_long(file_name);
      if (in_section) PEXLIST_clear(&section.list);
      return KX_FAIL;
    }
    size_t n = strlen(piece);
    if (n > 0 && piece[n - 1] == '\n') piece[--n] = '\0';
    DIAG_TRACE(6, "line: '%.*s'", (int)n, piece);

    LineParts parts;
    split_key(piece, &parts);
    if (parts.comment) continue;
    if (parts.key_len >= sizeof(GM_PARAM_KEY_typ)) {
      DIAG_ERROR("key too long: %d", (int)parts.key_len);
      if (in_section) PEXLIST_clear(&section.list);
      return KX_FAIL;
    }
    if (parts.key_len == 0) continue;
    prepare_value(&parts);

    if (GM_PARAM_IsSubtable(parts.key) == KX_SUCCESS) {
      if (in_section && close_section(list, &section) != KX_SUCCESS) return KX_FAIL;
      open_section(&section, parts.key);
      in_section = true;
    } else if (in_section) {
      // Keys inside a section keep the case they were written in.
      if (add_row(&section.list, parts.key, parts.value, false, false) != KX_SUCCESS) {
        PEXLIST_clear(&section.list);
        return KX_FAIL;
      }
    }
    // Rows before the first header belong to no section and are dropped.
  }
  file.close();
  if (in_section) return close_section(list, &section);
  return KX_SUCCESS;
}

KX_RC GM_PARAM_subtable_load(const char *table_name, int flags) {
  return registry_load(kSectioned, table_name, flags, 0);
}

KX_RC GM_PARAM_subtable_table_find(GM_PARAM_table_list **table,
                                   const char *table_name) {
  DIAG_TRACE(4, "GM_PARAM_subtable_table_find");
  return registry_find(kSectioned, table, table_name, GM_PARAM_subtable_load);
}

KX_RC GM_PARAM_subtable_list_find(PEXLIST_handle_typ *sections, const char *section,
                                  PEXLIST_handle_typ **rows) {
  if (sections == NULL || section == NULL || rows == NULL) return KX_FAIL;
  KX_RC rc = KX_EOS;
  GM_PARAM_subtable_row *found = find_section(sections, section, &rc);
  if (found == NULL) return rc == KX_SUCCESS ? KX_EOS : rc;
  PEXLIST_reset(&found->list);
  *rows = &found->list;
  return KX_SUCCESS;
}

KX_RC GM_PARAM_subtable_list_get(PEXLIST_handle_typ *sections, const char *section,
                                 const char *key, char *value, int size) {
  PEXLIST_handle_typ *rows = NULL;
  KX_RC rc = GM_PARAM_subtable_list_find(sections, section, &rows);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_list_get(rows, key, value, size);
}

KX_RC GM_PARAM_subtable_get(const char *table_name, const char *section,
                            const char *key, char *value) {
  static const char kOp[] = "GM_PARAM_subtable_get";
  DIAG_TRACE(5, "%s: table:'%s', subtable:'%s', key:'%s'", kOp,
             table_name ? table_name : "", section ? section : "", key ? key : "");
  KX_RC rc = KX_FAIL;
  if (table_name != NULL && section != NULL && key != NULL && value != NULL) {
    TableLock lock;
    if (!lock.held()) {
      DIAG_ERROR("%s: Unable to lock", kOp);
    } else {
      GM_PARAM_table_list *rec = NULL;
      rc = GM_PARAM_subtable_table_find(&rec, table_name);
      if (rc == KX_SUCCESS)
        rc = GM_PARAM_subtable_list_get(&rec->table, section, key, value,
                                        (int)sizeof(GM_PARAM_VALUE_typ));
    }
  }
  DIAG_TRACE(4, "%s: rc = %d, table:'%s', subtable:'%s', key:'%s', value:'%s'", kOp, rc,
             table_name ? table_name : "", section ? section : "", key ? key : "",
             rc == KX_SUCCESS ? value : "");
  return rc;
}

KX_RC GM_PARAM_subtable_list_set(PEXLIST_handle_typ *sections, const char *section,
                                 const char *key, const char *value) {
  if (sections == NULL || section == NULL || key == NULL || value == NULL)
    return KX_FAIL;
  size_t len = strlen(section);
  if (len > GM_PARAM_KEY_MAX) {
    DIAG_TRACE(4, "subtable_name too long: %d", (int)len);
    return KX_FAIL;
  }
  PEXLIST_handle_typ *rows = NULL;
  KX_RC rc = GM_PARAM_subtable_list_find(sections, section, &rows);
  if (rc == KX_EOS) {
    // Named as given, so that the next set with the same name finds it.
    GM_PARAM_subtable_row fresh;
    memset(&fresh, 0, sizeof fresh);
    copy_text(fresh.key, sizeof fresh.key, section);
    GM_STR_unpad(fresh.key);
    PEXLIST_init(&fresh.list);
    rc = PEXLIST_append(sections, &fresh, sizeof fresh);
    if (rc != KX_SUCCESS) return rc;
    rc = GM_PARAM_subtable_list_find(sections, section, &rows);
  }
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_list_set(rows, key, value);
}

KX_RC GM_PARAM_subtable_set(const char *table_name, const char *section,
                            const char *key, const char *value) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  KX_RC rc = registry_find_or_create(kSectioned, &rec, table_name,
                                     GM_PARAM_subtable_table_find);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_subtable_list_set(&rec->table, section, key, value);
}

KX_RC GM_PARAM_subtable_list_save(PEXLIST_handle_typ *sections, const char *file_name) {
  KX_RC rc = KX_FAIL;
  if (sections != NULL && file_name != NULL) {
    ParamFile file;
    rc = OS_FILE_fopen(file_name, file.out(), OS_FILE_WRITE);
    if (rc == KX_SUCCESS) {
      PEXLIST_handle_typ walk = *sections;
      walk.curr = NULL;
      void *ptr = NULL;
      unsigned size = 0;
      while (rc == KX_SUCCESS &&
             (rc = PEXLIST_next_ptr(&walk, &ptr, &size)) == KX_SUCCESS) {
        GM_PARAM_subtable_row *section = as_section(ptr, size);
        if (section == NULL) continue;
        // Each written text ends in a newline and the writer adds one: every
        // line is followed by an empty line.
        rc = OS_FILE_fputs(file.get(), "[%s]\n", section->key);
        PEXLIST_handle_typ rows = section->list;
        rows.curr = NULL;
        char *key = NULL;
        char *value = NULL;
        KX_RC row_rc = KX_EOS;
        while (rc == KX_SUCCESS &&
               (row_rc = GM_PARAM_list_next(&rows, &key, &value)) == KX_SUCCESS)
          rc = OS_FILE_fputs(file.get(), "%-64.64s  %.2048s\n", key, value);
        if (rc == KX_SUCCESS && row_rc != KX_EOS) rc = row_rc;
      }
      if (rc == KX_EOS) rc = KX_SUCCESS;
      if (file.close() != KX_SUCCESS) rc = KX_FAIL;
    }
  }
  DIAG_TRACE(3, "%s ended %s, file: %s ", "GM_PARAM_subtable_list_save",
             rc == KX_SUCCESS ? "SUCCESS" : "FAIL", file_name ? file_name : "");
  return rc;
}

KX_RC GM_PARAM_subtable_save(const char *table_name) {
  return registry_save(table_name, GM_PARAM_subtable_table_find, GM_PARAM_subtable_list_save);
}

KX_RC GM_PARAM_subtable_list_delete(PEXLIST_handle_typ *sections, const char *section) {
  if (sections == NULL || section == NULL) return KX_FAIL;
  PEXLIST_reset(sections);
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(sections, &ptr, &size) == KX_SUCCESS) {
    GM_PARAM_subtable_row *found = as_section(ptr, size);
    if (found == NULL || !name_matches(found->key, section)) continue;
    PEXLIST_clear(&found->list);
    return PEXLIST_delete(sections);
  }
  return KX_EOS;
}

KX_RC GM_PARAM_subtable_delete(const char *table_name, const char *section) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  KX_RC rc = GM_PARAM_subtable_table_find(&rec, table_name);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_subtable_list_delete(&rec->table, section);
}

KX_RC GM_PARAM_subtable_list_delete_entry(PEXLIST_handle_typ *sections,
                                          const char *section, const char *key) {
  PEXLIST_handle_typ *rows = NULL;
  KX_RC rc = GM_PARAM_subtable_list_find(sections, section, &rows);
  if (rc != KX_SUCCESS) return rc;
  return GM_PARAM_list_delete(rows, key);
}

KX_RC GM_PARAM_subtable_delete_entry(const char *table_name, const char *section,
                                     const char *key) {
  TableLock lock;
  if (!lock.held()) return KX_FAIL;
  GM_PARAM_table_list *rec = NULL;
  if (GM_PARAM_subtable_table_find(&rec, table_name) != KX_SUCCESS) return KX_FAIL;
  return GM_PARAM_subtable_list_delete_entry(&rec->table, section, key);
}

KX_RC GM_PARAM_subtable_list_clear(PEXLIST_handle_typ *sections) {
  if (sections == NULL) return KX_FAIL;
  PEXLIST_handle_typ walk = *sections;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    GM_PARAM_subtable_row *section = as_section(ptr, size);
    if (section != NULL) PEXLIST_clear(&section->list);
  }
  return PEXLIST_clear(sections);
}

void GM_PARAM_subtable_clear(void) {
  DIAG_TRACE(4, "GM_PARAM_subtable_clear");
  registry_clear(kSectioned);
}

KX_RC GM_PARAM_subtable_list_print(PEXLIST_handle_typ *sections) {
  if (sections == NULL) return KX_FAIL;
  PEXLIST_handle_typ walk = *sections;
  walk.curr = NULL;
  void *ptr = NULL;
  unsigned size = 0;
  DIAG_ERROR("Dsect BEGIN");
  while (PEXLIST_next_ptr(&walk, &ptr, &size) == KX_SUCCESS) {
    GM_PARAM_subtable_row *section = as_section(ptr, size);
    if (section == NULL) continue;
    DIAG_ERROR("    [%s]", section->key);
    PEXLIST_handle_typ rows = section->list;
    rows.curr = NULL;
    char *key = NULL;
    char *value = NULL;
    while (GM_PARAM_list_next(&rows, &key, &value) == KX_SUCCESS)
      DIAG_ERROR("\t%s = '%s'", key, value);
  }
  DIAG_ERROR("Dsect END");
  return KX_SUCCESS;
}

char *GM_PARAM_Get_SubtableName(char *text) {
  if (GM_PARAM_IsSubtable(text) != KX_SUCCESS) return NULL;
  *strrchr(text, ']') = '\0';
  return strchr(text, '[') + 1;
}

}  // extern "C"
