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

/* Whether a reason tells of memory: an allocation that failed ("out of memory (...)") or a
 * size that no allocation could hold ("... does not fit in memory"). The one rule of the faces:
 * these are std::bad_alloc in C++ and MemoryError in Python, every other failure is
 * tessera::error or tessera.Error. */
static inline int tessera_reason_is_memory(const char *why) {
    return why && (strncmp(why, "out of memory", 13) == 0 || strstr(why, "does not fit in memory") != NULL);
}

TESSERA_END_DECLS

#endif
