// Point lists: the record and its elements (drawn from two module-level chunks), the "PTL" and
// "CPTL" text format, and rendering of lists and files into binary or RGB images.
#include "ptl_internal.h"

#include <tessera/error.h>
#include <tessera/file.h>
#include <tessera/magic.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "plot.h"
#include "support/budget.h"
#include "support/check.h"
#include "support/error.h"
#include "support/magic_internal.h"
#include "support/per_thread.h"
#include "support/spin_lock.h"
#include "support/strings_internal.h"
#include "support/unload.h"

static_assert(sizeof(PointListElemStruct) == 24 && offsetof(PointListElemStruct, size) == 4);
static_assert(offsetof(PointListStruct, comment) == 16 && offsetof(PointListStruct, color) == 24 &&
              offsetof(PointListStruct, elements) == 32);

namespace tessera::detail {

Chunk pointlistchunk = NULLCHUNK;
Chunk elementchunk = NULLCHUNK;

namespace {

// The two chunks are shared by every list and element, which may live on different threads.
SpinLock chunks_lock;

constexpr std::size_t line_size = 4096; // an element line, white space runs folded, must fit

// What reading and rendering keep between calls, each thread its own.
struct ReaderState final : ThreadState {
    char line[line_size];             // the element reader's line
    int64_t lines_done = 0;           // lines read to their end since the header
    adtStringHeader *magic = nullptr; // the header reader's magic word
    GrayImageStruct *count = nullptr; // the count image of colour rendering
    void release() noexcept override {
        strFree(magic);
        magic = nullptr;
        if (count) im_Free_(count, IMAGE_GRAY);
        count = nullptr;
    }
};

ReaderState *reader() {
    ReaderState *r = this_thread<ReaderState>();
    if (!r) fail_memory(sizeof(ReaderState), "the point-list reader");
    return r;
}

constexpr RGB white{255, 255, 255};

bool ensure_chunk(Chunk &chunk, uint32_t size) {
    if (chunk == NULLCHUNK) chunk = chNew(size);
    return chunk != NULLCHUNK;
}

bool ptlGoodElemType(unsigned char type) { return type >= PTL_POINT && type <= PTL_FILL; }

// Appends elem; false (elem not added) when no list node can be had.
bool add_elem(PointList ptl, PointListElem elem) { return liAdd(ptl->elements, elem) != NULLLISTNODE; }

const char letters[] = "plef";

// Reads n numbers after p as "%f %f..." does; the position after the last, or null (reason set).
const char *read_floats(const char *p, float *out, int n, char letter, int64_t line) {
    for (int k = 0; k < n; ++k) {
        char *end;
        out[k] = std::strtof(p, &end);
        if (end == p) {
            while (*p == ' ') ++p;
            if (!*p)
                return fail(Err::format, "line %lld: %d numbers expected after '%c', found %d",
                            static_cast<long long>(line), n, letter, k),
                       nullptr;
            int word = 0; // the offending word, up to 20 characters
            while (word < 20 && p[word] && p[word] != ' ' && p[word] != '\t' && p[word] != '\n') ++word;
            return fail(Err::format, "line %lld: expected a number after '%c', found '%.*s'",
                        static_cast<long long>(line), letter, word, p),
                   nullptr;
        }
        p = end;
    }
    return p;
}

// Parses an element line; false (reason set) for a bad letter, missing numbers or a missing
// colour.
bool parse_elem(const char *text, int64_t line, bool color, unsigned char *type, RGB *rgb, float *size,
                float coords[4]) {
    char *end;
    *size = static_cast<float>(std::strtod(text, &end));
    if (end == text) *size = 0;
    const char *p = end;
    while (is_space(*p)) ++p;
    const char *letter = *p ? std::strchr(letters, *p | 0x20) : nullptr;
    if (!letter) {
        char found[24];
        describe_char(found, sizeof found, *p ? static_cast<unsigned char>(*p) : -1);
        if (!*p) std::snprintf(found, sizeof found, "nothing");
        return fail(Err::format, "line %lld: expected an element letter (p, l, e or f), found %s",
                    static_cast<long long>(line), found);
    }
    *type = static_cast<unsigned char>(letter - letters + 1);
    const int n = *type == PTL_LINE || *type == PTL_ELLIPSE ? 4 : 2;
    coords[2] = coords[3] = 0;
    p = read_floats(p + 1, coords, n, *letter, line);
    if (!p) return false;
    *rgb = white;
    if (color) {
        const long value = std::strtol(p, &end, 0); // as "%li": decimal, octal or hexadecimal
        if (end == p)
            return fail(Err::format,
                        "line %lld: a colour list's element needs a colour (0xRRGGBB) after its coordinates",
                        static_cast<long long>(line));
        const auto v = static_cast<unsigned long>(value);
        *rgb = RGB{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    }
    return true;
}

// Reads the four bounds of a header and, when comment is not null, the comment: every "#" line
// met since magicStart, including the comment block a saved list has after its header line.
// The writer ends that block with one line break more than the text had, which is dropped, so
// a saved comment loads as it was saved. 0, or -1 with *comment untouched.
int32_t read_bounds(FILE *fp, float *x, float *y, float *width, float *height, adtStringHeader **comment) {
    float b[4];
    const char *names[] = {"left", "top", "width", "height"};
    for (int k = 0; k < 4; ++k)
        if (magicGetFloat(fp, &b[k]) != 0) {
            char context[32];
            std::snprintf(context, sizeof context, "the header's %s", names[k]);
            return fail_in(context), -1;
        }
    const bool block = skip_comment_block(fp);
    if (ReaderState *r = this_thread<ReaderState>()) r->lines_done = header_line() - 1;
    if (comment) {
        adtStringHeader *text = magicComment();
        if (!text) return -1;
        const std::size_t n = std::strlen(text->chars);
        if (block && n > 0 && text->chars[n - 1] == '\n') text->chars[n - 1] = '\0';
        *comment = text;
    }
    *x = b[0], *y = b[1], *width = b[2], *height = b[3];
    return 0;
}

// The value a number written with "%f" reads back as.
float reads_back(float v) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
    return std::strtof(text, nullptr);
}

} // namespace

namespace {

// Reads the next element line into buf: a whole physical line, however long, without its
// leading white space and with every run of white space folded into one blank (which the
// number conversions read alike). Empty lines and lines that begin with '#' are skipped to
// their end. Null at the end of the input; too_long is set (and the line consumed) when the
// folded line does not fit buf.
char *read_line(char *buf, FILE *fp, bool *too_long, int64_t *lines_done, int64_t *number) {
    *too_long = false;
    int c;
    for (;;) {
        do {
            c = getc_unlocked(fp);
            if (c == '\n') ++*lines_done;
        } while (c != EOF && is_space(c));
        if (c == EOF) return nullptr;
        if (c != '#') break;
        while (c != EOF && c != '\n') c = getc_unlocked(fp);
        if (c == '\n') ++*lines_done;
    }
    *number = *lines_done + 1;
    std::size_t n = 0;
    bool blank = false;
    for (; c != EOF && c != '\n'; c = getc_unlocked(fp)) {
        if (is_space(c)) {
            blank = true;
            continue;
        }
        if (n + 2 >= line_size) *too_long = true;
        if (*too_long) continue;
        if (blank) buf[n++] = ' ';
        blank = false;
        buf[n++] = static_cast<char>(c);
    }
    buf[n] = '\0';
    if (c == '\n') ++*lines_done;
    return buf;
}

} // namespace

GrayImageStruct *count_image() {
    ReaderState *r = this_thread<ReaderState>();
    return r ? r->count : nullptr;
}

void drop_count_image() {
    ReaderState *r = this_thread<ReaderState>();
    if (r && r->count) im_Free_(r->count, IMAGE_GRAY);
    if (r) r->count = nullptr;
}

namespace {

// Lists the client still holds go with their chunks: the process is ending. (Each thread's
// reader state is given back with the other per-thread states.)
void release_chunks() {
    chNuke(pointlistchunk);
    chNuke(elementchunk);
    pointlistchunk = elementchunk = NULLCHUNK;
}
[[maybe_unused]] const bool released_at_unload = (at_unload(release_chunks), true);

} // namespace

} // namespace tessera::detail

