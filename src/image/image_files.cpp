// Image files: a text header read with the header tokenizer (magic, width, height and, for
// "P5" and "P6", a maximum value), then raw pixels. Every tag but IMAGE_BINARY stores its pixel
// run as little-endian machine values; "P4" packs eight pixels per byte, rows byte-aligned.
#include <tessera/image.h>
#include <tessera/magic.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image_internal.h"
#include "support/alloc.h"
#include "support/check.h"
#include "support/magic_internal.h"

#define TESSERA_RCS "$Id: image_files.cpp 1.0 $"

using tessera::detail::any;
using tessera::detail::Err;
using tessera::detail::first_pixel;
using tessera::detail::pixel_at;
using tessera::detail::pixel_count;

namespace {

using ImageDesc = tessera::detail::TagTraits;

constexpr int max_magic = 20;
constexpr std::size_t piece = 4096; // bytes of packed "P4" data handled at a time

// The tag a file magic stands for.
const ImageDesc *desc_of_magic(const char *word) {
    for (const ImageDesc &d : tessera::detail::tag_traits)
        if (d.magic && std::strcmp(d.magic, word) == 0) return &d;
    return nullptr;
}

// The file description of a tag; null for tags no file holds.
const ImageDesc *desc_of_tag(uint16_t tag) {
    const ImageDesc *d = tessera::detail::traits_of(tag);
    return d && d->magic ? d : nullptr;
}

// Why a file's first word is not an image magic this library reads.
void unknown_magic(const char *word, int n, bool ended) {
    using tessera::detail::fail;
    if (n == 0) {
        fail(Err::format, ended ? "the file is empty" : "the file starts with white space only");
        return;
    }
    if (n == 2 && word[0] == 'P' && word[1] >= '1' && word[1] <= '3') {
        fail(Err::unsupported, "plain Netpbm (P%c) is not supported: only the raw formats P4, P5 and P6", word[1]);
        return;
    }
    if (n == 2 && word[0] == 'P' && word[1] == '7') {
        fail(Err::unsupported, "PAM (P7) is not supported: only the raw formats P4, P5 and P6");
        return;
    }
    char hex[16] = "";
    for (int i = 0, at = 0; i < n && i < 4; ++i)
        at += std::snprintf(hex + at, sizeof hex - static_cast<std::size_t>(at), i ? " %02x" : "%02x",
                            static_cast<unsigned char>(word[i]));
    fail(Err::format, "not a raw Netpbm or Q file (starts with %s)", hex);
}

// Reads the header; returns the file's tag (0, reason set, when the header is unusable or its
// tag is not in mask) and, when comment is given, a new copy of the comment text met on the way.
uint16_t get_image_header(uint16_t mask, FILE *stream, int32_t *width, int32_t *height, adtStringHeader **comment) {
    using tessera::detail::fail;
    using tessera::detail::fail_in;
    if (magicStart() != 0) return 0;
    int c = tessera::detail::skip_space(stream);
    char word[max_magic + 1];
    int n = 0;
    while (c != -1 && !tessera::detail::is_space(c)) {
        word[n++] = static_cast<char>(c);
        c = magicGetChar(stream);
        if (n == max_magic) break; // the character read after 20 is dropped
    }
    word[n] = '\0';
    const ImageDesc *d = c == -1 ? nullptr : desc_of_magic(word);
    if (!d) return unknown_magic(word, n, c == -1), 0;
    if ((d->tag & mask) == 0)
        return fail(Err::argument, "a %s file holds another element type than the one asked for", d->magic), 0;
    if (magicGetInt(stream, width) != 0) return fail_in("the width"), 0;
    if (magicGetInt(stream, height) != 0) return fail_in("the height"), 0;
    if (d->has_max) {
        // Samples are read one byte wide, which only a maximum of 1 to 255 describes.
        int32_t max = 0;
        if (magicGetInt(stream, &max) != 0) return fail_in("the maximum value"), 0;
        if (max < 1 || max > 255) return fail(Err::unsupported, "maxval %d: only 1..255 is supported", max), 0;
    }
    if (comment && !(*comment = tessera::detail::magicComment())) return 0;
    return d->tag;
}

// A count of bytes with thousands separators: "1,234".
const char *grouped(char *out, std::size_t n, std::size_t value) {
    char digits[32];
    const int len = std::snprintf(digits, sizeof digits, "%zu", value);
    std::size_t o = 0;
    for (int i = 0; i < len && o + 2 < n; ++i) {
        if (i > 0 && (len - i) % 3 == 0) out[o++] = ',';
        out[o++] = digits[i];
    }
    out[o] = '\0';
    return out;
}

bool data_ends_early(std::size_t got, std::size_t want) {
    char a[40], b[40];
    return tessera::detail::fail(Err::format, "pixel data ends after %s of %s bytes", grouped(a, sizeof a, got),
                                 grouped(b, sizeof b, want));
}

// Swaps each unit of a little-endian file value to host order (and back); nothing to do on a
// little-endian host.
void swap_units(unsigned char *p, std::size_t bytes, std::size_t unit) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)p, (void)bytes, (void)unit;
    } else {
        for (std::size_t i = 0; i + unit <= bytes; i += unit) std::reverse(p + i, p + i + unit);
    }
}

