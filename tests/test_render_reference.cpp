// Rendering checked against a small, literal model of the drawing rules: every dot plots every
// sub-point, every step of every walk is taken, and colours are mixed plot by plot. The model is
// slow but obviously right; the library must agree with it on every pixel and on clipping.
#include <tessera/ptl.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/colour_model.h"
#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

// ---- the model -------------------------------------------------------------------------------

int64_t model_binary_round(float v) { return static_cast<int64_t>(static_cast<double>(v) + 0.5); }

// A target image of the model: binary pixels, or colours with their counts.
struct Canvas {
    int x0, y0, w, h;
    bool colour;
    std::vector<RGB> rgb;
    std::vector<uint8_t> count, bits;
    Canvas(int x0_, int y0_, int w_, int h_, bool c, RGB bg)
        : x0(x0_), y0(y0_), w(w_), h(h_), colour(c), rgb(c ? w * h : 0, bg), count(c ? w * h : 0), bits(c ? 0 : w * h) {
    }
    bool plot(float x, float y, RGB c) {
        const int64_t px = colour ? model_round(x) : model_binary_round(x);
        const int64_t py = colour ? model_round(y) : model_binary_round(y);
        if (px < x0 || px >= x0 + w || py < y0 || py >= y0 + h) return true;
        const std::size_t k = static_cast<std::size_t>((py - y0) * w + (px - x0));
        if (colour) {
            rgb[k] = model_combine(rgb[k], count[k], c);
            ++count[k];
        } else {
            bits[k] = 1;
        }
        return false;
    }
    bool dot(float x, float y, float size, RGB c) {
        const float r = size * 0.5f + 0.5f;
        const auto n = static_cast<int64_t>(r);
        const float r2 = r * r;
        bool clipped = plot(x, y, c);
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j)
                if (static_cast<float>(i * i + j * j) <= r2) {
                    const float fi = static_cast<float>(i), fj = static_cast<float>(j);
                    clipped |= plot(x + fi, y + fj, c);
                    clipped |= plot(x + fi, y - fj, c);
                    clipped |= plot(x - fi, y + fj, c);
                    clipped |= plot(x - fi, y - fj, c);
                }
        return clipped;
    }
    bool line(float x1, float y1, float x2, float y2, float width, RGB c) {
        const float dx = x2 - x1, dy = y2 - y1, step = colour ? 1.0f : 0.5f;
        if (dx == 0 && dy == 0) return dot(x1, y1, width, c);
        bool clipped = false;
        if (std::fabs(dx) > std::fabs(dy)) {
            const float m = dy / dx;
            if (x1 > x2) std::swap(x1, x2), std::swap(y1, y2);
            for (float t = x1; t <= x2; t += step) {
                clipped |= dot(t, (t - x1) * m + y1, width, c);
                if (t + step == t) return true; // a walk that stops advancing ends, clipped
            }
        } else {
            const float m = dx / dy;
            if (y1 > y2) std::swap(x1, x2), std::swap(y1, y2);
            for (float t = y1; t <= y2; t += step) {
                clipped |= dot((t - y1) * m + x1, t, width, c);
                if (t + step == t) return true;
            }
        }
        return clipped;
    }
    bool ellipse(float cx, float cy, float rx, float ry, float width, RGB c) {
        const float q = 1.5708f, big = std::fabs(rx > ry ? rx : ry);
        const auto n = static_cast<int64_t>(q / std::atan2(1.0, static_cast<double>(big)) + 1);
        const float step = q / static_cast<float>(n);
        bool clipped = false;
        for (float t = 0; t < q; t += step) {
            const auto dx = static_cast<float>(std::cos(static_cast<double>(t)) * rx);
            const auto dy = static_cast<float>(std::sin(static_cast<double>(t)) * ry);
            clipped |= dot(cx + dx, cy + dy, width, c);
            clipped |= dot(cx + dx, cy - dy, width, c);
            clipped |= dot(cx - dx, cy + dy, width, c);
            clipped |= dot(cx - dx, cy - dy, width, c);
            if (t + step == t) return true;
        }
        return clipped;
    }
    void fill(float x, float y) {
        std::vector<std::pair<int64_t, int64_t>> stack{{model_round(x), model_round(y)}};
        while (!stack.empty()) {
            const auto [c, r] = stack.back();
            stack.pop_back();
            bits[static_cast<std::size_t>((r - y0) * w + (c - x0))] = 1;
            const auto clear = [&](int64_t cc, int64_t rr) {
                return !bits[static_cast<std::size_t>((rr - y0) * w + (cc - x0))];
            };
            if (c > x0 && clear(c - 1, r)) stack.push_back({c - 1, r});
            if (c < x0 + w - 1 && clear(c + 1, r)) stack.push_back({c + 1, r});
            if (r > y0 && clear(c, r - 1)) stack.push_back({c, r - 1});
            if (r < y0 + h - 1 && clear(c, r + 1)) stack.push_back({c, r + 1});
        }
    }
};

