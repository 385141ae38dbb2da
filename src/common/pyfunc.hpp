// Shared helpers for building Velmora's Python classes from C++.
//
// Every class the host sees is a real Python class made at module init with
// `type(...)` (or `abc.ABCMeta(...)`), so the host and tests can subclass it,
// replace its methods and read its attributes. The methods are `vm::Function`
// objects: callables written in C++ that behave like Python functions:
//
//   * they bind as methods (`obj.method` is a bound method, `Cls.method` is
//     the function itself) and are fast in `obj.method(...)` calls;
//   * they take arguments the way a `def` would: positional-only, positional
//     or keyword, keyword-only, `*args`, `**kwargs`, defaults, and Python's
//     own TypeError texts for a missing, extra or unexpected argument;
//   * `inspect.signature` gives their exact signature, annotations included;
//   * they carry `__name__`, `__qualname__`, `__module__`, `__doc__`, a
//     `__dict__`, and `__isabstractmethod__` for abstract methods;
//   * an error raised in their body leaves with a traceback frame of their
//     own (their qualname, at the C++ file and line that define them).
//
// A parameter marked `.text()` accepts only `str` (or None): anything else,
// bytes included, raises TypeError before the body runs.
//
// Typical use:
//
//   vm::ClassBuilder b(m, "DownloadTask", "Represents a download task");
//   b.method("__init__", {vm::self(), vm::arg("url"), vm::arg("filename")},
//            [](const vm::Args& a) { a.self().attr("url") = a[1]; return py::none(); });
//   py::object cls = b.build();   // also stored in the module as DownloadTask
//
// Bodies receive the bound arguments in declaration order (`a[0]` is self for
// methods); *args arrive as a tuple and **kwargs as a dict. A body returns a
// py::object (a null object means None) and reports Python errors by throwing
// py::error_already_set or a pybind11 builtin exception.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vm {
namespace py = pybind11;

// An interned Python string made once per call site and kept for the life of
// the process (never freed, so it is safe in static storage).
#define VM_STR(text)                                                    \
    ([]() -> ::pybind11::handle {                                       \
        static PyObject* interned_ = PyUnicode_InternFromString(text);  \
        return interned_;                                               \
    }())

// ---------------------------------------------------------------------------
// Parameters and functions

struct Param {
    enum Kind { PositionalOnly, PositionalOrKeyword, KeywordOnly, VarPositional, VarKeyword };

    std::string name;
    Kind kind = PositionalOrKeyword;
    py::object default_value;  // null: required
    py::object annotation;     // null: none
    bool text = false;         // str or None only

    Param&& def(py::object value) &&;        // default value
    Param&& ann(py::object annotation) &&;   // annotation shown by inspect
    Param&& text_ann() &&;                   // annotated `str` and type-tested
    Param&& pos_only() &&;
    Param&& kw_only() &&;
};

Param arg(const char* name);
inline Param self() { return arg("self"); }
Param var_args(const char* name = "args");
Param var_kwargs(const char* name = "kwargs");

class Args {
public:
    Args(PyObject* const* slots, size_t size) : slots_(slots), size_(size) {}
    py::handle operator[](size_t i) const { return slots_[i]; }
    py::handle self() const { return slots_[0]; }
    size_t size() const { return size_; }
    // Borrowed tuple / dict for *args and **kwargs slots.
    py::tuple tuple_at(size_t i) const { return py::reinterpret_borrow<py::tuple>(slots_[i]); }
    py::dict dict_at(size_t i) const { return py::reinterpret_borrow<py::dict>(slots_[i]); }

private:
    PyObject* const* slots_;
    size_t size_;
};

using Body = std::function<py::object(const Args&)>;

struct FunctionSpec {
    std::string name;
    std::string qualname;  // defaults to name
    std::string module;    // `__module__`
    const char* doc = nullptr;  // null: no docstring (`__doc__` is None)
    std::vector<Param> params;
    py::object return_annotation;  // null: none
    bool abstract = false;
};

// A new function object (see the top of this file). `where` is the C++
// source that defines it: an error that leaves the function, or that it logs
// with its traceback, gets a traceback frame naming the function (its
// qualname) at that file and line, as compiled extensions show their own.
py::object make_function(FunctionSpec spec, Body body,
                         std::source_location where = std::source_location::current());

// True when `obj` is a function made by make_function.
bool is_function(py::handle obj);

