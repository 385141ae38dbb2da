// core.downloader: module body.
#include "downloader.hpp"

namespace py = pybind11;
using namespace velmora::downloader;

namespace {

void load(py::module_& m) {
    define_task_model(m);
    define_base_downloader(m);
    define_podcast_downloader(m);
}

}  // namespace

PYBIND11_MODULE(downloader, m) { load(m); }
