// Resizing with filters, flips, quarter turns and transposes of whole images. Pixel blocks are
// one run of width * height elements, so rows are addressed from the first pixel.
#include <tessera/geometry.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <type_traits>
#include <utility>

#include "image_internal.h"
#include "sampling.h"
#include "simd/x86.h"
#include "support/alloc.h"
#include "support/budget.h"
#include "support/error.h"
#include "turns.h"

namespace {

using tessera::detail::by_size;
using tessera::detail::Err;
using tessera::detail::fail;
using tessera::detail::first_pixel;
using tessera::detail::fixed_elem_size;
using tessera::detail::get_element;
using tessera::detail::pack_eight;
using tessera::detail::pack_word;
using tessera::detail::Turn;
using tessera::detail::Unit;
using tessera::detail::within_budget;

// ---- kernels ------------------------------------------------------------------------------------

double box(double x) { return x > -0.5 && x <= 0.5 ? 1.0 : 0.0; }
double triangle(double x) {
    x = std::fabs(x);
    return x < 1.0 ? 1.0 - x : 0.0;
}
// Keys' cubic convolution with a = -0.5.
double cubic(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return (((x - 5.0) * x + 8.0) * x - 4.0) * a;
    return 0.0;
}
double sinc(double x) {
    if (x == 0.0) return 1.0;
    x *= std::numbers::pi;
    return std::sin(x) / x;
}
double lanczos3(double x) { return x >= -3.0 && x < 3.0 ? sinc(x) * sinc(x / 3.0) : 0.0; }

struct Kernel {
    double (*weight)(double);
    double support; // radius at scale 1
};
constexpr Kernel kernels[] = {{nullptr, 0}, {box, 0.5}, {triangle, 1.0}, {cubic, 2.0}, {lanczos3, 3.0}};

// ---- sample tables ------------------------------------------------------------------------------

// For each of n output positions along an axis of m source pixels: the first source pixel that
// contributes, how many do, and their normalised weights (stride weights per position).
struct Taps {
    int32_t *first = nullptr;
    int32_t *count = nullptr;
    double *weights = nullptr;
    int32_t stride = 0;
    void *block = nullptr;
    Taps() = default;
    Taps(const Taps &) = delete;
    Taps &operator=(const Taps &) = delete;
    ~Taps() { tessera::detail::mem_free(block); }

    bool make(int32_t m, int32_t n, const Kernel &k) {
        const double scale = static_cast<double>(m) / static_cast<double>(n);
        const double filterscale = scale < 1.0 ? 1.0 : scale;
        const double support = k.support * filterscale;
        const double widest = std::ceil(support) * 2.0 + 1.0;
        stride = static_cast<int32_t>(widest < m ? widest : m);
        const std::size_t positions = static_cast<std::size_t>(n);
        const std::size_t bytes = positions * (2 * sizeof(int32_t) + static_cast<std::size_t>(stride) * sizeof(double));
        block = tessera::detail::mem_alloc(bytes);
        if (!block) return tessera::detail::fail_memory(bytes, "the filter's weights"), false;
        weights = static_cast<double *>(block);
        first = reinterpret_cast<int32_t *>(weights + positions * static_cast<std::size_t>(stride));
        count = first + n;
        const double ss = 1.0 / filterscale;
        for (int32_t i = 0; i < n; ++i) {
            const double centre = (i + 0.5) * scale;
            int32_t lo = static_cast<int32_t>(centre - support + 0.5);
            int32_t hi = static_cast<int32_t>(centre + support + 0.5);
            if (lo < 0) lo = 0;
            if (hi > m) hi = m;
            if (hi - lo > stride) hi = lo + stride; // only rounding could ask for more
            double *w = weights + static_cast<std::size_t>(i) * static_cast<std::size_t>(stride);
            double total = 0.0;
            for (int32_t t = 0; t < hi - lo; ++t) {
                w[t] = k.weight((t + lo - centre + 0.5) * ss);
                total += w[t];
            }
            if (total != 0.0)
                for (int32_t t = 0; t < hi - lo; ++t) w[t] /= total;
            first[i] = lo;
            count[i] = hi - lo;
        }
        return true;
    }
    const double *at(int32_t i) const {
        return weights + static_cast<std::size_t>(i) * static_cast<std::size_t>(stride);
    }
};

// ---- filtered resizing --------------------------------------------------------------------------

template <class T> constexpr bool is_binary = std::is_same_v<T, int8_t>;

template <class T> double load(T v) {
    if constexpr (is_binary<T>) return v != 0 ? 1.0 : 0.0;
    else return static_cast<double>(v);
}

// Rounds halves away from zero (as std::round, without its call): x - trunc(x) is exact.
template <class T> T store(double x) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(x);
    } else {
        constexpr double lo = is_binary<T> ? 0.0 : static_cast<double>(std::numeric_limits<T>::min());
        constexpr double hi = is_binary<T> ? 1.0 : static_cast<double>(std::numeric_limits<T>::max());
        x = x > lo ? x : lo; // no NaN reaches here: samples and weights are finite
        x = x < hi ? x : hi;
        if constexpr (lo >= 0.0) {
            const auto whole = static_cast<int32_t>(x);
            return static_cast<T>(whole + (x - static_cast<double>(whole) >= 0.5));
        } else {
            const auto whole = static_cast<int64_t>(x);
            const double part = x - static_cast<double>(whole);
            return static_cast<T>(whole + (part >= 0.5 ? 1 : part <= -0.5 ? -1 : 0));
        }
    }
}