using namespace tessera::detail;

extern "C" {

PointList ptlNew(bool color, float x, float y, float width, float height, adtStringHeader *comment) {
    PointList ptl;
    {
        const std::lock_guard<SpinLock> hold(chunks_lock);
        if (!ensure_chunk(pointlistchunk, sizeof(PointListStruct)))
            return fail_memory(sizeof(PointListStruct) * 1000, "point lists"), nullptr;
        if (!(width > 0) || !(height > 0))
            return fail(Err::argument, "a point list's width and height must be above 0 (%g x %g)",
                        static_cast<double>(width), static_cast<double>(height)),
                   nullptr;
        ptl = static_cast<PointList>(chAlloc(pointlistchunk));
    }
    if (!ptl) return fail_memory(sizeof(PointListStruct) * 1000, "point lists"), nullptr;
    ptl->elements = liNew();
    if (!ptl->elements) {
        const std::lock_guard<SpinLock> hold(chunks_lock);
        chFree(pointlistchunk, ptl);
        return fail_memory(64, "a point list's elements"), nullptr;
    }
    ptl->x = x;
    ptl->y = y;
    ptl->width = width;
    ptl->height = height;
    ptl->comment = comment;
    ptl->color = color;
    return ptl;
}

void ptlFree(PointList ptl) {
    {
        const std::lock_guard<SpinLock> hold(chunks_lock);
        TESSERA_CHECK(pointlistchunk != NULLCHUNK);
    }
    if (!ptl) return;
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) ptlFreeElem(static_cast<PointListElem>(liGet(n)));
    liFree(ptl->elements);
    strFree(ptl->comment);
    const std::lock_guard<SpinLock> hold(chunks_lock);
    chFree(pointlistchunk, ptl);
}

