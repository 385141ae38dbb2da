// The function type's object layout, shared by its parts: py_function.cpp
// (the type, calls and attributes) and py_binding.cpp (how a call's arguments
// are bound to the parameters). Not part of the library's interface.
#pragma once

#include <string>
#include <vector>

#include "py_frames.hpp"
#include "pyfunc.hpp"

namespace vm::function_detail {

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

// Binds the call's arguments into slots (new references), in the interpreter's
// own order of checks and with its texts. Returns false with a TypeError set
// when the call does not fit the signature. `slots` has room for every
// parameter and is all null on entry.
bool bind(FunctionObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace vm::function_detail
