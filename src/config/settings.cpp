// Config: the application's settings, built from the defaults and laid over
// with the store's section "config".
//
// `settings` is a plain dict in the instance; once saved it is the store's
// section object itself. Every setter saves at once, and when the save
// raises before the data file took the change (a value JSON cannot encode,
// an interrupt) the setter puts the previous state back before the error
// leaves, so memory and file agree and one bad value cannot make every
// later save of the store fail.
#include "config.hpp"

namespace velmora::config {
namespace {

using vm::Args;

py::object get_item(py::handle container, py::handle key) {
    return vm::steal(PyObject_GetItem(container.ptr(), key.ptr()));
}

void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

void del_item(py::handle container, py::handle key) {
    if (PyObject_DelItem(container.ptr(), key.ptr()) < 0) throw py::error_already_set();
}

py::object none() { return py::none(); }

// print(text, file=sys.stderr); a stream that cannot take the line (closed,
// missing) does not turn a warning into a failure.
void warn(py::module_& m, const char* prefix, const py::error_already_set& error) {
    try {
        py::str line = vm::concat({py::str(prefix), vm::error_str(error)});
        py::object file = vm::global(m, "sys").attr("stderr");
        vm::builtin("print")(line, py::arg("file") = file);
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
    }
}

void make_folder(py::module_& m, py::handle folder, const char* warning) {
    try {
        vm::global(m, "os").attr("makedirs")(folder, py::arg("exist_ok") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        warn(m, warning, e);
    }
}

// How many times the store in `storage` has replaced its data file, as its
// private counter tells; null for a stand-in in its place that keeps none.
py::object replacements(py::handle storage) {
    py::object counter = py::getattr(storage, "_replacements", py::none());
    return counter.is_none() ? py::object() : counter();
}

// Runs `save` on `self`; when it raises before the store replaced its file,
// `undo` puts the settings back as they were, so memory and file agree, and
// the save's error goes on. A save that raised after the file took the
// change (an interrupt once it was written) keeps it. Without a counter to
// tell (a stand-in store), any error undoes. A failing undo is reported as
// unraisable so the save's error stays the one the caller sees.
template <class Undo>
void save_or_undo(py::handle self, Undo&& undo) {
    py::object storage = py::getattr(self, "storage", py::none());
    py::object before = replacements(storage);
    try {
        self.attr("save")();
    } catch (py::error_already_set&) {
        try {
            if (!before || before.equal(replacements(storage))) undo();
        } catch (py::error_already_set& undo_error) {
            if (!vm::is_exception(undo_error)) throw;
            undo_error.discard_as_unraisable(self.attr("save"));
        }
        throw;
    }
}

py::dict defaults(py::handle default_folder) {
    py::dict quietshelf, spotify, services, settings;
    quietshelf["enabled"] = py::bool_(true);
    quietshelf["auto_login"] = py::bool_(false);
    spotify["enabled"] = py::bool_(true);
    spotify["auto_connect"] = py::bool_(false);
    services["quietshelf"] = quietshelf;
    services["spotify"] = spotify;

    settings["download_folder"] = default_folder;
    settings["auto_refresh_interval"] = py::int_(86400);
    settings["last_refresh"] = py::none();
    settings["skip_forward_seconds"] = py::int_(30);
    settings["skip_backward_seconds"] = py::int_(15);
    settings["default_volume"] = py::int_(100);
    settings["audio_device"] = py::str("Default");
    settings["earcons_enabled"] = py::bool_(true);
    settings["earcons_volume"] = py::int_(-10);
    settings["speak_notifications"] = py::bool_(true);
    settings["auto_check_episodes_on_startup"] = py::bool_(true);
    settings["play_logo_on_startup"] = py::bool_(true);
    settings["auto_open_player_dialog"] = py::bool_(true);
    settings["services"] = services;
    return settings;
}

py::object consolidated_storage_class() {
    py::module_ storage = py::module_::import("data.storage");
    if (!py::hasattr(storage, "ConsolidatedStorage")) {
        if (py::hasattr(storage, "__file__"))
            PyErr_Format(PyExc_ImportError, "cannot import name 'ConsolidatedStorage' from 'data.storage' (%S)",
                         storage.attr("__file__").ptr());
        else
            PyErr_SetString(PyExc_ImportError,
                            "cannot import name 'ConsolidatedStorage' from 'data.storage' (unknown location)");
        throw py::error_already_set();
    }
    return storage.attr("ConsolidatedStorage");
}

py::object init(py::module_& m, const Args& a) {
    py::handle self = a.self();
    self.attr("app_name") = py::str("Velmora");
    py::object home = vm::global(m, "Path").attr("home")();
    self.attr("default_folder") = vm::global(m, "os").attr("path").attr("join")(home, "Documents", self.attr("app_name"));
    py::object storage_class = consolidated_storage_class();
    self.attr("storage") = storage_class();
    self.attr("settings") = defaults(self.attr("default_folder"));
    self.attr("_ensure_data_folder")();
    self.attr("load")();
    return none();
}

bool is_mapping(py::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    py::object mapping = py::module_::import("collections.abc").attr("Mapping");
    int r = PyObject_IsInstance(value.ptr(), mapping.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object load(const Args& a) {
    py::handle self = a.self();
    py::object loaded = self.attr("storage").attr("get_section")("config");
    // A section that is not a map (a hand-edited file) leaves the defaults:
    // the next save writes the settings over it.
    if (!is_mapping(loaded) || !vm::truthy(loaded)) return none();
    self.attr("settings").attr("update")(loaded);
    return none();
}

py::object save(const Args& a) {
    py::handle self = a.self();
    self.attr("storage").attr("set_section")("config", self.attr("settings"));
    return none();
}

py::object get(const Args& a) { return a.self().attr("settings").attr("get")(a[1], a[2]); }

py::object set(const Args& a) {
    py::handle self = a.self(), key = a[1], value = a[2];
    py::object settings = self.attr("settings");
    const bool had = vm::contains(settings, key);
    py::object previous = had ? get_item(settings, key) : py::object();
    set_item(settings, key, value);
    save_or_undo(self, [&] {
        if (had)
            set_item(settings, key, previous);
        else if (vm::contains(settings, key))
            del_item(settings, key);
    });
    return none();
}

// settings.get(key, fallback)
py::object setting(py::handle self, const char* key, py::handle fallback) {
    return self.attr("settings").attr("get")(key, fallback);
}

py::object set_download_folder(py::module_& m, const Args& a) {
    py::handle self = a.self(), folder = a[1];
    self.attr("set")("download_folder", folder);
    make_folder(m, folder, "Warning: Could not create download folder: ");
    return none();
}

py::object get_service_setting(const Args& a) {
    py::handle self = a.self(), service = a[1], key = a[2], fallback = a[3];
    py::object services = setting(self, "services", py::dict());
    py::object options = services.attr("get")(service, py::dict());
    return options.attr("get")(key, fallback);
}

py::object set_service_setting(const Args& a) {
    py::handle self = a.self(), service = a[1], key = a[2], value = a[3];
    py::object settings = self.attr("settings");
    py::str services_key("services");
    const bool new_services = !vm::contains(settings, services_key);
    if (new_services) set_item(settings, services_key, py::dict());
    py::object services = get_item(settings, services_key);
    const bool new_service = !vm::contains(services, service);
    if (new_service) set_item(services, service, py::dict());
    py::object options = get_item(services, service);
    const bool had = vm::contains(options, key);
    py::object previous = had ? get_item(options, key) : py::object();
    set_item(options, key, value);
    save_or_undo(self, [&] {
        // Take back exactly what this call added.
        if (new_services) {
            if (vm::contains(settings, services_key)) del_item(settings, services_key);
        } else if (new_service) {
            if (vm::contains(services, service)) del_item(services, service);
        } else if (had) {
            set_item(options, key, previous);
        } else if (vm::contains(options, key)) {
            del_item(options, key);
        }
    });
    return none();
}

py::object should_auto_refresh(const Args& a) {
    py::handle self = a.self();
    py::object last_refresh = self.attr("get")("last_refresh");
    py::object interval = self.attr("get")("auto_refresh_interval", 86400);
    if (!vm::truthy(last_refresh)) return py::bool_(true);
    try {
        py::object datetime = py::module_::import("datetime").attr("datetime");
        py::object last_time = datetime.attr("fromisoformat")(last_refresh);
        py::object now = datetime.attr("now")();
        py::object elapsed = vm::steal(PyNumber_Subtract(now.ptr(), last_time.ptr())).attr("total_seconds")();
        return vm::steal(PyObject_RichCompare(elapsed.ptr(), interval.ptr(), Py_GE));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return py::bool_(true);
        throw;
    }
}

py::object update_last_refresh(const Args& a) {
    py::object now = py::module_::import("datetime").attr("datetime").attr("now")();
    a.self().attr("set")("last_refresh", now.attr("isoformat")());
    return none();
}

// A setter that stores its argument unchanged under `key`.
vm::Body plain_setter(const char* key) {
    return [key](const Args& a) {
        a.self().attr("set")(key, a[1]);
        return none();
    };
}

// A getter of `key` with its fallback.
vm::Body getter(const char* key, py::object fallback) {
    return [key, fallback](const Args& a) { return setting(a.self(), key, fallback); };
}

}  // namespace

void define_config(py::module_& m) {
    using vm::arg;
    using vm::self;
    vm::ClassBuilder b(m, "Config", "Manages application configuration and settings.");
    b.method("__init__", {self()}, [m](const Args& a) mutable { return init(m, a); },
             "Initialize configuration with default values.");
    b.method("_ensure_data_folder", {self()},
             [m](const Args& a) mutable {
                 make_folder(m, a.self().attr("default_folder"), "Warning: Could not create data folder: ");
                 return none();
             },
             "Create the data folder if it doesn't exist.");
    b.method("load", {self()}, load, "Load configuration from consolidated storage.");
    b.method("save", {self()}, save, "Save configuration to consolidated storage.");
    b.method("get", {self(), arg("key"), arg("default").def(py::none())}, get, "Get a configuration value.");
    b.method("set", {self(), arg("key"), arg("value")}, set, "Set a configuration value and save.");
    b.method("get_download_folder", {self()},
             [](const Args& a) { return setting(a.self(), "download_folder", a.self().attr("default_folder")); },
             "Get the configured download folder.");
    b.method("set_download_folder", {self(), arg("folder")},
             [m](const Args& a) mutable { return set_download_folder(m, a); }, "Set the download folder.");
    b.method("get_service_setting", {self(), arg("service"), arg("key"), arg("default").def(py::none())},
             get_service_setting, "Get a service-specific setting.");
    b.method("set_service_setting", {self(), arg("service"), arg("key"), arg("value")}, set_service_setting,
             "Set a service-specific setting and save.");
    b.method("get_audio_device", {self()}, getter("audio_device", py::str("Default")),
             "Get the configured audio device name.");
    b.method("set_audio_device", {self(), arg("device_name")}, plain_setter("audio_device"),
             "Set the audio device.");
    b.method("should_auto_refresh", {self()}, should_auto_refresh, "Check if auto-refresh interval has elapsed.");
    b.method("update_last_refresh", {self()}, update_last_refresh, "Update last refresh timestamp to now.");
    b.method("get_earcons_enabled", {self()}, getter("earcons_enabled", py::bool_(true)),
             "Get whether earcons are enabled.");
    b.method("set_earcons_enabled", {self(), arg("enabled")}, plain_setter("earcons_enabled"),
             "Set whether earcons are enabled.");
    b.method("get_earcons_volume", {self()}, getter("earcons_volume", py::int_(-10)), "Get earcon volume in dB.");
    b.method("set_earcons_volume", {self(), arg("volume")}, plain_setter("earcons_volume"),
             "Set earcon volume in dB.");
    b.method("get_speak_notifications", {self()}, getter("speak_notifications", py::bool_(true)),
             "Return whether spoken notifications are enabled.");
    b.method("set_speak_notifications",
             {self(), arg("enabled").ann(vm::builtin("bool"))},
             [](const Args& a) {
                 a.self().attr("set")("speak_notifications", py::bool_(vm::truthy(a[1])));
                 return none();
             },
             "Enable or disable spoken notifications.");
    b.build();
}

}  // namespace velmora::config
