// core.downloader: module body.
//
// The same body runs under two entry points: PyInit_downloader when the host
// imports core.downloader, and PyInit___main__ when scripts/downloader-demo
// loads this file as the main program (an extension module cannot be started
// with `python -m`). Only the latter runs the demonstration.
#include <string>

#include "downloader.hpp"

namespace py = pybind11;
using namespace velmora::downloader;

namespace {

const char* const kModuleDoc =
    "Podcast Episode Downloader for Velmora\n"
    "\n"
    "Provides:\n"
    "- Resumable downloads\n"
    "- Progress tracking\n"
    "- Concurrent downloads\n"
    "- Download queue management\n";

void import_names(py::module_& m) {
    for (const char* name : {"os", "re", "time", "threading", "logging"}) vm::import_into(m, name);
    vm::from_import(m, "pathlib", {"Path"});
    vm::from_import(m, "typing", {"Optional", "Callable", "Dict", "List"});
    vm::from_import(m, "enum", {"Enum"});
    vm::from_import(m, "queue", {"Queue", "Empty"});
    vm::from_import(m, "abc", {"ABC", "abstractmethod"});
    vm::import_into(m, "requests");
    vm::from_import(m, "requests.exceptions", {"RequestException"});
}

// print(text) to the sys.stdout of the moment.
void say(const char* text) {
    py::print(text, py::arg("file") = py::module_::import("sys").attr("stdout"));
}
void say(const py::object& text) {
    py::print(text, py::arg("file") = py::module_::import("sys").attr("stdout"));
}

// The demonstration of the main program: shows the default downloader's
// settings and the features, downloads nothing.
void demonstrate(py::module_& m) {
    say("Velmora - Podcast Downloader");
    say(std::string(50, '=').c_str());

    m.attr("example_url") = "https://podcasts.example.com/episodes/intro-to-python.mp3";
    m.attr("example_title") = "Introduction to Python Programming";
    m.attr("example_podcast") = "Tech Talks Daily";

    say(py::str("\nExample: Downloading '{}' from '{}'").format(m.attr("example_title"), m.attr("example_podcast")));
    say("Note: This is a demonstration. Use real URLs for actual downloads.\n");

    // with PodcastDownloader(max_concurrent=3) as downloader:
    vm::with_context(m.attr("PodcastDownloader")(py::arg("max_concurrent") = 3), [&](py::handle entered) {
        m.attr("downloader") = entered;
        py::object downloader = m.attr("downloader");
        say(py::str("Download folder: {}").format(downloader.attr("download_folder")));
        say(py::str("Max concurrent downloads: {}").format(downloader.attr("max_concurrent")));
        say("\nDownload system initialized and ready!");
        say("\nFeatures:");
        for (const char* line : {"- Resumable downloads with Range request support",
                                 "- Real-time progress tracking (bytes, percentage, speed, ETA)",
                                 "- Concurrent downloads with configurable thread pool", "- Download queue management",
                                 "- Pause/Resume/Cancel support", "- Safe filename generation",
                                 "- Automatic retry for failed downloads"})
            say(line);
        return py::none();
    });
}

void load(py::module_& m) {
    m.doc() = kModuleDoc;
    import_names(m);
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    define_task_model(m);
    define_base_downloader(m);
    define_podcast_downloader(m);
    define_quietshelf_downloader(m);
    define_reelmoor_downloader(m);
    define_download_episode(m);

    if (py::str(m.attr("__name__")).equal(py::str("__main__"))) demonstrate(m);
}

}  // namespace

// Both entry points run the same body; an error of the body (a library
// missing at load, a failure in the demonstration) reaches the importer as
// itself (vm::init_module).

// import core.downloader
VM_MODULE(downloader, load)

// This file loaded as the main program (scripts/downloader-demo).
VM_MODULE(__main__, load)
