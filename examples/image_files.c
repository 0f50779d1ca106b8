/* Loads image files of any format tessera reads, keeping samples deeper than 8 bits, and saves
 * each in other formats: 16-bit images as 16-bit TIFF and PGM (or PPM), 8-bit ones as PNG and
 * JPEG. Link with libtessera_io (pkg-config tessera_io).
 * usage: image_files OUTDIR FILE... */
#include <tessera.h>
#include <tessera/io.h>

#include <stdio.h>
#include <string.h>

/* Saves im as OUTDIR/NAME.EXT, where NAME is the input's file name without its extension. */
static int save_as(void *im, const char *dir, const char *input, const char *ext, int depth) {
    const char *base = strrchr(input, '/');
    base = base ? base + 1 : input;
    const char *dot = strrchr(base, '.');
    char path[4096];
    snprintf(path, sizeof path, "%s/%.*s.%s", dir, (int)(dot ? dot - base : (long)strlen(base)), base, ext);
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    o.depth = depth;
    if (tessera_io_save(im, path, NULL, &o) != 0) {
        fprintf(stderr, "%s: %s\n", path, tessera_io_last_error());
        return 1;
    }
    printf("  wrote %s\n", path);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUTDIR FILE...\n", argv[0]);
        return 2;
    }
    tessera_io_load_options load;
    tessera_io_load_defaults(&load);
    load.depth = TESSERA_IO_KEEP; /* 16-bit gray loads as IMAGE_INT, colour as IMAGE_FLOAT3B */
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        tessera_io_info info;
        AnyImageStruct *im = tessera_io_load(argv[i], &load, &info);
        if (!im) {
            fprintf(stderr, "%s: %s\n", argv[i], tessera_io_last_error());
            failed = 1;
            continue;
        }
        printf("%s: %s, %d x %d, %d channel(s) of %d bits\n", argv[i], info.magic, info.width, info.height,
               info.channels, info.bits);
        const int colour = info.channels == 3;
        if (info.bits > 8) {
            failed |= save_as(im, argv[1], argv[i], "tif", 16);
            failed |= save_as(im, argv[1], argv[i], colour ? "ppm" : "pgm", 16);
        } else {
            failed |= save_as(im, argv[1], argv[i], "png", 0);
            if (im->header->tag != IMAGE_BINARY) failed |= save_as(im, argv[1], argv[i], "jpg", 0);
        }
        im_Free_(im, im->header->tag);
    }
    return failed;
}
