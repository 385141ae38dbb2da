#include "storage.hpp"

namespace velmora::storage {
void define_spotify_storage(py::module_&) {}
}  // namespace velmora::storage
