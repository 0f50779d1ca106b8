// BMP, Windows' and OS/2's bitmaps: 1, 4 and 8-bit palettes (RLE4 and RLE8 too), 16, 24 and
// 32-bit colour with or without bit fields and alpha, bottom-up or top-down. Written as 24-bit
// colour, or 32-bit with alpha (a version 4 header, whose masks every reader honours).
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "image/image_internal.h"

namespace tessera::detail::io {

namespace {

uint32_t le(const unsigned char *p, int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v |= static_cast<uint32_t>(p[k]) << (8 * k);
    return v;
}

void put_le(unsigned char *p, uint32_t v, int n) {
    for (int k = 0; k < n; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// One channel of a bit-field pixel, widened to 8 bits by repeating its bits (as ImageMagick and
// browsers do: 5-bit 20 is 165), or its top 8 bits kept; 0 when the mask is empty.
struct Field {
    uint32_t mask = 0;
    int shift = 0, bits = 0;
    explicit Field(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!(m & 1)) m >>= 1, ++shift;
        while (m & 1) m >>= 1, ++bits;
    }
    uint32_t operator()(uint32_t v) const {
        if (!bits) return 0;
        const uint32_t x = (v & mask) >> shift;
        if (bits >= 8) return x >> (bits - 8);
        uint32_t out = 0;
        for (int at = 8 - bits;; at -= bits) {
            out |= at >= 0 ? x << at : x >> -at;
            if (at <= 0) break;
        }
        return out & 255;
    }
};

struct Header {
    int64_t width = 0, height = 0; // height negative: top-down
    int bpp = 0;
    uint32_t compression = 0;
    uint32_t colours = 0;          // palette entries
    uint32_t offset = 0;           // of the pixels from the file's start
    uint32_t dib = 0;              // the header's size
    Field red, green, blue, alpha; // 16 and 32 bits
};

constexpr uint32_t rgb = 0, rle8 = 1, rle4 = 2, bitfields = 3, alphabitfields = 6;

bool read_exactly(FILE *f, unsigned char *p, std::size_t n, uint64_t *at) {
    const std::size_t got = std::fread(p, 1, n, f);
    *at += got;
    return got == n || fail(Err::format, "the BMP file's data ended early");
}

// Skips forward to offset (from the file's start); false when the file ends first.
bool skip_to(FILE *f, uint64_t offset, uint64_t *at) {
    unsigned char junk[256];
    while (*at < offset) {
        const std::size_t n = static_cast<std::size_t>(offset - *at < sizeof junk ? offset - *at : sizeof junk);
        if (!read_exactly(f, junk, n, at)) return false;
    }
    return true;
}

bool parse_header(FILE *f, Header &h, RGB palette[256], uint64_t *at) {
    unsigned char b[124 + 14 + 16];
    if (!read_exactly(f, b, 18, at)) return false;
    h.offset = le(b + 10, 4);
    h.dib = le(b + 14, 4);
    if (h.dib != 12 && h.dib != 16 && h.dib != 40 && h.dib != 52 && h.dib != 56 && h.dib != 64 && h.dib != 108 &&
        h.dib != 124)
        return fail(Err::format, "a BMP header of %u bytes is none BMP has", h.dib);
    if (!read_exactly(f, b + 18, h.dib - 4, at)) return false;
    const unsigned char *d = b + 14;
    if (h.dib == 12) { // OS/2 1.x: 16-bit sizes, three-byte palette entries
        h.width = static_cast<int16_t>(le(d + 4, 2));
        h.height = static_cast<int16_t>(le(d + 6, 2));
        h.bpp = static_cast<int>(le(d + 10, 2));
    } else {
        h.width = static_cast<int32_t>(le(d + 4, 4));
        h.height = static_cast<int32_t>(le(d + 8, 4));
        h.bpp = static_cast<int>(le(d + 14, 2));
        h.compression = h.dib >= 20 ? le(d + 16, 4) : rgb;
        h.colours = h.dib >= 36 ? le(d + 32, 4) : 0;
    }
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN)
        return fail(Err::format, "a BMP image of %lld x %lld pixels", static_cast<long long>(h.width),
                    static_cast<long long>(h.height));
    const bool ok_bpp = h.bpp == 1 || h.bpp == 4 || h.bpp == 8 || h.bpp == 16 || h.bpp == 24 || h.bpp == 32;
    if (!ok_bpp) return fail(Err::unsupported, "BMP of %d bits a pixel is not supported", h.bpp);
    const bool masks = h.compression == bitfields || h.compression == alphabitfields;
    if (h.compression != rgb && !masks && !(h.compression == rle8 && h.bpp == 8) &&
        !(h.compression == rle4 && h.bpp == 4))
        return fail(Err::unsupported, "BMP compression %u (JPEG or PNG inside, or Huffman) is not supported",
                    h.compression);
    if ((h.compression == rle8 || h.compression == rle4) && h.height < 0)
        return fail(Err::format, "a top-down BMP cannot be run-length encoded");
    if (masks && h.bpp != 16 && h.bpp != 32) return fail(Err::format, "BMP bit fields in a %d-bit image", h.bpp);
    // Masks: in the header from version 2 on, else in the 12 or 16 bytes after it.
    uint32_t m[4] = {0, 0, 0, 0};
    if (masks && h.dib >= 52) {
        for (int k = 0; k < (h.dib >= 56 ? 4 : 3); ++k) m[k] = le(d + 40 + 4 * k, 4);
    } else if (masks) {
        const int n = h.compression == alphabitfields ? 4 : 3;
        if (!read_exactly(f, b + 14 + h.dib, static_cast<std::size_t>(4 * n), at)) return false;
        for (int k = 0; k < n; ++k) m[k] = le(b + 14 + h.dib + 4 * k, 4);
    } else if (h.bpp == 16) {
        m[0] = 0x7c00, m[1] = 0x03e0, m[2] = 0x001f; // 5-5-5
    } else if (h.bpp == 32) {
        m[0] = 0xff0000, m[1] = 0xff00, m[2] = 0xff; // the fourth byte unused
    }
    if (h.bpp == 32 && h.compression == rgb && h.dib >= 56 && le(d + 52, 4) == 0xff000000u) m[3] = 0xff000000u;
    h.red = Field(m[0]), h.green = Field(m[1]), h.blue = Field(m[2]), h.alpha = Field(m[3]);
    if (h.bpp <= 8) {
        const uint32_t most = 1u << h.bpp;
        if (h.colours == 0 || h.colours > most) h.colours = most;
        const int entry = h.dib == 12 ? 3 : 4;
        unsigned char p[256 * 4];
        // a file whose pixels start before a whole palette has a short one
        const uint64_t room = h.offset > *at ? (h.offset - *at) / static_cast<uint64_t>(entry) : h.colours;
        const uint32_t n = h.offset && room < h.colours ? static_cast<uint32_t>(room) : h.colours;
        if (!read_exactly(f, p, static_cast<std::size_t>(n) * static_cast<std::size_t>(entry), at)) return false;
        for (uint32_t i = 0; i < 256; ++i)
            palette[i] = i < n ? RGB{p[i * entry + 2], p[i * entry + 1], p[i * entry]} : RGB{0, 0, 0};
    }
    return !h.offset || skip_to(f, h.offset, at);
}

// Decodes run-length encoded rows into indices (one byte a pixel), bottom row first; pixels
// the runs skip stay 0.
bool decode_rle(FILE *f, const Header &h, unsigned char *indices, uint64_t *at) {
    const auto w = static_cast<uint64_t>(h.width), rows = static_cast<uint64_t>(h.height);
    uint64_t x = 0, y = 0;
    const bool four = h.compression == rle4;
    for (;;) {
        unsigned char pair[2];
        if (!read_exactly(f, pair, 2, at)) return false;
        if (pair[0]) { // a run of pair[0] pixels
            for (int k = 0; k < pair[0]; ++k, ++x)
                if (x < w && y < rows) indices[y * w + x] = four ? (k & 1 ? pair[1] & 15 : pair[1] >> 4) : pair[1];
            continue;
        }
        if (pair[1] == 0) { // end of line
            x = 0, ++y;
        } else if (pair[1] == 1) { // end of bitmap
            return true;
        } else if (pair[1] == 2) { // delta
            unsigned char d[2];
            if (!read_exactly(f, d, 2, at)) return false;
            x += d[0], y += d[1];
        } else { // pair[1] pixels as they are, padded to a whole word
            const int n = pair[1];
            const int bytes = four ? (n + 1) / 2 : n;
            unsigned char raw[256];
            if (!read_exactly(f, raw, static_cast<std::size_t>((bytes + 1) & ~1), at)) return false;
            for (int k = 0; k < n; ++k, ++x)
                if (x < w && y < rows) indices[y * w + x] = four ? (k & 1 ? raw[k / 2] & 15 : raw[k / 2] >> 4) : raw[k];
        }
        if (y > rows) return true; // past the last row: nothing more can be drawn
    }
}

} // namespace

AnyImageStruct *read_bmp(Input &in, const Request &r) {
    FILE *f = in.in;
    uint64_t at = 0;
    Header h;
    RGB palette[256];
    if (!parse_header(f, h, palette, &at)) return nullptr;
    const int64_t rows = h.height < 0 ? -h.height : h.height;
    const bool alpha = h.bpp >= 16 && h.alpha.bits > 0;
    describe(r, "BMP", h.width, rows, 3, alpha ? 1 : 0, h.bpp <= 8 ? 8 : h.bpp == 16 ? 5 : 8, 255);
    Layout l;
    l.channels = 3;
    l.alpha = alpha ? 1 : 0;
    from_request(l, r);
    choose_tag(l, false);
    const bool rle = h.compression == rle8 || h.compression == rle4;
    const uint64_t stride = (static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.bpp) + 31) / 32 * 4;
    // Uncompressed rows must all be in the file before the image is made; run-length data may
    // be short (a file can hold a large image in few bytes), so its indices are held beside.
    const uint64_t pixels = static_cast<uint64_t>(h.width) * static_cast<uint64_t>(rows);
    // A row of the file (stride bytes at src, or indices) as samples of the image's layout.
    const std::size_t per = static_cast<std::size_t>(3 + l.alpha);
    const auto decode_row = [&h, &l, &palette, per, rle](const unsigned char *src, uint32_t *s) {
        for (int64_t x = 0; x < h.width; ++x, s += per) {
            if (h.bpp <= 8) {
                const unsigned i = rle          ? src[x]
                                   : h.bpp == 8 ? src[x]
                                   : h.bpp == 4 ? (src[x / 2] >> (x & 1 ? 0 : 4)) & 15
                                                : (src[x / 8] >> (7 - x % 8)) & 1;
                const RGB c = palette[i];
                s[0] = c.r, s[1] = c.g, s[2] = c.b;
            } else if (h.bpp == 24) {
                s[0] = src[3 * x + 2], s[1] = src[3 * x + 1], s[2] = src[3 * x];
            } else {
                const uint32_t v = h.bpp == 16 ? le(src + 2 * x, 2) : le(src + 4 * x, 4);
                s[0] = h.red(v), s[1] = h.green(v), s[2] = h.blue(v);
                if (l.alpha) s[3] = h.alpha(v);
            }
        }
    };
    // Uncompressed rows of a file that can seek go to a caller that takes them one at a time,
    // read where they stand (bottom-up files from their end).
    const long first = rle || !rows_wanted(r) ? -1 : std::ftell(f);
    if (first >= 0) {
        const unsigned long long left = bytes_left(in), need = stride * static_cast<uint64_t>(rows);
        if (left < need) return data_ends(left, need, "bytes"), nullptr;
        AnyImageStruct *band = row_band(r, l.tag, h.width, 1, stride + static_cast<uint64_t>(h.width) * per * 4);
        if (!band) return nullptr;
        struct Reading {
            FILE *f;
            long first;
            uint64_t stride;
            int64_t rows;
            bool bottom_up;
            AnyImageStruct *band;
            const Layout &l;
            const decltype(decode_row) &decode;
            unsigned char *row;
            uint32_t *samples;
        } rd{f,
             first,
             stride,
             rows,
             h.height > 0,
             band,
             l,
             decode_row,
             static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(stride))),
             static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(h.width) * per * sizeof(uint32_t)))};
        if (!rd.row || !rd.samples) {
            fail(Err::memory, "out of memory for a row of a %lld-pixel-wide BMP", static_cast<long long>(h.width));
        } else {
            const auto next = [](void *state, int32_t y, void *out) {
                auto *d = static_cast<Reading *>(state);
                const int64_t k = d->bottom_up ? d->rows - 1 - y : y; // the file's row of image row y
                uint64_t at = 0;
                if (std::fseek(d->f, d->first + static_cast<long>(static_cast<uint64_t>(k) * d->stride), SEEK_SET) != 0)
                    return fail_system("cannot seek in the BMP file");
                if (!read_exactly(d->f, d->row, static_cast<std::size_t>(d->stride), &at)) return false;
                d->decode(d->row, d->samples);
                put_row(d->band, 0, d->samples, d->l);
                std::memcpy(out, d->band->data[0],
                            static_cast<std::size_t>(d->band->header->width) *
                                tessera::detail::fixed_elem_size(d->band->header->tag));
                return true;
            };
            give_rows(r, {l.tag, static_cast<int32_t>(h.width), static_cast<int32_t>(rows), next, &rd});
        }
        std::free(rd.row);
        std::free(rd.samples);
        im_Free_(band, band->header->tag);
        return nullptr; // r.used tells the caller how the rows went
    }
    if (rle && !fits(r, static_cast<uint64_t>(h.width), static_cast<uint64_t>(rows), l.tag, pixels)) return nullptr;
    AnyImageStruct *im = rle ? new_image(l, static_cast<uint64_t>(h.width), static_cast<uint64_t>(rows), r, pixels)
                             : image_for(in, l, static_cast<long>(h.width), static_cast<long>(rows),
                                         stride * static_cast<uint64_t>(rows), "bytes", r);
    if (!im) return nullptr;
    auto *samples = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(h.width) * per * sizeof(uint32_t)));
    auto *row = static_cast<unsigned char *>(std::malloc(rle ? static_cast<std::size_t>(pixels) : stride));
    bool ok = samples && row;
    if (!ok) fail(Err::memory, "out of memory for a row of a %lld-pixel-wide BMP", static_cast<long long>(h.width));
    if (ok && rle) {
        std::memset(row, 0, static_cast<std::size_t>(pixels));
        ok = decode_rle(f, h, row, &at);
    }
    for (int64_t k = 0; ok && k < rows; ++k) {
        const int64_t y = h.height < 0 ? k : rows - 1 - k; // the image's row of the file's k-th
        const unsigned char *src = row;
        if (rle) src = row + static_cast<std::size_t>(k) * static_cast<std::size_t>(h.width);
        else if (!read_exactly(f, row, stride, &at)) ok = false;
        if (!ok) break;
        decode_row(src, samples);
        put_row(im, static_cast<int32_t>(y), samples, l);
    }
    std::free(samples);
    std::free(row);
    if (ok) return im;
    im_Free_(im, im->header->tag);
    return nullptr;
}

