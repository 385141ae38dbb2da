// download_episode: one podcast episode, downloaded while the caller waits.
//
// A PodcastDownloader of its own with one worker runs the download; the
// caller's thread polls the task every 0.5 seconds and prints the progress
// on one console line. The wait ends with the task, or as soon as the task
// can no longer end: its worker thread is gone (or the host quits) while the
// task is still active, or the task has left every table. An interrupted wait
// (KeyboardInterrupt) cancels the task before the downloader shuts down, so
// nothing goes on downloading behind the caller's back.
#include "downloader.hpp"
#include "exit_gate.hpp"

namespace velmora::downloader {
namespace {

const char* const kDoc =
    "Download one podcast episode and wait until it has ended.\n"
    "\n"
    "Args:\n"
    "    url: The episode's address\n"
    "    episode_title: The title, which names the file\n"
    "    podcast_name: The podcast, which names the folder\n"
    "    download_folder: Root folder for downloads (default: the podcast downloader's)\n"
    "    show_progress: Print the progress on one console line, then the outcome\n"
    "\n"
    "Returns:\n"
    "    True when the download completed, False when it failed\n";

py::object stdout_now() { return py::module_::import("sys").attr("stdout"); }

// print(text) to the sys.stdout of the moment. A write to a console or a
// pipe can block: it is a blocking call (exit_gate.hpp).
void say(py::handle text) { vm::blocking_call(vm::builtin("print"), text, py::arg("file") = stdout_now()); }

// The inner progress_callback: "\r" and the progress text, without a line
// end, flushed at once, so each line overwrites the one before.
py::object make_progress_printer() {
    vm::FunctionSpec spec;
    spec.name = "progress_callback";
    spec.qualname = "download_episode.<locals>.progress_callback";
    spec.module = "core.downloader";
    spec.params = {vm::arg("progress")};
    return vm::make_function(std::move(spec), [](const vm::Args& a) -> py::object {
        vm::blocking_call(vm::builtin("print"), vm::text("\r", a[0]), py::arg("end") = "",
                          py::arg("file") = stdout_now(), py::arg("flush") = true);
        return py::none();
    });
}

// any(t.task_id == task_id for t in tasks)
bool listed(py::handle tasks, py::handle task_id) {
    for (py::handle t : tasks)
        if (vm::compare(vm::get_attr(t, VM_STR("task_id")), task_id, Py_EQ)) return true;
    return false;
}

// A worker that parked because the host quits (exit_gate.hpp) is alive but
// ends nothing any more.
bool worker_alive(py::handle downloader) {
    if (vm::quitting()) return false;
    for (py::handle thread : vm::get_attr(downloader, VM_STR("_worker_threads")))
        if (vm::truthy(vm::call_method(thread, VM_STR("is_alive")))) return true;
    return false;
}

py::object outcome(bool completed, bool show_progress) {
    if (show_progress) say(py::str(completed ? "\nDownload completed!" : "\nDownload failed!"));
    return py::bool_(completed);
}

py::object wait_for(const py::module_& m, py::handle downloader, py::handle task_id, py::handle title,
                    bool show_progress) {
    for (;;) {
        // Read before the task: a worker already gone by then can no longer
        // end a task that is still active.
        const bool alive = worker_alive(downloader);
        py::object progress = vm::call_method(downloader, VM_STR("get_progress"), task_id);
        if (progress.is_none()) {
            if (listed(vm::call_method(downloader, VM_STR("get_all_completed")), task_id))
                return outcome(true, show_progress);
            if (listed(vm::call_method(downloader, VM_STR("get_all_failed")), task_id))
                return outcome(false, show_progress);
        }
        if (progress.is_none() || !alive) {
            const char* reason = progress.is_none() ? "it left the download tables without an outcome"
                                                    : "it can no longer end (its worker thread has stopped)";
            vm::log(vm::global(m, "logger"), "error", vm::text("Download failed for ", title, ": ", reason));
            return outcome(false, show_progress);
        }
        vm::blocking_call(vm::global(m, "time").attr("sleep"), 0.5);
    }
}

}  // namespace

void define_download_episode(py::module_& m) {
    py::object bool_type = vm::type_object(&PyBool_Type);

    // download_episode(url: str, episode_title: str, podcast_name: str,
    //                  download_folder: Optional[str] = None, show_progress: bool = True) -> bool
    vm::def_function(
        m, "download_episode",
        {vm::arg("url").text_ann(), vm::arg("episode_title").text_ann(), vm::arg("podcast_name").text_ann(),
         download_folder_param(),
         vm::arg("show_progress").def(py::bool_(true)).ann(bool_type)},
        [m](const vm::Args& a) -> py::object {
            const bool show_progress = vm::truthy(a[4]);
            py::object downloader = vm::global(m, "PodcastDownloader")(py::arg("download_folder") = a[3],
                                                                        py::arg("max_concurrent") = 1);
            return vm::with_context(downloader, [&](py::handle entered) {
                py::object callback = show_progress ? make_progress_printer() : py::none();
                py::object task_id = entered.attr("add_download")(
                    py::arg("url") = a[0], py::arg("episode_title") = a[1], py::arg("podcast_name") = a[2],
                    py::arg("progress_callback") = callback);
                try {
                    return wait_for(m, entered, task_id, a[1], show_progress);
                } catch (py::error_already_set&) {
                    // The caller gets no outcome, so the download must not
                    // go on without it.
                    vm::call_method(entered, VM_STR("cancel_download"), task_id);
                    throw;
                }
            });
        },
        kDoc, bool_type);
}

}  // namespace velmora::downloader