void ptlAddElem(PointList ptl, PointListElem elem) {
    TESSERA_CHECK(ptl != (PointList) NULL && elem != (PointListElem) NULL);
    add_elem(ptl, elem);
}

PointListElem ptlNewElem(unsigned char type, RGB color, float size, float x1, float y1, float x2, float y2) {
    PointListElem elem;
    {
        const std::lock_guard<SpinLock> hold(chunks_lock);
        if (!ensure_chunk(elementchunk, sizeof(PointListElemStruct)))
            return fail_memory(sizeof(PointListElemStruct) * 1000, "point-list elements"), nullptr;
        if (!ptlGoodElemType(type)) return fail(Err::argument, "%d is not an element type (1 to 4)", type), nullptr;
        elem = static_cast<PointListElem>(chAlloc(elementchunk));
    }
    if (!elem) return fail_memory(sizeof(PointListElemStruct) * 1000, "point-list elements"), nullptr;
    std::memset(elem, 0, sizeof *elem);
    ptlSetElem(elem, type, color, size, x1, y1, x2, y2);
    return elem;
}

int32_t ptlSetElem(PointListElem elem, unsigned char type, RGB color, float size, float x1, float y1, float x2,
                   float y2) {
    TESSERA_CHECK(elem != (PointListElem) NULL);
    if (!ptlGoodElemType(type)) return fail(Err::argument, "%d is not an element type (1 to 4)", type), -1;
    elem->type = type;
    elem->size = size >= 0 ? size : 0; // negative and NaN sizes become 0
    elem->color = color;
    elem->x1 = x1;
    elem->y1 = y1;
    if (type == PTL_LINE || type == PTL_ELLIPSE) {
        elem->x2 = x2;
        elem->y2 = y2;
    }
    return 0;
}

void ptlFreeElem(PointListElem elem) {
    const std::lock_guard<SpinLock> hold(chunks_lock);
    TESSERA_CHECK(elementchunk != NULLCHUNK);
    if (elem) chFree(elementchunk, elem);
}

