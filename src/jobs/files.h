/* The jobs' use of libtessera_io (loading and writing files) and the reasons for failures, for the
 * tessera tool and the Python package alike. */
#ifndef TESSERA_JOBS_FILES_H
#define TESSERA_JOBS_FILES_H

#include <tessera.h>
#include <tessera/io.h>

#include <stddef.h>

/* Why something failed, one line; each thread keeps its own. */
typedef struct problem {
    char text[600];
    int error; /* the errno of a system call that failed, or 0 */
    int code;  /* the kind of failure, a tessera_error_code */
} problem;

/* Each sets the problem and returns 0. */
int say(problem *p, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* For a system call that failed: the text is "doing: strerror(errno)" and errno is kept. */
int say_system(problem *p, const char *doing);
/* libtessera's reason for its last failure on this thread, with its code. */
int say_core(problem *p);
/* libtessera_io's reason for its last failure on this thread, with its code and errno. */
int say_io(problem *p);

/* An image format: a row of libtessera_io's table. */
typedef tessera_io_format out_format;

/* Whether the file at path is a drawing (a point list): 1 with *colour set for CPTL, else 0. */
int is_drawing(const char *path, int *colour);

/* Loads any image libtessera_io reads, samples as depth says (TESSERA_IO_OWN, _REDUCE, _KEEP,
 * _RAW), turned upright by its orientation unless keep_orientation; 0 max_pixels is its default
 * limit; its colours converted to sRGB by its profile when to_srgb; its profile, EXIF and XMP
 * into meta when not null. Null with a reason. */
AnyImageStruct *load_any(const char *path, RGB background, int depth, int keep_orientation, int to_srgb,
                         uint64_t max_pixels, tessera_io_info *info, tessera_io_metadata *meta, problem *why);

/* A thumbnail of the picture at path (as load_any loads it) fitting within width x height (a
 * side of 0: unbounded), resized with filter; a JPEG is shrunk as it is decoded. Null with a
 * reason. */
AnyImageStruct *thumbnail_any(const char *path, int32_t width, int32_t height, int filter, RGB background,
                              int keep_orientation, int to_srgb, uint64_t max_pixels, tessera_io_metadata *meta,
                              problem *why);

/* What a load of path as load_any would find, from its header alone (no pixel limit applies):
 * info, its profile, EXIF and XMP into meta when not null, and the element type the load gives;
 * 0 with a reason. */
uint16_t probe_any(const char *path, RGB background, int depth, tessera_io_info *info, tessera_io_metadata *meta,
                   problem *why);

/* Writes im in format f to path ("-": standard output) without harming what is there, with
 * samples of depth bits (0: as the image is), JPEG and WebP quality (0: 90), compression level
 * (-1: the format's default), lossless WebP and meta (null: none) where the format holds it. */
int write_output(AnyImageStruct *im, const out_format *f, const char *path, int depth, int quality, int compression,
                 int lossless, const tessera_io_metadata *meta, problem *why);

/* The description an ICC profile gives itself (its 'desc' tag, ASCII or the first of its
 * Unicode names, non-ASCII letters as '?') into text of size bytes; "" when it has none. */
void icc_description(const unsigned char *icc, size_t n, char *text, size_t size);

/* Sets every pixel of the frame of width n around the image's inside to colour. 0 when memory
 * runs out. */
int paint_border(AnyImageStruct *im, int n, RGB colour);

const char *tag_name(unsigned tag);

#endif
