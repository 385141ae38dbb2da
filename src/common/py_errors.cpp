// Errors and logging. See pyfunc.hpp.
#include "pyfunc.hpp"

namespace vm {

bool is_exception(const py::error_already_set& error) { return error.matches(PyExc_Exception); }

py::str error_str(const py::error_already_set& error) { return py::str(error.value()); }

void log_with_traceback(py::handle logger, const char* level, py::handle message,
                        const py::error_already_set& error) {
    py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
    logger.attr(level)(message, py::arg("exc_info") = py::make_tuple(error.type(), error.value(), trace));
}

HandledException::HandledException(const py::error_already_set& error)
    : HandledException(error.value()) {
    // sys.exc_info() reads the traceback from the exception itself.
    if (error.trace() && PyExceptionInstance_Check(error.value().ptr()))
        PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
}

HandledException::HandledException(py::handle exception_value) : previous_(PyErr_GetHandledException()) {
    PyObject* value = exception_value.ptr();
    // The traceback of the handled exception is the one attached to the value.
    PyErr_SetHandledException(value);
}

HandledException::~HandledException() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

void check_text(py::handle value, const std::string& function, const std::string& param) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr()))
        throw py::type_error(function + "() argument '" + param + "' must be str, not " +
                             Py_TYPE(value.ptr())->tp_name);
}

}  // namespace vm
