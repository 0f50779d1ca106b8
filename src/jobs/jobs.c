/* The work on one file: render, convert or edit, describe. The tessera tool and the cluster
 * runner (python3 -m tessera.batch, through the Python extension) both call these, so that the
 * same file and options give the same bytes whichever runs them. */
#include "jobs.h"

#include <ctype.h>
#include <errno.h>
#include <sys/stat.h>
#include <math.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

/* The format of an output: --format, else its extension; standard output takes fallback. */
static const out_format *output_format(const char *out, const job_options *o, const out_format *fallback,
                                       problem *why) {
    if (o->format) return o->format;
    if (strcmp(out, "-") == 0 && fallback) return fallback;
    const out_format *f = tessera_io_format_of_path(out);
    if (!f)
        say(why, TESSERA_ERROR_ARGUMENT, "unknown output format for '%s' (name it by extension or --format: %s)", out,
            tessera_io_format_names());
    return f;
}

/* Pictures of this many pixels or more are large: edited row by row where they can be. */
#define LARGE_PICTURE (1L << 24)

/* A row of n binary pixels painted: set ones in the foreground, the others in the background. */
static void painted(const int8_t *bits, RGB *to, int32_t n, const job_options *o) {
    for (int32_t x = 0; x < n; ++x) to[x] = bits[x] ? o->foreground : o->background;
}

/* Opens the drawing at path and chooses how it is rendered for out: its format, whether binary,
 * whether painted (a plain drawing in a chosen foreground is rendered binary and painted). *in
 * stands after the magic. 1, or 0 with why (nothing left open). */
static int open_drawing(const char *path, const char *out, const job_options *o, FILE **in, int *colour,
                        render_plan *p, problem *why) {
    /* The drawing is opened once, so that a pipe can be rendered: its first word tells its kind. */
    FILE *f = fopen(path, "r");
    if (!f) return say_system(why, "cannot open");
    magicStart();
    adtStringHeader *magic = NULL;
    magicGetString(f, &magic);
    const char *word = magic ? strGet(magic) : "";
    const int drawing = strcmp(word, "PTL") == 0 || strcmp(word, "CPTL") == 0;
    *colour = word[0] == 'C';
    if (!drawing) {
        say(why, TESSERA_ERROR_FORMAT, "not a drawing (a point list starts with PTL or CPTL; this starts with '%.20s')", word);
        strFree(magic);
        fclose(f);
        return 0;
    }
    strFree(magic);
    const out_format *format = NULL;
    if (o->has_foreground && *colour) {
        say(why, TESSERA_ERROR_ARGUMENT, "--foreground is for plain (PTL) drawings; a CPTL drawing has its own colours");
    } else {
        const out_format *fallback = tessera_io_format_named(*colour || o->rgb || o->has_foreground ? "ppm" : "pbm");
        format = output_format(out, o, fallback, why);
    }
    int binary = 0;
    if (format) {
        if (o->binary || o->rgb) binary = o->binary;
        else if (format->writes == IMAGE_BINARY || (format->writes & (IMAGE_BINARY | IMAGE_RGB)) == IMAGE_RGB)
            binary = format->writes == IMAGE_BINARY;
        else binary = !*colour && !o->has_foreground;
        if (!tessera_io_target_tag(format, binary ? IMAGE_BINARY : IMAGE_RGB, 0)) {
            say(why, TESSERA_ERROR_UNSUPPORTED, "a %s rendering cannot be written as %s", binary ? "binary" : "colour",
                format->name);
            format = NULL;
        }
    }
    if (!format) {
        fclose(f);
        return 0;
    }
    memset(p, 0, sizeof *p);
    p->format = format;
    p->tag = binary ? IMAGE_BINARY : IMAGE_RGB;
    p->paint = !binary && !*colour && o->has_foreground;
    p->type = p->paint ? IMAGE_BINARY : p->tag;
    *in = f;
    return 1;
}

/* Reads the whole drawing from in (a regular file: it is read again from its start) into p, with
 * its geometry. 1, or 0 with why. */
static int load_plan(FILE *in, const job_options *o, render_plan *p, problem *why) {
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode) || fseek(in, 0, SEEK_SET) != 0)
        return say(why, TESSERA_ERROR_ARGUMENT, "a drawing rendered an area at a time is a regular file, not a pipe");
    if (!(p->ptl = ptlLoadF(in))) return say_core(why);
    p->fills = 0;
    for (_ListNode *n = p->type == IMAGE_BINARY ? liFirst(p->ptl->elements) : NULL; n && !p->fills; n = liNext(n))
        p->fills = ((PointListElem)liGet(n))->type == PTL_FILL; /* colour renderings leave fills out */
    if (tessera_render_geometry(p->ptl, o->scale_x, o->scale_y, &p->x0, &p->y0, &p->width, &p->height) == 0) return 1;
    say_core(why);
    ptlFree(p->ptl);
    p->ptl = NULL;
    return 0;
}

int render_plan_open(const char *path, const char *out, const job_options *o, render_plan *p, problem *why) {
    FILE *in = NULL;
    int colour = 0;
    if (!open_drawing(path, out, o, &in, &colour, p, why)) return 0;
    const int ok = load_plan(in, o, p, why);
    fclose(in);
    return ok;
}

void render_plan_close(render_plan *p) {
    if (p->ptl) ptlFree(p->ptl);
    p->ptl = NULL;
}

