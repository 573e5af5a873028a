// gm_str.cc - string utilities shared by the whole library and the agent.

#include "gm_str.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "os_diag.h"

namespace {

char g_substr_buffer[GM_STR_SUBSTR_BUFFER_SIZE];
char g_word_buffer[GM_STR_GET_WORD_BUFFER_SIZE];

// Length of text without its trailing blanks.
size_t trimmed_length(const char *text) {
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == ' ') len--;
  return len;
}

bool is_digit(char c) { return isdigit((unsigned char)c) != 0; }

bool number_syntax(const char *text) {
  if (!is_digit(text[0]) && text[0] != '+' && text[0] != '-') return false;
  for (const char *p = text + 1; *p != '\0'; ++p) {
    if (!is_digit(*p)) return false;
  }
  return true;
}

// Sign of a value as -1, 0 or 1.
int sign_of(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" {

char *GM_STR_unpad(char *text) {
  if (text == NULL) return NULL;
  text[trimmed_length(text)] = '\0';
  return text;
}

void GM_STR_toupper(char *text) {
  if (text == NULL) return;
  for (char *p = text; *p != '\0'; ++p) *p = (char)toupper((unsigned char)*p);
}

void GM_STR_tolower(char *text) {
  if (text == NULL) return;
  for (char *p = text; *p != '\0'; ++p) *p = (char)tolower((unsigned char)*p);
}

KX_RC GM_STR_isnumber(const char *text) {
  if (text != NULL && number_syntax(text)) return KX_SUCCESS;
  OS_MSGERR_display("%s is not valid number", text != NULL ? text : "(null)");
  return KX_FAIL;
}

KX_RC GM_STR_isunsignednumber(const char *text) {
  // strtol is what atol does here, minus atol's undefined overflow: a
  // too-long negative number still reads as negative.
  if (GM_STR_isnumber(text) == KX_SUCCESS && strtol(text, NULL, 10) >= 0) return KX_SUCCESS;
  OS_MSGERR_display("%s is not a positive number", text != NULL ? text : "(null)");
  return KX_FAIL;
}

int GM_STRlen(const char *text) {
  if (text == NULL) return 0;
  return (int)trimmed_length(text);
}

int GM_STRcmp(const char *text1, const char *text2) {
  if (text1 == NULL) text1 = "";
  if (text2 == NULL) text2 = "";
  size_t len1 = trimmed_length(text1);
  size_t len2 = trimmed_length(text2);
  int r = strncmp(text1, text2, len1 < len2 ? len1 : len2);
  if (r != 0) return sign_of(r);
  if (len1 < len2) return -1;
  if (len1 > len2) return 1;
  return 0;
}

flag GM_STR_all_blanks(const char *text) {
  if (text == NULL) return 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p != ' ') return 0;
  }
  return 1;
}

flag GM_STR_contain_blank(const char *text) {
  if (text == NULL) return 0;
  return strchr(text, ' ') != NULL ? 1 : 0;
}

char *GM_STR_substr(const char *text, unsigned start, unsigned end) {
  g_substr_buffer[0] = '\0';
  if (text == NULL) return g_substr_buffer;
  size_t len = strlen(text);
  size_t stop = end < len ? end : len;
  if (start > len || stop < start) return g_substr_buffer;
  size_t n = stop - start;
  if (n > GM_STR_SUBSTR_MAX_LEN) n = GM_STR_SUBSTR_MAX_LEN;
  memcpy(g_substr_buffer, text + start, n);
  g_substr_buffer[n] = '\0';
  return g_substr_buffer;
}

KX_RC GM_STR_fgets_line(FILE *stream, char *buffer, int size) {
  if (stream == NULL || buffer == NULL || size < 1) return KX_FAIL;
  if (fgets(buffer, size, stream) == NULL) return KX_FAIL;
  for (char *p = buffer; (p = strchr(p, '\n')) != NULL;) *p = '\0';
  return KX_SUCCESS;
}

