/* tessera/panic.h - the fatal-fault reporter.
 * Faults no caller can prevent (a bad run-time tag) are reported here and end the process. */
#ifndef TESSERA_PANIC_H
#define TESSERA_PANIC_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

/* Writes a three-line report to standard error:
 *   "\n<name>:   <msg>\n", "<indent>    In line <line> of <file>\n", "<indent>    RCS: <rcs>\n\n"
 * where <indent> is as many blanks as name has characters. Exits with status 1 when fatal is
 * non-zero; returns otherwise. */
TESSERA_API void _panic(const char *name, const char *msg, const char *rcs, int32_t line, const char *file,
                        int32_t fatal);

TESSERA_END_DECLS

#endif
