// The reference loops for the extrema benchmark, compiled on their own at -O2.
#include <cstddef>
#include <cstdint>

template <class T> void plain_max_min(const T *p, std::size_t n, T *max, T *min) {
    T hi = p[0], lo = p[0];
    for (std::size_t i = 1; i < n; ++i) {
        if (p[i] > hi) hi = p[i];
        else if (p[i] < lo) lo = p[i];
    }
    *max = hi;
    *min = lo;
}

template void plain_max_min<uint8_t>(const uint8_t *, std::size_t, uint8_t *, uint8_t *);
template void plain_max_min<float>(const float *, std::size_t, float *, float *);
template void plain_max_min<int32_t>(const int32_t *, std::size_t, int32_t *, int32_t *);
