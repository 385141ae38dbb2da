// ReelmoorVideo and ReelmoorChannel: the plain records the searches and the
// channel listing hand to the host, with the text forms its lists show.
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

// The record class as defined here and its __init__, kept for the process.
PyTypeObject* video_class = nullptr;
PyObject* video_init = nullptr;

// The attribute names of a video record, in the order they are set.
py::handle video_field(size_t i) { return PyTuple_GET_ITEM(video_keywords().ptr(), i); }

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
                 for (size_t i = 0; i < 6; ++i) vm::set_attr(a.self(), video_field(i), a[i + 1]);
                 return py::object();
             });
    video_init = b.defined("__init__").release().ptr();

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

    video_class = reinterpret_cast<PyTypeObject*>(b.build().release().ptr());
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

py::object make_video(py::handle cls, std::initializer_list<py::handle> fields) {
    // Made as type.__call__ would make it, without the keyword mapping,
    // while the class is this one with its own construction.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    bool direct = type == video_class && type->tp_new == PyBaseObject_Type.tp_new &&
                  _PyType_Lookup(type, VM_STR("__init__").ptr()) == video_init;
    for (py::handle field : fields) direct = direct && (field.is_none() || PyUnicode_Check(field.ptr()));
    if (!direct) return call_with_keywords(cls, video_keywords(), fields);
    py::object video = vm::steal(type->tp_alloc(type, 0));
    size_t i = 0;
    for (py::handle field : fields) vm::set_attr(video, video_field(i++), field);
    return video;
}

void define_records(py::module_& m) {
    define_video(m);
    define_channel(m);
}

}  // namespace velmora::reelmoor
