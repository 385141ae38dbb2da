// core.fault_reporter: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::fault_reporter {
namespace py = pybind11;

// reporter.cpp: FaultReporter.
void define_fault_reporter(py::module_& m);

// guards.cpp: get_fault_reporter, handle_error, log_error, log_message,
// with_error_handling.
void define_module_functions(py::module_& m);

}  // namespace velmora::fault_reporter
