// TIFF through libtiff: 1, 8 and 16-bit gray and RGB (with alpha), signed and 32-bit gray, 32-bit
// float gray and 8-bit palettes, strips or tiles, contiguous or separate planes, read band by
// band; anything else libtiff's RGBA interface handles (CMYK, YCbCr, 2 and 4-bit palettes and
// gray) is read at 8 bits through it, a band at a time. TIFF needs to seek, so input from a pipe
// is gathered in memory first (up to the budget), and output is made in memory before it goes
// to the stream.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "image/image_internal.h"

namespace tessera::detail::io {

namespace {

// A file in memory that libtiff reads or writes.
struct Memory {
    unsigned char *data;
    std::size_t size, cap, at;
    void *mapping = nullptr; // the file mapped (data is in it), when it is read row by row
    std::size_t mapped = 0;
};

// Lets the pages of a mapped file already read go: they are read again from the page cache if
// needed, so that a file read row by row never stays whole in memory.
void drop_pages(const Memory &m) {
    if (m.mapping) madvise(m.mapping, m.mapped, MADV_DONTNEED);
}

tmsize_t memory_read(thandle_t h, void *buf, tmsize_t n) {
    auto *m = static_cast<Memory *>(h);
    if (n <= 0) return 0;
    if (m->at >= m->size) return 0;
    const std::size_t k = static_cast<std::size_t>(n) < m->size - m->at ? static_cast<std::size_t>(n) : m->size - m->at;
    std::memcpy(buf, m->data + m->at, k);
    m->at += k;
    return static_cast<tmsize_t>(k);
}

tmsize_t memory_write(thandle_t h, void *buf, tmsize_t n) {
    auto *m = static_cast<Memory *>(h);
    if (n < 0) return -1;
    const std::size_t end = m->at + static_cast<std::size_t>(n);
    if (!reserve(m->data, m->cap, end)) return -1;
    if (m->at > m->size) std::memset(m->data + m->size, 0, m->at - m->size);
    std::memcpy(m->data + m->at, buf, static_cast<std::size_t>(n));
    m->at = end;
    if (end > m->size) m->size = end;
    return n;
}

toff_t memory_seek(thandle_t h, toff_t off, int whence) {
    auto *m = static_cast<Memory *>(h);
    const std::size_t size = m->size;
    std::size_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->at : size;
    m->at = base + static_cast<std::size_t>(off);
    return m->at;
}

int memory_close(thandle_t) { return 0; }
// Files being read are whole in memory and given to libtiff as a mapping, the way its own tools
// read files: its path for unmapped files writes outside its buffer on some damaged tiles.
int memory_map(thandle_t h, void **base, toff_t *size) {
    auto *m = static_cast<Memory *>(h);
    if (!m->data) return 0;
    *base = m->data;
    *size = m->size;
    return 1;
}
toff_t memory_size(thandle_t h) { return static_cast<Memory *>(h)->size; }
int no_map(thandle_t, void **, toff_t *) { return 0; }
void no_unmap(thandle_t, void *, toff_t) {}

// A seekable output stream libtiff writes into directly, at offsets from where it stood.
struct Stream {
    FILE *f;
    long start;
};
tmsize_t stream_write(thandle_t h, void *buf, tmsize_t n) {
    auto *s = static_cast<Stream *>(h);
    return std::fwrite(buf, 1, static_cast<std::size_t>(n), s->f) == static_cast<std::size_t>(n) ? n : -1;
}
tmsize_t stream_read(thandle_t h, void *buf, tmsize_t n) {
    auto *s = static_cast<Stream *>(h);
    return n < 0 ? -1 : static_cast<tmsize_t>(std::fread(buf, 1, static_cast<std::size_t>(n), s->f));
}
toff_t stream_seek(thandle_t h, toff_t off, int whence) {
    auto *s = static_cast<Stream *>(h);
    const long where = whence == SEEK_SET ? s->start + static_cast<long>(off) : static_cast<long>(off);
    if (std::fseek(s->f, where, whence) != 0) return static_cast<toff_t>(-1);
    return static_cast<toff_t>(std::ftell(s->f) - s->start);
}
toff_t stream_size(thandle_t h) {
    auto *s = static_cast<Stream *>(h);
    const long here = std::ftell(s->f);
    std::fseek(s->f, 0, SEEK_END);
    const long end = std::ftell(s->f);
    std::fseek(s->f, here, SEEK_SET);
    return static_cast<toff_t>(end - s->start);
}

// What libtiff said while a file was read: any error fails the load, even where libtiff goes on
// (a tag it drops, a table it could not allocate), and so does a colour map it set aside.
struct Said {
    bool error = false;
    bool colour_map = false;
};

int on_error(TIFF *, void *user, const char *, const char *format, va_list ap) {
    if (user) static_cast<Said *>(user)->error = true;
    if (reason_empty()) {
        char text[400];
        std::vsnprintf(text, sizeof text, format, ap);
        fail(Err::format, "a damaged TIFF file: %s", text);
    }
    return 1;
}
int on_warning(TIFF *, void *user, const char *, const char *format, va_list ap) {
    if (!user) return 1;
    char text[400];
    std::vsnprintf(text, sizeof text, format, ap);
    if (strcasestr(text, "colormap")) static_cast<Said *>(user)->colour_map = true;
    return 1;
}

TIFF *open_tiff(Memory *m, Stream *stream, const char *mode, uint64_t max_alloc, Said *said = nullptr) {
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    if (!opts) return fail(Err::memory, "out of memory for the TIFF reader"), nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts, on_error, said);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, on_warning, said);
    if (max_alloc) TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(max_alloc));
    TIFF *t = stream ? TIFFClientOpenExt("tiff", mode, stream, stream_read, stream_write, stream_seek, memory_close,
                                         stream_size, no_map, no_unmap, opts)
                     : TIFFClientOpenExt("tiff", mode, m, memory_read, memory_write, memory_seek, memory_close,
                                         memory_size, mode[0] == 'r' ? memory_map : no_map, no_unmap, opts);
    TIFFOpenOptionsFree(opts);
    if (!t && reason_empty()) fail(Err::format, "cannot read the TIFF file");
    return t;
}