// The `__qualname__` of the function made by make_function whose body runs
// now on this thread (the innermost one), or a null object outside any.
py::object running_qualname();

// ---------------------------------------------------------------------------
// Classes

class ClassBuilder {
public:
    // `bases` empty means (object,). `metaclass` null means type, or the
    // metaclass of the first base.
    ClassBuilder(py::module_ module, const char* name, const char* doc,
                 py::tuple bases = py::tuple(), py::object metaclass = py::object());

    // `where` (here and below): as for make_function.
    ClassBuilder& method(const char* name, std::vector<Param> params, Body body,
                         const char* doc = nullptr, py::object returns = py::object(),
                         std::source_location where = std::source_location::current());
    // Wrapped in staticmethod; params have no self.
    ClassBuilder& static_method(const char* name, std::vector<Param> params, Body body,
                                const char* doc = nullptr, py::object returns = py::object(),
                                std::source_location where = std::source_location::current());
    // Marked abstract; the body runs when a subclass calls it through super().
    ClassBuilder& abstract_method(const char* name, std::vector<Param> params, Body body,
                                  const char* doc = nullptr, py::object returns = py::object(),
                                  std::source_location where = std::source_location::current());
    ClassBuilder& attr(const char* name, py::object value);
    // What the class body defines under `name` so far (a method: its
    // function object), or a null object.
    py::object defined(const char* name) const;

    // The class, once built: usable inside bodies (like a `__class__` cell).
    std::shared_ptr<py::object> cell() const { return cell_; }

    // Creates the class, stores it in the module under its name and returns it.
    py::object build();

private:
    py::object make(const char* name, std::vector<Param> params, Body body, const char* doc,
                    py::object returns, bool abstract, const std::source_location& where);

    py::module_ module_;
    std::string name_;
    const char* doc_;
    py::tuple bases_;
    py::object metaclass_;
    py::dict ns_;
    std::shared_ptr<py::object> cell_;
};

// Adds (or replaces) a method on an existing class, after it was built.
void set_method(py::handle cls, const char* name, std::vector<Param> params, Body body,
                const char* doc = nullptr, py::object returns = py::object(),
                std::source_location where = std::source_location::current());

// `super(cls, self)`.
py::object super(py::handle cls, py::handle self);

// A module-level function stored in the module under its name.
py::object def_function(py::module_ module, const char* name, std::vector<Param> params, Body body,
                        const char* doc = nullptr, py::object returns = py::object(),
                        std::source_location where = std::source_location::current());

// ---------------------------------------------------------------------------
// Modules

// `from source import name` as an expression: the object, or the import
// system's ImportError ("cannot import name ...") when the module lacks it.
py::object import_from(const char* source, const char* name);
// `import name` into the module namespace (as the last component of its
// name, or `as_name`).
py::object import_into(py::module_ module, const char* name, const char* as_name = nullptr);
// `from source import a, b, ...` into the module namespace.
void from_import(py::module_ module, const char* source, std::initializer_list<const char*> names);
// The module global `name`, looked up now (so tests and the host can replace it).
inline py::object global(py::handle module, const char* name) {
    return py::reinterpret_borrow<py::object>(module).attr(name);
}
// A builtin type as an object, for annotations: type_object(&PyLong_Type) is int.
inline py::object type_object(PyTypeObject* type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}
// The entry point of an extension module whose body is `load`, for
// VM_MODULE. An error of the body (a library missing at load) reaches the
// importer as itself, where PYBIND11_MODULE would wrap it in an ImportError
// "initialization failed".
PyObject* init_module(const char* name, py::module_::module_def* def, void (*load)(py::module_&));
// typing helpers for annotations: Optional[x], generic[x], generic[x, y].
py::object typing_of(const char* name);
py::object subscript(py::handle generic, py::handle item);

// ---------------------------------------------------------------------------
// Small Python operations, raising what Python raises

