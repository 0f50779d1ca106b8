// WebP through libwebp: lossy and lossless, with or without alpha, and the EXIF (with its
// orientation), ICC profile and XMP chunks. A WebP file is one RIFF block whose size its header states: it is read
// whole (up to the budget) and decoded straight into the image where the image keeps what the file has.
#include <webp/decode.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace tessera::detail::io {

namespace {

uint32_t le32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The file's bytes: the caller's memory as it is, else read into *owned (released by the caller).
const unsigned char *whole_file(Input &in, const Request &r, std::size_t *size, unsigned char **owned) {
    *owned = nullptr;
    if (in.memory) {
        *size = in.memory_size;
        return in.memory;
    }
    unsigned char head[12];
    if (std::fread(head, 1, sizeof head, in.in) != sizeof head)
        return fail(Err::format, "the WebP file ends in its header (its data ended early)"), nullptr;
    const uint64_t total = uint64_t{le32(head + 4)} + 8;
    if (total < sizeof head)
        return fail(Err::format, "a damaged WebP file: its size is %llu bytes", static_cast<unsigned long long>(total)),
               nullptr;
    if (total > budget(r))
        return fail(Err::limit, "a WebP file of %llu bytes is larger than the budget of %llu bytes",
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(budget(r))),
               nullptr;
    auto *data = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(total)));
    if (!data)
        return fail(Err::memory, "out of memory for a WebP file of %llu bytes", static_cast<unsigned long long>(total)),
               nullptr;
    std::memcpy(data, head, sizeof head);
    const std::size_t want = static_cast<std::size_t>(total) - sizeof head;
    if (std::fread(data + sizeof head, 1, want, in.in) != want) {
        std::free(data);
        if (std::ferror(in.in)) return fail_system("cannot read"), nullptr;
        return fail(Err::format, "the WebP file's data ended early"), nullptr;
    }
    *size = static_cast<std::size_t>(total);
    *owned = data;
    return data;
}

// The EXIF (and its orientation), ICC profile and XMP chunks for the caller, found by walking
// the RIFF chunks (a four-letter name, a little-endian size, the data padded to even) without
// allocating; false with the reason when a block is refused.
bool gather(const unsigned char *data, std::size_t size, const Request &r) {
    for (std::size_t at = 12; size - at >= 8 && at < size;) {
        const unsigned char *name = data + at;
        const std::size_t n = le32(data + at + 4), from = at + 8;
        if (n > size - from) break;
        const unsigned char *d = data + from;
        const bool ok = std::memcmp(name, "EXIF", 4) == 0   ? found_exif(r, d, n)
                        : std::memcmp(name, "ICCP", 4) == 0 ? keep_block(r, Block::icc, d, n)
                        : std::memcmp(name, "XMP ", 4) == 0 ? keep_block(r, Block::xmp, d, n)
                                                            : true;
        if (!ok) return false;
        at = from + n + (n & 1);
    }
    return true;
}

// The encoded picture with the metadata's chunks added (an extended file); false with the
// reason when libwebp's muxer fails.
bool with_metadata(const tessera_io_metadata &meta, WebPMemoryWriter &writer) {
    WebPMux *mux = WebPMuxNew();
    const WebPData image{writer.mem, writer.size};
    bool ok = mux && WebPMuxSetImage(mux, &image, 1) == WEBP_MUX_OK;
    const struct {
        const char *fourcc;
        const void *bytes;
        std::size_t size;
    } chunks[] = {
        {"ICCP", meta.icc, meta.icc_size}, {"EXIF", meta.exif, meta.exif_size}, {"XMP ", meta.xmp, meta.xmp_size}};
    for (const auto &c : chunks) {
        const WebPData bytes{static_cast<const uint8_t *>(c.bytes), c.size};
        if (ok && c.bytes && c.size) ok = WebPMuxSetChunk(mux, c.fourcc, &bytes, 1) == WEBP_MUX_OK;
    }
    WebPData assembled{nullptr, 0};
    if (ok) ok = WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
    WebPMuxDelete(mux);
    if (!ok) return fail(Err::memory, "out of memory for the WebP file's metadata");
    WebPMemoryWriterClear(&writer);
    writer.mem = const_cast<uint8_t *>(assembled.bytes);
    writer.size = assembled.size;
    writer.max_size = assembled.size;
    return true;
}

} // namespace

