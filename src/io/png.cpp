// PNG through libpng. libpng leaves a failed call by longjmp, so the functions that call it keep
// every resource in a plain record that the jump target releases, and nothing with a destructor.
#include <png.h>
#include <zlib.h>
#if TESSERA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

#include <tessera/geometry.h>

#include "codec.h"
#include "image/image_internal.h"

namespace tessera::detail::io {

namespace {

// What a jump out of libpng releases: volatile, since they change after setjmp.
struct PngRead {
    Input *in;
    AnyImageStruct *volatile im;
    unsigned char *volatile block; // whole picture of an interlaced file that cannot go straight into im
    png_bytep *volatile rows;
    unsigned char *volatile row;
    uint32_t *volatile spare;
    bool short_of_memory; // libpng passed over a chunk it had no memory for
    bool too_large;       // or one longer than a chunk may be
};

void on_error(png_structp p, png_const_charp message) {
    if (reason_empty()) fail(Err::format, "a damaged PNG file: %s", message);
    png_longjmp(p, 1);
}
void on_warning(png_structp, png_const_charp) {}
// libpng reads on past an ancillary chunk it has no memory for, with a warning only ("... out
// of memory", "Insufficient memory ...", or for the list of chunks kept whole "too many unknown
// chunks", which only a failed allocation gives within the chunk cache's limit).
void on_read_warning(png_structp p, png_const_charp message) {
    auto *job = static_cast<PngRead *>(png_get_error_ptr(p));
    if (std::strstr(message, "exceeds memory limits")) job->too_large = true;
    else if (std::strstr(message, "memory") || std::strstr(message, "too many unknown chunks"))
        job->short_of_memory = true;
}

void read_bytes(png_structp p, png_bytep data, png_size_t n) {
    auto *job = static_cast<PngRead *>(png_get_io_ptr(p));
    const std::size_t got = std::fread(data, 1, n, job->in->in);
    if (got != n) {
        if (std::ferror(job->in->in)) fail_system("cannot read");
        else fail(Err::format, "a damaged PNG file: it ends early");
        png_longjmp(p, 1);
    }
}

void release(PngRead &job) {
    if (job.im) im_Free_(job.im, job.im->header->tag);
    std::free(job.block);
    std::free(job.rows);
    std::free(job.row);
    std::free(job.spare);
    job.im = nullptr;
    job.block = nullptr;
    job.rows = nullptr;
    job.row = nullptr;
    job.spare = nullptr;
}

// Bytes left in a seekable input, else ~0.
unsigned long long left_in(const Input &in) {
    if (!in.seekable) return ~0ULL;
    const long at = std::ftell(in.base);
    if (at < 0 || std::fseek(in.base, 0, SEEK_END) != 0) return ~0ULL;
    const long end = std::ftell(in.base);
    std::fseek(in.base, at, SEEK_SET);
    return end > at ? static_cast<unsigned long long>(end - at) : 0;
}

// The ancillary chunks nothing here reads, skipped unread, and the chunks of metadata: EXIF
// always (for the orientation), the profile and the international texts (where XMP is) only
// when the caller asks for metadata. The metadata chunks are kept whole by libpng as chunks it
// does not know, which bounds each by its 8 MiB a chunk (its own readers allocate what a
// chunk's length claims before reading it), and read here.
const png_byte ignored[] = {'s', 'P', 'L', 'T', 0, 't', 'E', 'X', 't', 0, 'z', 'T', 'X', 't', 0,
                            'i', 'T', 'X', 't', 0, 'i', 'C', 'C', 'P', 0, 'e', 'X', 'I', 'f', 0};
constexpr int metadata_chunks = 3; // the last three

// The zlib data of n bytes at z inflated within the budget and kept as the caller's block of
// that kind; data that does not inflate is passed over.
bool keep_inflated(const unsigned char *zdata, std::size_t n, const Request &r, Block which, const char *what) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return fail(Err::memory, "out of memory for the PNG's %s", what);
    z.next_in = const_cast<unsigned char *>(zdata);
    z.avail_in = static_cast<uInt>(n);
    unsigned char *block = nullptr;
    std::size_t cap = 0, size = 0;
    int status = Z_OK;
    bool ok = true;
    while (status == Z_OK) {
        if (size == cap && (size >= budget(r) || !reserve(block, cap, size + 1))) {
            ok = size >= budget(r) ? fail(Err::limit, "the PNG's %s is larger than the budget", what)
                                   : fail(Err::memory, "out of memory for the PNG's %s", what);
            break;
        }
        z.next_out = block + size;
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(cap - size, 1u << 30));
        status = inflate(&z, Z_NO_FLUSH);
        size = static_cast<std::size_t>(z.next_out - block);
    }
    inflateEnd(&z);
    if (ok && status == Z_STREAM_END) ok = keep_block(r, which, block, size);
    std::free(block);
    return ok;
}

