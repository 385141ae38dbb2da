#include "storage.hpp"

namespace velmora::storage {
void define_download_metadata_storage(py::module_&) {}
}  // namespace velmora::storage
