/* tessera - render point-list drawings and convert, inspect, crop, scale, border, resize, flip
 * and rotate images.
 * Every error a user can cause is one line on standard error naming the file and the reason, and
 * exit status 2; an output never leaves half a file and never replaces a link, FIFO, device or a
 * file's other names. Many files at once are worked on threads. */
#include "jobs/files.h"
#include "jobs/jobs.h"

#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static int report(const char *what, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int report(const char *what, const char *fmt, ...) {
    va_list ap;
    fprintf(stderr, "tessera: %s: ", what);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return 2;
}

/* ---- options ---------------------------------------------------------------------------------- */

enum {
    O_SCALE = 1 << 0,
    O_SCALE_X = 1 << 1,
    O_SCALE_Y = 1 << 2,
    O_BINARY = 1 << 3,
    O_RGB = 1 << 4,
    O_BACKGROUND = 1 << 5,
    O_FOREGROUND = 1 << 6,
    O_COLOR = 1 << 7,
    O_FORMAT = 1 << 8,
    O_OUT_DIR = 1 << 9,
    O_TO = 1 << 10,
    O_JOBS = 1 << 11,
    O_QUIET = 1 << 12,
    O_JSON = 1 << 13,
    O_NORMALIZE = 1 << 14,
    O_FILTER = 1 << 15,
    O_LIMIT = 1 << 16,
    O_KEEP_DEPTH = 1 << 17,
    O_DEPTH = 1 << 18,
    O_FLATTEN = 1 << 19,
    O_QUALITY = 1 << 20,
    O_COMPRESSION = 1 << 21,
    O_KEEP_ORIENTATION = 1 << 22,
    O_LOSSLESS = 1 << 23,
    O_STRIP = 1 << 24,
    O_COLORSPACE = 1 << 25,
    O_STATS = 1 << 26,
    O_EXACT = 1 << 27,
};

typedef struct options {
    const char **args; /* the operands, in order */
    int nargs;
    unsigned seen;
    float scale_x, scale_y;
    RGB background, foreground, color;
    const out_format *format, *to;
    const char *out_dir;
    int jobs;
    int filter;
    uint64_t limit;  /* --limit in pixels; 0: none */
    uint64_t budget; /* --limit in bytes: loads and results; 0: the library's */
    int depth;       /* --depth: 8 or 16 */
    int quality;     /* --quality: 1..100; 0: the library's */
    int compression; /* --compression: 0..9; -1: the format's default */
} options;

/* What the options ask of the work on each file. */
static job_options job_of(const options *o) {
    job_options j = {o->scale_x,
                     o->scale_y,
                     o->background,
                     o->foreground,
                     o->color,
                     (o->seen & O_FOREGROUND) != 0,
                     (o->seen & O_COLOR) != 0,
                     (o->seen & O_BINARY) != 0,
                     (o->seen & O_RGB) != 0,
                     (o->seen & O_NORMALIZE) != 0,
                     o->format,
                     o->filter | ((o->seen & O_EXACT) ? TESSERA_EXACT : 0),
                     (o->seen & O_KEEP_DEPTH) != 0,
                     o->depth == 8,
                     (o->seen & O_FLATTEN) != 0,
                     (o->seen & O_KEEP_ORIENTATION) != 0,
                     (o->seen & O_STRIP) != 0,
                     (o->seen & O_COLORSPACE) != 0,
                     o->quality,
                     o->compression,
                     (o->seen & O_LOSSLESS) != 0,
                     o->limit,
                     (o->seen & O_STATS) != 0};
    return j;
}

static const struct option_spec {
    const char *name;
    unsigned bit;
    int value; /* 0 a flag, 1 takes a value */
} option_specs[] = {
    {"scale", O_SCALE, 1},
    {"scale-x", O_SCALE_X, 1},
    {"scale-y", O_SCALE_Y, 1},
    {"binary", O_BINARY, 0},
    {"rgb", O_RGB, 0},
    {"background", O_BACKGROUND, 1},
    {"foreground", O_FOREGROUND, 1},
    {"color", O_COLOR, 1},
    {"format", O_FORMAT, 1},
    {"out-dir", O_OUT_DIR, 1},
    {"to", O_TO, 1},
    {"jobs", O_JOBS, 1},
    {"quiet", O_QUIET, 0},
    {"json", O_JSON, 0},
    {"normalize", O_NORMALIZE, 0},
    {"filter", O_FILTER, 1},
    {"limit", O_LIMIT, 1},
    {"keep-depth", O_KEEP_DEPTH, 0},
    {"depth", O_DEPTH, 1},
    {"flatten", O_FLATTEN, 0},
    {"quality", O_QUALITY, 1},
    {"compression", O_COMPRESSION, 1},
    {"keep-orientation", O_KEEP_ORIENTATION, 0},
    {"lossless", O_LOSSLESS, 0},
    {"strip", O_STRIP, 0},
    {"colorspace", O_COLORSPACE, 1},
    {"stats", O_STATS, 0},
    {"exact", O_EXACT, 0},
};

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