int render_plan_area(const render_plan *p, const job_options *o, int32_t x, int32_t y, int32_t width, int32_t height,
                     void *pixels, int *clipped, problem *why) {
    if (p->fills)
        return say(why, TESSERA_ERROR_UNSUPPORTED,
                   "a binary rendering of a drawing with fills is made whole: a fill depends on the whole image");
    bool clip = false;
    AnyImageStruct *im = tessera_render_area(p->ptl, p->type, o->scale_x, o->scale_y, o->background, p->x0 + x,
                                             p->y0 + y, width, height, &clip);
    if (!im) return say_core(why);
    const ImageHeader *h = im->header;
    const size_t pixel = p->tag == IMAGE_RGB ? sizeof(RGB) : 1;
    for (int32_t r = 0; r < height; ++r) {
        unsigned char *to = (unsigned char *)pixels + (size_t)r * (size_t)width * pixel;
        if (p->paint) {
            painted((const int8_t *)im->data[h->yoffset + r] + h->xoffset, (RGB *)to, width, o);
        } else {
            memcpy(to, (const unsigned char *)im->data[h->yoffset + r] + (size_t)h->xoffset * pixel,
                   (size_t)width * pixel);
        }
    }
    im_Free_(im, p->type);
    if (clipped) *clipped = clip;
    return 1;
}

int render_plan_save(const render_plan *p, const job_options *o, const char *out, tessera_row_reader read,
                     void *context, problem *why) {
    tessera_io_save_options so;
    tessera_io_save_defaults(&so);
    so.quality = o->quality;
    so.compression = o->compression;
    so.lossless = o->lossless;
    if (tessera_io_save_rows(out, p->format, p->tag, p->width, p->height, read, context, &so) == 0) return 1;
    return say_io(why);
}

/* A rendering made band by band: the band that holds the rows asked for, rendered alone. */
typedef struct {
    const render_plan *plan;
    const job_options *o;
    int32_t rows;           /* a band */
    unsigned char *band;    /* its output pixels, rows one after another */
    int32_t top, band_rows; /* its first row and how many it holds (0 before the first) */
    int clipped, failed;    /* failed: a band could not be rendered, and why says why */
    problem why;
} banded;

static int band_row(void *context, int32_t y, void *row) {
    banded *b = context;
    const size_t bytes = (size_t)b->plan->width * (b->plan->tag == IMAGE_RGB ? sizeof(RGB) : 1);
    if (y < b->top || y >= b->top + b->band_rows) {
        b->top = y - y % b->rows;
        b->band_rows = b->plan->height - b->top < b->rows ? b->plan->height - b->top : b->rows;
        int clipped = 0;
        if (!render_plan_area(b->plan, b->o, 0, b->top, b->plan->width, b->band_rows, b->band, &clipped, &b->why)) {
            b->failed = 1;
            b->band_rows = 0;
            return -1;
        }
        b->clipped = b->clipped || clipped;
    }
    memcpy(row, b->band + (size_t)(y - b->top) * bytes, bytes);
    return 0;
}

/* A large rendering (LARGE_PICTURE pixels or more, or more than the budget holds at once) into a
 * format that writes rows as they come is made band by band, each band rendered alone, so that
 * only a band is ever in memory: the same file a whole rendering gives. Binary renderings of
 * drawings with flood fills (which need the whole image) and drawings from pipes are rendered
 * whole. in stands after the magic; returns 1 when the bands ran (*ok: how it went), else 0 with
 * in after the magic again, read anew. */
