// The parts every codec of libtessera_io shares: the input a reader gets, the row layout that
// turns file samples into pixels, the reasons for failures, and the codec table's row.
#pragma once

#include <tessera/error.h>
#include <tessera/io.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/err.h"

namespace tessera::detail::io {

// Makes room for need bytes in the malloc'd block data of cap bytes, doubling from 64 KiB; false
// (the block as it was, errno ENOMEM) when memory runs out.
template <class Byte> bool reserve(Byte *&data, std::size_t &cap, std::size_t need) {
    if (need <= cap) return true;
    std::size_t more = cap ? cap : 65536;
    while (more < need) more *= 2;
    auto *grown = static_cast<Byte *>(std::realloc(data, more));
    if (!grown) return errno = ENOMEM, false;
    data = grown;
    cap = more;
    return true;
}

// Empties the calling thread's reason, as each call of the API does first.
void clear_reason();
// Sets the calling thread's reason and its kind; false, so that "return fail(...)" ends a step.
bool fail(Err kind, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));
// fail() for a system call: "doing: strerror(errno)", Err::file with errno kept.
bool fail_system(const char *doing) noexcept;
// Sets the errno of the reason set last.
void set_errno(int error) noexcept;
// fail() with libtessera's reason and code for its own last failure.
bool fail_core() noexcept;
// True when the thread's reason is still empty (a step failed without saying why).
bool reason_empty() noexcept;

// Where a reader takes the file from. in yields the file from its first byte on; when the
// bytes come from a seekable stream, base is that stream and start the file's offset in it.
struct Input {
    FILE *in;
    FILE *base;
    long start;
    bool seekable;
    // in can go back to the file's first byte (only until forget_start() is called).
    bool (*rewind)(Input &);
    void (*forget_start)(Input &);
    void *state;
    // The whole file when it is in the caller's memory (read straight from there), else null.
    const unsigned char *memory;
    std::size_t memory_size;
};

// A picture's rows as its reader decodes them: next(state, y, row) decodes row y (asked for top
// to bottom, each once at most; rows not asked for are decoded and dropped) into row, the width's
// elements of type tag; false with the reason.
struct Rows {
    uint16_t tag = 0;
    int32_t width = 0, height = 0;
    bool (*next)(void *state, int32_t y, void *row) = nullptr;
    void *state = nullptr;
    // Reads the rest of the file (rows not asked for, what follows the pixels); false with the
    // reason. A use calls it, when set, once it has every row it needs and before it makes
    // anything lasting, so that a file damaged after its pixels fails the use.
    bool (*finish)(void *state) = nullptr;
};

struct Request;
// What a caller that takes a picture row by row does with its rows: use(context, rows, request)
// is called once the header is read, asks rows for what it needs, and says whether it succeeded
// (false with the reason). A reader that cannot give its rows one at a time loads the picture
// whole, and its rows are given from the image.
struct RowUse {
    bool (*use)(void *context, const Rows &rows, const Request &r);
    void *context;
};

struct Request {
    const tessera_io_load_options *options;
    tessera_io_info *info;
    tessera_io_metadata *meta;       // where the file's metadata goes; null when the caller wants none
    mutable bool in_srgb = false;    // the reader has converted the colours to sRGB already
    bool header_only = false;        // what the header says, and no pixel decoded: no pixel limit applies
    mutable uint16_t header_tag = 0; // the element type the load would give, once the header is read
    // The box (upright; 0: unbounded) the picture will be shrunk to fit: a reader that can decode
    // at a fraction of the size (JPEG) may, as long as the result still covers the box.
    int32_t fit_width = 0, fit_height = 0;
    const RowUse *use = nullptr; // the caller takes the picture's rows one at a time, when set
    mutable bool used = false;   // the reader gave its rows to use, which succeeded
};

// Whether a reader that can give its rows one at a time should, once its header is read: the
// caller takes them, and nothing is to be done to the whole picture first (a turn, a conversion
// of colours or of type).
bool rows_wanted(const Request &r);
// Gives rows to the caller's use: the picture's decoded bytes are held to the budget as work
// first. True when the use succeeded (r.used is then set); false with the reason.
bool give_rows(const Request &r, const Rows &rows);
// An image of rows rows of width elements of type tag, the band a reader gives rows one at a time
// through: held to the load's limits with beside bytes of the reader's own, as a whole picture
// would be; null with the reason.
AnyImageStruct *row_band(const Request &r, uint16_t tag, int64_t width, int64_t rows = 1, uint64_t beside = 0);
// A row reader of the core (tessera_row_reader) over rows (the context).
int read_rows(void *context, int32_t y, void *row);

