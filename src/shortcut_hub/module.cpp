// core.shortcut_hub: module body.
//
// The keyboard library, the screen-reader getter and the host's volume
// conversion are bound here, with no fallback: without any of them the
// module does not load. VM_MODULE passes such a failure to the importer as
// the import system's own error.
#include "shortcut_hub.hpp"

namespace py = pybind11;
using namespace velmora::shortcut_hub;

namespace {

void load(py::module_& m) {
    m.doc() = "Global keyboard shortcuts for playback on the host's players.";
    vm::import_into(m, "json");
    vm::import_into(m, "logging");
    vm::from_import(m, "pathlib", {"Path"});
    m.attr("WXKeyboardHandler") = vm::import_from("keyboard_handler.wx_handler", "WXKeyboardHandler");
    m.attr("get_accessibility_manager") = vm::import_from("core.accessibility", "get_accessibility_manager");
    m.attr("db_to_percentage") = vm::import_from("player.media_player", "db_to_percentage");
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("core.shortcut_hub");
    define_shortcut_hub(m);
}

}  // namespace

VM_MODULE(shortcut_hub, load)
