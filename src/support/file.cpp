// Files written without harming what is there: a temporary made with O_EXCL beside the target
// and written through the descriptor that made it, then renamed over the target; in-place
// writes only once the whole output exists and room for it is reserved. Temporaries in flight
// are listed so that a signal handler can remove them.
#include <tessera/file.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error.h"

namespace tessera::detail {

namespace {

using Write = int (*)(FILE *, void *);

// Sets the reason for a failed system call on the target, keeping errno for the caller.
bool failed(const char *doing, const char *target) {
    const int e = errno;
    fail_system(doing, target);
    errno = e;
    return false;
}

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
        if (dying.load())
            return errno = ECANCELED, fail(Err::file, "cannot write '%s': the process is ending", target), -1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned salt = static_cast<unsigned>(now.tv_nsec) ^ (counter.fetch_add(1) * 2654435761U);
        const int n =
            std::snprintf(name, size, "%.*s.%s.tessera-%ld-%08x", dir, target, base, static_cast<long>(getpid()), salt);
        if (n < 0 || static_cast<std::size_t>(n) >= size)
            return errno = ENAMETOOLONG, failed("cannot write", target), -1;
        *slot = claim(name);
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int e = errno;
            release(*slot);
            *slot = -1;
            errno = e;
        }
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) failed("cannot write", target);
            return fd;
        }
    }
    return failed("cannot make a temporary file beside", target), -1;
}

// Replaces (or makes) target with the output, through a new temporary file.
bool write_replacing(const char *target, const struct stat *old, Write encode, void *context) {
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
        fail_memory(BUFSIZ, "a stream");
        close(fd);
    } else {
        ok = encode(out, context) != 0;
        if (ok && old) {
            if (fchmod(fd, old->st_mode & 07777) != 0) ok = failed("cannot keep the mode of", target);
            if (fchown(fd, old->st_uid, old->st_gid) != 0) { // kept as the writer's own where not permitted
            }
        }
        // The name must still be this file: a link planted in its place is never renamed over
        // the target.
        struct stat mine, named;
        if (ok && (fstat(fd, &mine) != 0 || lstat(name, &named) != 0 || mine.st_dev != named.st_dev ||
                   mine.st_ino != named.st_ino))
            ok = (errno = EEXIST,
                  fail(Err::file, "cannot write '%s': its temporary file was replaced by another", target));
        if (std::fclose(out) != 0 && ok) ok = failed("cannot write", target);
    }
    if (ok && rename(name, target) != 0) ok = failed("cannot replace", target);
    if (!ok) {
        // Only this file is removed: a link put in its place is left alone.
        const int e = errno;
        struct stat named;
        if (lstat(name, &named) == 0 && !S_ISLNK(named.st_mode)) unlink(name);
        errno = e;
    }
    release(slot);
    return ok;
}

// An unnamed temporary file in dir, or null where none can be made there.
FILE *unnamed_in(const char *dir) {
    const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (FILE *f = fdopen(fd, "w+b")) return f;
    close(fd);
    return nullptr;
}

// An unnamed temporary file: in the target's directory where it can be made there (so that
// it counts against the same disk), else where tmpfile() makes them.
FILE *unnamed_beside(const char *target) {
    const char *slash = std::strrchr(target, '/');
    char dir[4096];
    const int n = slash ? std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - target + 1), target)
                        : std::snprintf(dir, sizeof dir, ".");
    if (n > 0 && static_cast<std::size_t>(n) < sizeof dir)
        if (FILE *f = unnamed_in(dir)) return f;
    return std::tmpfile();
}

// Copies the whole of from (from its start) to the descriptor fd.
bool copy_all(FILE *from, int fd, const char *target) {
    if (std::fseek(from, 0, SEEK_SET) != 0) return failed("cannot read back the output for", target);
    char buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, from);
        for (std::size_t at = 0; at < got;) {
            const ssize_t n = ::write(fd, buffer + at, got - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n == 0 ? (errno = EIO, failed("cannot write", target)) : failed("cannot write", target);
            at += static_cast<std::size_t>(n);
        }
        if (got < sizeof buffer) return !std::ferror(from) || failed("cannot read back the output for", target);
    }
}

// Writes the output into target as it stands (other hard links, a FIFO, a device), once the
// whole of it is made and, for a file, the room for it is reserved.
bool write_in_place(const char *target, bool regular, Write encode, void *context) {
    FILE *whole = unnamed_beside(target);
    if (!whole) return failed("cannot make a temporary file for", target);
    bool ok = encode(whole, context) != 0;
    if (ok && std::fflush(whole) != 0) ok = failed("cannot write the output for", target);
    long size = ok ? std::ftell(whole) : 0;
    if (ok && size < 0) ok = failed("cannot write the output for", target);
    if (ok) {
        const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            ok = failed("cannot open for writing", target);
        } else {
            if (regular && size > 0) {
                const int e = posix_fallocate(fd, 0, static_cast<off_t>(size));
                if (e != 0 && e != EOPNOTSUPP && e != EINVAL)
                    ok = (errno = e, failed("cannot reserve room in", target));
            }
            if (ok) ok = copy_all(whole, fd, target);
            if (ok && regular && ftruncate(fd, static_cast<off_t>(size)) != 0) ok = failed("cannot write", target);
            if (close(fd) != 0 && ok) ok = failed("cannot write", target);
        }
    }
    const int e = errno;
    std::fclose(whole);
    errno = e;
    return ok;
}

} // namespace

bool write_file(const char *path, Write encode, void *context) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT) return failed("cannot write", path);
        return write_replacing(path, nullptr, encode, context); // a new file (or a dangling link's name)
    }
    // Devices, FIFOs and files with other names are opened by the name given (/dev/stdout is a
    // link to a pipe that has no path of its own).
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode))
        return write_in_place(path, false, encode, context);
    if (!S_ISREG(st.st_mode)) return errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL, failed("cannot write", path);
    if (st.st_nlink > 1) return write_in_place(path, true, encode, context);
    // A symlink is followed: the file it names is replaced, beside itself.
    char *real = realpath(path, nullptr);
    if (!real) return failed("cannot write", path);
    const bool ok = write_replacing(real, &st, encode, context);
    std::free(real);
    return ok;
}

} // namespace tessera::detail

extern "C" {

FILE *tessera_temporary_file(void) {
    using namespace tessera::detail;
    const char *dir = std::getenv("TMPDIR");
    FILE *f = dir && *dir ? unnamed_in(dir) : nullptr;
    if (!f) f = std::tmpfile();
    if (!f) failed("cannot make a temporary file in", dir && *dir ? dir : "/tmp");
    return f;
}

int tessera_write_file(const char *path, int (*write)(FILE *out, void *context), void *context) {
    using namespace tessera::detail;
    if (!path || !write) return fail(Err::argument, "tessera_write_file needs a path and a writer"), -1;
    if (!*path) return errno = ENOENT, failed("cannot write", path), -1;
    return write_file(path, write, context) ? 0 : -1;
}

void tessera_remove_temporaries(void) {
    using namespace tessera::detail;
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

} // extern "C"
