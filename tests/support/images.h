// Helpers for image tests: typed pixel access and scoped images.
#pragma once

#include <tessera/image.h>

#include <cstring>

#include "image/image_internal.h"

namespace tessera::test {

template <class T> T &px(void *im, int x, int y) {
    return *reinterpret_cast<T *>(detail::pixel_at(im, x, y, sizeof(T)));
}

inline ImageHeader *hdr(void *im) { return static_cast<AnyImageStruct *>(im)->header; }

// A structure image whose handle holds only data, header and the user word.
inline AnyImageStruct *new_struct_image(int w, int h, int elemsize) {
    return static_cast<AnyImageStruct *>(
        im_NewOrWrap_(IMAGE_STRUCT, w, h, 0, 0, nullptr, elemsize, sizeof(AnyImageStruct), nullptr));
}

// Frees the image when the scope ends.
struct Image {
    void *im;
    explicit Image(void *p) : im(p) {}
    Image(uint16_t tag, int w, int h, int xo = 0, int yo = 0)
        : im(im_NewOrWrap_(tag, w, h, xo, yo, nullptr, 0, 0, nullptr)) {}
    ~Image() {
        if (im) im_Free_(im, hdr(im)->tag);
    }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ImageHeader *h() const { return hdr(im); }
    AnyImageStruct *any() const { return static_cast<AnyImageStruct *>(im); }
    template <class T> T &at(int x, int y) const { return px<T>(im, x, y); }
};

} // namespace tessera::test
