#include "downloader.hpp"

namespace velmora::downloader {
void add_generate_safe_filename(vm::ClassBuilder&, py::module_&) {}
void add_get_filename_from_headers(vm::ClassBuilder&, py::module_&) {}
void add_get_content_folder(vm::ClassBuilder&, py::module_&) {}
void add_detect_extension_from_url(vm::ClassBuilder&, py::module_&) {}
}  // namespace velmora::downloader
