// core.reelmoor: module body. Only the standard library is loaded here:
// yt-dlp is imported by each site operation when it runs, so the module and
// its text operations work where yt-dlp is missing.
#include "reelmoor.hpp"

namespace py = pybind11;
using namespace velmora::reelmoor;

namespace {

void load(py::module_& m) {
    m.doc() = "Reelmoor client for Velmora: search, channel listings and audio through yt-dlp.";
    for (const char* name : {"logging", "os", "re"}) vm::import_into(m, name);
    vm::from_import(m, "pathlib", {"Path"});
    vm::from_import(m, "typing", {"Any", "Dict", "List", "Optional", "Tuple", "Union"});
    vm::from_import(m, "urllib.parse", {"quote_plus"});
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    site_texts();
    define_records(m);
    define_client(m);
}

}  // namespace

VM_MODULE(reelmoor, load)
