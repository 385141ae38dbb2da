// PodcastDownloader: resumable HTTP downloads of podcast episodes.
//
// The transfer talks to the server through `requests` (looked up in the
// module at call time) and streams the body in 8192-byte chunks. The chunk
// loop is native: chunks (vm::BodyChunks) are gathered in a 1 MiB buffer in
// front of the partial file (vm::BufferedFile), whose writes release the GIL.
// The buffer is flushed before every point where someone can look at the
// partial file: a pause, a cancel, a failure and the final rename.
#include "downloader.hpp"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "body_chunks.hpp"
#include "buffered_file.hpp"

namespace velmora::downloader {
namespace {

constexpr Py_ssize_t kChunkSize = 8192;

const char* const kClassDoc =
    "Podcast downloader with resumable downloads, progress tracking, and concurrent downloads.\n"
    "\n"
    "Features:\n"
    "- Resumes interrupted downloads with HTTP Range requests\n"
    "- One folder per podcast\n"
    "- Detects the file name in the Content-Disposition header (its extension is used)\n";

const char* const kInitDoc =
    "Initialize the podcast downloader.\n"
    "\n"
    "Args:\n"
    "    download_folder: Root folder for downloads (default: Documents/velmora/podcasts)\n"
    "    max_concurrent: Number of downloads that run at the same time\n";

const char* const kDownloadDoc =
    "Download a file with resume support and progress tracking.\n"
    "\n"
    "Args:\n"
    "    task: The download task to transfer\n";

using vm::call_method;
using vm::concat;
using vm::get_attr;
using vm::set_attr;

py::object join(py::handle folder, py::handle name) { return vm::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr())); }

py::object py_int(long long v) { return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v)); }

