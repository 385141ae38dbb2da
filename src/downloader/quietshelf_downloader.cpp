// QuietshelfDownloader: downloads of the service's films and shows.
//
// The transfer is the shared HTTP transfer (http_transfer.hpp), with every
// request sent through the session of the QuietshelfClient the host logged
// in, so the service's cookies travel with it. The session follows
// redirects; the service sends a request it does not let in to its log-in
// page, and every answer the body could come from is checked for that page,
// so the form is never saved as a film.
#include "downloader.hpp"
#include "exit_gate.hpp"
#include "http_transfer.hpp"
#include "response_checks.hpp"

namespace velmora::downloader {
namespace {

const char* const kClassDoc =
    "Downloader for the films and shows of the Quietshelf described-audio service.\n"
    "\n"
    "Every request goes through the session of a logged-in QuietshelfClient. Features:\n"
    "- Resumes interrupted downloads with HTTP Range requests\n"
    "- One folder per content kind\n"
    "- Takes the file extension the service names in the Content-Disposition header\n";

const char* const kInitDoc =
    "Initialize the Quietshelf downloader.\n"
    "\n"
    "Args:\n"
    "    client: A QuietshelfClient the host has logged in (only its session is used)\n"
    "    download_folder: Root folder for downloads (default: Documents/Velmora/downloads)\n"
    "    max_concurrent: Number of downloads that run at the same time\n"
    "\n"
    "Raises:\n"
    "    TypeError: client is not a QuietshelfClient\n";

const char* const kDownloadDoc =
    "Download a file of the service with resume support and progress tracking.\n"
    "\n"
    "Args:\n"
    "    task: The download task to transfer\n";

class QuietshelfPolicy final : public TransferPolicy {
public:
    explicit QuietshelfPolicy(const py::module_& module) : m(module) {}

    // No redirect argument: the session's own setting (follow) holds.
    py::object get(py::handle downloader, py::handle url, py::handle headers) const override {
        py::object session = vm::get_attr(vm::get_attr(downloader, VM_STR("client")), VM_STR("session"));
        return vm::blocking_call(session.attr("get"), url, py::arg("headers") = headers, py::arg("stream") = true,
                                 py::arg("timeout") = 30);
    }

    void check_answer(py::handle response, bool) const override {
        if (!vm::is_login_answer(response)) return;
        PyErr_SetString(vm::global(m, "RequestException").ptr(), "Session expired or authentication required");
        throw py::error_already_set();
    }

    void restarting_without_resume() const override {
        vm::log(vm::global(m, "logger"), "info",
                VM_STR("Server doesn't support resume, restarting download from beginning"));
    }

private:
    const py::module_& m;
};

}  // namespace

void define_quietshelf_downloader(py::module_& m) {
    vm::ClassBuilder b(m, "QuietshelfDownloader", kClassDoc, py::make_tuple(m.attr("BaseDownloader")));
    auto cls = b.cell();

    b.attr("DEFAULT_HEADERS", transfer_headers("Media Player"));

    // __init__(self, client, download_folder: Optional[str] = None, max_concurrent: int = 3)
    b.method(
        "__init__",
        {vm::self(), vm::arg("client"), download_folder_param(), max_concurrent_param()},
        [m, cls](const vm::Args& a) -> py::object {
            // Imported here, so that core.downloader loads without the client module.
            py::object client_type = vm::import_from("core.quietshelf_client", "QuietshelfClient");
            const int is_client = PyObject_IsInstance(a[1].ptr(), client_type.ptr());
            if (is_client < 0) throw py::error_already_set();
            if (!is_client) throw py::type_error("client must be an QuietshelfClient instance");
            // Set before the base constructor starts the workers that use it.
            vm::set_attr(a.self(), VM_STR("client"), a[1]);
            init_base_downloader(m, *cls, a.self(), a[2], a[3], "Velmora", "downloads");
            return py::none();
        },
        kInitDoc);

    // _download_file(self, task: DownloadTask)
    add_transfer_method<QuietshelfPolicy>(b, m, kDownloadDoc);

    b.build();
}

}  // namespace velmora::downloader
