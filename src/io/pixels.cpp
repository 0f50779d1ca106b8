// File samples into pixels and back, and conversion between element types.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "image/image_internal.h"

namespace tessera::detail::io {

namespace {

constexpr uint16_t image_types =
    IMAGE_BINARY | IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA | IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16;
bool is_numeric(uint16_t tag) { return !(tag & image_types); }
bool has_three(uint16_t tag) { return colour_channels(tag) == 3; }
bool is_deep(uint16_t tag) { return (tag & (IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16)) != 0; }
bool with_alpha(uint16_t tag) { return tessera::detail::has_alpha(tag); }

uint32_t scaled(uint32_t s, uint32_t maxval, uint32_t to) {
    return static_cast<uint32_t>((static_cast<uint64_t>(s) * to + maxval / 2) / maxval);
}

// c (of 0..top) over the background b (of 0..top) with alpha a of 0..maxval.
uint32_t over(uint32_t c, uint32_t b, uint32_t a, uint32_t maxval) {
    return static_cast<uint32_t>(
        std::lround((static_cast<double>(c) * a + static_cast<double>(b) * (maxval - a)) / maxval));
}

template <class T> const T *sample_at(const void *row, int32_t x, int n) {
    return static_cast<const T *>(row) + static_cast<std::ptrdiff_t>(x) * n;
}

// Pixel (x, y) as up to four values: colour (or gray) and alpha, which is the type's full range
// for types without alpha.
void get_pixel(const AnyImageStruct *im, int32_t x, int32_t y, double c[4]) {
    const void *row = im->data[y];
    const uint16_t tag = im->header->tag;
    c[3] = full_range(tag);
    switch (tag) {
    case IMAGE_BINARY: c[0] = static_cast<const int8_t *>(row)[x] != 0; break;
    case IMAGE_GRAY: c[0] = static_cast<const uint8_t *>(row)[x]; break;
    case IMAGE_GRAY16: c[0] = static_cast<const uint16_t *>(row)[x]; break;
    case IMAGE_SHORT: c[0] = static_cast<const int16_t *>(row)[x]; break;
    case IMAGE_INT: c[0] = static_cast<const int32_t *>(row)[x]; break;
    case IMAGE_FLOAT: c[0] = static_cast<const float *>(row)[x]; break;
    case IMAGE_DOUBLE: c[0] = static_cast<const double *>(row)[x]; break;
    case IMAGE_RGB:
    case IMAGE_RGBA: {
        const int n = tag == IMAGE_RGB ? 3 : 4;
        const uint8_t *p = sample_at<uint8_t>(row, x, n);
        for (int k = 0; k < n; ++k) c[k] = p[k];
        break;
    }
    case IMAGE_RGB16:
    case IMAGE_RGBA16: {
        const int n = tag == IMAGE_RGB16 ? 3 : 4;
        const uint16_t *p = sample_at<uint16_t>(row, x, n);
        for (int k = 0; k < n; ++k) c[k] = p[k];
        break;
    }
    default: {
        const float *p = sample_at<float>(row, x, 3);
        c[0] = p[0], c[1] = p[1], c[2] = p[2];
    }
    }
}

double clamp_round(double v, double lo, double hi) {
    if (v != v) return 0;
    v = std::nearbyint(v);
    return v < lo ? lo : v > hi ? hi : v;
}

void put_pixel(AnyImageStruct *im, int32_t x, int32_t y, const double c[4]) {
    void *row = im->data[y];
    const uint16_t tag = im->header->tag;
    switch (tag) {
    case IMAGE_BINARY: static_cast<int8_t *>(row)[x] = static_cast<int8_t>(c[0] != 0); break;
    case IMAGE_GRAY: static_cast<uint8_t *>(row)[x] = static_cast<uint8_t>(clamp_round(c[0], 0, 255)); break;
    case IMAGE_GRAY16: static_cast<uint16_t *>(row)[x] = static_cast<uint16_t>(clamp_round(c[0], 0, 65535)); break;
    case IMAGE_SHORT: static_cast<int16_t *>(row)[x] = static_cast<int16_t>(clamp_round(c[0], -32768, 32767)); break;
    case IMAGE_INT:
        static_cast<int32_t *>(row)[x] = static_cast<int32_t>(clamp_round(c[0], -2147483648.0, 2147483647.0));
        break;
    case IMAGE_FLOAT: static_cast<float *>(row)[x] = static_cast<float>(c[0]); break;
    case IMAGE_DOUBLE: static_cast<double *>(row)[x] = c[0]; break;
    case IMAGE_RGB:
    case IMAGE_RGBA: {
        const int n = tag == IMAGE_RGB ? 3 : 4;
        auto *p = const_cast<uint8_t *>(sample_at<uint8_t>(row, x, n));
        for (int k = 0; k < n; ++k) p[k] = static_cast<uint8_t>(clamp_round(c[k], 0, 255));
        break;
    }
    case IMAGE_RGB16:
    case IMAGE_RGBA16: {
        const int n = tag == IMAGE_RGB16 ? 3 : 4;
        auto *p = const_cast<uint16_t *>(sample_at<uint16_t>(row, x, n));
        for (int k = 0; k < n; ++k) p[k] = static_cast<uint16_t>(clamp_round(c[k], 0, 65535));
        break;
    }
    default: {
        auto *p = const_cast<float *>(sample_at<float>(row, x, 3));
        p[0] = static_cast<float>(c[0]), p[1] = static_cast<float>(c[1]), p[2] = static_cast<float>(c[2]);
    }
    }
}

double luma(const double c[4]) {
    if (c[0] == c[1] && c[1] == c[2]) return c[0];
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
}

// Converts one pixel's values from the element type from to the type to.
void convert_pixel(uint16_t from, uint16_t to, double c[4], double lo, double scale) {
    if (!has_three(from)) c[1] = c[2] = c[0];
    const double top_from = full_range(from), top_to = full_range(to);
    if (with_alpha(from) && !with_alpha(to)) // over black
        for (int k = 0; k < 3; ++k) c[k] = c[k] * c[3] / top_from;
    // Binary pixels are black (0) when set and white when clear, in every other type.
    if (from == IMAGE_BINARY && to != IMAGE_BINARY) {
        c[0] = c[1] = c[2] = c[0] ? 0 : top_to > 1 ? top_to : 255;
        c[3] = top_to;
    } else if (to == IMAGE_BINARY && from != IMAGE_BINARY) {
        c[0] = luma(c) < (top_from == 65535 ? 32896 : 128);
        return;
    } else if (top_from > 1 && top_to > 1 && top_from != top_to) {
        for (int k = 0; k < 4; ++k) c[k] = c[k] * top_to / top_from;
    }
    if (scale > 0)
        for (int k = 0; k < 3; ++k) c[k] = c[k] != c[k] ? 0 : (c[k] - lo) * scale;
    if (!has_three(to)) c[0] = luma(c);
    if (!with_alpha(from)) c[3] = top_to;
}

} // namespace

uint32_t full_range(uint16_t tag) {
    switch (tag) {
    case IMAGE_BINARY: return 1;
    case IMAGE_GRAY:
    case IMAGE_RGB:
    case IMAGE_RGBA: return 255;
    case IMAGE_GRAY16:
    case IMAGE_RGB16:
    case IMAGE_RGBA16: return 65535;
    default: return 0;
    }
}

int colour_channels(uint16_t tag) {
    return tag & (IMAGE_RGB | IMAGE_FLOAT3A | IMAGE_FLOAT3B | IMAGE_RGBA | IMAGE_RGB16 | IMAGE_RGBA16) ? 3 : 1;
}

const char *type_name(uint16_t tag) {
    switch (tag) {
    case IMAGE_GRAY: return "gray";
    case IMAGE_RGB: return "RGB";
    case IMAGE_BINARY: return "binary";
    case IMAGE_INT: return "32-bit integer";
    case IMAGE_SHORT: return "16-bit integer";
    case IMAGE_FLOAT: return "float";
    case IMAGE_DOUBLE: return "double";
    case IMAGE_FLOAT3A: return "three-float (A)";
    case IMAGE_FLOAT3B: return "three-float (B)";
    case IMAGE_RGBA: return "RGBA";
    case IMAGE_GRAY16: return "16-bit gray";
    case IMAGE_RGB16: return "16-bit RGB";
    case IMAGE_RGBA16: return "16-bit RGBA";
    default: return "these";
    }
}

void choose_tag(Layout &l, bool bilevel) {
    if (l.own) {
        const bool deep = l.maxval > 255;
        if (bilevel && !l.alpha) l.tag = IMAGE_BINARY;
        else if (l.alpha) l.tag = deep ? IMAGE_RGBA16 : IMAGE_RGBA;
        else if (l.channels == 3) l.tag = deep ? IMAGE_RGB16 : IMAGE_RGB;
        else l.tag = deep ? IMAGE_GRAY16 : IMAGE_GRAY;
        return;
    }
    const RGB b = l.background;
    const bool colour = l.channels == 3 || (l.alpha && (b.r != b.g || b.g != b.b));
    if (l.keep && l.maxval > 255) l.tag = colour ? IMAGE_FLOAT3B : IMAGE_INT;
    else if (colour) l.tag = IMAGE_RGB;
    else l.tag = bilevel && !l.alpha ? IMAGE_BINARY : IMAGE_GRAY;
}

AnyImageStruct *new_image(const Layout &l, uint64_t width, uint64_t height, const Request &r, uint64_t beside,
                          bool every_pixel_written) {
    if (!fits(r, width, height, l.tag, beside)) return nullptr;
    if (width > 2147483647U || height > 2147483647U)
        return fail(Err::limit, "a %llu x %llu image is larger than 32-bit sizes allow", (unsigned long long)width,
                    (unsigned long long)height),
               nullptr;
    if (header_read(r, l.tag)) return nullptr;
    const auto w = static_cast<int32_t>(width), h = static_cast<int32_t>(height);
    auto *im =
        static_cast<AnyImageStruct *>(every_pixel_written ? tessera_image_new_unfilled(l.tag, w, h)
                                                          : im_NewOrWrap_(l.tag, w, h, 0, 0, nullptr, 0, 0, nullptr));
    if (!im) fail_core();
    return im;
}

void put_row(AnyImageStruct *im, int32_t y, const uint32_t *s, const Layout &l) {
    const ImageHeader *h = im->header;
    const uint16_t tag = h->tag;
    const int step = l.channels + l.alpha;
    const uint32_t top = is_deep(tag) ? 65535 : l.keep ? l.maxval : 255;
    const bool keeps_alpha = with_alpha(tag);
    uint32_t bg[3] = {l.background.r, l.background.g, l.background.b};
    if (top != 255)
        for (uint32_t &b : bg) b = scaled(b, 255, top);
    void *row = im->data[y];
    for (int32_t x = 0; x < h->width; ++x, s += step) {
        if (tag == IMAGE_BINARY) {
            static_cast<int8_t *>(row)[x] = static_cast<int8_t>(l.white_is_zero ? s[0] == 0 : s[0] != 0);
            continue;
        }
        uint32_t v[3];
        for (int k = 0; k < 3; ++k) v[k] = s[k < l.channels ? k : 0];
        if (l.white_is_zero) v[0] = v[1] = v[2] = s[0] ? l.maxval : 0;
        uint32_t a = l.maxval;
        if (l.alpha) {
            a = s[l.channels] < l.maxval ? s[l.channels] : l.maxval;
            if (l.premultiplied) // colours stored multiplied by alpha: back to colours
                for (uint32_t &c : v) c = a == 0 ? 0 : c >= a ? l.maxval : scaled(c, a, l.maxval);
        }
        uint32_t c[4];
        for (int k = 0; k < 3; ++k) c[k] = top == l.maxval ? v[k] : scaled(v[k], l.maxval, top);
        c[3] = top == l.maxval ? a : scaled(a, l.maxval, top);
        if (l.alpha && !keeps_alpha)
            for (int k = 0; k < 3; ++k) c[k] = over(c[k], bg[k], a, l.maxval);
        switch (tag) {
        case IMAGE_GRAY: static_cast<uint8_t *>(row)[x] = static_cast<uint8_t>(c[0]); break;
        case IMAGE_GRAY16: static_cast<uint16_t *>(row)[x] = static_cast<uint16_t>(c[0]); break;
        case IMAGE_RGB:
        case IMAGE_RGBA: {
            uint8_t *p = static_cast<uint8_t *>(row) + static_cast<std::ptrdiff_t>(x) * (keeps_alpha ? 4 : 3);
            for (int k = 0; k < (keeps_alpha ? 4 : 3); ++k) p[k] = static_cast<uint8_t>(c[k]);
            break;
        }
        case IMAGE_RGB16:
        case IMAGE_RGBA16: {
            uint16_t *p = static_cast<uint16_t *>(row) + static_cast<std::ptrdiff_t>(x) * (keeps_alpha ? 4 : 3);
            for (int k = 0; k < (keeps_alpha ? 4 : 3); ++k) p[k] = static_cast<uint16_t>(c[k]);
            break;
        }
        case IMAGE_INT: static_cast<int32_t *>(row)[x] = static_cast<int32_t>(c[0]); break;
        default: {
            float *p = static_cast<float *>(row) + 3 * static_cast<std::ptrdiff_t>(x);
            p[0] = static_cast<float>(c[0]), p[1] = static_cast<float>(c[1]), p[2] = static_cast<float>(c[2]);
        }
        }
    }
}

void put_row8(AnyImageStruct *im, int32_t y, const uint8_t *s, const Layout &l, uint32_t *spare) {
    const ImageHeader *h = im->header;
    if (l.maxval == 255 && !l.white_is_zero && !l.premultiplied &&
        ((h->tag == IMAGE_GRAY && l.channels == 1 && !l.alpha) ||
         (h->tag == IMAGE_RGB && l.channels == 3 && !l.alpha) ||
         (h->tag == IMAGE_RGBA && l.channels == 3 && l.alpha))) {
        std::memcpy(im->data[y], s,
                    static_cast<std::size_t>(h->width) * static_cast<std::size_t>(l.channels + l.alpha));
        return;
    }
    const std::size_t n = static_cast<std::size_t>(h->width) * static_cast<std::size_t>(l.channels + l.alpha);
    for (std::size_t i = 0; i < n; ++i) spare[i] = s[i];
    put_row(im, y, spare, l);
}

namespace {

// put_row16 over samples read by at(i).
template <class At> bool put_row16_with(AnyImageStruct *im, int32_t y, At at, const Layout &l) {
    const ImageHeader *h = im->header;
    if (l.white_is_zero || l.premultiplied || l.maxval != 65535) return false;
    void *row = im->data[y];
    if ((h->tag == IMAGE_GRAY16 && l.channels == 1 && !l.alpha) ||
        (h->tag == IMAGE_RGB16 && l.channels == 3 && !l.alpha) ||
        (h->tag == IMAGE_RGBA16 && l.channels == 3 && l.alpha)) {
        const std::size_t n = static_cast<std::size_t>(h->width) * static_cast<std::size_t>(l.channels + l.alpha);
        auto *out = static_cast<uint16_t *>(row);
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint16_t>(at(i));
        return true;
    }
    if (l.alpha) return false;
    const std::size_t n = static_cast<std::size_t>(h->width) * static_cast<std::size_t>(l.channels);
    // Rounded to 8 bits as (v * 255 + 32767) / 65535, which is (v + 128 - ((v + 128) >> 8)) >> 8.
    const auto to8 = [](uint32_t v) { return static_cast<uint8_t>((v + 128 - ((v + 128) >> 8)) >> 8); };
    if (h->tag == IMAGE_INT && l.channels == 1) {
        auto *out = static_cast<int32_t *>(row);
        for (std::size_t i = 0; i < n; ++i) out[i] = at(i);
    } else if (h->tag == IMAGE_FLOAT3B && l.channels == 3) {
        auto *out = static_cast<float *>(row);
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(at(i));
    } else if ((h->tag == IMAGE_GRAY && l.channels == 1) || (h->tag == IMAGE_RGB && l.channels == 3)) {
        auto *out = static_cast<uint8_t *>(row);
        for (std::size_t i = 0; i < n; ++i) out[i] = to8(at(i));
    } else {
        return false;
    }
    return true;
}

} // namespace

bool put_row16(AnyImageStruct *im, int32_t y, const uint16_t *s, const Layout &l) {
    return put_row16_with(
        im, y, [s](std::size_t i) { return static_cast<uint32_t>(s[i]); }, l);
}

bool put_row16_be(AnyImageStruct *im, int32_t y, const unsigned char *s, const Layout &l) {
    return put_row16_with(
        im, y, [s](std::size_t i) { return static_cast<uint32_t>(s[2 * i]) << 8 | s[2 * i + 1]; }, l);
}

void describe(const Request &r, const char *magic, int64_t width, int64_t height, int channels, int alpha, int bits,
              uint32_t maxval) {
    tessera_io_info *i = r.info;
    if (magic) std::snprintf(i->magic, sizeof i->magic, "%s", magic);
    i->width = static_cast<int32_t>(width > 2147483647 ? 0 : width);
    i->height = static_cast<int32_t>(height > 2147483647 ? 0 : height);
    i->channels = channels;
    i->alpha = alpha;
    i->bits = bits;
    i->maxval = maxval;
}

Picture picture_of(const AnyImageStruct *im, int depth) {
    const uint16_t tag = im->header->tag;
    Picture p{im, im->header->width, im->header->height, colour_channels(tag), 8, with_alpha(tag) ? 1 : 0};
    if (tag == IMAGE_BINARY) p.channels = 0, p.bits = 1;
    else if (depth == 16 || (depth == 0 && is_deep(tag))) p.bits = 16;
    return p;
}

namespace {

void put16(unsigned char *out, std::size_t i, uint16_t w, bool native) {
    if (native) {
        std::memcpy(out + 2 * i, &w, 2);
    } else {
        out[2 * i] = static_cast<unsigned char>(w >> 8);
        out[2 * i + 1] = static_cast<unsigned char>(w & 255);
    }
}

} // namespace

void get_row(const Picture &p, int32_t y, unsigned char *out, bool native) {
    if (p.feed) { // the image holds one row: the feed's row y
        if (!p.feed->failed && !p.feed->fill(p.feed->state, y)) p.feed->failed = true;
        y = 0;
    }
    const ImageHeader *h = p.im->header;
    const uint16_t tag = h->tag;
    const int32_t yy = h->yoffset + y;
    const char *row = static_cast<const char *>(p.im->data[yy]);
    const int per = p.channels + p.alpha;
    const std::size_t n = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(per ? per : 1);
    if (p.bits == 1) {
        std::memcpy(out, row + h->xoffset, static_cast<std::size_t>(p.width));
        return;
    }
    const bool same_layout = colour_channels(tag) == p.channels && with_alpha(tag) == (p.alpha != 0);
    if (p.bits == 8 && same_layout && full_range(tag) == 255) {
        std::memcpy(out, row + static_cast<std::ptrdiff_t>(h->xoffset) * per, n);
        return;
    }
    if (p.bits == 16 && same_layout && is_deep(tag)) {
        const uint16_t *in = reinterpret_cast<const uint16_t *>(row) + static_cast<std::ptrdiff_t>(h->xoffset) * per;
        if (native) {
            std::memcpy(out, in, 2 * n);
        } else {
            for (std::size_t i = 0; i < n; ++i) put16(out, i, in[i], false);
        }
        return;
    }
    if (p.bits == 16 && tag == IMAGE_INT) { // 16-bit samples from 32-bit integers, clamped
        const int32_t *in = reinterpret_cast<const int32_t *>(row) + h->xoffset;
        for (std::size_t i = 0; i < n; ++i) put16(out, i, static_cast<uint16_t>(std::clamp(in[i], 0, 65535)), native);
        return;
    }
    // Samples of a type with a full range scale to the picture's; numbers go as they stand.
    const double from = full_range(tag), to = p.bits == 8 ? 255.0 : 65535.0;
    const double factor = from > 1 && from != to ? to / from : 1.0;
    for (int32_t x = 0; x < p.width; ++x) {
        double c[4] = {0, 0, 0, 0};
        get_pixel(p.im, h->xoffset + x, yy, c);
        if (p.channels == 1 && has_three(tag)) c[0] = luma(c);
        for (int k = 0; k < per; ++k) {
            const std::size_t i =
                static_cast<std::size_t>(x) * static_cast<std::size_t>(per) + static_cast<std::size_t>(k);
            const double v = c[k < p.channels ? k : 3] * factor;
            if (p.bits == 8) out[i] = static_cast<unsigned char>(clamp_round(v, 0, 255));
            else put16(out, i, static_cast<uint16_t>(clamp_round(v, 0, 65535)), native);
        }
    }
}

} // namespace tessera::detail::io

