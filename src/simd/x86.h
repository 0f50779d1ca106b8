// The x86 vector paths (SSE2, and SSSE3 where the seam finds it), each the same in its bytes as
// the portable code beside its caller. Included only where TESSERA_SIMD_X86 is 1, and called
// only when the seam (seam.h) says so.
#pragma once

#include "seam.h"

#if TESSERA_SIMD_X86

#include <emmintrin.h>
#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessera::detail::simd::x86 {

// ---- streaming stores (around the caches) --------------------------------------------------

inline void stream_word(unsigned char *d, uint64_t v) {
    _mm_stream_si64(reinterpret_cast<long long *>(d), static_cast<long long>(v));
}
// 64 bytes from a 16-byte aligned source to a 16-byte aligned destination.
inline void stream_block64(unsigned char *d, const unsigned char *s) {
    const auto *src = reinterpret_cast<const __m128i *>(s);
    auto *dst = reinterpret_cast<__m128i *>(d);
    _mm_stream_si128(dst, _mm_load_si128(src));
    _mm_stream_si128(dst + 1, _mm_load_si128(src + 1));
    _mm_stream_si128(dst + 2, _mm_load_si128(src + 2));
    _mm_stream_si128(dst + 3, _mm_load_si128(src + 3));
}
// Orders streamed stores before what follows.
inline void end_streaming() { _mm_sfence(); }

// ---- resampling -----------------------------------------------------------------------------

// Two sums rounded halves up, as int32 in the low half: trunc(x) + (x - trunc(x) >= 0.5), exact.
// Below 0 the result is at most 0, above 255 at least 255 (sums of bytes stay far inside the
// int32 range), so the packs' saturation in store8_bytes does the clamping.
inline __m128i rounded_int2(__m128d v) {
    const __m128i whole = _mm_cvttpd_epi32(v);
    const __m128d up = _mm_cmpge_pd(_mm_sub_pd(v, _mm_cvtepi32_pd(whole)), _mm_set1_pd(0.5));
    // the 64-bit masks' low words beside each other: -1 where the sum rounds up
    return _mm_sub_epi32(whole, _mm_shuffle_epi32(_mm_castpd_si128(up), _MM_SHUFFLE(3, 3, 2, 0)));
}

// Stores eight sums (two in each of a, b, c, e: any 16-byte vector of two doubles) as bytes,
// rounded halves up and clamped to 0..255.
template <class V> inline void store8_bytes(uint8_t *d, V a, V b, V c, V e) {
    const __m128i lo =
        _mm_unpacklo_epi64(rounded_int2(std::bit_cast<__m128d>(a)), rounded_int2(std::bit_cast<__m128d>(b)));
    const __m128i hi =
        _mm_unpacklo_epi64(rounded_int2(std::bit_cast<__m128d>(c)), rounded_int2(std::bit_cast<__m128d>(e)));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128()));
}

// Four bytes of each of four rows (b[r], in memory order) as 16 doubles interleaved by row:
// q[4 * k + r] is byte k of row r. Exact.
inline void widen_bytes_4x4(double *q, const uint32_t b[4]) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i m = _mm_unpacklo_epi16(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(b[0])), _mm_cvtsi32_si128(static_cast<int>(b[1]))),
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(b[2])), _mm_cvtsi32_si128(static_cast<int>(b[3]))));
    const __m128i half[2] = {_mm_unpacklo_epi8(m, zero), _mm_unpackhi_epi8(m, zero)};
    for (int h = 0; h < 2; ++h)
        for (int e = 0; e < 2; ++e) {
            const __m128i sample = e == 0 ? _mm_unpacklo_epi16(half[h], zero) : _mm_unpackhi_epi16(half[h], zero);
            _mm_storeu_pd(q + 8 * h + 4 * e, _mm_cvtepi32_pd(sample));
            _mm_storeu_pd(q + 8 * h + 4 * e + 2, _mm_cvtepi32_pd(_mm_srli_si128(sample, 8)));
        }
}

// ---- quarter turns --------------------------------------------------------------------------

