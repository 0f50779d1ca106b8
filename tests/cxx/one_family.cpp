// Each family's C++ header builds alone, under its C header's name and under its older name.
#include <tessera/adt_strings.hpp>
#include <tessera/drawing.hpp>
#include <tessera/hist.hpp>
#include <tessera/priority_queue.hpp>
#include <tessera/string.hpp>

#include <gtest/gtest.h>

TEST(CxxHeaders, EachFamilyBuildsAloneUnderEitherName) {
    tessera::histogram h(4, 0, 1);
    h.add(0.3);
    EXPECT_EQ(h.bins()[1], 1.0);
    tessera::drawing d(0, 0, 4, 4);
    d.point(1, 1);
    EXPECT_EQ(d.size(), 1u);
    EXPECT_EQ(tessera::string("abc").view(), "abc");
}