/* "#rgb", "#rrggbb" or "0xrrggbb". */
static int parse_colour(const char *text, RGB *out) {
    const char *hex = text[0] == '#'                                           ? text + 1
                      : (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? text + 2
                                                                               : NULL;
    if (!hex) return 0;
    const size_t n = strlen(hex);
    if (n != 6 && !(n == 3 && text[0] == '#')) return 0;
    unsigned v[6];
    for (size_t i = 0; i < n; ++i) {
        const char c = hex[i];
        if (c >= '0' && c <= '9') v[i] = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f') v[i] = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') v[i] = (unsigned)(c - 'A' + 10);
        else return 0;
    }
    if (n == 3) *out = (RGB){(uint8_t)(v[0] * 17), (uint8_t)(v[1] * 17), (uint8_t)(v[2] * 17)};
    else *out = (RGB){(uint8_t)(v[0] * 16 + v[1]), (uint8_t)(v[2] * 16 + v[3]), (uint8_t)(v[4] * 16 + v[5])};
    return 1;
}

static int option_value(options *o, const struct option_spec *s, const char *v) {
    const char *name = s->name;
    switch (s->bit) {
    case O_SCALE:
        if (!parse_scale(v, &o->scale_x)) break;
        o->scale_y = o->scale_x;
        return 0;
    case O_SCALE_X: return parse_scale(v, &o->scale_x) ? 0 : report(v, "--%s needs a positive number", name);
    case O_SCALE_Y: return parse_scale(v, &o->scale_y) ? 0 : report(v, "--%s needs a positive number", name);
    case O_BACKGROUND:
    case O_FOREGROUND:
    case O_COLOR: {
        RGB *c = s->bit == O_BACKGROUND ? &o->background : s->bit == O_FOREGROUND ? &o->foreground : &o->color;
        return parse_colour(v, c) ? 0 : report(v, "--%s needs a colour: #rgb, #rrggbb or 0xrrggbb", name);
    }
    case O_FORMAT:
    case O_TO: {
        const out_format *f = tessera_io_format_named(v);
        if (!f || !f->writes) return report(v, "--%s needs an image format: %s", name, tessera_io_format_names());
        *(s->bit == O_FORMAT ? &o->format : &o->to) = f;
        return 0;
    }
    case O_OUT_DIR:
        if (!*v) return report("--out-dir", "needs a directory");
        o->out_dir = v;
        return 0;
    case O_JOBS: return parse_int(v, 1, 256, &o->jobs) ? 0 : report(v, "--jobs needs a number from 1 to 256");
    case O_QUALITY: return parse_int(v, 1, 100, &o->quality) ? 0 : report(v, "--quality needs a number from 1 to 100");
    case O_COMPRESSION:
        if (strcmp(v, "none") == 0) o->compression = 0;
        else if (strcmp(v, "deflate") == 0) o->compression = 6;
        else if (strcmp(v, "lzw") == 0) o->compression = TESSERA_IO_LZW;
        else if (!parse_int(v, 0, 9, &o->compression))
            return report(v, "--compression needs a level from 0 to 9, none, deflate or lzw");
        return 0;
    case O_COLORSPACE: return strcasecmp(v, "srgb") == 0 ? 0 : report(v, "--colorspace knows srgb only");
    case O_DEPTH:
        return parse_int(v, 8, 16, &o->depth) && (o->depth == 8 || o->depth == 16)
                   ? 0
                   : report(v, "--depth needs 8 or 16 (bits a sample)");
    case O_LIMIT: {
        /* A size in bytes (K, M, G or T: KiB, MiB, GiB or TiB), or a number of pixels ("px"). */
        static const struct {
            const char *suffix;
            unsigned shift;
        } units[] = {{"", 0},     {"K", 10}, {"KiB", 10}, {"M", 20}, {"MiB", 20}, {"G", 30},
                     {"GiB", 30}, {"T", 40}, {"TiB", 40}, {"B", 0},  {"px", 0}};
        char *end;
        errno = 0;
        const unsigned long long n = strtoull(v, &end, 10);
        int unit = -1;
        for (size_t i = 0; i < sizeof units / sizeof units[0] && unit < 0; ++i)
            if (strcasecmp(end, units[i].suffix) == 0) unit = (int)i;
        if (errno || end == v || unit < 0 || n < 1 || v[0] == '-' || v[0] == '+' ||
            n > (UINT64_MAX >> units[unit].shift))
            return report(v, "--limit needs a size in bytes from 1 up (K, M, G or T for KiB, MiB, GiB or TiB), "
                             "or a number of pixels ending in px");
        if (strcasecmp(units[unit].suffix, "px") == 0) o->limit = (uint64_t)n;
        else o->budget = (uint64_t)n << units[unit].shift;
        return 0;
    }
    case O_FILTER:
        o->filter = filter_named(v);
        return o->filter >= 0 ? 0 : report(v, "unknown filter (%s)", filter_names());
    }
    return report(v, "--%s needs a positive number", name);
}

