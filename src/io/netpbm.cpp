// Netpbm (plain and raw, any maximum value), PAM, and the library's own files.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "image/image_internal.h"
#include "support/magic_internal.h"

#include <tessera/magic.h>

namespace tessera::detail::io {

namespace {

// Reads the next header word, skipping white space and '#' comments; the one white-space
// character that ends the word is consumed. *unusual (when given) is set by anything but letters
// and digits in words and space, tab, CR and LF between them: a comment, a NUL, another kind of
// space, a word the file ends in. False at the end of the file or for an overlong word.
bool next_word(FILE *f, char *word, std::size_t size, bool *unusual = nullptr) {
    const auto plain_space = [](int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    bool odd = false;
    int c;
    for (;;) {
        c = getc(f);
        if (c == '#') odd = true;
        if (c == '#')
            while (c != '\n' && c != EOF) c = getc(f);
        if (c == EOF) return false;
        if (!is_space(c)) break;
        odd = odd || !plain_space(c);
    }
    std::size_t n = 0;
    while (c != EOF && !is_space(c) && c != '#') {
        if (n + 1 >= size) return false;
        odd = odd || !std::isalnum(c);
        word[n++] = static_cast<char>(c);
        c = getc(f);
    }
    odd = odd || !plain_space(c);
    if (c == '#') ungetc(c, f);
    word[n] = '\0';
    if (unusual && odd) *unusual = true;
    return true;
}

// A header number from 1 to hi.
bool next_number(FILE *f, const char *what, long hi, long *out, bool *unusual = nullptr) {
    char word[32];
    if (!next_word(f, word, sizeof word, unusual)) return fail(Err::format, "the header ends before the %s", what);
    char *end;
    errno = 0;
    const long v = std::strtol(word, &end, 10);
    if (*end || errno || word[0] == '-' || word[0] == '+' || v < 1 || v > hi)
        return fail(Err::format, "the %s '%s' is not a number from 1 to %ld", what, word, hi);
    *out = v;
    return true;
}

void grouped(unsigned long long v, char *out, std::size_t size) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%llu", v);
    std::size_t k = 0;
    for (int i = 0; i < n && k + 2 < size; ++i) {
        if (i && (n - i) % 3 == 0) out[k++] = ',';
        out[k++] = digits[i];
    }
    out[k] = '\0';
}

// Raw samples (one byte each up to maxval 255, else two, most significant first; or bits, eight
// pixels a byte from the most significant, each row starting on a byte), read a row at a time
// into the rows of an image: the whole picture's, or a band of one row.
struct RawRows {
    FILE *f;
    AnyImageStruct *im;
    const Layout &l;
    int32_t width, height; // the picture's
    bool bits;
    std::size_t per, wide, row_bytes;
    bool direct;                  // rows that need no change are read straight into the image
    unsigned char *raw = nullptr; // else a row as stored
    uint32_t *samples = nullptr;  // and its samples
    int32_t next = 0;             // the next row the file holds

    RawRows(FILE *file, AnyImageStruct *image, const Layout &layout, int32_t w, int32_t h, bool bits_)
        : f(file), im(image), l(layout), width(w), height(h), bits(bits_),
          per(static_cast<std::size_t>(layout.channels + layout.alpha)), wide(layout.maxval > 255 ? 2 : 1),
          row_bytes(bits_ ? (static_cast<std::size_t>(w) + 7) / 8 : static_cast<std::size_t>(w) * per * wide),
          direct(!bits_ && wide == 1 && layout.maxval == 255 && !layout.alpha && !layout.white_is_zero &&
                 ((image->header->tag == IMAGE_GRAY && layout.channels == 1) ||
                  (image->header->tag == IMAGE_RGB && layout.channels == 3))) {}
    RawRows(const RawRows &) = delete;
    RawRows &operator=(const RawRows &) = delete;
    ~RawRows() {
        std::free(raw);
        std::free(samples);
    }
    bool open() {
        if (direct) return true;
        raw = static_cast<unsigned char *>(std::malloc(row_bytes));
        samples = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(width) * per * 4));
        return (raw && samples) || fail(Err::memory, "out of memory for a row of %zu bytes", row_bytes);
    }
    // Reads the file's next row into row y of the image.
    bool row(int32_t y) {
        const int32_t at = next++;
        unsigned char *into = direct ? static_cast<unsigned char *>(im->data[y]) : raw;
        const std::size_t got = std::fread(into, 1, row_bytes, f);
        if (got < row_bytes)
            return data_ends(static_cast<unsigned long long>(at) * row_bytes + got,
                             static_cast<unsigned long long>(height) * row_bytes, "bytes");
        if (direct) return true;
        if (bits) { // 1 is a black pixel, as PBM has it: a set one
            for (int32_t x = 0; x < width; ++x) samples[x] = raw[x / 8] >> (7 - x % 8) & 1U;
            put_row(im, y, samples, l);
            return true;
        }
        // Full 16-bit samples cannot exceed their maximum: the common layouts go straight in.
        if (wide == 2 && l.maxval == 65535 && put_row16_be(im, y, raw, l)) return true;
        for (std::size_t i = 0; i < static_cast<std::size_t>(width) * per; ++i) {
            samples[i] = wide == 2 ? static_cast<uint32_t>(raw[2 * i]) << 8 | raw[2 * i + 1] : raw[i];
            if (samples[i] > l.maxval)
                return fail(Err::format, "sample %u in row %d is above the maximum value %u", samples[i], at, l.maxval);
        }
        put_row(im, y, samples, l);
        return true;
    }
};

