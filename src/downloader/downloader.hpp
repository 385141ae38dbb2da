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
// The last two parameters of a downloader's constructor:
// `download_folder: Optional[str] = None` (not type-tested there: the base
// constructor refuses what is not text) and `max_concurrent: int = 3`.
vm::Param download_folder_param();
vm::Param max_concurrent_param();
// What the constructor of a downloader class `cls` ends with:
// super().__init__(download_folder=..., max_concurrent=...), where a folder
// of None becomes the text of home / "Documents" / `product` / `source`.
void init_base_downloader(const py::module_& m, py::handle cls, py::handle self, py::handle download_folder,
                          py::handle max_concurrent, const char* product, const char* source);

// podcast.cpp: PodcastDownloader.
void define_podcast_downloader(py::module_& m);

// quietshelf_downloader.cpp: QuietshelfDownloader.
void define_quietshelf_downloader(py::module_& m);

// reelmoor_downloader.cpp: ReelmoorDownloader.
void define_reelmoor_downloader(py::module_& m);

// episode.cpp: download_episode.
void define_download_episode(py::module_& m);

}  // namespace velmora::downloader