// Gathers what a stream that cannot seek holds, up to most bytes.
bool gather(FILE *in, std::size_t most, Memory &m) {
    for (;;) {
        if (m.size == m.cap) {
            if (m.cap >= most) return fail(Err::limit, "a TIFF file from a stream longer than %zu bytes", most);
            const std::size_t cap = m.cap ? (m.cap * 2 < most ? m.cap * 2 : most) : 1 << 20;
            auto *more = static_cast<unsigned char *>(std::realloc(m.data, cap));
            if (!more) return fail(Err::memory, "out of memory for the TIFF file");
            m.data = more;
            m.cap = cap;
        }
        const std::size_t got = std::fread(m.data + m.size, 1, m.cap - m.size, in);
        m.size += got;
        if (got == 0) return !std::ferror(in) || fail_system("cannot read");
    }
}

struct Shape {
    uint32_t w, h;
    uint16_t bits, spp, photometric, planar, format, extra;
    bool associated; // the alpha sample is associated: colours are multiplied by it
    bool gray() const { return photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE; }
    // Samples the 8- and 16-bit row layouts cannot hold: signed ones, and 32-bit unsigned ones.
    bool wide() const { return format == SAMPLEFORMAT_INT || (format == SAMPLEFORMAT_UINT && bits == 32); }
};

// The layouts read band by band (a strip or a row of tiles at a time): 1, 8 and 16-bit gray and
// RGB with or without alpha, one-channel 8, 16 and 32-bit signed, 32-bit unsigned and 32-bit
// float gray, and 8-bit palette files. Others go through libtiff's RGBA interface.
bool native_layout(const Shape &s) {
    if (s.photometric == PHOTOMETRIC_PALETTE) return s.spp == 1 && s.bits == 8 && s.format == SAMPLEFORMAT_UINT;
    if (!s.gray() && s.photometric != PHOTOMETRIC_RGB) return false;
    if (s.extra > 1 || s.spp != (s.gray() ? 1 : 3) + s.extra) return false;
    const bool plain_gray = s.gray() && s.spp == 1;
    switch (s.format) {
    case SAMPLEFORMAT_UINT:
        return s.bits == 1 ? s.spp == 1 : s.bits == 8 || s.bits == 16 || (s.bits == 32 && plain_gray);
    case SAMPLEFORMAT_INT: return plain_gray && (s.bits == 8 || s.bits == 16 || s.bits == 32);
    case SAMPLEFORMAT_IEEEFP: return plain_gray && s.bits == 32;
    default: return false;
    }
}

struct Band {
    unsigned char *data;
    unsigned char *piece;
    uint32_t *samples;
};

void free_band(Band &b) {
    std::free(b.data);
    std::free(b.piece);
    std::free(b.samples);
}

