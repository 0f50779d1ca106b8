#include "seam.h"

namespace tessera::detail::simd {

namespace state {
Level ceiling = Level::avx2;
} // namespace state

namespace {
Level processor() noexcept {
#if TESSERA_SIMD_X86
    static const Level has = __builtin_cpu_supports("avx2")    ? Level::avx2
                             : __builtin_cpu_supports("ssse3") ? Level::ssse3
                                                               : Level::sse2;
    return has;
#else
    return Level::portable;
#endif
}
} // namespace

Level level() noexcept {
    const Level p = processor();
    return p < state::ceiling ? p : state::ceiling;
}

bool ssse3() noexcept { return level() >= Level::ssse3; }
bool avx2() noexcept { return level() >= Level::avx2; }

void use_at_most(Level ceiling) noexcept { state::ceiling = ceiling; }
void use_portable(bool portable) noexcept { state::ceiling = portable ? Level::portable : Level::avx2; }

const char *chosen() noexcept {
    switch (level()) {
    case Level::avx2: return "avx2";
    case Level::ssse3: return "ssse3";
    case Level::sse2: return "sse2";
    default: return "portable";
    }
}

} // namespace tessera::detail::simd
