/* tessera - render point-list drawings and inspect, crop, scale and border image files.
 * Every error a user can cause is one line on standard error and exit status 2; an output never
 * leaves half a file and never replaces a link, FIFO, device or a file's other names. */
#include <tessera.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef TESSERA_HAVE_PNG
#include <png.h>
#endif

#define ALL_TAGS 0xffff

static int fail(const char *what, const char *fmt, ...) {
    va_list ap;
    fprintf(stderr, "tessera: %s: ", what);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return 2;
}

/* ---- numbers and names ------------------------------------------------------------------- */

static int parse_int(const char *text, long lo, long hi, int *out) {
    char *end;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) return 0;
    *out = (int)v;
    return 1;
}

static int parse_scale(const char *text, float *out) {
    char *end;
    errno = 0;
    const float v = strtof(text, &end);
    if (errno || end == text || *end || !(v > 0) || v > 1e6f) return 0;
    *out = v;
    return 1;
}

static int parse_colour(const char *text, RGB *out) {
    char *end;
    if (text[0] != '#' || strlen(text) != 7) return 0;
    const unsigned long v = strtoul(text + 1, &end, 16);
    if (*end) return 0;
    out->r = (uint8_t)(v >> 16);
    out->g = (uint8_t)(v >> 8);
    out->b = (uint8_t)v;
    return 1;
}

static const char *tag_name(unsigned tag) {
    switch (tag) {
    case IMAGE_GRAY: return "IMAGE_GRAY";
    case IMAGE_FLOAT: return "IMAGE_FLOAT";
    case IMAGE_RGB: return "IMAGE_RGB";
    case IMAGE_DOUBLE: return "IMAGE_DOUBLE";
    case IMAGE_BINARY: return "IMAGE_BINARY";
    case IMAGE_INT: return "IMAGE_INT";
    case IMAGE_SHORT: return "IMAGE_SHORT";
    case IMAGE_FLOAT3A: return "IMAGE_FLOAT3A";
    case IMAGE_FLOAT3B: return "IMAGE_FLOAT3B";
    default: return "unknown";
    }
}

static const char *magic_of(unsigned tag) {
    switch (tag) {
    case IMAGE_GRAY: return "P5";
    case IMAGE_FLOAT: return "Q1";
    case IMAGE_RGB: return "P6";
    case IMAGE_DOUBLE: return "Q2";
    case IMAGE_BINARY: return "P4";
    case IMAGE_INT: return "Q3";
    case IMAGE_SHORT: return "Q4";
    case IMAGE_FLOAT3A: return "Q10";
    case IMAGE_FLOAT3B: return "Q11";
    default: return "?";
    }
}

/* Whether s ends with suffix, in either case (".PPM" is a .ppm file). */
static int ends_with(const char *s, const char *suffix) {
    const size_t n = strlen(s), m = strlen(suffix);
    return n >= m && strcasecmp(s + n - m, suffix) == 0;
}

static int known_magic(const char *word) {
    static const unsigned tags[] = {IMAGE_GRAY, IMAGE_FLOAT, IMAGE_RGB,     IMAGE_DOUBLE, IMAGE_BINARY,
                                    IMAGE_INT,  IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B};
    for (size_t i = 0; i < sizeof tags / sizeof tags[0]; ++i)
        if (strcmp(word, magic_of(tags[i])) == 0) return 1;
    return 0;
}

/* The first header word of a file: an image magic or "PTL"/"CPTL". 0 when unreadable. */
static int first_word(const char *path, char *word, size_t size) {
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    adtStringHeader *s = NULL;
    magicStart();
    const int ok = magicGetString(f, &s) == 0;
    snprintf(word, size, "%s", strGet(s));
    strFree(s);
    fclose(f);
    return ok;
}

