// The function type of the helper library: Python-like functions written in C++
// (binding, signatures, attributes). See pyfunc.hpp.
#include "pyfunc.hpp"

#include <structmember.h>

#include <cstring>
#include <exception>
#include <utility>

#include "exit_gate.hpp"
#include "py_frames.hpp"

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

struct Impl {
    std::vector<Param> params;
    std::vector<PyObject*> names;  // interned, owned
    py::object return_annotation;
    Body body;
    bool abstract = false;
    size_t n_positional = 0;  // positional-only + positional-or-keyword
    size_t n_pos_only = 0;
    ssize_t var_args = -1;
    ssize_t var_kwargs = -1;
    detail::Origin origin;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* signature;  // lazily built
    PyObject* weakrefs;
    Impl* impl;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};  // filled in by function_type()
#pragma GCC diagnostic pop

std::string quoted_list(const std::vector<std::string>& names) {
    // 'a', 'a' and 'b', 'a', 'b', and 'c' (Python's wording)
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                out += " and ";
            else if (i + 1 == names.size())
                out += ", and ";
            else
                out += ", ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

// The TypeError "<qualname>() <text>" of a call that does not fit. The
// qualname stays Python text; `text` holds only our own parameter names.
bool fail_call(FunctionObject* f, const std::string& text) {
    PyErr_Format(PyExc_TypeError, "%U() %s", f->qualname, text.c_str());
    return false;
}

bool refuse_text(FunctionObject* f, size_t i, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%U() argument '%U' must be str, not %s", f->qualname, f->impl->names[i],
                 Py_TYPE(value)->tp_name);
    return false;
}

// "got some positional-only arguments passed as keyword arguments: 'a, b'":
// the keywords that name positional-only parameters, in parameter order, as
// the interpreter lists them. False with an error set (that TypeError, or
// the failure of a comparison); true when no keyword names one.
template <class Named>
bool refuse_positional_only_keywords(FunctionObject* f, PyObject* kwnames, const Named& named) {
    PyObject* given = PyList_New(0);
    if (!given) return false;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    bool ok = true;
    for (size_t i = 0; ok && i < f->impl->n_pos_only; ++i)
        for (Py_ssize_t j = 0; ok && j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            const int match = named(i, key);
            ok = match >= 0 && (!match || PyList_Append(given, key) == 0);
        }
    if (ok && PyList_GET_SIZE(given) > 0) {
        ok = false;
        if (PyObject* names = PyUnicode_Join(VM_STR(", ").ptr(), given)) {
            PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                         f->qualname, names);
            Py_DECREF(names);
        }
    }
    Py_DECREF(given);
    return ok;
}