struct Elem {
    unsigned char type;
    RGB color;
    float size, x1, y1, x2, y2;
};

struct Scene {
    float x, y, w, h, xs, ys;
    std::vector<Elem> elems;
};

// The model's rendering of a scene; false when the scene has no pixels.
bool model_render(const Scene &s, bool colour, RGB bg, Canvas **out, bool *clipped) {
    const int64_t xo = model_round(s.x * s.xs), yo = model_round(s.y * s.ys);
    const double w = std::ceil(static_cast<double>(s.w) * s.xs), h = std::ceil(static_cast<double>(s.h) * s.ys);
    if (w < 1 || h < 1) return false;
    auto *c =
        new Canvas(static_cast<int>(xo), static_cast<int>(yo), static_cast<int>(w), static_cast<int>(h), colour, bg);
    *clipped = false;
    for (const Elem &e : s.elems) {
        const float x1 = e.x1 * s.xs, y1 = e.y1 * s.ys, x2 = e.x2 * s.xs, y2 = e.y2 * s.ys;
        const float pen = (s.xs + s.ys) * e.size / 2;
        switch (e.type) {
        case PTL_POINT: *clipped |= c->dot(x1, y1, pen, e.color); break;
        case PTL_LINE: *clipped |= c->line(x1, y1, x2, y2, pen, e.color); break;
        case PTL_ELLIPSE: *clipped |= c->ellipse(x1, y1, x2, y2, pen, e.color); break;
        case PTL_FILL:
            if (!colour) {
                const int64_t fc = model_round(x1), fr = model_round(y1);
                if (fc < c->x0 || fc >= c->x0 + c->w || fr < c->y0 || fr >= c->y0 + c->h) *clipped = true;
                else c->fill(x1, y1);
            }
            break;
        }
    }
    *out = c;
    return true;
}

// ---- the comparison -------------------------------------------------------------------------

PointList list_of(const Scene &s) {
    PointList p = ptlNew(true, s.x, s.y, s.w, s.h, nullptr);
    for (const Elem &e : s.elems) ptlAddElem(p, ptlNewElem(e.type, e.color, e.size, e.x1, e.y1, e.x2, e.y2));
    return p;
}

// Renders the scene both ways and reports the first difference.
::testing::AssertionResult agrees(const Scene &s, bool colour) {
    const RGB bg{7, 8, 9};
    Canvas *model = nullptr;
    bool model_clipped = false;
    const bool has_pixels = model_render(s, colour, bg, &model, &model_clipped);
    PointList p = list_of(s);
    bool clipped = false;
    void *im = ptlRender(p, colour ? IMAGE_RGB : IMAGE_BINARY, s.xs, s.ys, bg, &clipped);
    ptlFree(p);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (!has_pixels || !im) {
        if (has_pixels != (im != nullptr)) result = ::testing::AssertionFailure() << "image made by only one side";
    } else if (clipped != model_clipped) {
        result = ::testing::AssertionFailure() << "clipped " << clipped << ", model " << model_clipped;
    } else {
        for (int y = 0; y < model->h && result; ++y)
            for (int x = 0; x < model->w && result; ++x) {
                const std::size_t k = static_cast<std::size_t>(y * model->w + x);
                const int ax = model->x0 + x, ay = model->y0 + y;
                if (colour) {
                    const RGB a = px<RGB>(im, ax, ay), b = model->rgb[k];
                    if (a.r != b.r || a.g != b.g || a.b != b.b)
                        result = ::testing::AssertionFailure()
                                 << "pixel (" << ax << ", " << ay << "): (" << +a.r << "," << +a.g << "," << +a.b
                                 << ") model (" << +b.r << "," << +b.g << "," << +b.b << ")";
                } else if ((px<int8_t>(im, ax, ay) != 0) != (model->bits[k] != 0)) {
                    result = ::testing::AssertionFailure()
                             << "pixel (" << ax << ", " << ay << "): " << +px<int8_t>(im, ax, ay) << " model "
                             << +model->bits[k];
                }
            }
    }
    if (im) im_Free_(im, hdr(im)->tag);
    delete model;
    return result;
}