static void print_comment(const adtStringHeader *comment) {
    const char *c = strGet(comment);
    size_t n = strlen(c);
    while (n > 0 && (c[n - 1] == '\n' || c[n - 1] == ' ')) --n;
    if (n == 0) return;
    printf("  comment: ");
    for (size_t i = 0; i < n; ++i) {
        putchar(c[i]);
        if (c[i] == '\n') printf("           ");
    }
    putchar('\n');
}

/* ---- writing outputs safely ---------------------------------------------------------------- */

typedef int (*writer)(void *im, const char *path);

static int write_native(void *im, const char *path) { return im_Save_(im, ((AnyImageStruct *)im)->header, path) == 0; }

#ifdef TESSERA_HAVE_PNG
static int write_png(void *im, const char *path) {
    AnyImageStruct *any = im;
    const ImageHeader *h = any->header;
    if (h->tag != IMAGE_RGB && h->tag != IMAGE_BINARY && h->tag != IMAGE_GRAY) return 0;
    FILE *f = path ? fopen(path, "wb") : stdout;
    if (!f) return 0;
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = (png_uint_32)h->width;
    image.height = (png_uint_32)h->height;
    image.format = h->tag == IMAGE_RGB ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    const size_t channels = h->tag == IMAGE_RGB ? 3 : 1;
    const size_t row = (size_t)h->width * channels;
    unsigned char *pixels = malloc(row * (size_t)h->height);
    int ok = pixels != NULL;
    for (int y = 0; ok && y < h->height; ++y) {
        const unsigned char *src = (const unsigned char *)any->data[h->yoffset + y] + (long)h->xoffset * (long)channels;
        for (size_t x = 0; x < row; ++x)
            pixels[(size_t)y * row + x] = h->tag == IMAGE_BINARY ? (src[x] ? 0 : 255) : src[x];
    }
    ok = ok && png_image_write_to_stdio(&image, f, 0, pixels, (png_int_32)row, NULL);
    free(pixels);
    return (path ? fclose(f) == 0 : fflush(f) == 0) && ok;
}
#endif

/* Copies the file at from into the open stream to; false on a read or write error. */
static int copy_into(const char *from, FILE *to) {
    FILE *in = fopen(from, "rb");
    if (!in) return 0;
    char buf[65536];
    size_t n;
    int ok = 1;
    while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, to) == n;
    ok = ok && !ferror(in);
    fclose(in);
    return ok;
}

/* Makes the whole result in a temporary file first, then writes it into target as it stands:
 * a FIFO, a device or socket, or a file with other names (hard links), which must not be
 * replaced. */
static int write_in_place(void *im, const char *shown, const char *target, writer w) {
    const char *dir = getenv("TMPDIR");
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s/tessera-XXXXXX", dir && *dir ? dir : "/tmp");
    const int fd = mkstemp(tmp);
    if (fd < 0) return fail(shown, "cannot make a temporary file: %s", strerror(errno));
    close(fd);
    int status = 0;
    if (!w(im, tmp)) {
        status = fail(shown, "cannot write the image");
    } else {
        FILE *out = fopen(target, "wb");
        if (!out) status = fail(shown, "cannot open for writing: %s", strerror(errno));
        else {
            const int ok = copy_into(tmp, out);
            if (fclose(out) != 0 || !ok) status = fail(shown, "cannot write: %s", strerror(errno));
        }
    }
    unlink(tmp);
    return status;
}

/* Writes to a temporary file beside target, gives it the mode, owner and group of the file it
 * replaces (when there is one; owner and group where permitted), then renames it into place:
 * a failure never leaves half a file. */
static int write_replacing(void *im, const char *shown, const char *target, const struct stat *old, writer w) {
    const size_t n = strlen(target) + 32;
    char *tmp = malloc(n);
    if (!tmp) return fail(shown, "out of memory");
    snprintf(tmp, n, "%s.tmp-%ld", target, (long)getpid());
    int status = 0;
    if (!w(im, tmp)) status = fail(shown, "cannot write the file");
    else {
        if (old) {
            chmod(tmp, old->st_mode & 07777);
            if (chown(tmp, old->st_uid, old->st_gid) != 0) { /* kept as the writer's own */
            }
        }
        if (rename(tmp, target) != 0) status = fail(shown, "cannot replace the file: %s", strerror(errno));
    }
    if (status) unlink(tmp);
    free(tmp);
    return status;
}