static int render_bands(FILE *in, const char *out, render_plan *p, const job_options *o, int *clipped, int *ok,
                        problem *why) {
    struct stat st;
    const long after_magic = ftell(in);
    problem ignored;
    if (!p->format->rows || strcmp(out, "-") == 0 || after_magic < 0 || fstat(fileno(in), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    const uint64_t bytes = p->type == IMAGE_RGB ? 4 : 1; /* a colour rendering counts its plots beside */
    /* the bounds alone tell the size: the elements are read only for a large rendering */
    bool colour;
    float x, y, w, h;
    int large = 0;
    if (fseek(in, 0, SEEK_SET) == 0 && ptlReadHeader(in, &colour, &x, &y, &w, &h, NULL) == 0) {
        PointList bounds = ptlNew(colour, x, y, w, h, NULL);
        int32_t width = 0, height = 0;
        if (bounds && tessera_render_geometry(bounds, o->scale_x, o->scale_y, NULL, NULL, &width, &height) == 0) {
            const uint64_t pixels = (uint64_t)width * (uint64_t)height;
            large = pixels >= LARGE_PICTURE || pixels * bytes > tessera_budget();
        }
        if (bounds) ptlFree(bounds);
    }
    if (large && load_plan(in, o, p, &ignored)) large = !p->fills;
    else large = 0;
    if (!large) {
        render_plan_close(p);
        /* read again up to the elements, so that the reader counts lines and keeps the comment
         * before the magic as the first time */
        adtStringHeader *magic = NULL;
        if (fseek(in, 0, SEEK_SET) != 0 || magicStart() != 0 || magicGetString(in, &magic) != 0 ||
            ftell(in) != after_magic)
            fseek(in, after_magic, SEEK_SET);
        strFree(magic);
        return 0;
    }
    /* bands of up to 16 MB rendered, and an eighth of the budget, beside their output pixels */
    const uint64_t most = tessera_budget() / 8 < (16u << 20) ? tessera_budget() / 8 : (16u << 20);
    const uint64_t rows = most / ((uint64_t)p->width * bytes);
    banded b = {p, o, rows < 1 ? 1 : rows > (uint64_t)p->height ? p->height : (int32_t)rows, NULL, 0, 0, 0, 0, {{0}, 0, 0}};
    b.band = malloc((size_t)b.rows * (size_t)p->width * (p->tag == IMAGE_RGB ? sizeof(RGB) : 1));
    if (!b.band) {
        *ok = say(why, TESSERA_ERROR_MEMORY, "out of memory for a band of the rendering");
    } else {
        *ok = render_plan_save(p, o, out, band_row, &b, why);
        if (!*ok && b.failed) *why = b.why;
    }
    *clipped = b.clipped;
    free(b.band);
    render_plan_close(p);
    return 1;
}

/* Renders one drawing into out; a warning, when some elements were clipped, goes to *clipped. */
int render_file(const char *path, const char *out, const job_options *o, int *clipped, problem *why) {
    FILE *in = NULL;
    int colour = 0, ok = 0;
    render_plan plan;
    if (!open_drawing(path, out, o, &in, &colour, &plan, why)) return 0;
    if (render_bands(in, out, &plan, o, clipped, &ok, why)) {
        fclose(in);
        return ok;
    }
    bool clip = false;
    AnyImageStruct *im = ptlLoadAndRender(in, colour, plan.type, o->scale_x, o->scale_y, o->background, &clip);
    fclose(in);
    if (!im) return say_core(why);
    *clipped = clip;
    if (plan.paint) {
        AnyImageStruct *rgb = im_NewOrWrap_(IMAGE_RGB, im->header->width, im->header->height, im->header->xoffset,
                                            im->header->yoffset, NULL, 0, 0, NULL);
        if (rgb && im->header->comment) rgb->header->comment = strNewCopy(im->header->comment);
        if (rgb) {
            const ImageHeader *h = rgb->header;
            for (int y = h->yoffset; y < h->yoffset + h->height; ++y) /* the image's own indices */
                painted((const int8_t *)im->data[y] + h->xoffset, (RGB *)rgb->data[y] + h->xoffset, h->width, o);
        }
        im_Free_(im, IMAGE_BINARY);
        if (!(im = rgb)) return say_core(why);
    }
    ok = write_output(im, plan.format, out, 0, o->quality, o->compression, o->lossless, NULL, why);
    im_Free_(im, im->header->tag);
    return ok;
}

const out_format *own_format(unsigned tag) {
    for (size_t i = 0; i < tessera_io_format_count(); ++i) {
        const out_format *f = tessera_io_format_at(i);
        if (f->writes == tag && f->name[0] == 'q') return f;
    }
    return tessera_io_format_named("pnm");
}

/* im laid over the background, when it has alpha and the options or the output's format ask for
 * that: an image without alpha of the same depth (im itself when nothing is to be done). The
 * background is one row, laid under each row of im in turn. */
static AnyImageStruct *flattened(AnyImageStruct *im, const out_format *f, const job_options *o) {
    const unsigned tag = im->header->tag;
    if ((tag != IMAGE_RGBA && tag != IMAGE_RGBA16) || (!o->flatten && (f->writes & tag))) return im;
    const ImageHeader *h = im->header;
    const uint16_t under_tag = tag == IMAGE_RGBA ? IMAGE_RGB : IMAGE_RGB16;
    const size_t elem = under_tag == IMAGE_RGB ? 3 : 6;
    RGBImageStruct *dot = im_NewOrWrap_(IMAGE_RGB, 1, 1, 0, 0, NULL, 0, 0, NULL);
    if (!dot) return NULL;
    dot->data[0][0] = o->background;
    AnyImageStruct *colour = under_tag == IMAGE_RGB ? (AnyImageStruct *)dot : tessera_io_convert(dot, under_tag, 0);
    AnyImageStruct *under = colour ? im_NewOrWrap_(under_tag, h->width, 1, h->xoffset, h->yoffset, NULL, 0, 0, NULL)
                                   : NULL;
    AnyImageStruct *out =
        under ? im_NewOrWrap_(under_tag, h->width, h->height, h->xoffset, h->yoffset, NULL, 0, 0, NULL) : NULL;
    if (under) im_Init_(under, under->header, colour->data[0]);
    for (int32_t y = 0; out && y < h->height; ++y) {
        im_SetOffset_(under, under->header, h->xoffset, h->yoffset + y);
        AnyImageStruct *row = tessera_over(im, under);
        if (row) {
            memcpy((char *)out->data[h->yoffset + y] + (ptrdiff_t)h->xoffset * (ptrdiff_t)elem,
                   (char *)row->data[h->yoffset + y] + (ptrdiff_t)h->xoffset * (ptrdiff_t)elem, (size_t)h->width * elem);
            im_Free_(row, under_tag);
        } else {
            im_Free_(out, under_tag);
            out = NULL;
        }
    }
    if (under) im_Free_(under, under_tag);
    if (colour && colour != (AnyImageStruct *)dot) im_Free_(colour, under_tag);
    im_Free_(dot, IMAGE_RGB);
    return out;
}

/* im with 16-bit samples cut to 8 when the options or the output's format ask for that. */
static AnyImageStruct *cut_depth(AnyImageStruct *im, const out_format *f, const job_options *o) {
    const unsigned tag = im->header->tag;
    const uint16_t eight = tag == IMAGE_GRAY16 ? IMAGE_GRAY : tag == IMAGE_RGB16 ? IMAGE_RGB : tag == IMAGE_RGBA16 ? IMAGE_RGBA : 0;
    if (!eight || (!o->depth8 && (f->writes & tag))) return im;
    return tessera_io_convert(im, eight, 0);
}

/* Writes result (made from im, whose comment it takes when it has none) in format f: alpha
 * flattened and 16 bits cut where the output or the options ask, the element type converted when
 * may_convert (or numeric images at 16 bits with deep). Frees result unless it is im. 1, or 0. */
static int write_result(AnyImageStruct *result, const AnyImageStruct *im, const out_format *f, const char *out,
                        const job_options *o, int may_convert, int deep, const tessera_io_metadata *meta,
                        problem *why) {
    for (int step = 0; result && step < 2; ++step) {
        AnyImageStruct *next = step == 0 ? flattened(result, f, o) : cut_depth(result, f, o);
        if (!next) step == 0 ? say_core(why) : say_io(why);
        if (next != result && result != im) im_Free_(result, result->header->tag);
        result = next;
    }
    const unsigned tag =
        !result ? 0 : deep ? result->header->tag : tessera_io_target_tag(f, (uint16_t)result->header->tag, may_convert);
    if (result && !tag) {
        say(why, TESSERA_ERROR_UNSUPPORTED, "%s holds another element type than this %s image (tessera convert changes it)",
            f->name, tag_name(result->header->tag));
        if (result != im) im_Free_(result, result->header->tag);
        result = NULL;
    }
    if (result && tag != result->header->tag) {
        AnyImageStruct *converted = tessera_io_convert(result, (uint16_t)tag, o->normalize);
        if (!converted) say_io(why);
        if (result != im) im_Free_(result, result->header->tag);
        result = converted;
    }
    int ok = 0;
    if (result) {
        if (!result->header->comment && im->header->comment) result->header->comment = strNewCopy(im->header->comment);
        ok = write_output(result, f, out, deep ? 16 : 0, o->quality, o->compression, o->lossless, meta, why);
    }
    if (result && result != im) im_Free_(result, result->header->tag);
    return ok;
}

static AnyImageStruct *thumbnail_op(AnyImageStruct *im, const int *v, const job_options *o);
static AnyImageStruct *crop_op(AnyImageStruct *im, const int *v, const job_options *o);
static AnyImageStruct *resize_op(AnyImageStruct *im, const int *v, const job_options *o);
static AnyImageStruct *flop_op(AnyImageStruct *im, const int *v, const job_options *o);
static AnyImageStruct *flip_op(AnyImageStruct *im, const int *v, const job_options *o);
static AnyImageStruct *rotate_op(AnyImageStruct *im, const int *v, const job_options *o);
static int crop_fits(const ImageHeader *h, const int *v, problem *why);

/* A large picture, or one too large to load whole (refused: the load refused it by its limits),
 * is edited by libtessera_io's pipeline, which gives the same file and reads it row by row where
 * its format allows, when the edit is one it does (a crop, a resize, a mirror, a turn, or a change of
 * format) and the result needs nothing a pipeline leaves out (alpha laid over the background, a
 * normalised conversion, numbers kept at 16 bits). Returns 1 when the pipeline ran (*ok: how it
 * went), 0 to leave the edit to the whole way. */
static int edit_rows(const char *in, const char *out, const job_options *o, image_op op, const int *values,
                     int may_convert, int refused, int *ok, problem *why) {
    /* the file is read twice (its header, then its rows): a pipe or a device could not be */
    struct stat st;
    if (o->flatten || o->normalize || o->to_srgb || strcmp(in, "-") == 0 || stat(in, &st) != 0 || !S_ISREG(st.st_mode) ||
        (op && op != crop_op && op != resize_op && op != flop_op && op != flip_op && op != rotate_op))
        return 0;
    problem ignored;
    tessera_io_info info;
    const uint16_t tag = probe_any(in, o->background, TESSERA_IO_OWN, &info, NULL, &ignored);
    if (!tag || (!refused && (int64_t)info.width * info.height < LARGE_PICTURE)) return 0;
    const int upright = o->keep_orientation || info.orientation <= 1;
    const unsigned alpha_tags = IMAGE_RGBA | IMAGE_RGBA16, numeric = IMAGE_INT | IMAGE_SHORT | IMAGE_FLOAT |
                                                                     IMAGE_DOUBLE | IMAGE_FLOAT3A | IMAGE_FLOAT3B;
    if (!tag || !upright || (o->keep_depth && (tag & numeric))) return 0;
    problem quiet;
    const out_format *f = output_format(out, o, own_format(tag), &quiet);
    if (!f || ((tag & alpha_tags) && !(f->writes & tag))) return 0;
    /* the type the whole way writes: 16 bits cut where asked or not held, then what the format takes */
    uint16_t result = tag;
    if (tag & (IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16) && (o->depth8 || !(f->writes & tag)))
        result = tag == IMAGE_GRAY16 ? IMAGE_GRAY : tag == IMAGE_RGB16 ? IMAGE_RGB : IMAGE_RGBA;
    result = tessera_io_target_tag(f, result, may_convert);
    if (!result) return 0;
    tessera_io_steps s;
    memset(&s, 0, sizeof s);
    s.tag = result != tag ? result : 0;
    s.filter = o->filter;
    ImageHeader h;
    memset(&h, 0, sizeof h);
    h.width = info.width, h.height = info.height;
    if (op == crop_op) {
        if (!crop_fits(&h, values, why)) return *ok = 0, 1;
        s.crop_left = values[0], s.crop_top = values[1], s.crop_width = values[2], s.crop_height = values[3];
    } else if (op == resize_op) {
        if (!resize_size(info.width, info.height, values, &s.width, &s.height, why)) return *ok = 0, 1;
    } else if (op == flop_op) {
        s.mirror = 1;
    } else if (op == flip_op) { /* top to bottom: a half turn, mirrored */
        s.degrees = 180, s.mirror = 1;
    } else if (op == rotate_op) {
        s.degrees = values[0];
    }
    tessera_io_load_options lo;
    tessera_io_load_defaults(&lo);
    lo.background = o->background, lo.keep_orientation = o->keep_orientation, lo.max_pixels = o->max_pixels;
    tessera_io_save_options so;
    tessera_io_save_defaults(&so);
    so.quality = o->quality, so.compression = o->compression, so.lossless = o->lossless;
    const tessera_io_metadata none = {0};
    if (o->strip) so.metadata = &none;
    *ok = tessera_io_pipeline(in, out, f, &s, &lo, &so, NULL) == 0 ? 1 : say_io(why);
    return 1;
}

/* Loads in, applies op (or nothing), converts when allowed and writes out. */

int edit_file(const char *in, const char *out, const job_options *o, image_op op, image_check check, const int *values,
              int may_convert, problem *why) {
    tessera_io_metadata meta = {0};
    int streamed_ok = 0;
    if (op != thumbnail_op && edit_rows(in, out, o, op, values, may_convert, 0, &streamed_ok, why)) return streamed_ok;
    /* a thumbnail is shrunk as it is loaded: a JPEG decoded at a fraction of its size */
    AnyImageStruct *im = op == thumbnail_op ? thumbnail_any(in, values[0], values[1], o->filter, o->background,
                                                            o->keep_orientation, o->to_srgb, o->max_pixels,
                                                            o->strip ? NULL : &meta, why)
                                            : load_any(in, o->background, TESSERA_IO_OWN, o->keep_orientation,
                                                       o->to_srgb, o->max_pixels, NULL, o->strip ? NULL : &meta, why);
    if (!im && op != thumbnail_op && tessera_io_last_error_code() == TESSERA_ERROR_LIMIT &&
        edit_rows(in, out, o, op, values, may_convert, 1, &streamed_ok, why))
        return streamed_ok;
    if (!im) return 0;
    const ImageHeader *h = im->header;
    int ok = 0;
    const out_format *f = output_format(out, o, own_format(h->tag), why);
    /* --keep-depth writes numeric images as they are: 16-bit samples where the format holds them
     * (a save at depth 16 takes them, and a save at 8 would not) */
    const int deep = f && o->keep_depth && !o->normalize && tessera_io_saves(f, (uint16_t)h->tag, 16) &&
                     !tessera_io_saves(f, (uint16_t)h->tag, 8);
    if (f && (!check || check(h, values, why))) {
        AnyImageStruct *result = op && op != thumbnail_op ? op(im, values, o) : im;
        if (!result) say_core(why);
        ok = result && write_result(result, im, f, out, o, may_convert, deep, &meta, why);
    }
    im_Free_(im, im->header->tag);
    tessera_io_metadata_free(&meta);
    return ok;
}

/* im as a colour type of the given depth (with alpha when asked); im itself when it is one. */
static AnyImageStruct *as_colour(AnyImageStruct *im, int deep, int alpha, problem *why) {
    const uint16_t want = deep ? (alpha ? IMAGE_RGBA16 : IMAGE_RGB16) : (alpha ? IMAGE_RGBA : IMAGE_RGB);
    if (im->header->tag == want) return im;
    AnyImageStruct *c = tessera_io_convert(im, want, 0);
    if (!c) say_io(why);
    return c;
}

int composite_file(const char *top_path, const char *bottom_path, const char *out, int32_t x, int32_t y,
                   const job_options *o, problem *why) {
    AnyImageStruct *top =
        load_any(top_path, o->background, TESSERA_IO_OWN, o->keep_orientation, o->to_srgb, o->max_pixels, NULL, NULL, why);
    if (!top) return 0;
    tessera_io_metadata meta = {0}; /* the bottom's: the result is its picture */
    AnyImageStruct *bottom = load_any(bottom_path, o->background, TESSERA_IO_OWN, o->keep_orientation, o->to_srgb, o->max_pixels,
                                      NULL, o->strip ? NULL : &meta, why);
    int ok = 0;
    const out_format *f = bottom ? output_format(out, o, own_format(bottom->header->tag), why) : NULL;
    if (f) {
        /* both of one depth: 16 bits when either has them; the bottom keeps its alpha */
        const unsigned deep_tags = IMAGE_GRAY16 | IMAGE_RGB16 | IMAGE_RGBA16;
        const int deep = ((top->header->tag | bottom->header->tag) & deep_tags) != 0;
        const int bottom_alpha = (bottom->header->tag & (IMAGE_RGBA | IMAGE_RGBA16)) != 0;
        AnyImageStruct *t = as_colour(top, deep, 1, why);
        AnyImageStruct *b = t ? as_colour(bottom, deep, bottom_alpha, why) : NULL;
        if (b) {
            /* top's first pixel on column x, row y of the bottom's */
            im_SetOffset_(t, t->header, b->header->xoffset + x, b->header->yoffset + y);
            AnyImageStruct *laid = tessera_over(t, b);
            if (!laid) say_core(why);
            ok = laid && write_result(laid, bottom, f, out, o, 1, 0, &meta, why);
        }
        if (b && b != bottom) im_Free_(b, b->header->tag);
        if (t && t != top) im_Free_(t, t->header->tag);
    }
    if (bottom) im_Free_(bottom, bottom->header->tag);
    im_Free_(top, top->header->tag);
    tessera_io_metadata_free(&meta);
    return ok;
}

/* DIR/NAME with the input's extension replaced by ext. */
char *output_path(const char *dir, const char *input, const char *ext) {
    const char *base = strrchr(input, '/');
    base = base ? base + 1 : input;
    const char *dot = strrchr(base, '.');
    const size_t stem = dot && dot != base ? (size_t)(dot - base) : strlen(base);
    const size_t n = strlen(dir) + stem + strlen(ext) + 3;
    char *path = malloc(n);
    if (path) snprintf(path, n, "%s/%.*s.%s", dir, (int)stem, base, ext);
    return path;
}

const char *edit_extension(const char *path) {
    const out_format *f = tessera_io_format_of_path(path);
    return f && f->writes ? f->name : "pnm";
}

const char *render_extension(const char *path, const job_options *o) {
    int colour = 0;
    return o->rgb || o->has_foreground || (is_drawing(path, &colour) && colour) ? "ppm" : "pbm";
}

/* ---- describing a file ---- */

static void json_string(FILE *out, const char *s) {
    fputc('"', out);
    for (; s && *s; ++s) {
        const unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') fprintf(out, "\\%c", c);
        else if (c == '\n') fprintf(out, "\\n");
        else if (c < 0x20) fprintf(out, "\\u%04x", c);
        else fputc(c, out);
    }
    fputc('"', out);
}

static void json_number(FILE *out, double v) {
    if (isfinite(v)) fprintf(out, "%.17g", v);
    else fprintf(out, "null");
}

/* The comment without the blank lines and spaces that end it. */
static char *trimmed(const adtStringHeader *comment) {
    const char *c = comment ? strGet(comment) : "";
    size_t n = strlen(c);
    while (n > 0 && (c[n - 1] == '\n' || c[n - 1] == ' ')) --n;
    char *t = malloc(n + 1);
    if (t) {
        memcpy(t, c, n);
        t[n] = '\0';
    }
    return t;
}

static void print_comment(FILE *out, const adtStringHeader *comment) {
    char *c = trimmed(comment);
    if (c && *c) {
        fprintf(out, "  comment: ");
        for (const char *p = c; *p; ++p) {
            fputc(*p, out);
            if (*p == '\n') fprintf(out, "           ");
        }
        fputc('\n', out);
    }
    free(c);
}

static int channels_of(unsigned tag) { return tag & (IMAGE_RGB | IMAGE_FLOAT3A | IMAGE_FLOAT3B) ? 3 : 1; }

/* The value of channel k of the element at v. */
static double value_of(unsigned tag, const void *v, int k) {
    switch (tag) {
    case IMAGE_GRAY: return *(const uint8_t *)v;
    case IMAGE_BINARY: return *(const int8_t *)v;
    case IMAGE_SHORT: return *(const int16_t *)v;
    case IMAGE_INT: return *(const int32_t *)v;
    case IMAGE_FLOAT: return *(const float *)v;
    case IMAGE_DOUBLE: return *(const double *)v;
    case IMAGE_RGB: return ((const uint8_t *)v)[k];
    default: return ((const float *)v)[k];
    }
}

static void json_values(FILE *out, unsigned tag, const void *v) {
    if (channels_of(tag) == 1) {
        json_number(out, value_of(tag, v, 0));
        return;
    }
    fprintf(out, "[");
    for (int k = 0; k < 3; ++k) {
        if (k) fprintf(out, ", ");
        json_number(out, value_of(tag, v, k));
    }
    fprintf(out, "]");
}

static int info_drawing(const char *path, const char *shown, int json, FILE *out, problem *why) {
    PointList ptl = ptlLoad(path);
    if (!ptl) return say_core(why);
    unsigned counts[5] = {0};
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) ++counts[((PointListElem)liGet(n))->type];
    if (json) {
        char *c = trimmed(ptl->comment);
        fprintf(out, "{\"file\": ");
        json_string(out, shown);
        fprintf(out, ", \"format\": \"%s\", \"bounds\": {\"x\": ", ptl->color ? "CPTL" : "PTL");
        json_number(out, ptl->x);
        fprintf(out, ", \"y\": ");
        json_number(out, ptl->y);
        fprintf(out, ", \"width\": ");
        json_number(out, ptl->width);
        fprintf(out, ", \"height\": ");
        json_number(out, ptl->height);
        fprintf(out, "}, \"comment\": ");
        json_string(out, c);
        fprintf(out, ", \"elements\": {\"points\": %u, \"lines\": %u, \"ellipses\": %u, \"fills\": %u}}\n",
                counts[PTL_POINT], counts[PTL_LINE], counts[PTL_ELLIPSE], counts[PTL_FILL]);
        free(c);
    } else {
        fprintf(out, "%s: %s point list\n", shown, ptl->color ? "CPTL colour" : "PTL plain");
        fprintf(out, "  bounds: x %g, y %g, width %g, height %g\n", (double)ptl->x, (double)ptl->y, (double)ptl->width,
                (double)ptl->height);
        print_comment(out, ptl->comment);
        fprintf(out, "  elements: %u points, %u lines, %u ellipses, %u fills\n", counts[PTL_POINT], counts[PTL_LINE],
                counts[PTL_ELLIPSE], counts[PTL_FILL]);
    }
    ptlFree(ptl);
    return 1;
}

/* What the profile, EXIF and XMP of a file are, as JSON members or lines of text. */
static void info_metadata(const tessera_io_metadata *m, int json, FILE *out) {
    char description[128];
    if (m->icc) icc_description(m->icc, m->icc_size, description, sizeof description);
    if (json) {
        fprintf(out, ", \"icc\": ");
        if (m->icc) {
            fprintf(out, "{\"bytes\": %zu, \"description\": ", m->icc_size);
            json_string(out, description);
            fprintf(out, ", \"colour_space\": \"%.4s\"}", m->icc_size >= 20 ? (const char *)m->icc + 16 : "");
        } else {
            fprintf(out, "null");
        }
        fprintf(out, ", \"exif\": ");
        if (m->exif) fprintf(out, "{\"bytes\": %zu}", m->exif_size);
        else fprintf(out, "null");
        fprintf(out, ", \"xmp\": ");
        if (m->xmp) fprintf(out, "{\"bytes\": %zu}", m->xmp_size);
        else fprintf(out, "null");
        return;
    }
    if (m->icc) fprintf(out, "  ICC profile: %zu bytes, \"%s\"\n", m->icc_size, description);
    if (m->exif) fprintf(out, "  EXIF: %zu bytes\n", m->exif_size);
    if (m->xmp) fprintf(out, "  XMP: %zu bytes\n", m->xmp_size);
}

/* What the header says (tag: the element type a load gives); with the image, when it was
 * decoded, its comment and each channel's minimum and maximum too. */
static void info_image(uint16_t tag, const AnyImageStruct *im, const tessera_io_info *what,
                       const tessera_io_metadata *meta, const char *shown, int json, FILE *out) {
    double max[3], min[3]; /* room for the largest element */
    if (im) im_MaxAndMin_((void *)im, im->header, max, min);
    if (json) {
        fprintf(out, "{\"file\": ");
        json_string(out, shown);
        fprintf(out,
                ", \"format\": \"%s\", \"type\": \"%s\", \"width\": %d, \"height\": %d, \"bits\": %d, \"maxval\": ",
                what->magic, tag_name(tag), what->width, what->height, what->bits);
        if (what->maxval) fprintf(out, "%u", what->maxval);
        else fprintf(out, "null");
        fprintf(out, ", \"channels\": %d, \"alpha\": %s, \"orientation\": ", what->channels,
                what->alpha ? "true" : "false");
        if (what->orientation) fprintf(out, "%d", what->orientation);
        else fprintf(out, "null");
        info_metadata(meta, 1, out);
        fprintf(out, ", \"xoffset\": %d, \"yoffset\": %d", im ? im->header->xoffset : 0, im ? im->header->yoffset : 0);
        if (im) {
            char *c = trimmed(im->header->comment);
            fprintf(out, ", \"comment\": ");
            json_string(out, c);
            free(c);
            fprintf(out, ", \"minimum\": ");
            json_values(out, tag, min);
            fprintf(out, ", \"maximum\": ");
            json_values(out, tag, max);
        }
        fprintf(out, "}\n");
        return;
    }
    fprintf(out, "%s: %s %s %d x %d", shown, what->magic, tag_name(tag), what->width, what->height);
    if (what->bits > 1 && what->maxval) fprintf(out, ", %d-bit, maxval %u", what->bits, what->maxval);
    if (what->alpha) fprintf(out, ", alpha");
    if (what->orientation) fprintf(out, ", orientation %d", what->orientation);
    fputc('\n', out);
    info_metadata(meta, 0, out);
    if (!im) return;
    print_comment(out, im->header->comment);
    for (int which = 0; which < 2; ++which) {
        fprintf(out, which ? "  maximum:" : "  minimum:");
        for (int k = 0; k < channels_of(tag); ++k)
            fprintf(out, " %g", value_of(tag, which ? (void *)max : (void *)min, k));
        fputc('\n', out);
    }
}

int describe_file(const char *path, const char *shown, const job_options *o, int json, FILE *out, problem *why) {
    int colour = 0;
    if (is_drawing(path, &colour)) return info_drawing(path, shown, json, out, why);
    /* The samples as the file holds them, so that minimum and maximum are the file's own; the
     * header alone unless they are asked for. */
    tessera_io_info what;
    tessera_io_metadata meta = {0};
    AnyImageStruct *im = NULL;
    uint16_t tag = 0;
    if (o->stats) {
        im = load_any(path, o->background, TESSERA_IO_RAW, 1, 0, o->max_pixels, &what, &meta, why);
        if (im) tag = im->header->tag;
    } else {
        tag = probe_any(path, o->background, TESSERA_IO_RAW, &what, &meta, why);
    }
    if (tag) info_image(tag, im, &what, &meta, shown, json, out);
    if (im) im_Free_(im, im->header->tag);
    tessera_io_metadata_free(&meta);
    return tag != 0;
}

void describe_failure(const char *shown, const problem *why, FILE *out) {
    fprintf(out, "{\"file\": ");
    json_string(out, shown);
    fprintf(out, ", \"error\": ");
    json_string(out, why->text);
    fprintf(out, "}\n");
}

/* ---- editing commands ------------------------------------------------------------------------- */

static int crop_fits(const ImageHeader *h, const int *v, problem *why) {
    if (v[2] <= 0 || v[3] <= 0) return say(why, TESSERA_ERROR_ARGUMENT, "the rectangle must have a positive width and height");
    if (v[0] < 0 || v[1] < 0 || (long)v[0] + v[2] > h->width || (long)v[1] + v[3] > h->height)
        return say(why, TESSERA_ERROR_ARGUMENT, "the rectangle %d,%d %dx%d does not lie inside the %d x %d image", v[0], v[1], v[2], v[3],
                   h->width, h->height);
    return 1;
}
static AnyImageStruct *crop_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)o;
    return imCrop(im, im->header->xoffset + v[0], im->header->yoffset + v[1], im->header->xoffset + v[0] + v[2],
                  im->header->yoffset + v[1] + v[3]);
}

