// Resizing, flips, quarter turns and transposes: every filter against a reference written from
// the documented definition (docs/geometry.md) in double precision, on random images of every
// element type and odd sizes; flips and turns against their index formulas; hostile sizes and
// allocation failures.
#include <tessera/error.h>
#include <tessera/geometry.h>
#include <tessera/imAdditions.h>
#include <tessera/image.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "image/turns.h"
#include "simd/seam.h"
#include "support/test_support.h"

namespace {

using tessera::test::each_failure_gives_null;

struct Image {
    AnyImageStruct *im;
    explicit Image(AnyImageStruct *p) : im(p) {}
    Image(uint16_t tag, int32_t w, int32_t h, int32_t xo = 0, int32_t yo = 0)
        : im(static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, w, h, xo, yo, nullptr, 0, 0, nullptr))) {}
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image() {
        if (im) im_Free_(im, im->header->tag);
    }
    int32_t w() const { return im->header->width; }
    int32_t h() const { return im->header->height; }
};

struct TagInfo {
    uint16_t tag;
    int channels;
    std::size_t channel_size;
    bool integer;
    double lo, hi; // the range of an integer channel
};
const TagInfo tags[] = {
    {IMAGE_GRAY, 1, 1, true, 0, 255},         {IMAGE_BINARY, 1, 1, true, 0, 1},
    {IMAGE_SHORT, 1, 2, true, -32768, 32767}, {IMAGE_INT, 1, 4, true, -2147483648.0, 2147483647.0},
    {IMAGE_FLOAT, 1, 4, false, 0, 0},         {IMAGE_DOUBLE, 1, 8, false, 0, 0},
    {IMAGE_RGB, 3, 1, true, 0, 255},          {IMAGE_FLOAT3A, 3, 4, false, 0, 0},
    {IMAGE_FLOAT3B, 3, 4, false, 0, 0},       {IMAGE_RGBA, 4, 1, true, 0, 255},
    {IMAGE_GRAY16, 1, 2, true, 0, 65535},     {IMAGE_RGB16, 3, 2, true, 0, 65535},
    {IMAGE_RGBA16, 4, 2, true, 0, 65535},
};

unsigned char *channel_at(const Image &im, const TagInfo &t, int32_t x, int32_t y, int c) {
    const ImageHeader *h = im.im->header;
    auto *row = static_cast<unsigned char *>(im.im->data[h->yoffset + y]);
    return row +
           (static_cast<std::ptrdiff_t>(h->xoffset) + x) * t.channels * static_cast<std::ptrdiff_t>(t.channel_size) +
           c * static_cast<std::ptrdiff_t>(t.channel_size);
}

