// ReelmoorDownloader: the audio of the video site's videos, one folder per
// channel, fetched by yt-dlp and converted by FFmpeg.
//
// yt-dlp downloads and writes the file itself; the transfer only builds its
// options, copies its progress reports into the task and ends the task. A
// cancel is seen at yt-dlp's next report: the hook raises an exception of
// the transfer's own class, which comes out of `download` unchanged. Pause
// does not apply here.
//
// Two transfers for the same file (the same title in the same channel) run
// one after the other: yt-dlp names every file of a transfer after the
// stem, and two of them at once would take each other's partial files. A
// transfer that fails or is cancelled takes away what yt-dlp wrote for it,
// the downloaded file before its conversion too: yt-dlp would take a file
// left there as the next download of that title.
//
// yt-dlp reads its whole output template as a template, channel folder
// included. Where the task's path would be read so (a "$" or "%" in the
// folder or the title, a relative download folder that starts with "~"),
// yt-dlp writes into a folder of the transfer's own, where its leftovers
// stay too, and the finished file is moved to the task's path.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "downloader.hpp"
#include "exit_gate.hpp"
#include "private_folder.hpp"
#include "process_state.hpp"
#include "target_claim.hpp"
#include "video_site.hpp"

namespace velmora::downloader {
namespace {

namespace site = velmora::video_site;
using vm::call_method;
using vm::get_attr;
using vm::set_attr;

const char* const kClassDoc = "Downloader for Reelmoor audio using yt_dlp with progress reporting.";

const char* const kInitDoc =
    "Initialize the Reelmoor downloader.\n"
    "\n"
    "Args:\n"
    "    reelmoor_client: The ReelmoorClient to keep (default: a new one)\n"
    "    download_folder: Root folder for downloads (default: Documents/Velmora/reelmoor)\n"
    "    max_concurrent: Number of downloads that run at the same time\n";

const char* const kAddDoc =
    "Queue the audio of a video.\n"
    "\n"
    "Args:\n"
    "    url: The video's address; an address off the site is replaced by the watch page of video_id\n"
    "    episode_title: The title, which names the file\n"
    "    podcast_name: The channel, which names the folder (default: Reelmoor)\n"
    "    task_id: The task's identifier (default: a new one)\n"
    "    progress_callback: Called with the task's progress on every report\n"
    "    video_id: The video's identifier (default: the one in url)\n"
    "\n"
    "Returns:\n"
    "    The task's identifier\n";

const char* const kDownloadDoc =
    "Download a video's audio with yt_dlp and convert it with FFmpeg.\n"
    "\n"
    "Args:\n"
    "    task: The download task to transfer\n";

const char* const kCancelledDoc = "Internal exception used to abort yt_dlp downloads.";
const char* const kLocals = "ReelmoorDownloader._download_file.<locals>.";
const char* const kDefaultChannel = "Reelmoor";

// The suffixes of yt-dlp's partial and temporary files, in the order they
// are removed.
const char* const kLeftoverSuffixes[] = {".part", ".mp3.part", ".m4a.part", ".webm.part", ".mp3.tmp", ".m4a.tmp"};

py::object join(py::handle folder, py::handle name) { return vm::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr())); }
py::object add(py::handle left, py::handle right) { return vm::steal(PyNumber_Add(left.ptr(), right.ptr())); }

py::object status(const py::module_& m, const char* member) {
    return vm::global(m, "DownloadStatus").attr(member);
}

// ---------------------------------------------------------------------------
// Adds in progress. The base add_download puts the task on the queue before
// this class has written its metadata, so a worker could start a task whose
// "video_id" is not there yet and fail one whose address holds no id. A
// transfer that finds no "video_id" waits (without the GIL, at most
// kMetadataWait) while an add of its downloader is under way.

constexpr std::chrono::seconds kMetadataWait{5};

struct AddTable {
    std::mutex mutex;
    std::condition_variable ended;
    std::unordered_map<const PyObject*, int> running;  // downloader -> adds under way
    unsigned long long endings = 0;                    // adds ended so far, of any downloader
};

// A forked child starts with no add under way (process_state.hpp).
vm::ProcessWide<AddTable> g_adds;

class AddInProgress {
public:
    explicit AddInProgress(py::handle downloader) : downloader_(downloader.ptr()), table_(g_adds.get()) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        ++table_->running[downloader_];
    }
    ~AddInProgress() {
        // An add the forking thread had under way stays in the parent's table.
        if (table_ != g_adds.get()) return;
        {
            std::lock_guard<std::mutex> lock(table_->mutex);
            auto it = table_->running.find(downloader_);
            if (--it->second == 0) table_->running.erase(it);
            ++table_->endings;
        }
        table_->ended.notify_all();
    }
    AddInProgress(const AddInProgress&) = delete;
    AddInProgress& operator=(const AddInProgress&) = delete;

