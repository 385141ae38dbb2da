// The file transfers of QuietshelfClient: a copy of a catalogue file in the
// system's temporary folder for playing (get_stream_url), the deprecated
// whole-file download, and the file name the service announces.
//
// A file is taken only from an answer that carries it whole from its first
// byte, by the checks the downloaders make (response_checks.hpp): a 2xx
// status, a 206 from byte 0 that brings the size it names, a body that
// brought its length and, compressed, the end of its stream.
//
// Both transfers read the body as iter_content(8192) hands it out
// (vm::BodyChunks) and write it through vm::BufferedFile: a 1 MiB native
// buffer in front of an unbuffered Python file, whose writes release the GIL
// and whose errors are Python's own. The response is closed on every path.
#include <optional>
#include <string>

#include "body_chunks.hpp"
#include "buffered_file.hpp"
#include "exit_gate.hpp"
#include "names.hpp"
#include "quietshelf.hpp"
#include "response_checks.hpp"

namespace velmora::quietshelf {
namespace {

constexpr Py_ssize_t kChunkSize = 8192;
const char* const kDefaultName = "download.mp3";
const char* const kDefaultSuffix = ".mp3";

const char* const kDeprecation =
    "QuietshelfClient.download() is deprecated. Use QuietshelfDownloader from core.downloader instead for better "
    "progress tracking, resume support, and queue management.";

const char* const kStreamDoc =
    "Copy a file of the service into a new temporary file, for playing.\n"
    "\n"
    "Args:\n"
    "    download_url: The absolute address of the file\n"
    "\n"
    "Returns:\n"
    "    The temporary file's path; deleting it is the caller's task\n"
    "\n"
    "Raises:\n"
    "    QuietshelfAPIError: Not logged in, the session expired, or the transfer failed\n";

const char* const kDownloadDoc =
    "Download a whole file (deprecated: use QuietshelfDownloader from core.downloader).\n"
    "\n"
    "Args:\n"
    "    download_url: The absolute address of the file\n"
    "    destination: A file path, an existing folder, or None for the served name in the current folder\n"
    "    progress_callback: Called with the percentage (an integer) after every chunk\n"
    "\n"
    "Returns:\n"
    "    The path that was written\n";

// Runs `step`; an error it raises is dropped unless it is more than an
// Exception (KeyboardInterrupt, SystemExit). For clean-up after a failure,
// whose own error is the one that counts.
template <class Step>
void quietly(Step&& step) {
    try {
        step();
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
    }
}

// Runs `use()` and closes the streamed `response` after it, also when it
// raises.
template <class Use>
py::object closing(py::handle response, Use&& use) {
    py::object result;
    try {
        result = use();
    } catch (py::error_already_set&) {
        quietly([&] { vm::call_method(response, VM_STR("close")); });
        throw;
    } catch (const std::exception&) {
        quietly([&] { vm::call_method(response, VM_STR("close")); });
        throw;
    }
    vm::call_method(response, VM_STR("close"));
    return result;
}

// Turns an error of a transfer into QuietshelfAPIError: requests' errors
// first, since requests.RequestException is itself an OSError.
[[noreturn]] void raise_transfer_error(py::module_& m, const py::error_already_set& e, const char* network_prefix,
                                       const char* file_prefix) {
    if (is_request_error(m, e)) raise_api_error_from(m, network_prefix, e);
    if (e.matches(PyExc_OSError)) raise_api_error_from(m, file_prefix, e);
    throw;  // called inside the handler of `e`: everything else passes unchanged
}

py::object streamed_get(py::handle self, py::handle url) {
    return vm::blocking_call(vm::get_attr(vm::get_attr(self, VM_STR("session")), VM_STR("get")), url,
                             py::arg("stream") = true, py::arg("timeout") = request_timeout());
}

// A 302, or an HTML page where a file was asked for, is the service sending
// the log-in page.
void check_session(py::module_& m, py::handle response) {
    if (vm::is_login_answer(response)) raise_api_error(m, "Session expired. Please log in again.");
}

// requests.RequestException: the errors the transfers report as the HTTP
// library's.
py::object request_error_type(py::module_& m) { return vm::global(m, "requests").attr("RequestException"); }

// Right after raise_for_status, before any file is made: an answer whose
// status carries no file, or a 206 whose part does not start at the file's
// first byte, fails as the HTTP library's errors do. Returns the size the
// file must end with when a 206 names the whole file's size.
std::optional<long long> check_carries_file(py::module_& m, py::handle response) {
    py::object error_type = request_error_type(m);
    vm::check_file_status(error_type, response);
    return vm::whole_file_size(error_type, response, 0);
}

// int(headers.get("content-length", 0)); a text that is no whole number
// raises ValueError.
py::object content_length(py::handle headers) {
    py::object value = vm::call_method(headers, VM_STR("get"), VM_STR("content-length"), py::int_(0));
    return vm::steal(PyNumber_Long(value.ptr()));
}

// What came of a body: the bytes received, and whether a coded body's
// stream reached its end (BodyChunks::whole).
struct CopiedBody {
    long long received = 0;
    bool stream_ended = true;
};

// A body that ended before its announced length, a coded one before the end
// of its stream, or one that made a file of another size than the `whole`
// one a 206 named, is a broken transfer.
void check_complete(py::module_& m, const vm::ExpectedBody& expected, const std::optional<long long>& whole,
                    py::handle response, const CopiedBody& body) {
    py::object error_type = request_error_type(m);
    vm::check_body_complete(error_type, expected, response, body.received, body.stream_ended);
    vm::check_whole_file(error_type, whole, body.received);
}

// Writes the body to `file`, calling `after_chunk(received)` after each
// chunk.
template <class AfterChunk>
CopiedBody copy_body(py::handle response, vm::BufferedFile& file, AfterChunk&& after_chunk) {
    vm::BodyChunks chunks(response, kChunkSize, vm::BodyChunks::SizeArgument::Positional);
    CopiedBody body;
    while (chunks.next()) {
        if (!chunks.empty()) {
            file.append(chunks.data(), chunks.size());
            body.received += chunks.size();
        }
        after_chunk(body.received);
    }
    body.stream_ended = chunks.whole();
    return body;
}

// The served name as a file name inside the destination: its last path
// part, without the characters a safe file name loses, within a safe file
// name's bounds and never a device (names::served_file_name), or
// "download.mp3" when that names no file.
py::object served_file_name(py::handle served) {
    if (!PyUnicode_Check(served.ptr())) return py::reinterpret_borrow<py::object>(served);
    const std::u32string name = velmora::names::served_file_name(vm::code_points(served));
    if (name.empty()) return py::str(kDefaultName);
    return vm::from_code_points(name);
}

// The suffix of the stream file: the served name's extension when it is a
// plain one, ".mp3" otherwise, so that no part of what the server sent
// beyond a few letters reaches the temporary file's name.
py::object stream_suffix(py::handle os_path, py::handle name) {
    py::object suffix = vm::item(os_path.attr("splitext")(name), 1);
    if (PyUnicode_Check(suffix.ptr()) && velmora::names::plain_extension(vm::code_points(suffix))) return suffix;
    return py::str(kDefaultSuffix);
}

// ---------------------------------------------------------------------------
// get_stream_url

struct StreamFile {
    py::object os, fd, path;
    std::optional<vm::BufferedFile> file;

