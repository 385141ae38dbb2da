#include "buffered_file.hpp"

#include <cerrno>
#include <cstring>

namespace vm {

BufferedFile::BufferedFile(py::object file) : file_(std::move(file)), buffer_(new char[kBufferSize]) {}

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
    } catch (py::error_already_set&) {
        file_ = py::object();
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
    while (size > 0) {
        PyObject* view = PyMemoryView_FromMemory(const_cast<char*>(data), size, PyBUF_READ);
        if (!view) throw py::error_already_set();
        py::object written =
            py::reinterpret_steal<py::object>(PyObject_CallMethodOneArg(file_.ptr(), VM_STR("write").ptr(), view));
        // The buffer is reused: a view kept by the file object must not see that.
        if (written) {
            PyObject* released = PyObject_CallMethodNoArgs(view, VM_STR("release").ptr());
            if (!released) written = py::object();
            Py_XDECREF(released);
        }
        Py_DECREF(view);
        if (!written) throw py::error_already_set();
        const Py_ssize_t n = written.is_none() ? 0 : PyLong_AsSsize_t(written.ptr());
        if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (n <= 0) {
            errno = EIO;
            PyErr_SetFromErrno(PyExc_OSError);
            throw py::error_already_set();
        }
        data += n;
        size -= n;
    }
}

}  // namespace vm