// One sample of a wide layout as its value.
int64_t wide_sample(const unsigned char *p, const Shape &s) {
    if (s.format == SAMPLEFORMAT_INT) {
        if (s.bits == 8) return static_cast<int8_t>(*p);
        if (s.bits == 16) {
            int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The colours of an 8-bit palette as libtiff's RGBA interface gives them: a map whose entries
// all lie below 256 is taken as 8-bit (some writers store it so), any other keeps its high byte.
// False when the file has no usable map.
bool palette_of(TIFF *t, RGB out[256]) {
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) return false;
    bool sixteen = false;
    for (int i = 0; i < 256; ++i) sixteen = sixteen || r[i] >= 256 || g[i] >= 256 || b[i] >= 256;
    const int shift = sixteen ? 8 : 0;
    for (int i = 0; i < 256; ++i)
        out[i] = RGB{static_cast<uint8_t>(r[i] >> shift), static_cast<uint8_t>(g[i] >> shift),
                     static_cast<uint8_t>(b[i] >> shift)};
    return true;
}

// Stores a row of wide samples: as they are into the kept types, or mapped from the samples'
// whole range onto 0..255 (rounded) into gray.
void put_wide_row(AnyImageStruct *im, int32_t y, const unsigned char *src, const Shape &s) {
    const bool is_signed = s.format == SAMPLEFORMAT_INT;
    const int64_t lo = is_signed ? -(int64_t{1} << (s.bits - 1)) : 0;
    const int64_t hi = is_signed ? (int64_t{1} << (s.bits - 1)) - 1 : (int64_t{1} << s.bits) - 1;
    const std::size_t step = s.bits / 8;
    void *row = im->data[y];
    for (uint32_t x = 0; x < s.w; ++x) {
        int64_t v = wide_sample(src + x * step, s);
        if (s.photometric == PHOTOMETRIC_MINISWHITE) v = hi - (v - lo);
        switch (im->header->tag) {
        case IMAGE_SHORT: static_cast<int16_t *>(row)[x] = static_cast<int16_t>(v); break;
        case IMAGE_INT: static_cast<int32_t *>(row)[x] = static_cast<int32_t>(v); break;
        case IMAGE_DOUBLE: static_cast<double *>(row)[x] = static_cast<double>(v); break;
        default: {
            const auto span = static_cast<uint64_t>(hi - lo), at = static_cast<uint64_t>(v - lo);
            static_cast<uint8_t *>(row)[x] = static_cast<uint8_t>((at * 255 + span / 2) / span);
        }
        }
    }
}

AnyImageStruct *read_native(TIFF *t, const Shape &s, const Request &r, uint64_t file_bytes, const Memory &m) {
    const bool tiled = TIFFIsTiled(t);
    uint32_t tw = s.w, th = 0;
    if (tiled) {
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
    } else {
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &th);
    }
    if (th == 0 || tw == 0) return fail(Err::format, "a damaged TIFF file: no strip or tile size"), nullptr;
    if (th > s.h) th = s.h;
    const bool separate = s.planar == PLANARCONFIG_SEPARATE && s.spp > 1;
    const std::size_t bytes = s.bits / 8 ? s.bits / 8 : 1;
    const std::size_t per = separate ? 1 : s.spp;
    // One band of full rows: unpacked samples for every plane.
    const std::size_t row_bytes = s.bits == 1 ? (s.w + 7) / 8 : static_cast<std::size_t>(s.w) * per * bytes;
    const std::size_t plane_bytes = row_bytes * th;
    const std::size_t planes = separate ? s.spp : 1;
    Layout l;
    l.channels = s.spp >= 3 ? 3 : 1;
    l.alpha = s.extra;
    l.premultiplied = s.associated;
    l.maxval = s.bits == 1 ? 1 : s.bits == 16 ? 65535 : 255;
    from_request(l, r);
    l.white_is_zero = false;
    choose_tag(l, s.bits == 1);
    if (s.format == SAMPLEFORMAT_IEEEFP) l.tag = IMAGE_FLOAT;
    RGB palette[256];
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        if (!palette_of(t, palette))
            return fail(Err::format, "a palette TIFF file without a usable colour map"), nullptr;
        l.tag = IMAGE_RGB;
    }
    // Wide samples are kept as they are unless reduced: signed ones of 8 and 16 bits in 16-bit
    // integers, of 32 bits in 32-bit ones, unsigned 32-bit ones in doubles (every value exact).
    if (s.wide())
        l.tag = r.options->depth == TESSERA_IO_REDUCE ? IMAGE_GRAY
                : s.format == SAMPLEFORMAT_UINT       ? IMAGE_DOUBLE
                : s.bits == 32                        ? IMAGE_INT
                                                      : IMAGE_SHORT;
    const uint64_t tile_bytes = tiled ? static_cast<uint64_t>(TIFFTileSize64(t)) : 0;
    const uint64_t beside = file_bytes + plane_bytes * planes + tile_bytes + uint64_t{s.w} * s.spp * 4;
    // Rows go to a caller that takes them one at a time through an image of one band's rows.
    const bool streamed = rows_wanted(r);
    // Every pixel is written before the image is seen, except where a damaged compressed strip
    // decodes straight into it and leaves part unwritten: those images start as zeros.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    const bool written = tiled || compression == COMPRESSION_NONE;
    AnyImageStruct *im = streamed ? row_band(r, l.tag, s.w, th, beside) : new_image(l, s.w, s.h, r, beside, written);
    if (!im) return nullptr;
    Band b{static_cast<unsigned char *>(std::malloc(plane_bytes * planes)),
           static_cast<unsigned char *>(std::malloc(tiled ? static_cast<std::size_t>(tile_bytes) : 1)),
           static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(s.w) * s.spp * 4))};
    bool ok = b.data && b.piece && b.samples;
    if (!ok) fail(Err::memory, "out of memory for a band of %u rows", th);
    const uint32_t strips_per_plane = tiled ? 0 : (s.h + th - 1) / th;
    // Strips of 8 and 16-bit rows the image holds as they are (libtiff gives 16-bit samples in
    // the machine's order) decode straight into its pixels, which are one block.
    const auto *first = static_cast<unsigned char *>(im->data[0]);
    const uint16_t tag = im->header->tag;
    const bool same_samples = s.bits == 8 ? (tag == IMAGE_GRAY && s.spp == 1) || (tag == IMAGE_RGB && s.spp == 3) ||
                                                (tag == IMAGE_RGBA && s.spp == 4 && s.extra == 1)
                              : s.bits == 16
                                  ? (tag == IMAGE_GRAY16 && s.spp == 1) || (tag == IMAGE_RGB16 && s.spp == 3) ||
                                        (tag == IMAGE_RGBA16 && s.spp == 4 && s.extra == 1)
                                  : false;
    const bool direct =
        !streamed && !tiled && !separate && same_samples && !s.wide() && !s.associated &&
        s.format == SAMPLEFORMAT_UINT &&
        (s.photometric == PHOTOMETRIC_MINISBLACK || s.photometric == PHOTOMETRIC_RGB) && !l.keep &&
        static_cast<unsigned char *>(im->data[s.h - 1]) - first == static_cast<std::ptrdiff_t>(row_bytes) * (s.h - 1);
    // Decodes the band of rows from y0 into im, its row y0 - base the band's first.
    const auto band = [&](uint32_t y0, uint32_t base) {
        const uint32_t rows = s.h - y0 < th ? s.h - y0 : th;
        for (uint16_t plane = 0; ok && plane < planes; ++plane) {
            unsigned char *into = b.data + plane * plane_bytes;
            if (!tiled) {
                const uint32_t strip = y0 / th + plane * strips_per_plane;
                const tmsize_t want = static_cast<tmsize_t>(row_bytes * rows);
                if (direct) into = static_cast<unsigned char *>(im->data[y0 - base]);
                // a damaged compressed strip may leave part of the buffer unwritten: it reads as
                // zeros, as it does in a new image, whichever buffer the band goes through
                else std::memset(into, 0, static_cast<std::size_t>(want));
                if (TIFFReadEncodedStrip(t, strip, into, want) < want)
                    ok = reason_empty() ? fail(Err::format, "a damaged TIFF file: a strip is short") : false;
                continue;
            }
            const std::size_t tile_row = s.bits == 1 ? (tw + 7) / 8 : static_cast<std::size_t>(tw) * per * bytes;
            for (uint32_t x0 = 0; ok && x0 < s.w; x0 += tw) {
                std::memset(b.piece, 0, static_cast<std::size_t>(tile_bytes));
                if (TIFFReadTile(t, b.piece, x0, y0, 0, plane) < 0) {
                    ok = reason_empty() ? fail(Err::format, "a damaged TIFF file: a tile cannot be read") : false;
                    break;
                }
                const uint32_t cols = s.w - x0 < tw ? s.w - x0 : tw;
                for (uint32_t k = 0; k < rows; ++k) {
                    if (s.bits == 1) { // tiles of bits start on a byte: move bit by bit
                        for (uint32_t x = 0; x < cols; ++x) {
                            const unsigned bit = (b.piece[k * tile_row + x / 8] >> (7 - x % 8)) & 1;
                            unsigned char &to = into[k * row_bytes + (x0 + x) / 8];
                            const unsigned mask = 0x80U >> ((x0 + x) % 8);
                            to = static_cast<unsigned char>(bit ? to | mask : to & ~mask);
                        }
                    } else {
                        std::memcpy(into + k * row_bytes + x0 * per * bytes, b.piece + k * tile_row,
                                    cols * per * bytes);
                    }
                }
            }
        }
        // Contiguous rows without alpha or inversion go straight in.
        const bool plain = !separate && !s.extra && s.photometric != PHOTOMETRIC_MINISWHITE;
        for (uint32_t k = 0; ok && !direct && k < rows; ++k) {
            const int32_t y = static_cast<int32_t>(y0 + k - base);
            const unsigned char *src = b.data + k * row_bytes;
            if (s.format == SAMPLEFORMAT_IEEEFP) {
                std::memcpy(im->data[y], src, row_bytes);
                continue;
            }
            if (s.photometric == PHOTOMETRIC_PALETTE) {
                auto *out = static_cast<RGB *>(im->data[y]);
                for (uint32_t x = 0; x < s.w; ++x) out[x] = palette[src[x]];
                continue;
            }
            if (s.wide()) {
                put_wide_row(im, y, src, s);
                continue;
            }
            if (plain && s.bits == 8 && !l.keep) {
                put_row8(im, y, src, l, b.samples);
                continue;
            }
            if (plain && s.bits == 16) {
                auto *wide = reinterpret_cast<const uint16_t *>(src); // libtiff gives native order
                if (put_row16(im, y, wide, l)) continue;
            }
            for (uint32_t x = 0; x < s.w; ++x)
                for (uint16_t c = 0; c < s.spp; ++c) {
                    const unsigned char *src = separate ? b.data + c * plane_bytes + k * row_bytes + x * bytes
                                                        : b.data + k * row_bytes + (x * s.spp + c) * bytes;
                    uint32_t v;
                    if (s.bits == 1) v = (b.data[k * row_bytes + x / 8] >> (7 - x % 8)) & 1;
                    else if (s.bits == 8) v = *src;
                    else {
                        uint16_t w16;
                        std::memcpy(&w16, src, 2);
                        v = w16;
                    }
                    if (s.photometric == PHOTOMETRIC_MINISWHITE && c == 0 && s.spp <= 2) v = l.maxval - v;
                    b.samples[x * s.spp + c] = v;
                }
            if (s.bits == 1) // a set pixel is black: sample 0 after the photometric is applied
                for (uint32_t x = 0; x < s.w; ++x) b.samples[x] = b.samples[x] == 0;
            put_row(im, y, b.samples, l);
        }
        return ok;
    };
    if (streamed && ok) {
        struct Banded {
            decltype(band) &decode;
            const Memory &m;
            AnyImageStruct *im;
            uint32_t th, base = 0, held = 0; // the band's first row, and how many it holds
            std::size_t bytes;
        } d{band, m, im, th, 0, 0, static_cast<std::size_t>(s.w) * tessera::detail::fixed_elem_size(l.tag)};
        const auto next = [](void *state, int32_t y, void *row) {
            auto *d = static_cast<Banded *>(state);
            const auto want = static_cast<uint32_t>(y);
            if (want >= d->base + d->held) { // the band that holds it (bands not asked for are skipped)
                d->base = want / d->th * d->th;
                d->held = 0;
                if (!d->decode(d->base, d->base)) return false;
                drop_pages(d->m);
                d->held = d->th;
            }
            std::memcpy(row, d->im->data[want - d->base], d->bytes);
            return true;
        };
        ok = give_rows(r, {l.tag, static_cast<int32_t>(s.w), static_cast<int32_t>(s.h), next, &d});
    }
    for (uint32_t y0 = 0; !streamed && ok && y0 < s.h; y0 += th) ok = band(y0, 0);
    free_band(b);
    if (ok && !streamed) return im;
    im_Free_(im, im->header->tag);
    return nullptr;
}

