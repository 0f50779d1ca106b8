// Every operation with a vector path gives the same bytes through the portable path, which runs
// here on every machine: resizing bytes, quarter turns (tiles, streamed stores), reversed rows,
// extrema of floats, large fills, colour mixing and binary fills.
#include <tessera.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "image/image_internal.h"
#include "simd/seam.h"

namespace {

using tessera::detail::fixed_elem_size;

// The bytes of an image's pixels, row by row.
std::string pixels(void *im) {
    if (!im) return "null: " + std::string(tessera_last_error());
    const ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
    const std::size_t row = static_cast<std::size_t>(h->width) * fixed_elem_size(h->tag);
    std::string bytes;
    for (int32_t y = 0; y < h->height; ++y)
        bytes.append(static_cast<const char *>(static_cast<AnyImageStruct *>(im)->data[y + h->yoffset]) +
                         static_cast<std::size_t>(h->xoffset) * fixed_elem_size(h->tag),
                     row);
    im_Free_(im, h->tag);
    return bytes;
}

AnyImageStruct *random_image(uint16_t tag, int32_t w, int32_t h, std::mt19937 &rng) {
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, w, h, 0, 0, nullptr, 0, 0, nullptr));
    const std::size_t size = fixed_elem_size(tag);
    for (int32_t y = 0; y < h; ++y) {
        auto *row = static_cast<unsigned char *>(im->data[y]);
        for (std::size_t k = 0; k < static_cast<std::size_t>(w) * size; ++k) row[k] = static_cast<unsigned char>(rng());
        if (tag == IMAGE_BINARY)
            for (int32_t x = 0; x < w; ++x) row[x] &= 1;
        if (tag == IMAGE_FLOAT || tag == IMAGE_DOUBLE)
            for (int32_t x = 0; x < w; ++x) {
                const double v = std::ldexp(static_cast<double>(rng()) - 2147483648.0, -20);
                if (tag == IMAGE_FLOAT) {
                    const auto f = static_cast<float>(v);
                    std::memcpy(row + 4 * x, &f, 4);
                } else {
                    std::memcpy(row + 8 * x, &v, 8);
                }
            }
    }
    return im;
}

struct Case {
    const char *name;
    std::function<std::string()> run;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const int filter : {TESSERA_NEAREST, TESSERA_BILINEAR, TESSERA_BICUBIC, TESSERA_LANCZOS3})
        for (const uint16_t tag : {IMAGE_GRAY, IMAGE_RGB, IMAGE_RGBA})
            all.push_back({"resize", [=] {
                               std::mt19937 rng(filter * 31 + tag);
                               AnyImageStruct *im = random_image(tag, 203, 77, rng);
                               std::string both = pixels(tessera_resize(im, 61, 150, filter));
                               both += pixels(tessera_resize(im, 450, 31, filter));
                               im_Free_(im, tag);
                               return both;
                           }});
    // Quarter turns and transposes in tiles (streamed past 8 MiB), flips by reversed rows.
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr; // under valgrind: no streamed stores
    for (const uint16_t tag : {IMAGE_GRAY, IMAGE_SHORT, IMAGE_RGB, IMAGE_FLOAT, IMAGE_DOUBLE, IMAGE_FLOAT3A, IMAGE_RGBA,
                               IMAGE_RGB16, IMAGE_RGBA16})
        for (const bool large : {false, !small})
            all.push_back({"turns", [=] {
                               std::mt19937 rng(tag + large);
                               const int32_t w = large ? 4096 : 131,
                                             h = large ? static_cast<int32_t>(2304 / fixed_elem_size(tag)) : 67;
                               AnyImageStruct *im = random_image(tag, w, h, rng);
                               std::string all = pixels(tessera_rotate(im, 90)) + pixels(tessera_rotate(im, 270)) +
                                                 pixels(tessera_transpose(im));
                               if (!large) all += pixels(tessera_flip_horizontal(im)) + pixels(tessera_rotate(im, 180));
                               im_Free_(im, tag);
                               return all;
                           }});
    for (const uint16_t tag : {IMAGE_FLOAT, IMAGE_DOUBLE, IMAGE_FLOAT3A})
        for (const bool nan : {false, true})
            all.push_back({"extrema", [=] {
                               std::mt19937 rng(tag * 2 + nan);
                               AnyImageStruct *im = random_image(tag, 301, 19, rng);
                               if (nan) {
                                   const float f = std::numeric_limits<float>::quiet_NaN();
                                   const double d = std::numeric_limits<double>::quiet_NaN();
                                   auto *row = static_cast<unsigned char *>(im->data[7]);
                                   if (tag == IMAGE_DOUBLE) std::memcpy(row + 8 * 123, &d, 8);
                                   else std::memcpy(row + 4 * 123, &f, 4);
                               }
                               double hi[3] = {}, lo[3] = {};
                               im_MaxAndMin_(im, im->header, hi, lo);
                               im_Free_(im, tag);
                               return std::string(reinterpret_cast<const char *>(hi), sizeof hi) +
                                      std::string(reinterpret_cast<const char *>(lo), sizeof lo);
                           }});
    all.push_back({"large fill of three-byte pixels", [] {
                       auto *im = im_NewOrWrap_(IMAGE_RGB, 1001, 700, 3, 4, nullptr, 0, 0, nullptr);
                       RGB c{1, 2, 3};
                       im_Init_(im, static_cast<AnyImageStruct *>(im)->header, &c);
                       return pixels(im);
                   }});
    all.push_back({"colour mixing and a binary fill", [] {
                       PointList p = ptlNew(true, 0, 0, 200, 200, nullptr);
                       std::mt19937 rng(5);
                       for (int k = 0; k < 40; ++k)
                           ptlAddElem(p, ptlNewElem(PTL_LINE,
                                                    RGB{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                                                        static_cast<uint8_t>(rng())},
                                                    static_cast<float>(rng() % 30), static_cast<float>(rng() % 200),
                                                    static_cast<float>(rng() % 200), static_cast<float>(rng() % 200),
                                                    static_cast<float>(rng() % 200)));
                       ptlAddElem(p, ptlNewElem(PTL_ELLIPSE, RGB{9, 9, 9}, 3, 100, 100, 60, 40));
                       ptlAddElem(p, ptlNewElem(PTL_FILL, RGB{9, 9, 9}, 0, 100, 100, 0, 0));
                       std::string both = pixels(ptlRender(p, IMAGE_RGB, 2, 2, RGB{0, 0, 0}, nullptr));
                       both += pixels(ptlRender(p, IMAGE_BINARY, 3, 3, RGB{0, 0, 0}, nullptr));
                       ptlFree(p);
                       return both;
                   }});
    return all;
}

} // namespace

TEST(Simd, PortableAndVectorPathsGiveTheSameBytes) {
    SCOPED_TRACE(std::string("vector paths here: ") + tessera::detail::simd::chosen());
    for (const Case &c : cases()) {
        tessera::detail::simd::use_portable(false);
        const std::string vector = c.run();
        tessera::detail::simd::use_portable(true);
        EXPECT_STREQ(tessera::detail::simd::chosen(), "portable");
        const std::string portable = c.run();
        tessera::detail::simd::use_portable(false);
        EXPECT_EQ(vector.size(), portable.size()) << c.name;
        EXPECT_TRUE(vector == portable) << c.name;
        EXPECT_GT(vector.size(), 40u) << c.name << ": " << vector;
    }
}