/* Sorts the command line into options and operands: options anywhere, as "--name value" or
 * "--name=value"; "--" ends the options; "-" alone is an operand (standard input or output). */
static int parse_options(int argc, char **argv, const char *command, unsigned allowed, options *o) {
    memset(o, 0, sizeof *o);
    o->scale_x = o->scale_y = 1;
    o->foreground = (RGB){255, 255, 255};
    o->compression = -1;
    o->filter = TESSERA_BICUBIC;
    o->args = calloc((size_t)argc + 1, sizeof *o->args);
    if (!o->args) return report(command, "out of memory");
    int only_operands = 0;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (only_operands || a[0] != '-' || a[1] == '\0' || (a[1] >= '0' && a[1] <= '9')) {
            o->args[o->nargs++] = a;
            continue;
        }
        if (strcmp(a, "--") == 0) {
            only_operands = 1;
            continue;
        }
        if (a[1] != '-')
            return report(a, "unknown option (options are spelled --name; see tessera %s --help)", command);
        const char *eq = strchr(a, '=');
        const size_t n = eq ? (size_t)(eq - a - 2) : strlen(a + 2);
        const struct option_spec *s = NULL;
        for (size_t k = 0; k < sizeof option_specs / sizeof option_specs[0]; ++k)
            if (strlen(option_specs[k].name) == n && strncmp(option_specs[k].name, a + 2, n) == 0) s = &option_specs[k];
        if (!s || !(allowed & s->bit))
            return report(a, "not an option of %s (see tessera %s --help)", command, command);
        o->seen |= s->bit;
        if (!s->value) {
            if (eq) return report(a, "--%s takes no value", s->name);
            continue;
        }
        const char *v = eq ? eq + 1 : i + 1 < argc ? argv[++i] : NULL;
        if (!v) return report(a, "needs a value");
        if (option_value(o, s, v)) return 2;
    }
    if ((o->seen & O_SCALE) && (o->seen & (O_SCALE_X | O_SCALE_Y)))
        return report(command, "--scale conflicts with --scale-x and --scale-y");
    if ((o->seen & O_BINARY) && (o->seen & O_RGB)) return report(command, "--binary conflicts with --rgb");
    if ((o->seen & O_TO) && !(o->seen & O_OUT_DIR)) return report(command, "--to goes with --out-dir");
    if ((o->seen & O_FORMAT) && (o->seen & O_OUT_DIR))
        return report(command, "--format conflicts with --out-dir (use --to)");
    return 0;
}

/* ---- standard input ------------------------------------------------------------------------------ */

static char stdin_copy[4096];

static void remove_stdin_copy(void) {
    if (stdin_copy[0]) unlink(stdin_copy);
}

/* The path to read an operand from: "-" is standard input, copied once into a temporary file
 * so that it can be looked at before it is read. Null with a message printed. */
