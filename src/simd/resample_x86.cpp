// The x86 paths of fixed-point resampling (resample.h): SSE2 and SSSE3 16 bytes at a time,
// AVX2 32. Each function carries its instruction set as an attribute and runs only where the
// seam found it.
#include "resample.h"

#if TESSERA_SIMD_X86

#include <immintrin.h>

#include <cstring>

namespace tessera::detail::simd::x86 {

namespace {

// Where the reads of each position start: the row itself while a whole stride of reads (and
// the few bytes a 16-byte load takes past them) stays inside it, else a copy of the row's end
// in tail with zeros after it. Once one position reads the copy, all after it do: a position
// starts at most a stride before any earlier one (its taps were trimmed of zeros from a start
// that only grows), so the copy starts a stride before the first position that needs it.
struct Reads {
    const uint8_t *row;
    int32_t width;
    int C;
    int32_t over;  // bytes past the reads of a stride that a position's loads touch
    uint8_t *tail; // x_pass_tail bytes
    int32_t from = -1;
    const uint8_t *at(int32_t p, int32_t stride) {
        if (from < 0) {
            const int64_t end = int64_t{C} * (int64_t{p} + stride) + over;
            if (end <= int64_t{C} * width) return row + static_cast<std::size_t>(C) * static_cast<std::size_t>(p);
            from = p > stride ? p - stride : 0;
            const std::size_t kept = static_cast<std::size_t>(C) * static_cast<std::size_t>(width - from);
            std::memcpy(tail, row + static_cast<std::size_t>(C) * static_cast<std::size_t>(from), kept);
            std::memset(tail + kept, 0, x_pass_tail(stride, C) - kept);
        }
        return tail + static_cast<std::size_t>(C) * static_cast<std::size_t>(p - from);
    }
};

inline int32_t pair_at(const int16_t *q) {
    int32_t v;
    std::memcpy(&v, q, sizeof v);
    return v;
}

// Sums of lanes (int32) rounded by 2^s, clamped to 0..fixed_top, as int16 in the low half.
__attribute__((target("ssse3"))) inline __m128i narrow(__m128i acc, int s) {
    acc = _mm_sra_epi32(_mm_add_epi32(acc, _mm_set1_epi32(int32_t{1} << (s - 1))), _mm_cvtsi32_si128(s));
    const __m128i v = _mm_packs_epi32(acc, acc);
    return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(fixed_top));
}

// Stores the three samples of an RGB position; all but the last position store four (the
// fourth is the next position's, written after).
__attribute__((target("ssse3"))) inline void store_rgb(int16_t *d, __m128i v, bool last) {
    if (!last) _mm_storel_epi64(reinterpret_cast<__m128i *>(d), v);
    else {
        int16_t four[8];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(four), v);
        std::memcpy(d, four, 3 * sizeof(int16_t));
    }
}

// Gray: eight taps of four positions at a time, their sums gathered by horizontal adds.
__attribute__((target("ssse3"))) void x_gray_ssse3(const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail,
                                                   int16_t *out) {
    Reads reads{row, width, 1, 0, tail};
    const int s = x.shift - 7;
    const __m128i zero = _mm_setzero_si128();
    const auto sum = [&](int32_t i) {
        const uint8_t *p = reads.at(x.first[i], x.stride);
        const int16_t *q = x.coef + static_cast<std::size_t>(i) * static_cast<std::size_t>(x.stride);
        __m128i acc = zero;
        for (int32_t k = 0, taps = x.count[i]; k < taps; k += 8)
            acc = _mm_add_epi32(
                acc, _mm_madd_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + k)), zero),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + k))));
        return acc;
    };
    int32_t i = 0;
    for (; i + 4 <= x.n; i += 4) {
        const __m128i a = sum(i), b = sum(i + 1), c = sum(i + 2), d = sum(i + 3);
        const __m128i v = narrow(_mm_hadd_epi32(_mm_hadd_epi32(a, b), _mm_hadd_epi32(c, d)), s);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), v);
    }
    for (; i < x.n; ++i) {
        const __m128i a = sum(i);
        out[i] = x_sample(_mm_cvtsi128_si32(_mm_hadd_epi32(_mm_hadd_epi32(a, a), a)), s);
    }
}

// The byte shuffles that take two RGB pixels' samples (pixels 0, 1 or 2, 3 of four) to int16
// pairs: R0 R1 G0 G1 B0 B1, then two zeros.
#define TESSERA_RGB_PAIRS_01 0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1
#define TESSERA_RGB_PAIRS_23 6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1

// RGB: eight taps at a time, from two loads of four pixels each.
__attribute__((target("ssse3"))) void x_rgb_ssse3(const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail,
                                                  int16_t *out) {
    Reads reads{row, width, 3, 4, tail};
    const int s = x.shift - 7;
    const __m128i m01 = _mm_setr_epi8(TESSERA_RGB_PAIRS_01), m23 = _mm_setr_epi8(TESSERA_RGB_PAIRS_23);
    for (int32_t i = 0; i < x.n; ++i) {
        const uint8_t *p = reads.at(x.first[i], x.stride);
        const int16_t *q = x.coef + static_cast<std::size_t>(i) * static_cast<std::size_t>(x.stride);
        __m128i acc = _mm_setzero_si128(), acc2 = acc;
        const int32_t taps = x.count[i];
        int32_t k = 0;
        for (; k + 4 < taps; k += 8, p += 24, q += 8) {
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 12));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(a, m01), _mm_shuffle_epi32(c, 0x00)));
            acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_shuffle_epi8(a, m23), _mm_shuffle_epi32(c, 0x55)));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(b, m01), _mm_shuffle_epi32(c, 0xAA)));
            acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_shuffle_epi8(b, m23), _mm_shuffle_epi32(c, 0xFF)));
        }
        if (k < taps) { // four taps or fewer left
            const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(a, m01), _mm_shuffle_epi32(c, 0x00)));
            acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_shuffle_epi8(a, m23), _mm_shuffle_epi32(c, 0x55)));
        }
        store_rgb(out + 3 * static_cast<std::size_t>(i), narrow(_mm_add_epi32(acc, acc2), s), i + 1 == x.n);
    }
}

