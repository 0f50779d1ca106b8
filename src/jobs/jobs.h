/* The work on one file, shared by the tessera tool and the cluster runner (python3 -m
 * tessera.batch): the same function writes the same bytes for the same file and options. */
#ifndef TESSERA_JOBS_JOBS_H
#define TESSERA_JOBS_JOBS_H

#include <stdio.h>

#include <tessera/ptl.h>

#include "files.h"

/* What a command's options ask of the work on each file. */
typedef struct job_options {
    float scale_x, scale_y; /* a rendering's scales */
    RGB background;         /* under alpha, and around a plain drawing painted in foreground */
    RGB foreground;         /* with has_foreground: plain drawings are painted in it */
    RGB color;              /* with has_color: the colour of a border */
    int has_foreground, has_color;
    int binary, rgb;          /* a rendering's element type, when chosen */
    int normalize;            /* conversions map a numeric image's range onto 0..255 */
    const out_format *format; /* the outputs' format; NULL: each output's extension */
    int filter;               /* resize's filter (TESSERA_NEAREST ... TESSERA_LANCZOS3) */
    int keep_depth;           /* numeric images are written as 16-bit samples where the format holds them */
    int depth8;               /* 16-bit samples are cut to 8 bits */
    int flatten;              /* alpha is composited over the background */
    int keep_orientation;     /* the pixels as stored, not turned upright by the file's orientation */
    int strip;                /* the inputs' profiles, EXIF and XMP are not written */
    int to_srgb;              /* colours are converted by the inputs' profiles to sRGB */
    int quality;              /* JPEG quality 1..100; 0: the library's */
    int compression;          /* PNG level 0..9, TIFF deflate level (0: none); -1: the format's default */
    int lossless;             /* WebP is written lossless */
    uint64_t max_pixels;      /* the largest image loaded; 0: libtessera_io's default */
    int stats;                /* info decodes the pixels: their comment, minimum and maximum */
} job_options;

typedef AnyImageStruct *(*image_op)(AnyImageStruct *im, const int *values, const job_options *o);
typedef int (*image_check)(const ImageHeader *h, const int *values, problem *why);

/* The commands that edit an image: crop, scale, border, resize, flip, flop and rotate. */
#define EDIT_VALUES 4
typedef struct edit_command {
    const char *name;
    int nvalues;          /* operands after FILE OUT (before the files with --out-dir) */
    const char *operands; /* their names, as the usage shows them */
    /* Reads the operands into values; NULL: each is a whole number. 1, or 0 with why. */
    int (*parse)(const char *const *args, int *values, problem *why);
    image_check check; /* against the loaded image, before op */
    image_op op;
} edit_command;

/* The editing command of that name, or NULL. */
const edit_command *edit_named(const char *name);
/* The i-th editing command, from 0, or NULL past the last. */
const edit_command *edit_each(int i);
/* Reads a command's operands (nvalues of them). 1, or 0 with why. */
int edit_values(const edit_command *c, const char *const *args, int values[EDIT_VALUES], problem *why);
/* The filter of that name (nearest, box, bilinear, bicubic, lanczos3), or -1. */
int filter_named(const char *name);
/* The filters' names, comma-separated. */
const char *filter_names(void);
/* The size a resize gives an image of w x h for resize's values (WxH, W, xH or P%), rounded
 * to whole pixels with the aspect kept when one side is left out. 1, or 0 with why. */
int resize_size(int32_t w, int32_t h, const int *values, int32_t *out_w, int32_t *out_h, problem *why);

/* The format an image of tag is written in when its output names none: its own Q format, else
 * pnm. */
const out_format *own_format(unsigned tag);
/* DIR/NAME with the input's extension replaced by ext (malloc'd; NULL when memory runs out). */
char *output_path(const char *dir, const char *input, const char *ext);
/* The extension of an edited file when none is chosen: its own format's, else pnm. */
const char *edit_extension(const char *path);
/* The extension of a rendering of path when none is chosen: ppm in colour, else pbm. */
const char *render_extension(const char *path, const job_options *o);
/* A drawing's rendering for an output, to be made an area at a time (bands, tiles on a
 * cluster): what render_file chooses from the drawing, the output and the options. */
typedef struct render_plan {
    PointList ptl;                 /* the drawing */
    const out_format *format;      /* the output's */
    uint16_t tag;                  /* the output's pixels: IMAGE_BINARY or IMAGE_RGB */
    unsigned short type;           /* rendered: IMAGE_BINARY or IMAGE_RGB */
    int paint;                     /* a binary rendering painted in the foreground over the background */
    int fills;                     /* a binary rendering with fills: it can only be made whole */
    int32_t x0, y0, width, height; /* the rendering's geometry */
} render_plan;
/* The plan of rendering the drawing at path (a regular file) into out. 1, or 0 with why. */
int render_plan_open(const char *path, const char *out, const job_options *o, render_plan *p, problem *why);
void render_plan_close(render_plan *p);
/* The output's pixels of the area at (x, y), width x height, counted from the rendering's first
 * pixel, into pixels: its rows one after another, width elements of p->tag each. *clipped (when
 * given): some element reaches past the drawing's bounds. 1, or 0 with why. */
int render_plan_area(const render_plan *p, const job_options *o, int32_t x, int32_t y, int32_t width, int32_t height,
                     void *pixels, int *clipped, problem *why);
/* Saves the rendering at out, its rows given by read (tessera_io_save_rows), in the plan's format
 * with the options' quality and compression. 1, or 0 with why. */
int render_plan_save(const render_plan *p, const job_options *o, const char *out, tessera_row_reader read,
                     void *context, problem *why);
/* Renders the drawing at path into out ("-": standard output); *clipped tells whether some
 * elements were clipped. A large drawing is rendered band by band where the output's format
 * writes rows. 1, or 0 with the reason in why. */
int render_file(const char *path, const char *out, const job_options *o, int *clipped, problem *why);
/* Loads in, applies op (no op: a conversion) after check, converts the element type when
 * may_convert and the output's format needs it, and writes out. 1, or 0 with why. */
int edit_file(const char *in, const char *out, const job_options *o, image_op op, image_check check, const int *values,
              int may_convert, problem *why);
/* Lays the image at top_path over the one at bottom_path by alpha, top's first pixel on column x
 * and row y of the bottom's, and writes the result (the bottom's size) to out. 1, or 0 with why. */
int composite_file(const char *top_path, const char *bottom_path, const char *out, int32_t x, int32_t y,
                   const job_options *o, problem *why);
/* Describes the file at path, named shown, on out: text, or with json one object on a line.
 * 1, or 0 with why. */
int describe_file(const char *path, const char *shown, const job_options *o, int json, FILE *out, problem *why);
/* The JSON object of a file that could not be described. */
void describe_failure(const char *shown, const problem *why, FILE *out);

#endif
