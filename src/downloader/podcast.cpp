#include "downloader.hpp"

namespace velmora::downloader {
void define_podcast_downloader(py::module_&) {}
}  // namespace velmora::downloader
