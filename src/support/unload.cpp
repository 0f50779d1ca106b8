// Runs the release hooks that modules registered, once, when the library leaves the process.
// The table is constant-initialized, so registering from any module's initializer is safe
// whatever order the modules are initialized in.
#include "unload.h"

namespace tessera::detail {

namespace {

constexpr int most_hooks = 8;
void (*hooks[most_hooks])() = {};
int hook_count = 0;

[[gnu::destructor]] void on_unload() {
    while (hook_count > 0) hooks[--hook_count]();
}

} // namespace

void at_unload(void (*release)()) noexcept {
    if (hook_count < most_hooks) hooks[hook_count++] = release;
}

} // namespace tessera::detail
