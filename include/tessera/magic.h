/* tessera/magic.h - the tokenizer for the text headers of image and point-list files.
 * "#" starts a comment anywhere; its text is collected and the caller sees one newline.
 * The tokenizer keeps process-wide state: read one header at a time. */
#ifndef TESSERA_MAGIC_H
#define TESSERA_MAGIC_H

#include <stdint.h>
#include <stdio.h>

#include "adt_strings.h"
#include "export.h"

TESSERA_BEGIN_DECLS

/* Starts a header: empties the collected comment text. 0, or -1 when memory runs out. */
TESSERA_API int32_t magicStart(void);
/* Next character (0 to 255) with comments folded into their newline; -1 at end of file. */
TESSERA_API int32_t magicGetChar(FILE *stream);
/* Reads an unsigned decimal number ended by one more character (consumed) into *value (when not
 * null). -1 for no digit, a number that runs to end of file, or one above 2147483647; *value is
 * then not written. */
TESSERA_API int32_t magicGetInt(FILE *stream, int32_t *value);
/* Reads a white-space delimited word into *s (created when null). 0, or -1 at end of file. */
TESSERA_API int32_t magicGetString(FILE *stream, adtStringHeader **s);
/* Reads a word and converts its leading decimal number into *value. 0, or -1. */
TESSERA_API int32_t magicGetFloat(FILE *stream, float *value);

TESSERA_END_DECLS

#endif