// RGB: eight taps at a time, four pixels in each half of a register.
__attribute__((target("avx2"))) void x_rgb_avx2(const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail,
                                                int16_t *out) {
    Reads reads{row, width, 3, 4, tail};
    const int s = x.shift - 7;
    const __m256i m01 = _mm256_setr_epi8(TESSERA_RGB_PAIRS_01, TESSERA_RGB_PAIRS_01);
    const __m256i m23 = _mm256_setr_epi8(TESSERA_RGB_PAIRS_23, TESSERA_RGB_PAIRS_23);
    const __m256i first_pairs = _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2);
    const __m256i second_pairs = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    for (int32_t i = 0; i < x.n; ++i) {
        const uint8_t *p = reads.at(x.first[i], x.stride);
        const int16_t *q = x.coef + static_cast<std::size_t>(i) * static_cast<std::size_t>(x.stride);
        __m256i acc = _mm256_setzero_si256(), acc2 = acc;
        const int32_t taps = x.count[i];
        int32_t k = 0;
        for (; k + 4 < taps; k += 8, p += 24, q += 8) {
            const __m256i c = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q)));
            const __m256i v =
                _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 12)), 1);
            acc = _mm256_add_epi32(
                acc, _mm256_madd_epi16(_mm256_shuffle_epi8(v, m01), _mm256_permutevar8x32_epi32(c, first_pairs)));
            acc2 = _mm256_add_epi32(
                acc2, _mm256_madd_epi16(_mm256_shuffle_epi8(v, m23), _mm256_permutevar8x32_epi32(c, second_pairs)));
        }
        acc = _mm256_add_epi32(acc, acc2);
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        if (k < taps) { // four taps or fewer left
            const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            sum = _mm_add_epi32(
                sum, _mm_madd_epi16(_mm_shuffle_epi8(a, _mm256_castsi256_si128(m01)), _mm_shuffle_epi32(c, 0x00)));
            sum = _mm_add_epi32(
                sum, _mm_madd_epi16(_mm_shuffle_epi8(a, _mm256_castsi256_si128(m23)), _mm_shuffle_epi32(c, 0x55)));
        }
        store_rgb(out + 3 * static_cast<std::size_t>(i), narrow(sum, s), i + 1 == x.n);
    }
}

} // namespace

void x_pass_u8_ssse3(int C, const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail, int16_t *out) {
    if (C == 1) x_gray_ssse3(row, width, x, tail, out);
    else x_rgb_ssse3(row, width, x, tail, out);
}

void x_pass_u8_avx2(int C, const uint8_t *row, int32_t width, const FixedAxis &x, uint8_t *tail, int16_t *out) {
    if (C == 1) x_gray_ssse3(row, width, x, tail, out);
    else x_rgb_avx2(row, width, x, tail, out);
}

void y_pass_u8_sse2(const int16_t *const *rows, const int16_t *coef, int32_t taps, int shift, std::size_t samples,
                    uint8_t *out) {
    const int s = shift + 7;
    const __m128i half = _mm_set1_epi32(int32_t{1} << (s - 1)), count = _mm_cvtsi32_si128(s);
    std::size_t k = 0;
    for (; k + 8 <= samples; k += 8) {
        __m128i lo = half, hi = half;
        int32_t t = 0;
        for (; t + 2 <= taps; t += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[t] + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[t + 1] + k));
            const __m128i c = _mm_set1_epi32(pair_at(coef + t));
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), c));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), c));
        }
        if (t < taps) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[t] + k));
            const __m128i c = _mm_set1_epi32(static_cast<uint16_t>(coef[t]));
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, _mm_setzero_si128()), c));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, _mm_setzero_si128()), c));
        }
        const __m128i v = _mm_packs_epi32(_mm_sra_epi32(lo, count), _mm_sra_epi32(hi, count));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + k), _mm_packus_epi16(v, v));
    }
    for (; k < samples; ++k) out[k] = y_sample(rows, coef, taps, s, k);
}

__attribute__((target("avx2"))) void y_pass_u8_avx2(const int16_t *const *rows, const int16_t *coef, int32_t taps,
                                                    int shift, std::size_t samples, uint8_t *out) {
    const int s = shift + 7;
    const __m256i half = _mm256_set1_epi32(int32_t{1} << (s - 1));
    const __m128i count = _mm_cvtsi32_si128(s);
    std::size_t k = 0;
    for (; k + 16 <= samples; k += 16) {
        // lanes: samples 0-3 and 8-11 in lo, 4-7 and 12-15 in hi, so the packs put them in order
        __m256i lo = half, hi = half;
        int32_t t = 0;
        for (; t + 2 <= taps; t += 2) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[t] + k));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[t + 1] + k));
            const __m256i c = _mm256_set1_epi32(pair_at(coef + t));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), c));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), c));
        }
        if (t < taps) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[t] + k));
            const __m256i c = _mm256_set1_epi32(static_cast<uint16_t>(coef[t]));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, _mm256_setzero_si256()), c));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, _mm256_setzero_si256()), c));
        }
        const __m256i v = _mm256_packs_epi32(_mm256_sra_epi32(lo, count), _mm256_sra_epi32(hi, count));
        const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), bytes);
    }
    for (; k < samples; ++k) out[k] = y_sample(rows, coef, taps, s, k);
}

} // namespace tessera::detail::simd::x86

#endif
