#include "downloader.hpp"

namespace velmora::downloader {
void define_task_model(py::module_&) {}
}  // namespace velmora::downloader
