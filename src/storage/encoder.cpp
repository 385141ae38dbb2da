#include "storage.hpp"

namespace velmora::storage {
py::str encode_document(py::handle d) { return py::module_::import("json").attr("dumps")(d, py::arg("indent") = 4, py::arg("ensure_ascii") = false); }
}  // namespace velmora::storage
