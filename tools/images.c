/* The images the tool reads beyond the library's own formats (plain and raw Netpbm with any
 * maxval, PAM, PNG), conversion between element types, and the PAM and PNG writers. Everything
 * the library's loaders cover (raw P4, raw P5 and P6 with maxval 255, the Q formats) goes
 * through the library. */
#include "tool.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#ifdef TESSERA_HAVE_PNG
#include <png.h>
#endif

int say(problem *p, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(p->text, sizeof p->text, fmt, ap);
    va_end(ap);
    p->error = 0;
    return 0;
}

int say_system(problem *p, const char *doing) {
    const int e = errno;
    say(p, "%s: %s", doing, strerror(e));
    p->error = e;
    return 0;
}

/* The library's reason for its last failure on this thread. */
static int say_library(problem *p) { return say(p, "%s", tessera_last_error()); }

const char *tag_name(unsigned tag) {
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

const char *magic_of(unsigned tag) {
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

/* ---- header words ---------------------------------------------------------------------------- */

static int is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

/* Reads the next header word, skipping white space and '#' comments; the one white-space
 * character that ends the word is consumed. 0 at the end of the file or for an overlong word. */
static int next_word(FILE *f, char *word, size_t size) {
    int c;
    for (;;) {
        c = getc(f);
        if (c == '#')
            while (c != '\n' && c != EOF) c = getc(f);
        if (c == EOF) return 0;
        if (!is_space(c)) break;
    }
    size_t n = 0;
    while (c != EOF && !is_space(c) && c != '#') {
        if (n + 1 >= size) return 0;
        word[n++] = (char)c;
        c = getc(f);
    }
    if (c == '#') ungetc(c, f);
    word[n] = '\0';
    return 1;
}

/* A header number from 1 to hi. */
static int next_number(FILE *f, const char *what, long hi, long *out, problem *why) {
    char word[32];
    if (!next_word(f, word, sizeof word)) return say(why, "the header ends before the %s", what);
    char *end;
    errno = 0;
    const long v = strtol(word, &end, 10);
    if (*end || errno || word[0] == '-' || word[0] == '+' || v < 1 || v > hi)
        return say(why, "the %s '%s' is not a number from 1 to %ld", what, word, hi);
    *out = v;
    return 1;
}

/* ---- what a file is ---------------------------------------------------------------------------- */

static const struct {
    const char *name;
    const char *bytes;
    size_t n;
} foreign[] = {
    {"JPEG", "\xff\xd8\xff", 3}, {"GIF", "GIF8", 4}, {"TIFF", "II*\0", 4},    {"TIFF", "MM\0*", 4}, {"BMP", "BM", 2},
    {"WebP", "RIFF", 4},         {"PDF", "%PDF", 4}, {"gzip", "\x1f\x8b", 2},
};

static void hex_of(const unsigned char *b, size_t n, char *out, size_t size) {
    size_t k = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && k + 4 < size; ++i) k += (size_t)snprintf(out + k, size - k, i ? " %02x" : "%02x", b[i]);
}

static int sniff_stream(FILE *f, sniffed *what, problem *why) {
    memset(what, 0, sizeof *what);
    unsigned char head[8];
    const size_t n = fread(head, 1, sizeof head, f);
    if (n == 0) return say(why, ferror(f) ? "cannot read: %s" : "the file is empty", strerror(errno));
    if (n >= 8 && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) {
        what->kind = KIND_PNG;
        strcpy(what->format, "PNG");
        return 1;
    }
    rewind(f);
    char word[16];
    if (next_word(f, word, sizeof word)) {
        if (strcmp(word, "PTL") == 0 || strcmp(word, "CPTL") == 0) {
            what->kind = KIND_DRAWING;
            what->colour = word[0] == 'C';
            strcpy(what->format, word);
            return 1;
        }
        static const char *const q[] = {"Q1", "Q2", "Q3", "Q4", "Q10", "Q11", "P4"};
        for (size_t i = 0; i < sizeof q / sizeof q[0]; ++i)
            if (strcmp(word, q[i]) == 0) {
                what->kind = KIND_LIBRARY;
                strcpy(what->format, word);
                what->maxval = word[0] == 'P' ? 1 : 0;
                return 1;
            }
        if (strcmp(word, "P7") == 0) {
            what->kind = KIND_PAM;
            strcpy(what->format, "PAM");
            return 1;
        }
        if (word[0] == 'P' && word[1] >= '1' && word[1] <= '6' && !word[2]) {
            strcpy(what->format, word);
            long w, h, max = 1;
            if (!next_number(f, "width", 2147483647L, &w, why) || !next_number(f, "height", 2147483647L, &h, why))
                return 0;
            if (word[1] != '1' && !next_number(f, "maximum value", 65535, &max, why)) return 0;
            what->maxval = (int)max;
            what->kind = (word[1] == '5' || word[1] == '6') && max == 255 ? KIND_LIBRARY : KIND_PNM;
            return 1;
        }
    }
    for (size_t i = 0; i < sizeof foreign / sizeof foreign[0]; ++i)
        if (n >= foreign[i].n && memcmp(head, foreign[i].bytes, foreign[i].n) == 0) {
            char hex[32];
            hex_of(head, foreign[i].n, hex, sizeof hex);
            return say(why, "%s files are not supported (starts with %s)", foreign[i].name, hex);
        }
    char hex[32];
    hex_of(head, n < 4 ? n : 4, hex, sizeof hex);
    return say(why, "neither an image nor a drawing (starts with %s)", hex);
}

int sniff(const char *path, sniffed *what, problem *why) {
    FILE *f = fopen(path, "rb");
    if (!f) return say_system(why, "cannot open");
    const int ok = sniff_stream(f, what, why);
    fclose(f);
    return ok;
}

/* ---- samples into pixels ------------------------------------------------------------------------- */

/* How the samples of one pixel become a pixel of the image being read. */
typedef struct sample_layout {
    int channels;      /* 1 or 3 colour samples */
    int alpha;         /* followed by an alpha sample */
    int white_is_zero; /* PAM BLACKANDWHITE: sample 0 is a set (black) pixel */
    long maxval;
    RGB background;
} sample_layout;

static unsigned to8(unsigned long s, long maxval) {
    return (unsigned)((s * 255 + (unsigned long)maxval / 2) / (unsigned long)maxval);
}

static unsigned over(unsigned c8, unsigned bg, unsigned long a, long maxval) {
    return (unsigned)lround(((double)c8 * (double)a + (double)bg * (double)(maxval - (long)a)) / (double)maxval);
}

/* Stores one row of samples (channels + alpha per pixel) into row y. */
static void put_row(AnyImageStruct *im, int y, const unsigned long *s, const sample_layout *l) {
    const ImageHeader *h = im->header;
    const int step = l->channels + l->alpha;
    for (int x = 0; x < h->width; ++x, s += step) {
        if (h->tag == IMAGE_BINARY) {
            ((int8_t *)im->data[y])[x] = (int8_t)(l->white_is_zero ? s[0] == 0 : s[0] != 0);
            continue;
        }
        unsigned c[3];
        for (int k = 0; k < 3; ++k) c[k] = to8(s[k < l->channels ? k : 0], l->maxval);
        if (l->white_is_zero) c[0] = c[1] = c[2] = s[0] ? 255 : 0;
        if (l->alpha) {
            const unsigned long a = s[l->channels];
            c[0] = over(c[0], l->background.r, a, l->maxval);
            c[1] = over(c[1], l->background.g, a, l->maxval);
            c[2] = over(c[2], l->background.b, a, l->maxval);
        }
        if (h->tag == IMAGE_GRAY) ((uint8_t *)im->data[y])[x] = (uint8_t)c[0];
        else ((RGB *)im->data[y])[x] = (RGB){(uint8_t)c[0], (uint8_t)c[1], (uint8_t)c[2]};
    }
}

/* The element type a layout reads into: binary for black and white, gray unless a colour
 * sample or a coloured background needs RGB. */
static unsigned layout_tag(const sample_layout *l, int bilevel) {
    const RGB b = l->background;
    if (l->channels == 3 || (l->alpha && (b.r != b.g || b.g != b.b))) return IMAGE_RGB;
    return bilevel && !l->alpha ? IMAGE_BINARY : IMAGE_GRAY;
}

static int data_ends(problem *why, unsigned long long got, unsigned long long want, const char *unit);

/* The bytes left in f after its position (files are regular: standard input is copied first). */
static unsigned long long bytes_left(FILE *f) {
    struct stat st;
    const long at = ftell(f);
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || at < 0) return ~0ULL;
    return st.st_size > at ? (unsigned long long)(st.st_size - at) : 0;
}