PointList ptlLoad(const char *path) {
    return with_file(path, "r", stdin, static_cast<PointList>(nullptr), ptlLoadF, ptlFree);
}

PointList ptlLoadF(FILE *fp) {
    TESSERA_CHECK(fp != (FILE *) NULL);
    bool color;
    float x, y, width, height;
    adtStringHeader *comment = nullptr;
    if (ptlReadHeader(fp, &color, &x, &y, &width, &height, &comment) != 0) return nullptr;
    PointList ptl = ptlNew(color, x, y, width, height, comment);
    if (!ptl) {
        strFree(comment);
        return nullptr;
    }
    bool error = false;
    while (PointListElem elem = ptlGetElem(nullptr, color, fp, &error)) {
        if (!add_elem(ptl, elem)) {
            ptlFreeElem(elem);
            error = true;
            break;
        }
    }
    if (error) {
        ptlFree(ptl);
        return nullptr;
    }
    return ptl;
}

int32_t ptlSave(PointList ptl, const char *path) {
    TESSERA_CHECK(ptl != (PointList) NULL);
    if (!path) return ptlSaveF(ptl, stdout);
    // A list that cannot be saved, or a write that fails, leaves the file as it was.
    return tessera_write_file(
        path, [](FILE *out, void *list) { return ptlSaveF(static_cast<PointList>(list), out) == 0 ? 1 : 0; }, ptl);
}

int32_t ptlSaveF(PointList ptl, FILE *fp) {
    TESSERA_CHECK(ptl != (PointList) NULL);
    TESSERA_CHECK(fp != (FILE *) NULL);
    if (ptlWriteHeader(fp, ptl->color, ptl->x, ptl->y, ptl->width, ptl->height, ptl->comment) != 0) return -1;
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n))
        if (ptlPutElem(static_cast<PointListElem>(liGet(n)), ptl->color, fp) != 0) return -1;
    return 0;
}

int32_t ptlReadHeader(FILE *fp, bool *color, float *x, float *y, float *width, float *height,
                      adtStringHeader **comment) {
    ReaderState *r = reader();
    if (!r || magicStart() != 0) return -1;
    if (magicGetString(fp, &r->magic) != 0) return fail_in("not a point-list file"), -1;
    const bool is_color = std::strcmp(strGet(r->magic), "CPTL") == 0;
    if (!is_color && std::strcmp(strGet(r->magic), "PTL") != 0)
        return fail(Err::format, "not a point-list file (it starts with '%.20s', not PTL or CPTL)", strGet(r->magic)),
               -1;
    adtStringHeader *text = nullptr;
    if (read_bounds(fp, x, y, width, height, comment ? &text : nullptr) != 0) return -1;
    *color = is_color;
    if (comment) *comment = text;
    return 0;
}

int32_t ptlWriteHeader(FILE *fp, bool color, float x, float y, float width, float height, adtStringHeader *comment) {
    if (!fp) return -1;
    // Bounds that would be written as 0 (narrower than 5e-7) or as nan would not load again.
    if (!(reads_back(width) > 0) || !(reads_back(height) > 0))
        return fail(Err::argument, "bounds %g x %g would not read back (each must be at least 5e-7)",
                    static_cast<double>(width), static_cast<double>(height)),
               -1;
    if (std::fprintf(fp, "%sPTL %f %f %f %f\n\n", color ? "C" : "", static_cast<double>(x), static_cast<double>(y),
                     static_cast<double>(width), static_cast<double>(height)) < 0)
        return -1;
    return write_comment_block(fp, comment, false) ? 0 : -1;
}

