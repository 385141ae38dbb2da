// AccessibilityManager: the process's one way to the user's screen reader.
//
// The first construction loads accessible_output2 and makes its output
// object, once and for the life of the process; when that fails every
// operation answers False and leaves a debug line instead, so callers never
// test for a screen reader first. Only a text of the wrong type raises.
#include "accessibility.hpp"
#include "exit_gate.hpp"
#include "process_state.hpp"

namespace velmora::accessibility {
namespace {

using vm::Args;

py::object logger(py::handle m) { return vm::global(m, "logger"); }

// The calls here into the screen reader and the logger are no blocking calls
// (exit_gate.hpp), though speech may take its time: this code runs under the
// creation lock, or inside the host's own logging (a handler that speaks),
// and a thread parked here would keep that lock for good, and with it the
// handler's lock that logging's own end at exit waits for. They park the
// thread only on a forced unwind (vm::call, call_method).

bool is_darwin(py::handle m) {
    return vm::compare(vm::global(m, "platform").attr("system")(), VM_STR("Darwin"), Py_EQ);
}

// The output object, or a null object while there is none to speak through.
py::object live_output(py::handle self) {
    if (!vm::truthy(self.attr("_available"))) return py::object();
    py::object output = self.attr("_output");
    return output.is_none() ? py::object() : output;
}

// Makes the output object of this system; the caller has set the instance
// up as silent, and any failure leaves it so.
void initialize(py::handle m, py::handle self) {
    try {
        if (is_darwin(m)) {
            py::object voiceover = vm::import_from("accessible_output2.outputs.voiceover", "VoiceOver");
            self.attr("_output") = voiceover();
            self.attr("_available") = true;
            vm::call_method(logger(m), VM_STR("info"), VM_STR("VoiceOver initialized successfully on macOS"));
        } else {
            py::object automatic = vm::import_from("accessible_output2.outputs.auto", "Auto");
            self.attr("_output") = automatic();
            self.attr("_available") = true;
            vm::call_method(logger(m), VM_STR("info"), VM_STR("Accessible output initialized successfully"));
        }
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError)) {
            vm::call_method(logger(m), VM_STR("warning"),
                            vm::text("accessible_output2 not available: ", vm::error_str(e),
                                     ". Screen reader support is disabled. "
                                     "Install it with: pip install accessible-output2"));
            if (is_darwin(m))
                vm::call_method(logger(m), VM_STR("warning"),
                                VM_STR("On macOS, also install appscript: pip install appscript"));
        } else if (vm::is_exception(e)) {
            vm::call_method(logger(m), VM_STR("error"),
                            vm::text("Error initializing accessible_output2: ", vm::error_str(e)));
        } else {
            throw;
        }
    }
}

// speak and speak_and_braille: the text to speech and, with `braille`, also
// to the braille display where the output has one.
py::object send_text(py::handle m, const Args& a, bool braille, const char* debug, const char* failure) {
    py::handle self = a.self(), text = a[1], interrupt = a[2];
    if (!vm::truthy(text)) return py::bool_(false);
    py::object output = live_output(self);
    if (!output) {
        vm::call_method(logger(m), VM_STR("debug"), vm::text(debug, text));
        return py::bool_(false);
    }
    // The screen reader is reached through its own channel (a socket, COM).
    try {
        vm::call(vm::get_attr(output, VM_STR("speak")), text, py::arg("interrupt") = interrupt);
        // Speech only, where the screen reader has no braille.
        if (braille)
            if (py::object show = vm::readable_attr(output, VM_STR("braille"))) vm::call(show, text);
        return py::bool_(true);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        vm::call_method(logger(m), VM_STR("error"), vm::text(failure, vm::error_str(e)));
        return py::bool_(false);
    }
}

py::object silence(py::handle m, const Args& a) {
    py::object output = live_output(a.self());
    if (!output) {
        vm::call_method(logger(m), VM_STR("debug"), VM_STR("Screen reader silenced (no-op, not available)"));
        return py::bool_(false);
    }
    try {
        if (py::object stop = vm::readable_attr(output, VM_STR("silence"))) vm::call(stop);
        return py::bool_(true);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        vm::call_method(logger(m), VM_STR("error"), vm::text("Error silencing screen reader: ", vm::error_str(e)));
        return py::bool_(false);
    }
}

}  // namespace

void define_accessibility_manager(py::module_& m) {
    using vm::arg;
    using vm::self;
    const py::object bool_type = vm::type_object(&PyBool_Type);
    vm::ClassBuilder b(m, "AccessibilityManager", "Singleton manager for screen reader output.");
    auto cell = b.cell();
    b.attr("_instance", py::none());

    // One lock for the first construction: two threads constructing at once
    // get the one instance, and neither gets it before it is initialised.
    // Reentrant, so a log handler that speaks during the initialisation finds
    // the instance (silent until then) instead of waiting for itself. A forked
    // child gets a lock of its own (process_state.hpp).
    auto creation_lock = std::make_shared<vm::ProcessLock>(py::module_::import("_thread").attr("RLock"));

    b.static_method("__new__", {arg("cls")}, [cell, creation_lock](const Args& a) -> py::object {
        py::handle cls = a[0];
        if (cls.attr("_instance").is_none()) {
            vm::LockGuard creating(creation_lock->get());
            if (cls.attr("_instance").is_none()) {
                py::object fresh = vm::super(*cell, cls).attr("__new__")(cls);
                fresh.attr("_initialized") = false;
                cls.attr("_instance") = fresh;
            }
        }
        return cls.attr("_instance");
    });

    b.method("__init__", {self()}, [m, creation_lock](const Args& a) -> py::object {
        py::handle self = a.self();
        vm::LockGuard creating(creation_lock->get());
        if (vm::truthy(self.attr("_initialized"))) return py::none();
        self.attr("_initialized") = true;
        self.attr("_output") = py::none();
        self.attr("_available") = false;
        initialize(m, self);
        return py::none();
    });

    vm::FunctionSpec available;
    available.name = "is_available";
    available.qualname = "AccessibilityManager.is_available";
    available.module = "core.accessibility";
    available.doc = "Check if screen reader output is available.";
    available.params = {self()};
    available.return_annotation = bool_type;
    b.attr("is_available", vm::builtin("property")(vm::make_function(
                               std::move(available), [](const Args& a) { return a.self().attr("_available"); })));

    const std::vector<vm::Param> text_params = {self(), arg("text").text_ann(),
                                                arg("interrupt").ann(bool_type).def(py::bool_(false))};
    b.method("speak", text_params,
             [m](const Args& a) {
                 return send_text(m, a, false, "Screen reader output: ", "Error speaking text: ");
             },
             "Speak text through the screen reader.", bool_type);
    b.method("speak_and_braille", text_params,
             [m](const Args& a) {
                 return send_text(m, a, true, "Screen reader output (speech + braille): ",
                                  "Error outputting text to speech/braille: ");
             },
             "Speak text and show it on the braille display where there is one.", bool_type);
    b.method("silence", {self()}, [m](const Args& a) { return silence(m, a); },
             "Stop the screen reader's speech.", bool_type);
    b.method("output", text_params,
             [](const Args& a) -> py::object {
                 return a.self().attr("speak")(a[1], py::arg("interrupt") = a[2]);
             },
             "Output text through the screen reader (the same as speak).", bool_type);
    b.build();
}

}  // namespace velmora::accessibility
