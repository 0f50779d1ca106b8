// Laying one image over another by alpha ("over"), in the images' own index spaces.
#include <tessera/geometry.h>

#include <cmath>
#include <cstring>

#include "image_internal.h"
#include "sampling.h"
#include "support/error.h"

namespace {

using tessera::detail::Err;
using tessera::detail::fail;

// The colour types that can be laid over each other, with their depth and alpha.
struct Kind {
    int bits; // 8 or 16; 0: not a colour type of this operation
    bool alpha;
};
Kind kind_of(uint16_t tag) {
    switch (tag) {
    case IMAGE_RGB: return {8, false};
    case IMAGE_RGBA: return {8, true};
    case IMAGE_RGB16: return {16, false};
    case IMAGE_RGBA16: return {16, true};
    default: return {0, false};
    }
}

// Rounds a value of 0..top to the nearest sample, halves up.
template <class T> T sample(double v, double top) {
    v = std::floor(v + 0.5);
    return static_cast<T>(v < 0 ? 0 : v > top ? top : v);
}

// Every pixel of bottom that top covers, laid over: a = at + ab (1 - at) and each colour
// (ct at + cb ab (1 - at)) / a, with alphas as fractions of the largest sample.
template <class T> void lay_over(const AnyImageStruct *top, AnyImageStruct *out, Kind tk, Kind bk, int64_t x0,
                                 int64_t x1, int64_t y0, int64_t y1) {
    constexpr double most = sizeof(T) == 1 ? 255.0 : 65535.0;
    const int tn = tk.alpha ? 4 : 3, bn = bk.alpha ? 4 : 3;
    for (int64_t y = y0; y < y1; ++y) {
        const T *t = static_cast<const T *>(top->data[y]);
        T *b = static_cast<T *>(out->data[y]);
        for (int64_t x = x0; x < x1; ++x) {
            const T *tp = t + x * tn;
            T *bp = b + x * bn;
            const double at = tk.alpha ? tp[3] / most : 1.0, ab = bk.alpha ? bp[3] / most : 1.0;
            const double rest = ab * (1.0 - at), a = at + rest;
            for (int c = 0; c < 3; ++c) bp[c] = a > 0.0 ? sample<T>((tp[c] * at + bp[c] * rest) / a, most) : T{0};
            if (bk.alpha) bp[3] = sample<T>(a * most, most);
        }
    }
}

} // namespace

extern "C" AnyImageStruct *tessera_over(const AnyImageStruct *top, const AnyImageStruct *bottom) {
    if (!top || !bottom) return fail(Err::argument, "no image"), nullptr;
    const Kind tk = kind_of(top->header->tag), bk = kind_of(bottom->header->tag);
    if (!tk.bits || !bk.bits || tk.bits != bk.bits)
        return fail(Err::unsupported,
                    "only RGB and RGBA images are laid over each other, of one depth (8 or 16 bits): tags %u and %u",
                    top->header->tag, bottom->header->tag),
               nullptr;
    AnyImageStruct *out = static_cast<AnyImageStruct *>(im_Dup_(const_cast<AnyImageStruct *>(bottom), bottom->header));
    if (!out) return fail(Err::memory, "out of memory for the composite"), nullptr;
    const ImageHeader *t = top->header, *b = bottom->header;
    const int64_t x0 = std::max<int64_t>(t->xoffset, b->xoffset);
    const int64_t x1 = std::min<int64_t>(int64_t{t->xoffset} + t->width, int64_t{b->xoffset} + b->width);
    const int64_t y0 = std::max<int64_t>(t->yoffset, b->yoffset);
    const int64_t y1 = std::min<int64_t>(int64_t{t->yoffset} + t->height, int64_t{b->yoffset} + b->height);
    if (tk.bits == 8) lay_over<uint8_t>(top, out, tk, bk, x0, x1, y0, y1);
    else lay_over<uint16_t>(top, out, tk, bk, x0, x1, y0, y1);
    return out;
}
