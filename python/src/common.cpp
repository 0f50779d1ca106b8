// Element kinds, files and values, as every class of the extension takes them.
#include "face.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessera::detail::python {

// ---- element kinds ----------------------------------------------------------------------------

namespace {
constexpr kind_info kinds[] = {
    {"gray", IMAGE_GRAY, "B", 1, 1},     {"binary", IMAGE_BINARY, "B", 1, 1},   {"rgb", IMAGE_RGB, "B", 1, 3},
    {"short", IMAGE_SHORT, "h", 2, 1},   {"int", IMAGE_INT, "i", 4, 1},         {"float", IMAGE_FLOAT, "f", 4, 1},
    {"double", IMAGE_DOUBLE, "d", 8, 1}, {"float3a", IMAGE_FLOAT3A, "f", 4, 3}, {"float3b", IMAGE_FLOAT3B, "f", 4, 3},
    {"rgba", IMAGE_RGBA, "B", 1, 4},     {"gray16", IMAGE_GRAY16, "H", 2, 1},   {"rgb16", IMAGE_RGB16, "H", 2, 3},
    {"rgba16", IMAGE_RGBA16, "H", 2, 4},
};
} // namespace

const kind_info &kind_of_tag(unsigned tag) {
    for (const auto &k : kinds)
        if (k.tag == tag) return k;
    throw tessera::error("an image of an element type without an array form");
}

const kind_info &kind_named(const std::string &name) {
    for (const auto &k : kinds)
        if (name == k.name) return k;
    throw std::invalid_argument(
        "unknown element kind '" + name +
        "' (gray, binary, rgb, short, int, float, double, float3a, float3b, rgba, gray16, rgb16, rgba16)");
}

// ---- files --------------------------------------------------------------------------------------

source::~source() {
    if (fd >= 0) close(fd);
}

bool is_path(const py::handle &target) {
    return py::isinstance<py::str>(target) || py::isinstance<py::bytes>(target) || py::hasattr(target, "__fspath__");
}

std::string path_of(const py::handle &target) {
    py::object os = py::module_::import("os");
    std::string path = os.attr("fsencode")(target).cast<std::string>();
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("a path with a NUL character");
    return path;
}

std::string name_of(const py::handle &target) { return is_path(target) ? path_of(target) : std::string(); }

int memory_file(const char *name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw tessera::file_error("", "", std::string("cannot make an in-memory file: ") + std::strerror(error), 0);
    }
    return fd;
}

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void open_source(const py::handle &target, source &s) {
    if (is_path(target)) {
        s.path = path_of(target);
        return;
    }
    if (!py::hasattr(target, "read"))
        throw py::type_error("expected a path, an os.PathLike or a binary file object with read()");
    py::object data = target.attr("read")();
    if (!py::isinstance<py::bytes>(data)) throw py::type_error("the file object must be opened in binary mode");
    const std::string bytes = data.cast<std::string>();
    s.fd = memory_file("tessera-in");
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(s.fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw tessera::file_error("", "", std::string("cannot buffer the file: ") + std::strerror(errno), 0);
        done += static_cast<std::size_t>(n);
    }
    s.path = fd_path(s.fd);
}

void deliver(int fd, const py::handle &target) {
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    lseek(fd, 0, SEEK_SET);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw tessera::file_error("", "", std::string("cannot read back the result: ") + std::strerror(errno), 0);
        done += static_cast<std::size_t>(n);
    }
    target.attr("write")(py::bytes(bytes));
    if (py::hasattr(target, "flush")) target.attr("flush")();
}

// ---- writing into file objects -------------------------------------------------------------

