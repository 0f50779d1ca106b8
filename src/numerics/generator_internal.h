// The base generator, reached by the tests to check its reference sequences.
#pragma once

#include <tessera/generator.h>

namespace tessera::detail {

void reset_sg(SimpleGen *state, int32_t seed);
double update_sg(SimpleGen *state);

extern SimpleGen seed_gen;
extern bool did_gen_init;

} // namespace tessera::detail