// After a NUL-terminated field of at most limit bytes at d (n bytes left): the next field, or
// null when the chunk ends first.
const unsigned char *after_field(const unsigned char *d, std::size_t n, std::size_t limit) {
    const auto *nul = static_cast<const unsigned char *>(std::memchr(d, 0, std::min(n, limit)));
    return nul ? nul + 1 : nullptr;
}

// One metadata chunk, read whole by libpng (within its 8 MiB a chunk) and taken as it stands:
// a profile libpng would find fault with is carried all the same. iCCP: a name, its NUL, method
// 0, zlib data. iTXt: keyword, NUL, compressed or not, method, language, NUL, translated
// keyword, NUL, then the text (to its first NUL, as libpng writes it). eXIf: EXIF itself.
bool keep_chunk(const png_unknown_chunk &c, const Request &r) {
    const unsigned char *d = c.data, *end = c.data + c.size;
    if (std::memcmp(c.name, "eXIf", 4) == 0) return found_exif(r, d, c.size);
    if (std::memcmp(c.name, "iCCP", 4) == 0) {
        const unsigned char *method = after_field(d, c.size, 80);
        return !method || method >= end || *method != 0 ||
               keep_inflated(method + 1, static_cast<std::size_t>(end - method - 1), r, Block::icc, "ICC profile");
    }
    if (std::memcmp(c.name, "iTXt", 4) != 0) return true;
    const unsigned char *flags = after_field(d, c.size, 80);
    if (!flags || end - flags < 2 || !is_xmp_key(reinterpret_cast<const char *>(d))) return true;
    const unsigned char *translated = after_field(flags + 2, static_cast<std::size_t>(end - flags - 2), c.size);
    const unsigned char *text =
        translated ? after_field(translated, static_cast<std::size_t>(end - translated), c.size) : nullptr;
    if (!text) return true;
    const std::size_t n = static_cast<std::size_t>(end - text);
    if (flags[0] == 1) return flags[1] != 0 || keep_inflated(text, n, r, Block::xmp, "XMP packet");
    return keep_block(r, Block::xmp, text, strnlen(reinterpret_cast<const char *>(text), n));
}

// The metadata chunks read so far kept for the caller, and the orientation noted; false with
// the reason when a block is refused.
bool gather(png_structp p, png_infop info, const Request &r) {
    const auto *job = static_cast<PngRead *>(png_get_error_ptr(p));
    if (job->too_large) return fail(Err::limit, "a PNG file with a metadata chunk larger than 8 MiB");
    if (job->short_of_memory) return fail(Err::memory, "out of memory for the PNG file's metadata");
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(p, info, &chunks);
    for (int i = 0; i < count; ++i)
        if (!keep_chunk(chunks[i], r)) return false;
    return true;
}

struct PngWrite {
    FILE *out;
    unsigned char *volatile row;
    Palette *volatile palette;
    char *volatile text;
    unsigned char *volatile deflated = nullptr; // the filtered and deflated rows, while written
    void *volatile compressor = nullptr;        // libdeflate's, while it works
};

// Writes the profile as an iCCP chunk of its own making (libpng's would refuse profiles it finds
// fault with, and the profile is the file's to carry, not to judge); before PLTE and IDAT.
void put_profile(png_structp p, const tessera_io_metadata &meta, PngWrite &job) {
    static const char name[] = "ICC profile";
    const uLong bound = compressBound(static_cast<uLong>(meta.icc_size));
    if (meta.icc_size > 0x3fffffff || bound > 0x7fffffff - sizeof name - 1) return;
    job.text = static_cast<char *>(std::malloc(sizeof name + 1 + bound));
    if (!job.text) {
        fail(Err::memory, "out of memory for the ICC profile");
        png_longjmp(p, 1);
    }
    auto *chunk = reinterpret_cast<unsigned char *>(job.text);
    std::memcpy(chunk, name, sizeof name); // with its NUL
    chunk[sizeof name] = 0;                // deflate
    uLongf size = bound;
    if (compress2(chunk + sizeof name + 1, &size, static_cast<const Bytef *>(meta.icc),
                  static_cast<uLong>(meta.icc_size), 9) != Z_OK) {
        fail(Err::memory, "out of memory for the ICC profile");
        png_longjmp(p, 1);
    }
    png_write_chunk(p, reinterpret_cast<png_const_bytep>("iCCP"), chunk, sizeof name + 1 + size);
    std::free(job.text);
    job.text = nullptr;
}

