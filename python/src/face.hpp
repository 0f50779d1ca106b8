// What the files of the tessera extension module share: the records behind the Python
// classes, element kinds, files and the checks every class makes.
//
// The classes hold the C++ face's owning types (tessera.hpp). Every precondition is checked
// here first and thrown as the C++ exception whose Python twin a user expects
// (std::invalid_argument: ValueError, std::out_of_range: IndexError, std::overflow_error:
// OverflowError, py::type_error: TypeError); a failure the library reports comes as
// tessera::error, tessera::file_error or tessera::out_of_memory, which the one translator of
// errors.cpp turns into tessera.Error, tessera.FileError (and its OSError subclasses) or
// MemoryError.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <tessera.hpp>
#include <tessera/io.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include "jobs/files.h"
}

namespace py = pybind11;

namespace tessera::detail::python {

// Storage for the extension's objects comes zero-filled, so that an object made by
// cls.__new__(cls) without __init__ (whose storage pybind11 allocates without constructing it)
// holds empty records, which every method refuses, rather than garbage.
struct ZeroedStorage {
    static void *operator new(std::size_t size) {
        if (void *p = std::calloc(1, size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void *p) { std::free(p); }
};

[[noreturn]] void never_initialised(const char *type);

// A failure the tool's readers and writers reported for a file (filename "" for a file
// object): MemoryError or a FileError with errno and filename.
[[noreturn]] void raise_problem(const std::string &filename, const problem &why);

// ---- element kinds ----------------------------------------------------------------------------

struct kind_info {
    const char *name;
    uint16_t tag;
    const char *format; // buffer-protocol format of one channel
    std::size_t channel_size;
    int channels;
};
const kind_info &kind_of_tag(unsigned tag);
const kind_info &kind_named(const std::string &name);

// ---- files: paths, os.PathLike, and file objects ----------------------------------------------

// A file object's bytes in an in-memory file, or a path as the C layer wants it.
struct source {
    std::string path;
    int fd = -1;
    source() = default;
    source(const source &) = delete;
    source &operator=(const source &) = delete;
    ~source();
};
bool is_path(const py::handle &target);
std::string path_of(const py::handle &target);
// The name a failure reports: the path, or "" for a file object.
std::string name_of(const py::handle &target);
void open_source(const py::handle &target, source &s);
int memory_file(const char *name);
std::string fd_path(int fd);
// Gives the bytes written to an in-memory file to a file object.
void deliver(int fd, const py::handle &target);

// Writes into a binary file object as an encoder goes, through a stdio stream whose writes and
// seeks are the object's own, when the object can seek and stands at its end (a BytesIO, a file
// opened for writing): no copy of the whole file is made first. A failed writing cuts the object
// back to where it stood, so that it is left as it was.
class file_writer {
  public:
    // A writer for the object, or null when it is not such a file (the caller then hands it the
    // whole file at once). Call with the GIL.
    static std::unique_ptr<file_writer> of(const py::handle &target);
    ~file_writer();
    file_writer(const file_writer &) = delete;
    file_writer &operator=(const file_writer &) = delete;
    // The stream; null when there is no memory for it. Opened and closed without the GIL.
    FILE *open();
    bool close();
    // With the GIL, after close(): when the writing failed, cuts the object back and raises what
    // the object raised, if anything (the caller raises the library's reason otherwise).
    void finish(bool ok);

    struct state {
        py::handle target;
        long long start = 0, at = 0; // where the object stood; the stream's position from there
        bool placed = true;          // the object stands at start + at
        std::exception_ptr raised;   // what the object's write or seek raised
    };

  private:
    file_writer() = default;
    state s_;
    FILE *f_ = nullptr;
    char *buffer_ = nullptr;
};

// ---- values -------------------------------------------------------------------------------------

RGB colour_of(const py::handle &value, const char *what);
int32_t checked_int(int64_t v, const char *what);

// ---- images -------------------------------------------------------------------------------------

struct Image : ZeroedStorage {
    tessera::any_image im;
    py::object keep;     // the array whose memory a wrapping image uses
    py::object metadata; // a dict of the file's "icc", "exif" and "xmp" bytes, or None
    std::mutex busy;     // held while the library works on the pixels without the GIL

    explicit Image(tessera::any_image i) : im(std::move(i)) {}
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    // The C image; raises TypeError for an object that was never initialised (call with the GIL).
    AnyImageStruct *c() const {
        if (!im.valid()) never_initialised("Image");
        return im.get();
    }
    const ImageHeader &h() const { return *c()->header; }
    const kind_info &kind() const { return kind_of_tag(h().tag); }
    std::size_t elem_size() const { return im.element_size(); }
};

// Runs f on the image with the image's lock held and the GIL released, in that order (so a
// thread waiting for the image never stalls the others); f must not touch Python.
template <class F> auto locked(Image &self, F f) {
    self.c();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(self.busy);
    return f(self.im);
}

// locked() for two images at once (one lock when they are the same), taken without deadlock.
template <class F> auto locked_pair(Image &a, Image &b, F f) {
    a.c(), b.c();
    py::gil_scoped_release release;
    if (&a == &b) {
        std::lock_guard<std::mutex> lock(a.busy);
        return f(a.im, a.im);
    }
    std::scoped_lock lock(a.busy, b.busy);
    return f(a.im, b.im);
}

inline std::unique_ptr<Image> held(tessera::any_image im) { return std::make_unique<Image>(std::move(im)); }

void init_errors(py::module_ &m);
void init_image(py::module_ &m);
void init_drawing(py::module_ &m);
void init_generator(py::module_ &m);
void init_histogram(py::module_ &m);
void init_jobs(py::module_ &m);

} // namespace tessera::detail::python