/* Writes the result to path without hurting what is there. "-" is standard output. A symlink
 * is written through to its target. A FIFO, device or socket, and a file with more than one
 * hard link, are written in place (the result made whole first); anything else is replaced by
 * rename. Input and output may be the same file. */
static int write_output(void *im, const char *path, writer w) {
    if (strcmp(path, "-") == 0) {
        if (!w(im, NULL) || fflush(stdout) != 0) return fail("-", "cannot write to standard output");
        return 0;
    }
    struct stat st;
    if (stat(path, &st) != 0) return write_replacing(im, path, path, NULL, w); /* a new file */
    char *real = realpath(path, NULL);
    const char *target = real ? real : path;
    int status;
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode) ||
        (S_ISREG(st.st_mode) && st.st_nlink > 1))
        status = write_in_place(im, path, target, w);
    else if (S_ISREG(st.st_mode)) status = write_replacing(im, path, target, &st, w);
    else status = fail(path, "not a file that can be written");
    free(real);
    return status;
}

static writer writer_for(const char *out, unsigned tag, const char **problem) {
    *problem = NULL;
    if (ends_with(out, ".png")) {
#ifdef TESSERA_HAVE_PNG
        if (tag == IMAGE_RGB || tag == IMAGE_BINARY || tag == IMAGE_GRAY) return write_png;
        *problem = "PNG output holds gray, binary or RGB images only";
#else
        *problem = "this tessera was built without PNG support";
#endif
        return NULL;
    }
    /* The library's own formats by extension; any other name would get data it does not say. */
    static const struct {
        const char *ext;
        unsigned tag;
    } native[] = {{".pbm", IMAGE_BINARY}, {".pgm", IMAGE_GRAY},    {".ppm", IMAGE_RGB},
                  {".q1", IMAGE_FLOAT},   {".q2", IMAGE_DOUBLE},   {".q3", IMAGE_INT},
                  {".q4", IMAGE_SHORT},   {".q10", IMAGE_FLOAT3A}, {".q11", IMAGE_FLOAT3B}};
    if (strcmp(out, "-") == 0) return write_native; /* standard output: the image's own format */
    if (ends_with(out, ".pnm")) {
        if (tag != IMAGE_BINARY && tag != IMAGE_GRAY && tag != IMAGE_RGB)
            *problem = "a .pnm file holds binary, gray or RGB images only";
        return *problem ? NULL : write_native;
    }
    for (size_t i = 0; i < sizeof native / sizeof native[0]; ++i)
        if (ends_with(out, native[i].ext)) {
            if (tag != native[i].tag) *problem = "the extension names another element type than the image's";
            return *problem ? NULL : write_native;
        }
    *problem = "unknown output format (use .pbm, .pgm, .ppm, .pnm, .png, .q1 to .q4, .q10, .q11, or - for standard "
               "output)";
    return NULL;
}

/* ---- commands ------------------------------------------------------------------------------ */

static const char *usage =
    "usage: tessera COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  render DRAWING OUT [--scale S | --scale-x X --scale-y Y] [--binary | --rgb] [--background '#rrggbb']\n"
    "                     render a point-list file; OUT ends in .pbm, .ppm or .png\n"
    "  info FILE...       describe image and point-list files\n"
    "  crop FILE OUT LEFT TOP WIDTH HEIGHT\n"
    "                     cut a rectangle out of an image\n"
    "  scale FILE OUT WIDTH HEIGHT\n"
    "                     resample an image to a new size (nearest neighbour)\n"
    "  border FILE OUT N  surround an image with a zero border of N pixels\n"
    "\n"
    "options: --help (also after a command), --version\n";

