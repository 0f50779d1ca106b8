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
thread_local int reason_code = TESSERA_ERROR_NONE;

void set(int code, const char *format, va_list args) noexcept {
    std::vsnprintf(reason, sizeof reason, format, args);
    reason_code = code;
}

void set(int code, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));
void set(int code, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    set(code, format, args);
    va_end(args);
}

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

bool fail(Err code, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    set(static_cast<int>(code), format, args);
    va_end(args);
    return false;
}

bool fail_in(const char *context) noexcept {
    char before[sizeof reason];
    std::memcpy(before, reason, sizeof reason);
    set(reason_code, "%s: %s", context, before);
    return false;
}

void fail_memory(std::size_t bytes, const char *what) noexcept {
    char size[32];
    describe_size(size, sizeof size, bytes);
    if (what) fail(Err::memory, "out of memory (%s for %s)", size, what);
    else fail(Err::memory, "out of memory (%s)", size);
}

void fail_system(const char *doing, const char *name) noexcept {
    const int e = errno;
    fail(Err::file, "%s '%s': %s", doing, name, e ? std::strerror(e) : "unknown error");
}

} // namespace tessera::detail

extern "C" {

const char *tessera_last_error(void) { return tessera::detail::reason; }

int tessera_last_error_code(void) { return tessera::detail::reason_code; }

const char *tessera_error_code_name(int code) {
    static const char *const names[] = {"none", "memory", "file", "format", "limit", "argument", "unsupported"};
    return code >= 0 && code < static_cast<int>(sizeof names / sizeof names[0]) ? names[code] : nullptr;
}

const char *tessera_version(void) { return TESSERA_VERSION_STRING; }

} // extern "C"
