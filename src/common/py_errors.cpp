// Errors and logging (see pyfunc.hpp), and the traceback frames of native
// functions (see py_frames.hpp).
#include "pyfunc.hpp"

#include <frameobject.h>

#include <algorithm>
#include <new>
#include <vector>

#include "exit_gate.hpp"
#include "py_frames.hpp"

namespace vm::detail {
namespace {

// The compiler names a source by the path it was given: relative to the
// build folder ("../src/reelmoor/search.cpp") or absolute, with either
// separator on Windows. A traceback names it from the project's top.
std::string project_path(const char* compiled) {
    std::string path(compiled ? compiled : "");
    std::replace(path.begin(), path.end(), '\\', '/');
    size_t start = std::string::npos;
    for (const char* top : {"/src/", "/tests/"}) {
        const size_t at = path.rfind(top);
        if (at != std::string::npos && (start == std::string::npos || at > start)) start = at + 1;
    }
    if (start != std::string::npos) return path.substr(start);
    while (path.rfind("../", 0) == 0 || path.rfind("./", 0) == 0) path.erase(0, path.find('/') + 1);
    return path;
}

// The globals of every native frame: a traceback reads none of them, and an
// empty namespace keeps linecache from asking a module loader for source.
PyObject* frame_globals() {
    static PyObject* globals = PyDict_New();
    return globals;
}

// A code object whose name is `qualname`, as `code.replace(co_name=...,
// co_qualname=...)` on an empty one (the name may hold any text).
PyObject* new_code(const Origin& origin, PyObject* qualname) {
    PyObject* empty = reinterpret_cast<PyObject*>(PyCode_NewEmpty(origin.file.c_str(), "", origin.line));
    if (!empty) return nullptr;
    PyObject* replace = PyObject_GetAttrString(empty, "replace");
    Py_DECREF(empty);
    if (!replace) return nullptr;
    PyObject* kwnames = Py_BuildValue("(ss)", "co_name", "co_qualname");
    PyObject* code = nullptr;
    if (kwnames) {
        PyObject* args[] = {qualname, qualname};
        code = PyObject_Vectorcall(replace, args, 0, kwnames);
        Py_DECREF(kwnames);
    }
    Py_DECREF(replace);
    return code;
}

PyObject* code_for(Origin& origin, PyObject* qualname) {
    if (origin.code && origin.code_name == qualname) return origin.code;
    PyObject* code = new_code(origin, qualname);
    if (!code) return nullptr;
    Py_XSETREF(origin.code, code);
    Py_XSETREF(origin.code_name, Py_NewRef(qualname));
    return code;
}

}  // namespace

void Origin::define_at(const std::source_location& where) {
    file = project_path(where.file_name());
    line = static_cast<int>(where.line());
}

Origin::~Origin() {
    Py_XDECREF(code);
    Py_XDECREF(code_name);
}

void add_frame(Origin& origin, PyObject* qualname) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* code = code_for(origin, qualname);
    PyObject* globals = code ? frame_globals() : nullptr;
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr) : nullptr;
    // An error of our own making is dropped: the one being raised matters.
    if (!frame) {
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
        return;
    }
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(trace);
    PyErr_Restore(type, value, trace);
    if (PyTraceBack_Here(frame) < 0) {
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
    }
    Py_DECREF(frame);
}

}  // namespace vm::detail

namespace vm {

bool is_exception(const py::error_already_set& error) { return error.matches(PyExc_Exception); }

py::str error_str(const py::error_already_set& error) { return py::str(error.value()); }

void set_python_error(const std::exception& e) {
    if (const auto* own = dynamic_cast<const py::builtin_exception*>(&e))
        own->set_error();
    else if (dynamic_cast<const std::bad_alloc*>(&e))
        PyErr_NoMemory();
    else
        PyErr_SetString(PyExc_RuntimeError, e.what());
}

py::error_already_set python_error(const std::exception& e) {
    set_python_error(e);
    return py::error_already_set();
}

py::object traceback_of(const py::error_already_set& error) {
    py::object own;
    if (error.trace())
        own = py::reinterpret_borrow<py::object>(error.trace());
    else if (PyExceptionInstance_Check(error.value().ptr()))
        own = py::reinterpret_steal<py::object>(PyException_GetTraceback(error.value().ptr()));
    // The frame goes in front the way the interpreter adds one: to the error
    // being raised. Whatever is raised now waits aside meanwhile.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_Restore(error.type().inc_ref().ptr(), error.value().inc_ref().ptr(), own.release().ptr());
    detail::add_running_frame();
    PyObject *own_type, *own_value, *full;
    PyErr_Fetch(&own_type, &own_value, &full);
    Py_XDECREF(own_type);
    Py_XDECREF(own_value);
    PyErr_Restore(type, value, trace);
    return full ? py::reinterpret_steal<py::object>(full) : py::object(py::none());
}

void log(py::handle logger, const char* level, py::handle message, std::initializer_list<py::handle> args) {
    py::object name = steal(PyUnicode_InternFromString(level));
    std::vector<PyObject*> argv{logger.ptr(), message.ptr()};
    for (py::handle arg : args) argv.push_back(arg.ptr());
    const size_t nargsf = argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET;
    steal(blocking([&] { return PyObject_VectorcallMethod(name.ptr(), argv.data(), nargsf, nullptr); }));
}

void log_with_traceback(py::handle logger, const char* level, py::handle message,
                        const py::error_already_set& error) {
    py::object trace = traceback_of(error);
    blocking_call(get_attr(logger, steal(PyUnicode_InternFromString(level))), message,
                  py::arg("exc_info") = py::make_tuple(error.type(), error.value(), trace));
}

HandledException::HandledException(const py::error_already_set& error)
    : HandledException(error.value()) {
    // sys.exc_info() reads the traceback from the exception itself.
    if (!PyExceptionInstance_Check(error.value().ptr())) return;
    py::object trace = traceback_of(error);
    if (!trace.is_none()) PyException_SetTraceback(error.value().ptr(), trace.ptr());
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

void refuse_argument(py::handle value, const char* param, const char* expected) {
    const char* type = Py_TYPE(value.ptr())->tp_name;
    py::object qualname = running_qualname();
    if (qualname)
        PyErr_Format(PyExc_TypeError, "%U() argument '%s' must be %s, not %s", qualname.ptr(), param, expected, type);
    else
        PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %s", param, expected, type);
    throw py::error_already_set();
}

void require_text(py::handle value, const char* param) {
    if (!PyUnicode_Check(value.ptr())) refuse_argument(value, param);
}

void require_text_or_none(py::handle value, const char* param) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) refuse_argument(value, param);
}

}  // namespace vm
