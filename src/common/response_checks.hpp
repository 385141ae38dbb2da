// Checks of a streamed `requests` response that more than one module makes:
// whether the service answered with its log-in page instead of a file, and
// whether a body that ended brought every byte its header announced.
#pragma once

#include <optional>

#include "pyfunc.hpp"

namespace vm {

// True when a file request was answered with the described-audio service's
// log-in page, which it sends to a session it does not know: a 302 (to the
// form), or an HTML page, `response.headers.get("Content-Type", "")`
// starting with "text/html" (exactly; "TEXT/HTML" does not).
bool is_login_answer(py::handle response);

// The number of bytes the body must bring: `length` (the Content-Length as an
// int) when the body arrives as it was sent. None for a content-coded body
// (Content-Encoding other than "identity": requests decodes it, so another
// count arrives) and for a length that is not positive or does not fit.
std::optional<long long> expected_body_bytes(py::handle headers, py::handle length);

// With the urllib3 that requests runs on, a connection that closes before
// the announced length ends the body quietly. Raises
// `error_type("Connection closed early: N of M bytes arrived")` when fewer
// than `expected` bytes were `received`.
void check_body_complete(py::handle error_type, std::optional<long long> expected, long long received);

}  // namespace vm