double get(const Image &im, const TagInfo &t, int32_t x, int32_t y, int c) {
    const unsigned char *p = channel_at(im, t, x, y, c);
    switch (t.tag) {
    case IMAGE_GRAY:
    case IMAGE_RGB:
    case IMAGE_RGBA: return *p;
    case IMAGE_BINARY: return static_cast<int8_t>(*p);
    case IMAGE_GRAY16:
    case IMAGE_RGB16:
    case IMAGE_RGBA16: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case IMAGE_SHORT: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case IMAGE_INT: {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case IMAGE_DOUBLE: {
        double v;
        std::memcpy(&v, p, 8);
        return v;
    }
    default: {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    }
}

void put(const Image &im, const TagInfo &t, int32_t x, int32_t y, int c, double v) {
    unsigned char *p = channel_at(im, t, x, y, c);
    switch (t.tag) {
    case IMAGE_GRAY:
    case IMAGE_RGB:
    case IMAGE_RGBA: *p = static_cast<uint8_t>(v); break;
    case IMAGE_BINARY: *p = static_cast<unsigned char>(static_cast<int8_t>(v)); break;
    case IMAGE_GRAY16:
    case IMAGE_RGB16:
    case IMAGE_RGBA16: {
        const auto s = static_cast<uint16_t>(v);
        std::memcpy(p, &s, 2);
        break;
    }
    case IMAGE_SHORT: {
        const auto s = static_cast<int16_t>(v);
        std::memcpy(p, &s, 2);
        break;
    }
    case IMAGE_INT: {
        const auto s = static_cast<int32_t>(v);
        std::memcpy(p, &s, 4);
        break;
    }
    case IMAGE_DOUBLE: std::memcpy(p, &v, 8); break;
    default: {
        const auto f = static_cast<float>(v);
        std::memcpy(p, &f, 4);
    }
    }
}

// Random content over the type's whole range (binary: 0, 1 and other set values), with
// runs of equal values so that rounding ties and clamping both occur.
void randomise(const Image &im, const TagInfo &t, std::mt19937 &rng) {
    std::uniform_real_distribution<double> unit(0, 1);
    for (int32_t y = 0; y < im.h(); ++y)
        for (int32_t x = 0; x < im.w(); ++x)
            for (int c = 0; c < t.channels; ++c) {
                double v;
                if (t.tag == IMAGE_BINARY) v = unit(rng) < 0.5 ? 0 : unit(rng) < 0.8 ? 1 : -3;
                else if (t.integer) v = std::floor(t.lo + unit(rng) * (t.hi - t.lo + 1));
                else v = (unit(rng) - 0.5) * 2000.0;
                if (t.integer && unit(rng) < 0.2) v = unit(rng) < 0.5 ? t.lo : t.hi;
                put(im, t, x, y, c, std::min(v, t.integer ? t.hi : v));
            }
}

// ---- the reference: docs/geometry.md, word for word ---------------------------------------------

double kernel(int filter, double x) {
    const double ax = std::fabs(x);
    switch (filter) {
    case TESSERA_BOX: return x > -0.5 && x <= 0.5 ? 1 : 0;
    case TESSERA_BILINEAR: return ax < 1 ? 1 - ax : 0;
    case TESSERA_BICUBIC: {
        const double a = -0.5;
        if (ax < 1) return ((a + 2) * ax - (a + 3)) * ax * ax + 1;
        if (ax < 2) return (((ax - 5) * ax + 8) * ax - 4) * a;
        return 0;
    }
    default: {
        const auto sinc = [](double v) {
            const double pv = std::numbers::pi * v;
            return v == 0 ? 1.0 : std::sin(pv) / pv;
        };
        return x >= -3 && x < 3 ? sinc(x) * sinc(x / 3) : 0;
    }
    }
}

double radius(int filter) {
    switch (filter) {
    case TESSERA_BOX: return 0.5;
    case TESSERA_BILINEAR: return 1;
    case TESSERA_BICUBIC: return 2;
    default: return 3;
    }
}

struct Weights {
    int32_t first;
    std::vector<double> w;
};

Weights weights_for(int filter, int32_t i, int32_t m, int32_t n) {
    const double s = static_cast<double>(m) / n, f = std::max(s, 1.0), support = radius(filter) * f;
    const double centre = (i + 0.5) * s;
    const auto first = std::max<int32_t>(static_cast<int32_t>(std::floor(centre - support + 0.5)), 0);
    const auto end = std::min<int32_t>(static_cast<int32_t>(std::floor(centre + support + 0.5)), m);
    Weights out{first, {}};
    double total = 0;
    for (int32_t j = first; j < end; ++j) {
        out.w.push_back(kernel(filter, (j - centre + 0.5) * (1 / f)));
        total += out.w.back();
    }
    if (total != 0)
        for (double &v : out.w) v /= total;
    return out;
}

double stored(const TagInfo &t, double v) {
    if (!t.integer) return t.channel_size == 4 ? static_cast<float>(v) : v;
    return std::round(std::clamp(v, t.lo, t.hi));
}

// The reference resize of one channel layout; returns the expected values, row by row. With
// four channels the colours are filtered multiplied by alpha and divided by the filtered alpha.
std::vector<double> reference(const Image &src, const TagInfo &t, int32_t n, int32_t rows, int filter) {
    const int32_t m = src.w(), mh = src.h();
    const bool alpha = t.channels == 4;
    const auto value = [&](int32_t x, int32_t y, int c) {
        const double v = get(src, t, x, y, c);
        if (alpha && c < 3) return v * get(src, t, x, y, 3);
        return t.tag == IMAGE_BINARY ? (v != 0 ? 1.0 : 0.0) : v;
    };
    std::vector<double> out(static_cast<std::size_t>(n) * rows * t.channels);
    if (filter == TESSERA_NEAREST) {
        for (int32_t y = 0; y < rows; ++y)
            for (int32_t x = 0; x < n; ++x)
                for (int c = 0; c < t.channels; ++c)
                    out[(static_cast<std::size_t>(y) * n + x) * t.channels + c] =
                        get(src, t, static_cast<int32_t>(std::floor((x + 0.5) * m / n)),
                            static_cast<int32_t>(std::floor((y + 0.5) * mh / rows)), c);
        return out;
    }
    // rows first: every source row filtered along x
    std::vector<double> across(static_cast<std::size_t>(mh) * n * t.channels);
    for (int32_t x = 0; x < n; ++x) {
        const Weights w = weights_for(filter, x, m, n);
        for (int32_t y = 0; y < mh; ++y)
            for (int c = 0; c < t.channels; ++c) {
                double sum = 0;
                for (std::size_t k = 0; k < w.w.size(); ++k)
                    sum += w.w[k] * value(w.first + static_cast<int32_t>(k), y, c);
                across[(static_cast<std::size_t>(y) * n + x) * t.channels + c] =
                    t.integer ? std::clamp(sum, t.lo, alpha && c < 3 ? t.hi * t.hi : t.hi) : sum;
            }
    }
    for (int32_t y = 0; y < rows; ++y) {
        const Weights w = weights_for(filter, y, mh, rows);
        for (int32_t x = 0; x < n; ++x) {
            double sums[4];
            for (int c = 0; c < t.channels; ++c) {
                double sum = 0;
                for (std::size_t k = 0; k < w.w.size(); ++k)
                    sum += w.w[k] * across[((w.first + k) * n + x) * t.channels + c];
                sums[c] = sum;
            }
            double *o = &out[(static_cast<std::size_t>(y) * n + x) * t.channels];
            const double a = alpha ? std::clamp(sums[3], t.lo, t.hi) : 0;
            for (int c = 0; c < t.channels; ++c)
                o[c] = !alpha || c == 3 ? stored(t, sums[c])
                       : a > 0          ? stored(t, std::clamp(sums[c], t.lo, t.hi * t.hi) / a)
                                        : 0;
        }
    }
    return out;
}

const char *filter_name(int f) {
    static const char *const names[] = {"nearest", "box", "bilinear", "bicubic", "lanczos3"};
    return names[f];
}

} // namespace

// Resizes src to n x rows and compares every sample with the reference; returns how many.
long expect_reference_values(const Image &src, const TagInfo &t, int32_t n, int32_t rows, int filter) {
    Image got(tessera_resize(src.im, n, rows, filter | TESSERA_EXACT));
    EXPECT_NE(got.im, nullptr) << tessera_last_error();
    if (!got.im) return 0;
    EXPECT_EQ(got.w(), n);
    EXPECT_EQ(got.h(), rows);
    EXPECT_EQ(got.im->header->xoffset, 0);
    EXPECT_EQ(got.im->header->tag, t.tag);
    const std::vector<double> want = reference(src, t, n, rows, filter);
    long compared = 0;
    int wrong = 0;
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < n; ++x)
            for (int c = 0; c < t.channels; ++c) {
                const double g = get(got, t, x, y, c), e = want[(static_cast<std::size_t>(y) * n + x) * t.channels + c];
                const bool same = t.integer ? g == e : std::fabs(g - e) <= 1e-6 * std::max(1.0, std::fabs(e));
                if (!same && wrong++ < 3)
                    ADD_FAILURE() << "tag " << t.tag << " " << filter_name(filter) << " " << src.w() << "x" << src.h()
                                  << " to " << n << "x" << rows << " at (" << x << ", " << y << ") channel " << c
                                  << ": " << g << ", want " << e;
                ++compared;
            }
    return compared;
}

