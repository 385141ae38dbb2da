// The function type of the helper library: Python-like functions written in C++
// (calls, signatures, attributes; the binding of arguments is in
// py_binding.cpp). See pyfunc.hpp.
#include "pyfunc.hpp"

#include <structmember.h>

#include <cstring>
#include <exception>
#include <utility>

#include "exit_gate.hpp"
#include "py_frames.hpp"
#include "py_function_impl.hpp"

namespace vm {

// ---------------------------------------------------------------------------
// Param

Param&& Param::def(py::object value) && {
    default_value = std::move(value);
    return std::move(*this);
}
Param&& Param::ann(py::object a) && {
    annotation = std::move(a);
    return std::move(*this);
}
Param&& Param::text_ann() && {
    annotation = type_object(&PyUnicode_Type);
    text = true;
    return std::move(*this);
}
Param&& Param::pos_only() && {
    kind = PositionalOnly;
    return std::move(*this);
}
Param&& Param::kw_only() && {
    kind = KeywordOnly;
    return std::move(*this);
}

Param arg(const char* name) {
    Param p;
    p.name = name;
    return p;
}
Param var_args(const char* name) {
    Param p;
    p.name = name;
    p.kind = Param::VarPositional;
    return p;
}
Param var_kwargs(const char* name) {
    Param p;
    p.name = name;
    p.kind = Param::VarKeyword;
    return p;
}

// ---------------------------------------------------------------------------
// The function type

namespace {

using function_detail::bind;
using function_detail::FunctionObject;
using function_detail::Impl;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};  // filled in by function_type()
#pragma GCC diagnostic pop


// The native function whose body runs now on this thread (the innermost
// one), for the frame of an error logged while it runs and the prefix of its
// argument errors. Borrowed: a caller holds the function during its call.
thread_local FunctionObject* t_running = nullptr;

struct Running {
    explicit Running(FunctionObject* f) : previous(t_running) { t_running = f; }
    ~Running() { t_running = previous; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    FunctionObject* previous;
};

void release(PyObject** slots, size_t n) {
    for (size_t i = 0; i < n; ++i) Py_XDECREF(slots[i]);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const NativeBody native;  // the thread is inside a C++ body until it returns
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    const size_t n = f->impl->params.size();
    // Small signatures bind into a buffer on the stack.
    PyObject* small[12] = {};
    std::unique_ptr<PyObject*[]> large;
    PyObject** slots = small;
    if (n > 12) {
        large.reset(new PyObject*[n]());
        slots = large.get();
    }
    if (!bind(f, args, nargs, kwnames, slots)) {
        release(slots, n);
        return nullptr;
    }
    PyObject* result = nullptr;
    Running running(f);
    try {
        py::object r = f->impl->body(Args(slots, n));
        result = r ? r.release().ptr() : Py_NewRef(Py_None);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        set_python_error(e);
    }
    // As the interpreter does for a Python function an error passes through.
    if (!result) detail::add_frame(f->impl->origin, f->qualname);
    release(slots, n);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    Py_VISIT(f->doc);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    if (f->impl) {
        for (PyObject* n : f->impl->names) Py_XDECREF(n);
        delete f->impl;
        f->impl = nullptr;
    }
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* build_signature(FunctionObject* f) {
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object empty = parameter.attr("empty");
        static const char* kinds[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY",
                                      "VAR_POSITIONAL", "VAR_KEYWORD"};
        py::list params;
        for (const Param& p : f->impl->params) {
            py::dict kw;
            kw["default"] = p.default_value ? p.default_value : empty;
            kw["annotation"] = p.annotation ? p.annotation : empty;
            params.append(parameter(p.name, parameter.attr(kinds[p.kind]), **kw));
        }
        py::object ret = f->impl->return_annotation ? f->impl->return_annotation : empty;
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->signature) f->signature = build_signature(f);
    return Py_XNewRef(f->signature);
}

int set_signature(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XSETREF(f->signature, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    for (const Param& p : f->impl->params)
        if (p.annotation && PyDict_SetItemString(d, p.name.c_str(), p.annotation.ptr()) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    if (f->impl->return_annotation && PyDict_SetItemString(d, "return", f->impl->return_annotation.ptr()) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

// As on a Python function: the defaults of the positional parameters, or None.
PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    std::vector<PyObject*> values;
    for (size_t i = 0; i < f->impl->n_positional; ++i)
        if (f->impl->params[i].default_value) values.push_back(f->impl->params[i].default_value.ptr());
    if (values.empty()) Py_RETURN_NONE;
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
    if (!t) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(values[i]));
    return t;
}

// The defaults of the keyword-only parameters, or None.
PyObject* get_kwdefaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* d = nullptr;
    for (const Param& p : f->impl->params) {
        if (p.kind != Param::KeywordOnly || !p.default_value) continue;
        if (!d && !(d = PyDict_New())) return nullptr;
        if (PyDict_SetItemString(d, p.name.c_str(), p.default_value.ptr()) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    if (!d) Py_RETURN_NONE;
    return d;
}

PyObject* get_abstract(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<FunctionObject*>(self)->impl->abstract);
}

PyObject* get_str_field(PyObject** field) { return Py_NewRef(*field ? *field : Py_None); }

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str_field(&reinterpret_cast<FunctionObject*>(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return get_str_field(&reinterpret_cast<FunctionObject*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return get_str_field(&reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_XNewRef(v));
    return 0;
}
PyObject* get_module(PyObject* self, void*) {
    return get_str_field(&reinterpret_cast<FunctionObject*>(self)->module);
}
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->module, Py_XNewRef(v));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__isabstractmethod__", get_abstract, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject* function_type() {
    static bool ready = false;
    if (!ready) {
        FunctionType.tp_name = "velmora.function";
        FunctionType.tp_basicsize = sizeof(FunctionObject);
        FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR;
        FunctionType.tp_doc = "A function written in C++ that behaves as a Python function.";
        FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        FunctionType.tp_call = PyVectorcall_Call;
        FunctionType.tp_descr_get = function_descr_get;
        FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
        FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
        FunctionType.tp_traverse = function_traverse;
        FunctionType.tp_clear = function_clear;
        FunctionType.tp_dealloc = function_dealloc;
        FunctionType.tp_repr = function_repr;
        FunctionType.tp_getset = function_getset;
        if (PyType_Ready(&FunctionType) < 0) throw py::error_already_set();
        ready = true;
    }
    return &FunctionType;
}

}  // namespace

py::object make_function(FunctionSpec spec, Body body, std::source_location where) {
    PyTypeObject* type = function_type();
    auto impl = std::make_unique<Impl>();
    impl->origin.define_at(where);
    impl->params = std::move(spec.params);
    impl->return_annotation = std::move(spec.return_annotation);
    impl->body = std::move(body);
    impl->abstract = spec.abstract;
    // As in `def f(self, x, /)`: everything before the last positional-only
    // parameter is positional-only too.
    for (size_t i = impl->params.size(); i-- > 0;) {
        if (impl->params[i].kind == Param::PositionalOnly) {
            for (size_t j = 0; j < i; ++j) impl->params[j].kind = Param::PositionalOnly;
            break;
        }
    }
    int stage = 0;  // 0 positional-only, 1 positional-or-keyword, 2 after *args, 3 after **kwargs
    for (size_t i = 0; i < impl->params.size(); ++i) {
        const Param& p = impl->params[i];
        PyObject* name = PyUnicode_InternFromString(p.name.c_str());
        if (!name) throw py::error_already_set();
        impl->names.push_back(name);
        switch (p.kind) {
            case Param::PositionalOnly:
                if (stage > 0) throw std::logic_error("positional-only parameter after others: " + p.name);
                ++impl->n_pos_only;
                ++impl->n_positional;
                break;
            case Param::PositionalOrKeyword:
                if (stage > 1) throw std::logic_error("positional parameter after *args: " + p.name);
                stage = 1;
                ++impl->n_positional;
                break;
            case Param::VarPositional:
                impl->var_args = static_cast<ssize_t>(i);
                stage = 2;
                break;
            case Param::KeywordOnly:
                stage = 2;
                break;
            case Param::VarKeyword:
                impl->var_kwargs = static_cast<ssize_t>(i);
                stage = 3;
                break;
        }
    }
    auto* f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->signature = nullptr;
    f->weakrefs = nullptr;
    f->impl = impl.release();
    f->name = PyUnicode_FromString(spec.name.c_str());
    f->qualname = PyUnicode_FromString((spec.qualname.empty() ? spec.name : spec.qualname).c_str());
    f->module = spec.module.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(spec.module.c_str());
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

bool is_function(py::handle obj) { return Py_TYPE(obj.ptr()) == &FunctionType; }

py::object running_qualname() {
    return t_running ? py::reinterpret_borrow<py::object>(t_running->qualname) : py::object();
}

bool detail::add_running_frame() {
    if (!t_running) return false;
    detail::add_frame(t_running->impl->origin, t_running->qualname);
    return true;
}

}  // namespace vm
