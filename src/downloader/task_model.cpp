// DownloadStatus, DownloadProgress and DownloadTask.
//
// DownloadProgress.update and __str__ run once per received chunk and once per
// progress line the host shows, so both work on the C API directly. Values
// stay Python objects: plain ints (up to 2**53) and floats take a native path
// that gives exactly what Python's arithmetic and float formatting give; any
// other number goes through Python's own operators.
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>

#include "downloader.hpp"
#include "formats.hpp"

namespace velmora::downloader {
namespace {

namespace fmt = velmora::formats;

using vm::compare;

void set_double(py::handle obj, py::handle name, double value) {
    py::object v = vm::steal(PyFloat_FromDouble(value));
    vm::set_attr(obj, name, v);
}

py::object text(const std::string& s) {
    return vm::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// format(value, format_spec), as an f-string field does it.
py::object format_obj(py::handle value, py::handle format_spec) {
    return vm::steal(PyObject_Format(value.ptr(), format_spec.ptr()));
}

// State of one module instance (the module may be loaded twice: as
// core.downloader and as the demonstration's __main__).
struct Model {
    py::object globals;  // the module's __dict__, kept alive by the methods
    py::object format_size, format_speed, format_eta;  // the class's own methods
    // The standard clock as the module imported it, called directly while
    // neither the module global `time` nor `time.time` has been replaced.
    py::object time_module, time_function;
    PyObject* time_dict = nullptr;
    PyCFunction time_c = nullptr;
    PyObject* time_self = nullptr;
    // Types known to keep the three formatting methods, by version tag.
    PyTypeObject* checked_type = nullptr;
    unsigned int checked_tag = 0;
};

// A module global, looked up now; builtins after the namespace, as Python does.
py::object global(const Model& st, py::handle name) { return vm::name_in(st.globals, name); }

py::object now(const Model& st) {
    if (st.time_c) {
        PyObject* module = PyDict_GetItemWithError(st.globals.ptr(), VM_STR("time").ptr());
        if (module == st.time_module.ptr() &&
            PyDict_GetItemWithError(st.time_dict, VM_STR("time").ptr()) == st.time_function.ptr())
            return vm::steal(st.time_c(st.time_self, nullptr));
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object time_module = global(st, VM_STR("time"));
    py::object clock = vm::get_attr(time_module, VM_STR("time"));
    return vm::steal(PyObject_CallNoArgs(clock.ptr()));
}

void remember_clock(py::module_& m, Model& st) {
    st.time_module = m.attr("time");
    st.time_function = st.time_module.attr("time");
    PyObject* f = st.time_function.ptr();
    if (PyModule_Check(st.time_module.ptr()) && PyCFunction_Check(f) && (PyCFunction_GET_FLAGS(f) & METH_NOARGS)) {
        st.time_dict = PyModule_GetDict(st.time_module.ptr());
        st.time_c = PyCFunction_GET_FUNCTION(f);
        st.time_self = PyCFunction_GET_SELF(f);
    }
}

constexpr long long kExactLimit = 1LL << 53;  // ints a double holds exactly

// A plain int small enough that double arithmetic on it is exact.
bool small_int(PyObject* o, long long& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v > kExactLimit || v < -kExactLimit) return false;
    out = v;
    return true;
}

// A plain float, or a plain int that converts to a float (as Python converts
// it for `value < 1024.0`, `value / 1024.0` and `format(value, ".2f")`).
bool plain_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        double v = PyLong_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        out = v;
        return true;
    }
    return false;
}

// int(eta) for a plain float or int that fits 64 bits; false for anything else.
// `zero` tells that eta == 0 (no estimate).
bool plain_eta(PyObject* o, long long& whole, bool& zero) {
    if (PyFloat_CheckExact(o)) {
        const double v = PyFloat_AS_DOUBLE(o);
        zero = v == 0.0;
        if (!std::isfinite(v)) return false;
        const double t = std::trunc(v);
        if (t >= 9.2e18 || t <= -9.2e18) return false;
        whole = static_cast<long long>(t);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        whole = v;
        zero = v == 0;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The formatting methods, with Python's semantics for any number.

py::object size_text_of(py::handle value) {
    double v;
    if (plain_double(value.ptr(), v)) return text(fmt::size_text(v));
    static const char* const units[] = {"B", "KB", "MB", "GB"};
    py::object limit = vm::steal(PyFloat_FromDouble(1024.0));
    py::object x = py::reinterpret_borrow<py::object>(value);
    for (const char* unit : units) {
        if (compare(x, limit, Py_LT)) {
            py::object number = format_obj(x, VM_STR(".2f"));
            return vm::steal(PyUnicode_FromFormat("%U %s", number.ptr(), unit));
        }
        x = vm::steal(PyNumber_InPlaceTrueDivide(x.ptr(), limit.ptr()));
    }
    py::object number = format_obj(x, VM_STR(".2f"));
    return vm::steal(PyUnicode_FromFormat("%U TB", number.ptr()));
}

py::object eta_text_of(py::handle eta) {
    long long whole = 0;
    bool zero = false;
    if (plain_eta(eta.ptr(), whole, zero)) return text(zero ? fmt::kUnknownEta : fmt::eta_text(whole));
    py::object int_zero = vm::steal(PyLong_FromLong(0));
    if (compare(eta, int_zero, Py_EQ)) return text(fmt::kUnknownEta);
    py::object total = vm::steal(PyNumber_Long(eta.ptr()));
    py::object hour = vm::steal(PyLong_FromLong(3600)), minute = vm::steal(PyLong_FromLong(60));
    py::object hr = vm::steal(PyNumber_Divmod(total.ptr(), hour.ptr()));
    py::object hours = hr[py::int_(0)], remainder = hr[py::int_(1)];
    py::object ms = vm::steal(PyNumber_Divmod(remainder.ptr(), minute.ptr()));
    py::object minutes = ms[py::int_(0)], seconds = ms[py::int_(1)];
    py::object h = format_obj(hours, VM_STR("")), m = format_obj(minutes, VM_STR("")),
               s = format_obj(seconds, VM_STR(""));
    if (compare(hours, int_zero, Py_GT))
        return vm::steal(PyUnicode_FromFormat("%Uh %Um %Us", h.ptr(), m.ptr(), s.ptr()));
    if (compare(minutes, int_zero, Py_GT))
        return vm::steal(PyUnicode_FromFormat("%Um %Us", m.ptr(), s.ptr()));
    return vm::steal(PyUnicode_FromFormat("%Us", s.ptr()));
}

// True when the object's own attributes hold something under one of `names`,
// which then hides the class's method, as for any plain function attribute.
bool shadowed(py::handle self, std::initializer_list<py::handle> names) {
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    bool found = false;
    for (py::handle name : names) {
        found = PyDict_GetItemWithError(dict, name.ptr()) != nullptr;
        if (found || PyErr_Occurred()) break;
    }
    Py_DECREF(dict);
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found;
}

// True when the class of `self` still has `original` under `name` (not
// replaced by a subclass, the host or a test).
bool own_class_method(py::handle self, py::handle name, const py::object& original) {
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), name.ptr());
    if (!found) {
        PyErr_Clear();
        return false;
    }
    const bool same = found == original.ptr();
    Py_DECREF(found);
    return same;
}

// True when `self.name` gives the class's own `original`.
bool own_method(py::handle self, py::handle name, const py::object& original) {
    return own_class_method(self, name, original) && !shadowed(self, {name});
}

py::object self_format_size(const Model& st, py::handle self, py::handle value) {
    if (own_method(self, VM_STR("format_size"), st.format_size)) return size_text_of(value);
    return vm::call_method(self, VM_STR("format_size"), value);
}

py::object speed_text_of(const Model& st, py::handle self) {
    py::object speed = vm::get_attr(self, VM_STR("speed"));
    py::object size = self_format_size(st, self, speed);
    py::object shown = format_obj(size, VM_STR(""));
    return vm::steal(PyUnicode_FromFormat("%U/s", shown.ptr()));
}

py::object self_format(const Model& st, py::handle self, py::handle name, const py::object& original,
                       py::object (*own)(const Model&, py::handle)) {
    if (own_method(self, name, original)) return own(st, self);
    return vm::call_method(self, name);
}

py::object own_eta(const Model&, py::handle self) { return eta_text_of(vm::get_attr(self, VM_STR("eta"))); }

// True when `self.format_size`, `self.format_speed` and `self.format_eta`
// give the class's own three methods. The class's answer is kept for its
// current version tag, which the runtime changes whenever the class or one
// of its bases is modified.
bool own_formatting(Model& st, py::handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    bool own = tagged && type == st.checked_type && type->tp_version_tag == st.checked_tag;
    if (!own) {
        own = own_class_method(self, VM_STR("format_size"), st.format_size) &&
              own_class_method(self, VM_STR("format_speed"), st.format_speed) &&
              own_class_method(self, VM_STR("format_eta"), st.format_eta);
        // The look-ups above give the class a valid tag if it had none.
        if (own && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            st.checked_type = type;
            st.checked_tag = type->tp_version_tag;
        }
    }
    // The class's answer holds for the object unless the object itself holds
    // one of the three names.
    return own && !shadowed(self, {VM_STR("format_size"), VM_STR("format_speed"), VM_STR("format_eta")});
}

// The progress line when every piece is a plain number and the class's own
// formatting methods are in place; false when the general path is needed.
bool fast_progress_text(Model& st, py::handle self, std::string& out) {
    if (!own_formatting(st, self)) return false;
    double done, total, percentage, speed;
    long long eta_whole = 0;
    bool eta_zero = false;
    if (!plain_double(vm::get_attr(self, VM_STR("bytes_downloaded")).ptr(), done) ||
        !plain_double(vm::get_attr(self, VM_STR("total_bytes")).ptr(), total) ||
        !plain_double(vm::get_attr(self, VM_STR("percentage")).ptr(), percentage) ||
        !plain_double(vm::get_attr(self, VM_STR("speed")).ptr(), speed) ||
        !plain_eta(vm::get_attr(self, VM_STR("eta")).ptr(), eta_whole, eta_zero))
        return false;
    out.reserve(96);
    fmt::append_size(out, done);
    out += " / ";
    fmt::append_size(out, total);
    out += " (";
    fmt::append_fixed(out, percentage, 1);
    out += "%) - Speed: ";
    fmt::append_size(out, speed);
    out += "/s - ETA: ";
    if (eta_zero)
        out += fmt::kUnknownEta;
    else
        fmt::append_eta(out, eta_whole);
    return true;
}

py::object progress_text(Model& st, py::handle self) {
    std::string line;
    if (fast_progress_text(st, self, line)) return text(line);
    py::object done = format_obj(self_format_size(st, self, vm::get_attr(self, VM_STR("bytes_downloaded"))), VM_STR(""));
    py::object total = format_obj(self_format_size(st, self, vm::get_attr(self, VM_STR("total_bytes"))), VM_STR(""));
    py::object percentage = format_obj(vm::get_attr(self, VM_STR("percentage")), VM_STR(".1f"));
    py::object speed =
        format_obj(self_format(st, self, VM_STR("format_speed"), st.format_speed, speed_text_of), VM_STR(""));
    py::object eta = format_obj(self_format(st, self, VM_STR("format_eta"), st.format_eta, own_eta), VM_STR(""));
    return vm::steal(PyUnicode_FromFormat("%U / %U (%U%%) - Speed: %U - ETA: %U", done.ptr(), total.ptr(),
                                               percentage.ptr(), speed.ptr(), eta.ptr()));
}

// ---------------------------------------------------------------------------
// DownloadProgress.update

void update_progress(const Model& st, py::handle self, py::handle done, py::handle total) {
    vm::set_attr(self, VM_STR("bytes_downloaded"), done);
    vm::set_attr(self, VM_STR("total_bytes"), total);

    long long d = 0, t = 0;
    const bool ints = small_int(done.ptr(), d) && small_int(total.ptr(), t);
    py::object int_zero = vm::steal(PyLong_FromLong(0));
    if (ints) {
        if (t > 0) set_double(self, VM_STR("percentage"), static_cast<double>(d) / static_cast<double>(t) * 100.0);
    } else if (compare(total, int_zero, Py_GT)) {
        py::object share = vm::steal(PyNumber_TrueDivide(done.ptr(), total.ptr()));
        py::object hundred = vm::steal(PyLong_FromLong(100));
        vm::set_attr(self, VM_STR("percentage"), vm::steal(PyNumber_Multiply(share.ptr(), hundred.ptr())));
    }

    py::object current = now(st);
    py::object start = vm::get_attr(self, VM_STR("start_time"));
    if (ints && PyFloat_CheckExact(current.ptr()) && PyFloat_CheckExact(start.ptr())) {
        const double elapsed = PyFloat_AS_DOUBLE(current.ptr()) - PyFloat_AS_DOUBLE(start.ptr());
        if (elapsed > 0) {
            const double speed = static_cast<double>(d) / elapsed;
            set_double(self, VM_STR("speed"), speed);
            if (speed > 0 && t > d) set_double(self, VM_STR("eta"), static_cast<double>(t - d) / speed);
        }
        return;
    }
    py::object elapsed = vm::steal(PyNumber_Subtract(current.ptr(), start.ptr()));
    if (compare(elapsed, int_zero, Py_GT)) {
        py::object speed = vm::steal(PyNumber_TrueDivide(done.ptr(), elapsed.ptr()));
        vm::set_attr(self, VM_STR("speed"), speed);
        if (compare(speed, int_zero, Py_GT) && compare(total, done, Py_GT)) {
            py::object left = vm::steal(PyNumber_Subtract(total.ptr(), done.ptr()));
            vm::set_attr(self, VM_STR("eta"), vm::steal(PyNumber_TrueDivide(left.ptr(), speed.ptr())));
        }
    }
}

void define_status(py::module_& m) {
    // Built as a class statement builds it: the enumeration's own namespace
    // from __prepare__, filled in source order, then the metaclass call.
    py::object enum_type = m.attr("Enum");
    py::object meta = py::type::of(enum_type);
    py::tuple bases = py::make_tuple(enum_type);
    py::object body = meta.attr("__prepare__")("DownloadStatus", bases);
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = "DownloadStatus";
    body["__doc__"] = "Download status enumeration";
    for (const char* name : {"QUEUED", "DOWNLOADING", "PAUSED", "COMPLETED", "FAILED", "CANCELLED"}) {
        std::string value(name);
        for (char& c : value) c = static_cast<char>(c - 'A' + 'a');
        body[name] = py::str(value);
    }
    m.attr("DownloadStatus") = meta("DownloadStatus", bases, body);
}

void define_progress(py::module_& m, const std::shared_ptr<Model>& st) {
    py::object int_type = vm::type_object(&PyLong_Type);
    py::object str_type = vm::type_object(&PyUnicode_Type);

    vm::ClassBuilder b(m, "DownloadProgress", "Download progress information");
    b.method("__init__", {vm::self()}, [st](const vm::Args& a) -> py::object {
        py::handle self = a.self();
        py::object int_zero = vm::steal(PyLong_FromLong(0));
        vm::set_attr(self, VM_STR("bytes_downloaded"), int_zero);
        vm::set_attr(self, VM_STR("total_bytes"), int_zero);
        set_double(self, VM_STR("percentage"), 0.0);
        set_double(self, VM_STR("speed"), 0.0);
        set_double(self, VM_STR("eta"), 0.0);
        vm::set_attr(self, VM_STR("status"), vm::get_attr(global(*st, VM_STR("DownloadStatus")), VM_STR("QUEUED")));
        vm::set_attr(self, VM_STR("error_message"), py::none());
        vm::set_attr(self, VM_STR("start_time"), now(*st));
        return py::object();
    });
    b.method(
        "update",
        {vm::self(), vm::arg("bytes_downloaded").ann(int_type), vm::arg("total_bytes").ann(int_type)},
        [st](const vm::Args& a) -> py::object {
            update_progress(*st, a[0], a[1], a[2]);
            return py::object();
        },
        "Update progress metrics");
    b.method(
        "format_size", {vm::self(), vm::arg("bytes_size").ann(int_type)},
        [](const vm::Args& a) -> py::object { return size_text_of(a[1]); }, "Format bytes to human-readable size",
        str_type);
    b.method(
        "format_speed", {vm::self()},
        [st](const vm::Args& a) -> py::object { return speed_text_of(*st, a.self()); }, "Format download speed",
        str_type);
    b.method(
        "format_eta", {vm::self()},
        [](const vm::Args& a) -> py::object { return eta_text_of(vm::get_attr(a.self(), VM_STR("eta"))); },
        "Format estimated time remaining", str_type);
    b.method(
        "__str__", {vm::self()},
        [st](const vm::Args& a) -> py::object { return progress_text(*st, a.self()); },
        "String representation of download progress", str_type);
    py::object cls = b.build();
    st->format_size = cls.attr("format_size");
    st->format_speed = cls.attr("format_speed");
    st->format_eta = cls.attr("format_eta");
}

void define_task(py::module_& m, const std::shared_ptr<Model>& st) {
    vm::ClassBuilder b(m, "DownloadTask", "Represents a download task");
    b.method("__init__",
             {vm::self(), vm::arg("url"), vm::arg("filename"), vm::arg("episode_title"), vm::arg("podcast_name"),
              vm::arg("task_id")},
             [st](const vm::Args& a) -> py::object {
                 py::handle self = a.self();
                 vm::set_attr(self, VM_STR("url"), a[1]);
                 vm::set_attr(self, VM_STR("filename"), a[2]);
                 vm::set_attr(self, VM_STR("episode_title"), a[3]);
                 vm::set_attr(self, VM_STR("podcast_name"), a[4]);
                 vm::set_attr(self, VM_STR("task_id"), a[5]);
                 vm::set_attr(self, VM_STR("progress"), global(*st, VM_STR("DownloadProgress"))());
                 py::object threading = global(*st, VM_STR("threading"));
                 vm::set_attr(self, VM_STR("cancel_flag"), threading.attr("Event")());
                 vm::set_attr(self, VM_STR("pause_flag"), threading.attr("Event")());
                 vm::set_attr(self, VM_STR("metadata"), py::dict());
                 vm::set_attr(self, VM_STR("output_path"), py::none());
                 return py::object();
             });
    b.build();
}

}  // namespace

void define_task_model(py::module_& m) {
    auto st = std::make_shared<Model>();
    st->globals = m.attr("__dict__");
    remember_clock(m, *st);
    define_status(m);
    define_progress(m, st);
    define_task(m, st);
}

}  // namespace velmora::downloader