// Two doubles in one register (SSE2 on x86-64, emulated elsewhere). Lanes are independent, so
// each lane's sums are the scalar sums, operation for operation: no contraction, no reordering.
typedef double v2 __attribute__((vector_size(16)));
inline v2 load2(const double *p) {
    v2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store2(double *p, v2 v) { std::memcpy(p, &v, sizeof v); }

typedef int64_t v2l __attribute__((vector_size(16)));
typedef int32_t v2i __attribute__((vector_size(8)));

// Clamps two sums to [lo, hi] (lo >= 0) and rounds halves up, as store() does: x - trunc(x) is
// exact.
inline v2 rounded(v2 x, double lo, double hi) {
    const v2 low = {lo, lo}, high = {hi, hi}, half = {0.5, 0.5}, one = {1.0, 1.0};
    const v2l above = x > low, below = x < high;
    x = reinterpret_cast<v2>((above & reinterpret_cast<v2l>(x)) | (~above & reinterpret_cast<v2l>(low)));
    x = reinterpret_cast<v2>((below & reinterpret_cast<v2l>(x)) | (~below & reinterpret_cast<v2l>(high)));
    const v2 whole = __builtin_convertvector(__builtin_convertvector(x, v2i), v2);
    return whole + reinterpret_cast<v2>((x - whole >= half) & reinterpret_cast<v2l>(one));
}

// The x pass's results of whole-number types stay within the type's range (two at a time), so
// that the y pass does not carry an overshoot from one side of an edge into the next rows.
template <class T> v2 bounded2(v2 x) {
    if constexpr (std::is_floating_point_v<T>) {
        return x;
    } else {
        constexpr double lo = is_binary<T> ? 0.0 : static_cast<double>(std::numeric_limits<T>::min());
        constexpr double hi = is_binary<T> ? 1.0 : static_cast<double>(std::numeric_limits<T>::max());
        const v2 low = {lo, lo}, high = {hi, hi};
        const v2l under = x<low, over = x> high;
        x = reinterpret_cast<v2>((under & reinterpret_cast<v2l>(low)) | (~under & reinterpret_cast<v2l>(x)));
        return reinterpret_cast<v2>((over & reinterpret_cast<v2l>(high)) | (~over & reinterpret_cast<v2l>(x)));
    }
}

// Stores eight column sums: eight at a time for bytes where the processor can, else one by one.
template <class T> void store8(T *d, v2 a, v2 b, v2 c, v2 e) {
#if TESSERA_SIMD_X86
    if constexpr (std::is_same_v<T, uint8_t>)
        if (tessera::detail::simd::sse2()) return tessera::detail::simd::x86::store8_bytes(d, a, b, c, e);
#endif
    double sums[8];
    if constexpr (std::is_floating_point_v<T> || sizeof(T) > 1) {
        store2(sums, a), store2(sums + 2, b), store2(sums + 4, c), store2(sums + 6, e);
    } else {
        constexpr double lo = 0.0, hi = is_binary<T> ? 1.0 : 255.0;
        store2(sums, rounded(a, lo, hi)), store2(sums + 2, rounded(b, lo, hi));
        store2(sums + 4, rounded(c, lo, hi)), store2(sums + 6, rounded(e, lo, hi));
        for (int q = 0; q < 8; ++q) d[q] = static_cast<T>(sums[q]);
        return;
    }
    for (int q = 0; q < 8; ++q) d[q] = store<T>(sums[q]);
}

constexpr int lanes = 4; // source rows filtered along x together, one a lane

// Filters lanes source rows along x; their samples are interleaved in source (sample k of lane
// r at source[k * lanes + r]). Lane r's results go to out[r] (rows below count are ignored).
template <class T, int C>
void filter_rows(const double *source, const Taps &xs, int32_t n, double *const *out, int count) {
    for (int32_t i = 0; i < n; ++i) {
        const double *w = xs.at(i);
        const double *p = source + static_cast<std::size_t>(xs.first[i]) * C * lanes;
        v2 lo[C], hi[C];
        for (int c = 0; c < C; ++c) lo[c] = hi[c] = v2{0.0, 0.0};
        for (int32_t t = 0, taps = xs.count[i]; t < taps; ++t, p += C * lanes) {
            const v2 wt = {w[t], w[t]};
            for (int c = 0; c < C; ++c) {
                lo[c] += wt * load2(p + c * lanes);
                hi[c] += wt * load2(p + c * lanes + 2);
            }
        }
        for (int c = 0; c < C; ++c) {
            double sums[lanes];
            store2(sums, bounded2<T>(lo[c]));
            store2(sums + 2, bounded2<T>(hi[c]));
            for (int r = 0; r < count; ++r) out[r][static_cast<std::size_t>(i) * C + c] = sums[r];
        }
    }
}

// Rows first, then columns. Rows filtered along x are kept in a ring of as many rows as a
// column's widest set of taps (and the rows filtered ahead with them), so each source row is
// filtered once.
template <class T, int C> bool resample(const AnyImageStruct *in, AnyImageStruct *out, const Taps &xs, const Taps &ys) {
    const int32_t m = in->header->width, mh = in->header->height, n = out->header->width, h = out->header->height;
    const std::size_t in_row = static_cast<std::size_t>(m) * C, out_row = static_cast<std::size_t>(n) * C;
    const std::size_t ring = static_cast<std::size_t>(ys.stride) + lanes;
    const std::size_t doubles = in_row * lanes + out_row * ring + static_cast<std::size_t>(ys.stride);
    auto *block = static_cast<double *>(tessera::detail::mem_alloc(doubles * sizeof(double)));
    if (!block) return tessera::detail::fail_memory(doubles * sizeof(double), "the filter's rows"), false;
    double *source = block, *rows = block + in_row * lanes;
    auto **column = reinterpret_cast<const double **>(rows + out_row * ring); // the rows of one column sum
    const auto *src =
        reinterpret_cast<const T *>(first_pixel(const_cast<AnyImageStruct *>(in), in->header, sizeof(T) * C));
    auto *dst = reinterpret_cast<T *>(first_pixel(out, out->header, sizeof(T) * C));
    const auto ring_row = [&](int32_t y) { return rows + static_cast<std::size_t>(y) % ring * out_row; };
    int32_t next = 0; // the next source row to filter along x
    for (int32_t j = 0; j < h; ++j) {
        const int32_t top = ys.first[j], taps = ys.count[j];
        if (next < top) next = top;
        while (next < top + taps) {
            const int count = mh - next < lanes ? mh - next : lanes;
            double *targets[lanes];
            const T *s[lanes];
            for (int r = 0; r < lanes; ++r) {
                s[r] = src + static_cast<std::size_t>(next + (r < count ? r : count - 1)) * in_row;
                targets[r] = ring_row(next + r);
            }
            if constexpr (std::is_same_v<T, uint8_t>) {
                std::size_t k = 0;
#if TESSERA_SIMD_X86
                // four samples of the four rows at a time, exactly
                static_assert(lanes == 4);
                if (tessera::detail::simd::sse2())
                    for (; k + 4 <= in_row; k += 4) {
                        uint32_t b[lanes];
                        for (int r = 0; r < lanes; ++r) std::memcpy(&b[r], s[r] + k, 4);
                        tessera::detail::simd::x86::widen_bytes_4x4(source + k * lanes, b);
                    }
#endif
                // bytes through a table of their values: two loads for a conversion
                static constexpr auto value = [] {
                    std::array<double, 256> v{};
                    for (int b = 0; b < 256; ++b) v[static_cast<std::size_t>(b)] = b;
                    return v;
                }();
                for (; k < in_row; ++k) {
                    double *q = source + k * lanes;
                    q[0] = value[s[0][k]], q[1] = value[s[1][k]], q[2] = value[s[2][k]], q[3] = value[s[3][k]];
                }
            } else {
                for (std::size_t k = 0; k < in_row; ++k) {
                    double *q = source + k * lanes;
                    q[0] = load(s[0][k]), q[1] = load(s[1][k]), q[2] = load(s[2][k]), q[3] = load(s[3][k]);
                }
            }
            filter_rows<T, C>(source, xs, n, targets, count);
            next += count;
        }
        const double *w = ys.at(j);
        for (int32_t t = 0; t < taps; ++t) column[t] = ring_row(top + t);
        T *d = dst + static_cast<std::size_t>(j) * out_row;
        std::size_t k = 0;
        for (; k + 8 <= out_row; k += 8) {
            v2 a = {0.0, 0.0}, b = a, c = a, e = a;
            for (int32_t t = 0; t < taps; ++t) {
                const v2 wt = {w[t], w[t]};
                const double *r = column[t] + k;
                a += wt * load2(r);
                b += wt * load2(r + 2);
                c += wt * load2(r + 4);
                e += wt * load2(r + 6);
            }
            store8(d + k, a, b, c, e);
        }
        for (; k < out_row; ++k) {
            double sum = 0.0;
            for (int32_t t = 0; t < taps; ++t) sum += w[t] * column[t][k];
            d[k] = store<T>(sum);
        }
    }
    tessera::detail::mem_free(block);
    return true;
}

// ---- box shrinking by powers of two --------------------------------------------------------------

// Shrinking whole-number images by a power of two along each axis (the source an exact multiple
// of the result) with the box filter: every weight is 1 / k, exact in binary, so each filtered
// sum above is exactly the integer sum over the block divided by its pixel count, whatever the
// order of the additions. Summed here in integers and rounded the same way (halves away from
// zero), the result is the same to the last bit.
template <class T> constexpr bool box_summable = std::is_integral_v<T> && !is_binary<T>;

int32_t power_of_two_factor(int32_t m, int32_t n) {
    if (m % n != 0) return 0;
    const int32_t k = m / n;
    return (k & (k - 1)) == 0 ? k : 0;
}

constexpr std::size_t box_span = 1024; // samples summed down the rows at a time

template <class T, int C> void box_shrink(const AnyImageStruct *image, AnyImageStruct *out, int32_t kx, int32_t ky) {
    using Sum = std::conditional_t<sizeof(T) == 1, uint32_t, int64_t>;
    const ImageHeader *h = image->header;
    const int32_t ow = out->header->width, oh = out->header->height;
    const int shift = std::countr_zero(static_cast<uint32_t>(kx)) + std::countr_zero(static_cast<uint32_t>(ky));
    const Sum half = shift > 0 ? Sum{1} << (shift - 1) : 0;
    const auto *from = reinterpret_cast<const T *>(first_pixel(const_cast<AnyImageStruct *>(image), h, sizeof(T) * C));
    auto *d = reinterpret_cast<T *>(first_pixel(out, out->header, sizeof(T) * C));
    const std::size_t src_row = static_cast<std::size_t>(h->width) * C, block = static_cast<std::size_t>(kx) * C;
    const auto per_span = static_cast<int32_t>(box_span / block); // at least 1: block <= box_span
    Sum column[box_span];
    for (int32_t y = 0; y < oh; ++y) {
        const T *top = from + static_cast<std::size_t>(y) * ky * src_row;
        for (int32_t x0 = 0; x0 < ow; x0 += per_span) {
            const int32_t n = per_span < ow - x0 ? per_span : ow - x0;
            const std::size_t span = static_cast<std::size_t>(n) * block;
            const T *s = top + static_cast<std::size_t>(x0) * block;
            // down the block's rows first (whole spans, which vectorise), then across each block
            for (std::size_t i = 0; i < span; ++i) column[i] = static_cast<Sum>(s[i]);
            for (int32_t r = 1; r < ky; ++r) {
                const T *row = s + static_cast<std::size_t>(r) * src_row;
                for (std::size_t i = 0; i < span; ++i) column[i] += static_cast<Sum>(row[i]);
            }
            for (int32_t k = 0; k < n; ++k, d += C) {
                Sum v[C] = {};
                const Sum *b = column + static_cast<std::size_t>(k) * block;
                for (std::size_t j = 0; j < block; j += C)
                    for (int c = 0; c < C; ++c) v[c] += b[j + c];
                for (int c = 0; c < C; ++c) {
                    if constexpr (std::is_unsigned_v<Sum>) d[c] = static_cast<T>((v[c] + half) >> shift);
                    else d[c] = static_cast<T>(v[c] >= 0 ? (v[c] + half) >> shift : -((-v[c] + half) >> shift));
                }
            }
        }
    }
}

// ---- copies by element size ---------------------------------------------------------------------

// Output element (x, y) of a w x h result is source element base + x * step_x + y * step_y (a
// quarter turn or a transpose: one step is a source row, the other a column), for x in [x0, x1)
// and y in [y0, y1). Walked in 8 x 8 tiles, so that the source lines a tile reads stay cached
// for all its rows.
template <class U> void gather(const U *src, std::ptrdiff_t base, std::ptrdiff_t step_x, std::ptrdiff_t step_y, U *dst,
                               int32_t w, int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
    constexpr int32_t tile = 8;
    for (int32_t ty = y0; ty < y1; ty += tile)
        for (int32_t tx = x0; tx < x1; tx += tile) {
            const int32_t ey = ty + tile < y1 ? ty + tile : y1, ex = tx + tile < x1 ? tx + tile : x1;
            for (int32_t y = ty; y < ey; ++y) {
                U *d = dst + static_cast<std::ptrdiff_t>(y) * w;
                const U *p = src + base + tx * step_x + y * step_y;
                for (int32_t x = tx; x < ex; ++x, p += step_x) d[x] = *p;
            }
        }
}

// ---- quarter turns in tiles -------------------------------------------------------------------

// A quarter turn reads each source row once per tile of output rows and writes each output row
// once per tile of output columns. A tile of source runs (one contiguous run per output column)
// is copied into a small buffer first, so that the power-of-two row strides common in images
// never make the runs evict one another, and each output row's run is then written whole. Large
// results are written around the caches (non-temporal stores, where the machine has them): a
// result too big to stay cached would otherwise be read in before each line is overwritten.
inline bool streaming_stores() { return tessera::detail::simd::sse2(); }
constexpr std::size_t streaming_bytes = std::size_t{8} << 20;
// Orders streamed stores before the result is handed over.
inline void end_streaming() {
#if TESSERA_SIMD_X86
    tessera::detail::simd::x86::end_streaming();
#endif
}

// Stream is only ever true where streaming_stores().
template <bool Stream> inline void put_word(unsigned char *d, uint64_t v) {
#if TESSERA_SIMD_X86
    if constexpr (Stream) return tessera::detail::simd::x86::stream_word(d, v);
#endif
    std::memcpy(d, &v, 8);
}
// Writes eight three-byte elements (each the low bytes of a word) as three words.
template <bool Stream> inline void put_eight(unsigned char *d, const std::array<uint64_t, 8> &p) {
    const std::array<uint64_t, 3> words = pack_eight(p);
    for (int k = 0; k < 3; ++k) put_word<Stream>(d + 8 * k, words[k]);
}
// Tile sides by element size: the buffer stays within half of a 32 KiB level-one cache.
template <std::size_t N> constexpr int32_t tile_side = N == 1 ? 128 : N <= 4 ? 64 : 32;

// Writes a tile: run i of the buffer (stride T elements) holds output column i from output row 0
// (or, mirrored, from output row ny - 1 backwards).
template <std::size_t N, bool Stream> void write_tile(const unsigned char *buf, int32_t T, int32_t nx, int32_t ny,
                                                      bool mirror, unsigned char *out, std::ptrdiff_t out_row) {
    const std::ptrdiff_t R = static_cast<std::ptrdiff_t>(T) * N;
    int32_t j = 0;
#if TESSERA_SIMD_X86
    // Bands of eight output rows, transposed 64 columns at a time in registers.
    if constexpr (N == 1)
        if (tessera::detail::simd::sse2())
            for (; j + 8 <= ny; j += 8) {
                const int32_t column = mirror ? ny - 8 - j : j;
                for (int32_t i0 = 0; i0 + 64 <= nx; i0 += 64)
                    tessera::detail::simd::x86::transpose_band<Stream>(buf + i0 * R, R, column, mirror,
                                                                       out + j * out_row + i0, out_row);
                for (int32_t k = 0; k < 8; ++k) {
                    unsigned char *d = out + (j + k) * out_row;
                    const unsigned char *b = buf + (mirror ? ny - 1 - j - k : j + k);
                    for (int32_t i = nx / 64 * 64; i < nx; ++i) d[i] = b[i * R];
                }
            }
#endif
    for (; j < ny; ++j) {
        unsigned char *d = out + j * out_row;
        const unsigned char *b = buf + N * static_cast<std::size_t>(mirror ? ny - 1 - j : j);
        int32_t i = 0;
        if constexpr (std::endian::native == std::endian::little && N == 3) {
            // eight elements in three words
            const auto at = [&](int32_t k) { return get_element<3>(b + k * R); };
            for (; i + 8 <= nx; i += 8)
                put_eight<Stream>(d + 3 * i,
                                  {at(i), at(i + 1), at(i + 2), at(i + 3), at(i + 4), at(i + 5), at(i + 6), at(i + 7)});
        } else if constexpr (std::endian::native == std::endian::little && 8 % N == 0) {
            constexpr int32_t K = 8 / N; // elements a word
            for (; i + K <= nx; i += K)
                put_word<Stream>(d + N * i, pack_word<N>([&](std::size_t k) { return b + (i + k) * R; }));
        }
        for (; i < nx; ++i) std::memcpy(d + N * i, b + i * R, N);
    }
}

// Output element (x, y) of a w x h result is source element base + x * step_x + y * dir, where
// dir is 1 or -1 (a quarter turn or a transpose).
template <std::size_t N> void turn_tiles(const unsigned char *src, std::ptrdiff_t base, std::ptrdiff_t step_x, int dir,
                                         unsigned char *dst, int32_t w, int32_t h) {
    constexpr int32_t T = tile_side<N>;
    alignas(64) unsigned char buf[T * T * N + 8];
    const std::ptrdiff_t out_row = static_cast<std::ptrdiff_t>(w) * N;
    // Streamed words must not straddle lines: rows of whole words (of 16 bytes for one-byte
    // elements, which go out in 16-byte stores).
    const bool stream = streaming_stores() && static_cast<std::size_t>(out_row) * h >= streaming_bytes &&
                        out_row % (N == 1 ? 16 : 8) == 0;
    for (int32_t ty = 0; ty < h; ty += T)
        for (int32_t tx = 0; tx < w; tx += T) {
            const int32_t nx = tx + T <= w ? T : w - tx, ny = ty + T <= h ? T : h - ty;
            for (int32_t i = 0; i < nx; ++i) {
                std::ptrdiff_t at = base + (tx + i) * step_x + static_cast<std::ptrdiff_t>(ty) * dir;
                if (dir < 0) at -= ny - 1;
                const unsigned char *run = src + at * static_cast<std::ptrdiff_t>(N);
                if (ny == T) std::memcpy(buf + i * T * N, run, T * N); // a fixed size: moved inline
                else std::memcpy(buf + i * T * N, run, static_cast<std::size_t>(ny) * N);
            }
            unsigned char *out = dst + ty * out_row + static_cast<std::ptrdiff_t>(tx) * N;
            if (stream && nx == T) write_tile<N, true>(buf, T, nx, ny, dir < 0, out, out_row);
            else write_tile<N, false>(buf, T, nx, ny, dir < 0, out, out_row);
        }
    if (stream) end_streaming();
}

// Elements a word holds where the row can be reversed a word at a time (on little-endian
// machines: three-byte elements go eight to three words), else 0.
template <std::size_t N> constexpr std::size_t word_window = std::endian::native != std::endian::little ? 0
                                                             : N == 3                                   ? 8
                                                             : N <= 8 && 8 % N == 0                     ? 8 / N
                                                                                                        : 0;

// Reverses elements 0 to done - 1 of a row (done a multiple of word_window<N>) a word at a time.
template <std::size_t N>
void reverse_windows(unsigned char *d, const unsigned char *s, std::size_t n, std::size_t done) {
    constexpr std::size_t K = word_window<N>;
    if constexpr (K > 0)
        for (std::size_t x = done; x >= K;) {
            x -= K;
            if constexpr (N == 3) { // the eight elements ending n - x, as three words
                constexpr uint64_t m = 0xFFFFFF;
                uint64_t w[3];
                std::memcpy(w, s + 3 * (n - x - 8), 24);
                put_eight<false>(d + 3 * x, {w[2] >> 40, w[2] >> 16 & m, (w[1] >> 56 | w[2] << 8) & m, w[1] >> 32 & m,
                                             w[1] >> 8 & m, (w[0] >> 48 | w[1] << 16) & m, w[0] >> 24 & m, w[0] & m});
            } else {
                uint64_t v;
                std::memcpy(&v, s + N * (n - x - K), 8);
                if constexpr (N == 1) v = __builtin_bswap64(v);
                else if constexpr (N == 2)
                    v = __builtin_bswap64(v), v = (v >> 8 & 0x00FF00FF00FF00FFull) | (v & 0x00FF00FF00FF00FFull) << 8;
                else if constexpr (N == 4) v = v >> 32 | v << 32;
                put_word<false>(d + N * x, v);
            }
        }
}

// Writes the n elements of a source row to d in reverse order: 48 bytes at a time by byte
// shuffles where the machine has them, else a word at a time. The source is read from its start
// forward (the elements left over from whole windows first), so that rows taken in order make
// one stream for the hardware to prefetch; read backwards, each row had to be found again.
template <class U> void reverse_row(U *d, const U *s, std::size_t n) {
    constexpr std::size_t N = sizeof(U);
    auto *db = reinterpret_cast<unsigned char *>(d);
    const auto *sb = reinterpret_cast<const unsigned char *>(s);
#if TESSERA_SIMD_X86
    const bool shuffles = tessera::detail::simd::ssse3();
    const std::size_t window = shuffles ? tessera::detail::simd::x86::shuffle_window<N> : word_window<N>;
#else
    constexpr std::size_t window = word_window<N>;
#endif
    const std::size_t done = window > 0 ? n / window * window : 0;
    for (std::size_t x = n; x > done;) {
        --x;
        d[x] = s[n - 1 - x];
    }
#if TESSERA_SIMD_X86
    if (shuffles) return tessera::detail::simd::x86::reverse_windows_ssse3<N>(db, sb, n, done);
#endif
    reverse_windows<N>(db, sb, n, done);
}
// A new image for the result, or null with the reason.
// A resized one is held to the budget; flips and turns are the size of their source.
AnyImageStruct *result_for(const AnyImageStruct *image, int64_t width, int64_t height, int32_t xoffset, int32_t yoffset,
                           bool resized = false) {
    if (!image) return fail(Err::argument, "no image"), nullptr;
    if (fixed_elem_size(image->header->tag) == 0)
        return fail(Err::unsupported, "images of this element type cannot be transformed"), nullptr;
    if (resized && !within_budget(width, height, fixed_elem_size(image->header->tag), "result")) return nullptr;
    return static_cast<AnyImageStruct *>(tessera::detail::create_image(image->header->tag, static_cast<int32_t>(width),
                                                                       static_cast<int32_t>(height), xoffset, yoffset,
                                                                       nullptr, 0, 0, nullptr, false));
}

} // namespace