// Sets the EXIF and XMP (an uncompressed iTXt) of meta to be written.
void put_metadata(png_structp p, png_infop info, const tessera_io_metadata &meta, PngWrite &job) {
    if (meta.exif && meta.exif_size <= 0x7fffffff) {
        png_set_eXIf_1(p, info, static_cast<png_uint_32>(meta.exif_size), static_cast<png_bytep>(meta.exif));
        png_uint_32 n = 0;
        png_bytep set = nullptr;
        if (!png_get_eXIf_1(p, info, &n, &set) || !set) { // libpng only warns when it has no memory for it
            fail(Err::memory, "out of memory for the EXIF block");
            png_longjmp(p, 1);
        }
    }
    if (meta.xmp && meta.xmp_size < 0x7fffffff) {
        job.text = static_cast<char *>(std::malloc(meta.xmp_size + 1)); // libpng measures the text to its NUL
        if (!job.text) {
            fail(Err::memory, "out of memory for the XMP packet");
            png_longjmp(p, 1);
        }
        std::memcpy(job.text, meta.xmp, meta.xmp_size);
        job.text[meta.xmp_size] = '\0';
        png_text t{};
        t.compression = PNG_ITXT_COMPRESSION_NONE;
        t.key = const_cast<char *>("XML:com.adobe.xmp");
        t.text = job.text;
        t.itxt_length = meta.xmp_size;
        t.lang = const_cast<char *>("");
        t.lang_key = const_cast<char *>("");
        png_set_text(p, info, &t, 1);
    }
}

void write_bytes(png_structp p, png_bytep data, png_size_t n) {
    auto *job = static_cast<PngWrite *>(png_get_io_ptr(p));
    if (std::fwrite(data, 1, n, job->out) != n) {
        fail_system("cannot write");
        png_longjmp(p, 1);
    }
}
void flush_bytes(png_structp) {}

// How a decoded row becomes a row of the image: what the layout needs of it.
struct RowMaking {
    const Layout &l;
    bool direct;  // decoded straight into the image's row
    bool bilevel; // 1-bit gray: black (0) is a set pixel
    std::size_t samples;
};

// Stores the decoded row (samples of the layout) as row y of im.
void store_row(PngRead &job, const RowMaking &m, const unsigned char *row, AnyImageStruct *im, int32_t y) {
    if (m.l.maxval == 65535) {
        if (!put_row16_be(im, y, row, m.l)) {
            for (std::size_t i = 0; i < m.samples; ++i)
                job.spare[i] = static_cast<uint32_t>(row[2 * i]) << 8 | row[2 * i + 1];
            put_row(im, y, job.spare, m.l);
        }
    } else if (m.bilevel) {
        for (std::size_t i = 0; i < m.samples; ++i) job.spare[i] = row[i] == 0;
        put_row(im, y, job.spare, m.l);
    } else {
        put_row8(im, y, row, m.l, job.spare);
    }
}

// Decodes the next row of a file that is not interlaced into row y of im.
void next_row(png_structp p, PngRead &job, const RowMaking &m, AnyImageStruct *im, int32_t y) {
    if (m.direct) return png_read_row(p, static_cast<png_bytep>(im->data[y]), nullptr);
    png_read_row(p, job.row, nullptr);
    store_row(job, m, job.row, im, y);
}

// Rows given one at a time as they are decoded, each through a band of one row of the image's type.
struct Streamed {
    png_structp p;
    png_infop info;
    const Request &r;
    PngRead &job;
    const RowMaking &m;
    AnyImageStruct *band;
    std::size_t bytes;
    int32_t height;
    int32_t next = 0; // the next row the file gives
    bool finished = false;
};

bool streamed_row(void *context, int32_t y, void *row) {
    auto *s = static_cast<Streamed *>(context);
    if (setjmp(png_jmpbuf(s->p))) return false; // libpng's errors end here while the rows are used
    for (; s->next <= y; ++s->next) next_row(s->p, s->job, s->m, s->band, 0);
    std::memcpy(row, s->band->data[0], s->bytes);
    return true;
}

// The rows not asked for, and what follows the pixels (texts and EXIF may).
bool streamed_finish(void *context) {
    auto *s = static_cast<Streamed *>(context);
    if (s->finished) return true;
    if (setjmp(png_jmpbuf(s->p))) return false;
    for (; s->next < s->height; ++s->next) next_row(s->p, s->job, s->m, s->band, 0);
    png_read_end(s->p, s->info);
    if (!gather(s->p, s->info, s->r)) return false;
    s->finished = true;
    return true;
}

} // namespace

