// core.accessibility: module body. The screen-reader library is not loaded
// here: the first AccessibilityManager loads it, so the module loads (and
// stays silent) on a machine without it.
#include "accessibility.hpp"
#include "exit_gate.hpp"

namespace py = pybind11;
using namespace velmora::accessibility;

PYBIND11_MODULE(accessibility, m) {
    vm::install_exit_gate();
    m.doc() = "Screen reader output for Velmora: speech, braille and silence through the running screen reader.";
    vm::import_into(m, "logging");
    vm::import_into(m, "platform");
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("core.accessibility");
    define_accessibility_manager(m);
    define_module_functions(m);
}
