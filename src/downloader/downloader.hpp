// core.downloader: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::downloader {
namespace py = pybind11;

// task_model.cpp: DownloadStatus, DownloadProgress, DownloadTask.
void define_task_model(py::module_& m);

// names_methods.cpp: the static name and header methods of BaseDownloader,
// added to its class body in the order the class defines them.
void add_generate_safe_filename(vm::ClassBuilder& b, py::module_& m);
void add_get_filename_from_headers(vm::ClassBuilder& b, py::module_& m);
void add_get_content_folder(vm::ClassBuilder& b, py::module_& m);
void add_detect_extension_from_url(vm::ClassBuilder& b, py::module_& m);

// base_downloader.cpp: BaseDownloader.
void define_base_downloader(py::module_& m);

// podcast.cpp: PodcastDownloader.
void define_podcast_downloader(py::module_& m);

// reelmoor_downloader.cpp: ReelmoorDownloader.
void define_reelmoor_downloader(py::module_& m);

}  // namespace velmora::downloader
