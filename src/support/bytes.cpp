#include "bytes.h"

#include <algorithm>

#include "simd/x86.h"

namespace tessera::detail {

namespace {

template <class T> void fill_typed(void *dst, std::size_t count, const void *elem) {
    T value;
    std::memcpy(&value, elem, sizeof value);
    T *out = static_cast<T *>(dst);
    std::fill(out, out + count, value);
}

#if TESSERA_SIMD_X86
// Large fills of small elements bypass the cache: 64-byte blocks cut from a pattern of 64
// elements (a whole number of blocks for any element size) are written with streaming stores.
constexpr std::size_t stream_threshold = 1 << 20;
constexpr std::size_t max_stream_elem = 16;

bool fill_streaming(unsigned char *out, std::size_t total, const unsigned char *e, std::size_t size) {
    if (total < stream_threshold || size > max_stream_elem) return false;
    const std::size_t head = (64 - reinterpret_cast<uintptr_t>(out) % 64) % 64;
    if (head % size != 0) return false; // keep the pattern's phase simple: start on an element
    for (std::size_t i = 0; i < head; i += size) std::memcpy(out + i, e, size);
    alignas(64) unsigned char pattern[64 * max_stream_elem];
    const std::size_t period = 64 * size;
    for (std::size_t i = 0; i < period; i += size) std::memcpy(pattern + i, e, size);
    std::size_t done = head, phase = 0;
    for (; done + 64 <= total; done += 64) {
        simd::x86::stream_block64(out + done, pattern + phase);
        phase += 64;
        if (phase == period) phase = 0;
    }
    simd::x86::end_streaming();
    std::memcpy(out + done, pattern + phase, total - done); // the tail continues the pattern
    return true;
}
#endif

bool all_bytes_equal(const unsigned char *e, std::size_t size) {
    for (std::size_t i = 1; i < size; ++i)
        if (e[i] != e[0]) return false;
    return true;
}

} // namespace

void fill_elements(void *dst, std::size_t count, const void *elem, std::size_t size) {
    if (count == 0 || size == 0) return;
    const auto *e = static_cast<const unsigned char *>(elem);
    if (all_bytes_equal(e, size)) {
        std::memset(dst, e[0], count * size);
        return;
    }
    switch (size) {
    case 2: return fill_typed<uint16_t>(dst, count, elem);
    case 4: return fill_typed<uint32_t>(dst, count, elem);
    case 8: return fill_typed<uint64_t>(dst, count, elem);
    default: break;
    }
    auto *out = static_cast<unsigned char *>(dst);
#if TESSERA_SIMD_X86
    if (simd::sse2() && fill_streaming(out, count * size, e, size)) return;
#endif
    // Other sizes: build a run of 4096 whole elements once (a multiple of 64 bytes, so every copy
    // keeps the destination's alignment), then copy it out.
    const std::size_t per_run = 4096;
    const std::size_t first = std::min(count, per_run);
    for (std::size_t i = 0; i < first; ++i) std::memcpy(out + i * size, e, size);
    const std::size_t run = first * size;
    const std::size_t total = count * size;
    for (std::size_t done = run; done < total; done += run) std::memcpy(out + done, out, std::min(run, total - done));
}

} // namespace tessera::detail
