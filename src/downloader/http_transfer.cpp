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

#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "body_chunks.hpp"
#include "buffered_file.hpp"
#include "exit_gate.hpp"
#include "names.hpp"
#include "response_checks.hpp"
#include "target_claim.hpp"

namespace velmora::downloader {
namespace {

constexpr Py_ssize_t kChunkSize = 8192;

using vm::call_method;
using vm::get_attr;
using vm::set_attr;

py::object join(py::handle folder, py::handle name) { return vm::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr())); }

py::object py_int(long long v) { return vm::steal(PyLong_FromLongLong(v)); }

bool is_status(py::handle response, long code) { return get_attr(response, VM_STR("status_code")).equal(py_int(code)); }

// Parked for good (the host quits) while a coded answer is being written,
// a transfer leaves its partial file empty: those bytes came decoded from a
// stream that did not end, and no later transfer may resume from them (an
// empty partial file is no partial file). Made before the partial file's
// buffer, so that it runs after the buffer has written out what it held.
class EmptyOnPark final : private vm::OnPark {
public:
    explicit EmptyOnPark(std::filesystem::path path) : path_(std::move(path)) {}

private:
    void on_park() noexcept override {
        std::error_code ignored;
        std::filesystem::resize_file(path_, 0, ignored);
    }

    std::filesystem::path path_;
};

// The partial file's target: the content folder and the file name without
// its extension.
std::string target_key(py::handle os_path, py::handle folder, py::handle filename) {
    py::object stem = vm::item(call_method(os_path, VM_STR("splitext"), filename), 0);
    return vm::target_key(os_path, folder, stem);
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
    bool wait_for_target(vm::TargetClaim& claim);
    // Guarded: an error here fails the task.
    void guarded();
    void resume_offset();
    void send_first_request();
    void resume_or_restart();
    void check_status();
    void take_server_extension();
    void check_range();
    vm::ExpectedBody total_size();
    void open_partial_file();
    bool chunk_loop();
    void check_whole_file();
    void finish();
    void failed(py::error_already_set& error);
    void fail(const py::error_already_set& error);

    void build_paths();
    void restart();
    void set_status(const char* member) { set_attr(progress, VM_STR("status"), status_enum.attr(member)); }
    void info(py::handle message) { vm::log(logger, "info", message); }
    bool flag_set(py::handle flag) { return vm::truthy(call_method(flag, VM_STR("is_set"))); }
    void end_cancelled();
    void drop_coded_partial();
    void call_progress_callback();

    const py::module_& m;
    py::handle self;
    py::handle task;
    const TransferPolicy& policy;

    py::object logger, os_path, status_enum;
    py::object url, progress, cancel_flag, pause_flag;
    py::object content_folder, file_path, temp_path, response;
    long long resume_position = 0;
    bool coded = false;                    // the body comes in a content coding
    std::optional<long long> whole_size;   // the file's size, as a 206 named it
    std::optional<EmptyOnPark> empty_on_park;
    std::optional<vm::BufferedFile> part;  // made after empty_on_park (see there)
    bool part_open = false;
    long long received = 0;
    bool stream_ended = true;
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
    vm::TargetClaim claim;
    if (!wait_for_target(claim)) return;

    // Every error fails the task, a C++ one as the Python error it becomes.
    try {
        guarded();
    } catch (py::error_already_set& error) {
        failed(error);
    } catch (const std::exception& cpp_error) {
        py::error_already_set error = vm::python_error(cpp_error);
        failed(error);
    }
}

