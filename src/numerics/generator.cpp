// Random generators over L'Ecuyer's combined multiplicative congruential generator with a
// Bays-Durham shuffle. Each modular step is exact integer arithmetic (a 64-bit product folded
// by the modulus), so sequences are the same on every platform.
#include "generator_internal.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <mutex>

#include "support/alloc.h"
#include "support/check.h"

#define TESSERA_RCS "generator.c\n"

namespace tessera::detail {

SimpleGen seed_gen;
bool did_gen_init = false;

namespace {

constexpr int32_t m1 = 2147483563, a1 = 40014, r1 = 12211;
constexpr int32_t m2 = 2147483399, a2 = 40692, r2 = 3791;
constexpr int32_t table_divisor = 67108862; // 1 + (m1 - 1) / 32
constexpr double scale = 1.0 / 2147483563.0;
constexpr double below_one = 0.9999999999999998; // 1 - 2^-52

// One multiplicative step, s = a * s mod m. Schrage's method (k = s / q; a * (s - k * q) - k * r,
// plus m when negative) gives exactly this residue for every s below 2^31; with m = 2^31 - c the
// 64-bit product folds as high * c + low, which is shorter on the critical path.
template <int32_t a, int32_t m> int32_t step(int32_t s) {
    constexpr uint64_t c = (uint64_t{1} << 31) - static_cast<uint64_t>(m);
    const uint64_t p = static_cast<uint64_t>(a) * static_cast<uint32_t>(s);
    uint64_t r = (p >> 31) * c + (p & 0x7fffffff);
    if (r >= static_cast<uint64_t>(m)) r -= static_cast<uint64_t>(m);
    return static_cast<int32_t>(r);
}
static_assert(m1 == 53668 * a1 + r1 && m2 == 52774 * a2 + r2); // the Schrage constants (q, r)

} // namespace

// Seconds since 1970 and the millisecond part; tests replace it to move the clock.
void (*read_clock)(int64_t *seconds, int32_t *millis) = [](int64_t *seconds, int32_t *millis) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = static_cast<int64_t>(now.tv_sec);
    *millis = static_cast<int32_t>(now.tv_nsec / 1000000);
};

int32_t clock_seed() {
    int64_t seconds = 0;
    int32_t millis = 0;
    read_clock(&seconds, &millis);
    // The 32-bit seconds XOR the milliseconds, as always; from 2038 on (or on a clock set
    // before 1970) that is not a valid seed, and is folded into 1 .. 2^31 - 2 instead.
    const auto mixed = static_cast<uint32_t>(seconds) ^ static_cast<uint32_t>(millis);
    constexpr uint32_t largest = 2147483646u;
    return static_cast<int32_t>(mixed >= 1 && mixed <= largest ? mixed : mixed % largest + 1);
}

namespace {
// The source of seeds is shared by every thread that asks for one.
std::mutex seed_lock;

int32_t seed_from_source() {
    const std::lock_guard<std::mutex> hold(seed_lock);
    if (!did_gen_init) {
        reset_sg(&seed_gen, clock_seed());
        did_gen_init = true;
    }
    return static_cast<int32_t>(update_sg(&seed_gen) * 2147483647.0 + 1.0);
}
} // namespace

void reset_sg(SimpleGen *state, int32_t seed) {
    while (seed <= 0) seed = seed_from_source();
    state->state1 = state->state2 = seed;
    for (int j = 39; j >= 0; --j) {
        state->state1 = step<a1, m1>(state->state1);
        if (j < 32) state->table[j] = state->state1;
    }
    state->last = state->table[0];
}

double update_sg(SimpleGen *state) {
    state->state1 = step<a1, m1>(state->state1);
    state->state2 = step<a2, m2>(state->state2);
    // last is positive: the unsigned division gives the same slot and is shorter on the
    // critical path than the signed one.
    const uint32_t j = static_cast<uint32_t>(state->last) / static_cast<uint32_t>(table_divisor);
    // Half of all draws wrap: kept free of branches, which would mispredict half the time.
    const int32_t diff = state->table[j] - state->state2;
    const int32_t last = diff + (diff < 1 ? m1 - 1 : 0);
    state->table[j] = state->state1;
    state->last = last;
    const double t = last * scale;
    return t > below_one ? below_one : t;
}

} // namespace tessera::detail