/* A new w x h image, once f is known to hold at least need bytes more: a header never makes
 * the reader allocate more than its file can fill. */
static AnyImageStruct *new_image(unsigned tag, long w, long h, FILE *f, unsigned long long need, const char *unit,
                                 problem *why) {
    const unsigned long long left = bytes_left(f);
    if (left < need) return data_ends(why, left, need, unit), NULL;
    AnyImageStruct *im = im_NewOrWrap_((uint16_t)tag, (int32_t)w, (int32_t)h, 0, 0, NULL, 0, 0, NULL);
    if (!im) say_library(why);
    return im;
}

static void grouped(unsigned long long v, char *out, size_t size) {
    char digits[32];
    const int n = snprintf(digits, sizeof digits, "%llu", v);
    size_t k = 0;
    for (int i = 0; i < n && k + 2 < size; ++i) {
        if (i && (n - i) % 3 == 0) out[k++] = ',';
        out[k++] = digits[i];
    }
    out[k] = '\0';
}

static int data_ends(problem *why, unsigned long long got, unsigned long long want, const char *unit) {
    char a[40], b[40];
    grouped(got, a, sizeof a);
    grouped(want, b, sizeof b);
    return say(why, "pixel data ends after %s of %s %s", a, b, unit);
}

/* Reads raw samples (one byte each up to maxval 255, else two, most significant first). */
static int read_raw(FILE *f, AnyImageStruct *im, const sample_layout *l, problem *why) {
    const ImageHeader *h = im->header;
    const size_t per = (size_t)(l->channels + l->alpha), wide = l->maxval > 255 ? 2 : 1;
    const size_t row_bytes = (size_t)h->width * per * wide;
    unsigned char *raw = malloc(row_bytes);
    unsigned long *s = malloc((size_t)h->width * per * sizeof *s);
    int ok = raw && s;
    if (!ok) say(why, "out of memory for a row of %zu bytes", row_bytes);
    for (int y = 0; ok && y < h->height; ++y) {
        const size_t got = fread(raw, 1, row_bytes, f);
        if (got < row_bytes) {
            ok = data_ends(why, (unsigned long long)y * row_bytes + got, (unsigned long long)h->height * row_bytes,
                           "bytes");
            break;
        }
        for (size_t i = 0; i < (size_t)h->width * per; ++i) {
            s[i] = wide == 2 ? (unsigned long)raw[2 * i] << 8 | raw[2 * i + 1] : raw[i];
            if (s[i] > (unsigned long)l->maxval) {
                ok = say(why, "sample %lu in row %d is above the maximum value %ld", s[i], y, l->maxval);
                break;
            }
        }
        if (ok) put_row(im, y, s, l);
    }
    free(raw);
    free(s);
    return ok;
}

