// ShortcutHub: global keyboard shortcuts that drive playback on the host's
// players, working system-wide also while the application's window has no
// focus. The host makes one with its main window and registers the keys.
#include "shortcut_hub.hpp"

namespace velmora::shortcut_hub {

void define_shortcut_hub(py::module_& m) {
    vm::ClassBuilder b(m, "ShortcutHub", "Manages global keyboard shortcuts for media playback.");

    // The host's main window: only its declared type (the module never
    // loads the host's window module).
    b.method("__init__", {vm::self(), vm::arg("main_window").ann(py::str("MainWindow"))},
             [m](const vm::Args& a) -> py::object {
                 py::handle self = a.self(), window = a[1];
                 self.attr("main_window") = window;
                 self.attr("handler") = vm::global(m, "WXKeyboardHandler")(window);
                 self.attr("keymap") = self.attr("load_keymap")();
                 self.attr("accessibility") = vm::global(m, "get_accessibility_manager")();
                 return py::none();
             },
             "Set up the keyboard handler, the key map and the screen-reader output.");
    add_keymap_methods(b, m);
    add_action_methods(b, m);
    add_key_string_methods(b, m);
    b.build();
}

}  // namespace velmora::shortcut_hub
