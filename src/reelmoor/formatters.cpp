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
#include <cstring>
#include <string_view>

#include "formats.hpp"
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

namespace fmt = velmora::formats;

// A Python error of a conversion: a value or type error means the value does
// not convert (cleared, false); anything else is raised.
bool does_not_convert() {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
        throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// int() of a float, as a double in `whole`: whole, and 0.0 rather than
// -0.0. False for NaN, which int() refuses with a ValueError.
bool truncated(double d, double& whole) {
    if (std::isnan(d)) return false;
    if (std::isinf(d)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        throw py::error_already_set();
    }
    d = std::trunc(d);
    whole = d == 0.0 ? 0.0 : d;
    return true;
}

// float(text) for a plain ASCII str, as far as it needs no Python.
fmt::PlainFloat plain_text_float(py::handle value, bool skip_commas, double& d) {
    PyObject* v = value.ptr();
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return fmt::PlainFloat::AskPython;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(v)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(v)));
    return fmt::read_plain_float(text, skip_commas, d);
}

// int(float(value)) as a double in `whole`. False when the value does not
// convert. A conversion that fails does so without a C++ exception:
// listings are full of values that do not convert, and one exception costs
// more than the whole conversion.
bool whole_number(py::handle value, double& whole) {
    PyObject* v = value.ptr();
    double d;
    if (PyFloat_CheckExact(v)) {
        d = PyFloat_AS_DOUBLE(v);
    } else if (PyLong_CheckExact(v)) {
        d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();  // too large for a float
    } else {
        const fmt::PlainFloat plain = plain_text_float(value, false, d);
        if (plain == fmt::PlainFloat::NotANumber) return false;
        if (plain == fmt::PlainFloat::AskPython) {
            PyObject* f = PyNumber_Float(v);
            if (!f) return does_not_convert();
            d = PyFloat_AsDouble(f);
            Py_DECREF(f);
        }
    }
    return truncated(d, whole);
}

py::object ascii(std::string_view text) {
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (!out) throw py::error_already_set();
    std::memcpy(PyUnicode_1BYTE_DATA(out), text.data(), text.size());
    return py::reinterpret_steal<py::object>(out);
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
        return ascii(std::string_view(tail));
    }
    std::snprintf(tail, sizeof tail, ":%02d:%02d", minutes, secs);
    py::object hours = vm::steal(PyNumber_FloorDivide(vm::steal(PyLong_FromDouble(seconds)).ptr(),
                                                      py::int_(3600).ptr()));
    return vm::text(hours, tail);
}

py::object format_duration(py::handle seconds) {
    if (seconds.is_none() || equals_zero(seconds)) return py::reinterpret_borrow<py::object>(VM_STR("0:00"));
    double whole;
    if (!whole_number(seconds, whole)) return py::reinterpret_borrow<py::object>(VM_STR("0:00"));
    if (std::fabs(whole) < 9.2e18) return ascii(fmt::clock_text(static_cast<std::int64_t>(whole)));
    return long_clock_text(whole);
}

py::object format_view_count(py::handle view_count) {
    if (view_count.is_none()) return py::reinterpret_borrow<py::object>(VM_STR("0"));
    double whole, number;
    switch (plain_text_float(view_count, true, number)) {
        case fmt::PlainFloat::Number:
            if (!truncated(number, whole)) return py::reinterpret_borrow<py::object>(VM_STR("0"));
            return ascii(fmt::count_text(whole));
        case fmt::PlainFloat::NotANumber:
            return py::reinterpret_borrow<py::object>(VM_STR("0"));
        case fmt::PlainFloat::AskPython:
            break;
    }
    py::object value = py::reinterpret_borrow<py::object>(view_count);
    if (PyUnicode_Check(view_count.ptr())) {
        // A subclass's own replace() is the one that runs.
        PyObject* replaced = PyUnicode_CheckExact(view_count.ptr())
                                 ? PyUnicode_Replace(view_count.ptr(), VM_STR(",").ptr(), VM_STR("").ptr(), -1)
                                 : PyObject_CallMethodObjArgs(view_count.ptr(), VM_STR("replace").ptr(),
                                                              VM_STR(",").ptr(), VM_STR("").ptr(), nullptr);
        if (!replaced) {
            does_not_convert();
            return py::reinterpret_borrow<py::object>(VM_STR("0"));
        }
        value = py::reinterpret_steal<py::object>(replaced);
    }
    if (!whole_number(value, whole)) return py::reinterpret_borrow<py::object>(VM_STR("0"));
    return ascii(fmt::count_text(whole));
}

