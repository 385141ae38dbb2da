// core.fault_reporter: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::fault_reporter {
namespace py = pybind11;

// Shared small helpers (reporter.cpp).
py::str text_of(py::handle value);
using vm::concat;
// A builtin as module code sees it: a module global of that name first.
py::object builtin(py::module_& m, const char* name);
// print(text, file=sys.<stream>), where an unusable stream (None, missing,
// closed, failing) is no error and gets nothing: the reporter's own
// diagnostics never raise and never stray onto the other stream.
void quiet_print(py::module_& m, const char* stream, py::handle text);

// reporter.cpp: FaultReporter.
void define_fault_reporter(py::module_& m);

// guards.cpp: get_fault_reporter, handle_error, log_error, log_message,
// with_error_handling.
void define_module_functions(py::module_& m);

}  // namespace velmora::fault_reporter