std::string describe(const Scene &s) {
    std::string t = "bounds " + std::to_string(s.x) + " " + std::to_string(s.y) + " " + std::to_string(s.w) + " " +
                    std::to_string(s.h) + " scales " + std::to_string(s.xs) + " " + std::to_string(s.ys) + "\n";
    for (const Elem &e : s.elems)
        t += std::to_string(e.size) + " " + "plef"[e.type - 1] + " " + std::to_string(e.x1) + " " +
             std::to_string(e.y1) + " " + std::to_string(e.x2) + " " + std::to_string(e.y2) + "\n";
    return t;
}

// Random scenes meant to exercise what plot-by-plot drawing makes expensive or subtle: thick pens
// on small images, unequal scales, arcs of big ellipses crossing the image, points far outside.
Scene random_scene(std::mt19937 &rng, bool far = false) {
    const auto uni = [&](double a, double b) {
        return static_cast<float>(std::uniform_real_distribution<double>(a, b)(rng));
    };
    const auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    Scene s;
    s.x = uni(-4, 4), s.y = uni(-4, 4), s.w = uni(1, 12), s.h = uni(1, 12);
    s.xs = uni(0.4, 4), s.ys = coin(0.3) ? s.xs : uni(0.4, 4);
    if (far) { // where floats are sparse: pixel coordinates from about 2^21 to 2^25
        s.x = (coin(0.5) ? 1 : -1) * uni(1 << 21, 1 << 25) / s.xs;
        s.y = (coin(0.5) ? 1 : -1) * uni(1 << 21, 1 << 25) / s.ys;
    }
    const float cx = s.x + s.w / 2, cy = s.y + s.h / 2, span = std::max(s.w, s.h);
    const auto coord = [&](float centre) {
        if (coin(0.08)) return centre + (coin(0.5) ? 1 : -1) * uni(50, 2000); // far outside
        return centre + uni(-span, span);
    };
    const int n = std::uniform_int_distribution<int>(1, 5)(rng);
    for (int k = 0; k < n; ++k) {
        Elem e{};
        e.type = static_cast<unsigned char>(std::uniform_int_distribution<int>(1, 4)(rng));
        e.color = RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
        // pens up to 30 units, but keep the model's plot count reasonable at large scales
        const float most = std::min(30.0f, 40.0f / std::max(s.xs, s.ys));
        e.size = coin(0.5) ? uni(0, 3) : uni(0, most);
        e.x1 = coord(cx), e.y1 = coord(cy);
        if (e.type == PTL_LINE) e.x2 = coord(cx), e.y2 = coord(cy);
        if (e.type == PTL_ELLIPSE) {
            const bool big = coin(0.15);
            e.x2 = big ? uni(20, 400) : uni(0, span);
            e.y2 = big ? uni(20, 400) : uni(0, span);
            if (big) { // put the arc across the image
                e.x1 = cx + (coin(0.5) ? e.x2 : -e.x2) + uni(-2, 2);
                if (e.size * std::max(s.xs, s.ys) > 12) e.size = 12 / std::max(s.xs, s.ys);
            }
        }
        s.elems.push_back(e);
    }
    return s;
}