namespace tessera::detail {

void turn_pixels(const AnyImageStruct *image, Turn how, AnyImageStruct *out) {
    const ImageHeader *h = image->header;
    const int32_t w = out->header->width, ht = out->header->height;
    const std::size_t size = fixed_elem_size(h->tag);
    const unsigned char *from = first_pixel(const_cast<AnyImageStruct *>(image), h, size);
    unsigned char *to = first_pixel(out, out->header, size);
    const std::size_t row = static_cast<std::size_t>(h->width) * size;
    const int32_t sw = h->width, sh = h->height;
    by_size(size, [&]<class U>(U) {
        const auto *src = reinterpret_cast<const U *>(from);
        auto *dst = reinterpret_cast<U *>(to);
        const auto width = static_cast<std::size_t>(sw);
        const auto quarter = [&](std::ptrdiff_t base, std::ptrdiff_t step_x, std::ptrdiff_t step_y) {
            if constexpr (sizeof(U) <= 8)
                turn_tiles<sizeof(U)>(from, base, step_x, static_cast<int>(step_y), to, w, ht);
            else gather(src, base, step_x, step_y, dst, w, 0, w, 0, ht);
        };
        switch (how) {
        case Turn::flip_y:
            for (int32_t y = 0; y < sh; ++y)
                std::memcpy(dst + static_cast<std::size_t>(y) * width,
                            src + static_cast<std::size_t>(sh - 1 - y) * width, row);
            break;
        case Turn::flip_x:
            for (int32_t y = 0; y < sh; ++y)
                reverse_row(dst + static_cast<std::size_t>(y) * width, src + static_cast<std::size_t>(y) * width,
                            width);
            break;
        case Turn::half: // from the source's first row, as a flip reads
            for (int32_t y = sh; y-- > 0;)
                reverse_row(dst + static_cast<std::size_t>(y) * width,
                            src + static_cast<std::size_t>(sh - 1 - y) * width, width);
            break;
        case Turn::quarter_cw: // output (x, y) is source (y, sh - 1 - x)
            quarter(static_cast<std::ptrdiff_t>(sh - 1) * sw, -static_cast<std::ptrdiff_t>(sw), 1);
            break;
        case Turn::quarter_ccw: // output (x, y) is source (sw - 1 - y, x)
            quarter(sw - 1, sw, -1);
            break;
        case Turn::transpose: quarter(0, sw, 1); break;
        }
    });
}

} // namespace tessera::detail

