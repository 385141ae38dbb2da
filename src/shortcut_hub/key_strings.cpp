// Key strings, the form the keyboard library takes a key combination in:
// lower-case words joined by "+", the modifiers first in the order control,
// alt, windows, shift, then the key name. The two formatters are offered to
// the host (its hotkey settings); the hub hands key strings to the library as
// they stand.
#include "shortcut_hub.hpp"

namespace velmora::shortcut_hub {
namespace {

using vm::Args;

const char* const kModifiers[] = {"control", "alt", "windows", "shift"};

bool is_modifier(py::handle part) {
    for (const char* word : kModifiers)
        if (PyUnicode_Check(part.ptr()) && PyUnicode_CompareWithASCIIString(part.ptr(), word) == 0) return true;
    return false;
}

py::object format_key_combination(const Args& a) {
    py::handle modifiers = a[0], key = a[1];
    py::list words;
    for (const char* word : kModifiers)
        if (vm::contains(modifiers, py::str(word))) words.append(word);
    if (vm::truthy(key)) words.append(key);  // None counts as no key
    return VM_STR("+").attr("join")(words);
}

py::object format_key_string(py::module_& m, const Args& a) {
    py::handle key_string = a[0];
    py::list parts = key_string.attr("split")("+");
    if (py::len(parts) == 1) return py::reinterpret_borrow<py::object>(key_string);
    py::object last = parts[py::len(parts) - 1];
    py::object key = is_modifier(last) ? py::str("") : last;
    py::set modifiers;
    // Walked as Python's for walks a list: a part's own hash may change it.
    for (py::handle part : py::iter(parts))
        if (is_modifier(part)) modifiers.add(part);
    return vm::global(m, "ShortcutHub").attr("format_key_combination")(modifiers, key);
}

}  // namespace

void add_key_string_methods(vm::ClassBuilder& b, py::module_& m) {
    py::object str_type = vm::type_object(&PyUnicode_Type);
    b.static_method("format_key_combination",
                    {vm::arg("modifiers").ann(vm::type_object(&PySet_Type)), vm::arg("key").text_ann().def(py::str(""))},
                    format_key_combination, "Build the key string of a set of modifiers and a key.", str_type);
    b.static_method("format_key_string", {vm::arg("key_string").text_ann()},
                    [m](const Args& a) mutable { return format_key_string(m, a); },
                    "Put the modifiers of a key string in their canonical order.", str_type);
}

}  // namespace velmora::shortcut_hub
