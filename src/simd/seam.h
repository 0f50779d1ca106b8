// The one seam between portable code and the processor's vector instructions. Code that has a
// vector path calls it only when the seam says the processor has the instructions and nobody
// asked for the portable paths; the vector code itself lives in this directory (x86.h and the
// *_x86.cpp files, whose functions carry their instruction sets as attributes), the
// portable code beside its callers. Both paths give the same bytes, and the tests run both.
#pragma once

#if defined(__x86_64__) && defined(__SSE2__) && defined(__GNUC__)
#define TESSERA_SIMD_X86 1 // x86.h is compiled, and the seam may choose it
#else
#define TESSERA_SIMD_X86 0
#endif

namespace tessera::detail::simd {

// The vector instruction sets the library has paths for, each including the ones before it.
enum class Level { portable, sse2, ssse3, avx2 };

namespace state {
extern Level ceiling; // set by use_at_most and use_portable only
} // namespace state

// The best level the processor has (asked once) and that may run.
Level level() noexcept;

// Whether SSE2 paths may run (x86-64 always has SSE2).
inline bool sse2() noexcept { return TESSERA_SIMD_X86 && state::ceiling >= Level::sse2; }

// Whether SSSE3 (and SSE2) paths may run; whether AVX2 paths may run.
bool ssse3() noexcept;
bool avx2() noexcept;

// Runs paths of level at most ceiling, for tests and benchmarks, from one thread while no other
// uses the library; use_portable(true) runs the portable paths only, (false) the best there is.
void use_at_most(Level ceiling) noexcept;
void use_portable(bool portable) noexcept;

// The vector paths that may run: "portable", "sse2", "ssse3" or "avx2".
const char *chosen() noexcept;

} // namespace tessera::detail::simd