static int scale_fits(const ImageHeader *h, const int *v, problem *why) {
    (void)h;
    return v[0] > 0 && v[1] > 0 ? 1 : say(why, TESSERA_ERROR_ARGUMENT, "the new width and height must be positive");
}
static AnyImageStruct *scale_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)o;
    return imScale(im, v[0], v[1]);
}

static int border_fits(const ImageHeader *h, const int *v, problem *why) {
    if (v[0] < 0) return say(why, TESSERA_ERROR_ARGUMENT, "the border must not be negative");
    if ((long)h->width + 2L * v[0] > 2147483647L || (long)h->height + 2L * v[0] > 2147483647L)
        return say(why, TESSERA_ERROR_ARGUMENT, "the border is too wide");
    return 1;
}
static AnyImageStruct *border_op(AnyImageStruct *im, const int *v, const job_options *o) {
    AnyImageStruct *out = imBorders(im, v[0]);
    if (out && o->has_color && !paint_border(out, v[0], o->color)) {
        im_Free_(out, out->header->tag);
        return NULL;
    }
    return out;
}

/* Resize's operand: WxH, W or xH (the other side keeps the aspect), or P% of both sides. The
 * values are width, height (0: from the aspect) and the percentage in thousandths (0: none). */
static int parse_resize(const char *const *args, int *v, problem *why) {
    const char *s = args[0];
    char *end;
    v[0] = v[1] = v[2] = 0;
    const char *bad = "is not a size (WxH, W, xH or P%)";
    if (strchr(s, '%')) {
        errno = 0;
        const double p = strtod(s, &end);
        if (errno || end == s || strcmp(end, "%") != 0 || !(p > 0) || p > 1e6 || *s == '+' ||
            isspace((unsigned char)*s))
            return say(why, TESSERA_ERROR_ARGUMENT, "%s %s", s, bad);
        v[2] = (int)lround(p * 1000);
        return v[2] > 0 ? 1 : say(why, TESSERA_ERROR_ARGUMENT, "%s is too small a percentage", s);
    }
    for (int side = 0; side < 2; ++side) {
        if (side == 1) {
            if (*s != 'x') return *s ? say(why, TESSERA_ERROR_ARGUMENT, "%s %s", args[0], bad) : 1;
            ++s;
        }
        if (side == 0 && *s == 'x') continue;
        if (!isdigit((unsigned char)*s)) return say(why, TESSERA_ERROR_ARGUMENT, "%s %s", args[0], bad);
        errno = 0;
        const long n = strtol(s, &end, 10);
        if (errno || n < 1 || n > 2147483647L) return say(why, TESSERA_ERROR_ARGUMENT, "%s: each side is from 1 to 2147483647", args[0]);
        v[side] = (int)n;
        s = end;
    }
    return *s ? say(why, TESSERA_ERROR_ARGUMENT, "%s %s", args[0], bad) : 1;
}

