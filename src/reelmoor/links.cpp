// The text operations of ReelmoorClient: watch links and their video ids,
// channel identifiers and the channel address they stand for. They work on
// the text alone, without yt-dlp, and never log.
#include "reelmoor.hpp"
#include "video_site.hpp"

namespace velmora::reelmoor {
namespace {

namespace site = velmora::video_site;

py::object bool_object(bool value) { return py::reinterpret_borrow<py::object>(value ? Py_True : Py_False); }

}  // namespace

// is_valid_reelmoor_url(self, url: str) -> bool
void add_is_valid_reelmoor_url(vm::ClassBuilder& b, py::module_&) {
    b.method(
        "is_valid_reelmoor_url", {vm::self(), vm::arg("url").text_ann()},
        [](const vm::Args& a) { return bool_object(site::is_watch_link(vm::code_points(a[1]))); },
        "Check whether a URL is a Reelmoor watch link.", vm::type_object(&PyBool_Type));
}

// extract_video_id(self, url: str) -> Optional[str]
void add_extract_video_id(vm::ClassBuilder& b, py::module_& m) {
    b.method(
        "extract_video_id", {vm::self(), vm::arg("url").text_ann()},
        [](const vm::Args& a) -> py::object {
            const std::u32string url = vm::code_points(a[1]);
            if (auto id = site::find_video_id(url)) return vm::from_code_points(*id);
            return py::none();
        },
        "Extract the video ID from a Reelmoor URL.",
        vm::subscript(m.attr("Optional"), vm::type_object(&PyUnicode_Type)));
}

// is_channel_identifier(self, text: str) -> bool
void add_is_channel_identifier(vm::ClassBuilder& b, py::module_&) {
    b.method(
        "is_channel_identifier", {vm::self(), vm::arg("text").text_ann()},
        [](const vm::Args& a) {
            if (a[1].is_none()) return bool_object(false);
            return bool_object(site::is_channel_identifier(vm::code_points(a[1])));
        },
        "Check whether the text refers to a channel (handle, URL or channel ID).", vm::type_object(&PyBool_Type));
}

// _normalize_channel_identifier(self, identifier: str) -> str
void add_normalize_channel_identifier(vm::ClassBuilder& b, py::module_&) {
    b.method(
        "_normalize_channel_identifier", {vm::self(), vm::arg("identifier").text_ann()},
        [](const vm::Args& a) -> py::object {
            if (a[1].is_none()) return py::str("");
            return vm::from_code_points(site::normalize_channel_identifier(vm::code_points(a[1])));
        },
        "Turn a handle, channel ID, URL or partial path into a full channel URL.", vm::type_object(&PyUnicode_Type));
}

}  // namespace velmora::reelmoor
