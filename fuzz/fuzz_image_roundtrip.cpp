// Whatever loads must save and load back to the same pixels, size, tag and comment text plus
// the one continuation mark the saver adds per line.
#include <tessera/image.h>

#include <cstdlib>
#include <cstring>

#include "../src/image/image_internal.h"
#include "memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = tessera::fuzz::memfile(data, size);
    if (fd < 0) return 0;
    auto *im = static_cast<AnyImageStruct *>(im_LoadH(0xffff, fd));
    tessera::fuzz::close_file(fd);
    if (!im) return 0;
    const int out = tessera::fuzz::memfile(nullptr, 0);
    if (im_SaveH_(im, im->header, out) != 0) std::abort();
    tessera::fuzz::rewind(out);
    auto *back = static_cast<AnyImageStruct *>(im_LoadH(im->header->tag, out));
    tessera::fuzz::close_file(out);
    if (!back) std::abort();
    const ImageHeader *a = im->header, *b = back->header;
    if (a->tag != b->tag || a->width != b->width || a->height != b->height) std::abort();
    const std::size_t esize = tessera::detail::fixed_elem_size(a->tag);
    const auto *p = tessera::detail::first_pixel(im, a, esize);
    const auto *q = tessera::detail::first_pixel(back, b, esize);
    for (std::size_t i = 0, n = tessera::detail::pixel_count(a) * esize; i < n; ++i) {
        // binary pixels come back as 0 and 1
        const bool same = a->tag == IMAGE_BINARY ? (p[i] != 0) == (q[i] != 0) : p[i] == q[i];
        if (!same) std::abort();
    }
    im_Free_(back, b->tag);
    im_Free_(im, a->tag);
    return 0;
}
