// core.fault_reporter: module body.
#include "pyfunc.hpp"

namespace py = pybind11;

PYBIND11_MODULE(fault_reporter, m) {}