static const char *input_path(const char *arg) {
    if (strcmp(arg, "-") != 0) return arg;
    if (stdin_copy[0]) return stdin_copy;
    const char *dir = getenv("TMPDIR");
    snprintf(stdin_copy, sizeof stdin_copy, "%s/tessera-stdin-XXXXXX", dir && *dir ? dir : "/tmp");
    const int fd = mkstemp(stdin_copy);
    if (fd < 0) {
        stdin_copy[0] = '\0';
        report("-", "cannot make a temporary file: %s", strerror(errno));
        return NULL;
    }
    atexit(remove_stdin_copy);
    char buf[65536];
    ssize_t n;
    int ok = 1;
    while (ok && (n = read(0, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0 && write(fd, buf, (size_t)n) == n;
    }
    close(fd);
    if (!ok) {
        report("-", "cannot read standard input: %s", strerror(errno));
        return NULL;
    }
    return stdin_copy;
}

/* Removes the temporaries of outputs being written, then ends as the signal would have. */
static void on_signal(int sig) {
    tessera_remove_temporaries();
    if (stdin_copy[0]) unlink(stdin_copy);
    signal(sig, SIG_DFL);
    raise(sig);
}

/* ---- the work on one file ---------------------------------------------------------------------- */

/* ---- many files at once ---------------------------------------------------------------------------- */

typedef struct batch {
    char **files;
    char **outs; /* the output of each file */
    int count;
    const options *o;
    job_options job;
    int render;               /* else convert, or edit */
    const edit_command *edit; /* the editing command, or NULL */
    const int *values;        /* its values */
    int next, done, failed;
    int bar; /* draw a progress bar on standard error */
    pthread_mutex_t lock;
} batch;

static void draw_bar(const batch *b) {
    const int width = 30, filled = b->count ? b->done * width / b->count : width;
    fprintf(stderr, "\r[%.*s%*s] %d/%d%s", filled, "##############################", width - filled, "", b->done,
            b->count, b->failed ? " (failures above)" : "");
    fflush(stderr);
}

static void *batch_worker(void *arg) {
    batch *b = arg;
    for (;;) {
        pthread_mutex_lock(&b->lock);
        const int i = b->next++;
        pthread_mutex_unlock(&b->lock);
        if (i >= b->count) return NULL;
        const char *in = b->files[i];
        problem why = {"", 0, 0};
        int ok = 0, clipped = 0;
        const char *out = b->outs[i];
        if (b->render) ok = render_file(in, out, &b->job, &clipped, &why);
        else if (b->edit) ok = edit_file(in, out, &b->job, b->edit->op, b->edit->check, b->values, 0, &why);
        else ok = edit_file(in, out, &b->job, NULL, NULL, NULL, 1, &why);
        pthread_mutex_lock(&b->lock);
        ++b->done;
        if (b->bar && (!ok || (clipped && !(b->o->seen & O_QUIET)))) fputs("\r\033[K", stderr);
        if (!ok) {
            ++b->failed;
            report(in, "%s", why.text);
        } else if (clipped && !(b->o->seen & O_QUIET)) {
            fprintf(stderr, "tessera: warning: %s: some elements were clipped at the bounds\n", in);
        }
        if (b->bar) draw_bar(b);
        pthread_mutex_unlock(&b->lock);
    }
}

static int compare_names(const void *a, const void *b);
static int run_threads(const options *o, int render, const edit_command *edit, const int *values, char **outs);

/* Works on the files of o->args from first on, each written to the output directory: rendered,
 * converted, or edited by edit with values. */
static int run_batch(const options *o, int first, int render, const edit_command *edit, const int *values) {
    const char *const *files = o->args + first;
    const int count = o->nargs - first;
    if (count < 1) return report(o->out_dir, "--out-dir needs files to work on");
    for (int i = 0; i < count; ++i)
        if (strcmp(files[i], "-") == 0) return report("-", "standard input cannot be one of many inputs");
    if (!render && !edit && !o->to) return report("convert", "--out-dir needs --to EXT, the format of the outputs");
    struct stat st;
    if (stat(o->out_dir, &st) != 0 && mkdir(o->out_dir, 0777) != 0)
        return report(o->out_dir, "cannot make the output directory: %s", strerror(errno));
    if (stat(o->out_dir, &st) == 0 && !S_ISDIR(st.st_mode)) return report(o->out_dir, "not a directory");
    /* Every output is named first: two inputs that would write one file are an error. */
    char **outs = calloc((size_t)count, sizeof *outs), **sorted = calloc((size_t)count, sizeof *sorted);
    int status = outs && sorted ? 0 : report(o->out_dir, "out of memory");
    const job_options job = job_of(o);
    for (int i = 0; !status && i < count; ++i) {
        /* Without --to, a rendering is PPM when it is in colour, else PBM, as for one file. */
        const char *ext = o->to ? o->to->name : render ? render_extension(files[i], &job) : edit_extension(files[i]);
        if (!(outs[i] = sorted[i] = output_path(o->out_dir, files[i], ext)))
            status = report(o->out_dir, "out of memory");
    }
    if (!status) {
        qsort(sorted, (size_t)count, sizeof *sorted, compare_names);
        for (int i = 1; !status && i < count; ++i)
            if (strcmp(sorted[i - 1], sorted[i]) == 0) status = report(sorted[i], "two inputs would be written here");
    }
    if (!status) status = run_threads(o, render, edit, values, outs);
    for (int i = 0; outs && i < count; ++i) free(outs[i]);
    free(outs);
    free(sorted);
    return status;
}

static int compare_names(const void *a, const void *b) { return strcmp(*(char *const *)a, *(char *const *)b); }

static int run_threads(const options *o, int render, const edit_command *edit, const int *values, char **outs) {
    const int count = render || !edit ? o->nargs : o->nargs - edit->nvalues;
    batch b = {(char **)o->args + (o->nargs - count),
               outs,
               count,
               o,
               job_of(o),
               render,
               edit,
               values,
               0,
               0,
               0,
               isatty(2) && !(o->seen & O_QUIET),
               PTHREAD_MUTEX_INITIALIZER};
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    int jobs = o->jobs ? o->jobs : cpus > 0 ? (int)(cpus < 64 ? cpus : 64) : 1;
    if (jobs > count) jobs = count;
    pthread_t threads[256];
    int started = 0;
    if (b.bar) draw_bar(&b);
    for (; started < jobs - 1; ++started)
        if (pthread_create(&threads[started], NULL, batch_worker, &b) != 0) break;
    batch_worker(&b); /* this thread works too */
    for (int i = 0; i < started; ++i) pthread_join(threads[i], NULL);
    if (b.bar) fprintf(stderr, "\n%d files, %d failed\n", b.count, b.failed);
    return b.failed ? 2 : 0;
}

/* ---- commands ---------------------------------------------------------------------------------------- */

static const char *usage = "usage: tessera COMMAND [ARGS] [OPTIONS]\n"
                           "\n"
                           "commands:\n"
                           "  render DRAWING OUT     render a point-list drawing (PTL or CPTL) into an image\n"
                           "  render --out-dir DIR DRAWING...\n"
                           "  convert IN OUT         convert an image between formats and element types\n"
                           "  convert --out-dir DIR --to EXT FILE...\n"
                           "  composite TOP BOTTOM OUT [X Y]  lay one image over another by alpha\n"
                           "  info FILE...           describe images and drawings (--json for scripts)\n"
                           "  crop FILE OUT LEFT TOP WIDTH HEIGHT\n"
                           "  scale FILE OUT WIDTH HEIGHT\n"
                           "  border FILE OUT N      surround an image with N pixels (--color C, default 0)\n"
                           "  resize FILE OUT SIZE   resample to WxH, W, xH or P% (--filter F)\n"
                           "  flip FILE OUT          mirror top to bottom (flop: left to right)\n"
                           "  rotate FILE OUT ANGLE  turn clockwise by 90, 180 or 270 degrees\n"
                           "  thumbnail FILE OUT SIZE  shrink to fit W, xH or WxH (JPEGs shrunk as they are read)\n"
                           "Editing commands take --out-dir DIR and then their operands and many files.\n"
                           "\n"
                           "Images are read in any format below, found from their first bytes; an output's format\n"
                           "follows its extension or --format. '-' is standard input or output. --limit SIZE refuses\n"
                           "images and results whose pixels take more than SIZE bytes (1G by default; K, M, G, T;\n"
                           "or Npx for N pixels). Alpha and 16-bit samples are kept where the output holds them;\n"
                           "--depth 8 cuts samples to 8 bits, --flatten lays alpha over --background.\n"
                           "Images are turned upright by their EXIF or TIFF orientation (--keep-orientation: as\n"
                           "stored); what is written is upright. ICC profiles, EXIF and XMP go to outputs\n"
                           "that hold them (--strip: not); --colorspace srgb converts colours by the profile.\n"
                           "--quality N (1 to 100) sets JPEG's and WebP's quality, --lossless makes WebP lossless;\n"
                           "--compression N (0 to 9, none, deflate or lzw)\n"
                           "PNG's zlib level and TIFF's deflate level (none: uncompressed, TIFF's default; lzw:\n"
                           "TIFF's LZW).\n"
                           "Colours: #rgb, #rrggbb or 0xrrggbb.\n"
                           "tessera COMMAND --help tells more; man tessera tells all.\n"
                           "\n"
                           "formats:\n";

/* The table of formats, as --help shows it (man: as the manual page's lines). */
static void print_formats(FILE *out, int man) {
    for (size_t i = 0; i < tessera_io_format_count(); ++i) {
        const tessera_io_format *f = tessera_io_format_at(i);
        if (man)
            fprintf(out, ".TP\n.B %s\n%s (.%s)%s\n", f->name, f->description, f->extensions,
                    f->writes ? "" : "; read only");
        else fprintf(out, "  %-5s %s\n", f->name, f->description);
    }
}

static int cmd_render(options *o) {
    if (o->seen & O_OUT_DIR)
        return o->nargs ? run_batch(o, 0, 1, NULL, NULL) : report("render", "--out-dir needs drawings");
    if (o->nargs != 2) return report("render", "needs a drawing and an output file (see tessera render --help)");
    const char *in = input_path(o->args[0]);
    if (!in) return 2;
    problem why = {"", 0, 0};
    int clipped = 0;
    const job_options job = job_of(o);
    if (!render_file(in, o->args[1], &job, &clipped, &why)) return report(o->args[0], "%s", why.text);
    if (clipped && !(o->seen & O_QUIET))
        fprintf(stderr, "tessera: warning: %s: some elements were clipped at the bounds\n", o->args[0]);
    return 0;
}

static int cmd_convert(options *o) {
    if (o->seen & O_OUT_DIR)
        return o->nargs ? run_batch(o, 0, 0, NULL, NULL) : report("convert", "--out-dir needs files");
    if (o->nargs != 2) return report("convert", "needs an input and an output file (see tessera convert --help)");
    const char *in = input_path(o->args[0]);
    if (!in) return 2;
    problem why = {"", 0, 0};
    const job_options job = job_of(o);
    return edit_file(in, o->args[1], &job, NULL, NULL, NULL, 1, &why) ? 0 : report(o->args[0], "%s", why.text);
}

static int cmd_composite(options *o) {
    if (o->nargs != 3 && o->nargs != 5)
        return report("composite", "needs TOP BOTTOM OUT and optionally X Y (see tessera composite --help)");
    int at[2] = {0, 0};
    for (int k = 0; k < 2 && o->nargs == 5; ++k)
        if (!parse_int(o->args[3 + k], -2147483647L, 2147483647L, &at[k]))
            return report(o->args[3 + k], "X and Y are whole numbers of pixels");
    const char *top = input_path(o->args[0]), *bottom = top ? input_path(o->args[1]) : NULL;
    if (!bottom) return 2;
    problem why = {"", 0, 0};
    const job_options job = job_of(o);
    return composite_file(top, bottom, o->args[2], at[0], at[1], &job, &why) ? 0 : report(o->args[0], "%s", why.text);
}

/* ---- info ---- */

static int cmd_info(options *o) {
    if (o->nargs < 1) return report("info", "needs at least one file (see tessera info --help)");
    const int json = (o->seen & O_JSON) != 0;
    int status = 0;
    for (int i = 0; i < o->nargs; ++i) {
        const char *shown = o->args[i], *path = input_path(shown);
        if (!path) {
            status = 2;
            continue;
        }
        problem why = {"", 0, 0};
        const job_options job = job_of(o);
        if (!describe_file(path, shown, &job, json, stdout, &why)) {
            status = report(shown, "%s", why.text);
            if (json) describe_failure(shown, &why, stdout);
        }
    }
    return status;
}

/* ---- crop, scale, border, resize, flip, flop, rotate ---- */

/* FILE OUT and the command's operands, or with --out-dir the operands and then the files. */
static int cmd_edit(const char *command, options *o) {
    const edit_command *c = edit_named(command);
    const int batch = (o->seen & O_OUT_DIR) != 0;
    if (batch ? o->nargs < c->nvalues + 1 : o->nargs != 2 + c->nvalues)
        return report(command, "wrong number of arguments (see tessera %s --help)", command);
    int values[EDIT_VALUES] = {0};
    problem why = {"", 0, 0};
    const char *const *operands = o->args + (batch ? 0 : 2);
    if (!edit_values(c, operands, values, &why)) return report(command, "%s", why.text);
    if (batch) return run_batch(o, c->nvalues, 0, c, values);
    const char *in = input_path(o->args[0]);
    if (!in) return 2;
    const job_options job = job_of(o);
    return edit_file(in, o->args[1], &job, c->op, c->check, values, 0, &why) ? 0 : report(o->args[0], "%s", why.text);
}

static int cmd_crop(options *o) { return cmd_edit("crop", o); }
static int cmd_scale(options *o) { return cmd_edit("scale", o); }
static int cmd_border(options *o) { return cmd_edit("border", o); }
static int cmd_resize(options *o) { return cmd_edit("resize", o); }
static int cmd_flip(options *o) { return cmd_edit("flip", o); }
static int cmd_flop(options *o) { return cmd_edit("flop", o); }
static int cmd_rotate(options *o) { return cmd_edit("rotate", o); }
static int cmd_thumbnail(options *o) { return cmd_edit("thumbnail", o); }

#define WRITING (O_FORMAT | O_BACKGROUND | O_QUIET | O_DEPTH | O_FLATTEN | O_QUALITY | O_COMPRESSION | O_LOSSLESS)
#define READING (O_LIMIT | O_KEEP_DEPTH | O_KEEP_ORIENTATION | O_STRIP | O_COLORSPACE)
#define EDITING (WRITING | READING | O_OUT_DIR | O_TO | O_JOBS)
#define EDIT_BATCH_HELP                                                                                                \
    "With --out-dir, each FILE is written to DIR/NAME in its own format (or EXT from --to) on N\n"                     \
    "threads; the operands come before the files.\n"

/* The subcommands: name, the options each takes, help text and what runs them. */
static const struct command {
    const char *name;
    unsigned options;
    const char *help;
    int (*run)(options *o);
} commands[] = {
    {"render",
     WRITING | O_LIMIT | O_SCALE | O_SCALE_X | O_SCALE_Y | O_BINARY | O_RGB | O_FOREGROUND | O_OUT_DIR | O_TO | O_JOBS,
     "usage: tessera render DRAWING OUT [--scale S | --scale-x X --scale-y Y] [--binary | --rgb]\n"
     "                      [--background C] [--foreground C] [--format F]\n"
     "       tessera render --out-dir DIR [--to EXT] [--jobs N] [--quiet] DRAWING...\n"
     "Renders a point-list file (PTL or CPTL). The image covers the drawing's bounds at S pixels\n"
     "per unit (default 1). OUT's extension (or --format) chooses the format; .pbm is binary,\n"
     ".ppm colour, and for .png, .pam or .pnm --binary and --rgb choose (default: colour for\n"
     "CPTL, binary for PTL). --foreground draws a plain drawing in that colour on the background.\n"
     "Elements outside the bounds are clipped, with a warning. With --out-dir, each drawing is\n"
     "rendered to DIR/NAME.EXT (EXT from --to, else ppm for CPTL and pbm for PTL) on N threads.\n",
     cmd_render},
    {"convert", WRITING | READING | O_NORMALIZE | O_OUT_DIR | O_TO | O_JOBS,
     "usage: tessera convert IN OUT [--depth 8] [--flatten] [--background C] [--normalize]\n"
     "                       [--keep-depth] [--strip] [--colorspace srgb] [--format F]\n"
     "                       [--limit SIZE]\n"
     "       tessera convert --out-dir DIR --to EXT [--jobs N] [--quiet] FILE...\n"
     "Converts between the formats tessera --help lists. Images keep what the file has: alpha\n"
     "(RGBA; gray with alpha becomes RGBA) and 16-bit samples are written where the output holds\n"
     "them (PNG, TIFF, PAM; 16 bits also PGM and PPM). --depth 8 cuts samples to 8 bits\n"
     "(v / 257, rounded); --flatten lays alpha over --background (default black), as is done for\n"
     "an output without alpha. Set binary pixels are black; colours become gray by their luma;\n"
     "gray becomes binary below half its range; numbers are rounded and clamped, or with\n"
     "--normalize their range is mapped onto 0..255; --keep-depth writes numeric images (Q3,\n"
     "Q4, ...) as 16-bit samples where the format holds them. The ICC profile, EXIF and XMP\n"
     "go with the image where OUT holds them; --strip leaves them out. --colorspace srgb converts\n"
     "colours from what the input's profile says they are to sRGB (CMYK JPEGs too; perceptual\n"
     "intent, Little CMS) and writes the sRGB profile with them.\n",
     cmd_convert},
    {"composite", WRITING | READING,
     "usage: tessera composite TOP BOTTOM OUT [X Y] [--format F] [--flatten] [--depth 8]\n"
     "Lays TOP over BOTTOM by its alpha (\"over\"), TOP's top-left pixel on column X, row Y of\n"
     "BOTTOM (default 0 0; either may be negative), and writes the result, BOTTOM's size, to OUT.\n"
     "Both become colour images of one depth (16 bits when either has them); BOTTOM's alpha is\n"
     "kept where OUT holds it.\n",
     cmd_composite},
    {"info", O_JSON | O_BACKGROUND | O_LIMIT | O_STATS,
     "usage: tessera info [--json] [--stats [--limit SIZE]] FILE...\n"
     "Prints format, element type, size (as stored), the file's sample depth and maximum value,\n"
     "alpha, orientation, profile, EXIF and XMP of images, read from their headers alone (no\n"
     "pixel is decoded, and no limit applies), and bounds, colour flag, comment and element\n"
     "counts of drawings. --stats decodes the pixels (within --limit) and adds the comment and\n"
     "each channel's minimum and maximum (the file's own values, 16 bits kept). --json prints\n"
     "one JSON object a line per file (format, type, width, height, bits, maxval, channels,\n"
     "alpha, orientation, icc, exif, xmp, xoffset, yoffset; with --stats comment, minimum, maximum; an \"error\"\n"
     "for a file that cannot be read). A profile shows its size, description and colour space,\n"
     "EXIF and XMP their sizes.\n",
     cmd_info},
    {"crop", EDITING,
     "usage: tessera crop FILE OUT LEFT TOP WIDTH HEIGHT [--format F]\n"
     "       tessera crop --out-dir DIR [--to EXT] [--jobs N] LEFT TOP WIDTH HEIGHT FILE...\n"
     "Writes the WIDTH x HEIGHT rectangle at column LEFT, row TOP of FILE to OUT.\n" EDIT_BATCH_HELP,
     cmd_crop},
    {"scale", EDITING,
     "usage: tessera scale FILE OUT WIDTH HEIGHT [--format F]\n"
     "       tessera scale --out-dir DIR [--to EXT] [--jobs N] WIDTH HEIGHT FILE...\n"
     "Resamples FILE to WIDTH x HEIGHT by nearest neighbour anchored at the top-left corner of\n"
     "each pixel: output pixel i takes source pixel round(i * old / new). Enlarging by 2 turns\n"
     "0 85 170 255 into 0 85 85 170 170 255 255 255. tessera resize samples at pixel centres\n"
     "instead, as other programs do, and filters.\n" EDIT_BATCH_HELP,
     cmd_scale},
    {"border", EDITING | O_COLOR,
     "usage: tessera border FILE OUT N [--color C] [--format F]\n"
     "       tessera border --out-dir DIR [--to EXT] [--jobs N] [--color C] N FILE...\n"
     "Surrounds FILE with N pixels on every side, zero or the colour C, and writes OUT.\n" EDIT_BATCH_HELP,
     cmd_border},
    {"resize", EDITING | O_FILTER | O_EXACT,
     "usage: tessera resize FILE OUT SIZE [--filter F] [--exact] [--format F]\n"
     "       tessera resize --out-dir DIR [--to EXT] [--jobs N] [--filter F] [--exact] SIZE FILE...\n"
     "Resamples FILE to SIZE: WxH, W or xH (the other side keeps the aspect) or P% of both\n"
     "sides. Samples sit at pixel centres; --filter is nearest, box (the area average),\n"
     "bilinear, bicubic (Keys, a = -0.5; the default) or lanczos3, and widens when shrinking so\n"
     "that nothing aliases. Whole-number types are rounded and clamped. 8-bit pictures are\n"
     "resampled in fixed point, each sample within 1 of the exact value; --exact gives that\n"
     "value. Nearest enlarges 0 85 170 255 by 2 into 0 0 85 85 170 170 255 255 (tessera scale\n"
     "gives another result).\n" EDIT_BATCH_HELP,
     cmd_resize},
    {"flip", EDITING,
     "usage: tessera flip FILE OUT [--format F]\n"
     "       tessera flip --out-dir DIR [--to EXT] [--jobs N] FILE...\n"
     "Mirrors FILE top to bottom.\n" EDIT_BATCH_HELP,
     cmd_flip},
    {"flop", EDITING,
     "usage: tessera flop FILE OUT [--format F]\n"
     "       tessera flop --out-dir DIR [--to EXT] [--jobs N] FILE...\n"
     "Mirrors FILE left to right.\n" EDIT_BATCH_HELP,
     cmd_flop},
    {"rotate", EDITING,
     "usage: tessera rotate FILE OUT ANGLE [--format F]\n"
     "       tessera rotate --out-dir DIR [--to EXT] [--jobs N] ANGLE FILE...\n"
     "Turns FILE clockwise by ANGLE: 90, 180 or 270 (-90, -180 and -270 turn anticlockwise).\n" EDIT_BATCH_HELP,
     cmd_rotate},
    {"thumbnail", EDITING | O_FILTER | O_EXACT,
     "usage: tessera thumbnail FILE OUT SIZE [--filter F] [--exact] [--format F]\n"
     "       tessera thumbnail --out-dir DIR [--to EXT] [--jobs N] [--filter F] [--exact] SIZE FILE...\n"
     "Shrinks FILE to fit within SIZE, W, xH or WxH, its aspect kept (a picture within it keeps\n"
     "its size), turned upright first, with --filter and --exact as resize has them (bicubic by\n"
     "default). A JPEG is decoded at 1/2, 1/4 or 1/8 of its size when that still covers SIZE,\n"
     "which takes a fraction of the time and memory and differs a little from a whole decode\n"
     "and a resize.\n"
     "A PNG that is not interlaced is resized as its rows are decoded, never whole in memory\n"
     "(--limit then bounds the thumbnail), with the same result as a resize.\n" EDIT_BATCH_HELP,
     cmd_thumbnail},
};

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(usage, stderr);
        return 2;
    }
    const char *name = argv[1];
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
        fputs(usage, stdout);
        print_formats(stdout, 0);
        return 0;
    }
    if (strcmp(name, "--man-formats") == 0) { /* the manual page's list, made from the table */
        print_formats(stdout, 1);
        return 0;
    }
    /* An interrupted run leaves no temporary file behind. */
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
    if (strcmp(name, "--version") == 0) {
        printf("tessera %s (library %s)\n", TESSERA_VERSION, tessera_version());
        return 0;
    }
    const struct command *command = NULL;
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i)
        if (strcmp(name, commands[i].name) == 0) command = &commands[i];
    if (!command) return report(name, "unknown command (see tessera --help)");
    for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(command->help, stdout);
            return 0;
        }
    options o;
    int status = parse_options(argc - 2, argv + 2, name, command->options, &o);
    if (!status && o.budget) tessera_set_budget(o.budget);
    if (!status) status = command->run(&o);
    free(o.args);
    return status;
}
