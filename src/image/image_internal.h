// The image layout shared by the image operations, the image files and rendering.
#pragma once

#include <tessera/image.h>

#include <cstddef>
#include <cstdint>

#include "support/bytes.h"

namespace tessera::detail {

// What the library knows of each image tag, a row per tag. Adding a tag is adding a row (and,
// for a tag with pixel arithmetic, a case of visit_pixels).
struct TagTraits {
    uint16_t tag;
    std::size_t elem_size;   // bytes per pixel; 0 for IMAGE_STRUCT, whose images say it
    std::size_t scalar_size; // the unit of byte order in files: each scalar of the element
    const char *magic;       // the file magic, or null for tags no file holds
    bool has_max;            // the file header carries a maximum sample value
    bool whole_extrema;      // im_MaxAndMinNoInf_ accepts it (no infinities possible)
};

inline constexpr TagTraits tag_traits[] = {
    {IMAGE_GRAY, 1, 1, "P5", true, true},
    {IMAGE_FLOAT, 4, 4, "Q1", false, false},
    {IMAGE_RGB, 3, 1, "P6", true, true},
    {IMAGE_DOUBLE, 8, 8, "Q2", false, false},
    {IMAGE_BINARY, 1, 1, "P4", false, true},
    {IMAGE_INT, 4, 4, "Q3", false, true},
    {IMAGE_POINTER, sizeof(void *), sizeof(void *), nullptr, false, true},
    {IMAGE_SHORT, 2, 2, "Q4", false, true},
    {IMAGE_FLOAT3A, 12, 4, "Q10", false, false},
    {IMAGE_FLOAT3B, 12, 4, "Q11", false, false},
    {IMAGE_STRUCT, 0, 1, nullptr, false, true},
    {IMAGE_RGBA, 4, 1, "Q12", false, true},
    {IMAGE_GRAY16, 2, 2, "Q13", false, true},
    {IMAGE_RGB16, 6, 2, "Q14", false, true},
    {IMAGE_RGBA16, 8, 2, "Q15", false, true},
};

// The row of tag, or null for a value that is not a tag.
constexpr const TagTraits *traits_of(uint16_t tag) {
    for (const TagTraits &t : tag_traits)
        if (t.tag == tag) return &t;
    return nullptr;
}

// Element size of a fixed-size tag; 0 for IMAGE_STRUCT and for values that are not tags.
constexpr std::size_t fixed_elem_size(uint16_t tag) {
    const TagTraits *t = traits_of(tag);
    return t ? t->elem_size : 0;
}

// Calls f with a value of the pixel's scalar type and its channel count as a constant, for the
// tags with pixel arithmetic; false (f not called) for IMAGE_POINTER, IMAGE_STRUCT and values
// that are not tags.
template <class T, int C> struct Pixel {
    using scalar = T;
    static constexpr int channels = C;
};
template <class F> bool visit_pixels(uint16_t tag, F f) {
    switch (tag) {
    case IMAGE_GRAY: f(Pixel<uint8_t, 1>{}); return true;
    case IMAGE_BINARY: f(Pixel<int8_t, 1>{}); return true;
    case IMAGE_INT: f(Pixel<int32_t, 1>{}); return true;
    case IMAGE_SHORT: f(Pixel<int16_t, 1>{}); return true;
    case IMAGE_FLOAT: f(Pixel<float, 1>{}); return true;
    case IMAGE_DOUBLE: f(Pixel<double, 1>{}); return true;
    case IMAGE_RGB: f(Pixel<uint8_t, 3>{}); return true;
    case IMAGE_RGBA: f(Pixel<uint8_t, 4>{}); return true;
    case IMAGE_GRAY16: f(Pixel<uint16_t, 1>{}); return true;
    case IMAGE_RGB16: f(Pixel<uint16_t, 3>{}); return true;
    case IMAGE_RGBA16: f(Pixel<uint16_t, 4>{}); return true;
    case IMAGE_FLOAT3A:
    case IMAGE_FLOAT3B: f(Pixel<float, 3>{}); return true;
    default: return false;
    }
}

// Whether the tag's last channel is alpha (colours are weighted by it where pixels are mixed).
constexpr bool has_alpha(uint16_t tag) { return tag == IMAGE_RGBA || tag == IMAGE_RGBA16; }

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
