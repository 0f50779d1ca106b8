#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ptl/plot.h"
#include "support/colour_model.h"
#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;
using namespace tessera::detail;

namespace {

// The plotting functions with a fresh allowance of the default budget, as one rendering has.
#define TESSERA_WITH_ALLOWANCE(name)                                                                                   \
    template <class Im, class... A> Drawn name(Im *im, A... a) {                                                       \
        Allowance work = Allowance::of_budget();                                                                       \
        return tessera::detail::name(im, a..., work);                                                                  \
    }
TESSERA_WITH_ALLOWANCE(plot_binary_point)
TESSERA_WITH_ALLOWANCE(plot_binary_line)
TESSERA_WITH_ALLOWANCE(plot_binary_ellipse)
TESSERA_WITH_ALLOWANCE(plot_color_point)
TESSERA_WITH_ALLOWANCE(plot_color_line)
TESSERA_WITH_ALLOWANCE(plot_color_ellipse)
#undef TESSERA_WITH_ALLOWANCE

struct Colour {
    Image rgb, count;
    Colour(int w, int h, int xo = 0, int yo = 0) : rgb(IMAGE_RGB, w, h, xo, yo), count(IMAGE_GRAY, w, h, xo, yo) {}
    RGBImageStruct *im() const { return static_cast<RGBImageStruct *>(rgb.im); }
    GrayImageStruct *n() const { return static_cast<GrayImageStruct *>(count.im); }
    RGB at(int x, int y) const { return rgb.at<RGB>(x, y); }
    int count_at(int x, int y) const { return count.at<uint8_t>(x, y); }
};

struct Binary {
    Image img;
    Binary(int w, int h, int xo = 0, int yo = 0) : img(IMAGE_BINARY, w, h, xo, yo) {}
    BinaryImageStruct *im() const { return static_cast<BinaryImageStruct *>(img.im); }
    int at(int x, int y) const { return img.at<int8_t>(x, y); }
    std::set<std::pair<int, int>> set_pixels() const {
        std::set<std::pair<int, int>> s;
        const ImageHeader *h = img.h();
        for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
            for (int x = h->xoffset; x < h->xoffset + h->width; ++x)
                if (at(x, y)) s.insert({x, y});
        return s;
    }
};

bool same(RGB a, RGB b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

} // namespace

TEST(Plot, RoundingFlavours) {
    EXPECT_EQ(fround(2.5f), 3);
    EXPECT_EQ(fround(-2.5f), -3);
    EXPECT_EQ(fround(-0.4f), 0);
    EXPECT_EQ(fround(0.49f), 0);
    // far and undefined values land outside every image instead of overflowing
    EXPECT_LT(fround(std::nanf("")), INT32_MIN);
    EXPECT_GT(fround(1e30f), INT32_MAX);
    EXPECT_LT(fround(-1e30f), INT32_MIN);
}

TEST(Plot, CombineWorkedValues) {
    const RGB blue{0, 0, 255}, red{255, 0, 0}, green{0, 255, 0}, white{255, 255, 255}, gray{128, 128, 128};
    EXPECT_TRUE(same(combine(blue, 0, red), red));
    EXPECT_TRUE(same(combine(blue, 1, red), RGB{255, 0, 255}));
    EXPECT_TRUE(same(combine(blue, 2, red), RGB{171, 0, 255}));
    EXPECT_TRUE(same(combine(red, 1, green), RGB{255, 255, 0}));
    EXPECT_TRUE(same(combine(white, 1, red), RGB{255, 128, 129}));
    EXPECT_TRUE(same(combine(gray, 1, gray), RGB{129, 129, 129}));
}

// The renderer's branch-free mixes against the literal model: the same bytes for every input.
TEST(Plot, CombineAgreesWithTheStepByStepMix) {
    // Channel values at the ends, around the middle and in between, so that grays, ties between
    // channels, hues near the wrap and saturations near zero all occur; counts around the wrap.
    const int levels[] = {0, 1, 2, 37, 127, 128, 129, 200, 254, 255};
    std::vector<RGB> colours;
    for (int r : levels)
        for (int g : levels)
            for (int b : levels)
                colours.push_back(RGB{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)});
    // Under valgrind (a smaller scale) two counts and fewer random inputs.
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr;
    const std::vector<int> counts = small ? std::vector<int>{1, 255} : std::vector<int>{1, 2, 3, 7, 128, 254, 255};
    const int random_inputs = small ? 100000 : 2000000;
    int checked = 0;
    for (int n : counts)
        for (RGB old : colours)
            for (RGB color : colours) {
                const RGB want = model_combine(old, n, color), got = combine(old, n, color);
                ASSERT_TRUE(same(got, want))
                    << "old " << int{old.r} << ',' << int{old.g} << ',' << int{old.b} << " n " << n << " colour "
                    << int{color.r} << ',' << int{color.g} << ',' << int{color.b};
                ++checked;
            }
    // and random inputs everywhere else
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255), count(1, 255);
    const auto any = [&] {
        return RGB{static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng))};
    };
    for (int i = 0; i < random_inputs; ++i) {
        const RGB old = any(), color = any();
        const int n = count(rng);
        ASSERT_TRUE(same(combine(old, n, color), model_combine(old, n, color))) << i;
        ++checked;
    }
    EXPECT_EQ(checked, static_cast<int>(counts.size()) * 1000 * 1000 + random_inputs);
}