namespace {

using tessera::detail::update_sg;
using IntGen = _int_generator_struct_;
using FloatGen = _float_generator_struct_;

int32_t uniform_int_generator(IntGen *g) {
    const double u = update_sg(&g->sg);
    return g->value = static_cast<int32_t>(u * g->range + g->low);
}

double uniform_float_generator(FloatGen *g) {
    const double u = update_sg(&g->sg);
    return g->value = u * g->param1 + g->param0;
}

double gaussian_generator(FloatGen *g) {
    if (g->have_saved) {
        g->have_saved = 0;
        return g->value = g->saved;
    }
    double x, y, r;
    do {
        x = 2.0 * update_sg(&g->sg) - 1.0;
        y = 2.0 * update_sg(&g->sg) - 1.0;
        r = x * x + y * y;
    } while (r >= 1.0 || r == 0.0);
    const double f = std::sqrt(-2.0 * std::log(r) / r);
    g->saved = g->param1 * x * f + g->param0;
    g->have_saved = 1;
    return g->value = g->param1 * y * f + g->param0;
}

double exponential_generator(FloatGen *g) {
    double u;
    do u = update_sg(&g->sg);
    while (u == 0.0);
    return g->value = std::log(u) * g->param0;
}

// Stores a kind's drawing function and parameters into a new record.
void init_uniform_int(void *g, const void *params) {
    auto *ig = static_cast<IntGen *>(g);
    const auto *p = static_cast<const GenUniformIntParams *>(params);
    ig->generate = uniform_int_generator;
    ig->low = p->low;
    ig->range = (p->high + 1.0) - p->low;
}
void init_uniform_float(void *g, const void *params) {
    auto *fg = static_cast<FloatGen *>(g);
    const auto *p = static_cast<const GenUniformFloatParams *>(params);
    fg->generate = uniform_float_generator;
    fg->param0 = p->low;
    fg->param1 = p->high - p->low;
}
void init_gaussian(void *g, const void *params) {
    auto *fg = static_cast<FloatGen *>(g);
    const auto *p = static_cast<const GenGaussianParams *>(params);
    fg->generate = gaussian_generator;
    fg->param0 = p->mean;
    fg->param1 = p->deviation;
    fg->saved = 0.0;
    fg->have_saved = 0;
}
void init_exponential(void *g, const void *params) {
    auto *fg = static_cast<FloatGen *>(g);
    fg->generate = exponential_generator;
    fg->param0 = -1.0 / static_cast<const GenExponentialParams *>(params)->rate;
}

// The generator kinds, a row each. A record is allocated only up to the last field its kind
// uses.
struct Kind {
    int32_t tag;
    std::size_t record_size;
    void (*init)(void *g, const void *params);
};
constexpr Kind kinds[] = {
    {GEN_UNIFORM_INT, sizeof(IntGen), init_uniform_int},
    {GEN_UNIFORM_FLOAT, offsetof(FloatGen, saved), init_uniform_float},
    {GEN_GAUSSIAN, sizeof(FloatGen), init_gaussian},
    {GEN_EXPONENTIAL, offsetof(FloatGen, param1), init_exponential},
};

// The row of a tag; a tag outside the table panics.
const Kind &kind_of(int32_t tag) {
    for (const Kind &k : kinds)
        if (k.tag == tag) return k;
    TESSERA_PANIC("bad generator tag");
}

void draw(int32_t tag, void *g) {
    if (tag == GEN_UNIFORM_INT) {
        auto *ig = static_cast<IntGen *>(g);
        ig->generate(ig);
    } else {
        auto *fg = static_cast<FloatGen *>(g);
        fg->generate(fg);
    }
}

// Both records keep their tag at the same place, so it can be read before the kind is known.
static_assert(offsetof(IntGen, tag) == offsetof(FloatGen, tag));
int32_t own_tag(const void *g) {
    int32_t tag;
    std::memcpy(&tag, static_cast<const unsigned char *>(g) + offsetof(IntGen, tag), sizeof tag);
    return tag;
}

SimpleGen *base_of(int32_t tag, void *g) {
    return tag == GEN_UNIFORM_INT ? &static_cast<IntGen *>(g)->sg : &static_cast<FloatGen *>(g)->sg;
}

} // namespace

extern "C" {

void *genNew_(int32_t tag, int32_t seed, void *params) {
    const Kind &kind = kind_of(tag);
    void *g = tessera::detail::mem_alloc(kind.record_size);
    if (!g) return nullptr;
    kind.init(g, params);
    std::memcpy(static_cast<unsigned char *>(g) + offsetof(IntGen, tag), &tag, sizeof tag);
    tessera::detail::reset_sg(base_of(tag, g), seed);
    draw(tag, g);
    return g;
}

void genReset_(int32_t tag, void *g, int32_t seed) {
    kind_of(tag); // a bad tag panics whatever the record is
    // The record says what it is: a caller's tag of another kind must not make us read or
    // write past a shorter record.
    const int32_t own = own_tag(g);
    // A reset generator repeats the sequence of a new one: a cached normal value goes too.
    if (own == GEN_GAUSSIAN) static_cast<FloatGen *>(g)->have_saved = 0;
    tessera::detail::reset_sg(base_of(own, g), seed);
    draw(own, g);
}

void genFree_(int32_t tag, void *g) {
    if (tag != 0 && g) tessera::detail::mem_free(g);
}

} // extern "C"
