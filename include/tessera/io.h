/* tessera/io.h - image files in every format tessera knows (libtessera_io, over libtessera).
 *
 * Formats come from one table: Netpbm (plain and raw, any maximum value), PAM, the library's own
 * raw "P4"/"P5"/"P6" and "Q" files, PNG, JPEG, TIFF, WebP, BMP and GIF. A file's format is found from its first
 * bytes, never from its name, so pipes, standard input and memory work as well as paths.
 *
 * Loaders return a new image (release it with im_Free_) or null; savers return 0 or -1. Either
 * way the reason for a failure is tessera_io_last_error() on the calling thread. Nothing here
 * prints, exits or aborts on a bad file. */
#ifndef TESSERA_IO_H
#define TESSERA_IO_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "export.h"
#include "geometry.h"
#include "image.h"

TESSERA_BEGIN_DECLS

/* One row of the table of formats. */
typedef struct tessera_io_format {
    const char *name;        /* "png" */
    const char *extensions;  /* file name extensions, space separated: "jpg jpeg" */
    const char *description; /* one line for people */
    uint16_t writes;         /* the element types it writes as they stand (IMAGE_ bits); 0: read only */
    int deep;                /* 1: writes 16-bit samples when asked (save depth 16): then also
                                IMAGE_INT, IMAGE_SHORT and float images as they stand (three-float
                                ones where it holds colour), rounded and clamped to 0..65535 */
    int rows;                /* 1: written a row at a time (tessera_io_save_rows, pipelines), so the
                                picture is never whole; 0: written from the whole picture */
} tessera_io_format;

TESSERA_API size_t tessera_io_format_count(void);
TESSERA_API const tessera_io_format *tessera_io_format_at(size_t i);
/* By name or extension, any case, with or without a leading dot; null when unknown. */
TESSERA_API const tessera_io_format *tessera_io_format_named(const char *name);
/* By the extension of a path; null when it has none or an unknown one. */
TESSERA_API const tessera_io_format *tessera_io_format_of_path(const char *path);
/* The format names, ", " between them: "pbm, pgm, ...". */
TESSERA_API const char *tessera_io_format_names(void);
/* The element type an image of tag takes in format f at 8 bits: tag itself when f writes it,
 * else the type it converts to when may_convert, else 0. */
TESSERA_API uint16_t tessera_io_target_tag(const tessera_io_format *f, uint16_t tag, int may_convert);

/* A pixel limit for callers who want one: 2^28 pixels (16384 x 16384). Loads have no pixel limit
 * unless max_pixels sets one; the budget in bytes (max_bytes) bounds them. */
#define TESSERA_IO_DEFAULT_MAX_PIXELS ((uint64_t)1 << 28)

/* How samples load. */
#define TESSERA_IO_REDUCE 0 /* scaled to 0..255 with rounding: gray, RGB or binary images */
#define TESSERA_IO_KEEP                                                                                                \
    1 /* files deeper than 8 bits load as stored, as IMAGE_INT (gray) or                                               \
         IMAGE_FLOAT3B (colour) holding 0..maxval; others as REDUCE */
#define TESSERA_IO_RAW                                                                                                 \
    2 /* every sample as stored: a PGM of maximum value 100 loads 0..100                                               \
         (label images), which saved at 8 bits reads darker */
#define TESSERA_IO_OWN                                                                                                 \
    3 /* the file's own type, the default: alpha and samples deeper than 8 bits                                        \
         kept, in IMAGE_GRAY, IMAGE_RGB, IMAGE_RGBA (gray with alpha too),                                             \
         IMAGE_GRAY16, IMAGE_RGB16 or IMAGE_RGBA16, samples scaled to 0..255                                           \
         or 0..65535; black and white as IMAGE_BINARY */

/* What a file carries beside its pixels, each a block of bytes (null and 0 when absent): the
 * ICC colour profile whole; EXIF as its TIFF structure, from the byte-order mark on (without
 * JPEG's "Exif\0\0"); the XMP packet as its UTF-8 text. Loads fill it in new blocks when asked
 * (release them with tessera_io_metadata_free); saves write each block where the format holds
 * it (see docs/formats.md). */
