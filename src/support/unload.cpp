// Runs once when the library leaves the process: releases the module-level state that owns
// heap memory, so leak checkers see a clean exit. Harmless when that state was never created.
#include "magic_internal.h"
#include "ptl/ptl_internal.h"

namespace {

[[gnu::destructor]] void on_unload() {
    tessera::detail::release_ptl_state();
    tessera::detail::release_magic_state();
}

} // namespace
