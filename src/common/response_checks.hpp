// Checks of a streamed `requests` response that more than one module makes:
// whether the service answered with its log-in page instead of a file,
// whether the answer carries a file at all and from which byte, whether the
// body comes in a content coding, and whether a body that ended brought every
// byte its header announced, the whole file its Content-Range names and,
// coded, the end of its stream.
#pragma once

#include <optional>

#include "pyfunc.hpp"

namespace vm {

// True when a file request was answered with the described-audio service's
// log-in page, which it sends to a session it does not know: a 302 (to the
// form), or an HTML page, `response.headers.get("Content-Type", "")`
// starting with "text/html" (exactly; "TEXT/HTML" does not).
bool is_login_answer(py::handle response);

// The answer names a content coding other than identity in its
// Content-Encoding: the bytes on the wire, which its Content-Length and any
// Content-Range count, are not the bytes of the file.
bool is_content_coded(py::handle response);

// raise_for_status() lets every status below 400 through, but only a 2xx
// answer carries the file (a 3xx that was not followed, a 304 or a final 1xx
// carry none): raises `error_type("Server answered 300 Multiple Choices
// instead of the file")`, without the reason when the answer has none
// (`response.reason` missing, not a str, or empty), for any other status.
void check_file_status(py::handle error_type, py::handle response);

// A Content-Range "bytes FIRST-LAST/TOTAL": its first byte, and the size of
// the whole file when it names one ("*" names none).
struct ContentRange {
    long long first = 0;
    std::optional<long long> total;
};

// `value`, a str, read as a Content-Range; null when it names no range of
// bytes (another unit, no first byte, a number past 63 bits).
std::optional<ContentRange> parse_content_range(py::handle value);

// The range `response.headers.get("content-range")` names, when it is a str
// that names one.
std::optional<ContentRange> answer_range(py::handle response);

// For the answer whose body is written to the file from byte `position` on:
// a 206 that names its part must start there, or it raises
// `error_type("The server sent part of the file from byte A, not from byte
// P")`. Returns the size the finished file must then have: the size of the
// whole file its range names, unless the body is content coded (its range
// counts coded bytes); null when nothing names it.
std::optional<long long> whole_file_size(py::handle error_type, py::handle response, long long position);

// Once the body ended with the file at `size` bytes: raises
// `error_type("The server sent only part of the file: S of N bytes")` or
// `error_type("The server sent more than the file: S bytes where it named
// N")` unless it is the `whole` size whole_file_size named.
void check_whole_file(py::handle error_type, const std::optional<long long>& whole, long long size);

// What the body of an answer must bring, known from its headers before the
// body is read. With the urllib3 that requests runs on, a connection that
// closes early ends the body quietly, whatever its length or coding said.
struct ExpectedBody {
    // The Content-Length, an int of any size: the bytes the wire must bring,
    // whether requests decodes them or not. Null when there is nothing to
    // compare: no length, a length of 0, or a chunked body (its framing marks
    // the end, and urllib3 raises when the end mark is missing).
    py::object wire_bytes;
    // No length and no framing: the body ends when the connection does, and
    // only a body of no bytes at all shows that it was cut.
    bool until_close = false;
};

// `length` is int(Content-Length), or None when the answer has none (a
// negative one counts as none, as http.client reads it).
ExpectedBody expected_body(py::handle response, py::handle length);

// After the body ended, `delivered` bytes of it having been handed out, and
// `stream_ended` what the body reader says of a coded body's stream
// (BodyChunks::whole): raises `error_type("Connection closed early: N of M
// bytes arrived")` when fewer than the announced M bytes came off the wire;
// `error_type("Connection closed early: no bytes arrived")` when a body
// without length or framing brought none; and, when the coded stream did not
// reach its end, `error_type("Connection closed early: the compressed body
// stopped before its end")` for a body that ended with its connection, or
// `error_type("The compressed data stopped before its end")` for one that
// brought all its length or framing named (a stream cut at a Content-Length
// of the cut, a gzip body without its trailer).
void check_body_complete(py::handle error_type, const ExpectedBody& expected, py::handle response,
                         long long delivered, bool stream_ended);

}  // namespace vm
