// The budget of results: how many bytes an operation that makes a new image from others may
// take, checked before anything is allocated.
#pragma once

#include <cstdint>

namespace tessera::detail {

// The budget in force (tessera_budget()).
uint64_t budget() noexcept;

// The visits a budget of that many bytes allows (TESSERA_WORK_PER_BYTE each), INT64_MAX for none.
int64_t work_allowed(uint64_t budget_bytes) noexcept;

// True when a width x height result of bytes_per_pixel bytes a pixel fits the budget; else
// false with the reason set, naming the result as what ("result", "rendering").
bool within_budget(int64_t width, int64_t height, uint64_t bytes_per_pixel, const char *what) noexcept;

} // namespace tessera::detail
