// Test-only entry points to the data file's encoder.
#include "storage.hpp"

namespace py = pybind11;
namespace st = velmora::storage;

PYBIND11_MODULE(_storage_encoder_probe, m) {
    m.def("encode", [](py::handle document) { return st::encode_document(document); });
    m.def(
        "encode_utf8",
        [](py::handle document, std::string newline) {
            return py::bytes(st::encode_document_utf8(document, newline));
        },
        py::arg("document"), py::arg("newline") = "\n");
    // The native encoder alone: None where it leaves the document to json.dumps.
    m.def("native", [](py::handle document) -> py::object {
        std::string out;
        if (!st::encode_native(document, out)) return py::none();
        return py::bytes(out);
    });
}