// Reads raw samples into the whole image, or gives its rows one at a time to a caller that
// takes them (r.used is then set, and im is only a row).
bool read_raw(FILE *f, AnyImageStruct *im, const Layout &l, int32_t w, int32_t h, const Request &r, bool streamed,
              bool bits) {
    RawRows rows(f, im, l, w, h, bits);
    if (!rows.open()) return false;
    if (!streamed) {
        for (int32_t y = 0; y < h; ++y)
            if (!rows.row(y)) return false;
        return true;
    }
    const auto next = [](void *state, int32_t y, void *row) {
        auto *rr = static_cast<RawRows *>(state);
        while (rr->next <= y)
            if (!rr->row(0)) return false;
        std::memcpy(row, rr->im->data[0],
                    static_cast<std::size_t>(rr->width) * tessera::detail::fixed_elem_size(rr->im->header->tag));
        return true;
    };
    return give_rows(r, {im->header->tag, w, h, next, &rows});
}

// Reads plain (text) samples: P1 digits, which need no space between them, or P2 and P3 numbers.
bool read_plain(FILE *f, AnyImageStruct *im, const Layout &l, bool bits) {
    const ImageHeader *h = im->header;
    const std::size_t per = static_cast<std::size_t>(l.channels);
    auto *s = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(h->width) * per * 4));
    if (!s) return fail(Err::memory, "out of memory for a row");
    const unsigned long long want = static_cast<unsigned long long>(h->width) * h->height * per;
    unsigned long long done = 0;
    bool ok = true;
    for (int32_t y = 0; ok && y < h->height; ++y) {
        for (std::size_t i = 0; ok && i < static_cast<std::size_t>(h->width) * per; ++i, ++done) {
            int c;
            do {
                c = getc(f);
                if (c == '#')
                    while (c != '\n' && c != EOF) c = getc(f);
            } while (is_space(c));
            if (c == EOF) {
                ok = data_ends(done, want, "samples");
                break;
            }
            if (bits) {
                if (c != '0' && c != '1') ok = fail(Err::format, "row %d: expected 0 or 1, found '%c'", y, c);
                s[i] = static_cast<uint32_t>(c - '0');
                continue;
            }
            uint32_t v = 0;
            int digits = 0;
            while (c >= '0' && c <= '9') {
                if (v <= 65535) v = v * 10 + static_cast<uint32_t>(c - '0');
                ++digits;
                c = getc(f);
            }
            if (c != EOF && !is_space(c) && c != '#') {
                ok = fail(Err::format, "row %d: expected a number, found '%c'", y, c);
                break;
            }
            if (c == '#') ungetc(c, f);
            if (!digits) ok = data_ends(done, want, "samples");
            else if (v > l.maxval)
                ok = fail(Err::format, "sample %u in row %d is above the maximum value %u", v, y, l.maxval);
            s[i] = v;
        }
        if (ok) put_row(im, y, s, l);
    }
    std::free(s);
    return ok;
}

// Drops the blank lines that end a loaded comment (each save adds one), and an empty comment.
bool trim_comment(ImageHeader *h) {
    if (!h->comment) return true;
    const char *c = strGet(h->comment);
    std::size_t n = std::strlen(c);
    while (n > 0 && (c[n - 1] == '\n' || c[n - 1] == ' ')) --n;
    if (n == std::strlen(c)) return true;
    adtStringHeader *t = nullptr;
    if (n > 0) {
        char *text = strndup(c, n);
        t = text ? strMake(text) : nullptr;
        std::free(text);
        if (!t) return fail(Err::memory, "out of memory for the comment");
    }
    strFree(h->comment);
    h->comment = t;
    return true;
}