// Byte-swap unit of a tag's elements: each scalar of the element.
std::size_t swap_unit(uint16_t tag) { return tessera::detail::traits_of(tag)->scalar_size; }

// Eight pixels to one byte, first pixel in the most significant bit: each non-zero byte of the
// word becomes a 1 in its lowest bit, and one multiplication gathers those bits in order.
unsigned char pack8(const int8_t *pixels) {
    uint64_t v;
    std::memcpy(&v, pixels, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
    const uint64_t nonzero = ((((v & low7) + low7) | v) >> 7) & 0x0101010101010101ULL;
    return static_cast<unsigned char>((nonzero * 0x8040201008040201ULL) >> 56);
}

// For each byte value, its eight bits as eight 0/1 bytes, most significant bit first.
struct BitTable {
    unsigned char bits[256][8];
    constexpr BitTable() : bits{} {
        for (int v = 0; v < 256; ++v)
            for (int b = 0; b < 8; ++b) bits[v][b] = static_cast<unsigned char>((v >> (7 - b)) & 1);
    }
};
constexpr BitTable bit_table;

// Reads height packed rows into the image's pixels as 0 and 1. False at end of file, with the
// pixels of the bytes that did arrive already set.
bool read_bits(FILE *in, void *im, const ImageHeader *h) {
    const std::size_t row_bytes = (static_cast<std::size_t>(h->width) + 7) / 8;
    unsigned char buf[piece];
    for (int32_t i = 0; i < h->height; ++i) {
        auto *out = reinterpret_cast<unsigned char *>(pixel_at(im, h->xoffset, int64_t{h->yoffset} + i, 1));
        std::size_t left = static_cast<std::size_t>(h->width);
        for (std::size_t done = 0; done < row_bytes; done += piece) {
            const std::size_t want = std::min(piece, row_bytes - done);
            const std::size_t got = std::fread(buf, 1, want, in);
            std::size_t k = 0;
            for (; k < got && left >= 8; ++k, out += 8, left -= 8) std::memcpy(out, bit_table.bits[buf[k]], 8);
            if (k < got && left > 0) { // the row's last, partly used byte
                std::memcpy(out, bit_table.bits[buf[k]], left);
                out += left;
                left = 0;
            }
            if (got < want) return false;
        }
    }
    return true;
}

bool write_bits(FILE *out, void *im, const ImageHeader *h) {
    const std::size_t width = static_cast<std::size_t>(h->width);
    unsigned char buf[piece];
    for (int32_t i = 0; i < h->height; ++i) {
        const auto *row = reinterpret_cast<const int8_t *>(pixel_at(im, h->xoffset, int64_t{h->yoffset} + i, 1));
        for (std::size_t x = 0; x < width;) {
            std::size_t n = 0;
            for (; n < piece && x + 8 <= width; ++n, x += 8) buf[n] = pack8(row + x);
            if (n < piece && x < width) { // the row's last, partly used byte
                unsigned byte = 0;
                for (int b = 0; x < width; ++b, ++x) byte |= row[x] != 0 ? 0x80u >> b : 0u;
                buf[n++] = static_cast<unsigned char>(byte);
            }
            if (std::fwrite(buf, 1, n, out) != n) return false;
        }
    }
    return true;
}

// Bytes of pixel data a file of this tag and size holds.
std::size_t data_bytes(uint16_t tag, int32_t width, int32_t height) {
    std::size_t bytes = 0;
    if (tag == IMAGE_BINARY) tessera::detail::product_fits((int64_t{width} + 7) / 8, height, 1, &bytes);
    else
        tessera::detail::product_fits(width, height, static_cast<int64_t>(tessera::detail::fixed_elem_size(tag)),
                                      &bytes);
    return bytes;
}

// False when a seekable stream holds fewer than bytes from here on; such a file cannot fill an
// image, so nothing is allocated for it. Streams that cannot seek are let through.
bool may_hold(FILE *in, std::size_t bytes) {
    const long here = std::ftell(in);
    if (here < 0 || std::fseek(in, 0, SEEK_END) != 0) return true;
    const long end = std::ftell(in);
    std::fseek(in, here, SEEK_SET);
    if (end < here || static_cast<std::size_t>(end - here) >= bytes) return true;
    return data_ends_early(static_cast<std::size_t>(end - here), bytes);
}

void *do_imLoadF_(uint16_t type, FILE *inFile, void *im, ImageHeader *header) {
    TESSERA_CHECK(inFile != (FILE *)NULL);
    const bool into = im && header;
    int32_t width = 0, height = 0;
    adtStringHeader *comment = nullptr;
    const uint16_t tag = get_image_header(into ? header->tag : type, inFile, &width, &height, &comment);
    if (tag == 0) return nullptr;
    if (into) {
        if (header->width != width || header->height != height) {
            strFree(comment);
            return tessera::detail::fail(Err::argument,
                                         "the file holds a %d x %d image, the image to load into is %d x %d", width,
                                         height, header->width, header->height),
                   nullptr;
        }
    } else {
        im = nullptr;
        const std::size_t bytes = data_bytes(tag, width, height);
        if (width <= 0 || height <= 0)
            tessera::detail::fail(Err::format, "%s %d is not a valid size", width <= 0 ? "width" : "height",
                                  width <= 0 ? width : height);
        else if (bytes == 0)
            tessera::detail::fail(Err::memory, "a %d x %d image does not fit in memory", width, height);
        else if (may_hold(inFile, bytes)) {
            im = tessera::detail::create_image(tag, width, height, 0, 0, nullptr, 0, 0, nullptr, false);
            if (!im) tessera::detail::fail_memory(bytes, "the pixels");
        }
        if (!im) {
            strFree(comment);
            return nullptr;
        }
        header = any(im)->header;
    }
    strFree(header->comment);
    header->comment = comment;

    bool complete;
    if (tag == IMAGE_BINARY) {
        complete = read_bits(inFile, im, header);
        if (!complete)
            tessera::detail::fail(Err::format, "pixel data ends before %zu bytes", data_bytes(tag, width, height));
    } else {
        const std::size_t size = tessera::detail::fixed_elem_size(tag);
        const std::size_t n = pixel_count(header);
        unsigned char *run = first_pixel(im, header, size);
        const std::size_t got = std::fread(run, 1, n * size, inFile);
        complete = got == n * size;
        if (!complete) data_ends_early(got, n * size);
        swap_units(run, n * size, swap_unit(tag));
    }
    if (!complete) {
        if (!into) im_Free_(im, tag);
        return nullptr;
    }
    return im;
}

void *do_imLoad_(uint16_t type, const char *name, void *im, ImageHeader *header) {
    return tessera::detail::with_file(
        name, "rb", stdin, static_cast<void *>(nullptr), [&](FILE *in) { return do_imLoadF_(type, in, im, header); },
        [&](void *result) {
            if (!im) im_Free_(result, any(result)->header->tag);
        });
}

// A stream over a duplicate of fd: closing it leaves the caller's descriptor open. Null when
// the descriptor cannot be duplicated or wrapped.
FILE *stream_on(int fd, const char *mode) {
    const int copy = dup(fd);
    if (copy < 0)
        return tessera::detail::fail(Err::file, "cannot use descriptor %d: %s", fd, std::strerror(errno)), nullptr;
    FILE *f = fdopen(copy, mode);
    if (!f) {
        tessera::detail::fail(Err::file, "cannot %s descriptor %d: %s", mode[0] == 'r' ? "read from" : "write to", fd,
                              std::strerror(errno));
        close(copy);
    }
    return f;
}

// A descriptor that cannot be read (closed, open for writing only) or wrapped (no memory for
// the stream) is a failed load, not a broken contract.
void *load_from_descriptor(uint16_t type, int fd, void *im, ImageHeader *header) {
    FILE *in = stream_on(fd, "rb");
    if (!in) return nullptr;
    void *result = do_imLoadF_(type, in, im, header);
    std::fclose(in);
    return result;
}

int32_t write_failed() {
    tessera::detail::fail(Err::file, "cannot write the image: %s", errno ? std::strerror(errno) : "write error");
    return -1;
}

int32_t im_SaveF_(void *im, ImageHeader *header, FILE *outFile) {
    TESSERA_CHECK(outFile != (FILE *)NULL);
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    const ImageDesc *d = desc_of_tag(header->tag);
    if (!d) {
        if (header->tag == IMAGE_POINTER) TESSERA_PANIC("attempt to save pointer image");
        if (header->tag == IMAGE_STRUCT) TESSERA_PANIC("saving structure images not yet supported");
        TESSERA_PANIC("bad image tag");
    }
    if (std::fprintf(outFile, "%s\n\n", d->magic) < 0) return write_failed();
    if (!tessera::detail::write_comment_block(outFile, header->comment, true)) return write_failed();
    const int written = d->has_max ? std::fprintf(outFile, "%d %d %d\n", header->width, header->height, 255)
                                   : std::fprintf(outFile, "%d %d\n", header->width, header->height);
    if (written < 0) return write_failed();
    if (d->tag == IMAGE_BINARY) return write_bits(outFile, im, header) ? 0 : write_failed();
    const std::size_t size = tessera::detail::fixed_elem_size(d->tag);
    const std::size_t n = pixel_count(header);
    unsigned char *run = first_pixel(im, header, size);
    if constexpr (std::endian::native == std::endian::little) {
        return std::fwrite(run, size, n, outFile) == n ? 0 : write_failed();
    } else {
        // Big-endian hosts write a little-endian copy, one piece at a time.
        unsigned char buf[piece * 12];
        const std::size_t per = sizeof buf / size;
        for (std::size_t i = 0; i < n; i += per) {
            const std::size_t k = std::min(per, n - i);
            std::memcpy(buf, run + i * size, k * size);
            swap_units(buf, k * size, swap_unit(d->tag));
            if (std::fwrite(buf, size, k, outFile) != k) return write_failed();
        }
        return 0;
    }
}

} // namespace

