// ConsolidatedStorage: the one in-memory copy of the data file and its
// sections, and the code that reads and rewrites "velmora.dat".
//
// Writing replaces the whole file in one step (atomic_file.hpp), so a crash
// or a full disk leaves either the old file or the new one, never a mix; a
// load clears what killed saves left beside it. A data file whose content
// does not load is moved aside before the first write replaces it; one that
// could not be read at all is not written over until a load reads it.
#include "storage.hpp"

#include <cerrno>
#include <cstdint>
#include <string>

#include "atomic_file.hpp"
#include "process_state.hpp"
#include "set_aside.hpp"

namespace velmora::storage {
namespace {

const char* const kSections[] = {
    "config",         "subscriptions",       "playback_positions", "bookmarks",           "radio_stations",
    "downloads",      "spotify_credentials", "spotify_data",       "quietshelf_downloads",
};

// State of each store that is kept out of its attributes (the host sees
// only the attributes it knows the store by): the lock that serialises its
// loads, saves and changes; whether load found a data file whose content
// does not load (set aside before the next save replaces it); the text of
// the error that kept the last load from reading the file at all (None when
// it read the file or found none), and no save writes over such a file; and
// how many times a save has replaced the file, which tells the code that
// undoes a change when its save raises whether the file holds the change.
// Keyed by id(store); a weak reference to the store removes its entry as the
// store goes, before its address can be taken by another object.
enum Slot { kLock = 0, kDamaged = 1, kWeakRef = 2, kUnread = 3, kReplacements = 4 };
// dict: id -> [lock, damaged, weakref, unread, replacements]
PyObject* g_states = nullptr;
PyObject* g_store_class = nullptr;  // ConsolidatedStorage

py::dict states() { return py::reinterpret_borrow<py::dict>(g_states); }

py::int_ key_of(py::handle store) { return py::int_(reinterpret_cast<std::uintptr_t>(store.ptr())); }

// The entry of `store`, or a null object when it has none.
py::object find_state(py::handle store) {
    PyObject* entry = PyDict_GetItemWithError(g_states, key_of(store).ptr());
    if (!entry && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(entry);
}

// A new entry for `store`, with a new lock; the caller holds the class lock.
py::object make_state(py::handle store, const py::module_& m) {
    py::int_ key = key_of(store);
    // Called with the dead weak reference, which is then pop's default.
    py::object forget = py::module_::import("functools").attr("partial")(states().attr("pop"), key);
    py::list entry;
    entry.append(vm::global(m, "threading").attr("RLock")());
    entry.append(py::bool_(false));
    entry.append(py::module_::import("weakref").attr("ref")(store, forget));
    entry.append(py::none());
    entry.append(py::int_(0));
    states()[key] = entry;
    return std::move(entry);
}

// The child of a fork has only the thread that forked: a store's lock that
// another thread of the parent held then would stay held for good, and the
// child's next save would wait for it forever. The child's stores get new
// locks the first time one is asked for.
void renew_locks_after_fork(const py::module_& m) {
    static unsigned long forks_seen = 0;  // under the GIL
    const unsigned long forks = vm::forks_since_load();
    if (forks == forks_seen) return;
    forks_seen = forks;
    for (py::handle entry : py::list(states().attr("values")()))
        entry[py::int_(int(kLock))] = vm::global(m, "threading").attr("RLock")();
}

// The entry of `store`, made when it has none yet (a store made by a
// subclass's own __new__). Made under the class lock, so two threads never
// give one store two locks.
py::object state_of(py::handle store, const py::module_& m) {
    renew_locks_after_fork(m);
    py::object entry = find_state(store);
    if (entry) return entry;
    vm::LockGuard creation(py::reinterpret_borrow<py::object>(g_store_class).attr("_lock"));
    entry = find_state(store);
    return entry ? entry : make_state(store, m);
}

py::object store_lock(py::handle self, const py::module_& m) { return state_of(self, m)[py::int_(int(kLock))]; }

void set_damaged(py::handle self, const py::module_& m, bool damaged) {
    state_of(self, m)[py::int_(int(kDamaged))] = py::bool_(damaged);
}

bool is_damaged(py::handle self) {
    py::object entry = find_state(self);
    return entry && vm::truthy(entry[py::int_(int(kDamaged))]);
}

// What load found: a file read whole (or none), or one it could not read,
// with the text of the error. A file that could not be read is not damaged:
// it may well load at the next start.
void set_read(py::handle self, const py::module_& m, bool damaged) {
    set_damaged(self, m, damaged);
    state_of(self, m)[py::int_(int(kUnread))] = py::none();
}

void set_unread(py::handle self, const py::module_& m, const py::error_already_set& e) {
    set_damaged(self, m, false);
    py::object reason = vm::error_str(e);
    // An error with no text of its own (a bare MemoryError) goes by its name.
    if (!vm::truthy(reason)) reason = e.type().attr("__name__");
    state_of(self, m)[py::int_(int(kUnread))] = reason;
}

// The error text that kept the last load from reading the file; null when
// it read the file or found none.
py::object unread_reason(py::handle self) {
    py::object entry = find_state(self);
    if (!entry) return py::object();
    py::object reason = entry[py::int_(int(kUnread))];
    return reason.is_none() ? py::object() : reason;
}

long long replacements(py::handle self) {
    py::object entry = find_state(self);
    return entry ? entry[py::int_(int(kReplacements))].cast<long long>() : 0;
}

void count_replacement(py::handle self, const py::module_& m) {
    state_of(self, m)[py::int_(int(kReplacements))] = py::int_(replacements(self) + 1);
}

bool matches_any(const py::error_already_set& e, std::initializer_list<PyObject*> types) {
    for (PyObject* t : types)
        if (e.matches(t)) return true;
    return false;
}

}  // namespace

void define_consolidated_storage(py::module_& m) {
    if (!g_states) g_states = PyDict_New();  // lives as long as the process
    if (!g_states) throw py::error_already_set();
    vm::ClassBuilder b(m, "ConsolidatedStorage",
                       "Singleton class for managing all application data in a single file.");
    auto cell = b.cell();
    b.attr("_instance", py::none());
    b.attr("_lock", vm::global(m, "threading").attr("Lock")());

    b.static_method("__new__", {vm::arg("cls")}, [m, cell](const vm::Args& a) -> py::object {
        py::handle cls = a[0];
        py::object instance = cls.attr("_instance");
        if (!instance.is_none()) return instance;
        {
            vm::LockGuard creation(cls.attr("_lock"));
            if (cls.attr("_instance").is_none()) {
                py::object fresh = vm::super(*cell, cls).attr("__new__")(cls);
                fresh.attr("_initialized") = false;
                make_state(fresh, m);
                cls.attr("_instance") = fresh;
            }
        }
        return cls.attr("_instance");
    });

    b.method("__init__", {vm::self()}, [m](const vm::Args& a) -> py::object {
        py::handle self = a.self();
        if (vm::truthy(self.attr("_initialized"))) return py::none();
        // Two threads constructing at once: the second waits here and then
        // finds the store initialised.
        vm::LockGuard guard(store_lock(self, m));
        if (vm::truthy(self.attr("_initialized"))) return py::none();

        py::object os = vm::global(m, "os");
        py::object join = os.attr("path").attr("join");
        py::object home = vm::global(m, "Path").attr("home")();
        py::object folder = join(py::str(home), "Documents", "Velmora");
        self.attr("data_folder") = folder;
        try {
            os.attr("makedirs")(folder, py::arg("exist_ok") = true);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        self.attr("filepath") = join(folder, "velmora.dat");
        py::dict sections;
        for (const char* name : kSections) sections[name] = py::dict();
        self.attr("master_data") = sections;
        self.attr("load")();
        self.attr("_initialized") = true;
        return py::none();
    });

    b.method(
        "load", {vm::self()},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            vm::LockGuard guard(store_lock(self, m));
            py::object os = vm::global(m, "os");
            py::object path = self.attr("filepath");
            py::object master = self.attr("master_data");
            // What saves of this file killed before their rename left beside it.
            vm::remove_stale_temporaries(path, vm::global(m, "logger"));
            // In every case below but a file read whole, the sections stay
            // as they are.
            try {
                os.attr("stat")(path);
            } catch (py::error_already_set& e) {
                // No file there (nor a folder it could be in, nor a name a
                // file could have): the first save makes it.
                if (matches_any(e, {PyExc_FileNotFoundError, PyExc_NotADirectoryError, PyExc_ValueError})) {
                    set_read(self, m, false);
                    return master;
                }
                if (!e.matches(PyExc_OSError)) throw;
                set_unread(self, m, e);
                return master;
            }
            py::object document;
            try {
                document = vm::global(m, "json").attr("loads")(vm::read_text(path, "utf-8"));
            } catch (py::error_already_set& e) {
                // Content that does not load (bad JSON, a byte-order mark,
                // invalid UTF-8, nesting too deep): a regular file is kept
                // aside before the next save replaces it.
                if (matches_any(e, {PyExc_ValueError, PyExc_RecursionError})) {
                    set_read(self, m, vm::truthy(os.attr("path").attr("isfile")(path)));
                    return master;
                }
                // A file that could not be read (too many open files, an I/O
                // error, no permission, a folder in its place, no memory for
                // it now) says nothing about its content: it is left as it
                // is, for a later load to read whole.
                if (!matches_any(e, {PyExc_OSError, PyExc_MemoryError})) throw;
                set_unread(self, m, e);
                return master;
            }
            if (!PyDict_Check(document.ptr())) {
                set_read(self, m, true);
                return master;
            }
            // Both walks go as Python's for goes: the host may have put its
            // own objects in master_data, whose hashes can change what is
            // being walked.
            for (py::handle name : py::iter(master))
                if (vm::contains(document, name)) master[name] = document[name];
            // Sections the file has beyond the known ones follow them, in
            // the file's order.
            vm::for_each_item(document, [&](py::handle name, py::handle section) {
                if (!vm::contains(master, name)) master[name] = section;
            });
            set_read(self, m, false);
            return master;
        },
        "Load all data from the consolidated file.");

    b.method(
        "save", {vm::self()},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            vm::LockGuard guard(store_lock(self, m));
            // The whole text first: an encoding error leaves the file alone.
#ifdef _WIN32
            const std::string data = encode_document_utf8(self.attr("master_data"), "\r\n");
#else
            const std::string data = encode_document_utf8(self.attr("master_data"), "\n");
#endif
            // The host may have put a path object in `filepath`, or a link.
            py::object path = vm::real_file_path(self.attr("filepath"));
            // This store never saw what the file holds: writing it would
            // lose that for good. Until a load reads it, it stays as it is.
            if (py::object reason = unread_reason(self)) {
                vm::global(m, "logger").attr("error")(
                    "Did not save %s: it could not be read (%s), and is left as it is until it loads", path,
                    reason);
                return py::bool_(false);
            }
            bool replaced = false;
            try {
                if (is_damaged(self)) {
                    vm::set_aside(path, vm::global(m, "datetime"));
                    set_damaged(self, m, false);
                }
                vm::replace_file(path, data, &replaced);
            } catch (py::error_already_set& e) {
                // Counted also when a step after the replace raised.
                if (replaced) count_replacement(self, m);
                if (!e.matches(PyExc_OSError)) throw;
                return py::bool_(replaced);
            }
            count_replacement(self, m);
            return py::bool_(true);
        },
        "Save all data to the consolidated file.");