// One band of eight output rows and 64 output columns of a tile of bytes: run i of buf (stride
// R bytes) holds output column i; the band's rows start at byte column of each run (mirrored:
// the rows come out in reverse order). 16 x 8 bytes are transposed in registers, staged so that
// each output row's 64 bytes go out together.
template <bool Stream> inline void transpose_band(const unsigned char *buf, std::ptrdiff_t R, int32_t column,
                                                  bool mirror, unsigned char *out, std::ptrdiff_t out_row) {
    __m128i stage[8][4];
    for (int q = 0; q < 4; ++q) {
        const unsigned char *b = buf + 16 * q * R + column;
        __m128i a[8], c[8], r[8];
        for (int k = 0; k < 8; ++k)
            a[k] = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(b + 2 * k * R)),
                                     _mm_loadl_epi64(reinterpret_cast<const __m128i *>(b + (2 * k + 1) * R)));
        for (int k = 0; k < 4; ++k) {
            c[k] = _mm_unpacklo_epi16(a[2 * k], a[2 * k + 1]);     // columns 0-3 of runs 4k..4k+3
            c[k + 4] = _mm_unpackhi_epi16(a[2 * k], a[2 * k + 1]); // columns 4-7
        }
        for (int h = 0; h < 2; ++h) {
            const __m128i *C = c + 4 * h;
            const __m128i lo = _mm_unpacklo_epi32(C[0], C[1]), hi = _mm_unpackhi_epi32(C[0], C[1]);
            const __m128i lo2 = _mm_unpacklo_epi32(C[2], C[3]), hi2 = _mm_unpackhi_epi32(C[2], C[3]);
            r[4 * h + 0] = _mm_unpacklo_epi64(lo, lo2);
            r[4 * h + 1] = _mm_unpackhi_epi64(lo, lo2);
            r[4 * h + 2] = _mm_unpacklo_epi64(hi, hi2);
            r[4 * h + 3] = _mm_unpackhi_epi64(hi, hi2);
        }
        for (int k = 0; k < 8; ++k) stage[mirror ? 7 - k : k][q] = r[k];
    }
    for (int k = 0; k < 8; ++k) {
        auto *o = reinterpret_cast<__m128i *>(out + k * out_row);
        for (int q = 0; q < 4; ++q) {
            if constexpr (Stream) _mm_stream_si128(o + q, stage[k][q]);
            else _mm_storeu_si128(o + q, stage[k][q]);
        }
    }
}

// Elements of N bytes in the 48 bytes a row is reversed by at a time with byte shuffles.
template <std::size_t N> constexpr std::size_t shuffle_window = 48 / N;
// The byte shuffles that reverse the elements of N bytes in 48 bytes (three registers): output
// register o takes from source register r the bytes masks[o][r] names (-128: none).
template <std::size_t N> constexpr auto reversal_masks() {
    std::array<std::array<std::array<int8_t, 16>, 3>, 3> masks{};
    for (int k = 0; k < 48; ++k) {
        const int from = (static_cast<int>(shuffle_window<N>) - 1 - k / static_cast<int>(N)) * static_cast<int>(N) +
                         k % static_cast<int>(N);
        for (int r = 0; r < 3; ++r) masks[k / 16][r][k % 16] = from / 16 == r ? static_cast<int8_t>(from % 16) : -128;
    }
    return masks;
}
// Reverses elements 0 to done - 1 of a row of n (done a multiple of shuffle_window<N>) 48 bytes at
// a time with SSSE3's byte shuffle; only where simd::ssse3().
template <std::size_t N> __attribute__((target("ssse3"))) void
reverse_windows_ssse3(unsigned char *d, const unsigned char *s, std::size_t n, std::size_t done) {
    static constexpr auto masks = reversal_masks<N>();
    constexpr std::size_t E = shuffle_window<N>;
    __m128i m[3][3];
    for (int o = 0; o < 3; ++o)
        for (int r = 0; r < 3; ++r) m[o][r] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(masks[o][r].data()));
    for (std::size_t x = done; x >= E;) {
        x -= E;
        const unsigned char *p = s + N * (n - x - E);
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
        for (int o = 0; o < 3; ++o)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + N * x + 16 * o),
                             _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m[o][0]), _mm_shuffle_epi8(b, m[o][1])),
                                          _mm_shuffle_epi8(c, m[o][2])));
    }
}

// ---- extrema --------------------------------------------------------------------------------

