// 64-bit counters in two 32-bit words.
#include <tessera/counter.h>

#include <cstddef>

#include "check.h"

static_assert(sizeof(Counter) == 8 && offsetof(Counter, low) == 0 && offsetof(Counter, high) == 4);

extern "C" {

void coInit(Counter *c) {
    TESSERA_CHECK(c != (Counter *)NULL);
    c->high = 0;
    c->low = 0;
}

void coInc(Counter *c) {
    TESSERA_CHECK(c != (Counter *)NULL);
    if (++c->low == 0) ++c->high;
}

bool coGT(Counter *c1, Counter *c2) {
    TESSERA_CHECK(c1 != (Counter *)NULL);
    TESSERA_CHECK(c2 != (Counter *)NULL);
    return c1->high > c2->high || (c1->high == c2->high && c1->low > c2->low);
}

bool coEQ(Counter *c1, Counter *c2) {
    TESSERA_CHECK(c1 != (Counter *)NULL);
    TESSERA_CHECK(c2 != (Counter *)NULL);
    return c1->low == c2->low && c1->high == c2->high;
}

void coCopy(Counter *d, Counter *s) {
    TESSERA_CHECK(d != (Counter *)NULL);
    TESSERA_CHECK(s != (Counter *)NULL);
    d->low = s->low;
    d->high = s->high;
}

} // extern "C"
