// core.config: module body.
#include "pyfunc.hpp"

namespace py = pybind11;

PYBIND11_MODULE(config, m) {}