int resize_size(int32_t w, int32_t h, const int *v, int32_t *out_w, int32_t *out_h, problem *why) {
    int64_t nw = v[0], nh = v[1];
    if (v[2]) { /* a percentage of both sides, halves rounded up, at least one pixel */
        nw = ((int64_t)w * v[2] * 2 + 100000) / 200000;
        nh = ((int64_t)h * v[2] * 2 + 100000) / 200000;
        if (nw < 1) nw = 1;
        if (nh < 1) nh = 1;
    }
    /* a side left out keeps the aspect: the library's rule */
    return tessera_resize_size(w, h, nw, nh, out_w, out_h) == 0 ? 1 : say_core(why);
}

static int resize_fits(const ImageHeader *h, const int *v, problem *why) {
    int32_t w = 0, ht = 0;
    return resize_size(h->width, h->height, v, &w, &ht, why);
}
static AnyImageStruct *resize_op(AnyImageStruct *im, const int *v, const job_options *o) {
    int32_t w = 0, h = 0;
    problem why;
    if (!resize_size(im->header->width, im->header->height, v, &w, &h, &why)) return NULL;
    return tessera_resize(im, w, h, o->filter);
}

static AnyImageStruct *flip_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)v, (void)o;
    return tessera_flip_vertical(im);
}
static AnyImageStruct *flop_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)v, (void)o;
    return tessera_flip_horizontal(im);
}

