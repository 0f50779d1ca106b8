// Byte-level helpers shared by the typed families: pointer shifts by index offsets, size
// arithmetic that cannot overflow, and filling memory with one element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessera::detail {

// p moved by a signed byte count. Offset-indexed storage keeps pointers that lie outside their
// block (data - offset), so the shift is done on the address, where wrapping is defined.
template <class T> T *shifted(T *p, int64_t bytes) {
    return reinterpret_cast<T *>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(bytes));
}

// a * b * c, or false when it does not fit the address space (or an operand is negative).
inline bool product_fits(int64_t a, int64_t b, int64_t c, std::size_t *out) {
    if (a < 0 || b < 0 || c < 0) return false;
    std::size_t ab, abc;
    if (__builtin_mul_overflow(static_cast<std::size_t>(a), static_cast<std::size_t>(b), &ab) ||
        __builtin_mul_overflow(ab, static_cast<std::size_t>(c), &abc) || abc > PTRDIFF_MAX)
        return false;
    *out = abc;
    return true;
}

// Writes count copies of the size-byte element at elem to dst, in ascending address order.
void fill_elements(void *dst, std::size_t count, const void *elem, std::size_t size);

} // namespace tessera::detail