// A plain file extension: a dot and 1 to 10 ASCII letters or digits.
bool plain_extension(py::handle ext) {
    PyObject* text = ext.ptr();
    const Py_ssize_t n = PyUnicode_GetLength(text);
    if (n < 0) throw py::error_already_set();
    if (n < 2 || n > 11 || PyUnicode_READ_CHAR(text, 0) != '.') return false;
    for (Py_ssize_t i = 1; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

// The first byte of a "bytes START-END/TOTAL" Content-Range value.
std::optional<long long> content_range_start(py::handle value) {
    const char* s = PyUnicode_AsUTF8(value.ptr());
    if (!s) throw py::error_already_set();
    std::string text(s);
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (text.compare(i, 5, "bytes") != 0) return std::nullopt;
    i += 5;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    long long start = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (start > (LLONG_MAX - 9) / 10) return std::nullopt;
        start = start * 10 + (text[i] - '0');
    }
    if (i >= text.size() || text[i] != '-') return std::nullopt;
    return start;
}

// ---------------------------------------------------------------------------
// Targets in use: two transfers into the same partial file run one after the
// other. The key is the content folder and the file name without extension,
// case-folded (an extension the server names may change during a transfer).

struct TargetTable {
    std::mutex mutex;
    std::condition_variable freed;
    std::unordered_set<std::string> busy;
};

TargetTable& targets() {
    static TargetTable* table = new TargetTable;  // lives until the process ends
    return *table;
}

class TargetClaim {
public:
    TargetClaim() = default;
    TargetClaim(const TargetClaim&) = delete;
    TargetClaim& operator=(const TargetClaim&) = delete;
    ~TargetClaim() { release(); }

    // Waits (without the GIL) up to `slice` for the target; true once it is ours.
    bool try_claim(const std::string& key, std::chrono::milliseconds slice) {
        py::gil_scoped_release nogil;
        TargetTable& t = targets();
        std::unique_lock<std::mutex> lock(t.mutex);
        if (!t.freed.wait_for(lock, slice, [&] { return t.busy.count(key) == 0; })) return false;
        t.busy.insert(key);
        key_ = key;
        held_ = true;
        return true;
    }

    void release() {
        if (!held_) return;
        TargetTable& t = targets();
        {
            std::lock_guard<std::mutex> lock(t.mutex);
            t.busy.erase(key_);
        }
        held_ = false;
        t.freed.notify_all();
    }

private:
    std::string key_;
    bool held_ = false;
};

std::string target_key(py::handle os_path, py::handle folder, py::handle filename) {
    py::object folder_text =
        call_method(os_path, VM_STR("normcase"), call_method(os_path, VM_STR("abspath"), py::str(folder)));
    py::object stem = call_method(os_path, VM_STR("splitext"), filename);
    py::object key = concat({call_method(folder_text, VM_STR("casefold")), py::str("\n"),
                             call_method(py::reinterpret_borrow<py::tuple>(stem)[0], VM_STR("casefold"))});
    py::bytes raw = call_method(key, VM_STR("encode"), py::str("utf-8"), py::str("surrogatepass"));
    return std::string(raw);
}

// ---------------------------------------------------------------------------
// The transfer of one task.

struct Transfer {
    Transfer(py::module_ module, py::handle downloader, py::handle download_task)
        : m(std::move(module)), self(downloader), task(download_task) {}

    py::module_ m;
    py::handle self;
    py::handle task;

    py::object logger, os_path, requests, status_enum;
    py::object url, progress;
    py::object podcast_folder, file_path, temp_path, response;
    long long resume_position = 0;

    void info(py::handle message) { call_method(logger, VM_STR("info"), message); }

    void build_paths() {
        py::object filename = get_attr(task, VM_STR("filename"));
        file_path = join(podcast_folder, filename);
        py::object part = py::reinterpret_steal<py::object>(PyNumber_Add(filename.ptr(), py::str(".part").ptr()));
        if (!part) throw py::error_already_set();
        temp_path = join(podcast_folder, part);
    }

    void set_status(const char* member) { set_attr(progress, VM_STR("status"), status_enum.attr(member)); }

    py::object get(py::handle headers) {
        return requests.attr("get")(url, py::arg("headers") = headers, py::arg("stream") = true,
                                    py::arg("timeout") = 30, py::arg("allow_redirects") = true);
    }

    // Sends the request again from the first byte, without Range.
    void restart() {
        resume_position = 0;
        set_attr(progress, VM_STR("bytes_downloaded"), py_int(0));
        call_method(response, VM_STR("close"));
        response = get(get_attr(self, VM_STR("DEFAULT_HEADERS")));
    }

    bool cancelled(py::handle cancel_flag) { return vm::truthy(call_method(cancel_flag, VM_STR("is_set"))); }

    // Ends the task as cancelled; `part` and the response, when there are
    // any yet, are closed first.
    void end_cancelled(vm::BufferedFile* part) {
        set_status("CANCELLED");
        set_attr(progress, VM_STR("error_message"), py::str("Cancelled by user"));
        if (part) part->close();
        if (response) call_method(response, VM_STR("close"));
        call_method(self, VM_STR("_move_to_failed"), task);
    }

    void run();
    void guarded(vm::BufferedFile*& part_slot, std::optional<vm::BufferedFile>& part);
    void fail(const py::error_already_set& error);
};

void Transfer::run() {
    logger = vm::global(m, "logger");
    status_enum = vm::global(m, "DownloadStatus");
    os_path = vm::global(m, "os").attr("path");
    url = get_attr(task, VM_STR("url"));
    progress = get_attr(task, VM_STR("progress"));

    // Preparation: errors here leave the call to the worker.
    podcast_folder = call_method(self, VM_STR("_get_content_folder"), get_attr(self, VM_STR("download_folder")),
                                 get_attr(task, VM_STR("podcast_name")));
    podcast_folder.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    build_paths();

    // One transfer at a time into the same partial file.
    TargetClaim claim;
    std::string key = target_key(os_path, podcast_folder, get_attr(task, VM_STR("filename")));
    py::object cancel_flag = get_attr(task, VM_STR("cancel_flag"));
    while (!claim.try_claim(key, std::chrono::milliseconds(500))) {
        if (cancelled(cancel_flag)) {
            end_cancelled(nullptr);
            return;
        }
    }

    std::optional<vm::BufferedFile> part;
    vm::BufferedFile* open_part = nullptr;
    try {
        guarded(open_part, part);
    } catch (py::error_already_set& error) {
        // The partial file is closed first; an error while closing it takes
        // the place of the first one, as a `with` block does.
        if (open_part) {
            try {
                open_part->close();
            } catch (py::error_already_set& close_error) {
                if (!vm::is_exception(error) || !vm::is_exception(close_error)) throw;
                fail(close_error);
                return;
            }
        }
        if (!vm::is_exception(error)) throw;
        fail(error);
    }
}

void Transfer::fail(const py::error_already_set& error) {
    bool network = PyObject_IsInstance(error.value().ptr(), vm::global(m, "RequestException").ptr()) == 1;
    if (PyErr_Occurred()) PyErr_Clear();
    set_status("FAILED");
    py::str detail = vm::error_str(error);
    set_attr(progress, VM_STR("error_message"),
             concat({py::str(network ? "Network error: " : "Error: "), detail, py::str("\nURL: "), url}));
    py::str line = concat({py::str("Download failed for "), get_attr(task, VM_STR("episode_title")), py::str(": "),
                           detail});
    if (network)
        call_method(logger, VM_STR("error"), line);
    else
        vm::log_with_traceback(logger, "error", line, error);
    call_method(logger, VM_STR("error"), concat({py::str("  URL: "), url}));
    call_method(self, VM_STR("_move_to_failed"), task);
}

void Transfer::guarded(vm::BufferedFile*& open_part, std::optional<vm::BufferedFile>& part) {
    // Resume offset: the size of the partial file.
    resume_position = 0;
    if (vm::truthy(call_method(temp_path, VM_STR("exists")))) {
        py::object size = call_method(temp_path, VM_STR("stat")).attr("st_size");
        resume_position = size.cast<long long>();
        set_attr(progress, VM_STR("bytes_downloaded"), size);
    }

    py::object headers = call_method(get_attr(self, VM_STR("DEFAULT_HEADERS")), VM_STR("copy"));
    if (resume_position > 0)
        headers[py::str("Range")] = concat({py::str("bytes="), py_int(resume_position), py::str("-")});

    set_status("DOWNLOADING");
    set_attr(progress, VM_STR("start_time"), vm::global(m, "time").attr("time")());

    requests = vm::global(m, "requests");
    response = get(headers);

    py::object history = get_attr(response, VM_STR("history"));
    if (vm::truthy(history)) {
        info(vm::text("Download followed ", static_cast<long long>(py::len(history)), " redirect(s):"));
        long long number = 0;
        for (py::handle answer : history) {
            ++number;
            info(vm::text("  Redirect ", number, ": ", answer.attr("status_code"), " -> ", answer.attr("url")));
        }
        info(vm::text("  Final URL: ", get_attr(response, VM_STR("url"))));
    }

    // Resume only from a 206; one whose Content-Range names another first
    // byte than the one asked for would put the body at the wrong offset.
    if (resume_position > 0) {
        bool resumed = false;
        py::object code = get_attr(response, VM_STR("status_code"));
        if (code.equal(py_int(206))) {
            py::object range = get_attr(response, VM_STR("headers")).attr("get")("content-range");
            if (!PyUnicode_Check(range.ptr())) {
                resumed = true;  // no Content-Range: the answer starts where it was asked to
            } else {
                auto start = content_range_start(range);
                resumed = start && *start == resume_position;
            }
        }
        if (!resumed) restart();
    }

    call_method(response, VM_STR("raise_for_status"));

    py::object response_headers = get_attr(response, VM_STR("headers"));
    py::object get_header = response_headers.attr("get");
    info(concat({py::str("Download headers: Content-Type: "), get_header("content-type", "unknown"),
                 py::str(", Content-Length: "), get_header("content-length", "unknown"),
                 py::str(", Content-Disposition: "), get_header("content-disposition", "none")}));

    // The server's extension; only the extension is ever used.
    py::object actual_filename = call_method(self, VM_STR("_get_filename_from_headers"), response_headers);
    if (vm::truthy(actual_filename)) {
        info(concat({py::str("Server provided filename: "), actual_filename}));
        py::object actual_ext =
            call_method(py::reinterpret_borrow<py::tuple>(call_method(os_path, VM_STR("splitext"), actual_filename))[1],
                        VM_STR("lower"));
        py::object filename = get_attr(task, VM_STR("filename"));
        py::tuple current = call_method(os_path, VM_STR("splitext"), filename);
        py::object current_ext = call_method(current[1], VM_STR("lower"));
        if (PyUnicode_Check(actual_ext.ptr()) && plain_extension(actual_ext) && !actual_ext.equal(current_ext)) {
            py::object new_name = py::reinterpret_steal<py::object>(PyNumber_Add(current[0].ptr(), actual_ext.ptr()));
            if (!new_name) throw py::error_already_set();
            set_attr(task, VM_STR("filename"), new_name);
            build_paths();
            set_attr(progress, VM_STR("bytes_downloaded"), py_int(0));
            if (resume_position > 0) {
                restart();
                call_method(response, VM_STR("raise_for_status"));
            }
            resume_position = 0;
        }
        response_headers = get_attr(response, VM_STR("headers"));
    }

    // Total size.
    std::optional<long long> expected;
    py::object length = response_headers.attr("get")("content-length");
    bool partial_answer = get_attr(response, VM_STR("status_code")).equal(py_int(206));
    if (vm::truthy(length)) {
        py::object value = py::reinterpret_steal<py::object>(PyNumber_Long(length.ptr()));
        if (!value) throw py::error_already_set();
        py::object total = value;
        if (partial_answer) total = total + py_int(resume_position);
        set_attr(progress, VM_STR("total_bytes"), total);
        // A decoded body has another length than the one announced.
        py::object encoding =
            py::str(response_headers.attr("get")("content-encoding", "")).attr("strip")().attr("lower")();
        if (encoding.equal(py::str("")) || encoding.equal(py::str("identity"))) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
            if (!overflow && v >= 0) expected = v;
        }
    }

    py::object open = vm::builtin("open");
    part.emplace(open(temp_path, resume_position > 0 ? "ab" : "wb", py::arg("buffering") = 0));
    open_part = &*part;

    // Chunk loop.
    py::object cancel_flag = get_attr(task, VM_STR("cancel_flag"));
    py::object pause_flag = get_attr(task, VM_STR("pause_flag"));
    py::object downloading = status_enum.attr("DOWNLOADING");
    py::object paused = status_enum.attr("PAUSED");
    py::object sleep = vm::global(m, "time").attr("sleep");
    py::object half_second = py::float_(0.5);
    vm::BodyChunks chunks(response, kChunkSize);
    long long received = 0;
    while (chunks.next()) {
        if (cancelled(cancel_flag)) {
            open_part = nullptr;
            end_cancelled(&*part);
            return;
        }
        if (vm::truthy(call_method(pause_flag, VM_STR("is_set")))) {
            part->flush();
            do {
                set_attr(progress, VM_STR("status"), paused);
                sleep(half_second);
                if (cancelled(cancel_flag)) {
                    open_part = nullptr;
                    end_cancelled(&*part);
                    return;
                }
            } while (vm::truthy(call_method(pause_flag, VM_STR("is_set"))));
        }
        set_attr(progress, VM_STR("status"), downloading);

        if (chunks.empty()) continue;
        const Py_ssize_t size = chunks.size();
        part->append(chunks.data(), size);
        received += size;

        py::object bytes_downloaded = get_attr(progress, VM_STR("bytes_downloaded")) + py_int(size);
        call_method(progress, VM_STR("update"), bytes_downloaded, get_attr(progress, VM_STR("total_bytes")));

        py::object callback = vm::optional_attr(task, VM_STR("progress_callback"));
        if (callback && vm::truthy(callback)) {
            PyObject* args[] = {progress.ptr()};
            PyObject* r = PyObject_Vectorcall(callback.ptr(), args, 1, nullptr);
            if (r) {
                Py_DECREF(r);
            } else {
                py::error_already_set callback_error;
                if (!vm::is_exception(callback_error)) throw callback_error;
            }
        }
    }

    open_part = nullptr;
    part->close();
    call_method(response, VM_STR("close"));

    // A body that ends before its announced length is an interrupted transfer:
    // the partial file stays for the next attempt to resume from.
    if (expected && received < *expected) {
        std::string text = "Connection closed early: " + std::to_string(received) + " of " +
                           std::to_string(*expected) + " bytes arrived";
        PyErr_SetString(vm::global(m, "RequestException").ptr(), text.c_str());
        throw py::error_already_set();
    }

    // Finish: the partial file becomes the final file in one replace.
    bool have_part = vm::truthy(call_method(temp_path, VM_STR("exists")));
    if (have_part || !vm::truthy(call_method(file_path, VM_STR("exists")))) {
        vm::global(m, "os").attr("replace")(temp_path, file_path);
    }
    set_attr(task, VM_STR("output_path"), vm::global(m, "Path")(file_path));
    set_status("COMPLETED");
    set_attr(progress, VM_STR("percentage"), py::float_(100.0));
    call_method(self, VM_STR("_move_to_completed"), task);
}

}  // namespace

