// DataStorage: a key-value view on one section of the consolidated store,
// and the base of every section store.
#include "storage.hpp"

namespace velmora::storage {
namespace {

// The consolidated store's lock, held for a change and its save so changes
// from several threads do not interleave. Any other object in the store's
// place (a stand-in put there by the host or a test) is used unlocked: null.
py::object store_lock(py::handle consolidated, const py::module_& m) {
    py::object lock = data_lock_of(consolidated, m);
    return lock.is_none() ? py::object() : lock;
}

// A new top-level map for the view: the section's own shallow copy, or an
// empty map when the stored value is not a map.
py::object copy_section(py::handle self) {
    py::object section = self.attr("consolidated").attr("get_section")(self.attr("section_name"));
    if (!PyDict_Check(section.ptr())) return py::dict();
    return section.attr("copy")();
}

// The lock of the view's store; a view made without its __init__ (a test
// stand-in) may have no store.
py::object change_lock(py::handle view, const py::module_& m) {
    return store_lock(py::getattr(view, "consolidated", py::none()), m);
}

}  // namespace


vm::Body locked(const py::module_& m, vm::Body body) {
    return [m, body = std::move(body)](const vm::Args& a) {
        vm::LockGuard guard(change_lock(a.self(), m));
        return body(a);
    };
}

py::object now_text(py::handle module) {
    return vm::global(module, "datetime").attr("now")().attr("isoformat")();
}

void SavedChange::keep(py::handle container, py::handle key) {
    auto held = [](py::handle h) { return py::reinterpret_borrow<py::object>(h); };
    if (PyDict_Check(container.ptr())) {
        // Its first state is the one an undo gives back.
        for (const Entry& e : entries_)
            if (e.kind == Entry::kMap && e.container.is(container)) return;
        entries_.push_back(Entry{Entry::kMap, held(container), py::object(), vm::steal(PyDict_Copy(container.ptr()))});
        return;
    }
    Entry e{Entry::kItem, held(container), held(key), py::object()};
    if (vm::contains(container, key)) e.previous = container[key];
    entries_.push_back(std::move(e));
}

void SavedChange::set(py::handle container, py::handle key, py::handle value) {
    keep(container, key);
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

void SavedChange::keep_items(py::handle list) {
    // Anything else in a list's place (a hand-edited file) fails the change
    // with its own error before the save.
    if (!PyList_Check(list.ptr())) return;
    py::object items = vm::steal(PySequence_List(list.ptr()));
    entries_.push_back(Entry{Entry::kItems, py::reinterpret_borrow<py::object>(list), py::object(), std::move(items)});
}

void SavedChange::keep_attribute(py::handle object, const char* name) {
    entries_.push_back(
        Entry{Entry::kAttribute, py::reinterpret_borrow<py::object>(object), py::str(name), object.attr(name)});
}

py::object SavedChange::save() {
    // The store whose file the save replaces: the owner itself, or a view's.
    py::object store = py::reinterpret_borrow<py::object>(owner_);
    if (file_replacements(store) < 0) store = py::getattr(owner_, "consolidated", py::none());
    const long long before = file_replacements(store);
    try {
        return owner_.attr("save")();
    } catch (py::error_already_set& e) {
        // Whether the file took the change decides, not what was raised.
        // Without a count to tell, an interrupt is taken to have come after
        // the write and any other error before it.
        const bool written = before < 0 ? !vm::is_exception(e) : file_replacements(store) != before;
        if (!written) undo();
        throw;
    }
}

void SavedChange::undo() noexcept {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        PyObject* c = it->container.ptr();
        PyObject* k = it->key.ptr();
        PyObject* previous = it->previous.ptr();
        int r = 0;
        switch (it->kind) {
            case Entry::kMap:
                // dict.clear() and dict.update(previous) with the hashes the
                // copy keeps: no key is hashed again, so a key whose hash
                // fails now (a host's object) cannot stop the undo halfway.
                PyDict_Clear(c);
                r = PyDict_Merge(c, previous, 1);
                break;
            case Entry::kItems:
                r = PySequence_SetSlice(c, 0, PY_SSIZE_T_MAX, previous);
                break;
            case Entry::kAttribute:
                r = PyObject_SetAttr(c, k, previous);
                break;
            case Entry::kItem:
                if (previous) {
                    r = PyObject_SetItem(c, k, previous);
                } else {
                    r = PySequence_Contains(c, k);
                    if (r == 1) r = PyObject_DelItem(c, k);
                }
                break;
        }
        // The save's error is the one that goes on.
        if (r < 0) PyErr_Clear();
    }
}

void add_section_init(vm::ClassBuilder& b, const char* section, std::function<void(py::handle self)> after) {
    auto cls = b.cell();
    b.method("__init__", {vm::self(), vm::arg("data_folder").def(py::none())},
             [cls, section, after = std::move(after)](const vm::Args& a) {
                 py::handle self = a.self();
                 vm::super(*cls, self).attr("__init__")(py::str(section), a[1]);
                 self.attr("load")();
                 if (after) after(self);
                 return py::object();
             });
}

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
        locked(m, [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            py::handle key = a[1];
            SavedChange change(self);
            change.set(self.attr("data"), key, a[2]);
            change.save();
            return py::none();
        }),
        "Set a value in storage and save.");

    b.method(
        "delete", {vm::self(), vm::arg("key")},
        locked(m, [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            py::object data = self.attr("data");
            py::handle key = a[1];
            if (!data.contains(key)) return py::none();
            SavedChange change(self);
            change.keep(data, key);  // back as it was, in its place
            data.attr("__delitem__")(key);
            change.save();
            return py::none();
        }),
        "Delete a key from storage and save.");

    b.method(
        "clear", {vm::self()},
        locked(m, [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            SavedChange change(self);
            change.keep_attribute(self, "data");
            self.attr("data") = py::dict();
            change.save();
            return py::none();
        }),
        "Clear all data.");

    b.build();
}

}  // namespace velmora::storage
