// core.config: module body. Nothing here touches the store: data.storage is
// imported when a Config is constructed.
#include "config.hpp"
#include "exit_gate.hpp"
#include "process_state.hpp"

namespace py = pybind11;
using namespace velmora::config;

namespace {

void load(py::module_& m) {
    m.doc() = "Configuration management for Velmora.";
    vm::import_into(m, "os");
    vm::import_into(m, "sys");
    vm::from_import(m, "pathlib", {"Path"});
    define_config(m);
    m.attr("_config_instance") = py::none();

    // _thread is always loaded, so this adds no import to the module body. A
    // forked child gets a lock of its own (process_state.hpp).
    auto creation_lock = std::make_shared<vm::ProcessLock>(py::module_::import("_thread").attr("RLock"));
    vm::def_function(
        m, "get_config", {},
        [m, creation_lock](const vm::Args&) mutable {
            if (vm::global(m, "_config_instance").is_none()) {
                // Two threads making the first call at once still share one Config.
                vm::LockGuard held(creation_lock->get());
                if (vm::global(m, "_config_instance").is_none()) {
                    py::object config = vm::global(m, "Config")();
                    m.attr("_config_instance") = config;
                }
            }
            return vm::global(m, "_config_instance");
        },
        "Get the global config instance.");
}

}  // namespace

PYBIND11_MODULE(config, m) {
    vm::install_exit_gate();
    load(m);
}
