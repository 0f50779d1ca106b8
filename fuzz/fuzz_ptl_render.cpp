// Parses a point-list file from memory and renders it at a small scale, in colour and in
// binary, both from the file and from the loaded list, and the lower part of the rendering made
// alone. Any result is fine, except an area made alone that differs from the whole rendering
// there; reading outside memory, leaking, hanging or undefined behaviour is not.
#include <tessera/image.h>
#include <tessera/magic.h>
#include <tessera/ptl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "memfile.h"

namespace {

// A scale that keeps the rendered image within 32 x 32 pixels.
float small_scale(float extent) { return extent > 32 ? 32 / extent : 1; } // NaN gives 1: no image

void render_stream(FILE *f, unsigned short type) {
    bool color;
    float x, y, width, height;
    if (ptlReadHeader(f, &color, &x, &y, &width, &height, nullptr) != 0) return;
    std::rewind(f);
    magicStart();
    adtStringHeader *magic = nullptr;
    if (magicGetString(f, &magic) == 0) {
        bool clipped;
        if (void *im =
                ptlLoadAndRender(f, color, type, small_scale(width), small_scale(height), RGB{1, 2, 3}, &clipped))
            im_Free_(im, type);
    }
    strFree(magic);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    // A small budget keeps each input's renderings to a fraction of a second: 4 MiB allows 33
    // million pixel visits a rendering, where the images are at most 32 x 32. The default budget
    // (TESSERA_FUZZ_BUDGET=default) lets a rendering take seconds.
    static const bool budget_set = [] {
        const char *b = std::getenv("TESSERA_FUZZ_BUDGET");
        if (!b || std::strcmp(b, "default") != 0) tessera_set_budget(uint64_t{4} << 20);
        return true;
    }();
    (void)budget_set;
    const int fd = tessera::fuzz::memfile(data, size);
    if (fd < 0) return 0;
    FILE *f = fdopen(fd, "r");
    if (!f) return 0;
    if (PointList ptl = ptlLoadF(f)) {
        for (unsigned short type : {IMAGE_RGB, IMAGE_BINARY}) {
            const float xs = small_scale(ptl->width), ys = small_scale(ptl->height);
            bool clipped;
            auto *im = static_cast<AnyImageStruct *>(ptlRender(ptl, type, xs, ys, RGB{0, 0, 0}, &clipped));
            if (!im) continue;
            const ImageHeader *h = im->header;
            const int32_t top = h->yoffset + h->height / 3, rows = h->height - h->height / 3;
            if (type == IMAGE_RGB) ptlStartRendering(type, xs, ys, h->xoffset, top, h->width, rows);
            if (auto *part = static_cast<AnyImageStruct *>(
                    tessera_render_area(ptl, type, xs, ys, RGB{0, 0, 0}, h->xoffset, top, h->width, rows, nullptr))) {
                const std::size_t bytes = type == IMAGE_RGB ? 3 : 1;
                // the first column's byte, in 64 bits: offsets near 2^31 pass 32 once multiplied
                const std::ptrdiff_t first =
                    static_cast<std::ptrdiff_t>(h->xoffset) * static_cast<std::ptrdiff_t>(bytes);
                for (int32_t y = top; y < top + rows; ++y)
                    if (std::memcmp(static_cast<char *>(part->data[y]) + first,
                                    static_cast<char *>(im->data[y]) + first,
                                    static_cast<std::size_t>(h->width) * bytes) != 0)
                        std::abort(); // an area made alone differs from the whole rendering
                im_Free_(part, type);
            }
            im_Free_(im, type);
        }
        ptlFree(ptl);
    }
    for (unsigned short type : {IMAGE_RGB, IMAGE_BINARY}) {
        std::rewind(f);
        render_stream(f, type);
    }
    std::fclose(f);
    return 0;
}
