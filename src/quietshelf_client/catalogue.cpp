// The catalogue of QuietshelfClient: the search page of a kind ("movies" or
// "shows"), the recent additions on the home page, and the result tables
// both of them show. Beautiful Soup with "html.parser" does all the parsing;
// the look-ups are its own (find, find_all, find_next in document order).
#include "exit_gate.hpp"
#include "quietshelf.hpp"

namespace velmora::quietshelf {
namespace {

const char* const kSearchDoc =
    "Search the catalogue of one kind.\n"
    "\n"
    "Args:\n"
    "    query: The search term\n"
    "    kind: \"movies\" or \"shows\"\n"
    "\n"
    "Returns:\n"
    "    The entries of the first result table, in table order\n";

const char* const kRecentsDoc =
    "List the recent additions of one kind from the home page.\n"
    "\n"
    "Args:\n"
    "    kind: \"movies\" or \"shows\"\n";

// table.find_next("td") and the like: the first such element after the
// start of `element`, anywhere further on in the document.
py::object next_element(py::handle element, py::handle name) {
    return vm::call_method(element, VM_STR("find_next"), name);
}

py::object stripped_text(py::handle element) {
    return vm::call_method(vm::call_method(element, VM_STR("get_text")), VM_STR("strip"));
}

// kind[:1].upper() + kind[1:].lower(): "movies" gives "Movies", "TV" "Tv".
py::object capitalised(py::handle kind) {
    vm::require_text(kind, "kind");
    const Py_ssize_t n = PyUnicode_GET_LENGTH(kind.ptr());
    py::object first = vm::call_method(vm::steal(PyUnicode_Substring(kind.ptr(), 0, 1)), VM_STR("upper"));
    py::object rest = vm::call_method(vm::steal(PyUnicode_Substring(kind.ptr(), 1, n)), VM_STR("lower"));
    return vm::steal(PyUnicode_Concat(first.ptr(), rest.ptr()));
}

// The first "h5" whose stripped text starts with "Recent" and holds the
// capitalised kind; a null object when there is none.
py::object recent_heading(py::handle soup, py::handle kind_word) {
    for (py::handle heading : vm::call_method(soup, VM_STR("find_all"), VM_STR("h5"))) {
        py::object text = stripped_text(heading);
        if (vm::truthy(vm::call_method(text, VM_STR("startswith"), VM_STR("Recent"))) && vm::contains(text, kind_word))
            return py::reinterpret_borrow<py::object>(heading);
    }
    return py::object();
}

// The record of one row, or a null object when the row lacks a cell, the
// link or a value.
py::object row_item(py::module_& m, py::handle row, py::handle kind) {
    py::object id_cell = next_element(row, VM_STR("td"));
    if (id_cell.is_none()) return py::object();
    py::object name_cell = next_element(id_cell, VM_STR("td"));
    if (name_cell.is_none()) return py::object();
    py::object link_cell = next_element(name_cell, VM_STR("td"));
    if (link_cell.is_none()) return py::object();
    py::object link = vm::call_method(link_cell, VM_STR("find"), VM_STR("a"));
    if (link.is_none()) return py::object();

    py::object id = stripped_text(id_cell);
    py::object name = stripped_text(name_cell);
    py::object href = vm::call_method(link, VM_STR("get"), VM_STR("href"));
    if (!vm::truthy(id) || !vm::truthy(name) || !vm::truthy(href)) return py::object();
    return vm::global(m, "QuietshelfItem")(id, name, href, kind);
}

}  // namespace

void add_catalogue_methods(vm::ClassBuilder& b, py::module_& m) {
    py::object items = item_list_annotation(m);

    // search(self, query: str, kind: str = "movies") -> List[QuietshelfItem]
    b.method(
        "search", {vm::self(), vm::arg("query").text_ann(), vm::arg("kind").text_ann().def(py::str("movies"))},
        [m](const vm::Args& a) mutable -> py::object {
            py::handle self = a.self();
            try {
                // An absolute path: any path of the base address is dropped.
                py::object url = vm::global(m, "urljoin")(vm::get_attr(self, VM_STR("base_url")), vm::text("/", a[2]));
                py::dict params;
                params["search"] = a[1];
                py::object page =
                    vm::blocking_call(vm::get_attr(vm::get_attr(self, VM_STR("session")), VM_STR("get")), url,
                                      py::arg("params") = params, py::arg("timeout") = request_timeout());
                vm::call_method(page, VM_STR("raise_for_status"));
                return vm::call_method(self, VM_STR("_parse_pages"), vm::get_attr(page, VM_STR("text")), a[2]);
            } catch (py::error_already_set& e) {
                if (!is_request_error(m, e)) throw;
                raise_api_error_from(m, "Search request failed: ", e);
            }
        },
        kSearchDoc, items);

    // get_recents(self, kind: str = "movies") -> List[QuietshelfItem]
    b.method(
        "get_recents", {vm::self(), vm::arg("kind").text_ann().def(py::str("movies"))},
        [m](const vm::Args& a) mutable -> py::object {
            py::handle self = a.self();
            py::handle kind = a[1];
            try {
                py::object page =
                    vm::blocking_call(vm::get_attr(vm::get_attr(self, VM_STR("session")), VM_STR("get")),
                                      vm::get_attr(self, VM_STR("base_url")), py::arg("timeout") = request_timeout());
                vm::call_method(page, VM_STR("raise_for_status"));
                py::object soup = parse_html(m, vm::get_attr(page, VM_STR("text")));
                py::object heading = recent_heading(soup, capitalised(kind));
                if (!heading) {
                    vm::log(vm::global(m, "logger"), "warning", vm::text("Could not locate section for recent ", kind));
                    return py::list();
                }
                py::object table = next_element(heading, VM_STR("tbody"));
                if (table.is_none()) return py::list();
                return vm::call_method(self, VM_STR("_parse_page"), table, kind);
            } catch (py::error_already_set& e) {
                if (!is_request_error(m, e)) throw;
                raise_api_error_from(m, "Request failed: ", e);
            }
        },
        kRecentsDoc, items);

    // _parse_pages(self, text: str, kind: str) -> List[QuietshelfItem]
    b.method(
        "_parse_pages", {vm::self(), vm::arg("text").text_ann(), vm::arg("kind").text_ann()},
        [m](const vm::Args& a) mutable -> py::object {
            // Only the first table body of the page is read.
            py::object table = vm::call_method(parse_html(m, a[1]), VM_STR("find"), VM_STR("tbody"));
            if (table.is_none()) return py::list();
            return vm::call_method(a.self(), VM_STR("_parse_page"), table, a[2]);
        },
        "Read the entries of the first result table of a page.", items);

    // _parse_page(self, table, kind: str) -> List[QuietshelfItem]
    b.method(
        "_parse_page", {vm::self(), vm::arg("table"), vm::arg("kind").text_ann()},
        [m](const vm::Args& a) mutable -> py::object {
            py::list found;
            for (py::handle row : vm::call_method(a[1], VM_STR("find_all"), VM_STR("tr"))) {
                try {
                    py::object item = row_item(m, row, a[2]);
                    if (item) found.append(item);
                } catch (py::error_already_set& e) {
                    if (!vm::is_exception(e)) throw;
                    vm::log(vm::global(m, "logger"), "warning", vm::text("Error parsing row: ", e.value()));
                }
            }
            return found;
        },
        "Read the entries of the rows of one result table.", items);
}

}  // namespace velmora::quietshelf