AnyImageStruct *read_png(Input &in, const Request &r) {
    in.forget_start(in);
    PngRead job{&in, nullptr, nullptr, nullptr, nullptr, nullptr, false, false};
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_read_warning);
    png_infop info = p ? png_create_info_struct(p) : nullptr;
    if (!info) {
        png_destroy_read_struct(&p, nullptr, nullptr);
        return fail(Err::memory, "out of memory for the PNG reader"), nullptr;
    }
    if (setjmp(png_jmpbuf(p))) {
        release(job);
        png_destroy_read_struct(&p, &info, nullptr);
        return nullptr;
    }
    png_set_read_fn(p, &job, read_bytes);
    png_set_user_limits(p, 0x7fffffff, 0x7fffffff);
    png_set_chunk_cache_max(p, 1000);
    png_set_chunk_malloc_max(p, 8u << 20);
    png_set_keep_unknown_chunks(p, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    const int chunk_names = static_cast<int>(sizeof ignored / 5);
    png_set_keep_unknown_chunks(p, PNG_HANDLE_CHUNK_NEVER, ignored, chunk_names - (r.meta ? metadata_chunks : 1));
    png_set_keep_unknown_chunks(p, PNG_HANDLE_CHUNK_ALWAYS,
                                ignored + 5 * (chunk_names - (r.meta ? metadata_chunks : 1)),
                                r.meta ? metadata_chunks : 1);
    png_read_info(p, info);
    const png_uint_32 w = png_get_image_width(p, info), h = png_get_image_height(p, info);
    const int depth = png_get_bit_depth(p, info), colour = png_get_color_type(p, info);
    const bool trns = png_get_valid(p, info, PNG_INFO_tRNS) != 0;
    const bool palette = colour == PNG_COLOR_TYPE_PALETTE;
    describe(r, "PNG", w, h, palette || (colour & PNG_COLOR_MASK_COLOR) ? 3 : 1,
             trns || (colour & PNG_COLOR_MASK_ALPHA) ? 1 : 0, depth, palette ? 255 : (1U << depth) - 1);
    // Rows go to a caller that takes them one at a time as they are decoded, when they come in order.
    const bool streamed = rows_wanted(r) && png_get_interlace_type(p, info) == PNG_INTERLACE_NONE;
    if (!gather(p, info, r) || (!streamed && !fits(r, w, h, IMAGE_GRAY))) png_longjmp(p, 1);
    // Deflate packs at most 1,032 bytes into one: a PNG that claims more pixel bytes than its
    // file could hold is refused before anything is allocated.
    const unsigned long long raw_row = (static_cast<unsigned long long>(w) * png_get_channels(p, info) * depth + 7) / 8;
    const unsigned long long left = r.header_only ? ~0ULL : left_in(in); // pixels are not read
    if (left != ~0ULL && (raw_row + 1) * h / 1032 > left + 1024) {
        fail(Err::format, "a damaged PNG file: %llu bytes cannot hold a %u x %u image", left, w, h);
        png_longjmp(p, 1);
    }
    if (palette) png_set_palette_to_rgb(p);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(p);
    if (trns) png_set_tRNS_to_alpha(p);
    const int passes = png_set_interlace_handling(p);
    png_read_update_info(p, info);
    Layout l;
    l.channels = (png_get_color_type(p, info) & PNG_COLOR_MASK_COLOR) ? 3 : 1;
    l.alpha = (png_get_color_type(p, info) & PNG_COLOR_MASK_ALPHA) ? 1 : 0;
    l.maxval = png_get_bit_depth(p, info) == 16 ? 65535 : 255;
    from_request(l, r);
    const bool bilevel = colour == PNG_COLOR_TYPE_GRAY && depth == 1 && !trns;
    choose_tag(l, bilevel);
    const std::size_t rowbytes = png_get_rowbytes(p, info), per = static_cast<std::size_t>(l.channels + l.alpha);
    // Rows that need no change are decoded straight into the image.
    const bool direct = l.maxval == 255 && !l.alpha && !bilevel &&
                        ((l.tag == IMAGE_GRAY && l.channels == 1) || (l.tag == IMAGE_RGB && l.channels == 3));
    const RowMaking making{l, direct, bilevel, static_cast<std::size_t>(w) * per};
    if (streamed) {
        job.im = row_band(r, l.tag, w, 1, rowbytes + static_cast<uint64_t>(w) * per * 4);
        if (!job.im) png_longjmp(p, 1);
        job.spare = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(w) * per * 4));
        job.row = static_cast<unsigned char *>(std::malloc(rowbytes));
        if (!job.im || !job.spare || !job.row) {
            fail(Err::memory, "out of memory for the PNG rows");
            png_longjmp(p, 1);
        }
        Streamed s{p,
                   info,
                   r,
                   job,
                   making,
                   job.im,
                   static_cast<std::size_t>(w) * tessera::detail::fixed_elem_size(l.tag),
                   static_cast<int32_t>(h)};
        const bool used = give_rows(r, {l.tag, static_cast<int32_t>(w), static_cast<int32_t>(h), streamed_row, &s,
                                        streamed_finish}) &&
                          streamed_finish(&s);
        // libpng's errors end here again (the rows' frames have returned)
        if (setjmp(png_jmpbuf(p))) {
            r.used = false;
            release(job);
            png_destroy_read_struct(&p, &info, nullptr);
            return nullptr;
        }
        if (!used) png_longjmp(p, 1);
        release(job);
        png_destroy_read_struct(&p, &info, nullptr);
        return nullptr;
    }
    // An interlaced image is decoded whole before its rows are stored (unless they go straight in).
    const uint64_t beside = static_cast<uint64_t>(w) * per * 4 +
                            (passes > 1 ? uint64_t{h} * (sizeof(png_bytep) + (direct ? 0 : rowbytes)) : rowbytes);
    job.im = new_image(l, w, h, r, beside, true); // every row is written, or the load fails
    if (!job.im) png_longjmp(p, 1);
    job.spare = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(w) * per * 4));
    if (!job.spare) {
        fail(Err::memory, "out of memory for the PNG rows");
        png_longjmp(p, 1);
    }
    if (passes > 1) {
        job.rows = static_cast<png_bytep *>(std::malloc(h * sizeof *job.rows));
        if (!direct) job.block = static_cast<unsigned char *>(std::malloc(rowbytes * h));
        if (!job.rows || (!direct && !job.block)) {
            fail(Err::memory, "out of memory for an interlaced PNG of %u x %u", w, h);
            png_longjmp(p, 1);
        }
        for (png_uint_32 y = 0; y < h; ++y)
            job.rows[y] = direct ? static_cast<png_bytep>(job.im->data[y]) : job.block + y * rowbytes;
        png_read_image(p, job.rows);
    } else if (!direct) {
        job.row = static_cast<unsigned char *>(std::malloc(rowbytes));
        if (!job.row) {
            fail(Err::memory, "out of memory for the PNG rows");
            png_longjmp(p, 1);
        }
    }
    for (png_uint_32 y = 0; y < h; ++y) {
        if (passes == 1) next_row(p, job, making, job.im, static_cast<int32_t>(y));
        else if (!direct) store_row(job, making, job.rows[y], job.im, static_cast<int32_t>(y));
    }
    png_read_end(p, info); // texts and EXIF may follow the pixels
    if (!gather(p, info, r)) png_longjmp(p, 1);
    AnyImageStruct *im = job.im;
    job.im = nullptr;
    release(job);
    png_destroy_read_struct(&p, &info, nullptr);
    return im;
}

