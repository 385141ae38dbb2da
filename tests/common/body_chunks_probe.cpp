// Test-only entry point to vm::BodyChunks: the chunks it gives for a
// response, one by one, and which way it read them.
#include "body_chunks.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_body_chunks_probe, m) {
    // Calls on_chunk(bytes) for every chunk; True when the body was read
    // natively, False when through iter_content. A read error is raised as
    // it comes, after the chunks before it were handed over.
    m.def(
        "chunks",
        [](py::handle response, py::handle on_chunk, Py_ssize_t chunk_size) {
            vm::BodyChunks chunks(response, chunk_size);
            while (chunks.next()) on_chunk(py::bytes(chunks.data(), chunks.size()));
            return chunks.native();
        },
        py::arg("response"), py::arg("on_chunk"), py::arg("chunk_size") = 8192);
    // The same, and then whether the body came whole (BodyChunks::whole):
    // returns (native, whole).
    m.def(
        "chunks_and_end",
        [](py::handle response, py::handle on_chunk) {
            vm::BodyChunks chunks(response, 8192);
            while (chunks.next()) on_chunk(py::bytes(chunks.data(), chunks.size()));
            return py::make_tuple(chunks.native(), chunks.whole());
        },
        py::arg("response"), py::arg("on_chunk"));
}
