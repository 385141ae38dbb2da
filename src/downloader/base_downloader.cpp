// BaseDownloader: the queue, worker threads, task tables and controls that
// every downloader shares. A subclass supplies `_download_file`.
//
// All state lives in the instance's attributes (download_queue,
// active_downloads, _lock, ...) and every collaborator is reached through
// attribute look-up, so Python subclasses and tests can replace any part.
// `_lock` is a Python threading.Lock: acquiring it through Python releases the
// GIL while it waits, and it is never held around a call that takes it again.
// The workers' waits and transfers are blocking calls: when the host quits,
// a worker parks at the next one instead of going on (exit_gate.hpp).
#include "downloader.hpp"

#include <optional>
#include <utility>

#include "exit_gate.hpp"

namespace velmora::downloader {
namespace {

using vm::Args;

const char* const kClassDoc =
    "Abstract base class for downloaders with progress tracking and queue management. "
    "It provides the common interface that the UI components rely on for every kind of "
    "download; subclasses implement the actual download mechanism.";

const char* const kCancelledText = "Cancelled by user";

py::str class_name(py::handle self) { return py::str(self.attr("__class__").attr("__name__")); }

// Runs `body` holding `self._lock` (whatever object it is at entry) like a
// `with` block. The normal exit releases through release(), so an error from
// the lock reaches the caller; when an error is already on its way out, a
// failing release is reported as unraisable instead of replacing that error.
template <class F>
py::object with_lock(py::handle self, F&& body) {
    vm::LockGuard guard(self.attr("_lock"));
    py::object result = body();
    guard.release();
    return result;
}

// "download_" + wall-clock milliseconds + "_" + a number from 1000 to 9999.
py::str generate_task_id(const py::module_& m, py::handle random) {
    py::object seconds = vm::global(m, "time").attr("time")();
    py::int_ whole(vm::steal(PyNumber_Multiply(seconds.ptr(), py::int_(1000).ptr())));
    py::object number = random.attr("randint")(1000, 9999);
    return vm::concat({VM_STR("download_"), whole, VM_STR("_"), number});
}

// Moves a task out of the active table (only when the entry is this very
// task) and appends it to `list_name`.
void move_task(py::handle self, py::handle task, const char* list_name) {
    with_lock(self, [&] {
        py::object active = self.attr("active_downloads");
        py::object key = task.attr("task_id");
        if (vm::contains(active, key)) {
            py::object current = active[key];
            if (current.ptr() == task.ptr() && PyObject_DelItem(active.ptr(), key.ptr()) < 0)
                throw py::error_already_set();
        }
        self.attr(list_name).attr("append")(task);
        return py::object();
    });
}

// True when the task already sits in the completed or failed list (its
// transfer recorded an outcome before the error escaped).
bool already_ended(py::handle self, py::handle task) {
    py::object found = with_lock(self, [&] {
        for (const char* name : {"completed_downloads", "failed_downloads"})
            for (py::handle t : self.attr(name))
                if (t.ptr() == task.ptr()) return py::object(py::bool_(true));
        return py::object(py::bool_(false));
    });
    return found.ptr() == Py_True;
}

void log_worker_error(const py::module_& m, py::handle self, const py::error_already_set& error) {
    py::str message = vm::concat({class_name(self), py::str(" worker error: "), vm::error_str(error)});
    vm::log_with_traceback(vm::global(m, "logger"), "error", message, error);
}

// An error escaped the transfer: the task ends as failed instead of being
// left in the active table for good.
void record_failure(const py::module_& m, py::handle self, py::handle task, const py::error_already_set& error) {
    if (already_ended(self, task)) return;
    py::object progress = task.attr("progress");
    progress.attr("status") = vm::global(m, "DownloadStatus").attr("FAILED");
    progress.attr("error_message") = vm::concat({py::str("Error: "), vm::error_str(error)});
    vm::call_method(self, VM_STR("_move_to_failed"), task);
}

// One item taken from the queue. Returns false for a stop marker.
bool run_item(const py::module_& m, py::handle self, py::handle item) {
    if (item.is_none()) return false;
    if (vm::truthy(item.attr("cancel_flag").attr("is_set")())) {
        // Cancelled while it waited: the transfer never starts.
        py::object progress = item.attr("progress");
        progress.attr("status") = vm::global(m, "DownloadStatus").attr("CANCELLED");
        progress.attr("error_message") = py::str(kCancelledText);
        vm::call_method(self, VM_STR("_move_to_failed"), item);
        return true;
    }
    vm::blocking_method(self, VM_STR("_download_file"), item);
    return true;
}

py::object worker(const py::module_& m, py::handle self) {
    while (!vm::truthy(self.attr("_shutdown_flag").attr("is_set")())) {
        py::object item;
        try {
            item = vm::blocking_call(self.attr("download_queue").attr("get"), py::arg("timeout") = 1);
        } catch (py::error_already_set& e) {
            if (e.matches(vm::global(m, "Empty"))) continue;
            if (!vm::is_exception(e)) throw;
            log_worker_error(m, self, e);
            continue;
        }
        bool go_on = true;
        try {
            go_on = run_item(m, self, item);
        } catch (py::error_already_set& e) {
            if (!vm::is_exception(e)) throw;
            // The task ends as failed before the line is logged, so whoever
            // reacts to the log already finds it in the failed list.
            std::optional<py::error_already_set> recording_error;
            try {
                record_failure(m, self, item, e);
            } catch (py::error_already_set& e2) {
                if (!vm::is_exception(e2)) throw;
                recording_error = std::move(e2);
            }
            log_worker_error(m, self, e);
            if (recording_error) log_worker_error(m, self, *recording_error);
        }
        try {
            self.attr("download_queue").attr("task_done")();
        } catch (py::error_already_set& e) {
            if (!vm::is_exception(e)) throw;
            log_worker_error(m, self, e);
        }
        if (!go_on) break;
    }
    return py::none();
}

py::object add_download(const py::module_& m, const Args& a) {
    py::handle self = a.self();
    py::handle url = a[1], episode_title = a[2], podcast_name = a[3];
    py::object callback = py::reinterpret_borrow<py::object>(a[5]);
    py::object random = py::module_::import("random");
    const bool generated = a[4].is_none();
    py::object task_id =
        generated ? py::object(generate_task_id(m, random)) : py::reinterpret_borrow<py::object>(a[4]);

    py::object extension = self.attr("_detect_extension_from_url")(url);
    py::object filename = self.attr("generate_safe_filename")(episode_title, extension);
    py::object task = vm::global(m, "DownloadTask")(url, filename, episode_title, podcast_name, task_id);
    if (vm::truthy(callback)) task.attr("progress_callback") = callback;

    with_lock(self, [&] {
        py::object active = self.attr("active_downloads");
        if (generated) {
            // Never let a fresh identifier replace a task that is still active.
            bool renamed = false;
            while (vm::contains(active, task_id)) {
                task_id = generate_task_id(m, random);
                renamed = true;
            }
            if (renamed) task.attr("task_id") = task_id;
        }
        active[task_id] = task;
        return py::object();
    });

    self.attr("download_queue").attr("put")(task);
    return task_id;
}

// Runs `act` on the active task with this identifier, under the lock.
template <class F>
py::object on_active_task(py::handle self, py::handle task_id, F&& act) {
    return with_lock(self, [&] {
        py::object active = self.attr("active_downloads");
        if (!vm::contains(active, task_id)) return py::object(py::bool_(false));
        act(py::object(active[task_id]));
        return py::object(py::bool_(true));
    });
}

py::object retry_failed(const Args& a) {
    py::handle self = a.self();
    py::handle task_id = a[1];
    py::object old = with_lock(self, [&] {
        py::object failed = self.attr("failed_downloads");
        for (py::handle t : failed) {
            if (vm::compare(t.attr("task_id"), task_id, Py_EQ)) {
                // The task found leaves, wherever the comparison (the host's
                // own text type may run code) left it in the list.
                py::object found = py::reinterpret_borrow<py::object>(t);
                vm::call_method(failed, VM_STR("remove"), found);
                return found;
            }
        }
        return py::object(py::none());
    });
    if (old.is_none()) return py::none();
    return self.attr("add_download")(py::arg("url") = old.attr("url"),
                                     py::arg("episode_title") = old.attr("episode_title"),
                                     py::arg("podcast_name") = old.attr("podcast_name"));
}

py::object shutdown(const Args& a) {
    py::handle self = a.self();
    self.attr("_shutdown_flag").attr("set")();
    py::object range = vm::builtin("range");
    py::object queue = self.attr("download_queue");
    for (py::handle unused : range(self.attr("max_concurrent"))) {
        (void)unused;
        queue.attr("put")(py::none());
    }
    // Once the host quits, the workers park instead of ending (exit_gate.hpp):
    // waiting for them would only hold up the end of the process.
    if (vm::truthy(a[1]))
        for (py::handle thread : self.attr("_worker_threads")) {
            if (vm::quitting()) break;
            vm::blocking_call(thread.attr("join"), py::arg("timeout") = 5);
        }
    return py::none();
}

}  // namespace

vm::Param download_folder_param() {
    return vm::arg("download_folder").def(py::none()).ann(vm::subscript(vm::typing_of("Optional"),
                                                                         vm::type_object(&PyUnicode_Type)));
}

vm::Param max_concurrent_param() {
    return vm::arg("max_concurrent").def(py::int_(3)).ann(vm::type_object(&PyLong_Type));
}

void init_base_downloader(const py::module_& m, py::handle cls, py::handle self, py::handle download_folder,
                          py::handle max_concurrent, const char* product, const char* source) {
    py::object folder = py::reinterpret_borrow<py::object>(download_folder);
    if (folder.is_none()) {
        folder = vm::global(m, "Path").attr("home")();
        for (const char* part : {"Documents", product, source})
            folder = vm::steal(PyNumber_TrueDivide(folder.ptr(), py::str(part).ptr()));
        folder = py::str(folder);
    }
    vm::super(cls, self).attr("__init__")(py::arg("download_folder") = folder,
                                          py::arg("max_concurrent") = max_concurrent);
}

void define_base_downloader(py::module_& m) {
    using vm::arg;
    using vm::self;

    py::object optional = vm::global(m, "Optional");
    py::object list_of = vm::global(m, "List");
    py::object callable = vm::global(m, "Callable");
    py::object task_type = vm::global(m, "DownloadTask");
    py::object progress_type = vm::global(m, "DownloadProgress");
    py::object int_type = vm::type_object(&PyLong_Type);
    py::object bool_type = vm::type_object(&PyBool_Type);
    py::object str_type = vm::type_object(&PyUnicode_Type);

    py::object optional_str = vm::subscript(optional, str_type);
    py::list callback_args;
    callback_args.append(progress_type);
    py::object callback_type =
        vm::subscript(optional, vm::subscript(callable, py::make_tuple(callback_args, py::none())));
    py::object task_list = vm::subscript(list_of, task_type);

    vm::ClassBuilder b(m, "BaseDownloader", kClassDoc, py::make_tuple(vm::global(m, "ABC")));

    b.method("__init__", {self(), arg("download_folder").text_ann(), arg("max_concurrent").ann(int_type).def(py::int_(3))},
             [m](const Args& a) {
                 py::handle s = a.self();
                 py::object folder = vm::global(m, "Path")(a[1]);
                 s.attr("download_folder") = folder;
                 folder.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
                 s.attr("max_concurrent") = a[2];
                 s.attr("download_queue") = vm::global(m, "Queue")();
                 s.attr("active_downloads") = py::dict();
                 s.attr("completed_downloads") = py::list();
                 s.attr("failed_downloads") = py::list();
                 py::object threading = vm::global(m, "threading");
                 s.attr("_lock") = threading.attr("Lock")();
                 s.attr("_worker_threads") = py::list();
                 s.attr("_shutdown_flag") = threading.attr("Event")();
                 s.attr("_start_workers")();
                 return py::none();
             });

    b.method("_start_workers", {self()}, [m](const Args& a) {
        py::handle s = a.self();
        py::str name = class_name(s);
        py::object thread_type = vm::global(m, "threading").attr("Thread");
        py::object range = vm::builtin("range");
        for (py::handle i : range(s.attr("max_concurrent"))) {
            py::object thread = thread_type(py::arg("target") = s.attr("_worker"),
                                            py::arg("name") = vm::concat({name, py::str("Worker-"), i}),
                                            py::arg("daemon") = true);
            thread.attr("start")();
            s.attr("_worker_threads").attr("append")(thread);
        }
        return py::none();
    });

    b.method("_worker", {self()}, [m](const Args& a) { return worker(m, a.self()); });

    add_generate_safe_filename(b, m);
    add_get_filename_from_headers(b, m);
    add_get_content_folder(b, m);

    b.method("_move_to_completed", {self(), arg("task").ann(task_type)}, [](const Args& a) {
        move_task(a.self(), a[1], "completed_downloads");
        return py::none();
    });

    b.method("_move_to_failed", {self(), arg("task").ann(task_type)}, [](const Args& a) {
        move_task(a.self(), a[1], "failed_downloads");
        return py::none();
    });

    b.abstract_method("_download_file", {self(), arg("task").ann(task_type)},
                      [](const Args&) { return py::none(); });

    b.method("add_download",
             {self(), arg("url").text_ann(), arg("episode_title").text_ann(), arg("podcast_name").text_ann(),
              arg("task_id").ann(optional_str).def(py::none()),
              arg("progress_callback").ann(callback_type).def(py::none())},
             [m](const Args& a) { return add_download(m, a); },
             nullptr, str_type);

    add_detect_extension_from_url(b, m);

    b.method("cancel_download", {self(), arg("task_id").text_ann()},
             [m](const Args& a) {
                 return on_active_task(a.self(), a[1], [&](py::object task) {
                     task.attr("cancel_flag").attr("set")();
                     py::object progress = task.attr("progress");
                     progress.attr("status") = vm::global(m, "DownloadStatus").attr("CANCELLED");
                     progress.attr("error_message") = py::str(kCancelledText);
                 });
             },
             nullptr, bool_type);

    b.method("pause_download", {self(), arg("task_id").text_ann()},
             [](const Args& a) {
                 return on_active_task(a.self(), a[1],
                                       [](py::object task) { task.attr("pause_flag").attr("set")(); });
             },
             nullptr, bool_type);

    b.method("resume_download", {self(), arg("task_id").text_ann()},
             [](const Args& a) {
                 return on_active_task(a.self(), a[1],
                                       [](py::object task) { task.attr("pause_flag").attr("clear")(); });
             },
             nullptr, bool_type);

    b.method("get_progress", {self(), arg("task_id").text_ann()},
             [](const Args& a) {
                 py::handle s = a.self();
                 return with_lock(s, [&] {
                     py::object active = s.attr("active_downloads");
                     if (!vm::contains(active, a[1])) return py::object(py::none());
                     return py::object(py::object(active[a[1]]).attr("progress"));
                 });
             },
             nullptr, vm::subscript(optional, progress_type));

    b.method("get_all_active", {self()},
             [](const Args& a) {
                 py::handle s = a.self();
                 return with_lock(s, [&] {
                     return vm::steal(PySequence_List(s.attr("active_downloads").attr("values")().ptr()));
                 });
             },
             nullptr, task_list);

    for (auto [method, table] : {std::pair{"get_all_completed", "completed_downloads"},
                                 std::pair{"get_all_failed", "failed_downloads"}}) {
        b.method(method, {self()},
                 [table = table](const Args& a) {
                     py::handle s = a.self();
                     return with_lock(s, [&] {
                         return vm::steal(PySequence_List(s.attr(table).ptr()));
                     });
                 },
                 nullptr, task_list);
    }

    b.method("get_queue_size", {self()},
             [](const Args& a) { return py::object(a.self().attr("download_queue").attr("qsize")()); }, nullptr,
             int_type);

    for (auto [method, table] : {std::pair{"clear_completed", "completed_downloads"},
                                 std::pair{"clear_failed", "failed_downloads"}}) {
        b.method(method, {self()}, [table = table](const Args& a) {
            py::handle s = a.self();
            with_lock(s, [&] {
                s.attr(table).attr("clear")();
                return py::object();
            });
            return py::none();
        });
    }

    b.method("retry_failed", {self(), arg("task_id").text_ann()}, retry_failed, nullptr, optional_str);

    b.method("shutdown", {self(), arg("wait").ann(bool_type).def(py::bool_(true))}, shutdown);

    b.method("__enter__", {self()},
             [](const Args& a) { return py::reinterpret_borrow<py::object>(a.self()); });

    b.method("__exit__", {self(), arg("exc_type"), arg("exc_val"), arg("exc_tb")}, [](const Args& a) {
        a.self().attr("shutdown")(py::arg("wait") = true);
        return py::none();
    });

    b.build();
}

}  // namespace velmora::downloader
