/* What the C benchmarks share: the photograph-like picture of bench/files.py, a clock and
 * medians. */
#ifndef TESSERA_BENCH_C_BENCH_H
#define TESSERA_BENCH_C_BENCH_H

#include <math.h>
#include <stddef.h>
#include <stdlib.h>
#include <time.h>

/* Smooth shapes with noise of standard deviation noise_level, 8-bit RGB, side x side, into rgb. */
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

/* Seconds on clock c (CLOCK_MONOTONIC, CLOCK_PROCESS_CPUTIME_ID). */
static double clock_now(clockid_t c) {
    struct timespec t;
    clock_gettime(c, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}
/* The median of v[0 .. n - 1], which it sorts. */
static double median(double *v, int n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

#endif
