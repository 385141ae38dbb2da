// core.quietshelf_client: the pieces of the module, defined in this order at
// load, and what they share.
#pragma once

#include "pyfunc.hpp"

namespace velmora::quietshelf {
namespace py = pybind11;

// item.cpp: QuietshelfItem.
void define_item(py::module_& m);

// api_error.cpp: QuietshelfAPIError.
void define_api_error(py::module_& m);
// Raises QuietshelfAPIError(message).
[[noreturn]] void raise_api_error(py::module_& m, const char* message);
// Raises QuietshelfAPIError(prefix + str(cause)) from `cause`.
[[noreturn]] void raise_api_error_from(py::module_& m, const char* prefix, const py::error_already_set& cause);
// True for an error of the requests family (requests.RequestException,
// looked up now).
bool is_request_error(py::module_& m, const py::error_already_set& error);

// client.cpp: QuietshelfClient, with the methods below in its class body.
void define_client(py::module_& m);

// catalogue.cpp: search, get_recents, _parse_pages, _parse_page.
void add_catalogue_methods(vm::ClassBuilder& b, py::module_& m);
// files.cpp: get_stream_url, download, _get_filename_from_headers.
void add_file_methods(vm::ClassBuilder& b, py::module_& m);

// The time-out of every request, in seconds (to connect, and between two
// reads of the answer): the downloaders' 30 seconds.
py::object request_timeout();

// BeautifulSoup(text, "html.parser"), through the module's BeautifulSoup.
py::object parse_html(py::module_& m, py::handle text);
// List[QuietshelfItem], for annotations.
py::object item_list_annotation(py::module_& m);

}  // namespace velmora::quietshelf
