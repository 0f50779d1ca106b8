// Reasons for failures, one text per thread.
#include "error.h"

#include <tessera/error.h>
#include <tessera/version.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

static_assert(std::string_view(TESSERA_VERSION_STRING) == TESSERA_PROJECT_VERSION,
              "the version in tessera.h and in CMakeLists.txt differ");

namespace tessera::detail {

namespace {

thread_local char reason[512] = "no failure reported on this thread";

// Sizes as a person reads them: "48 MiB", "3.5 KiB", "200 bytes".
void describe_size(char *out, std::size_t n, std::size_t bytes) {
    const char *units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) v /= 1024, ++u;
    if (u == 0) std::snprintf(out, n, "%zu bytes", bytes);
    else std::snprintf(out, n, v < 10 ? "%.1f %s" : "%.0f %s", v, units[u]);
}

} // namespace

bool fail(const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    return false;
}

bool fail_in(const char *context) noexcept {
    char before[sizeof reason];
    std::memcpy(before, reason, sizeof reason);
    return fail("%s: %s", context, before);
}

void fail_memory(std::size_t bytes, const char *what) noexcept {
    char size[32];
    describe_size(size, sizeof size, bytes);
    if (what) fail("out of memory (%s for %s)", size, what);
    else fail("out of memory (%s)", size);
}

void fail_system(const char *doing, const char *name) noexcept {
    const int e = errno;
    fail("%s '%s': %s", doing, name, e ? std::strerror(e) : "unknown error");
}

} // namespace tessera::detail

extern "C" {

const char *tessera_last_error(void) { return tessera::detail::reason; }

const char *tessera_version(void) { return TESSERA_VERSION_STRING; }

} // extern "C"
