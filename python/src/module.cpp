// The tessera extension module: images as numpy arrays, image and drawing files, rendering,
// generators and histograms, over the library's C functions (and the tool's readers and writers
// for PNG, PAM and plain or deep Netpbm). Every precondition the C layer would stop the process
// for is checked here first and raised as ValueError, IndexError or TypeError; a failure the
// library reports raises tessera.Error (tessera.FileError, also an OSError, for files) with the
// library's reason, or MemoryError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include "jobs.h"
#include "tool.h"
}

namespace py = pybind11;

namespace {

PyObject *error_type = nullptr;      // tessera.Error
PyObject *file_error_type = nullptr; // tessera.FileError(Error, OSError)

[[noreturn]] void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// FileError subclasses that are also the OSError a Python user catches for an errno.
struct errno_class {
    int error;
    const char *name;
    PyObject *builtin;
    PyObject *type;
};
errno_class errno_classes[] = {
    {ENOENT, "FileNotFoundError", PyExc_FileNotFoundError, nullptr},
    {EACCES, "PermissionError", PyExc_PermissionError, nullptr},
    {EPERM, "PermissionError", PyExc_PermissionError, nullptr},
    {EISDIR, "IsADirectoryError", PyExc_IsADirectoryError, nullptr},
    {ENOTDIR, "NotADirectoryError", PyExc_NotADirectoryError, nullptr},
    {EEXIST, "FileExistsError", PyExc_FileExistsError, nullptr},
};

// Raises a file's failure: MemoryError by the library's one rule, else tessera.FileError (the
// subclass that is also FileNotFoundError, PermissionError... for a known errno) with errno,
// strerror (the reason) and filename set.
[[noreturn]] void raise_file(const std::string &filename, const char *why, int error) {
    if (tessera_reason_is_memory(why)) raise(PyExc_MemoryError, filename + ": " + why);
    PyObject *type = file_error_type;
    for (const errno_class &c : errno_classes)
        if (error && c.error == error) type = c.type;
    py::object name = filename.empty() ? py::object(py::none()) : py::object(py::str(filename));
    // With an errno, OSError shows the file name itself: "[Errno 2] cannot open ...: 'name'".
    py::object e = error ? py::reinterpret_steal<py::object>(PyObject_CallFunction(type, "isO", error, why, name.ptr()))
                         : py::reinterpret_steal<py::object>(PyObject_CallFunction(
                               type, "s", (filename.empty() ? std::string(why) : filename + ": " + why).c_str()));
    if (!e) throw py::error_already_set();
    PyErr_SetObject(type, e.ptr());
    throw py::error_already_set();
}

// The errno behind a failure the library reported for a file: kept only when its reason is a
// system call's (the library's "cannot open ..." and the like).
int errno_of(const char *why, int saved) { return std::strncmp(why, "cannot ", 7) == 0 ? saved : 0; }

// Raises what a failure the library reported calls for, with its reason.
[[noreturn]] void raise_failure(const char *doing, const char *why) {
    if (tessera_reason_is_memory(why)) raise(PyExc_MemoryError, std::string(doing) + ": " + why);
    raise(error_type, std::string(doing) + ": " + why);
}

// Storage for the extension's objects comes zero-filled, so that an object made by
// cls.__new__(cls) without __init__ (whose storage pybind11 allocates without constructing it)
// holds null records, which every method refuses, rather than garbage.
struct ZeroedStorage {
    static void *operator new(std::size_t size) {
        if (void *p = std::calloc(1, size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void *p) { std::free(p); }
};

[[noreturn]] void never_initialised(const char *type) {
    raise(PyExc_TypeError, std::string("this tessera.") + type + " was never initialised (made without __init__)");
}

// ---- element types ----------------------------------------------------------------------------

struct kind_info {
    const char *name;
    uint16_t tag;
    const char *format; // buffer-protocol format of one channel
    std::size_t channel_size;
    int channels;
};

constexpr kind_info kinds[] = {
    {"gray", IMAGE_GRAY, "B", 1, 1},     {"binary", IMAGE_BINARY, "B", 1, 1},   {"rgb", IMAGE_RGB, "B", 1, 3},
    {"short", IMAGE_SHORT, "h", 2, 1},   {"int", IMAGE_INT, "i", 4, 1},         {"float", IMAGE_FLOAT, "f", 4, 1},
    {"double", IMAGE_DOUBLE, "d", 8, 1}, {"float3a", IMAGE_FLOAT3A, "f", 4, 3}, {"float3b", IMAGE_FLOAT3B, "f", 4, 3},
};

const kind_info &kind_of_tag(unsigned tag) {
    for (const auto &k : kinds)
        if (k.tag == tag) return k;
    raise(error_type, "an image of an element type without an array form");
}

const kind_info &kind_named(const std::string &name) {
    for (const auto &k : kinds)
        if (name == k.name) return k;
    raise(PyExc_ValueError,
          "unknown element kind '" + name + "' (gray, binary, rgb, short, int, float, double, float3a, float3b)");
}

// ---- files: paths, os.PathLike, and file objects ------------------------------------------------

// A file object's bytes in an in-memory file, or a path as the C layer wants it.
struct source {
    std::string path;
    int fd = -1;
    ~source() {
        if (fd >= 0) close(fd);
    }
};

bool is_path(const py::handle &target) {
    return py::isinstance<py::str>(target) || py::isinstance<py::bytes>(target) || py::hasattr(target, "__fspath__");
}

std::string path_of(const py::handle &target) {
    py::object os = py::module_::import("os");
    return os.attr("fsencode")(target).cast<std::string>();
}

int memory_file(const char *name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) raise(file_error_type, std::string("cannot make an in-memory file: ") + std::strerror(errno));
    return fd;
}

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void open_source(const py::handle &target, source &s) {
    if (is_path(target)) {
        s.path = path_of(target);
        if (s.path.find('\0') != std::string::npos) raise(PyExc_ValueError, "a path with a NUL character");
        return;
    }
    if (!py::hasattr(target, "read"))
        raise(PyExc_TypeError, "expected a path, an os.PathLike or a binary file object with read()");
    py::object data = target.attr("read")();
    if (!py::isinstance<py::bytes>(data)) raise(PyExc_TypeError, "the file object must be opened in binary mode");
    const std::string bytes = data.cast<std::string>();
    s.fd = memory_file("tessera-in");
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(s.fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) raise(file_error_type, std::string("cannot buffer the file: ") + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    s.path = fd_path(s.fd);
}

// Gives the bytes written to an in-memory file to a file object.
void deliver(int fd, const py::handle &target) {
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    lseek(fd, 0, SEEK_SET);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) raise(file_error_type, std::string("cannot read back the result: ") + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    target.attr("write")(py::bytes(bytes));
    if (py::hasattr(target, "flush")) target.attr("flush")();
}

// ---- images -------------------------------------------------------------------------------------

struct Image : ZeroedStorage {
    AnyImageStruct *im = nullptr;
    py::object keep; // the array whose memory a wrapping image uses
    std::mutex busy; // held while the library works on the pixels without the GIL

    explicit Image(AnyImageStruct *c) : im(c) {}
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image() {
        if (im) im_Free_(im, im->header->tag);
    }
    // The C image; raises TypeError for an object that was never initialised (call with the GIL).
    AnyImageStruct *c() const {
        if (!im) never_initialised("Image");
        return im;
    }
    const ImageHeader &h() const { return *c()->header; }
    const kind_info &kind() const { return kind_of_tag(h().tag); }
    bool inside(int64_t x, int64_t y) const {
        return x >= h().xoffset && x < int64_t{h().xoffset} + h().width && y >= h().yoffset &&
               y < int64_t{h().yoffset} + h().height;
    }
    char *origin() const {
        return static_cast<char *>(im->data[h().yoffset]) +
               static_cast<std::ptrdiff_t>(h().xoffset) * static_cast<std::ptrdiff_t>(elem_size());
    }
    std::size_t elem_size() const { return kind().channel_size * static_cast<std::size_t>(kind().channels); }
    std::ptrdiff_t row_stride() const {
        return h().height > 1
                   ? static_cast<char *>(im->data[h().yoffset + 1]) - static_cast<char *>(im->data[h().yoffset])
                   : static_cast<std::ptrdiff_t>(elem_size()) * h().width;
    }
};

std::unique_ptr<Image> adopt(void *c, const char *doing) {
    if (!c) raise_failure(doing, tessera_last_error());
    return std::make_unique<Image>(static_cast<AnyImageStruct *>(c));
}

// Runs f on the C image with the image's lock held and the GIL released, in that order (so a
// thread waiting for the image never stalls the others); f must not touch Python.
template <class F> auto locked(Image &self, F f) {
    AnyImageStruct *im = self.c();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(self.busy);
    return f(im);
}

// pybind11's buffer export, and the check in front of it: the buffer callback cannot raise,
// so an image that was never initialised is refused here with a TypeError.
getbufferproc pybind11_getbuffer = nullptr;
int checked_getbuffer(PyObject *obj, Py_buffer *view, int flags) {
    try {
        if (!py::cast<const Image &>(py::handle(obj)).im) {
            PyErr_SetString(PyExc_TypeError, "this tessera.Image was never initialised (made without __init__)");
            return -1;
        }
    } catch (const std::exception &) {
        PyErr_SetString(PyExc_TypeError, "not a tessera.Image");
        return -1;
    }
    return pybind11_getbuffer(obj, view, flags);
}

py::buffer_info buffer_of(Image &self) {
    const auto &k = self.kind();
    std::vector<py::ssize_t> shape{self.h().height, self.h().width};
    std::vector<py::ssize_t> strides{self.row_stride(), static_cast<py::ssize_t>(self.elem_size())};
    if (k.channels == 3) {
        shape.push_back(3);
        strides.push_back(static_cast<py::ssize_t>(k.channel_size));
    }
    return py::buffer_info(self.origin(), static_cast<py::ssize_t>(k.channel_size), k.format,
                           static_cast<py::ssize_t>(shape.size()), shape, strides);
}

py::array array_of(py::object self_obj) {
    auto &self = self_obj.cast<Image &>();
    const auto info = buffer_of(self);
    py::dtype dt(info.format);
    return py::array(dt, info.shape, info.strides, info.ptr, self_obj);
}

// The pixel at (x, y) as a Python value.
py::object value_at(const Image &self, const void *p) {
    switch (self.h().tag) {
    case IMAGE_GRAY: return py::int_(*static_cast<const uint8_t *>(p));
    case IMAGE_BINARY: return py::int_(*static_cast<const int8_t *>(p));
    case IMAGE_SHORT: return py::int_(*static_cast<const int16_t *>(p));
    case IMAGE_INT: return py::int_(*static_cast<const int32_t *>(p));
    case IMAGE_FLOAT: return py::float_(*static_cast<const float *>(p));
    case IMAGE_DOUBLE: return py::float_(*static_cast<const double *>(p));
    case IMAGE_RGB: {
        const auto *c = static_cast<const uint8_t *>(p);
        return py::make_tuple(c[0], c[1], c[2]);
    }
    default: {
        const auto *f = static_cast<const float *>(p);
        return py::make_tuple(f[0], f[1], f[2]);
    }
    }
}

// Stores a Python value as one element of the image's type into out (room for 12 bytes).
void element_of(const Image &self, const py::handle &value, unsigned char *out) {
    const auto &k = self.kind();
    std::vector<double> v;
    if (k.channels == 3) {
        if (!py::isinstance<py::sequence>(value) || py::len(value) != 3)
            raise(PyExc_TypeError, std::string("a ") + k.name + " pixel is a sequence of three values");
        for (auto item : value) v.push_back(item.cast<double>());
    } else {
        if (!py::isinstance<py::int_>(value) && !py::isinstance<py::float_>(value) &&
            !py::hasattr(value, "__index__") && !py::hasattr(value, "__float__"))
            raise(PyExc_TypeError, std::string("a ") + k.name + " pixel is a number");
        v.push_back(value.cast<double>());
    }
    auto check = [&](double x, double lo, double hi) {
        if (!(x >= lo && x <= hi) || x != std::floor(x))
            raise(PyExc_ValueError, std::string("a ") + k.name + " pixel is a whole number from " +
                                        std::to_string(static_cast<long long>(lo)) + " to " +
                                        std::to_string(static_cast<long long>(hi)));
    };
    switch (self.h().tag) {
    case IMAGE_GRAY: check(v[0], 0, 255), out[0] = static_cast<uint8_t>(v[0]); break;
    case IMAGE_BINARY: check(v[0], -128, 127), out[0] = static_cast<unsigned char>(static_cast<int8_t>(v[0])); break;
    case IMAGE_SHORT: {
        check(v[0], -32768, 32767);
        const auto s = static_cast<int16_t>(v[0]);
        std::memcpy(out, &s, 2);
        break;
    }
    case IMAGE_INT: {
        check(v[0], -2147483648.0, 2147483647.0);
        const auto s = static_cast<int32_t>(v[0]);
        std::memcpy(out, &s, 4);
        break;
    }
    case IMAGE_FLOAT: {
        const auto f = static_cast<float>(v[0]);
        std::memcpy(out, &f, 4);
        break;
    }
    case IMAGE_DOUBLE: std::memcpy(out, &v[0], 8); break;
    case IMAGE_RGB:
        for (int i = 0; i < 3; ++i) check(v[i], 0, 255), out[i] = static_cast<uint8_t>(v[i]);
        break;
    default:
        for (int i = 0; i < 3; ++i) {
            const auto f = static_cast<float>(v[i]);
            std::memcpy(out + 4 * i, &f, 4);
        }
    }
}

RGB colour_of(const py::handle &value, const char *what) {
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) || py::len(value) != 3)
        raise(PyExc_TypeError, std::string(what) + " is a sequence of three values from 0 to 255");
    uint8_t c[3];
    int i = 0;
    for (auto item : value) {
        const long v = item.cast<long>();
        if (v < 0 || v > 255) raise(PyExc_ValueError, std::string(what) + ": each value goes from 0 to 255");
        c[i++] = static_cast<uint8_t>(v);
    }
    return RGB{c[0], c[1], c[2]};
}

int32_t checked_int(int64_t v, const char *what) {
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, std::string(what) + " does not fit in 32 bits");
    return static_cast<int32_t>(v);
}