// A thumbnail made from rows as they are decoded: fitted to width x height with filter.
struct Thumbnail {
    int32_t width, height;
    int filter;
    AnyImageStruct *result = nullptr;
};
bool thumbnail_rows(void *context, const Rows &rows, const Request &r);

// The metadata a file may carry beside its pixels.
enum class Block { icc, exif, xmp };
// Keeps a copy of n bytes at data as the load's block of that kind when the caller asked for
// metadata (the first block of a kind counts); false with the reason when the budget or
// memory refuses it.
bool keep_block(const Request &r, Block which, const void *data, std::size_t n);
// keep_block for a block the reader fills itself: block is where its n bytes go, or null when
// the caller wants none or already has one of that kind.
bool new_block(const Request &r, Block which, std::size_t n, unsigned char *&block);
// An EXIF block found (with or without "Exif\0\0" before its TIFF structure): its orientation
// noted in the info, the block kept as keep_block does.
bool found_exif(const Request &r, const unsigned char *d, std::size_t n);
// The keyword of the text that holds XMP in PNG files: "XML:com.adobe.xmp".
bool is_xmp_key(const char *key);

// Converts im's colours in place from what the profile of m says they are to sRGB (gray stays
// gray, with sRGB's tone curve), perceptual intent, through Little CMS; false with the reason.
bool to_srgb(AnyImageStruct *im, const tessera_io_metadata &m);
// Replaces the profile of m with sRGB's (gray: a gray one with sRGB's curve).
bool srgb_profile(tessera_io_metadata &m, bool gray);
// Whether m's profile describes CMYK inks.
bool is_cmyk_profile(const tessera_io_metadata &m);
// A transform of CMYK rows (inks inverted, as Adobe's JPEGs store them, when inverted) by m's
// profile to sRGB; null with the reason. cmyk_row converts n pixels; free_transform ends it.
void *cmyk_to_srgb(const tessera_io_metadata &m, bool inverted);
void cmyk_row(void *transform, const unsigned char *cmyk, RGB *out, std::size_t n);
void free_transform(void *transform);

// How one pixel's samples become a pixel of the image being read.
struct Layout {
    int channels = 1;           // colour samples: 1 or 3
    int alpha = 0;              // followed by an alpha sample
    bool white_is_zero = false; // sample 0 is a set (black) pixel of a bilevel image
    uint32_t maxval = 255;
    bool keep = false;          // samples stay as stored instead of scaled to 0..255
    bool own = false;           // the file's own type: alpha and 16-bit samples kept
    bool premultiplied = false; // colours are stored multiplied by alpha
    RGB background{0, 0, 0};
    uint16_t tag = IMAGE_GRAY;
};

// Fills in l.tag, the element type a layout loads into: binary for black and white; in the
// file's own type gray, RGB or RGBA at 8 or 16 bits; else gray unless a colour sample or a
// coloured background needs RGB, and INT and FLOAT3B for kept samples deeper than 8 bits.
void choose_tag(Layout &l, bool bilevel);
// The image's element type and sizes against the caller's limits (with beside bytes of the
// decoder's own), then a new image: zeroed, or left unfilled where the decoder writes every
// pixel before the image is seen (every_pixel_written: it succeeds only having written them);
// null with a reason.
AnyImageStruct *new_image(const Layout &l, uint64_t width, uint64_t height, const Request &r, uint64_t beside = 0,
                          bool every_pixel_written = false);
// Stores one row of samples (channels + alpha a pixel) into row y.
void put_row(AnyImageStruct *im, int32_t y, const uint32_t *samples, const Layout &l);
// put_row for 16-bit samples (native order) of maximum 65535: without alpha into gray, RGB,
// IMAGE_INT or IMAGE_FLOAT3B rows, and into 16-bit rows of the same layout; false (nothing
// stored) for any other layout.
bool put_row16(AnyImageStruct *im, int32_t y, const uint16_t *samples, const Layout &l);
// put_row16 for samples stored most significant byte first (PNG, Netpbm).
bool put_row16_be(AnyImageStruct *im, int32_t y, const unsigned char *samples, const Layout &l);
// put_row for one-byte samples; rows that need no change are copied as they stand.
void put_row8(AnyImageStruct *im, int32_t y, const uint8_t *samples, const Layout &l, uint32_t *spare);
// The orientation (1 to 8) an EXIF block's TIFF structure records, else 0; n bytes at d, from
// the byte-order mark on.
int exif_orientation(const unsigned char *d, std::size_t n);
// Sets the orientation an EXIF block records (when it records one) to v.
void exif_set_orientation(unsigned char *d, std::size_t n, int v);
// Sets the reason for pixel data that ends after got of want bytes (or characters: unit).
bool data_ends(unsigned long long got, unsigned long long want, const char *unit);
// The bytes left in the file after where in stands, or ~0 when that cannot be known.
unsigned long long bytes_left(const Input &in);
// A new image once the file is known to hold at least need bytes (unit) more: a header never
// makes a reader allocate more than its file can fill.
AnyImageStruct *image_for(const Input &in, const Layout &l, long w, long h, unsigned long long need, const char *unit,
                          const Request &r);