void define_podcast_downloader(py::module_& m) {
    py::object base = m.attr("BaseDownloader");
    vm::ClassBuilder b(m, "PodcastDownloader", kClassDoc, py::make_tuple(base));
    auto cls = b.cell();

    py::dict headers;
    headers["User-Agent"] = "Velmora/1.0 (Podcast Player; +https://velmora.example/)";
    headers["Accept"] = "audio/mpeg, audio/mp4, audio/*, */*";
    headers["Accept-Encoding"] = "identity";
    b.attr("DEFAULT_HEADERS", headers);

    py::object optional_str = vm::subscript(vm::typing_of("Optional"), vm::type_object(&PyUnicode_Type));
    py::object int_type = vm::type_object(&PyLong_Type);

    b.method(
        "__init__",
        {vm::self(), vm::arg("download_folder").def(py::none()).ann(optional_str),
         vm::arg("max_concurrent").def(py_int(3)).ann(int_type)},
        [m, cls](const vm::Args& a) -> py::object {
            py::object folder = py::reinterpret_borrow<py::object>(a[1]);
            if (folder.is_none()) {
                py::object home = vm::global(m, "Path").attr("home")();
                folder = py::str(join(join(join(home, py::str("Documents")), py::str("velmora")), py::str("podcasts")));
            }
            vm::super(*cls, a.self())
                .attr("__init__")(py::arg("download_folder") = folder, py::arg("max_concurrent") = a[2]);
            return py::none();
        },
        kInitDoc);

    b.method(
        "_download_file", {vm::self(), vm::arg("task").ann(m.attr("DownloadTask"))},
        [m](const vm::Args& a) -> py::object {
            Transfer t(m, a.self(), a[1]);
            t.run();
            return py::none();
        },
        kDownloadDoc);

    b.build();
}

}  // namespace velmora::downloader
