// The one seam between portable code and the processor's vector instructions. Code that has a
// vector path calls it only when the seam says the processor has the instructions and nobody
// asked for the portable paths; the vector code itself lives in this directory (x86.h), the
// portable code beside its callers. Both paths give the same bytes, and the tests run both.
#pragma once

#if defined(__x86_64__) && defined(__SSE2__) && defined(__GNUC__)
#define TESSERA_SIMD_X86 1 // x86.h is compiled, and the seam may choose it
#else
#define TESSERA_SIMD_X86 0
#endif

namespace tessera::detail::simd {

namespace state {
extern bool portable; // set by use_portable only
} // namespace state

// Whether SSE2 paths may run (x86-64 always has SSE2).
inline bool sse2() noexcept { return TESSERA_SIMD_X86 && !state::portable; }

// Whether SSSE3 paths may run (the processor is asked once).
bool ssse3() noexcept;

// Runs the portable paths only (true) or the best the processor has (false); for tests and
// benchmarks, from one thread while no other uses the library.
void use_portable(bool portable) noexcept;

// The vector paths the processor has and that may run: "portable", "sse2" or "ssse3".
const char *chosen() noexcept;

} // namespace tessera::detail::simd
