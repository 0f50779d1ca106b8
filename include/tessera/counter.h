/* tessera/counter.h - 64-bit unsigned event counters kept in two 32-bit words.
 * Counters belong to the caller; the library never allocates them. */
#ifndef TESSERA_COUNTER_H
#define TESSERA_COUNTER_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct Counter {
    uint32_t low;  /* low 32 bits of the count */
    uint32_t high; /* high 32 bits of the count */
} Counter;

/* Sets the count to 0. */
TESSERA_API void coInit(Counter *c);
/* Adds 1, wrapping to 0 after 2^64 - 1. */
TESSERA_API void coInc(Counter *c);
/* True when c1 counts more than c2. */
TESSERA_API bool coGT(Counter *c1, Counter *c2);
/* True when both counts are equal. */
TESSERA_API bool coEQ(Counter *c1, Counter *c2);
/* Copies s into d. */
TESSERA_API void coCopy(Counter *d, Counter *s);

TESSERA_END_DECLS

#endif