using namespace tessera::detail::io;
using tessera::detail::Err;

extern "C" void *tessera_io_convert(void *image, uint16_t tag, int normalize) {
    auto *im = static_cast<AnyImageStruct *>(image);
    if (!im || !im->header) return fail(Err::argument, "no image"), nullptr;
    const ImageHeader *h = im->header;
    constexpr uint16_t known = IMAGE_GRAY | IMAGE_FLOAT | IMAGE_RGB | IMAGE_DOUBLE | IMAGE_BINARY | IMAGE_INT |
                               IMAGE_SHORT | IMAGE_FLOAT3A | IMAGE_FLOAT3B | IMAGE_RGBA | IMAGE_GRAY16 | IMAGE_RGB16 |
                               IMAGE_RGBA16;
    if (!(h->tag & known) || !(tag & known) || (tag & (tag - 1)))
        return fail(Err::argument, "element types %u and %u: only the file types convert", h->tag, tag), nullptr;
    // A conversion to a wider type makes a larger image than its source: that is held to the budget.
    const std::size_t from = tessera::detail::fixed_elem_size(h->tag), to = tessera::detail::fixed_elem_size(tag);
    if (to > from && static_cast<uint64_t>(h->width) * static_cast<uint64_t>(h->height) > tessera_budget() / to)
        return fail(Err::limit, "a %d x %d image converted takes %llu bytes, more than the budget of %llu bytes",
                    h->width, h->height,
                    static_cast<unsigned long long>(static_cast<uint64_t>(h->width) * static_cast<uint64_t>(h->height) *
                                                    to),
                    static_cast<unsigned long long>(tessera_budget())),
               nullptr;
    auto *out = static_cast<AnyImageStruct *>(
        im_NewOrWrap_(tag, h->width, h->height, h->xoffset, h->yoffset, nullptr, 0, 0, nullptr));
    if (!out) return fail_core(), nullptr;
    double lo = 0, scale = 0;
    if (normalize && is_numeric(h->tag) && !is_numeric(tag) && tag != IMAGE_BINARY) {
        double hi = -INFINITY;
        lo = INFINITY;
        for (int32_t y = h->yoffset; y < h->yoffset + h->height; ++y)
            for (int32_t x = h->xoffset; x < h->xoffset + h->width; ++x) {
                double c[4] = {0, 0, 0, 0};
                get_pixel(im, x, y, c);
                for (int k = 0; k < (has_three(h->tag) ? 3 : 1); ++k)
                    if (std::isfinite(c[k])) {
                        if (c[k] < lo) lo = c[k];
                        if (c[k] > hi) hi = c[k];
                    }
            }
        scale = hi > lo ? (full_range(tag) == 65535 ? 65535.0 : 255.0) / (hi - lo) : 0;
        if (!(hi > lo)) lo = 0, scale = 0; // a flat or empty range keeps its values
    }
    for (int32_t y = h->yoffset; y < h->yoffset + h->height; ++y)
        for (int32_t x = h->xoffset; x < h->xoffset + h->width; ++x) {
            double c[4] = {0, 0, 0, 0};
            get_pixel(im, x, y, c);
            convert_pixel(h->tag, tag, c, lo, scale);
            put_pixel(out, x, y, c);
        }
    if (h->comment) {
        out->header->comment = strMake(strGet(h->comment));
    }
    return out;
}