char *GM_STR_get_word(const char *text, int word_no, const char *separators) {
  g_word_buffer[0] = '\0';
  if (text == NULL || separators == NULL) return g_word_buffer;
  char copy[GM_STR_GET_WORD_BUFFER_SIZE];
  snprintf(copy, sizeof(copy), "%s", text);
  if (word_no < 1) word_no = 1;
  char *save = NULL;
  char *word = strtok_r(copy, separators, &save);
  for (int i = 1; word != NULL && i < word_no; ++i) word = strtok_r(NULL, separators, &save);
  if (word != NULL) snprintf(g_word_buffer, sizeof(g_word_buffer), "%s", word);
  return g_word_buffer;
}

KX_RC GM_STR_get_nth_field(const char *line, int n, char delimiter, char *result,
                           int size) {
  if (line == NULL || result == NULL) return KX_FAIL;
  if (n < 1) n = 1;
  const char *p = line;
  for (int i = 1; i < n; ++i) {
    while (*p != '\0' && *p != delimiter) ++p;
    while (*p != '\0' && *p == delimiter) ++p;
    if (*p == '\0') {
      DIAG_TRACE(4, "field %d doesn't exist. there are only %d fields\n\tLine - '%s'", n, i,
                 line);
      return KX_FAIL;
    }
  }
  const char *end = p;
  while (*end != '\0' && *end != delimiter) ++end;
  size_t len = (size_t)(end - p);
  if (size <= 0 || len >= (size_t)size) return KX_FAIL;
  memcpy(result, p, len);
  result[len] = '\0';
  return KX_SUCCESS;
}

KX_RC GM_STR_get_extention(const char *filename, char *out, unsigned size) {
  if (filename == NULL || out == NULL) return KX_FAIL;
  if (size == 0) return KX_SUCCESS;
  out[0] = '\0';
  if (size == 1) return KX_SUCCESS;
  const char *dot = strrchr(filename, '.');
  if (dot == NULL) return KX_SUCCESS;
  const char *ext = dot + 1;
  size_t len = strlen(ext);
  if (len > size) len = size;
  memcpy(out, ext, len);
  out[len] = '\0';
  return KX_SUCCESS;
}

double GM_STR_math(char *expression) {
  if (expression == NULL) return 0.0;
  DIAG_TRACE(3, "GM_STR_math:'%s'", expression);

  // Words that are missing stay empty and read as 0.
  char word_a[100] = "";
  char word_op[100] = "";
  char word_b[100] = "";
  (void)sscanf(expression, "%99s %99s %99s", word_a, word_op, word_b);
  double a = atof(word_a);
  double b = atof(word_b);
  DIAG_TRACE(3, "GM_STR_math:'%s' '%s' '%s', a=%f, b=%f", word_a, word_op, word_b, a, b);

  double result = 0.0;
  const char *error = "";
  switch (word_op[0]) {
    case '+':
      result = a + b;
      break;
    case '-':
      result = a - b;
      break;
    case '/':
      if (b == 0.0)
        error = "DIV BY ZERO";
      else
        result = a / b;
      break;
    case '*':
      if (a > 9e18 || b > 9e18)
        error = "OVER FLOW";
      else
        result = a * b;
      break;
    default:
      break;
  }
  DIAG_TRACE(3, "GM_STR_math: Result = %f , error:'%s'", result, error);

  // Large enough for "%f" of any double.
  char text[400];
  double whole = 0.0;
  if (error[0] != '\0') {
    snprintf(text, sizeof(text), "%s", error);
  } else if (modf(result, &whole) != 0.0 || isnan(result)) {
    snprintf(text, sizeof(text), "%f", result);
  } else if (result >= -9.2e18 && result <= 9.2e18) {
    snprintf(text, sizeof(text), "%0ld", (long)result);
  } else {
    // A whole number beyond long (or infinite): converting it would be
    // undefined, and "%.0f" gives the same digits.
    snprintf(text, sizeof(text), "%.0f", result);
  }
  memcpy(expression, text, strlen(text) + 1);
  DIAG_TRACE(3, "GM_STR_math: Result = %s", expression);
  return 0.0;
}

