// DownloadMetadataStorage: which podcast episodes were downloaded and where
// their files are, as the host reports it (the files themselves are never
// looked at).
#include "storage.hpp"

namespace velmora::storage {

void define_download_metadata_storage(py::module_& m) {
    vm::ClassBuilder b(m, "DownloadMetadataStorage", "Storage for download metadata.",
                       py::make_tuple(m.attr("DataStorage")));
    py::module_ mod = m;
    add_section_init(b, "downloads");

    b.method("add_download",
             {vm::self(), vm::arg("episode_url"), vm::arg("local_path"),
              vm::arg("title").def(py::str("")), vm::arg("podcast_name").def(py::str(""))},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::dict record;
                 record["local_path"] = a[2];
                 record["title"] = a[3];
                 record["podcast_name"] = a[4];
                 record["download_date"] = now_text(mod);
                 SavedChange change(self);
                 change.set(self.attr("data"), a[1], record);
                 change.save();
                 return py::object();
             }),
             "Add download metadata.");

    b.method("get_download", {vm::self(), vm::arg("episode_url")},
             [](const vm::Args& a) {
                 return py::object(a.self().attr("data").attr("get")(a[1]));
             },
             "Get download metadata.");

    b.method("is_downloaded", {vm::self(), vm::arg("episode_url")},
             [](const vm::Args& a) {
                 return py::object(py::bool_(vm::contains(a.self().attr("data"), a[1])));
             },
             "Check if episode is downloaded.");

    b.method("remove_download", {vm::self(), vm::arg("episode_url")},
             [](const vm::Args& a) {
                 a.self().attr("delete")(a[1]);
                 return py::object();
             },
             "Remove download metadata.");

    b.build();
}

}  // namespace velmora::storage
