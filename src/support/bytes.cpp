#include "bytes.h"

#include <algorithm>

namespace tessera::detail {

namespace {

template <class T> void fill_typed(void *dst, std::size_t count, const void *elem) {
    T value;
    std::memcpy(&value, elem, sizeof value);
    T *out = static_cast<T *>(dst);
    std::fill(out, out + count, value);
}

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
    // Other sizes: build a run of whole elements of about 8 KiB once, then copy it out.
    constexpr std::size_t run_bytes = 8192;
    auto *out = static_cast<unsigned char *>(dst);
    const std::size_t per_run = std::max<std::size_t>(1, run_bytes / size);
    const std::size_t first = std::min(count, per_run);
    for (std::size_t i = 0; i < first; ++i) std::memcpy(out + i * size, e, size);
    const std::size_t run = first * size;
    const std::size_t total = count * size;
    for (std::size_t done = run; done < total; done += run) std::memcpy(out + done, out, std::min(run, total - done));
}

} // namespace tessera::detail