private:
    const PyObject* downloader_;
    AddTable* table_;
};

// Returns once `metadata` holds "video_id", no add of `downloader` is under
// way, or the wait has lasted kMetadataWait.
void await_metadata(py::handle downloader, py::handle metadata) {
    const auto deadline = std::chrono::steady_clock::now() + kMetadataWait;
    while (!vm::contains(metadata, VM_STR("video_id"))) {
        vm::WithoutGil nogil;
        AddTable& t = *g_adds;
        std::unique_lock<std::mutex> lock(t.mutex);
        if (t.running.count(downloader.ptr()) == 0) return;
        const unsigned long long seen = t.endings;
        if (!t.ended.wait_until(lock, deadline, [&] { return t.endings != seen; })) return;
    }
}

// ---------------------------------------------------------------------------
// __init__(self, reelmoor_client=None, download_folder: Optional[str] = None, max_concurrent: int = 2)

py::object init(const py::module_& m, py::handle cls, const vm::Args& a) {
    py::handle self = a.self();
    // Imported here, so that core.downloader loads without the client module.
    py::object client_type = vm::import_from("core.reelmoor", "ReelmoorClient");
    py::object client = vm::truthy(a[1]) ? py::reinterpret_borrow<py::object>(a[1]) : client_type();
    // In place before the base constructor starts the workers.
    set_attr(self, VM_STR("reelmoor_client"), client);

    py::object path_type = vm::global(m, "Path");
    py::object folder;
    if (a[2].is_none()) {
        folder = path_type.attr("home")();
        for (const char* part : {"Documents", "Velmora", "reelmoor"}) folder = join(folder, py::str(part));
    } else {
        folder = path_type(a[2]);
    }
    vm::super(cls, self).attr("__init__")(py::arg("download_folder") = py::str(folder),
                                          py::arg("max_concurrent") = a[3]);
    return py::none();
}

// add_download(self, url: str, episode_title: str, podcast_name: str, task_id: Optional[str] = None,
//              progress_callback: Optional[Callable[[DownloadProgress], None]] = None,
//              video_id: Optional[str] = None) -> str

py::object add_download(py::handle cls, const vm::Args& a) {
    py::handle self = a.self();
    py::handle url = a[1];
    py::object channel_name =
        vm::truthy(a[3]) ? py::reinterpret_borrow<py::object>(a[3]) : py::object(py::str(kDefaultChannel));
    py::object video_id = vm::truthy(a[6]) ? py::reinterpret_borrow<py::object>(a[6])
                                           : call_method(self, VM_STR("_extract_video_id"), url);

    // An address off the site stands for the video id's watch page; one on
    // the site is kept even when it names another video.
    py::object watch_url = py::reinterpret_borrow<py::object>(url);
    if (vm::truthy(video_id) && !site::names_the_site(vm::code_points(url)))
        watch_url = vm::text(site::watch_prefix(), video_id);

    AddInProgress adding(self);
    py::object task_id = vm::super(cls, self).attr("add_download")(
        py::arg("url") = watch_url, py::arg("episode_title") = a[2], py::arg("podcast_name") = channel_name,
        py::arg("task_id") = a[4], py::arg("progress_callback") = a[5]);

    vm::LockGuard guard(get_attr(self, VM_STR("_lock")));
    py::object task = call_method(get_attr(self, VM_STR("active_downloads")), VM_STR("get"), task_id);
    if (!task.is_none()) {
        py::object metadata = get_attr(task, VM_STR("metadata"));
        metadata[VM_STR("video_id")] = vm::truthy(video_id) ? video_id : py::str("");
        metadata[VM_STR("channel_name")] = channel_name;
    }
    guard.release();
    return task_id;
}

// ---------------------------------------------------------------------------
// The transfer of one task.

// class DownloadCancelled(Exception): a class of each transfer's own, so a
// cancel of one transfer can never end another.
py::object make_cancelled_class(const py::module_& m) {
    py::dict ns;
    ns["__doc__"] = kCancelledDoc;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = vm::text(kLocals, "DownloadCancelled");
    py::object exception = py::reinterpret_borrow<py::object>(PyExc_Exception);
    return vm::builtin("type")("DownloadCancelled", py::make_tuple(exception), ns);
}

