// Whole-file replacement through a temporary file, and the sweep of the
// temporary files that killed saves left behind. See atomic_file.hpp.
//
// Every file operation goes through Python's os module (looked up at each
// call), so error texts are Python's and the same code runs on Windows; only
// the write and its flush to disk are native, without the GIL.
#include "atomic_file.hpp"

#include <cerrno>
#include <cstdio>
#include <initializer_list>

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

// Plain native file work, run without the GIL: each returns 0 or an errno.
#ifdef _WIN32
int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        unsigned int chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(size);
        int n = _write(fd, data, chunk);
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}
int seek_to(int fd, long long offset) { return _lseeki64(fd, offset, SEEK_SET) < 0 ? errno : 0; }
int truncate_to(int fd, long long size) { return _chsize_s(fd, size); }
int flush_to_disk(int fd) { return _commit(fd) != 0 ? errno : 0; }
int close_fd(int fd) { return _close(fd) != 0 ? errno : 0; }
#else
int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno != EINTR) return errno;
        } else if (n == 0) {
            return ENOSPC;
        } else {
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    return 0;
}
int seek_to(int fd, long long offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0; }
int truncate_to(int fd, long long size) {
    int r;
    do {
        r = ::ftruncate(fd, static_cast<off_t>(size));
    } while (r != 0 && errno == EINTR);
    return r != 0 ? errno : 0;
}
int flush_to_disk(int fd) { return ::fsync(fd) != 0 ? errno : 0; }
int close_fd(int fd) { return ::close(fd) != 0 ? errno : 0; }
#endif

// Runs `write` (native writes to `fd`, giving 0 or an errno), forces `fd`
// to disk and closes it, all without the GIL. Returns 0 or the errno of the
// first failure; `fd` is closed either way.
template <class Write>
int write_sync_close(int fd, Write&& write) {
    WithoutGil nogil;
    int err = write();
    if (err == 0) err = flush_to_disk(fd);
    const int closed = close_fd(fd);
    return err != 0 ? err : closed;
}

