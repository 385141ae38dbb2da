// The audio operations of ReelmoorClient: the direct stream address for
// playing, the audio file cached once per video under the temporary folder
// (the fallback when streaming fails), and the deprecated mp3 download.
//
// Files are judged by what is on disk after yt-dlp ran, never by its
// answer, and a file of 0 bytes never counts as done. Two calls that would
// write the same file take turns, so the second finds the first one's file
// instead of downloading it again beside it.
//
// yt-dlp reads its whole output template as a template, folder included.
// Where the file's path would be read so (a "$" or "%" anywhere, a leading
// "~"), yt-dlp writes into a folder of the call's own and the file is moved
// to its path afterwards; every other call gives yt-dlp the path itself.
#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "private_folder.hpp"
#include "process_state.hpp"
#include "reelmoor.hpp"
#include "video_site.hpp"

namespace velmora::reelmoor {
namespace {

namespace site = velmora::video_site;

const char* const kDeprecation =
    "ReelmoorClient.download_audio_mp3() is deprecated. Use ReelmoorDownloader from core.downloader instead for "
    "better progress tracking and queue management.";

// The turns of file paths: one Python lock per path, made when a call first
// needs it and dropped when the last call using it is done. Read and changed
// only under the GIL. A forked child starts with no turn taken
// (process_state.hpp): a lock a thread of the parent held would never be
// released there.
struct TurnEntry {
    py::object lock;
    std::size_t users = 0;
};
using TurnTable = std::map<std::u32string, TurnEntry>;
vm::ProcessWide<TurnTable> g_turns;

// Holds the turn of one file path for as long as it lives. Waiting releases
// the GIL.
class FileTurn {
public:
    explicit FileTurn(py::handle path) : key_(vm::code_points(vm::text(path))), table_(g_turns.get()) {
        TurnEntry& entry = (*table_)[key_];
        if (!entry.lock) entry.lock = py::module_::import("threading").attr("Lock")();
        ++entry.users;
        try {
            guard_.emplace(entry.lock);
        } catch (...) {
            leave();
            throw;
        }
    }
    ~FileTurn() {
        guard_.reset();
        leave();
    }
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;

private:
    // A turn the forking thread held stays in the parent's table, which it
    // can still change: nothing but the GIL guards it.
    void leave() {
        if (!PyGILState_Check()) return;  // a daemon thread unwound at interpreter exit: Python is gone
        auto it = table_->find(key_);
        if (--it->second.users == 0) table_->erase(it);
    }

    std::u32string key_;
    TurnTable* table_;
    std::optional<vm::LockGuard> guard_;
};

// The size of the file at `path`, or nothing when no file is there.
std::optional<long long> file_size(py::handle path) {
    if (!vm::truthy(vm::call_method(path, VM_STR("is_file")))) return std::nullopt;
    return vm::call_method(path, VM_STR("stat")).attr("st_size").cast<long long>();
}

bool has_audio(py::handle path) {
    std::optional<long long> size = file_size(path);
    return size && *size > 0;
}

void make_folder(py::handle folder) { folder.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true); }

py::object join(py::handle folder, py::handle name) { return vm::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr())); }

// True for the one form of video id that may name a file: 11 characters of
// [A-Za-z0-9_-], nothing that leads out of a folder or that yt-dlp expands.
// Anything else is logged and refused.
bool usable_video_id(py::handle module, py::handle video_id) {
    if (PyUnicode_Check(video_id.ptr()) && site::is_video_id(vm::code_points(video_id))) return true;
    vm::log(logger(module), "error", vm::text("Invalid video id: ", py::repr(video_id)));
    return false;
}

// The title as the mp3 file's name. A title that is not text meets
// str.replace as it would in Python, so it fails with Python's own error.
py::object mp3_title(py::handle title) {
    py::object text = py::reinterpret_borrow<py::object>(title);
    if (!PyUnicode_Check(title.ptr()))
        text = vm::call_method(vm::call_method(title, VM_STR("replace"), VM_STR("/"), VM_STR("_")), VM_STR("replace"),
                               VM_STR("\\"), VM_STR("_"));
    return vm::from_code_points(site::mp3_title(vm::code_points(text)));
}

