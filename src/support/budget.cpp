// The budget of results, one for the process.
#include "budget.h"

#include <tessera/image.h>

#include <atomic>

#include "error.h"

namespace tessera::detail {

namespace {

std::atomic<uint64_t> budget_bytes{TESSERA_DEFAULT_BUDGET};

} // namespace

uint64_t budget() noexcept { return budget_bytes.load(std::memory_order_relaxed); }

int64_t work_allowed(uint64_t bytes) noexcept {
    constexpr auto most = static_cast<uint64_t>(INT64_MAX);
    return static_cast<int64_t>(bytes > most / TESSERA_WORK_PER_BYTE ? most : bytes * TESSERA_WORK_PER_BYTE);
}

bool within_budget(int64_t width, int64_t height, uint64_t bytes_per_pixel, const char *what) noexcept {
    const uint64_t most = budget();
    if (width <= 0 || height <= 0 || most == UINT64_MAX) return true; // sizes the caller refuses; no budget
    const auto w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    // w * h * bytes_per_pixel > most, without overflow
    if (bytes_per_pixel == 0 || w <= most / bytes_per_pixel / h) return true;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(w, h, &bytes) || __builtin_mul_overflow(bytes, bytes_per_pixel, &bytes))
        bytes = UINT64_MAX;
    const auto shown = static_cast<unsigned long long>(bytes);
    return fail(Err::limit,
                "a %lld x %lld %s takes %llu bytes, more than the budget of %llu bytes (tessera_set_budget)",
                static_cast<long long>(width), static_cast<long long>(height), what, shown,
                static_cast<unsigned long long>(most));
}

} // namespace tessera::detail

extern "C" {

uint64_t tessera_set_budget(uint64_t bytes) {
    return tessera::detail::budget_bytes.exchange(bytes ? bytes : TESSERA_DEFAULT_BUDGET);
}

uint64_t tessera_budget(void) { return tessera::detail::budget(); }

} // extern "C"
