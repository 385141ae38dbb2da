// ReelmoorClient.get_video_info: one video's details with its chapters, from
// one extraction without download through the client's own yt-dlp options.
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

// The keys of the result taken from the video's information as they stand.
constexpr const char* kInfoKeys[] = {"id",         "title",       "description", "uploader",
                                     "duration",   "view_count",  "upload_date", "thumbnail"};

py::dict chapter_record(py::handle chapter) {
    py::dict record;
    record["title"] = get(chapter, VM_STR("title"), VM_STR("Untitled Chapter"));
    record["start_time"] = get(chapter, VM_STR("start_time"), Py_None);
    record["end_time"] = get(chapter, VM_STR("end_time"), Py_None);
    return record;
}

}  // namespace

// get_video_info(self, video_id: str) -> Optional[Dict[str, Any]]
void add_get_video_info(vm::ClassBuilder& b, py::module_& m) {
    py::object details = vm::subscript(m.attr("Dict"), py::make_tuple(vm::type_object(&PyUnicode_Type), m.attr("Any")));
    b.method(
        "get_video_info", {vm::self(), vm::arg("video_id").text_ann()},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self(), video_id = a[1];
            auto failure = [](py::handle error) { return vm::text("Error getting video info: ", error); };
            return guarded(m, py::none(), false, failure, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::object address = watch_address(video_id);
                py::object options = vm::get_attr(self, VM_STR("ydl_opts"));
                // The result is made while the downloader is open, so a
                // failure in it reaches the downloader's exit as well.
                return with_downloader(yt_dlp, options, [&](py::handle ydl) -> py::object {
                    py::object info = extract_info(ydl, address);
                    py::list chapters;
                    if (vm::contains(info, VM_STR("chapters"))) {
                        py::object listed = info[VM_STR("chapters")];
                        if (vm::truthy(listed)) {
                            for (py::handle chapter : listed) chapters.append(chapter_record(chapter));
                            vm::log(logger(m), "info",
                                    vm::text("Extracted ", static_cast<long long>(chapters.size()),
                                             " chapters from video"));
                        }
                    }
                    py::dict result;
                    for (const char* key : kInfoKeys) result[key] = get(info, py::str(key), Py_None);
                    result["chapters"] = chapters;
                    return std::move(result);
                });
            });
        },
        "Get a video's details with its chapters.", vm::subscript(m.attr("Optional"), details));
}

}  // namespace velmora::reelmoor
