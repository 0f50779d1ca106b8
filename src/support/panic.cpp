// The fatal-fault reporter and the failure path of contract checks.
#include <tessera/panic.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"

extern "C" void _panic(const char *name, const char *msg, const char *rcs, int32_t line, const char *file,
                       int32_t fatal) {
    const int width = static_cast<int>(std::strlen(name));
    std::fprintf(stderr, "\n%s:   %s\n", name, msg);
    std::fprintf(stderr, "%*s    In line %d of %s\n", width, "", static_cast<int>(line), file);
    std::fprintf(stderr, "%*s    RCS: %s\n\n", width, "", rcs);
    if (fatal) std::exit(1);
}

namespace tessera::detail {

void check_failed(const char *expr, const char *file, int line) noexcept {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expr, file, line);
    std::fflush(stderr);
    std::abort();
}

void panic(const char *msg, const char *rcs, int line, const char *file) noexcept {
    _panic("Panic", msg, rcs, line, file, 1);
    std::exit(1); // _panic with fatal set never returns; this keeps [[noreturn]] honest
}

} // namespace tessera::detail
