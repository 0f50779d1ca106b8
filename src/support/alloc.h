// The library's one allocation seam. Every heap block the library owns comes from here, so the
// test build can make the Nth allocation fail and count what is still allocated.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace tessera::detail {

#ifdef TESSERA_ALLOC_SEAM
void *mem_alloc(std::size_t size) noexcept;
void *mem_calloc(std::size_t count, std::size_t size) noexcept;
void mem_free(void *p) noexcept;
void *mem_aligned(std::size_t alignment, std::size_t size) noexcept;

namespace seam {
// Allocation number n (counted from 1 after arm) fails; with every_after, so do all later ones.
void arm(long n, bool every_after = false) noexcept;
void disarm() noexcept;
// Allocations made since the last arm or disarm, failed ones included.
long calls() noexcept;
// Blocks handed out and not yet released, over the whole run.
long live() noexcept;
// True when the armed failure has been delivered.
bool fired() noexcept;
} // namespace seam
#else
inline void *mem_alloc(std::size_t size) noexcept { return std::malloc(size); }
inline void *mem_calloc(std::size_t count, std::size_t size) noexcept { return std::calloc(count, size); }
inline void mem_free(void *p) noexcept { std::free(p); }
inline void *mem_aligned(std::size_t alignment, std::size_t size) noexcept {
    void *p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}
#endif

// Owns a block from the seam until it is handed over (release) or the scope ends.
struct HeapFree {
    void operator()(void *p) const noexcept { mem_free(p); }
};
template <class T> using heap_ptr = std::unique_ptr<T, HeapFree>;

// A zero-filled block for one T (or bytes bytes), owned.
template <class T> heap_ptr<T> heap_zeroed(std::size_t bytes = sizeof(T)) noexcept {
    return heap_ptr<T>(static_cast<T *>(mem_calloc(1, bytes)));
}

// malloc-backed storage for one object of type T, or null. Nothing is constructed: the library
// only stores trivial records.
template <class T> T *alloc_record(std::size_t bytes = sizeof(T)) noexcept {
    return static_cast<T *>(mem_alloc(bytes));
}

} // namespace tessera::detail