typedef struct tessera_io_metadata {
    void *icc;
    size_t icc_size;
    void *exif;
    size_t exif_size;
    void *xmp;
    size_t xmp_size;
} tessera_io_metadata;

/* Frees the blocks of m and empties it; null is ignored. */
TESSERA_API void tessera_io_metadata_free(tessera_io_metadata *m);

typedef struct tessera_io_load_options {
    uint16_t tag;                  /* element type wanted, 0 for the file's own (see docs/formats.md) */
    int depth;                     /* TESSERA_IO_OWN, TESSERA_IO_REDUCE, TESSERA_IO_KEEP or TESSERA_IO_RAW */
    RGB background;                /* what alpha is composited over where it is not kept */
    uint64_t max_pixels;           /* refuse images of more pixels before allocating; 0: no pixel limit */
    int keep_orientation;          /* 1: the pixels as stored; 0: turned upright by the file's EXIF or
                                      TIFF orientation (tessera_io_info.orientation tells which it was) */
    uint64_t max_bytes;            /* the budget of the load, refused before allocating when exceeded: the
                                      decoded image may take this many bytes, and what the decoder holds beside
                                      it (a file gathered from a pipe, a band of rows, a tile, coefficients) as
                                      many again; decoding work is bounded in proportion (a progressive JPEG's
                                      scans). 0: tessera_budget() (1 GiB unless set) */
    tessera_io_metadata *metadata; /* when not null, a load that succeeds replaces what it holds (freed
                                      first) with the file's profile, EXIF and XMP; a failed load
                                      leaves it as it was. An EXIF orientation the load applied
                                      reads 1 in the copy, as the pixels now stand. */
    int to_srgb;                   /* 1: colours converted from what the file's ICC profile says they are to sRGB
                                      (perceptual intent, Little CMS), CMYK JPEGs too; gray stays gray, with sRGB's
                                      curve; the metadata then holds the sRGB profile. Files without a profile
                                      are taken as sRGB. */
} tessera_io_load_options;

/* What a load found in the file. */
typedef struct tessera_io_info {
    const tessera_io_format *format;
    char magic[8]; /* "P5", "Q10", "PAM", "PNG", "JPEG", "TIFF", "WebP", "BMP", "GIF" */
    int32_t width;
    int32_t height;
    int channels;    /* colour channels: 1 or 3 */
    int alpha;       /* 1 when the file has an alpha channel */
    int bits;        /* bits a sample in the file: 1, 8, 16, 32 or 64 */
    uint32_t maxval; /* largest sample value of integer samples, else 0 */
    int orientation; /* the file's EXIF or TIFF orientation, 1 to 8 (1: stored upright; 6: to be
                        turned 90 degrees clockwise; see docs/formats.md); 0 when it has none */
} tessera_io_info;

typedef struct tessera_io_save_options {
    int depth;                           /* 0: as the image is (16-bit images at 16 bits where the format holds
                                            them, else at 8), other images at 8 bits; 8: 8-bit samples (16-bit
                                            images scaled down); 16: 16-bit samples in the deep formats, from
                                            numeric images as they stand and from 8-bit ones scaled by 257 */
    int quality;                         /* JPEG and lossy WebP quality 1..100; 0: 90 */
    int compression;                     /* PNG level 0..9 (-1: 6; 1..3 fast, filtered by the left neighbour and
                                            searched for runs only; 4..9 filtered and deflated as docs/formats.md
                                            tells); TIFF 1..9 deflate, TESSERA_IO_LZW LZW, 0 or -1 none */
    int lossless;                        /* WebP: 1 lossless, 0 lossy at quality (0: 90) */
    const tessera_io_metadata *metadata; /* profile, EXIF and XMP to write where the format holds
                                            them; null: none */
} tessera_io_save_options;

/* tessera_io_save_options.compression of TIFF's LZW (with the horizontal predictor). */
#define TESSERA_IO_LZW 10

/* Defaults: the file's own type (TESSERA_IO_OWN), black background, no pixel limit and the
 * process's budget / depth 0, quality 90, compression -1. A null options is refused. */
TESSERA_API void tessera_io_load_defaults(tessera_io_load_options *options);
TESSERA_API void tessera_io_save_defaults(tessera_io_save_options *options);

