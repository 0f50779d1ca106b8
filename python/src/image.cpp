// tessera.Image: images as numpy arrays, their files, and the operations on their pixels.
#include "face.hpp"

#include <unistd.h>

extern "C" {
#include "jobs/jobs.h"
}
#include <tessera/io.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace tessera::detail::python {

namespace {

// pybind11's buffer export, and the check in front of it: the buffer callback cannot raise,
// so an image that was never initialised is refused here with a TypeError.
getbufferproc pybind11_getbuffer = nullptr;
int checked_getbuffer(PyObject *obj, Py_buffer *view, int flags) {
    try {
        if (!py::cast<const Image &>(py::handle(obj)).im.valid()) {
            PyErr_SetString(PyExc_TypeError, "this tessera.Image was never initialised (made without __init__)");
            return -1;
        }
    } catch (const std::exception &) {
        PyErr_SetString(PyExc_TypeError, "not a tessera.Image");
        return -1;
    }
    return pybind11_getbuffer(obj, view, flags);
}

// The address of the first pixel and the bytes from one row to the next.
char *origin(const Image &self) {
    const ImageHeader &h = self.h();
    return static_cast<char *>(self.c()->data[h.yoffset]) +
           static_cast<std::ptrdiff_t>(h.xoffset) * static_cast<std::ptrdiff_t>(self.elem_size());
}
std::ptrdiff_t row_stride(const Image &self) {
    const ImageHeader &h = self.h();
    void **rows = self.c()->data;
    return h.height > 1 ? static_cast<char *>(rows[h.yoffset + 1]) - static_cast<char *>(rows[h.yoffset])
                        : static_cast<std::ptrdiff_t>(self.elem_size()) * h.width;
}

py::buffer_info buffer_of(Image &self) {
    const auto &k = self.kind();
    std::vector<py::ssize_t> shape{self.h().height, self.h().width};
    std::vector<py::ssize_t> strides{row_stride(self), static_cast<py::ssize_t>(self.elem_size())};
    if (k.channels > 1) {
        shape.push_back(k.channels);
        strides.push_back(static_cast<py::ssize_t>(k.channel_size));
    }
    return py::buffer_info(origin(self), static_cast<py::ssize_t>(k.channel_size), k.format,
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
    case IMAGE_RGBA: {
        const auto *c = static_cast<const uint8_t *>(p);
        return py::make_tuple(c[0], c[1], c[2], c[3]);
    }
    case IMAGE_GRAY16: return py::int_(*static_cast<const uint16_t *>(p));
    case IMAGE_RGB16:
    case IMAGE_RGBA16: {
        uint16_t c[4] = {0, 0, 0, 0};
        std::memcpy(c, p, self.h().tag == IMAGE_RGB16 ? 6 : 8);
        if (self.h().tag == IMAGE_RGB16) return py::make_tuple(c[0], c[1], c[2]);
        return py::make_tuple(c[0], c[1], c[2], c[3]);
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
    if (k.channels > 1) {
        if (!py::isinstance<py::sequence>(value) || py::len(value) != static_cast<std::size_t>(k.channels))
            throw py::type_error(std::string("a ") + k.name + " pixel is a sequence of " +
                                 (k.channels == 3 ? "three" : "four") + " values");
        for (auto item : value) v.push_back(item.cast<double>());
    } else {
        if (!py::isinstance<py::int_>(value) && !py::isinstance<py::float_>(value) &&
            !py::hasattr(value, "__index__") && !py::hasattr(value, "__float__"))
            throw py::type_error(std::string("a ") + k.name + " pixel is a number");
        v.push_back(value.cast<double>());
    }
    auto check = [&](double x, double lo, double hi) {
        if (!(x >= lo && x <= hi) || x != std::floor(x))
            throw std::invalid_argument(std::string("a ") + k.name + " pixel is a whole number from " +
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
    case IMAGE_RGBA:
        for (int i = 0; i < k.channels; ++i) check(v[i], 0, 255), out[i] = static_cast<uint8_t>(v[i]);
        break;
    case IMAGE_GRAY16:
    case IMAGE_RGB16:
    case IMAGE_RGBA16:
        for (int i = 0; i < k.channels; ++i) {
            check(v[i], 0, 65535);
            const auto s = static_cast<uint16_t>(v[i]);
            std::memcpy(out + 2 * i, &s, 2);
        }
        break;
    default:
        for (int i = 0; i < 3; ++i) {
            const auto f = static_cast<float>(v[i]);
            std::memcpy(out + 4 * i, &f, 4);
        }
    }
}

std::unique_ptr<Image> new_image(int64_t width, int64_t height, const std::string &kind, int64_t xoffset,
                                 int64_t yoffset) {
    const auto &k = kind_named(kind);
    if (width <= 0 || height <= 0) throw std::invalid_argument("an image needs a positive width and height");
    if (width > INT32_MAX || height > INT32_MAX || xoffset < INT32_MIN || yoffset < INT32_MIN ||
        xoffset + width - 1 > INT32_MAX || yoffset + height - 1 > INT32_MAX)
        throw std::overflow_error("the image's indices do not fit in 32 bits");
    return held(tessera::any_image(k.tag, static_cast<int32_t>(width), static_cast<int32_t>(height),
                                   static_cast<int32_t>(xoffset), static_cast<int32_t>(yoffset)));
}

// The element kind an array holds: by dtype and shape, or as asked.
const kind_info &kind_for_array(const py::array &a, const std::optional<std::string> &kind) {
    const int ndim = static_cast<int>(a.ndim());
    const bool three = ndim == 3 && a.shape(2) == 3, four = ndim == 3 && a.shape(2) == 4;
    if (ndim != 2 && !three && !four)
        throw std::invalid_argument(
            "an image array has shape (height, width), (height, width, 3) or (height, width, 4)");
    const char code = a.dtype().kind();
    const auto size = a.dtype().itemsize();
    const char *name = nullptr;
    if (kind) {
        name = kind->c_str();
    } else if (code == 'b' && !three) {
        name = "binary";
    } else if (code == 'u' && size == 1) {
        name = four ? "rgba" : three ? "rgb" : "gray";
    } else if (code == 'u' && size == 2) {
        name = four ? "rgba16" : three ? "rgb16" : "gray16";
    } else if (four) {
        throw py::type_error("four channels are RGBA: uint8 or uint16, not " + py::str(a.dtype()).cast<std::string>());
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
        throw py::type_error("no image element type holds an array of dtype " + py::str(a.dtype()).cast<std::string>() +
                             " and this shape");
    }
    const auto &k = kind_named(name);
    const int channels = ndim == 2 ? 1 : static_cast<int>(a.shape(2));
    if (k.channels != channels)
        throw std::invalid_argument(std::string("a ") + k.name + " image needs an array of shape " +
                                    (k.channels == 1   ? "(height, width)"
                                     : k.channels == 3 ? "(height, width, 3)"
                                                       : "(height, width, 4)"));
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
            throw py::type_error(std::string("wrapping as ") + k.name + " needs an array of dtype " +
                                 py::str(py::object(want)).cast<std::string>());
        if (!(a.flags() & py::array::c_style)) throw std::invalid_argument("only a C-contiguous array can be wrapped");
        // The library reads the memory as native, aligned values.
        if (!a.dtype().attr("isnative").cast<bool>())
            throw std::invalid_argument(
                "only an array in the machine's byte order can be wrapped (use astype to copy)");
        if (reinterpret_cast<uintptr_t>(a.data()) % k.channel_size != 0)
            throw std::invalid_argument("only an aligned array can be wrapped (copy it first)");
        if (!a.writeable()) throw std::invalid_argument("only a writeable array can be wrapped");
    }
    if (width <= 0 || height <= 0) throw std::invalid_argument("an image needs a positive width and height");
    if (width > INT32_MAX || height > INT32_MAX || xoffset < INT32_MIN || yoffset < INT32_MIN ||
        xoffset + width - 1 > INT32_MAX || yoffset + height - 1 > INT32_MAX)
        throw std::overflow_error("the image's indices do not fit in 32 bits");
    if (wrap) {
        auto image = held(tessera::any_image::wrap(k.tag, a.mutable_data(), static_cast<int32_t>(width),
                                                   static_cast<int32_t>(height), static_cast<int32_t>(xoffset),
                                                   static_cast<int32_t>(yoffset)));
        image->keep = a;
        return image;
    }
    auto image = new_image(width, height, k.name, xoffset, yoffset);
    py::array converted = py::array::ensure(a, py::array::c_style | py::array::forcecast);
    converted = converted.attr("astype")(want, py::arg("copy") = false).cast<py::array>();
    converted = py::array::ensure(converted, py::array::c_style);
    const auto row = static_cast<std::size_t>(width) * image->elem_size();
    const auto *src = static_cast<const char *>(converted.data());
    for (int64_t y = 0; y < height; ++y)
        std::memcpy(origin(*image) + y * row_stride(*image), src + static_cast<std::size_t>(y) * row, row);
    return image;
}

struct rect {
    int64_t left, top, width, height;
};

void require_inside(const Image &self, rect r, const char *what) {
    if (r.width <= 0 || r.height <= 0)
        throw std::invalid_argument(std::string(what) + ": width and height must be positive");
    if (!self.im.contains(r.left, r.top) || !self.im.contains(r.left + r.width - 1, r.top + r.height - 1))
        throw std::out_of_range(std::string(what) + ": the rectangle at (" + std::to_string(r.left) + ", " +
                                std::to_string(r.top) + ") of " + std::to_string(r.width) + " x " +
                                std::to_string(r.height) + " does not lie inside the image");
}

tessera::io::load_options load_options_of(std::tuple<int, int, int> background, const std::string &depth,
                                          std::optional<uint64_t> max_pixels, std::optional<uint64_t> max_bytes) {
    tessera::io::load_options o;
    o.background = colour_of(py::make_tuple(std::get<0>(background), std::get<1>(background), std::get<2>(background)),
                             "background");
    if (depth != "own" && depth != "reduce" && depth != "keep" && depth != "raw")
        throw std::invalid_argument(
            "depth is 'own' (alpha and 16 bits kept), 'reduce' (8 bits, alpha over the background), 'keep' or 'raw'");
    o.depth = depth == "keep"     ? tessera::io::depth::keep
              : depth == "raw"    ? tessera::io::depth::raw
              : depth == "reduce" ? tessera::io::depth::reduce
                                  : tessera::io::depth::own;
    if (max_pixels && *max_pixels == 0) throw std::invalid_argument("max_pixels must be positive");
    o.max_pixels = max_pixels.value_or(0);
    if (max_bytes && *max_bytes == 0) throw std::invalid_argument("max_bytes must be positive");
    o.max_bytes = max_bytes.value_or(0);
    return o;
}

// Loads from a path or a binary file object (read whole, then decoded from memory), through the
// C++ face: its exceptions are what the translator turns into Python's.
tessera::any_image load_image(const py::handle &target, const tessera::io::load_options &o, tessera_io_info *info) {
    if (is_path(target)) {
        const std::string name = path_of(target);
        py::gil_scoped_release release;
        return tessera::io::load(name, o, info);
    } else {
        if (!py::hasattr(target, "read"))
            throw py::type_error("expected a path, an os.PathLike or a binary file object with read()");
        py::object data = target.attr("read")();
        if (!py::isinstance<py::bytes>(data)) throw py::type_error("the file object must be opened in binary mode");
        char *bytes = nullptr;
        py::ssize_t size = 0;
        PyBytes_AsStringAndSize(data.ptr(), &bytes, &size);
        py::gil_scoped_release release;
        return tessera::io::load_memory(
            std::span(reinterpret_cast<const unsigned char *>(bytes), static_cast<std::size_t>(size)), o, info);
    }
}

// The blocks of a file's metadata as a dict of bytes ("icc", "exif", "xmp"; those it has).
py::dict metadata_dict(const tessera::io::metadata &m) {
    py::dict d;
    const auto put = [&](const char *key, std::span<const unsigned char> b) {
        if (!b.empty()) d[key] = py::bytes(reinterpret_cast<const char *>(b.data()), b.size());
    };
    put("icc", m.icc()), put("exif", m.exif()), put("xmp", m.xmp());
    return d;
}

// A dict of bytes like metadata_dict's as blocks to write; TypeError or ValueError for others.
void metadata_of(const py::handle &given, tessera::io::metadata &m) {
    if (given.is_none()) return;
    if (!py::isinstance<py::dict>(given)) throw py::type_error("metadata is a dict of bytes: 'icc', 'exif', 'xmp'");
    tessera_io_metadata *c = m.get();
    for (const auto &[key, value] : py::reinterpret_borrow<py::dict>(given)) {
        const std::string k = py::str(key);
        if (k != "icc" && k != "exif" && k != "xmp")
            throw std::invalid_argument("metadata has 'icc', 'exif' and 'xmp', not '" + k + "'");
        if (!py::isinstance<py::bytes>(value)) throw py::type_error("metadata['" + k + "'] must be bytes");
        const std::string_view b = py::reinterpret_borrow<py::bytes>(value);
        if (b.empty()) continue;
        void *copy = std::malloc(b.size());
        if (!copy) throw tessera::out_of_memory("out of memory for the metadata");
        std::memcpy(copy, b.data(), b.size());
        void *&to = k == "icc" ? c->icc : k == "exif" ? c->exif : c->xmp;
        std::size_t &size = k == "icc" ? c->icc_size : k == "exif" ? c->exif_size : c->xmp_size;
        std::free(to);
        to = copy, size = b.size();
    }
}

// colorspace= of load() and read(): None, or "srgb".
bool to_srgb(const std::optional<std::string> &colorspace) {
    if (colorspace && *colorspace != "srgb") throw std::invalid_argument("colorspace is None or 'srgb'");
    return colorspace.has_value();
}

std::unique_ptr<Image> load(const py::handle &target, std::tuple<int, int, int> background, const std::string &depth,
                            std::optional<uint64_t> max_pixels, std::optional<uint64_t> max_bytes,
                            bool keep_orientation, const std::optional<std::string> &colorspace) {
    tessera::io::load_options o = load_options_of(background, depth, max_pixels, max_bytes);
    o.keep_orientation = keep_orientation;
    o.to_srgb = to_srgb(colorspace);
    tessera::io::metadata m;
    o.metadata = &m;
    std::unique_ptr<Image> im = held(load_image(target, o, nullptr));
    im->metadata = metadata_dict(m);
    return im;
}

// A thumbnail fitting within width x height, shrunk as it is loaded where the format allows.
std::unique_ptr<Image> thumbnail(const py::handle &target, std::optional<int32_t> width, std::optional<int32_t> height,
                                 const std::string &filter, std::tuple<int, int, int> background,
                                 std::optional<uint64_t> max_pixels, std::optional<uint64_t> max_bytes,
                                 bool keep_orientation, const std::optional<std::string> &colorspace, bool exact) {
    if ((width && *width < 1) || (height && *height < 1) || (!width && !height))
        throw std::invalid_argument("thumbnail needs a width or a height of at least 1");
    int f = tessera_filter_named(filter.c_str());
    if (f < 0)
        throw std::invalid_argument("unknown filter '" + filter + "' (nearest, box, bilinear, bicubic, lanczos3)");
    if (exact) f |= TESSERA_EXACT;
    tessera::io::load_options o = load_options_of(background, "own", max_pixels, max_bytes);
    o.keep_orientation = keep_orientation;
    o.to_srgb = to_srgb(colorspace);
    tessera::io::metadata m;
    o.metadata = &m;
    source s;
    open_source(target, s);
    std::optional<tessera::any_image> im;
    {
        py::gil_scoped_release release;
        im = tessera::io::thumbnail(s.path, width.value_or(0), height.value_or(0), f, o);
    }
    std::unique_ptr<Image> held_im = held(std::move(*im));
    held_im->metadata = metadata_dict(m);
    return held_im;
}

// What a load would find, from the file's header alone.
py::dict probe(const py::handle &target, std::tuple<int, int, int> background, const std::string &depth) {
    tessera::io::load_options o = load_options_of(background, depth, std::nullopt, std::nullopt);
    o.keep_orientation = true;
    tessera::io::metadata m;
    o.metadata = &m;
    source s;
    open_source(target, s);
    tessera_io_info info{};
    uint16_t tag = 0;
    {
        py::gil_scoped_release release;
        tag = tessera::io::probe(s.path, o, &info);
    }
    py::dict d;
    d["format"] = info.format->name;
    d["kind"] = kind_of_tag(tag).name;
    d["width"] = info.width, d["height"] = info.height;
    d["channels"] = info.channels, d["alpha"] = info.alpha != 0, d["bits"] = info.bits;
    d["maxval"] = info.maxval ? py::object(py::int_(info.maxval)) : py::none();
    d["orientation"] = info.orientation ? py::object(py::int_(info.orientation)) : py::none();
    d["metadata"] = metadata_dict(m);
    return d;
}

// The file's samples as an array of the image's own kind: uint8 or uint16, (h, w), (h, w, 3) or
// (h, w, 4) with alpha; signed and floating-point TIFF samples as their numeric kinds.
py::array read(const py::handle &target, std::tuple<int, int, int> background, std::optional<uint64_t> max_pixels,
               std::optional<uint64_t> max_bytes, bool keep_orientation, const std::optional<std::string> &colorspace) {
    tessera::io::load_options o = load_options_of(background, "own", max_pixels, max_bytes);
    o.keep_orientation = keep_orientation;
    o.to_srgb = to_srgb(colorspace);
    tessera::any_image im = load_image(target, o, nullptr);
    return py::array(py::cast(held(std::move(im)))).attr("copy")();
}

// A block of encoded bytes from the io library, released with the last object that refers to it.
struct Encoded {
    void *data;
    std::size_t size;
    Encoded(void *d, std::size_t n) : data(d), size(n) {}
    Encoded(Encoded &&o) noexcept : data(std::exchange(o.data, nullptr)), size(o.size) {}
    Encoded(const Encoded &) = delete;
    Encoded &operator=(const Encoded &) = delete;
    Encoded &operator=(Encoded &&) = delete;
    ~Encoded() { std::free(data); }
};

// The options of a save, checked: depth 8 or 16, quality 1 to 100, compression a level or "lzw".
tessera::io::save_options save_options_of(std::optional<int> depth, std::optional<int> quality,
                                          const py::object &compression, bool lossless) {
    tessera::io::save_options o;
    if (depth) {
        if (*depth != 8 && *depth != 16) throw std::invalid_argument("depth is 8 or 16");
        o.depth = *depth;
    }
    if (quality) {
        if (*quality < 1 || *quality > 100) throw std::invalid_argument("quality goes from 1 to 100");
        o.quality = *quality;
    }
    if (py::isinstance<py::str>(compression) && compression.cast<std::string>() == "lzw") {
        o.compression = TESSERA_IO_LZW;
    } else if (!compression.is_none()) {
        if (!py::isinstance<py::int_>(compression) || py::isinstance<py::bool_>(compression))
            throw py::type_error("compression is a level from 0 to 9, or 'lzw' for TIFF");
        const long level = compression.cast<long>();
        if (level < 0 || level > 9) throw std::invalid_argument("compression goes from 0 to 9, or 'lzw' for TIFF");
        o.compression = static_cast<int>(level);
    }
    o.lossless = lossless;
    return o;
}

// From one image file to another through a crop, a resize, a turn, a mirror and a change of
// kind, row by row where the formats allow.
void pipeline(const py::handle &source, const py::handle &target,
              std::optional<std::tuple<int32_t, int32_t, int32_t, int32_t>> crop, std::optional<int32_t> width,
              std::optional<int32_t> height, const std::string &filter, int32_t rotate, bool mirror,
              const std::optional<std::string> &kind, std::optional<std::string> format, std::optional<int> quality,
              const py::object &compression, bool lossless, bool strip, std::optional<uint64_t> max_pixels,
              std::optional<uint64_t> max_bytes, bool keep_orientation, bool exact) {
    if (!is_path(source) || !is_path(target))
        throw py::type_error("pipeline reads and writes paths (str or os.PathLike)");
    tessera::io::steps s{};
    if (crop) std::tie(s.crop_left, s.crop_top, s.crop_width, s.crop_height) = *crop;
    if (crop && (s.crop_width < 1 || s.crop_height < 1))
        throw std::invalid_argument("crop is (left, top, width, height) with a width and a height of at least 1");
    if ((width && *width < 1) || (height && *height < 1))
        throw std::invalid_argument("width and height are at least 1");
    s.width = width.value_or(0), s.height = height.value_or(0);
    s.filter = tessera_filter_named(filter.c_str());
    if (s.filter < 0)
        throw std::invalid_argument("unknown filter '" + filter + "' (nearest, box, bilinear, bicubic, lanczos3)");
    if (exact) s.filter |= TESSERA_EXACT;
    if (rotate && !tessera_rotation_allowed(rotate))
        throw std::invalid_argument("rotate is 90, 180 or 270 (clockwise; negative: anticlockwise)");
    s.degrees = rotate, s.mirror = mirror ? 1 : 0;
    if (kind) s.tag = static_cast<uint16_t>(kind_named(*kind).tag);
    const tessera_io_format *f = nullptr;
    if (format && (!(f = tessera_io_format_named(format->c_str())) || !f->writes))
        throw std::invalid_argument("unknown format '" + *format + "' (" + tessera_io_format_names() + ")");
    tessera::io::load_options lo = load_options_of({0, 0, 0}, "own", max_pixels, max_bytes);
    lo.keep_orientation = keep_orientation;
    tessera::io::save_options so = save_options_of(std::nullopt, quality, compression, lossless);
    const tessera::io::metadata none;
    if (strip) so.metadata = &none;
    const std::string in = path_of(source), out = path_of(target);
    py::gil_scoped_release release;
    tessera::io::pipeline(in, out, s, lo, so, f);
}

void save_image(Image &self, const py::handle &target, std::optional<std::string> format, std::optional<int> depth,
                std::optional<int> quality, const py::object &compression, bool lossless, bool strip) {
    const tessera_io_format *f = nullptr;
    if (format) {
        f = tessera_io_format_named(format->c_str());
        if (!f || !f->writes)
            throw std::invalid_argument("unknown format '" + *format + "' (" + tessera_io_format_names() + ")");
    } else if (is_path(target)) {
        const std::string p = path_of(target);
        f = tessera_io_format_of_path(p.c_str());
        if (!f || !f->writes)
            throw std::invalid_argument("cannot tell the format from the name '" + p + "' (" +
                                        tessera_io_format_names() + ")");
    } else {
        f = own_format(self.h().tag);
    }
    tessera::io::save_options o = save_options_of(depth, quality, compression, lossless);
    if (!tessera_io_saves(f, static_cast<uint16_t>(self.h().tag), o.depth))
        throw std::invalid_argument(tessera_io_last_error());
    tessera::io::metadata carried;
    if (!strip && self.metadata) metadata_of(self.metadata, carried);
    o.metadata = &carried;
    if (is_path(target)) {
        const std::string path = path_of(target);
        locked(self, [&](const tessera::any_image &im) { tessera::io::save(im, path, f, o); });
        return;
    }
    if (!py::hasattr(target, "write"))
        throw py::type_error("expected a path, an os.PathLike or a binary file object with write()");
    if (const auto writer = file_writer::of(target)) {
        const auto [saved, closed] = locked(self, [&](const tessera::any_image &im) {
            FILE *out = writer->open();
            if (!out) throw std::bad_alloc();
            const tessera_io_save_options c = tessera::io::detail::c_options(o);
            const bool encoded = tessera_io_save_file(im.get(), out, f, &c) == 0;
            return std::pair{encoded, writer->close()};
        });
        writer->finish(saved && closed);
        if (!saved) tessera::io::detail::raise("", {});
        if (!closed) throw tessera::file_error("", "", "cannot write the end of the file", EIO);
        return;
    }
    void *data = nullptr;
    std::size_t size = 0;
    locked(self, [&](const tessera::any_image &im) {
        const tessera_io_save_options c = tessera::io::detail::c_options(o);
        if (tessera_io_save_memory(im.get(), f, &c, &data, &size) != 0) tessera::io::detail::raise("", {});
    });
    {
        // The file object gets a read-only view of the encoded bytes without a copy; the view owns
        // them, so a file object that keeps it (a list of chunks, a queued writer) reads them safely
        // for as long as it likes.
        py::object bytes = py::cast(Encoded{data, size});
        target.attr("write")(py::memoryview(bytes));
        if (py::hasattr(target, "flush")) target.attr("flush")();
    }
}

} // namespace

void init_image(py::module_ &m) {
    py::class_<Encoded>(m, "_Encoded", py::buffer_protocol(), "Encoded file bytes owned by their views.")
        .def_buffer([](Encoded &e) {
            return py::buffer_info(e.data, 1, py::format_descriptor<unsigned char>::format(),
                                   static_cast<py::ssize_t>(e.size), true);
        });
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
                                   py::tuple t = s.kind().channels > 1
                                                     ? py::make_tuple(s.h().height, s.h().width, s.kind().channels)
                                                     : py::make_tuple(s.h().height, s.h().width);
                                   return t;
                               })
        .def_property_readonly(
            "wrapped", [](const Image &s) { return s.h().wrapped; }, "Whether the image uses a numpy array's memory.")
        .def_property(
            "comment",
            // under the image's lock: a save on another thread may be reading it
            [](Image &s) { return locked(s, [](const tessera::any_image &im) { return std::string(im.comment()); }); },
            [](Image &s, const std::string &text) {
                if (text.find('\0') != std::string::npos) throw std::invalid_argument("a comment with a NUL character");
                locked(s, [&](tessera::any_image &im) { im.set_comment(text); });
            },
            "The comment of the file the image came from (saved with it).")
        .def(
            "at",
            [](const Image &s, int64_t x, int64_t y) {
                if (s.c() && !s.im.contains(x, y))
                    throw std::out_of_range("(" + std::to_string(x) + ", " + std::to_string(y) +
                                            ") lies outside the image");
                return value_at(s, static_cast<const char *>(s.c()->data[y]) +
                                       static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(s.elem_size()));
            },
            py::arg("x"), py::arg("y"), "The pixel at column x, row y, in the image's own coordinates.")
        .def(
            "set",
            [](Image &s, int64_t x, int64_t y, py::handle value) {
                if (s.c() && !s.im.contains(x, y))
                    throw std::out_of_range("(" + std::to_string(x) + ", " + std::to_string(y) +
                                            ") lies outside the image");
                unsigned char e[16];
                element_of(s, value, e);
                std::memcpy(static_cast<char *>(s.c()->data[y]) +
                                static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(s.elem_size()),
                            e, s.elem_size());
            },
            py::arg("x"), py::arg("y"), py::arg("value"), "Sets the pixel at column x, row y.")
        .def(
            "dup", [](Image &s) { return held(locked(s, [](const tessera::any_image &im) { return im.dup(); })); },
            "An independent copy.")
        .def(
            "crop",
            [](Image &s, int64_t left, int64_t top, int64_t width, int64_t height) {
                require_inside(s, {left, top, width, height}, "crop");
                return held(locked(s, [&](const tessera::any_image &im) {
                    return im.crop({static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(width),
                                    static_cast<int32_t>(height)});
                }));
            },
            py::arg("left"), py::arg("top"), py::arg("width"), py::arg("height"),
            "A new image of the rectangle at (left, top), in image coordinates; it keeps those offsets.")
        .def(
            "crop_into",
            [](Image &s, Image &into, int64_t left, int64_t top, int64_t to_left, int64_t to_top, int64_t width,
               int64_t height) {
                if (into.h().tag != s.h().tag)
                    throw py::type_error(std::string("crop_into needs an image of the same kind (") + s.kind().name +
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
                if (!copied) tessera::detail::raise("crop_into");
            },
            py::arg("into"), py::arg("left"), py::arg("top"), py::arg("to_left"), py::arg("to_top"), py::arg("width"),
            py::arg("height"), "Copies the rectangle at (left, top) into `into` at (to_left, to_top).")
        .def(
            "border",
            [](Image &s, int64_t n) {
                if (n < 0) throw std::invalid_argument("the border must not be negative");
                // compared before doubling: 2 * n of a huge n would overflow
                if (n > (INT32_MAX - s.h().width) / 2 || n > (INT32_MAX - s.h().height) / 2)
                    throw std::overflow_error("the bordered image would not fit 32-bit sizes");
                return held(
                    locked(s, [&](const tessera::any_image &im) { return im.border(static_cast<int32_t>(n)); }));
            },
            py::arg("n"), "A new image with n pixels of 0 around this one (offsets 0).")
        .def(
            "scale",
            [](Image &s, int64_t width, int64_t height) {
                if (width <= 0 || height <= 0) throw std::invalid_argument("scale needs a positive width and height");
                if (width > INT32_MAX || height > INT32_MAX) throw std::overflow_error("sizes must fit 32 bits");
                return held(locked(s, [&](const tessera::any_image &im) {
                    return im.scale(static_cast<int32_t>(width), static_cast<int32_t>(height));
                }));
            },
            py::arg("width"), py::arg("height"), "A new image resampled to width x height by nearest neighbour.")
        .def(
            "resize",
            [](Image &s, std::optional<int64_t> width, std::optional<int64_t> height, const std::string &filter,
               bool exact) {
                const int f = tessera_filter_named(filter.c_str());
                if (f < 0) throw std::invalid_argument("unknown filter '" + filter + "' (" + filter_names() + ")");
                if (!width && !height) throw std::invalid_argument("resize needs a width, a height or both");
                if ((width && *width <= 0) || (height && *height <= 0))
                    throw std::invalid_argument("resize needs a positive width and height");
                if ((width && *width > INT32_MAX) || (height && *height > INT32_MAX))
                    throw std::overflow_error("sizes must fit 32 bits");
                // the library's rule for a side left out: the aspect kept, halves rounded up
                int32_t w = 0, h = 0;
                if (tessera_resize_size(s.h().width, s.h().height, width.value_or(0), height.value_or(0), &w, &h) != 0)
                    throw std::overflow_error(tessera_last_error());
                return held(locked(s, [&](const tessera::any_image &im) {
                    return im.resize(w, h, static_cast<tessera::filter>(f), exact);
                }));
            },
            py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("filter") = "bicubic", py::kw_only(),
            py::arg("exact") = false,
            R"(A new image resampled to width x height (offsets 0); leave one out to keep the aspect.

Samples sit at pixel centres. filter is 'nearest', 'box' (the area average), 'bilinear',
'bicubic' (Keys, a = -0.5) or 'lanczos3', widened when shrinking so that nothing aliases;
whole-number kinds are rounded and clamped. docs/geometry.md defines every value; 8-bit gray
and RGB samples are within 1 of it (computed in fixed point, several times faster) unless
exact is true.)")
        .def(
            "flip_horizontal",
            [](Image &s) { return held(locked(s, [](const tessera::any_image &im) { return im.flip_horizontal(); })); },
            "A new image mirrored left to right (offsets kept).")
        .def(
            "flip_vertical",
            [](Image &s) { return held(locked(s, [](const tessera::any_image &im) { return im.flip_vertical(); })); },
            "A new image mirrored top to bottom (offsets kept).")
        .def(
            "rotate",
            [](Image &s, int64_t degrees) {
                if (!tessera_rotation_allowed(degrees))
                    throw std::invalid_argument("rotate turns by 90, 180 or 270 degrees (negative: anticlockwise)");
                return held(
                    locked(s, [&](const tessera::any_image &im) { return im.rotate(static_cast<int32_t>(degrees)); }));
            },
            py::arg("degrees"),
            "A new image turned clockwise by 90, 180 or 270 degrees; a quarter turn swaps the offsets.\n\n"
            "numpy.rot90(a, k) turns anticlockwise: rotate(90) equals numpy.rot90(a, -1).")
        .def(
            "transpose",
            [](Image &s) { return held(locked(s, [](const tessera::any_image &im) { return im.transpose(); })); },
            "A new image with pixel (x, y) at (y, x); the offsets swap.")
        .def(
            "over",
            [](Image &top, Image &bottom) {
                return held(locked_pair(top, bottom, [](const tessera::any_image &t, const tessera::any_image &b) {
                    return b.overlaid(t);
                }));
            },
            py::arg("bottom"),
            R"(A new image of bottom's kind, size and offsets with this one laid over it by alpha
("over"): pixel (x, y) of each, in their own indices, meet (offsets place this image). Both are
rgb or rgba, or both rgb16 or rgba16; a kind without alpha is opaque. Alpha is at + ab (1 - at)
and each colour (ct at + cb ab (1 - at)) / alpha, alphas as fractions of the largest sample.)")
        .def(
            "fill",
            [](Image &s, py::handle value) {
                unsigned char e[16];
                element_of(s, value, e);
                locked(s, [&](tessera::any_image &im) { im_Init_(im.get(), im.get()->header, e); });
            },
            py::arg("value"), "Sets every pixel to value.")
        .def(
            "extrema",
            [](Image &s) {
                alignas(8) unsigned char mx[16], mn[16];
                locked(s, [&](const tessera::any_image &im) { im_MaxAndMin_(im.get(), im.get()->header, mx, mn); });
                return py::make_tuple(value_at(s, mn), value_at(s, mx));
            },
            "(minimum, maximum), channel by channel for three-channel kinds.")
        .def(
            "set_offset",
            [](Image &s, int64_t x, int64_t y) {
                if (x < INT32_MIN || y < INT32_MIN || x + s.h().width - 1 > INT32_MAX ||
                    y + s.h().height - 1 > INT32_MAX)
                    throw std::overflow_error("the image's indices would not fit in 32 bits");
                locked(s, [&](tessera::any_image &im) {
                    im_SetOffset_(im.get(), im.get()->header, static_cast<int32_t>(x), static_cast<int32_t>(y));
                });
            },
            py::arg("xoffset"), py::arg("yoffset"), "Re-indexes the image; no pixel moves.")
        .def(
            "convert",
            [](Image &s, const std::string &kind, bool normalize) {
                const auto &k = kind_named(kind);
                return held(locked(s, [&](const tessera::any_image &im) {
                    auto out = tessera::any_image::adopt(tessera_io_convert(im.get(), k.tag, normalize));
                    if (!out.valid()) {
                        const std::string why = std::string("convert: ") + tessera_io_last_error();
                        const int code = tessera_io_last_error_code();
                        if (code == TESSERA_ERROR_MEMORY) throw tessera::out_of_memory(why);
                        throw tessera::error(why, static_cast<tessera::failure>(code));
                    }
                    return out;
                }));
            },
            py::arg("kind"), py::arg("normalize") = false,
            R"(A new image of another kind, converted as `tessera convert` does: set binary pixels are
black (0), clear ones white (255), values below 128 become set pixels; colours become gray by
luma; numbers are rounded and clamped, or with normalize=True a numeric image's range is
mapped onto 0..255.)")
        .def("save", &save_image, py::arg("target"), py::arg("format") = py::none(), py::kw_only(),
             py::arg("depth") = py::none(), py::arg("quality") = py::none(), py::arg("compression") = py::none(),
             py::arg("lossless") = false, py::arg("strip") = false,
             R"(Writes the image to a path, os.PathLike or binary file object.

The format is `format` (a name of tessera.formats()), else the path's extension, else (for
file objects) the image's own. rgba images keep their alpha (png, pam, tiff); gray16, rgb16
and rgba16 ones their 16 bits where the format holds them (png, pgm, ppm, pnm, pam, tiff;
else 8 bits: v / 257, rounded). int, short, float and double images (and float3 ones in
colour) are written with 16-bit samples with depth=16; depth=8 or 16 chooses. quality is JPEG's and WebP's (1..100, default 90), and lossless=True makes WebP lossless; compression is PNG's
zlib level (0..9, default 6) or TIFF's deflate level (none by default; "lzw": LZW). The image's metadata
(its ICC profile, EXIF and XMP) is written where the format holds it, unless strip=True. A
path is written safely: a temporary file renamed into place, links and FIFOs written through.
A file object that can seek and stands at its end (a BytesIO, a file) is written as the encoder
goes, and cut back to where it stood if the save fails; any other gets the whole file in one
write(), or nothing. write() may use what it is given only while it runs.)")
        .def_property(
            "metadata",
            [](const Image &s) -> py::object {
                s.c();
                return s.metadata ? s.metadata : py::none();
            },
            [](Image &s, const py::object &m) {
                s.c();
                tessera::io::metadata check;
                metadata_of(m, check);
                s.metadata = m.is_none() ? py::object() : py::object(py::dict(m));
            },
            R"(What the file the image was loaded from carries beside its pixels: a dict of bytes,
'icc' (the ICC profile), 'exif' (EXIF from its byte-order mark on, as PNG's eXIf holds it)
and 'xmp' (the XMP packet), with the keys the file has; None for images not loaded from a
file (and for those an operation made). An EXIF orientation the load applied reads 1. save()
writes it; set it to carry other blocks, or to None.)")
        .def("__repr__", [](const Image &s) {
            return "<tessera.Image " + std::string(s.kind().name) + " " + std::to_string(s.h().width) + " x " +
                   std::to_string(s.h().height) + " at (" + std::to_string(s.h().xoffset) + ", " +
                   std::to_string(s.h().yoffset) + ")>";
        });

    m.def("load", &load, py::arg("source"), py::arg("background") = std::make_tuple(0, 0, 0), py::kw_only(),
          py::arg("depth") = "own", py::arg("max_pixels") = py::none(), py::arg("max_bytes") = py::none(),
          py::arg("keep_orientation") = false, py::arg("colorspace") = py::none(),
          R"(Loads an image from a path, os.PathLike or binary file object.

The image is turned upright by the file's EXIF or TIFF orientation (as Pillow's
ImageOps.exif_transpose does) unless keep_orientation=True, which gives the pixels as stored.
colorspace="srgb" converts the colours from what the file's ICC profile says they are to sRGB
(CMYK JPEGs too; perceptual intent, Little CMS, as ImageCms.profileToProfile does); the
image's metadata then holds the sRGB profile. A file without a profile is taken as sRGB.

Reads every format of tessera.formats(), found from the file's first bytes, as the file has
it (depth="own"): alpha kept (rgba; gray with alpha too) and samples deeper than 8 bits kept
as 16 (gray16, rgb16, rgba16), other maximum values scaled to 255 or 65535. depth="reduce"
rounds samples to 8 bits and composites alpha over background; depth="keep" keeps deep
samples as numbers (an int image for gray, float3b for colour); depth="raw" also keeps 8-bit
samples of a smaller maximum value as stored (a PGM of maximum 100 gives 0..100: label
images). Images
whose pixels take more than max_bytes (default tessera.budget(), 1 GiB unless set), or whose
decoding needs more than as much again beside them, are refused before anything is allocated;
max_pixels, when given, also bounds the pixels. Raises tessera.FileError with the reason.)");
    m.def("thumbnail", &thumbnail, py::arg("source"), py::arg("width") = py::none(), py::arg("height") = py::none(),
          py::kw_only(), py::arg("filter") = "bicubic", py::arg("background") = std::make_tuple(0, 0, 0),
          py::arg("max_pixels") = py::none(), py::arg("max_bytes") = py::none(), py::arg("keep_orientation") = false,
          py::arg("colorspace") = py::none(), py::arg("exact") = false,
          R"(A thumbnail of the image file: loaded as load() does (turned upright, the file's own
type), then shrunk with filter and exact (resize's) to fit within width x height, its aspect kept; a
side left out is unbounded, and a picture within the box keeps its size. A JPEG is decoded at
1/2, 1/4 or 1/8 of its size when that still covers the box, which takes a fraction of the time
and memory and differs a little from load() followed by resize() (see docs/formats.md).
Raises tessera.FileError, or ValueError for a box without a side.)");
    m.def("pipeline", &pipeline, py::arg("source"), py::arg("target"), py::kw_only(), py::arg("crop") = py::none(),
          py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("filter") = "bicubic",
          py::arg("rotate") = 0, py::arg("mirror") = false, py::arg("kind") = py::none(),
          py::arg("format") = py::none(), py::arg("quality") = py::none(), py::arg("compression") = py::none(),
          py::arg("lossless") = false, py::arg("strip") = false, py::arg("max_pixels") = py::none(),
          py::arg("max_bytes") = py::none(), py::arg("keep_orientation") = false, py::arg("exact") = false,
          R"(Reads the image file at source, crops it to crop (left, top, width, height), resizes it to
width x height with filter and exact as resize() has them (a side left out keeps the aspect), turns it clockwise by rotate
degrees, mirrors it left to right, converts it to kind, and writes it at target as write()
does, with the file's profile, EXIF and XMP unless strip. The file is what read(), the
Image methods and write() give one after another, byte for byte; but where the formats allow
(PNG not interlaced, JPEG, TIFF, PAM, uncompressed BMP, and raw PBM, PGM and PPM without a
comment in; TIFF, JPEG and PAM out) the picture is never whole (a quarter turn goes through a
temporary file of tiles): memory is set by its width, and max_bytes and max_pixels bound only
what must be whole. Paths only. Raises tessera.FileError, or ValueError for wrong steps.)");
    m.def("probe", &probe, py::arg("source"), py::arg("background") = std::make_tuple(0, 0, 0), py::kw_only(),
          py::arg("depth") = "own",
          R"(What load(source, background, depth=depth) would find, from the file's header alone: no
pixel is decoded and no limit applies, so a file too large to load, or whose pixel data is
damaged or short, is described all the same. A dict: format (a name of tessera.formats()), kind
(the image's element kind), width and height as stored, channels (1 or 3), alpha, bits (a
sample in the file), maxval (None for floating-point samples), orientation (the EXIF or TIFF
orientation load turns by, None when the file has none; 5 to 8 swap width and height), and
metadata (as Image.metadata). A GIF's alpha is whether its frame has a transparent colour; a
load gives alpha only when a pixel of it is transparent. Raises tessera.FileError.)");
    m.def("read", &read, py::arg("source"), py::arg("background") = std::make_tuple(0, 0, 0), py::kw_only(),
          py::arg("max_pixels") = py::none(), py::arg("max_bytes") = py::none(), py::arg("keep_orientation") = false,
          py::arg("colorspace") = py::none(),
          R"(The pixels of an image file as a numpy array, as the file has them: uint8 or uint16
(samples of 9 to 16 bits), of shape (h, w), (h, w, 3) or (h, w, 4) with alpha (gray with
alpha gives four channels); int16 or int32 for signed TIFF samples, float64 for 32-bit
unsigned ones; turned upright by the file's orientation unless keep_orientation=True. The
limits and colorspace= are load's.)");
    m.def(
        "set_budget", [](uint64_t bytes) { return tessera_set_budget(bytes); }, py::arg("bytes"),
        R"(Sets the budget of results for the whole process and returns the one it replaces: resize, scale,
border, crop, rendering and loads refuse images whose pixels take more bytes (tessera.Error,
before anything is allocated). 0 restores the default, 1 GiB.)");
    m.def(
        "budget", [] { return tessera_budget(); }, R"(The budget of results in bytes (see set_budget).)");
    {
        py::list formats;
        for (std::size_t i = 0; i < tessera_io_format_count(); ++i) {
            const tessera_io_format *f = tessera_io_format_at(i);
            formats.append(py::make_tuple(f->name, f->extensions, f->description, f->writes != 0));
        }
        m.attr("_formats") = py::tuple(formats);
    }

    {
        auto *type = reinterpret_cast<PyTypeObject *>(image.ptr());
        pybind11_getbuffer = type->tp_as_buffer->bf_getbuffer;
        type->tp_as_buffer->bf_getbuffer = checked_getbuffer;
    }
}

} // namespace tessera::detail::python