// Binds the call's arguments into slots (new references), in the interpreter's
// own order of checks and with its texts. Returns false with a TypeError set
// when the call does not fit the signature. `slots` has room for every
// parameter and is all null on entry.
bool bind(FunctionObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** slots) {
    Impl& impl = *f->impl;
    const size_t n = impl.params.size();
    auto fail = [f](const std::string& text) { return fail_call(f, text); };

    // The common call: every parameter given by position, nothing else.
    if (!kwnames && nargs == n && n == impl.n_positional && impl.var_args < 0 && impl.var_kwargs < 0) {
        for (size_t i = 0; i < n; ++i) {
            if (impl.params[i].text && args[i] != Py_None && !PyUnicode_Check(args[i]))
                return refuse_text(f, i, args[i]);
            slots[i] = Py_NewRef(args[i]);
        }
        return true;
    }

    // Positional arguments, and the rest into *args.
    const size_t take = nargs < impl.n_positional ? nargs : impl.n_positional;
    for (size_t i = 0; i < take; ++i) slots[i] = Py_NewRef(args[i]);
    if (impl.var_args >= 0) {
        const size_t extra = nargs > impl.n_positional ? nargs - impl.n_positional : 0;
        slots[impl.var_args] = PyTuple_New(static_cast<Py_ssize_t>(extra));
        if (!slots[impl.var_args]) return false;
        for (size_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(slots[impl.var_args], i, Py_NewRef(args[impl.n_positional + i]));
    }
    if (impl.var_kwargs >= 0) {
        slots[impl.var_kwargs] = PyDict_New();
        if (!slots[impl.var_kwargs]) return false;
    }

    // Keyword arguments.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    auto named = [&impl](size_t i, PyObject* key) -> int {
        const Param::Kind kind = impl.params[i].kind;
        if (kind == Param::VarPositional || kind == Param::VarKeyword) return 0;
        if (impl.names[i] == key) return 1;
        return PyUnicode_Compare(impl.names[i], key) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    };
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return false;
        }
        ssize_t found = -1;
        // Keywords are nearly always the interned names themselves: look for
        // the same object first, and compare texts only when none is.
        for (size_t i = impl.n_pos_only; i < n && found < 0; ++i)
            if (impl.names[i] == key && impl.params[i].kind != Param::VarPositional &&
                impl.params[i].kind != Param::VarKeyword)
                found = static_cast<ssize_t>(i);
        for (size_t i = impl.n_pos_only; i < n && found < 0; ++i) {
            const int match = named(i, key);
            if (match < 0) return false;
            if (match) found = static_cast<ssize_t>(i);
        }
        if (found < 0) {
            if (impl.var_kwargs >= 0) {
                if (PyDict_SetItem(slots[impl.var_kwargs], key, args[nargs + k]) < 0) return false;
                continue;
            }
            if (!refuse_positional_only_keywords(f, kwnames, named)) return false;
            // The keyword as given, between quotes: str(), not repr().
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return false;
        }
        if (slots[found]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return false;
        }
        slots[found] = Py_NewRef(args[nargs + k]);
    }

    // Too many positional arguments.
    if (nargs > impl.n_positional && impl.var_args < 0) {
        size_t defaults = 0, kwonly_given = 0;
        for (size_t i = 0; i < impl.n_positional; ++i)
            if (impl.params[i].default_value) ++defaults;
        for (size_t i = 0; i < n; ++i)
            if (impl.params[i].kind == Param::KeywordOnly && slots[i]) ++kwonly_given;
        std::string takes = defaults ? "from " + std::to_string(impl.n_positional - defaults) + " to " +
                                           std::to_string(impl.n_positional)
                                     : std::to_string(impl.n_positional);
        const bool plural = defaults || impl.n_positional != 1;
        std::string kwonly;
        if (kwonly_given)
            kwonly = std::string(" positional argument") + (nargs != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
        return fail("takes " + takes + " positional argument" + (plural ? "s" : "") + " but " + std::to_string(nargs) +
                    kwonly + (nargs == 1 && !kwonly_given ? " was" : " were") + " given");
    }

    // Defaults, then what is still missing.
    std::vector<std::string> missing_pos, missing_kw;
    for (size_t i = 0; i < n; ++i) {
        if (slots[i]) continue;
        const Param& p = impl.params[i];
        if (p.default_value) {
            slots[i] = Py_NewRef(p.default_value.ptr());
        } else if (p.kind == Param::KeywordOnly) {
            missing_kw.push_back(p.name);
        } else if (p.kind != Param::VarPositional && p.kind != Param::VarKeyword) {
            missing_pos.push_back(p.name);
        }
    }
    if (!missing_pos.empty() || !missing_kw.empty()) {
        const bool pos = !missing_pos.empty();
        const auto& list = pos ? missing_pos : missing_kw;
        return fail("missing " + std::to_string(list.size()) + " required " + (pos ? "positional" : "keyword-only") +
                    " argument" + (list.size() == 1 ? "" : "s") + ": " + quoted_list(list));
    }

    for (size_t i = 0; i < n; ++i) {
        if (impl.params[i].text && slots[i] != Py_None && !PyUnicode_Check(slots[i]))
            return refuse_text(f, i, slots[i]);
    }
    return true;
}

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
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
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
