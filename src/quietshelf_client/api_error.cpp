// QuietshelfAPIError: the one error type of the service client. Every failure
// of the service that the client notices, or that requests reports, reaches
// the host as this type, with a message it can show.
#include "quietshelf.hpp"

namespace velmora::quietshelf {

void define_api_error(py::module_& m) {
    vm::ClassBuilder b(m, "QuietshelfAPIError", "Raised when a request to the Quietshelf service fails.",
                       py::make_tuple(py::reinterpret_borrow<py::object>(PyExc_Exception)));
    b.build();
}

void raise_api_error(py::module_& m, const char* message) {
    PyErr_SetObject(vm::global(m, "QuietshelfAPIError").ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

void raise_api_error_from(py::module_& m, const char* prefix, const py::error_already_set& cause) {
    // As `raise QuietshelfAPIError(...) from cause`: the traceback shows
    // where requests failed.
    py::object error = vm::global(m, "QuietshelfAPIError")(vm::text(prefix, cause.value()));
    PyObject* value = cause.value().ptr();
    if (cause.trace() && PyExceptionInstance_Check(value)) PyException_SetTraceback(value, cause.trace().ptr());
    if (PyExceptionInstance_Check(error.ptr())) {
        PyException_SetCause(error.ptr(), Py_NewRef(value));
        PyException_SetContext(error.ptr(), Py_NewRef(value));
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

bool is_request_error(py::module_& m, const py::error_already_set& error) {
    return error.matches(vm::global(m, "requests").attr("RequestException"));
}

}  // namespace velmora::quietshelf
