#include "storage.hpp"

namespace velmora::storage {
void define_spotify_credentials_storage(py::module_&) {}
}  // namespace velmora::storage
