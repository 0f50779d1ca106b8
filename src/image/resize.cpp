// Resizing with filters: exact sums of separable kernels, box shrinking by whole factors and
// nearest sampling. Pixel blocks are one run of width * height elements, so rows are addressed
// from the first pixel.
#include <tessera/geometry.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <type_traits>
#include <utility>

#include "image_internal.h"
#include "sampling.h"
#include "simd/resample.h"
#include "simd/x86.h"
#include "support/alloc.h"
#include "support/budget.h"
#include "support/error.h"

namespace {

using tessera::detail::geometry_result;

using tessera::detail::Err;
using tessera::detail::fail;
using tessera::detail::first_pixel;
using tessera::detail::fixed_elem_size;
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
        if (!tessera::detail::within_budget(static_cast<int64_t>(bytes), 1, 1, "table of the filter's weights"))
            return false;
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

// ---- where source rows come from ----------------------------------------------------------------

// An image's own rows: one block, addressed from its first pixel.
struct ImageRows {
    const unsigned char *first;
    std::size_t bytes; // a row
    const unsigned char *row(int32_t y) { return first + static_cast<std::size_t>(y) * bytes; }
    bool failed() const { return false; }
};

// Rows a reader gives top to bottom, each asked for once (rows no result needs are never asked
// for), held in a ring of slots: the last `slots` rows asked for stay readable.
struct ReadRows {
    tessera_row_reader read;
    void *context;
    unsigned char *ring;
    std::size_t bytes;
    int32_t slots;
    int32_t last = -1;
    bool stopped = false;
    const unsigned char *row(int32_t y) {
        unsigned char *slot = ring + static_cast<std::size_t>(y % slots) * bytes;
        if (y > last && !stopped) {
            last = y;
            if (read(context, y, slot) != 0) stopped = true;
        }
        return slot;
    }
    bool failed() const { return stopped; }
};

// ---- result rows, one at a time -----------------------------------------------------------------

// Makes the result's rows one at a time, top to bottom, each from the source rows it needs.
struct RowMaker {
    virtual ~RowMaker() = default;
    // Makes result row j into out (the result's width of elements); false when the source stops.
    virtual bool row(int32_t j, unsigned char *out) = 0;
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
// Colours weighted by alpha (premultiplied) range up to the square of the type's largest value.
template <class T> v2 bounded2(v2 x, bool premultiplied = false) {
    if constexpr (std::is_floating_point_v<T>) {
        return x;
    } else {
        constexpr double lo = is_binary<T> ? 0.0 : static_cast<double>(std::numeric_limits<T>::min());
        constexpr double top = is_binary<T> ? 1.0 : static_cast<double>(std::numeric_limits<T>::max());
        const double hi = premultiplied ? top * top : top;
        const v2 low = {lo, lo}, high = {hi, hi};
        const v2l under = x<low, over = x> high;
        x = reinterpret_cast<v2>((under & reinterpret_cast<v2l>(low)) | (~under & reinterpret_cast<v2l>(x)));
        return reinterpret_cast<v2>((over & reinterpret_cast<v2l>(high)) | (~over & reinterpret_cast<v2l>(x)));
    }
}

// Whether this build has vector paths (the seam chooses them at run time, once per resize).
constexpr bool vector_paths = TESSERA_SIMD_X86;

// Stores eight column sums: eight at a time for bytes on the vector path, else one by one.
template <class T, bool Vector> void store8(T *d, v2 a, v2 b, v2 c, v2 e) {
#if TESSERA_SIMD_X86
    if constexpr (Vector && std::is_same_v<T, uint8_t>) return tessera::detail::simd::x86::store8_bytes(d, a, b, c, e);
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
template <class T, int C> __attribute__((always_inline)) inline void
filter_rows(const double *source, const Taps &xs, int32_t n, double *const *out, int count) {
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
            const bool premultiplied = C == 4 && c < 3;
            store2(sums, bounded2<T>(lo[c], premultiplied));
            store2(sums + 2, bounded2<T>(hi[c], premultiplied));
            for (int r = 0; r < count; ++r) out[r][static_cast<std::size_t>(i) * C + c] = sums[r];
        }
    }
}

// Stores a row of four-channel sums whose colours are weighted by alpha: each colour sum and the
// alpha sum clamped to their ranges, then the colour over alpha (0 where nothing is opaque), so
// that transparent pixels lend no colour.
template <class T> void unweight_row(T *d, const double *sums, std::size_t samples) {
    constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
    const auto clamp = [](double v, double hi) { return v < 0.0 ? 0.0 : v > hi ? hi : v; };
    for (std::size_t k = 0; k < samples; k += 4) {
        const double a = clamp(sums[k + 3], top);
        for (std::size_t c = 0; c < 3; ++c) d[k + c] = a > 0.0 ? store<T>(clamp(sums[k + c], top * top) / a) : T{0};
        d[k + 3] = store<T>(a);
    }
}

// Rows first, then columns. Rows filtered along x are kept in a ring of as many rows as a
// column's widest set of taps (and the rows filtered ahead with them), so each source row is
// filtered once. Four channels are colour and alpha: colours are multiplied by alpha before
// filtering and divided by the filtered alpha after.
template <class T, int C, bool Vector, class Rows> struct Resample final : RowMaker {
    static constexpr bool alpha = C == 4;
    Rows &rows_in;
    const Taps &xs, &ys;
    int32_t mh, n;
    std::size_t in_row, out_row, ring;
    double *block = nullptr, *source = nullptr, *rows = nullptr;
    const double **column = nullptr; // the rows of one column sum
    int32_t next = 0;                // the next source row to filter along x

    Resample(Rows &r, int32_t m, int32_t mh_, int32_t n_, const Taps &xs_, const Taps &ys_)
        : rows_in(r), xs(xs_), ys(ys_), mh(mh_), n(n_), in_row(static_cast<std::size_t>(m) * C),
          out_row(static_cast<std::size_t>(n_) * C), ring(static_cast<std::size_t>(ys_.stride) + lanes) {}
    ~Resample() override { tessera::detail::mem_free(block); }
    // The doubles a resample of rows m samples wide into rows n samples wide holds, ys' stride tall.
    static std::size_t doubles_for(std::size_t in_row, std::size_t out_row, int32_t stride) {
        return in_row * lanes + out_row * (static_cast<std::size_t>(stride) + lanes) +
               static_cast<std::size_t>(stride) + (alpha ? out_row : 0);
    }
    // What a resize holds beside its result is held to the budget too: it grows with the widths.
    static bool fits_budget(std::size_t in_row, std::size_t out_row, int32_t stride) {
        return within_budget(static_cast<int64_t>(doubles_for(in_row, out_row, stride)), 1, sizeof(double),
                             "set of the filter's rows");
    }
    bool open() {
        const std::size_t doubles = doubles_for(in_row, out_row, ys.stride);
        if (!fits_budget(in_row, out_row, ys.stride)) return false;
        block = static_cast<double *>(tessera::detail::mem_alloc(doubles * sizeof(double)));
        if (!block) return tessera::detail::fail_memory(doubles * sizeof(double), "the filter's rows"), false;
        source = block, rows = block + in_row * lanes;
        column = reinterpret_cast<const double **>(rows + out_row * ring);
        return true;
    }
    double *ring_row(int32_t y) const { return rows + static_cast<std::size_t>(y) % ring * out_row; }
    bool row(int32_t j, unsigned char *out) override { return make(j, reinterpret_cast<T *>(out)); }

    bool make(int32_t j, T *d) {
        // in locals: stores of bytes may alias anything, and the loops would reload the members
        const std::size_t in_row = this->in_row, out_row = this->out_row;
        const int32_t n = this->n, mh = this->mh;
        double *const source = this->source;
        const double **const column = this->column;
        const int32_t top = ys.first[j], taps = ys.count[j];
        if (next < top) next = top;
        while (next < top + taps) {
            const int count = mh - next < lanes ? mh - next : lanes;
            double *targets[lanes];
            const T *s[lanes];
            for (int r = 0; r < lanes; ++r) {
                s[r] = reinterpret_cast<const T *>(rows_in.row(next + (r < count ? r : count - 1)));
                targets[r] = ring_row(next + r);
            }
            if (rows_in.failed()) return false;
            if constexpr (std::is_same_v<T, uint8_t>) {
                std::size_t k = 0;
#if TESSERA_SIMD_X86
                // four samples of the four rows at a time, exactly
                static_assert(lanes == 4);
                if constexpr (Vector)
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
            if constexpr (alpha)
                for (std::size_t k = 0; k < in_row; k += 4)
                    for (int r = 0; r < lanes; ++r) {
                        const double a = source[(k + 3) * lanes + static_cast<std::size_t>(r)];
                        for (std::size_t c = 0; c < 3; ++c) source[(k + c) * lanes + static_cast<std::size_t>(r)] *= a;
                    }
            filter_rows<T, C>(source, xs, n, targets, count);
            next += count;
        }
        if (rows_in.failed()) return false;
        const double *w = ys.at(j);
        for (int32_t t = 0; t < taps; ++t) column[t] = ring_row(top + t);
        // The column sums of samples k to k + 7, two a register; four registers keep the adders busy.
        const auto sums8 = [&](std::size_t k, v2 &a, v2 &b, v2 &c, v2 &e) {
            a = v2{0.0, 0.0}, b = a, c = a, e = a;
            for (int32_t t = 0; t < taps; ++t) {
                const v2 wt = {w[t], w[t]};
                const double *r = column[t] + k;
                a += wt * load2(r);
                b += wt * load2(r + 2);
                c += wt * load2(r + 4);
                e += wt * load2(r + 6);
            }
        };
        std::size_t k = 0;
        if constexpr (alpha) {
            double *sums = reinterpret_cast<double *>(column + ys.stride);
            for (; k + 8 <= out_row; k += 8) {
                v2 a, b, c, e;
                sums8(k, a, b, c, e);
                store2(sums + k, a), store2(sums + k + 2, b), store2(sums + k + 4, c), store2(sums + k + 6, e);
            }
            for (; k + 2 <= out_row; k += 2) {
                v2 a = {0.0, 0.0};
                for (int32_t t = 0; t < taps; ++t) a += v2{w[t], w[t]} * load2(column[t] + k);
                store2(sums + k, a);
            }
            unweight_row(d, sums, out_row);
            return true;
        }
        for (; k + 8 <= out_row; k += 8) {
            v2 a, b, c, e;
            sums8(k, a, b, c, e);
            store8<T, Vector>(d + k, a, b, c, e);
        }
        for (; k < out_row; ++k) {
            double sum = 0.0;
            for (int32_t t = 0; t < taps; ++t) sum += w[t] * column[t][k];
            d[k] = store<T>(sum);
        }
        return true;
    }
};

// ---- fixed point ---------------------------------------------------------------------------------

// 8-bit gray and RGB images are resampled in integers unless the exact path is asked for: each
// axis's weights become 16-bit coefficients of 2^shift, the x pass keeps its sums to 1/128 and
// the y pass rounds them to bytes. What a result may differ from the exact one is bounded from
// the coefficients themselves (FixedTaps::error and gain); where that bound is not below 1, the
// exact path runs instead, so a fixed-point sample is never more than 1 from the exact one.
using tessera::detail::simd::fixed_top;
using tessera::detail::simd::FixedAxis;

struct FixedTaps {
    FixedAxis axis{};
    double error = 0.0; // the largest sum, over a position's taps, of |coefficient - weight|
    double gain = 0.0;  // the largest sum of a position's |coefficients|
    void *block = nullptr;
    FixedTaps() = default;
    FixedTaps(const FixedTaps &) = delete;
    FixedTaps &operator=(const FixedTaps &) = delete;
    ~FixedTaps() { tessera::detail::mem_free(block); }

    // The coefficients of taps at the finest shift whose sums of samples up to top (and the
    // rounding half added to them) stay inside int32. -1 with the reason when memory fails, 0
    // when no shift of at least 8 serves, 1 when made.
    int make(const Taps &t, int32_t n, int32_t top, int round_bit) {
        double most = 0.0, widest = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int32_t k = 0; k < t.count[i]; ++k) {
                sum += std::fabs(t.at(i)[k]);
                most = std::max(most, std::fabs(t.at(i)[k]));
            }
            widest = std::max(widest, sum);
        }
        const int32_t stride = (t.stride + 7) / 8 * 8;
        const std::size_t coefs = static_cast<std::size_t>(n) * static_cast<std::size_t>(stride);
        const std::size_t bytes = coefs * sizeof(int16_t) + 2 * static_cast<std::size_t>(n) * sizeof(int32_t);
        if (!within_budget(static_cast<int64_t>(bytes), 1, 1, "table of the filter's coefficients")) return -1;
        block = tessera::detail::mem_alloc(bytes);
        if (!block) return tessera::detail::fail_memory(bytes, "the filter's coefficients"), -1;
        auto *first = static_cast<int32_t *>(block);
        auto *count = first + n;
        auto *coef = reinterpret_cast<int16_t *>(count + n);
        constexpr double room = 2147483647.0;
        int shift = most > 0.0 ? static_cast<int>(std::floor(std::log2(32767.0 / most))) : 8;
        shift = std::min(shift, 24);
        while (shift >= 8 && widest * std::ldexp(1.0, shift) * top * 1.001 + std::ldexp(1.0, shift + round_bit) >= room)
            --shift;
        for (; shift >= 8; --shift)
            if (quantise(t, n, stride, shift, top, round_bit, first, count, coef)) {
                axis = FixedAxis{first, count, coef, n, stride, shift};
                return 1;
            }
        return 0;
    }

