// Whole-image additions on AnyImageStruct handles: borders, crops, copies between images and
// nearest-neighbour scaling. Coordinates count from an image's first row and column, so images
// with any offsets behave as if their offsets were 0.
#include <tessera/imAdditions.h>

#include <cstring>

#include "image_internal.h"
#include "sampling.h"
#include "support/budget.h"
#include "support/check.h"

using tessera::detail::pixel_at;

namespace {

// Structure images are not copied by these operations; every fixed-size tag is.
bool copied_tag(uint16_t tag) { return tessera::detail::fixed_elem_size(tag) != 0; }

// Address of the pixel in row r and column c, counted from the image's first row and column.
unsigned char *at(AnyImageStruct *im, int64_t c, int64_t r, std::size_t size) {
    return pixel_at(im, im->header->xoffset + c, im->header->yoffset + r, size);
}

void copy_rows(AnyImageStruct *to, int64_t tox, int64_t toy, AnyImageStruct *from, int64_t fromx, int64_t fromy,
               int64_t w, int64_t h) {
    const std::size_t size = tessera::detail::fixed_elem_size(from->header->tag);
    if (size == 0 || w <= 0) return;
    for (int64_t r = 0; r < h; ++r)
        std::memcpy(at(to, tox, toy + r, size), at(from, fromx, fromy + r, size), static_cast<std::size_t>(w) * size);
}

// A new image of offsets 0; its pixels are not cleared, since every caller writes them all.
// Results that grow their source (bordered, scaled) are held to the budget first.
AnyImageStruct *new_image(uint16_t tag, int64_t width, int64_t height, bool grows = true) {
    if (grows && !tessera::detail::within_budget(width, height, tessera::detail::fixed_elem_size(tag), "result"))
        return nullptr;
    if (width > INT32_MAX || height > INT32_MAX) return nullptr;
    return static_cast<AnyImageStruct *>(tessera::detail::create_image(
        tag, static_cast<int32_t>(width), static_cast<int32_t>(height), 0, 0, nullptr, 0, 0, nullptr, false));
}

// Fills out with image inside a frame of zeros of the given width, row by row in one pass, so
// that each row of new memory is touched once.
void frame_rows(AnyImageStruct *out, AnyImageStruct *image, int64_t border) {
    const std::size_t size = tessera::detail::fixed_elem_size(out->header->tag);
    const int64_t width = imGetWidth(out), height = imGetHeight(out);
    const std::size_t row = static_cast<std::size_t>(width) * size, side = static_cast<std::size_t>(border) * size;
    for (int64_t r = 0; r < height; ++r) {
        unsigned char *p = at(out, 0, r, size);
        if (r < border || r >= height - border) {
            std::memset(p, 0, row);
        } else {
            std::memset(p, 0, side);
            std::memcpy(p + side, at(image, 0, r - border, size), row - 2 * side);
            std::memset(p + row - side, 0, side);
        }
    }
}

// Output pixel k of n takes source pixel round(k * scale), kept inside the source's extent.
void sample_points(int32_t *points, int32_t n, float scale, int32_t extent) {
    for (int32_t k = 0; k < n; ++k) {
        const float at = static_cast<float>(k) * scale;
        const int32_t i = tessera::detail::round(at);
        points[k] = i < extent ? i : extent - 1;
    }
}

} // namespace

