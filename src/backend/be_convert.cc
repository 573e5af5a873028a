#include "be_convert.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gm_param.h"
#include "os_diag.h"

int required_locales_initialized = 0;
QVLocale UTF8_Locale = NULL;
QVLocale LAT1_Locale = NULL;

namespace {

constexpr const char kUtf8Name[] = ".UTF-8";
constexpr const char kLatin1Name[] = ".Latin1";

// A null name still gets a readable line rather than undefined behaviour in
// the formatter.
const char *printable(const char *text) { return text != NULL ? text : "(null)"; }

// The conversion itself; NULL src is refused here because its length is
// needed before the code-page library sees it.
long convert(QVLocale target, char *dst, size_t dst_size, QVLocale source, const char *src) {
  if (src == NULL) return -1;
  return QVConvertString(target, dst, dst_size, source, src, strlen(src), QV_CONVERT_TERMINATE);
}

}  // namespace

extern "C" {

KX_RC BE_INF_get_agent_dir(char *agent_dir, size_t agent_dir_size) {
  DIAG_TRACE(3, "BE_INF_get_agent_dir");
  const char *home = getenv("WEXAGENT");
  if (home == NULL) {
    DIAG_ERROR("Cannot get WEXAGENT environment variable\n");
    return KX_FAIL;
  }
  size_t len = strlen(home);
  if (agent_dir == NULL || len >= agent_dir_size) {
    // A cut path would name some other directory.
    DIAG_ERROR("BE_INF_get_agent_dir: WEXAGENT is too long (%zu characters)", len);
    return KX_FAIL;
  }
  memcpy(agent_dir, home, len + 1);
  return KX_SUCCESS;
}

KX_RC BE_INF_QV_init(const char *prod_dir) {
  DIAG_TRACE(4, "QV_init");
  char locale_dir[1024];
  int n = snprintf(locale_dir, sizeof locale_dir, "%s/exe/locale", printable(prod_dir));
  // A cut path must not reach QVInit: it could name an existing directory.
  bool fits = prod_dir != NULL && n >= 0 && static_cast<size_t>(n) < sizeof locale_dir;
  if (!fits || QVInit(locale_dir, NULL, NULL, NULL, QV_INIT_DEFAULT) != 0) {
    DIAG_ERROR("%s: Failed to initialize QV library. searched for locales at: '%s'",
               "BE_INF_QV_init", locale_dir);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "%s: QV library was initialized", "BE_INF_QV_init");
  return KX_SUCCESS;
}

QVLocale createLocaleByName(const char *localeName) {
  static const char fn[] = "createLocaleByName";
  const char *name = printable(localeName);
  DIAG_TRACE(4, "%s: '%s'", fn, name);
  long error = -1;
  QVLocale locale = QVGetLocale(localeName, 0, &error);
  switch (error) {
    case 0:
      DIAG_TRACE(4, "%s: Locale '%s' was created.", fn, name);
      break;
    case 2:
      DIAG_ERROR("%s: QVGetLocale failed - Invalid option specified.", fn);
      break;
    case 11:
      DIAG_ERROR("%s: QVGetLocale failed - Fatal data loading error.", fn);
      break;
    case 20:
      DIAG_ERROR("%s: QVGetLocale failed - Memory allocation error.", fn);
      break;
    case 30:
      DIAG_ERROR("%s: QVGetLocale failed - Invalid  code page specified.", fn);
      break;
    case 31:
      DIAG_ERROR("%s: QVGetLocale failed - Invalid language specified.", fn);
      break;
    case 33:
      DIAG_ERROR("%s: QVGetLocale failed - Invalid sort specified.", fn);
      break;
    case 34:
      DIAG_ERROR("%s: QVGetLocale failed - Invalid territory specified.", fn);
      break;
    default:
      break;
  }
  if (locale == NULL) DIAG_ERROR("%s: ERROR: Locale - '%s' has not been created", fn, name);
  return locale;
}

KX_RC BE_UTIL_init_required_locales(void) {
  static const char fn[] = "BE_UTIL_init_required_locales";
  if (required_locales_initialized == 1) {
    DIAG_TRACE(4, "%s: Required locales already initialized - nothing to do", fn);
    return KX_SUCCESS;
  }
  DIAG_TRACE(4, "%s started", fn);

  char agent_dir[2000];
  if (BE_INF_get_agent_dir(agent_dir, sizeof agent_dir) != KX_SUCCESS) {
    DIAG_ERROR("%s: Failed to get Agent dir", fn);
    return KX_FAIL;
  }
  if (BE_INF_QV_init(agent_dir) != KX_SUCCESS) {
    DIAG_ERROR("%s: Failed to init QV", fn);
    return KX_FAIL;
  }

  DIAG_TRACE(4, "Initializing UTF8_Locale");
  UTF8_Locale = createLocaleByName(kUtf8Name);
  if (UTF8_Locale == NULL) {
    DIAG_ERROR("%s: Cannot create '%s' locale", fn, kUtf8Name);
    QVTerm(NULL);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "UTF8_Locale successfully initialized");

  DIAG_TRACE(4, "Initializing LAT1_Locale");
  LAT1_Locale = createLocaleByName(kLatin1Name);
  if (LAT1_Locale == NULL) {
    DIAG_ERROR("%s: Cannot create '%s' locale", fn, kLatin1Name);
    if (QVReleaseLocale(UTF8_Locale, 0) != 0)
      DIAG_ERROR("%s: Cannot release '%s' locale", fn, kUtf8Name);
    UTF8_Locale = NULL;
    QVTerm(NULL);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "LAT1_Locale successfully initialized");

  required_locales_initialized = 1;
  DIAG_TRACE(4, "%s exiting successfully", fn);
  return KX_SUCCESS;
}

void BE_UTIL_release_required_locales(void) {
  static const char fn[] = "BE_UTIL_release_required_locales";
  if (required_locales_initialized == 0) {
    DIAG_TRACE(4, "%s: Required locales are not initialized - nothing to release", fn);
    return;
  }
  if (UTF8_Locale != NULL) {
    if (QVReleaseLocale(UTF8_Locale, 0) != 0)
      DIAG_ERROR("%s: Cannot release '%s' locale", fn, kUtf8Name);
    else
      DIAG_TRACE(4, "UTF8_Locale successfully released");
    UTF8_Locale = NULL;
  }
  if (LAT1_Locale != NULL) {
    if (QVReleaseLocale(LAT1_Locale, 0) != 0)
      DIAG_ERROR("%s: Cannot release '%s' locale", fn, kLatin1Name);
    else
      DIAG_TRACE(4, "LAT1_Locale successfully released");
    LAT1_Locale = NULL;
  }
  QVTerm(NULL);
  DIAG_TRACE(4, "%s: QV was released", fn);
  required_locales_initialized = 0;
}

KX_RC BE_UTIL_convert_UTF8_Latin1(const char *src, char *dst, size_t dst_size, int direction) {
  static const char fn[] = "BE_UTIL_convert_UTF8_Latin1";
  if (required_locales_initialized == 0 && BE_UTIL_init_required_locales() != KX_SUCCESS)
    return KX_FAIL;

  QVLocale source;
  QVLocale target;
  const char *what;
  if (direction == BE_UTIL_UTF8_TO_LATIN1) {
    source = UTF8_Locale;
    target = LAT1_Locale;
    what = "from UTF8 to Latin1";
  } else if (direction == BE_UTIL_LATIN1_TO_UTF8) {
    source = LAT1_Locale;
    target = UTF8_Locale;
    what = "from Latin1 to UTF8";
  } else {
    DIAG_ERROR("%s: Invalid direction %d", fn, direction);
    return KX_FAIL;
  }

  DIAG_TRACE(4, "%s: Converting string %s", fn, what);
  if (convert(target, dst, dst_size, source, src) == -1) {
    DIAG_ERROR("%s: failed to convert string", fn);
    return KX_FAIL;
  }
  DIAG_TRACE(4, "%s: String successfully converted", fn);
  return KX_SUCCESS;
}

KX_RC BE_INF_Convert_String(const char *src_enc, const char *src, const char *dst_enc, char *dst,
                            size_t dst_size) {
  static const char fn[] = "BE_INF_Convert_String";
  char agent_dir[1024];
  if (BE_INF_get_agent_dir(agent_dir, sizeof agent_dir) != KX_SUCCESS) {
    DIAG_TRACE(2, "%s: failed to get Agent dir", fn);
    return KX_FAIL;
  }
  if (BE_INF_QV_init(agent_dir) != KX_SUCCESS) {
    DIAG_TRACE(2, "%s: failed to init QV", fn);
    return KX_FAIL;
  }

  // Every path below ends the use of the library begun above.
  KX_RC rc = KX_SUCCESS;
  QVLocale source = createLocaleByName(src_enc);
  if (source == NULL) {
    DIAG_TRACE(2, "%s: Cannot create '%s' locale", fn, printable(src_enc));
    rc = KX_FAIL;
  } else {
    QVLocale target = createLocaleByName(dst_enc);
    if (target == NULL) {
      DIAG_TRACE(2, "%s: Cannot create '%s' locale", fn, printable(dst_enc));
      rc = KX_FAIL;
    } else {
      if (convert(target, dst, dst_size, source, src) == -1) {
        DIAG_TRACE(2, "%s: failed to convert string", fn);
        rc = KX_FAIL;
      }
      if (QVReleaseLocale(target, 0) != 0)
        DIAG_TRACE(2, "%s: Cannot release '%s' locale", fn, printable(dst_enc));
    }
    if (QVReleaseLocale(source, 0) != 0)
      DIAG_TRACE(2, "%s: Cannot release '%s' locale", fn, printable(src_enc));
  }
  QVTerm(NULL);
  return rc;
}

}  // extern "C"