// Through libtiff's RGBA interface, a band of rows at a time: as many as a strip or a row of
// tiles holds, so that each is decoded once.
AnyImageStruct *read_rgba(TIFF *t, const Shape &s, const Request &r, uint64_t file_bytes) {
    char why[1024] = "";
    if (!TIFFRGBAImageOK(t, why)) return fail(Err::unsupported, "this TIFF layout is not supported: %s", why), nullptr;
    Layout l;
    l.channels = 3;
    l.alpha = s.extra ? 1 : 0;
    l.premultiplied = l.alpha; // the RGBA interface gives colours multiplied by alpha
    from_request(l, r);
    choose_tag(l, false);
    if (s.gray() && !l.alpha) l.tag = IMAGE_GRAY;
    uint32_t band = 0;
    uint64_t piece = 0;
    if (TIFFIsTiled(t)) {
        TIFFGetField(t, TIFFTAG_TILELENGTH, &band);
        piece = static_cast<uint64_t>(TIFFTileSize64(t));
    } else {
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &band);
        piece = static_cast<uint64_t>(TIFFStripSize64(t));
    }
    if (band == 0) return fail(Err::format, "a damaged TIFF file: no strip or tile size"), nullptr;
    if (band > s.h) band = s.h;
    const uint64_t raster_bytes = uint64_t{s.w} * band * 4;
    AnyImageStruct *im = new_image(l, s.w, s.h, r, file_bytes + raster_bytes + piece + uint64_t{s.w} * 16);
    if (!im) return nullptr;
    auto *raster = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(raster_bytes)));
    auto *samples = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(s.w) * 4 * 4));
    // A Begin that fails part way keeps what it allocated: End releases it, and ignores what was
    // never set (the record starts zeroed).
    TIFFRGBAImage img;
    std::memset(&img, 0, sizeof img);
    bool begun = false;
    bool ok = raster && samples;
    if (!ok) fail(Err::memory, "out of memory for a band of %u rows of a %u x %u TIFF", band, s.w, s.h);
    if (ok) {
        begun = true;
        if (!TIFFRGBAImageBegin(&img, t, 1, why))
            ok = reason_empty() ? fail(Err::unsupported, "this TIFF layout is not supported: %s", why) : false;
    }
    if (ok) img.req_orientation = img.orientation; // the pixels as stored: the loader turns them
    for (uint32_t y0 = 0; ok && y0 < s.h; y0 += band) {
        const uint32_t rows = std::min(band, s.h - y0);
        img.row_offset = static_cast<int>(y0);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, raster, s.w, rows)) {
            ok = reason_empty() ? fail(Err::format, "a damaged TIFF file") : false;
            break;
        }
        for (uint32_t k = 0; k < rows; ++k) {
            const uint32_t *p = raster + static_cast<std::size_t>(k) * s.w;
            const int step = l.alpha ? 4 : 3;
            for (uint32_t x = 0; x < s.w; ++x) {
                samples[x * step] = TIFFGetR(p[x]);
                samples[x * step + 1] = TIFFGetG(p[x]);
                samples[x * step + 2] = TIFFGetB(p[x]);
                if (l.alpha) samples[x * step + 3] = TIFFGetA(p[x]);
            }
            put_row(im, static_cast<int32_t>(y0 + k), samples, l);
        }
    }
    if (begun) TIFFRGBAImageEnd(&img);
    std::free(raster);
    std::free(samples);
    if (ok) return im;
    im_Free_(im, im->header->tag);
    return nullptr;
}