    // The caller never learns the name of a file that failed: it goes.
    void discard() {
        quietly([&] {
            if (file)
                file->close();
            else
                vm::call_method(os, VM_STR("close"), fd);
        });
        quietly([&] { vm::call_method(os, VM_STR("remove"), path); });
    }
};

py::object stream_to_temp_file(py::module_& m, py::handle self, py::handle response) {
    check_session(m, response);
    vm::call_method(response, VM_STR("raise_for_status"));
    const std::optional<long long> whole = check_carries_file(m, response);
    py::object headers = vm::get_attr(response, VM_STR("headers"));

    StreamFile out;
    out.os = vm::global(m, "os");
    py::object name = served_file_name(vm::call_method(self, VM_STR("_get_filename_from_headers"), headers));
    py::object suffix = stream_suffix(out.os.attr("path"), name);
    py::tuple made = py::module_::import("tempfile")
                         .attr("mkstemp")(py::arg("prefix") = "quietshelf_", py::arg("suffix") = suffix);
    out.fd = made[0];
    out.path = made[1];
    try {
        py::object length = content_length(headers);
        if (vm::compare(length, py::int_(0), Py_EQ)) raise_api_error(m, "File has no content");
        const vm::ExpectedBody expected = vm::expected_body(response, length);
        out.file.emplace(vm::call_method(out.os, VM_STR("fdopen"), out.fd, VM_STR("wb"), py::int_(0)));
        const CopiedBody body = copy_body(response, *out.file, [](long long) {});
        out.file->close();
        check_complete(m, expected, whole, response, body);
    } catch (py::error_already_set&) {
        out.discard();
        throw;
    } catch (const std::exception&) {
        out.discard();
        throw;
    }
    return out.path;
}

// ---------------------------------------------------------------------------
// download

py::object download_to(py::module_& m, py::handle self, py::handle response, py::handle destination,
                       py::handle progress_callback) {
    check_session(m, response);
    vm::call_method(response, VM_STR("raise_for_status"));
    const std::optional<long long> whole = check_carries_file(m, response);
    py::object headers = vm::get_attr(response, VM_STR("headers"));
    py::object length = content_length(headers);
    if (vm::compare(length, py::int_(0), Py_EQ)) raise_api_error(m, "File has no content");
    const vm::ExpectedBody expected = vm::expected_body(response, length);

    py::object name = served_file_name(vm::call_method(self, VM_STR("_get_filename_from_headers"), headers));
    py::object os_path = vm::global(m, "os").attr("path");
    py::object target;
    if (destination.is_none())
        target = name;
    else if (vm::truthy(vm::call_method(os_path, VM_STR("isdir"), destination)))
        target = vm::call_method(os_path, VM_STR("join"), destination, name);
    else
        target = py::reinterpret_borrow<py::object>(destination);

    vm::BufferedFile file(vm::builtin("open")(target, "wb", py::arg("buffering") = 0));
    const bool report = vm::truthy(progress_callback) && vm::compare(length, py::int_(0), Py_GT);
    py::object hundred = py::int_(100);
    CopiedBody body;
    try {
        body = copy_body(response, file, [&](long long so_far) {
            if (!report) return;
            // What the callback is told is on disk.
            file.flush();
            py::object share = vm::steal(PyNumber_TrueDivide(py::int_(so_far).ptr(), length.ptr()));
            py::object percentage =
                vm::steal(PyNumber_Long(vm::steal(PyNumber_Multiply(share.ptr(), hundred.ptr())).ptr()));
            vm::blocking_call(progress_callback, percentage);
        });
        file.close();
    } catch (py::error_already_set&) {
        quietly([&] { file.close(); });
        throw;
    } catch (const std::exception&) {
        quietly([&] { file.close(); });
        throw;
    }
    check_complete(m, expected, whole, response, body);
    return target;
}

// str, os.PathLike or None.
bool is_path(py::module_& m, py::handle value) {
    if (value.is_none() || PyUnicode_Check(value.ptr())) return true;
    const int r = PyObject_IsInstance(value.ptr(), vm::global(m, "os").attr("PathLike").ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace

void add_file_methods(vm::ClassBuilder& b, py::module_& m) {
    py::object str_type = vm::type_object(&PyUnicode_Type);
    py::object optional = m.attr("Optional");

    // get_stream_url(self, download_url: str) -> str
    b.method(
        "get_stream_url", {vm::self(), vm::arg("download_url").text_ann()},
        [m](const vm::Args& a) mutable -> py::object {
            py::handle self = a.self();
            try {
                if (!vm::truthy(vm::get_attr(self, VM_STR("logged_in"))))
                    raise_api_error(m, "Not logged in. Please log in before streaming.");
                py::object response = streamed_get(self, a[1]);
                py::object path = closing(response, [&] { return stream_to_temp_file(m, self, response); });
                vm::log(vm::global(m, "logger"), "info", vm::text("Downloaded stream to temp file: ", path));
                return path;
            } catch (py::error_already_set& e) {
                raise_transfer_error(m, e, "Stream download failed: ", "Failed to write temp file: ");
            }
        },
        kStreamDoc, str_type);

    // download(self, download_url: str, destination: Optional[str] = None,
    //          progress_callback: Optional[Callable[[int], None]] = None) -> str
    py::list callback_args;
    callback_args.append(vm::type_object(&PyLong_Type));
    py::object callback_type = vm::subscript(m.attr("Callable"), py::make_tuple(callback_args, py::none()));
    b.method(
        "download",
        {vm::self(), vm::arg("download_url").text_ann(),
         vm::arg("destination").def(py::none()).ann(vm::subscript(optional, str_type)),
         vm::arg("progress_callback").def(py::none()).ann(vm::subscript(optional, callback_type))},
        [m](const vm::Args& a) mutable -> py::object {
            py::handle self = a.self();
            if (!is_path(m, a[2])) vm::refuse_argument(a[2], "destination", "str, os.PathLike or None");
            // Attributed to the caller: this function has no frame of its own.
            py::module_::import("warnings")
                .attr("warn")(py::str(kDeprecation), py::handle(PyExc_DeprecationWarning), py::arg("stacklevel") = 1);
            try {
                if (!vm::truthy(vm::get_attr(self, VM_STR("logged_in"))))
                    raise_api_error(m, "Not logged in. Please log in before downloading.");
                py::object response = streamed_get(self, a[1]);
                py::object target = closing(response, [&] { return download_to(m, self, response, a[2], a[3]); });
                vm::log(vm::global(m, "logger"), "info", vm::text("Downloaded file to: ", target));
                return target;
            } catch (py::error_already_set& e) {
                raise_transfer_error(m, e, "Download failed: ", "Failed to write file: ");
            }
        },
        kDownloadDoc, str_type);

    // _get_filename_from_headers(self, headers) -> str
    b.method(
        "_get_filename_from_headers", {vm::self(), vm::arg("headers")},
        [](const vm::Args& a) -> py::object {
            py::handle headers = a[1];
            py::object value = vm::call_method(headers, VM_STR("get"), VM_STR("content-disposition"));
            if (value.is_none()) {
                // A plain dict matches names exactly; any case is meant.
                for (py::handle key : headers) {
                    if (PyUnicode_Check(key.ptr()) &&
                        vm::call_method(key, VM_STR("lower")).equal(py::str("content-disposition"))) {
                        value = vm::steal(PyObject_GetItem(headers.ptr(), key.ptr()));
                        break;
                    }
                }
            }
            if (value.is_none() || !vm::truthy(value)) return py::str(kDefaultName);
            py::object message = py::module_::import("email.message").attr("Message")();
            message[py::str("content-disposition")] = value;
            // Quotes and RFC 2231 encoding undone, blanks at the ends stripped.
            py::object filename = vm::call_method(message, VM_STR("get_filename"));
            if (PyUnicode_Check(filename.ptr()) && PyUnicode_GET_LENGTH(filename.ptr()) > 0) return filename;
            return py::str(kDefaultName);
        },
        "Get the file name from the Content-Disposition header (\"download.mp3\" when there is none).", str_type);
}

}  // namespace velmora::quietshelf
