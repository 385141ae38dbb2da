// The HTTP transfer of one download task, shared by the downloaders that
// fetch files over HTTP: podcast episodes and the service's films and shows.
//
// A transfer resumes from the partial file (the file name + ".part") with a
// Range request and starts again from byte 0 when the server does not
// resume (a compressed answer never resumes: its range counts compressed
// bytes); takes the file only from a 2xx answer; takes over a plain file
// extension the server names; streams the body in 8192-byte chunks with
// cancel and pause honoured before each one; fails a body that ends short
// (before its announced length, without a single byte when no length was
// announced, a compressed one before the end of its stream, or a 206 short
// of the whole file its Content-Range names); and turns the partial file
// into the final file in one replace. A partial file written from a
// compressed answer is not kept. Two transfers into the same partial file
// run one after the other.
//
// What a downloader brings of its own is a TransferPolicy: how a request is
// sent, and what is checked or logged of the answers.
#pragma once

#include "downloader.hpp"

namespace velmora::downloader {

class TransferPolicy {
public:
    virtual ~TransferPolicy() = default;

    // Sends the streamed GET of `url` with the request `headers` for
    // `downloader`, with a time-out of 30 seconds.
    virtual py::object get(py::handle downloader, py::handle url, py::handle headers) const = 0;
    // Looks at a new answer before the transfer uses it: `first` for the
    // answer to the first request, else an answer to a request sent again
    // from byte 0. An error raised here fails the task.
    virtual void check_answer(py::handle response, bool first) const {}
    // The server did not resume the partial file: the request is sent again
    // from byte 0.
    virtual void restarting_without_resume() const {}
    // The answer whose body the transfer reads passed its status check.
    virtual void status_passed(py::handle response) const {}
};

// `_download_file(task)` of an HTTP downloader: transfers the task and ends
// it as completed, failed or cancelled. Only an error while making its
// folder or paths leaves the call (the task then stays as it was).
void run_http_transfer(const py::module_& m, py::handle downloader, py::handle task, const TransferPolicy& policy);

// DEFAULT_HEADERS of an HTTP downloader, in this order: User-Agent
// "Velmora/1.0 (<player>; +<the project's page>)", Accept (audio first) and
// Accept-Encoding "identity".
py::dict transfer_headers(const char* player);

// Adds `_download_file(self, task: DownloadTask)` to a downloader class: the
// transfer with the policy `Policy(m)`. Its traceback frames name the
// downloader's source, where this is called.
template <class Policy>
void add_transfer_method(vm::ClassBuilder& b, const py::module_& m, const char* doc,
                         std::source_location where = std::source_location::current()) {
    b.method(
        "_download_file", {vm::self(), vm::arg("task").ann(m.attr("DownloadTask"))},
        [m](const vm::Args& a) -> py::object {
            run_http_transfer(m, a.self(), a[1], Policy(m));
            return py::none();
        },
        doc, py::object(), where);
}

}  // namespace velmora::downloader