// The Photometric value the file's first directory stores, or -1: libtiff reads a palette file
// without a colour map as gray, and says nothing of it for 8-bit samples.
int stored_photometric(const unsigned char *d, std::size_t n) {
    if (n < 16 || (d[0] != d[1]) || (d[0] != 'I' && d[0] != 'M')) return -1;
    const bool le = d[0] == 'I';
    auto get = [&](std::size_t at, int bytes) -> uint64_t {
        uint64_t v = 0;
        for (int k = 0; k < bytes; ++k) v |= static_cast<uint64_t>(d[at + k]) << (8 * (le ? k : bytes - 1 - k));
        return v;
    };
    const bool big = get(2, 2) == 43;
    const uint64_t ifd = big ? get(8, 8) : get(4, 4);
    const std::size_t count_size = big ? 8 : 2, entry = big ? 20 : 12;
    if (ifd > n || n - ifd < count_size) return -1;
    const uint64_t entries = get(ifd, static_cast<int>(count_size));
    for (uint64_t e = 0; e < entries; ++e) {
        const uint64_t at = ifd + count_size + e * entry;
        if (at > n || n - at < entry) return -1;
        if (get(at, 2) == TIFFTAG_PHOTOMETRIC && get(at + 2, 2) == TIFF_SHORT)
            return static_cast<int>(get(at + (big ? 12 : 8), 2));
    }
    return -1;
}

// Whether a layout is refused before anything is decoded, with the reason set.
bool refused(TIFF *t, const Shape &s, bool colour_map_dropped, int stored) {
    if (s.w == 0 || s.h == 0) return !fail(Err::format, "a damaged TIFF file: no size");
    if (stored == PHOTOMETRIC_PALETTE && s.photometric != PHOTOMETRIC_PALETTE)
        return !fail(Err::format, "a palette TIFF file without a usable colour map");
    // libtiff keeps a tag whose copy it could not allocate, with no values: it would read them.
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (colour_map_dropped || !TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue)
            return !fail(Err::format, "a palette TIFF file without a usable colour map");
    }
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_JPEG) {
        uint32_t count = 0;
        void *tables = nullptr;
        if (TIFFGetField(t, TIFFTAG_JPEGTABLES, &count, &tables) && count > 0 && !tables)
            return !fail(Err::memory, "out of memory for the JPEG tables of a TIFF file");
    }
    if (native_layout(s)) return false;
    if (s.format == SAMPLEFORMAT_INT)
        return !fail(Err::unsupported, "signed TIFF samples are read in one-channel gray images only");
    if (s.format == SAMPLEFORMAT_IEEEFP)
        return !fail(Err::unsupported, "floating-point TIFF samples are read as 32-bit one-channel gray only");
    if (s.format != SAMPLEFORMAT_UINT && s.format != SAMPLEFORMAT_VOID)
        return !fail(Err::unsupported, "complex TIFF samples are not supported");
    if (s.bits > 16)
        return !fail(Err::unsupported, "TIFF samples of more than 16 bits are read in one-channel gray images only");
    return false;
}

