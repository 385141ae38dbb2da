// The body of a streamed `requests` response, chunk by chunk, as
// `response.iter_content(chunk_size=N)` hands it out.
//
// The transfers own the per-chunk logic (cancel, pause, write, progress);
// this class only says what the next chunk is, so that how the body is read
// can change without touching them.
#pragma once

#include "pyfunc.hpp"

namespace vm {

class BodyChunks {
public:
    // How the chunk size is passed to iter_content: `chunk_size=N` or `N`.
    enum class SizeArgument { Keyword, Positional };

    // Starts `response.iter_content(chunk_size=chunk_size)`, or
    // `response.iter_content(chunk_size)` (looked up now, so a replaced
    // iter_content is honoured).
    BodyChunks(py::handle response, Py_ssize_t chunk_size, SizeArgument how = SizeArgument::Keyword);
    ~BodyChunks();
    BodyChunks(const BodyChunks&) = delete;
    BodyChunks& operator=(const BodyChunks&) = delete;

    // Moves to the next chunk: false at the end of the body. An error of the
    // read (a broken connection, a time-out) is raised as the library raised it.
    bool next();

    // The current chunk, valid until the next call of next(). An empty chunk
    // (one that is falsy in Python) is skipped by the transfers.
    bool empty() const { return size_ == 0; }
    const char* data() const { return data_; }
    Py_ssize_t size() const { return size_; }

private:
    void release_view();

    py::object iterator_;
    py::object chunk_;
    Py_buffer view_{};
    bool has_view_ = false;
    const char* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace vm
