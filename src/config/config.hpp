// core.config: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::config {
namespace py = pybind11;

// settings.cpp: Config.
void define_config(py::module_& m);

}  // namespace velmora::config