py::object format_count(py::handle self, py::handle value) {
    if (value.is_none()) return py::reinterpret_borrow<py::object>(VM_STR(""));
    try {
        return call_formatter(self, Formatter::ViewCount, value);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        return py::reinterpret_borrow<py::object>(VM_STR(""));
    }
}

// The formatters as the class defines them: while an instance finds one of
// these function objects, its body runs without a call through Python.
struct Own {
    const char* name;
    PyObject* interned_name;  // both kept for the process
    PyObject* function;
};
Own own[] = {{"_format_duration", nullptr, nullptr}, {"_format_view_count", nullptr, nullptr},
             {"_format_count", nullptr, nullptr}};

void remember(vm::ClassBuilder& b, Formatter which) {
    Own& o = own[static_cast<int>(which)];
    o.interned_name = PyUnicode_InternFromString(o.name);
    o.function = b.defined(o.name).release().ptr();
}

}  // namespace

py::object call_formatter(py::handle self, Formatter which, py::handle value) {
    const Own& o = own[static_cast<int>(which)];
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(self.ptr(), o.interned_name, &found);
    py::object method = vm::steal(found);
    if (unbound && found == o.function) {
        switch (which) {
            case Formatter::Duration:
                return format_duration(value);
            case Formatter::ViewCount:
                return format_view_count(value);
            case Formatter::Count:
                return format_count(self, value);
        }
    }
    if (unbound) return vm::steal(PyObject_CallFunctionObjArgs(found, self.ptr(), value.ptr(), nullptr));
    return vm::steal(PyObject_CallOneArg(found, value.ptr()));
}

// _format_duration(self, seconds: Union[int, float]) -> str
void add_format_duration(vm::ClassBuilder& b, py::module_& m) {
    py::object number = vm::subscript(m.attr("Union"), py::make_tuple(vm::type_object(&PyLong_Type),
                                                                       vm::type_object(&PyFloat_Type)));
    b.method(
        "_format_duration", {vm::self(), vm::arg("seconds").ann(number)},
        [](const vm::Args& a) { return format_duration(a[1]); }, "Format seconds as H:MM:SS or M:SS.",
        vm::type_object(&PyUnicode_Type));
    remember(b, Formatter::Duration);
}

// _format_view_count(self, view_count: int) -> str
void add_format_view_count(vm::ClassBuilder& b, py::module_&) {
    b.method(
        "_format_view_count", {vm::self(), vm::arg("view_count").ann(vm::type_object(&PyLong_Type))},
        [](const vm::Args& a) { return format_view_count(a[1]); }, "Format a count as 1.2M, 3.4K or 999.",
        vm::type_object(&PyUnicode_Type));
    remember(b, Formatter::ViewCount);
}

// _format_count(self, value: Optional[int]) -> str
void add_format_count(vm::ClassBuilder& b, py::module_& m) {
    b.method(
        "_format_count",
        {vm::self(), vm::arg("value").ann(vm::subscript(m.attr("Optional"), vm::type_object(&PyLong_Type)))},
        // Through the instance, so that a replaced _format_view_count counts.
        [](const vm::Args& a) { return format_count(a.self(), a[1]); },
        "Format an optional count for display; empty when missing.", vm::type_object(&PyUnicode_Type));
    remember(b, Formatter::Count);
}

}  // namespace velmora::reelmoor
