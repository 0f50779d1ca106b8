// Rendering checked against a small, literal model of the drawing rules: every dot plots every
// sub-point, every step of every walk is taken, and colours are mixed plot by plot. The model is
// slow but obviously right; the library must agree with it on every pixel and on clipping.
#include <tessera.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// What drawing an element did: as the renderer's rules give it, and "failed" for a walk that
// stops advancing while its dot still sets pixels (it would draw that dot for ever).
enum Outcome { inside = 0, clipped_ = 1, failed = 2 };

// A target image of the model: binary pixels, or colours with their counts.
struct Canvas {
    int x0, y0, w, h;
    bool colour;
    long plotted = 0; // plots that landed inside
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
        ++plotted;
        if (colour) {
            rgb[k] = model_combine(rgb[k], count[k], c);
            ++count[k];
        } else {
            bits[k] = 1;
        }
        return false;
    }
    int64_t column(float x) const { return colour ? model_round(x) : model_binary_round(x); }
    int64_t row(float y) const { return colour ? model_round(y) : model_binary_round(y); }
    // The rule's loops, i outer and j inner, in the rule's order. Offsets whose two pixels both
    // lie outside plot nothing but clipping, and since a pixel moves monotonically with its
    // offset, once both lie beyond opposite edges every later offset does too: the loop stops.
    bool dot(float x, float y, float size, RGB c) {
        const float r = size * 0.5f + 0.5f;
        const auto n = static_cast<int64_t>(r);
        const float r2 = r * r;
        bool clipped = plot(x, y, c);
        const auto covers = [&](int64_t i, int64_t j) {
            return static_cast<float>(static_cast<double>(i) * i + static_cast<double>(j) * j) <= r2;
        };
        for (int64_t i = 0; i < n; ++i) {
            const float fi = static_cast<float>(i);
            const int64_t right = column(x + fi), left = column(x - fi);
            if ((right < x0 || right >= x0 + w) && (left < x0 || left >= x0 + w)) {
                clipped = true; // (i, 0) is always covered
                if (right >= x0 + w && left < x0) break;
                continue;
            }
            for (int64_t j = 0; j < n && covers(i, j); ++j) {
                const float fj = static_cast<float>(j);
                const int64_t down = row(y + fj), up = row(y - fj);
                if ((down < y0 || down >= y0 + h) && (up < y0 || up >= y0 + h)) {
                    clipped = true;
                    if (down >= y0 + h && up < y0) break;
                    continue;
                }
                clipped |= plot(x + fi, y + fj, c);
                clipped |= plot(x + fi, y - fj, c);
                clipped |= plot(x - fi, y + fj, c);
                clipped |= plot(x - fi, y - fj, c);
            }
        }
        return clipped;
    }
    // A walk stopped at a dot that set pixels would set them for ever; one that set none ends.
    Outcome stalled(long before) const { return plotted > before ? failed : clipped_; }
    Outcome line(float x1, float y1, float x2, float y2, float width, RGB c) {
        const float dx = x2 - x1, dy = y2 - y1, step = colour ? 1.0f : 0.5f;
        if (dx == 0 && dy == 0) return dot(x1, y1, width, c) ? clipped_ : inside;
        bool clipped = false;
        if (std::fabs(dx) > std::fabs(dy)) {
            const float m = dy / dx;
            if (x1 > x2) std::swap(x1, x2), std::swap(y1, y2);
            for (float t = x1; t <= x2; t += step) {
                const long before = plotted;
                clipped |= dot(t, (t - x1) * m + y1, width, c);
                if (t + step == t) return stalled(before);
            }
        } else {
            const float m = dx / dy;
            if (y1 > y2) std::swap(x1, x2), std::swap(y1, y2);
            for (float t = y1; t <= y2; t += step) {
                const long before = plotted;
                clipped |= dot((t - y1) * m + x1, t, width, c);
                if (t + step == t) return stalled(before);
            }
        }
        return clipped ? clipped_ : inside;
    }
    Outcome ellipse(float cx, float cy, float rx, float ry, float width, RGB c) {
        const float q = 1.5708f, big = std::fabs(rx > ry ? rx : ry);
        const auto n = static_cast<int64_t>(q / std::atan2(1.0, static_cast<double>(big)) + 1);
        const float step = q / static_cast<float>(n);
        bool clipped = false;
        for (float t = 0; t < q; t += step) {
            const long before = plotted;
            const auto dx = static_cast<float>(std::cos(static_cast<double>(t)) * rx);
            const auto dy = static_cast<float>(std::sin(static_cast<double>(t)) * ry);
            clipped |= dot(cx + dx, cy + dy, width, c);
            clipped |= dot(cx + dx, cy - dy, width, c);
            clipped |= dot(cx - dx, cy + dy, width, c);
            clipped |= dot(cx - dx, cy - dy, width, c);
            if (t + step == t) return stalled(before);
        }
        return clipped ? clipped_ : inside;
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

// The model's rendering of a scene; false when the scene has no pixels or an element cannot be
// finished.
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
        Outcome o = inside;
        switch (e.type) {
        case PTL_POINT: *clipped |= c->dot(x1, y1, pen, e.color); break;
        case PTL_LINE: o = c->line(x1, y1, x2, y2, pen, e.color); break;
        case PTL_ELLIPSE: o = c->ellipse(x1, y1, x2, y2, pen, e.color); break;
        case PTL_FILL:
            if (!colour) {
                const int64_t fc = model_round(x1), fr = model_round(y1);
                if (fc < c->x0 || fc >= c->x0 + c->w || fr < c->y0 || fr >= c->y0 + c->h) *clipped = true;
                else c->fill(x1, y1);
            }
            break;
        }
        if (o == failed) {
            delete c;
            return false;
        }
        *clipped |= o == clipped_;
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
        if (has_pixels != (im != nullptr))
            result = ::testing::AssertionFailure()
                     << "image made by only one side: " << (im ? "the library's" : "the model's") << " ("
                     << (im ? "" : tessera_last_error()) << ")";
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

// Floats written so that they read back exactly.
std::string exact(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    return text;
}

std::string describe(const Scene &s) {
    std::string t = "bounds " + exact(s.x) + " " + exact(s.y) + " " + exact(s.w) + " " + exact(s.h) + " scales " +
                    exact(s.xs) + " " + exact(s.ys) + "\n";
    for (const Elem &e : s.elems)
        t += exact(e.size) + " " + "plef"[e.type - 1] + " " + exact(e.x1) + " " + exact(e.y1) + " " + exact(e.x2) +
             " " + exact(e.y2) + "\n";
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

// Drawings that no renderer could finish (pens and radii far beyond the image, NaN and infinite
// coordinates, walks that stop advancing on the image) either render, clipped, or fail at once
// with a reason: never an image with less than the drawing.
TEST(RenderModel, HostileElementsRenderOrFailWithAReason) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const Elem hostile[] = {
        {PTL_LINE, {1, 2, 3}, 1e9f, 0, 0, 1e9f, 1},    {PTL_POINT, {1, 2, 3}, 0, nan, 3, 0, 0},
        {PTL_ELLIPSE, {1, 2, 3}, 0, 8, 8, 1e30f, inf}, {PTL_LINE, {1, 2, 3}, 0, -1e30f, 0, 1e30f, 0},
        {PTL_ELLIPSE, {1, 2, 3}, 5, 1, 1, 1e30f, 1},   {PTL_LINE, {1, 2, 3}, 1e38f, 0, 0, 2, 2},
        {PTL_POINT, {1, 2, 3}, inf, 8, 8, 0, 0},       {PTL_ELLIPSE, {1, 2, 3}, 1e9f, 8, 8, 1e9f, 1e9f},
    };
    int failed = 0;
    for (const Elem &e : hostile)
        for (bool colour : {false, true}) {
            PointList p = ptlNew(true, 0, 0, 16, 16, nullptr);
            ptlAddElem(p, ptlNewElem(e.type, e.color, e.size, e.x1, e.y1, e.x2, e.y2));
            bool clipped = false;
            void *im = ptlRender(p, colour ? IMAGE_RGB : IMAGE_BINARY, 64, 64, RGB{0, 0, 0}, &clipped);
            if (im) {
                EXPECT_TRUE(clipped) << +e.type << " " << e.size;
                im_Free_(im, hdr(im)->tag);
            } else {
                ++failed;
                const std::string why = tessera_last_error();
                EXPECT_TRUE(why.find("can never be finished") != std::string::npos ||
                            why.find("units of work") != std::string::npos)
                    << why;
            }
            ptlFree(p);
        }
    EXPECT_GT(failed, 0); // the 1e9 pen's walk stops advancing where its dots cover the image
}

// Renders the text of a drawing; null when the renderer refuses it.
void *render_text(const char *text, unsigned short type, float xscale, float yscale, bool *clipped) {
    FILE *f = std::tmpfile();
    std::fputs(text, f);
    std::rewind(f);
    adtStringHeader *magic = nullptr;
    magicStart();
    magicGetString(f, &magic);
    const bool colour = std::string(strGet(magic)) == "CPTL";
    strFree(magic);
    void *im = ptlLoadAndRender(f, colour, type, xscale, yscale, RGB{0, 0, 0}, clipped);
    std::fclose(f);
    return im;
}

long set_pixels(void *im) {
    const ImageHeader *h = hdr(im);
    long set = 0;
    for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
        for (int x = h->xoffset; x < h->xoffset + h->width; ++x)
            set += h->tag == IMAGE_BINARY ? px<int8_t>(im, x, y) != 0 : px<RGB>(im, x, y).r != 0;
    return set;
}

// Drawings that an earlier renderer's work limit or its reach along a line cut short: strips of
// images (a pen many times the narrow side, along the long side) and lines beside images placed
// far out, where floats are 8 or 64 apart.
TEST(RenderModel, StripsAndFarImagesKeepEveryPixel) {
    struct Case {
        Scene scene;
        bool colour;
    };
    const Case cases[] = {
        {{0, 0, 20, 2000, 1, 1, {{PTL_LINE, {255, 255, 255}, 100, 10, -10, 10, 2010}}}, false},
        {{0, 0, 1, 1000, 1, 1, {{PTL_LINE, {255, 255, 255}, 50, 0.5f, -10, 0.5f, 1010}}}, false},
        {{0, 0, 3, 2000, 1, 1, {{PTL_LINE, {0xc8, 0x64, 0x32}, 100, 1.5f, -10, 1.5f, 2010}}}, true},
        {{0, 0, 8, 600, 1, 1, {{PTL_ELLIPSE, {200, 30, 60}, 40, 4, 300, 3, 290}}}, false},
        {{0, 0, 8, 600, 1, 1, {{PTL_ELLIPSE, {200, 30, 60}, 40, 4, 300, 3, 290}}}, true},
        {{0, 67108992, 20, 4, 1, 1, {{PTL_LINE, {255, 255, 255}, 9, 0, 67108984, 20, 67108984}}}, false},
        {{0, 1000000000, 100, 10, 1, 1, {{PTL_LINE, {255, 255, 255}, 80, 0, 999999936, 100, 999999936}}}, true},
    };
    for (const Case &c : cases) ASSERT_TRUE(agrees(c.scene, c.colour)) << describe(c.scene);
    // what the rules give, counted
    bool clipped = false;
    void *im = render_text("PTL 0 0 20 2000\n100l 10 -10 10 2010\n", IMAGE_BINARY, 1, 1, &clipped);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(set_pixels(im), 20L * 2000);
    im_Free_(im, IMAGE_BINARY);
    im = render_text("PTL 0 67108992 20 4\n9l 0 67108984 20 67108984\n", IMAGE_BINARY, 1, 1, &clipped);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(set_pixels(im), 20);
    im_Free_(im, IMAGE_BINARY);
    im = render_text("CPTL 0 1000000000 100 10\n80l 0 999999936 100 999999936 0xffffff\n", IMAGE_RGB, 1, 1, &clipped);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(set_pixels(im), 100);
    im_Free_(im, IMAGE_RGB);
}

// A rendering whose scales stretch a drawing to tens of millions of pixels a side walks lines
// where floats no longer advance by a step: it fails at once and says why.
TEST(RenderModel, AWalkThatCannotAdvanceFailsTheRendering) {
    const std::string shapes = std::string(TESSERA_SOURCE_DIR) + "/examples/drawings/shapes.cptl";
    FILE *f = std::fopen(shapes.c_str(), "r");
    ASSERT_NE(f, nullptr);
    adtStringHeader *magic = nullptr;
    magicStart();
    magicGetString(f, &magic);
    strFree(magic);
    bool clipped = true;
    void *im = ptlLoadAndRender(f, true, IMAGE_RGB, 1e6f, 1e-6f, RGB{0, 0, 0}, &clipped);
    std::fclose(f);
    EXPECT_EQ(im, nullptr);
    EXPECT_FALSE(clipped);
    EXPECT_NE(std::string(tessera_last_error()).find("can never be finished"), std::string::npos)
        << tessera_last_error();
}

// Strips and tiles: one side 1 to 40 pixels, lines and arcs along the long side with pens up to
// 50 times the narrow side, binary and colour, sometimes placed 2^22 to 2^31 pixels out.
Scene strip_scene(std::mt19937 &rng) {
    const auto uni = [&](double a, double b) {
        return static_cast<float>(std::uniform_real_distribution<double>(a, b)(rng));
    };
    const auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    const float narrow = std::floor(uni(1, 41)), along = std::floor(uni(40, 240));
    const bool tall = coin(0.5);
    Scene s;
    s.xs = s.ys = 1;
    s.w = tall ? narrow : along, s.h = tall ? along : narrow;
    s.x = 0, s.y = 0;
    if (coin(0.4)) { // far out, on a whole pixel so that the image keeps its size
        const float far = std::ldexp(1.0f, static_cast<int>(uni(22, 31)));
        const float at = std::floor(far * uni(1, 1.9f) / 64) * 64 * (coin(0.5) ? 1 : -1);
        (tall ? s.x : s.y) = at; // the cross axis, where sparse floats meet the pen's offsets
    }
    const int n = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int k = 0; k < n; ++k) {
        Elem e{};
        e.color = RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
        e.size = coin(0.3) ? uni(0, 4) : uni(1, 50) * narrow;
        const float mid = (tall ? s.x : s.y) + narrow * uni(-0.5, 1.5);
        const float a = uni(-0.3f * along, 0.2f * along), b = uni(0.8f * along, 1.3f * along);
        if (coin(0.6)) {
            e.type = PTL_LINE;
            const float slant = coin(0.5) ? 0 : uni(-narrow, narrow);
            if (tall) e.x1 = mid, e.y1 = a, e.x2 = mid + slant, e.y2 = b;
            else e.x1 = a, e.y1 = mid, e.x2 = b, e.y2 = mid + slant;
        } else {
            e.type = PTL_ELLIPSE;
            const float semi_along = uni(0.3f, 0.8f) * along, semi_across = uni(0, 2) * narrow;
            if (tall) e.x1 = mid, e.y1 = along / 2, e.x2 = semi_across, e.y2 = semi_along;
            else e.x1 = along / 2, e.y1 = mid, e.x2 = semi_along, e.y2 = semi_across;
            e.size = std::min(e.size, 12.0f * narrow);
        }
        s.elems.push_back(e);
    }
    return s;
}

