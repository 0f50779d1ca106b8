// In-memory files for the fuzz targets: the library reads and writes descriptors.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace tessera::fuzz {

inline int memfile(const uint8_t *data, size_t size) {
    const int fd = memfd_create("fuzz", 0);
    if (fd < 0) return -1;
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

inline void rewind(int fd) { lseek(fd, 0, SEEK_SET); }
inline void close_file(int fd) { close(fd); }

} // namespace tessera::fuzz