// The partial file is closed first; an error while closing it takes the
// place of the first one, as a `with` block does.
void Transfer::failed(py::error_already_set& error) {
    if (part_open) {
        part_open = false;
        try {
            part->close();
        } catch (py::error_already_set& close_error) {
            if (!vm::is_exception(error) || !vm::is_exception(close_error)) throw;
            drop_coded_partial();
            fail(close_error);
            return;
        }
    }
    if (!vm::is_exception(error)) throw error;
    drop_coded_partial();
    fail(error);
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
bool Transfer::wait_for_target(vm::TargetClaim& claim) {
    std::string key = target_key(os_path, content_folder, get_attr(task, VM_STR("filename")));
    if (claim.claim_unless_cancelled(key, cancel_flag)) return true;
    end_cancelled();
    return false;
}

void Transfer::guarded() {
    resume_offset();
    send_first_request();
    resume_or_restart();
    check_status();
    policy.status_passed(response);
    take_server_extension();
    check_range();
    vm::ExpectedBody expected = total_size();
    open_partial_file();
    if (!chunk_loop()) return;
    part_open = false;
    part->close();
    call_method(response, VM_STR("close"));
    // A body that ends before its announced length, or before the end of its
    // coded stream, is an interrupted transfer: a plain partial file stays
    // for the next attempt to resume from.
    vm::check_body_complete(vm::global(m, "RequestException"), expected, response, received, stream_ended);
    check_whole_file();
    finish();
}

// The size of the partial file is the offset to resume from.
void Transfer::resume_offset() {
    resume_position = 0;
    if (vm::truthy(call_method(temp_path, VM_STR("exists")))) {
        py::object size = get_attr(call_method(temp_path, VM_STR("stat")), VM_STR("st_size"));
        // A size that is no whole number, or past 63 bits, raises Python's
        // own TypeError or OverflowError.
        py::object whole = vm::steal(PyNumber_Index(size.ptr()));
        resume_position = PyLong_AsLongLong(whole.ptr());
        if (resume_position == -1 && PyErr_Occurred()) throw py::error_already_set();
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
// than the one asked for would put the body at the wrong offset. A coded
// answer counts its range in coded bytes, not in the file's: it never
// continues a partial file.
void Transfer::resume_or_restart() {
    if (resume_position <= 0) return;
    bool resumed = false;
    if (is_status(response, 206) && !vm::is_content_coded(response)) {
        py::object range = get_attr(response, VM_STR("headers")).attr("get")("content-range");
        if (!PyUnicode_Check(range.ptr())) {
            resumed = true;  // no Content-Range: the answer starts where it was asked to
        } else {
            auto named = vm::parse_content_range(range);
            resumed = named && named->first == resume_position;
        }
    }
    if (resumed) return;
    policy.restarting_without_resume();
    restart();
}

// raise_for_status passes every status below 400; only a 2xx answer
// carries the file (a 3xx that was not followed, a 304, a 1xx carry none).
void Transfer::check_status() {
    call_method(response, VM_STR("raise_for_status"));
    vm::check_file_status(vm::global(m, "RequestException"), response);
}

// Only the server's extension is ever used, and only a plain one: the name
// the server sends never becomes a path.
void Transfer::take_server_extension() {
    py::object actual_filename =
        call_method(self, VM_STR("_get_filename_from_headers"), get_attr(response, VM_STR("headers")));
    if (!vm::truthy(actual_filename)) return;
    info(vm::text("Server provided filename: ", actual_filename));
    py::object actual_ext =
        call_method(vm::item(call_method(os_path, VM_STR("splitext"), actual_filename), 1), VM_STR("lower"));
    py::object current = call_method(os_path, VM_STR("splitext"), get_attr(task, VM_STR("filename")));
    py::object current_ext = call_method(vm::item(current, 1), VM_STR("lower"));
    if (!PyUnicode_Check(actual_ext.ptr()) || !names::plain_extension(vm::code_points(actual_ext)) ||
        actual_ext.equal(current_ext))
        return;

    set_attr(task, VM_STR("filename"), vm::steal(PyNumber_Add(vm::item(current, 0).ptr(), actual_ext.ptr())));
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

// The answer whose body is read. A 206 that names its part must start where
// the partial file ends (at byte 0 when there is none, whatever was asked);
// when it also names the size of the whole file, the finished file must have
// that size (check_whole_file), unless the body is coded, whose range counts
// coded bytes.
void Transfer::check_range() {
    coded = vm::is_content_coded(response);
    whole_size = vm::whole_file_size(vm::global(m, "RequestException"), response, resume_position);
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
    if (coded) empty_on_park.emplace(temp_path.cast<std::filesystem::path>());
    part.emplace(vm::builtin("open")(temp_path, resume_position > 0 ? "ab" : "wb", py::arg("buffering") = 0));
    part_open = true;
}

// A partial file written from a coded answer is not kept when the transfer
// ends without the file: its bytes came decoded, and a Range request counts
// coded bytes, so no later transfer could continue it; and what a coded
// stream brought before its check failed may be wrong. Whatever else
// failed, the removal's own error does not count.
void Transfer::drop_coded_partial() {
    if (!coded || !part) return;
    try {
        vm::global(m, "os").attr("remove")(temp_path);
    } catch (py::error_already_set& error) {
        if (!vm::is_exception(error)) throw;
    }
    empty_on_park.reset();
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
    drop_coded_partial();
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
    stream_ended = chunks.whole();
    return true;
}

// A 206 that named the size of the whole file brought only part of it (or
// more than it): the task fails as a cut body does, and the partial file,
// a sound prefix, is there for the next attempt to continue.
void Transfer::check_whole_file() {
    vm::check_whole_file(vm::global(m, "RequestException"), whole_size, resume_position + received);
}

// The partial file becomes the final file in one replace, so an older final
// file is never lost before the new one is in place. A partial file that
// vanished fails the task, unless the final file is already there.
void Transfer::finish() {
    bool have_part = vm::truthy(call_method(temp_path, VM_STR("exists")));
    if (have_part || !vm::truthy(call_method(file_path, VM_STR("exists"))))
        vm::global(m, "os").attr("replace")(temp_path, file_path);
    empty_on_park.reset();
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