namespace {

uint32_t packed(const unsigned char *p, bool alpha) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(alpha ? p[3] : 255) << 24;
}
uint32_t packed_colour(const unsigned char *row, int32_t x, int per, int alpha) {
    return packed(row + static_cast<std::ptrdiff_t>(x) * per, alpha != 0);
}

// Whether pic's colours fit a palette: then pal holds them, colours with alpha first (so that
// tRNS is as short as it can be).
bool palette_of(const Picture &pic, unsigned char *row, Palette &pal) {
    if (pic.bits != 8 || pic.channels != 3) return false;
    const int per = 3 + pic.alpha;
    for (int32_t y = 0; y < pic.height; ++y) {
        get_row(pic, y, row);
        for (int32_t x = 0; x < pic.width; ++x)
            if (pal.find_or_add(packed(row + static_cast<std::ptrdiff_t>(x) * per, pic.alpha != 0)) < 0) return false;
    }
    std::stable_sort(pal.colour, pal.colour + pal.count, [](uint32_t a, uint32_t b) { return (a >> 24) < (b >> 24); });
    for (int i = 0; i < 1024; ++i) pal.used[i] = false;
    const int n = pal.count;
    pal.count = 0;
    for (int i = 0; i < n; ++i) pal.find_or_add(pal.colour[i]);
    return true;
}

// ---- the image data at levels 4 to 9: filtered as libpng would, deflated by libdeflate ------------