std::unique_ptr<Image> new_image(int64_t width, int64_t height, const std::string &kind, int64_t xoffset,
                                 int64_t yoffset) {
    const auto &k = kind_named(kind);
    if (width <= 0 || height <= 0) raise(PyExc_ValueError, "an image needs a positive width and height");
    if (width > INT32_MAX || height > INT32_MAX || xoffset < INT32_MIN || yoffset < INT32_MIN ||
        xoffset + width - 1 > INT32_MAX || yoffset + height - 1 > INT32_MAX)
        raise(PyExc_OverflowError, "the image's indices do not fit in 32 bits");
    return adopt(im_NewOrWrap_(k.tag, static_cast<int32_t>(width), static_cast<int32_t>(height),
                               static_cast<int32_t>(xoffset), static_cast<int32_t>(yoffset), nullptr, 0, 0, nullptr),
                 "new image");
}

// The element kind an array holds: by dtype and shape, or as asked.
const kind_info &kind_for_array(const py::array &a, const std::optional<std::string> &kind) {
    const int ndim = static_cast<int>(a.ndim());
    const bool three = ndim == 3 && a.shape(2) == 3;
    if (ndim != 2 && !three) raise(PyExc_ValueError, "an image array has shape (height, width) or (height, width, 3)");
    const char code = a.dtype().kind();
    const auto size = a.dtype().itemsize();
    const char *name = nullptr;
    if (kind) {
        name = kind->c_str();
    } else if (code == 'b' && !three) {
        name = "binary";
    } else if (code == 'u' && size == 1) {
        name = three ? "rgb" : "gray";
    } else if (code == 'i' && size == 1 && !three) {
        name = "binary";
    } else if (code == 'i' && size == 2 && !three) {
        name = "short";
    } else if (code == 'i' && size == 4 && !three) {
        name = "int";
    } else if (code == 'f' && size == 4) {
        name = three ? "float3a" : "float";
    } else if (code == 'f' && size == 8 && !three) {
        name = "double";
    } else {
        raise(PyExc_TypeError, "no image element type holds an array of dtype " +
                                   py::str(a.dtype()).cast<std::string>() + " and this shape");
    }
    const auto &k = kind_named(name);
    if ((k.channels == 3) != three)
        raise(PyExc_ValueError, std::string("a ") + k.name + " image needs an array of shape " +
                                    (three ? "(height, width)" : "(height, width, 3)"));
    return k;
}

