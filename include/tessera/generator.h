/* tessera/generator.h - seedable random generators: uniform integers, uniform reals, normal and
 * exponential values, each drawing from its own copy of one combined congruential generator.
 * Draw with g->generate(g); a seed of 0 or less takes a seed from a clock-seeded source. */
#ifndef TESSERA_GENERATOR_H
#define TESSERA_GENERATOR_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

#define GEN_UNIFORM_INT 1   /* parameters: GenUniformIntParams */
#define GEN_UNIFORM_FLOAT 2 /* parameters: GenUniformFloatParams */
#define GEN_GAUSSIAN 3      /* parameters: GenGaussianParams */
#define GEN_EXPONENTIAL 4   /* parameters: GenExponentialParams */

/* Parameter records handed to genNew_ (read during the call only). */
typedef struct GenUniformIntParams {
    int32_t low, high;
} GenUniformIntParams; /* both included */
typedef struct GenUniformFloatParams {
    double low, high;
} GenUniformFloatParams;
typedef struct GenGaussianParams {
    double mean, deviation;
} GenGaussianParams;
typedef struct GenExponentialParams {
    double rate;
} GenExponentialParams; /* mean is 1/rate */

/* The base generator: two multiplicative congruential generators and a 32-entry shuffle. */
typedef struct SimpleGen {
    int32_t state1;
    int32_t state2;
    int32_t last;
    int32_t table[32];
} SimpleGen;

typedef struct _int_generator_struct_ {
    int32_t value; /* the value drawn last */
    int32_t (*generate)(struct _int_generator_struct_ *g);
    int32_t tag;
    SimpleGen sg;
    double low;
    double range; /* high + 1 - low */
} _int_generator_struct_;

/* Kind 4 records end after param0 and kind 2 records after param1; only kind 3 has the rest. */
typedef struct _float_generator_struct_ {
    double value; /* the value drawn last */
    double (*generate)(struct _float_generator_struct_ *g);
    int32_t tag;
    SimpleGen sg;
    double param0;      /* low, mean, or -1/rate */
    double param1;      /* high - low, or deviation */
    double saved;       /* second value of the last normal pair */
    uint8_t have_saved; /* saved holds a value not yet returned */
} _float_generator_struct_;

/* New generator of the kind tag with its first value drawn; params points at the kind's
 * parameter record. Null when memory runs out. Release with genFree_. */
TESSERA_API void *genNew_(int32_t tag, int32_t seed, void *params);
/* Reseeds g (of kind tag) and draws once. */
TESSERA_API void genReset_(int32_t tag, void *g, int32_t seed);
/* Releases g; does nothing for tag 0 or a null g. */
TESSERA_API void genFree_(int32_t tag, void *g);

TESSERA_END_DECLS

#endif
