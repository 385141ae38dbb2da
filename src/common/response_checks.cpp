// Checks of a streamed response. See response_checks.hpp.
#include "response_checks.hpp"

#include <climits>
#include <string>

namespace vm {
namespace {

// `str(headers.get(name, "")).strip().lower()`.
py::object header_word(py::handle headers, const char* name) {
    py::object value = call_method(headers, VM_STR("get"), py::str(name), VM_STR(""));
    return call_method(call_method(py::str(value), VM_STR("strip")), VM_STR("lower"));
}

// Transfer-Encoding names "chunked" among its codings, as urllib3 reads it.
bool is_chunked(py::handle headers) {
    py::object codings = call_method(header_word(headers, "transfer-encoding"), VM_STR("split"), VM_STR(","));
    for (py::handle coding : py::iter(codings)) {
        if (call_method(coding, VM_STR("strip")).equal(py::str("chunked"))) return true;
    }
    return false;
}

// A body that requests decodes: what arrives is not what the wire brought.
bool is_content_coded_header(py::handle headers) {
    py::object coding = header_word(headers, "content-encoding");
    return !coding.equal(py::str("")) && !coding.equal(py::str("identity"));
}

// Answers that have no body whatever their headers say: 1xx, 204, 304.
bool never_has_body(py::handle response) {
    py::object status = get_attr(response, VM_STR("status_code"));
    if (!PyLong_Check(status.ptr())) return false;
    const long code = PyLong_AsLong(status.ptr());
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return (code >= 100 && code < 200) || code == 204 || code == 304;
}

// `response.raw.tell()`: urllib3 counts every byte it reads off the wire,
// before decoding. Null when the raw body keeps no such count.
py::object wire_count(py::handle response) {
    py::object raw = readable_attr(response, VM_STR("raw"));
    if (!raw) return py::object();
    py::object tell = readable_attr(raw, VM_STR("tell"));
    if (!tell) return py::object();
    try {
        py::object count = tell();
        if (PyLong_Check(count.ptr()) && !PyBool_Check(count.ptr())) return count;
    } catch (py::error_already_set& error) {
        if (!is_exception(error)) throw;
    }
    return py::object();
}

[[noreturn]] void raise_error(py::handle error_type, py::handle text) {
    PyErr_SetObject(error_type.ptr(), text.ptr());
    throw py::error_already_set();
}

// Decimal digits from `i` on, as a number; null when there are none or too many.
std::optional<long long> digits_at(const std::string& text, size_t& i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    long long n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (n > (LLONG_MAX - 9) / 10) return std::nullopt;
        n = n * 10 + (text[i] - '0');
    }
    return n;
}

// The checks of the bytes that came off the wire.
void check_wire_bytes(py::handle error_type, const ExpectedBody& expected, py::handle response,
                      long long delivered) {
    if (!expected.wire_bytes && !expected.until_close) return;
    py::object wire = wire_count(response);
    if (expected.until_close) {
        if (delivered == 0 && (!wire || compare(wire, py::int_(0), Py_LE)))
            raise_error(error_type, py::str("Connection closed early: no bytes arrived"));
        return;
    }
    // A decoded body is counted on the wire only: nothing to compare without
    // that count. A plain one arrives as it came, and what was handed out
    // counts too (a stand-in response may hand out bytes no urllib3 read).
    py::object handed = steal(PyLong_FromLongLong(delivered));
    py::object received;
    if (is_content_coded(response))
        received = wire;
    else
        received = (wire && compare(wire, handed, Py_GT)) ? wire : handed;
    if (!received || compare(received, expected.wire_bytes, Py_GE)) return;
    raise_error(error_type, text("Connection closed early: ", received, " of ", expected.wire_bytes, " bytes arrived"));
}

}  // namespace