std::unique_ptr<Image> from_array(py::array a, int64_t xoffset, int64_t yoffset, std::optional<std::string> kind,
                                  bool wrap) {
    const auto &k = kind_for_array(a, kind);
    const int64_t height = a.shape(0), width = a.shape(1);
    const py::dtype want = py::dtype(k.format);
    if (wrap) {
        // A binary image wraps any one-byte array (uint8, int8 or bool): 0 is clear, the rest set.
        const bool byte_binary = k.tag == IMAGE_BINARY && a.dtype().itemsize() == 1 &&
                                 (a.dtype().kind() == 'u' || a.dtype().kind() == 'i' || a.dtype().kind() == 'b');
        if (!byte_binary && !(a.dtype().kind() == want.kind() && a.dtype().itemsize() == want.itemsize()))
            raise(PyExc_TypeError, std::string("wrapping as ") + k.name + " needs an array of dtype " +
                                       py::str(py::object(want)).cast<std::string>());
        if (!(a.flags() & py::array::c_style)) raise(PyExc_ValueError, "only a C-contiguous array can be wrapped");
        // The library reads the memory as native, aligned values.
        if (!a.dtype().attr("isnative").cast<bool>())
            raise(PyExc_ValueError, "only an array in the machine's byte order can be wrapped (use astype to copy)");
        if (reinterpret_cast<uintptr_t>(a.data()) % k.channel_size != 0)
            raise(PyExc_ValueError, "only an aligned array can be wrapped (copy it first)");
        if (!a.writeable()) raise(PyExc_ValueError, "only a writeable array can be wrapped");
    }
    auto image = new_image(width, height, k.name, xoffset, yoffset);
    if (wrap) {
        // Replace the fresh block by the array's memory: the image then wraps it.
        im_Free_(image->im, k.tag);
        image->im = nullptr;
        void *c = im_NewOrWrap_(k.tag, static_cast<int32_t>(width), static_cast<int32_t>(height),
                                static_cast<int32_t>(xoffset), static_cast<int32_t>(yoffset), a.mutable_data(), 0, 0,
                                nullptr);
        if (!c) raise_failure("wrap", tessera_last_error());
        image->im = static_cast<AnyImageStruct *>(c);
        image->keep = a;
        return image;
    }
    py::array converted = py::array::ensure(a, py::array::c_style | py::array::forcecast);
    converted = converted.attr("astype")(want, py::arg("copy") = false).cast<py::array>();
    converted = py::array::ensure(converted, py::array::c_style);
    const auto row = static_cast<std::size_t>(width) * image->elem_size();
    const auto *src = static_cast<const char *>(converted.data());
    for (int64_t y = 0; y < height; ++y)
        std::memcpy(image->origin() + y * image->row_stride(), src + static_cast<std::size_t>(y) * row, row);
    return image;
}

struct rect {
    int64_t left, top, width, height;
};

void require_inside(const Image &self, rect r, const char *what) {
    if (r.width <= 0 || r.height <= 0)
        raise(PyExc_ValueError, std::string(what) + ": width and height must be positive");
    if (!self.inside(r.left, r.top) || !self.inside(r.left + r.width - 1, r.top + r.height - 1))
        raise(PyExc_IndexError, std::string(what) + ": the rectangle at (" + std::to_string(r.left) + ", " +
                                    std::to_string(r.top) + ") of " + std::to_string(r.width) + " x " +
                                    std::to_string(r.height) + " does not lie inside the image");
}

std::unique_ptr<Image> load(const py::handle &target, std::tuple<int, int, int> background) {
    source s;
    open_source(target, s);
    const RGB bg = colour_of(py::make_tuple(std::get<0>(background), std::get<1>(background), std::get<2>(background)),
                             "background");
    problem why{};
    sniffed what{};
    AnyImageStruct *im;
    {
        py::gil_scoped_release release;
        im = load_any(s.path.c_str(), bg, &what, &why);
    }
    if (!im) raise_file(is_path(target) ? path_of(target) : std::string(), why.text, why.error);
    return std::make_unique<Image>(im);
}

