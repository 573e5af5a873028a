/*
 * be_convert.h - the agent's code page around the remote call: the I18N mode
 * test, the two process-wide conversion locales (".UTF-8" and ".Latin1")
 * with their preparation and release, the two-direction conversion between
 * them, and a one-shot conversion between any two named locales.
 *
 * Lifecycle: PEXAPI_Init calls BE_UTIL_init_required_locales() and ignores
 * its result; PEXAPI_Term calls BE_UTIL_release_required_locales(). A
 * conversion that finds the locales absent prepares them itself.
 *
 * The locale data directory is "$WEXAGENT/exe/locale" (see qv.h for its
 * files). The locale pair and its flag are process-wide and unguarded:
 * preparation, release and conversions run one at a time per process.
 */
#ifndef BE_HADOOP_BACKEND_BE_CONVERT_H
#define BE_HADOOP_BACKEND_BE_CONVERT_H

#include <stddef.h>

#include "pexapi.h"
#include "gm_xml.h"
#include "qv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Directions of BE_UTIL_convert_UTF8_Latin1. */
#define BE_UTIL_UTF8_TO_LATIN1 1
#define BE_UTIL_LATIN1_TO_UTF8 2

/* 1 while both locales below exist, else 0. */
extern int required_locales_initialized;
extern QVLocale UTF8_Locale; /* ".UTF-8", or NULL */
extern QVLocale LAT1_Locale; /* ".Latin1", or NULL */

/* The I18N mode test, isI18nDefined(), lives in gm_xml.h: the XML writer
 * below this layer chooses the document opening by it too. */

/* Creates both process-wide locales. KX_SUCCESS when they exist afterwards
 * (at once when they existed already); KX_FAIL when WEXAGENT is not set, the
 * locale data directory cannot be used or a locale cannot be created. A
 * failure leaves nothing created and the code-page library not held. */
KX_RC BE_UTIL_init_required_locales(void);

/* Releases both locales and this module's hold on the code-page library.
 * Does nothing when they are not prepared. */
void BE_UTIL_release_required_locales(void);

/* Converts the NUL-terminated text src into dst (dst_size bytes), from UTF-8
 * to Latin-1 (direction 1) or from Latin-1 to UTF-8 (direction 2), preparing
 * the locales first when they are absent. The output and its terminator must
 * fit in dst_size: a Latin-1 text of length L needs at most 2 * L + 1 bytes
 * of UTF-8. KX_SUCCESS with dst holding the converted text; KX_FAIL when the
 * locales cannot be prepared, the direction is not 1 or 2 (dst untouched),
 * src or dst is null, the text is not valid in its source code page, holds a
 * character Latin-1 cannot represent, or does not fit. Nothing is written at
 * or beyond dst + dst_size. */
KX_RC BE_UTIL_convert_UTF8_Latin1(const char *src, char *dst, size_t dst_size, int direction);

/* Converts the NUL-terminated text src from locale src_enc to locale dst_enc
 * (locale names such as ".UTF-8" or ".Latin1") into dst (dst_size bytes, the
 * terminator included). Self-contained: it holds the code-page library only
 * for its own duration and leaves the process-wide locales usable.
 * KX_SUCCESS, or KX_FAIL for the reasons of BE_UTIL_convert_UTF8_Latin1 or
 * an unknown locale name. */
KX_RC BE_INF_Convert_String(const char *src_enc, const char *src, const char *dst_enc, char *dst,
                            size_t dst_size);

/* Creates the locale localeName (QVGetLocale) and logs the outcome. Returns
 * the handle, which the caller releases with QVReleaseLocale, or NULL. */
QVLocale createLocaleByName(const char *localeName);

/* Starts (one more use of) the code-page library on the data directory
 * "<prod_dir>/exe/locale". KX_SUCCESS, or KX_FAIL when the library does not
 * start (missing directory, or a path over 1023 characters). On success the
 * caller ends the use with QVTerm(NULL). */
KX_RC BE_INF_QV_init(const char *prod_dir);

/* Copies the value of the environment variable WEXAGENT, the agent's home
 * directory, into agent_dir (agent_dir_size bytes, the terminator included).
 * KX_FAIL, with agent_dir untouched, when WEXAGENT is not set or its value
 * does not fit. */
KX_RC BE_INF_get_agent_dir(char *agent_dir, size_t agent_dir_size);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_CONVERT_H */
