#include "storage.hpp"

namespace velmora::storage {
void define_playback_and_bookmarks(py::module_&) {}
}  // namespace velmora::storage
