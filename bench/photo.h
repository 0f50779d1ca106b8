/* The photograph-like picture the C benchmarks share with bench/files.py: smooth shapes with
 * noise of standard deviation noise_level, 8-bit RGB, side x side, into rgb. */
#ifndef TESSERA_BENCH_PHOTO_H
#define TESSERA_BENCH_PHOTO_H

#include <math.h>
#include <stddef.h>

static void make_photo(unsigned char *rgb, int side, double noise_level) {
    unsigned long s = 1;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            for (int c = 0; c < 3; ++c) {
                double noise = 0; /* four uniforms: close to normal, of variance 1/3 */
                for (int k = 0; k < 4; ++k)
                    s = s * 6364136223846793005ul + 1442695040888963407ul, noise += (s >> 33) / 2147483648.0;
                const double v =
                    128 + 90 * sin(x / 97.0 + 1.3 * c) * cos(y / 131.0 - 1.3 * c) + (noise - 2) * noise_level * 1.732;
                rgb[((size_t)y * side + x) * 3 + c] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
}

#endif
