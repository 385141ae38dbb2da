// The HTTP transfer engine of the downloaders (see http_transfer.hpp).
//
// The chunk loop is native: chunks (vm::BodyChunks) are gathered in a 1 MiB
// buffer in front of the partial file (vm::BufferedFile), whose writes
// release the GIL. The buffer is flushed before every point where someone
// can look at the partial file: a pause, a cancel, a failure and the final
// rename.
//
// When the host quits, a transfer stops at its next blocking call (a read,
// a write, the pause's sleep, the host's callback, a request) or at its next
// chunk, whichever comes first, and parks there (exit_gate.hpp): its partial
// file keeps every byte received so far, so the next start resumes it.
#include "http_transfer.hpp"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "body_chunks.hpp"
#include "buffered_file.hpp"
#include "exit_gate.hpp"
#include "names.hpp"
#include "response_checks.hpp"

namespace velmora::downloader {
namespace {

constexpr Py_ssize_t kChunkSize = 8192;

using vm::call_method;
using vm::get_attr;
using vm::set_attr;

py::object join(py::handle folder, py::handle name) { return vm::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr())); }

py::object py_int(long long v) { return vm::steal(PyLong_FromLongLong(v)); }

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
// other, whichever downloaders they belong to. The key is the content folder
// and the file name without extension, case-folded (an extension the server
// names may change during a transfer).

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
        vm::WithoutGil nogil;
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
    py::object key = vm::concat({call_method(folder_text, VM_STR("casefold")), py::str("\n"),
                                 call_method(py::reinterpret_borrow<py::tuple>(stem)[0], VM_STR("casefold"))});
    py::bytes raw = call_method(key, VM_STR("encode"), py::str("utf-8"), py::str("surrogatepass"));
    return std::string(raw);
}

// ---------------------------------------------------------------------------
// The transfer of one task, in the order of its steps.

class Transfer {
public:
    Transfer(const py::module_& module, py::handle downloader, py::handle download_task, const TransferPolicy& p)
        : m(module), self(downloader), task(download_task), policy(p) {}

    void run();

private:
    // Unguarded: an error here leaves the call.
    void make_paths();
    bool wait_for_target(TargetClaim& claim);
    // Guarded: an error here fails the task.
    void guarded();
    void resume_offset();
    void send_first_request();
    void resume_or_restart();
    void check_status() { call_method(response, VM_STR("raise_for_status")); }
    void take_server_extension();
    vm::ExpectedBody total_size();
    void open_partial_file();
    bool chunk_loop();
    void finish();
    void fail(const py::error_already_set& error);

    void build_paths();
    void restart();
    void set_status(const char* member) { set_attr(progress, VM_STR("status"), status_enum.attr(member)); }
    void info(py::handle message) { vm::log(logger, "info", message); }
    bool flag_set(py::handle flag) { return vm::truthy(call_method(flag, VM_STR("is_set"))); }
    void end_cancelled();
    void call_progress_callback();

    const py::module_& m;
    py::handle self;
    py::handle task;
    const TransferPolicy& policy;

    py::object logger, os_path, status_enum;
    py::object url, progress, cancel_flag, pause_flag;
    py::object content_folder, file_path, temp_path, response;
    long long resume_position = 0;
    std::optional<vm::BufferedFile> part;
    bool part_open = false;
    long long received = 0;
};