void run_random(unsigned seed, bool colour, int scenes, bool far = false) {
    std::mt19937 rng(seed);
    for (int k = 0; k < scenes; ++k) {
        const Scene s = random_scene(rng, far);
        ASSERT_TRUE(agrees(s, colour)) << "seed " << seed << " (TESSERA_TEST_SEED replays it), scene " << k
                                       << (colour ? " (colour)" : " (binary)") << ":\n"
                                       << describe(s);
    }
}

int scenes() { return std::getenv("TESSERA_TEST_SCALE") ? 150 : 1500; }

} // namespace

TEST(RenderModel, RandomBinaryScenes_seed11) { run_random(test_seed(11), false, scenes()); }
TEST(RenderModel, RandomColourScenes_seed12) { run_random(test_seed(12), true, scenes()); }
TEST(RenderModel, RandomScenesWhereFloatsAreSparse_seed13) {
    run_random(test_seed(13), false, scenes() / 3, true);
    run_random(test_seed(13), true, scenes() / 3, true);
}

// Cases where an earlier renderer's work limit dropped pixels of ordinary drawings.
TEST(RenderModel, ThickLineKeepsItsFarDots) {
    Scene s{0, 0, 40, 40, 1, 1, {{PTL_LINE, {255, 255, 255}, 140, -35, -40, -35, 80}}};
    EXPECT_TRUE(agrees(s, false));
    PointList p = list_of(s);
    void *im = ptlRender(p, IMAGE_BINARY, 1, 1, RGB{0, 0, 0}, nullptr);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(px<int8_t>(im, 34, 38), 1);
    im_Free_(im, IMAGE_BINARY);
    ptlFree(p);
}

TEST(RenderModel, ThickRingInsideTheImageIsWholeAndNotClipped) {
    PointList p = ptlNew(false, 0, 0, 1000, 1000, nullptr);
    ptlAddElem(p, ptlNewElem(PTL_ELLIPSE, RGB{255, 255, 255}, 480, 500, 500, 250, 250));
    bool clipped = true;
    void *im = ptlRender(p, IMAGE_BINARY, 1, 1, RGB{0, 0, 0}, &clipped);
    ASSERT_NE(im, nullptr);
    EXPECT_FALSE(clipped);
    long missing = 0;
    for (int y = 0; y < 1000; ++y)
        for (int x = 0; x < 1000; ++x) {
            const double d = std::hypot(x - 500.0, y - 500.0);
            if (d > 12 && d < 488 && !px<int8_t>(im, x, y)) ++missing;
        }
    EXPECT_EQ(missing, 0);
    im_Free_(im, IMAGE_BINARY);
    ptlFree(p);
}

TEST(RenderModel, HugeCircleCrossesASmallImageAtAnyPoint) {
    // the image at the leftmost and at the topmost point of a pen-1 circle of radius 15,000
    for (const auto &[cx, cy] : {std::pair{15005.0f, 5.0f}, std::pair{5.0f, 15005.0f}}) {
        Scene s{0, 0, 10, 10, 1, 1, {{PTL_ELLIPSE, {255, 255, 255}, 1, cx, cy, 15000, 15000}}};
        EXPECT_TRUE(agrees(s, false)) << cx << "," << cy;
        PointList p = list_of(s);
        void *im = ptlRender(p, IMAGE_BINARY, 1, 1, RGB{0, 0, 0}, nullptr);
        int set = 0;
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x) set += px<int8_t>(im, x, y);
        EXPECT_GE(set, 9) << cx << "," << cy;
        im_Free_(im, IMAGE_BINARY);
        ptlFree(p);
    }
}

