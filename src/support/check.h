// Contract checks and internal panics, always on in every build.
#pragma once

#include <cstdint>

namespace tessera::detail {

[[noreturn]] void check_failed(const char *expr, const char *file, int line) noexcept;

// Reports a fault of the library's own through _panic and ends the process with status 1.
[[noreturn]] void panic(const char *msg, const char *rcs, int line, const char *file) noexcept;

} // namespace tessera::detail

// The expression is stringified before any macro inside it expands, so the report shows it
// exactly as written at the call site.
#define TESSERA_CHECK(expr)                                                                                            \
    (static_cast<bool>(expr) ? void(0) : ::tessera::detail::check_failed(#expr, __FILE_NAME__, __LINE__))

// Each source file that panics defines TESSERA_RCS, its revision identification.
#define TESSERA_PANIC(msg) ::tessera::detail::panic((msg), TESSERA_RCS, __LINE__, __FILE_NAME__)
