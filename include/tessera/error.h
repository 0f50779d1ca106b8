/* Why a call failed, and which version of the library is loaded.
 * Every reason is kept per thread. */
#ifndef TESSERA_ERROR_H
#define TESSERA_ERROR_H

#include <string.h>

#include "export.h"

TESSERA_BEGIN_DECLS

/* A text describing the most recent failure of a call on this thread that returned null, -1
 * or false for failure, for example "cannot open 'x.pgm': No such file or directory" or
 * "line 7: expected a number after 'l', found 'x'". Successful calls may leave it in place (as
 * they do errno), so read it right after a call that failed. The text belongs to the library
 * and stays valid until the next call on this thread. Contract violations and panics end the
 * process and set no reason. */
TESSERA_API const char *tessera_last_error(void);

/* The version of the loaded library, "MAJOR.MINOR.PATCH"; the headers' version is in the
 * macros TESSERA_VERSION_MAJOR, _MINOR, _PATCH and TESSERA_VERSION_STRING of <tessera.h>. */
TESSERA_API const char *tessera_version(void);

/* What kind of failure the most recent reason on this thread tells of, so that a program can
 * act on it without reading the text. Every reason the library sets has one of these codes. */
typedef enum tessera_error_code {
    TESSERA_ERROR_NONE = 0,       /* no failure reported on this thread yet */
    TESSERA_ERROR_MEMORY = 1,     /* an allocation failed, or a size no allocation could hold */
    TESSERA_ERROR_FILE = 2,       /* a system call on a file, stream or descriptor failed */
    TESSERA_ERROR_FORMAT = 3,     /* data that breaks its format: a bad header, damaged or cut short */
    TESSERA_ERROR_LIMIT = 4,      /* over the budget (tessera_set_budget), a limit, or 32-bit sizes */
    TESSERA_ERROR_ARGUMENT = 5,   /* a value the call does not take: null, a bad size, an unknown name */
    TESSERA_ERROR_UNSUPPORTED = 6 /* well formed, but a format, type or layout tessera does not handle */
} tessera_error_code;

/* The code of tessera_last_error()'s reason (a tessera_error_code). */
TESSERA_API int tessera_last_error_code(void);

/* A code's name: "none", "memory", "file", "format", "limit", "argument" or "unsupported";
 * null for a number that is not a code. */
TESSERA_API const char *tessera_error_code_name(int code);

/* Whether a reason's text tells of memory: an allocation that failed ("out of memory (...)")
 * or a size that no allocation could hold ("... does not fit in memory"). Kept for callers that
 * hold only a text; tessera_last_error_code() == TESSERA_ERROR_MEMORY says the same of the
 * thread's own reason without reading it. */
static inline int tessera_reason_is_memory(const char *why) {
    return why && (strncmp(why, "out of memory", 13) == 0 || strstr(why, "does not fit in memory") != NULL);
}

TESSERA_END_DECLS

#endif
