// Classes built from C++ at module init. See pyfunc.hpp.
#include "pyfunc.hpp"

namespace vm {

ClassBuilder::ClassBuilder(py::module_ module, const char* name, const char* doc, py::tuple bases,
                           py::object metaclass)
    : module_(std::move(module)), name_(name), doc_(doc), bases_(std::move(bases)),
      metaclass_(std::move(metaclass)), cell_(std::make_shared<py::object>()) {
    ns_["__module__"] = module_.attr("__name__");
    ns_["__qualname__"] = py::str(name_);
    if (doc_) ns_["__doc__"] = py::str(doc_);
}

py::object ClassBuilder::make(const char* name, std::vector<Param> params, Body body, const char* doc,
                              py::object returns, bool abstract, const std::source_location& where) {
    FunctionSpec spec;
    spec.name = name;
    spec.qualname = name_ + "." + name;
    spec.module = py::str(module_.attr("__name__"));
    spec.doc = doc;
    spec.params = std::move(params);
    spec.return_annotation = std::move(returns);
    spec.abstract = abstract;
    return make_function(std::move(spec), std::move(body), where);
}

ClassBuilder& ClassBuilder::method(const char* name, std::vector<Param> params, Body body, const char* doc,
                                   py::object returns, std::source_location where) {
    ns_[name] = make(name, std::move(params), std::move(body), doc, std::move(returns), false, where);
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const char* name, std::vector<Param> params, Body body,
                                          const char* doc, py::object returns, std::source_location where) {
    py::object f = make(name, std::move(params), std::move(body), doc, std::move(returns), false, where);
    ns_[name] = steal(PyStaticMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::abstract_method(const char* name, std::vector<Param> params, Body body,
                                            const char* doc, py::object returns, std::source_location where) {
    ns_[name] = make(name, std::move(params), std::move(body), doc, std::move(returns), true, where);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
    ns_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::defined(const char* name) const {
    PyObject* value = PyDict_GetItemString(ns_.ptr(), name);
    return py::reinterpret_borrow<py::object>(value);
}

py::object ClassBuilder::build() {
    py::tuple bases = bases_.size() ? bases_ : py::make_tuple(type_object(&PyBaseObject_Type));
    py::object meta = metaclass_;
    if (!meta) meta = type_object(Py_TYPE(bases[0].ptr()));
    py::object cls = meta(py::str(name_), bases, ns_);
    *cell_ = cls;
    module_.attr(name_.c_str()) = cls;
    return cls;
}

void set_method(py::handle cls, const char* name, std::vector<Param> params, Body body, const char* doc,
                py::object returns, std::source_location where) {
    FunctionSpec spec;
    spec.name = name;
    spec.qualname = std::string(py::str(cls.attr("__qualname__"))) + "." + name;
    spec.module = py::str(cls.attr("__module__"));
    spec.doc = doc;
    spec.params = std::move(params);
    spec.return_annotation = std::move(returns);
    py::setattr(cls, name, make_function(std::move(spec), std::move(body), where));
}

py::object super(py::handle cls, py::handle self) {
    return steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), cls.ptr(), self.ptr(), nullptr));
}

py::object def_function(py::module_ module, const char* name, std::vector<Param> params, Body body,
                        const char* doc, py::object returns, std::source_location where) {
    FunctionSpec spec;
    spec.name = name;
    spec.module = py::str(module.attr("__name__"));
    spec.doc = doc;
    spec.params = std::move(params);
    spec.return_annotation = std::move(returns);
    py::object f = make_function(std::move(spec), std::move(body), where);
    module.attr(name) = f;
    return f;
}

}  // namespace vm
