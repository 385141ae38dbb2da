// core.fault_reporter: module body.
//
// A failing import at load (wxPython missing) reaches the importer as the
// import system's own error (VM_MODULE).
#include "fault_reporter.hpp"

namespace py = pybind11;
using namespace velmora::fault_reporter;

namespace {

void load(py::module_& m) {
    vm::import_into(m, "os");
    vm::import_into(m, "sys");
    vm::import_into(m, "traceback");
    vm::from_import(m, "datetime", {"datetime"});
    vm::from_import(m, "pathlib", {"Path"});
    vm::import_into(m, "wx");
    define_fault_reporter(m);
    define_module_functions(m);
}

}  // namespace

VM_MODULE(fault_reporter, load)