void Transfer::run() {
    logger = vm::global(m, "logger");
    status_enum = vm::global(m, "DownloadStatus");
    os_path = vm::global(m, "os").attr("path");
    url = get_attr(task, VM_STR("url"));
    progress = get_attr(task, VM_STR("progress"));
    cancel_flag = get_attr(task, VM_STR("cancel_flag"));
    pause_flag = get_attr(task, VM_STR("pause_flag"));

    make_paths();
    TargetClaim claim;
    if (!wait_for_target(claim)) return;

    try {
        guarded();
    } catch (py::error_already_set& error) {
        // The partial file is closed first; an error while closing it takes
        // the place of the first one, as a `with` block does.
        if (part_open) {
            part_open = false;
            try {
                part->close();
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

void Transfer::make_paths() {
    content_folder = call_method(self, VM_STR("_get_content_folder"), get_attr(self, VM_STR("download_folder")),
                                 get_attr(task, VM_STR("podcast_name")));
    content_folder.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    build_paths();
}

void Transfer::build_paths() {
    py::object filename = get_attr(task, VM_STR("filename"));
    file_path = join(content_folder, filename);
    temp_path = join(content_folder, vm::steal(PyNumber_Add(filename.ptr(), VM_STR(".part").ptr())));
}

// One transfer at a time into the same partial file; a task cancelled while
// it waits ends without a request. False when it ended so.
bool Transfer::wait_for_target(TargetClaim& claim) {
    std::string key = target_key(os_path, content_folder, get_attr(task, VM_STR("filename")));
    while (!claim.try_claim(key, std::chrono::milliseconds(500))) {
        if (flag_set(cancel_flag)) {
            end_cancelled();
            return false;
        }
    }
    return true;
}

void Transfer::guarded() {
    resume_offset();
    send_first_request();
    resume_or_restart();
    check_status();
    policy.status_passed(response);
    take_server_extension();
    vm::ExpectedBody expected = total_size();
    open_partial_file();
    if (!chunk_loop()) return;
    part_open = false;
    part->close();
    call_method(response, VM_STR("close"));
    // A body that ends before its announced length is an interrupted
    // transfer: the partial file stays for the next attempt to resume from.
    vm::check_body_complete(vm::global(m, "RequestException"), expected, response, received);
    finish();
}

// The size of the partial file is the offset to resume from.
void Transfer::resume_offset() {
    resume_position = 0;
    if (vm::truthy(call_method(temp_path, VM_STR("exists")))) {
        py::object size = get_attr(call_method(temp_path, VM_STR("stat")), VM_STR("st_size"));
        resume_position = size.cast<long long>();
        set_attr(progress, VM_STR("bytes_downloaded"), size);
    }
}

void Transfer::send_first_request() {
    py::object headers = call_method(get_attr(self, VM_STR("DEFAULT_HEADERS")), VM_STR("copy"));
    if (resume_position > 0) headers[py::str("Range")] = vm::text("bytes=", resume_position, "-");
    set_status("DOWNLOADING");
    set_attr(progress, VM_STR("start_time"), vm::global(m, "time").attr("time")());
    response = policy.get(self, url, headers);
    policy.check_answer(response, true);
}

// Sends the request again from the first byte, without Range.
void Transfer::restart() {
    resume_position = 0;
    set_attr(progress, VM_STR("bytes_downloaded"), py_int(0));
    call_method(response, VM_STR("close"));
    response = policy.get(self, url, get_attr(self, VM_STR("DEFAULT_HEADERS")));
    policy.check_answer(response, false);
}

// Resume only from a 206; one whose Content-Range names another first byte
// than the one asked for would put the body at the wrong offset.
void Transfer::resume_or_restart() {
    if (resume_position <= 0) return;
    bool resumed = false;
    if (get_attr(response, VM_STR("status_code")).equal(py_int(206))) {
        py::object range = get_attr(response, VM_STR("headers")).attr("get")("content-range");
        if (!PyUnicode_Check(range.ptr())) {
            resumed = true;  // no Content-Range: the answer starts where it was asked to
        } else {
            auto start = content_range_start(range);
            resumed = start && *start == resume_position;
        }
    }
    if (resumed) return;
    policy.restarting_without_resume();
    restart();
}

// Only the server's extension is ever used, and only a plain one: the name
// the server sends never becomes a path.
void Transfer::take_server_extension() {
    py::object actual_filename =
        call_method(self, VM_STR("_get_filename_from_headers"), get_attr(response, VM_STR("headers")));
    if (!vm::truthy(actual_filename)) return;
    info(vm::text("Server provided filename: ", actual_filename));
    py::object actual_ext = call_method(
        py::reinterpret_borrow<py::tuple>(call_method(os_path, VM_STR("splitext"), actual_filename))[1],
        VM_STR("lower"));
    py::tuple current = call_method(os_path, VM_STR("splitext"), get_attr(task, VM_STR("filename")));
    py::object current_ext = call_method(current[1], VM_STR("lower"));
    if (!PyUnicode_Check(actual_ext.ptr()) || !names::plain_extension(vm::code_points(actual_ext)) ||
        actual_ext.equal(current_ext))
        return;

    set_attr(task, VM_STR("filename"), vm::steal(PyNumber_Add(current[0].ptr(), actual_ext.ptr())));
    build_paths();
    set_attr(progress, VM_STR("bytes_downloaded"), py_int(0));
    // The partial file under the former name is left as it is; the new one
    // takes the whole file from its first byte.
    if (resume_position > 0) {
        restart();
        check_status();
    }
    resume_position = 0;
}

// Sets the total from Content-Length; returns what the body must bring.
vm::ExpectedBody Transfer::total_size() {
    py::object headers = get_attr(response, VM_STR("headers"));
    py::object length = headers.attr("get")("content-length");
    if (!vm::truthy(length)) return vm::expected_body(response, py::none());
    py::object value = vm::steal(PyNumber_Long(length.ptr()));
    py::object total = value;
    if (get_attr(response, VM_STR("status_code")).equal(py_int(206))) total = total + py_int(resume_position);
    set_attr(progress, VM_STR("total_bytes"), total);
    return vm::expected_body(response, value);
}

void Transfer::open_partial_file() {
    part.emplace(vm::builtin("open")(temp_path, resume_position > 0 ? "ab" : "wb", py::arg("buffering") = 0));
    part_open = true;
}

// Ends the task as cancelled; the partial file (when open) and the response
// (when there is one yet) are closed first.
void Transfer::end_cancelled() {
    set_status("CANCELLED");
    set_attr(progress, VM_STR("error_message"), py::str("Cancelled by user"));
    if (part_open) {
        part_open = false;
        part->close();
    }
    if (response) call_method(response, VM_STR("close"));
    call_method(self, VM_STR("_move_to_failed"), task);
}

void Transfer::call_progress_callback() {
    py::object callback = vm::optional_attr(task, VM_STR("progress_callback"));
    if (!callback || !vm::truthy(callback)) return;
    PyObject* args[] = {progress.ptr()};
    PyObject* r = vm::blocking([&] { return PyObject_Vectorcall(callback.ptr(), args, 1, nullptr); });
    if (r) {
        Py_DECREF(r);
        return;
    }
    py::error_already_set callback_error;
    if (!vm::is_exception(callback_error)) throw callback_error;
}

// Cancel and pause are honoured before every chunk; false when the task was
// cancelled (it has ended then).
bool Transfer::chunk_loop() {
    py::object downloading = status_enum.attr("DOWNLOADING");
    py::object paused = status_enum.attr("PAUSED");
    py::object sleep = vm::global(m, "time").attr("sleep");
    py::object half_second = py::float_(0.5);
    vm::BodyChunks chunks(response, kChunkSize);
    while (chunks.next()) {
        vm::stop_if_quitting();
        if (flag_set(cancel_flag)) {
            end_cancelled();
            return false;
        }
        if (flag_set(pause_flag)) {
            part->flush();
            do {
                set_attr(progress, VM_STR("status"), paused);
                vm::blocking_call(sleep, half_second);
                if (flag_set(cancel_flag)) {
                    end_cancelled();
                    return false;
                }
            } while (flag_set(pause_flag));
        }
        set_attr(progress, VM_STR("status"), downloading);

        if (chunks.empty()) continue;
        const Py_ssize_t size = chunks.size();
        part->append(chunks.data(), size);
        received += size;

        py::object bytes_downloaded = get_attr(progress, VM_STR("bytes_downloaded")) + py_int(size);
        call_method(progress, VM_STR("update"), bytes_downloaded, get_attr(progress, VM_STR("total_bytes")));
        call_progress_callback();
    }
    return true;
}

// The partial file becomes the final file in one replace, so an older final
// file is never lost before the new one is in place. A partial file that
// vanished fails the task, unless the final file is already there.
void Transfer::finish() {
    bool have_part = vm::truthy(call_method(temp_path, VM_STR("exists")));
    if (have_part || !vm::truthy(call_method(file_path, VM_STR("exists"))))
        vm::global(m, "os").attr("replace")(temp_path, file_path);
    set_attr(task, VM_STR("output_path"), vm::global(m, "Path")(file_path));
    set_status("COMPLETED");
    set_attr(progress, VM_STR("percentage"), py::float_(100.0));
    call_method(self, VM_STR("_move_to_completed"), task);
}

void Transfer::fail(const py::error_already_set& error) {
    const int network = PyObject_IsInstance(error.value().ptr(), vm::global(m, "RequestException").ptr());
    if (network < 0) PyErr_Clear();
    set_status("FAILED");
    py::str detail = vm::error_str(error);
    set_attr(progress, VM_STR("error_message"),
             vm::text(network == 1 ? "Network error: " : "Error: ", detail, "\nURL: ", url));
    py::str line = vm::text("Download failed for ", get_attr(task, VM_STR("episode_title")), ": ", detail);
    if (network == 1)
        vm::log(logger, "error", line);
    else
        vm::log_with_traceback(logger, "error", line, error);
    vm::log(logger, "error", vm::text("  URL: ", url));
    call_method(self, VM_STR("_move_to_failed"), task);
}

}  // namespace

void run_http_transfer(const py::module_& m, py::handle downloader, py::handle task, const TransferPolicy& policy) {
    Transfer(m, downloader, task, policy).run();
}

py::dict transfer_headers(const char* player) {
    py::dict headers;
    headers["User-Agent"] = vm::text("Velmora/1.0 (", player, "; +https://velmora.example/)");
    headers["Accept"] = "audio/mpeg, audio/mp4, audio/*, */*";
    headers["Accept-Encoding"] = "identity";
    return headers;
}

}  // namespace velmora::downloader