/* Reads plain (text) samples: P1 digits, which need no space between them, or P2 and P3
 * numbers. */
static int read_plain(FILE *f, AnyImageStruct *im, const sample_layout *l, int bits, problem *why) {
    const ImageHeader *h = im->header;
    const size_t per = (size_t)l->channels;
    unsigned long *s = malloc((size_t)h->width * per * sizeof *s);
    if (!s) return say(why, "out of memory for a row");
    const unsigned long long want = (unsigned long long)h->width * (unsigned long long)h->height * per;
    unsigned long long done = 0;
    int ok = 1;
    for (int y = 0; ok && y < h->height; ++y) {
        for (size_t i = 0; ok && i < (size_t)h->width * per; ++i, ++done) {
            int c;
            do {
                c = getc(f);
                if (c == '#')
                    while (c != '\n' && c != EOF) c = getc(f);
            } while (is_space(c));
            if (c == EOF) {
                ok = data_ends(why, done, want, "samples");
                break;
            }
            if (bits) {
                if (c != '0' && c != '1') ok = say(why, "row %d: expected 0 or 1, found '%c'", y, c);
                s[i] = (unsigned long)(c - '0');
                continue;
            }
            unsigned long v = 0;
            int digits = 0;
            while (c >= '0' && c <= '9') {
                if (v <= 65535) v = v * 10 + (unsigned long)(c - '0');
                ++digits;
                c = getc(f);
            }
            if (c != EOF && !is_space(c) && c != '#') {
                ok = say(why, "row %d: expected a number, found '%c'", y, c);
                break;
            }
            if (c == '#') ungetc(c, f);
            if (!digits) ok = data_ends(why, done, want, "samples");
            else if (v > (unsigned long)l->maxval)
                ok = say(why, "sample %lu in row %d is above the maximum value %ld", v, y, l->maxval);
            s[i] = v;
        }
        if (ok) put_row(im, y, s, l);
    }
    free(s);
    return ok;
}

