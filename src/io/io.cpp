// Loading and saving through the table: where the bytes come from and go to, the reasons for
// failures, and the choice of codec from a file's first bytes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <tessera/geometry.h>

#include "codec.h"
#include "image/image_internal.h"
#include "output.h"

namespace tessera::detail::io {

namespace {

struct Reason {
    char text[600];
    int error; // errno of a failed system call, else 0
    int kind;  // a tessera_error_code
};
thread_local Reason reason;

} // namespace

void clear_reason() {
    reason.text[0] = '\0';
    reason.error = 0;
    reason.kind = TESSERA_ERROR_NONE;
}

namespace {

// ---- input -------------------------------------------------------------------------------------

// The bytes of a stream that cannot seek, kept while a reader may still go back to the start.
struct Replay {
    FILE *from;
    unsigned char *kept;
    std::size_t size, cap, at;
    bool keeping;
};
constexpr std::size_t most_kept = std::size_t{1} << 20;

ssize_t replay_read(void *cookie, char *buf, std::size_t n) {
    auto *r = static_cast<Replay *>(cookie);
    if (r->at < r->size) {
        const std::size_t k = n < r->size - r->at ? n : r->size - r->at;
        std::memcpy(buf, r->kept + r->at, k);
        r->at += k;
        if (r->at == r->size && !r->keeping) r->at = r->size = 0;
        return static_cast<ssize_t>(k);
    }
    const std::size_t got = std::fread(buf, 1, n, r->from);
    if (got == 0 && std::ferror(r->from)) return -1;
    if (r->keeping) {
        if (r->size + got > most_kept) {
            r->keeping = false; // too long a header to go back over: the reader gets no second look
        } else {
            if (!reserve(r->kept, r->cap, r->size + got)) return -1;
            std::memcpy(r->kept + r->size, buf, got);
            r->size += got;
            r->at = r->size;
        }
    }
    return static_cast<ssize_t>(got);
}

int replay_seek(void *cookie, off64_t *offset, int whence) {
    auto *r = static_cast<Replay *>(cookie);
    if (whence == SEEK_SET && *offset == 0 && r->keeping) {
        r->at = 0;
        return 0;
    }
    errno = ESPIPE;
    return -1;
}

int replay_close(void *cookie) {
    auto *r = static_cast<Replay *>(cookie);
    std::free(r->kept);
    std::free(r);
    return 0;
}

bool rewind_seekable(Input &in) { return std::fseek(in.base, in.start, SEEK_SET) == 0 || fail_system("cannot seek"); }
void forget_nothing(Input &) {}
bool rewind_replay(Input &in) {
    return std::fseek(in.in, 0, SEEK_SET) == 0 || fail(Err::limit, "the header is too long to read twice");
}
void forget_replay(Input &in) { static_cast<Replay *>(in.state)->keeping = false; }

// Sets in up over base; false (reason set) when memory runs out.
bool open_input(FILE *base, Input &in) {
    in = Input{base, base, 0, false, rewind_seekable, forget_nothing, nullptr, nullptr, 0};
    const long at = std::ftell(base);
    if (at >= 0 && std::fseek(base, at, SEEK_SET) == 0) {
        in.start = at;
        in.seekable = true;
        return true;
    }
    std::clearerr(base);
    auto *r = static_cast<Replay *>(std::calloc(1, sizeof(Replay)));
    if (!r) return fail(Err::memory, "out of memory for the input");
    r->from = base;
    r->keeping = true;
    FILE *f = fopencookie(r, "rb", cookie_io_functions_t{replay_read, nullptr, replay_seek, replay_close});
    if (!f) {
        std::free(r);
        return fail(Err::memory, "out of memory for the input");
    }
    in.in = f;
    in.state = r;
    in.rewind = rewind_replay;
    in.forget_start = forget_replay;
    return true;
}

void close_input(Input &in) {
    if (in.in != in.base) std::fclose(in.in);
}

void hex_of(const unsigned char *b, std::size_t n, char *out, std::size_t size) {
    std::size_t k = 0;
    out[0] = '\0';
    for (std::size_t i = 0; i < n && k + 4 < size; ++i)
        k += static_cast<std::size_t>(std::snprintf(out + k, size - k, i ? " %02x" : "%02x", b[i]));
}

// Why a file no codec takes is refused.
void refuse(const unsigned char *head, std::size_t n) {
    static const struct {
        const char *name;
        const char *bytes;
        std::size_t n;
    } foreign[] = {
        {"RIFF (not WebP)", "RIFF", 4},
        {"PDF", "%PDF", 4},
        {"gzip", "\x1f\x8b", 2},
    };
    char hex[32];
    if ((n >= 4 && std::memcmp(head, "PTL", 3) == 0) || (n >= 5 && std::memcmp(head, "CPTL", 4) == 0)) {
        fail(Err::unsupported, "a drawing, not an image (render it first)");
        return;
    }
    for (const auto &f : foreign)
        if (n >= f.n && std::memcmp(head, f.bytes, f.n) == 0) {
            hex_of(head, f.n, hex, sizeof hex);
            fail(Err::unsupported, "%s files are not supported (starts with %s)", f.name, hex);
            return;
        }
    hex_of(head, n < 4 ? n : 4, hex, sizeof hex);
    fail(Err::unsupported, "not an image file tessera reads (starts with %s)", hex);
}

} // namespace

// The image as its orientation tag says it is seen (1 to 8, as EXIF and TIFF number them): a new
// image, or null with the core's reason.
AnyImageStruct *turned_upright(const AnyImageStruct *im, int orientation) {
    switch (orientation) {
    case 2: return tessera_flip_horizontal(im);
    case 3: return tessera_rotate(im, 180);
    case 4: return tessera_flip_vertical(im);
    case 5: return tessera_transpose(im);
    case 6: return tessera_rotate(im, 90);
    case 7: { // the transpose about the other diagonal
        AnyImageStruct *t = tessera_transpose(im);
        AnyImageStruct *out = t ? tessera_rotate(t, 180) : nullptr;
        if (t) im_Free_(t, t->header->tag);
        return out;
    }
    case 8: return tessera_rotate(im, 270);
    default: return nullptr; // callers pass 2 to 8
    }
}

AnyImageStruct *load_from(FILE *base, const tessera_io_load_options *options, tessera_io_info *info, const void *memory,
                          std::size_t memory_size, Purpose purpose) {
    uint16_t *const probed = purpose.probed;
    tessera_io_load_options defaults;
    if (!options) {
        tessera_io_load_defaults(&defaults);
        options = &defaults;
    }
    tessera_io_info scratch;
    if (!info) info = &scratch;
    std::memset(info, 0, sizeof *info);
    constexpr uint16_t loadable = IMAGE_GRAY | IMAGE_FLOAT | IMAGE_RGB | IMAGE_DOUBLE | IMAGE_BINARY | IMAGE_INT |
                                  IMAGE_SHORT | IMAGE_FLOAT3A | IMAGE_FLOAT3B | IMAGE_RGBA | IMAGE_GRAY16 |
                                  IMAGE_RGB16 | IMAGE_RGBA16;
    if (options->tag && !(options->tag & loadable))
        return fail(Err::argument, "element type %u is not one an image file loads into", options->tag), nullptr;
    if (options->depth < TESSERA_IO_REDUCE || options->depth > TESSERA_IO_OWN)
        return fail(Err::argument, "depth %d: TESSERA_IO_OWN, TESSERA_IO_REDUCE, TESSERA_IO_KEEP or TESSERA_IO_RAW",
                    options->depth),
               nullptr;
    Input in;
    if (!open_input(base, in)) return nullptr;
    tessera_io_metadata got{};
    bool r_in_srgb = false, header_read = false;
    in.memory = static_cast<const unsigned char *>(memory);
    in.memory_size = memory_size;
    unsigned char head[16];
    const std::size_t n = std::fread(head, 1, sizeof head, in.in);
    AnyImageStruct *im = nullptr;
    if (n == 0) {
        if (std::ferror(in.in)) fail_system("cannot read");
        else fail(Err::format, "the file is empty");
    } else if (in.rewind(in)) {
        const Codec *codec = nullptr;
        for (std::size_t i = 0; i < codec_count && !codec; ++i)
            if (codecs[i].sniff && codecs[i].read && codecs[i].sniff(head, n)) codec = &codecs[i];
        if (!codec) {
            refuse(head, n);
        } else {
            info->format = &codec->format;
            std::snprintf(info->magic, sizeof info->magic, "%s", codec->magic);
            Request r{options, info, options->metadata || (options->to_srgb && !probed) ? &got : nullptr};
            r.header_only = probed != nullptr;
            r.fit_width = purpose.fit_width, r.fit_height = purpose.fit_height, r.use = purpose.use;
            im = codec->read(in, r);
            if (purpose.used) *purpose.used = r.used;
            r_in_srgb = r.in_srgb;
            if (!im && r.header_tag) {
                clear_reason();
                header_read = true;
                *probed = options->tag ? options->tag : r.header_tag;
            } else if (!im && !r.used && reason_empty()) {
                fail(Err::format, "the %s file cannot be read", codec->format.name);
            }
        }
    }
    close_input(in);
    if (im && !options->keep_orientation && info->orientation > 1) {
        AnyImageStruct *upright = turned_upright(im, info->orientation);
        im_Free_(im, im->header->tag);
        im = upright;
        if (!im) fail_core();
        if (got.exif) exif_set_orientation(static_cast<unsigned char *>(got.exif), got.exif_size, 1);
    }
    if (im && options->to_srgb && got.icc && !r_in_srgb) {
        const bool gray = colour_channels(im->header->tag) == 1;
        if (im->header->tag != IMAGE_BINARY && (!to_srgb(im, got) || !srgb_profile(got, gray))) {
            im_Free_(im, im->header->tag);
            im = nullptr;
        }
    }
    if (im && options->tag && options->tag != im->header->tag) {
        auto *converted = static_cast<AnyImageStruct *>(tessera_io_convert(im, options->tag, 0));
        im_Free_(im, im->header->tag);
        im = converted;
    }
    if ((im || header_read || (purpose.used && *purpose.used)) && options->metadata) {
        tessera_io_metadata_free(options->metadata);
        *options->metadata = got;
    } else {
        tessera_io_metadata_free(&got);
    }
    return im;
}

bool check_image(const AnyImageStruct *im) {
    if (!im || !im->header) return fail(Err::argument, "no image");
    return true;
}

// The format a save uses and the samples it gets; null with a reason.
const Codec *prepare(const AnyImageStruct *im, const tessera_io_format *format, const char *path,
                     const tessera_io_save_options &o, Picture &p) {
    if (!check_image(im)) return nullptr;
    if (!format && path) format = tessera_io_format_of_path(path);
    if (!format) {
        fail(Err::argument, "cannot tell the format from the name '%s' (%s)", path ? path : "",
             tessera_io_format_names());
        return nullptr;
    }
    const Codec *c = codec_of(format);
    if (!c) return fail(Err::argument, "not a format of the table"), nullptr;
    if (!tessera_io_saves(format, im->header->tag, o.depth)) return nullptr;
    if (o.quality < 0 || o.quality > 100) return fail(Err::argument, "quality %d: 1 to 100", o.quality), nullptr;
    if (o.compression < -1 || o.compression > TESSERA_IO_LZW)
        return fail(Err::argument, "compression %d: 0 to 9, or TESSERA_IO_LZW", o.compression), nullptr;
    if (o.compression == TESSERA_IO_LZW && std::strcmp(format->name, "tiff") != 0)
        return fail(Err::argument, "LZW is TIFF's compression, not %s's", format->name), nullptr;
    p = picture_of(im, !format->deep ? 8 : o.depth);
    if (o.metadata) p.meta = *o.metadata;
    // a profile describes colours of one kind: one for other colours (a CMYK file's, on pixels
    // that are RGB now) would misstate them
    const bool colour = p.channels == 3;
    if (p.meta.icc && (p.meta.icc_size < 20 ||
                       std::memcmp(static_cast<const char *>(p.meta.icc) + 16, colour ? "RGB " : "GRAY", 4) != 0))
        p.meta.icc = nullptr, p.meta.icc_size = 0;
    return c;
}

tessera_io_save_options options_or_defaults(const tessera_io_save_options *o) {
    tessera_io_save_options d;
    tessera_io_save_defaults(&d);
    return o ? *o : d;
}

bool fail(Err kind, const char *format, ...) noexcept {
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(reason.text, sizeof reason.text, format, ap);
    va_end(ap);
    reason.error = 0;
    reason.kind = static_cast<int>(kind);
    return false;
}

bool fail_system(const char *doing) noexcept {
    const int e = errno;
    fail(Err::file, "%s: %s", doing, std::strerror(e));
    reason.error = e;
    return false;
}

void set_errno(int error) noexcept { reason.error = error; }

bool fail_core() noexcept {
    fail(Err::format, "%s", tessera_last_error());
    reason.kind = tessera_last_error_code();
    return false;
}

bool reason_empty() noexcept { return reason.text[0] == '\0'; }

uint64_t budget(const Request &r) { return r.options->max_bytes ? r.options->max_bytes : tessera_budget(); }

bool fits(const Request &r, uint64_t width, uint64_t height, uint16_t tag, uint64_t beside) {
    const auto w = static_cast<unsigned long long>(width), h = static_cast<unsigned long long>(height);
    if (width == 0 || height == 0) return fail(Err::argument, "a %llu x %llu image is empty", w, h);
    if (r.header_only) return true; // nothing is decoded
    const uint64_t pixels = r.options->max_pixels;
    if (pixels && width > pixels / height)
        return fail(Err::limit, "a %llu x %llu image is larger than the limit of %llu pixels", w, h,
                    static_cast<unsigned long long>(pixels));
    const uint64_t most = budget(r);
    if (most == UINT64_MAX) return true;
    const uint64_t size = std::max<std::size_t>(tessera::detail::fixed_elem_size(tag), 1);
    if (width > most / size / height) {
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(width, height, &bytes) || __builtin_mul_overflow(bytes, size, &bytes))
            bytes = UINT64_MAX;
        return fail(Err::limit, "a %llu x %llu image takes %llu bytes, more than the budget of %llu bytes", w, h,
                    static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(most));
    }
    if (beside > most)
        return fail(Err::limit,
                    "decoding a %llu x %llu image needs %llu bytes beside it, more than the budget of %llu bytes", w, h,
                    static_cast<unsigned long long>(beside), static_cast<unsigned long long>(most));
    return true;
}