  private:
    // Rounds the weights at shift, the largest of each position taking up what keeps their sum
    // 2^shift (so a flat image stays flat); false where a coefficient or a sum would not fit.
    bool quantise(const Taps &t, int32_t n, int32_t stride, int shift, int32_t top, int round_bit, int32_t *first,
                  int32_t *count, int16_t *coef) {
        const double one = std::ldexp(1.0, shift);
        error = gain = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            const double *w = t.at(i);
            int16_t *q = coef + static_cast<std::size_t>(i) * static_cast<std::size_t>(stride);
            std::fill(q, q + stride, int16_t{0});
            int64_t sum = 0;
            double total = 0.0;
            int32_t largest = 0;
            for (int32_t k = 0; k < t.count[i]; ++k) {
                const double v = std::nearbyint(w[k] * one);
                if (std::fabs(v) > 32767.0) return false;
                q[k] = static_cast<int16_t>(v);
                sum += q[k];
                total += w[k];
                if (std::abs(q[k]) > std::abs(q[largest])) largest = k;
            }
            if (t.count[i] > 0 && std::fabs(total - 1.0) < 1e-6) {
                const int64_t v = q[largest] + (static_cast<int64_t>(one) - sum);
                if (v > 32767 || v < -32767) return false;
                q[largest] = static_cast<int16_t>(v);
            }
            double off = 0.0, size = 0.0;
            int64_t magnitude = 0;
            for (int32_t k = 0; k < t.count[i]; ++k) {
                off += std::fabs(q[k] / one - w[k]);
                size += std::fabs(q[k] / one);
                magnitude += std::abs(q[k]);
            }
            if (magnitude * top + (int64_t{1} << (shift + round_bit)) > 2147483647) return false;
            error = std::max(error, off);
            gain = std::max(gain, size);
            // taps whose coefficients are 0 at either end are left out
            int32_t lead = 0, taps = t.count[i];
            while (taps > 1 && q[taps - 1] == 0) --taps;
            while (lead + 1 < taps && q[lead] == 0) ++lead;
            if (lead > 0) {
                std::memmove(q, q + lead, static_cast<std::size_t>(taps - lead) * sizeof(int16_t));
                std::fill(q + taps - lead, q + taps, int16_t{0});
            }
            first[i] = t.first[i] + lead;
            count[i] = taps - lead;
        }
        return true;
    }
};