static AnyImageStruct *read_pnm(FILE *f, RGB background, problem *why) {
    char magic[8];
    long w, h, max = 1;
    if (!next_word(f, magic, sizeof magic)) return say(why, "not a Netpbm file"), NULL;
    if (!next_number(f, "width", 2147483647L, &w, why) || !next_number(f, "height", 2147483647L, &h, why)) return NULL;
    const int bits = magic[1] == '1';
    if (!bits && !next_number(f, "maximum value", 65535, &max, why)) return NULL;
    const sample_layout l = {magic[1] == '3' || magic[1] == '6' ? 3 : 1, 0, 0, max, background};
    /* Raw samples have their exact size; plain ones take at least a character each. */
    const unsigned long long samples = (unsigned long long)w * (unsigned long long)h * (unsigned long long)l.channels;
    const int raw = magic[1] >= '4';
    AnyImageStruct *im = new_image(bits ? IMAGE_BINARY : layout_tag(&l, 0), w, h, f,
                                   raw ? samples * (max > 255 ? 2 : 1) : samples, raw ? "bytes" : "characters", why);
    if (!im) return NULL;
    const int ok = raw ? read_raw(f, im, &l, why) : read_plain(f, im, &l, bits, why);
    if (ok) return im;
    im_Free_(im, im->header->tag);
    return NULL;
}

