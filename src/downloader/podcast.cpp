// PodcastDownloader: resumable HTTP downloads of podcast episodes.
//
// The transfer is the shared HTTP transfer (http_transfer.hpp). What is the
// podcast downloader's own: its requests go through `requests.get` (looked
// up in the module at call time) following redirects, and the redirects it
// followed and the headers of the answer are logged.
#include "downloader.hpp"
#include "exit_gate.hpp"
#include "http_transfer.hpp"

namespace velmora::downloader {
namespace {

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

class PodcastPolicy final : public TransferPolicy {
public:
    explicit PodcastPolicy(const py::module_& module) : m(module) {}

    py::object get(py::handle, py::handle url, py::handle headers) const override {
        return vm::blocking_call(vm::global(m, "requests").attr("get"), url, py::arg("headers") = headers,
                                 py::arg("stream") = true, py::arg("timeout") = 30, py::arg("allow_redirects") = true);
    }

    // Only the redirects of the first request are logged.
    void check_answer(py::handle response, bool first) const override {
        if (!first) return;
        py::object history = vm::get_attr(response, VM_STR("history"));
        if (!vm::truthy(history)) return;
        info(vm::text("Download followed ", static_cast<long long>(py::len(history)), " redirect(s):"));
        long long number = 0;
        for (py::handle answer : history) {
            ++number;
            info(vm::text("  Redirect ", number, ": ", answer.attr("status_code"), " -> ", answer.attr("url")));
        }
        info(vm::text("  Final URL: ", vm::get_attr(response, VM_STR("url"))));
    }

    void status_passed(py::handle response) const override {
        py::object get_header = vm::get_attr(response, VM_STR("headers")).attr("get");
        info(vm::text("Download headers: Content-Type: ", get_header("content-type", "unknown"),
                      ", Content-Length: ", get_header("content-length", "unknown"),
                      ", Content-Disposition: ", get_header("content-disposition", "none")));
    }

private:
    void info(py::handle message) const { vm::log(vm::global(m, "logger"), "info", message); }

    const py::module_& m;
};

}  // namespace

void define_podcast_downloader(py::module_& m) {
    py::object base = m.attr("BaseDownloader");
    vm::ClassBuilder b(m, "PodcastDownloader", kClassDoc, py::make_tuple(base));
    auto cls = b.cell();

    b.attr("DEFAULT_HEADERS", transfer_headers("Podcast Player"));

    b.method(
        "__init__",
        {vm::self(), download_folder_param(), max_concurrent_param()},
        [m, cls](const vm::Args& a) -> py::object {
            // The folder word in lower case, as the podcast folders always were.
            init_base_downloader(m, *cls, a.self(), a[1], a[2], "velmora", "podcasts");
            return py::none();
        },
        kInitDoc);

    // _download_file(self, task: DownloadTask)
    add_transfer_method<PodcastPolicy>(b, m, kDownloadDoc);

    b.build();
}

}  // namespace velmora::downloader
