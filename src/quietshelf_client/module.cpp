// core.quietshelf_client: module body.
#include "quietshelf.hpp"

namespace py = pybind11;
using namespace velmora::quietshelf;

namespace {

void load(py::module_& m) {
    m.doc() = "Client for Quietshelf, the described-audio download service: log-in, search, recent additions "
              "and file downloads.";
    vm::import_into(m, "requests");
    vm::import_into(m, "logging");
    vm::import_into(m, "os");
    vm::from_import(m, "typing", {"List", "Optional", "Callable"});
    vm::from_import(m, "bs4", {"BeautifulSoup"});
    vm::from_import(m, "urllib.parse", {"urljoin"});
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    define_item(m);
    define_api_error(m);
    define_client(m);
}

}  // namespace

VM_MODULE(quietshelf_client, load)
