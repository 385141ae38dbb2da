// data.storage: module body.
#include "storage.hpp"
#include "exit_gate.hpp"

namespace py = pybind11;
using namespace velmora::storage;

namespace {

// `import keyring` and `from keyring.errors import PasswordDeleteError`;
// without either, the credential store works without the system keyring.
void import_keyring(py::module_& m) {
    try {
        vm::import_into(m, "keyring");
        py::object errors = py::module_::import("keyring.errors");
        PyObject* type = PyObject_GetAttrString(errors.ptr(), "PasswordDeleteError");
        if (!type) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError,
                            "cannot import name 'PasswordDeleteError' from 'keyring.errors'");
            throw py::error_already_set();
        }
        m.attr("PasswordDeleteError") = py::reinterpret_steal<py::object>(type);
        m.attr("KEYRING_AVAILABLE") = true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("keyring") = py::none();
        m.attr("PasswordDeleteError") = py::reinterpret_borrow<py::object>(PyExc_Exception);
        m.attr("KEYRING_AVAILABLE") = false;
    }
}

}  // namespace

PYBIND11_MODULE(storage, m) {
    vm::install_exit_gate();
    m.doc() = "Data storage and persistence layer for Velmora.";

    vm::import_into(m, "json");
    vm::import_into(m, "logging");
    vm::import_into(m, "os");
    vm::from_import(m, "pathlib", {"Path"});
    vm::from_import(m, "datetime", {"datetime"});
    vm::import_into(m, "threading");

    import_keyring(m);

    m.attr("logger") = py::module_::import("logging").attr("getLogger")("data.storage");

    define_consolidated_storage(m);
    define_data_storage(m);
    define_subscription_storage(m);
    define_playback_and_bookmarks(m);
    define_radio_station_storage(m);
    define_download_metadata_storage(m);
    define_spotify_credentials_storage(m);
    define_spotify_storage(m);
    define_quietshelf_download_tracking(m);
}