static int parse_rotation(const char *const *args, int *v, problem *why) {
    const char *s = args[0];
    char *end, plain[24];
    errno = 0;
    const long degrees = strtol(s, &end, 10);
    /* an angle the library turns by, written as it prints ("90", "-270": no sign or zero added) */
    snprintf(plain, sizeof plain, "%ld", degrees);
    if (!errno && end != s && !*end && strcmp(plain, s) == 0 && tessera_rotation_allowed(degrees)) {
        v[0] = (int)degrees;
        return 1;
    }
    return say(why, TESSERA_ERROR_ARGUMENT, "%s: the angle is 90, 180 or 270 (clockwise; negative: anticlockwise)", s);
}
static AnyImageStruct *rotate_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)o;
    return tessera_rotate(im, v[0]);
}

/* SIZE of a thumbnail: a box (W, xH or WxH) the picture is shrunk to fit. */
static int parse_thumbnail(const char *const *args, int *v, problem *why) {
    if (!parse_resize(args, v, why)) return 0;
    return v[2] ? say(why, TESSERA_ERROR_ARGUMENT, "%s: a thumbnail's SIZE is a box, W, xH or WxH", args[0]) : 1;
}
/* The thumbnail is made as the file is loaded (see edit_file): nothing is left to do. */
static AnyImageStruct *thumbnail_op(AnyImageStruct *im, const int *v, const job_options *o) {
    (void)v, (void)o;
    return im;
}

