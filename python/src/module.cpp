// The tessera extension module: images as numpy arrays, image and drawing files, rendering,
// generators and histograms, over the C++ face of the library and libtessera_io (and, for the
// batch runner, the jobs library the tool uses too). Each class lives in a file of its own;
// face.hpp says how checks and failures become Python exceptions.
#include "face.hpp"

PYBIND11_MODULE(_tessera, m) {
    namespace face = tessera::detail::python;
    m.doc() = "The tessera library: images as numpy arrays, image and drawing files, rendering, generators and "
              "histograms.";
    m.attr("__version__") = tessera_version();
    face::init_errors(m);
    face::init_image(m);
    face::init_drawing(m);
    face::init_generator(m);
    face::init_histogram(m);
    face::init_jobs(m);
}
