#include "seam.h"

namespace tessera::detail::simd {

namespace state {
bool portable = false;
} // namespace state

bool ssse3() noexcept {
#if TESSERA_SIMD_X86
    static const bool has = __builtin_cpu_supports("ssse3");
    return has && !state::portable;
#else
    return false;
#endif
}

void use_portable(bool portable) noexcept { state::portable = portable; }

const char *chosen() noexcept { return ssse3() ? "ssse3" : sse2() ? "sse2" : "portable"; }

} // namespace tessera::detail::simd
