// Release hooks run when the library leaves the process, so leak checkers see a clean exit.
#pragma once

namespace tessera::detail {

// Registers release to run once at unload; hooks run in the reverse order of registration.
// Modules register from a namespace-scope initializer, so registration happens at load.
void at_unload(void (*release)()) noexcept;

} // namespace tessera::detail
