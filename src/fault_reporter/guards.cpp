// The process-wide reporter, the module functions that forward to it, and
// with_error_handling, the decorator factory for guarded calls.
//
// The wrappers are ordinary function objects (they bind as methods when they
// decorate one) and run the report while the failure is the handled
// exception, so sys.exc_info() and the report's traceback are the failure's.
#include "exit_gate.hpp"
#include "process_state.hpp"
#include "fault_reporter.hpp"

namespace velmora::fault_reporter {
namespace {

using vm::Args;

const char* const kModule = "core.fault_reporter";

py::object get_fault_reporter(py::module_& m, py::handle creation_lock, const Args& a) {
    if (vm::global(m, "_global_handler").is_none()) {
        // Two threads making the first call at once still get one reporter.
        vm::LockGuard held(py::reinterpret_borrow<py::object>(creation_lock));
        if (vm::global(m, "_global_handler").is_none()) {
            py::object reporter = vm::global(m, "FaultReporter")(a[0]);
            m.attr("_global_handler") = reporter;
        }
    }
    return vm::global(m, "_global_handler");
}

py::object reporter(py::module_& m) { return vm::global(m, "get_fault_reporter")(); }

py::object make_wrapper(py::module_ m, py::object func, py::object context, py::object show_dialog,
                        py::object reraise) {
    vm::FunctionSpec spec;
    spec.name = "wrapper";
    spec.qualname = "with_error_handling.<locals>.decorator.<locals>.wrapper";
    spec.module = kModule;
    spec.params = {vm::var_args(), vm::var_kwargs()};
    return vm::make_function(std::move(spec), [m, func, context, show_dialog, reraise](const Args& a) mutable {
        // The decorated function may run for long (a thread's whole body).
        PyObject* r = vm::blocking([&] { return PyObject_Call(func.ptr(), a[0].ptr(), a[1].ptr()); });
        if (r) return py::reinterpret_steal<py::object>(r);
        py::error_already_set failure;
        if (!vm::is_exception(failure)) throw failure;
        {
            vm::HandledException handling(failure);
            py::object report_context;
            if (vm::truthy(context))
                report_context = context;
            else
                report_context = vm::concat({func.attr("__name__"), py::str("()")});
            vm::global(m, "handle_error")(failure.value(), report_context, py::arg("show_dialog") = show_dialog);
            if (!vm::truthy(reraise)) return py::object(py::none());
        }
        throw failure;
    });
}

py::object make_decorator(py::module_ m, py::object context, py::object show_dialog, py::object reraise) {
    vm::FunctionSpec spec;
    spec.name = "decorator";
    spec.qualname = "with_error_handling.<locals>.decorator";
    spec.module = kModule;
    spec.params = {vm::arg("func")};
    return vm::make_function(std::move(spec), [m, context, show_dialog, reraise](const Args& a) {
        return make_wrapper(m, py::reinterpret_borrow<py::object>(a[0]), context, show_dialog, reraise);
    });
}

}  // namespace

void define_module_functions(py::module_& m) {
    using vm::arg;
    m.attr("_global_handler") = py::none();

    // A forked child gets a lock of its own (process_state.hpp).
    auto creation_lock = std::make_shared<vm::ProcessLock>(py::module_::import("threading").attr("RLock"));
    vm::def_function(m, "get_fault_reporter", {arg("app_name").def(py::str("Velmora"))},
                     [m, creation_lock](const Args& a) mutable {
                         return get_fault_reporter(m, creation_lock->get(), a);
                     });
    vm::def_function(m, "handle_error",
                     {arg("error"), arg("context").def(py::none()), arg("show_dialog").def(py::bool_(true))},
                     [m](const Args& a) mutable {
                         reporter(m).attr("handle_error")(a[0], a[1], py::arg("show_dialog") = a[2]);
                         return py::object(py::none());
                     });
    vm::def_function(m, "log_error", {arg("error"), arg("context").def(py::none())}, [m](const Args& a) mutable {
        reporter(m).attr("log_error")(a[0], a[1]);
        return py::object(py::none());
    });
    vm::def_function(m, "log_message", {arg("message"), arg("level").def(py::str("INFO"))},
                     [m](const Args& a) mutable {
                         reporter(m).attr("log_message")(a[0], a[1]);
                         return py::object(py::none());
                     });
    vm::def_function(m, "with_error_handling",
                     {arg("context").def(py::none()), arg("show_dialog").def(py::bool_(true)),
                      arg("reraise").def(py::bool_(false))},
                     [m](const Args& a) {
                         return make_decorator(m, py::reinterpret_borrow<py::object>(a[0]),
                                               py::reinterpret_borrow<py::object>(a[1]),
                                               py::reinterpret_borrow<py::object>(a[2]));
                     });
}

}  // namespace velmora::fault_reporter
