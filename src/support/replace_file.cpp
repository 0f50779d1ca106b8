#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "error.h"

namespace tessera::detail {

namespace {

bool write_all(int fd, const void *data, std::size_t size) {
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes to an open descriptor and closes it; false (errno kept) when either fails.
bool write_and_close(int fd, const void *data, std::size_t size) {
    const bool written = write_all(fd, data, size);
    const int saved = errno;
    const bool closed = ::close(fd) == 0;
    if (!written) errno = saved;
    return written && closed;
}

} // namespace

bool replace_file(const char *path, const void *data, std::size_t size) noexcept {
    struct stat st;
    if (::lstat(path, &st) != 0) {
        if (errno != ENOENT) return fail_system("cannot write", path), false;
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return fail_system("cannot create", path), false;
        if (write_and_close(fd, data, size)) return true;
        fail_system("cannot write", path);
        ::unlink(path);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) { // in place: the whole text is ready
        const int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0 || !write_and_close(fd, data, size)) return fail_system("cannot write", path), false;
        return true;
    }
    const std::size_t length = std::strlen(path);
    auto *temporary = static_cast<char *>(mem_alloc(length + 16));
    if (!temporary) return fail_memory(length + 16, "a file name"), false;
    std::snprintf(temporary, length + 16, "%s.tmp-XXXXXX", path);
    const int fd = ::mkostemp(temporary, O_CLOEXEC);
    bool ok = fd >= 0;
    if (ok) {
        (void)!::fchown(fd, st.st_uid, st.st_gid); // kept where this user may
        ok = ::fchmod(fd, st.st_mode & 07777) == 0 && write_and_close(fd, data, size);
        if (!ok) {
            const int saved = errno;
            ::unlink(temporary);
            errno = saved;
        } else if (::rename(temporary, path) != 0) {
            const int saved = errno;
            ::unlink(temporary);
            errno = saved;
            ok = false;
        }
    }
    mem_free(temporary);
    if (!ok) fail_system("cannot write", path);
    return ok;
}

} // namespace tessera::detail