// progress_hook(status_dict): one yt-dlp report copied into the task. The
// names of the files a report says yt-dlp is writing go into `written`.
py::object make_progress_hook(const py::module_& m, py::object task, py::object cancelled, py::object written) {
    vm::FunctionSpec spec;
    spec.name = "progress_hook";
    spec.qualname = std::string(kLocals) + "progress_hook";
    spec.module = py::str(m.attr("__name__"));
    spec.params = {vm::arg("status_dict")};
    return vm::make_function(std::move(spec), [m, task, cancelled, written](const vm::Args& a) -> py::object {
        // When the host quits, the transfer stops at its next report.
        vm::stop_if_quitting();
        // First, for a report of any status: yt-dlp's finished report too.
        if (vm::truthy(call_method(get_attr(task, VM_STR("cancel_flag")), VM_STR("is_set")))) {
            py::object error = cancelled();
            PyErr_SetObject(cancelled.ptr(), error.ptr());
            throw py::error_already_set();
        }
        py::handle report = a[0];
        py::object get = get_attr(report, VM_STR("get"));
        if (!vm::compare(get(VM_STR("status")), VM_STR("downloading"), Py_EQ)) return py::none();

        for (py::handle key : {VM_STR("tmpfilename"), VM_STR("filename")}) {
            py::object name = get(key);
            if (PyUnicode_Check(name.ptr()) && PySet_Add(written.ptr(), name.ptr()) < 0) throw py::error_already_set();
        }
        py::object downloaded = get(VM_STR("downloaded_bytes"), py::int_(0));
        py::object total = get(VM_STR("total_bytes"));
        if (!vm::truthy(total)) total = get(VM_STR("total_bytes_estimate"));
        if (!vm::truthy(total)) total = py::int_(0);
        py::object progress = get_attr(task, VM_STR("progress"));
        call_method(progress, VM_STR("update"), downloaded, total);
        // yt-dlp's own figures, where it has them, over the average since the start.
        for (py::handle key : {VM_STR("speed"), VM_STR("eta")}) {
            py::object value = get(key);
            if (vm::truthy(value)) set_attr(progress, key, value);
        }
        set_attr(progress, VM_STR("status"), status(m, "DOWNLOADING"));

        py::object callback = vm::optional_attr(task, VM_STR("progress_callback"));
        if (callback && vm::truthy(callback)) {
            try {
                vm::blocking_call(callback, progress);
            } catch (py::error_already_set& e) {
                if (!vm::is_exception(e)) throw;
            }
        }
        return py::none();
    });
}

struct Transfer {
    const py::module_& m;
    py::handle self;
    py::handle task;
    py::object progress, channel_folder, stem, final_path, preferred_codec;
    // Where yt-dlp writes and the stem it writes under: the channel folder
    // and the task's stem, or a private folder and vm::PrivateFolder::kStem.
    py::object work_folder, work_stem;
    std::optional<vm::PrivateFolder> place;
    // The files yt-dlp said it writes (a set of names), and the produced
    // file when it was not there before yt-dlp began (one that was is an
    // earlier download's of the same title, not this transfer's).
    py::object written = py::set();
    py::object produced_here;

    void record(const char* member, py::handle message) {
        set_attr(progress, VM_STR("status"), status(m, member));
        set_attr(progress, VM_STR("error_message"), message);
    }
    // The leftovers go before the task reaches the failed table, where the
    // host may queue it again.
    void end(bool remove_leftovers) {
        if (remove_leftovers && work_folder) {
            call_method(self, VM_STR("_cleanup_partial_files"), work_folder, work_stem);
            remove_written();
        }
        leave_place();
        call_method(self, VM_STR("_move_to_failed"), task);
    }
    void leave_place() {
        if (place) place->remove();
    }

    void run();
    void fetch(py::handle hook);
    void remove_written();
};

