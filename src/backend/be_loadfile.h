/*
 * be_loadfile.h - reading a small text file (the container configuration)
 * into one buffer without its line ends, and trailing-blank removal.
 */
#ifndef BE_HADOOP_BACKEND_BE_LOADFILE_H
#define BE_HADOOP_BACKEND_BE_LOADFILE_H

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest piece of a line read at once; a longer line is taken in pieces,
 * each handled as a line of its own. */
#define BE_LOADFILE_LINE_MAX 9999

/* Appends the content of the text file `filename` to the NUL-terminated text
 * already in `xmlbuff`, a buffer of maxSize bytes. Each line loses its
 * trailing blanks and tabs and its line feed, and lines are joined with
 * nothing between them; a line that starts with the UTF-8 byte-order mark
 * is appended without it. The buffer always stays terminated.
 * Returns 1 (KX_SUCCESS) when the whole file was appended (an empty file
 * included); 2 when a line would bring the text to maxSize characters or
 * more (what was appended before it stays); and the open's failure code,
 * KX_FAIL (2), when the file cannot be opened or an argument is null. */
KX_RC BE_load_file_to_string(const char *filename, char *xmlbuff, int maxSize);

/* Removes trailing blanks and tabs of str in place and returns str; a text
 * of blanks and tabs only becomes empty. A null str is returned as it is. */
char *BE_str_unpad_all(char *str);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_LOADFILE_H */
