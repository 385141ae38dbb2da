// Checks of a streamed response. See response_checks.hpp.
#include "response_checks.hpp"

#include <string>

namespace vm {

bool is_login_answer(py::handle response) {
    if (compare(get_attr(response, VM_STR("status_code")), py::int_(302), Py_EQ)) return true;
    py::object headers = get_attr(response, VM_STR("headers"));
    py::object type = call_method(headers, VM_STR("get"), VM_STR("Content-Type"), VM_STR(""));
    return truthy(call_method(type, VM_STR("startswith"), VM_STR("text/html")));
}

std::optional<long long> expected_body_bytes(py::handle headers, py::handle length) {
    py::object coding = call_method(headers, VM_STR("get"), VM_STR("content-encoding"), VM_STR(""));
    coding = call_method(call_method(py::str(coding), VM_STR("strip")), VM_STR("lower"));
    if (!coding.equal(py::str("")) && !coding.equal(py::str("identity"))) return std::nullopt;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || n <= 0) return std::nullopt;
    return n;
}

void check_body_complete(py::handle error_type, std::optional<long long> expected, long long received) {
    if (!expected || received >= *expected) return;
    const std::string text = "Connection closed early: " + std::to_string(received) + " of " +
                             std::to_string(*expected) + " bytes arrived";
    PyErr_SetString(error_type.ptr(), text.c_str());
    throw py::error_already_set();
}

}  // namespace vm