extern "C" {

void *im_Load(uint16_t type, const char *name) { return do_imLoad_(type, name, nullptr, nullptr); }

void *tessera_load_stream(uint16_t type, FILE *in) {
    if (!in) return tessera::detail::fail(Err::argument, "no stream to read"), nullptr;
    return do_imLoadF_(type, in, nullptr, nullptr);
}

int32_t tessera_save_stream(void *im, FILE *out) {
    if (!out || !im) return tessera::detail::fail(Err::argument, out ? "no image to save" : "no stream to write"), -1;
    return im_SaveF_(im, any(im)->header, out);
}

void *im_LoadInto_(void *im, ImageHeader *header, const char *name) { return do_imLoad_(0, name, im, header); }

void *im_LoadH(uint16_t type, int fd) { return load_from_descriptor(type, fd, nullptr, nullptr); }

void *im_LoadHInto_(void *im, ImageHeader *header, int fd) { return load_from_descriptor(0, fd, im, header); }

int32_t im_Save_(void *im, ImageHeader *header, const char *name) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    return tessera::detail::with_file(
        name, "wb", stdout, -1, [&](FILE *out) { return im_SaveF_(im, header, out); }, [](int32_t) {});
}

int32_t im_SaveH_(void *im, ImageHeader *header, int fd) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    FILE *out = stream_on(fd, "wb");
    if (!out) return -1; // a descriptor that cannot be written or wrapped is a failed save
    int32_t result = im_SaveF_(im, header, out);
    if (std::fclose(out) != 0) result = -1; // flushes: the data has reached the descriptor
    return result;
}

} // extern "C"