TEST(Resize, EveryFilterAndTypeMatchesTheWrittenDefinition) {
    const unsigned seed = tessera::test::test_seed(26);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> size(1, 23);
    long compared = 0;
    for (const TagInfo &t : tags)
        for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter)
            for (int round = 0; round < 6; ++round) {
                const int32_t w = size(rng), h = size(rng);
                // shrink, enlarge and both, by factors that are rarely whole
                const int32_t n = round % 3 == 0 ? std::max(1, w / 3) : round % 3 == 1 ? w * 2 + 1 : size(rng);
                const int32_t rows = round % 3 == 0 ? h * 3 - 1 : round % 3 == 1 ? std::max(1, (h * 2) / 5) : size(rng);
                Image src(t.tag, w, h, -4, 9);
                randomise(src, t, rng);
                compared += expect_reference_values(src, t, n, rows, filter);
            }
    EXPECT_GT(compared, 50000);
}

// 8-bit gray and RGB resizes run in fixed point unless asked to be exact: every sample within 1
// of the exact one, the same bytes from the portable and each vector path, flat images flat.
TEST(Resize, FixedPointIsWithinOneOfTheExactValuesOnEveryPath) {
    using tessera::detail::simd::Level;
    std::mt19937 rng(tessera::test::test_seed(28));
    std::uniform_int_distribution<int32_t> size(1, 90);
    long compared = 0, off_by_one = 0;
    std::vector<Level> levels{Level::portable};
    for (const Level l : {Level::sse2, Level::ssse3, Level::avx2}) {
        tessera::detail::simd::use_at_most(l);
        if (tessera::detail::simd::level() == l) levels.push_back(l);
    }
    tessera::detail::simd::use_portable(false);
    for (const uint16_t tag : {IMAGE_GRAY, IMAGE_RGB})
        for (int filter = TESSERA_BOX; filter <= TESSERA_LANCZOS3; ++filter)
            for (int round = 0; round < 8; ++round) {
                const int32_t w = size(rng), h = size(rng);
                // shrink, enlarge, both, and a shrink wide enough that a position has many taps
                const int32_t n = round % 4 == 0   ? std::max(1, w / 3)
                                  : round % 4 == 1 ? w * 2 + 1
                                  : round % 4 == 2 ? size(rng)
                                                   : 300;
                const int32_t rows = round % 4 == 0   ? h * 3 - 1
                                     : round % 4 == 1 ? std::max(1, (h * 2) / 5)
                                     : round % 4 == 2 ? size(rng)
                                                      : 4;
                const int32_t sw = round % 4 == 3 ? 2999 : w, sh = round % 4 == 3 ? 130 : h;
                Image src(tag, sw, sh, 3, -2);
                const std::size_t samples = static_cast<std::size_t>(sw) * sh * (tag == IMAGE_RGB ? 3 : 1);
                auto *p = static_cast<uint8_t *>(src.im->data[-2]) + 3 * (tag == IMAGE_RGB ? 3 : 1);
                const bool flat = round == 5;
                for (std::size_t k = 0; k < samples; ++k) p[k] = static_cast<uint8_t>(flat ? 201 : rng() % 256);
                SCOPED_TRACE(std::string(filter_name(filter)) + " " + std::to_string(sw) + "x" + std::to_string(sh) +
                             " to " + std::to_string(n) + "x" + std::to_string(rows) + " tag " + std::to_string(tag));
                Image exact(tessera_resize(src.im, n, rows, filter | TESSERA_EXACT));
                ASSERT_NE(exact.im, nullptr) << tessera_last_error();
                const std::size_t out = static_cast<std::size_t>(n) * rows * (tag == IMAGE_RGB ? 3 : 1);
                const auto *e = static_cast<const uint8_t *>(exact.im->data[0]);
                std::vector<uint8_t> first;
                for (const Level l : levels) {
                    tessera::detail::simd::use_at_most(l);
                    Image got(tessera_resize(src.im, n, rows, filter));
                    tessera::detail::simd::use_portable(false);
                    ASSERT_NE(got.im, nullptr) << tessera_last_error();
                    const auto *g = static_cast<const uint8_t *>(got.im->data[0]);
                    if (first.empty()) {
                        first.assign(g, g + out);
                    } else {
                        EXPECT_TRUE(std::equal(first.begin(), first.end(), g)) << "level " << static_cast<int>(l);
                    }
                    for (std::size_t k = 0; k < out; ++k) {
                        ASSERT_LE(std::abs(g[k] - e[k]), 1) << "sample " << k << " level " << static_cast<int>(l);
                        if (flat) {
                            ASSERT_EQ(g[k], 201) << "sample " << k;
                        }
                        off_by_one += g[k] != e[k];
                    }
                    compared += static_cast<long>(out);
                }
            }
    EXPECT_GT(compared, 100000);
    EXPECT_GT(off_by_one, 100); // the fixed-point path ran
}

