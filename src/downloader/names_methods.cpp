// The static name and header methods of BaseDownloader: safe file names,
// content folders, the extension a URL suggests and the file name a server
// announces in Content-Disposition.
#include <string>

#include "downloader.hpp"
#include "names.hpp"

namespace velmora::downloader {
namespace {

namespace names = velmora::names;
using vm::code_points;
using vm::from_code_points;

}  // namespace

void add_generate_safe_filename(vm::ClassBuilder& b, py::module_&) {
    b.static_method(
        "generate_safe_filename",
        {vm::arg("title").text_ann(), vm::arg("extension").text_ann().def(py::str("mp3"))},
        [](const vm::Args& a) -> py::object {
            py::object stem = from_code_points(names::file_stem(code_points(a[0])));
            py::object extension = vm::steal(PyObject_Format(a[1].ptr(), VM_STR("").ptr()));
            return vm::steal(PyUnicode_FromFormat("%U.%U", stem.ptr(), extension.ptr()));
        },
        "Generate a safe filename from a title.", vm::type_object(&PyUnicode_Type));
}

void add_get_filename_from_headers(vm::ClassBuilder& b, py::module_& m) {
    py::object optional_str = vm::subscript(m.attr("Optional"), vm::type_object(&PyUnicode_Type));
    b.static_method(
        "_get_filename_from_headers", {vm::arg("headers").pos_only()},
        [](const vm::Args& a) -> py::object {
            py::object message_type = py::module_::import("email.message").attr("Message");
            py::handle headers = a[0];
            py::object value = headers.attr("get")("content-disposition", "");
            if (!vm::truthy(value)) value = headers.attr("get")("Content-Disposition", "");
            if (!vm::truthy(value)) return py::none();
            py::object message = message_type();
            message["content-disposition"] = value;
            // Only a non-empty text names a file; anything else a parser
            // hands back (None, the failure default) means no name.
            py::object filename = message.attr("get_filename")();
            if (PyUnicode_Check(filename.ptr()) && PyUnicode_GET_LENGTH(filename.ptr()) > 0) return filename;
            return py::none();
        },
        "Extract the file name from a Content-Disposition header.", optional_str);
}

void add_get_content_folder(vm::ClassBuilder& b, py::module_& m) {
    py::object path_type = m.attr("Path");
    b.static_method(
        "_get_content_folder", {vm::arg("base_folder").ann(path_type), vm::arg("content_name").text_ann()},
        [](const vm::Args& a) -> py::object {
            py::object name = from_code_points(names::folder_name(code_points(a[1])));
            return vm::steal(PyNumber_TrueDivide(a[0].ptr(), name.ptr()));
        },
        "Get the folder for a podcast, channel or other content name.", path_type);
}

void add_detect_extension_from_url(vm::ClassBuilder& b, py::module_&) {
    b.static_method(
        "_detect_extension_from_url", {vm::arg("url").text_ann().pos_only()},
        [](const vm::Args& a) -> py::object {
            py::object lowered = vm::steal(PyObject_CallMethodNoArgs(a[0].ptr(), VM_STR("lower").ptr()));
            const py::handle needles[][2] = {{VM_STR(".zip"), VM_STR("zip")},
                                             {VM_STR(".m4a"), VM_STR("m4a")},
                                             {VM_STR(".mp4"), VM_STR("mp4")},
                                             {VM_STR(".ogg"), VM_STR("ogg")}};
            for (const auto& k : needles)
                if (vm::contains(lowered, k[0])) return py::reinterpret_borrow<py::object>(k[1]);
            return py::reinterpret_borrow<py::object>(VM_STR("mp3"));
        },
        "Detect the file extension from a URL.", vm::type_object(&PyUnicode_Type));
}

}  // namespace velmora::downloader
