// The table of formats: a format is one row here and one file of readers and writers.
#include <strings.h>

#include <cstring>

#include "codec.h"

namespace tessera::detail::io {

namespace {

bool word_is(const unsigned char *head, std::size_t n, const char *magic) {
    const std::size_t k = std::strlen(magic);
    if (n <= k || std::memcmp(head, magic, k) != 0) return false;
    const unsigned char c = head[k];
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '#';
}

bool sniff_pbm(const unsigned char *h, std::size_t n) { return word_is(h, n, "P1") || word_is(h, n, "P4"); }
bool sniff_pgm(const unsigned char *h, std::size_t n) { return word_is(h, n, "P2") || word_is(h, n, "P5"); }
bool sniff_ppm(const unsigned char *h, std::size_t n) { return word_is(h, n, "P3") || word_is(h, n, "P6"); }
bool sniff_pam(const unsigned char *h, std::size_t n) { return word_is(h, n, "P7"); }
bool sniff_png(const unsigned char *h, std::size_t n) { return n >= 8 && std::memcmp(h, "\x89PNG\r\n\x1a\n", 8) == 0; }
bool sniff_jpeg(const unsigned char *h, std::size_t n) { return n >= 3 && std::memcmp(h, "\xff\xd8\xff", 3) == 0; }
bool sniff_tiff(const unsigned char *h, std::size_t n) {
    return n >= 4 && (std::memcmp(h, "II*\0", 4) == 0 || std::memcmp(h, "MM\0*", 4) == 0 ||
                      std::memcmp(h, "II+\0", 4) == 0 || std::memcmp(h, "MM\0+", 4) == 0);
}
bool sniff_webp(const unsigned char *h, std::size_t n) {
    return n >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WEBP", 4) == 0;
}
bool sniff_bmp(const unsigned char *h, std::size_t n) {
    // "BM", then a header size BMP has (12 to 124 bytes) at byte 14
    return n >= 16 && h[0] == 'B' && h[1] == 'M' && h[14] >= 12 && h[14] <= 124 && h[15] == 0;
}
bool sniff_gif(const unsigned char *h, std::size_t n) {
    return n >= 6 && (std::memcmp(h, "GIF87a", 6) == 0 || std::memcmp(h, "GIF89a", 6) == 0);
}
bool sniff_q1(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q1"); }
bool sniff_q2(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q2"); }
bool sniff_q3(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q3"); }
bool sniff_q4(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q4"); }
bool sniff_q10(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q10"); }
bool sniff_q11(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q11"); }
bool sniff_q12(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q12"); }
bool sniff_q13(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q13"); }
bool sniff_q14(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q14"); }
bool sniff_q15(const unsigned char *h, std::size_t n) { return word_is(h, n, "Q15"); }

bool write_library(const Picture &p, const tessera_io_save_options &, FILE *out) {
    return tessera_save_stream(const_cast<AnyImageStruct *>(p.im), out) == 0 || fail_core();
}

constexpr uint16_t deep_and_alpha =
    IMAGE_BINARY | IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA | IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16;

} // namespace

const Codec codecs[] = {
    {{"pbm", "pbm", "Netpbm bitmap: plain P1 and raw P4", IMAGE_BINARY, 0, 0},
     "P4",
     sniff_pbm,
     read_netpbm,
     write_netpbm},
    {{"pgm", "pgm", "Netpbm gray: plain P2 and raw P5, maximum value 1 to 65535", IMAGE_GRAY | IMAGE_GRAY16, 1, 0},
     "P5",
     sniff_pgm,
     read_netpbm,
     write_netpbm},
    {{"ppm", "ppm", "Netpbm colour: plain P3 and raw P6, maximum value 1 to 65535", IMAGE_RGB | IMAGE_RGB16, 1, 0},
     "P6",
     sniff_ppm,
     read_netpbm,
     write_netpbm},
    {{"pnm", "pnm", "Netpbm, the kind the image needs (writing only)",
      IMAGE_BINARY | IMAGE_GRAY | IMAGE_RGB | IMAGE_GRAY16 | IMAGE_RGB16, 1, 0},
     nullptr,
     nullptr,
     nullptr,
     write_netpbm},
    {{"pam", "pam", "Netpbm PAM: black and white, gray or RGB, with or without alpha, 1 to 16 bits", deep_and_alpha, 1,
      1},
     "PAM",
     sniff_pam,
     read_pam,
     write_pam},
    {{"png", "png", "PNG: 1 to 16 bits, gray, RGB, palette, alpha, interlaced", deep_and_alpha, 1, 0},
     "PNG",
     sniff_png,
     read_png,
     write_png},
    {{"jpeg", "jpg jpeg jpe jfif", "JPEG (baseline and progressive; gray, YCbCr, CMYK), 8 bits", IMAGE_GRAY | IMAGE_RGB,
      0, 1},
     "JPEG",
     sniff_jpeg,
     read_jpeg,
     write_jpeg},
    {{"tiff", "tif tiff", "TIFF: 1, 8 and 16 bits, gray, RGB and RGBA, strips and tiles, any codec libtiff has",
      deep_and_alpha, 1, 1},
     "TIFF",
     sniff_tiff,
     read_tiff,
     write_tiff},
    {{"webp", "webp", "WebP: lossy and lossless, with or without alpha, 8 bits", IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA, 0,
      0},
     "WebP",
     sniff_webp,
     read_webp,
     write_webp},
    {{"bmp", "bmp dib", "BMP: 1 to 32 bits, palettes, RLE4 and RLE8, bit fields, alpha; writes 24 and 32 bits",
      IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA, 0, 0},
     "BMP",
     sniff_bmp,
     read_bmp,
     write_bmp},
    {{"gif", "gif", "GIF: the first frame, with its transparency; written with a palette",
      IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA, 0, 0},
     "GIF",
     sniff_gif,
     read_gif,
     write_gif},
    {{"q1", "q1", "tessera float image", IMAGE_FLOAT, 0, 0}, "Q1", sniff_q1, read_library, write_library},
    {{"q2", "q2", "tessera double image", IMAGE_DOUBLE, 0, 0}, "Q2", sniff_q2, read_library, write_library},
    {{"q3", "q3", "tessera 32-bit integer image", IMAGE_INT, 0, 0}, "Q3", sniff_q3, read_library, write_library},
    {{"q4", "q4", "tessera 16-bit integer image", IMAGE_SHORT, 0, 0}, "Q4", sniff_q4, read_library, write_library},
    {{"q10", "q10", "tessera three-float image (A)", IMAGE_FLOAT3A, 0, 0},
     "Q10",
     sniff_q10,
     read_library,
     write_library},
    {{"q11", "q11", "tessera three-float image (B)", IMAGE_FLOAT3B, 0, 0},
     "Q11",
     sniff_q11,
     read_library,
     write_library},
    {{"q12", "q12", "tessera RGBA image", IMAGE_RGBA, 0, 0}, "Q12", sniff_q12, read_library, write_library},
    {{"q13", "q13", "tessera 16-bit gray image", IMAGE_GRAY16, 0, 0}, "Q13", sniff_q13, read_library, write_library},
    {{"q14", "q14", "tessera 16-bit RGB image", IMAGE_RGB16, 0, 0}, "Q14", sniff_q14, read_library, write_library},
    {{"q15", "q15", "tessera 16-bit RGBA image", IMAGE_RGBA16, 0, 0}, "Q15", sniff_q15, read_library, write_library},
};
const std::size_t codec_count = sizeof codecs / sizeof codecs[0];

const Codec *codec_of(const tessera_io_format *f) {
    for (const Codec &c : codecs)
        if (&c.format == f) return &c;
    return nullptr;
}

} // namespace tessera::detail::io

using tessera::detail::io::codec_count;
using tessera::detail::io::codecs;

extern "C" {

size_t tessera_io_format_count(void) { return codec_count; }

const tessera_io_format *tessera_io_format_at(size_t i) { return i < codec_count ? &codecs[i].format : nullptr; }

const tessera_io_format *tessera_io_format_named(const char *name) {
    if (!name) return nullptr;
    if (name[0] == '.') ++name;
    for (const auto &c : codecs)
        if (strcasecmp(name, c.format.name) == 0) return &c.format;
    for (const auto &c : codecs)
        for (const char *e = c.format.extensions; *e;) {
            const std::size_t k = std::strcspn(e, " ");
            if (k == std::strlen(name) && strncasecmp(e, name, k) == 0) return &c.format;
            e += k;
            while (*e == ' ') ++e;
        }
    return nullptr;
}

const tessera_io_format *tessera_io_format_of_path(const char *path) {
    if (!path) return nullptr;
    const char *slash = std::strrchr(path, '/'), *dot = std::strrchr(path, '.');
    if (!dot || (slash && dot < slash)) return nullptr;
    return tessera_io_format_named(dot + 1);
}

const char *tessera_io_format_names(void) {
    static const char *const names = [] {
        static char text[256];
        std::size_t at = 0;
        for (const auto &c : codecs)
            at +=
                static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, at ? ", %s" : "%s", c.format.name));
        return text;
    }();
    return names;
}

uint16_t tessera_io_target_tag(const tessera_io_format *f, uint16_t tag, int may_convert) {
    if (!f || !f->writes) return 0;
    if (f->writes & tag) return tag;
    if (!may_convert) return 0;
    const bool colour = tessera::detail::io::colour_channels(tag) == 3;
    if (tag == IMAGE_RGBA16 && (f->writes & IMAGE_RGBA)) return IMAGE_RGBA;
    if (colour && (f->writes & IMAGE_RGB)) return IMAGE_RGB;
    if (f->writes & IMAGE_GRAY) return IMAGE_GRAY;
    if (f->writes & IMAGE_RGB) return IMAGE_RGB;
    for (uint16_t bit = 1; bit; bit = static_cast<uint16_t>(bit << 1))
        if (f->writes & bit) return bit;
    return 0;
}

} // extern "C"
