// QuietshelfItem: one entry of the service's catalogue, a film or a show with
// the download link its result table gives.
#include "quietshelf.hpp"

namespace velmora::quietshelf {

void define_item(py::module_& m) {
    vm::ClassBuilder b(m, "QuietshelfItem", "A film or show of the Quietshelf catalogue.");

    b.method("__init__",
             {vm::self(), vm::arg("id").text_ann(), vm::arg("name").text_ann(), vm::arg("download_url").text_ann(),
              vm::arg("kind").text_ann()},
             [](const vm::Args& a) -> py::object {
                 vm::set_attr(a.self(), VM_STR("id"), a[1]);
                 vm::set_attr(a.self(), VM_STR("name"), a[2]);
                 vm::set_attr(a.self(), VM_STR("download_url"), a[3]);
                 vm::set_attr(a.self(), VM_STR("kind"), a[4]);
                 return py::none();
             });

    b.method(
        "__repr__", {vm::self()},
        [](const vm::Args& a) -> py::object {
            py::handle self = a.self();
            auto shown = [&](py::handle name) { return py::repr(vm::get_attr(self, name)); };
            return vm::text("QuietshelfItem(id=", shown(VM_STR("id")), ", name=", shown(VM_STR("name")),
                            ", download_url=", shown(VM_STR("download_url")), ", kind=", shown(VM_STR("kind")), ")");
        },
        nullptr, vm::type_object(&PyUnicode_Type));

    b.build();
}

}  // namespace velmora::quietshelf
