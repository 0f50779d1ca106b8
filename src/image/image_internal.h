// The image layout shared by the image operations, the image files and rendering.
#pragma once

#include <tessera/image.h>

#include <cstddef>
#include <cstdint>

#include "support/bytes.h"

namespace tessera::detail {

// Element size of a fixed-size tag; 0 for IMAGE_STRUCT and for values that are not tags.
constexpr std::size_t fixed_elem_size(uint16_t tag) {
    switch (tag) {
    case IMAGE_GRAY: case IMAGE_BINARY: return 1;
    case IMAGE_SHORT: return 2;
    case IMAGE_RGB: return 3;
    case IMAGE_FLOAT: case IMAGE_INT: return 4;
    case IMAGE_DOUBLE: return 8;
    case IMAGE_POINTER: return sizeof(void *);
    case IMAGE_FLOAT3A: case IMAGE_FLOAT3B: return 12;
    default: return 0;
    }
}

// Element size of the image described by header; a tag outside the table panics.
std::size_t elem_size(const ImageHeader *header);

inline AnyImageStruct *any(void *im) { return static_cast<AnyImageStruct *>(im); }

// Address of pixel (x, y), in the image's own index space.
inline unsigned char *pixel_at(void *im, int64_t x, int64_t y, std::size_t size) {
    return shifted(static_cast<unsigned char *>(any(im)->data[y]), x * static_cast<int64_t>(size));
}

// The first pixel: the start of the run of width * height elements.
inline unsigned char *first_pixel(void *im, const ImageHeader *h, std::size_t size) {
    return pixel_at(im, h->xoffset, h->yoffset, size);
}

inline std::size_t pixel_count(const ImageHeader *h) {
    return static_cast<std::size_t>(h->width) * static_cast<std::size_t>(h->height);
}

// im_NewOrWrap_, with the pixel block left uncleared when zero is false (for callers that
// overwrite every pixel).
void *create_image(uint16_t type, int32_t width, int32_t height, int32_t xoffset, int32_t yoffset, void *raw,
                   int32_t elemsize, int32_t structsize, void *proto, bool zero);

// The rounding of the image additions: halves away from zero.
int32_t round(float x);

} // namespace tessera::detail