static int cmd_render(int argc, char **argv) {
    if (argc < 2) return fail("render", "needs a drawing and an output file (see tessera render --help)");
    const char *drawing = argv[0], *out = argv[1];
    float xs = 1, ys = 1;
    int want_binary = -1;
    RGB background = {0, 0, 0};
    for (int i = 2; i < argc; ++i) {
        const char *a = argv[i];
        const int has_value = i + 1 < argc;
        if (strcmp(a, "--binary") == 0 || strcmp(a, "--rgb") == 0) {
            want_binary = strcmp(a, "--binary") == 0;
        } else if (strcmp(a, "--scale") == 0 && has_value) {
            if (!parse_scale(argv[++i], &xs)) return fail("--scale", "'%s' is not a positive number", argv[i]);
            ys = xs;
        } else if (strcmp(a, "--scale-x") == 0 && has_value) {
            if (!parse_scale(argv[++i], &xs)) return fail("--scale-x", "'%s' is not a positive number", argv[i]);
        } else if (strcmp(a, "--scale-y") == 0 && has_value) {
            if (!parse_scale(argv[++i], &ys)) return fail("--scale-y", "'%s' is not a positive number", argv[i]);
        } else if (strcmp(a, "--background") == 0 && has_value) {
            if (!parse_colour(argv[++i], &background))
                return fail("--background", "'%s' is not a colour of the form #rrggbb", argv[i]);
        } else {
            return fail(a, "unknown option for render, or a missing value");
        }
    }
    FILE *f = fopen(drawing, "r");
    if (!f) return fail(drawing, "cannot open: %s", strerror(errno));
    magicStart();
    adtStringHeader *magic = NULL;
    const int have_magic = magicGetString(f, &magic) == 0;
    const int colour = have_magic && strcmp(strGet(magic), "CPTL") == 0;
    if (!have_magic || (!colour && strcmp(strGet(magic), "PTL") != 0)) {
        strFree(magic);
        fclose(f);
        return fail(drawing, "not a point-list file (it does not start with PTL or CPTL)");
    }
    strFree(magic);
    if (want_binary < 0) want_binary = ends_with(out, ".pbm") ? 1 : ends_with(out, ".ppm") ? 0 : !colour;
    const unsigned short type = want_binary ? IMAGE_BINARY : IMAGE_RGB;
    const char *problem;
    const writer w = writer_for(out, type, &problem);
    if (!w) {
        fclose(f);
        return fail(out, "%s", problem);
    }
    bool clipped = false;
    void *im = ptlLoadAndRender(f, colour, type, xs, ys, background, &clipped);
    fclose(f);
    if (!im)
        return fail(drawing, "cannot render: a damaged point list, bounds with no pixels at this scale, or too large");
    if (clipped) fprintf(stderr, "tessera: warning: %s: some elements were clipped at the bounds\n", drawing);
    const int status = write_output(im, out, w);
    im_Free_(im, type);
    return status;
}

static int info_drawing(const char *path) {
    PointList ptl = ptlLoad(path);
    if (!ptl) return fail(path, "a damaged point-list file");
    unsigned counts[5] = {0};
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) ++counts[((PointListElem)liGet(n))->type];
    printf("%s: %s point list\n", path, ptl->color ? "CPTL colour" : "PTL plain");
    printf("  bounds: x %g, y %g, width %g, height %g\n", (double)ptl->x, (double)ptl->y, (double)ptl->width,
           (double)ptl->height);
    print_comment(ptl->comment);
    printf("  elements: %u points, %u lines, %u ellipses, %u fills\n", counts[PTL_POINT], counts[PTL_LINE],
           counts[PTL_ELLIPSE], counts[PTL_FILL]);
    ptlFree(ptl);
    return 0;
}

