// PlaybackPositionStorage and BookmarkStorage: where playback of each media
// item stopped, and the user's labelled places in it.
#include "storage.hpp"

namespace velmora::storage {
namespace {

void define_playback_positions(py::module_& m) {
    vm::ClassBuilder b(m, "PlaybackPositionStorage", "Storage for playback positions.",
                       py::make_tuple(m.attr("DataStorage")));
    py::module_ mod = m;
    add_section_init(b, "playback_positions");

    b.method("save_position",
             {vm::self(), vm::arg("media_id"), vm::arg("position"),
              vm::arg("duration").def(py::none())},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::dict record;
                 record["position"] = a[2];
                 record["duration"] = a[3];
                 record["last_played"] = now_text(mod);
                 SavedChange change(self);
                 change.set(self.attr("data"), a[1], record);
                 change.save();
                 return py::object();
             }),
             "Save playback position for a media item.");

    b.method("get_position", {vm::self(), vm::arg("media_id")},
             [](const vm::Args& a) {
                 py::object data = a.self().attr("data");
                 if (!vm::contains(data, a[1])) return py::object(py::int_(0));
                 return py::object(data[a[1]].attr("get")(py::str("position")));
             },
             "Get saved playback position for a media item.");

    b.method("remove_position", {vm::self(), vm::arg("media_id")},
             [](const vm::Args& a) {
                 a.self().attr("delete")(a[1]);
                 return py::object();
             },
             "Remove saved position for a media item.");

    b.build();
}

void define_bookmarks(py::module_& m) {
    vm::ClassBuilder b(m, "BookmarkStorage", "Storage for bookmarks.",
                       py::make_tuple(m.attr("DataStorage")));
    py::module_ mod = m;
    add_section_init(b, "bookmarks");

    b.method("add_bookmark",
             {vm::self(), vm::arg("media_id"), vm::arg("position"),
              vm::arg("label").def(py::str(""))},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 SavedChange change(self);
                 if (!vm::contains(data, a[1])) change.set(data, a[1], py::list());
                 py::object bookmarks = data[a[1]];
                 change.keep_items(bookmarks);
                 py::dict record;
                 record["position"] = a[2];
                 record["label"] = a[3];
                 record["created"] = now_text(mod);
                 bookmarks.attr("append")(record);
                 change.save();
                 return py::object();
             }),
             "Add a bookmark for a media item.");

    b.method("get_bookmarks", {vm::self(), vm::arg("media_id")},
             [](const vm::Args& a) {
                 return py::object(a.self().attr("data").attr("get")(a[1], py::list()));
             },
             "Get all bookmarks for a media item.");

    b.method("remove_bookmark", {vm::self(), vm::arg("media_id"), vm::arg("index")},
             locked(mod, [](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 if (!vm::contains(data, a[1])) return py::object();
                 py::object bookmarks = data[a[1]];
                 // 0 <= index < len(bookmarks), the length taken only once the
                 // first comparison holds.
                 if (!compare(py::int_(0), a[2], Py_LE)) return py::object();
                 if (!compare(a[2], py::int_(py::len(bookmarks)), Py_LT)) return py::object();
                 SavedChange change(self);
                 change.keep_items(bookmarks);
                 if (PyObject_DelItem(bookmarks.ptr(), a[2].ptr()) < 0)
                     throw py::error_already_set();
                 if (py::len(bookmarks) == 0) {
                     // Taken out directly, so that the whole operation saves once.
                     change.keep(data, a[1]);
                     if (PyObject_DelItem(data.ptr(), a[1].ptr()) < 0)
                         throw py::error_already_set();
                 }
                 change.save();
                 return py::object();
             }),
             "Remove a specific bookmark by index.");

    b.method("clear_bookmarks", {vm::self(), vm::arg("media_id")},
             [](const vm::Args& a) {
                 a.self().attr("delete")(a[1]);
                 return py::object();
             },
             "Clear all bookmarks for a media item.");

    b.build();
}

}  // namespace

void define_playback_and_bookmarks(py::module_& m) {
    define_playback_positions(m);
    define_bookmarks(m);
}

}  // namespace velmora::storage
