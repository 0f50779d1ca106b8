/* The work on one file: render, convert or edit, describe. The tessera tool and the cluster
 * runner (python3 -m tessera.batch, through the Python extension) both call these, so that the
 * same file and options give the same bytes whichever runs them. */
#include "jobs.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

/* The format of an output: --format, else its extension; standard output takes fallback. */
static const out_format *output_format(const char *out, const job_options *o, const out_format *fallback,
                                       problem *why) {
    if (o->format) return o->format;
    if (strcmp(out, "-") == 0 && fallback) return fallback;
    const out_format *f = format_of_path(out);
    if (!f) say(why, "unknown output format (name it by extension or --format: %s)", format_names());
    return f;
}

/* Renders one drawing into out; a warning, when some elements were clipped, goes to *clipped. */
int render_file(const char *path, const char *out, const job_options *o, int *clipped, problem *why) {
    sniffed what;
    if (!sniff(path, &what, why)) return 0;
    if (what.kind != KIND_DRAWING)
        return say(why, "not a drawing (a point list starts with PTL or CPTL; this is %s)",
                   what.kind == KIND_PNG ? "a PNG image"
                   : what.format[0]      ? what.format
                                         : "unknown");
    if (o->has_foreground && what.colour)
        return say(why, "--foreground is for plain (PTL) drawings; a CPTL drawing has its own colours");
    const out_format *fallback = format_named(what.colour || o->rgb || o->has_foreground ? "ppm" : "pbm");
    const out_format *f = output_format(out, o, fallback, why);
    if (!f) return 0;
    int binary;
    if (o->binary || o->rgb) binary = o->binary;
    else if (f->tag == IMAGE_BINARY || f->tag == IMAGE_RGB) binary = f->tag == IMAGE_BINARY;
    else binary = !what.colour && !o->has_foreground;
    const unsigned type = binary ? IMAGE_BINARY : IMAGE_RGB;
    if (!target_tag(f, type, 0))
        return say(why, "a %s rendering cannot be written as %s", binary ? "binary" : "colour", f->name);
    FILE *in = fopen(path, "r");
    if (!in) return say_system(why, "cannot open");
    magicStart();
    adtStringHeader *magic = NULL;
    magicGetString(in, &magic);
    strFree(magic);
    /* A plain drawing in a chosen foreground is rendered binary and painted. */
    const int paint = !binary && !what.colour && o->has_foreground;
    bool clip = false;
    AnyImageStruct *im = ptlLoadAndRender(in, what.colour, paint ? IMAGE_BINARY : (unsigned short)type, o->scale_x,
                                          o->scale_y, o->background, &clip);
    fclose(in);
    if (!im) return say(why, "%s", tessera_last_error());
    *clipped = clip;
    if (paint) {
        AnyImageStruct *rgb = convert_image(im, IMAGE_RGB, 0);
        if (rgb && im->header->comment) rgb->header->comment = strNewCopy(im->header->comment);
        if (rgb) {
            const ImageHeader *h = rgb->header;
            for (int y = h->yoffset; y < h->yoffset + h->height; ++y) /* the image's own indices */
                for (int x = h->xoffset; x < h->xoffset + h->width; ++x)
                    ((RGB *)rgb->data[y])[x] = ((int8_t *)im->data[y])[x] ? o->foreground : o->background;
        }
        im_Free_(im, IMAGE_BINARY);
        if (!(im = rgb)) return say(why, "%s", tessera_last_error());
    }
    const int ok = write_output(im, f, out, why);
    im_Free_(im, im->header->tag);
    return ok;
}