int bits_of(uint32_t maxval) {
    int b = 1;
    while (b < 16 && (1U << b) - 1 < maxval) ++b;
    return b;
}

bool put_be16(FILE *out, const unsigned char *row, std::size_t n) { return std::fwrite(row, 1, n, out) == n; }

} // namespace

bool data_ends(unsigned long long got, unsigned long long want, const char *unit) {
    char a[40], b[40];
    grouped(got, a, sizeof a);
    grouped(want, b, sizeof b);
    return fail(Err::format, "pixel data ends after %s of %s %s", a, b, unit);
}

// The bytes left in the file after where in stands, or ~0 when that cannot be known.
unsigned long long bytes_left(const Input &in) {
    struct stat st;
    if (!in.seekable) return ~0ULL;
    const long at = std::ftell(in.base);
    if (fstat(fileno(in.base), &st) == 0 && S_ISREG(st.st_mode) && at >= 0)
        return st.st_size > at ? static_cast<unsigned long long>(st.st_size - at) : 0;
    if (std::fseek(in.base, 0, SEEK_END) != 0) return ~0ULL;
    const long end = std::ftell(in.base);
    std::fseek(in.base, at, SEEK_SET);
    return end > at ? static_cast<unsigned long long>(end - at) : 0;
}

// A new image once the file is known to hold at least need bytes more: a header never makes
// the reader allocate more than its file can fill.
AnyImageStruct *image_for(const Input &in, const Layout &l, long w, long h, unsigned long long need, const char *unit,
                          const Request &r) {
    const unsigned long long left = r.header_only ? need : bytes_left(in);
    if (left < need) return data_ends(left, need, unit), nullptr;
    return new_image(l, static_cast<uint64_t>(w), static_cast<uint64_t>(h), r);
}

namespace {

// What a file of the library's own holding an image of element type tag is: its channels,
// alpha, bits and largest value.
void describe_library(const Request &r, uint16_t tag, int64_t width, int64_t height) {
    const bool binary = tag == IMAGE_BINARY, eight = tag & (IMAGE_GRAY | IMAGE_RGB | IMAGE_RGBA);
    const bool sixteen = tag & (IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16);
    describe(r, nullptr, width, height, colour_channels(tag), tessera::detail::has_alpha(tag) ? 1 : 0,
             binary                ? 1
             : eight               ? 8
             : sixteen             ? 16
             : tag == IMAGE_SHORT  ? 16
             : tag == IMAGE_DOUBLE ? 64
                                   : 32,
             binary    ? 1
             : eight   ? 255
             : sixteen ? 65535
                       : 0);
}

} // namespace

AnyImageStruct *read_library(Input &in, const Request &r) {
    // The header's sizes against the limits first, then the library reads the file from its start.
    static const struct {
        const char *magic;
        uint16_t tag;
    } magics[] = {{"P4", IMAGE_BINARY},   {"P5", IMAGE_GRAY},  {"P6", IMAGE_RGB},     {"Q1", IMAGE_FLOAT},
                  {"Q2", IMAGE_DOUBLE},   {"Q3", IMAGE_INT},   {"Q4", IMAGE_SHORT},   {"Q10", IMAGE_FLOAT3A},
                  {"Q11", IMAGE_FLOAT3B}, {"Q12", IMAGE_RGBA}, {"Q13", IMAGE_GRAY16}, {"Q14", IMAGE_RGB16},
                  {"Q15", IMAGE_RGBA16}};
    char magic[8];
    int32_t width = 0, height = 0;
    // The sizes through the library's own tokenizer: what its loader reads is what is checked.
    if (magicStart() != 0) return fail_core(), nullptr;
    if (!next_word(in.in, magic, sizeof magic)) return fail(Err::format, "the header ends before the magic"), nullptr;
    uint16_t tag = 0;
    for (const auto &m : magics)
        if (std::strcmp(magic, m.magic) == 0) tag = m.tag;
    if (!tag) return fail(Err::format, "unknown magic '%s'", magic), nullptr;
    if (magicGetInt(in.in, &width) != 0 || magicGetInt(in.in, &height) != 0 || width < 1 || height < 1)
        return fail(Err::format, "a %s header without a width and a height from 1 to 2147483647", magic), nullptr;
    if (!fits(r, static_cast<uint64_t>(width), static_cast<uint64_t>(height), tag)) return nullptr;
    if (r.header_only) {
        describe_library(r, tag, width, height);
        header_read(r, tag);
        return nullptr;
    }
    if (!in.rewind(in)) return nullptr;
    in.forget_start(in);
    auto *im = static_cast<AnyImageStruct *>(tessera_load_stream(0xffff, in.in));
    if (!im) return fail_core(), nullptr;
    describe_library(r, im->header->tag, im->header->width, im->header->height);
    if (!trim_comment(im->header)) {
        im_Free_(im, im->header->tag);
        return nullptr;
    }
    return im;
}

