// Flips, half and quarter turns and transposes of whole images: rows reversed or copied,
// quarter turns in tiles. Pixel blocks are one run of width * height elements.
#include <tessera/geometry.h>

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "image_internal.h"
#include "sampling.h"
#include "simd/x86.h"
#include "support/error.h"
#include "turns.h"

namespace {

using tessera::detail::geometry_result;

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
    AnyImageStruct *out = geometry_result(image, swaps ? h->height : h->width, swaps ? h->width : h->height,
                                          swaps ? h->yoffset : h->xoffset, swaps ? h->xoffset : h->yoffset);
    if (out) tessera::detail::turn_pixels(image, how, out);
    return out;
}

} // namespace

extern "C" {

AnyImageStruct *tessera_flip_horizontal(const AnyImageStruct *image) { return turn(image, Turn::flip_x); }

AnyImageStruct *tessera_flip_vertical(const AnyImageStruct *image) { return turn(image, Turn::flip_y); }

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
