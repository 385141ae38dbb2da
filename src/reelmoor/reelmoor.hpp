// core.reelmoor: the pieces of the video-site client, and what its site
// operations share.
#pragma once

#include <functional>
#include <initializer_list>
#include <vector>

#include "pyfunc.hpp"

namespace velmora::reelmoor {
namespace py = pybind11;

// records.cpp: ReelmoorVideo and ReelmoorChannel.
void define_records(py::module_& m);
// cls(video_id=..., title=..., channel=..., duration=..., view_count=..., url=...),
// the fields in that order: the listings make one per entry.
py::object make_video(py::handle cls, std::initializer_list<py::handle> fields);

// client.cpp: ReelmoorClient, its methods in the order of the class body.
void define_client(py::module_& m);

// links.cpp: the text operations on links and channel identifiers.
void add_is_valid_reelmoor_url(vm::ClassBuilder& b, py::module_& m);
void add_extract_video_id(vm::ClassBuilder& b, py::module_& m);
void add_is_channel_identifier(vm::ClassBuilder& b, py::module_& m);
void add_normalize_channel_identifier(vm::ClassBuilder& b, py::module_& m);

// search.cpp: the video and channel searches.
void add_search_videos(vm::ClassBuilder& b, py::module_& m);
void add_search_channels(vm::ClassBuilder& b, py::module_& m);
void add_build_channel_from_entry(vm::ClassBuilder& b, py::module_& m);

// channel_videos.cpp: one page of a channel's videos.
void add_get_channel_videos(vm::ClassBuilder& b, py::module_& m);

// audio.cpp: a video's audio as a stream address, a cached file, or an mp3.
void add_get_audio_download_file(vm::ClassBuilder& b, py::module_& m);
void add_get_audio_stream_url(vm::ClassBuilder& b, py::module_& m);
void add_download_audio_mp3(vm::ClassBuilder& b, py::module_& m);

// details.cpp: a video's details with its chapters.
void add_get_video_info(vm::ClassBuilder& b, py::module_& m);

// formatters.cpp: the display texts of durations and counts.
void add_format_duration(vm::ClassBuilder& b, py::module_& m);
void add_format_view_count(vm::ClassBuilder& b, py::module_& m);
void add_format_count(vm::ClassBuilder& b, py::module_& m);

// self._format_duration(value), self._format_view_count(value) or
// self._format_count(value): whatever the instance finds is called, and
// the class's own formatter runs without a call through Python.
enum class Formatter { Duration, ViewCount, Count };
py::object call_formatter(py::handle self, Formatter which, py::handle value);

// ---------------------------------------------------------------------------
// site.cpp: what the site operations share.

// The site's addresses and yt-dlp names as Python text, made once.
struct SiteTexts {
    py::object watch_prefix;    // "https://www.<main host>/watch?v="
    py::object channel_prefix;  // "https://www.<main host>/channel/"
    py::object handle_prefix;   // "https://www.<main host>/@"
    py::object results_prefix;  // "https://www.<main host>/results?search_query="
    py::object search_prefix;   // yt-dlp's site-search prefix
    py::object channel_ie_key;  // yt-dlp's extractor key of channel pages
};
const SiteTexts& site_texts();

// The watch-page address of a video id: the prefix and str(video_id).
py::object watch_address(py::handle video_id);

// `import yt_dlp`, through the import hooks of the moment.
py::object import_yt_dlp();

// The options of a flat listing, the searches' and the channel tab's:
// quiet, no_warnings, extract_flat and skip_download, all true.
py::dict listing_options();

// with yt_dlp.YoutubeDL(options) as ydl: info = ydl.extract_info(address, download=False)
// The downloader class is looked up now; the answer is returned after the
// context is left (None when it gave none).
py::object extract_without_download(py::handle yt_dlp, py::handle options, py::handle address);

// with yt_dlp.YoutubeDL(options) as ydl: return body(ydl)
// The downloader class is looked up now.
py::object with_downloader(py::handle yt_dlp, py::handle options, const std::function<py::object(py::handle)>& body);

// ydl.extract_info(address, download=False)
py::object extract_info(py::handle ydl, py::handle address);

// with yt_dlp.YoutubeDL(options) as ydl: ydl.download([address])
// Its answer is not read: what is on disk afterwards tells.
void download(py::handle yt_dlp, py::handle options, py::handle address);

// The guarded block of a site operation: its body's result, or, on an
// ImportError, the error line "yt-dlp not installed" and `failure`; on any
// other Exception, the line `message(error text)` at error level (with the
// traceback when asked) and `failure`. Everything else passes.
py::object guarded(py::handle module, py::object failure, bool with_traceback,
                   const std::function<py::object(py::handle)>& message, const std::function<py::object()>& body);

// The module logger, looked up now.
py::object logger(py::handle module);

// Mapping reads, as `mapping.get(...)` gives them (a dict is read directly).
// `mapping.get(key, fallback)`:
py::object get(py::handle mapping, py::handle key, py::handle fallback);
// The value of `key` when the mapping has it, else a null object.
py::object lookup(py::handle mapping, py::handle key);
// `mapping.get(k1) or mapping.get(k2) or ... or fallback`.
py::object first_truthy(py::handle mapping, std::initializer_list<py::handle> keys, py::handle fallback);

// The keyword names of the record constructors, in the order the records
// are made with them.
py::handle video_keywords();    // video_id, title, channel, duration, view_count, url
py::handle channel_keywords();  // channel_id, name, url, subscriber_count, video_count,
                                // description, subscriber_text, video_count_text

// `callable(**dict(zip(names, values)))`, the keywords in the order given.
py::object call_with_keywords(py::handle callable, py::handle names, std::initializer_list<py::handle> values);

// `count < right` and `count >= right` for a count of the operation's own
// (plain ints without making Python objects).
bool less(long long count, py::handle right);
bool at_least(long long count, py::handle right);

// (self, <first>: str, max_results: int = 20, offset: int = 0): the
// parameters of the paged operations.
std::vector<vm::Param> page_parameters(const char* first);

}  // namespace velmora::reelmoor