bool write_bmp(const Picture &p, const tessera_io_save_options &, FILE *out) {
    if (p.bits != 8 || p.channels == 0) return fail(Err::unsupported, "bmp holds 8-bit colour images only");
    const int bpp = p.alpha ? 32 : 24, dib = p.alpha ? 108 : 40;
    const uint64_t stride = (static_cast<uint64_t>(p.width) * static_cast<uint64_t>(bpp) + 31) / 32 * 4;
    const uint64_t size = 14 + static_cast<uint64_t>(dib) + stride * static_cast<uint64_t>(p.height);
    if (size > 0xffffffffu)
        return fail(Err::limit, "a %d x %d picture is larger than a BMP file holds", p.width, p.height);
    unsigned char head[14 + 108] = {'B', 'M'};
    put_le(head + 2, static_cast<uint32_t>(size), 4);
    put_le(head + 10, static_cast<uint32_t>(14 + dib), 4);
    unsigned char *d = head + 14;
    put_le(d, static_cast<uint32_t>(dib), 4);
    put_le(d + 4, static_cast<uint32_t>(p.width), 4);
    put_le(d + 8, static_cast<uint32_t>(p.height), 4); // bottom-up, as every reader expects
    put_le(d + 12, 1, 2);
    put_le(d + 14, static_cast<uint32_t>(bpp), 2);
    put_le(d + 16, p.alpha ? bitfields : rgb, 4);
    put_le(d + 20, static_cast<uint32_t>(stride * static_cast<uint64_t>(p.height)), 4);
    put_le(d + 24, 2835, 4); // 72 dots an inch
    put_le(d + 28, 2835, 4);
    if (p.alpha) {
        put_le(d + 40, 0x00ff0000u, 4), put_le(d + 44, 0x0000ff00u, 4);
        put_le(d + 48, 0x000000ffu, 4), put_le(d + 52, 0xff000000u, 4);
        std::memcpy(d + 56, "BGRs", 4); // LCS_sRGB, stored little-endian
    }
    if (std::fwrite(head, 1, static_cast<std::size_t>(14 + dib), out) != static_cast<std::size_t>(14 + dib))
        return false;
    const int in_per = p.channels + p.alpha;
    auto *src =
        static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(in_per)));
    auto *row = static_cast<unsigned char *>(std::calloc(1, static_cast<std::size_t>(stride)));
    bool ok = src && row;
    if (!ok) fail(Err::memory, "out of memory for a BMP row");
    for (int32_t k = 0; ok && k < p.height; ++k) {
        get_row(p, p.height - 1 - k, src);
        const int out_per = bpp / 8;
        for (int32_t x = 0; x < p.width; ++x) {
            const unsigned char *s = src + static_cast<std::ptrdiff_t>(x) * in_per;
            unsigned char *q = row + static_cast<std::ptrdiff_t>(x) * out_per;
            const unsigned char r = s[0], g = p.channels == 3 ? s[1] : s[0], b = p.channels == 3 ? s[2] : s[0];
            q[0] = b, q[1] = g, q[2] = r;
            if (p.alpha) q[3] = s[p.channels];
        }
        ok = std::fwrite(row, 1, static_cast<std::size_t>(stride), out) == stride;
    }
    std::free(src);
    std::free(row);
    return ok;
}

} // namespace tessera::detail::io