void check_file_status(py::handle error_type, py::handle response) {
    py::object status = get_attr(response, VM_STR("status_code"));
    if (compare(status, py::int_(200), Py_GE) && compare(status, py::int_(300), Py_LT)) return;
    py::object reason = readable_attr(response, VM_STR("reason"));
    const bool named = reason && PyUnicode_Check(reason.ptr()) && PyUnicode_GET_LENGTH(reason.ptr()) > 0;
    raise_error(error_type, named ? text("Server answered ", status, " ", reason, " instead of the file")
                                  : text("Server answered ", status, " instead of the file"));
}

std::optional<ContentRange> parse_content_range(py::handle value) {
    const char* s = PyUnicode_AsUTF8(value.ptr());
    if (!s) throw py::error_already_set();
    std::string text(s);
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (text.compare(i, 5, "bytes") != 0) return std::nullopt;
    i += 5;
    while (i < text.size() && text[i] == ' ') ++i;
    auto first = digits_at(text, i);
    if (!first || i >= text.size() || text[i] != '-') return std::nullopt;
    ContentRange range;
    range.first = *first;
    ++i;
    if (digits_at(text, i) && i < text.size() && text[i] == '/') {
        ++i;
        range.total = digits_at(text, i);
        if (i != text.size()) range.total.reset();
    }
    return range;
}

std::optional<ContentRange> answer_range(py::handle response) {
    py::object value = get_attr(response, VM_STR("headers")).attr("get")("content-range");
    if (!PyUnicode_Check(value.ptr())) return std::nullopt;
    return parse_content_range(value);
}

std::optional<long long> whole_file_size(py::handle error_type, py::handle response, long long position) {
    if (!get_attr(response, VM_STR("status_code")).equal(py::int_(206))) return std::nullopt;
    auto named = answer_range(response);
    if (!named) return std::nullopt;
    if (named->first != position)
        raise_error(error_type,
                    text("The server sent part of the file from byte ", named->first, ", not from byte ", position));
    if (is_content_coded(response)) return std::nullopt;
    return named->total;
}

void check_whole_file(py::handle error_type, const std::optional<long long>& whole, long long size) {
    if (!whole || size == *whole) return;
    raise_error(error_type,
                size < *whole ? text("The server sent only part of the file: ", size, " of ", *whole, " bytes")
                              : text("The server sent more than the file: ", size, " bytes where it named ", *whole));
}

bool is_content_coded(py::handle response) { return is_content_coded_header(get_attr(response, VM_STR("headers"))); }

bool is_login_answer(py::handle response) {
    if (compare(get_attr(response, VM_STR("status_code")), py::int_(302), Py_EQ)) return true;
    py::object headers = get_attr(response, VM_STR("headers"));
    py::object type = call_method(headers, VM_STR("get"), VM_STR("Content-Type"), VM_STR(""));
    return truthy(call_method(type, VM_STR("startswith"), VM_STR("text/html")));
}

ExpectedBody expected_body(py::handle response, py::handle length) {
    py::object headers = get_attr(response, VM_STR("headers"));
    ExpectedBody expected;
    if (is_chunked(headers)) return expected;  // a length beside chunks is void
    // http.client reads a body of negative length as one without a length.
    if (length.is_none() || compare(length, py::int_(0), Py_LT))
        expected.until_close = !never_has_body(response);
    else if (compare(length, py::int_(0), Py_GT))
        expected.wire_bytes = py::reinterpret_borrow<py::object>(length);
    return expected;
}

void check_body_complete(py::handle error_type, const ExpectedBody& expected, py::handle response,
                         long long delivered, bool stream_ended) {
    check_wire_bytes(error_type, expected, response, delivered);
    if (stream_ended) return;
    // A body that ends with its connection was cut there. One that brought
    // all its length or framing names came as the server sent it: the
    // stream itself stops short (a server or proxy that cut it and
    // announced the cut), and no connection closed early.
    if (expected.until_close)
        raise_error(error_type, py::str("Connection closed early: the compressed body stopped before its end"));
    raise_error(error_type, py::str("The compressed data stopped before its end"));
}

}  // namespace vm