/* Loaders. A null options means the defaults; info may be null. "-" as a path is standard
 * input. The FILE and descriptor forms read from where the stream stands and leave it open. */
TESSERA_API void *tessera_io_load(const char *path, const tessera_io_load_options *options, tessera_io_info *info);
TESSERA_API void *tessera_io_load_file(FILE *in, const tessera_io_load_options *options, tessera_io_info *info);
TESSERA_API void *tessera_io_load_fd(int fd, const tessera_io_load_options *options, tessera_io_info *info);
TESSERA_API void *tessera_io_load_memory(const void *data, size_t size, const tessera_io_load_options *options,
                                         tessera_io_info *info);

/* A thumbnail of the picture at path: loaded as tessera_io_load does with these options (turned
 * upright unless keep_orientation), then resized with filter (TESSERA_NEAREST ...
 * TESSERA_LANCZOS3) to fit within width x height, its aspect kept (a side of 0: unbounded); a
 * picture within the box already keeps its size. A JPEG is decoded at 1/2, 1/4 or 1/8 of its
 * size (libjpeg's scaled transform) when that still covers the box, which takes a fraction of
 * the time and memory; the result then differs a little from a whole decode followed by the
 * same resize (see docs/formats.md). Null with the reason. "-" is standard input. */
TESSERA_API void *tessera_io_thumbnail(const char *path, int32_t width, int32_t height, int filter,
                                       const tessera_io_load_options *options, tessera_io_info *info);

/* What a load of path with these options would find, without decoding a pixel: info (width and
 * height as stored; its orientation says how a load turns them) and, when the options ask for
 * it, the metadata. Returns the element type the load would give, 0 on failure with the reason.
 * Only the header is read (a PNG's chunks before its pixels, a JPEG's markers before its first
 * scan, a TIFF's directory, a Netpbm or PAM header), so no pixel limit applies and a damaged or
 * short pixel stream is not seen. A GIF's alpha is whether its frame has a transparent colour; a
 * load gives alpha only when a pixel on the screen is transparent. "-" is standard input. */
TESSERA_API uint16_t tessera_io_probe(const char *path, const tessera_io_load_options *options, tessera_io_info *info);

/* What tessera_io_pipeline does to a picture on its way from one file to another, in this
 * order: a crop, a resize, a turn, a mirror and a change of element type. All zero: nothing. */
typedef struct tessera_io_steps {
    int32_t crop_left, crop_top;     /* the rectangle kept, inside the picture; */
    int32_t crop_width, crop_height; /* both sizes 0: the whole picture */
    int32_t width, height;           /* resized to this, as tessera_resize_size takes it (a side of 0
                                        keeps the aspect); both 0: not resized */
    int filter;                      /* the resize's: TESSERA_NEAREST ... TESSERA_LANCZOS3 */
    int32_t degrees;                 /* turned clockwise by 90, 180 or 270 (negative: anticlockwise); 0: not */
    int mirror;                      /* 1: mirrored left to right after the turn */
    uint16_t tag;                    /* converted to this element type as tessera_io_convert does
                                        (without normalising); 0: kept */
} tessera_io_steps;

/* Saves a picture made a row at a time: read(context, y, row) puts row y (asked for once each,
 * top to bottom) of width elements of type tag into row, and returns 0, or -1 to fail the save
 * (the reason: "the row reader failed at row y"). A format whose rows is 1 writes each row as
 * it is made, so the picture is never whole; others are given the whole picture, within the
 * budget. Paths, formats and options are tessera_io_save's, and so is the rule that a failed
 * save leaves what was at path. 0, or -1 with the reason. */
TESSERA_API int tessera_io_save_rows(const char *path, const tessera_io_format *format, uint16_t tag, int32_t width,
                                     int32_t height, tessera_row_reader read, void *context,
                                     const tessera_io_save_options *options);

