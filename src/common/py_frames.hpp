// Traceback frames for native functions, inside the helper library (not part
// of pyfunc.hpp; defined in py_errors.cpp). An error raised by C++ code has
// no Python frame; like other compiled extensions, we give it one that names
// the function and the C++ source where it is defined, so a logged traceback
// says where it happened.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>

namespace vm::detail {

// Where a native function is defined, and the code object its frames show:
// made at its first error, remade when its `__qualname__` was changed since.
struct Origin {
    std::string file;  // relative to the project: "src/reelmoor/search.cpp"
    int line = 0;
    PyObject* code = nullptr;       // owned
    PyObject* code_name = nullptr;  // owned: the qualname `code` was made for

    void define_at(const std::source_location& where);

    Origin() = default;
    ~Origin();
    Origin(const Origin&) = delete;
    Origin& operator=(const Origin&) = delete;
};

// Adds a frame of the function `qualname` defined at `origin` to the
// traceback of the error being raised (as the interpreter does for a Python
// function the error passes through). Does nothing when no error is set; a
// failure to make the frame leaves the error as it was.
void add_frame(Origin& origin, PyObject* qualname);

// The same frame for the native function running now on this thread, if
// any: true when one was added. Defined beside the function type, which
// knows what is running.
bool add_running_frame();

}  // namespace vm::detail
