#include "storage.hpp"

namespace velmora::storage {
void define_consolidated_storage(py::module_&) {}
}  // namespace velmora::storage