/* Loads the picture at in as tessera_io_load does with load (null: the defaults), does steps
 * (null: none) to it, and saves the result at out as tessera_io_save does with save (format null:
 * out's extension decides). The picture's metadata goes with it, unless save gives its own (an
 * empty one strips it). The result is, byte for byte, what the load, imCrop, tessera_resize,
 * tessera_rotate, tessera_flip_horizontal, tessera_io_convert and the save give one after another.
 * When the reader gives a picture's rows one at a time (PNG not interlaced, JPEG, TIFF, PAM, raw
 * PGM and PPM, but not 8-bit ones with a comment, uncompressed BMP), the picture is never whole:
 * each result row is made from the rows it needs, and goes to the writer as it is made (TIFF,
 * JPEG, PAM) or into the result, which alone is whole (other formats). A turn goes through a
 * temporary file of tiles in $TMPDIR (else /tmp) as large as the picture before the turn. Memory
 * is then set by the widths, the filter and the turn's band of tiles, and load's limits bound only
 * the result made whole; the picture's decoded bytes are bounded as work (TESSERA_WORK_PER_BYTE
 * times the budget). "-" is standard input or output. 0, or -1 with the reason; a failed pipeline
 * leaves nothing at out. info may be null. */
TESSERA_API int tessera_io_pipeline(const char *in, const char *out, const tessera_io_format *format,
                                    const tessera_io_steps *steps, const tessera_io_load_options *load,
                                    const tessera_io_save_options *save, tessera_io_info *info);

/* Savers. format may be null: the path's extension decides. The image must be of a type the
 * format writes (tessera_io_target_tag with may_convert 0), a 16-bit image without alpha in a
 * format that writes its 8-bit type, or numeric with depth 16 in a deep format (see
 * tessera_io_format.deep); alpha is never dropped by a save. Saving to a path never harms what
 * is there: a new file appears whole or not at all, an existing one is replaced by rename
 * keeping its mode, owner and group, and symlinks are followed; a file with other hard links,
 * a FIFO or a device is written in place, only once the whole output is made and room for it
 * is reserved. "-" is standard output. */
TESSERA_API int tessera_io_save(void *im, const char *path, const tessera_io_format *format,
                                const tessera_io_save_options *options);
/* 1 when a save in format at depth (0, 8 or 16, as tessera_io_save_options.depth) takes an
 * image of element type tag as it is, by the rule above; else 0 with the reason (naming what
 * to do instead) in tessera_io_last_error(). Nothing is written. */
TESSERA_API int tessera_io_saves(const tessera_io_format *format, uint16_t tag, int depth);
TESSERA_API int tessera_io_save_file(void *im, FILE *out, const tessera_io_format *format,
                                     const tessera_io_save_options *options);
TESSERA_API int tessera_io_save_fd(void *im, int fd, const tessera_io_format *format,
                                   const tessera_io_save_options *options);
/* The encoded file in a new block (*data, *size); release it with free(). */
TESSERA_API int tessera_io_save_memory(void *im, const tessera_io_format *format,
                                       const tessera_io_save_options *options, void **data, size_t *size);

/* A new image of element type tag holding im's pixels: binary set pixels are black (0) and
 * clear ones white (255, or 65535); values below 128 (32896 in 16-bit images) become set pixels;
 * colours become gray by their luma; 8-bit and 16-bit samples scale by 257 between each other;
 * alpha is composited over black where the result has none, and opaque where the source has
 * none; numbers are rounded and clamped into the type's range, and normalize maps a numeric
 * image's range onto the full range of a gray or colour result. Null when memory runs out. */
TESSERA_API void *tessera_io_convert(void *im, uint16_t tag, int normalize);

/* Removes the temporary files of saves in progress, as tessera_remove_temporaries of
 * <tessera/file.h> does (every file the library writes by name goes through tessera_write_file,
 * which says how a save keeps what is there safe). Safe in a signal handler: a program that stops
 * on SIGINT or SIGTERM calls it before it ends. */
TESSERA_API void tessera_io_remove_temporaries(void);

/* Why the last failure of this library on this thread happened, the errno of a system call
 * that failed (else 0), and the kind of failure: a tessera_error_code of <tessera/error.h>
 * (TESSERA_ERROR_MEMORY, _FILE, _FORMAT, _LIMIT, _ARGUMENT or _UNSUPPORTED). */
TESSERA_API const char *tessera_io_last_error(void);
TESSERA_API int tessera_io_last_errno(void);
TESSERA_API int tessera_io_last_error_code(void);

TESSERA_END_DECLS

#endif
