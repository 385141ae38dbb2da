// core.shortcut_hub: the pieces of ShortcutHub, one file per concern, put
// together into the one class by hub.cpp.
#pragma once

#include "pyfunc.hpp"

namespace velmora::shortcut_hub {
namespace py = pybind11;

// The six actions, in the order of the defaults, the labels and the
// registration: the name in the key map and in the file, its default key
// string, its display label and the hub's method the key calls.
struct Action {
    const char* name;
    const char* default_keys;
    const char* label;
    const char* method;
};
inline constexpr Action kActions[] = {
    {"play_pause", "alt+shift+back", "Play/Pause", "play_pause"},
    {"stop", "control+alt+s", "Stop", "stop"},
    {"next", "alt+shift+0", "Next/Skip Forward", "next_track"},
    {"previous", "alt+shift+9", "Previous/Skip Backward", "previous_track"},
    {"volume_up", "alt+shift+pageup", "Volume Up", "volume_up"},
    {"volume_down", "alt+shift+pagedown", "Volume Down", "volume_down"},
};

// The module's logger, as bound now.
inline py::object logger(py::handle m) { return vm::global(m, "logger"); }
// core.config's get_config(), imported at this call.
inline py::object config() { return vm::import_from("core.config", "get_config")(); }

// hub.cpp: ShortcutHub.
void define_shortcut_hub(py::module_& m);
// keymap_file.cpp: the defaults, the labels and the hotkey file.
void add_keymap_methods(vm::ClassBuilder& b, py::module_& m);
// key_strings.cpp: the two formatters of key strings.
void add_key_string_methods(vm::ClassBuilder& b, py::module_& m);
// actions.cpp: registration with the keyboard library and the six actions.
void add_action_methods(vm::ClassBuilder& b, py::module_& m);

}  // namespace velmora::shortcut_hub
