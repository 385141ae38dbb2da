#include "storage.hpp"

namespace velmora::storage {
void define_data_storage(py::module_&) {}
}  // namespace velmora::storage
