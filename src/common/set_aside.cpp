// The copy of a file that does not load. See set_aside.hpp.
#include "set_aside.hpp"

#include <cerrno>
#include <string_view>

#include "atomic_file.hpp"

namespace vm {
namespace {

// The file's bytes and permission bits, both from the one open file, as
//     with open(path, "rb") as file:
//         return file.read(), stat.S_IMODE(os.fstat(file.fileno()).st_mode)
// or a null object when there is no file at `path`.
py::object read_with_mode(py::handle os, py::handle path, int& mode) {
    py::object file;
    try {
        file = builtin("open")(path, "rb");
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::object();
        throw;
    }
    py::object data;
    try {
        py::object status = os.attr("fstat")(file.attr("fileno")());
        mode = py::module_::import("stat").attr("S_IMODE")(status.attr("st_mode")).cast<int>();
        data = file.attr("read")();
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return data;
}

}  // namespace

void set_aside(py::handle path, py::handle clock) {
    py::object os = py::module_::import("os");
    int mode = 0;
    py::object data = read_with_mode(os, path, mode);
    if (!data) return;  // gone: nothing left to keep
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) != 0) throw py::error_already_set();
    // `data` holds these bytes for as long as the copies below need them.
    const std::string_view content(bytes, static_cast<size_t>(size));

    py::object lexists = os.attr("path").attr("lexists");
    py::object stamp = clock.attr("now")().attr("strftime")("%Y%m%d-%H%M%S");
    py::object base = steal(PyNumber_Add(path.ptr(), py::str(".corrupt-{}").format(stamp).ptr()));
    for (int n = 0; n < 1000; ++n) {
        py::object candidate = base;
        if (n > 0) candidate = py::str("{}-{}").format(base, n);
        if (truthy(lexists(candidate))) continue;
        try {
            write_new_file(candidate, content, mode);
            return;
        } catch (py::error_already_set& e) {
            // Taken since it was looked at (another process's copy): the next name.
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
    }
    errno = EEXIST;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, base.ptr());
    throw py::error_already_set();
}

}  // namespace vm