// Fills in what the file holds.
void describe(const Request &r, const char *magic, int64_t width, int64_t height, int channels, int alpha, int bits,
              uint32_t maxval);

// Rows made one at a time for a writer: fill(state, y) puts row y (asked for top to bottom, each
// once) into the picture's image, which holds one row; false with the reason, which failed keeps.
struct Feed {
    bool (*fill)(void *state, int32_t y);
    void *state;
    bool failed = false;
};

// How a writer gets its samples: 8 or 16 bits, gray or RGB, from any image type.
struct Picture {
    const AnyImageStruct *im;
    int32_t width, height;
    int channels;               // 1 or 3; 0 for a binary image
    int bits;                   // 1 (binary), 8 or 16
    int alpha;                  // 1: an alpha sample follows the colour ones
    tessera_io_metadata meta{}; // what to write beside the pixels (the caller's blocks, not owned)
    Feed *feed = nullptr;       // when set, im holds one row, and get_row asks the feed for each
};
// The samples of row y (0 is the first) as bytes: 8-bit samples, or 16-bit ones most
// significant byte first (native: in the machine's order); row must hold width * (channels +
// alpha) * bits / 8 bytes.
void get_row(const Picture &p, int32_t y, unsigned char *row, bool native = false);
// What a picture of im is in a writer that takes the given depth (0: the image's own).
Picture picture_of(const AnyImageStruct *im, int depth);
// The largest sample of the types whose samples span a fixed range (255, 65535; 1 for binary),
// 0 for the numeric types, which hold values as they are.
uint32_t full_range(uint16_t tag);
// Colour samples of a type: 3 or 1.
int colour_channels(uint16_t tag);
// A short name of the element type for messages: "RGBA", "16-bit gray", ...
const char *type_name(uint16_t tag);

// Up to 256 colours (RGBA packed, alpha in the top byte) in the order they were met, found with
// a small open-addressed table: find_or_add gives a colour's index, or -1 for a 257th colour.
struct Palette {
    uint32_t colour[256];
    int count = 0;
    uint32_t keys[1024];
    uint16_t index[1024];
    bool used[1024] = {};
    int find_or_add(uint32_t c) {
        uint32_t h = (c * 2654435761u) >> 22;
        while (used[h] && keys[h] != c) h = (h + 1) & 1023;
        if (used[h]) return index[h];
        if (count == 256) return -1;
        used[h] = true, keys[h] = c, index[h] = static_cast<uint16_t>(count), colour[count] = c;
        return count++;
    }
};

struct Codec {
    tessera_io_format format; // with format.rows, write asks for each row once, top to bottom: a Picture with a feed
    const char *magic;        // what a reader of this row reports; null when it has no reader
    bool (*sniff)(const unsigned char *head, std::size_t n);
    AnyImageStruct *(*read)(Input &in, const Request &r);
    bool (*write)(const Picture &p, const tessera_io_save_options &o, FILE *out);
};

// The table, in the order the formats are listed and sniffed.
extern const Codec codecs[];
extern const std::size_t codec_count;
const Codec *codec_of(const tessera_io_format *f);

// What a load is for beyond the image: with probed, the header alone (*probed is set to the
// element type the load would give, and the load returns null); with a box, a picture that will
// be shrunk to fit it (a reader may decode it smaller, never below the box); with use, a caller
// that takes the rows one at a time (*used is set when a reader gave them, and the load returns
// null).
struct Purpose {
    uint16_t *probed = nullptr;
    int32_t fit_width = 0, fit_height = 0;
    const RowUse *use = nullptr;
    bool *used = nullptr;
};