void Transfer::run() {
    progress = get_attr(task, VM_STR("progress"));

    // The id only decides whether there is anything to fetch: yt-dlp is
    // given the task's address.
    py::object metadata = get_attr(task, VM_STR("metadata"));
    await_metadata(self, metadata);
    py::object video_id = call_method(metadata, VM_STR("get"), VM_STR("video_id"));
    if (!vm::truthy(video_id)) video_id = call_method(self, VM_STR("_extract_video_id"), get_attr(task, VM_STR("url")));
    if (!vm::truthy(video_id)) {
        record("FAILED", VM_STR("Invalid Reelmoor video ID"));
        end(false);
        return;
    }

    py::object channel = get_attr(task, VM_STR("podcast_name"));
    if (!vm::truthy(channel)) channel = py::str(kDefaultChannel);
    channel_folder = call_method(self, VM_STR("_get_content_folder"), get_attr(self, VM_STR("download_folder")), channel);
    channel_folder.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);

    py::object filename = get_attr(task, VM_STR("filename"));
    py::object name = vm::global(m, "Path")(filename);
    stem = get_attr(name, VM_STR("stem"));
    final_path = join(channel_folder, filename);
    py::object suffix = get_attr(name, VM_STR("suffix"));
    preferred_codec = vm::truthy(suffix) ? vm::steal(PySequence_GetSlice(suffix.ptr(), 1, PY_SSIZE_T_MAX))
                                         : py::object(py::str("mp3"));

    work_folder = channel_folder;
    work_stem = stem;

    // A task cancelled while another transfer has its file ends untouched,
    // without yt-dlp; the files there are the other transfer's.
    vm::TargetClaim claim;
    if (!claim.claim_unless_cancelled(vm::target_key(vm::global(m, "os").attr("path"), channel_folder, stem),
                                      get_attr(task, VM_STR("cancel_flag")))) {
        record("CANCELLED", VM_STR("Cancelled by user"));
        end(false);
        return;
    }

    set_attr(progress, VM_STR("status"), status(m, "DOWNLOADING"));
    set_attr(progress, VM_STR("start_time"), vm::global(m, "time").attr("time")());

    py::object cancelled = make_cancelled_class(m);
    py::object hook = make_progress_hook(m, py::reinterpret_borrow<py::object>(task), cancelled, written);

    try {
        fetch(hook);
    } catch (py::error_already_set& e) {
        if (e.matches(cancelled)) {
            record("CANCELLED", VM_STR("Cancelled by user"));
            end(true);
            return;
        }
        if (e.matches(PyExc_ImportError)) {
            record("FAILED", VM_STR("yt-dlp is required for Reelmoor downloads"));
            end(false);
            return;
        }
        if (!vm::is_exception(e)) throw;
        py::str detail = vm::error_str(e);
        record("FAILED", vm::text("Download error: ", detail));
        vm::log_with_traceback(vm::global(m, "logger"), "error",
                               vm::text("Reelmoor download failed for ", get_attr(task, VM_STR("episode_title")),
                                        ": ", detail),
                               e);
        end(true);
    }
}

// with yt_dlp.YoutubeDL(ydl_opts) as ydl: ydl.download([task.url]), then the
// produced file takes the task's name.
void Transfer::fetch(py::handle hook) {
    py::object yt_dlp = vm::steal(vm::blocking([] { return PyImport_ImportModule("yt_dlp"); }));

    py::dict extract;
    extract["key"] = "FFmpegExtractAudio";
    extract["preferredcodec"] = preferred_codec;
    extract["preferredquality"] = "192";
    py::list postprocessors;
    postprocessors.append(extract);
    py::list hooks;
    hooks.append(hook);
    py::object output_template = py::str(join(channel_folder, add(stem, py::str(".%(ext)s"))));
    if (!site::is_literal_output_template(vm::code_points(output_template))) {
        work_folder = py::object();  // nothing in the channel folder is this transfer's
        place.emplace();
        work_folder = place->path();
        work_stem = py::str(vm::PrivateFolder::kStem);
        output_template = py::str(join(work_folder, add(work_stem, py::str(".%(ext)s"))));
    }

    py::dict options;
    options["quiet"] = true;
    options["no_warnings"] = true;
    options["format"] = "bestaudio/best";
    options["outtmpl"] = output_template;
    options["progress_hooks"] = hooks;
    options["postprocessors"] = postprocessors;

    py::list urls;
    urls.append(get_attr(task, VM_STR("url")));
    py::object produced = join(work_folder, vm::text(work_stem, ".", preferred_codec));
    if (!vm::truthy(call_method(produced, VM_STR("exists")))) produced_here = produced;
    vm::with_context(get_attr(yt_dlp, VM_STR("YoutubeDL"))(options),
                     [&](py::handle ydl) { return vm::blocking_method(ydl, VM_STR("download"), urls); });

    if (vm::truthy(call_method(produced, VM_STR("exists"))) && vm::compare(produced, final_path, Py_NE)) {
        if (vm::truthy(call_method(final_path, VM_STR("exists")))) call_method(final_path, VM_STR("unlink"));
        // A private folder may be on another file system than the task's.
        if (place)
            vm::move_new_file(produced, final_path);
        else
            call_method(produced, VM_STR("rename"), final_path);
    }
    if (!vm::truthy(call_method(final_path, VM_STR("exists")))) {
        record("FAILED", VM_STR("Download completed but file is missing"));
        end(false);
        return;
    }
    leave_place();
    set_attr(task, VM_STR("output_path"), final_path);
    set_attr(progress, VM_STR("status"), status(m, "COMPLETED"));
    set_attr(progress, VM_STR("percentage"), py::float_(100.0));
    call_method(self, VM_STR("_move_to_completed"), task);
}

