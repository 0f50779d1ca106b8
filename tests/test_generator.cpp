#include <tessera/generator.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "numerics/generator_internal.h"
#include "support/test_support.h"

using namespace tessera::test;
using tessera::detail::reset_sg;
using tessera::detail::update_sg;

namespace {

template <class G> G *make(int32_t tag, int32_t seed, auto params) {
    return static_cast<G *>(genNew_(tag, seed, &params));
}

using IntGen = _int_generator_struct_;
using FloatGen = _float_generator_struct_;

} // namespace

TEST(Generator, BaseSequenceForSeedOne) {
    SimpleGen sg;
    reset_sg(&sg, 1);
    EXPECT_EQ(sg.state1, 1720212868);
    EXPECT_EQ(sg.state2, 1);
    EXPECT_EQ(sg.last, 1720212868);
    const double expected[] = {0.2853808990946861, 0.2533581892659171, 0.09346853100919404};
    const int32_t lasts[] = {612850790, 544082547, 200722134};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(update_sg(&sg), expected[i]) << "draw " << i;
        EXPECT_EQ(sg.last, lasts[i]);
    }
}

TEST(Generator, BaseSequenceForSeed12345) {
    SimpleGen sg;
    reset_sg(&sg, 12345);
    EXPECT_EQ(sg.last, 1710384516);
    EXPECT_EQ(update_sg(&sg), 0.027199323900017204);
    EXPECT_EQ(update_sg(&sg), 0.05895277625461388);
    EXPECT_EQ(update_sg(&sg), 0.2391678683130391);
}