TEST(RenderModel, RandomStripsAndFarTiles_seed15) {
    std::mt19937 rng(test_seed(15));
    const int count = std::getenv("TESSERA_TEST_SCALE") ? 20 : 160;
    for (int k = 0; k < count; ++k) {
        const Scene s = strip_scene(rng);
        const bool colour = k % 2;
        ASSERT_TRUE(agrees(s, colour)) << "seed " << test_seed(15) << " (TESSERA_TEST_SEED replays it), scene " << k
                                       << (colour ? " (colour)" : " (binary)") << ":\n"
                                       << describe(s);
    }
}

// ---- drawings that a work limit counted in dots refused -------------------------------------

// The pixels of windows of the library's rendering against the model rendering only that window:
// a pixel's value depends on nothing but the plots that land on it, so the model can check large
// images where drawing all of them plot by plot would take minutes.
::testing::AssertionResult agrees_in_windows(const Scene &s, bool colour, int side) {
    const RGB bg{7, 8, 9};
    PointList p = list_of(s);
    bool clipped = false;
    void *im = ptlRender(p, colour ? IMAGE_RGB : IMAGE_BINARY, 1, 1, bg, &clipped);
    ptlFree(p);
    if (!im) return ::testing::AssertionFailure() << "refused: " << tessera_last_error();
    const ImageHeader *h = hdr(im);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    const int xs[] = {h->xoffset, h->xoffset + (h->width - side) / 2, h->xoffset + h->width - side};
    const int ys[] = {h->yoffset, h->yoffset + (h->height - side) / 2, h->yoffset + h->height - side};
    for (int wx : xs)
        for (int wy : ys) {
            Scene window = s;
            window.x = static_cast<float>(std::max(wx, h->xoffset)),
            window.y = static_cast<float>(std::max(wy, h->yoffset));
            window.w = static_cast<float>(std::min(side, h->width)),
            window.h = static_cast<float>(std::min(side, h->height));
            Canvas *model = nullptr;
            bool model_clipped = false;
            if (!model_render(window, colour, bg, &model, &model_clipped)) {
                result = ::testing::AssertionFailure() << "the model cannot finish the window at " << wx << "," << wy;
                break;
            }
            for (int y = 0; y < model->h && result; ++y)
                for (int x = 0; x < model->w && result; ++x) {
                    const std::size_t k = static_cast<std::size_t>(y * model->w + x);
                    const int ax = model->x0 + x, ay = model->y0 + y;
                    const bool same = colour ? px<RGB>(im, ax, ay).r == model->rgb[k].r &&
                                                   px<RGB>(im, ax, ay).g == model->rgb[k].g &&
                                                   px<RGB>(im, ax, ay).b == model->rgb[k].b
                                             : (px<int8_t>(im, ax, ay) != 0) == (model->bits[k] != 0);
                    if (!same) result = ::testing::AssertionFailure() << "pixel (" << ax << ", " << ay << ") differs";
                }
            delete model;
        }
    im_Free_(im, hdr(im)->tag);
    return result;
}

