// tessera.Generator: the library's seedable random generators, one value or numpy arrays.
#include "face.hpp"

#include <cmath>
#include <vector>

namespace tessera::detail::python {

namespace {

struct Generator : ZeroedStorage {
    tessera::generator g;
    std::string description;
    std::mutex busy; // held while drawing without the GIL

    Generator(tessera::generator p, std::string d) : g(std::move(p)), description(std::move(d)) {}
    Generator(const Generator &) = delete;
    Generator &operator=(const Generator &) = delete;
    // The generator; raises TypeError for an object that was never initialised (call with the GIL).
    tessera::generator &c() {
        if (!g.valid()) never_initialised("Generator");
        return g;
    }
};

// Runs f on the generator with its lock held and the GIL released, in that order.
template <class F> auto locked(Generator &self, F f) {
    tessera::generator &g = self.c();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(self.busy);
    return f(g);
}

int32_t seed_of(int64_t seed) { return checked_int(seed, "seed"); }

std::unique_ptr<Generator> made(tessera::generator g, std::string description) {
    return std::make_unique<Generator>(std::move(g), std::move(description));
}

py::object draw(Generator &self, py::object size) {
    const bool whole = self.c().kind() == GEN_UNIFORM_INT;
    if (size.is_none()) {
        const double v = locked(self, [](tessera::generator &g) { return g.next(); });
        if (whole) return py::int_(static_cast<int32_t>(v));
        return py::float_(v);
    }
    std::vector<py::ssize_t> shape;
    if (py::isinstance<py::int_>(size)) shape.push_back(size.cast<py::ssize_t>());
    else
        for (auto d : size) shape.push_back(d.cast<py::ssize_t>());
    py::ssize_t n = 1;
    for (auto d : shape) {
        if (d < 0) throw std::invalid_argument("negative dimensions are not allowed");
        if (d && n > PTRDIFF_MAX / 16 / d) throw tessera::out_of_memory("too many draws");
        n *= d;
    }
    if (whole) {
        py::array_t<int32_t> out(shape);
        int32_t *p = out.mutable_data();
        locked(self, [&](tessera::generator &g) {
            for (py::ssize_t i = 0; i < n; ++i) p[i] = static_cast<int32_t>(g.next());
        });
        return out;
    }
    py::array_t<double> out(shape);
    double *p = out.mutable_data();
    locked(self, [&](tessera::generator &g) {
        for (py::ssize_t i = 0; i < n; ++i) p[i] = g.next();
    });
    return out;
}

} // namespace

void init_generator(py::module_ &m) {
    py::class_<Generator, std::unique_ptr<Generator>>(m, "Generator", R"(A seedable random generator.

Make one with Generator.uniform_int, uniform, normal or exponential; a seed of 0 or less
takes one from the clock. g.draw() gives one value, g.draw(size) a numpy array.)")
        .def_static(
            "uniform_int",
            [](int64_t low, int64_t high, int64_t seed) {
                const int32_t lo = checked_int(low, "low"), hi = checked_int(high, "high");
                if (lo > hi) throw std::invalid_argument("low must not be above high");
                return made(tessera::generator::uniform_int(lo, hi, seed_of(seed)),
                            "uniform_int(" + std::to_string(lo) + ", " + std::to_string(hi) + ")");
            },
            py::arg("low"), py::arg("high"), py::arg("seed") = 0, "Whole numbers from low to high, both included.")
        .def_static(
            "uniform",
            [](double low, double high, int64_t seed) {
                if (!std::isfinite(low) || !std::isfinite(high) || low > high)
                    throw std::invalid_argument("low and high must be finite, low not above high");
                return made(tessera::generator::uniform_real(low, high, seed_of(seed)), "uniform");
            },
            py::arg("low"), py::arg("high"), py::arg("seed") = 0, "Reals from low up to high.")
        .def_static(
            "normal",
            [](double mean, double deviation, int64_t seed) {
                if (!std::isfinite(mean) || !std::isfinite(deviation) || deviation < 0)
                    throw std::invalid_argument("mean must be finite and deviation finite and not negative");
                return made(tessera::generator::normal(mean, deviation, seed_of(seed)), "normal");
            },
            py::arg("mean"), py::arg("deviation"), py::arg("seed") = 0, "Normally distributed reals.")
        .def_static(
            "exponential",
            [](double rate, int64_t seed) {
                if (!(rate > 0) || !std::isfinite(rate)) throw std::invalid_argument("rate must be finite and above 0");
                return made(tessera::generator::exponential(rate, seed_of(seed)), "exponential");
            },
            py::arg("rate"), py::arg("seed") = 0, "Exponentially distributed reals of mean 1/rate.")
        .def("draw", &draw, py::arg("size") = py::none(),
             "One value, or a numpy array of the given shape (int32 for uniform_int, float64 otherwise).")
        .def(
            "reseed",
            [](Generator &g, int64_t seed) {
                const int32_t s = seed_of(seed);
                locked(g, [&](tessera::generator &p) { p.reseed(s); });
            },
            py::arg("seed"), "Starts the sequence again from seed.")
        .def("__repr__", [](Generator &g) {
            g.c();
            return "<tessera.Generator " + g.description + ">";
        });
}

} // namespace tessera::detail::python
