// A file written through an unbuffered Python file object, with a native
// buffer in front of it.
//
// The file object comes from Python's `open(path, mode, buffering=0)`, so
// every error text is Python's own ("[Errno 28] No space left on device"),
// and its write() releases the GIL while the system writes. Writes are
// gathered in a 1 MiB buffer and handed over in large blocks.
#pragma once

#include <memory>

#include "pyfunc.hpp"

namespace vm {

class BufferedFile {
public:
    static constexpr Py_ssize_t kBufferSize = 1 << 20;

    // `file`: an open, unbuffered binary file object.
    explicit BufferedFile(py::object file);
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    bool is_open() const { return bool(file_); }

    // Adds bytes; they reach the file when the buffer is full, at flush() or
    // at close().
    void append(const char* data, Py_ssize_t size);
    // Hands everything buffered to the file (before anyone may look at it:
    // a pause, a cancel, a rename).
    void flush();
    // Flushes and closes. The file is closed even when the flush fails, and
    // the flush's error is the one raised.
    void close();

private:
    void write_all(const char* data, Py_ssize_t size);

    py::object file_;
    std::unique_ptr<char[]> buffer_;
    Py_ssize_t used_ = 0;
};

}  // namespace vm
