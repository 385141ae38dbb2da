// Small Python operations, raising what Python raises. See pyfunc.hpp.
#include "pyfunc.hpp"

#include "exit_gate.hpp"

namespace vm {

py::object steal(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// The calls of these helpers may run the host's code (a method it overrides,
// a property): a forced unwind out of one parks the thread (exit_gate.hpp).

PyObject* detail::vectorcall_method(PyObject* name, PyObject* const* argv, size_t nargsf) {
    return parks_on_unwind([&] { return PyObject_VectorcallMethod(name, argv, nargsf, nullptr); });
}

py::object get_attr(py::handle obj, py::handle name) {
    return steal(parks_on_unwind([&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); }));
}

void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (parks_on_unwind([&] { return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()); }) < 0)
        throw py::error_already_set();
}

py::str concat(std::initializer_list<py::handle> parts) {
    py::list texts;
    for (py::handle p : parts) texts.append(py::str(p));
    return py::reinterpret_steal<py::str>(steal(PyUnicode_Join(VM_STR("").ptr(), texts.ptr())).release());
}

namespace detail {
py::object text_part(const char* literal) { return steal(PyUnicode_FromString(literal)); }
py::object text_part(const std::string& utf8) {
    return steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
py::object text_part(long long number) { return steal(PyUnicode_FromFormat("%lld", number)); }
py::object text_part(py::handle value) { return steal(PyObject_Str(value.ptr())); }

py::str join_parts(PyObject* const* parts, size_t count) {
    py::object list = steal(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i) PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(parts[i]));
    return py::reinterpret_steal<py::str>(steal(PyUnicode_Join(VM_STR("").ptr(), list.ptr())).release());
}

bool exit_swallows(py::handle exit, py::handle manager, const py::error_already_set& error) {
    py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
    return truthy(steal(PyObject_CallFunctionObjArgs(exit.ptr(), manager.ptr(), error.type().ptr(),
                                                     error.value().ptr(), trace.ptr(), nullptr)));
}

void refuse_context(py::handle manager) {
    PyErr_Format(PyExc_TypeError, "'%s' object does not support the context manager protocol",
                 Py_TYPE(manager.ptr())->tp_name);
    throw py::error_already_set();
}
}  // namespace detail

py::object optional_attr(py::handle obj, py::handle name) {
    PyObject* r = nullptr;
    const int found = parks_on_unwind([&] {
#if PY_VERSION_HEX >= 0x030D0000
        return PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &r);
#else
        return _PyObject_LookupAttr(obj.ptr(), name.ptr(), &r);
#endif
    });
    if (found < 0) throw py::error_already_set();
    if (found == 0) return py::object();
    return py::reinterpret_steal<py::object>(r);
}

py::object readable_attr(py::handle obj, py::handle name) {
    PyObject* r = parks_on_unwind([&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); });
    if (r) return py::reinterpret_steal<py::object>(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

bool compare(py::handle left, py::handle right, int op) {
    return truthy(steal(PyObject_RichCompare(left.ptr(), right.ptr(), op)));
}

py::object name_in(py::handle globals, py::handle name) {
    PyObject* v = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw py::error_already_set();
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw py::error_already_set();
        }
    }
    return py::reinterpret_borrow<py::object>(v);
}

std::u32string code_points(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%s'", Py_TYPE(text.ptr())->tp_name);
        throw py::error_already_set();
    }
    const Py_ssize_t n = PyUnicode_GetLength(text.ptr());
    if (n < 0) throw py::error_already_set();
    std::u32string out(static_cast<size_t>(n), U'\0');
    if (n > 0 && !PyUnicode_AsUCS4(text.ptr(), reinterpret_cast<Py_UCS4*>(out.data()), n, /*copy_null=*/0))
        throw py::error_already_set();
    return out;
}

py::str from_code_points(std::u32string_view text) {
    return py::reinterpret_steal<py::str>(
        steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())))
            .release());
}

bool truthy(py::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool contains(py::handle container, py::handle item) {
    const int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object item(py::handle obj, Py_ssize_t index) {
    py::object key = steal(PyLong_FromSsize_t(index));
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}

std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    PyObject* p = pair.ptr();
    if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 2)
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(p, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(p, 1))};
    if (!Py_TYPE(p)->tp_iter && !PySequence_Check(p)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(p)->tp_name);
        throw py::error_already_set();
    }
    py::object iterator = steal(PyObject_GetIter(p));
    py::object taken[2];
    for (int i = 0; i < 2; ++i) {
        taken[i] = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
        if (taken[i]) continue;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        throw py::error_already_set();
    }
    if (py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(taken[0]), std::move(taken[1])};
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

LockGuard::LockGuard(py::object lock) : lock_(std::move(lock)) {
    if (lock_) acquire_lock(lock_);
}

void LockGuard::release() {
    py::object lock = std::move(lock_);
    if (lock) lock.attr("release")();
}

LockGuard::~LockGuard() {
    if (!lock_) return;
    if (!PyGILState_Check()) {
        // A daemon thread being unwound at interpreter exit: Python is gone.
        lock_.release();
        return;
    }
    PyObject* r = PyObject_CallMethodNoArgs(lock_.ptr(), VM_STR("release").ptr());
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(lock_.ptr());
}

}  // namespace vm
