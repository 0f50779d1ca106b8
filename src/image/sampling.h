// Copies by element size and sampling through row and column tables, shared by the image
// additions (imScale) and the geometry (nearest resizing, turns). Pixel blocks are one run of
// width * height elements from the first pixel.
#pragma once

#include <cstring>

#include "image_internal.h"
#include "support/alloc.h"
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
    case 8: return f(Unit<8>{});
    default: return f(Unit<12>{});
    }
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
            for (std::size_t x = 0; x < out_width; ++x) d[x] = s[cols[x]];
        }
    });
    mem_free(cols);
    return out;
}

} // namespace tessera::detail
