/* PNG encoding of a photograph-like 8-bit RGB picture: tessera_io_save_memory at its default
 * level and every level against libpng used directly with its defaults (level 6, its adaptive
 * filter choice, zlib's default strategy), interleaved round by round; medians of wall and CPU
 * time, and the sizes. Every file is decoded again and compared with the picture.
 *
 * Build: cc -O2 bench/png_encode.c -Iinclude -LLIB -ltessera_io -ltessera -lpng -lm
 * Usage: png_encode [SIDE | quiet:SIDE | PICTURE] [ROUNDS]
 *   SIDE: a made photograph-like picture, smooth shapes with noise of about 6 levels (2048 and
 *   5 rounds by default); quiet:SIDE the same with noise of about 2; PICTURE: any 8-bit RGB
 *   file tessera reads, such as a rendered drawing
 *   (tessera render examples/drawings/shapes.cptl --scale 6 --rgb drawing.ppm). */
#include <tessera/image.h>
#include <tessera/io.h>

#include <math.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "c_bench.h"

typedef struct {
    unsigned char *data;
    size_t size, room;
} buffer;

static void put(png_structp p, png_bytep d, size_t n) {
    buffer *b = png_get_io_ptr(p);
    if (b->size + n > b->room) {
        b->room = (b->size + n) * 2;
        b->data = realloc(b->data, b->room);
        if (!b->data) abort();
    }
    memcpy(b->data + b->size, d, n);
    b->size += n;
}
static void flush(png_structp p) { (void)p; }

/* libpng with every default: what a program that asks for nothing gets. */
static size_t libpng_default(const unsigned char *rgb, int width, int height) {
    buffer b = {0};
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) abort();
    png_set_write_fn(p, &b, put, flush);
    png_set_IHDR(p, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    for (int y = 0; y < height; ++y) png_write_row(p, rgb + (size_t)y * width * 3);
    png_write_end(p, NULL);
    png_destroy_write_struct(&p, &info);
    free(b.data);
    return b.size;
}

/* The file at level, in a new block; its size in *size. */
static void *tessera_level(void *im, int level, size_t *size) {
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    o.compression = level;
    void *data = NULL;
    if (tessera_io_save_memory(im, tessera_io_format_named("png"), &o, &data, size) != 0) {
        fprintf(stderr, "save: %s\n", tessera_io_last_error());
        exit(1);
    }
    return data;
}

/* Decodes the file again and compares it with the picture; frees it. */
static void check(void *im, void *data, size_t size, int level) {
    tessera_io_load_options lo;
    tessera_io_load_defaults(&lo);
    void *back = tessera_io_load_memory(data, size, &lo, NULL);
    const ImageHeader *a = ((AnyImageStruct *)im)->header, *z = back ? ((AnyImageStruct *)back)->header : NULL;
    if (!z || z->width != a->width || memcmp(((AnyImageStruct *)back)->data[0], ((AnyImageStruct *)im)->data[0],
                                             (size_t)a->width * a->height * 3) != 0) {
        fprintf(stderr, "level %d does not round-trip\n", level);
        exit(1);
    }
    im_Free_(back, z->tag);
    free(data);
}


int main(int argc, char **argv) {
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    const int quiet = argc > 1 && strncmp(argv[1], "quiet:", 6) == 0;
    int side = argc > 1 ? atoi(argv[1] + (quiet ? 6 : 0)) : 2048, height = side;
    void *im = NULL;
    if (argc > 1 && side == 0) {
        tessera_io_load_options lo;
        tessera_io_load_defaults(&lo);
        im = tessera_io_load(argv[1], &lo, NULL);
        if (!im || ((AnyImageStruct *)im)->header->tag != IMAGE_RGB) {
            fprintf(stderr, "%s: not an 8-bit RGB picture\n", argv[1]);
            return 1;
        }
        side = ((AnyImageStruct *)im)->header->width;
        height = ((AnyImageStruct *)im)->header->height;
    } else {
        im = im_NewOrWrap_(IMAGE_RGB, side, side, 0, 0, NULL, 0, 0, NULL);
        if (!im) return 1;
    }
    unsigned char *rgb = ((AnyImageStruct *)im)->data[0];
    if (argc <= 1 || atoi(argv[1] + (quiet ? 6 : 0)) > 0) make_photo(rgb, side, quiet ? 2 : 6);
    enum { kinds = 6 };
    const char *names[kinds] = {"libpng, its defaults", "tessera default", "tessera level 1", "tessera level 3",
                                "tessera level 6", "tessera level 9"};
    const int levels[kinds] = {0, -1, 1, 3, 6, 9};
    double wall[kinds][64], cpu[kinds][64];
    size_t sizes[kinds];
    for (int r = 0; r < rounds && r < 64; ++r)
        for (int i = 0; i < kinds; ++i) {
            const int k = (i + r) % kinds;
            const double w0 = clock_now(CLOCK_MONOTONIC), c0 = clock_now(CLOCK_PROCESS_CPUTIME_ID);
            void *file = NULL;
            if (k == 0) sizes[k] = libpng_default(rgb, side, height);
            else file = tessera_level(im, levels[k], &sizes[k]);
            wall[k][r] = clock_now(CLOCK_MONOTONIC) - w0, cpu[k][r] = clock_now(CLOCK_PROCESS_CPUTIME_ID) - c0;
            if (file) check(im, file, sizes[k], levels[k]);
        }
    const double base_wall = median(wall[0], rounds), base_cpu = median(cpu[0], rounds);
    printf("PNG encoding, %d x %d 8-bit RGB, medians of %d interleaved rounds (each of tessera's files\n"
           "is decoded again and compared with the picture, outside the times)\n\n", side, height, rounds);
    printf("| encoder | wall ms | CPU ms | libpng / this, CPU | bytes | size / libpng's |\n|---|---:|---:|---:|---:|---:|\n");
    for (int k = 0; k < kinds; ++k) {
        const double w = median(wall[k], rounds), c = median(cpu[k], rounds);
        printf("| %s | %.1f | %.1f | %.2f | %zu | %.3f |\n", names[k], w * 1e3, c * 1e3, base_cpu / c, sizes[k],
               (double)sizes[k] / sizes[0]);
    }
    (void)base_wall;
    im_Free_(im, IMAGE_RGB);
    return 0;
}
