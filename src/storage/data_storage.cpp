// DataStorage: a key-value view on one section of the consolidated store,
// and the base of every section store.
#include "storage.hpp"

namespace velmora::storage {
namespace {

// Holds the consolidated store's lock for a change and its save, so changes
// from several threads do not interleave. Any other object in its place (a
// stand-in put there by the host or a test) is used unlocked.
class StoreGuard {
public:
    StoreGuard(py::handle consolidated, const py::module_& m) : lock_(data_lock_of(consolidated, m)) {
        if (lock_.is_none())
            lock_ = py::object();
        else
            lock_.attr("acquire")();
    }
    ~StoreGuard() {
        if (!lock_) return;
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (!r) PyErr_WriteUnraisable(lock_.ptr());
        Py_XDECREF(r);
    }
    StoreGuard(const StoreGuard&) = delete;
    StoreGuard& operator=(const StoreGuard&) = delete;

private:
    py::object lock_;
};

// A new top-level map for the view: the section's own shallow copy, or an
// empty map when the stored value is not a map.
py::object copy_section(py::handle self) {
    py::object section = self.attr("consolidated").attr("get_section")(self.attr("section_name"));
    if (!PyDict_Check(section.ptr())) return py::dict();
    return section.attr("copy")();
}

}  // namespace

void define_data_storage(py::module_& m) {
    vm::ClassBuilder b(m, "DataStorage", "Base class for JSON data storage using consolidated storage.");

    b.method(
        "__init__", {vm::self(), vm::arg("section_name"), vm::arg("data_folder").def(py::none())},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            self.attr("consolidated") = vm::global(m, "ConsolidatedStorage")();
            self.attr("section_name") = a[1];
            self.attr("data") = copy_section(self);
            return py::none();
        },
        "Initialize storage with a specific section name in the consolidated file.");

    b.method(
        "load", {vm::self()},
        [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            py::object data = copy_section(self);
            self.attr("data") = data;
            return data;
        },
        "Load data from the consolidated file section.");

    b.method(
        "save", {vm::self()},
        [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            py::object written =
                self.attr("consolidated").attr("set_section")(self.attr("section_name"), self.attr("data"));
            // False only when the write is known to have failed (a store in
            // the consolidated store's place may answer None).
            return py::bool_(!written.is(py::bool_(false)));
        },
        "Save data to the consolidated file section.");

    b.method(
        "get", {vm::self(), vm::arg("key"), vm::arg("default").def(py::none())},
        [](const vm::Args& a) -> py::object { return a.self().attr("data").attr("get")(a[1], a[2]); },
        "Get a value from storage.");

    b.method(
        "set", {vm::self(), vm::arg("key"), vm::arg("value")},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            py::handle key = a[1];
            StoreGuard guard(self.attr("consolidated"), m);
            py::object data = self.attr("data");
            const bool had = data.contains(key);
            py::object previous = had ? py::object(data[key]) : py::object();
            data[key] = a[2];
            try {
                self.attr("save")();
            } catch (py::error_already_set&) {
                // Put back what was there, so the value that failed does not
                // stay to break every later save.
                if (had)
                    data[key] = previous;
                else if (data.contains(key))
                    data.attr("__delitem__")(key);
                throw;
            }
            return py::none();
        },
        "Set a value in storage and save.");

    b.method(
        "delete", {vm::self(), vm::arg("key")},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            StoreGuard guard(self.attr("consolidated"), m);
            py::object data = self.attr("data");
            py::handle key = a[1];
            if (!data.contains(key)) return py::none();
            py::object before = data.attr("copy")();
            data.attr("__delitem__")(key);
            try {
                self.attr("save")();
            } catch (py::error_already_set&) {
                // Back as it was, in its place.
                data.attr("clear")();
                data.attr("update")(before);
                throw;
            }
            return py::none();
        },
        "Delete a key from storage and save.");

    b.method(
        "clear", {vm::self()},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            StoreGuard guard(self.attr("consolidated"), m);
            py::object previous = self.attr("data");
            self.attr("data") = py::dict();
            try {
                self.attr("save")();
            } catch (py::error_already_set&) {
                self.attr("data") = previous;
                throw;
            }
            return py::none();
        },
        "Clear all data.");

    b.build();
}

}  // namespace velmora::storage