static void print_values(const char *label, unsigned tag, const void *v) {
    printf("%s", label);
    switch (tag) {
    case IMAGE_GRAY: printf(" %u", *(const uint8_t *)v); break;
    case IMAGE_BINARY: printf(" %d", *(const int8_t *)v); break;
    case IMAGE_SHORT: printf(" %d", *(const int16_t *)v); break;
    case IMAGE_INT: printf(" %d", *(const int32_t *)v); break;
    case IMAGE_FLOAT: printf(" %g", (double)*(const float *)v); break;
    case IMAGE_DOUBLE: printf(" %g", *(const double *)v); break;
    case IMAGE_RGB: {
        const RGB *c = v;
        printf(" %u %u %u", c->r, c->g, c->b);
        break;
    }
    default: {
        const float *f = v;
        printf(" %g %g %g", (double)f[0], (double)f[1], (double)f[2]);
    }
    }
}

static int info_image(const char *path) {
    AnyImageStruct *im = im_Load(ALL_TAGS, path);
    if (!im) return fail(path, "not a readable image file (a damaged header or too little pixel data)");
    const ImageHeader *h = im->header;
    printf("%s: %s %s %d x %d\n", path, magic_of(h->tag), tag_name(h->tag), h->width, h->height);
    print_comment(h->comment);
    double max[3], min[3]; /* room for the largest element */
    im_MaxAndMin_(im, im->header, max, min);
    print_values("  minimum:", h->tag, min);
    print_values("  maximum:", h->tag, max);
    putchar('\n');
    im_Free_(im, h->tag);
    return 0;
}

static int cmd_info(int argc, char **argv) {
    if (argc < 1) return fail("info", "needs at least one file (see tessera info --help)");
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        char word[32];
        if (!first_word(argv[i], word, sizeof word)) {
            FILE *f = fopen(argv[i], "rb");
            status = f ? fail(argv[i], "neither an image nor a point-list file")
                       : fail(argv[i], "cannot open: %s", strerror(errno));
            if (f) fclose(f);
            continue;
        }
        int r;
        if (strcmp(word, "PTL") == 0 || strcmp(word, "CPTL") == 0) r = info_drawing(argv[i]);
        else if (known_magic(word)) r = info_image(argv[i]);
        else r = fail(argv[i], "neither an image nor a point-list file");
        if (r) status = r;
    }
    return status;
}

/* Loads the image of an editing command and writes the result of op beside it. */
static int edit(const char *command, int argc, char **argv, int nargs,
                AnyImageStruct *(*op)(AnyImageStruct *, const int *),
                int (*check)(const ImageHeader *, const int *, const char **)) {
    if (argc != 2 + nargs) return fail(command, "wrong number of arguments (see tessera %s --help)", command);
    int values[4];
    for (int i = 0; i < nargs; ++i)
        if (!parse_int(argv[2 + i], -2147483647L, 2147483647L, &values[i]))
            return fail(argv[2 + i], "not a whole number");
    char word[32];
    if (!first_word(argv[0], word, sizeof word)) {
        FILE *f = fopen(argv[0], "rb");
        if (!f) return fail(argv[0], "cannot open: %s", strerror(errno));
        fclose(f);
        return fail(argv[0], "not an image file");
    }
    if (!known_magic(word)) return fail(argv[0], "not an image file");
    AnyImageStruct *im = im_Load(ALL_TAGS, argv[0]);
    if (!im) return fail(argv[0], "not a readable image file (a damaged header or too little pixel data)");
    const char *problem = NULL;
    int status = 0;
    if (!check(im->header, values, &problem)) {
        status = fail(argv[0], "%s", problem);
    } else {
        AnyImageStruct *out = op(im, values);
        if (!out) {
            status = fail(argv[0], "the result does not fit in memory");
        } else {
            if (!out->header->comment)
                out->header->comment = strNewCopy(im->header->comment); /* keep the file's comment */
            const writer w = writer_for(argv[1], out->header->tag, &problem);
            status = w ? write_output(out, argv[1], w) : fail(argv[1], "%s", problem);
            im_Free_(out, out->header->tag);
        }
    }
    im_Free_(im, im->header->tag);
    return status;
}

