// tessera.Histogram: weighted counts in equal bins, filled from numpy arrays.
#include "face.hpp"

#include <cmath>
#include <vector>

namespace tessera::detail::python {

namespace {

struct Histogram : ZeroedStorage {
    tessera::histogram h;
    std::mutex busy; // held while adding without the GIL

    explicit Histogram(tessera::histogram p) : h(std::move(p)) {}
    Histogram(const Histogram &) = delete;
    Histogram &operator=(const Histogram &) = delete;
    // The histogram; raises TypeError for an object that was never initialised (call with the GIL).
    Hist c() const {
        if (!h.get()) never_initialised("Histogram");
        return h.get();
    }
};

using samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

} // namespace

void init_histogram(py::module_ &m) {
    py::class_<Histogram, std::unique_ptr<Histogram>>(m, "Histogram", R"(Weighted counts in equal bins over [low, high).

Samples below low count in the first bin, at or above high in the last.)")
        .def(py::init([](int64_t bins, double low, double high) {
                 if (bins < 1 || bins > UINT32_MAX)
                     throw std::invalid_argument("a histogram needs 1 to 2**32 - 1 bins");
                 if (!std::isfinite(low) || !std::isfinite(high) || !(low < high))
                     throw std::invalid_argument("low and high must be finite, low below high");
                 return std::make_unique<Histogram>(tessera::histogram(static_cast<uint32_t>(bins), low, high));
             }),
             py::arg("bins"), py::arg("low"), py::arg("high"))
        .def(
            "add",
            [](Histogram &h, samples x, py::object weight) {
                samples w = weight.is_none() ? samples(std::vector<py::ssize_t>{}) : samples(weight);
                const double one = 1.0;
                const double *xs = x.data(), *ws = weight.is_none() ? &one : w.data();
                const py::ssize_t n = x.size();
                const bool each = !weight.is_none() && w.size() == n && w.size() != 1;
                if (!weight.is_none() && w.size() != 1 && w.size() != n)
                    throw std::invalid_argument("weight is one value or one a sample");
                h.c();
                py::gil_scoped_release release;
                std::lock_guard<std::mutex> lock(h.busy);
                for (py::ssize_t i = 0; i < n; ++i) h.h.add(xs[i], ws[each ? i : 0]);
            },
            py::arg("x"), py::arg("weight") = py::none(),
            "Adds samples x (a number or an array) with weight (default 1).")
        .def_property_readonly(
            "bins",
            [](py::object self) {
                auto &h = self.cast<Histogram &>();
                const Hist c = h.c();
                return py::array_t<double>({static_cast<py::ssize_t>(c->nbins)}, {sizeof(double)}, c->bins, self);
            },
            "The sums of weights, a numpy array sharing the histogram's memory.")
        .def_property_readonly("low", [](const Histogram &h) { return h.c()->low; })
        .def_property_readonly("high", [](const Histogram &h) { return h.c()->high; })
        .def("__len__", [](const Histogram &h) { return h.c()->nbins; });
}

} // namespace tessera::detail::python