TEST(Generator, DrawsStayStrictlyBetweenZeroAndOne) {
    SimpleGen sg;
    reset_sg(&sg, 777);
    for (int i = 0; i < 200000; ++i) {
        const double u = update_sg(&sg);
        ASSERT_GT(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(Generator, UniformIntHoldsItsFirstDraw) {
    auto *g = make<IntGen>(GEN_UNIFORM_INT, 1, GenUniformIntParams{0, 99});
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->value, 28);
    EXPECT_EQ(g->tag, GEN_UNIFORM_INT);
    EXPECT_EQ(g->range, 100.0);
    const int32_t next = g->generate(g);
    EXPECT_EQ(next, g->value);
    EXPECT_EQ(next, 25); // 0.2533581892659171 * 100
    genFree_(GEN_UNIFORM_INT, g);
}

TEST(Generator, SamePositiveSeedSameSequence) {
    auto *a = make<FloatGen>(GEN_UNIFORM_FLOAT, 4242, GenUniformFloatParams{2, 3});
    auto *b = make<FloatGen>(GEN_UNIFORM_FLOAT, 4242, GenUniformFloatParams{2, 3});
    for (int i = 0; i < 1000; ++i) {
        const double x = a->generate(a);
        ASSERT_EQ(x, b->generate(b));
        ASSERT_GT(x, 2.0);
        ASSERT_LT(x, 3.0);
    }
    genFree_(GEN_UNIFORM_FLOAT, a);
    genFree_(GEN_UNIFORM_FLOAT, b);
}

TEST(Generator, NonPositiveSeedsDrawFromTheClockSeededSource) {
    auto *a = make<IntGen>(GEN_UNIFORM_INT, 0, GenUniformIntParams{0, 1000000});
    EXPECT_TRUE(tessera::detail::did_gen_init);
    auto *b = make<IntGen>(GEN_UNIFORM_INT, -5, GenUniformIntParams{0, 1000000});
    bool differ = false;
    for (int i = 0; i < 10; ++i) differ = differ || a->generate(a) != b->generate(b);
    EXPECT_TRUE(differ);
    genFree_(GEN_UNIFORM_INT, a);
    genFree_(GEN_UNIFORM_INT, b);
}

TEST(Generator, NegativeLowerBoundTruncatesTowardZero) {
    auto *g = make<IntGen>(GEN_UNIFORM_INT, 99, GenUniformIntParams{-5, 5});
    std::vector<int> seen(11);
    for (int i = 0; i < 110000; ++i) {
        const int32_t v = g->generate(g);
        ASSERT_GE(v, -4);
        ASSERT_LE(v, 5);
        ++seen[static_cast<std::size_t>(v + 5)];
    }
    EXPECT_EQ(seen[0], 0);                                          // -5 never occurs
    EXPECT_NEAR(seen[5] / static_cast<double>(seen[6]), 2.0, 0.15); // 0 twice as often
    genFree_(GEN_UNIFORM_INT, g);
    auto *n = make<IntGen>(GEN_UNIFORM_INT, 5, GenUniformIntParams{-10, -5});
    for (int i = 0; i < 10000; ++i) {
        const int32_t v = n->generate(n);
        ASSERT_GE(v, -9);
        ASSERT_LE(v, -4);
    }
    genFree_(GEN_UNIFORM_INT, n);
    auto *seven = make<IntGen>(GEN_UNIFORM_INT, 5, GenUniformIntParams{7, 7});
    for (int i = 0; i < 100; ++i) ASSERT_EQ(seven->generate(seven), 7);
    genFree_(GEN_UNIFORM_INT, seven);
}

TEST(Generator, UniformIntPassesChiSquare) {
    auto *g = make<IntGen>(GEN_UNIFORM_INT, 31337, GenUniformIntParams{0, 9});
    std::vector<double> count(10);
    const int n = 1000000;
    for (int i = 0; i < n; ++i) {
        const int32_t v = g->generate(g);
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 9);
        ++count[static_cast<std::size_t>(v)];
    }
    double chi2 = 0;
    for (double c : count) chi2 += (c - n / 10.0) * (c - n / 10.0) / (n / 10.0);
    EXPECT_LT(chi2, 27.88); // 9 degrees of freedom, p = 0.001
    genFree_(GEN_UNIFORM_INT, g);
}

TEST(Generator, GaussianMeanVarianceAndPairs) {
    auto *g = make<FloatGen>(GEN_GAUSSIAN, 2718, GenGaussianParams{10.0, 2.0});
    EXPECT_TRUE(g->have_saved);
    const SimpleGen before = g->sg;
    const double second = g->generate(g); // the cached half of the pair: sg does not move
    EXPECT_EQ(second, g->saved);
    EXPECT_EQ(std::memcmp(&before, &g->sg, sizeof before), 0);
    EXPECT_FALSE(g->have_saved);
    double sum = 0, sq = 0;
    const int n = 1000000;
    for (int i = 0; i < n; ++i) {
        const double v = g->generate(g);
        sum += v;
        sq += v * v;
    }
    const double mean = sum / n, var = sq / n - mean * mean;
    EXPECT_NEAR(mean, 10.0, 0.01);
    EXPECT_NEAR(var, 4.0, 0.03);
    genFree_(GEN_GAUSSIAN, g);
}

TEST(Generator, ExponentialMeanAndVariance) {
    auto *g = make<FloatGen>(GEN_EXPONENTIAL, 1618, GenExponentialParams{2.0});
    EXPECT_EQ(g->param0, -0.5);
    double sum = 0, sq = 0;
    const int n = 1000000;
    for (int i = 0; i < n; ++i) {
        const double v = g->generate(g);
        ASSERT_GT(v, 0.0);
        sum += v;
        sq += v * v;
    }
    const double mean = sum / n, var = sq / n - mean * mean;
    EXPECT_NEAR(mean, 0.5, 0.003);
    EXPECT_NEAR(var, 0.25, 0.004);
    genFree_(GEN_EXPONENTIAL, g);
}

TEST(Generator, ResetRepeatsTheSequenceOfANewGenerator) {
    for (int32_t tag : {GEN_UNIFORM_FLOAT, GEN_GAUSSIAN, GEN_EXPONENTIAL}) {
        GenGaussianParams params{1.0, 3.0}; // read as low/high, mean/deviation, rate
        auto *a = static_cast<FloatGen *>(genNew_(tag, 55, &params));
        for (int i = 0; i < 5; ++i) a->generate(a); // leaves a normal pair half-used
        genReset_(tag, a, 77);
        auto *b = static_cast<FloatGen *>(genNew_(tag, 77, &params));
        EXPECT_EQ(a->value, b->value) << "tag " << tag;
        for (int i = 0; i < 100; ++i) ASSERT_EQ(a->generate(a), b->generate(b)) << "tag " << tag;
        genFree_(tag, a);
        genFree_(tag, b);
    }
    auto *i = make<IntGen>(GEN_UNIFORM_INT, 3, GenUniformIntParams{0, 99});
    i->generate(i);
    genReset_(GEN_UNIFORM_INT, i, 1);
    EXPECT_EQ(i->value, 28);
    genFree_(GEN_UNIFORM_INT, i);
}

TEST(Generator, FreeWithTagZeroOrNullDoesNothing) {
    auto *g = make<IntGen>(GEN_UNIFORM_INT, 3, GenUniformIntParams{0, 9});
    const long live = tessera::detail::seam::live();
    genFree_(0, g);
    genFree_(GEN_UNIFORM_INT, nullptr);
    EXPECT_EQ(tessera::detail::seam::live(), live);
    genFree_(GEN_UNIFORM_INT, g);
    EXPECT_EQ(tessera::detail::seam::live(), live - 1);
}

TEST(GeneratorAllocFailure, NewGivesNullAndLeavesTheSeedSourceAlone) {
    for (int32_t tag : {GEN_UNIFORM_INT, GEN_UNIFORM_FLOAT, GEN_GAUSSIAN, GEN_EXPONENTIAL}) {
        EXPECT_EQ(each_allocation_failure([&](FailPoint &fp) {
                      GenUniformFloatParams params{0.0, 1.0};
                      const SimpleGen seeds = tessera::detail::seed_gen;
                      fp.arm();
                      void *g = genNew_(tag, 0, &params);
                      if (fp.fired()) {
                          EXPECT_EQ(g, nullptr);
                          EXPECT_EQ(std::memcmp(&seeds, &tessera::detail::seed_gen, sizeof seeds), 0);
                      }
                      genFree_(tag, g);
                  }),
                  1);
    }
}

TEST(GeneratorDeathTest, BadTagsPanic) {
    GenUniformIntParams params{0, 1};
    const std::string report = panic_report("bad generator tag", "generator.cpp", "generator.c\n");
    EXPECT_EXIT(genNew_(5, 1, &params), testing::ExitedWithCode(1), report);
    EXPECT_EXIT(genNew_(0, 1, &params), testing::ExitedWithCode(1), report);
    void *g = genNew_(GEN_UNIFORM_INT, 1, &params);
    EXPECT_EXIT(genReset_(9, g, 1), testing::ExitedWithCode(1), report);
    genFree_(GEN_UNIFORM_INT, g);
}

namespace {
// The base generator as written, with Schrage's steps, for comparison.
struct Reference {
    int32_t s1, s2, last, table[32];
    static int32_t step(int32_t s, int32_t a, int32_t q, int32_t r, int32_t m) {
        const int32_t k = s / q;
        s = a * (s - k * q) - k * r;
        return s < 0 ? s + m : s;
    }
    explicit Reference(int32_t seed) : s1(seed), s2(seed), last(0), table{} {
        for (int j = 39; j >= 0; --j) {
            s1 = step(s1, 40014, 53668, 12211, 2147483563);
            if (j < 32) table[j] = s1;
        }
        last = table[0];
    }
    double next() {
        s1 = step(s1, 40014, 53668, 12211, 2147483563);
        s2 = step(s2, 40692, 52774, 3791, 2147483399);
        const int32_t j = last / 67108862;
        last = table[j] - s2;
        table[j] = s1;
        if (last < 1) last += 2147483562;
        const double t = last * (1.0 / 2147483563.0);
        return t > 0.9999999999999998 ? 0.9999999999999998 : t;
    }
};
} // namespace

TEST(Generator, MatchesTheSchrageFormulationForEverySeedRange) {
    for (int32_t seed : {1, 2, 12345, 53667, 53668, 2147483398, 2147483399, 2147483562, 2147483563, 2147483647}) {
        SimpleGen sg;
        reset_sg(&sg, seed);
        Reference ref(seed);
        ASSERT_EQ(sg.last, ref.last) << seed;
        for (int i = 0; i < 20000; ++i) ASSERT_EQ(update_sg(&sg), ref.next()) << "seed " << seed << " draw " << i;
    }
}

// The record's own kind decides, whatever tag the caller passes: no write past a shorter
// record, and a normal generator's cached value goes whatever tag resets it.
TEST(Generator, ResetFollowsTheRecordsOwnKind) {
    GenExponentialParams rate{2.0};
    auto *e = static_cast<FloatGen *>(genNew_(GEN_EXPONENTIAL, 5, &rate));
    auto *ref = static_cast<FloatGen *>(genNew_(GEN_EXPONENTIAL, 5, &rate));
    genReset_(GEN_GAUSSIAN, e, 7); // under the sanitizers, a write past the record would stop here
    genReset_(GEN_EXPONENTIAL, ref, 7);
    EXPECT_EQ(e->value, ref->value);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(e->generate(e), ref->generate(ref));
    genFree_(GEN_EXPONENTIAL, e);
    genFree_(GEN_EXPONENTIAL, ref);

    GenGaussianParams normal{0, 1};
    auto *g = static_cast<FloatGen *>(genNew_(GEN_GAUSSIAN, 3, &normal)); // holds a cached value
    auto *fresh = static_cast<FloatGen *>(genNew_(GEN_GAUSSIAN, 9, &normal));
    genReset_(GEN_UNIFORM_FLOAT, g, 9);
    EXPECT_EQ(g->value, fresh->value);
    EXPECT_EQ(g->generate(g), fresh->generate(fresh));
    genFree_(GEN_GAUSSIAN, g);
    genFree_(GEN_GAUSSIAN, fresh);
}

namespace {
int64_t clock_seconds = 0;
int32_t clock_millis = 0;
void test_clock(int64_t *seconds, int32_t *millis) {
    *seconds = clock_seconds;
    *millis = clock_millis;
}
} // namespace

// The clock seed is the 32-bit seconds XOR the milliseconds where that is a valid seed, and is
// folded into 1 .. 2^31 - 2 where it is not (from 2038-01-19 03:14:08 UTC on, or before 1970).
TEST(Generator, ClockSeedsAreValidAtAnyTime) {
    auto *saved = tessera::detail::read_clock;
    tessera::detail::read_clock = test_clock;
    const struct {
        int64_t seconds;
        int32_t millis, seed;
    } cases[] = {
        {1796083200, 123, 1796083200 ^ 123}, // 2026
        {2147483647, 0, 2},                  // 2038-01-19 03:14:07
        {2147483648LL, 0, 3},                // one second later: 32-bit seconds go negative
        {4294967296LL, 0, 1},                // 2106: 32-bit seconds wrap to 0
        {0, 0, 1},
        {-1, 999, static_cast<int32_t>((0xffffffffu ^ 999u) % 2147483646u + 1)},
    };
    for (const auto &c : cases) {
        clock_seconds = c.seconds, clock_millis = c.millis;
        EXPECT_EQ(tessera::detail::clock_seed(), c.seed) << c.seconds;
    }
    // A generator seeded from a clock past 2038 is made (seeding used to recurse without end).
    clock_seconds = 2200000000LL;
    const bool was_init = tessera::detail::did_gen_init;
    const SimpleGen was = tessera::detail::seed_gen;
    tessera::detail::did_gen_init = false;
    auto *g = make<IntGen>(GEN_UNIFORM_INT, 0, GenUniformIntParams{0, 9});
    ASSERT_NE(g, nullptr);
    EXPECT_TRUE(g->value >= 0 && g->value <= 9);
    genFree_(GEN_UNIFORM_INT, g);
    tessera::detail::did_gen_init = was_init;
    tessera::detail::seed_gen = was;
    tessera::detail::read_clock = saved;
}