static int crop_fits(const ImageHeader *h, const int *v, const char **problem) {
    if (v[2] <= 0 || v[3] <= 0) *problem = "the rectangle must have a positive width and height";
    else if (v[0] < 0 || v[1] < 0 || (long)v[0] + v[2] > h->width || (long)v[1] + v[3] > h->height)
        *problem = "the rectangle does not lie inside the image";
    return *problem == NULL;
}
static AnyImageStruct *crop_op(AnyImageStruct *im, const int *v) {
    return imCrop(im, v[0], v[1], v[0] + v[2], v[1] + v[3]);
}

static int scale_fits(const ImageHeader *h, const int *v, const char **problem) {
    (void)h;
    if (v[0] <= 0 || v[1] <= 0) *problem = "the new width and height must be positive";
    return *problem == NULL;
}
static AnyImageStruct *scale_op(AnyImageStruct *im, const int *v) { return imScale(im, v[0], v[1]); }

static int border_fits(const ImageHeader *h, const int *v, const char **problem) {
    if (v[0] < 0) *problem = "the border must not be negative";
    else if ((long)h->width + 2L * v[0] > 2147483647L || (long)h->height + 2L * v[0] > 2147483647L)
        *problem = "the border is too wide";
    return *problem == NULL;
}
static AnyImageStruct *border_op(AnyImageStruct *im, const int *v) { return imBorders(im, v[0]); }

static int cmd_crop(int argc, char **argv) { return edit("crop", argc, argv, 4, crop_op, crop_fits); }
static int cmd_scale(int argc, char **argv) { return edit("scale", argc, argv, 2, scale_op, scale_fits); }
static int cmd_border(int argc, char **argv) { return edit("border", argc, argv, 1, border_op, border_fits); }

/* The subcommands: name, help text and what runs them. */
static const struct command {
    const char *name;
    const char *help;
    int (*run)(int argc, char **argv);
} commands[] = {
    {"render",
     "usage: tessera render DRAWING OUT [--scale S | --scale-x X --scale-y Y] [--binary | --rgb]\n"
     "                      [--background '#rrggbb']\n"
     "Renders a point-list file (PTL or CPTL). The image covers the drawing's bounds at S pixels\n"
     "per unit (default 1). OUT's extension chooses the format: .pbm (binary), .ppm (colour) or\n"
     ".png; --binary and --rgb choose for .png (default: colour for CPTL, binary for PTL).\n"
     "Elements outside the bounds are clipped, with a warning.\n",
     cmd_render},
    {"info",
     "usage: tessera info FILE...\n"
     "Prints magic, element type, size, comment and per-channel minimum and maximum of images,\n"
     "and bounds, colour flag, comment and element counts of point lists.\n",
     cmd_info},
    {"crop",
     "usage: tessera crop FILE OUT LEFT TOP WIDTH HEIGHT\n"
     "Writes the WIDTH x HEIGHT rectangle at column LEFT, row TOP of FILE to OUT, in FILE's format.\n",
     cmd_crop},
    {"scale",
     "usage: tessera scale FILE OUT WIDTH HEIGHT\n"
     "Resamples FILE to WIDTH x HEIGHT by nearest neighbour and writes OUT in FILE's format.\n",
     cmd_scale},
    {"border",
     "usage: tessera border FILE OUT N\n"
     "Surrounds FILE with N pixels of zero on every side and writes OUT in FILE's format.\n",
     cmd_border},
};

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(usage, stderr);
        return 2;
    }
    const char *name = argv[1];
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (strcmp(name, "--version") == 0) {
        printf("tessera %s\n", TESSERA_VERSION);
        return 0;
    }
    const struct command *command = NULL;
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i)
        if (strcmp(name, commands[i].name) == 0) command = &commands[i];
    if (!command) return fail(name, "unknown command (see tessera --help)");
    for (int i = 2; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0) {
            fputs(command->help, stdout);
            return 0;
        }
    return command->run(argc - 2, argv + 2);
}
