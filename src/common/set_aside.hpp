// Keeping a copy of a file that does not load, before a save replaces it:
// the data file and the hotkey file. The user's own content then exists
// somewhere still, to be mended by hand or sent to support, while the
// application goes on with a file of its own.
#pragma once

#include "pyfunc.hpp"

namespace vm {

// Gives the file at `path` (text, as real_file_path gives it) a second name,
// "<path>.corrupt-<YYYYmmdd-HHMMSS>", the time taken from `clock.now()`
// (`clock` is the datetime class the caller uses, so its tests can replace
// it); a file already of that name is never replaced: the copy is then
// "<name>-1", "<name>-2" and so on. The file keeps its first name too, so
// the replace that follows leaves the copy with the old content; where the
// file system has no hard links, the file is moved instead. No file at
// `path` is nothing to keep. Raises OSError with Python's own text when the
// copy cannot be made, so the caller can leave the file as it is. As Python:
//
//     if not os.path.lexists(path):
//         return
//     base = path + ".corrupt-" + clock.now().strftime("%Y%m%d-%H%M%S")
//     for n in range(1000):
//         candidate = base if n == 0 else f"{base}-{n}"
//         if os.path.lexists(candidate):
//             continue
//         try:
//             os.link(path, candidate)
//             return
//         except FileExistsError:
//             continue
//         except OSError:
//             pass
//         try:
//             os.rename(path, candidate)
//             return
//         except FileExistsError:
//             pass
//     raise OSError(errno.EEXIST, os.strerror(errno.EEXIST), base)
void set_aside(py::handle path, py::handle clock);

}  // namespace vm
