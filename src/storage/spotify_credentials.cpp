// SpotifyCredentialsStorage: the client identifier and redirect address in the
// section "spotify_credentials", the client secret in the system credential
// store through the module's `keyring`.
//
// `keyring`, `KEYRING_AVAILABLE`, `PasswordDeleteError`, `logger` and
// `datetime` are module globals read at each call, so the host and tests can
// replace them.
#include "storage.hpp"

namespace velmora::storage {
namespace {

constexpr const char* kSection = "spotify_credentials";
constexpr const char* kDefaultRedirect = "http://127.0.0.1:8888/callback";

bool keyring_available(py::handle mod) { return vm::truthy(vm::global(mod, "KEYRING_AVAILABLE")); }

py::object keyring_of(py::handle mod) { return vm::global(mod, "keyring"); }

py::object logger_of(py::handle mod) { return vm::global(mod, "logger"); }

py::object service_name(py::handle self) { return self.attr("_SERVICE_NAME"); }

py::object data_get(py::handle self, const char* key, py::handle fallback) {
    return self.attr("data").attr("get")(key, fallback);
}

// As `raise RuntimeError(text) from cause` inside the handler of `cause`.
[[noreturn]] void raise_runtime_from(const char* text, const py::error_already_set& cause) {
    py::object value = cause.value();
    if (cause.trace() && PyExceptionInstance_Check(value.ptr()))
        PyException_SetTraceback(value.ptr(), cause.trace().ptr());
    py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(text);
    PyException_SetCause(error.ptr(), value.inc_ref().ptr());  // steals; suppresses the context
    {
        // Raised while `cause` is being handled, so `cause` is its context as
        // well (and not whatever the caller happens to be handling).
        vm::HandledException handling(value);
        PyErr_SetObject(PyExc_RuntimeError, error.ptr());
    }
    throw py::error_already_set();
}

// Deletes the credential-store entry of an identifier that a save replaced.
// A failure is logged and the save goes on.
void remove_replaced_secret(py::handle mod, py::handle self, py::handle client_id) {
    try {
        keyring_of(mod).attr("delete_password")(service_name(self), client_id);
    } catch (py::error_already_set& e) {
        if (e.matches(vm::global(mod, "PasswordDeleteError"))) {
            logger_of(mod).attr("warning")("Unable to remove previous Spotify secret from keyring for client %s",
                                           client_id);
        } else if (vm::is_exception(e)) {
            logger_of(mod).attr("error")("Unexpected error clearing previous Spotify secret: %s", e.value());
        } else {
            throw;
        }
    }
}

py::object save_credentials(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    py::object client_id = a[1].attr("strip")();
    py::object redirect_uri = a[3].attr("strip")();

    if (!keyring_available(mod)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "keyring library not available - cannot store Spotify credentials securely");
        throw py::error_already_set();
    }
    if (!vm::truthy(client_id)) {
        PyErr_SetString(PyExc_ValueError, "Spotify Client ID is required");
        throw py::error_already_set();
    }

    // Text the data file cannot hold (lone surrogates) is refused before the
    // credential store is touched, with the error a save would raise.
    encode_document_utf8(py::make_tuple(client_id, redirect_uri));

    py::object existing_client_id = data_get(self, "client_id", py::none());

    // The new secret is stored first, and the previous identifier's secret
    // goes only once the data file names the new one: when either fails,
    // the file still names the previous identifier, and its secret is there.
    try {
        py::object set_password = keyring_of(mod).attr("set_password");
        py::object service = service_name(self);
        set_password(service, client_id, a[2].attr("strip")());
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        logger_of(mod).attr("error")("Failed to store Spotify secret in keyring: %s", e.value());
        raise_runtime_from("Unable to store Spotify Client Secret securely", e);
    }

