// ReelmoorClient.get_channel_videos: one page of a channel's videos with the
// channel's own record, from one flat listing of the channel's video tab.
// The whole tab is listed on every call; the offset and the page size are
// applied to the entries afterwards.
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

// `mapping.get(first, mapping.get(second, fallback))`: presence decides, so
// a present None is taken.
py::object get_either(py::handle mapping, py::handle first, py::handle second, py::handle fallback) {
    if (py::object value = lookup(mapping, first)) return value;
    return get(mapping, second, fallback);
}

py::object channel_record(py::handle self, py::handle channel_type, py::handle info, py::handle channel_url) {
    py::object channel_id = get_either(info, VM_STR("channel_id"), VM_STR("id"), VM_STR(""));
    py::object name = get_either(info, VM_STR("title"), VM_STR("channel"), VM_STR("Unknown Channel"));
    py::object followers = get(info, VM_STR("channel_follower_count"), Py_None);
    py::object video_count = get(info, VM_STR("channel_video_count"), Py_None);
    py::object description = get(info, VM_STR("description"), VM_STR(""));
    py::object follower_text = call_formatter(self, Formatter::Count, followers);
    py::object video_count_text = call_formatter(self, Formatter::Count, video_count);
    return call_with_keywords(channel_type, channel_keywords(),
                              {channel_id, name, channel_url, followers, video_count, description, follower_text,
                               video_count_text});
}

// The record of one listed video; without uploader and channel it carries
// the channel record's name.
py::object video_record(py::handle self, py::handle video_type, py::handle entry, py::handle video_id,
                        py::handle channel) {
    py::object title = get(entry, VM_STR("title"), VM_STR("Unknown Title"));
    py::object uploader = lookup(entry, VM_STR("uploader"));
    if (!uploader) uploader = lookup(entry, VM_STR("channel"));
    if (!uploader) uploader = vm::get_attr(channel, VM_STR("name"));
    py::object seconds = get_either(entry, VM_STR("duration"), VM_STR("duration_seconds"), Py_None);
    py::object duration = call_formatter(self, Formatter::Duration, seconds);
    py::object views = call_formatter(self, Formatter::ViewCount, get(entry, VM_STR("view_count"), Py_None));
    py::object url = watch_address(video_id);
    return make_video(video_type, {video_id, title, uploader, duration, views, url});
}

}  // namespace

// get_channel_videos(self, identifier: str, max_results: int = 20, offset: int = 0)
//     -> Optional[Tuple[ReelmoorChannel, List[ReelmoorVideo]]]
void add_get_channel_videos(vm::ClassBuilder& b, py::module_& m) {
    py::object page = vm::subscript(
        m.attr("Tuple"), py::make_tuple(m.attr("ReelmoorChannel"), vm::subscript(m.attr("List"), m.attr("ReelmoorVideo"))));
    b.method(
        "get_channel_videos", page_parameters("identifier"),
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self(), identifier = a[1], max_results = a[2], offset = a[3];
            if (!vm::truthy(identifier)) return py::none();
            auto failure_line = [identifier](py::handle error) {
                return vm::text("Error loading channel videos for '", identifier, "': ", error);
            };
            return guarded(m, py::none(), true, failure_line, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::object channel_url = vm::call_method(self, VM_STR("_normalize_channel_identifier"), identifier);
                py::object tab = vm::steal(PyNumber_Add(
                    vm::call_method(channel_url, VM_STR("rstrip"), VM_STR("/")).ptr(), VM_STR("/videos").ptr()));
                py::dict options = listing_options();
                py::object info = extract_without_download(yt_dlp, options, tab);
                if (!vm::truthy(info)) {
                    vm::log(logger(m), "error", vm::text("No information returned for channel: ", identifier));
                    return py::none();
                }

                py::object channel = channel_record(self, vm::global(m, "ReelmoorChannel"), info, channel_url);
                py::object video_type = vm::global(m, "ReelmoorVideo");
                py::list videos;
                long long processed = 0;  // entries with an id, skipped or taken
                py::object entries = get(info, VM_STR("entries"), py::list());
                for (py::handle entry : entries) {
                    if (!vm::truthy(entry)) continue;
                    py::object video_id = get(entry, VM_STR("id"), Py_None);
                    if (!vm::truthy(video_id)) continue;
                    if (less(processed, offset)) {
                        ++processed;
                        continue;
                    }
                    videos.append(video_record(self, video_type, entry, video_id, channel));
                    ++processed;
                    if (at_least(static_cast<long long>(videos.size()), max_results)) break;
                }
                vm::log(logger(m), "info", VM_STR("Loaded %s videos for channel '%s' (offset=%s)"),
                        {py::int_(videos.size()), vm::get_attr(channel, VM_STR("name")), offset});
                return py::make_tuple(channel, videos);
            });
        },
        "Get one page of a channel's videos with the channel's record.", vm::subscript(m.attr("Optional"), page));
}

}  // namespace velmora::reelmoor
