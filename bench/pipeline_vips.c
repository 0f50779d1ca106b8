/* libvips' "speed and memory" benchmark as libvips' C API does it: load a TIFF, crop 100 pixels
 * off every edge, shrink by 10 % with a bilinear filter (vips_resize with the linear kernel),
 * save as TIFF. Usage: pipeline_vips IN.tif OUT.tif */
#include <vips/vips.h>

int main(int argc, char **argv) {
    if (VIPS_INIT(argv[0])) vips_error_exit(NULL);
    if (argc != 3) return fprintf(stderr, "usage: pipeline_vips IN.tif OUT.tif\n"), 2;
    VipsImage *in, *cropped, *shrunk;
    if (!(in = vips_image_new_from_file(argv[1], "access", VIPS_ACCESS_SEQUENTIAL, NULL))) vips_error_exit(NULL);
    if (vips_crop(in, &cropped, 100, 100, in->Xsize - 200, in->Ysize - 200, NULL)) vips_error_exit(NULL);
    if (vips_resize(cropped, &shrunk, 0.9, "kernel", VIPS_KERNEL_LINEAR, NULL)) vips_error_exit(NULL);
    if (vips_image_write_to_file(shrunk, argv[2], NULL)) vips_error_exit(NULL);
    g_object_unref(shrunk);
    g_object_unref(cropped);
    g_object_unref(in);
    vips_shutdown();
    return 0;
}
