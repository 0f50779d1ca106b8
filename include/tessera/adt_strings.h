/* tessera/adt_strings.h - growable, NUL-terminated counted strings.
 * Every operation accepts a null string and treats it as empty (or as not yet created). */
#ifndef TESSERA_ADT_STRINGS_H
#define TESSERA_ADT_STRINGS_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct adtStringHeader {
    char *chars;    /* owned buffer of maxLen + 1 bytes, always NUL-terminated */
    int32_t maxLen; /* capacity: the longest text the buffer holds */
} adtStringHeader;

/* Underscore operations take the address of the caller's string pointer. They store a new
 * string there only when it holds null; growing an existing string replaces its buffer, never
 * the record. On failure they return null (1 for strNewLen_) and leave an existing string as
 * it was. */

/* New empty string of capacity n (10 when n <= 0); null when memory runs out. Caller frees. */
TESSERA_API adtStringHeader *strNew(int32_t n);
/* Releases the buffer and the record; null does nothing. */
TESSERA_API void strFree(adtStringHeader *s);
/* Empties the text, keeping the capacity. Returns s. */
TESSERA_API adtStringHeader *strClear(adtStringHeader *s);
/* Sets *p to a copy of text (a null text only clears *p). Returns *p, or null. */
TESSERA_API adtStringHeader *strInit_(adtStringHeader **p, const char *text);
/* Sets *p to a copy of src's text. Returns *p, or null. */
TESSERA_API adtStringHeader *strCopy_(adtStringHeader **p, const adtStringHeader *src);
/* New string holding a copy of src; null for a null src or when memory runs out. */
TESSERA_API adtStringHeader *strNewCopy(const adtStringHeader *src);
/* Appends src's text to *p (src may be *p itself). Returns *p, or null. */
TESSERA_API adtStringHeader *strCat_(adtStringHeader **p, const adtStringHeader *src);
/* Appends one character to *p. Returns *p, or null. */
TESSERA_API adtStringHeader *strAddChar_(adtStringHeader **p, char c);
/* Sets the capacity of *p to exactly n (never below the current length): 0, or 1 on failure. */
TESSERA_API int32_t strNewLen_(adtStringHeader **p, int32_t n);
/* New string holding a copy of text; null for a null text or when memory runs out. */
TESSERA_API adtStringHeader *strMake(const char *text);
/* Number of characters before the first NUL; 0 for null. */
TESSERA_API int32_t strLen(const adtStringHeader *s);
/* -1, 0 or 1 as a sorts before, equal to or after b (unsigned bytes; null is empty). */
TESSERA_API int32_t strCmp(const adtStringHeader *a, const adtStringHeader *b);
/* The capacity; 0 for null. */
TESSERA_API int32_t strMaxLen(const adtStringHeader *s);
/* The string's own buffer; for null a shared empty text that must not be written. */
TESSERA_API char *strGet(const adtStringHeader *s);
/* The byte at position i, 0 <= i < capacity (checked); NUL for a null string. */
TESSERA_API char strRef(const adtStringHeader *s, int32_t i);

TESSERA_END_DECLS

#endif
