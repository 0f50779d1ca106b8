/* libvips' "speed and memory" benchmark done by libtessera_io: load a TIFF, crop 100 pixels off
 * every edge, shrink by 10 % with a bilinear filter, save as TIFF.
 * Usage: pipeline_tessera IN.tif OUT.tif */
#include <tessera/geometry.h>
#include <tessera/io.h>

#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 3) return fprintf(stderr, "usage: pipeline_tessera IN.tif OUT.tif\n"), 2;
    tessera_io_info info;
    if (!tessera_io_probe(argv[1], NULL, &info)) return fprintf(stderr, "%s\n", tessera_io_last_error()), 1;
    tessera_io_steps s = {0};
    s.crop_left = 100, s.crop_top = 100, s.crop_width = info.width - 200, s.crop_height = info.height - 200;
    s.width = (int32_t)(s.crop_width * 0.9 + 0.5), s.height = (int32_t)(s.crop_height * 0.9 + 0.5);
    s.filter = TESSERA_BILINEAR;
    if (tessera_io_pipeline(argv[1], argv[2], NULL, &s, NULL, NULL, NULL) != 0)
        return fprintf(stderr, "%s\n", tessera_io_last_error()), 1;
    return 0;
}
