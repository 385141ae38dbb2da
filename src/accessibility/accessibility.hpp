// core.accessibility: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::accessibility {
namespace py = pybind11;

// manager.cpp: AccessibilityManager.
void define_accessibility_manager(py::module_& m);
// functions.cpp: get_accessibility_manager and the functions that speak
// through the one manager.
void define_module_functions(py::module_& m);

}  // namespace velmora::accessibility