    b.method(
        "get_section", {vm::self(), vm::arg("section_name")},
        [](const vm::Args& a) -> py::object {
            py::object master = a.self().attr("master_data");
            if (master.contains(a[1])) return master[a[1]];
            return py::dict();
        },
        "Get a specific section of data.");

    b.method(
        "set_section", {vm::self(), vm::arg("section_name"), vm::arg("data")},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            vm::LockGuard guard(store_lock(self, m));
            SavedChange change(self);
            change.set(self.attr("master_data"), a[1], a[2]);
            return change.save();
        },
        "Set a specific section of data and save.");

    // For the settings object, which reaches this store only through Python:
    // whether a save that raised had replaced the file already.
    b.method(
        "_replacements", {vm::self()},
        [](const vm::Args& a) -> py::object { return py::int_(replacements(a.self())); },
        "How many times this store has replaced its file in this process.");

    py::object cls = b.build();
    Py_XDECREF(g_store_class);
    g_store_class = cls.release().ptr();
}

namespace {
bool is_store(py::handle object) {
    if (!g_store_class) return false;
    const int r = PyObject_IsInstance(object.ptr(), g_store_class);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
}  // namespace

py::object data_lock_of(py::handle store, const py::module_& m) {
    if (!is_store(store)) return py::none();
    return store_lock(store, m);
}

long long file_replacements(py::handle store) { return is_store(store) ? replacements(store) : -1; }

}  // namespace velmora::storage
