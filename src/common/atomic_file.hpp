// Files that are read whole and rewritten whole, and must never be seen half
// written: the data file and the hotkey file.
//
// A save writes the new content to a temporary file beside the file, named
// "<file name>.<12 hex digits>.tmp", forces it to disk and renames it over
// the file in one step, so a crash, a kill or a full disk leaves either the
// old file or the new one (a file that can only be written in place is the
// one exception: see replace_file). A save killed before its rename leaves its
// temporary file behind; the next load of the same file removes those
// leftovers (remove_stale_temporaries) once they are old enough that no save
// can still be writing them.
#pragma once

#include <string_view>

#include "pyfunc.hpp"

namespace vm {

// A leftover must be unchanged this long before a load removes it. A save
// changes its temporary file with every write and renames it a moment after
// the last one (well under a second for a data file of some megabytes, and
// seconds at worst on a slow network or USB folder), so ten minutes never
// touches a save that another process of the application is running now,
// and still clears the leftovers of a killed save at the next start.
inline constexpr double kStaleTemporaryAge = 600.0;

// open(path, "r", encoding=encoding).read(), the file closed also when the
// read fails; a null `encoding` is the platform's default, as open() takes it.
py::object read_text(py::handle path, const char* encoding = nullptr);

// os.path.realpath(os.fsdecode(path)): the file a save replaces, as text
// (the caller may hold a path object) and through any symbolic links, so
// the new file replaces the file a link points to, not the link.
py::object real_file_path(py::handle path);

// Replaces the file at `path` (text, as real_file_path gives it) with
// `data`: written to a new temporary file beside it without the GIL, forced
// to disk, renamed over it in one step, and the folder forced to disk. The
// new file keeps the old one's permission bits and, where the process may
// set it, its owner. Raises OSError with Python's own text; the file at
// `path` is then unchanged and the temporary file is gone.
//
// The save takes what a plain open(path, "w") would allow: an existing file
// that cannot be opened for writing is not replaced (the error is that
// open's). Where the folder takes no new file (no right to add one, a
// read-only mount), or the system refuses the rename over the file (a file
// that is a mount of its own, a sticky folder whose files are not the
// user's to replace, a rename across file systems), but the existing file
// can be written, it is rewritten in place instead; it grows before its old
// bytes are overwritten, so a full disk fails that write with the old
// content whole (a crash during it can still leave it half written, as any
// plain save would). Such errors name `path`.
//
// `replaced`, when given, becomes true the moment the file at `path` holds
// `data`, also when a later step (the folder's flush) then raises: a caller
// that undoes its change when the save fails can tell whether the file
// already took it.
void replace_file(py::handle path, std::string_view data, bool* replaced = nullptr);

// Makes the new file `path` hold `data`: created only if no file of that
// name exists, with the permission bits `mode` (the process's umask applies
// on top), written without the GIL, forced to disk and closed, and the
// folder forced to disk (best effort). A name already taken raises
// FileExistsError as os.open raises it, with nothing touched; a failed
// write removes what it had written and raises OSError with Python's own
// text naming `path`. As Python:
//
//     fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_BINARY
//                  | os.O_CLOEXEC | os.O_NOINHERIT, mode)
//     try:
//         with os.fdopen(fd, "wb") as file:
//             file.write(data)
//             file.flush()
//             os.fsync(file.fileno())
//     except OSError:
//         os.unlink(path)
//         raise
//     os.fsync(folder)  # on POSIX
void write_new_file(py::handle path, std::string_view data, int mode);

// Removes the temporary files that interrupted replace_file calls for
// `path` (text or a path object, as the store holds it; taken through
// real_file_path here) left in its folder: only regular files whose name
// has exactly the form those calls give, and only those unchanged for
// `min_age` seconds. Nothing else is touched. The sweep never raises an
// Exception of its own, so the load that runs it goes on: a removal that
// fails, or a sweep that fails as a whole, is logged on `logger` at warning
// level; a folder that cannot be listed, and a path no file can have (a
// NUL, text the file system cannot encode), have nothing to sweep.
void remove_stale_temporaries(py::handle path, py::handle logger, double min_age = kStaleTemporaryAge);

}  // namespace vm
