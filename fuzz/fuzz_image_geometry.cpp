// Any image that loads, resized by any filter to any small size, and flipped, turned and
// transposed: a turn and its inverse give back every byte, a resize gives the size asked with
// binary results of 0 and 1 and 8-bit ones within 1 of the exact values, and nothing reads or
// writes outside the images. The last five bytes of the input choose the operation and the
// size, so image files serve as seeds as they are.
#include <tessera/geometry.h>
#include <tessera/image.h>

#include <cstdlib>
#include <cstring>

#include "../src/image/image_internal.h"
#include "memfile.h"

namespace {

bool same_pixels(const AnyImageStruct *a, const AnyImageStruct *b) {
    const ImageHeader *h = a->header, *k = b->header;
    if (h->tag != k->tag || h->width != k->width || h->height != k->height) return false;
    const std::size_t size = tessera::detail::fixed_elem_size(h->tag);
    return std::memcmp(tessera::detail::first_pixel(const_cast<AnyImageStruct *>(a), h, size),
                       tessera::detail::first_pixel(const_cast<AnyImageStruct *>(b), k, size),
                       tessera::detail::pixel_count(h) * size) == 0;
}

void release(AnyImageStruct *im) {
    if (im) im_Free_(im, im->header->tag);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    const uint8_t *p = data + size - 5;
    const int fd = tessera::fuzz::memfile(data, size);
    if (fd < 0) return 0;
    auto *im = static_cast<AnyImageStruct *>(im_LoadH(0xffff, fd));
    tessera::fuzz::close_file(fd);
    if (!im || im->header->width > 4096 || im->header->height > 4096) return release(im), 0;
    const int op = p[0] % 6;
    if (op == 5) {
        const int filter = p[1] % 5;
        const int32_t w = 1 + (p[2] | (p[3] & 1) << 8), h = 1 + (p[4] | (p[3] & 2) << 7);
        AnyImageStruct *out = tessera_resize(im, w, h, filter);
        if (!out || out->header->width != w || out->header->height != h || out->header->tag != im->header->tag)
            std::abort();
        if (filter != TESSERA_NEAREST && out->header->tag == IMAGE_BINARY) {
            const auto *q = tessera::detail::first_pixel(out, out->header, 1);
            for (std::size_t i = 0; i < tessera::detail::pixel_count(out->header); ++i)
                if (q[i] > 1) std::abort();
        }
        // 8-bit gray and RGB run in fixed point: within 1 of the exact values
        if (out->header->tag == IMAGE_GRAY || out->header->tag == IMAGE_RGB) {
            AnyImageStruct *exact = tessera_resize(im, w, h, filter | TESSERA_EXACT);
            if (!exact) std::abort();
            const std::size_t n =
                tessera::detail::pixel_count(out->header) * tessera::detail::fixed_elem_size(out->header->tag);
            const auto *a = tessera::detail::first_pixel(out, out->header, 1);
            const auto *b = tessera::detail::first_pixel(exact, exact->header, 1);
            for (std::size_t i = 0; i < n; ++i)
                if (a[i] - b[i] > 1 || b[i] - a[i] > 1) std::abort();
            release(exact);
        }
        release(out);
        release(im);
        return 0;
    }
    AnyImageStruct *there = nullptr, *back = nullptr;
    switch (op) {
    case 0: there = tessera_flip_horizontal(im), back = there ? tessera_flip_horizontal(there) : nullptr; break;
    case 1: there = tessera_flip_vertical(im), back = there ? tessera_flip_vertical(there) : nullptr; break;
    case 2: there = tessera_rotate(im, 90), back = there ? tessera_rotate(there, -90) : nullptr; break;
    case 3: there = tessera_rotate(im, 180), back = there ? tessera_rotate(there, 180) : nullptr; break;
    default: there = tessera_transpose(im), back = there ? tessera_transpose(there) : nullptr; break;
    }
    if (!back || !same_pixels(im, back)) std::abort();
    release(back);
    release(there);
    release(im);
    return 0;
}