// Photoshop's image resource that holds an EXIF block as it stands: TIFF has no other place for
// one that keeps its bytes.
constexpr unsigned exif_resource = 0x0422;

uint32_t be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

// The EXIF block among Photoshop's resources ("8BIM", a 2-byte id, a padded Pascal name, a
// 4-byte size, the data padded to even), or null.
const unsigned char *exif_in_resources(const unsigned char *d, std::size_t n, std::size_t &size) {
    std::size_t at = 0;
    while (n - at >= 12 && std::memcmp(d + at, "8BIM", 4) == 0) {
        const unsigned id = static_cast<unsigned>(d[at + 4]) << 8 | d[at + 5];
        const std::size_t name = (static_cast<std::size_t>(d[at + 6]) + 2) & ~std::size_t{1};
        if (n - at - 6 < name + 4) break;
        const std::size_t length = be32(d + at + 6 + name), data = at + 6 + name + 4;
        if (length > n - data) break;
        if (id == exif_resource) return size = length, d + data;
        at = data + length + (length & 1);
    }
    return nullptr;
}

// The profile, XMP and EXIF of the first directory for the caller; false with the reason when a
// block is refused.
bool gather(TIFF *t, const Request &r) {
    uint32_t n = 0;
    void *data = nullptr;
    if (r.meta && TIFFGetField(t, TIFFTAG_ICCPROFILE, &n, &data) && !keep_block(r, Block::icc, data, n)) return false;
    if (r.meta && TIFFGetField(t, TIFFTAG_XMLPACKET, &n, &data) && !keep_block(r, Block::xmp, data, n)) return false;
    std::size_t size = 0;
    const unsigned char *exif = nullptr;
    if (r.meta && TIFFGetField(t, TIFFTAG_PHOTOSHOP, &n, &data) && data)
        exif = exif_in_resources(static_cast<const unsigned char *>(data), n, size);
    return !exif || found_exif(r, exif, size);
}

// Sets the profile, XMP and EXIF (in a Photoshop resource) of meta to be written.
bool put_metadata(TIFF *t, const tessera_io_metadata &meta) {
    if (meta.icc && meta.icc_size <= 0xffffffffu)
        TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.icc_size), meta.icc);
    if (meta.xmp && meta.xmp_size <= 0xffffffffu)
        TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<uint32_t>(meta.xmp_size), meta.xmp);
    if (!meta.exif || meta.exif_size > 0xfffffff0u) return true;
    const std::size_t n = 12 + meta.exif_size + (meta.exif_size & 1);
    auto *block = static_cast<unsigned char *>(std::calloc(n, 1));
    if (!block) return fail(Err::memory, "out of memory for the EXIF block");
    const std::size_t e = meta.exif_size;
    const unsigned char head[12] = {'8',
                                    'B',
                                    'I',
                                    'M',
                                    exif_resource >> 8,
                                    exif_resource & 255,
                                    0,
                                    0,
                                    static_cast<unsigned char>(e >> 24),
                                    static_cast<unsigned char>(e >> 16),
                                    static_cast<unsigned char>(e >> 8),
                                    static_cast<unsigned char>(e)};
    std::memcpy(block, head, sizeof head);
    std::memcpy(block + sizeof head, meta.exif, e);
    const bool ok = TIFFSetField(t, TIFFTAG_PHOTOSHOP, static_cast<uint32_t>(n), block) == 1;
    std::free(block);
    return ok || fail(Err::memory, "out of memory for the EXIF block");
}

} // namespace

namespace {

// Maps the regular file in reads (from its start) into m; false (m unchanged) when it cannot be.
bool map_file(const Input &in, Memory &m) {
    struct stat st;
    const int fd = fileno(in.base);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= in.start) return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return false;
    m.mapping = p, m.mapped = size;
    m.data = static_cast<unsigned char *>(p) + in.start;
    m.size = size - static_cast<std::size_t>(in.start);
    return true;
}

} // namespace

