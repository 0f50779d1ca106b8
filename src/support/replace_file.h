// Writing a whole file so that a failure leaves what was there before.
#pragma once

#include <cstddef>

namespace tessera::detail {

// Writes data as the file at path. A new file is created (and removed again if the write
// fails); an existing regular file with no other name is replaced by renaming a complete copy
// over it, keeping its mode, owner and group; anything else (a device, a FIFO, a file with other
// hard links, what a symbolic link names) is written in place. False, with the reason set, on
// failure.
bool replace_file(const char *path, const void *data, std::size_t size) noexcept;

} // namespace tessera::detail