#if TESSERA_HAVE_LIBDEFLATE

// Bytes of a row filtered with the heuristic libpng uses by default: each of the five filters is
// tried, and the one whose bytes, read as signed, have the least sum of magnitudes is kept (the
// first of equals). prior is the row above (zeros for the first); bpp the bytes of a pixel, at
// least 1; out takes the filter's number and the n filtered bytes; try_ holds 4 * n bytes.
void filter_row(const unsigned char *row, const unsigned char *prior, std::size_t n, std::size_t bpp,
                unsigned char *try_, unsigned char *out) {
    unsigned char *sub = try_, *up = try_ + n, *avg = try_ + 2 * n, *paeth = try_ + 3 * n;
    const std::size_t lead = std::min(bpp, n); // the first pixel has nothing to its left
    for (std::size_t i = 0; i < lead; ++i) {
        sub[i] = row[i];
        up[i] = paeth[i] = static_cast<unsigned char>(row[i] - prior[i]);
        avg[i] = static_cast<unsigned char>(row[i] - (prior[i] >> 1));
    }
    // one simple loop a filter, so that the compiler vectorises each
    for (std::size_t i = lead; i < n; ++i) sub[i] = static_cast<unsigned char>(row[i] - row[i - bpp]);
    for (std::size_t i = lead; i < n; ++i) up[i] = static_cast<unsigned char>(row[i] - prior[i]);
    for (std::size_t i = lead; i < n; ++i)
        avg[i] = static_cast<unsigned char>(row[i] - ((row[i - bpp] + prior[i]) >> 1));
    for (std::size_t i = lead; i < n; ++i) {
        const int16_t a = row[i - bpp], b = prior[i], c = prior[i - bpp];
        const int16_t pa = static_cast<int16_t>(std::abs(b - c)), pb = static_cast<int16_t>(std::abs(a - c));
        const int16_t pc = static_cast<int16_t>(std::abs(a + b - 2 * c));
        const int16_t predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        paeth[i] = static_cast<unsigned char>(row[i] - predicted);
    }
    const auto weight = [n](const unsigned char *f) {
        uint64_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += static_cast<uint64_t>(std::abs(static_cast<int8_t>(f[i])));
        return sum;
    };
    const uint64_t sums[5] = {weight(row), weight(sub), weight(up), weight(avg), weight(paeth)};
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (sums[f] < sums[best]) best = f;
    out[0] = static_cast<unsigned char>(best);
    std::memcpy(out + 1, best == 0 ? row : try_ + static_cast<std::size_t>(best - 1) * n, n);
}

// Most bytes of filtered rows deflated whole; larger pictures are compressed as they stream.
constexpr std::size_t whole_deflate_most = std::size_t{64} << 20;

// The rows deflated whole by zlib with its run-length strategy into out (room bytes): the
// stream's size, or 0 when memory runs out or it does not fit.
std::size_t deflate_runs(const unsigned char *in, std::size_t n, int level, unsigned char *out, std::size_t room) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return 0;
    std::size_t done = 0;
    int status = Z_OK;
    // zlib counts in 32 bits: large buffers go in pieces
    constexpr std::size_t piece = std::size_t{1} << 30;
    while (status == Z_OK) {
        const std::size_t in_done = static_cast<std::size_t>(z.next_in ? z.next_in - in : 0);
        z.next_in = const_cast<Bytef *>(in + in_done);
        z.avail_in = static_cast<uInt>(std::min(piece, n - in_done));
        z.next_out = out + done;
        z.avail_out = static_cast<uInt>(std::min(piece, room - done));
        const bool last = n - in_done <= piece;
        status = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        done = static_cast<std::size_t>(z.next_out - out);
        if (status == Z_OK && z.avail_out == 0 && done == room) status = Z_BUF_ERROR;
    }
    deflateEnd(&z);
    return status == Z_STREAM_END ? done : 0;
}

