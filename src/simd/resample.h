// Resampling 8-bit rows in fixed point: the x pass turns a row of samples into sums kept to
// 1/128 (clamped to 0..255 * 128), the y pass weighs such rows into bytes. The portable code
// beside the caller (image/resize.cpp) and the vector paths here give the same bytes: every sum
// is an exact integer that cannot overflow (the coefficients are chosen so).
#pragma once

#include <cstddef>
#include <cstdint>

#include "seam.h"

namespace tessera::detail::simd {

// One axis in fixed point: position i sums coef[i * stride + t] times source sample first[i] + t
// for t < count[i], and the sum is divided by 2^shift. stride is a multiple of 8, and the
// coefficients past count[i] are 0, so that vector paths may read up to the next multiple of 8.
struct FixedAxis {
    const int32_t *first;
    const int32_t *count;
    const int16_t *coef;
    int32_t n;
    int32_t stride;
    int shift;
};

// The largest intermediate sample: 255 in units of 1/128.
constexpr int32_t fixed_top = 255 * 128;

// An x pass sum of samples times coefficients of 2^(s + 7), kept to 1/128: rounded halves up
// and clamped to 0..fixed_top. Every path rounds its sums through this rule or its vector form.
inline int16_t x_sample(int32_t acc, int s) {
    const int32_t v = (acc + (int32_t{1} << (s - 1))) >> s;
    return static_cast<int16_t>(v < 0 ? 0 : v > fixed_top ? fixed_top : v);
}

// Sample k of a y pass: the sum over t < taps of coef[t] * rows[t][k] divided by 2^s, rounded
// halves up and clamped to a byte.
inline uint8_t y_sample(const int16_t *const *rows, const int16_t *coef, int32_t taps, int s, std::size_t k) {
    int32_t acc = int32_t{1} << (s - 1);
    for (int32_t t = 0; t < taps; ++t) acc += int32_t{coef[t]} * rows[t][k];
    acc >>= s;
    return static_cast<uint8_t>(acc < 0 ? 0 : acc > 255 ? 255 : acc);
}

// Bytes of scratch the x pass needs for the end of a row (positions whose reads, a whole stride
// of them, would pass the row's end read a copy of it followed by zeros): the copy starts at
// most two strides and a pixel before the row's end, and the reads go a stride past that.
constexpr std::size_t x_pass_tail(int32_t stride, int C) {
    return (3 * static_cast<std::size_t>(stride) + 8) * static_cast<std::size_t>(C) + 64;
}

#if TESSERA_SIMD_X86
namespace x86 {
// The x pass of one row of width pixels of C (1 or 3) channels into x.n * C intermediate
// samples; tail: x_pass_tail bytes of scratch for the row's end.
void x_pass_u8_ssse3(int C, const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail, int16_t *out);
void x_pass_u8_avx2(int C, const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail, int16_t *out);
// The y pass: out[k] = the rounded, clamped sum over t < taps of coef[t] * rows[t][k], divided
// by 2^(shift + 7), for k < samples.
void y_pass_u8_sse2(const int16_t *const *rows, const int16_t *coef, int32_t taps, int shift, std::size_t samples,
                    uint8_t *out);
void y_pass_u8_avx2(const int16_t *const *rows, const int16_t *coef, int32_t taps, int shift, std::size_t samples,
                    uint8_t *out);
} // namespace x86
#endif

} // namespace tessera::detail::simd
