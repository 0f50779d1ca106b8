/* The jobs' use of libtessera_io: loading, writing and the reasons for failures. */
#include "files.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

int say(problem *p, int code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(p->text, sizeof p->text, fmt, ap);
    va_end(ap);
    p->error = 0;
    p->code = code;
    return 0;
}

int say_system(problem *p, const char *doing) {
    const int e = errno;
    say(p, TESSERA_ERROR_FILE, "%s: %s", doing, strerror(e));
    p->error = e;
    return 0;
}

int say_core(problem *p) { return say(p, tessera_last_error_code(), "%s", tessera_last_error()); }

int say_io(problem *p) {
    say(p, tessera_io_last_error_code(), "%s", tessera_io_last_error());
    p->error = tessera_io_last_errno();
    return 0;
}

const char *tag_name(unsigned tag) {
    switch (tag) {
    case IMAGE_GRAY: return "IMAGE_GRAY";
    case IMAGE_FLOAT: return "IMAGE_FLOAT";
    case IMAGE_RGB: return "IMAGE_RGB";
    case IMAGE_DOUBLE: return "IMAGE_DOUBLE";
    case IMAGE_BINARY: return "IMAGE_BINARY";
    case IMAGE_INT: return "IMAGE_INT";
    case IMAGE_SHORT: return "IMAGE_SHORT";
    case IMAGE_FLOAT3A: return "IMAGE_FLOAT3A";
    case IMAGE_FLOAT3B: return "IMAGE_FLOAT3B";
    case IMAGE_RGBA: return "IMAGE_RGBA";
    case IMAGE_GRAY16: return "IMAGE_GRAY16";
    case IMAGE_RGB16: return "IMAGE_RGB16";
    case IMAGE_RGBA16: return "IMAGE_RGBA16";
    default: return "unknown";
    }
}

int is_drawing(const char *path, int *colour) {
    /* Only files are looked at twice: a pipe is read once, by the image loader. */
    struct stat st;
    *colour = 0;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    /* The first word, after white space and comments, as the drawing reader sees it. */
    magicStart();
    adtStringHeader *word = NULL;
    magicGetString(f, &word);
    fclose(f);
    const char *w = word ? strGet(word) : "";
    const int drawing = strcmp(w, "PTL") == 0 || strcmp(w, "CPTL") == 0;
    *colour = strcmp(w, "CPTL") == 0;
    strFree(word);
    return drawing;
}

/* The load options every reading of a file here takes. */
static tessera_io_load_options load_options(RGB background, int depth, int keep_orientation, int to_srgb,
                                            uint64_t max_pixels, tessera_io_metadata *meta) {
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    o.background = background;
    o.depth = depth;
    o.keep_orientation = keep_orientation;
    o.max_pixels = max_pixels;
    o.metadata = meta;
    o.to_srgb = to_srgb;
    return o;
}

AnyImageStruct *load_any(const char *path, RGB background, int depth, int keep_orientation, int to_srgb,
                         uint64_t max_pixels, tessera_io_info *info, tessera_io_metadata *meta, problem *why) {
    const tessera_io_load_options o = load_options(background, depth, keep_orientation, to_srgb, max_pixels, meta);
    AnyImageStruct *im = tessera_io_load(path, &o, info);
    if (!im) say_io(why);
    return im;
}

AnyImageStruct *thumbnail_any(const char *path, int32_t width, int32_t height, int filter, RGB background,
                              int keep_orientation, int to_srgb, uint64_t max_pixels, tessera_io_metadata *meta,
                              problem *why) {
    const tessera_io_load_options o =
        load_options(background, TESSERA_IO_OWN, keep_orientation, to_srgb, max_pixels, meta);
    AnyImageStruct *im = tessera_io_thumbnail(path, width, height, filter, &o, NULL);
    if (!im) say_io(why);
    return im;
}

uint16_t probe_any(const char *path, RGB background, int depth, tessera_io_info *info, tessera_io_metadata *meta,
                   problem *why) {
    const tessera_io_load_options o = load_options(background, depth, 1, 0, 0, meta);
    const uint16_t tag = tessera_io_probe(path, &o, info);
    if (!tag) say_io(why);
    return tag;
}