AnyImageStruct *read_webp(Input &in, const Request &r) {
    std::size_t size = 0;
    unsigned char *owned = nullptr;
    const unsigned char *data = whole_file(in, r, &size, &owned);
    if (!data) return nullptr;
    AnyImageStruct *im = nullptr;
    WebPBitstreamFeatures f;
    if (WebPGetFeatures(data, size, &f) != VP8_STATUS_OK || f.width <= 0 || f.height <= 0) {
        fail(Err::format, size < 30 ? "the WebP file's data ended early" : "a damaged WebP file");
    } else if (f.has_animation) {
        fail(Err::unsupported, "animated WebP files are not supported");
    } else {
        describe(r, "WebP", f.width, f.height, 3, f.has_alpha ? 1 : 0, 8, 255);
        if (!gather(data, size, r)) {
            std::free(owned);
            return nullptr;
        }
        Layout l;
        l.channels = 3;
        l.alpha = f.has_alpha ? 1 : 0;
        from_request(l, r);
        choose_tag(l, false);
        // Decoded straight into the image when it keeps what the file has; else into a block
        // beside it, then row by row (alpha laid over the background, gray from colour).
        const bool straight = (l.tag == IMAGE_RGBA && l.alpha) || (l.tag == IMAGE_RGB && !l.alpha);
        const uint64_t pixels = uint64_t(f.width) * uint64_t(f.height);
        const uint64_t beside = size + (straight ? 0 : pixels * 4) + uint64_t(f.width) * 16;
        im = new_image(l, f.width, f.height, r, beside);
        unsigned char *block = nullptr;
        uint32_t *spare = nullptr;
        if (im && !straight) {
            block = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(pixels) * 4));
            spare = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(f.width) * 4 * sizeof(uint32_t)));
            if (!block || !spare) fail(Err::memory, "out of memory for a %d x %d WebP picture", f.width, f.height);
        }
        const int per = l.alpha ? 4 : 3;
        const std::size_t row = static_cast<std::size_t>(f.width) * static_cast<std::size_t>(per);
        unsigned char *into = straight && im ? static_cast<unsigned char *>(im->data[0]) : block;
        const std::size_t stride = straight && im && f.height > 1
                                       ? static_cast<std::size_t>(static_cast<unsigned char *>(im->data[1]) -
                                                                  static_cast<unsigned char *>(im->data[0]))
                                       : row;
        bool ok = im && into;
        if (ok) {
            const std::size_t out_size = stride * static_cast<std::size_t>(f.height - 1) + row;
            const uint8_t *got = l.alpha ? WebPDecodeRGBAInto(data, size, into, out_size, static_cast<int>(stride))
                                         : WebPDecodeRGBInto(data, size, into, out_size, static_cast<int>(stride));
            if (!got) ok = fail(Err::format, "a damaged WebP file (or its data ended early)");
        }
        if (ok && !straight)
            for (int y = 0; y < f.height; ++y) put_row8(im, y, block + static_cast<std::size_t>(y) * row, l, spare);
        std::free(block);
        std::free(spare);
        if (!ok && im) {
            im_Free_(im, im->header->tag);
            im = nullptr;
        }
    }
    std::free(owned);
    return im;
}

bool write_webp(const Picture &p, const tessera_io_save_options &o, FILE *out) {
    if (p.bits != 8 || p.channels == 0) return fail(Err::unsupported, "webp holds 8-bit colour images only");
    const int per = 3 + p.alpha;
    const std::size_t row = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(per);
    auto *pixels = static_cast<unsigned char *>(std::malloc(row * static_cast<std::size_t>(p.height)));
    auto *gray =
        p.channels == 1 ? static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(p.width) * 2)) : nullptr;
    if (!pixels || (p.channels == 1 && !gray)) {
        std::free(pixels);
        std::free(gray);
        return fail(Err::memory, "out of memory for a %d x %d WebP picture", p.width, p.height);
    }
    for (int32_t y = 0; y < p.height; ++y) {
        unsigned char *d = pixels + static_cast<std::size_t>(y) * row;
        if (p.channels == 3) {
            get_row(p, y, d);
            continue;
        }
        get_row(p, y, gray); // gray (and alpha): each gray in the three colours
        const int in_per = 1 + p.alpha;
        for (int32_t x = 0; x < p.width; ++x) {
            const unsigned char *s = gray + static_cast<std::ptrdiff_t>(x) * in_per;
            unsigned char *q = d + static_cast<std::ptrdiff_t>(x) * per;
            q[0] = q[1] = q[2] = s[0];
            if (p.alpha) q[3] = s[1];
        }
    }
    std::free(gray);
    if (p.width > WEBP_MAX_DIMENSION || p.height > WEBP_MAX_DIMENSION) {
        std::free(pixels);
        return fail(Err::limit, "a %d x %d picture is larger than WebP holds (16383 a side)", p.width, p.height);
    }
    // Lossless keeps the colour under transparent pixels too ("exact"), so that what is read back
    // is what was written.
    WebPConfig config;
    WebPPicture picture;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    bool ok = WebPConfigInit(&config) && WebPPictureInit(&picture);
    if (ok) {
        config.lossless = o.lossless ? 1 : 0;
        config.quality = o.lossless ? 75.0f : static_cast<float>(o.quality ? o.quality : 90);
        config.exact = o.lossless ? 1 : 0;
        picture.use_argb = o.lossless ? 1 : 0;
        picture.width = p.width;
        picture.height = p.height;
        picture.writer = WebPMemoryWrite;
        picture.custom_ptr = &writer;
        const int stride = static_cast<int>(row);
        ok = (p.alpha ? WebPPictureImportRGBA(&picture, pixels, stride)
                      : WebPPictureImportRGB(&picture, pixels, stride));
        if (!ok) fail(Err::memory, "out of memory for a %d x %d WebP picture", p.width, p.height);
        else if (!(ok = WebPEncode(&config, &picture)))
            fail(picture.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY ? Err::memory : Err::format,
                 "the WebP encoder failed on a %d x %d picture (error %d)", p.width, p.height,
                 static_cast<int>(picture.error_code));
        WebPPictureFree(&picture);
    }
    std::free(pixels);
    if (ok && (p.meta.icc || p.meta.exif || p.meta.xmp)) ok = with_metadata(p.meta, writer);
    if (ok) ok = std::fwrite(writer.mem, 1, writer.size, out) == writer.size;
    WebPMemoryWriterClear(&writer);
    return ok;
}

} // namespace tessera::detail::io
