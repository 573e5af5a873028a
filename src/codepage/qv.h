/*
 * qv.h - the code-page layer: named locales and text conversion between them.
 *
 * A locale name has the form [language[_territory]].codepage[@sort], for
 * example ".UTF-8" or "de_DE.Latin1". Only the code page matters to a
 * conversion. Each code page is described by one small data file in the
 * locale data directory given to QVInit, "<directory>/<codepage>.cp":
 *
 *     # comment lines and blank lines are ignored
 *     charset=ISO-8859-1
 *
 * The `charset` line names the character set as the system converter (iconv)
 * knows it; other keys are ignored. Data files are read when a locale is
 * requested, so an administrator adds a code page by dropping in a file.
 *
 * Initialisation is counted: every successful QVInit is matched by one QVTerm
 * and only the last QVTerm ends the library (and frees the locales still
 * held). The layer guards its own state with a lock.
 */
#ifndef BE_HADOOP_CODEPAGE_QV_H
#define BE_HADOOP_CODEPAGE_QV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a locale made by QVGetLocale. */
typedef struct QVLocaleRec *QVLocale;

/* Optional allocator for the library's locale records; both or neither. */
typedef void *(*QVAllocFunc)(size_t size, void *context);
typedef void (*QVFreeFunc)(void *block, void *context);

/* Error numbers (QVGetLocale's out value; QVInit's result). */
#define QV_OK 0
#define QV_ERR_NOT_INITIALIZED 1 /* no QVInit in effect */
#define QV_ERR_INVALID_OPTION 2
#define QV_ERR_DATA_LOADING 11   /* data directory or data file unusable */
#define QV_ERR_MEMORY 20
#define QV_ERR_CODE_PAGE 30      /* malformed code page, or no data for it */
#define QV_ERR_LANGUAGE 31
#define QV_ERR_SORT 33
#define QV_ERR_TERRITORY 34
#define QV_ERR_DIRECTORY_MISMATCH 40 /* nested QVInit names another directory */

/* QVInit options word. Callers set bits 0 and 31 (QV_INIT_DEFAULT); no
 * other bit is defined, and one that is set is refused. */
#define QV_INIT_DEFAULT 0x80000001u

/* QVConvertString option: NUL-terminate the output within the target size. */
#define QV_CONVERT_TERMINATE 0x00000008u

/* Starts (or, when already started, counts one more use of) the library.
 * data_dir: the locale data directory, an existing directory; it is fixed by
 * the outermost QVInit, and a nested QVInit must name the same directory.
 * alloc/release: optional allocator for locale records, both or neither;
 * context is passed to them. They run under the library's lock and must not
 * call back into it. options: a subset of QV_INIT_DEFAULT.
 * Returns 0 when ready; otherwise an error number and nothing is counted:
 * QV_ERR_DATA_LOADING (null, missing or unreadable directory, or path over
 * 1023 characters), QV_ERR_INVALID_OPTION, QV_ERR_DIRECTORY_MISMATCH,
 * QV_ERR_MEMORY. */
int QVInit(const char *data_dir, QVAllocFunc alloc, QVFreeFunc release, void *context,
           unsigned int options);

/* Makes a locale from its name. options must be 0. *error (when error is not
 * null) receives 0 on success; otherwise the result is null and *error one
 * of: QV_ERR_NOT_INITIALIZED, QV_ERR_INVALID_OPTION, QV_ERR_CODE_PAGE (no
 * code page in the name, a malformed one, or no data file for it),
 * QV_ERR_LANGUAGE, QV_ERR_TERRITORY, QV_ERR_SORT (malformed parts),
 * QV_ERR_DATA_LOADING (data file unreadable, malformed, or naming a
 * character set the converter does not know), QV_ERR_MEMORY. Code page
 * names are matched case-sensitively against the data file names. The caller
 * releases the handle with QVReleaseLocale; the last QVTerm frees what is
 * left, after which the handle is dead. */
QVLocale QVGetLocale(const char *name, unsigned int options, long *error);

/* Releases a locale. options must be 0. Returns 0 when released; non-zero
 * for a null, unknown or already released handle (nothing is touched). */
int QVReleaseLocale(QVLocale locale, unsigned int options);

/* Converts src_len bytes of src, in the source locale's code page, into dst
 * (dst_size bytes) in the target locale's code page. With
 * QV_CONVERT_TERMINATE the output and a NUL terminator must fit in dst_size.
 * Returns the number of bytes written (terminator not counted), or -1 on
 * failure: unknown handle, no library, bad arguments or options, an input
 * byte sequence that is invalid or incomplete in the source code page, a
 * character the target code page cannot represent, or output that does not
 * fit. Nothing is ever written at or beyond dst + dst_size; on failure with
 * QV_CONVERT_TERMINATE and dst_size >= 1, dst holds an empty text. */
long QVConvertString(QVLocale target, char *dst, size_t dst_size, QVLocale source,
                     const char *src, size_t src_len, unsigned int options);

/* Ends one use of the library; the last one frees every remaining locale and
 * forgets the data directory. Without a QVInit in effect it does nothing.
 * reserved is not examined (pass NULL). */
void QVTerm(void *reserved);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_CODEPAGE_QV_H */
