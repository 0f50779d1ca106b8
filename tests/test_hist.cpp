#include <tessera/hist.h>

#include <cmath>
#include <limits>

#include "support/test_support.h"

using namespace tessera::test;

namespace {
int bin_of(Hist h) {
    for (uint32_t i = 0; i < h->nbins; ++i)
        if (h->bins[i] != 0) return static_cast<int>(i);
    return -1;
}

int bin_for(double low, double high, uint32_t nbins, double x) {
    Hist h = hiNew(nbins, low, high);
    hiAdd(h, x, 1.0);
    const int b = bin_of(h);
    hiFree(h);
    return b;
}
} // namespace

TEST(Hist, BinsOfTheUnitRange) {
    const std::pair<double, int> cases[] = {{0, 0}, {0.05, 0}, {0.1, 1}, {0.99, 9}, {1.0, 9}, {7.5, 9}, {-3, 0}};
    for (auto [x, bin] : cases) EXPECT_EQ(bin_for(0, 1, 10, x), bin) << x;
}

TEST(Hist, NonFiniteSamples) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(bin_for(0, 1, 10, std::nan("")), 0);
    EXPECT_EQ(bin_for(0, 1, 10, inf), 9);
    EXPECT_EQ(bin_for(0, 1, 10, -inf), 0);
}

TEST(Hist, SampleJustBelowHighStaysInTheLastBin) {
    const double high = 1.0, below = std::nextafter(high, 0.0);
    EXPECT_EQ(bin_for(0.1, high, 3, below), 2);
    // A range whose span overflows a double still places samples in a bin.
    EXPECT_EQ(bin_for(-1e308, 1e308, 4, 1e307), 0);
}

TEST(Hist, WeightsAddUnchanged) {
    Hist h = hiNew(2, 0, 2);
    hiAdd(h, 0.5, 0.5);
    hiAdd(h, 0.5, 0.5);
    hiAdd(h, 1.5, -1);
    EXPECT_EQ(h->bins[0], 1.0);
    EXPECT_EQ(h->bins[1], -1.0);
    hiFree(h);
}

TEST(Hist, EmptyRangeNeverDivides) {
    Hist h = hiNew(4, 2.0, 2.0);
    ASSERT_NE(h, NULLHIST);
    hiAdd(h, 1.9, 1);
    hiAdd(h, 2.0, 1);
    hiAdd(h, 5.0, 1);
    EXPECT_EQ(h->bins[0], 1.0);
    EXPECT_EQ(h->bins[3], 2.0);
    hiFree(h);
}

TEST(HistAllocFailure, NewGivesNullAndLeaksNothing) {
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  fp.arm();
                  Hist h = hiNew(16, 0, 1);
                  if (fp.fired()) {
                      EXPECT_EQ(h, NULLHIST);
                  } else {
                      hiFree(h);
                  }
              }),
              2);
}

TEST(HistDeathTest, EveryCheckReportsItsExpression) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    EXPECT_EXIT(hiNew(4, 1.0, 0.0), abrt, assertion("low <= high", "hist.cpp"));
    EXPECT_EXIT(hiFree(NULLHIST), abrt, assertion("h != NULLHIST", "hist.cpp"));
    EXPECT_EXIT(hiAdd(NULLHIST, 0, 0), abrt, assertion("h != NULLHIST", "hist.cpp"));
    Hist none = hiNew(0, 0, 1);
    ASSERT_NE(none, NULLHIST);
    EXPECT_EXIT(hiAdd(none, 0.5, 1), abrt, assertion("h->nbins > 0", "hist.cpp"));
    Hist h = hiNew(3, 0, 1);
    double *bins = h->bins;
    h->bins = nullptr;
    EXPECT_EXIT(hiAdd(h, 0.5, 1), abrt, assertion("h->bins != (double *)NULL", "hist.cpp"));
    EXPECT_EXIT(hiFree(h), abrt, assertion("h->bins != (double *)NULL", "hist.cpp"));
    h->bins = bins;
    hiFree(h);
    hiFree(none);
}
