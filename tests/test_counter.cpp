#include <tessera/counter.h>

#include "support/test_support.h"

using namespace tessera::test;

TEST(Counter, InitGivesEqualZeroCounts) {
    Counter a{5, 6}, b{7, 8};
    coInit(&a);
    coInit(&b);
    EXPECT_EQ(a.low, 0u);
    EXPECT_EQ(a.high, 0u);
    EXPECT_TRUE(coEQ(&a, &b));
    EXPECT_FALSE(coGT(&a, &b));
    EXPECT_FALSE(coGT(&b, &a));
}

TEST(Counter, IncrementCarriesIntoTheHighWord) {
    Counter c{4294967295u, 0};
    coInc(&c);
    EXPECT_EQ(c.low, 0u);
    EXPECT_EQ(c.high, 1u);
    Counter top{4294967295u, 4294967295u};
    coInc(&top);
    EXPECT_EQ(top.low, 0u);
    EXPECT_EQ(top.high, 0u);
}

TEST(Counter, ComparesHighWordFirstUnsigned) {
    Counter big{0, 1}, small{4294967295u, 0};
    EXPECT_TRUE(coGT(&big, &small));
    EXPECT_FALSE(coGT(&small, &big));
    EXPECT_FALSE(coGT(&big, &big));
    EXPECT_TRUE(coEQ(&big, &big));
    EXPECT_FALSE(coEQ(&big, &small));
    Counter x{0x80000000u, 3}, y{1, 3};
    EXPECT_TRUE(coGT(&x, &y));
}

TEST(Counter, CopyTakesBothWords) {
    Counter s{123, 456}, d{0, 0};
    coCopy(&d, &s);
    EXPECT_TRUE(coEQ(&d, &s));
    EXPECT_EQ(d.high, 456u);
}

TEST(CounterDeathTest, NullCountersFailTheirChecks) {
    Counter c{};
    const auto abrt = testing::KilledBySignal(SIGABRT);
    EXPECT_EXIT(coInit(nullptr), abrt, assertion("c != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coInc(nullptr), abrt, assertion("c != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coGT(nullptr, &c), abrt, assertion("c1 != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coGT(&c, nullptr), abrt, assertion("c2 != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coEQ(nullptr, nullptr), abrt, assertion("c1 != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coEQ(&c, nullptr), abrt, assertion("c2 != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coCopy(nullptr, &c), abrt, assertion("d != (Counter *)NULL", "counter.cpp"));
    EXPECT_EXIT(coCopy(&c, nullptr), abrt, assertion("s != (Counter *)NULL", "counter.cpp"));
}