// Rewrites the file open on `fd`, `old_size` bytes long, to hold `data`.
// The file grows first and its old bytes are overwritten after: only the
// growth needs new space, so a full disk fails while the old content is
// still whole (the growth is cut off again), never after truncating it.
int overwrite(int fd, std::string_view data, long long old_size) {
    const long long size = static_cast<long long>(data.size());
    if (size > old_size) {
        int err = seek_to(fd, old_size);
        if (err == 0) err = write_all(fd, data.data() + old_size, static_cast<size_t>(size - old_size));
        if (err != 0) {
            truncate_to(fd, old_size);
            return err;
        }
    }
    int err = seek_to(fd, 0);
    if (err == 0) err = write_all(fd, data.data(), static_cast<size_t>(size < old_size ? size : old_size));
    if (err == 0 && size < old_size) err = truncate_to(fd, size);
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
            if (!e.matches(PyExc_OSError)) {
                os.attr("close")(fd);  // an interrupt: the folder is not left open
                throw;
            }
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

// The sweep of remove_stale_temporaries for `path`, a real file path.
void sweep_folder(py::handle path, py::handle logger, double min_age) {
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

// os.O_<name> | ... for the names this platform has.
int open_flags(py::handle os, std::initializer_list<const char*> names) {
    int flags = 0;
    for (const char* name : names) flags |= py::getattr(os, name, py::int_(0)).cast<int>();
    return flags;
}

// The errno of an OSError, 0 for any other error.
int errno_of(const py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) return 0;
    py::object number = e.value().attr("errno");
    return PyLong_Check(number.ptr()) ? number.cast<int>() : 0;
}

// The errors of creating a file that mean the folder takes no new file
// (no right to add one, a read-only mount), while the files already in it
// may still be writable. A full disk or quota is not among them: writing
// the file in place then could cut it short.
bool no_new_file_here(int err) { return err == EACCES || err == EPERM || err == EROFS; }

// The errors of a rename over the file that the system refuses while the
// file itself may still be written: the file is a mount point of its own (a
// single file bound into place: EBUSY), the folder's sticky bit keeps the
// user from replacing a file that is not theirs (EPERM, EACCES), or the two
// names lie on different file systems (EXDEV). Nothing else: after a full
// disk or an I/O error, writing in place could cut the file short.
bool rename_refused(int err) { return err == EBUSY || err == EPERM || err == EACCES || err == EXDEV; }

// Whether anything is at `path` now: os.lstat(path) succeeds. A file that
// cannot be looked at counts as there.
bool is_there(py::handle os, py::handle path) {
    try {
        os.attr("lstat")(path);
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return !e.matches(PyExc_FileNotFoundError);
    }
}

// os.stat(path), or null when there is no file there (or it cannot be
// looked at: the save then goes on as for a new file).
py::object status_of(py::handle os, py::handle path) {
    try {
        return os.attr("stat")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return py::object();
    }
}

// Raises what opening the existing file at `path` for writing raises, as
// open(path, "w") would meet it, without changing the file. The test is the
// open itself: permission bits alone would not do (an administrator may
// write a read-only file; a read-only mount refuses everyone).
void check_writable(py::handle os, py::handle path) {
    // Non-blocking, so that a pipe in the file's place does not wait for a reader.
    py::object fd = os.attr("open")(path, open_flags(os, {"O_WRONLY", "O_NONBLOCK", "O_BINARY", "O_CLOEXEC",
                                                          "O_NOINHERIT"}));
    os.attr("close")(fd);
}

// The new file open on `fd` takes the owner and the permissions of the file
// it replaces (`old`, its os.stat), as rewriting that file in place would
// have kept them: a file the user made private stays private. Both are set
// where the process and the file system allow it (an administrator's save
// of a user's file gives it back to that user; a user who does not own the
// file may still give it its group), and left as they come otherwise.
void keep_owner_and_mode(py::handle os, int fd, py::handle old) {
#ifndef _WIN32
    auto attempt = [](auto&& change) {
        try {
            change();
            return true;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            return false;
        }
    };
    py::object uid = old.attr("st_uid"), gid = old.attr("st_gid");
    py::object now = os.attr("fstat")(fd);
    if (uid.not_equal(now.attr("st_uid")) || gid.not_equal(now.attr("st_gid"))) {
        if (!attempt([&] { os.attr("fchown")(fd, uid, gid); })) attempt([&] { os.attr("fchown")(fd, -1, gid); });
    }
    // After the owner: a change of owner clears the set-id bits.
    attempt([&] { os.attr("fchmod")(fd, py::module_::import("stat").attr("S_IMODE")(old.attr("st_mode"))); });
#else
    (void)os;
    (void)fd;
    (void)old;
#endif
}

// Rewrites the existing file at `path` where it is. Its owner and
// permissions stay as they are; errors name the file itself.
void write_in_place(py::handle os, py::handle path, std::string_view data) {
    const int fd = os.attr("open")(path, open_flags(os, {"O_WRONLY", "O_BINARY", "O_CLOEXEC", "O_NOINHERIT"}))
                       .cast<int>();
    long long old_size = 0;
    try {
        old_size = os.attr("fstat")(fd).attr("st_size").cast<long long>();
    } catch (py::error_already_set&) {
        os.attr("close")(fd);
        throw;
    }
    if (int err = write_sync_close(fd, [&] { return overwrite(fd, data, old_size); })) raise_errno(err, path);
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

void replace_file(py::handle path, std::string_view data, bool* replaced) {
    bool ignored = false;
    bool& done = replaced ? *replaced : ignored;
    py::object os = os_module();
    // The file as it is now; null on a first save.
    py::object old = status_of(os, path);
    // A file that could not be opened for writing is not replaced either
    // (a file the user made read-only stays as it is).
    if (old) check_writable(os, path);

    const int create = open_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_BINARY", "O_CLOEXEC", "O_NOINHERIT"});
    py::object tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tmp = text(path, ".", os.attr("urandom")(kHexDigits / 2).attr("hex")(), ".tmp");
        try {
            fd = os.attr("open")(tmp, create, 0666).cast<int>();
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_FileExistsError) && attempt < 100) continue;
            const int err = errno_of(e);
            if (!no_new_file_here(err)) throw;
            // The folder takes no new file, but the file itself can be
            // written: write it where it is, as a plain open would.
            if (!old) raise_errno(err, path);
            write_in_place(os, path, data);
            done = true;
            return;
        }
    }

    if (old) {
        try {
            keep_owner_and_mode(os, fd, old);
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            remove_quietly(os, tmp);
            throw;
        }
    }
    if (int err = write_sync_close(fd, [&] { return write_all(fd, data.data(), data.size()); })) {
        remove_quietly(os, tmp);
        raise_errno(err, tmp);
    }
    try {
        os.attr("replace")(tmp, path);
    } catch (py::error_already_set& e) {
        // An error that came after the rename (an interrupt once it was
        // done) leaves the new file in place: the temporary name is gone.
        if (!is_there(os, tmp)) {
            done = true;
            throw;
        }
        remove_quietly(os, tmp);
        if (!old || !rename_refused(errno_of(e))) throw;
        // The system will not put a new file in this one's place, but the
        // file itself can be written (check_writable said so).
        write_in_place(os, path, data);
        done = true;
        return;
    }
    done = true;
    sync_folder(os, folder_of(os, path));
}

void write_new_file(py::handle path, std::string_view data, int mode) {
    py::object os = os_module();
    const int create = open_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_BINARY", "O_CLOEXEC", "O_NOINHERIT"});
    // A name already taken raises here, before anything is written.
    const int fd = os.attr("open")(path, create, mode).cast<int>();
    if (int err = write_sync_close(fd, [&] { return write_all(fd, data.data(), data.size()); })) {
        // A copy cut short must not pass for the whole file.
        remove_quietly(os, path);
        raise_errno(err, path);
    }
    sync_folder(os, folder_of(os, path));
}

void remove_stale_temporaries(py::handle path, py::handle logger, double min_age) {
    // The sweep is housekeeping: nothing in it may stop the load that runs it.
    py::object file;
    try {
        file = real_file_path(path);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        // A name no file can have (a NUL, text the file system cannot
        // encode): no file, so no leftovers of its saves either.
        if (e.matches(PyExc_ValueError)) return;
        logger.attr("warning")("Could not look for leftover temporary files of %s: %s", path, e.value());
        return;
    }
    try {
        sweep_folder(file, logger, min_age);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        logger.attr("warning")("Could not look for leftover temporary files of %s: %s", file, e.value());
    }
}

}  // namespace vm
