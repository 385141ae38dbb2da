// core.fault_reporter: module body.
//
// The entry point is written out rather than taken from PYBIND11_MODULE so
// that a failing import at load (wxPython missing) reaches the importer as
// the import system's own error instead of a wrapped "initialization failed".
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

py::module_::module_def module_definition;

}  // namespace

PYBIND11_PLUGIN_IMPL(fault_reporter) {
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    auto m = py::module_::create_extension_module("fault_reporter", nullptr, &module_definition);
    try {
        load(m);
        return m.ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
}
