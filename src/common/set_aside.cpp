// The copy of a file that does not load. See set_aside.hpp.
#include "set_aside.hpp"

#include <cerrno>

namespace vm {

void set_aside(py::handle path, py::handle clock) {
    py::object os = py::module_::import("os");
    py::object lexists = os.attr("path").attr("lexists");
    if (!truthy(lexists(path))) return;  // gone: nothing left to keep
    py::object stamp = clock.attr("now")().attr("strftime")("%Y%m%d-%H%M%S");
    py::object base = steal(PyNumber_Add(path.ptr(), py::str(".corrupt-{}").format(stamp).ptr()));
    for (int n = 0; n < 1000; ++n) {
        py::object candidate = base;
        if (n > 0) candidate = py::str("{}-{}").format(base, n);
        if (truthy(lexists(candidate))) continue;
        try {
            // A second name for the file: the replace that follows then
            // leaves this one with the old content. Linking never overwrites.
            os.attr("link")(path, candidate);
            return;
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_FileExistsError)) continue;
            if (!e.matches(PyExc_OSError)) throw;
        }
        // No hard links here (some file systems): move the file instead.
        try {
            os.attr("rename")(path, candidate);
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
    }
    errno = EEXIST;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, base.ptr());
    throw py::error_already_set();
}

}  // namespace vm