// The drawings an earlier work limit refused although the rules finish them in seconds: long
// strips with pens from 7 up, wide pens far from the origin, and wide colour pens over another
// colour. Each renders, identical to the model (checked whole, or window by window where the
// model would take minutes).
TEST(RenderModel, DrawingsTheRulesFinishAreRendered) {
    const RGB white{255, 255, 255}, orange{255, 128, 0}, red{255, 0, 0}, green{0, 255, 0};
    struct Case {
        const char *what;
        Scene scene;
        bool colour, whole;
    };
    const Case cases[] = {
        {"pen 7 along a 560,000 x 1 strip",
         {0, 0, 560000, 1, 1, 1, {{PTL_LINE, white, 7, 0, 0, 560000, 0}}},
         false,
         true},
        {"pen 40 along a 1 x 250,000 strip",
         {0, 0, 1, 250000, 1, 1, {{PTL_LINE, white, 40, 0.5f, 0, 0.5f, 250000}}},
         false,
         true},
        {"flat ellipse along 400,000 x 1",
         {0, 0, 400000, 1, 1, 1, {{PTL_ELLIPSE, white, 3, 200000, 0.5f, 190000, 0.4f}}},
         false,
         true},
        {"flat ellipse along 400,000 x 3",
         {0, 0, 400000, 3, 1, 1, {{PTL_ELLIPSE, white, 10, 200000, 1.5f, 190000, 1}}},
         false,
         true},
        {"colour strip 1,200,000 x 1",
         {0, 0, 1200000, 1, 1, 1, {{PTL_LINE, orange, 9, 0, 0.5f, 1200000, 0.5f}}},
         true,
         true},
        {"pen 1,200 at x = 2^25",
         {33554432, 0, 1000, 1000, 1, 1, {{PTL_LINE, white, 1200, 33554932, 450, 33554932, 480}}},
         false,
         false},
        {"pen 1,200 at x = -2^25",
         {-33555432, 0, 1000, 1000, 1, 1, {{PTL_LINE, white, 1200, -33554932, 450, -33554932, 480}}},
         false,
         false},
        {"circle of radius 200, pen 600, at x = 2^25",
         {33554432, 0, 1000, 1000, 1, 1, {{PTL_ELLIPSE, white, 600, 33554932, 500, 200, 200}}},
         false,
         false},
        {"pen 2,000 over another colour, 1,000 x 1,000",
         {0,
          0,
          1000,
          1000,
          1,
          1,
          {{PTL_POINT, red, 2000, 500, 500, 0, 0}, {PTL_LINE, green, 2000, 500, 380, 500, 630}}},
         true,
         false},
        {"pen 1,200 at x = 2^25, colour",
         {33554432, 0, 1000, 1000, 1, 1, {{PTL_LINE, green, 1200, 33554932, 450, 33554932, 480}}},
         true,
         false},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(c.whole ? agrees(c.scene, c.colour) : agrees_in_windows(c.scene, c.colour, 24)) << c.what;
}

// Refusals left: a rendering that needs more pixel visits than the budget allows fails with the
// reason, and the same drawing renders under a larger budget.
TEST(RenderModel, TheBudgetBoundsPixelVisits) {
    // 100 dots covering a 300 x 300 colour image (360,000 bytes): 9 million pixel visits
    PointList p = ptlNew(true, 0, 0, 300, 300, nullptr);
    for (int k = 0; k < 100; ++k) ptlAddElem(p, ptlNewElem(PTL_POINT, RGB{200, 100, 50}, 900, 150, 150, 0, 0));
    const uint64_t before = tessera_set_budget(uint64_t{512} << 10); // 4 Mi visits
    void *im = ptlRender(p, IMAGE_RGB, 1, 1, RGB{0, 0, 0}, nullptr);
    EXPECT_EQ(im, nullptr);
    EXPECT_NE(std::string(tessera_last_error()).find("pixel visits"), std::string::npos) << tessera_last_error();
    tessera_set_budget(uint64_t{4} << 20); // 32 Mi visits
    im = ptlRender(p, IMAGE_RGB, 1, 1, RGB{0, 0, 0}, nullptr);
    EXPECT_NE(im, nullptr) << tessera_last_error();
    if (im) im_Free_(im, IMAGE_RGB);
    tessera_set_budget(before);
    ptlFree(p);
}

// Random drawings of the kinds that found those refusals, against the model: strips 10^4 to 10^6
// pixels long and 1 to 8 across with pens of 7 to 60; images placed 2^20 to 2^31 pixels out on
// one axis or both, either sign, crossed by wide pens and arcs; colour pens over other colours.
Scene long_strip_scene(std::mt19937 &rng) {
    const auto uni = [&](double a, double b) {
        return static_cast<float>(std::uniform_real_distribution<double>(a, b)(rng));
    };
    const auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    const float along = std::floor(std::exp(uni(std::log(1e4), std::log(1e6)))), across = std::floor(uni(1, 9));
    const bool tall = coin(0.5);
    Scene s{0, 0, tall ? across : along, tall ? along : across, 1, 1, {}};
    const int n = std::uniform_int_distribution<int>(1, 2)(rng);
    for (int k = 0; k < n; ++k) {
        Elem e{};
        e.color = RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
        e.size = uni(7, 60);
        const float mid = across * uni(-0.5, 1.5), a = uni(-0.05f * along, 0.3f * along),
                    b = uni(0.7f * along, 1.05f * along);
        if (coin(0.7)) {
            e.type = PTL_LINE;
            const float slant = coin(0.5) ? 0 : uni(-across, across);
            if (tall) e.x1 = mid, e.y1 = a, e.x2 = mid + slant, e.y2 = b;
            else e.x1 = a, e.y1 = mid, e.x2 = b, e.y2 = mid + slant;
        } else {
            e.type = PTL_ELLIPSE;
            const float semi_along = uni(0.2f, 0.5f) * along, semi_across = uni(0, 2) * across;
            if (tall) e.x1 = mid, e.y1 = along / 2, e.x2 = semi_across, e.y2 = semi_along;
            else e.x1 = along / 2, e.y1 = mid, e.x2 = semi_along, e.y2 = semi_across;
        }
        s.elems.push_back(e);
    }
    return s;
}

Scene far_scene(std::mt19937 &rng) {
    const auto uni = [&](double a, double b) {
        return static_cast<float>(std::uniform_real_distribution<double>(a, b)(rng));
    };
    const auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    const auto far = [&] { // on a multiple of 256, so that the image keeps its size where floats are sparse
        const float at = std::ldexp(1.0f, static_cast<int>(uni(20, 31))) * uni(1, 1.99f);
        return std::floor(at / 256) * 256 * (coin(0.5) ? 1 : -1);
    };
    Scene s{0, 0, std::floor(uni(8, 40)), std::floor(uni(8, 40)), 1, 1, {}};
    const int axes = std::uniform_int_distribution<int>(0, 2)(rng); // 0: x, 1: y, 2: both
    if (axes != 1) s.x = far();
    if (axes != 0) s.y = far();
    const float cx = s.x + s.w / 2, cy = s.y + s.h / 2;
    const int n = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int k = 0; k < n; ++k) {
        Elem e{};
        e.color = RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
        e.size = uni(7, 60);
        const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
        if (kind == 0) {
            e.type = PTL_POINT;
            e.x1 = cx + uni(-40, 40), e.y1 = cy + uni(-40, 40);
        } else if (kind == 1) {
            e.type = PTL_LINE;
            e.x1 = cx + uni(-80, 80), e.y1 = cy + uni(-80, 80), e.x2 = cx + uni(-80, 80), e.y2 = cy + uni(-80, 80);
        } else { // an arc crossing the image
            e.type = PTL_ELLIPSE;
            e.x2 = uni(20, 300), e.y2 = uni(20, 300);
            e.x1 = cx + (coin(0.5) ? e.x2 : -e.x2) + uni(-4, 4), e.y1 = cy + uni(-10, 10);
            e.size = uni(7, 20);
        }
        s.elems.push_back(e);
    }
    return s;
}