// Whether the fixed-point sums of xs and ys are within 1 of the exact ones: the x pass's error
// over 255 samples, plus the 1/256 of keeping it to 1/128, carried through the y coefficients'
// gain, plus the y pass's own error over 255 samples, below 1 (with a margin far above the
// exact path's own rounding) keeps every rounded result within 1.
bool close_enough(const FixedTaps &xs, const FixedTaps &ys) {
    const double carried = 255.0 * xs.error + 1.0 / 256.0;
    return carried * ys.gain + 255.0 * ys.error < 0.99;
}

// The portable passes; the vector paths give the same bytes.
template <int C> void x_pass_portable(const uint8_t *row, const FixedAxis &x, int16_t *out) {
    for (int32_t i = 0; i < x.n; ++i) {
        const int16_t *q = x.coef + static_cast<std::size_t>(i) * static_cast<std::size_t>(x.stride);
        const uint8_t *r = row + static_cast<std::size_t>(x.first[i]) * C;
        int32_t acc[C] = {};
        for (int32_t t = 0; t < x.count[i]; ++t)
            for (int c = 0; c < C; ++c) acc[c] += int32_t{q[t]} * r[t * C + c];
        for (int c = 0; c < C; ++c)
            out[static_cast<std::size_t>(i) * C + static_cast<std::size_t>(c)] =
                tessera::detail::simd::x_sample(acc[c], x.shift - 7);
    }
}

