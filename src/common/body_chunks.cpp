#include "body_chunks.hpp"

namespace vm {

BodyChunks::BodyChunks(py::handle response, Py_ssize_t chunk_size, SizeArgument how) {
    py::object iter_content = response.attr("iter_content");
    py::object chunks = how == SizeArgument::Keyword ? iter_content(py::arg("chunk_size") = chunk_size)
                                                     : iter_content(chunk_size);
    iterator_ = steal(PyObject_GetIter(chunks.ptr()));
}

BodyChunks::~BodyChunks() { release_view(); }

void BodyChunks::release_view() {
    if (has_view_) {
        PyBuffer_Release(&view_);
        has_view_ = false;
    }
}

bool BodyChunks::next() {
    release_view();
    data_ = nullptr;
    size_ = 0;
    chunk_ = py::reinterpret_steal<py::object>(PyIter_Next(iterator_.ptr()));
    if (!chunk_) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    PyObject* chunk = chunk_.ptr();
    if (PyBytes_CheckExact(chunk)) {
        data_ = PyBytes_AS_STRING(chunk);
        size_ = PyBytes_GET_SIZE(chunk);
        return true;
    }
    // Anything else a replaced iter_content yields: skipped when falsy,
    // else read through the buffer protocol.
    if (!truthy(chunk_)) return true;
    if (PyObject_GetBuffer(chunk, &view_, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    has_view_ = true;
    data_ = static_cast<const char*>(view_.buf);
    size_ = view_.len;
    return true;
}

}  // namespace vm
