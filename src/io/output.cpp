// Safe outputs: a temporary made with O_EXCL beside the target and written through the
// descriptor that made it, then renamed over the target; in-place writes only once the whole
// output exists and room for it is reserved. Temporaries in flight are listed so that a
// signal handler can remove them.
#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "codec.h"

namespace tessera::detail::io {

namespace {

// The temporaries being written, by any thread. A slot's name is complete before it is marked
// busy, so a signal handler only ever reads whole names.
constexpr int slots = 64;
struct Temporary {
    std::atomic<int> state{0}; // 0 free, 1 being filled, 2 holds a name
    char name[4096];
};
Temporary temporaries[slots];

// A signal that ends the process removes the listed temporaries (tessera_io_remove_temporaries)
// while other threads may be making new ones. It first sets dying, so that no thread starts
// one, then waits for those being made to be listed: each thread announces itself in making
// before it looks at dying, so with sequentially consistent order either the thread sees dying
// or the handler sees the thread.
std::atomic<bool> dying{false};
std::atomic<int> making{0};
// Whether this thread is in making (a handler running on it does not wait for itself). Static
// TLS, so that a signal handler may read it.
__attribute__((tls_model("initial-exec"))) thread_local bool making_here = false;

int claim(const char *name) {
    for (int i = 0; i < slots; ++i) {
        int expected = 0;
        if (temporaries[i].state.compare_exchange_strong(expected, 1)) {
            std::snprintf(temporaries[i].name, sizeof temporaries[i].name, "%s", name);
            temporaries[i].state.store(2);
            return i;
        }
    }
    return -1; // not listed: removed on failure as always, only a signal may leave it
}

void release(int slot) {
    if (slot >= 0) temporaries[slot].state.store(0);
}

std::atomic<unsigned> counter{0};

// Creates a new temporary beside target; its descriptor, or -1 with a reason. Its name is listed
// (in *slot) before the file exists, so that a signal can never leave it unlisted.
int make_temporary(const char *target, char *name, std::size_t size, int *slot) {
    const char *slash = std::strrchr(target, '/');
    const int dir = slash ? static_cast<int>(slash - target + 1) : 0;
    const char *base = slash ? slash + 1 : target;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (dying.load()) return fail(Err::file, "cannot write '%s': the process is ending", target), -1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned salt = static_cast<unsigned>(now.tv_nsec) ^ (counter.fetch_add(1) * 2654435761U);
        const int n =
            std::snprintf(name, size, "%.*s.%s.tessera-%ld-%08x", dir, target, base, static_cast<long>(getpid()), salt);
        if (n < 0 || static_cast<std::size_t>(n) >= size)
            return fail(Err::file, "cannot write '%s': %s", target, std::strerror(ENAMETOOLONG)), -1;
        *slot = claim(name);
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int e = errno;
            release(*slot);
            *slot = -1;
            errno = e;
        }
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) {
                const int e = errno;
                fail(Err::file, "cannot write '%s': %s", target, std::strerror(e));
                errno = e;
                set_errno(e);
            }
            return fd;
        }
    }
    return fail(Err::file, "cannot make a temporary file beside the output"), -1;
}

// Replaces (or makes) target with the output, through a new temporary file.
bool write_replacing(const char *target, const struct stat *old, bool (*encode)(FILE *, void *), void *context) {
    char name[4096];
    int slot = -1;
    making_here = true;
    making.fetch_add(1);
    const int fd = make_temporary(target, name, sizeof name, &slot);
    making.fetch_sub(1);
    making_here = false;
    if (fd < 0) return false;
    FILE *out = fdopen(fd, "wb");
    bool ok = out != nullptr;
    if (!out) {
        fail(Err::memory, "out of memory for the output");
        close(fd);
    } else {
        ok = encode(out, context);
        if (ok && old) {
            if (fchmod(fd, old->st_mode & 07777) != 0) ok = fail_system("cannot keep the file's mode");
            if (fchown(fd, old->st_uid, old->st_gid) != 0) { // kept as the writer's own where not permitted
            }
        }
        // The name must still be this file: a link planted in its place is never renamed over
        // the target.
        struct stat mine, named;
        if (ok && (fstat(fd, &mine) != 0 || lstat(name, &named) != 0 || mine.st_dev != named.st_dev ||
                   mine.st_ino != named.st_ino))
            ok = fail(Err::file, "cannot write '%s': its temporary file was replaced by another", target);
        if (std::fclose(out) != 0 && ok) ok = fail_system("cannot write");
    }
    if (ok && rename(name, target) != 0) ok = fail_system("cannot replace the file");
    if (!ok) {
        // Only this file is removed: a link put in its place is left alone.
        struct stat named;
        if (lstat(name, &named) == 0 && !S_ISLNK(named.st_mode)) unlink(name);
    }
    release(slot);
    return ok;
}

// Writes the output into target as it stands (other hard links, a FIFO, a device), once the
// whole of it is made and, for a file, the room for it is reserved.
bool write_in_place(const char *target, bool regular, bool (*encode)(FILE *, void *), void *context) {
    Growing g;
    FILE *memory = open_growing(g);
    if (!memory) return fail(Err::memory, "out of memory for the output");
    bool ok = encode(memory, context);
    if (std::fclose(memory) != 0 && ok) ok = fail(Err::memory, "out of memory for the output");
    char *data = g.data;
    const std::size_t size = g.size;
    if (ok) {
        const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            ok = fail_system("cannot open for writing");
        } else {
            if (regular && size > 0) {
                const int e = posix_fallocate(fd, 0, static_cast<off_t>(size));
                if (e != 0 && e != EOPNOTSUPP && e != EINVAL) {
                    errno = e;
                    ok = fail_system("cannot reserve room for the output");
                }
            }
            if (ok && regular && lseek(fd, 0, SEEK_SET) != 0) ok = fail_system("cannot seek");
            if (ok) ok = write_all(fd, data, size);
            if (ok && regular && ftruncate(fd, static_cast<off_t>(size)) != 0) ok = fail_system("cannot write");
            if (close(fd) != 0 && ok) ok = fail_system("cannot write");
        }
    }
    std::free(data);
    return ok;
}

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
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT) {
            const int e = errno;
            fail(Err::file, "cannot write '%s': %s", path, std::strerror(e));
            return set_errno(e), false;
        }
        return write_replacing(path, nullptr, encode, context); // a new file (or a dangling link's name)
    }
    // Devices, FIFOs and files with other names are opened by the name given (/dev/stdout is a
    // link to a pipe that has no path of its own).
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode))
        return write_in_place(path, false, encode, context);
    if (!S_ISREG(st.st_mode)) return fail(Err::file, "not a file that can be written");
    if (st.st_nlink > 1) return write_in_place(path, true, encode, context);
    // A symlink is followed: the file it names is replaced, beside itself.
    char *real = realpath(path, nullptr);
    if (!real) return fail_system("cannot write");
    const bool ok = write_replacing(real, &st, encode, context);
    std::free(real);
    return ok;
}

} // namespace tessera::detail::io

extern "C" void tessera_io_remove_temporaries(void) {
    using namespace tessera::detail::io;
    dying.store(true);
    // Temporaries being made are listed within microseconds; a thread stopped for good (by a
    // debugger, or the signal arriving on it) is given up on after about a second.
    const int mine = making_here ? 1 : 0;
    for (int wait = 0; making.load() > mine && wait < 1000; ++wait) {
        const timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    for (auto &t : temporaries)
        if (t.state.load() == 2) unlink(t.name);
}