void y_pass_portable(const int16_t *const *rows, const int16_t *coef, int32_t taps, int shift, std::size_t samples,
                     uint8_t *out) {
    for (std::size_t k = 0; k < samples; ++k) out[k] = tessera::detail::simd::y_sample(rows, coef, taps, shift + 7, k);
}

// Rows first, then columns, as Resample does, in integers: each source row is filtered along x
// once into a ring of as many intermediate rows as a column's widest set of taps.
template <int C, class Rows> struct FixedResample final : RowMaker {
    Rows &rows_in;
    const FixedAxis &x, &y;
    int32_t width;
    std::size_t out_row;
    int32_t ring;
    tessera::detail::simd::Level level;
    void *block = nullptr;
    int16_t *rows = nullptr;
    const int16_t **column = nullptr;
    uint8_t *tail = nullptr;
    int32_t next = 0;

    FixedResample(Rows &r, int32_t width_, const FixedAxis &x_, const FixedAxis &y_)
        : rows_in(r), x(x_), y(y_), width(width_), out_row(static_cast<std::size_t>(x_.n) * C), ring(y_.stride),
          level(tessera::detail::simd::level()) {}
    ~FixedResample() override { tessera::detail::mem_free(block); }
    bool open() {
        const std::size_t bytes = out_row * static_cast<std::size_t>(ring) * sizeof(int16_t) +
                                  static_cast<std::size_t>(ring) * sizeof(int16_t *) +
                                  tessera::detail::simd::x_pass_tail(x.stride, C);
        if (!within_budget(static_cast<int64_t>(bytes), 1, 1, "set of the filter's rows")) return false;
        block = tessera::detail::mem_alloc(bytes);
        if (!block) return tessera::detail::fail_memory(bytes, "the filter's rows"), false;
        column = static_cast<const int16_t **>(block);
        rows = reinterpret_cast<int16_t *>(column + ring);
        tail = reinterpret_cast<uint8_t *>(rows + out_row * static_cast<std::size_t>(ring));
        return true;
    }
    int16_t *ring_row(int32_t r) const { return rows + static_cast<std::size_t>(r % ring) * out_row; }
    void x_pass(const uint8_t *s, int16_t *out) const {
        using namespace tessera::detail::simd;
#if TESSERA_SIMD_X86
        if (level >= Level::avx2) return x86::x_pass_u8_avx2(C, s, width, x, tail, out);
        if (level >= Level::ssse3) return x86::x_pass_u8_ssse3(C, s, width, x, tail, out);
#endif
        x_pass_portable<C>(s, x, out);
    }
    void y_pass(const int16_t *coef, int32_t taps, uint8_t *out) const {
        using namespace tessera::detail::simd;
#if TESSERA_SIMD_X86
        if (level >= Level::avx2) return x86::y_pass_u8_avx2(column, coef, taps, y.shift, out_row, out);
        if (level >= Level::sse2) return x86::y_pass_u8_sse2(column, coef, taps, y.shift, out_row, out);
#endif
        y_pass_portable(column, coef, taps, y.shift, out_row, out);
    }
    bool row(int32_t j, unsigned char *out) override {
        const int32_t top = y.first[j], taps = y.count[j];
        if (next < top) next = top;
        for (; next < top + taps; ++next) {
            const unsigned char *s = rows_in.row(next);
            if (rows_in.failed()) return false;
            x_pass(s, ring_row(next));
        }
        for (int32_t t = 0; t < taps; ++t) column[t] = ring_row(top + t);
        y_pass(y.coef + static_cast<std::size_t>(j) * static_cast<std::size_t>(y.stride), taps, out);
        return true;
    }
};