PointListElem ptlGetElem(PointListElem elem, bool color, FILE *fp, bool *error) {
    TESSERA_CHECK(fp != (FILE *) NULL);
    *error = false;
    ReaderState *r = reader();
    if (!r) {
        *error = true;
        return nullptr;
    }
    bool too_long = false;
    int64_t number = 0;
    if (!read_line(r->line, fp, &too_long, &r->lines_done, &number)) return nullptr;
    if (too_long) {
        fail(Err::limit, "line %lld: an element line longer than %zu characters", static_cast<long long>(number),
             line_size - 2);
        *error = true;
        return nullptr;
    }
    unsigned char type = 0;
    RGB rgb{};
    float size = 0, c[4] = {};
    if (!parse_elem(r->line, number, color, &type, &rgb, &size, c)) {
        *error = true;
        return nullptr;
    }
    if (!elem) {
        elem = ptlNewElem(type, rgb, size, c[0], c[1], c[2], c[3]);
        if (!elem) *error = true;
        return elem;
    }
    if (ptlSetElem(elem, type, rgb, size, c[0], c[1], c[2], c[3]) != 0) {
        *error = true;
        return nullptr;
    }
    return elem;
}

int32_t ptlPutElem(PointListElem elem, bool color, FILE *fp) {
    if (!ptlGoodElemType(elem->type)) return -1;
    // A size that "%f" writes as 0.000000 is written as no size at all, which reads back alike.
    if (reads_back(elem->size) != 0 && std::fprintf(fp, "%f", static_cast<double>(elem->size)) < 0) return -1;
    const char letter = letters[elem->type - 1];
    const bool four = elem->type == PTL_LINE || elem->type == PTL_ELLIPSE;
    const int written =
        four ? std::fprintf(fp, "%c\t%f %f %f %f", letter, static_cast<double>(elem->x1), static_cast<double>(elem->y1),
                            static_cast<double>(elem->x2), static_cast<double>(elem->y2))
             : std::fprintf(fp, "%c\t%f %f", letter, static_cast<double>(elem->x1), static_cast<double>(elem->y1));
    if (written < 0) return -1;
    const unsigned value = elem->color.r * 65536u + elem->color.g * 256u + elem->color.b;
    return (color ? std::fprintf(fp, "\t0x%6.6x\n", value) : std::fprintf(fp, "\n")) < 0 ? -1 : 0;
}

} // extern "C"

// ---------------------------------------------------------------------------------------------
// Rendering

namespace {

struct Geometry {
    int xoffset, yoffset, width, height;
};

// Pixel geometry of the bounds at the given scale; false when it has no pixels or does not fit
// 32-bit image coordinates.
bool geometry_of(float x, float y, float width, float height, float xscale, float yscale, Geometry *g) {
    const float xs = x * xscale, ys = y * yscale;
    const double w = std::ceil(static_cast<double>(width) * static_cast<double>(xscale));
    const double h = std::ceil(static_cast<double>(height) * static_cast<double>(yscale));
    if (!(w >= 1 && w <= INT32_MAX && h >= 1 && h <= INT32_MAX))
        return fail(Err::limit, "width %g x %g at scales %g, %g is not an image size (1 to 2147483647 pixels a side)",
                    static_cast<double>(width), static_cast<double>(height), static_cast<double>(xscale),
                    static_cast<double>(yscale));
    if (!(std::fabs(xs) < 2147483520.0f && std::fabs(ys) < 2147483520.0f))
        return fail(Err::limit, "the drawing's corner (%g, %g) lies beyond 32-bit image coordinates at these scales",
                    static_cast<double>(x), static_cast<double>(y));
    g->xoffset = static_cast<int>(fround(xs));
    g->yoffset = static_cast<int>(fround(ys));
    g->width = static_cast<int>(w);
    g->height = static_cast<int>(h);
    return true;
}

bool supported(unsigned short type) { return type == IMAGE_BINARY || type == IMAGE_RGB; }

// The start shared by ptlRender and ptlLoadAndRender: the scale and type checks, the count
// image of a colour rendering, and the target image (filled with the background in colour).
void *begin_render(unsigned short type, float xscale, float yscale, const Geometry &g, RGB background) {
    // A colour rendering keeps a count byte a pixel beside its three bytes of colour.
    if (supported(type) && !within_budget(g.width, g.height, type == IMAGE_RGB ? 4 : 1, "rendering")) return nullptr;
    if (ptlStartRendering(type, xscale, yscale, g.xoffset, g.yoffset, g.width, g.height) != 0) return nullptr;
    void *im = im_NewOrWrap_(type, g.width, g.height, g.xoffset, g.yoffset, nullptr, 0, 0, nullptr);
    if (im && type == IMAGE_RGB) im_Init_(im, static_cast<AnyImageStruct *>(im)->header, &background);
    return im;
}

bool same_geometry(const ImageHeader *a, const ImageHeader *b) {
    return a->xoffset == b->xoffset && a->yoffset == b->yoffset && a->width == b->width && a->height == b->height;
}

} // namespace