// Writes the picture's rows (row(y) gives each, n bytes) as IDAT chunks and IEND: filtered as
// libpng would (or not at all, when adaptive is false) and deflated whole at level. False, with
// nothing written, when the rows are too large to hold: the caller then streams them through
// libpng. Memory that runs out fails the save (through libpng's error jump).
template <class Row> bool deflate_whole(png_structp p, PngWrite &job, int32_t height, std::size_t n, std::size_t bpp,
                                        bool adaptive, int level, Row row) {
    const std::size_t line = n + 1;
    if (height <= 0 || line > whole_deflate_most / static_cast<std::size_t>(height)) return false;
    const std::size_t total = line * static_cast<std::size_t>(height);
    if (2 * total > tessera_budget()) return false;
    const auto out_of_memory = [p] {
        fail(Err::memory, "out of memory for the PNG file's compressed rows");
        png_longjmp(p, 1);
    };
    auto *z = libdeflate_alloc_compressor(level);
    job.compressor = z; // freed by write_png if libpng gives up on the way
    if (!z) out_of_memory();
    const std::size_t bound = std::max<std::size_t>(
        libdeflate_zlib_compress_bound(z, total),
        deflateBound(nullptr, static_cast<uLong>(std::min<std::size_t>(total, 0xffffffff))) + (total >> 10) + 64);
    auto *block = static_cast<unsigned char *>(std::malloc(total + bound + 6 * n));
    job.deflated = block;
    if (!block) out_of_memory();
    unsigned char *filtered = block, *packed = block + total, *prior = packed + bound, *try_ = prior + n;
    std::memset(prior, 0, n);
    for (int32_t y = 0; y < height; ++y) {
        const unsigned char *r = row(y);
        unsigned char *out = filtered + static_cast<std::size_t>(y) * line;
        if (adaptive) {
            filter_row(r, prior, n, bpp, try_, out);
            std::memcpy(prior, r, n);
        } else {
            out[0] = 0;
            std::memcpy(out + 1, r, n);
        }
    }
    // Noisy rows (photographs) compress better with zlib's runs than with libdeflate's search,
    // which finds short matches that cost more than they save; drawings and screenshots the
    // other way round. A sample of rows from the middle, up to 512 KB, decides.
    const std::size_t lines = std::max<std::size_t>(1, std::min<std::size_t>(height, (std::size_t{512} << 10) / line));
    const unsigned char *sample = filtered + (static_cast<std::size_t>(height) - lines) / 2 * line;
    const std::size_t by_search = libdeflate_zlib_compress(z, sample, lines * line, packed, bound);
    const std::size_t by_runs = deflate_runs(sample, lines * line, level, packed, bound);
    if (by_search == 0 || by_runs == 0) out_of_memory(); // the bound leaves room: only zlib's memory fails
    const std::size_t size = by_runs < by_search ? deflate_runs(filtered, total, level, packed, bound)
                                                 : libdeflate_zlib_compress(z, filtered, total, packed, bound);
    libdeflate_free_compressor(z);
    job.compressor = nullptr;
    if (size == 0) out_of_memory();
    constexpr std::size_t chunk = std::size_t{1} << 20;
    for (std::size_t at = 0; at < size; at += chunk)
        png_write_chunk(p, reinterpret_cast<png_const_bytep>("IDAT"), packed + at, std::min(chunk, size - at));
    png_write_chunk(p, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
    std::free(block);
    job.deflated = nullptr;
    return true;
}
#endif

} // namespace

