// The tool's work on one file, for the cluster runner (tessera.batch): the same functions the
// tessera tool runs, so that the runner's outputs and reports are the tool's by construction.
#include "face.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include "jobs/jobs.h"
}

namespace tessera::detail::python {

namespace {

// An editing command's operands, options["operands"] (strings, as on the command line).
void edit_values_of(const edit_command *edit, const py::dict &options, int values[EDIT_VALUES]) {
    const auto operands = options.contains("operands") ? options["operands"].cast<std::vector<std::string>>()
                                                       : std::vector<std::string>{};
    if (static_cast<int>(operands.size()) != edit->nvalues)
        throw std::invalid_argument(std::string(edit->name) + " takes " + std::to_string(edit->nvalues) +
                                    " operands (" + edit->operands + ")");
    std::vector<const char *> args;
    for (const std::string &a : operands) args.push_back(a.c_str());
    problem why{};
    if (!edit_values(edit, args.data(), values, &why)) throw std::invalid_argument(why.text);
}

// The options of a job, as the runner gives them (the tool's option names).
job_options job_of(const py::dict &options) {
    job_options job{};
    job.scale_x = options["scale_x"].cast<float>();
    job.scale_y = options["scale_y"].cast<float>();
    job.background = colour_of(options["background"], "background");
    job.has_foreground = !options["foreground"].is_none();
    if (job.has_foreground) job.foreground = colour_of(options["foreground"], "foreground");
    job.binary = options["binary"].cast<bool>();
    job.rgb = options["rgb"].cast<bool>();
    job.normalize = options["normalize"].cast<bool>();
    job.filter = TESSERA_BICUBIC;
    if (options.contains("filter") && !options["filter"].is_none()) {
        job.filter = filter_named(options["filter"].cast<std::string>().c_str());
        if (job.filter < 0) throw std::invalid_argument(std::string("unknown filter (") + filter_names() + ")");
    }
    if (options.contains("exact") && !options["exact"].is_none() && options["exact"].cast<bool>()) {
        job.filter |= TESSERA_EXACT;
    }
    job.has_color = options.contains("color") && !options["color"].is_none();
    if (job.has_color) job.color = colour_of(options["color"], "color");
    const py::object to = options["to"];
    job.format = to.is_none() ? nullptr : tessera_io_format_named(to.cast<std::string>().c_str());
    if (!to.is_none() && (!job.format || !job.format->writes))
        throw std::invalid_argument("unknown format " + to.cast<std::string>());
    job.keep_depth = options.contains("keep_depth") && options["keep_depth"].cast<bool>();
    job.flatten = options.contains("flatten") && options["flatten"].cast<bool>();
    job.keep_orientation = options.contains("keep_orientation") && options["keep_orientation"].cast<bool>();
    job.lossless = options.contains("lossless") && options["lossless"].cast<bool>();
    job.quality = options.contains("quality") && !options["quality"].is_none() ? options["quality"].cast<int>() : 0;
    job.compression =
        options.contains("compression") && !options["compression"].is_none() ? options["compression"].cast<int>() : -1;
    if (options.contains("depth") && !options["depth"].is_none()) {
        const int depth = options["depth"].cast<int>();
        if (depth != 8 && depth != 16) throw std::invalid_argument("depth needs 8 or 16 (bits a sample)");
        job.depth8 = depth == 8;
    }
    job.stats = options.contains("stats") && options["stats"].cast<bool>();
    if (options.contains("limit") && !options["limit"].is_none()) job.max_pixels = options["limit"].cast<uint64_t>();
    return job;
}

// A drawing's rendering planned for an output, released with the object.
struct Plan {
    render_plan plan{};
    job_options job{};
    Plan() = default;
    Plan(const Plan &) = delete;
    Plan &operator=(const Plan &) = delete;
    ~Plan() { render_plan_close(&plan); }
};

std::shared_ptr<Plan> plan_of(const std::string &path, const std::string &out, const py::dict &options) {
    auto p = std::make_shared<Plan>();
    p->job = job_of(options);
    problem why{};
    int ok;
    {
        py::gil_scoped_release release;
        ok = render_plan_open(path.c_str(), out.c_str(), &p->job, &p->plan, &why);
    }
    if (!ok) raise_problem(path, why);
    return p;
}

} // namespace

void init_jobs(py::module_ &m) {
    m.def(
        "_describe",
        [](py::handle target) -> py::tuple {
            const std::string path = path_of(target);
            problem why{};
            int colour = 0;
            if (is_drawing(path.c_str(), &colour))
                return py::make_tuple("drawing", colour ? "CPTL" : "PTL", py::none(), py::none());
            tessera_io_info what{};
            AnyImageStruct *im;
            {
                py::gil_scoped_release release;
                im = load_any(path.c_str(), RGB{0, 0, 0}, TESSERA_IO_RAW, 1, 0, 0, &what, nullptr, &why);
            }
            if (!im) raise_problem(path, why);
            py::object image = py::cast(held(tessera::any_image::adopt(im)));
            return py::make_tuple("image", std::string(what.magic),
                                  what.maxval ? py::object(py::int_(what.maxval)) : py::object(py::none()), image);
        },
        py::arg("path"),
        "(\"image\" or \"drawing\", format, maxval or None, the image or None), as `tessera info` tells.");

    // The tool's own work on one file, for the cluster runner: the same functions the tessera
    // tool runs, so the runner's outputs are the tool's by construction.
    m.def(
        "_job",
        [](const std::string &command, const std::string &path, const std::string &out,
           const py::dict &options) -> py::object {
            const job_options job = job_of(options);
            const edit_command *edit = edit_named(command.c_str());
            int values[EDIT_VALUES] = {0};
            if (edit) edit_values_of(edit, options, values);
            problem why{};
            int ok = 0, clipped = 0;
            std::string text;
            if (command == "extension") return py::str(render_extension(path.c_str(), &job));
            if (command == "edit-extension") return py::str(edit_extension(path.c_str()));
            {
                py::gil_scoped_release release;
                if (command == "render") {
                    ok = render_file(path.c_str(), out.c_str(), &job, &clipped, &why);
                } else if (edit) {
                    ok = edit_file(path.c_str(), out.c_str(), &job, edit->op, edit->check, values, 0, &why);
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
                        say(&why, TESSERA_ERROR_MEMORY, "out of memory");
                    }
                    std::free(buffer);
                }
            }
            if (!edit && command != "render" && command != "convert" && command != "info")
                throw std::invalid_argument("unknown command " + command);
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
        "_edit_commands",
        [] {
            py::dict out;
            for (int i = 0; const edit_command *c = edit_each(i); ++i)
                out[c->name] = py::make_tuple(c->nvalues, c->operands);
            return out;
        },
        "The editing commands: name -> (number of operands, their names).");
    m.def(
        "_check_operands",
        [](const std::string &command, const py::dict &options) {
            const edit_command *edit = edit_named(command.c_str());
            if (!edit) throw std::invalid_argument("unknown command " + command);
            int values[EDIT_VALUES];
            edit_values_of(edit, options, values);
        },
        py::arg("command"), py::arg("options"), "Raises ValueError when the command's operands are wrong.");
    m.attr("_filters") = filter_names();
    // One rendering made tile by tile on a cluster: its plan, a tile's pixels, and the file
    // saved from the tiles row by row.
    m.def(
        "_render_plan",
        [](const std::string &path, const std::string &out, const py::dict &options) {
            const auto p = plan_of(path, out, options);
            py::dict d;
            d["width"] = p->plan.width, d["height"] = p->plan.height;
            d["bytes"] = p->plan.tag == IMAGE_RGB ? 3 : 1; // a pixel of the output
            d["rows"] = p->plan.format->rows != 0;
            d["fills"] = p->plan.fills != 0;
            return d;
        },
        py::arg("path"), py::arg("out"), py::arg("options"),
        "width, height, bytes a pixel, whether the format writes rows, whether only whole (fills).");
    m.def(
        "_render_tile",
        [](const std::string &path, const std::string &out, const py::dict &options, int32_t x, int32_t y,
           int32_t width, int32_t height) {
            const auto p = plan_of(path, out, options);
            if (width <= 0 || height <= 0 || x < 0 || y < 0 || int64_t{x} + width > p->plan.width ||
                int64_t{y} + height > p->plan.height)
                throw std::invalid_argument("the tile does not lie inside the rendering");
            const std::size_t pixel = p->plan.tag == IMAGE_RGB ? 3 : 1;
            std::string pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * pixel, '\0');
            problem why{};
            int ok, clipped = 0;
            {
                py::gil_scoped_release release;
                ok = render_plan_area(&p->plan, &p->job, x, y, width, height, pixels.data(), &clipped, &why);
            }
            if (!ok) raise_problem(path, why);
            return py::make_tuple(py::bytes(pixels), clipped != 0);
        },
        py::arg("path"), py::arg("out"), py::arg("options"), py::arg("x"), py::arg("y"), py::arg("width"),
        py::arg("height"), "(the tile's output pixels, row after row, whether some element reaches past the bounds)");
    m.def(
        "_save_rendering",
        [](const std::string &path, const std::string &out, const py::dict &options, py::function row) {
            const auto p = plan_of(path, out, options);
            struct Rows {
                py::function &row;
                std::size_t bytes;
                std::exception_ptr error;
            } rows{row, static_cast<std::size_t>(p->plan.width) * (p->plan.tag == IMAGE_RGB ? 3 : 1), nullptr};
            const auto read = [](void *context, int32_t y, void *to) {
                auto *r = static_cast<Rows *>(context);
                try {
                    const py::bytes got = r->row(y);
                    const std::string_view v(got);
                    if (v.size() != r->bytes) throw std::invalid_argument("a row of the wrong size");
                    std::memcpy(to, v.data(), v.size());
                    return 0;
                } catch (...) {
                    r->error = std::current_exception();
                    return -1;
                }
            };
            problem why{};
            const int ok = render_plan_save(&p->plan, &p->job, out.c_str(), read, &rows, &why);
            if (rows.error) std::rethrow_exception(rows.error);
            if (!ok) raise_problem(out, why);
        },
        py::arg("path"), py::arg("out"), py::arg("options"), py::arg("row"),
        "Saves the rendering at out, row y's output pixels given by row(y) as bytes.");
    m.def(
        "_output_path",
        [](const std::string &dir, const std::string &input, const std::string &ext) {
            char *p = output_path(dir.c_str(), input.c_str(), ext.c_str());
            if (!p) throw tessera::out_of_memory("out of memory for an output path");
            std::string path(p);
            std::free(p);
            return path;
        },
        py::arg("dir"), py::arg("input"), py::arg("ext"));
    m.def(
        "_output_kind",
        [](const std::string &name, const std::string &kind, bool may_convert) -> py::object {
            const out_format *f = tessera_io_format_named(name.c_str());
            if (!f || !f->writes) return py::none();
            const unsigned tag = tessera_io_target_tag(f, static_cast<uint16_t>(kind_named(kind).tag), may_convert);
            if (!tag) return py::none();
            return py::str(kind_of_tag(tag).name);
        },
        py::arg("format"), py::arg("kind"), py::arg("may_convert"));
}

} // namespace tessera::detail::python