// Whole-number images shrunk with the box by powers of two are summed in integers: the same
// values, ties (one block in 2^k) included, as the definition's sums in doubles.
TEST(Resize, BoxShrinkingByPowersOfTwoMatchesTheWrittenDefinition) {
    std::mt19937 rng(tessera::test::test_seed(27));
    std::uniform_int_distribution<int32_t> size(1, 23);
    long compared = 0;
    for (const TagInfo &t : tags)
        for (const auto &[kx, ky] : {std::pair{2, 2}, {4, 4}, {1, 2}, {8, 2}, {2, 1}, {16, 4}, {1, 1}}) {
            const int32_t n = size(rng), rows = size(rng);
            Image src(t.tag, n * kx, rows * ky, 7, -3);
            randomise(src, t, rng);
            SCOPED_TRACE("factors " + std::to_string(kx) + ", " + std::to_string(ky));
            compared += expect_reference_values(src, t, n, rows, TESSERA_BOX);
        }
    EXPECT_GT(compared, 3000);
}

// Nearest sampling gathers small elements a word at a time, reading three-byte ones as four:
// never past the pixels of an image wrapping caller memory of exactly its size (the sanitizers
// and valgrind see any such read), with the pixels of the index formula.
TEST(Resize, NearestSamplingReadsNothingPastWrappedPixels) {
    std::mt19937 rng(5);
    for (const uint16_t tag : {IMAGE_GRAY, IMAGE_RGB, IMAGE_SHORT, IMAGE_INT}) {
        const std::size_t size = tag == IMAGE_RGB ? 3 : tag == IMAGE_SHORT ? 2 : tag == IMAGE_INT ? 4 : 1;
        for (const auto &[w, h] : {std::pair{1, 1}, {3, 2}, {17, 5}, {9, 1}}) {
            std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * size);
            for (unsigned char &b : pixels) b = static_cast<unsigned char>(rng());
            Image src(static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, w, h, 0, 0, pixels.data(), 0, 0, nullptr)));
            ASSERT_NE(src.im, nullptr);
            for (const auto &[n, rows] : {std::pair{w * 3, h * 2}, {1, 1}, {w, h}, {w * 8 + 1, 1}}) {
                Image out(tessera_resize(src.im, n, rows, TESSERA_NEAREST));
                Image scaled(imScale(src.im, n, rows));
                ASSERT_NE(out.im, nullptr);
                ASSERT_NE(scaled.im, nullptr);
                for (int32_t y = 0; y < rows; ++y)
                    for (int32_t x = 0; x < n; ++x) {
                        const int32_t sx = static_cast<int32_t>((2 * int64_t{x} + 1) * w / (2 * int64_t{n}));
                        const int32_t sy = static_cast<int32_t>((2 * int64_t{y} + 1) * h / (2 * int64_t{rows}));
                        const unsigned char *want = pixels.data() + (static_cast<std::size_t>(sy) * w + sx) * size;
                        const auto *got = static_cast<const unsigned char *>(out.im->data[y]) + x * size;
                        ASSERT_EQ(std::memcmp(got, want, size), 0) << "tag " << tag << " " << w << "x" << h << " to "
                                                                   << n << "x" << rows << " at " << x << ", " << y;
                    }
            }
        }
    }
}

TEST(Resize, KnownValuesSampleAtPixelCentres) {
    Image row(IMAGE_GRAY, 4, 1);
    const uint8_t values[] = {0, 85, 170, 255};
    for (int x = 0; x < 4; ++x) put(row, tags[0], x, 0, 0, values[x]);
    Image up(tessera_resize(row.im, 8, 1, TESSERA_NEAREST));
    std::vector<double> seen;
    for (int x = 0; x < 8; ++x) seen.push_back(get(up, tags[0], x, 0, 0));
    EXPECT_EQ(seen, (std::vector<double>{0, 0, 85, 85, 170, 170, 255, 255}));
    Image half(tessera_resize(row.im, 2, 1, TESSERA_BOX)); // (0 + 85) / 2 = 42.5, (170 + 255) / 2 = 212.5
    EXPECT_EQ(get(half, tags[0], 0, 0, 0), 43);
    EXPECT_EQ(get(half, tags[0], 1, 0, 0), 213);
    Image same(tessera_resize(row.im, 4, 1, TESSERA_LANCZOS3));
    for (int x = 0; x < 4; ++x) EXPECT_EQ(get(same, tags[0], x, 0, 0), values[x]);
}