// A new reference from the C API as an object; null means a Python error is
// set, which is raised.
py::object steal(PyObject* result);
// getattr(obj, name) / setattr(obj, name, value).
py::object get_attr(py::handle obj, py::handle name);
void set_attr(py::handle obj, py::handle name, py::handle value);
namespace detail {
// PyObject_VectorcallMethod(name, argv, nargsf, NULL), for call_method.
PyObject* vectorcall_method(PyObject* name, PyObject* const* argv, size_t nargsf);
}  // namespace detail
// obj.name(args...), with the method call fast path. The method may be the
// host's (an override, a logger's handlers): a forced unwind out of it parks
// the thread (exit_gate.hpp), as it does out of the attribute helpers below.
template <class... Handles>
py::object call_method(py::handle obj, py::handle name, Handles... args) {
    PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(detail::vectorcall_method(name.ptr(), argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}
// "".join(str(p) for p in parts): text is joined as Python text, never
// through UTF-8, so lone surrogates pass.
py::str concat(std::initializer_list<py::handle> parts);
// f"..." built from literals, handles and whole numbers, in order:
//   vm::text("Download followed ", n, " redirect(s):")
// Handles are written with str(); text stays Python text (lone surrogates
// pass, as in concat).
template <class... Parts>
py::str text(const Parts&... parts);
// getattr(obj, name, <null>): a null object when the look-up raises
// AttributeError (what hasattr() tests); any other error is raised.
py::object optional_attr(py::handle obj, py::handle name);
// try: getattr(obj, name) except Exception: <null>. For "has the attribute"
// where a look-up that fails for any reason (a failing property included)
// counts as absent; KeyboardInterrupt and the like are raised.
py::object readable_attr(py::handle obj, py::handle name);
// `bool(left <op> right)` as Python evaluates the operator (op: Py_EQ,
// Py_LT, ...; no identity shortcut).
bool compare(py::handle left, py::handle right, int op);
// A name as module code sees it: the module namespace `globals`, then the
// builtins; NameError when neither has it.
py::object name_in(py::handle globals, py::handle name);

// The code points of a str, as Python's re and str methods see them (lone
// surrogates included), for the plain-text rules of velmora_text. Anything
// else raises TypeError "expected string or bytes-like object, got '<type>'",
// as the re functions do.
std::u32string code_points(py::handle text);
// A str made of code points.
py::str from_code_points(std::u32string_view text);

// `bool(value)`.
bool truthy(py::handle value);
// `item in container`.
bool contains(py::handle container, py::handle item);
// `obj[index]`, as Python indexes whatever obj is (a tuple, a list, any
// object with __getitem__).
py::object item(py::handle obj, Py_ssize_t index);
// `first, second = pair`, with the unpacking statement's TypeError and
// ValueError texts.
std::pair<py::object, py::object> unpack_pair(py::handle pair);
// `for key, value in mapping.items(): body(key, value)`, walked as that loop
// walks it: each pair is held while the body runs, later pairs are read as
// they are by then, and a dict whose size the body changed raises
// RuntimeError. Use it (or `py::iter(list)` for a list) wherever the body can
// run Python code: PyDict_Next, PyList_GET_ITEM and pybind11's range-for over
// a py::list or py::dict read borrowed items, which a hash, a comparison or a
// callback may free.
template <class Body>
void for_each_item(py::handle mapping, Body&& body);
// The builtin `name` (open, print, ...).
py::object builtin(const char* name);

// Holds a Python lock (anything with acquire() and release()) like a `with`
// block. Acquiring through Python releases the GIL while it waits, and the
// wait is a blocking call (exit_gate.hpp). A null lock holds nothing. A
// failed release is reported as unraisable.
class LockGuard {
public:
    explicit LockGuard(py::object lock);
    ~LockGuard();
    // Releases the lock now (then the destructor does nothing).
    void release();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    py::object lock_;
};

// ---------------------------------------------------------------------------
// Errors and logging

// True when the error is an Exception (not KeyboardInterrupt, SystemExit...).
bool is_exception(const py::error_already_set& error);
// str(error) as Python shows it in messages. Kept as a Python str: an error
// text may hold lone surrogates, which have no UTF-8 form.
py::str error_str(const py::error_already_set& error);
// The Python error a C++ exception becomes when it leaves a native function:
// pybind11's own exceptions as pybind11 raises them (a failed cast is a
// RuntimeError), std::bad_alloc as MemoryError, any other as
// RuntimeError(what()). set_python_error sets it; python_error returns it,
// for a handler that treats every error of a step alike.
void set_python_error(const std::exception& e);
py::error_already_set python_error(const std::exception& e);
// The traceback of `error` as an `except` block of the native function
// running now sees it: that function's frame (see make_function), then the
// frames the error passed through. So an error raised by C++ code, which has
// no frame of its own, still shows where it happened. Outside any native
// function: the error's own traceback, or None.
py::object traceback_of(const py::error_already_set& error);
// logger.<level>(message, *args) as a blocking call (exit_gate.hpp): the
// logger's handlers are the host's and may take any time, also while the
// host quits. As for every blocking call, not under a Python lock: there,
// call_method(logger, ...) is the call, which parks only on a forced unwind.
void log(py::handle logger, const char* level, py::handle message, std::initializer_list<py::handle> args = {});
// logger.<level>(message, exc_info=(type, value, traceback)), with the
// traceback of traceback_of, as a blocking call like log.
void log_with_traceback(py::handle logger, const char* level, py::handle message,
                        const py::error_already_set& error);

// While alive, makes `error` the handled exception (what sys.exc_info() and
// traceback.format_exc() see), as inside an `except` block, with the
// traceback of traceback_of.
class HandledException {
public:
    explicit HandledException(const py::error_already_set& error);
    explicit HandledException(py::handle exception_value);
    ~HandledException();
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* previous_;
};

// Raises TypeError "<qualname>() argument '<param>' must be <expected>, not
// <type>", with the prefix the argument errors of the native function
// running now have (running_qualname()).
[[noreturn]] void refuse_argument(py::handle value, const char* param, const char* expected = "str");
// refuse_argument unless value is a str.
void require_text(py::handle value, const char* param);
// refuse_argument unless value is a str or None.
void require_text_or_none(py::handle value, const char* param);

// `with manager as entered: result = body(entered)` as the statement runs
// it: __enter__ and __exit__ are taken from the type; an error of the body
// goes to __exit__(type, value, traceback), and a true answer swallows it
// (the result is then None); a normal end calls __exit__(None, None, None).
template <class Body>
py::object with_context(py::handle manager, Body&& body);

// `PyInit_<name>` running `load(module)`: VM_MODULE(quietshelf_client, load).
#define VM_MODULE(name, load)                                                 \
    static ::pybind11::module_::module_def vm_module_def_##name;              \
    PYBIND11_PLUGIN_IMPL(name) {                                              \
        PYBIND11_CHECK_PYTHON_VERSION                                         \
        PYBIND11_ENSURE_INTERNALS_READY                                       \
        return ::vm::init_module(#name, &vm_module_def_##name, load);         \
    }

// ---------------------------------------------------------------------------
// Templates

namespace detail {
py::object text_part(const char* literal);
py::object text_part(const std::string& utf8);
py::object text_part(long long number);
py::object text_part(py::handle value);
inline py::object text_part(int number) { return text_part(static_cast<long long>(number)); }
inline py::object text_part(long number) { return text_part(static_cast<long long>(number)); }
inline py::object text_part(unsigned long number) { return text_part(static_cast<long long>(number)); }
py::str join_parts(PyObject* const* parts, size_t count);
// Calls `exit(manager, type, value, traceback)` for `error`: true when the
// answer swallows it.
bool exit_swallows(py::handle exit, py::handle manager, const py::error_already_set& error);
// Raises the TypeError of a `with` on an object that is no context manager.
[[noreturn]] void refuse_context(py::handle manager);
}  // namespace detail

template <class Body>
py::object with_context(py::handle manager, Body&& body) {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    py::object enter = optional_attr(type, VM_STR("__enter__"));
    py::object exit = enter ? optional_attr(type, VM_STR("__exit__")) : py::object();
    if (!exit) detail::refuse_context(manager);
    py::object entered = steal(PyObject_CallOneArg(enter.ptr(), manager.ptr()));
    py::object result;
    try {
        result = body(entered);
    } catch (py::error_already_set& e) {
        if (!detail::exit_swallows(exit, manager, e)) throw;
        return py::none();
    } catch (const py::builtin_exception& e) {
        e.set_error();
        py::error_already_set error;
        if (!detail::exit_swallows(exit, manager, error)) throw error;
        return py::none();
    }
    steal(PyObject_CallFunctionObjArgs(exit.ptr(), manager.ptr(), Py_None, Py_None, Py_None, nullptr));
    return result;
}

template <class Body>
void for_each_item(py::handle mapping, Body&& body) {
    for (py::handle item : call_method(mapping, VM_STR("items"))) {
        auto [key, value] = unpack_pair(item);
        body(key, value);
    }
}

template <class... Parts>
py::str text(const Parts&... parts) {
    py::object objects[] = {detail::text_part(parts)...};
    PyObject* raw[sizeof...(Parts)];
    for (size_t i = 0; i < sizeof...(Parts); ++i) raw[i] = objects[i].ptr();
    return detail::join_parts(raw, sizeof...(Parts));
}

}  // namespace vm