// Writes the image: the format is format, else the path's extension, else the image's own.
void save(Image &self, const py::handle &target, std::optional<std::string> format) {
    const out_format *f = nullptr;
    if (format) {
        f = format_named(format->c_str());
        if (!f) raise(PyExc_ValueError, "unknown format '" + *format + "' (" + format_names() + ")");
    } else if (is_path(target)) {
        const std::string p = path_of(target);
        f = format_of_path(p.c_str());
        if (!f) raise(PyExc_ValueError, "cannot tell the format from the name '" + p + "' (" + format_names() + ")");
    } else {
        const unsigned tag = self.h().tag;
        f = format_named(tag == IMAGE_GRAY || tag == IMAGE_RGB || tag == IMAGE_BINARY ? "pnm" : magic_of(tag));
    }
    if (!target_tag(f, self.h().tag, 0))
        raise(PyExc_ValueError, std::string(f->name) + " does not hold " + self.kind().name +
                                    " images (convert() changes the element type)");
    problem why{};
    int fd = -1;
    std::string path;
    if (is_path(target)) {
        path = path_of(target);
        if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "a path with a NUL character");
    } else {
        if (!py::hasattr(target, "write"))
            raise(PyExc_TypeError, "expected a path, an os.PathLike or a binary file object with write()");
        fd = memory_file("tessera-out");
        path = fd_path(fd);
    }
    int ok;
    AnyImageStruct *im = self.c();
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(self.busy);
        ok = fd >= 0 ? save_as(im, f, path.c_str(), &why) : write_output(im, f, path.c_str(), &why);
    }
    if (!ok) {
        if (fd >= 0) close(fd);
        raise_file(fd >= 0 ? std::string() : path, why.text, why.error);
    }
    if (fd >= 0) {
        try {
            deliver(fd, target);
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
    }
}

// ---- drawings -------------------------------------------------------------------------------------

struct Drawing : ZeroedStorage {
    PointList ptl = nullptr;
    PointList p() const {
        if (!ptl) never_initialised("Drawing");
        return ptl;
    }
    explicit Drawing(PointList p) : ptl(p) {}
    Drawing(const Drawing &) = delete;
    Drawing &operator=(const Drawing &) = delete;
    ~Drawing() {
        if (ptl) ptlFree(ptl);
    }
};

const char *const element_names[] = {"", "point", "line", "ellipse", "fill"};

std::unique_ptr<Drawing> new_drawing(double width, double height, double x, double y, bool color,
                                     const std::string &comment) {
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
        raise(PyExc_ValueError, "a drawing needs a finite positive width and height");
    if (!std::isfinite(x) || !std::isfinite(y)) raise(PyExc_ValueError, "a drawing's corner must be finite");
    if (comment.find('\0') != std::string::npos) raise(PyExc_ValueError, "a comment with a NUL character");
    adtStringHeader *c = comment.empty() ? nullptr : strMake(comment.c_str());
    if (!comment.empty() && !c) raise(PyExc_MemoryError, "out of memory for the comment");
    PointList p = ptlNew(color, static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                         static_cast<float>(height), c);
    if (!p) {
        strFree(c);
        raise_failure("new drawing", tessera_last_error());
    }
    return std::make_unique<Drawing>(p);
}

void add_element(Drawing &d, unsigned char type, py::handle colour, double size, double x1, double y1, double x2,
                 double y2) {
    const RGB c = colour_of(colour, "color");
    if (std::isnan(size) || size < 0) raise(PyExc_ValueError, "size must be 0 or more");
    PointListElem e = ptlNewElem(type, c, static_cast<float>(size), static_cast<float>(x1), static_cast<float>(y1),
                                 static_cast<float>(x2), static_cast<float>(y2));
    if (!e) raise_failure("add", tessera_last_error());
    const uint32_t before = liLen(d.p()->elements);
    ptlAddElem(d.p(), e);
    if (liLen(d.p()->elements) == before) {
        ptlFreeElem(e);
        raise(PyExc_MemoryError, "out of memory for the element");
    }
}

std::unique_ptr<Drawing> load_drawing(const py::handle &target) {
    source s;
    open_source(target, s);
    PointList p;
    int error;
    {
        py::gil_scoped_release release;
        p = ptlLoad(s.path.c_str());
        error = errno;
    }
    if (!p)
        raise_file(is_path(target) ? path_of(target) : std::string(), tessera_last_error(),
                   errno_of(tessera_last_error(), error));
    return std::make_unique<Drawing>(p);
}

void save_drawing(Drawing &d, const py::handle &target) {
    const PointList ptl = d.p();
    if (is_path(target)) {
        const std::string path = path_of(target);
        if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "a path with a NUL character");
        int r, error;
        {
            py::gil_scoped_release release;
            r = ptlSave(ptl, path.c_str());
            error = errno;
        }
        if (r != 0) raise_file(path, tessera_last_error(), errno_of(tessera_last_error(), error));
        return;
    }
    if (!py::hasattr(target, "write"))
        raise(PyExc_TypeError, "expected a path, an os.PathLike or a file object with write()");
    const int fd = memory_file("tessera-drawing");
    FILE *f = fdopen(dup(fd), "w");
    const int r = f ? ptlSaveF(ptl, f) : -1;
    if (f && std::fclose(f) != 0) {
        const int error = errno;
        close(fd);
        raise_file("", std::strerror(error), error);
    }
    if (r != 0) {
        close(fd);
        raise_file("", tessera_last_error(), 0);
    }
    // A text file object takes str, a binary one bytes.
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string text(static_cast<std::size_t>(size), '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), 0);
    close(fd);
    if (got != size) raise(file_error_type, "cannot read back the drawing");
    py::object io = py::module_::import("io");
    if (py::isinstance(target, io.attr("TextIOBase"))) target.attr("write")(py::str(text));
    else target.attr("write")(py::bytes(text));
}

py::object render(Drawing &d, double scale_x, std::optional<double> scale_y, const std::string &kind,
                  py::handle background, bool return_clipped) {
    const double sy = scale_y.value_or(scale_x);
    if (!(scale_x > 0) || !(sy > 0) || !std::isfinite(scale_x) || !std::isfinite(sy))
        raise(PyExc_ValueError, "scales must be finite and above 0");
    if (kind != "binary" && kind != "rgb") raise(PyExc_ValueError, "kind is 'binary' or 'rgb'");
    const RGB bg = colour_of(background, "background");
    const PointList ptl = d.p();
    bool clipped = false;
    void *im;
    {
        py::gil_scoped_release release;
        im = ptlRender(ptl, kind == "rgb" ? IMAGE_RGB : IMAGE_BINARY, static_cast<float>(scale_x),
                       static_cast<float>(sy), bg, &clipped);
    }
    auto image = adopt(im, "render");
    py::object result = py::cast(std::move(image));
    if (return_clipped) return py::make_tuple(result, clipped);
    return result;
}

// ---- generators and histograms ------------------------------------------------------------------------

struct Generator : ZeroedStorage {
    int32_t tag;
    void *g = nullptr;
    std::string description;
    Generator(int32_t t, void *p, std::string d) : tag(t), g(p), description(std::move(d)) {}
    Generator(const Generator &) = delete;
    Generator &operator=(const Generator &) = delete;
    ~Generator() {
        if (g) genFree_(tag, g);
    }
    void *c() const {
        if (!g) never_initialised("Generator");
        return g;
    }
    double next() {
        if (tag == GEN_UNIFORM_INT) {
            auto *ig = static_cast<_int_generator_struct_ *>(g);
            return ig->generate(ig);
        }
        auto *fg = static_cast<_float_generator_struct_ *>(g);
        return fg->generate(fg);
    }
};

