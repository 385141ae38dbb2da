// The module functions: the host's own announcements, each handed to the one
// AccessibilityManager (made and initialised by the first of them).
#include "accessibility.hpp"

namespace velmora::accessibility {
namespace {

using vm::Args;

py::object manager(py::handle m) { return vm::global(m, "get_accessibility_manager")(); }

}  // namespace

void define_module_functions(py::module_& m) {
    using vm::arg;
    const py::object bool_type = vm::type_object(&PyBool_Type);
    const std::vector<vm::Param> text_params = {arg("text").text_ann(),
                                                arg("interrupt").ann(bool_type).def(py::bool_(false))};

    vm::def_function(
        m, "get_accessibility_manager", {},
        [m](const Args&) { return vm::global(m, "AccessibilityManager")(); },
        "Get the global accessibility manager instance.", m.attr("AccessibilityManager"));
    vm::def_function(
        m, "speak", text_params,
        [m](const Args& a) { return manager(m).attr("speak")(a[0], py::arg("interrupt") = a[1]); },
        "Speak text through the screen reader.", bool_type);
    vm::def_function(
        m, "speak_and_braille", text_params,
        [m](const Args& a) { return manager(m).attr("speak_and_braille")(a[0], py::arg("interrupt") = a[1]); },
        "Speak text and show it on the braille display where there is one.", bool_type);
    vm::def_function(
        m, "silence", {}, [m](const Args&) { return manager(m).attr("silence")(); },
        "Stop the screen reader's speech.", bool_type);
    vm::def_function(
        m, "is_available", {}, [m](const Args&) { return manager(m).attr("is_available"); },
        "Check if screen reader output is available.", bool_type);
}

}  // namespace velmora::accessibility