static AnyImageStruct *read_pam(FILE *f, RGB background, sniffed *what, problem *why) {
    char word[64], type[64] = "";
    long w = 0, h = 0, depth = 0, max = 0;
    next_word(f, word, sizeof word); /* P7 */
    for (;;) {
        if (!next_word(f, word, sizeof word)) return say(why, "the PAM header ends before ENDHDR"), NULL;
        if (strcmp(word, "ENDHDR") == 0) break;
        if (strcmp(word, "TUPLTYPE") == 0) {
            if (!next_word(f, type, sizeof type)) return say(why, "the PAM header ends in TUPLTYPE"), NULL;
        } else if (strcmp(word, "WIDTH") == 0) {
            if (!next_number(f, "width", 2147483647L, &w, why)) return NULL;
        } else if (strcmp(word, "HEIGHT") == 0) {
            if (!next_number(f, "height", 2147483647L, &h, why)) return NULL;
        } else if (strcmp(word, "DEPTH") == 0) {
            if (!next_number(f, "depth", 4, &depth, why)) return NULL;
        } else if (strcmp(word, "MAXVAL") == 0) {
            if (!next_number(f, "maximum value", 65535, &max, why)) return NULL;
        } else {
            return say(why, "unknown PAM header field '%s'", word), NULL;
        }
    }
    if (!w || !h || !depth || !max) return say(why, "the PAM header lacks WIDTH, HEIGHT, DEPTH or MAXVAL"), NULL;
    what->maxval = (int)max;
    static const char *const depth_types[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    if (!type[0]) strcpy(type, depth_types[depth]);
    sample_layout l = {1, 0, 0, max, background};
    int bilevel = 0;
    const size_t n = strlen(type);
    if (n > 6 && strcmp(type + n - 6, "_ALPHA") == 0) {
        l.alpha = 1;
        type[n - 6] = '\0';
    }
    if (strcmp(type, "RGB") == 0) l.channels = 3;
    else if (strcmp(type, "BLACKANDWHITE") == 0) bilevel = l.white_is_zero = 1;
    else if (strcmp(type, "GRAYSCALE") != 0) return say(why, "PAM tuple type '%s' is not supported", type), NULL;
    if (depth != l.channels + l.alpha)
        return say(why, "PAM depth %ld does not match tuple type %s%s", depth, type, l.alpha ? "_ALPHA" : ""), NULL;
    const unsigned long long need =
        (unsigned long long)w * (unsigned long long)h * (unsigned long long)depth * (max > 255 ? 2ULL : 1ULL);
    AnyImageStruct *im = new_image(layout_tag(&l, bilevel), w, h, f, need, "bytes", why);
    if (!im) return NULL;
    if (read_raw(f, im, &l, why)) return im;
    im_Free_(im, im->header->tag);
    return NULL;
}

#ifdef TESSERA_HAVE_PNG
typedef struct png_job {
    problem *why;
    AnyImageStruct *im;
    unsigned char *row;
    unsigned long *samples;
} png_job;

static void png_error_fn(png_structp p, png_const_charp message) {
    png_job *job = png_get_error_ptr(p);
    say(job->why, "a damaged PNG file: %s", message);
    png_longjmp(p, 1);
}
static void png_warning_fn(png_structp p, png_const_charp message) {
    (void)p;
    (void)message;
}

static AnyImageStruct *read_png(FILE *f, RGB background, sniffed *what, problem *why) {
    png_job job = {why, NULL, NULL, NULL};
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, png_error_fn, png_warning_fn);
    png_infop info = p ? png_create_info_struct(p) : NULL;
    if (!info) {
        png_destroy_read_struct(&p, NULL, NULL);
        return say(why, "out of memory for the PNG reader"), NULL;
    }
    if (setjmp(png_jmpbuf(p))) {
        if (job.im) im_Free_(job.im, job.im->header->tag);
        free(job.row);
        free(job.samples);
        png_destroy_read_struct(&p, &info, NULL);
        return NULL;
    }
    png_init_io(p, f);
    png_read_info(p, info);
    const png_uint_32 w = png_get_image_width(p, info), h = png_get_image_height(p, info);
    const int depth = png_get_bit_depth(p, info), colour = png_get_color_type(p, info);
    const int trns = png_get_valid(p, info, PNG_INFO_tRNS) != 0;
    what->maxval = colour == PNG_COLOR_TYPE_PALETTE ? 255 : (1 << depth) - 1;
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(p);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(p);
    if (trns) png_set_tRNS_to_alpha(p);
    const int passes = png_set_interlace_handling(p);
    png_read_update_info(p, info);
    sample_layout l = {(png_get_color_type(p, info) & PNG_COLOR_MASK_COLOR) ? 3 : 1,
                       (png_get_color_type(p, info) & PNG_COLOR_MASK_ALPHA) ? 1 : 0, 0,
                       png_get_bit_depth(p, info) == 16 ? 65535 : 255, background};
    const int bilevel = colour == PNG_COLOR_TYPE_GRAY && depth == 1 && !trns;
    if (w > 2147483647U || h > 2147483647U) png_error(p, "the image is too large");
    /* Deflate packs at most 1,032 bytes into one, and 1-bit pixels eight to a byte: a PNG that
     * claims more pixels than its file could hold is refused before anything is allocated. */
    job.im = new_image(bilevel ? IMAGE_BINARY : layout_tag(&l, 0), (long)w, (long)h, f,
                       ((unsigned long long)w * h) / 8300, "compressed bytes", why);
    if (!job.im) png_longjmp(p, 1);
    const size_t rowbytes = png_get_rowbytes(p, info), per = (size_t)(l.channels + l.alpha);
    /* Interlaced images need the whole picture before rows are complete. */
    job.row = malloc(passes > 1 ? rowbytes * h : rowbytes);
    job.samples = malloc((size_t)w * per * sizeof *job.samples);
    if (!job.row || !job.samples) {
        say(why, "out of memory for the PNG rows");
        png_longjmp(p, 1);
    }
    if (passes > 1) {
        png_bytep *rows = malloc(h * sizeof *rows);
        if (!rows) {
            say(why, "out of memory for the PNG rows");
            png_longjmp(p, 1);
        }
        for (png_uint_32 y = 0; y < h; ++y) rows[y] = job.row + y * rowbytes;
        png_read_image(p, rows);
        free(rows);
    }
    for (png_uint_32 y = 0; y < h; ++y) {
        const unsigned char *r = job.row + (passes > 1 ? y * rowbytes : 0);
        if (passes == 1) png_read_row(p, job.row, NULL);
        for (size_t i = 0; i < (size_t)w * per; ++i) {
            unsigned long v = l.maxval == 65535 ? (unsigned long)r[2 * i] << 8 | r[2 * i + 1] : r[i];
            if (bilevel) v = v == 0; /* black (0) is a set pixel */
            job.samples[i] = v;
        }
        put_row(job.im, (int)y, job.samples, &l);
    }
    png_read_end(p, NULL);
    png_destroy_read_struct(&p, &info, NULL);
    free(job.row);
    free(job.samples);
    return job.im;
}
#endif