AnyImageStruct *read_netpbm(Input &in, const Request &r) {
    FILE *f = in.in;
    char magic[8];
    long w, h, max = 1;
    bool unusual = false; // a header the library's reader might read otherwise
    if (!next_word(f, magic, sizeof magic, &unusual)) return fail(Err::format, "not a Netpbm file"), nullptr;
    if (!next_number(f, "width", 2147483647L, &w, &unusual) || !next_number(f, "height", 2147483647L, &h, &unusual))
        return nullptr;
    const bool bits = magic[1] == '1' || magic[1] == '4';
    if (!bits && !next_number(f, "maximum value", 65535, &max, &unusual)) return nullptr;
    const int channels = magic[1] == '3' || magic[1] == '6' ? 3 : 1;
    describe(r, magic, w, h, channels, 0, bits ? 1 : bits_of(static_cast<uint32_t>(max)), static_cast<uint32_t>(max));
    const bool raw = magic[1] >= '4';
    // Raw files of the library's own kind keep their comment: the library reads them, unless
    // their rows go one at a time to a caller and the header is plain (no comment to keep, and
    // nothing its reader could read otherwise): then rows of bits, 8-bit gray and RGB are read here.
    const bool own_rows = raw && (bits || max == 255) && !unusual && rows_wanted(r);
    if (raw && (bits || max == 255) && !own_rows) {
        if (!in.rewind(in)) return nullptr;
        return read_library(in, r);
    }
    in.forget_start(in);
    Layout l;
    l.channels = channels;
    l.maxval = static_cast<uint32_t>(max);
    from_request(l, r);
    choose_tag(l, bits);
    // Raw samples have their exact size; plain ones take at least a character each.
    const unsigned long long samples = static_cast<unsigned long long>(w) * static_cast<unsigned long long>(h) *
                                       static_cast<unsigned long long>(l.channels);
    // Raw rows go to a caller that takes them one at a time through a band of one row.
    const bool streamed = raw && rows_wanted(r);
    AnyImageStruct *im = streamed ? row_band(r, l.tag, w, 1, static_cast<uint64_t>(w) * 12)
                                  : image_for(in, l, w, h, raw ? samples * (max > 255 ? 2 : 1) : samples,
                                              raw ? "bytes" : "characters", r);
    if (!im) return nullptr;
    const bool ok = raw ? read_raw(f, im, l, static_cast<int32_t>(w), static_cast<int32_t>(h), r, streamed, bits)
                        : read_plain(f, im, l, bits);
    if (ok && !streamed) return im;
    im_Free_(im, im->header->tag);
    return nullptr;
}