extern "C" {

int32_t ptlStartRendering(unsigned short type, float xscale, float yscale, int xoffset, int yoffset, int width,
                          int height) {
    if (width <= 0 || height <= 0)
        return fail(Err::argument, "a rendering needs a positive size (%d x %d)", width, height), -1;
    if (!(xscale > 0) || !(yscale > 0))
        return fail(Err::argument, "scales must be above 0 (%g, %g)", static_cast<double>(xscale),
                    static_cast<double>(yscale)),
               -1;
    if (!supported(type))
        return fail(Err::argument, "renderings are binary (16) or RGB (4) images, not tag %d", type), -1;
    if (type == IMAGE_BINARY) return 0;
    ReaderState *r = reader();
    if (!r) return -1;
    if (r->count) {
        const ImageHeader *h = r->count->header;
        if (h->xoffset != xoffset || h->yoffset != yoffset || h->width != width || h->height != height) {
            im_Free_(r->count, IMAGE_GRAY);
            r->count = nullptr;
        }
    }
    if (!r->count) { // a new count image is already all 0
        r->count = static_cast<GrayImageStruct *>(
            im_NewOrWrap_(IMAGE_GRAY, width, height, xoffset, yoffset, nullptr, 0, 0, nullptr));
        return r->count ? 0 : -1;
    }
    uint8_t zero = 0;
    im_Init_(r->count, r->count->header, &zero);
    return 0;
}

} // extern "C"

namespace {

// One element drawn: 0 or 1 (clipped) as ptl_RenderElem_ gives them, -1 for an image or element
// type that cannot be drawn (which a rendering counts as clipped), or cannot_draw when the element
// could not be finished (the reason is set; a rendering then fails).
constexpr int32_t cannot_draw = -2;

int32_t render_elem(PointListElem elem, void *im, ImageHeader *header, float xscale, float yscale, Allowance &work) {
    if (header->tag != IMAGE_RGB && header->tag != IMAGE_BINARY)
        return fail(Err::argument, "renderings are binary (16) or RGB (4) images, not tag %d", header->tag), -1;
    // Colour plotting writes this thread's count image at the same coordinates: it must match.
    GrayImageStruct *count = header->tag == IMAGE_RGB ? count_image() : nullptr;
    if (header->tag == IMAGE_RGB && (!count || !same_geometry(count->header, header)))
        return fail(Err::argument,
                    "no colour rendering of this image's geometry was started on this thread (ptlStartRendering)"),
               -1;
    const float x1 = elem->x1 * xscale, y1 = elem->y1 * yscale;
    const float x2 = elem->x2 * xscale, y2 = elem->y2 * yscale;
    const float pen = (xscale + yscale) * elem->size / 2;
    Drawn drawn;
    if (header->tag == IMAGE_RGB) {
        auto *rgb = static_cast<RGBImageStruct *>(im);
        switch (elem->type) {
        case PTL_POINT: drawn = plot_color_point(rgb, count, x1, y1, pen, elem->color, work); break;
        case PTL_LINE: drawn = plot_color_line(rgb, count, x1, y1, x2, y2, pen, elem->color, work); break;
        case PTL_ELLIPSE: drawn = plot_color_ellipse(rgb, count, x1, y1, x2, y2, pen, elem->color, work); break;
        case PTL_FILL: drawn = do_color_fill(rgb, count, x1, y1, elem->color); break;
        default: return fail(Err::argument, "%d is not an element type (1 to 4)", elem->type), -1;
        }
    } else {
        auto *bin = static_cast<BinaryImageStruct *>(im);
        switch (elem->type) {
        case PTL_POINT: drawn = plot_binary_point(bin, x1, y1, pen, work); break;
        case PTL_LINE: drawn = plot_binary_line(bin, x1, y1, x2, y2, pen, work); break;
        case PTL_ELLIPSE: drawn = plot_binary_ellipse(bin, x1, y1, x2, y2, pen, work); break;
        case PTL_FILL: drawn = do_binary_fill(bin, x1, y1); break;
        default: return fail(Err::argument, "%d is not an element type (1 to 4)", elem->type), -1;
        }
    }
    return drawn == drawn_failed ? cannot_draw : drawn == drawn_clipped ? 1 : 0;
}

} // namespace