AnyImageStruct *read_tiff(Input &in, const Request &r) {
    in.forget_start(in);
    Memory m{};
    // The whole file, up to the budget (it is held beside the image): the caller's memory as it
    // is, else read once into a block (of the file's size when that is known).
    const uint64_t most_bytes = budget(r);
    const std::size_t most = static_cast<std::size_t>(std::min<uint64_t>(most_bytes, SIZE_MAX / 2));
    unsigned char *owned = nullptr;
    // The header alone is read where it is: libtiff seeks to the directory and reads it.
    Stream stream{in.in, in.seekable && !in.memory && r.header_only ? std::ftell(in.in) : -1};
    if (in.memory) {
        m.data = const_cast<unsigned char *>(in.memory);
        m.size = in.memory_size;
    } else if (stream.start < 0 && rows_wanted(r) && in.seekable && map_file(in, m)) {
        // a file read row by row is mapped, not read into memory
    } else if (stream.start < 0) {
        struct stat st;
        if (in.seekable && fstat(fileno(in.base), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > in.start) {
            const auto size = static_cast<std::size_t>(st.st_size - in.start);
            if (size > most)
                return fail(Err::limit, "a TIFF file of %zu bytes is larger than the budget of %zu bytes", size, most),
                       nullptr;
            m.cap = size + 1; // + 1: the end is seen without growing
            m.data = static_cast<unsigned char *>(std::malloc(m.cap));
            if (!m.data) return fail(Err::memory, "out of memory for a TIFF file of %zu bytes", m.cap - 1), nullptr;
        }
        if (!gather(in.in, most, m)) {
            std::free(m.data);
            return nullptr;
        }
        owned = m.data;
    }
    Said said;
    TIFF *t = open_tiff(&m, stream.start >= 0 ? &stream : nullptr, "r", most_bytes, &said);
    AnyImageStruct *im = nullptr;
    if (t) {
        Shape s{};
        uint16_t *extras = nullptr;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &s.w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &s.h);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &s.bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &s.spp);
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &s.planar);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &s.format);
        TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &s.extra, &extras);
        uint16_t orientation = 0;
        if (TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8)
            r.info->orientation = orientation;
        const bool gathered = gather(t, r);
        s.associated = s.extra && extras && extras[0] == EXTRASAMPLE_ASSOCALPHA;
        if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &s.photometric))
            s.photometric = s.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        const int channels = s.gray() ? 1 : 3;
        const bool is_signed = s.format == SAMPLEFORMAT_INT && s.bits >= 1 && s.bits <= 32;
        describe(r, "TIFF", s.w, s.h, channels, s.extra ? 1 : 0, s.bits,
                 s.format == SAMPLEFORMAT_IEEEFP ? 0
                 : is_signed                     ? (1U << (s.bits - 1)) - 1
                 : s.bits >= 32                  ? 0xffffffffU
                                                 : (1U << s.bits) - 1);
        const uint64_t file_bytes = owned ? m.size : 0;
        // Only the first directory is read, and it is the one the file's header names.
        if (gathered && !refused(t, s, said.colour_map, stored_photometric(m.data, m.size))) {
            if (said.error) {
                if (reason_empty()) fail(Err::format, "a damaged TIFF file");
            } else if ((rows_wanted(r) && native_layout(s)) || fits(r, s.w, s.h, IMAGE_GRAY, file_bytes)) {
                im = native_layout(s) ? read_native(t, s, r, file_bytes, m) : read_rgba(t, s, r, file_bytes);
            }
        }
        // libtiff may go on after an error it reported: what it then gives is not the file's image.
        if (im && said.error) {
            im_Free_(im, im->header->tag);
            im = nullptr;
            if (reason_empty()) fail(Err::format, "a damaged TIFF file");
        }
        TIFFClose(t);
    }
    std::free(owned);
    if (m.mapping) munmap(m.mapping, m.mapped);
    return im;
}

// Pictures at least this wide are written in tiles.
constexpr int32_t tiff_tiled_width = 16384;