// Every flip, rotation and transpose of a random w x h image of each tag, pixel by pixel against
// the index formulas, offsets included.
void expect_exact_turns(int32_t w, int32_t h, std::mt19937 &rng) {
    for (const TagInfo &t : tags) {
        Image src(t.tag, w, h, 5, -8);
        randomise(src, t, rng);
        struct Case {
            const char *name;
            AnyImageStruct *made;
            bool swaps;
            std::pair<int32_t, int32_t> (*from)(int32_t, int32_t, int32_t, int32_t);
        };
        const Case cases[] = {
            {"flip horizontal", tessera_flip_horizontal(src.im), false,
             [](int32_t x, int32_t y, int32_t sw, int32_t) {
                 return std::pair{sw - 1 - x, y};
             }},
            {"flip vertical", tessera_flip_vertical(src.im), false,
             [](int32_t x, int32_t y, int32_t, int32_t sh) {
                 return std::pair{x, sh - 1 - y};
             }},
            {"rotate 180", tessera_rotate(src.im, 180), false,
             [](int32_t x, int32_t y, int32_t sw, int32_t sh) {
                 return std::pair{sw - 1 - x, sh - 1 - y};
             }},
            {"rotate 90", tessera_rotate(src.im, 90), true,
             [](int32_t x, int32_t y, int32_t, int32_t sh) {
                 return std::pair{y, sh - 1 - x};
             }},
            {"rotate -270", tessera_rotate(src.im, -270), true,
             [](int32_t x, int32_t y, int32_t, int32_t sh) {
                 return std::pair{y, sh - 1 - x};
             }},
            {"rotate 270", tessera_rotate(src.im, 270), true,
             [](int32_t x, int32_t y, int32_t sw, int32_t) {
                 return std::pair{sw - 1 - y, x};
             }},
            {"transpose", tessera_transpose(src.im), true,
             [](int32_t x, int32_t y, int32_t, int32_t) {
                 return std::pair{y, x};
             }},
        };
        for (const Case &k : cases) {
            SCOPED_TRACE(std::string(k.name) + " of tag " + std::to_string(t.tag));
            Image out(k.made);
            ASSERT_NE(out.im, nullptr) << tessera_last_error();
            EXPECT_EQ(out.w(), k.swaps ? h : w);
            EXPECT_EQ(out.h(), k.swaps ? w : h);
            EXPECT_EQ(out.im->header->xoffset, k.swaps ? -8 : 5);
            EXPECT_EQ(out.im->header->yoffset, k.swaps ? 5 : -8);
            int wrong = 0;
            for (int32_t y = 0; y < out.h(); ++y)
                for (int32_t x = 0; x < out.w(); ++x) {
                    const auto [sx, sy] = k.from(x, y, w, h);
                    const std::size_t size = t.channel_size * static_cast<std::size_t>(t.channels);
                    if (std::memcmp(channel_at(out, t, x, y, 0), channel_at(src, t, sx, sy, 0), size) != 0 &&
                        wrong++ < 3)
                        ADD_FAILURE() << "pixel (" << x << ", " << y << ") is not source (" << sx << ", " << sy << ")";
                }
        }
    }
}

TEST(Turns, FlipsRotationsAndTransposesMoveEveryPixelExactly) {
    std::mt19937 rng(7);
    expect_exact_turns(67, 130, rng); // more than one tile each way, neither side a multiple of it
}

// Rows reverse in whole windows (48 bytes, or a word where the machine has no byte shuffles) and
// the elements left over; widths below, at and past a window, with each way of reversing.
TEST(Turns, FlipsReverseEveryWidthExactlyWithAndWithoutByteShuffles) {
    std::mt19937 rng(8);
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "a word at a time" : "by byte shuffles where the machine has them");
        tessera::detail::simd::use_portable(plain);
        for (const int32_t w : {1, 2, 7, 8, 9, 16, 17, 48, 49, 97}) expect_exact_turns(w, 3, rng);
        tessera::detail::simd::use_portable(false);
    }
}

// Results of 8 MiB and more are written in whole tiles around the caches; rows of a width that
// streams (1024 elements) and of one that does not (1027), for each element size.
TEST(Turns, LargeQuarterTurnsMoveEveryPixelExactly) {
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr; // under valgrind: RGB only
    std::mt19937 rng(11);
    for (const TagInfo &t : tags) {
        const std::size_t size = t.channel_size * static_cast<std::size_t>(t.channels);
        if (t.tag == IMAGE_BINARY || t.tag == IMAGE_FLOAT || t.tag == IMAGE_FLOAT3B || (small && t.tag != IMAGE_RGB))
            continue; // one tag of each element size
        for (const int32_t h : {1024, 1027}) {
            const auto w = static_cast<int32_t>((std::size_t{17} << 19) / (size * 1024) + 3);
            Image src(t.tag, w, h);
            auto *first = static_cast<unsigned char *>(src.im->data[0]);
            for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h * size; ++i)
                first[i] = static_cast<unsigned char>(rng());
            for (const int degrees : {90, 270}) {
                SCOPED_TRACE(std::to_string(degrees) + " degrees of tag " + std::to_string(t.tag) + ", " +
                             std::to_string(w) + " x " + std::to_string(h));
                Image out(tessera_rotate(src.im, degrees));
                ASSERT_NE(out.im, nullptr) << tessera_last_error();
                int wrong = 0;
                for (int32_t y = 0; y < w && wrong < 3; ++y) {
                    const auto *row = static_cast<const unsigned char *>(out.im->data[y]);
                    for (int32_t x = 0; x < h; ++x) {
                        const int32_t sx = degrees == 90 ? y : w - 1 - y, sy = degrees == 90 ? h - 1 - x : x;
                        const unsigned char *from = first + (static_cast<std::size_t>(sy) * w + sx) * size;
                        if (std::memcmp(row + static_cast<std::size_t>(x) * size, from, size) != 0 && wrong++ < 3)
                            ADD_FAILURE()
                                << "pixel (" << x << ", " << y << ") is not source (" << sx << ", " << sy << ")";
                    }
                }
            }
        }
    }
}

