// Allocation seam of the test build: a countdown that fails a chosen allocation and a count of
// the blocks still live. The shared library compiles none of this; it calls malloc directly.
#include "alloc.h"

#ifdef TESSERA_ALLOC_SEAM

namespace tessera::detail {
namespace {
long armed_at = 0; // 0: no failure armed
bool fail_every = false;
long call_count = 0;
long live_count = 0;
bool delivered = false;

bool should_fail() noexcept {
    ++call_count;
    if (armed_at == 0) return false;
    if (call_count == armed_at || (fail_every && call_count > armed_at)) {
        delivered = true;
        return true;
    }
    return false;
}
} // namespace

void *mem_alloc(std::size_t size) noexcept {
    if (should_fail()) return nullptr;
    void *p = std::malloc(size);
    if (p) ++live_count;
    return p;
}

void *mem_calloc(std::size_t count, std::size_t size) noexcept {
    if (should_fail()) return nullptr;
    void *p = std::calloc(count, size);
    if (p) ++live_count;
    return p;
}

void *mem_aligned(std::size_t alignment, std::size_t size) noexcept {
    if (should_fail()) return nullptr;
    void *p = nullptr;
    if (posix_memalign(&p, alignment, size) != 0) return nullptr;
    ++live_count;
    return p;
}

void mem_free(void *p) noexcept {
    if (!p) return;
    --live_count;
    std::free(p);
}

namespace seam {
void arm(long n, bool every_after) noexcept {
    armed_at = n;
    fail_every = every_after;
    call_count = 0;
    delivered = false;
}
void disarm() noexcept { arm(0, false); }
long calls() noexcept { return call_count; }
long live() noexcept { return live_count; }
bool fired() noexcept { return delivered; }
} // namespace seam
} // namespace tessera::detail

#endif