char *GM_STR_bckslsh_blnk(const char *source, char *target) {
  if (source == NULL || target == NULL) return NULL;
  size_t len = trimmed_length(source);
  char *out = target;
  for (size_t i = 0; i < len; ++i) {
    if (source[i] == ' ') *out++ = '\\';
    *out++ = source[i];
  }
  *out = '\0';
  return target;
}

char *GM_STR_bckslsh_2double(const char *source, char *target) {
  if (source == NULL || target == NULL) return NULL;
  char field[2048];
  char *out = target;
  *out = '\0';
  for (int i = 1; GM_STR_get_nth_field(source, i, '\\', field, (int)sizeof(field)) == KX_SUCCESS;
       ++i) {
    // Only the first field can be empty (a leading backslash); an empty
    // field adds no pair, so a text of backslashes alone is kept as it is.
    size_t len = strlen(field);
    if (len == 0) continue;
    memcpy(out, field, len);
    out += len;
    *out++ = '\\';
    *out++ = '\\';
    *out = '\0';
  }
  if (out == target) memcpy(target, source, strlen(source) + 1);
  return target;
}

KX_RC GM_STR_trim_leading_spaces(char *text) {
  static const char kName[] = "GM_STR_trim_leading_spaces";
  if (text == NULL) {
    DIAG_TRACE(3, "<<< %s: cannot process null pointer", kName);
    return KX_FAIL;
  }
  DIAG_TRACE(5, ">>> %s enter: original string %s", kName, text);
  char *from = text;
  while (*from != '\0' && isspace((unsigned char)*from)) ++from;
  DIAG_TRACE(5, "%s: will start copying from %s", kName, from);
  memmove(text, from, strlen(from) + 1);
  DIAG_TRACE(5, "<<< %s exit: trimmed string %s", kName, text);
  return KX_SUCCESS;
}

KX_RC GM_STR_trim_leading_until_char(char *to_trim, const char *stop) {
  static const char kName[] = "GM_STR_trim_leading_until_char";
  if (to_trim == NULL || stop == NULL) {
    DIAG_TRACE(3, "<<< %s exit: cannot process null pointer %s", kName,
               to_trim == NULL ? "to_trim" : "stop");
    return KX_FAIL;
  }
  if (stop[0] == '\0') {
    DIAG_TRACE(3, "<<< %s exit: will not process empty string", kName);
    return KX_SUCCESS;
  }
  DIAG_TRACE(5, ">>> %s: original string %s", kName, to_trim);
  char *from = strpbrk(to_trim, stop);
  if (from == NULL) {
    DIAG_TRACE(5, "<<<%s exit: no occurences of %s found in %s", kName, stop, to_trim);
    return KX_SUCCESS;
  }
  DIAG_TRACE(5, "%s: will start copying from %s", kName, from);
  memmove(to_trim, from, strlen(from) + 1);
  DIAG_TRACE(5, "<<< %s exit: trimmed string %s", kName, to_trim);
  return KX_SUCCESS;
}

KX_RC GM_STR_trim_trailing_until_char(char *to_trim, const char *stop) {
  static const char kName[] = "GM_STR_trim_trailing_until_char";
  if (to_trim == NULL || stop == NULL) {
    DIAG_TRACE(3, "<<< %s exit: cannot process null pointer %s", kName,
               to_trim == NULL ? "to_trim" : "stop");
    return KX_FAIL;
  }
  DIAG_TRACE(5, ">>> %s enter: original string %s", kName, to_trim);
  char *last = NULL;
  for (char *p = to_trim; *p != '\0'; ++p) {
    if (strchr(stop, *p) != NULL) last = p;
  }
  if (last != NULL) last[1] = '\0';
  DIAG_TRACE(5, "<<< %s exit: trimmed string %s", kName, to_trim);
  return KX_SUCCESS;
}

}  // extern "C"
