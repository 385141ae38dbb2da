// Keeping a copy of a file that does not load, before a save replaces it:
// the data file and the hotkey file. The user's own content then exists
// somewhere still, to be mended by hand or sent to support, while the
// application goes on with a file of its own.
#pragma once

#include "pyfunc.hpp"

namespace vm {

// Copies the file at `path` (text, as real_file_path gives it) to a new
// file, "<path>.corrupt-<YYYYmmdd-HHMMSS>", the time taken from
// `clock.now()` (`clock` is the datetime class the caller uses, so its tests
// can replace it); a file already of that name is never replaced: the copy
// is then "<name>-1", "<name>-2" and so on. The copy holds the file's bytes
// and its permission bits (a private file's copy stays private), and is on
// disk before this returns (write_new_file).
//
// It is a copy, never a second name for the same file nor the file moved:
// the replace that follows may have to write the file in place (a sticky
// folder, a file bound into place, on Windows a file another program holds
// open), which would change a second name's content too, and a file that
// cannot be moved could not be kept at all; none of that can be known
// before the replace is tried.
//
// No file at `path` is nothing to keep. Raises OSError with Python's own
// text when the copy cannot be made (the file cannot be read, the folder
// takes no new file, a full disk), so the caller can leave the file as it
// is. As Python:
//
//     try:
//         file = open(path, "rb")
//     except FileNotFoundError:
//         return
//     try:
//         mode = stat.S_IMODE(os.fstat(file.fileno()).st_mode)
//         data = file.read()
//     finally:
//         file.close()
//     base = path + ".corrupt-" + clock.now().strftime("%Y%m%d-%H%M%S")
//     for n in range(1000):
//         candidate = base if n == 0 else f"{base}-{n}"
//         if os.path.lexists(candidate):
//             continue
//         try:
//             write_new_file(candidate, data, mode)
//             return
//         except FileExistsError:
//             continue
//     raise OSError(errno.EEXIST, os.strerror(errno.EEXIST), base)
void set_aside(py::handle path, py::handle clock);

}  // namespace vm
