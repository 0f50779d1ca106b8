// Pipelines: a picture from one file to another through a crop, a resize, a turn, a mirror and a
// change of type. Where the reader gives rows one at a time, the picture is never whole: each
// result row is made from the source rows it needs (through a temporary file of tiles when the
// picture turns), and goes to the writer as it is made (or into the result, for a writer that
// needs it whole). Otherwise the picture is loaded whole and the library's operations are
// applied one after another. The two ways give the same bytes.
#include <tessera/file.h>
#include <tessera/geometry.h>
#include <tessera/imAdditions.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "codec.h"
#include "image/image_internal.h"
#include "output.h"

namespace tessera::detail::io {

namespace {

// The steps checked against the picture's size: the crop's rectangle and the result's size.
struct Plan {
    int32_t left = 0, top = 0, crop_w = 0, crop_h = 0; // what is kept
    int32_t width = 0, height = 0;                     // after the resize
    bool resized = false;
};

bool plan_for(const tessera_io_steps &s, int32_t w, int32_t h, Plan &p) {
    p = Plan{0, 0, w, h, w, h, false};
    if (s.crop_width != 0 || s.crop_height != 0) {
        if (s.crop_width <= 0 || s.crop_height <= 0 || s.crop_left < 0 || s.crop_top < 0 ||
            int64_t{s.crop_left} + s.crop_width > w || int64_t{s.crop_top} + s.crop_height > h)
            return fail(Err::argument, "the rectangle %d,%d %dx%d does not lie inside the %d x %d image", s.crop_left,
                        s.crop_top, s.crop_width, s.crop_height, w, h);
        p.left = s.crop_left, p.top = s.crop_top, p.crop_w = s.crop_width, p.crop_h = s.crop_height;
    }
    p.width = p.crop_w, p.height = p.crop_h;
    if (s.width != 0 || s.height != 0) {
        if (tessera_resize_size(p.crop_w, p.crop_h, s.width, s.height, &p.width, &p.height) != 0) return fail_core();
        p.resized = true;
    }
    return true;
}

bool check_steps(const tessera_io_steps &s) {
    if (s.width < 0 || s.height < 0) return fail(Err::argument, "a resize to %d x %d", s.width, s.height);
    if ((s.width || s.height) && !tessera_filter_name(s.filter))
        return fail(Err::argument, "unknown filter %d", s.filter);
    if (s.degrees != 0 && !tessera_rotation_allowed(s.degrees))
        return fail(Err::argument, "%d degrees: the angle is 90, 180 or 270 (clockwise; negative: anticlockwise)",
                    s.degrees);
    if (s.mirror != 0 && s.mirror != 1) return fail(Err::argument, "mirror %d: 0 or 1", s.mirror);
    return true;
}

void release(AnyImageStruct *im) {
    if (im) im_Free_(im, im->header->tag);
}

// The library's operations one after another on a whole picture (taken): the result, or null
// with the reason.
AnyImageStruct *whole_steps(AnyImageStruct *im, const tessera_io_steps &s) {
    Plan p;
    if (!plan_for(s, im->header->width, im->header->height, p)) return release(im), nullptr;
    const auto step = [&](AnyImageStruct *next) {
        release(im);
        im = next;
        if (!im) fail_core();
        return im != nullptr;
    };
    const ImageHeader *h = im->header;
    if ((p.crop_w != h->width || p.crop_h != h->height) &&
        !step(imCrop(im, h->xoffset + p.left, h->yoffset + p.top, h->xoffset + p.left + p.crop_w,
                     h->yoffset + p.top + p.crop_h)))
        return nullptr;
    im_SetOffset_(im, im->header, 0, 0);
    if (p.resized && !step(tessera_resize(im, p.width, p.height, s.filter))) return nullptr;
    if (s.degrees && !step(tessera_rotate(im, s.degrees))) return nullptr;
    if (s.mirror && !step(tessera_flip_horizontal(im))) return nullptr;
    if (s.tag && s.tag != im->header->tag && !step(static_cast<AnyImageStruct *>(tessera_io_convert(im, s.tag, 0))))
        return nullptr;
    return im;
}

// A picture's rows made one at a time through the steps: the crop's rows from the source,
// resized, turned (through Turning), mirrored and converted, each into the band (an image of one
// row of the result's type).
struct Making {
    const Rows &source;
    const tessera_io_steps &steps;
    Plan plan;
    uint16_t tag = 0;                     // of the rows before the conversion
    std::size_t size = 0;                 // bytes a pixel of them
    unsigned char *wide = nullptr;        // a whole source row, when a crop narrows it
    unsigned char *row = nullptr;         // a row before the conversion
    tessera_resizer *resizer = nullptr;   // when the steps resize
    AnyImageStruct *band = nullptr;       // the result's row
    AnyImageStruct *converting = nullptr; // a row of the type before the conversion, wrapping row
    int32_t next = 0;
    int quarters = 0;                  // clockwise quarter turns: 0 to 3
    int32_t out_w = 0, out_h = 0;      // the result's size, after the turn
    struct Turning *turning = nullptr; // when the steps turn

