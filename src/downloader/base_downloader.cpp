#include "downloader.hpp"

namespace velmora::downloader {
void define_base_downloader(py::module_&) {}
}  // namespace velmora::downloader
