// How a call's arguments are bound to a native function's parameters: in the
// interpreter's own order of checks, with its TypeError texts. See
// py_function_impl.hpp.
#include <string>
#include <vector>

#include "py_function_impl.hpp"

namespace vm::function_detail {
namespace {

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

}  // namespace

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

}  // namespace vm::function_detail