    Making(const Rows &s, const tessera_io_steps &st) : source(s), steps(st) {}
    Making(const Making &) = delete;
    Making &operator=(const Making &) = delete;
    ~Making();

    // Row y of the picture before the turn (asked for top to bottom, each once) into out.
    bool upright_row(int32_t y, unsigned char *out) {
        if (resizer && tessera_resizer_row(resizer, out) != 0) return reason_empty() ? fail_core() : false;
        return resizer || cropped(this, y, out) == 0;
    }

    // Row y of the crop into out.
    static int cropped(void *context, int32_t y, void *out) {
        auto *m = static_cast<Making *>(context);
        const Plan &p = m->plan;
        if (!m->wide) return m->source.next(m->source.state, p.top + y, out) ? 0 : -1;
        if (!m->source.next(m->source.state, p.top + y, m->wide)) return -1;
        std::memcpy(out, m->wide + static_cast<std::size_t>(p.left) * m->size,
                    static_cast<std::size_t>(p.crop_w) * m->size);
        return 0;
    }

    bool open() {
        tag = source.tag;
        size = fixed_elem_size(tag);
        if (!plan_for(steps, source.width, source.height, plan)) return false;
        quarters = ((steps.degrees / 90) % 4 + 4) % 4;
        out_w = quarters % 2 ? plan.height : plan.width, out_h = quarters % 2 ? plan.width : plan.height;
        const std::size_t bytes = static_cast<std::size_t>(out_w) * size;
        const bool narrowed = plan.crop_w != source.width;
        wide = narrowed ? static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(source.width) * size))
                        : nullptr;
        row = static_cast<unsigned char *>(std::malloc(bytes));
        if (!row || (narrowed && !wide)) return fail(Err::memory, "out of memory for a row of %zu bytes", bytes);
        if (plan.resized) {
            resizer = tessera_resizer_new(tag, plan.crop_w, plan.crop_h, cropped, this, plan.width, plan.height,
                                          steps.filter);
            if (!resizer) return fail_core();
        }
        const uint16_t out_tag = steps.tag ? steps.tag : tag;
        band = static_cast<AnyImageStruct *>(im_NewOrWrap_(out_tag, out_w, 1, 0, 0, nullptr, 0, 0, nullptr));
        if (!band) return fail_core();
        if (out_tag != tag) {
            converting = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, out_w, 1, 0, 0, row, 0, 0, nullptr));
            if (!converting) return fail_core();
        }
        return true;
    }

    bool turn(const Request &r);

    // Makes result row y (asked for top to bottom, each once) into the band.
    bool make(int32_t y) {
        if (y != next++) return fail(Err::argument, "row %d asked for out of order", y);
        unsigned char *to = converting ? row : static_cast<unsigned char *>(band->data[0]);
        if (!(turning ? turned_row(y, to) : upright_row(y, to))) return false;
        if (steps.mirror)
            for (int32_t a = 0, b = out_w - 1; a < b; ++a, --b) {
                unsigned char t[64]; // the widest pixel is a few doubles
                std::memcpy(t, to + static_cast<std::size_t>(a) * size, size);
                std::memcpy(to + static_cast<std::size_t>(a) * size, to + static_cast<std::size_t>(b) * size, size);
                std::memcpy(to + static_cast<std::size_t>(b) * size, t, size);
            }
        if (!converting) return true;
        auto *made = static_cast<AnyImageStruct *>(tessera_io_convert(converting, band->header->tag, 0));
        if (!made) return fail_core();
        std::memcpy(band->data[0], made->data[0], static_cast<std::size_t>(out_w) * fixed_elem_size(band->header->tag));
        release(made);
        return true;
    }

    bool turned_row(int32_t y, unsigned char *out);
};