int32_t seed_of(int64_t seed) { return checked_int(seed, "seed"); }

std::unique_ptr<Generator> make_generator(int32_t tag, int64_t seed, void *params, std::string description) {
    void *g = genNew_(tag, seed_of(seed), params);
    if (!g) raise_failure("generator", tessera_last_error());
    return std::make_unique<Generator>(tag, g, std::move(description));
}

py::object draw(Generator &self, py::object size) {
    self.c();
    if (size.is_none()) {
        const double v = self.next();
        if (self.tag == GEN_UNIFORM_INT) return py::int_(static_cast<int32_t>(v));
        return py::float_(v);
    }
    std::vector<py::ssize_t> shape;
    if (py::isinstance<py::int_>(size)) shape.push_back(size.cast<py::ssize_t>());
    else
        for (auto d : size) shape.push_back(d.cast<py::ssize_t>());
    py::ssize_t n = 1;
    for (auto d : shape) {
        if (d < 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
        if (d && n > PTRDIFF_MAX / 16 / d) raise(PyExc_MemoryError, "too many draws");
        n *= d;
    }
    if (self.tag == GEN_UNIFORM_INT) {
        py::array_t<int32_t> out(shape);
        int32_t *p = out.mutable_data();
        py::gil_scoped_release release;
        for (py::ssize_t i = 0; i < n; ++i) p[i] = static_cast<int32_t>(self.next());
        return out;
    }
    py::array_t<double> out(shape);
    double *p = out.mutable_data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < n; ++i) p[i] = self.next();
    return out;
}

struct Histogram : ZeroedStorage {
    Hist h = nullptr;
    Hist c() const {
        if (!h) never_initialised("Histogram");
        return h;
    }
    explicit Histogram(Hist p) : h(p) {}
    Histogram(const Histogram &) = delete;
    Histogram &operator=(const Histogram &) = delete;
    ~Histogram() {
        if (h) hiFree(h);
    }
};

} // namespace

