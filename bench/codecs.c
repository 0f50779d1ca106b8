/* Image files decoded from and encoded to memory by tessera (libtessera_io) and by the codec
 * libraries used directly, as a program that calls them itself would (libtiff one strip at a
 * time, libpng a row at a time with its samples swapped to the machine's order, libjpeg-turbo a
 * scanline batch at a time), on the photograph-like 2048 x 2048 picture, 8-bit and 16-bit RGB.
 * Each decode makes a new block for the pixels and each encode a new block for the file (the
 * libraries' of the file's whole size at once), as tessera's calls do. Each measurement repeats
 * its case for about 50 ms, so blocks are reused from the allocator's heap on both sides, as
 * in a program that loads many files: the first touch of fresh memory, which a program of one
 * load pays once, is left out. Interleaved round by round, medians of CPU time; the ratio is
 * the library's time over tessera's (above 1: tessera is faster). tessera loads files as their
 * own types (16-bit RGB as IMAGE_RGB16) and saves them as they are.
 *
 * Build: cc -O2 bench/codecs.c -Iinclude -LLIB -ltessera_io -ltessera -ltiff -lpng -ljpeg -lm
 * Usage: codecs [ROUNDS [CASE]]   (5 rounds by default; CASE: the number of one case to run alone,
 * from 0, as a profiler wants it) */
#include <tessera/image.h>
#include <tessera/io.h>

#include <jpeglib.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>
#include <time.h>

#include "c_bench.h"

enum { side = 2048 };

/* ---- a growing buffer, and libtiff over it ------------------------------------------------ */

typedef struct {
    unsigned char *data;
    size_t size, room, at;
} buffer;

static void append(buffer *b, const void *d, size_t n) {
    if (b->at + n > b->room) {
        b->room = (b->at + n) * 2;
        if (!(b->data = realloc(b->data, b->room))) abort();
    }
    memcpy(b->data + b->at, d, n);
    b->at += n;
    if (b->at > b->size) b->size = b->at;
}
static void release(buffer *b) {
    free(b->data);
    *b = (buffer){0};
}
static tmsize_t t_read(thandle_t h, void *d, tmsize_t n) {
    buffer *b = h;
    if ((size_t)n > b->size - b->at) n = (tmsize_t)(b->size - b->at);
    memcpy(d, b->data + b->at, (size_t)n);
    b->at += (size_t)n;
    return n;
}
static tmsize_t t_write(thandle_t h, void *d, tmsize_t n) { return append(h, d, (size_t)n), n; }
static toff_t t_seek(thandle_t h, toff_t off, int whence) {
    buffer *b = h;
    const size_t to = whence == SEEK_SET ? off : whence == SEEK_CUR ? b->at + off : b->size + off;
    if (to > b->room) {
        b->room = to * 2;
        if (!(b->data = realloc(b->data, b->room))) abort();
    }
    if (to > b->size) memset(b->data + b->size, 0, to - b->size), b->size = to;
    return b->at = to;
}
static int t_close(thandle_t h) { return (void)h, 0; }
static toff_t t_size(thandle_t h) { return ((buffer *)h)->size; }
static int t_map(thandle_t h, void **base, toff_t *size) { return *base = ((buffer *)h)->data, *size = ((buffer *)h)->size, 1; }
static void t_unmap(thandle_t h, void *base, toff_t size) { (void)h, (void)base, (void)size; }
static TIFF *tiff_over(buffer *b, const char *mode) {
    return TIFFClientOpen("memory", mode, b, t_read, t_write, t_seek, t_close, t_size, t_map, t_unmap);
}

/* ---- the codec libraries used directly ---------------------------------------------------------- */

