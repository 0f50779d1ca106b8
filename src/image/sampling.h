// Copies by element size and sampling through row and column tables, shared by the image
// additions (imScale) and the geometry (nearest resizing, turns). Pixel blocks are one run of
// width * height elements from the first pixel.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "image_internal.h"
#include "support/alloc.h"
#include "support/budget.h"
#include "support/error.h"

namespace tessera::detail {

template <std::size_t N> struct Unit { unsigned char b[N]; };

// Calls f with a Unit of the element size: every fixed-size element moves as a whole.
template <class F> void by_size(std::size_t size, F f) {
    switch (size) {
    case 1: return f(Unit<1>{});
    case 2: return f(Unit<2>{});
    case 3: return f(Unit<3>{});
    case 4: return f(Unit<4>{});
    case 6: return f(Unit<6>{});
    case 8: return f(Unit<8>{});
    default: return f(Unit<12>{});
    }
}

// Word-at-a-time moves of small elements, on the little-endian machines the callers check for.
// The N-byte element at p as the low bytes of a word; a three-byte element is read as four, so
// the byte after it must be readable.
template <std::size_t N> inline uint64_t get_element(const unsigned char *p) {
    if constexpr (N == 1) {
        return *p;
    } else if constexpr (N == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else if constexpr (N == 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        static_assert(N == 3 || N == 4);
        uint32_t v;
        std::memcpy(&v, p, 4);
        return N == 3 ? v & 0xFFFFFFu : v;
    }
}
// Eight three-byte elements (each the low bytes of a word) as three words.
inline std::array<uint64_t, 3> pack_eight(const std::array<uint64_t, 8> &p) {
    return {p[0] | p[1] << 24 | p[2] << 48, p[2] >> 16 | p[3] << 8 | p[4] << 32 | p[5] << 56,
            p[5] >> 8 | p[6] << 16 | p[7] << 40};
}
// The 8 / N elements of N bytes (N = 1, 2, 4 or 8) at at(0), at(1), ... as one word.
template <std::size_t N, class At> inline uint64_t pack_word(At at) {
    uint64_t word = 0;
    for (std::size_t k = 0; k < 8 / N; ++k) word |= get_element<N>(at(k)) << (8 * N * k % 64);
    return word;
}

// Writes d[x] = s[cols[x]] for x < n. Elements of one to four bytes are gathered into 64-bit
// words and stored a word at a time (on little-endian machines); three-byte ones are read as
// four bytes where readable(x) says the byte after element cols[x] may be read.
template <class U, class Readable>
void gather_row(U *d, const U *s, const int32_t *cols, std::size_t n, Readable readable) {
    constexpr std::size_t N = sizeof(U);
    std::size_t x = 0;
    if constexpr (std::endian::native == std::endian::little && N <= 4) {
        const auto *sb = reinterpret_cast<const unsigned char *>(s);
        auto *db = reinterpret_cast<unsigned char *>(d);
        const auto source = [&](std::size_t k) { return sb + N * static_cast<std::size_t>(cols[k]); };
        if constexpr (N == 3) {
            for (; x + 8 <= n && readable(x + 7); x += 8) {
                std::array<uint64_t, 8> p;
                for (std::size_t k = 0; k < 8; ++k) p[k] = get_element<3>(source(x + k));
                const std::array<uint64_t, 3> words = pack_eight(p);
                std::memcpy(db + 3 * x, words.data(), 24);
            }
        } else {
            for (; x + 8 / N <= n; x += 8 / N) {
                const uint64_t word = pack_word<N>([&](std::size_t k) { return source(x + k); });
                std::memcpy(db + N * x, &word, 8);
            }
        }
    }
    for (; x < n; ++x) d[x] = s[cols[x]];
}

// Fills out by sampling in: output pixel (x, y) is source (cols[x], rows[y]), the tables made
// by points(cols, rows). Returns out, or frees it and returns null with the reason when the
// tables do not fit in memory.
template <class Points> AnyImageStruct *sample_into(const AnyImageStruct *in, AnyImageStruct *out, Points points) {
    const ImageHeader *h = in->header;
    const int32_t n = out->header->width, ht = out->header->height;
    const std::size_t table = (static_cast<std::size_t>(n) + static_cast<std::size_t>(ht)) * sizeof(int32_t);
    auto *cols = static_cast<int32_t *>(mem_alloc(table));
    if (!cols) {
        im_Free_(out, out->header->tag);
        fail_memory(table, "the sample table");
        return nullptr;
    }
    int32_t *rows = cols + n;
    points(cols, rows);
    const std::size_t size = fixed_elem_size(h->tag);
    by_size(size, [&]<class U>(U) {
        const auto *src = reinterpret_cast<const U *>(first_pixel(const_cast<AnyImageStruct *>(in), h, size));
        auto *dst = reinterpret_cast<U *>(first_pixel(out, out->header, size));
        const auto width = static_cast<std::size_t>(h->width), out_width = static_cast<std::size_t>(n);
        for (int32_t y = 0; y < ht; ++y) {
            U *d = dst + static_cast<std::size_t>(y) * out_width;
            if (y > 0 && rows[y] == rows[y - 1]) { // the same source row again
                std::memcpy(d, d - out_width, out_width * sizeof(U));
                continue;
            }
            const U *s = src + static_cast<std::size_t>(rows[y]) * width;
            // a three-byte element is read as four: not the block's very last one
            const bool last_row = rows[y] == h->height - 1;
            gather_row(d, s, cols, out_width, [&](std::size_t x) { return !last_row || cols[x] < h->width - 1; });
        }
    });
    mem_free(cols);
    return out;
}

// A new image for the result, or null with the reason.
// A resized one is held to the budget; flips and turns are the size of their source.
inline AnyImageStruct *geometry_result(const AnyImageStruct *image, int64_t width, int64_t height, int32_t xoffset,
                                       int32_t yoffset, bool resized = false) {
    if (!image) return fail(Err::argument, "no image"), nullptr;
    if (fixed_elem_size(image->header->tag) == 0)
        return fail(Err::unsupported, "images of this element type cannot be transformed"), nullptr;
    if (resized && !within_budget(width, height, fixed_elem_size(image->header->tag), "result")) return nullptr;
    return static_cast<AnyImageStruct *>(create_image(image->header->tag, static_cast<int32_t>(width),
                                                      static_cast<int32_t>(height), xoffset, yoffset, nullptr, 0, 0,
                                                      nullptr, false));
}

} // namespace tessera::detail