// What yt-dlp wrote for a transfer that failed or was cancelled: the files
// its reports named, beside the partial ones the leftover rule removes (a
// download of any format, the downloaded file once its partial file was
// renamed), and the produced file when the transfer made it. Only names of
// the work stem in the work folder; one that cannot be removed stays.
void Transfer::remove_written() {
    py::object path_type = vm::global(m, "Path");
    py::object prefix = vm::text(work_stem, ".");
    std::vector<py::object> doomed;
    for (py::handle name : py::list(written)) {
        py::object path = path_type(name);
        if (vm::compare(get_attr(path, VM_STR("parent")), work_folder, Py_EQ) &&
            vm::truthy(call_method(get_attr(path, VM_STR("name")), VM_STR("startswith"), prefix)))
            doomed.push_back(path);
    }
    if (produced_here) doomed.push_back(produced_here);
    for (const py::object& path : doomed) {
        try {
            call_method(path, VM_STR("unlink"));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
}

// _cleanup_partial_files(folder: Path, stem: str)
//
// The stem is matched literally: a title holding "[" (or, given straight
// to this method, "*" or "?") must not remove the files of another task.
py::object cleanup_partial_files(const vm::Args& a) {
    py::handle folder = a[0];
    py::object literal = py::module_::import("glob").attr("escape")(a[1]);
    for (const char* suffix : kLeftoverSuffixes) {
        py::object pattern = add(literal, py::str(suffix));
        py::object found = vm::steal(PySequence_List(call_method(folder, VM_STR("glob"), pattern).ptr()));
        for (py::handle file : found) {
            try {
                call_method(file, VM_STR("unlink"));
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
        }
    }
    return py::none();
}

}  // namespace

void define_reelmoor_downloader(py::module_& m) {
    vm::ClassBuilder b(m, "ReelmoorDownloader", kClassDoc, py::make_tuple(m.attr("BaseDownloader")));
    auto cls = b.cell();

    py::object optional = vm::global(m, "Optional");
    py::object str_type = vm::type_object(&PyUnicode_Type);
    py::object optional_str = vm::subscript(optional, str_type);
    py::list callback_args;
    callback_args.append(m.attr("DownloadProgress"));
    py::object callback_type =
        vm::subscript(optional, vm::subscript(vm::global(m, "Callable"), py::make_tuple(callback_args, py::none())));

    b.method("__init__",
             {vm::self(), vm::arg("reelmoor_client").def(py::none()),
              vm::arg("download_folder").def(py::none()).ann(optional_str),
              vm::arg("max_concurrent").def(py::int_(2)).ann(vm::type_object(&PyLong_Type))},
             [m, cls](const vm::Args& a) { return init(m, *cls, a); }, kInitDoc);

    b.method("add_download",
             {vm::self(), vm::arg("url").text_ann(), vm::arg("episode_title").text_ann(),
              vm::arg("podcast_name").text_ann(), vm::arg("task_id").ann(optional_str).def(py::none()),
              vm::arg("progress_callback").ann(callback_type).def(py::none()),
              vm::arg("video_id").ann(optional_str).def(py::none())},
             [cls](const vm::Args& a) { return add_download(*cls, a); }, kAddDoc, str_type);

    // _extract_video_id(url: str) -> Optional[str]
    b.static_method(
        "_extract_video_id", {vm::arg("url").text_ann()},
        [](const vm::Args& a) -> py::object {
            const std::u32string url = vm::code_points(a[0]);
            if (auto id = site::find_download_video_id(url)) return vm::from_code_points(*id);
            return py::none();
        },
        "Extract the video ID from a Reelmoor URL.", optional_str);

    b.method(
        "_download_file", {vm::self(), vm::arg("task").ann(m.attr("DownloadTask"))},
        [m](const vm::Args& a) -> py::object {
            Transfer{m, a.self(), a[1]}.run();
            return py::none();
        },
        kDownloadDoc);

    b.static_method("_cleanup_partial_files",
                    {vm::arg("folder").ann(m.attr("Path")), vm::arg("stem").text_ann()}, cleanup_partial_files,
                    "Remove the partial and temporary files yt_dlp leaves for a stem.");

    b.build();
}

}  // namespace velmora::downloader
