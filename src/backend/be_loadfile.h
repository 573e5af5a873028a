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

/* The bytes read from a file are bounded too: at most this many times
 * maxSize, room for indentation, trailing blanks and line ends that the
 * trimming drops. */
#define BE_LOADFILE_READ_FACTOR 4

/* Appends the content of the text file `filename` to the NUL-terminated text
 * already in `xmlbuff`, a buffer of maxSize bytes. Each line loses its
 * trailing blanks and tabs and its line feed, and lines are joined with
 * nothing between them; a line that starts with the UTF-8 byte-order mark
 * is appended without it (a zero byte ends the part of its line that is
 * kept). The buffer always stays terminated.
 * Returns 1 (KX_SUCCESS) when the whole file was appended (an empty file
 * included); 2 when a line would bring the text to maxSize characters or
 * more, or when the file holds more than BE_LOADFILE_READ_FACTOR * maxSize
 * bytes (what was appended before stays; a file that never ends is read no
 * further than that); and the open's failure code, KX_FAIL (2), when the
 * file cannot be opened or an argument is null. */
KX_RC BE_load_file_to_string(const char *filename, char *xmlbuff, int maxSize);

/* Removes trailing blanks and tabs of str in place and returns str; a text
 * of blanks and tabs only becomes empty. A null str is returned as it is. */
char *BE_str_unpad_all(char *str);

#ifdef __cplusplus
}

#include "gm_param.h"

/* The children of the root element of a small XML file (the container
 * configuration), read and looked up as each caller would with
 * BE_load_file_to_string and GM_XML_ParseByParentElement, but at most once
 * per version of the file: the text and every element looked up are kept
 * while the file keeps its device, inode, size and modification time. A file
 * changed within the last seconds, or one that is not a regular file, is
 * read again at every use, so that an edit the clock cannot tell apart from
 * the previous version still counts from the next request. One process-wide
 * cache, guarded; one file at a time (a different path reads afresh). */
class BE_ConfigurationFile {
 public:
  /* Brings the file at path up to date: true when its whole text is there
   * (BE_load_file_to_string gave KX_SUCCESS into size bytes). */
  static bool load(const char *path, int size);
  /* The text of element inside root in the file load last found: the
   * search's result and its value (GM_PARAM_VALUE_typ, emptied first). */
  static KX_RC lookup(const char *element, const char *root, GM_PARAM_VALUE_typ value);
};
#endif

#endif /* BE_HADOOP_BACKEND_BE_LOADFILE_H */
