// A file written through an unbuffered Python file object, with a native
// buffer in front of it.
//
// The file object comes from Python's `open(path, mode, buffering=0)`, so
// every error text is Python's own ("[Errno 28] No space left on device"),
// and its write() releases the GIL while the system writes. Writes are
// gathered in a 1 MiB buffer and handed over in large blocks.
//
// When the host quits, the thread that writes stops before its next write
// (exit_gate.hpp) and, parked, writes what it still holds straight to the
// file's descriptor: the file keeps every byte it was given, in order. A
// write that was under way when the thread stopped may have gone through
// or not, so nothing more is written after it: the file then keeps a prefix.
#pragma once

#include <memory>

#include "exit_gate.hpp"
#include "pyfunc.hpp"

namespace vm {

class BufferedFile : private OnPark {
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
    void on_park() noexcept override;

    py::object file_;
    int fd_ = -1;  // the file's descriptor while it is open, or -1
    std::unique_ptr<char[]> buffer_;
    Py_ssize_t used_ = 0;
    // What write_all has still to hand over, and whether a write is under way.
    const char* pending_ = nullptr;
    Py_ssize_t pending_size_ = 0;
    bool writing_ = false;
};

}  // namespace vm
