// Outputs: the growing memory block saves to memory write into, and saves by name through the
// core's safe file writer.
#include "output.h"

#include <tessera/file.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace tessera::detail::io {

namespace {

ssize_t growing_write(void *cookie, const char *buf, std::size_t n) {
    auto *g = static_cast<Growing *>(cookie);
    if (!reserve(g->data, g->cap, g->at + n)) return -1;
    if (g->at > g->size) std::memset(g->data + g->size, 0, g->at - g->size);
    std::memcpy(g->data + g->at, buf, n);
    g->at += n;
    if (g->at > g->size) g->size = g->at;
    return static_cast<ssize_t>(n);
}
int growing_seek(void *cookie, off64_t *offset, int whence) {
    auto *g = static_cast<Growing *>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(g->at)
                                              : static_cast<off64_t>(g->size);
    if (base + *offset < 0) return errno = EINVAL, -1;
    g->at = static_cast<std::size_t>(base + *offset);
    *offset = base + *offset;
    return 0;
}

} // namespace

FILE *open_growing(Growing &g) {
    return fopencookie(&g, "wb", cookie_io_functions_t{nullptr, growing_write, growing_seek, nullptr});
}

bool write_all(int fd, const void *data, std::size_t size) {
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail_system("cannot write");
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_safely_with(const char *path, bool (*encode)(FILE *, void *), void *context) {
    struct Job {
        bool (*encode)(FILE *, void *);
        void *context;
        bool encode_failed;
    } job{encode, context, false};
    const int written = tessera_write_file(
        path,
        [](FILE *out, void *j) {
            auto *job = static_cast<Job *>(j);
            const bool ok = job->encode(out, job->context);
            job->encode_failed = !ok;
            return ok ? 1 : 0;
        },
        &job);
    if (written == 0) return true;
    if (!job.encode_failed) { // the writer's own reason, in the core
        const int e = errno;
        fail_core();
        if (tessera_last_error_code() == TESSERA_ERROR_FILE) set_errno(e);
    }
    return false;
}

} // namespace tessera::detail::io

extern "C" void tessera_io_remove_temporaries(void) { tessera_remove_temporaries(); }