static const edit_command edit_commands[] = {
    {"crop", 4, "LEFT TOP WIDTH HEIGHT", NULL, crop_fits, crop_op},
    {"scale", 2, "WIDTH HEIGHT", NULL, scale_fits, scale_op},
    {"border", 1, "N", NULL, border_fits, border_op},
    {"resize", 1, "SIZE", parse_resize, resize_fits, resize_op},
    {"flip", 0, "", NULL, NULL, flip_op},
    {"flop", 0, "", NULL, NULL, flop_op},
    {"rotate", 1, "ANGLE", parse_rotation, NULL, rotate_op},
    {"thumbnail", 1, "SIZE", parse_thumbnail, NULL, thumbnail_op},
};

const edit_command *edit_named(const char *name) {
    for (size_t i = 0; i < sizeof edit_commands / sizeof edit_commands[0]; ++i)
        if (strcmp(name, edit_commands[i].name) == 0) return &edit_commands[i];
    return NULL;
}

const edit_command *edit_each(int i) {
    return i >= 0 && i < (int)(sizeof edit_commands / sizeof edit_commands[0]) ? &edit_commands[i] : NULL;
}

int edit_values(const edit_command *c, const char *const *args, int values[EDIT_VALUES], problem *why) {
    if (c->parse) return c->parse(args, values, why);
    for (int i = 0; i < c->nvalues; ++i) {
        char *end;
        errno = 0;
        const long v = strtol(args[i], &end, 10);
        if (errno || end == args[i] || *end || v < -2147483647L || v > 2147483647L)
            return say(why, TESSERA_ERROR_ARGUMENT, "%s is not a whole number", args[i]);
        values[i] = (int)v;
    }
    return 1;
}

int filter_named(const char *name) { return tessera_filter_named(name); }

/* The library's filter names, comma-separated, made once. */
static char filter_list[96];
static void list_filters(void) {
    size_t used = 0;
    for (int f = 0; tessera_filter_name(f) && used < sizeof filter_list; ++f)
        used += (size_t)snprintf(filter_list + used, sizeof filter_list - used, "%s%s", f ? ", " : "",
                                 tessera_filter_name(f));
}
const char *filter_names(void) {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, list_filters);
    return filter_list;
}