    py::dict data;
    data["client_id"] = client_id;
    data["redirect_uri"] = vm::truthy(redirect_uri) ? redirect_uri : py::str(kDefaultRedirect);
    data["updated_date"] = now_text(mod);
    py::object previous = self.attr("data");
    self.attr("data") = data;
    py::object saved;
    try {
        saved = self.attr("save")();
    } catch (py::error_already_set& e) {
        // The section is back as it was (the store puts it back); so is the view.
        if (vm::is_exception(e)) self.attr("data") = previous;
        throw;
    }
    // A failed write (a full disk, a read-only folder) answers False and no
    // more; the file then names the previous identifier after a restart.
    const bool written = !saved.is(py::bool_(false));
    if (written && vm::truthy(existing_client_id) && existing_client_id.not_equal(client_id))
        remove_replaced_secret(mod, self, existing_client_id);
    return py::none();
}

py::object get_credentials(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    self.attr("load")();
    py::object client_id = data_get(self, "client_id", py::str(""));
    py::object redirect_uri = data_get(self, "redirect_uri", py::str(kDefaultRedirect));
    py::object client_secret = py::str("");

    if (keyring_available(mod) && vm::truthy(client_id)) {
        try {
            py::object secret = keyring_of(mod).attr("get_password")(service_name(self), client_id);
            if (vm::truthy(secret)) client_secret = secret;
        } catch (py::error_already_set& e) {
            if (!vm::is_exception(e)) throw;
            logger_of(mod).attr("error")("Failed to retrieve Spotify secret from keyring: %s", e.value());
        }
    }

    py::dict result;
    result["client_id"] = client_id;
    result["client_secret"] = client_secret;
    result["redirect_uri"] = redirect_uri;
    return result;
}

py::object has_credentials(py::handle mod, const vm::Args& a) {
    if (!keyring_available(mod)) return py::bool_(false);
    py::object creds = a.self().attr("get_credentials")();
    for (const char* key : {"client_id", "client_secret", "redirect_uri"})
        if (!vm::truthy(creds[py::str(key)])) return py::bool_(false);
    return py::bool_(true);
}

py::object clear_credentials(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    py::object client_id = data_get(self, "client_id", py::none());
    if (keyring_available(mod) && vm::truthy(client_id)) {
        try {
            keyring_of(mod).attr("delete_password")(service_name(self), client_id);
        } catch (py::error_already_set& e) {
            if (e.matches(vm::global(mod, "PasswordDeleteError"))) {
                logger_of(mod).attr("info")("Spotify secret already removed from keyring");
            } else if (vm::is_exception(e)) {
                logger_of(mod).attr("error")("Failed to clear Spotify secret from keyring: %s", e.value());
            } else {
                throw;
            }
        }
    }
    self.attr("clear")();
    return py::none();
}

}  // namespace

void define_spotify_credentials_storage(py::module_& m) {
    py::handle mod = m;  // the module outlives its classes
    vm::ClassBuilder b(m, "SpotifyCredentialsStorage", "Storage for Spotify API credentials.",
                       py::make_tuple(m.attr("DataStorage")));
    b.attr("_SERVICE_NAME", py::str("Velmora-Spotify"));
    add_section_init(b, kSection);
    b.method("save_credentials",
             {vm::self(), vm::arg("client_id"), vm::arg("client_secret"), vm::arg("redirect_uri")},
             locked(m, [mod](const vm::Args& a) { return save_credentials(mod, a); }), "Save Spotify API credentials.");
    b.method("get_credentials", {vm::self()}, [mod](const vm::Args& a) { return get_credentials(mod, a); },
             "Get saved Spotify API credentials.");
    b.method("has_credentials", {vm::self()}, [mod](const vm::Args& a) { return has_credentials(mod, a); },
             "Check if credentials are configured.");
    b.method("clear_credentials", {vm::self()},
             locked(m, [mod](const vm::Args& a) { return clear_credentials(mod, a); }), "Clear all saved credentials.");
    b.build();
}

}  // namespace velmora::storage