TEST(Resize, HostileSizesAndArgumentsFailWithAReason) {
    Image src(IMAGE_GRAY, 4, 3);
    const auto fails = [](AnyImageStruct *made, const char *reason) {
        EXPECT_EQ(made, nullptr);
        if (made) im_Free_(made, made->header->tag);
        EXPECT_NE(std::string(tessera_last_error()).find(reason), std::string::npos) << tessera_last_error();
    };
    fails(tessera_resize(src.im, 0, 3, TESSERA_BOX), "no pixels");
    fails(tessera_resize(src.im, 3, -1, TESSERA_BOX), "no pixels");
    fails(tessera_resize(src.im, 3, 3, 5), "unknown filter");
    fails(tessera_resize(src.im, 3, 3, -1), "unknown filter");
    fails(tessera_resize(src.im, 3, 3, 5 | TESSERA_EXACT), "unknown filter");
    fails(tessera_resize(src.im, 3, 3, TESSERA_BOX | 0x200), "unknown filter"); // no such flag
    Image doubles(IMAGE_DOUBLE, 4, 3); // 2^65 bytes of result: refused before any allocation
    fails(tessera_resize(doubles.im, INT32_MAX, INT32_MAX, TESSERA_BILINEAR), "more than the budget");
    const uint64_t before = tessera_set_budget(UINT64_MAX);
    fails(tessera_resize(doubles.im, INT32_MAX, INT32_MAX, TESSERA_BILINEAR), "does not fit in memory");
    tessera_set_budget(before);
    fails(tessera_resize(nullptr, 3, 3, TESSERA_BOX), "no image");
    fails(tessera_rotate(src.im, 45), "90, 180 or 270");
    fails(tessera_rotate(src.im, 0), "90, 180 or 270");
    fails(tessera_flip_vertical(nullptr), "no image");
    Image st(static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 5, 64, nullptr)));
    ASSERT_NE(st.im, nullptr);
    fails(tessera_transpose(st.im), "cannot be transformed");
    fails(tessera_resize(st.im, 3, 3, TESSERA_NEAREST), "cannot be transformed");
    // one pixel to many and many to one
    Image one(IMAGE_DOUBLE, 1, 1);
    put(one, tags[5], 0, 0, 0, 2.5);
    for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter) {
        Image big(tessera_resize(one.im, 9, 1, filter));
        ASSERT_NE(big.im, nullptr);
        EXPECT_EQ(get(big, tags[5], 8, 0, 0), 2.5) << filter_name(filter);
        Image back(tessera_resize(big.im, 1, 1, filter));
        EXPECT_NEAR(get(back, tags[5], 0, 0, 0), 2.5, 1e-15) << filter_name(filter);
    }
}

TEST(Resize, EveryAllocationFailureGivesNullAndLeaksNothing) {
    Image src(IMAGE_RGB, 9, 7);
    const auto release = [](AnyImageStruct *im) { im_Free_(im, im->header->tag); };
    for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter)
        for (const int exact : {0, TESSERA_EXACT})
            EXPECT_GE(each_failure_gives_null([&] { return tessera_resize(src.im, 4, 11, filter | exact); }, release),
                      2);
    EXPECT_GE(each_failure_gives_null([&] { return tessera_rotate(src.im, 90); }, release), 1);
    EXPECT_GE(each_failure_gives_null([&] { return tessera_flip_horizontal(src.im); }, release), 1);
}

std::size_t element_of(uint16_t tag) {
    for (const TagInfo &t : tags)
        if (t.tag == tag) return static_cast<std::size_t>(t.channels) * t.channel_size;
    return 0;
}

// Rows of an image given one at a time, as a decoder gives them; it checks that they are asked
// for top to bottom, each once at most, and stops at row stop_at.
struct RowsOf {
    const Image &src;
    int32_t stop_at = -1, last = -1;
    bool in_order = true;
    static int read(void *context, int32_t y, void *row) {
        auto *r = static_cast<RowsOf *>(context);
        r->in_order = r->in_order && y > r->last;
        r->last = y;
        if (y == r->stop_at) return -1;
        const ImageHeader *h = r->src.im->header;
        const std::size_t elem = element_of(h->tag);
        std::memcpy(row, static_cast<const char *>(r->src.im->data[h->yoffset + y]) + h->xoffset * elem,
                    static_cast<std::size_t>(h->width) * elem);
        return 0;
    }
};

TEST(ResizeRows, RowByRowGivesTheWholeResizeByteForByte) {
    std::mt19937 rng(tessera::test::test_seed(28));
    std::uniform_int_distribution<int32_t> size(1, 40);
    int compared = 0;
    for (const TagInfo &t : tags)
        for (int f = TESSERA_NEAREST; f <= 2 * TESSERA_LANCZOS3 + 1; ++f) // each filter fixed and exact
            for (int round = 0; round < 5; ++round) {
                const int filter = f / 2 | (f % 2 ? TESSERA_EXACT : 0);
                const int32_t w = size(rng) * (round == 4 ? 4 : 1), h = size(rng) * (round == 4 ? 8 : 1);
                // shrink, enlarge, either, tall shrinks (more taps than rows at once), whole blocks
                const int32_t n = round == 0   ? std::max(1, w / 3)
                                  : round == 1 ? w * 2 + 1
                                  : round == 4 ? w / 4
                                               : size(rng);
                const int32_t rows = round == 0   ? std::max(1, h / 3)
                                     : round == 1 ? h * 3 - 1
                                     : round == 3 ? std::max(1, h / 17)
                                     : round == 4 ? h / 8
                                                  : size(rng);
                Image src(t.tag, w, h, 5, -2);
                randomise(src, t, rng);
                const Image want(tessera_resize(src.im, n, rows, filter));
                RowsOf reader{src};
                const Image got(tessera_resize_rows(t.tag, w, h, RowsOf::read, &reader, n, rows, filter));
                ASSERT_NE(got.im, nullptr) << tessera_last_error();
                ASSERT_TRUE(reader.in_order);
                const std::size_t bytes = static_cast<std::size_t>(n) * element_of(t.tag);
                // and with the result made a row at a time
                RowsOf again{src};
                tessera_resizer *z = tessera_resizer_new(t.tag, w, h, RowsOf::read, &again, n, rows, filter);
                ASSERT_NE(z, nullptr) << tessera_last_error();
                std::vector<unsigned char> row(bytes);
                for (int32_t y = 0; y < rows; ++y) {
                    ASSERT_EQ(std::memcmp(got.im->data[y], static_cast<const char *>(want.im->data[y]), bytes), 0)
                        << "tag " << t.tag << " filter " << filter << " " << w << "x" << h << " to " << n << "x" << rows
                        << " row " << y;
                    ASSERT_EQ(tessera_resizer_row(z, row.data()), 0) << tessera_last_error();
                    ASSERT_EQ(std::memcmp(row.data(), want.im->data[y], bytes), 0) << "made row " << y;
                }
                EXPECT_EQ(tessera_resizer_row(z, row.data()), -1); // every row is made
                tessera_resizer_free(z);
                ASSERT_TRUE(again.in_order);
                ++compared;
            }
    EXPECT_EQ(compared, 13 * 10 * 5);
}