/* Loads in, applies op (or nothing), converts when allowed and writes out. */
int edit_file(const char *in, const char *out, const job_options *o, image_op op, image_check check, const int *values,
              int may_convert, problem *why) {
    sniffed what;
    AnyImageStruct *im = load_any(in, o->background, &what, why);
    if (!im) return 0;
    const ImageHeader *h = im->header;
    int ok = 0;
    AnyImageStruct *result = NULL;
    const out_format *f =
        output_format(out, o, format_named(magic_of(h->tag)[0] == 'Q' ? magic_of(h->tag) : "pnm"), why);
    const unsigned tag = f ? target_tag(f, h->tag, may_convert) : 0;
    if (!f) {
    } else if (!tag) {
        say(why, "%s holds another element type than this %s image (tessera convert changes it)", f->name,
            tag_name(h->tag));
    } else if (!check || check(h, values, why)) {
        result = op ? op(im, values, o) : im;
        if (result && tag != result->header->tag) {
            AnyImageStruct *converted = convert_image(result, tag, o->normalize);
            if (result != im) im_Free_(result, result->header->tag);
            result = converted;
        }
        if (!result) say(why, "%s", tessera_last_error());
        else {
            if (!result->header->comment && h->comment) result->header->comment = strNewCopy(h->comment);
            ok = write_output(result, f, out, why);
        }
    }
    if (result && result != im) im_Free_(result, result->header->tag);
    im_Free_(im, im->header->tag);
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

const char *render_extension(const char *path, const job_options *o) {
    sniffed what;
    problem why;
    const int colour = o->rgb || o->has_foreground || (sniff(path, &what, &why) && what.colour);
    return colour ? "ppm" : "pbm";
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
    if (!ptl) return say(why, "%s", tessera_last_error());
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

static int info_image(AnyImageStruct *im, const sniffed *what, const char *shown, int json, FILE *out) {
    const ImageHeader *h = im->header;
    double max[3], min[3]; /* room for the largest element */
    im_MaxAndMin_(im, im->header, max, min);
    if (json) {
        char *c = trimmed(h->comment);
        fprintf(out, "{\"file\": ");
        json_string(out, shown);
        fprintf(out,
                ", \"format\": \"%s\", \"type\": \"%s\", \"width\": %d, \"height\": %d, \"maxval\": ", what->format,
                tag_name(h->tag), h->width, h->height);
        if (what->maxval) fprintf(out, "%d", what->maxval);
        else fprintf(out, "null");
        fprintf(out, ", \"xoffset\": %d, \"yoffset\": %d, \"comment\": ", h->xoffset, h->yoffset);
        json_string(out, c);
        fprintf(out, ", \"minimum\": ");
        json_values(out, h->tag, min);
        fprintf(out, ", \"maximum\": ");
        json_values(out, h->tag, max);
        fprintf(out, "}\n");
        free(c);
    } else {
        fprintf(out, "%s: %s %s %d x %d", shown, what->format, tag_name(h->tag), h->width, h->height);
        if (what->maxval > 1) fprintf(out, ", maxval %d", what->maxval);
        fputc('\n', out);
        print_comment(out, h->comment);
        for (int which = 0; which < 2; ++which) {
            fprintf(out, which ? "  maximum:" : "  minimum:");
            for (int k = 0; k < channels_of(h->tag); ++k)
                fprintf(out, " %g", value_of(h->tag, which ? (void *)max : (void *)min, k));
            fputc('\n', out);
        }
    }
    return 1;
}

int describe_file(const char *path, const char *shown, const job_options *o, int json, FILE *out, problem *why) {
    sniffed what;
    int ok = sniff(path, &what, why);
    if (ok && what.kind == KIND_DRAWING) return info_drawing(path, shown, json, out, why);
    if (!ok) return 0;
    AnyImageStruct *im = load_any(path, o->background, &what, why);
    ok = im && info_image(im, &what, shown, json, out);
    if (im) im_Free_(im, im->header->tag);
    return ok;
}

void describe_failure(const char *shown, const problem *why, FILE *out) {
    fprintf(out, "{\"file\": ");
    json_string(out, shown);
    fprintf(out, ", \"error\": ");
    json_string(out, why->text);
    fprintf(out, "}\n");
}