Scene colour_over_colour_scene(std::mt19937 &rng) {
    const auto uni = [&](double a, double b) {
        return static_cast<float>(std::uniform_real_distribution<double>(a, b)(rng));
    };
    Scene s{0, 0, std::floor(uni(10, 60)), std::floor(uni(10, 60)), 1, 1, {}};
    const int n = std::uniform_int_distribution<int>(2, 5)(rng);
    for (int k = 0; k < n; ++k) {
        Elem e{};
        e.color = RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
        e.type = static_cast<unsigned char>(std::uniform_int_distribution<int>(PTL_POINT, PTL_ELLIPSE)(rng));
        e.size = uni(7, 2.5 * std::max(s.w, s.h));
        e.x1 = uni(0, s.w), e.y1 = uni(0, s.h);
        e.x2 = e.type == PTL_LINE ? uni(0, s.w) : uni(1, s.w);
        e.y2 = e.type == PTL_LINE ? uni(0, s.h) : uni(1, s.h);
        s.elems.push_back(e);
    }
    return s;
}

TEST(RenderModel, RandomLongStripsFarImagesAndColourOverColour_seed16) {
    std::mt19937 rng(test_seed(16));
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr;
    const auto check = [&](const Scene &s, bool colour, const char *kind, int k) {
        ASSERT_TRUE(agrees(s, colour)) << "seed " << test_seed(16) << " (TESSERA_TEST_SEED replays it), " << kind << " "
                                       << k << (colour ? " (colour)" : " (binary)") << ":\n"
                                       << describe(s);
    };
    for (int k = 0; k < (small ? 2 : 12); ++k) check(long_strip_scene(rng), k % 2, "strip", k);
    for (int k = 0; k < (small ? 10 : 120); ++k) check(far_scene(rng), k % 2, "far image", k);
    for (int k = 0; k < (small ? 10 : 80); ++k) check(colour_over_colour_scene(rng), true, "colour over colour", k);
}