extern "C" {

int32_t ptl_RenderElem_(PointListElem elem, void *im, ImageHeader *header, float xscale, float yscale) {
    Allowance work = Allowance::of_budget();
    const int32_t drawn = render_elem(elem, im, header, xscale, yscale, work);
    return drawn == cannot_draw ? -1 : drawn;
}

} // extern "C"

namespace {

// Renders the list into a new image of geometry g; null with the reason.
void *render_list(PointList ptl, unsigned short type, float xscale, float yscale, RGB background, const Geometry &g,
                  bool *clipped) {
    void *im = begin_render(type, xscale, yscale, g, background);
    if (!im) return nullptr;
    ImageHeader *header = static_cast<AnyImageStruct *>(im)->header;
    Allowance work = Allowance::of_budget();
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) {
        const int32_t drawn = render_elem(static_cast<PointListElem>(liGet(n)), im, header, xscale, yscale, work);
        if (drawn == cannot_draw) { // an image with less than the drawing is no result
            im_Free_(im, type);
            *clipped = false;
            return nullptr;
        }
        if (drawn != 0) *clipped = true;
    }
    if (ptl->comment && !(header->comment = strNewCopy(ptl->comment))) {
        im_Free_(im, type); // the image would lose the drawing's comment
        return fail_memory(std::strlen(ptl->comment->chars) + 1, "the drawing's comment"), nullptr;
    }
    return im;
}

// The geometry of ptl's rendering at these scales; false with the reason.
bool render_geometry(PointList ptl, float xscale, float yscale, Geometry &g) {
    if (!ptl) return fail(Err::argument, "no drawing");
    if (!(xscale > 0) || !(yscale > 0))
        return fail(Err::argument, "scales must be above 0 (%g, %g)", static_cast<double>(xscale),
                    static_cast<double>(yscale));
    return geometry_of(ptl->x, ptl->y, ptl->width, ptl->height, xscale, yscale, &g);
}

// Whether an element reaches beyond the geometry, judged from its extent at these scales: its
// points, or its centre and semi-axes, widened by half its pen.
bool beyond(const PointListElemStruct &e, float xscale, float yscale, const Geometry &g) {
    const double pen = (static_cast<double>(xscale) + yscale) * e.size / 4;
    const double x1 = static_cast<double>(e.x1) * xscale, y1 = static_cast<double>(e.y1) * yscale;
    double x0 = x1, x9 = x1, y0 = y1, y9 = y1;
    if (e.type == PTL_LINE) {
        const double x2 = static_cast<double>(e.x2) * xscale, y2 = static_cast<double>(e.y2) * yscale;
        x0 = std::min(x1, x2), x9 = std::max(x1, x2), y0 = std::min(y1, y2), y9 = std::max(y1, y2);
    } else if (e.type == PTL_ELLIPSE) {
        const double rx = std::fabs(static_cast<double>(e.x2) * xscale),
                     ry = std::fabs(static_cast<double>(e.y2) * yscale);
        x0 = x1 - rx, x9 = x1 + rx, y0 = y1 - ry, y9 = y1 + ry;
    }
    return !(x0 - pen >= g.xoffset - 0.5 && x9 + pen < g.xoffset + g.width - 0.5 && y0 - pen >= g.yoffset - 0.5 &&
             y9 + pen < g.yoffset + g.height - 0.5);
}

} // namespace