bool fit_size(int32_t w, int32_t h, int32_t box_w, int32_t box_h, int32_t &out_w, int32_t &out_h) {
    if ((box_w <= 0 || w <= box_w) && (box_h <= 0 || h <= box_h)) return out_w = w, out_h = h, true;
    // the side that binds decides; the other follows as for a side left out of a resize
    if (box_w > 0 && tessera_resize_size(w, h, box_w, 0, &out_w, &out_h) == 0 && (box_h <= 0 || out_h <= box_h))
        return true;
    return (box_h > 0 && tessera_resize_size(w, h, 0, box_h, &out_w, &out_h) == 0) || fail_core();
}

bool rows_wanted(const Request &r) {
    return r.use && !r.header_only && !r.options->to_srgb && !r.options->tag &&
           (r.options->keep_orientation || r.info->orientation <= 1);
}

bool give_rows(const Request &r, const Rows &rows) {
    // The picture is never whole, but decoding it is work in proportion to its bytes: the
    // budget's work (8 GiB of pixels at the default budget).
    const uint64_t picture = uint64_t{static_cast<uint32_t>(rows.width)} * static_cast<uint32_t>(rows.height) *
                             tessera::detail::fixed_elem_size(rows.tag);
    if (picture / TESSERA_WORK_PER_BYTE > budget(r))
        return fail(Err::limit,
                    "a %d x %d %s picture read row by row decodes %llu bytes of pixels, more than the budget of %llu "
                    "bytes allows",
                    rows.width, rows.height, r.info->magic, static_cast<unsigned long long>(picture),
                    static_cast<unsigned long long>(budget(r)));
    r.used = r.use->use(r.use->context, rows, r);
    if (!r.used && reason_empty()) fail(Err::format, "the rows of the %s file cannot be read", r.info->magic);
    return r.used;
}