// Crowded colour drawings on larger images: elements that cover thousands of pixels already
// holding other colours (more than the renderer gathers at once), a few colours used again and
// again (whose mixes repeat) beside random ones, and wide pens over coloured pixels.
TEST(RenderModel, CrowdedColourDrawingsAgreeWithTheModel) {
    std::mt19937 rng(test_seed(14));
    const auto uni = [&](float a, float b) { return std::uniform_real_distribution<float>(a, b)(rng); };
    const RGB palette[] = {{200, 40, 40}, {40, 200, 90}, {30, 30, 30}};
    for (int scene = 0; scene < 6; ++scene) {
        Scene s{0, 0, 120, 90, scene % 3 == 2 ? 2.0f : 1.0f, 1, {}};
        for (int k = 0; k < 60; ++k) {
            Elem e{};
            e.type = static_cast<unsigned char>(k % 10 == 9 ? PTL_ELLIPSE : k % 7 == 6 ? PTL_POINT : PTL_LINE);
            e.color = k % 2
                          ? palette[k % 3]
                          : RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
            e.size = k % 8 == 7 ? uni(8, 16) : uni(0, 5);
            e.x1 = uni(-10, 130), e.y1 = uni(-10, 100);
            e.x2 = e.type == PTL_LINE ? uni(-10, 130) : uni(2, 40);
            e.y2 = e.type == PTL_LINE ? uni(-10, 100) : uni(2, 40);
            s.elems.push_back(e);
        }
        ASSERT_TRUE(agrees(s, true)) << "scene " << scene << ":\n" << describe(s);
    }
}

TEST(RenderModel, WideColourLineMixesEveryPlot) {
    // Plot by plot, the pixels on the line's own row receive more plots than the others; the
    // mixes give these two colours (as the model computes them).
    PointList p = ptlNew(true, 0, 0, 20, 20, nullptr);
    ptlAddElem(p, ptlNewElem(PTL_LINE, RGB{0xc8, 0x64, 0x32}, 300, -150, 10, 170, 10));
    void *im = ptlRender(p, IMAGE_RGB, 1, 1, RGB{0, 0, 0}, nullptr);
    ASSERT_NE(im, nullptr);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const RGB c = px<RGB>(im, x, y);
            ASSERT_TRUE(c.r == (y == 10 ? 239 : 216) && c.g == 100 && c.b == 50) << x << "," << y << ": " << +c.r;
        }
    im_Free_(im, IMAGE_RGB);
    ptlFree(p);
}

TEST(RenderModel, HugeDotOffsetsDoNotOverflow) {
    Scene s{0, 0, 8, 8, 1, 1, {{PTL_POINT, {255, 255, 255}, 1.5e11f, 4, 7.1e10f, 0, 0}}};
    for (bool colour : {false, true}) {
        PointList p = list_of(s);
        bool clipped = false;
        void *im = ptlRender(p, colour ? IMAGE_RGB : IMAGE_BINARY, 1, 1, RGB{0, 0, 0}, &clipped);
        ASSERT_NE(im, nullptr);
        EXPECT_TRUE(clipped);
        im_Free_(im, hdr(im)->tag);
        ptlFree(p);
    }
}

// Drawings that no plot-by-plot renderer could finish (pens and radii far beyond the image, NaN
// and infinite coordinates) end quickly and report clipping.
TEST(RenderModel, HostileElementsFinishAndReportClipping) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const Elem hostile[] = {
        {PTL_LINE, {1, 2, 3}, 1e9f, 0, 0, 1e9f, 1},    {PTL_POINT, {1, 2, 3}, 0, nan, 3, 0, 0},
        {PTL_ELLIPSE, {1, 2, 3}, 0, 8, 8, 1e30f, inf}, {PTL_LINE, {1, 2, 3}, 0, -1e30f, 0, 1e30f, 0},
        {PTL_ELLIPSE, {1, 2, 3}, 5, 1, 1, 1e30f, 1},   {PTL_LINE, {1, 2, 3}, 1e38f, 0, 0, 2, 2},
        {PTL_POINT, {1, 2, 3}, inf, 8, 8, 0, 0},       {PTL_ELLIPSE, {1, 2, 3}, 1e9f, 8, 8, 1e9f, 1e9f},
    };
    for (const Elem &e : hostile)
        for (bool colour : {false, true}) {
            PointList p = ptlNew(true, 0, 0, 16, 16, nullptr);
            ptlAddElem(p, ptlNewElem(e.type, e.color, e.size, e.x1, e.y1, e.x2, e.y2));
            bool clipped = false;
            void *im = ptlRender(p, colour ? IMAGE_RGB : IMAGE_BINARY, 64, 64, RGB{0, 0, 0}, &clipped);
            ASSERT_NE(im, nullptr);
            EXPECT_TRUE(clipped) << +e.type << " " << e.size;
            im_Free_(im, hdr(im)->tag);
            ptlFree(p);
        }
}