// A picture turned by quarters without being whole: its rows before the turn go to a temporary
// file as square tiles, a band of rows at a time; then each band of result rows is made from
// one column of tiles (a quarter turn) or one row of them (a half turn) read back. Memory is a
// band of side tiles across the longer side of the picture.
struct Turning {
    Making &m;
    int32_t w, h, side; // before the turn; the tiles' side
    std::size_t size;   // bytes a pixel
    FILE *tmp = nullptr;
    unsigned char *strip = nullptr; // side rows of w pixels, or side columns of h pixels
    int32_t held = -1;              // the tile column or row strip holds
    Turning(Making &making, int32_t width, int32_t height, int32_t s, std::size_t bytes)
        : m(making), w(width), h(height), side(s), size(bytes) {}
    Turning(const Turning &) = delete;
    Turning &operator=(const Turning &) = delete;
    ~Turning() {
        if (tmp) std::fclose(tmp);
        std::free(strip);
    }
    int32_t across() const { return (w + side - 1) / side; }
    std::size_t tile_bytes() const { return static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * size; }
    long offset(int32_t tx, int32_t ty) const {
        return static_cast<long>(
            (static_cast<std::size_t>(ty) * static_cast<std::size_t>(across()) + static_cast<std::size_t>(tx)) *
            tile_bytes());
    }

    // Writes every row before the turn into the file, a band of side rows at a time.
    bool store() {
        tmp = tessera_temporary_file();
        if (!tmp) return fail_core();
        const std::size_t row = static_cast<std::size_t>(w) * size, tile_row = static_cast<std::size_t>(side) * size;
        unsigned char *tile = static_cast<unsigned char *>(std::calloc(tile_bytes(), 1));
        if (!tile) return fail(Err::memory, "out of memory for a tile of the turn");
        const bool stored = store_through(tile, row, tile_row);
        std::free(tile);
        return stored && (std::fflush(tmp) == 0 || fail_system("cannot write the temporary file of the turn"));
    }

    bool store_through(unsigned char *tile, std::size_t row, std::size_t tile_row) {
        for (int32_t y0 = 0; y0 < h; y0 += side) {
            const int32_t rows = std::min(side, h - y0);
            for (int32_t k = 0; k < rows; ++k)
                if (!m.upright_row(y0 + k, strip + static_cast<std::size_t>(k) * row)) return false;
            for (int32_t tx = 0; tx < across(); ++tx) {
                const std::size_t from = static_cast<std::size_t>(tx) * tile_row, n = std::min(tile_row, row - from);
                for (int32_t k = 0; k < rows; ++k)
                    std::memcpy(tile + static_cast<std::size_t>(k) * tile_row,
                                strip + static_cast<std::size_t>(k) * row + from, n);
                if (std::fwrite(tile, 1, tile_bytes(), tmp) != tile_bytes())
                    return fail_system("cannot write the temporary file of the turn");
            }
        }
        return true;
    }

    // Reads tile (tx, ty) into strip, its rows step bytes apart.
    bool read_tile(int32_t tx, int32_t ty, unsigned char *to, std::size_t step, int32_t rows) {
        if (std::fseek(tmp, offset(tx, ty), SEEK_SET) != 0) return fail_system("cannot read the temporary file");
        const std::size_t tile_row = static_cast<std::size_t>(side) * size;
        for (int32_t k = 0; k < rows; ++k)
            if (std::fread(to + static_cast<std::size_t>(k) * step, 1, tile_row, tmp) != tile_row)
                return fail_system("cannot read the temporary file");
        return true;
    }