// Reads the picture base holds (from where it stands) for purpose: the image, with the load's
// turns and conversions done; null with the reason (also when the purpose took no image).
AnyImageStruct *load_from(FILE *base, const tessera_io_load_options *options, tessera_io_info *info,
                          const void *memory = nullptr, std::size_t memory_size = 0, Purpose purpose = {});
// The image as its orientation (2 to 8) says it is seen: a new image, or null with the reason.
AnyImageStruct *turned_upright(const AnyImageStruct *im, int orientation);
// The format a save of im uses (format, else path's extension) and the samples it gets in p;
// null with the reason.
const Codec *prepare(const AnyImageStruct *im, const tessera_io_format *format, const char *path,
                     const tessera_io_save_options &o, Picture &p);
// Encodes p with c into out; false with the reason.
bool encode(const Codec *c, const Picture &p, const tessera_io_save_options &o, FILE *out);
tessera_io_save_options options_or_defaults(const tessera_io_save_options *o);
bool check_image(const AnyImageStruct *im);
// Saves im at path ("-": the standard output) in format (null: the path's extension decides);
// false with the reason, and nothing left at path.
bool save_image(const AnyImageStruct *im, const char *path, const tessera_io_format *format,
                const tessera_io_save_options &o);

// A new w x h image of type tag whose row y fill(y, row) makes, top to bottom; null with the
// reason (fill's, else the core's).
template <class Fill> AnyImageStruct *image_of_rows(uint16_t tag, int32_t w, int32_t h, Fill &&fill) {
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, w, h, 0, 0, nullptr, 0, 0, nullptr));
    if (!im) return fail_core(), nullptr;
    for (int32_t y = 0; y < h; ++y)
        if (!fill(y, im->data[y])) return im_Free_(im, tag), nullptr;
    return im;
}

// Runs read on the file at path ("-": the standard input, left open); false with the reason when
// there is no path or the file cannot be opened.
template <class Read> bool with_path(const char *path, Read read) {
    if (!path) return fail(Err::argument, "no path");
    if (std::strcmp(path, "-") == 0) return read(stdin), true;
    FILE *f = std::fopen(path, "rbe");
    if (!f) return fail_system("cannot open");
    read(f);
    std::fclose(f);
    return true;
}

// The readers and writers, one pair a file.
AnyImageStruct *read_netpbm(Input &in, const Request &r);
AnyImageStruct *read_pam(Input &in, const Request &r);
AnyImageStruct *read_library(Input &in, const Request &r);
AnyImageStruct *read_png(Input &in, const Request &r);
AnyImageStruct *read_jpeg(Input &in, const Request &r);
AnyImageStruct *read_tiff(Input &in, const Request &r);
AnyImageStruct *read_webp(Input &in, const Request &r);
AnyImageStruct *read_bmp(Input &in, const Request &r);
AnyImageStruct *read_gif(Input &in, const Request &r);
bool write_netpbm(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_pam(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_png(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_jpeg(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_tiff(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_webp(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_bmp(const Picture &p, const tessera_io_save_options &o, FILE *out);
bool write_gif(const Picture &p, const tessera_io_save_options &o, FILE *out);

// The budget of a request in bytes: the decoded image may take it, and the decoder's own
// buffers beside the image as much again.
uint64_t budget(const Request &r);
// Whether a width x height image of element type tag fits the request's limits, with beside
// bytes held by the decoder at the same time; else false with the reason.
bool fits(const Request &r, uint64_t width, uint64_t height, uint16_t tag, uint64_t beside = 0);
// For a request of the header alone, once the reader knows the element type tag it would load
// into: records it and stops the reader (true: it returns as on a failure, and the caller drops
// the reason). False for a load.
bool header_read(const Request &r, uint16_t tag);
// The size a w x h picture is shrunk to so that it fits within box_w x box_h (a side of 0 or
// less: unbounded), its aspect kept; one already within keeps its size. False with the reason.
bool fit_size(int32_t w, int32_t h, int32_t box_w, int32_t box_h, int32_t &out_w, int32_t &out_h);
// Whether samples of maxval stay as stored: always in raw loads, deeper than 8 bits when kept.
inline bool keeps(const Request &r, uint32_t maxval) {
    return r.options->depth == TESSERA_IO_RAW || (r.options->depth == TESSERA_IO_KEEP && maxval > 255);
}
// Sets what a layout takes from the request: kept samples, the file's own type, the background.
inline void from_request(Layout &l, const Request &r) {
    l.keep = keeps(r, l.maxval);
    l.own = r.options->depth == TESSERA_IO_OWN;
    l.background = r.options->background;
}

} // namespace tessera::detail::io