TEST(ResizeRows, AReaderThatStopsAndWrongArgumentsFailWithAReason) {
    Image src(IMAGE_RGB, 30, 20);
    RowsOf reader{src, 7};
    EXPECT_EQ(tessera_resize_rows(IMAGE_RGB, 30, 20, RowsOf::read, &reader, 10, 5, TESSERA_BICUBIC), nullptr);
    EXPECT_NE(std::strstr(tessera_last_error(), "stopped at row 7"), nullptr) << tessera_last_error();
    RowsOf whole{src};
    EXPECT_EQ(tessera_resize_rows(IMAGE_RGB, 30, 20, nullptr, &whole, 10, 5, TESSERA_BICUBIC), nullptr);
    EXPECT_EQ(tessera_resize_rows(IMAGE_RGB, 30, 0, RowsOf::read, &whole, 10, 5, TESSERA_BICUBIC), nullptr);
    EXPECT_EQ(tessera_resize_rows(IMAGE_RGB, 30, 20, RowsOf::read, &whole, 10, 5, 9), nullptr);
    EXPECT_EQ(tessera_resize_rows(3, 30, 20, RowsOf::read, &whole, 10, 5, TESSERA_BICUBIC), nullptr);
    EXPECT_STRNE(tessera_last_error(), "");
    EXPECT_EQ(tessera_resizer_new(IMAGE_RGB, 30, 20, nullptr, &whole, 10, 5, 1), nullptr);
    EXPECT_EQ(tessera_resizer_row(nullptr, nullptr), -1);
    const auto release = [](AnyImageStruct *im) { im_Free_(im, im->header->tag); };
    for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter)
        EXPECT_GE(each_failure_gives_null(
                      [&] {
                          RowsOf r{src};
                          return tessera_resize_rows(IMAGE_RGB, 30, 20, RowsOf::read, &r, 15, 10, filter);
                      },
                      release),
                  2);
    for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter)
        EXPECT_GE(each_failure_gives_null(
                      [&] { return tessera_resizer_new(IMAGE_RGB, 30, 20, RowsOf::read, &whole, 15, 10, filter); },
                      tessera_resizer_free),
                  2);
}

// The rules every face takes from the library: the filters' names, the size of a resize with a
// side left out, and the angles of a rotation.
TEST(GeometryRules, FilterNamesSizesAndAnglesHaveOneHome) {
    for (int f = TESSERA_NEAREST; f <= TESSERA_LANCZOS3; ++f) {
        ASSERT_NE(tessera_filter_name(f), nullptr);
        EXPECT_EQ(tessera_filter_named(tessera_filter_name(f)), f);
    }
    EXPECT_STREQ(tessera_filter_name(TESSERA_LANCZOS3), "lanczos3");
    EXPECT_EQ(tessera_filter_name(-1), nullptr);
    EXPECT_EQ(tessera_filter_name(TESSERA_LANCZOS3 + 1), nullptr);
    EXPECT_STREQ(tessera_filter_name(TESSERA_BICUBIC | TESSERA_EXACT), "bicubic"); // the flag is no filter of its own
    EXPECT_EQ(tessera_filter_name(TESSERA_EXACT | (TESSERA_LANCZOS3 + 1)), nullptr);
    EXPECT_EQ(tessera_filter_named("Bicubic"), -1);
    EXPECT_EQ(tessera_filter_named(""), -1);
    EXPECT_EQ(tessera_filter_named(nullptr), -1);

    struct Size {
        int32_t w, h;
        int64_t nw, nh;
        int32_t want_w, want_h; // 0: refused
    };
    const Size sizes[] = {
        {1600, 1200, 800, 0, 800, 600},
        {1600, 1200, 0, 300, 400, 300},
        {1600, 1200, 640, 480, 640, 480},
        {3, 2, 2, 0, 2, 1},                  // 1.33.. rounds down
        {4, 3, 2, 0, 2, 2},                  // 1.5: halves round up
        {1000, 1, 10, 0, 10, 1},             // at least one pixel
        {1, 1000, 0, 1, 1, 1},               //
        {1, 2147483647, 2, 0, 0, 0},         // the other side past 32 bits
        {10, 10, 0, 0, 0, 0},                // both left out
        {10, 10, -1, 5, 0, 0},               // negative
        {10, 10, int64_t{1} << 31, 5, 0, 0}, // beyond a side
        {0, 10, 5, 0, 0, 0},                 // no source pixels
        {2147483647, 2147483647, 2147483647, 0, 2147483647, 2147483647},
    };
    for (const Size &s : sizes) {
        int32_t w = -7, h = -7;
        const int32_t r = tessera_resize_size(s.w, s.h, s.nw, s.nh, &w, &h);
        if (s.want_w == 0) {
            EXPECT_EQ(r, -1) << s.w << "x" << s.h << " to " << s.nw << "x" << s.nh;
            EXPECT_NE(std::strlen(tessera_last_error()), 0u);
            EXPECT_EQ(w, -7); // nothing written on failure
        } else {
            EXPECT_EQ(r, 0) << s.w << "x" << s.h << " to " << s.nw << "x" << s.nh << ": " << tessera_last_error();
            EXPECT_EQ(w, s.want_w) << s.w << "x" << s.h << " to " << s.nw << "x" << s.nh;
            EXPECT_EQ(h, s.want_h) << s.w << "x" << s.h << " to " << s.nw << "x" << s.nh;
        }
    }
    int32_t w = 0;
    EXPECT_EQ(tessera_resize_size(4, 4, 2, 0, &w, nullptr), -1);

    for (int64_t d : {90, 180, 270, -90, -180, -270}) EXPECT_TRUE(tessera_rotation_allowed(d)) << d;
    for (int64_t d : std::initializer_list<int64_t>{0, 45, 360, -360, 450, 91, int64_t{90} + (int64_t{1} << 32)})
        EXPECT_FALSE(tessera_rotation_allowed(d)) << d;
}