bool write_png(const Picture &pic, const tessera_io_save_options &o, FILE *out) {
    PngWrite job{out, nullptr, nullptr, nullptr, nullptr, nullptr};
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_warning);
    png_infop info = p ? png_create_info_struct(p) : nullptr;
    if (!info) {
        png_destroy_write_struct(&p, nullptr);
        return fail(Err::memory, "out of memory for the PNG writer");
    }
    if (setjmp(png_jmpbuf(p))) {
        std::free(job.row);
        std::free(job.text);
        std::free(job.deflated);
#if TESSERA_HAVE_LIBDEFLATE
        libdeflate_free_compressor(static_cast<libdeflate_compressor *>(job.compressor));
#endif
        delete job.palette;
        png_destroy_write_struct(&p, &info);
        return false;
    }
    png_set_write_fn(p, &job, write_bytes, flush_bytes);
    const int level = o.compression < 0 ? 6 : o.compression;
    png_set_compression_level(p, level);
    // Levels 4 to 9 choose each row's filter as libpng does and deflate the picture whole with
    // libdeflate at that level: files as small as libpng's own, in a fraction of its time.
    // Pictures whose rows pass 64 MB (or a quarter of the budget) stream through zlib instead,
    // in bounded memory, as levels 1 to 3 always do. There levels 1 to 6 look for repeats of
    // the previous byte only (zlib's run-length strategy): filtered photographs compress as
    // well as with a full search, in half the time, and drawings and charts worse. Levels 7 to
    // 9 search fully. The fast levels 1 to 3 also filter every row by its left neighbour only.
    if (level >= 1 && level <= 6) png_set_compression_strategy(p, Z_RLE);
    if (level >= 1 && level <= 3) png_set_filter(p, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    const bool binary = pic.bits == 1;
    const std::size_t samples =
        static_cast<std::size_t>(pic.width) * static_cast<std::size_t>(binary ? 1 : pic.channels + pic.alpha);
    const std::size_t bytes = binary ? samples : samples * static_cast<std::size_t>(pic.bits / 8);
    // room for the packed row: bits of a binary row, or palette indices
    job.row = static_cast<unsigned char *>(std::malloc(bytes + static_cast<std::size_t>(pic.width) + 1));
    job.palette = new (std::nothrow) Palette;
    if (!job.row || !job.palette) {
        fail(Err::memory, "out of memory for a PNG row");
        png_longjmp(p, 1);
    }
    // A colour picture of at most 256 colours is written with a palette of 1, 2, 4 or 8 bits.
    Palette &pal = *job.palette;
    const bool indexed = palette_of(pic, job.row, pal);
    const int index_bits = pal.count <= 2 ? 1 : pal.count <= 4 ? 2 : pal.count <= 16 ? 4 : 8;
    if (indexed && level >= 1) { // indices are not values: unfiltered, searched fully (as libpng advises)
        png_set_filter(p, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
        png_set_compression_strategy(p, Z_DEFAULT_STRATEGY);
    }
    png_set_IHDR(p, info, static_cast<png_uint_32>(pic.width), static_cast<png_uint_32>(pic.height),
                 indexed ? index_bits : pic.bits,
                 indexed             ? PNG_COLOR_TYPE_PALETTE
                 : pic.channels == 3 ? (pic.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB)
                 : pic.alpha         ? PNG_COLOR_TYPE_GRAY_ALPHA
                                     : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (indexed) {
        png_color colours[256];
        png_byte alphas[256];
        int translucent = 0;
        for (int i = 0; i < pal.count; ++i) {
            const uint32_t c = pal.colour[i];
            colours[i] =
                png_color{static_cast<png_byte>(c), static_cast<png_byte>(c >> 8), static_cast<png_byte>(c >> 16)};
            alphas[i] = static_cast<png_byte>(c >> 24);
            if (alphas[i] != 255) translucent = i + 1;
        }
        png_set_PLTE(p, info, colours, pal.count);
        // a picture with alpha keeps it, opaque or not: it is read back with alpha
        if (translucent || pic.alpha) png_set_tRNS(p, info, alphas, translucent ? translucent : 1, nullptr);
    }
    if (pic.meta.icc) {
        png_write_info_before_PLTE(p, info);
        put_profile(p, pic.meta, job);
    }
    put_metadata(p, info, pic.meta, job);
    png_write_info(p, info);
    unsigned char *packed = job.row + bytes;
    // Row y as the file holds it, before filtering.
    const auto row = [&](int32_t y) -> const unsigned char * {
        get_row(pic, y, job.row);
        if (indexed) {
            std::memset(packed, 0, static_cast<std::size_t>(pic.width) + 1);
            const int per = 3 + pic.alpha, per_byte = 8 / index_bits;
            for (int32_t x = 0; x < pic.width; ++x) {
                const auto i = static_cast<unsigned>(pal.find_or_add(packed_colour(job.row, x, per, pic.alpha)));
                const int shift = 8 - index_bits * (x % per_byte + 1);
                packed[x / per_byte] = static_cast<unsigned char>(packed[x / per_byte] | i << shift);
            }
            return packed;
        }
        if (binary) { // in a 1-bit gray PNG, 0 is black: a set pixel
            std::memset(packed, 0, samples / 8 + 1);
            for (std::size_t x = 0; x < samples; ++x)
                if (!job.row[x]) packed[x / 8] = static_cast<unsigned char>(packed[x / 8] | (0x80 >> (x % 8)));
            return packed;
        }
        return job.row;
    };
#if TESSERA_HAVE_LIBDEFLATE
    if (level >= 4) {
        const auto width = static_cast<std::size_t>(pic.width);
        const std::size_t n = indexed  ? (width * static_cast<std::size_t>(index_bits) + 7) / 8
                              : binary ? (width + 7) / 8
                                       : bytes;
        const std::size_t bpp = indexed || binary ? 1 : bytes / width;
        // palette indices and bits are not values: unfiltered, as libpng leaves them
        if (deflate_whole(p, job, pic.height, n, bpp, !indexed && !binary, level, row)) {
            png_destroy_write_struct(&p, &info);
            std::free(job.row);
            std::free(job.text);
            delete job.palette;
            return true;
        }
    }
#endif
    for (int32_t y = 0; y < pic.height; ++y) png_write_row(p, row(y));
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    std::free(job.row);
    std::free(job.text);
    delete job.palette;
    return true;
}

} // namespace tessera::detail::io