/* Drops the blank lines that end a loaded comment (each save adds one), and an empty comment. */
static void trim_comment(ImageHeader *h) {
    if (!h->comment) return;
    const char *c = strGet(h->comment);
    size_t n = strlen(c);
    while (n > 0 && (c[n - 1] == '\n' || c[n - 1] == ' ')) --n;
    if (n == strlen(c)) return;
    char *text = strndup(c, n);
    adtStringHeader *t = n > 0 && text ? strMake(text) : NULL;
    free(text);
    strFree(h->comment);
    h->comment = t;
}

AnyImageStruct *load_any(const char *path, RGB background, sniffed *what, problem *why) {
    if (!sniff(path, what, why)) return NULL;
    if (what->kind == KIND_DRAWING) return say(why, "a drawing, not an image (render it first)"), NULL;
    if (what->kind == KIND_LIBRARY) {
        AnyImageStruct *im = im_Load(ALL_TAGS, path);
        if (!im) say_library(why);
        else trim_comment(im->header);
        return im;
    }
#ifndef TESSERA_HAVE_PNG
    if (what->kind == KIND_PNG) return say(why, "this tessera was built without PNG support"), NULL;
#endif
    FILE *f = fopen(path, "rb");
    if (!f) return say_system(why, "cannot open"), NULL;
    AnyImageStruct *im = NULL;
    if (what->kind == KIND_PNM) im = read_pnm(f, background, why);
    else if (what->kind == KIND_PAM) im = read_pam(f, background, what, why);
#ifdef TESSERA_HAVE_PNG
    else im = read_png(f, background, what, why);
#endif
    fclose(f);
    return im;
}

/* ---- output formats ------------------------------------------------------------------------------ */

static const out_format formats[] = {
    {"pbm", IMAGE_BINARY, 0},
    {"pgm", IMAGE_GRAY, 0},
    {"ppm", IMAGE_RGB, 0},
    {"pnm", 0, 0},
    {"pam", 0, 1},
    {"png", 0, 2},
    {"q1", IMAGE_FLOAT, 0},
    {"q2", IMAGE_DOUBLE, 0},
    {"q3", IMAGE_INT, 0},
    {"q4", IMAGE_SHORT, 0},
    {"q10", IMAGE_FLOAT3A, 0},
    {"q11", IMAGE_FLOAT3B, 0},
};

const out_format *format_named(const char *name) {
    if (name[0] == '.') ++name;
    for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i)
        if (strcasecmp(name, formats[i].name) == 0) return &formats[i];
    return NULL;
}

const out_format *format_of_path(const char *path) {
    const char *slash = strrchr(path, '/'), *dot = strrchr(path, '.');
    if (!dot || (slash && dot < slash)) return NULL;
    return format_named(dot + 1);
}

const char *format_names(void) { return "pbm, pgm, ppm, pnm, pam, png, q1, q2, q3, q4, q10, q11"; }

static int is_numeric(unsigned tag) { return !(tag & (IMAGE_BINARY | IMAGE_GRAY | IMAGE_RGB)); }
static int has_three(unsigned tag) { return (tag & (IMAGE_RGB | IMAGE_FLOAT3A | IMAGE_FLOAT3B)) != 0; }

unsigned target_tag(const out_format *f, unsigned tag, int may_convert) {
    if (f->tag) return f->tag == tag || may_convert ? f->tag : 0;
    if (!is_numeric(tag)) return tag; /* pnm, pam and png hold binary, gray and RGB */
    return may_convert ? (has_three(tag) ? IMAGE_RGB : IMAGE_GRAY) : 0;
}

/* ---- conversion ---------------------------------------------------------------------------------- */