bool write_tiff(const Picture &p, const tessera_io_save_options &o, FILE *out) {
    Memory m{};
    // A seekable output (a file, memory) is written directly; any other gets the file made in
    // memory first.
    Stream stream{out, std::ftell(out)};
    const int fd = fileno(out);
    const bool appending = fd >= 0 && (fcntl(fd, F_GETFL) & O_APPEND); // writes could not go back
    const bool direct_out = !appending && stream.start >= 0 && std::fseek(out, stream.start, SEEK_SET) == 0;
    if (!direct_out) std::clearerr(out);
    // Room for the whole file at once when it is not compressed.
    if (!direct_out && o.compression <= 0) {
        const std::size_t channels = p.bits == 1 ? 1 : static_cast<std::size_t>(p.channels + p.alpha);
        const std::size_t row =
            p.bits == 1 ? (static_cast<std::size_t>(p.width) + 7) / 8
                        : static_cast<std::size_t>(p.width) * channels * static_cast<std::size_t>(p.bits / 8);
        m.cap = row * static_cast<std::size_t>(p.height) + 65536;
        m.data = static_cast<unsigned char *>(std::malloc(m.cap));
        if (!m.data) m.cap = 0;
    }
    const bool binary = p.bits == 1;
    const int spp = binary ? 1 : p.channels + p.alpha;
    const std::size_t samples = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(spp);
    const std::size_t bytes = binary ? (samples + 7) / 8 : samples * static_cast<std::size_t>(p.bits / 8);
    // Past 3.5 GB of pixels the file may pass classic TIFF's 4 GB of offsets: it is a BigTIFF.
    const bool big = static_cast<uint64_t>(bytes) * static_cast<uint64_t>(p.height) > (uint64_t{7} << 29);
    TIFF *t = open_tiff(&m, direct_out ? &stream : nullptr, big ? "w8" : "w", 0);
    if (!t) {
        std::free(m.data);
        return false;
    }
    // Every tag is checked: libtiff drops one whose memory it cannot allocate, and the file would
    // then say something else of its pixels.
    bool tags = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(p.width)) &&
                TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(p.height)) &&
                TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits) && TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp) &&
                TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                             binary            ? PHOTOMETRIC_MINISWHITE
                             : p.channels == 3 ? PHOTOMETRIC_RGB
                                               : PHOTOMETRIC_MINISBLACK);
    if (p.alpha) {
        const uint16_t unassociated = EXTRASAMPLE_UNASSALPHA;
        tags = tags && TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &unassociated);
        // libtiff says nothing when it cannot allocate the tag's array: it is read back
        uint16_t n = 0;
        uint16_t *kinds = nullptr;
        tags = tags && TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &n, &kinds) && n == 1 && kinds && kinds[0] == unassociated;
    }
    if (o.compression == TESSERA_IO_LZW) {
        tags = tags && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
               (binary || TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL));
    } else if (o.compression > 0) {
        tags = tags && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
               TIFFSetField(t, TIFFTAG_ZIPQUALITY, o.compression) &&
               (binary || TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL));
    } else {
        tags = tags && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    }
    // Wide pictures are cut into tiles 256 pixels wide, so that a reader can take any part of
    // them without whole rows; as tall as a band of rows of at most 64 MB allows (16 to 256).
    // Others are in strips of about 256 KB: few enough that writing them costs little, small
    // enough for any reader's memory.
    const bool tiled = p.width >= tiff_tiled_width;
    const uint32_t tile_w = 256;
    const auto tile_h = static_cast<uint32_t>(std::clamp<std::size_t>((64u << 20) / bytes / 16 * 16, 16, 256));
    const auto rows_per_strip = tiled ? tile_h
                                      : static_cast<uint32_t>(std::clamp<std::size_t>(
                                            (256u << 10) / (bytes ? bytes : 1), 1, static_cast<std::size_t>(p.height)));
    tags = tags && (tiled ? TIFFSetField(t, TIFFTAG_TILEWIDTH, tile_w) && TIFFSetField(t, TIFFTAG_TILELENGTH, tile_h)
                          : TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip));
    if (!tags && reason_empty()) fail(Err::memory, "out of memory for the TIFF file's tags");
    bool ok = tags && put_metadata(t, p.meta);
    // A strip of rows at a time: uncompressed 8-bit rows are encoded from the image's own pixels
    // when they are one block (a predictor would change them), others are made in the strip.
    const ImageHeader *h = p.im->header;
    const auto *first = static_cast<const unsigned char *>(p.im->data[h->yoffset]);
    const std::size_t elem = static_cast<std::size_t>(spp) * (p.bits == 16 ? 2 : 1); // bytes a pixel
    const bool own_samples = p.bits == 8    ? h->tag == IMAGE_GRAY || h->tag == IMAGE_RGB || h->tag == IMAGE_RGBA
                             : p.bits == 16 ? h->tag == IMAGE_GRAY16 || h->tag == IMAGE_RGB16 || h->tag == IMAGE_RGBA16
                                            : false;
    const bool direct =
        !tiled && !p.feed && o.compression <= 0 && own_samples &&
        static_cast<std::size_t>(static_cast<const unsigned char *>(p.im->data[h->yoffset + p.height - 1]) - first) ==
            static_cast<std::size_t>(p.height - 1) * bytes &&
        h->width == p.width;
    auto *strip =
        static_cast<unsigned char *>(std::malloc(direct ? 1 : bytes * rows_per_strip + (binary ? samples : 0)));
    // a tile's rows: 256 pixels' bytes each (the last tiles of a row padded with zeros)
    const std::size_t tile_row = binary ? tile_w / 8 : tile_w * elem;
    auto *tile = static_cast<unsigned char *>(tiled ? std::malloc(tile_row * tile_h) : nullptr);
    if (ok && (!strip || (tiled && !tile))) ok = fail(Err::memory, "out of memory for a TIFF strip");
    const auto encoded = [&](tmsize_t written) {
        if (written >= 0) return true;
        return reason_empty() ? fail(Err::file, "cannot encode the TIFF file") : false;
    };
    for (uint32_t y0 = 0, index = 0; ok && y0 < static_cast<uint32_t>(p.height); y0 += rows_per_strip, ++index) {
        const uint32_t rows = std::min<uint32_t>(rows_per_strip, static_cast<uint32_t>(p.height) - y0);
        unsigned char *put = strip;
        if (direct) {
            put = const_cast<unsigned char *>(first) + static_cast<std::size_t>(y0) * bytes +
                  static_cast<std::size_t>(h->xoffset) * elem;
        } else {
            for (uint32_t k = 0; k < rows; ++k) {
                unsigned char *row = strip + k * bytes;
                if (binary) { // MINISWHITE: a set (black) pixel is a 1 bit
                    unsigned char *unpacked = strip + bytes * rows_per_strip;
                    get_row(p, static_cast<int32_t>(y0 + k), unpacked, true);
                    std::memset(row, 0, bytes);
                    for (std::size_t x = 0; x < samples; ++x)
                        if (unpacked[x]) row[x / 8] = static_cast<unsigned char>(row[x / 8] | (0x80 >> (x % 8)));
                } else {
                    get_row(p, static_cast<int32_t>(y0 + k), row, true); // libtiff takes native order
                }
            }
        }
        // uncompressed strips and tiles are their own encoding: written as they are, without
        // libtiff's copy
        if (!tiled) {
            const tmsize_t n = static_cast<tmsize_t>(bytes * rows);
            ok = encoded(o.compression <= 0 ? TIFFWriteRawStrip(t, index, put, n)
                                            : TIFFWriteEncodedStrip(t, index, put, n));
            continue;
        }
        for (uint32_t x0 = 0; ok && x0 < static_cast<uint32_t>(p.width); x0 += tile_w) {
            const std::size_t from = binary ? x0 / 8 : x0 * elem;
            const std::size_t n = std::min(tile_row, bytes - from);
            for (uint32_t k = 0; k < tile_h; ++k) {
                unsigned char *to = tile + k * tile_row;
                if (k < rows) std::memcpy(to, strip + k * bytes + from, n);
                std::memset(to + (k < rows ? n : 0), 0, tile_row - (k < rows ? n : 0));
            }
            const uint32_t at = TIFFComputeTile(t, x0, y0, 0, 0);
            const auto size = static_cast<tmsize_t>(tile_row * tile_h);
            ok = encoded(o.compression <= 0 ? TIFFWriteRawTile(t, at, tile, size)
                                            : TIFFWriteEncodedTile(t, at, tile, size));
        }
    }
    std::free(strip);
    std::free(tile);
    if (ok && !TIFFWriteDirectory(t)) ok = reason_empty() ? fail(Err::file, "cannot encode the TIFF file") : false;
    TIFFClose(t);
    if (ok && !direct_out && std::fwrite(m.data, 1, m.size, out) != m.size) ok = fail_system("cannot write");
    if (ok && direct_out && std::fseek(out, 0, SEEK_END) != 0) ok = fail_system("cannot write");
    std::free(m.data);
    return ok;
}

} // namespace tessera::detail::io
