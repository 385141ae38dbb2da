// QuietshelfClient: the service through one requests session that lives as
// long as the client. The session sends a desktop browser's User-Agent and
// keeps the cookies the service hands out; after a log-in those cookies are
// what lets the catalogue pages, the file transfers and the downloader of
// core.downloader in. The log-in and its state are here; the catalogue
// (catalogue.cpp) and the file transfers (files.cpp) are methods of the same
// class. Every request gives up after 30 seconds without an answer (to
// connect, or between two reads of it), so a service that stays silent fails
// the call instead of holding it for ever.
#include "exit_gate.hpp"
#include "quietshelf.hpp"

namespace velmora::quietshelf {
namespace {

const char* const kDefaultBaseUrl = "https://quietshelf.com";
const char* const kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/121.0.0.0 "
    "Safari/537.36";

const char* const kClassDoc = "Client for the Quietshelf described-audio service.";

const char* const kInitDoc =
    "Create a client with its own web session (nothing is sent yet).\n"
    "\n"
    "Args:\n"
    "    base_url: The service's address; trailing slashes are dropped\n";

const char* const kLoginDoc =
    "Log in with the service's web form.\n"
    "\n"
    "Returns:\n"
    "    True when the service accepted the credentials, False when it showed the form again\n"
    "\n"
    "Raises:\n"
    "    QuietshelfAPIError: The log-in page or the form could not be used\n";

// The service answers a refused log-in with its form again.
const char* const kFormAgain = "<form method=\"POST\" action=";

}  // namespace

py::object parse_html(py::module_& m, py::handle text) {
    return vm::global(m, "BeautifulSoup")(text, "html.parser");
}

py::object request_timeout() { return py::int_(30); }

py::object item_list_annotation(py::module_& m) { return vm::subscript(m.attr("List"), m.attr("QuietshelfItem")); }

void define_client(py::module_& m) {
    vm::ClassBuilder b(m, "QuietshelfClient", kClassDoc);
    py::object str_type = vm::type_object(&PyUnicode_Type);
    py::object bool_type = vm::type_object(&PyBool_Type);

    // __init__(self, base_url: str = "https://quietshelf.com")
    b.method(
        "__init__", {vm::self(), vm::arg("base_url").text_ann().def(py::str(kDefaultBaseUrl))},
        [m](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            vm::require_text(a[1], "base_url");
            vm::set_attr(self, VM_STR("base_url"), vm::call_method(a[1], VM_STR("rstrip"), VM_STR("/")));
            py::object session = vm::global(m, "requests").attr("Session")();
            py::object headers = vm::get_attr(session, VM_STR("headers"));
            headers[py::str("User-Agent")] = py::str(kUserAgent);
            vm::set_attr(self, VM_STR("session"), session);
            vm::set_attr(self, VM_STR("logged_in"), Py_False);
            return py::none();
        },
        kInitDoc);

    // login(self, email: str, password: str) -> bool
    b.method(
        "login", {vm::self(), vm::arg("email").text_ann(), vm::arg("password").text_ann()},
        [m](const vm::Args& a) mutable -> py::object {
            py::handle self = a.self();
            try {
                py::object url = vm::global(m, "urljoin")(vm::get_attr(self, VM_STR("base_url")), "login");
                py::object session = vm::get_attr(self, VM_STR("session"));
                py::object page = vm::blocking_call(vm::get_attr(session, VM_STR("get")), url,
                                                    py::arg("timeout") = request_timeout());
                vm::call_method(page, VM_STR("raise_for_status"));

                py::dict wanted;
                wanted["type"] = "hidden";
                wanted["name"] = "_token";
                py::object token_input = parse_html(m, vm::get_attr(page, VM_STR("text")))
                                             .attr("find")("input", py::arg("attrs") = wanted);
                if (token_input.is_none()) raise_api_error(m, "Unable to retrieve login token");

                // requests leaves out a field whose value is None.
                py::dict form;
                form["_token"] = vm::call_method(token_input, VM_STR("get"), VM_STR("value"));
                form["email"] = a[1];
                form["password"] = a[2];
                py::object reply = vm::blocking_call(vm::get_attr(session, VM_STR("post")), url, py::arg("data") = form,
                                                     py::arg("timeout") = request_timeout());
                vm::call_method(reply, VM_STR("raise_for_status"));

                py::object text = vm::get_attr(reply, VM_STR("text"));
                if (vm::truthy(vm::call_method(text, VM_STR("startswith"), py::str(kFormAgain)))) {
                    vm::set_attr(self, VM_STR("logged_in"), Py_False);
                    return py::bool_(false);
                }
                vm::set_attr(self, VM_STR("logged_in"), Py_True);
                vm::log(vm::global(m, "logger"), "info", py::str("Successfully logged in to Quietshelf"));
                return py::bool_(true);
            } catch (py::error_already_set& e) {
                if (!is_request_error(m, e)) throw;
                raise_api_error_from(m, "Login request failed: ", e);
            }
        },
        kLoginDoc, bool_type);

    add_catalogue_methods(b, m);
    add_file_methods(b, m);

    // is_logged_in(self) -> bool
    b.method(
        "is_logged_in", {vm::self()},
        [](const vm::Args& a) { return vm::get_attr(a.self(), VM_STR("logged_in")); },
        "Whether the last log-in was accepted (no request is sent).", bool_type);

    b.build();
}

}  // namespace velmora::quietshelf