int write_output(AnyImageStruct *im, const out_format *f, const char *path, int depth, int quality, int compression,
                 int lossless, const tessera_io_metadata *meta, problem *why) {
    why->text[0] = '\0';
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    o.depth = depth;
    o.quality = quality;
    o.compression = compression;
    o.lossless = lossless;
    o.metadata = meta;
    if (tessera_io_save(im, path, f, &o) == 0) return 1;
    return say_io(why);
}

static uint32_t icc_u32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void icc_description(const unsigned char *icc, size_t n, char *text, size_t size) {
    text[0] = '\0';
    if (n < 132 || size == 0) return;
    const uint32_t tags = icc_u32(icc + 128);
    for (uint32_t i = 0; i < tags && 132 + 12 * (size_t)(i + 1) <= n; ++i) {
        const unsigned char *t = icc + 132 + 12 * (size_t)i;
        const uint32_t at = icc_u32(t + 4), length = icc_u32(t + 8);
        if (memcmp(t, "desc", 4) != 0 || at > n || length > n - at || length < 12) continue;
        const unsigned char *d = icc + at;
        size_t k = 0;
        if (memcmp(d, "desc", 4) == 0) { /* ASCII: a count with its NUL, then the letters */
            const uint32_t count = icc_u32(d + 8);
            for (uint32_t j = 0; j < count && 12 + (size_t)j < length && d[12 + j] && k + 1 < size; ++j)
                text[k++] = (char)(d[12 + j] < 0x20 || d[12 + j] > 0x7e ? '?' : d[12 + j]);
        } else if (memcmp(d, "mluc", 4) == 0 && length >= 28 && icc_u32(d + 8) > 0) { /* UTF-16, big-endian */
            const uint32_t bytes = icc_u32(d + 20), from = icc_u32(d + 24);
            for (uint32_t j = 0; from <= length && j + 1 < bytes && j + 1 < length - from && k + 1 < size; j += 2) {
                const unsigned c = (unsigned)d[from + j] << 8 | d[from + j + 1];
                if (c == 0) break;
                text[k++] = (char)(c < 0x20 || c > 0x7e ? '?' : c);
            }
        }
        text[k] = '\0';
        return;
    }
}

int paint_border(AnyImageStruct *im, int n, RGB colour) {
    /* The colour as the image's element type: a one-pixel RGB image converted like any other. */
    RGBImageStruct *dot = im_NewOrWrap_(IMAGE_RGB, 1, 1, 0, 0, NULL, 0, 0, NULL);
    if (!dot) return 0;
    dot->data[0][0] = colour;
    AnyImageStruct *as = im->header->tag == IMAGE_RGB ? NULL : tessera_io_convert(dot, im->header->tag, 0);
    const char *value = as ? (const char *)as->data[0] : (const char *)dot->data[0];
    const int ok = as || im->header->tag == IMAGE_RGB;
    const ImageHeader *h = im->header;
    if (ok) {
        size_t elem = 0;
        switch (h->tag) {
        case IMAGE_GRAY:
        case IMAGE_BINARY: elem = 1; break;
        case IMAGE_SHORT:
        case IMAGE_GRAY16: elem = 2; break;
        case IMAGE_INT:
        case IMAGE_FLOAT:
        case IMAGE_RGBA: elem = 4; break;
        case IMAGE_RGB: elem = 3; break;
        case IMAGE_RGB16: elem = 6; break;
        case IMAGE_DOUBLE:
        case IMAGE_RGBA16: elem = 8; break;
        default: elem = 12;
        }
        for (int y = 0; y < h->height; ++y)
            for (int x = 0; x < h->width; ++x)
                if (y < n || y >= h->height - n || x < n || x >= h->width - n)
                    memcpy((char *)im->data[h->yoffset + y] + (size_t)(h->xoffset + x) * elem, value, elem);
    }
    if (as) im_Free_(as, as->header->tag);
    im_Free_(dot, IMAGE_RGB);
    return ok;
}
