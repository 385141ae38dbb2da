#include "buffered_file.hpp"

#include <cerrno>
#include <climits>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vm {
namespace {

// file.fileno(), or -1 for a file object without a descriptor.
int descriptor_of(py::handle file) {
    PyObject* number = PyObject_CallMethodNoArgs(file.ptr(), VM_STR("fileno").ptr());
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return -1;
    }
    const long fd = PyLong_AsLong(number);
    Py_DECREF(number);
    if (fd == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
    }
    return fd >= 0 && fd <= INT_MAX ? static_cast<int>(fd) : -1;
}

// Writes without the GIL and without Python, giving up at the first failure.
void write_to_descriptor(int fd, const char* data, Py_ssize_t size) {
    while (size > 0) {
#ifdef _WIN32
        const int n = _write(fd, data, static_cast<unsigned int>(size > (1 << 30) ? (1 << 30) : size));
#else
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return;
        data += n;
        size -= n;
    }
}

}  // namespace

BufferedFile::BufferedFile(py::object file)
    : file_(std::move(file)), fd_(descriptor_of(file_)), buffer_(new char[kBufferSize]) {}

void BufferedFile::append(const char* data, Py_ssize_t size) {
    if (used_ + size > kBufferSize) flush();
    if (size >= kBufferSize) {
        write_all(data, size);
        return;
    }
    std::memcpy(buffer_.get() + used_, data, static_cast<size_t>(size));
    used_ += size;
}

void BufferedFile::flush() {
    if (used_ == 0) return;
    const Py_ssize_t size = used_;
    used_ = 0;  // what could not be written is not written again
    write_all(buffer_.get(), size);
}

void BufferedFile::close() {
    if (!file_) return;
    py::object file = file_;
    try {
        flush();
        file_ = py::object();
        fd_ = -1;
    } catch (py::error_already_set&) {
        file_ = py::object();
        fd_ = -1;
        try {
            call_method(file, VM_STR("close"));
        } catch (py::error_already_set& close_error) {
            if (!is_exception(close_error)) throw;
        }
        throw;
    }
    call_method(file, VM_STR("close"));
}

void BufferedFile::write_all(const char* data, Py_ssize_t size) {
    pending_ = data;
    pending_size_ = size;
    while (pending_size_ > 0) {
        stop_if_quitting();  // parked, the thread writes the rest itself (on_park)
        PyObject* view = PyMemoryView_FromMemory(const_cast<char*>(pending_), pending_size_, PyBUF_READ);
        if (!view) {
            pending_size_ = 0;
            throw py::error_already_set();
        }
        writing_ = true;
        py::object written = py::reinterpret_steal<py::object>(
            blocking([&] { return PyObject_CallMethodOneArg(file_.ptr(), VM_STR("write").ptr(), view); }));
        writing_ = false;
        // The buffer is reused: a view kept by the file object must not see that.
        if (written) {
            PyObject* released = PyObject_CallMethodNoArgs(view, VM_STR("release").ptr());
            if (!released) written = py::object();
            Py_XDECREF(released);
        }
        Py_DECREF(view);
        const Py_ssize_t n = !written ? -1 : written.is_none() ? 0 : PyLong_AsSsize_t(written.ptr());
        if (!written || (n == -1 && PyErr_Occurred())) {
            pending_size_ = 0;
            throw py::error_already_set();
        }
        if (n <= 0) {
            pending_size_ = 0;
            errno = EIO;
            PyErr_SetFromErrno(PyExc_OSError);
            throw py::error_already_set();
        }
        pending_ += n;
        pending_size_ -= n;
    }
}

void BufferedFile::on_park() noexcept {
    if (fd_ < 0 || writing_) return;
    if (pending_size_ > 0)
        write_to_descriptor(fd_, pending_, pending_size_);
    else
        write_to_descriptor(fd_, buffer_.get(), used_);
}

}  // namespace vm
