// Module namespaces: imports and annotations. See pyfunc.hpp.
#include "pyfunc.hpp"

#include "exit_gate.hpp"

namespace vm {

py::object import_from(const char* source, const char* name) {
    py::object fromlist = py::make_tuple(py::str(name));
    py::object mod = steal(PyImport_ImportModuleLevel(source, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object file = optional_attr(mod, VM_STR("__file__"));
    py::str message = file ? text("cannot import name '", name, "' from '", source, "' (", file, ")")
                           : text("cannot import name '", name, "' from '", source, "' (unknown location)");
    py::dict details(py::arg("name") = source, py::arg("path") = file ? file : py::none());
    py::object error = steal(PyObject_Call(PyExc_ImportError, py::make_tuple(message).ptr(), details.ptr()));
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw py::error_already_set();
}

py::object import_into(py::module_ module, const char* name, const char* as_name) {
    py::object mod = py::module_::import(name);
    std::string target = as_name ? as_name : name;
    if (!as_name) {
        // `import a.b` binds `a`
        auto dot = target.find('.');
        if (dot != std::string::npos) {
            target = target.substr(0, dot);
            mod = py::module_::import(target.c_str());
        }
    }
    module.attr(target.c_str()) = mod;
    return mod;
}

void from_import(py::module_ module, const char* source, std::initializer_list<const char*> names) {
    py::object mod = py::module_::import(source);
    for (const char* n : names) module.attr(n) = mod.attr(n);
}

PyObject* init_module(const char* name, py::module_::module_def* def, void (*load)(py::module_&)) {
    auto m = py::module_::create_extension_module(name, nullptr, def);
    try {
        install_exit_gate();
        load(m);
        return m.ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    // The half-made module is kept alive: functions built so far refer to
    // its namespace.
    return nullptr;
}

py::object typing_of(const char* name) { return py::module_::import("typing").attr(name); }

py::object subscript(py::handle generic, py::handle item) {
    return steal(PyObject_GetItem(generic.ptr(), item.ptr()));
}

}  // namespace vm