    // Result row y into out (width: h after a quarter turn, w after a half turn).
    bool row(int32_t y, unsigned char *out) {
        const int32_t down = (h + side - 1) / side;
        if (m.quarters == 2) { // source row h - 1 - y, mirrored
            const int32_t r = h - 1 - y, ty = r / side;
            const std::size_t step = static_cast<std::size_t>(across()) * static_cast<std::size_t>(side) * size;
            if (held != ty) {
                for (int32_t tx = 0; tx < across(); ++tx)
                    if (!read_tile(tx, ty, strip + static_cast<std::size_t>(tx) * side * size, step,
                                   std::min(side, h - ty * side)))
                        return false;
                held = ty;
            }
            const unsigned char *from = strip + static_cast<std::size_t>(r - ty * side) * step;
            for (int32_t x = 0; x < w; ++x)
                std::memcpy(out + static_cast<std::size_t>(x) * size, from + static_cast<std::size_t>(w - 1 - x) * size,
                            size);
            return true;
        }
        // a quarter turn: clockwise, result (x, y) is source (y, h - 1 - x); anticlockwise,
        // source (w - 1 - y, x)
        const int32_t c = m.quarters == 1 ? y : w - 1 - y, tx = c / side;
        const std::size_t step = static_cast<std::size_t>(side) * size; // the strip: h rows of side pixels
        if (held != tx) {
            for (int32_t ty = 0; ty < down; ++ty)
                if (!read_tile(tx, ty, strip + static_cast<std::size_t>(ty) * side * step, step,
                               std::min(side, h - ty * side)))
                    return false;
            held = tx;
        }
        const std::size_t at = static_cast<std::size_t>(c - tx * side) * size;
        for (int32_t x = 0; x < h; ++x) {
            const int32_t r = m.quarters == 1 ? h - 1 - x : x;
            std::memcpy(out + static_cast<std::size_t>(x) * size, strip + static_cast<std::size_t>(r) * step + at,
                        size);
        }
        return true;
    }
};

Making::~Making() {
    delete turning;
    std::free(wide);
    std::free(row);
    tessera_resizer_free(resizer);
    release(band);
    release(converting);
}

// Sets up the turn, and stores the picture in its temporary file; false with the reason.
bool Making::turn(const Request &r) {
    if (quarters == 0) return true;
    const int32_t w = plan.width, h = plan.height, longer = std::max(w, h);
    // tiles as large as a strip of at most 16 MB allows, from 8 to 256 pixels a side, and no
    // larger than a quarter of the shorter side needs
    const auto side = static_cast<int32_t>(
        std::clamp<uint64_t>(std::min<uint64_t>((uint64_t{16} << 20) / (static_cast<uint64_t>(longer) * size),
                                                static_cast<uint64_t>(std::min(w, h) / 4)),
                             8, 256));
    const uint64_t strip = static_cast<uint64_t>(side) * static_cast<uint64_t>(longer + side);
    if (!fits(r, strip, 1, tag)) return false;
    turning = new (std::nothrow) Turning(*this, w, h, side, size);
    if (!turning) return fail(Err::memory, "out of memory for a turn");
    turning->strip = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(strip) * size));
    if (!turning->strip) return fail(Err::memory, "out of memory for a band of %d rows", side);
    return turning->store();
}

bool Making::turned_row(int32_t y, unsigned char *out) { return turning->row(y, out); }

// What a pipeline carries from the reader to the writer.
struct Job {
    const char *out;
    const tessera_io_format *format;
    const tessera_io_steps &steps;
    tessera_io_save_options save;
    bool own_metadata; // the save options' metadata, not the file's
};

// Saves a picture of height rows whose row y make(y) puts into band (one row of the picture's
// type): row by row where the writer takes rows, else through the whole picture, once whole()
// allows it. done() (the rest of the input) must hold before anything lasting is made. False
// with the reason.
template <class Make, class Whole, class Done>
bool save_made(AnyImageStruct *band, int32_t height, const char *path, const tessera_io_format *format,
               const tessera_io_save_options &o, Make &make, Whole whole, Done done) {
    Picture pic;
    const Codec *c = prepare(band, format, std::strcmp(path, "-") == 0 ? nullptr : path, o, pic);
    if (!c) return false;
    if (!c->format.rows) { // the writer needs the picture whole: only it is, where whole() allows
        if (!whole()) return false;
        const uint16_t tag = band->header->tag;
        const std::size_t bytes = static_cast<std::size_t>(band->header->width) * fixed_elem_size(tag);
        AnyImageStruct *result = image_of_rows(tag, band->header->width, height, [&](int32_t y, void *row) {
            if (!make(y)) return false;
            std::memcpy(row, band->data[0], bytes);
            return true;
        });
        const bool ok = result && done() && save_image(result, path, format, o);
        release(result);
        return ok;
    }
    Feed feed{[](void *state, int32_t y) { return (*static_cast<Make *>(state))(y); }, &make};
    pic.feed = &feed;
    pic.height = height;
    // a row that could not be made fails the file, whatever the writer made of it, and so does
    // the rest of the input
    return write_to(path, [&](FILE *out) { return encode(c, pic, o, out) && !feed.failed && done(); });
}

