// FaultReporter: formats a failure with its traceback, asks the user whether
// to keep it, and appends reports and message lines to the error log.
//
// Texts stay Python `str` objects from start to end: an error text may hold
// lone surrogates (undecodable file names) that UTF-8 std::strings cannot
// carry; they reach the log as backslash escapes, so such a report still
// reaches the file. Every collaborator (os, sys, traceback, datetime, Path,
// wx, and open/print: the module's own name first, then the builtin) is
// looked up when it is used, so tests and the host can replace it.
#include "fault_reporter.hpp"

#include <string>

#include "exit_gate.hpp"

namespace velmora::fault_reporter {

namespace {

using vm::Args;
using vm::concat;

// A builtin as module code sees it: a module global of that name first.
py::object builtin(py::module_& m, const char* name) { return vm::name_in(m.attr("__dict__"), py::str(name)); }

// print(text, file=sys.<stream>), where an unusable stream (None, missing,
// closed, failing) is no error and gets nothing: the reporter's own
// diagnostics never raise and never stray onto the other stream.
void quiet_print(py::module_& m, const char* stream, py::handle text) {
    try {
        py::object file = vm::global(m, "sys").attr(stream);
        // print(file=None) would fall back to sys.stdout: a missing stream
        // means the diagnostic has nowhere to go, not another stream.
        if (file.is_none()) return;
        builtin(m, "print")(text, py::arg("file") = file);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
    }
}

const char* const kLogName = "velmora_errors.log";
const char* const kTimeFormat = "%Y-%m-%d %H:%M:%S";

// Counts the failed appends of _write_to_log on this thread, so handle_error
// can tell whether the report it just handed over reached the file.
thread_local unsigned long t_failed_writes = 0;

py::object none() { return py::none(); }

py::str rule(char c) { return py::str(std::string(80, c)); }

py::object bit_or(py::handle a, py::handle b) { return vm::steal(PyNumber_Or(a.ptr(), b.ptr())); }

py::object timestamp(py::module_& m) {
    return vm::global(m, "datetime").attr("now")().attr("strftime")(kTimeFormat);
}

// getattr(error, "__traceback__", None)
py::object own_traceback(py::handle error) {
    PyObject* trace = PyObject_GetAttr(error.ptr(), VM_STR("__traceback__").ptr());
    if (trace) return py::reinterpret_steal<py::object>(trace);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

py::str type_name(py::handle error) { return py::str(py::type::handle_of(error).attr("__name__")); }

// Text that UTF-8 can carry: lone surrogates (undecodable file names) become
// backslash escapes, so such a report still reaches the file.
py::object encodable(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) return py::reinterpret_borrow<py::object>(text);
    return py::reinterpret_borrow<py::object>(text)
        .attr("encode")("utf-8", "backslashreplace")
        .attr("decode")("utf-8");
}

// os.fstat(file.fileno()).st_size: the size of the log `file` was opened
// on, or null for a file object without a descriptor of its own (the host's
// or a test's in open's place), whose append is then left as it ends.
py::object size_at_open(py::module_& m, py::handle file) {
    try {
        return vm::global(m, "os").attr("fstat")(file.attr("fileno")()).attr("st_size");
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        return py::object();
    }
}

// Cuts the log at `path` back to `size`, its size before an append that
// failed part way (a full disk takes the first blocks of a report and
// refuses the rest), so the next entry starts on a line of its own and the
// log holds no report cut short. A log that is no longer than `size` (cut
// by someone else meanwhile) is left alone. Best effort: a failure here
// leaves the log as the failed append left it, and the append's own error
// is the one reported.
void cut_back(py::module_& m, py::handle path, py::handle size) {
    py::object os = vm::global(m, "os");
    try {
        py::object fd = os.attr("open")(path, os.attr("O_WRONLY"));
        try {
            if (vm::compare(os.attr("fstat")(fd).attr("st_size"), size, Py_GT)) os.attr("ftruncate")(fd, size);
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
    }
}

// with open(log_file, "a", encoding="utf-8") as f: f.write(text), the log
// cut back to its size at the open when the write or the close fails.
void append_to_log(py::module_& m, py::handle self, py::handle text) {
    py::object path = self.attr("log_file");
    py::object file = builtin(m, "open")(path, "a", py::arg("encoding") = "utf-8");
    py::object exit = file.attr("__exit__");
    py::object entered = file.attr("__enter__")();
    py::object size = size_at_open(m, entered);
    try {
        try {
            entered.attr("write")(encodable(text));
        } catch (py::error_already_set& e) {
            py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::object(py::none());
            py::object suppressed = exit(e.type(), e.value(), trace);
            if (vm::truthy(suppressed)) return;
            throw;
        }
        exit(py::none(), py::none(), py::none());
    } catch (py::error_already_set&) {
        // The file is closed by now (a failed close closes it all the same),
        // so nothing of the report is still waiting in its buffer.
        if (size) cut_back(m, path, size);
        throw;
    }
}

py::object init(py::module_& m, const Args& a) {
    py::handle self = a.self();
    py::handle app_name = a[1];
    self.attr("app_name") = app_name;
    py::object join = vm::global(m, "os").attr("path").attr("join");
    py::object home = vm::global(m, "Path").attr("home")();
    self.attr("log_folder") = join(home, "Documents", app_name);
    self.attr("log_file") = join(self.attr("log_folder"), kLogName);
    self.attr("_ensure_log_folder")();
    return none();
}

py::object ensure_log_folder(py::module_& m, const Args& a) {
    py::handle self = a.self();
    try {
        vm::global(m, "os").attr("makedirs")(self.attr("log_folder"), py::arg("exist_ok") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        quiet_print(m, "stderr", concat({py::str("Warning: Could not create log folder: "), vm::error_str(e)}));
    }
    return none();
}

py::object format_error_message(py::module_& m, const Args& a) {
    py::handle error = a[1], context = a[2];
    py::object stamp = timestamp(m);
    py::str error_type = type_name(error);
    py::str error_text(error);

    py::list lines;
    lines.append(rule('='));
    lines.append(concat({py::str("Timestamp: "), stamp}));
    lines.append(concat({py::str("Error Type: "), error_type}));
    lines.append(concat({py::str("Error Message: "), error_text}));
    if (vm::truthy(context)) lines.insert(3, concat({py::str("Context: "), context}));
    lines.append(rule('-'));
    lines.append(py::str("Full Traceback:"));

    py::object traceback = vm::global(m, "traceback");
    py::tuple info = vm::global(m, "sys").attr("exc_info")();
    py::object trace;
    if (!info[0].is_none()) {
        lines.append(py::str("").attr("join")(traceback.attr("format_exception")(info[0], info[1], info[2])));
    } else if (!(trace = own_traceback(error)).is_none()) {
        py::object kind = py::reinterpret_borrow<py::object>(py::type::handle_of(error));
        lines.append(py::str("").attr("join")(traceback.attr("format_exception")(kind, error, trace)));
    } else {
        lines.append(concat({error_type, py::str(": "), error_text}));
        lines.append(py::str("(Full traceback not available)"));
    }
    lines.append(rule('='));
    lines.append(py::str(""));
    return py::str("\n").attr("join")(lines);
}

py::object write_to_log(py::module_& m, const Args& a) {
    py::handle self = a.self(), message = a[1];
    try {
        append_to_log(m, self, message);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        ++t_failed_writes;
        quiet_print(m, "stderr", concat({py::str("Error writing to log file: "), vm::error_str(e)}));
        quiet_print(m, "stderr", message);
    }
    return none();
}

// Destroys a dialog that was created, whatever happened to it; returns
// false when Destroy itself failed.
bool destroy(py::object& dialog) {
    if (!dialog) return true;
    py::object d = std::move(dialog);
    dialog = py::object();
    try {
        d.attr("Destroy")();
        return true;
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        return false;
    }
}

py::object show_error_dialog(py::module_& m, const Args& a) {
    py::handle self = a.self(), error = a[1], context = a[2];
    py::object dialog;
    try {
        py::str intro = vm::truthy(context) ? concat({py::str("An error occurred in "), context, py::str(":\n\n")})
                                        : py::str("An error occurred:\n\n");
        py::str message = concat({intro, type_name(error), py::str(": "), error, py::str("\n\n"),
                                  py::str("Would you like to save the error details to the log file?")});
        py::object wx = vm::global(m, "wx");
        py::str title = concat({self.attr("app_name"), py::str(" - Error")});
        py::object style = bit_or(bit_or(wx.attr("YES_NO"), wx.attr("ICON_ERROR")), wx.attr("NO_DEFAULT"));
        dialog = wx.attr("MessageDialog")(py::none(), message, title, style);
        // Modal: the thread waits for the user's answer.
        py::object answer = vm::blocking_method(dialog, VM_STR("ShowModal"));
        if (!destroy(dialog)) return py::bool_(false);
        return vm::steal(PyObject_RichCompare(answer.ptr(), vm::global(m, "wx").attr("ID_YES").ptr(), Py_EQ));
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) {
            try {
                destroy(dialog);
            } catch (py::error_already_set&) {
            }
            throw;
        }
        destroy(dialog);
        return py::bool_(false);
    }
}

py::object handle_error(py::module_& m, const Args& a) {
    py::handle self = a.self(), error = a[1], context = a[2], show_dialog = a[4];
    py::object report = self.attr("_format_error_message")(error, context);
    if (!vm::truthy(show_dialog)) {
        self.attr("_write_to_log")(report);
        return none();
    }
    if (!vm::truthy(self.attr("_show_error_dialog")(error, context))) return none();

    const unsigned long failed_before = t_failed_writes;
    self.attr("_write_to_log")(report);
    // Confirm only what really reached the file; a failed append has
    // already said so on standard error.
    if (t_failed_writes != failed_before) return none();

    py::object log_file = self.attr("log_file");
    try {
        py::object wx = vm::global(m, "wx");
        py::str message = concat({py::str("Error details have been saved to:\n"), log_file});
        py::str title = concat({self.attr("app_name"), py::str(" - Error Saved")});
        py::object style = bit_or(wx.attr("OK"), wx.attr("ICON_INFORMATION"));
        vm::blocking_call(wx.attr("MessageBox"), message, title, style);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        quiet_print(m, "stdout", concat({py::str("Error details have been saved to: "), log_file}));
    }
    return none();
}

py::object log_error(const Args& a) {
    py::handle self = a.self();
    py::object report = self.attr("_format_error_message")(a[1], a[2]);
    self.attr("_write_to_log")(report);
    return none();
}

py::object log_message(py::module_& m, const Args& a) {
    py::handle self = a.self(), message = a[1], level = a[2];
    try {
        py::object stamp = timestamp(m);
        py::str entry = concat({py::str("["), stamp, py::str("] ["), level, py::str("] "), message,
                                py::str("\n")});
        append_to_log(m, self, entry);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        quiet_print(m, "stderr", concat({py::str("Error writing to log file: "), vm::error_str(e)}));
    }
    return none();
}

}  // namespace

void define_fault_reporter(py::module_& m) {
    using vm::arg;
    using vm::self;
    vm::ClassBuilder b(m, "FaultReporter", nullptr);
    b.method("__init__", {self(), arg("app_name").def(py::str("Velmora"))},
             [m](const Args& a) mutable { return init(m, a); });
    b.method("_ensure_log_folder", {self()}, [m](const Args& a) mutable { return ensure_log_folder(m, a); });
    b.method("_format_error_message", {self(), arg("error"), arg("context").def(py::none())},
             [m](const Args& a) mutable { return format_error_message(m, a); });
    b.method("_write_to_log", {self(), arg("formatted_message")},
             [m](const Args& a) mutable { return write_to_log(m, a); });
    b.method("_show_error_dialog", {self(), arg("error"), arg("context").def(py::none())},
             [m](const Args& a) mutable { return show_error_dialog(m, a); });
    b.method("handle_error",
             {self(), arg("error"), arg("context").def(py::none()), arg("parent").def(py::none()),
              arg("show_dialog").def(py::bool_(true))},
             [m](const Args& a) mutable { return handle_error(m, a); });
    b.method("log_error", {self(), arg("error"), arg("context").def(py::none())},
             log_error);
    b.method("log_message", {self(), arg("message"), arg("level").def(py::str("INFO"))},
             [m](const Args& a) mutable { return log_message(m, a); });
    b.build();
}

}  // namespace velmora::fault_reporter
