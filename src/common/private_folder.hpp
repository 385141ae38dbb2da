// A place of one call's own for yt-dlp to write into, and the move of the
// finished file from there to where the call was asked to put it.
//
// yt-dlp reads the whole output template, folder included, as a template
// (video_site::is_literal_output_template): a folder or a title holding "$"
// or "%", or a relative folder that starts with "~", would send the file
// somewhere else. Such a call lets yt-dlp write into a new folder whose
// path holds none of them and moves the file to its exact path afterwards:
//
//   vm::PrivateFolder place;
//   options["outtmpl"] = vm::text(place.path() / "audio.%(ext)s");
//   ... download ...
//   vm::move_new_file(place.path() / "audio.mp3", target);
//   place.remove();   // or when `place` ends
#pragma once

#include "pyfunc.hpp"

namespace vm {

// A new, empty folder (tempfile.mkdtemp(prefix="velmora_", dir=base), mode
// 0o700 where modes apply), under the first base where one can be made
// whose absolute path yt-dlp takes as it stands: the temporary folder
// (tempfile.gettempdir()), then the places tempfile itself picks from (the
// variables TMPDIR, TEMP and TMP; on Windows %SYSTEMROOT%\Temp, C:\TEMP,
// C:\TMP, \TEMP and \TMP; elsewhere /tmp, /var/tmp and /usr/tmp), then the
// working folder. FileNotFoundError when none will do.
//
// The folder goes, with whatever is in it, at remove() or when the object
// ends (shutil.rmtree(path, ignore_errors=True)).
class PrivateFolder {
public:
    // The stem yt-dlp writes its file under in the folder, which is the
    // call's alone: any name does.
    static constexpr const char* kStem = "audio";

    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // The folder, a pathlib.Path.
    const py::object& path() const { return path_; }
    // Removes the folder now; later calls do nothing.
    void remove();

private:
    py::object path_;
    bool removed_ = false;
};

// Moves the file `source` to `target` (paths), never replacing anything:
// os.link(source, target) and os.unlink(source), or, where the two are on
// different file systems or the file system has no links, a copy into a
// file that the copy creates (open(target, "xb"), then shutil.copystat
// where the file system takes it) and os.unlink(source). FileExistsError
// when anything is at `target`; a copy that fails removes what it wrote.
void move_new_file(py::handle source, py::handle target);

}  // namespace vm
