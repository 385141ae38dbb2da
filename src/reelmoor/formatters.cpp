// The display texts of ReelmoorClient: a duration as "1:01:01" or "2:05",
// a count as "1.2M", "3.4K" or "999", and a count that may be missing.
//
// A value is made whole as int(float(value)) makes it, with Python's own
// conversions and errors: text is read by float() (white space, underscores,
// other scripts' digits, "inf" and "nan" included), an int too large for a
// float and infinity raise OverflowError, NaN and unreadable text ValueError.
// The searches call these once per listed entry, so plain ints, floats and
// text go straight through the C API.
#include <cmath>
#include <cstdio>

#include "formats.hpp"
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

namespace fmt = velmora::formats;

[[noreturn]] void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw py::error_already_set();
}

// int(float(value)) as a double: whole, and 0.0 rather than -0.0.
double whole_number(py::handle value) {
    PyObject* v = value.ptr();
    double d;
    if (PyFloat_CheckExact(v)) {
        d = PyFloat_AS_DOUBLE(v);
    } else if (PyLong_CheckExact(v)) {
        d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    } else {
        py::object f = vm::steal(PyNumber_Float(v));
        d = PyFloat_AsDouble(f.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    }
    if (std::isnan(d)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(d)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    d = std::trunc(d);
    return d == 0.0 ? 0.0 : d;
}

// The errors a value that does not convert gives: they become the fallback.
bool conversion_error(const py::error_already_set& e) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError);
}

py::object ascii(const std::string& text) {
    return vm::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// `value == 0`, without asking Python for the kinds that need no asking.
bool equals_zero(py::handle value) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
        return !overflow && n == 0;
    }
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == 0.0;
    if (PyUnicode_CheckExact(v)) return false;
    return vm::compare(value, py::int_(0), Py_EQ);
}

// The play time of a whole number of seconds beyond 64 bits, where only
// the hours need Python's unbounded ints (the remainder of a whole double
// by 3600 is exact).
py::object long_clock_text(double seconds) {
    double rest = std::fmod(seconds, 3600.0);
    if (rest < 0) rest += 3600.0;
    const int minutes = static_cast<int>(rest / 60.0);
    const int secs = static_cast<int>(rest) - minutes * 60;
    char tail[16];
    if (seconds < 0) {
        std::snprintf(tail, sizeof tail, "%d:%02d", minutes, secs);
        return ascii(tail);
    }
    std::snprintf(tail, sizeof tail, ":%02d:%02d", minutes, secs);
    py::object hours = vm::steal(PyNumber_FloorDivide(vm::steal(PyLong_FromDouble(seconds)).ptr(),
                                                      py::int_(3600).ptr()));
    return vm::text(hours, tail);
}

py::object format_duration(py::handle seconds) {
    if (seconds.is_none() || equals_zero(seconds)) return py::reinterpret_borrow<py::object>(VM_STR("0:00"));
    double whole;
    try {
        whole = whole_number(seconds);
    } catch (py::error_already_set& e) {
        if (conversion_error(e)) return py::reinterpret_borrow<py::object>(VM_STR("0:00"));
        throw;
    }
    if (std::fabs(whole) < 9.2e18) return ascii(fmt::clock_text(static_cast<std::int64_t>(whole)));
    return long_clock_text(whole);
}

py::object format_view_count(py::handle view_count) {
    if (view_count.is_none()) return py::reinterpret_borrow<py::object>(VM_STR("0"));
    double whole;
    try {
        py::object value = py::reinterpret_borrow<py::object>(view_count);
        if (PyUnicode_CheckExact(view_count.ptr()))
            value = vm::steal(PyUnicode_Replace(view_count.ptr(), VM_STR(",").ptr(), VM_STR("").ptr(), -1));
        else if (PyUnicode_Check(view_count.ptr()))
            value = vm::call_method(view_count, VM_STR("replace"), VM_STR(","), VM_STR(""));
        whole = whole_number(value);
    } catch (py::error_already_set& e) {
        if (conversion_error(e)) return py::reinterpret_borrow<py::object>(VM_STR("0"));
        throw;
    }
    return ascii(fmt::count_text(whole));
}

}  // namespace

// _format_duration(self, seconds: Union[int, float]) -> str
void add_format_duration(vm::ClassBuilder& b, py::module_& m) {
    py::object number = vm::subscript(m.attr("Union"), py::make_tuple(vm::type_object(&PyLong_Type),
                                                                       vm::type_object(&PyFloat_Type)));
    b.method(
        "_format_duration", {vm::self(), vm::arg("seconds").ann(number)},
        [](const vm::Args& a) { return format_duration(a[1]); }, "Format seconds as H:MM:SS or M:SS.",
        vm::type_object(&PyUnicode_Type));
}

// _format_view_count(self, view_count: int) -> str
void add_format_view_count(vm::ClassBuilder& b, py::module_&) {
    b.method(
        "_format_view_count", {vm::self(), vm::arg("view_count").ann(vm::type_object(&PyLong_Type))},
        [](const vm::Args& a) { return format_view_count(a[1]); }, "Format a count as 1.2M, 3.4K or 999.",
        vm::type_object(&PyUnicode_Type));
}

// _format_count(self, value: Optional[int]) -> str
void add_format_count(vm::ClassBuilder& b, py::module_& m) {
    b.method(
        "_format_count", {vm::self(), vm::arg("value").ann(vm::subscript(m.attr("Optional"), vm::type_object(&PyLong_Type)))},
        [](const vm::Args& a) -> py::object {
            if (a[1].is_none()) return py::reinterpret_borrow<py::object>(VM_STR(""));
            // Through the instance, so that a replaced _format_view_count counts.
            try {
                return vm::call_method(a.self(), VM_STR("_format_view_count"), a[1]);
            } catch (py::error_already_set& e) {
                if (!vm::is_exception(e)) throw;
                return py::reinterpret_borrow<py::object>(VM_STR(""));
            }
        },
        "Format an optional count for display; empty when missing.", vm::type_object(&PyUnicode_Type));
}

}  // namespace velmora::reelmoor