// Lanes of floats and doubles for the extrema of a row, with the operations the portable loop
// uses one value at a time.
template <class T> struct Lanes;
template <> struct Lanes<float> {
    using V = __m128;
    static constexpr int width = 4;
    static V load(const float *p) { return _mm_loadu_ps(p); }
    static void store(float *p, V v) { _mm_storeu_ps(p, v); }
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
    static V unordered(V a) { return _mm_cmpunord_ps(a, a); }
    static V either(V a, V b) { return _mm_or_ps(a, b); }
    static V zero() { return _mm_setzero_ps(); }
    static bool any(V m) { return _mm_movemask_ps(m) != 0; }
};
template <> struct Lanes<double> {
    using V = __m128d;
    static constexpr int width = 2;
    static V load(const double *p) { return _mm_loadu_pd(p); }
    static void store(double *p, V v) { _mm_storeu_pd(p, v); }
    static V max(V a, V b) { return _mm_max_pd(a, b); }
    static V min(V a, V b) { return _mm_min_pd(a, b); }
    static V unordered(V a) { return _mm_cmpunord_pd(a, a); }
    static V either(V a, V b) { return _mm_or_pd(a, b); }
    static V zero() { return _mm_setzero_pd(); }
    static bool any(V m) { return _mm_movemask_pd(m) != 0; }
};

// ---- binary rows ----------------------------------------------------------------------------