// True when yt-dlp writes where `output_template` (text) says.
bool literal_template(py::handle output_template) {
    return site::is_literal_output_template(vm::code_points(output_template));
}

// {"quiet": True, "no_warnings": True, "format": format}: how every
// option mapping of these operations begins.
py::dict quiet_options(py::handle format) {
    py::dict options;
    options["quiet"] = py::bool_(true);
    options["no_warnings"] = py::bool_(true);
    options["format"] = format;
    return options;
}

}  // namespace

// get_audio_download_file(self, video_id: str) -> Optional[str]
void add_get_audio_download_file(vm::ClassBuilder& b, py::module_& m) {
    b.method(
        "get_audio_download_file", {vm::self(), vm::arg("video_id").text_ann()},
        [m](const vm::Args& a) -> py::object {
            py::handle video_id = a[1];
            auto failure = [](py::handle error) { return vm::text("Error downloading audio: ", error); };
            return guarded(m, py::none(), false, failure, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::object tempfile = py::module_::import("tempfile");
                py::object address = watch_address(video_id);
                if (!usable_video_id(m, video_id)) return py::none();
                py::object folder = join(vm::global(m, "Path")(tempfile.attr("gettempdir")()), VM_STR("velmora_reelmoor"));
                make_folder(folder);
                py::object cache = join(folder, vm::text(video_id, ".m4a"));

                FileTurn turn(cache);
                if (has_audio(cache)) {
                    vm::call_method(logger(m), VM_STR("info"), vm::text("Using cached audio for ", video_id));
                    return vm::text(cache);
                }
                // yt-dlp takes any file of the name as already downloaded.
                cache.attr("unlink")(py::arg("missing_ok") = true);

                py::object target = vm::text(cache);
                std::optional<vm::PrivateFolder> place;
                if (!literal_template(target)) place.emplace();
                py::object written = place ? join(place->path(), vm::text(vm::PrivateFolder::kStem, ".m4a")) : cache;

                py::dict options = quiet_options(VM_STR("140/bestaudio[ext=m4a]/bestaudio"));
                options["outtmpl"] = place ? vm::text(written) : target;
                options["concurrent_fragment_downloads"] = py::int_(4);
                options["http_chunk_size"] = py::int_(10485760);
                options["buffersize"] = py::int_(16384);
                options["retries"] = py::int_(3);
                vm::call_method(logger(m), VM_STR("info"),
                                vm::text("Downloading audio for ", video_id, " to temp file..."));
                download(yt_dlp, options, address);
                if (place && has_audio(written)) vm::move_new_file(written, cache);

                if (has_audio(cache)) {
                    vm::call_method(logger(m), VM_STR("info"), vm::text("Downloaded audio to ", cache));
                    return vm::text(cache);
                }
                vm::call_method(logger(m), VM_STR("error"), VM_STR("Download failed - temp file not created or empty"));
                return py::none();
            });
        },
        "Download a video's audio once into the temporary cache and return the file's path.",
        vm::subscript(m.attr("Optional"), vm::type_object(&PyUnicode_Type)));
}

// get_audio_stream_url(self, video_id: str) -> Optional[str]
void add_get_audio_stream_url(vm::ClassBuilder& b, py::module_& m) {
    b.method(
        "get_audio_stream_url", {vm::self(), vm::arg("video_id").text_ann()},
        [m](const vm::Args& a) -> py::object {
            py::handle video_id = a[1];
            auto failure = [](py::handle error) { return vm::text("Error extracting streaming URL: ", error); };
            return guarded(m, py::none(), false, failure, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::object address = watch_address(video_id);
                py::dict options = quiet_options(VM_STR("140/bestaudio"));
                options["skip_download"] = py::bool_(true);
                vm::log(logger(m), "info", vm::text("Extracting streaming URL for ", video_id, "..."));
                return with_downloader(yt_dlp, options, [&](py::handle ydl) -> py::object {
                    py::object info = extract_info(ydl, address);
                    if (!vm::contains(info, VM_STR("url"))) {
                        vm::log(logger(m), "error", VM_STR("No streaming URL found in video info"));
                        return py::none();
                    }
                    py::object url = info[VM_STR("url")];
                    py::object protocol = get(info, VM_STR("protocol"), VM_STR("unknown"));
                    py::object container = get(info, VM_STR("ext"), VM_STR("unknown"));
                    vm::log(logger(m), "info",
                            vm::text("Got direct streaming URL (format: ", container, ", protocol: ", protocol,
                                     ")"));
                    if (!vm::compare(protocol, VM_STR("http"), Py_EQ) && !vm::compare(protocol, VM_STR("https"), Py_EQ))
                        vm::log(logger(m), "warning",
                                vm::text("Protocol ", protocol, " may not be streamable, trying anyway..."));
                    return url;
                });
            });
        },
        "Get the direct address of a video's audio stream, for playing without a download.",
        vm::subscript(m.attr("Optional"), vm::type_object(&PyUnicode_Type)));
}