// The fixed-point axes of a resize, when it takes them: 8-bit gray or RGB, the exact path not
// asked for, and the bound met. made: 1 (take them), 0 (the exact path), -1 (failed, with the
// reason).
struct FixedPlan {
    FixedTaps x, y;
    int made = 0;
    void plan(uint16_t tag, bool exact, const Taps &xs, int32_t n, const Taps &ys, int32_t nh) {
        made = 0;
        if (exact || (tag != IMAGE_GRAY && tag != IMAGE_RGB)) return;
        const int a = x.make(xs, n, 255, -8);
        if (a <= 0) return void(made = a);
        const int b = y.make(ys, nh, fixed_top, 6);
        if (b <= 0) return void(made = b);
        made = close_enough(x, y) ? 1 : 0;
    }
};

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

// The sum a box shrink keeps per sample: wide enough for 2^16 samples of T.
template <class T> using BoxSum = std::conditional_t<sizeof(T) == 1, uint32_t, int64_t>;

// Stores n pixels at d, each the mean of block sums (kx pixels of C samples) of the column sums
// at sums, divided by 2^shift and rounded halves away from zero; returns the pixel after them.
template <class T, int C> T *block_means(const BoxSum<T> *sums, int32_t n, std::size_t block, int shift, T *d) {
    using Sum = BoxSum<T>;
    const Sum half = shift > 0 ? Sum{1} << (shift - 1) : 0;
    for (int32_t k = 0; k < n; ++k, d += C) {
        Sum v[C] = {};
        const Sum *b = sums + static_cast<std::size_t>(k) * block;
        for (std::size_t j = 0; j < block; j += C)
            for (int c = 0; c < C; ++c) v[c] += b[j + c];
        for (int c = 0; c < C; ++c) {
            if constexpr (std::is_unsigned_v<Sum>) d[c] = static_cast<T>((v[c] + half) >> shift);
            else d[c] = static_cast<T>(v[c] >= 0 ? (v[c] + half) >> shift : -((-v[c] + half) >> shift));
        }
    }
    return d;
}

template <class T, int C> void box_shrink(const AnyImageStruct *image, AnyImageStruct *out, int32_t kx, int32_t ky) {
    using Sum = BoxSum<T>;
    const ImageHeader *h = image->header;
    const int32_t ow = out->header->width, oh = out->header->height;
    const int shift = std::countr_zero(static_cast<uint32_t>(kx)) + std::countr_zero(static_cast<uint32_t>(ky));
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
            d = block_means<T, C>(column, n, block, shift, d);
        }
    }
}

// box_shrink over rows read one at a time: each block's rows summed into a row of sums as they
// come. The sums are of integers, so they are box_shrink's to the last bit.
template <class T, int C> struct BoxRows final : RowMaker {
    using Sum = BoxSum<T>;
    ReadRows &rows;
    int32_t ow, kx, ky;
    int shift;
    std::size_t src_row, block;
    Sum *sums = nullptr;
    BoxRows(ReadRows &r, int32_t width, int32_t ow_, int32_t kx_, int32_t ky_)
        : rows(r), ow(ow_), kx(kx_), ky(ky_),
          shift(std::countr_zero(static_cast<uint32_t>(kx_)) + std::countr_zero(static_cast<uint32_t>(ky_))),
          src_row(static_cast<std::size_t>(width) * C), block(static_cast<std::size_t>(kx_) * C) {}
    ~BoxRows() override { tessera::detail::mem_free(sums); }
    bool open() {
        if (!within_budget(static_cast<int64_t>(src_row), 1, sizeof(Sum), "row of the box's sums")) return false;
        sums = static_cast<Sum *>(tessera::detail::mem_alloc(src_row * sizeof(Sum)));
        return sums || (tessera::detail::fail_memory(src_row * sizeof(Sum), "the box's sums"), false);
    }
    bool row(int32_t y, unsigned char *out) override {
        for (int32_t r = 0; r < ky; ++r) {
            const auto *s = reinterpret_cast<const T *>(rows.row(y * ky + r));
            if (rows.failed()) return false;
            for (std::size_t i = 0; i < src_row; ++i) sums[i] = (r ? sums[i] : 0) + static_cast<Sum>(s[i]);
        }
        block_means<T, C>(sums, ow, block, shift, reinterpret_cast<T *>(out));
        return true;
    }
};