AnyImageStruct *read_pam(Input &in, const Request &r) {
    in.forget_start(in);
    FILE *f = in.in;
    char word[64], type[64] = "";
    long w = 0, h = 0, depth = 0, max = 0;
    next_word(f, word, sizeof word); // P7
    for (;;) {
        if (!next_word(f, word, sizeof word)) return fail(Err::format, "the PAM header ends before ENDHDR"), nullptr;
        if (std::strcmp(word, "ENDHDR") == 0) break;
        if (std::strcmp(word, "TUPLTYPE") == 0) {
            if (!next_word(f, type, sizeof type)) return fail(Err::format, "the PAM header ends in TUPLTYPE"), nullptr;
        } else if (std::strcmp(word, "WIDTH") == 0) {
            if (!next_number(f, "width", 2147483647L, &w)) return nullptr;
        } else if (std::strcmp(word, "HEIGHT") == 0) {
            if (!next_number(f, "height", 2147483647L, &h)) return nullptr;
        } else if (std::strcmp(word, "DEPTH") == 0) {
            if (!next_number(f, "depth", 4, &depth)) return nullptr;
        } else if (std::strcmp(word, "MAXVAL") == 0) {
            if (!next_number(f, "maximum value", 65535, &max)) return nullptr;
        } else {
            return fail(Err::format, "unknown PAM header field '%s'", word), nullptr;
        }
    }
    if (!w || !h || !depth || !max)
        return fail(Err::format, "the PAM header lacks WIDTH, HEIGHT, DEPTH or MAXVAL"), nullptr;
    static const char *const depth_types[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    if (!type[0]) std::strcpy(type, depth_types[depth]);
    Layout l;
    l.maxval = static_cast<uint32_t>(max);
    from_request(l, r);
    bool bilevel = false;
    const std::size_t n = std::strlen(type);
    if (n > 6 && std::strcmp(type + n - 6, "_ALPHA") == 0) {
        l.alpha = 1;
        type[n - 6] = '\0';
    }
    if (std::strcmp(type, "RGB") == 0) l.channels = 3;
    else if (std::strcmp(type, "BLACKANDWHITE") == 0) bilevel = l.white_is_zero = true;
    else if (std::strcmp(type, "GRAYSCALE") != 0)
        return fail(Err::unsupported, "PAM tuple type '%s' is not supported", type), nullptr;
    if (depth != l.channels + l.alpha)
        return fail(Err::format, "PAM depth %ld does not match tuple type %s%s", depth, type, l.alpha ? "_ALPHA" : ""),
               nullptr;
    describe(r, "PAM", w, h, l.channels, l.alpha, bilevel ? 1 : bits_of(l.maxval), l.maxval);
    choose_tag(l, bilevel);
    const unsigned long long need = static_cast<unsigned long long>(w) * static_cast<unsigned long long>(h) *
                                    static_cast<unsigned long long>(depth) * (max > 255 ? 2ULL : 1ULL);
    const bool streamed = rows_wanted(r);
    AnyImageStruct *im =
        streamed ? row_band(r, l.tag, w, 1, static_cast<uint64_t>(w) * 24) : image_for(in, l, w, h, need, "bytes", r);
    if (!im) return nullptr;
    const bool ok = read_raw(f, im, l, static_cast<int32_t>(w), static_cast<int32_t>(h), r, streamed, false);
    if (ok && !streamed) return im;
    im_Free_(im, im->header->tag);
    return nullptr;
}

bool write_netpbm(const Picture &p, const tessera_io_save_options &, FILE *out) {
    const uint16_t tag = p.im->header->tag;
    // Bilevel, gray and RGB images at 8 bits are the library's own raw files.
    if (p.bits == 1 || (p.bits == 8 && (tag == IMAGE_GRAY || tag == IMAGE_RGB))) {
        return tessera_save_stream(const_cast<AnyImageStruct *>(p.im), out) == 0 || fail_core();
    }
    const int maxval = p.bits == 16 ? 65535 : 255;
    if (std::fprintf(out, "%s\n%d %d\n%d\n", p.channels == 3 ? "P6" : "P5", p.width, p.height, maxval) < 0)
        return false;
    const std::size_t n =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.channels) * static_cast<std::size_t>(p.bits / 8);
    auto *row = static_cast<unsigned char *>(std::malloc(n));
    if (!row) return fail(Err::memory, "out of memory for a row");
    bool ok = true;
    for (int32_t y = 0; ok && y < p.height; ++y) {
        get_row(p, y, row);
        ok = put_be16(out, row, n);
    }
    std::free(row);
    return ok;
}

bool write_pam(const Picture &p, const tessera_io_save_options &, FILE *out) {
    const int depth = (p.channels == 3 ? 3 : 1) + p.alpha;
    const char *type = p.bits == 1                  ? "BLACKANDWHITE"
                       : p.channels == 3 && p.alpha ? "RGB_ALPHA"
                       : p.channels == 3            ? "RGB"
                       : p.alpha                    ? "GRAYSCALE_ALPHA"
                                                    : "GRAYSCALE";
    const int maxval = p.bits == 1 ? 1 : p.bits == 16 ? 65535 : 255;
    if (std::fprintf(out, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n", p.width, p.height,
                     depth, maxval, type) < 0)
        return false;
    const std::size_t n = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(depth) *
                          static_cast<std::size_t>(p.bits == 16 ? 2 : 1);
    auto *row = static_cast<unsigned char *>(std::malloc(n));
    if (!row) return fail(Err::memory, "out of memory for a row");
    bool ok = true;
    for (int32_t y = 0; ok && y < p.height; ++y) {
        get_row(p, y, row);
        if (p.bits == 1)
            for (std::size_t i = 0; i < n; ++i) row[i] = row[i] == 0; // BLACKANDWHITE: 0 is black, a set pixel
        ok = std::fwrite(row, 1, n, out) == n;
    }
    std::free(row);
    return ok;
}

} // namespace tessera::detail::io