PYBIND11_MODULE(_tessera, m) {
    m.doc() = "The tessera library: images as numpy arrays, image and drawing files, rendering, generators and "
              "histograms.";
    error_type = PyErr_NewExceptionWithDoc("tessera.Error", "A failure the tessera library reported, with its reason.",
                                           PyExc_Exception, nullptr);
    py::tuple file_bases = py::make_tuple(py::handle(error_type), py::handle(PyExc_OSError));
    file_error_type = PyErr_NewExceptionWithDoc(
        "tessera.FileError", "A file that could not be read or written (also an OSError).", file_bases.ptr(), nullptr);
    m.attr("Error") = py::handle(error_type);
    m.attr("FileError") = py::handle(file_error_type);
    for (errno_class &c : errno_classes) {
        for (const errno_class &made : errno_classes)
            if (made.type && made.builtin == c.builtin) c.type = made.type;
        if (c.type) continue;
        py::object bases = py::make_tuple(py::handle(file_error_type), py::handle(c.builtin));
        py::dict body;
        body["__module__"] = "tessera";
        body["__doc__"] = std::string("A file error that is also ") + c.name + ".";
        c.type =
            PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "sOO", c.name, bases.ptr(), body.ptr());
        if (!c.type) throw py::error_already_set();
    }
    m.attr("__version__") = tessera_version();

    py::class_<Image, std::unique_ptr<Image>> image(
        m, "Image", py::buffer_protocol(), R"(A two-dimensional image of one element type, indexed from chosen offsets.

Its pixels are a numpy array without copying: numpy.asarray(image) or image.array, of
shape (height, width) or (height, width, 3); the array keeps the image alive. Row 0 of the
array is row yoffset of the image. Element kinds and dtypes: gray uint8, binary uint8 (0
clear, other values set), rgb uint8 x 3, short int16, int int32, float float32, double
float64, float3a and float3b float32 x 3.)");
    image
        .def(py::init(&new_image), py::arg("width"), py::arg("height"), py::arg("kind") = "gray",
             py::arg("xoffset") = 0, py::arg("yoffset") = 0, "A new image of the given kind, every pixel 0.")
        .def_static("from_array", &from_array, py::arg("array"), py::arg("xoffset") = 0, py::arg("yoffset") = 0,
                    py::arg("kind") = py::none(), py::arg("wrap") = false,
                    R"(An image holding the array's pixels.

The kind follows the dtype and shape (uint8: gray, or rgb for (h, w, 3); bool and int8:
binary; int16: short; int32: int; float32: float, or float3a; float64: double) unless
given. The pixels are copied, or with wrap=True the image uses the array's memory (which
must be C-contiguous, writeable and of the kind's dtype) and keeps the array alive.)")
        .def_buffer(&buffer_of)
        .def_property_readonly("array", &array_of, "The pixels as a numpy array sharing the image's memory.")
        .def_property_readonly("width", [](const Image &s) { return s.h().width; })
        .def_property_readonly("height", [](const Image &s) { return s.h().height; })
        .def_property_readonly(
            "xoffset", [](const Image &s) { return s.h().xoffset; }, "Index of the first column.")
        .def_property_readonly(
            "yoffset", [](const Image &s) { return s.h().yoffset; }, "Index of the first row.")
        .def_property_readonly(
            "kind", [](const Image &s) { return std::string(s.kind().name); },
            "The element kind: gray, binary, rgb, short, int, float, double, float3a or float3b.")
        .def_property_readonly("shape",
                               [](const Image &s) {
                                   py::tuple t = s.kind().channels == 3 ? py::make_tuple(s.h().height, s.h().width, 3)
                                                                        : py::make_tuple(s.h().height, s.h().width);
                                   return t;
                               })
        .def_property_readonly(
            "wrapped", [](const Image &s) { return s.h().wrapped; }, "Whether the image uses a numpy array's memory.")
        .def_property(
            "comment",
            [](Image &s) {
                ImageHeader *h = s.c()->header;
                std::string text;
                {
                    py::gil_scoped_release release;
                    std::lock_guard<std::mutex> lock(s.busy); // a save may be reading it
                    if (h->comment) text = strGet(h->comment);
                }
                return text;
            },
            [](Image &s, const std::string &text) {
                if (text.find('\0') != std::string::npos) raise(PyExc_ValueError, "a comment with a NUL character");
                ImageHeader *h = s.c()->header;
                adtStringHeader *c = text.empty() ? nullptr : strMake(text.c_str());
                if (!text.empty() && !c) raise(PyExc_MemoryError, "out of memory for the comment");
                {
                    py::gil_scoped_release release;
                    std::lock_guard<std::mutex> lock(s.busy); // a save may be reading the old one
                    std::swap(h->comment, c);
                }
                strFree(c);
            },
            "The comment of the file the image came from (saved with it).")
        .def(
            "at",
            [](const Image &s, int64_t x, int64_t y) {
                if (!s.inside(x, y))
                    raise(PyExc_IndexError,
                          "(" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside the image");
                return value_at(s, static_cast<const char *>(s.c()->data[y]) +
                                       static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(s.elem_size()));
            },
            py::arg("x"), py::arg("y"), "The pixel at column x, row y, in the image's own coordinates.")
        .def(
            "set",
            [](Image &s, int64_t x, int64_t y, py::handle value) {
                if (!s.inside(x, y))
                    raise(PyExc_IndexError,
                          "(" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside the image");
                unsigned char e[16];
                element_of(s, value, e);
                std::memcpy(static_cast<char *>(s.c()->data[y]) +
                                static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(s.elem_size()),
                            e, s.elem_size());
            },
            py::arg("x"), py::arg("y"), py::arg("value"), "Sets the pixel at column x, row y.")
        .def(
            "dup",
            [](Image &s) {
                return adopt(locked(s, [](AnyImageStruct *im) { return im_Dup_(im, im->header); }), "dup");
            },
            "An independent copy.")
        .def(
            "crop",
            [](Image &s, int64_t left, int64_t top, int64_t width, int64_t height) {
                require_inside(s, {left, top, width, height}, "crop");
                return adopt(locked(s,
                                    [&](AnyImageStruct *im) {
                                        return im_Crop_(im, im->header, static_cast<int32_t>(left),
                                                        static_cast<int32_t>(top), static_cast<int32_t>(width),
                                                        static_cast<int32_t>(height));
                                    }),
                             "crop");
            },
            py::arg("left"), py::arg("top"), py::arg("width"), py::arg("height"),
            "A new image of the rectangle at (left, top), in image coordinates; it keeps those offsets.")
        .def(
            "crop_into",
            [](Image &s, Image &into, int64_t left, int64_t top, int64_t to_left, int64_t to_top, int64_t width,
               int64_t height) {
                if (into.h().tag != s.h().tag)
                    raise(PyExc_TypeError, std::string("crop_into needs an image of the same kind (") + s.kind().name +
                                               ", not " + into.kind().name + ")");
                require_inside(s, {left, top, width, height}, "crop_into (source)");
                require_inside(into, {to_left, to_top, width, height}, "crop_into (target)");
                void *copied;
                AnyImageStruct *from = s.c(), *to = into.c();
                {
                    py::gil_scoped_release release;
                    // One lock when the image copies within itself, both (in a safe order) otherwise.
                    std::unique_lock<std::mutex> mine(s.busy, std::defer_lock), theirs(into.busy, std::defer_lock);
                    if (&into == &s) mine.lock();
                    else std::lock(mine, theirs);
                    copied =
                        im_Crop_Into_(from, from->header, to, static_cast<int32_t>(left), static_cast<int32_t>(top),
                                      static_cast<int32_t>(to_left), static_cast<int32_t>(to_top),
                                      static_cast<int32_t>(width), static_cast<int32_t>(height));
                }
                if (!copied) raise_failure("crop_into", tessera_last_error());
            },
            py::arg("into"), py::arg("left"), py::arg("top"), py::arg("to_left"), py::arg("to_top"), py::arg("width"),
            py::arg("height"), "Copies the rectangle at (left, top) into `into` at (to_left, to_top).")
        .def(
            "border",
            [](Image &s, int64_t n) {
                if (n < 0) raise(PyExc_ValueError, "the border must not be negative");
                // compared before doubling: 2 * n of a huge n would overflow
                if (n > (INT32_MAX - s.h().width) / 2 || n > (INT32_MAX - s.h().height) / 2)
                    raise(PyExc_OverflowError, "the bordered image would not fit 32-bit sizes");
                return adopt(locked(s, [&](AnyImageStruct *im) { return imBorders(im, static_cast<int32_t>(n)); }),
                             "border");
            },
            py::arg("n"), "A new image with n pixels of 0 around this one (offsets 0).")
        .def(
            "scale",
            [](Image &s, int64_t width, int64_t height) {
                if (width <= 0 || height <= 0) raise(PyExc_ValueError, "scale needs a positive width and height");
                if (width > INT32_MAX || height > INT32_MAX) raise(PyExc_OverflowError, "sizes must fit 32 bits");
                return adopt(locked(s,
                                    [&](AnyImageStruct *im) {
                                        return imScale(im, static_cast<int32_t>(width), static_cast<int32_t>(height));
                                    }),
                             "scale");
            },
            py::arg("width"), py::arg("height"), "A new image resampled to width x height by nearest neighbour.")
        .def(
            "fill",
            [](Image &s, py::handle value) {
                unsigned char e[16];
                element_of(s, value, e);
                locked(s, [&](AnyImageStruct *im) { return im_Init_(im, im->header, e); });
            },
            py::arg("value"), "Sets every pixel to value.")
        .def(
            "extrema",
            [](Image &s) {
                alignas(8) unsigned char mx[16], mn[16];
                locked(s, [&](AnyImageStruct *im) { return im_MaxAndMin_(im, im->header, mx, mn); });
                return py::make_tuple(value_at(s, mn), value_at(s, mx));
            },
            "(minimum, maximum), channel by channel for three-channel kinds.")
        .def(
            "set_offset",
            [](Image &s, int64_t x, int64_t y) {
                if (x < INT32_MIN || y < INT32_MIN || x + s.h().width - 1 > INT32_MAX ||
                    y + s.h().height - 1 > INT32_MAX)
                    raise(PyExc_OverflowError, "the image's indices would not fit in 32 bits");
                locked(s, [&](AnyImageStruct *im) {
                    return im_SetOffset_(im, im->header, static_cast<int32_t>(x), static_cast<int32_t>(y));
                });
            },
            py::arg("xoffset"), py::arg("yoffset"), "Re-indexes the image; no pixel moves.")
        .def(
            "convert",
            [](Image &s, const std::string &kind, bool normalize) {
                const auto &k = kind_named(kind);
                AnyImageStruct *r = locked(s, [&](AnyImageStruct *im) { return convert_image(im, k.tag, normalize); });
                auto out = adopt(r, "convert");
                if (s.h().comment) out->im->header->comment = strNewCopy(s.h().comment);
                return out;
            },
            py::arg("kind"), py::arg("normalize") = false,
            R"(A new image of another kind, converted as `tessera convert` does: set binary pixels are
black (0), clear ones white (255), values below 128 become set pixels; colours become gray by
luma; numbers are rounded and clamped, or with normalize=True a numeric image's range is
mapped onto 0..255.)")
        .def("save", &save, py::arg("target"), py::arg("format") = py::none(),
             R"(Writes the image to a path, os.PathLike or binary file object.

The format is `format` (pbm, pgm, ppm, pnm, pam, png, q1, q2, q3, q4, q10, q11), else the
path's extension, else (for file objects) the image's own. A path is written safely: a
temporary file renamed into place, links and FIFOs written through.)")
        .def("__repr__", [](const Image &s) {
            return "<tessera.Image " + std::string(s.kind().name) + " " + std::to_string(s.h().width) + " x " +
                   std::to_string(s.h().height) + " at (" + std::to_string(s.h().xoffset) + ", " +
                   std::to_string(s.h().yoffset) + ")>";
        });

    m.def("load", &load, py::arg("source"), py::arg("background") = std::make_tuple(0, 0, 0),
          R"(Loads an image from a path, os.PathLike or binary file object.

Reads PBM, PGM and PPM (raw or plain, any maxval, scaled to 8 bits), PAM, PNG and the Q
formats; alpha is composited over background. Raises tessera.FileError with the reason.)");

    {
        auto *type = reinterpret_cast<PyTypeObject *>(image.ptr());
        pybind11_getbuffer = type->tp_as_buffer->bf_getbuffer;
        type->tp_as_buffer->bf_getbuffer = checked_getbuffer;
    }

    py::class_<Drawing, std::unique_ptr<Drawing>>(m, "Drawing",
                                                  R"(A point list: dots, lines, ellipse outlines and fills over bounds.

Build one with point(), line(), ellipse() and fill(), iterate its elements, save it, and
render() it into an Image. y grows downward; colours are (r, g, b) tuples.)")
        .def(py::init(&new_drawing), py::arg("width"), py::arg("height"), py::arg("x") = 0.0, py::arg("y") = 0.0,
             py::arg("color") = true, py::arg("comment") = "",
             "An empty drawing over the bounds (x, y, width, height); color=True keeps element colours (CPTL).")
        .def_static("load", &load_drawing, py::arg("source"), "Loads a PTL or CPTL file (path or file object).")
        .def("save", &save_drawing, py::arg("target"), "Writes the drawing as a PTL or CPTL file.")
        .def(
            "point",
            [](Drawing &d, double x, double y, double size, py::handle color) -> Drawing & {
                add_element(d, PTL_POINT, color, size, x, y, 0, 0);
                return d;
            },
            py::arg("x"), py::arg("y"), py::arg("size") = 0.0, py::arg("color") = py::make_tuple(255, 255, 255),
            py::return_value_policy::reference_internal, "Adds a dot of diameter size at (x, y).")
        .def(
            "line",
            [](Drawing &d, double x1, double y1, double x2, double y2, double size, py::handle color) -> Drawing & {
                add_element(d, PTL_LINE, color, size, x1, y1, x2, y2);
                return d;
            },
            py::arg("x1"), py::arg("y1"), py::arg("x2"), py::arg("y2"), py::arg("size") = 0.0,
            py::arg("color") = py::make_tuple(255, 255, 255), py::return_value_policy::reference_internal,
            "Adds a line of width size.")
        .def(
            "ellipse",
            [](Drawing &d, double cx, double cy, double rx, double ry, double size, py::handle color) -> Drawing & {
                add_element(d, PTL_ELLIPSE, color, size, cx, cy, rx, ry);
                return d;
            },
            py::arg("cx"), py::arg("cy"), py::arg("rx"), py::arg("ry"), py::arg("size") = 0.0,
            py::arg("color") = py::make_tuple(255, 255, 255), py::return_value_policy::reference_internal,
            "Adds the outline of the ellipse centred at (cx, cy) with semi-axes rx, ry.")
        .def(
            "fill",
            [](Drawing &d, double x, double y, py::handle color) -> Drawing & {
                add_element(d, PTL_FILL, color, 0, x, y, 0, 0);
                return d;
            },
            py::arg("x"), py::arg("y"), py::arg("color") = py::make_tuple(255, 255, 255),
            py::return_value_policy::reference_internal, "Adds a flood fill seeded at (x, y) (binary renderings).")
        .def("__len__", [](const Drawing &d) { return liLen(d.p()->elements); })
        .def(
            "__iter__", [](py::object self) { return self.attr("elements")().attr("__iter__")(); },
            "Iterates the elements as elements() lists them.")
        .def(
            "elements",
            [](const Drawing &d) {
                py::list out;
                for (_ListNode *n = liFirst(d.p()->elements); n; n = liNext(n)) {
                    const auto *e = static_cast<PointListElem>(liGet(n));
                    out.append(py::make_tuple(element_names[e->type],
                                              py::make_tuple(e->color.r, e->color.g, e->color.b), e->size, e->x1, e->y1,
                                              e->x2, e->y2));
                }
                return out;
            },
            "The elements in drawing order as (type, color, size, x1, y1, x2, y2) tuples.")
        .def_property_readonly(
            "bounds", [](const Drawing &d) { return py::make_tuple(d.p()->x, d.p()->y, d.p()->width, d.p()->height); },
            "(x, y, width, height).")
        .def_property_readonly(
            "color", [](const Drawing &d) { return d.p()->color; }, "Whether elements keep colours.")
        .def_property_readonly(
            "comment",
            [](const Drawing &d) { return d.p()->comment ? std::string(strGet(d.p()->comment)) : std::string(); })
        .def("render", &render, py::arg("scale_x") = 1.0, py::arg("scale_y") = py::none(), py::arg("kind") = "binary",
             py::arg("background") = py::make_tuple(0, 0, 0), py::arg("return_clipped") = false,
             R"(Renders the drawing into a new Image of kind 'binary' or 'rgb'.

The image covers the bounds at scale_x (and scale_y, default scale_x) pixels per unit. With
return_clipped=True the result is (image, clipped), clipped telling whether some element
reached past the bounds.)");

    py::class_<Generator, std::unique_ptr<Generator>>(m, "Generator", R"(A seedable random generator.

Make one with Generator.uniform_int, uniform, normal or exponential; a seed of 0 or less
takes one from the clock. g.draw() gives one value, g.draw(size) a numpy array.)")
        .def_static(
            "uniform_int",
            [](int64_t low, int64_t high, int64_t seed) {
                const int32_t lo = checked_int(low, "low"), hi = checked_int(high, "high");
                if (lo > hi) raise(PyExc_ValueError, "low must not be above high");
                GenUniformIntParams p{lo, hi};
                return make_generator(GEN_UNIFORM_INT, seed, &p,
                                      "uniform_int(" + std::to_string(lo) + ", " + std::to_string(hi) + ")");
            },
            py::arg("low"), py::arg("high"), py::arg("seed") = 0, "Whole numbers from low to high, both included.")
        .def_static(
            "uniform",
            [](double low, double high, int64_t seed) {
                if (!std::isfinite(low) || !std::isfinite(high) || low > high)
                    raise(PyExc_ValueError, "low and high must be finite, low not above high");
                GenUniformFloatParams p{low, high};
                return make_generator(GEN_UNIFORM_FLOAT, seed, &p, "uniform");
            },
            py::arg("low"), py::arg("high"), py::arg("seed") = 0, "Reals from low up to high.")
        .def_static(
            "normal",
            [](double mean, double deviation, int64_t seed) {
                if (!std::isfinite(mean) || !std::isfinite(deviation) || deviation < 0)
                    raise(PyExc_ValueError, "mean must be finite and deviation finite and not negative");
                GenGaussianParams p{mean, deviation};
                return make_generator(GEN_GAUSSIAN, seed, &p, "normal");
            },
            py::arg("mean"), py::arg("deviation"), py::arg("seed") = 0, "Normally distributed reals.")
        .def_static(
            "exponential",
            [](double rate, int64_t seed) {
                if (!(rate > 0) || !std::isfinite(rate)) raise(PyExc_ValueError, "rate must be finite and above 0");
                GenExponentialParams p{rate};
                return make_generator(GEN_EXPONENTIAL, seed, &p, "exponential");
            },
            py::arg("rate"), py::arg("seed") = 0, "Exponentially distributed reals of mean 1/rate.")
        .def("draw", &draw, py::arg("size") = py::none(),
             "One value, or a numpy array of the given shape (int32 for uniform_int, float64 otherwise).")
        .def(
            "reseed", [](Generator &g, int64_t seed) { genReset_(g.tag, g.c(), seed_of(seed)); }, py::arg("seed"),
            "Starts the sequence again from seed.")
        .def("__repr__", [](const Generator &g) {
            g.c();
            return "<tessera.Generator " + g.description + ">";
        });

    py::class_<Histogram, std::unique_ptr<Histogram>>(m, "Histogram", R"(Weighted counts in equal bins over [low, high).

Samples below low count in the first bin, at or above high in the last.)")
        .def(py::init([](int64_t bins, double low, double high) {
                 if (bins < 1 || bins > UINT32_MAX) raise(PyExc_ValueError, "a histogram needs 1 to 2**32 - 1 bins");
                 if (!std::isfinite(low) || !std::isfinite(high) || !(low < high))
                     raise(PyExc_ValueError, "low and high must be finite, low below high");
                 Hist h = hiNew(static_cast<uint32_t>(bins), low, high);
                 if (!h) raise_failure("histogram", tessera_last_error());
                 return std::make_unique<Histogram>(h);
             }),
             py::arg("bins"), py::arg("low"), py::arg("high"))
        .def(
            "add",
            [](Histogram &h, py::array_t<double, py::array::c_style | py::array::forcecast> x, py::object weight) {
                py::array_t<double, py::array::c_style | py::array::forcecast> w =
                    weight.is_none() ? py::array_t<double>(std::vector<py::ssize_t>{}) : weight;
                const double one = 1.0;
                const double *xs = x.data(), *ws = weight.is_none() ? &one : w.data();
                const py::ssize_t n = x.size();
                const bool each = !weight.is_none() && w.size() == n && w.size() != 1;
                if (!weight.is_none() && w.size() != 1 && w.size() != n)
                    raise(PyExc_ValueError, "weight is one value or one a sample");
                const Hist hist = h.c();
                py::gil_scoped_release release;
                for (py::ssize_t i = 0; i < n; ++i) hiAdd(hist, xs[i], ws[each ? i : 0]);
            },
            py::arg("x"), py::arg("weight") = py::none(),
            "Adds samples x (a number or an array) with weight (default 1).")
        .def_property_readonly(
            "bins",
            [](py::object self) {
                auto &h = self.cast<Histogram &>();
                return py::array_t<double>({static_cast<py::ssize_t>(h.c()->nbins)}, {sizeof(double)}, h.c()->bins,
                                           self);
            },
            "The sums of weights, a numpy array sharing the histogram's memory.")
        .def_property_readonly("low", [](const Histogram &h) { return h.c()->low; })
        .def_property_readonly("high", [](const Histogram &h) { return h.c()->high; })
        .def("__len__", [](const Histogram &h) { return h.c()->nbins; });

    m.def(
        "_describe",
        [](py::handle target) -> py::tuple {
            const std::string path = path_of(target);
            problem why{};
            sniffed what{};
            if (!sniff(path.c_str(), &what, &why)) raise_file(path, why.text, why.error);
            if (what.kind == KIND_DRAWING)
                return py::make_tuple("drawing", std::string(what.format), py::none(), py::none());
            AnyImageStruct *im;
            {
                py::gil_scoped_release release;
                im = load_any(path.c_str(), RGB{0, 0, 0}, &what, &why);
            }
            if (!im) raise_file(path, why.text, why.error);
            py::object image = py::cast(std::make_unique<Image>(im));
            return py::make_tuple("image", std::string(what.format),
                                  what.maxval ? py::object(py::int_(what.maxval)) : py::object(py::none()), image);
        },
        py::arg("path"),
        "(\"image\" or \"drawing\", format, maxval or None, the image or None), as `tessera info` tells.");

    // The tool's format rules, for tessera.batch: the format an output name asks for, and the kind
    // an image takes there.
    // The tool's own work on one file, for the cluster runner: the same functions the tessera
    // tool runs, so the runner's outputs are the tool's by construction.
    m.def(
        "_job",
        [](const std::string &command, const std::string &path, const std::string &out,
           const py::dict &options) -> py::object {
            job_options job{};
            job.scale_x = options["scale_x"].cast<float>();
            job.scale_y = options["scale_y"].cast<float>();
            job.background = colour_of(options["background"], "background");
            job.has_foreground = !options["foreground"].is_none();
            if (job.has_foreground) job.foreground = colour_of(options["foreground"], "foreground");
            job.binary = options["binary"].cast<bool>();
            job.rgb = options["rgb"].cast<bool>();
            job.normalize = options["normalize"].cast<bool>();
            const py::object to = options["to"];
            job.format = to.is_none() ? nullptr : format_named(to.cast<std::string>().c_str());
            if (!to.is_none() && !job.format) raise(PyExc_ValueError, "unknown format " + to.cast<std::string>());
            problem why{};
            int ok = 0, clipped = 0;
            std::string text;
            if (command == "extension") return py::str(render_extension(path.c_str(), &job));
            {
                py::gil_scoped_release release;
                if (command == "render") {
                    ok = render_file(path.c_str(), out.c_str(), &job, &clipped, &why);
                } else if (command == "convert") {
                    ok = edit_file(path.c_str(), out.c_str(), &job, nullptr, nullptr, nullptr, 1, &why);
                } else if (command == "info") {
                    char *buffer = nullptr;
                    std::size_t size = 0;
                    if (FILE *f = open_memstream(&buffer, &size)) {
                        ok = describe_file(path.c_str(), path.c_str(), &job, 1, f, &why);
                        if (!ok) describe_failure(path.c_str(), &why, f);
                        std::fclose(f);
                        if (buffer) text.assign(buffer, size);
                    } else {
                        say(&why, "out of memory");
                    }
                    std::free(buffer);
                }
            }
            if (command != "render" && command != "convert" && command != "info")
                raise(PyExc_ValueError, "unknown command " + command);
            py::dict result;
            result["file"] = path;
            if (!ok) result["error"] = std::string(why.text);
            else if (command != "info") result["output"] = out;
            if (command == "render" && ok) result["clipped"] = clipped != 0;
            if (command == "info") result["json"] = text;
            return result;
        },
        py::arg("command"), py::arg("path"), py::arg("out"), py::arg("options"));
    m.def(
        "_output_path",
        [](const std::string &dir, const std::string &input, const std::string &ext) {
            char *p = output_path(dir.c_str(), input.c_str(), ext.c_str());
            if (!p) throw std::bad_alloc();
            std::string path(p);
            std::free(p);
            return path;
        },
        py::arg("dir"), py::arg("input"), py::arg("ext"));
    m.def(
        "_output_kind",
        [](const std::string &name, const std::string &kind, bool may_convert) -> py::object {
            const out_format *f = format_named(name.c_str());
            if (!f) return py::none();
            const unsigned tag = target_tag(f, kind_named(kind).tag, may_convert);
            if (!tag) return py::none();
            return py::str(kind_of_tag(tag).name);
        },
        py::arg("format"), py::arg("kind"), py::arg("may_convert"));
}