extern "C" {

AnyImageStruct *imBorders(AnyImageStruct *image, int32_t border) {
    if (border < 0) return nullptr;
    const int64_t width = imGetWidth(image), height = imGetHeight(image);
    AnyImageStruct *out = new_image(image->header->tag, width + 2 * int64_t{border}, height + 2 * int64_t{border});
    if (!out) return nullptr;
    frame_rows(out, image, border);
    return out;
}

AnyImageStruct *imCrop(AnyImageStruct *image, int32_t topX_, int32_t topY_, int32_t bottomX, int32_t bottomY) {
    // The checks below are reported by their source text, which callers and their tests match
    // ("Assertion failed: topX+cropWidth<=width, ..."), so the names and spacing must stay as
    // they are. 64-bit locals of those names keep the arithmetic in them from overflowing.
    const int64_t topX = topX_, topY = topY_;
    const int64_t cropWidth = bottomX - topX, cropHeight = bottomY - topY;
    const int64_t width = imGetWidth(image), height = imGetHeight(image);
    TESSERA_CHECK(cropWidth>=0);
    TESSERA_CHECK(cropHeight>=0);
    TESSERA_CHECK(topX>=0);
    TESSERA_CHECK(topY>=0);
    TESSERA_CHECK(cropHeight<=height);
    TESSERA_CHECK(cropWidth<=width);
    TESSERA_CHECK(topX+cropWidth<=width);
    TESSERA_CHECK(topY+cropHeight<=height);
    if (cropWidth == 0 || cropHeight == 0) return nullptr;
    if (!copied_tag(image->header->tag)) return nullptr;
    AnyImageStruct *out = new_image(image->header->tag, cropWidth, cropHeight, false);
    if (!out) return nullptr;
    copy_rows(out, 0, 0, image, topX, topY, cropWidth, cropHeight);
    return out;
}

AnyImageStruct *imCropInto(AnyImageStruct *into, AnyImageStruct *from, int32_t top_, int32_t left_, int32_t bottom_,
                           int32_t right_, int32_t toleft_, int32_t totop_) {
    // As in imCrop: the check texts are part of the interface; 64-bit locals of the same names.
    const int64_t top = top_, left = left_, bottom = bottom_, right = right_, toleft = toleft_, totop = totop_;
    TESSERA_CHECK(into);
    TESSERA_CHECK(from);
    TESSERA_CHECK(right-left>0);
    TESSERA_CHECK(bottom-top>0);
    TESSERA_CHECK(left>=0);
    TESSERA_CHECK(top>=0);
    TESSERA_CHECK(bottom<=imGetHeight(from));
    TESSERA_CHECK(right<=imGetWidth(from));
    TESSERA_CHECK(toleft>=0);
    TESSERA_CHECK(totop>=0);
    TESSERA_CHECK(toleft+(right-left)<=imGetWidth(into));
    TESSERA_CHECK(totop+(bottom-top)<=imGetHeight(into));
    TESSERA_CHECK(into->header->tag==from->header->tag);
    copy_rows(into, toleft, totop, from, left, top, right - left, bottom - top);
    return into;
}

AnyImageStruct *imScale(AnyImageStruct *image, int32_t newWidth, int32_t newHeight) {
    TESSERA_CHECK(newWidth);
    TESSERA_CHECK(newHeight);
    const int32_t width = imGetWidth(image), height = imGetHeight(image);
    if (newWidth == width && newHeight == height) return static_cast<AnyImageStruct *>(im_Dup_(image, image->header));
    const float xscale = static_cast<float>(width) / static_cast<float>(newWidth);
    const float yscale = static_cast<float>(height) / static_cast<float>(newHeight);
    AnyImageStruct *out = new_image(image->header->tag, newWidth, newHeight);
    if (!out) return nullptr;
    return tessera::detail::sample_into(image, out, [&](int32_t *cols, int32_t *rows) {
        sample_points(cols, newWidth, xscale, width);
        sample_points(rows, newHeight, yscale, height);
    });
}

AnyImageStruct *imDupInto(AnyImageStruct *into, AnyImageStruct *in) {
    TESSERA_CHECK(into->header->tag==in->header->tag);
    TESSERA_CHECK(imGetWidth(in)==imGetWidth(into));
    TESSERA_CHECK(imGetHeight(in)==imGetHeight(into));
    copy_rows(into, 0, 0, in, 0, 0, imGetWidth(in), imGetHeight(in));
    return into;
}

} // extern "C"