void nearest_points(int32_t *points, int32_t n, int32_t m) {
    for (int32_t i = 0; i < n; ++i) points[i] = static_cast<int32_t>((2 * int64_t{i} + 1) * m / (2 * int64_t{n}));
}

AnyImageStruct *nearest(const AnyImageStruct *image, AnyImageStruct *out) {
    return tessera::detail::sample_into(image, out, [&](int32_t *cols, int32_t *rows) {
        nearest_points(cols, out->header->width, image->header->width);
        nearest_points(rows, out->header->height, image->header->height);
    });
}

// Whether a box resize of w x h to width x height is a shrink by whole blocks that box_shrink
// does (kx, ky: its factors).
bool shrinks_by_blocks(uint16_t tag, int32_t w, int32_t h, int32_t width, int32_t height, int32_t &kx, int32_t &ky) {
    kx = power_of_two_factor(w, width);
    ky = power_of_two_factor(h, height);
    bool blocks = false;
    // sums of at most 2^16 samples fit their integers; a block's row fits a span
    if (kx > 0 && ky > 0 && int64_t{kx} * ky <= 65536)
        tessera::detail::visit_pixels(tag, [&]<class P>(P) {
            if constexpr (box_summable<typename P::scalar> && P::channels != 4) // alpha weighs colours
                blocks = static_cast<std::size_t>(kx) * P::channels <= box_span;
        });
    return blocks;
}

// The filtered resize of a w x h source of element type tag, its rows from rows: a maker of its
// rows (placed in room, which holds a Resample of any type) run by run(maker), whose result it
// returns; false with the reason when the tables or rows cannot be had.
template <class Rows, class Run> bool filtered(Rows &rows, uint16_t tag, int32_t w, int32_t h, int32_t n,
                                               const Taps &xs, const Taps &ys, const FixedPlan &fixed, Run run) {
    bool done = false;
    tessera::detail::visit_pixels(tag, [&]<class P>(P) {
        using T = typename P::scalar;
        constexpr int C = P::channels;
        if constexpr (std::is_same_v<T, uint8_t> && C != 4) {
            if (fixed.made == 1) {
                FixedResample<C, Rows> maker(rows, w, fixed.x.axis, fixed.y.axis);
                done = maker.open() && run(static_cast<RowMaker &>(maker));
                return;
            }
        }
        if (vector_paths && tessera::detail::simd::sse2()) {
            Resample<T, C, vector_paths, Rows> maker(rows, w, h, n, xs, ys);
            done = maker.open() && run(static_cast<RowMaker &>(maker));
        } else {
            Resample<T, C, false, Rows> maker(rows, w, h, n, xs, ys);
            done = maker.open() && run(static_cast<RowMaker &>(maker));
        }
    });
    return done;
}

// nearest() over rows read one at a time: each result row copies the samples it takes.
struct NearestRows final : RowMaker {
    ReadRows &rows;
    int32_t width, height, n, h;
    std::size_t size;
    int32_t *cols = nullptr, *points = nullptr;
    NearestRows(ReadRows &r, int32_t width_, int32_t height_, int32_t n_, int32_t h_, std::size_t size_)
        : rows(r), width(width_), height(height_), n(n_), h(h_), size(size_) {}
    ~NearestRows() override { tessera::detail::mem_free(cols); }
    bool open() {
        const std::size_t table = (static_cast<std::size_t>(n) + static_cast<std::size_t>(h)) * sizeof(int32_t);
        cols = static_cast<int32_t *>(tessera::detail::mem_alloc(table));
        if (!cols) return tessera::detail::fail_memory(table, "the sample table"), false;
        points = cols + n;
        nearest_points(cols, n, width);
        nearest_points(points, h, height);
        return true;
    }
    bool row(int32_t y, unsigned char *d) override {
        const unsigned char *s = rows.row(points[y]);
        if (rows.failed()) return false;
        for (int32_t x = 0; x < n; ++x)
            std::memcpy(d + static_cast<std::size_t>(x) * size, s + static_cast<std::size_t>(cols[x]) * size, size);
        return true;
    }
};