// "over": known values, placement by offsets, untouched pixels outside top, 16 bits, refusals.
TEST(Over, AlphaCompositesWhereTheImagesMeet) {
    Image bottom(IMAGE_RGB, 4, 3, 10, 20);
    for (int32_t y = 20; y < 23; ++y)
        for (int32_t x = 10; x < 14; ++x) static_cast<RGB *>(bottom.im->data[y])[x] = RGB{0, 0, 255};
    Image top(IMAGE_RGBA, 2, 2, 12, 21); // covers columns 12..13 of rows 21..22
    static_cast<RGBA *>(top.im->data[21])[12] = RGBA{255, 0, 0, 128};
    static_cast<RGBA *>(top.im->data[21])[13] = RGBA{255, 255, 255, 0};
    static_cast<RGBA *>(top.im->data[22])[12] = RGBA{10, 20, 30, 255};
    static_cast<RGBA *>(top.im->data[22])[13] = RGBA{200, 100, 0, 51};
    Image out(tessera_over(top.im, bottom.im));
    ASSERT_NE(out.im, nullptr) << tessera_last_error();
    EXPECT_EQ(out.im->header->tag, IMAGE_RGB);
    EXPECT_EQ(out.im->header->xoffset, 10);
    const auto at = [&](int32_t x, int32_t y) { return static_cast<RGB *>(out.im->data[y])[x]; };
    const RGB half = at(12, 21), clear = at(13, 21), opaque = at(12, 22), fifth = at(13, 22);
    EXPECT_TRUE(half.r == 128 && half.g == 0 && half.b == 127);
    EXPECT_TRUE(clear.r == 0 && clear.g == 0 && clear.b == 255);
    EXPECT_TRUE(opaque.r == 10 && opaque.g == 20 && opaque.b == 30);
    EXPECT_TRUE(fifth.r == 40 && fifth.g == 20 && fifth.b == 204); // 255 * 0.8 = 204
    EXPECT_TRUE(at(11, 21).b == 255 && at(12, 20).b == 255 && at(12, 20).r == 0) << "outside top: as it was";

    // Over a bottom with alpha: both alphas count; a clear bottom takes top as it is.
    Image clear_bottom(IMAGE_RGBA16, 3, 1);
    static_cast<RGBA16 *>(clear_bottom.im->data[0])[1] = RGBA16{0, 0, 65535, 32768};
    Image deep_top(IMAGE_RGBA16, 3, 1);
    static_cast<RGBA16 *>(deep_top.im->data[0])[0] = RGBA16{1000, 2000, 3000, 4000};
    static_cast<RGBA16 *>(deep_top.im->data[0])[1] = RGBA16{65535, 0, 0, 32768};
    Image deep(tessera_over(deep_top.im, clear_bottom.im));
    ASSERT_NE(deep.im, nullptr) << tessera_last_error();
    const RGBA16 a = static_cast<RGBA16 *>(deep.im->data[0])[0], b = static_cast<RGBA16 *>(deep.im->data[0])[1];
    EXPECT_TRUE(a.r == 1000 && a.g == 2000 && a.b == 3000 && a.a == 4000);
    // at = ab = 32768 / 65535: alpha 3/4, red 2/3 of the colour, blue 1/3
    const double f = 32768.0 / 65535.0, alpha = f + f * (1 - f);
    EXPECT_EQ(b.a, static_cast<uint16_t>(std::floor(alpha * 65535 + 0.5)));
    EXPECT_EQ(b.r, static_cast<uint16_t>(std::floor(65535 * f / alpha + 0.5)));
    EXPECT_EQ(b.b, static_cast<uint16_t>(std::floor(65535 * f * (1 - f) / alpha + 0.5)));

    Image gray(IMAGE_GRAY, 2, 2);
    EXPECT_EQ(tessera_over(top.im, gray.im), nullptr);
    EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_UNSUPPORTED);
    EXPECT_EQ(tessera_over(deep_top.im, bottom.im), nullptr) << "8 and 16 bits do not mix";
    EXPECT_EQ(tessera_over(nullptr, bottom.im), nullptr);
}