// The rows of a picture through the steps and into the output, row by row where the writer
// takes rows, else through a whole result within the load's limits.
bool pipe_rows(void *context, const Rows &rows, const Request &r) {
    auto *job = static_cast<Job *>(context);
    Making m(rows, job->steps);
    if (!m.open() || !m.turn(r)) return false;
    tessera_io_save_options o = job->save;
    if (!job->own_metadata) o.metadata = r.meta; // what the file holds, read with its header
    auto make = [&m](int32_t y) { return m.make(y); };
    return save_made(
        m.band, m.out_h, job->out, job->format, o, make,
        [&] { return fits(r, static_cast<uint64_t>(m.out_w), static_cast<uint64_t>(m.out_h), m.band->header->tag); },
        [&] { return !rows.finish || rows.finish(rows.state); });
}

} // namespace

} // namespace tessera::detail::io

namespace io = tessera::detail::io;
using tessera::detail::Err;

extern "C" int tessera_io_pipeline(const char *in, const char *out, const tessera_io_format *format,
                                   const tessera_io_steps *steps, const tessera_io_load_options *load,
                                   const tessera_io_save_options *save, tessera_io_info *info) {
    io::clear_reason();
    if (!out) return io::fail(Err::argument, "no output path"), -1;
    tessera_io_steps none{};
    const tessera_io_steps &s = steps ? *steps : none;
    if (!io::check_steps(s)) return -1;
    tessera_io_load_options lo;
    tessera_io_load_defaults(&lo);
    if (load) lo = *load;
    io::Job job{out, format, s, io::options_or_defaults(save), save && save->metadata};
    // the file's metadata goes with its picture, unless the save gives its own
    tessera_io_metadata meta{};
    tessera_io_metadata *callers = lo.metadata;
    if (!job.own_metadata && !lo.metadata) lo.metadata = &meta;
    const io::RowUse use{io::pipe_rows, &job};
    bool used = false;
    AnyImageStruct *im = nullptr;
    io::with_path(in, [&](FILE *f) { im = io::load_from(f, &lo, info, nullptr, 0, {nullptr, 0, 0, &use, &used}); });
    bool ok = used;
    if (!used && im) {
        im = io::whole_steps(im, s);
        if (im) {
            tessera_io_save_options o = job.save;
            if (!job.own_metadata) o.metadata = lo.metadata;
            ok = io::save_image(im, out, format, o);
            io::release(im);
        }
    }
    if (callers != lo.metadata) tessera_io_metadata_free(&meta);
    return ok ? 0 : -1;
}

extern "C" int tessera_io_save_rows(const char *path, const tessera_io_format *format, uint16_t tag, int32_t width,
                                    int32_t height, tessera_row_reader read, void *context,
                                    const tessera_io_save_options *options) {
    io::clear_reason();
    if (!path) return io::fail(Err::argument, "no path"), -1;
    if (!read) return io::fail(Err::argument, "no row reader"), -1;
    if (width <= 0 || height <= 0) return io::fail(Err::argument, "a picture of %d x %d", width, height), -1;
    if (!tessera::detail::fixed_elem_size(tag)) return io::fail(Err::argument, "%u is not an element type", tag), -1;
    const tessera_io_save_options o = io::options_or_defaults(options);
    // a row the reader could not make fails the file, with the reader's reason or this one
    const auto row = [&](int32_t y, void *to) {
        if (read(context, y, to) == 0) return true;
        return io::reason_empty() ? io::fail(Err::argument, "the row reader failed at row %d", y) : false;
    };
    AnyImageStruct *band = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, width, 1, 0, 0, nullptr, 0, 0, nullptr));
    if (!band) return io::fail_core(), -1;
    auto make = [&](int32_t y) { return row(y, band->data[0]); };
    const bool ok = io::save_made(
        band, height, path, format, o, make, [] { return true; }, [] { return true; });
    io::release(band);
    return ok ? 0 : -1;
}