// A resize whose source rows come from a reader and whose result rows are made one at a time:
// what a tessera_resizer is.
struct Resizer {
    ReadRows rows;
    int32_t height, new_width, new_height, next = 0;
    std::size_t size;
    Taps xs, ys;
    FixedPlan fixed;
    RowMaker *maker = nullptr;
    alignas(std::max_align_t) unsigned char room[256]; // the maker, of whichever type and kind

    Resizer(tessera_row_reader read, void *context, std::size_t bytes, int32_t h, int32_t nw, int32_t nh,
            std::size_t size_)
        : rows{read, context, nullptr, bytes, lanes}, height(h), new_width(nw), new_height(nh), size(size_) {}
    ~Resizer() {
        if (maker) maker->~RowMaker();
        tessera::detail::mem_free(rows.ring);
    }
    // Places a maker of type M, opens it; false with the reason.
    template <class M, class... A> bool place(A &&...a) {
        static_assert(sizeof(M) <= sizeof room);
        auto *m = new (room) M(std::forward<A>(a)...);
        maker = m;
        return m->open();
    }
};

// Whether filter is one of the filters, TESSERA_EXACT or'ed in or not.
bool known_filter(int filter) {
    const int kind = filter & ~TESSERA_EXACT;
    return kind >= TESSERA_NEAREST && kind <= TESSERA_LANCZOS3;
}

// The checks of a resize of rows from a reader; false with the reason.
bool resize_arguments(uint16_t tag, int32_t width, int32_t height, tessera_row_reader read, int32_t new_width,
                      int32_t new_height, int filter) {
    if (!read) return fail(Err::argument, "no row reader");
    if (width <= 0 || height <= 0 || new_width <= 0 || new_height <= 0)
        return fail(Err::argument, "a resize of %d x %d to %d x %d has no pixels", width, height, new_width,
                    new_height);
    if (!known_filter(filter)) return fail(Err::argument, "unknown filter %d", filter);
    if (fixed_elem_size(tag) == 0 || !tessera::detail::traits_of(tag))
        return fail(Err::unsupported, "images of element type %u cannot be resized", tag);
    return true;
}

// The maker of rows for a resizer, as its filter and the shapes ask; false with the reason.
bool open_maker(Resizer &z, uint16_t tag, int32_t width, int filter) {
    const std::size_t bytes = z.rows.bytes;
    if (!within_budget(static_cast<int64_t>(bytes), lanes, 1, "set of source rows")) return false;
    z.rows.ring = static_cast<unsigned char *>(tessera::detail::mem_alloc(bytes * lanes));
    if (!z.rows.ring) return tessera::detail::fail_memory(bytes * lanes, "the source rows"), false;
    const bool exact = (filter & TESSERA_EXACT) != 0;
    filter &= ~TESSERA_EXACT;
    int32_t kx = 0, ky = 0;
    if (filter == TESSERA_NEAREST)
        return z.place<NearestRows>(z.rows, width, z.height, z.new_width, z.new_height, z.size);
    bool done = false;
    if (filter == TESSERA_BOX && shrinks_by_blocks(tag, width, z.height, z.new_width, z.new_height, kx, ky)) {
        tessera::detail::visit_pixels(tag, [&]<class P>(P) {
            if constexpr (box_summable<typename P::scalar> && P::channels != 4)
                done = z.place<BoxRows<typename P::scalar, P::channels>>(z.rows, width, z.new_width, kx, ky);
        });
        return done;
    }
    // the rows it will hold are weighed before the x table, which can be as large, is made
    if (!z.ys.make(z.height, z.new_height, kernels[filter])) return false;
    tessera::detail::visit_pixels(tag, [&]<class P>(P) {
        constexpr int C = P::channels;
        done = Resample<typename P::scalar, C, false, ReadRows>::fits_budget(
            static_cast<std::size_t>(width) * C, static_cast<std::size_t>(z.new_width) * C, z.ys.stride);
    });
    if (!done || !z.xs.make(width, z.new_width, kernels[filter])) return false;
    z.fixed.plan(tag, exact, z.xs, z.new_width, z.ys, z.new_height);
    if (z.fixed.made < 0) return false;
    tessera::detail::visit_pixels(tag, [&]<class P>(P) {
        using T = typename P::scalar;
        constexpr int C = P::channels;
        if constexpr (std::is_same_v<T, uint8_t> && C != 4) {
            if (z.fixed.made == 1) {
                done = z.place<FixedResample<C, ReadRows>>(z.rows, width, z.fixed.x.axis, z.fixed.y.axis);
                return;
            }
        }
        done = vector_paths && tessera::detail::simd::sse2()
                   ? z.place<Resample<T, C, vector_paths, ReadRows>>(z.rows, width, z.height, z.new_width, z.xs, z.ys)
                   : z.place<Resample<T, C, false, ReadRows>>(z.rows, width, z.height, z.new_width, z.xs, z.ys);
    });
    return done;
}

} // namespace

