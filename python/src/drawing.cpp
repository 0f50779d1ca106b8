// tessera.Drawing: point lists, their files and their rendering into images.
#include "face.hpp"

#include <tuple>
#include <utility>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace tessera::detail::python {

namespace {

struct Drawing : ZeroedStorage {
    tessera::drawing d;
    std::mutex busy; // held while the library works on the drawing without the GIL

    explicit Drawing(tessera::drawing p) : d(std::move(p)) {}
    Drawing(const Drawing &) = delete;
    Drawing &operator=(const Drawing &) = delete;
    // The drawing; raises TypeError for an object that was never initialised (call with the GIL).
    tessera::drawing &p() {
        if (!d.valid()) never_initialised("Drawing");
        return d;
    }
    const tessera::drawing &p() const { return const_cast<Drawing *>(this)->p(); }
};

// Runs f on the drawing with its lock held and the GIL released, in that order; f must not
// touch Python. The bounds, colour flag and comment never change, so reading them needs neither.
template <class F> auto locked(Drawing &self, F f) {
    tessera::drawing &p = self.p();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(self.busy);
    return f(p);
}

const char *const element_names[] = {"", "point", "line", "ellipse", "fill"};

std::unique_ptr<Drawing> new_drawing(double width, double height, double x, double y, bool color,
                                     const std::string &comment) {
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
        throw std::invalid_argument("a drawing needs a finite positive width and height");
    if (!std::isfinite(x) || !std::isfinite(y)) throw std::invalid_argument("a drawing's corner must be finite");
    if (comment.find('\0') != std::string::npos) throw std::invalid_argument("a comment with a NUL character");
    return std::make_unique<Drawing>(tessera::drawing(static_cast<float>(x), static_cast<float>(y),
                                                      static_cast<float>(width), static_cast<float>(height), color,
                                                      comment));
}

void add_element(Drawing &d, unsigned char type, py::handle colour, double size, double x1, double y1, double x2,
                 double y2) {
    const RGB c = colour_of(colour, "color");
    if (std::isnan(size) || size < 0) throw std::invalid_argument("size must be 0 or more");
    const auto s = static_cast<float>(size);
    const float a = static_cast<float>(x1), b = static_cast<float>(y1), e = static_cast<float>(x2),
                f = static_cast<float>(y2);
    locked(d, [&](tessera::drawing &p) {
        switch (type) {
        case PTL_POINT: p.point(a, b, s, c); break;
        case PTL_LINE: p.line(a, b, e, f, s, c); break;
        case PTL_ELLIPSE: p.ellipse(a, b, e, f, s, c); break;
        default: p.fill(a, b, c);
        }
    });
}

std::unique_ptr<Drawing> load_drawing(const py::handle &target) {
    source s;
    open_source(target, s);
    std::optional<tessera::drawing> p;
    int error;
    {
        py::gil_scoped_release release;
        p = tessera::drawing::try_load(s.path);
        error = errno;
    }
    if (!p) tessera::detail::raise_file("", name_of(target), error);
    return std::make_unique<Drawing>(std::move(*p));
}

void save_drawing(Drawing &d, const py::handle &target) {
    if (is_path(target)) {
        const std::string path = path_of(target);
        const auto [saved, error] = locked(d, [&](const tessera::drawing &p) {
            const bool ok = p.try_save(path);
            return std::pair{ok, errno};
        });
        if (!saved) tessera::detail::raise_file("", path, error);
        return;
    }
    if (!py::hasattr(target, "write"))
        throw py::type_error("expected a path, an os.PathLike or a file object with write()");
    const int fd = memory_file("tessera-drawing");
    const auto [saved, error] = locked(d, [&](const tessera::drawing &p) {
        FILE *f = fdopen(dup(fd), "w");
        const bool ok = f && ptlSaveF(p.get(), f) == 0;
        const bool closed = !f || std::fclose(f) == 0;
        return std::pair{ok && closed, f && closed ? 0 : errno};
    });
    if (!saved) {
        close(fd);
        if (error) throw tessera::file_error("", "", std::strerror(error), error);
        tessera::detail::raise_file("", "", 0);
    }
    // A text file object takes str, a binary one bytes.
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string text(static_cast<std::size_t>(size), '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), 0);
    close(fd);
    if (got != size) throw tessera::file_error("", "", "cannot read back the drawing", 0);
    py::object io = py::module_::import("io");
    if (py::isinstance(target, io.attr("TextIOBase"))) target.attr("write")(py::str(text));
    else target.attr("write")(py::bytes(text));
}

// The scales of a rendering, checked.
std::pair<float, float> scales_of(double scale_x, std::optional<double> scale_y) {
    const double sy = scale_y.value_or(scale_x);
    if (!(scale_x > 0) || !(sy > 0) || !std::isfinite(scale_x) || !std::isfinite(sy))
        throw std::invalid_argument("scales must be finite and above 0");
    return {static_cast<float>(scale_x), static_cast<float>(sy)};
}

py::object render(Drawing &d, double scale_x, std::optional<double> scale_y, const std::string &kind,
                  py::handle background, bool return_clipped,
                  std::optional<std::tuple<int32_t, int32_t, int32_t, int32_t>> area) {
    const auto [x, y] = scales_of(scale_x, scale_y);
    if (kind != "binary" && kind != "rgb") throw std::invalid_argument("kind is 'binary' or 'rgb'");
    const RGB bg = colour_of(background, "background");
    bool clipped = false;
    tessera::any_image im = locked(d, [&](const tessera::drawing &p) -> tessera::any_image {
        if (area) {
            const auto [ax, ay, aw, ah] = *area;
            const tessera::rect r{ax, ay, aw, ah}, g = p.render_geometry(x, y);
            if (aw <= 0 || ah <= 0 || ax < g.x || ay < g.y || int64_t{ax} + aw > int64_t{g.x} + g.width ||
                int64_t{ay} + ah > int64_t{g.y} + g.height)
                throw std::invalid_argument("the area does not lie inside the rendering (geometry() gives it)");
            if (kind == "rgb") return p.render_rgb_area(x, y, r, bg, &clipped);
            return p.render_binary_area(x, y, r, &clipped);
        }
        if (kind == "rgb") return p.render_rgb(x, y, bg, &clipped);
        return p.render_binary(x, y, &clipped);
    });
    py::object result = py::cast(held(std::move(im)));
    if (return_clipped) return py::make_tuple(result, clipped);
    return result;
}

} // namespace

void init_drawing(py::module_ &m) {
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
        .def("__len__", [](Drawing &d) { return locked(d, [](const tessera::drawing &p) { return p.size(); }); })
        .def(
            "__iter__", [](py::object self) { return self.attr("elements")().attr("__iter__")(); },
            "Iterates the elements as elements() lists them.")
        .def(
            "elements",
            [](Drawing &d) {
                const auto elements = locked(
                    d, [](const tessera::drawing &p) { return std::vector<tessera::element>(p.begin(), p.end()); });
                py::list out;
                for (const tessera::element &e : elements)
                    out.append(py::make_tuple(element_names[e.type], py::make_tuple(e.color.r, e.color.g, e.color.b),
                                              e.size, e.x1, e.y1, e.x2, e.y2));
                return out;
            },
            "The elements in drawing order as (type, color, size, x1, y1, x2, y2) tuples.")
        .def_property_readonly(
            "bounds",
            [](const Drawing &d) {
                const tessera::rect_f b = d.p().bounds();
                return py::make_tuple(b.x, b.y, b.width, b.height);
            },
            "(x, y, width, height).")
        .def_property_readonly(
            "color", [](const Drawing &d) { return d.p().colored(); }, "Whether elements keep colours.")
        .def_property_readonly("comment", [](const Drawing &d) { return std::string(d.p().comment()); })
        .def("render", &render, py::arg("scale_x") = 1.0, py::arg("scale_y") = py::none(), py::arg("kind") = "binary",
             py::arg("background") = py::make_tuple(0, 0, 0), py::arg("return_clipped") = false,
             py::arg("area") = py::none(),
             R"(Renders the drawing into a new Image of kind 'binary' or 'rgb'.

The image covers the bounds at scale_x (and scale_y, default scale_x) pixels per unit. With
return_clipped=True the result is (image, clipped), clipped telling whether some element
reached past the bounds. With area=(x, y, width, height), in the image's own coordinates
(geometry() gives them), only that part is rendered, pixel for pixel what the whole rendering
holds there, so that a rendering too large for memory can be made part by part; a binary
rendering of a drawing with fills is refused, and clipped is then judged from the elements'
extents.)")
        .def(
            "geometry",
            [](Drawing &d, double scale_x, std::optional<double> scale_y) {
                const auto [x, y] = scales_of(scale_x, scale_y);
                const tessera::rect r = locked(d, [&](const tessera::drawing &p) { return p.render_geometry(x, y); });
                return py::make_tuple(r.x, r.y, r.width, r.height);
            },
            py::arg("scale_x") = 1.0, py::arg("scale_y") = py::none(),
            "(x, y, width, height): the offsets and size of the Image render() makes at these scales.");
}

} // namespace tessera::detail::python
