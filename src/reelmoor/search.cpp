// The searches of ReelmoorClient: videos through yt-dlp's site search,
// channels through the site's results page limited to channels, both listed
// flat and paged by offset and size; and the channel record of one listing
// entry.
#include "reelmoor.hpp"

namespace velmora::reelmoor {
namespace {

// True when the text is empty or white space only (`not query.strip()`).
bool blank(py::handle query) {
    PyObject* q = query.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(q);
    const int kind = PyUnicode_KIND(q);
    const void* data = PyUnicode_DATA(q);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

// `entry.get(first) or entry.get(second)`
py::object get_or_get(py::handle entry, py::handle first, py::handle second) {
    py::object value = get(entry, first, Py_None);
    return vm::truthy(value) ? value : get(entry, second, Py_None);
}

// The record of one search entry; the channel is the uploader's when the
// entry has that key, else the channel's, else "Unknown Channel".
py::object video_from_search_entry(py::handle self, py::handle video_type, py::handle entry) {
    py::object video_id = get(entry, VM_STR("id"), VM_STR(""));
    py::object title = get(entry, VM_STR("title"), VM_STR("Unknown Title"));
    py::object channel = get(entry, VM_STR("uploader"), get(entry, VM_STR("channel"), VM_STR("Unknown Channel")));
    py::object duration =
        call_formatter(self, Formatter::Duration, get(entry, VM_STR("duration"), py::int_(0)));
    py::object views = call_formatter(self, Formatter::ViewCount, get(entry, VM_STR("view_count"), py::int_(0)));
    py::object url = watch_address(video_id);
    return make_video(video_type, {video_id, title, channel, duration, views, url});
}

// One of the two searches: the shared steps, and what each asks for and
// how it walks the answer.
struct Search {
    const char* name;
    const char* record;   // the class of the records, for the annotation
    const char* failure;  // the error line's opening
    const char* outcome;  // the info line's opening
    const char* doc;
    // The search expression or address yt-dlp is asked for.
    std::function<py::object(py::handle self, py::handle query, py::handle max_results, py::handle offset)> address;
    // Walks the listed entries into `found`.
    std::function<void(py::handle self, py::handle entries, py::handle max_results, py::handle offset,
                       py::list& found)>
        walk;
};

// name(self, query: str, max_results: int = 20, offset: int = 0) -> List[record]
void add_search(vm::ClassBuilder& b, py::module_& m, Search search) {
    py::object returns = vm::subscript(m.attr("List"), m.attr(search.record));
    const char* name = search.name;
    const char* doc = search.doc;
    b.method(
        name, page_parameters("query"),
        [m, search = std::move(search)](const vm::Args& a) -> py::object {
            py::handle self = a.self(), query = a[1], max_results = a[2], offset = a[3];
            vm::require_text(query, "query");
            if (blank(query)) return py::list();
            auto failure = [&search](py::handle error) { return vm::text(search.failure, error); };
            return guarded(m, py::list(), true, failure, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::dict options = listing_options();
                py::object address = search.address(self, query, max_results, offset);
                py::object results = extract_without_download(yt_dlp, options, address);
                py::list found;
                if (vm::truthy(results) && vm::contains(results, VM_STR("entries")))
                    search.walk(self, results[VM_STR("entries")], max_results, offset, found);
                vm::log(logger(m), "info",
                        vm::text(search.outcome, query, "' returned ", static_cast<long long>(found.size()),
                                 " results (offset=", offset, ")"));
                return std::move(found);
            });
        },
        doc, returns);
}

}  // namespace

// search_videos(self, query: str, max_results: int = 20, offset: int = 0) -> List[ReelmoorVideo]
void add_search_videos(vm::ClassBuilder& b, py::module_& m) {
    auto expression = [](py::handle, py::handle query, py::handle max_results, py::handle offset) -> py::object {
        py::object count = vm::steal(PyNumber_Add(offset.ptr(), max_results.ptr()));
        return vm::text(site_texts().search_prefix, count, ":", query);
    };
    auto walk = [m](py::handle self, py::handle entries, py::handle, py::handle offset, py::list& videos) {
        py::object video_type = vm::global(m, "ReelmoorVideo");
        long long position = -1;
        for (py::handle entry : entries) {
            // Positions count every entry, falsy ones too; yt-dlp listed no
            // more than offset + max_results.
            ++position;
            if (less(position, offset)) continue;
            if (!vm::truthy(entry)) continue;
            try {
                videos.append(video_from_search_entry(self, video_type, entry));
            } catch (py::error_already_set& e) {
                if (!vm::is_exception(e)) throw;
                vm::log(logger(m), "error", vm::text("Error processing search result: ", vm::error_str(e)));
            }
        }
    };
    add_search(b, m, {"search_videos", "ReelmoorVideo", "Search error: ", "Search for '", "Search for videos.",
                      expression, walk});
}

// search_channels(self, query: str, max_results: int = 20, offset: int = 0) -> List[ReelmoorChannel]
void add_search_channels(vm::ClassBuilder& b, py::module_& m) {
    auto results_page = [m](py::handle self, py::handle query, py::handle, py::handle) -> py::object {
        py::object escaped = vm::global(m, "quote_plus")(query);
        return vm::text(site_texts().results_prefix, escaped, "&sp=", vm::get_attr(self, VM_STR("_channel_filter")));
    };
    auto walk = [](py::handle self, py::handle entries, py::handle max_results, py::handle offset,
                   py::list& channels) {
        // Only usable channels count toward the offset.
        long long processed = 0;
        for (py::handle entry : entries) {
            if (!vm::truthy(entry)) continue;
            py::object channel = vm::call_method(self, VM_STR("_build_channel_from_entry"), entry);
            if (!vm::truthy(channel)) continue;
            if (less(processed, offset)) {
                ++processed;
                continue;
            }
            channels.append(channel);
            ++processed;
            if (at_least(static_cast<long long>(channels.size()), max_results)) break;
        }
    };
    add_search(b, m, {"search_channels", "ReelmoorChannel", "Channel search error: ", "Channel search for '",
                      "Search for channels.", results_page, walk});
}

// _build_channel_from_entry(self, entry: Dict[str, Any]) -> Optional[ReelmoorChannel]
void add_build_channel_from_entry(vm::ClassBuilder& b, py::module_& m) {
    py::object entry_type = vm::subscript(m.attr("Dict"), py::make_tuple(vm::type_object(&PyUnicode_Type), m.attr("Any")));
    b.method(
        "_build_channel_from_entry", {vm::self(), vm::arg("entry").ann(entry_type)},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self(), entry = a[1];
            if (!vm::truthy(entry)) return py::none();
            // A flat entry of a results page points at the channel's own page.
            const bool flat = vm::compare(get(entry, VM_STR("_type"), Py_None), VM_STR("url"), Py_EQ) &&
                              vm::contains(entry, VM_STR("url")) &&
                              vm::compare(get(entry, VM_STR("ie_key"), Py_None), site_texts().channel_ie_key, Py_EQ);
            py::handle empty = VM_STR("");
            py::handle unknown = VM_STR("Unknown Channel");
            py::object url, channel_id, name, subscribers, videos;
            if (flat) {
                url = get(entry, VM_STR("url"), Py_None);
                channel_id = first_truthy(entry, {VM_STR("id"), VM_STR("channel_id"), VM_STR("uploader_id")}, empty);
                name = first_truthy(entry, {VM_STR("title"), VM_STR("channel")}, unknown);
                subscribers = get_or_get(entry, VM_STR("subscriber_count"), VM_STR("channel_follower_count"));
                videos = get(entry, VM_STR("video_count"), Py_None);
            } else {
                url = first_truthy(entry, {VM_STR("url"), VM_STR("channel_url")}, empty);
                channel_id = first_truthy(entry, {VM_STR("channel_id"), VM_STR("id"), VM_STR("uploader_id")}, empty);
                name = first_truthy(entry, {VM_STR("uploader"), VM_STR("channel"), VM_STR("title")}, unknown);
                subscribers = get_or_get(entry, VM_STR("subscriber_count"), VM_STR("channel_follower_count"));
                videos = get_or_get(entry, VM_STR("channel_video_count"), VM_STR("video_count"));
            }
            py::object description = get(entry, VM_STR("description"), empty);
            if (!vm::truthy(url)) {
                if (vm::truthy(vm::call_method(channel_id, VM_STR("startswith"), VM_STR("UC"))))
                    url = vm::text(site_texts().channel_prefix, channel_id);
                else
                    url = vm::text(site_texts().handle_prefix,
                                   vm::call_method(name, VM_STR("replace"), VM_STR(" "), empty));
            }
            py::object subscriber_text = call_formatter(self, Formatter::Count, subscribers);
            py::object video_count_text = call_formatter(self, Formatter::Count, videos);
            return call_with_keywords(vm::global(m, "ReelmoorChannel"), channel_keywords(),
                                      {channel_id, name, url, subscribers, videos, description, subscriber_text,
                                       video_count_text});
        },
        "Build a ReelmoorChannel from a yt-dlp entry.", vm::subscript(m.attr("Optional"), m.attr("ReelmoorChannel")));
}

}  // namespace velmora::reelmoor