extern "C" {

void *ptlRender(PointList ptl, unsigned short type, float xscale, float yscale, RGB background, bool *clipped) {
    bool local;
    if (!clipped) clipped = &local;
    Geometry g{};
    const bool fits = geometry_of(ptl->x, ptl->y, ptl->width, ptl->height, xscale, yscale, &g);
    *clipped = false;
    if (!fits) return nullptr; // reason set
    return render_list(ptl, type, xscale, yscale, background, g, clipped);
}

int32_t tessera_render_geometry(PointList ptl, float xscale, float yscale, int32_t *xoffset, int32_t *yoffset,
                                int32_t *width, int32_t *height) {
    Geometry g{};
    if (!render_geometry(ptl, xscale, yscale, g)) return -1;
    if (xoffset) *xoffset = g.xoffset;
    if (yoffset) *yoffset = g.yoffset;
    if (width) *width = g.width;
    if (height) *height = g.height;
    return 0;
}

void *tessera_render_area(PointList ptl, unsigned short type, float xscale, float yscale, RGB background, int32_t x,
                          int32_t y, int32_t width, int32_t height, bool *clipped) {
    bool local;
    if (!clipped) clipped = &local;
    *clipped = false;
    Geometry whole{};
    if (!render_geometry(ptl, xscale, yscale, whole)) return nullptr;
    if (width <= 0 || height <= 0 || x < whole.xoffset || y < whole.yoffset ||
        int64_t{x} + width > int64_t{whole.xoffset} + whole.width ||
        int64_t{y} + height > int64_t{whole.yoffset} + whole.height)
        return fail(Err::argument, "the area %d,%d %dx%d does not lie inside the rendering (%d,%d %dx%d)", x, y, width,
                    height, whole.xoffset, whole.yoffset, whole.width, whole.height),
               nullptr;
    for (_ListNode *n = liFirst(ptl->elements); n && type == IMAGE_BINARY; n = liNext(n)) // colour ignores fills
        if (static_cast<PointListElem>(liGet(n))->type == PTL_FILL)
            return fail(Err::unsupported,
                        "a drawing with flood fills is rendered whole: a fill's extent depends on the whole image"),
                   nullptr;
    bool ignored = false;
    void *im = render_list(ptl, type, xscale, yscale, background, Geometry{x, y, width, height}, &ignored);
    if (!im) return nullptr;
    for (_ListNode *n = liFirst(ptl->elements); n && !*clipped; n = liNext(n))
        *clipped = beyond(*static_cast<PointListElem>(liGet(n)), xscale, yscale, whole);
    return im;
}

void *ptlLoadAndRender(FILE *fp, bool color, unsigned short type, float xscale, float yscale, RGB background,
                       bool *clipped) {
    bool local;
    if (!clipped) clipped = &local;
    float x, y, width, height;
    adtStringHeader *docstring = nullptr; // the header's comment, handed to the image
    if (read_bounds(fp, &x, &y, &width, &height, &docstring) != 0) return nullptr;
    Geometry g{};
    const bool fits = geometry_of(x, y, width, height, xscale, yscale, &g);
    *clipped = false;
    void *im = fits ? begin_render(type, xscale, yscale, g, background) : nullptr;
    if (!im) {
        strFree(docstring);
        return nullptr;
    }
    ImageHeader *header = static_cast<AnyImageStruct *>(im)->header;
    header->comment = docstring;
    PointListElemStruct elem{};
    bool error = false;
    Allowance work = Allowance::of_budget();
    while (ptlGetElem(&elem, color, fp, &error)) {
        const int32_t drawn = render_elem(&elem, im, header, xscale, yscale, work);
        if (drawn == cannot_draw) {
            error = true;
            break;
        }
        if (drawn != 0) *clipped = true;
    }
    if (error) {
        *clipped = false;
        im_Free_(im, type);
        return nullptr;
    }
    return im;
}

} // extern "C"
