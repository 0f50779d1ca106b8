// Outputs: memory blocks that grow, and files that never harm what is there.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace tessera::detail::io {

// A block in memory that a stream writes into, growing by doubling (glibc's memory streams grow
// by little steps, which makes a large output slow). data is the caller's to free().
struct Growing {
    char *data = nullptr;
    std::size_t size = 0, cap = 0, at = 0;
};
// A stream writing into g, which can seek (TIFF's writer goes back to its header); null when
// memory runs out.
FILE *open_growing(Growing &g);

// Writes all of data to fd; false with a reason.
bool write_all(int fd, const void *data, std::size_t size);

// Writes the file at path with encode(out) through tessera_write_file (<tessera/file.h>), which
// says how what is there is kept safe; the reason is encode's when encode fails, else the core's
// with errno kept. "-" is not handled here.
bool write_safely_with(const char *path, bool (*encode)(FILE *out, void *context), void *context);

template <class Encode> bool write_safely(const char *path, Encode &&encode) {
    return write_safely_with(
        path, [](FILE *out, void *context) { return (*static_cast<std::remove_reference_t<Encode> *>(context))(out); },
        const_cast<void *>(static_cast<const void *>(&encode)));
}

// write_safely, or encode(stdout) when path is "-".
template <class Encode> bool write_to(const char *path, Encode &&encode) {
    if (std::strcmp(path, "-") == 0) return encode(stdout);
    return write_safely(path, encode);
}

} // namespace tessera::detail::io