// ---- areas of a rendering made alone -------------------------------------------------------

// Every band of a rendering made alone equals that band of the whole rendering, pixel for pixel:
// bands of random heights down the whole image, and random rectangles.
::testing::AssertionResult areas_agree(const Scene &s, bool colour, std::mt19937 &rng, int &compared) {
    const RGB bg{7, 8, 9};
    const unsigned short type = colour ? IMAGE_RGB : IMAGE_BINARY;
    PointList p = list_of(s);
    void *whole = ptlRender(p, type, s.xs, s.ys, bg, nullptr);
    int32_t x0 = 0, y0 = 0, w = 0, h = 0;
    const bool known = tessera_render_geometry(p, s.xs, s.ys, &x0, &y0, &w, &h) == 0;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (!whole || !known) {
        ptlFree(p);
        if (whole) im_Free_(whole, type);
        if (!whole) return result; // an element the rules cannot finish
        return ::testing::AssertionFailure() << "a rendering whose geometry is refused";
    }
    ++compared;
    const ImageHeader *wh = hdr(whole);
    if (wh->xoffset != x0 || wh->yoffset != y0 || wh->width != w || wh->height != h)
        result = ::testing::AssertionFailure() << "the geometry differs from the rendering's";
    const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::vector<std::array<int32_t, 4>> areas;
    for (int32_t top = 0; top < h;) { // bands down the image
        const int32_t rows = std::min(h - top, 1 + pick(std::max(1, h / 3)));
        areas.push_back({x0, y0 + top, w, rows});
        top += rows;
    }
    for (int k = 0; k < 3; ++k) {
        const int32_t aw = 1 + pick(w), ah = 1 + pick(h);
        areas.push_back({x0 + pick(w - aw + 1), y0 + pick(h - ah + 1), aw, ah});
    }
    for (const auto &a : areas) {
        if (!result) break;
        void *part = tessera_render_area(p, type, s.xs, s.ys, bg, a[0], a[1], a[2], a[3], nullptr);
        if (!part) {
            result = ::testing::AssertionFailure() << "area refused: " << tessera_last_error();
            break;
        }
        for (int32_t y = a[1]; y < a[1] + a[3] && result; ++y)
            for (int32_t x = a[0]; x < a[0] + a[2] && result; ++x) {
                const bool same = colour ? std::memcmp(&px<RGB>(part, x, y), &px<RGB>(whole, x, y), 3) == 0
                                         : px<int8_t>(part, x, y) == px<int8_t>(whole, x, y);
                if (!same)
                    result = ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") of the area " << a[0]
                                                           << "," << a[1] << " " << a[2] << "x" << a[3] << " differs";
            }
        im_Free_(part, type);
    }
    im_Free_(whole, type);
    ptlFree(p);
    return result;
}

