#include "private_folder.hpp"

#include <vector>

#include "video_site.hpp"

namespace vm {
namespace {

// The bases a private folder may go under, in the order they are tried;
// each is a text, or None for a variable that is not set.
std::vector<py::object> bases() {
    py::object os = py::module_::import("os");
    py::object environ = os.attr("environ");
    std::vector<py::object> found;
    found.push_back(py::module_::import("tempfile").attr("gettempdir")());
    for (const char* variable : {"TMPDIR", "TEMP", "TMP"})
        found.push_back(call_method(environ, VM_STR("get"), py::str(variable)));
    if (compare(os.attr("name"), VM_STR("nt"), Py_EQ)) {
        py::object root = call_method(environ, VM_STR("get"), VM_STR("SYSTEMROOT"));
        if (truthy(root)) found.push_back(os.attr("path").attr("join")(root, VM_STR("Temp")));
        for (const char* base : {"c:\\temp", "c:\\tmp", "\\temp", "\\tmp"}) found.push_back(py::str(base));
    } else {
        for (const char* base : {"/tmp", "/var/tmp", "/usr/tmp"}) found.push_back(py::str(base));
    }
    found.push_back(os.attr("getcwd")());
    return found;
}

}  // namespace

PrivateFolder::PrivateFolder() {
    py::object tempfile = py::module_::import("tempfile");
    py::object abspath = py::module_::import("os").attr("path").attr("abspath");
    for (const py::object& base : bases()) {
        if (!truthy(base)) continue;
        py::object absolute = abspath(base);
        if (!velmora::video_site::is_literal_output_template(code_points(absolute))) continue;
        try {
            py::object made = tempfile.attr("mkdtemp")(py::arg("prefix") = "velmora_", py::arg("dir") = absolute);
            path_ = global(py::module_::import("pathlib"), "Path")(made);
            return;
        } catch (py::error_already_set& e) {
            // Missing, not a folder, not writable: the next base may do.
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
    PyErr_SetString(PyExc_FileNotFoundError,
                    "No temporary folder could be made whose path holds no \"$\", no \"%\" and no leading \"~\"");
    throw py::error_already_set();
}

PrivateFolder::~PrivateFolder() {
    // A daemon thread unwound at interpreter exit has no Python left to call.
    if (removed_ || !PyGILState_Check()) return;
    try {
        remove();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("removing a download's private folder");
    }
}

void PrivateFolder::remove() {
    if (removed_) return;
    removed_ = true;
    py::module_::import("shutil").attr("rmtree")(path_, py::arg("ignore_errors") = true);
}

void move_new_file(py::handle source, py::handle target) {
    py::object os = py::module_::import("os");
    try {
        os.attr("link")(source, target);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileExistsError) || !e.matches(PyExc_OSError)) throw;
        // Another file system, or one without links: the file is copied
        // into a file of the copy's own making, so nothing is replaced.
        py::object shutil = py::module_::import("shutil");
        py::object open = builtin("open");
        with_context(open(source, "rb"), [&](py::handle in) -> py::object {
            py::object out = open(target, "xb");
            try {
                with_context(out, [&](py::handle file) { return shutil.attr("copyfileobj")(in, file); });
            } catch (py::error_already_set&) {
                // Half a file is nobody's: it goes, and the error with it.
                try {
                    os.attr("unlink")(target);
                } catch (py::error_already_set& undo) {
                    if (!undo.matches(PyExc_OSError)) throw;
                }
                throw;
            }
            // The times yt-dlp gave the file, where this file system keeps them.
            try {
                shutil.attr("copystat")(source, target);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
            return py::none();
        });
    }
    os.attr("unlink")(source);
}

}  // namespace vm
