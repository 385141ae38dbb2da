#include "storage.hpp"

namespace velmora::storage {
void define_subscription_storage(py::module_&) {}
}  // namespace velmora::storage