namespace {

ssize_t object_write(void *cookie, const char *buf, std::size_t n) {
    auto *s = static_cast<file_writer::state *>(cookie);
    py::gil_scoped_acquire gil;
    try {
        if (!s->placed) s->target.attr("seek")(s->start + s->at);
        s->placed = true;
        for (std::size_t done = 0; done < n;) {
            py::memoryview view = py::memoryview::from_memory(buf + done, static_cast<py::ssize_t>(n - done));
            const py::object wrote = s->target.attr("write")(view);
            // A file object uses what it is given only while write() runs; one that kept it would
            // read freed memory later, so the view is released, and one it cannot be is an error.
            view.attr("release")();
            // None: all of it, as a buffered writer does
            const std::size_t k = wrote.is_none() ? n - done : wrote.cast<std::size_t>();
            if (k == 0 || k > n - done) throw std::runtime_error("the file object's write() did not take the data");
            done += k;
        }
        s->at += static_cast<long long>(n);
        return static_cast<ssize_t>(n);
    } catch (...) {
        s->raised = std::current_exception();
        errno = EIO;
        return -1;
    }
}

int object_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<file_writer::state *>(cookie);
    long long base = whence == SEEK_SET ? 0 : s->at;
    if (whence == SEEK_END) {
        py::gil_scoped_acquire gil;
        try {
            base = s->target.attr("seek")(0, 2).cast<long long>() - s->start;
            s->placed = base == s->at;
        } catch (...) {
            s->raised = std::current_exception();
            return errno = EIO, -1;
        }
    }
    if (base + *offset < 0) return errno = EINVAL, -1;
    const long long to = base + *offset;
    if (to != s->at) s->placed = false;
    s->at = to;
    *offset = to;
    return 0;
}

} // namespace

std::unique_ptr<file_writer> file_writer::of(const py::handle &target) {
    for (const char *method : {"seekable", "tell", "seek", "truncate"})
        if (!py::hasattr(target, method)) return nullptr;
    if (!target.attr("seekable")().cast<bool>()) return nullptr;
    const auto start = target.attr("tell")().cast<long long>();
    if (target.attr("seek")(0, 2).cast<long long>() != start) { // something after: handed the whole file
        target.attr("seek")(start);
        return nullptr;
    }
    std::unique_ptr<file_writer> w(new file_writer);
    w->s_.target = target;
    w->s_.start = start;
    return w;
}

file_writer::~file_writer() {
    if (f_) std::fclose(f_);
    std::free(buffer_);
}

FILE *file_writer::open() {
    f_ = fopencookie(&s_, "wb", cookie_io_functions_t{nullptr, object_write, object_seek, nullptr});
    // a large buffer: each write is a call into Python
    constexpr std::size_t size = 256 << 10;
    buffer_ = static_cast<char *>(std::malloc(size));
    if (f_ && buffer_) setvbuf(f_, buffer_, _IOFBF, size);
    return f_;
}

bool file_writer::close() {
    const bool ok = f_ && std::fclose(f_) == 0;
    f_ = nullptr;
    return ok;
}

void file_writer::finish(bool ok) {
    if (ok) {
        if (py::hasattr(s_.target, "flush")) s_.target.attr("flush")();
        return;
    }
    try {
        s_.target.attr("truncate")(s_.start);
        s_.target.attr("seek")(s_.start);
    } catch (const py::error_already_set &) {
        // the object fails as it failed before: what it raised first is what the caller sees
    }
    if (s_.raised) std::rethrow_exception(s_.raised);
}

// ---- values -------------------------------------------------------------------------------------

RGB colour_of(const py::handle &value, const char *what) {
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) || py::len(value) != 3)
        throw py::type_error(std::string(what) + " is a sequence of three values from 0 to 255");
    uint8_t c[3];
    int i = 0;
    for (auto item : value) {
        const long v = item.cast<long>();
        if (v < 0 || v > 255) throw std::invalid_argument(std::string(what) + ": each value goes from 0 to 255");
        c[i++] = static_cast<uint8_t>(v);
    }
    return RGB{c[0], c[1], c[2]};
}

int32_t checked_int(int64_t v, const char *what) {
    if (v < INT32_MIN || v > INT32_MAX) throw std::overflow_error(std::string(what) + " does not fit in 32 bits");
    return static_cast<int32_t>(v);
}

} // namespace tessera::detail::python