// download_audio_mp3(self, video_id: str, output_dir: Optional[str] = None) -> Optional[str]
void add_download_audio_mp3(vm::ClassBuilder& b, py::module_& m) {
    py::object optional_text = vm::subscript(m.attr("Optional"), vm::type_object(&PyUnicode_Type));
    b.method(
        "download_audio_mp3",
        {vm::self(), vm::arg("video_id").text_ann(),
         vm::arg("output_dir").text_ann().ann(optional_text).def(py::none())},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self(), video_id = a[1], output_dir = a[2];
            // Attributed to the caller: this function has no frame of its own.
            py::module_::import("warnings")
                .attr("warn")(py::str(kDeprecation), py::handle(PyExc_DeprecationWarning), py::arg("stacklevel") = 1);
            auto failure = [](py::handle error) { return vm::text("Error downloading audio: ", error); };
            return guarded(m, py::none(), false, failure, [&]() -> py::object {
                py::object yt_dlp = import_yt_dlp();
                py::object path_type = vm::global(m, "Path");
                py::object folder = output_dir.is_none()
                                        ? join(join(join(path_type.attr("home")(), VM_STR("Documents")), VM_STR("Velmora")),
                                               VM_STR("reelmoor"))
                                        : path_type(output_dir);
                make_folder(folder);
                py::object address = watch_address(video_id);
                py::object info = vm::call_method(self, VM_STR("get_video_info"), video_id);
                if (!vm::truthy(info)) return py::none();
                py::object title = mp3_title(get(info, VM_STR("title"), VM_STR("video")));
                py::object mp3 = join(folder, vm::text(title, ".mp3"));

                FileTurn turn(mp3);
                if (has_audio(mp3)) {
                    vm::call_method(logger(m), VM_STR("info"), vm::text("File already exists: ", mp3));
                    return vm::text(mp3);
                }
                py::object output_template = vm::text(join(folder, vm::text(title, ".%(ext)s")));
                std::optional<vm::PrivateFolder> place;
                if (!literal_template(output_template)) place.emplace();
                py::object produced = place ? join(place->path(), vm::text(vm::PrivateFolder::kStem, ".mp3")) : mp3;

                py::dict extract;
                extract["key"] = VM_STR("FFmpegExtractAudio");
                extract["preferredcodec"] = VM_STR("mp3");
                extract["preferredquality"] = VM_STR("192");
                py::list postprocessors;
                postprocessors.append(extract);
                py::dict options = quiet_options(VM_STR("bestaudio/best"));
                options["outtmpl"] = place ? vm::text(join(place->path(), vm::text(vm::PrivateFolder::kStem, ".%(ext)s")))
                                           : output_template;
                options["postprocessors"] = postprocessors;
                download(yt_dlp, options, address);

                std::optional<long long> size = file_size(produced);
                if (!size) return py::none();
                if (*size == 0) {
                    vm::call_method(logger(m), VM_STR("error"), vm::text("Download failed - MP3 file empty: ", mp3));
                    return py::none();
                }
                if (place) {
                    // An empty file of the name is one to download again.
                    if (std::optional<long long> old = file_size(mp3); old && *old == 0) mp3.attr("unlink")();
                    vm::move_new_file(produced, mp3);
                }
                vm::call_method(logger(m), VM_STR("info"), vm::text("Downloaded MP3: ", mp3));
                return vm::text(mp3);
            });
        },
        "Download a video's audio as an mp3 file (deprecated: use ReelmoorDownloader from core.downloader).",
        optional_text);
}

}  // namespace velmora::reelmoor
