/*
 * gm_str.h - small operations on NUL-terminated byte strings: trailing-blank
 * removal, case folding, number tests, word and field extraction, escaping,
 * trimming and a four-operation calculator.
 *
 * A "blank" is the space character only; "white space" is isspace(). Most
 * operations work in place on the caller's buffer. Results are KX_RC
 * (KX_SUCCESS 1, KX_FAIL 2), a flag (1 true, 0 false) or a value as stated.
 * GM_STR_substr and GM_STR_get_word return a static buffer that the next
 * call of the same operation overwrites: not re-entrant, copy what you keep.
 */
#ifndef BE_HADOOP_COMMON_GM_STR_H
#define BE_HADOOP_COMMON_GM_STR_H

#include <stdio.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the static result buffers and the longest texts they take. */
#define GM_STR_SUBSTR_BUFFER_SIZE 300
#define GM_STR_SUBSTR_MAX_LEN 290
#define GM_STR_GET_WORD_BUFFER_SIZE 1000

/* Removes trailing blanks in place (tabs and other characters stay).
 * Returns text; NULL stays NULL. */
char *GM_STR_unpad(char *text);

/* Replaces each byte up to the terminator by its toupper / tolower form in
 * the current locale. A NULL text is ignored. */
void GM_STR_toupper(char *text);
void GM_STR_tolower(char *text);

/* KX_SUCCESS when the first character is a decimal digit, '+' or '-' and
 * every later one a decimal digit (a lone sign passes, an empty text fails).
 * Otherwise shows "<text> is not valid number" on standard error
 * (OS_MSGERR_display) and returns KX_FAIL. */
KX_RC GM_STR_isnumber(const char *text);

/* KX_SUCCESS when GM_STR_isnumber accepts the text and its value is not
 * negative (zero and a lone sign pass). Otherwise also shows "<text> is not a
 * positive number" and returns KX_FAIL; a text that is no number at all gets
 * both messages, the number message first. */
KX_RC GM_STR_isunsignednumber(const char *text);

/* Length without trailing blanks; 0 for NULL. */
int GM_STRlen(const char *text);

/* Compares two texts without their trailing blanks: -1, 0 or 1. The first
 * difference within the shorter trimmed length decides; with equal prefixes
 * the shorter text is less. NULL compares as an empty text. */
int GM_STRcmp(const char *text1, const char *text2);

/* 1 when every character is a blank (also for an empty text); 0 otherwise and
 * for NULL. */
flag GM_STR_all_blanks(const char *text);

/* 1 when any character is a blank; 0 otherwise and for NULL. */
flag GM_STR_contain_blank(const char *text);

/* The characters from index start up to, not including, index end (end is
 * first limited to the text's length), at most GM_STR_SUBSTR_MAX_LEN of
 * them. Empty when start lies beyond the text, end is below start, or text is
 * NULL. Returns the static buffer (GM_STR_SUBSTR_BUFFER_SIZE bytes). */
char *GM_STR_substr(const char *text, unsigned start, unsigned end);

/* Reads one line with fgets into buffer (size bytes) and replaces every
 * newline in it by a terminator. KX_FAIL at end of file, on a read error or
 * for a NULL stream/buffer or a size below 1. */
KX_RC GM_STR_fgets_line(FILE *stream, char *buffer, int size);

/* Word number word_no (from 1; numbers below 1 mean 1) of the text split at
 * any of the separator characters, runs of separators counting as one. Only
 * the first GM_STR_GET_WORD_BUFFER_SIZE - 1 characters of the text are
 * examined. Empty when there are fewer words or an argument is NULL. Returns
 * the static buffer (GM_STR_GET_WORD_BUFFER_SIZE bytes). */
char *GM_STR_get_word(const char *text, int word_no, const char *separators);

/* Copies field number n (from 1; below 1 means 1) of the line into result
 * (size bytes). Runs of delimiters separate two fields as one does, a
 * delimiter at the start makes field 1 empty, delimiters at the end make no
 * empty last field. KX_FAIL (traced at level 4) when the line has fewer
 * fields; KX_FAIL without a copy when the field does not fit with its
 * terminator; KX_FAIL for a NULL line or result. */
KX_RC GM_STR_get_nth_field(const char *line, int n, char delimiter, char *result,
                           int size);

/* Writes the text after the last '.' of filename into out: at most size
 * characters and a terminator, so out must hold size + 1 bytes. out is made
 * empty when size is 1, the name is empty or holds no '.'; with size 0
 * nothing is written. KX_FAIL for a NULL argument (out untouched), else
 * KX_SUCCESS. */
KX_RC GM_STR_get_extention(const char *filename, char *out, unsigned size);

/* Evaluates "a op b" (three blank-separated words, each read up to 99
 * characters; op is +, -, * or /, any other gives 0) and writes the result
 * over the expression: a whole number without decimals, else six decimals, or
 * the error text "DIV BY ZERO" / "OVER FLOW" (an operand of * above 9e18).
 * Missing words read as empty (value 0). REQUIRES: the buffer has room for
 * the result text; 32 bytes hold any result below 1e18 in magnitude, 320
 * bytes any double. Always returns 0.0; callers read the buffer. */
double GM_STR_math(char *expression);

/* Copies source without its trailing blanks into target, with a backslash
 * before every blank that remains. REQUIRES: target holds
 * 2 * strlen(source) + 1 bytes and does not overlap source. Returns target;
 * NULL when source or target is NULL. */
char *GM_STR_bckslsh_blnk(const char *source, char *target);

/* Splits source at backslashes (runs count as one) and writes each non-empty
 * field followed by two backslashes into target; when no field was written
 * (an empty source, or only backslashes) target becomes a copy of source.
 * Fields longer than 2047 characters end the split. REQUIRES: target holds
 * 2 * strlen(source) + 3 bytes and does not overlap source; what it held
 * before is discarded. Returns target; NULL when an argument is NULL. */
char *GM_STR_bckslsh_2double(const char *source, char *target);

/* Removes leading white space in place. KX_FAIL for NULL, else KX_SUCCESS. */
KX_RC GM_STR_trim_leading_spaces(char *text);

/* Removes, in place, everything before the first character of to_trim that
 * is in stop (that character stays). No stop character in the text, or an
 * empty stop set: the text stays as it is. KX_FAIL for a NULL argument, else
 * KX_SUCCESS. */
KX_RC GM_STR_trim_leading_until_char(char *to_trim, const char *stop);

/* Cuts to_trim in place right after its last character that is in stop (the
 * text is kept through that character). No stop character in the text, or an
 * empty stop set: the text stays as it is. KX_FAIL for a NULL argument, else
 * KX_SUCCESS. */
KX_RC GM_STR_trim_trailing_until_char(char *to_trim, const char *stop);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_COMMON_GM_STR_H */