static void get_pixel(const AnyImageStruct *im, int x, int y, double c[3]) {
    const void *row = im->data[y];
    switch (im->header->tag) {
    case IMAGE_BINARY: c[0] = ((const int8_t *)row)[x] != 0; break;
    case IMAGE_GRAY: c[0] = ((const uint8_t *)row)[x]; break;
    case IMAGE_SHORT: c[0] = ((const int16_t *)row)[x]; break;
    case IMAGE_INT: c[0] = ((const int32_t *)row)[x]; break;
    case IMAGE_FLOAT: c[0] = ((const float *)row)[x]; break;
    case IMAGE_DOUBLE: c[0] = ((const double *)row)[x]; break;
    case IMAGE_RGB: {
        const RGB p = ((const RGB *)row)[x];
        c[0] = p.r, c[1] = p.g, c[2] = p.b;
        break;
    }
    default: {
        const float *p = (const float *)row + 3 * x;
        c[0] = p[0], c[1] = p[1], c[2] = p[2];
    }
    }
}

static double clamp_round(double v, double lo, double hi) {
    if (v != v) return 0;
    v = nearbyint(v);
    return v < lo ? lo : v > hi ? hi : v;
}

static void put_pixel(AnyImageStruct *im, int x, int y, const double c[3]) {
    void *row = im->data[y];
    switch (im->header->tag) {
    case IMAGE_BINARY: ((int8_t *)row)[x] = (int8_t)(c[0] != 0); break;
    case IMAGE_GRAY: ((uint8_t *)row)[x] = (uint8_t)clamp_round(c[0], 0, 255); break;
    case IMAGE_SHORT: ((int16_t *)row)[x] = (int16_t)clamp_round(c[0], -32768, 32767); break;
    case IMAGE_INT: ((int32_t *)row)[x] = (int32_t)clamp_round(c[0], -2147483648.0, 2147483647.0); break;
    case IMAGE_FLOAT: ((float *)row)[x] = (float)c[0]; break;
    case IMAGE_DOUBLE: ((double *)row)[x] = c[0]; break;
    case IMAGE_RGB:
        ((RGB *)row)[x] = (RGB){(uint8_t)clamp_round(c[0], 0, 255), (uint8_t)clamp_round(c[1], 0, 255),
                                (uint8_t)clamp_round(c[2], 0, 255)};
        break;
    default: {
        float *p = (float *)row + 3 * x;
        p[0] = (float)c[0], p[1] = (float)c[1], p[2] = (float)c[2];
    }
    }
}

static double luma(const double c[3]) {
    if (c[0] == c[1] && c[1] == c[2]) return c[0];
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
}

/* Converts one pixel's values from the element type from to the type to. */
static void convert_pixel(unsigned from, unsigned to, double c[3], double lo, double scale) {
    if (!has_three(from)) c[1] = c[2] = c[0];
    /* Binary pixels are black (0) when set and white (255) when clear, in every other type. */
    if (from == IMAGE_BINARY && to != IMAGE_BINARY) c[0] = c[1] = c[2] = c[0] ? 0 : 255;
    else if (to == IMAGE_BINARY && from != IMAGE_BINARY) {
        c[0] = luma(c) < 128;
        return;
    }
    if (scale > 0)
        for (int k = 0; k < 3; ++k) c[k] = c[k] != c[k] ? 0 : (c[k] - lo) * scale;
    if (!has_three(to)) c[0] = luma(c);
}

AnyImageStruct *convert_image(AnyImageStruct *im, unsigned tag, int normalize) {
    const ImageHeader *h = im->header;
    AnyImageStruct *out = im_NewOrWrap_((uint16_t)tag, h->width, h->height, h->xoffset, h->yoffset, NULL, 0, 0, NULL);
    if (!out) return NULL;
    double lo = 0, scale = 0;
    if (normalize && is_numeric(h->tag) && !is_numeric(tag) && tag != IMAGE_BINARY) {
        double hi = -INFINITY;
        lo = INFINITY;
        for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
            for (int x = h->xoffset; x < h->xoffset + h->width; ++x) {
                double c[3] = {0, 0, 0};
                get_pixel(im, x, y, c);
                for (int k = 0; k < (has_three(h->tag) ? 3 : 1); ++k)
                    if (isfinite(c[k])) {
                        if (c[k] < lo) lo = c[k];
                        if (c[k] > hi) hi = c[k];
                    }
            }
        scale = hi > lo ? 255.0 / (hi - lo) : 0;
        if (!(hi > lo)) lo = 0, scale = 0; /* a flat or empty range keeps its values */
    }
    for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
        for (int x = h->xoffset; x < h->xoffset + h->width; ++x) {
            double c[3] = {0, 0, 0};
            get_pixel(im, x, y, c);
            convert_pixel(h->tag, tag, c, lo, scale);
            put_pixel(out, x, y, c);
        }
    return out;
}

