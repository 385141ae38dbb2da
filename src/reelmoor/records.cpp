// ReelmoorVideo and ReelmoorChannel: the plain records the searches and the
// channel listing hand to the host, with the text forms its lists show.
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

// `value or ""`: None and the empty text both end as the empty text.
py::object text_or_empty(py::handle value) {
    if (vm::truthy(value)) return py::reinterpret_borrow<py::object>(value);
    return py::reinterpret_borrow<py::object>(VM_STR(""));
}

void define_video(py::module_& m) {
    vm::ClassBuilder b(m, "ReelmoorVideo", "Represents a Reelmoor video with metadata.");
    py::object str_type = vm::type_object(&PyUnicode_Type);

    // __init__(self, video_id: str, title: str, channel: str, duration: str, view_count: str, url: str)
    b.method("__init__",
             {vm::self(), vm::arg("video_id").text_ann(), vm::arg("title").text_ann(), vm::arg("channel").text_ann(),
              vm::arg("duration").text_ann(), vm::arg("view_count").text_ann(), vm::arg("url").text_ann()},
             [](const vm::Args& a) {
                 py::handle self = a.self();
                 vm::set_attr(self, VM_STR("video_id"), a[1]);
                 vm::set_attr(self, VM_STR("title"), a[2]);
                 vm::set_attr(self, VM_STR("channel"), a[3]);
                 vm::set_attr(self, VM_STR("duration"), a[4]);
                 vm::set_attr(self, VM_STR("view_count"), a[5]);
                 vm::set_attr(self, VM_STR("url"), a[6]);
                 return py::object();
             });

    // __str__(self) -> str: "<title> by <channel> (<duration>) - <view_count> views"
    b.method(
        "__str__", {vm::self()},
        [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            return vm::text(vm::get_attr(self, VM_STR("title")), " by ", vm::get_attr(self, VM_STR("channel")), " (",
                            vm::get_attr(self, VM_STR("duration")), ") - ", vm::get_attr(self, VM_STR("view_count")),
                            " views");
        },
        nullptr, str_type);

    b.build();
}

void define_channel(py::module_& m) {
    vm::ClassBuilder b(m, "ReelmoorChannel", "Represents a Reelmoor channel with metadata.");
    py::object str_type = vm::type_object(&PyUnicode_Type);
    py::object optional_int = vm::subscript(m.attr("Optional"), vm::type_object(&PyLong_Type));
    py::str empty("");

    // __init__(self, channel_id: str, name: str, url: str, subscriber_count: Optional[int],
    //          video_count: Optional[int], description: str = "", subscriber_text: str = "",
    //          video_count_text: str = "")
    b.method("__init__",
             {vm::self(), vm::arg("channel_id").text_ann(), vm::arg("name").text_ann(), vm::arg("url").text_ann(),
              vm::arg("subscriber_count").ann(optional_int), vm::arg("video_count").ann(optional_int),
              vm::arg("description").text_ann().def(empty), vm::arg("subscriber_text").text_ann().def(empty),
              vm::arg("video_count_text").text_ann().def(empty)},
             [](const vm::Args& a) {
                 py::handle self = a.self();
                 vm::set_attr(self, VM_STR("channel_id"), a[1]);
                 vm::set_attr(self, VM_STR("name"), a[2]);
                 vm::set_attr(self, VM_STR("url"), a[3]);
                 vm::set_attr(self, VM_STR("subscriber_count"), a[4]);
                 vm::set_attr(self, VM_STR("video_count"), a[5]);
                 vm::set_attr(self, VM_STR("description"), text_or_empty(a[6]));
                 vm::set_attr(self, VM_STR("subscriber_text"), text_or_empty(a[7]));
                 vm::set_attr(self, VM_STR("video_count_text"), text_or_empty(a[8]));
                 return py::object();
             });

    // __str__(self) -> str: "<name> (<subscriber_text> subscribers)"
    b.method(
        "__str__", {vm::self()},
        [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            return vm::text(vm::get_attr(self, VM_STR("name")), " (", vm::get_attr(self, VM_STR("subscriber_text")),
                            " subscribers)");
        },
        nullptr, str_type);

    b.build();
}

}  // namespace

void define_records(py::module_& m) {
    define_video(m);
    define_channel(m);
}

}  // namespace velmora::reelmoor
