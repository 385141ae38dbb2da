#include "storage.hpp"

namespace velmora::storage {
void define_radio_station_storage(py::module_&) {}
}  // namespace velmora::storage