extern "C" {

AnyImageStruct *tessera_resize(const AnyImageStruct *image, int32_t width, int32_t height, int filter) {
    if (width <= 0 || height <= 0)
        return fail(Err::argument, "a size of %d x %d has no pixels", width, height), nullptr;
    if (!known_filter(filter)) return fail(Err::argument, "unknown filter %d", filter), nullptr;
    const bool exact = (filter & TESSERA_EXACT) != 0;
    filter &= ~TESSERA_EXACT;
    AnyImageStruct *out = geometry_result(image, width, height, 0, 0, true);
    if (!out) return nullptr;
    const ImageHeader *h = image->header;
    if (filter == TESSERA_NEAREST) return nearest(image, out);
    int32_t kx = 0, ky = 0;
    if (filter == TESSERA_BOX && shrinks_by_blocks(h->tag, h->width, h->height, width, height, kx, ky)) {
        tessera::detail::visit_pixels(h->tag, [&]<class P>(P) {
            if constexpr (box_summable<typename P::scalar> && P::channels != 4)
                box_shrink<typename P::scalar, P::channels>(image, out, kx, ky);
        });
        return out;
    }
    const std::size_t size = fixed_elem_size(h->tag);
    ImageRows rows{static_cast<const unsigned char *>(first_pixel(const_cast<AnyImageStruct *>(image), h, size)),
                   static_cast<std::size_t>(h->width) * size};
    auto *first = static_cast<unsigned char *>(first_pixel(out, out->header, size));
    const std::size_t out_row = static_cast<std::size_t>(width) * size;
    Taps xs, ys;
    FixedPlan fixed;
    const bool done = xs.make(h->width, width, kernels[filter]) && ys.make(h->height, height, kernels[filter]) &&
                      (fixed.plan(h->tag, exact, xs, width, ys, height), fixed.made >= 0) &&
                      filtered(rows, h->tag, h->width, h->height, width, xs, ys, fixed, [&](RowMaker &maker) {
                          for (int32_t j = 0; j < height; ++j)
                              maker.row(j, first + static_cast<std::size_t>(j) * out_row);
                          return true;
                      });
    if (!done) {
        im_Free_(out, out->header->tag);
        return nullptr;
    }
    return out;
}

tessera_resizer *tessera_resizer_new(uint16_t tag, int32_t width, int32_t height, tessera_row_reader read,
                                     void *context, int32_t new_width, int32_t new_height, int filter) {
    if (!resize_arguments(tag, width, height, read, new_width, new_height, filter)) return nullptr;
    const std::size_t size = fixed_elem_size(tag);
    void *block = tessera::detail::mem_alloc(sizeof(Resizer));
    if (!block) return tessera::detail::fail_memory(sizeof(Resizer), "a resizer"), nullptr;
    auto *z =
        new (block) Resizer(read, context, static_cast<std::size_t>(width) * size, height, new_width, new_height, size);
    if (!open_maker(*z, tag, width, filter)) {
        z->~Resizer();
        tessera::detail::mem_free(z);
        return nullptr;
    }
    return reinterpret_cast<tessera_resizer *>(z);
}

int tessera_resizer_row(tessera_resizer *resizer, void *row) {
    auto *z = reinterpret_cast<Resizer *>(resizer);
    if (!z || !row) return fail(Err::argument, "no resizer or no row"), -1;
    if (z->next >= z->new_height) return fail(Err::argument, "all %d rows are made", z->new_height), -1;
    if (!z->maker->row(z->next, static_cast<unsigned char *>(row)))
        return fail(Err::file, "the row reader stopped at row %d of %d", z->rows.last, z->height), -1;
    ++z->next;
    return 0;
}

void tessera_resizer_free(tessera_resizer *resizer) {
    auto *z = reinterpret_cast<Resizer *>(resizer);
    if (!z) return;
    z->~Resizer();
    tessera::detail::mem_free(z);
}

AnyImageStruct *tessera_resize_rows(uint16_t tag, int32_t width, int32_t height, tessera_row_reader read, void *context,
                                    int32_t new_width, int32_t new_height, int filter) {
    if (!resize_arguments(tag, width, height, read, new_width, new_height, filter)) return nullptr;
    if (!within_budget(new_width, new_height, fixed_elem_size(tag), "result")) return nullptr;
    tessera_resizer *z = tessera_resizer_new(tag, width, height, read, context, new_width, new_height, filter);
    if (!z) return nullptr;
    auto *out = static_cast<AnyImageStruct *>(
        tessera::detail::create_image(tag, new_width, new_height, 0, 0, nullptr, 0, 0, nullptr, false));
    for (int32_t j = 0; out && j < new_height; ++j)
        if (tessera_resizer_row(z, out->data[j]) != 0) im_Free_(out, out->header->tag), out = nullptr;
    tessera_resizer_free(z);
    return out;
}

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
    return known_filter(filter) ? filter_names[filter & ~TESSERA_EXACT] : nullptr;
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

} // extern "C"
