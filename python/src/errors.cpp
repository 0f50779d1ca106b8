// The extension's exceptions and the one translator from the C++ face's to Python's.
#include "face.hpp"

#include <cerrno>

namespace tessera::detail::python {

namespace {

PyObject *error_type = nullptr;      // tessera.Error
PyObject *file_error_type = nullptr; // tessera.FileError(Error, OSError)

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

// Gives an exception the library's kind of failure as its code attribute: "format", "limit",
// "file"... (tessera_error_code_name), or None.
bool set_code(PyObject *made, tessera::failure kind) {
    const char *name = kind == tessera::failure::none ? nullptr : tessera_error_code_name(static_cast<int>(kind));
    PyObject *code = name ? PyUnicode_FromString(name) : (Py_INCREF(Py_None), Py_None);
    if (!code) return false;
    const bool ok = PyObject_SetAttrString(made, "code", code) == 0;
    Py_DECREF(code);
    return ok;
}

// Raises a new exception of type made from args, with its code attribute.
void set_error(PyObject *type, PyObject *made, tessera::failure kind) {
    if (!made) return; // the failure to make it is set instead
    if (set_code(made, kind)) PyErr_SetObject(type, made);
    Py_DECREF(made);
}

// Sets tessera.FileError (the subclass that is also FileNotFoundError, PermissionError... for
// a known errno) with errno, strerror (the reason) and filename.
void set_file_error(const tessera::file_error &e) {
    const int error = e.code().value();
    PyObject *type = file_error_type;
    for (const errno_class &c : errno_classes)
        if (error && c.error == error) type = c.type;
    const std::string filename = e.path().string();
    PyObject *made;
    if (error) {
        // OSError shows the file name itself: "[Errno 2] cannot open ...: 'name'".
        PyObject *name = filename.empty() ? (Py_INCREF(Py_None), Py_None) : PyUnicode_DecodeFSDefault(filename.c_str());
        if (!name) return;
        made = PyObject_CallFunction(type, "isO", error, e.reason().c_str(), name);
        Py_DECREF(name);
    } else { // the path and the library's reason, without the C++ face's "doing"
        made = PyObject_CallFunction(type, "s", (filename.empty() ? e.reason() : filename + ": " + e.reason()).c_str());
    }
    set_error(type, made, e.kind());
}

void translate(std::exception_ptr p) {
    try {
        if (p) std::rethrow_exception(p);
    } catch (const tessera::file_error &e) {
        set_file_error(e);
    } catch (const tessera::error &e) {
        set_error(error_type, PyObject_CallFunction(error_type, "s", e.what()), e.kind());
    } catch (const tessera::out_of_memory &e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    }
    // Anything else goes on to pybind11's own translation (std::invalid_argument: ValueError...).
}

} // namespace

[[noreturn]] void never_initialised(const char *type) {
    throw py::type_error(std::string("this tessera.") + type + " was never initialised (made without __init__)");
}

[[noreturn]] void raise_problem(const std::string &filename, const problem &why) {
    if (why.code == TESSERA_ERROR_MEMORY)
        throw tessera::out_of_memory((filename.empty() ? "" : filename + ": ") + why.text);
    throw tessera::file_error("", filename, why.text, why.error, static_cast<tessera::failure>(why.code));
}

void init_errors(py::module_ &m) {
    py::dict error_body;
    error_body["code"] = py::none();
    error_type = PyErr_NewExceptionWithDoc("tessera.Error",
                                           "A failure the tessera library reported, with its reason. code names the "
                                           "kind of failure: 'file', 'format', 'limit', 'argument', 'unsupported' "
                                           "(None when the library gave none); memory is MemoryError.",
                                           PyExc_Exception, error_body.ptr());
    py::tuple file_bases = py::make_tuple(py::handle(error_type), py::handle(PyExc_OSError));
    file_error_type = PyErr_NewExceptionWithDoc(
        "tessera.FileError", "A file that could not be read or written (also an OSError).", file_bases.ptr(), nullptr);
    if (!error_type || !file_error_type) throw py::error_already_set();
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
    py::register_local_exception_translator(translate);
}

} // namespace tessera::detail::python