// A mask of the bytes of p[0 .. 15] that are 0.
inline int zero_mask16(const int8_t *p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
}
inline __m128i load16(const int8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
// Whether any of p[0 .. 63] is not 0: one test for four vectors.
inline bool any_set64(const int8_t *p) {
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load16(p), load16(p + 16)), _mm_or_si128(load16(p + 32), load16(p + 48)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xffff;
}
// Whether any of p[0 .. 63] is 0: their unsigned minimum is 0.
inline bool any_clear64(const int8_t *p) {
    const __m128i least =
        _mm_min_epu8(_mm_min_epu8(load16(p), load16(p + 16)), _mm_min_epu8(load16(p + 32), load16(p + 48)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(least, _mm_setzero_si128())) != 0;
}

// ---- colour mixing --------------------------------------------------------------------------

// Four mixes of one colour (hue h, saturation s, value v) into four pixels of channels r, g, b
// (as units, the pixels' bytes over 255), each pixel already holding n[i] plots. Lane by lane
// this is the portable mix: every arithmetic step is the same operation in the same order and
// precision (an SSE operation rounds exactly as the scalar one does), and its branches become
// masks, so the bytes are the same. Nothing divides by zero or converts a value out of range.
// Writes the three channels of each result to out (r, g, b of lane i at out[i], out[4 + i],
// out[8 + i]) and returns the lanes (bit i) that the portable mix must do instead: those whose
// hue would need more than one turn back into the circle, which the inputs' ranges rule out.
inline __m128 pick(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
inline __m128i to_bytes(__m128 c) { // round(c * 256) half up, c not negative
    const __m128 x = _mm_mul_ps(c, _mm_set1_ps(256));
    const __m128i whole = _mm_cvttps_epi32(x);
    const __m128 up = _mm_cmpge_ps(_mm_sub_ps(x, _mm_cvtepi32_ps(whole)), _mm_set1_ps(0.5f));
    return _mm_sub_epi32(whole, _mm_castps_si128(up));
}
inline int mix4(const float r4[4], const float g4[4], const float b4[4], const int32_t n[4], float ah, float as,
                float av, uint8_t out[16]) {
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1), turn = _mm_set1_ps(360);
    // The pixels in HSV.
    const __m128 r = _mm_loadu_ps(r4), g = _mm_loadu_ps(g4), b = _mm_loadu_ps(b4);
    const __m128 mx = _mm_max_ps(r, _mm_max_ps(g, b)), mn = _mm_min_ps(r, _mm_min_ps(g, b));
    const __m128 d = _mm_sub_ps(mx, mn);
    const __m128 lit = _mm_cmpneq_ps(mx, zero);
    const __m128 so = pick(lit, _mm_div_ps(d, pick(lit, mx, one)), zero);
    const __m128 at_r = _mm_cmpeq_ps(r, mx), at_g = _mm_cmpeq_ps(g, mx);
    const __m128 num = pick(at_r, _mm_sub_ps(g, b), pick(at_g, _mm_sub_ps(b, r), _mm_sub_ps(r, g)));
    const __m128 q = _mm_div_ps(num, pick(_mm_cmpneq_ps(d, zero), d, one));
    __m128 hue = pick(at_r, q, _mm_add_ps(pick(at_g, _mm_set1_ps(2), _mm_set1_ps(4)), q));
    hue = _mm_mul_ps(hue, _mm_set1_ps(60));
    hue = pick(_mm_cmplt_ps(hue, zero), _mm_add_ps(hue, turn), hue);
    const __m128 ho = pick(_mm_cmpeq_ps(so, zero), _mm_set1_ps(-1), hue);

    // The averages with the added colour, its hue taken the short way round.
    __m128 hn = _mm_set1_ps(ah);
    const __m128 half = _mm_set1_ps(180);
    const __m128 up = _mm_cmpgt_ps(_mm_sub_ps(ho, hn), half), down = _mm_cmpgt_ps(_mm_sub_ps(hn, ho), half);
    hn = pick(up, _mm_add_ps(hn, turn), pick(down, _mm_sub_ps(hn, turn), hn));
    const __m128i ni = _mm_loadu_si128(reinterpret_cast<const __m128i *>(n));
    const __m128 nf = _mm_cvtepi32_ps(ni), n1 = _mm_cvtepi32_ps(_mm_add_epi32(ni, _mm_set1_epi32(1)));
    __m128 h = _mm_div_ps(_mm_add_ps(_mm_mul_ps(nf, ho), hn), n1);
    const __m128 s = _mm_div_ps(_mm_add_ps(_mm_mul_ps(nf, so), _mm_set1_ps(as)), n1);
    const __m128 v = _mm_div_ps(_mm_add_ps(_mm_mul_ps(nf, mx), _mm_set1_ps(av)), n1);
    h = pick(_mm_cmpge_ps(h, turn), _mm_sub_ps(h, turn), h);
    __m128 fine = _mm_cmplt_ps(h, turn);
    h = pick(_mm_cmplt_ps(h, zero), _mm_add_ps(h, turn), h);
    fine = _mm_and_ps(fine, _mm_cmpge_ps(h, zero));

    // Back to RGB: p, q, t and v, three of them chosen by the hue's sector.
    const __m128 gray = _mm_cmpeq_ps(s, zero);
    h = _mm_div_ps(pick(_mm_cmpge_ps(h, turn), _mm_sub_ps(h, turn), h), _mm_set1_ps(60));
    fine = _mm_and_ps(fine, _mm_or_ps(gray, _mm_and_ps(_mm_cmpge_ps(h, zero), _mm_cmplt_ps(h, _mm_set1_ps(6)))));
    const __m128i sector = _mm_cvttps_epi32(h); // the floor, h being in [0, 6)
    const __m128 f = _mm_sub_ps(h, _mm_cvtepi32_ps(sector));
    const __m128 p = _mm_mul_ps(v, _mm_sub_ps(one, s));
    const __m128 qq = _mm_mul_ps(v, _mm_sub_ps(one, _mm_mul_ps(s, f)));
    const __m128 t = _mm_mul_ps(v, _mm_sub_ps(one, _mm_mul_ps(s, _mm_sub_ps(one, f))));
    const auto is = [&](int k) { return _mm_castsi128_ps(_mm_cmpeq_epi32(sector, _mm_set1_epi32(k))); };
    const __m128 s0 = is(0), s1 = is(1), s2 = is(2), s3 = is(3), s4 = is(4), s5 = is(5);
    // sectors 0..5: (v,t,p) (q,v,p) (p,v,t) (p,q,v) (t,p,v) (v,p,q); no saturation: (v,v,v)
    const __m128 rr = pick(gray, v, pick(s1, qq, pick(_mm_or_ps(s2, s3), p, pick(s4, t, v))));
    const __m128 gg = pick(gray, v, pick(s0, t, pick(s3, qq, pick(_mm_or_ps(s4, s5), p, v))));
    const __m128 bb = pick(gray, v, pick(_mm_or_ps(s0, s1), p, pick(s2, t, pick(s5, qq, v))));
    // To bytes, clamped to 0..255 by the saturating packs.
    const __m128i rg = _mm_packs_epi32(to_bytes(rr), to_bytes(gg)), bw = _mm_packs_epi32(to_bytes(bb), to_bytes(bb));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(rg, bw));
    return ~_mm_movemask_ps(fine) & 15;
}

} // namespace tessera::detail::simd::x86

#endif
