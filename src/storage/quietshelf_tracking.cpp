#include "storage.hpp"

namespace velmora::storage {
void define_quietshelf_download_tracking(py::module_&) {}
}  // namespace velmora::storage