AnyImageStruct *row_band(const Request &r, uint16_t tag, int64_t width, int64_t rows, uint64_t beside) {
    if (width < 1 || width > 2147483647 || rows < 1 || rows > 2147483647)
        return fail(Err::format, "a band of %lld x %lld", static_cast<long long>(width), static_cast<long long>(rows)),
               nullptr;
    if (!fits(r, static_cast<uint64_t>(width), static_cast<uint64_t>(rows), tag, beside)) return nullptr;
    auto *band = static_cast<AnyImageStruct *>(
        im_NewOrWrap_(tag, static_cast<int32_t>(width), static_cast<int32_t>(rows), 0, 0, nullptr, 0, 0, nullptr));
    if (!band) fail_core();
    return band;
}

int read_rows(void *context, int32_t y, void *row) {
    const auto *rows = static_cast<const Rows *>(context);
    return rows->next(rows->state, y, row) ? 0 : -1;
}

bool save_image(const AnyImageStruct *im, const char *path, const tessera_io_format *format,
                const tessera_io_save_options &o) {
    Picture p;
    const Codec *c = prepare(im, format, std::strcmp(path, "-") == 0 ? nullptr : path, o, p);
    return c && write_to(path, [&](FILE *out) { return encode(c, p, o, out); });
}

bool thumbnail_rows(void *context, const Rows &rows, const Request &r) {
    auto *t = static_cast<Thumbnail *>(context);
    // The whole picture's size decides the thumbnail's, whatever size it is decoded at (rows are
    // given only of pictures stored upright).
    int32_t w = 0, h = 0;
    if (!fit_size(r.info->width, r.info->height, t->width, t->height, w, h)) return false;
    const std::size_t size = tessera::detail::fixed_elem_size(rows.tag);
    // the result is held to the limits, with the source rows held beside it (four, and the reader's)
    if (!fits(r, static_cast<uint64_t>(w), static_cast<uint64_t>(h), rows.tag,
              uint64_t{static_cast<uint32_t>(rows.width)} * 6 * size))
        return false;
    if (w == rows.width && h == rows.height) { // within the box already: the picture as it is
        t->result = image_of_rows(rows.tag, w, h, [&](int32_t y, void *row) { return rows.next(rows.state, y, row); });
        return t->result != nullptr;
    }
    t->result =
        tessera_resize_rows(rows.tag, rows.width, rows.height, read_rows, const_cast<Rows *>(&rows), w, h, t->filter);
    if (!t->result && reason_empty()) fail_core();
    return t->result != nullptr;
}