TEST(Plot, HsvConversions) {
    float h, s, v;
    rgb_to_hsv(1, 1, 0, &h, &s, &v); // a red-green tie takes the red formula
    EXPECT_EQ(h, 60.0f);
    rgb_to_hsv(0.5f, 0.5f, 0.5f, &h, &s, &v);
    EXPECT_EQ(h, -1.0f);
    EXPECT_EQ(s, 0.0f);
    float r, g, b;
    hsv_to_rgb(&r, &g, &b, 240, 1, 1);
    EXPECT_TRUE(r == 0 && g == 0 && b == 1);
    hsv_to_rgb(&r, &g, &b, 360, 1, 1); // 360 wraps to 0
    EXPECT_TRUE(r == 1 && g == 0 && b == 0);
}

TEST(PlotDeathTest, HueOutsideTheCircleFailsTheCheck) {
    float r, g, b;
    EXPECT_EXIT(hsv_to_rgb(&r, &g, &b, -5, 1, 1), testing::KilledBySignal(SIGABRT), assertion("0", "plot.cpp"));
    EXPECT_EXIT(hsv_to_rgb(&r, &g, &b, 720, 1, 1), testing::KilledBySignal(SIGABRT), assertion("0", "plot.cpp"));
}

TEST(Plot, SizeOneColourDotMixesItsCentreFiveTimes) {
    Colour c(5, 5);
    EXPECT_FALSE(plot_color_point(c.im(), c.n(), 2, 2, 1, RGB{200, 100, 50}));
    EXPECT_EQ(c.count_at(2, 2), 5);
    EXPECT_TRUE(same(c.at(2, 2), RGB{202, 100, 50}));
    EXPECT_EQ(c.count_at(1, 2), 0);
}

TEST(Plot, CountWrapsAfter256Plots) {
    Colour c(1, 1);
    for (int i = 0; i < 256; ++i) plot_color_point_1(c.im(), c.n(), 0, 0, RGB{0, 0, 255});
    EXPECT_EQ(c.count_at(0, 0), 0);
    plot_color_point_1(c.im(), c.n(), 0, 0, RGB{255, 0, 0});
    EXPECT_TRUE(same(c.at(0, 0), RGB{255, 0, 0})); // replaced, not mixed
    EXPECT_EQ(c.count_at(0, 0), 1);
}