static void tiff_encode(const void *pixels, int bits, buffer *out) {
    out->size = out->at = 0;
    TIFF *t = tiff_over(out, "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    const size_t row = (size_t)side * 3 * bits / 8;
    const uint32_t rows = TIFFDefaultStripSize(t, 0);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    for (uint32_t y = 0, s = 0; y < side; y += rows, ++s)
        TIFFWriteEncodedStrip(t, s, (unsigned char *)pixels + y * row, (tmsize_t)(row * (y + rows > side ? side - y : rows)));
    TIFFClose(t);
}
static void tiff_decode(buffer *in, void *pixels) {
    in->at = 0;
    TIFF *t = tiff_over(in, "rm"); /* read, not mapped: as tessera reads a file in memory */
    const tstrip_t n = TIFFNumberOfStrips(t);
    unsigned char *d = pixels;
    for (tstrip_t s = 0; s < n; ++s) d += TIFFReadEncodedStrip(t, s, d, -1);
    TIFFClose(t);
}

static void png_put(png_structp p, png_bytep d, size_t n) { append(png_get_io_ptr(p), d, n); }
static void png_flush_none(png_structp p) { (void)p; }
static void png_get(png_structp p, png_bytep d, size_t n) {
    buffer *b = png_get_io_ptr(p);
    memcpy(d, b->data + b->at, n);
    b->at += n;
}
static void png_encode(const void *pixels, int bits, buffer *out) {
    out->size = out->at = 0;
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(p);
    png_set_write_fn(p, out, png_put, png_flush_none);
    png_set_IHDR(p, info, side, side, bits, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    if (bits == 16) png_set_swap(p);
    const size_t row = (size_t)side * 3 * bits / 8;
    for (int y = 0; y < side; ++y) png_write_row(p, (png_bytep)pixels + y * row);
    png_write_end(p, NULL);
    png_destroy_write_struct(&p, &info);
}
static void png_decode(buffer *in, void *pixels) {
    in->at = 0;
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(p);
    png_set_read_fn(p, in, png_get);
    png_read_info(p, info);
    const int bits = png_get_bit_depth(p, info);
    if (bits == 16) png_set_swap(p);
    const size_t row = (size_t)side * 3 * bits / 8;
    for (int y = 0; y < side; ++y) png_read_row(p, (png_bytep)pixels + y * row, NULL);
    png_read_end(p, NULL);
    png_destroy_read_struct(&p, &info, NULL);
}

static void jpeg_encode(const unsigned char *rgb, buffer *out) {
    struct jpeg_compress_struct c;
    struct jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *mem = NULL;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = c.image_height = side, c.input_components = 3, c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = (JSAMPROW)(rgb + (size_t)c.next_scanline * side * 3);
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    out->size = out->at = 0;
    append(out, mem, size);
    free(mem);
}
static void jpeg_decode(buffer *in, unsigned char *rgb) {
    struct jpeg_decompress_struct d;
    struct jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, in->data, in->size);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[8];
        for (int k = 0; k < 8; ++k) rows[k] = rgb + (size_t)(d.output_scanline + k) * side * 3;
        jpeg_read_scanlines(&d, rows, 8);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

/* ---- tessera ------------------------------------------------------------------------------------ */

static void tessera_encode(void *im, const char *format, buffer *out) {
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    o.quality = 90;
    void *data = NULL;
    size_t size = 0;
    if (tessera_io_save_memory(im, tessera_io_format_named(format), &o, &data, &size) != 0) {
        fprintf(stderr, "%s: %s\n", format, tessera_io_last_error());
        exit(1);
    }
    /* the file is tessera's new block: kept as the result, as the library's encoders make theirs */
    release(out);
    *out = (buffer){data, size, size, size};
}
static void tessera_decode(buffer *in) {
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    AnyImageStruct *im = tessera_io_load_memory(in->data, in->size, &o, NULL);
    if (!im) fprintf(stderr, "load: %s\n", tessera_io_last_error()), exit(1);
    im_Free_(im, im->header->tag);
}

int main(int argc, char **argv) {
    const int rounds = argc > 1 && atoi(argv[1]) > 0 && atoi(argv[1]) <= 64 ? atoi(argv[1]) : 5;
    const size_t pixels = (size_t)side * side;
    void *rgb8 = im_NewOrWrap_(IMAGE_RGB, side, side, 0, 0, NULL, 0, 0, NULL);
    void *rgb16 = im_NewOrWrap_(IMAGE_RGB16, side, side, 0, 0, NULL, 0, 0, NULL);
    unsigned char *p8 = ((AnyImageStruct *)rgb8)->data[0];
    uint16_t *p16 = ((AnyImageStruct *)rgb16)->data[0];
    make_photo(p8, side, 6);
    for (size_t i = 0; i < 3 * pixels; ++i) p16[i] = (uint16_t)(p8[i] * 257 + (i * 2654435761u >> 24));
    const size_t pixels_bytes = pixels * 6;
    buffer tif8 = {0}, tif16 = {0}, png8 = {0}, png16 = {0}, jpg = {0}, out = {0};
    tiff_encode(p8, 8, &tif8), tiff_encode(p16, 16, &tif16);
    png_encode(p8, 8, &png8), png_encode(p16, 16, &png16), jpeg_encode(p8, &jpg);
    enum { cases = 10 };
    static const char *names[cases] = {"decode TIFF 8-bit RGB",  "encode TIFF 8-bit RGB",  "decode TIFF 16-bit RGB",
                                       "encode TIFF 16-bit RGB", "decode PNG 8-bit RGB",   "decode PNG 16-bit RGB",
                                       "decode JPEG q90",        "encode JPEG q90",        "encode PNG 8-bit RGB",
                                       "encode PNG 16-bit RGB"};
    double lib[cases][64], ours[cases][64];
    int reps[cases]; /* each measurement repeats its case for about 50 ms, so that short ones are timed well */
    for (int k = 0; k < cases; ++k) reps[k] = 1;
    for (int r = -1; r < rounds; ++r) /* round -1 measures the repeats */
        for (int k = 0; k < cases; ++k)
            for (int side_first = 0; side_first < 2 && (argc < 3 || atoi(argv[2]) == k); ++side_first) {
                const int tessera_now = (side_first + (r < 0 ? 0 : r)) % 2;
                const double t0 = clock_now(CLOCK_PROCESS_CPUTIME_ID);
                for (int rep = 0; rep < reps[k]; ++rep) {
                const int decoding = k < 8 && k != 1 && k != 3 && k != 7;
                /* the pixels' own size: glibc serves a block as large as the last one freed from
                   its heap, so a larger one here would give the library's side memory already
                   touched while tessera's comes fresh from the kernel */
                unsigned char *pixels = decoding ? malloc(pixels_bytes / (k == 2 || k == 5 ? 1 : 2)) : NULL;
                if (!decoding && !tessera_now) { /* room for the whole file at once, as a careful caller makes */
                    out.room = pixels_bytes + 65536;
                    if (!(out.data = malloc(out.room))) abort();
                }
                switch (k * 2 + tessera_now) {
                case 0: tiff_decode(&tif8, pixels); break;
                case 1: tessera_decode(&tif8); break;
                case 2: tiff_encode(p8, 8, &out); break;
                case 3: tessera_encode(rgb8, "tiff", &out); break;
                case 4: tiff_decode(&tif16, pixels); break;
                case 5: tessera_decode(&tif16); break;
                case 6: tiff_encode(p16, 16, &out); break;
                case 7: tessera_encode(rgb16, "tiff", &out); break;
                case 8: png_decode(&png8, pixels); break;
                case 9: tessera_decode(&png8); break;
                case 10: png_decode(&png16, pixels); break;
                case 11: tessera_decode(&png16); break;
                case 12: jpeg_decode(&jpg, pixels); break;
                case 13: tessera_decode(&jpg); break;
                case 14: jpeg_encode(p8, &out); break;
                case 15: tessera_encode(rgb8, "jpeg", &out); break;
                case 16: png_encode(p8, 8, &out); break;
                case 17: tessera_encode(rgb8, "png", &out); break;
                case 18: png_encode(p16, 16, &out); break;
                default: tessera_encode(rgb16, "png", &out); break;
                }
                free(pixels);
                release(&out);
                }
                const double spent = clock_now(CLOCK_PROCESS_CPUTIME_ID) - t0;
                if (r < 0) {
                    if (!tessera_now) reps[k] = spent > 0.05 ? 1 : (int)(0.05 / (spent > 1e-4 ? spent : 1e-4)) + 1;
                    continue;
                }
                (tessera_now ? ours : lib)[k][r] = spent / reps[k];
            }
    printf("2048 x 2048, medians of %d interleaved rounds, CPU time\n\n", rounds);
    printf("| case | the library directly | tessera | library / tessera |\n|---|---:|---:|---:|\n");
    for (int k = 0; k < cases; ++k) {
        if (argc >= 3 && atoi(argv[2]) != k) continue;
        const double l = median(lib[k], rounds), t = median(ours[k], rounds);
        printf("| %s | %.1f ms | %.1f ms | %.2f |\n", names[k], l * 1e3, t * 1e3, l / t);
    }
    return 0;
}
