// Whole-file replacement through a temporary file, and the sweep of the
// temporary files that killed saves left behind. See atomic_file.hpp.
//
// Every file operation goes through Python's os module (looked up at each
// call), so error texts are Python's and the same code runs on Windows; only
// the write and its flush to disk are native, without the GIL.
#include "atomic_file.hpp"

#include <cerrno>

#include "exit_gate.hpp"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vm {
namespace {

// Random hex digits in a temporary file's name: os.urandom(6).hex().
constexpr Py_ssize_t kHexDigits = 12;

py::object os_module() { return py::module_::import("os"); }

[[noreturn]] void raise_errno(int err, py::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

// Writes all of `data` to `fd`, forces it to disk and closes `fd`, without
// the GIL. Returns 0 or the errno of the first failure.
int write_sync_close(int fd, const char* data, size_t size) {
    int err = 0;
    WithoutGil nogil;
#ifdef _WIN32
    while (size > 0 && err == 0) {
        unsigned int chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(size);
        int n = _write(fd, data, chunk);
        if (n < 0) {
            err = errno;
        } else if (n == 0) {
            err = ENOSPC;
        } else {
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    if (err == 0 && _commit(fd) != 0) err = errno;
    if (_close(fd) != 0 && err == 0) err = errno;
#else
    while (size > 0 && err == 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno != EINTR) err = errno;
        } else if (n == 0) {
            err = ENOSPC;
        } else {
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
#endif
    return err;
}

// Makes the rename of a file in `folder` durable (POSIX; on Windows the
// rename is flushed with the file system's metadata). Best effort.
void sync_folder(py::handle os, py::handle folder) {
#ifndef _WIN32
    try {
        py::object fd = os.attr("open")(folder, os.attr("O_RDONLY"));
        try {
            blocking_call(os.attr("fsync"), fd);  // releases the GIL while it waits
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        os.attr("close")(fd);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
#else
    (void)os;
    (void)folder;
#endif
}

void remove_quietly(py::handle os, py::handle path) {
    try {
        os.attr("unlink")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

py::object folder_of(py::handle os, py::handle path) {
    py::object folder = os.attr("path").attr("dirname")(path);
    return truthy(folder) ? folder : os.attr("curdir");
}

// Whether `name` is "<base>.<kHexDigits lower-case hex digits>.tmp", the
// name replace_file gives the temporary files of `base`.
bool is_temporary_name(py::handle name, py::handle base) {
    if (!PyUnicode_Check(name.ptr())) return false;
    const Py_ssize_t base_length = PyUnicode_GetLength(base.ptr());
    const Py_ssize_t length = PyUnicode_GetLength(name.ptr());
    if (base_length < 0 || length < 0) throw py::error_already_set();
    if (length != base_length + 1 + kHexDigits + 4) return false;
    const Py_ssize_t prefix = PyUnicode_Tailmatch(name.ptr(), base.ptr(), 0, base_length, -1);
    const Py_ssize_t suffix = PyUnicode_Tailmatch(name.ptr(), VM_STR(".tmp").ptr(), 0, length, 1);
    if (prefix < 0 || suffix < 0) throw py::error_already_set();
    if (!prefix || !suffix || PyUnicode_ReadChar(name.ptr(), base_length) != '.') return false;
    for (Py_ssize_t i = base_length + 1; i <= base_length + kHexDigits; ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(name.ptr(), i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

py::object read_text(py::handle path, const char* encoding) {
    py::object open = builtin("open");
    py::object file = encoding ? open(path, "r", py::arg("encoding") = encoding) : open(path, "r");
    py::object text;
    try {
        text = file.attr("read")();
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return text;
}

py::object real_file_path(py::handle path) {
    py::object os = os_module();
    return os.attr("path").attr("realpath")(os.attr("fsdecode")(path));
}

void replace_file(py::handle path, std::string_view data) {
    py::object os = os_module();
    int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() | os.attr("O_EXCL").cast<int>();
    for (const char* extra : {"O_BINARY", "O_CLOEXEC", "O_NOINHERIT"})
        flags |= py::getattr(os, extra, py::int_(0)).cast<int>();

    py::object tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tmp = text(path, ".", os.attr("urandom")(kHexDigits / 2).attr("hex")(), ".tmp");
        try {
            fd = os.attr("open")(tmp, flags, 0666).cast<int>();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError) || attempt >= 100) throw;
        }
    }

#ifndef _WIN32
    // The new file takes the old one's permissions, as rewriting it in place
    // would have kept them (a file the user made private stays private).
    try {
        py::object mode = py::module_::import("stat").attr("S_IMODE")(os.attr("stat")(path).attr("st_mode"));
        os.attr("fchmod")(fd, mode);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) {
            os.attr("close")(fd);
            remove_quietly(os, tmp);
            throw;
        }
    }
#endif
    if (int err = write_sync_close(fd, data.data(), data.size())) {
        remove_quietly(os, tmp);
        raise_errno(err, tmp);
    }
    try {
        os.attr("replace")(tmp, path);
    } catch (py::error_already_set&) {
        remove_quietly(os, tmp);
        throw;
    }
    sync_folder(os, folder_of(os, path));
}

void remove_stale_temporaries(py::handle path, py::handle logger, double min_age) {
    py::object os = os_module();
    py::object folder = folder_of(os, path);
    py::object base = os.attr("path").attr("basename")(path);
    py::object names;
    try {
        names = os.attr("listdir")(folder);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;
    }
    py::object is_regular = py::module_::import("stat").attr("S_ISREG");
    const double now = py::module_::import("time").attr("time")().cast<double>();
    for (py::handle name : names) {
        if (!is_temporary_name(name, base)) continue;
        py::object leftover = os.attr("path").attr("join")(folder, name);
        try {
            py::object status = os.attr("lstat")(leftover);
            // A folder or a link of that name is not one of ours.
            if (!truthy(is_regular(status.attr("st_mode")))) continue;
            // A save running now keeps its file younger than this.
            if (now - status.attr("st_mtime").cast<double>() < min_age) continue;
            os.attr("unlink")(leftover);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            if (e.matches(PyExc_FileNotFoundError)) continue;  // another load took it first
            logger.attr("warning")("Could not remove the leftover temporary file %s: %s", leftover, e.value());
        }
    }
}

}  // namespace vm