TEST(Plot, DotFootprints) {
    // size, footprint half-width (n - 1) for the square footprints, plot count at the centre
    for (int size = 0; size <= 9; ++size) {
        Binary b(21, 21, -10, -10);
        plot_binary_point(b.im(), 0, 0, static_cast<float>(size));
        Binary positive(21, 21); // away from 0, where the binary rounding is symmetric
        plot_binary_point(positive.im(), 10, 10, static_cast<float>(size));
        const float r = size * 0.5f + 0.5f;
        const int n = static_cast<int>(r);
        std::set<std::pair<int, int>> expected{{10, 10}};
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (static_cast<float>(i * i + j * j) <= r * r)
                    for (int sx : {1, -1})
                        for (int sy : {1, -1}) expected.insert({10 + sx * i, 10 + sy * j});
        EXPECT_EQ(positive.set_pixels(), expected) << "size " << size;
        if (size == 3) { // around 0 the binary flavour truncates -1 + 0.5 toward zero: the dot leans
            EXPECT_EQ(b.set_pixels(), (std::set<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
        }
    }
    Binary five(9, 9);
    plot_binary_point(five.im(), 4, 4, 5);
    EXPECT_EQ(five.set_pixels().size(), 25u); // the 5 x 5 square
    Binary seven(9, 9);
    plot_binary_point(seven.im(), 4, 4, 7);
    EXPECT_EQ(seven.at(7, 7), 0); // corners fall away from size 7 on
    EXPECT_EQ(seven.at(7, 4), 1);
}

TEST(Plot, SubPointsRoundDifferentlyPerFlavour) {
    Colour c(4, 1, -2, 0);
    EXPECT_TRUE(plot_color_point(c.im(), c.n(), 0.5f, 0, 3, RGB{9, 9, 9})); // column 2 is outside
    EXPECT_EQ(c.count_at(0, 0), 0);                                         // 1.5, 0.5 and -0.5 round to 2, 1 and -1
    EXPECT_GT(c.count_at(-1, 0), 0);
    Binary b(4, 1, -2, 0);
    plot_binary_point(b.im(), 0.5f, 0, 3);
    EXPECT_EQ(b.at(0, 0), 1); // truncation of -0.5 + 0.5 gives 0
    EXPECT_EQ(b.at(-1, 0), 0);
    Binary neg(3, 1, -2, 0);
    plot_binary_point_1(neg.im(), -0.7f, 0);
    plot_binary_point_1(neg.im(), -1.6f, 0);
    EXPECT_EQ(neg.at(0, 0), 1);
    EXPECT_EQ(neg.at(-1, 0), 1);
    EXPECT_EQ(neg.at(-2, 0), 0);
}

TEST(Plot, LineSteps) {
    Colour c(4, 4);
    plot_color_line(c.im(), c.n(), 0, 0, 0.5f, 3, 0, RGB{1, 1, 1});
    for (int y = 0; y < 4; ++y) EXPECT_EQ(c.count_at(y < 2 ? 0 : 1, y) + c.count_at(y < 2 ? 1 : 0, y), 1) << y;
    Colour h(4, 1);
    plot_color_line(h.im(), h.n(), 0, 0, 2.5f, 0, 0, RGB{1, 1, 1});
    EXPECT_EQ(h.count_at(0, 0), 1);
    EXPECT_EQ(h.count_at(1, 0), 1);
    EXPECT_EQ(h.count_at(2, 0), 1);
    EXPECT_EQ(h.count_at(3, 0), 0); // 2.5 is not a whole number of steps away
    Binary b(4, 1);
    plot_binary_line(b.im(), 0, 0, 2.5f, 0, 0);
    EXPECT_EQ(b.set_pixels().size(), 4u); // dots at 0, 0.5, ..., 2.5: 2.5 + 0.5 truncates to column 3
    EXPECT_EQ(b.at(3, 0), 1);
}

TEST(Plot, LinesInBothDirectionsAndMajorAxes) {
    for (bool reversed : {false, true}) {
        Binary x_major(11, 6), y_major(6, 6);
        if (reversed) {
            plot_binary_line(x_major.im(), 10, 5, 0, 0, 0);
            plot_binary_line(y_major.im(), 5, 5, 0, 0, 0);
        } else {
            plot_binary_line(x_major.im(), 0, 0, 10, 5, 0);
            plot_binary_line(y_major.im(), 0, 0, 5, 5, 0);
        }
        for (int x = 0; x <= 10; ++x) EXPECT_EQ(x_major.at(x, static_cast<int>(x * 0.5f + 0.5f)), 1) << x;
        for (int i = 0; i <= 5; ++i) EXPECT_EQ(y_major.at(i, i), 1);
        EXPECT_EQ(y_major.set_pixels().size(), 6u);
    }
}

TEST(Plot, ClippingAtEveryEdge) {
    for (auto [x1, y1, x2, y2] :
         std::vector<std::array<float, 4>>{{-5, 2, 3, 2}, {2, -5, 2, 3}, {1, 2, 9, 2}, {2, 1, 2, 9}}) {
        Binary b(5, 5);
        EXPECT_TRUE(plot_binary_line(b.im(), x1, y1, x2, y2, 0));
        EXPECT_FALSE(b.set_pixels().empty()); // the part inside is drawn
    }
    Binary inside(5, 5);
    EXPECT_FALSE(plot_binary_line(inside.im(), 0, 0, 4, 4, 1));
}

TEST(Plot, EllipseStepsAndShape) {
    Binary b(31, 21, -15, -10);
    EXPECT_FALSE(plot_binary_ellipse(b.im(), 0, 0, 10, 5, 0));
    EXPECT_EQ(b.at(10, 0), 1);
    EXPECT_EQ(b.at(-9, 0), 1); // -10 + 0.5 truncates toward zero
    EXPECT_EQ(b.at(-10, 0), 0);
    EXPECT_EQ(b.at(0, 5), 1);
    EXPECT_EQ(b.at(0, 0), 0);
    // A zero radius still draws eight dots at the centre.
    Colour c(3, 3, -1, -1);
    plot_color_ellipse(c.im(), c.n(), 0, 0, 0, 0, 0, RGB{5, 5, 5});
    EXPECT_EQ(c.count_at(0, 0), 8);
    // rx = ry = 1 uses N = 3 steps per quarter: 3 angles, 4 dots each.
    Colour one(5, 5, -2, -2);
    plot_color_ellipse(one.im(), one.n(), 0, 0, 1, 1, 0, RGB{5, 5, 5});
    int plots = 0;
    for (int y = -2; y <= 2; ++y)
        for (int x = -2; x <= 2; ++x) plots += one.count_at(x, y);
    EXPECT_EQ(plots, 12);
}

TEST(Plot, FillsInsideAndOnAnOutline) {
    Binary b(12, 12);
    for (int i = 2; i <= 9; ++i) {
        b.img.at<int8_t>(i, 2) = b.img.at<int8_t>(i, 9) = 1;
        b.img.at<int8_t>(2, i) = b.img.at<int8_t>(9, i) = 1;
    }
    Binary inside(12, 12);
    std::memcpy(&inside.img.at<int8_t>(0, 0), &b.img.at<int8_t>(0, 0), 144);
    EXPECT_FALSE(do_binary_fill(inside.im(), 5, 5));
    EXPECT_EQ(inside.at(5, 5), 1);
    EXPECT_EQ(inside.at(1, 1), 0);
    EXPECT_EQ(inside.set_pixels().size(), 64u); // the square and its inside
    EXPECT_FALSE(do_binary_fill(b.im(), 2, 5)); // on the outline: both sides fill
    EXPECT_EQ(b.set_pixels().size(), 144u);
    Binary seed_outside(4, 4);
    EXPECT_TRUE(do_binary_fill(seed_outside.im(), 9, 9));
    EXPECT_TRUE(seed_outside.set_pixels().empty());
    Colour c(3, 3);
    EXPECT_FALSE(do_color_fill(c.im(), c.n(), 1, 1, RGB{1, 2, 3}));
    EXPECT_EQ(c.count_at(1, 1), 0);
}

TEST(Plot, FillAgreesWithAPlainFloodOnAMaze) {
    Binary b(40, 30, -7, 3);
    for (int y = 3; y < 33; ++y)
        for (int x = -7; x < 33; ++x) b.img.at<int8_t>(x, y) = ((x * 7 + y * 13) % 5 == 0 || (x + y) % 11 == 0) ? 1 : 0;
    std::vector<int8_t> before(40 * 30);
    for (int y = 3; y < 33; ++y)
        for (int x = -7; x < 33; ++x) before[(y - 3) * 40 + x + 7] = b.img.at<int8_t>(x, y);
    do_binary_fill(b.im(), 10, 10);
    // reference: the pixel-by-pixel stack fill
    std::vector<int8_t> ref = before;
    std::vector<std::pair<int, int>> stack{{10 + 7, 10 - 3}};
    while (!stack.empty()) {
        auto [c, r] = stack.back();
        stack.pop_back();
        ref[r * 40 + c] = 1;
        if (c > 0 && !ref[r * 40 + c - 1]) stack.push_back({c - 1, r});
        if (c < 39 && !ref[r * 40 + c + 1]) stack.push_back({c + 1, r});
        if (r > 0 && !ref[(r - 1) * 40 + c]) stack.push_back({c, r - 1});
        if (r < 29 && !ref[(r + 1) * 40 + c]) stack.push_back({c, r + 1});
    }
    for (int y = 3; y < 33; ++y)
        for (int x = -7; x < 33; ++x) ASSERT_EQ(b.at(x, y) != 0, ref[(y - 3) * 40 + x + 7] != 0) << x << "," << y;
}

TEST(Plot, HostileCoordinatesTerminateAndReportClipping) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    Binary b(16, 16);
    EXPECT_TRUE(plot_binary_point(b.im(), nan, 3, 5));
    EXPECT_TRUE(plot_binary_point(b.im(), 1e30f, 3, 5));
    EXPECT_TRUE(plot_binary_line(b.im(), -1e30f, 0, 1e30f, 0, 1));
    EXPECT_TRUE(plot_binary_line(b.im(), 0, 0, 1e9f, 1, 1e9f));
    EXPECT_TRUE(plot_binary_line(b.im(), nan, 0, 5, 5, 1));
    EXPECT_TRUE(plot_binary_ellipse(b.im(), 8, 8, 1e9f, 1e9f, 2));
    EXPECT_TRUE(plot_binary_ellipse(b.im(), 8, 8, inf, 3, 2));
    EXPECT_TRUE(plot_binary_point(b.im(), 8, 8, 1e9f));
    EXPECT_EQ(b.set_pixels().size(), 256u); // the huge dot covers the image
    EXPECT_TRUE(do_binary_fill(b.im(), nan, 0));
    Colour c(16, 16);
    EXPECT_TRUE(plot_color_line(c.im(), c.n(), 3e7f, 0, -3e7f, 5, 4, RGB{1, 2, 3}));
    EXPECT_TRUE(plot_color_point(c.im(), c.n(), 8, 8, inf, RGB{1, 2, 3}));
}

TEST(PlotAllocFailure, FillKeepsWhatItSet) {
    Binary b(300, 300);
    each_allocation_failure([&](FailPoint &fp) {
        int8_t zero = 0;
        im_Init_(b.im(), b.img.h(), &zero);
        fp.arm();
        const bool clipped = do_binary_fill(b.im(), 150, 150);
        if (fp.fired()) {
            EXPECT_TRUE(clipped);
            for (const auto &p : b.set_pixels()) ASSERT_EQ(b.at(p.first, p.second), 1);
        } else {
            EXPECT_FALSE(clipped);
            EXPECT_EQ(b.set_pixels().size(), 90000u);
        }
    });
}

// The scanline fill agrees with the plain four-neighbour stack fill on random images.
TEST(Plot, FillAgreesWithAPlainFloodOnRandomImages_seed5) {
    const unsigned seed = test_seed(5);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TESSERA_TEST_SEED replays it)");
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; ++round) {
        const int w = 1 + static_cast<int>(rng() % 70), h = 1 + static_cast<int>(rng() % 40);
        const int xo = static_cast<int>(rng() % 21) - 10, yo = static_cast<int>(rng() % 21) - 10;
        const unsigned density = 20 + rng() % 50;
        Binary b(w, h, xo, yo);
        std::vector<uint8_t> ref(static_cast<std::size_t>(w * h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 100 < density)
                    b.im()->data[y + yo][x + xo] = 1, ref[static_cast<std::size_t>(y * w + x)] = 1;
        const int sx = static_cast<int>(rng() % static_cast<unsigned>(w)),
                  sy = static_cast<int>(rng() % static_cast<unsigned>(h));
        ASSERT_FALSE(do_binary_fill(b.im(), static_cast<float>(sx + xo), static_cast<float>(sy + yo)));
        std::vector<std::pair<int, int>> stack{{sx, sy}};
        while (!stack.empty()) {
            const auto [c, r] = stack.back();
            stack.pop_back();
            ref[static_cast<std::size_t>(r * w + c)] = 1;
            const auto clear = [&](int cc, int rr) { return !ref[static_cast<std::size_t>(rr * w + cc)]; };
            if (c > 0 && clear(c - 1, r)) stack.push_back({c - 1, r});
            if (c < w - 1 && clear(c + 1, r)) stack.push_back({c + 1, r});
            if (r > 0 && clear(c, r - 1)) stack.push_back({c, r - 1});
            if (r < h - 1 && clear(c, r + 1)) stack.push_back({c, r + 1});
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(b.at(x + xo, y + yo) != 0, ref[static_cast<std::size_t>(y * w + x)] != 0)
                    << "round " << round << " at " << x + xo << "," << y + yo;
    }
}