namespace {

AnyImageStruct *turn(const AnyImageStruct *image, Turn how) {
    if (!image) return fail(Err::argument, "no image"), nullptr;
    const ImageHeader *h = image->header;
    const bool swaps = how == Turn::quarter_cw || how == Turn::quarter_ccw || how == Turn::transpose;
    AnyImageStruct *out = result_for(image, swaps ? h->height : h->width, swaps ? h->width : h->height,
                                     swaps ? h->yoffset : h->xoffset, swaps ? h->xoffset : h->yoffset);
    if (out) tessera::detail::turn_pixels(image, how, out);
    return out;
}

// Nearest: output i of n takes source floor((i + 0.5) * m / n), computed exactly.
void nearest_points(int32_t *points, int32_t n, int32_t m) {
    for (int32_t i = 0; i < n; ++i) points[i] = static_cast<int32_t>((2 * int64_t{i} + 1) * m / (2 * int64_t{n}));
}

AnyImageStruct *nearest(const AnyImageStruct *image, AnyImageStruct *out) {
    return tessera::detail::sample_into(image, out, [&](int32_t *cols, int32_t *rows) {
        nearest_points(cols, out->header->width, image->header->width);
        nearest_points(rows, out->header->height, image->header->height);
    });
}

} // namespace

extern "C" {

AnyImageStruct *tessera_resize(const AnyImageStruct *image, int32_t width, int32_t height, int filter) {
    if (width <= 0 || height <= 0)
        return fail(Err::argument, "a size of %d x %d has no pixels", width, height), nullptr;
    if (filter < TESSERA_NEAREST || filter > TESSERA_LANCZOS3)
        return fail(Err::argument, "unknown filter %d", filter), nullptr;
    AnyImageStruct *out = result_for(image, width, height, 0, 0, true);
    if (!out) return nullptr;
    if (filter == TESSERA_NEAREST) return nearest(image, out);
    if (filter == TESSERA_BOX) {
        const int32_t kx = power_of_two_factor(image->header->width, width);
        const int32_t ky = power_of_two_factor(image->header->height, height);
        bool handled = false;
        // sums of at most 2^16 samples fit their integers; a block's row fits a span
        if (kx > 0 && ky > 0 && int64_t{kx} * ky <= 65536)
            tessera::detail::visit_pixels(image->header->tag, [&]<class P>(P) {
                if constexpr (box_summable<typename P::scalar>) {
                    if (static_cast<std::size_t>(kx) * P::channels > box_span) return;
                    box_shrink<typename P::scalar, P::channels>(image, out, kx, ky);
                    handled = true;
                }
            });
        if (handled) return out;
    }
    Taps xs, ys;
    bool done = xs.make(image->header->width, width, kernels[filter]) &&
                ys.make(image->header->height, height, kernels[filter]);
    if (done)
        tessera::detail::visit_pixels(image->header->tag, [&]<class P>(P) {
            done = resample<typename P::scalar, P::channels>(image, out, xs, ys);
        });
    if (!done) {
        im_Free_(out, out->header->tag);
        return nullptr;
    }
    return out;
}

AnyImageStruct *tessera_flip_horizontal(const AnyImageStruct *image) { return turn(image, Turn::flip_x); }

AnyImageStruct *tessera_flip_vertical(const AnyImageStruct *image) { return turn(image, Turn::flip_y); }

namespace {
constexpr const char *filter_names[] = {"nearest", "box", "bilinear", "bicubic", "lanczos3"};
} // namespace

int tessera_filter_named(const char *name) {
    if (!name) return -1;
    for (int f = TESSERA_NEAREST; f <= TESSERA_LANCZOS3; ++f)
        if (std::strcmp(name, filter_names[f]) == 0) return f;
    return -1;
}

const char *tessera_filter_name(int filter) {
    return filter >= TESSERA_NEAREST && filter <= TESSERA_LANCZOS3 ? filter_names[filter] : nullptr;
}

int32_t tessera_resize_size(int32_t width, int32_t height, int64_t new_width, int64_t new_height, int32_t *out_width,
                            int32_t *out_height) {
    if (!out_width || !out_height)
        return fail(Err::argument, "tessera_resize_size needs somewhere to put the size"), -1;
    if (width <= 0 || height <= 0)
        return fail(Err::argument, "a %d x %d image has no pixels to resize", width, height), -1;
    if (new_width < 0 || new_height < 0 || (new_width == 0 && new_height == 0))
        return fail(Err::argument, "a resize to %lld x %lld (a side of 0 keeps the aspect; not both)",
                    static_cast<long long>(new_width), static_cast<long long>(new_height)),
               -1;
    constexpr int64_t most = 2147483647;
    if (new_width > most || new_height > most)
        return fail(Err::limit, "a resize to %lld x %lld is beyond 2147483647 pixels a side",
                    static_cast<long long>(new_width), static_cast<long long>(new_height)),
               -1;
    // the missing side keeps the aspect, halves rounded up, at least one pixel (in 128 bits: the
    // products reach 2^62 and the sums past them)
    __extension__ typedef __int128 wide;
    int64_t w = new_width, h = new_height;
    if (h == 0) h = static_cast<int64_t>((wide{height} * w * 2 + width) / (wide{2} * width));
    if (w == 0) w = static_cast<int64_t>((wide{width} * h * 2 + height) / (wide{2} * height));
    w = std::max<int64_t>(w, 1), h = std::max<int64_t>(h, 1);
    if (w > most || h > most)
        return fail(Err::limit, "the resized image (%lld x %lld) would be beyond 2147483647 pixels a side",
                    static_cast<long long>(w), static_cast<long long>(h)),
               -1;
    *out_width = static_cast<int32_t>(w);
    *out_height = static_cast<int32_t>(h);
    return 0;
}

int tessera_rotation_allowed(int64_t degrees) {
    return degrees == 90 || degrees == 180 || degrees == 270 || degrees == -90 || degrees == -180 || degrees == -270;
}

AnyImageStruct *tessera_rotate(const AnyImageStruct *image, int32_t degrees) {
    switch (degrees) {
    case 90:
    case -270: return turn(image, Turn::quarter_cw);
    case 180:
    case -180: return turn(image, Turn::half);
    case 270:
    case -90: return turn(image, Turn::quarter_ccw);
    default: return fail(Err::argument, "a rotation of %d degrees (90, 180 or 270)", degrees), nullptr;
    }
}

AnyImageStruct *tessera_transpose(const AnyImageStruct *image) { return turn(image, Turn::transpose); }

} // extern "C"