bool header_read(const Request &r, uint16_t tag) {
    if (!r.header_only) return false;
    r.header_tag = tag;
    fail(Err::format, "the header is read");
    return true;
}

bool encode(const Codec *c, const Picture &p, const tessera_io_save_options &o, FILE *out) {
    clearerr(out);
    errno = 0;
    const bool ok = c->write(p, o, out);
    if (!ok) {
        const int e = errno;
        if (reason_empty()) fail_system("cannot write");
        else if (reason.error == 0 && std::ferror(out))
            reason.error = e, reason.kind = TESSERA_ERROR_FILE; // a codec's own words for a system error
        return false;
    }
    if (std::fflush(out) != 0 || std::ferror(out)) return fail_system("cannot write");
    return true;
}

} // namespace tessera::detail::io

namespace io = tessera::detail::io;
using tessera::detail::Err;

extern "C" {

void tessera_io_load_defaults(tessera_io_load_options *o) {
    if (!o) return (void)io::fail(Err::argument, "no options");
    std::memset(o, 0, sizeof *o);
    o->depth = TESSERA_IO_OWN;
}

void tessera_io_save_defaults(tessera_io_save_options *o) {
    if (!o) return (void)io::fail(Err::argument, "no options");
    std::memset(o, 0, sizeof *o);
    o->compression = -1;
}

const char *tessera_io_last_error(void) { return io::reason.text; }
int tessera_io_last_errno(void) { return io::reason.error; }
int tessera_io_last_error_code(void) { return io::reason.kind; }

void *tessera_io_load(const char *path, const tessera_io_load_options *options, tessera_io_info *info) {
    io::clear_reason();
    AnyImageStruct *im = nullptr;
    io::with_path(path, [&](FILE *f) { im = io::load_from(f, options, info); });
    return im;
}

uint16_t tessera_io_probe(const char *path, const tessera_io_load_options *options, tessera_io_info *info) {
    io::clear_reason();
    uint16_t tag = 0;
    io::with_path(path, [&](FILE *f) { io::load_from(f, options, info, nullptr, 0, {&tag}); });
    return tag;
}

void *tessera_io_thumbnail(const char *path, int32_t width, int32_t height, int filter,
                           const tessera_io_load_options *options, tessera_io_info *info) {
    io::clear_reason();
    if (width < 0 || height < 0 || (width == 0 && height == 0))
        return io::fail(Err::argument, "a thumbnail of %d x %d: give a width or a height above 0", width, height),
               nullptr;
    if (!tessera_filter_name(filter)) return io::fail(Err::argument, "unknown filter %d", filter), nullptr;
    tessera_io_info scratch;
    if (!info) info = &scratch;
    // A reader that gives its rows one at a time has the thumbnail made as it decodes.
    io::Thumbnail thumb{width, height, filter};
    const io::RowUse use{io::thumbnail_rows, &thumb};
    bool used = false;
    AnyImageStruct *im = nullptr;
    io::with_path(path, [&](FILE *f) {
        im = io::load_from(f, options, info, nullptr, 0, {nullptr, width, height, &use, &used});
    });
    if (used) return thumb.result;
    if (thumb.result) im_Free_(thumb.result, thumb.result->header->tag); // the rest of the file failed
    if (!im) return nullptr;
    // The whole picture's upright size decides the thumbnail's, whatever size it was decoded at.
    const bool across = !(options && options->keep_orientation) && info->orientation >= 5;
    int32_t w = 0, h = 0;
    if (!io::fit_size(across ? info->height : info->width, across ? info->width : info->height, width, height, w, h)) {
        im_Free_(im, im->header->tag);
        return nullptr;
    }
    if (w == im->header->width && h == im->header->height) return im;
    AnyImageStruct *small = tessera_resize(im, w, h, filter);
    if (!small) io::fail_core();
    else std::swap(small->header->comment, im->header->comment); // the file's comment stays with its picture
    im_Free_(im, im->header->tag);
    return small;
}

void *tessera_io_load_file(FILE *in, const tessera_io_load_options *options, tessera_io_info *info) {
    io::clear_reason();
    if (!in) return io::fail(Err::argument, "no stream"), nullptr;
    return io::load_from(in, options, info);
}

void *tessera_io_load_fd(int fd, const tessera_io_load_options *options, tessera_io_info *info) {
    io::clear_reason();
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return io::fail_system("cannot use the descriptor"), nullptr;
    FILE *f = fdopen(copy, "rb");
    if (!f) {
        io::fail_system("cannot read from the descriptor");
        close(copy);
        return nullptr;
    }
    void *im = io::load_from(f, options, info);
    std::fclose(f);
    return im;
}

void *tessera_io_load_memory(const void *data, size_t size, const tessera_io_load_options *options,
                             tessera_io_info *info) {
    io::clear_reason();
    if (!data || size == 0) return io::fail(Err::format, "the file is empty"), nullptr;
    FILE *f = fmemopen(const_cast<void *>(data), size, "rb");
    if (!f) return io::fail_system("cannot read the memory"), nullptr;
    void *im = io::load_from(f, options, info, data, size);
    std::fclose(f);
    return im;
}

int tessera_io_save(void *im, const char *path, const tessera_io_format *format,
                    const tessera_io_save_options *options) {
    io::clear_reason();
    if (!path) return io::fail(Err::argument, "no path"), -1;
    return io::save_image(static_cast<AnyImageStruct *>(im), path, format, io::options_or_defaults(options)) ? 0 : -1;
}

int tessera_io_saves(const tessera_io_format *format, uint16_t tag, int depth) {
    io::clear_reason();
    const io::Codec *c = format ? io::codec_of(format) : nullptr;
    if (!c) return io::fail(Err::argument, "not a format of the table"), 0;
    if (depth != 0 && depth != 8 && depth != 16) return io::fail(Err::argument, "depth %d: 8 or 16", depth), 0;
    if (depth == 16 && !format->deep) return io::fail(Err::unsupported, "%s holds 8-bit samples only", format->name), 0;
    const uint16_t gray_or_rgb = io::colour_channels(tag) == 3 ? IMAGE_RGB : IMAGE_GRAY;
    const bool numeric = io::full_range(tag) == 0;
    // numbers at 16 bits; 16-bit images at 8 bits where the format or the depth asks for it
    const bool deep = depth == 16 && format->deep && numeric && (format->writes & gray_or_rgb);
    const bool sixteen = tag == IMAGE_GRAY16 || tag == IMAGE_RGB16;
    const bool reduced = (sixteen && (format->writes & gray_or_rgb)) ||
                         (tag == IMAGE_RGBA16 && (format->writes & IMAGE_RGBA) && depth != 16);
    if (c->write && (deep || reduced || tessera_io_target_tag(format, tag, 0))) return 1;
    const bool alpha = tag == IMAGE_RGBA || tag == IMAGE_RGBA16;
    io::fail(Err::unsupported, "%s does not hold %s images%s", format->name, io::type_name(tag),
             alpha                     ? " (flatten first, or choose a format with alpha)"
             : format->deep && numeric ? " at 8 bits (convert first, or save at depth 16)"
                                       : " (convert first)");
    return 0;
}

int tessera_io_save_file(void *im, FILE *out, const tessera_io_format *format, const tessera_io_save_options *options) {
    io::clear_reason();
    if (!out) return io::fail(Err::argument, "no stream"), -1;
    const tessera_io_save_options o = io::options_or_defaults(options);
    io::Picture p;
    const io::Codec *c = io::prepare(static_cast<AnyImageStruct *>(im), format, nullptr, o, p);
    return c && io::encode(c, p, o, out) ? 0 : -1;
}

int tessera_io_save_memory(void *im, const tessera_io_format *format, const tessera_io_save_options *options,
                           void **data, size_t *size) {
    io::clear_reason();
    if (!data || !size) return io::fail(Err::argument, "no place for the result"), -1;
    const tessera_io_save_options o = io::options_or_defaults(options);
    io::Picture p;
    const io::Codec *c = io::prepare(static_cast<AnyImageStruct *>(im), format, nullptr, o, p);
    if (!c) return -1;
    io::Growing g;
    FILE *out = io::open_growing(g);
    if (!out) return io::fail(Err::memory, "out of memory for the output"), -1;
    const bool ok = io::encode(c, p, o, out);
    const bool closed = std::fclose(out) == 0;
    if (!ok || !closed) {
        if (ok) io::fail(Err::memory, "out of memory for the output");
        std::free(g.data);
        return -1;
    }
    *data = g.data;
    *size = g.size;
    return 0;
}

int tessera_io_save_fd(void *im, int fd, const tessera_io_format *format, const tessera_io_save_options *options) {
    void *data = nullptr;
    size_t size = 0;
    if (tessera_io_save_memory(im, format, options, &data, &size) != 0) return -1;
    const bool ok = io::write_all(fd, data, size);
    std::free(data);
    return ok ? 0 : -1;
}

} // extern "C"
