// RadioStationStorage: the user's internet radio stations, numbered by the
// store and kept under the decimal text of their number.
#include "storage.hpp"

namespace velmora::storage {

void define_radio_station_storage(py::module_& m) {
    vm::ClassBuilder b(m, "RadioStationStorage", "Storage for internet radio stations.",
                       py::make_tuple(m.attr("DataStorage")));
    py::module_ mod = m;
    add_section_init(b, "radio_stations");

    b.method("add_station",
             {vm::self(), vm::arg("station_url"), vm::arg("name"),
              vm::arg("description").def(py::str(""))},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 // Numbers run 0, 1, 2 ... while nothing was removed. After a
                 // removal the count can be the number of a station that is
                 // still stored: go on counting up to the first free one.
                 py::int_ one(1);
                 py::object number = py::int_(py::len(data));
                 py::str key(number);
                 while (vm::contains(data, key)) {
                     number = number + one;
                     key = py::str(number);
                 }
                 py::dict record;
                 record["url"] = a[1];
                 record["name"] = a[2];
                 record["description"] = a[3];
                 record["added_date"] = now_text(mod);
                 SavedChange change(self);
                 change.set(data, key, record);
                 change.save();
                 return number;
             }),
             "Add a radio station.");

    b.method("get_station", {vm::self(), vm::arg("station_id")},
             [](const vm::Args& a) {
                 return py::object(a.self().attr("data").attr("get")(py::str(a[1])));
             },
             "Get a specific radio station by ID.");

    b.method("remove_station", {vm::self(), vm::arg("station_id")},
             [](const vm::Args& a) {
                 a.self().attr("delete")(py::str(a[1]));
                 return py::object();
             },
             "Remove a radio station.");

    b.method("get_all_stations", {vm::self()},
             [](const vm::Args& a) { return py::object(a.self().attr("data")); },
             "Get all radio stations.");

    b.method("update_station",
             {vm::self(), vm::arg("station_id"), vm::arg("name").def(py::none()),
              vm::arg("url").def(py::none()), vm::arg("description").def(py::none())},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::str key(a[1]);
                 py::object data = self.attr("data");
                 if (!vm::contains(data, key)) return py::object(py::bool_(false));
                 py::object record = data[key];
                 SavedChange change(self);
                 if (!a[2].is_none()) change.set(record, py::str("name"), a[2]);
                 if (!a[3].is_none()) change.set(record, py::str("url"), a[3]);
                 if (!a[4].is_none()) change.set(record, py::str("description"), a[4]);
                 change.set(record, py::str("updated_date"), now_text(mod));
                 change.save();
                 return py::object(py::bool_(true));
             }),
             "Update fields on an existing radio station.");

    b.build();
}

}  // namespace velmora::storage
