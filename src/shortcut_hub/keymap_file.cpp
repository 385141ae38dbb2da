// The key map of ShortcutHub: its defaults and labels, and the hotkey file
// "hotkeys.json" in the data folder that keeps the user's own keys.
//
// The file is JSON text in the platform's encoding and line ends, laid out
// as json.dumps(keymap, indent=2) writes it (plain ASCII: other characters
// are \u escapes). A save encodes the whole map first and then replaces the
// file in one step (atomic_file.hpp), so a map that cannot be written, a
// full disk or a kill leaves the old file as it was. A file that cannot be
// read as a JSON object is a failed load: the defaults apply and the file
// stays untouched until the next save. That save first keeps a file whose
// content does not load as "hotkeys.json.corrupt-<time>" (set_aside.hpp),
// as the data file's are kept, so the user's own keys are not lost with it;
// a file that could not be read at all tells nothing of its content and is
// replaced as any other.
#include "atomic_file.hpp"
#include "set_aside.hpp"
#include "shortcut_hub.hpp"

namespace velmora::shortcut_hub {
namespace {

using vm::Args;

py::dict defaults() {
    py::dict keymap;
    for (const Action& action : kActions) keymap[action.name] = py::str(action.default_keys);
    return keymap;
}

py::dict labels() {
    py::dict names;
    for (const Action& action : kActions) names[action.name] = py::str(action.label);
    return names;
}

py::object hotkeys_file_path(py::module_& m) {
    py::object fallback = vm::global(m, "Path").attr("home")() / py::str("Documents") / py::str("Velmora");
    py::object folder = config().attr("get")("data_directory", fallback);
    // A setting left empty names no folder (Path("") would be the current one).
    if (!vm::truthy(folder)) folder = fallback;
    return vm::global(m, "Path")(folder) / py::str("hotkeys.json");
}

// Content that does not load: not text in the platform's encoding, not
// JSON, or nested too deep for the parser.
bool is_bad_content(const py::error_already_set& e) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_RecursionError);
}

bool is_read_failure(const py::error_already_set& e) { return e.matches(PyExc_OSError) || is_bad_content(e); }

// json.loads(open(path).read()), the text in the platform's encoding.
py::object read_file(py::module_& m, py::handle path) {
    return vm::global(m, "json").attr("loads")(vm::read_text(path));
}

// Whether the regular file at `path` holds what load_keymap cannot take as
// a key map. Asked again at each save rather than remembered from the last
// load, so it is the file about to be replaced that counts, whichever hub
// loaded it. Anything but a regular file is not read (a pipe would wait
// for a writer), and a file that cannot be read is no proof of bad content.
bool holds_bad_content(py::module_& m, py::handle path) {
    if (!vm::truthy(py::module_::import("os").attr("path").attr("isfile")(path))) return false;
    try {
        return !PyDict_Check(read_file(m, path).ptr());
    } catch (py::error_already_set& e) {
        if (is_bad_content(e)) return true;
        if (e.matches(PyExc_OSError)) return false;
        throw;
    }
}

py::object load_keymap(py::module_& m, const Args& a) {
    py::handle self = a.self();
    py::object path = self.attr("get_hotkeys_file_path")();
    py::object keymap = self.attr("get_default_keymap")();
    // What saves of this file killed before their rename left beside it.
    vm::remove_stale_temporaries(path, logger(m));
    if (!vm::truthy(py::module_::import("os").attr("path").attr("exists")(path))) return keymap.attr("copy")();

    py::object loaded;
    try {
        loaded = read_file(m, path);
    } catch (py::error_already_set& e) {
        if (!is_read_failure(e)) throw;
        logger(m).attr("error")(vm::text("Failed to load hotkey configuration: ", vm::error_str(e)));
        return keymap.attr("copy")();
    }
    if (!PyDict_Check(loaded.ptr())) {
        logger(m).attr("error")(
            vm::text("Failed to load hotkey configuration: ", path, " does not hold a JSON object"));
        return keymap.attr("copy")();
    }
    // The file's members in its order, then the actions it lacks. The
    // membership test runs the defaults' own comparisons, which may change them.
    vm::for_each_item(keymap, [&](py::handle action, py::handle keys) {
        if (!vm::contains(loaded, action)) loaded[action] = keys;
    });
    logger(m).attr("info")(vm::text("Loaded hotkey configuration from ", path));
    return loaded;
}

// The file's bytes: the map as JSON text in the platform's line ends and
// encoding, as a text-mode file would write them.
std::string file_bytes(py::module_& m, py::handle keymap) {
    py::object text = vm::global(m, "json").attr("dumps")(keymap, py::arg("indent") = 2);
    text = text.attr("replace")("\n", py::module_::import("os").attr("linesep"));
    py::object encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    return text.attr("encode")(encoding).cast<std::string>();
}

py::object save_keymap(py::module_& m, const Args& a) {
    py::handle self = a.self();
    py::object keymap = a[1].is_none() ? py::object(self.attr("keymap")) : py::reinterpret_borrow<py::object>(a[1]);
    py::object path = self.attr("get_hotkeys_file_path")();
    // Encoded before anything is touched: a map that cannot be written
    // raises and leaves the file and its folder as they were.
    const std::string data = file_bytes(m, keymap);
    try {
        vm::global(m, "Path")(path).attr("parent").attr("mkdir")(py::arg("parents") = true,
                                                                  py::arg("exist_ok") = true);
        py::object file = vm::real_file_path(path);
        if (holds_bad_content(m, file)) vm::set_aside(file, py::module_::import("datetime").attr("datetime"));
        vm::replace_file(file, data);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        logger(m).attr("error")(vm::text("Failed to save hotkey configuration: ", vm::error_str(e)));
        return py::bool_(false);
    }
    logger(m).attr("info")(vm::text("Saved hotkey configuration to ", path));
    return py::bool_(true);
}

}  // namespace

void add_keymap_methods(vm::ClassBuilder& b, py::module_& m) {
    py::object str_type = vm::type_object(&PyUnicode_Type);
    py::object keymap_type = vm::subscript(vm::typing_of("Dict"), py::make_tuple(str_type, str_type));
    py::object optional_keymap = vm::subscript(vm::typing_of("Optional"), keymap_type);

    b.static_method("get_default_keymap", {}, [](const Args&) -> py::object { return defaults(); },
                    "Get the default hotkey mapping.", keymap_type);
    b.static_method("get_hotkey_labels", {}, [](const Args&) -> py::object { return labels(); },
                    "Get the display labels of the hotkey actions.", keymap_type);
    b.method("get_hotkeys_file_path", {vm::self()}, [m](const Args&) mutable { return hotkeys_file_path(m); },
             "Get the path of the hotkey configuration file.", vm::global(m, "Path"));
    b.method("load_keymap", {vm::self()}, [m](const Args& a) mutable { return load_keymap(m, a); },
             "Load the hotkey mapping from its file, completed with the defaults.", keymap_type);
    b.method("save_keymap", {vm::self(), vm::arg("keymap").ann(optional_keymap).def(py::none())},
             [m](const Args& a) mutable { return save_keymap(m, a); }, "Save a hotkey mapping to its file.",
             vm::type_object(&PyBool_Type));
}

}  // namespace velmora::shortcut_hub