void paint_border(AnyImageStruct *im, int n, RGB colour) {
    const ImageHeader *h = im->header;
    double c[3] = {colour.r, colour.g, colour.b};
    convert_pixel(IMAGE_RGB, h->tag, c, 0, 0);
    for (int y = 0; y < h->height; ++y)
        for (int x = 0; x < h->width; ++x)
            if (y < n || y >= h->height - n || x < n || x >= h->width - n)
                put_pixel(im, h->xoffset + x, h->yoffset + y, c);
}

/* ---- writers ------------------------------------------------------------------------------------- */

static int write_pam(AnyImageStruct *im, FILE *f) {
    const ImageHeader *h = im->header;
    const int depth = h->tag == IMAGE_RGB ? 3 : 1;
    const char *type = h->tag == IMAGE_RGB ? "RGB" : h->tag == IMAGE_GRAY ? "GRAYSCALE" : "BLACKANDWHITE";
    if (fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n", h->width, h->height, depth,
                h->tag == IMAGE_BINARY ? 1 : 255, type) < 0)
        return 0;
    const size_t row = (size_t)h->width * (size_t)depth;
    unsigned char *buf = malloc(row);
    int ok = buf != NULL;
    for (int y = 0; ok && y < h->height; ++y) {
        const unsigned char *src = (const unsigned char *)im->data[h->yoffset + y] + (long)h->xoffset * depth;
        for (size_t i = 0; i < row; ++i) buf[i] = h->tag == IMAGE_BINARY ? src[i] == 0 : src[i];
        ok = fwrite(buf, 1, row, f) == row;
    }
    free(buf);
    return ok;
}

#ifdef TESSERA_HAVE_PNG
static int write_png(AnyImageStruct *im, FILE *f, problem *why) {
    const ImageHeader *h = im->header;
    png_job job = {why, NULL, NULL, NULL};
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, png_error_fn, png_warning_fn);
    png_infop info = p ? png_create_info_struct(p) : NULL;
    if (!info) {
        png_destroy_write_struct(&p, NULL);
        return say(why, "out of memory for the PNG writer");
    }
    if (setjmp(png_jmpbuf(p))) {
        free(job.row);
        png_destroy_write_struct(&p, &info);
        return 0;
    }
    png_init_io(p, f);
    const int binary = h->tag == IMAGE_BINARY, depth = h->tag == IMAGE_RGB ? 3 : 1;
    png_set_IHDR(p, info, (png_uint_32)h->width, (png_uint_32)h->height, binary ? 1 : 8,
                 h->tag == IMAGE_RGB ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    const size_t row = binary ? ((size_t)h->width + 7) / 8 : (size_t)h->width * (size_t)depth;
    job.row = malloc(row);
    if (!job.row) {
        say(why, "out of memory for a PNG row");
        png_longjmp(p, 1);
    }
    for (int y = 0; y < h->height; ++y) {
        const unsigned char *src = (const unsigned char *)im->data[h->yoffset + y] + (long)h->xoffset * depth;
        if (binary) { /* in a 1-bit gray PNG, 0 is black: a set pixel */
            memset(job.row, 0, row);
            for (int x = 0; x < h->width; ++x)
                if (!src[x]) job.row[x / 8] |= (unsigned char)(0x80 >> (x % 8));
        } else {
            memcpy(job.row, src, row);
        }
        png_write_row(p, job.row);
    }
    png_write_end(p, NULL);
    png_destroy_write_struct(&p, &info);
    free(job.row);
    return 1;
}
#endif

int save_as(AnyImageStruct *im, const out_format *f, const char *path, problem *why) {
    if (f->container == 0) {
        if (im_Save_(im, im->header, path) == 0) return 1;
        return say_library(why);
    }
    FILE *out = path ? fopen(path, "wb") : stdout;
    if (!out) return say_system(why, "cannot open for writing");
    int ok;
#ifdef TESSERA_HAVE_PNG
    if (f->container == 2) ok = write_png(im, out, why);
    else
#endif
        ok = f->container == 1 ? write_pam(im, out) : say(why, "this tessera was built without PNG support");
    if (path ? fclose(out) != 0 : fflush(out) != 0) ok = 0;
    if (!ok && !why->text[0]) say(why, "cannot write: %s", strerror(errno));
    return ok;
}
