// ReelmoorClient: the video-site client. Its text operations work on links
// and identifiers alone; each site operation imports yt-dlp when it runs,
// makes one yt-dlp object for the call with options of its own, and turns
// every failure into a log line and its failure value.
#include "reelmoor.hpp"

namespace velmora::reelmoor {

void define_client(py::module_& m) {
    vm::ClassBuilder b(m, "ReelmoorClient", "Client for Reelmoor operations using yt-dlp.");

    // __init__(self)
    b.method("__init__", {vm::self()}, [](const vm::Args& a) {
        py::dict options;
        options["quiet"] = py::bool_(true);
        options["no_warnings"] = py::bool_(true);
        options["extractaudio"] = py::bool_(false);
        options["extract_flat"] = py::bool_(false);
        vm::set_attr(a.self(), VM_STR("ydl_opts"), options);
        // The results page's "sp" value that limits a search to channels,
        // already escaped for the address.
        vm::set_attr(a.self(), VM_STR("_channel_filter"), VM_STR("EgIQAg%3D%3D"));
        return py::object();
    });

    add_is_valid_reelmoor_url(b, m);
    add_extract_video_id(b, m);
    add_search_videos(b, m);
    add_search_channels(b, m);
    add_get_channel_videos(b, m);
    add_is_channel_identifier(b, m);
    add_get_audio_download_file(b, m);
    add_get_audio_stream_url(b, m);
    add_get_video_info(b, m);
    add_download_audio_mp3(b, m);
    add_format_duration(b, m);
    add_format_view_count(b, m);
    add_format_count(b, m);
    add_normalize_channel_identifier(b, m);
    add_build_channel_from_entry(b, m);

    b.build();
}

}  // namespace velmora::reelmoor