TEST(RenderAreas, EveryAreaMadeAloneIsThatAreaOfTheWholeRendering_seed17) {
    std::mt19937 rng(test_seed(17));
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr;
    const auto no_fills = [](Scene s) {
        for (Elem &e : s.elems)
            if (e.type == PTL_FILL) e.type = PTL_POINT;
        return s;
    };
    int compared = 0;
    for (int k = 0; k < (small ? 30 : 200); ++k) {
        const Scene s = no_fills(random_scene(rng, k % 3 == 2));
        ASSERT_TRUE(areas_agree(s, k % 2, rng, compared)) << "seed " << test_seed(17) << ", scene " << k << ":\n"
                                                          << describe(s);
    }
    for (int k = 0; k < (small ? 6 : 40); ++k) {
        const Scene s = strip_scene(rng);
        ASSERT_TRUE(areas_agree(s, k % 2, rng, compared)) << "seed " << test_seed(17) << ", strip " << k << ":\n"
                                                          << describe(s);
    }
    EXPECT_GT(compared, small ? 25 : 170); // few scenes have elements the rules cannot finish
}

TEST(RenderAreas, FillsAreasOutsideAndTheClippedFlag) {
    PointList p = ptlNew(false, 0, 0, 100, 50, nullptr);
    ptlAddElem(p, ptlNewElem(PTL_LINE, RGB{}, 2, 10, 10, 90, 40));
    bool clipped = true;
    void *im = tessera_render_area(p, IMAGE_BINARY, 1, 1, RGB{}, 0, 20, 100, 10, &clipped);
    ASSERT_NE(im, nullptr) << tessera_last_error();
    EXPECT_FALSE(clipped); // the line lies inside the drawing, though it leaves the area
    im_Free_(im, IMAGE_BINARY);
    ptlAddElem(p, ptlNewElem(PTL_POINT, RGB{}, 4, 99, 25, 0, 0)); // its dot reaches past the right edge
    im = tessera_render_area(p, IMAGE_BINARY, 1, 1, RGB{}, 0, 0, 10, 10, &clipped);
    ASSERT_NE(im, nullptr) << tessera_last_error();
    EXPECT_TRUE(clipped);
    im_Free_(im, IMAGE_BINARY);
    int32_t w = 0, h = 0;
    ASSERT_EQ(tessera_render_geometry(p, 2, 3, nullptr, nullptr, &w, &h), 0);
    EXPECT_EQ(w, 200);
    EXPECT_EQ(h, 150);
    for (const auto &a : std::vector<std::array<int32_t, 4>>{{-1, 0, 10, 10}, {0, 45, 10, 6}, {0, 0, 0, 5}}) {
        EXPECT_EQ(tessera_render_area(p, IMAGE_BINARY, 1, 1, RGB{}, a[0], a[1], a[2], a[3], nullptr), nullptr);
        EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_ARGUMENT) << tessera_last_error();
    }
    EXPECT_EQ(tessera_render_geometry(p, 0, 1, nullptr, nullptr, &w, &h), -1);
    ptlAddElem(p, ptlNewElem(PTL_FILL, RGB{}, 0, 50, 5, 0, 0));
    EXPECT_EQ(tessera_render_area(p, IMAGE_BINARY, 1, 1, RGB{}, 0, 0, 10, 10, nullptr), nullptr);
    EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_UNSUPPORTED) << tessera_last_error();
    // colour renderings leave fills out, so their areas are still made alone
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 0, 0, 10, 10), 0);
    im = tessera_render_area(p, IMAGE_RGB, 1, 1, RGB{}, 0, 0, 10, 10, nullptr);
    EXPECT_NE(im, nullptr) << tessera_last_error();
    if (im) im_Free_(im, IMAGE_RGB);
    ptlFree(p);
}
