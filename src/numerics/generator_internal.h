// The base generator, reached by the tests to check its reference sequences.
#pragma once

#include <tessera/generator.h>

#include <cstdint>

namespace tessera::detail {

void reset_sg(SimpleGen *state, int32_t seed);
double update_sg(SimpleGen *state);

// The clock that seeds seed_gen: seconds since 1970 and the millisecond part.
extern void (*read_clock)(int64_t *seconds, int32_t *millis);
// The seed taken from the clock: always in 1 .. 2^31 - 2.
int32_t clock_seed();

extern SimpleGen seed_gen;
extern bool did_gen_init;

} // namespace tessera::detail
