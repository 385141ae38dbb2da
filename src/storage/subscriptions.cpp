// SubscriptionStorage: podcast subscriptions and their new-episode tracking,
// kept in the section "subscriptions".
#include "storage.hpp"

namespace velmora::storage {
namespace {

const char* const kSection = "subscriptions";

// The two notes keep the indentation of a docstring written in a method body,
// as `__doc__` has it; inspect.getdoc gives them without it.
const char* const kAddDoc =
    "Add a podcast subscription.\n"
    "\n"
    "        Note: Description is NOT stored - it will be fetched dynamically from the RSS feed\n"
    "        to ensure it's always current.\n"
    "        ";

const char* const kUpdateMetadataDoc =
    "Update feed metadata (title, author).\n"
    "\n"
    "        Note: Description is intentionally NOT updated or stored - it will be fetched\n"
    "        dynamically from the RSS feed.\n"
    "        ";

}  // namespace

void define_subscription_storage(py::module_& m) {
    py::object base = m.attr("DataStorage");
    vm::ClassBuilder b(m, "SubscriptionStorage", "Storage for podcast subscriptions.",
                       py::make_tuple(base));
    py::module_ mod = m;
    add_section_init(b, kSection);

    b.method("add_subscription", {vm::self(), vm::arg("feed_url"), vm::arg("feed_data")},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object get = py::reinterpret_borrow<py::object>(a[2]).attr("get");
                 py::dict record;
                 record["url"] = a[1];
                 record["title"] = get(py::str("title"), py::str(""));
                 record["author"] = get(py::str("author"), py::str(""));
                 record["added_date"] = now_text(mod);
                 record["last_checked"] = py::none();
                 record["episode_hash"] = py::none();
                 record["last_episode_urls"] = py::list();
                 record["last_episode_check"] = py::none();
                 SavedChange change(self);
                 change.set(self.attr("data"), a[1], record);
                 change.save();
                 return py::object();
             }),
             kAddDoc);

    b.method("remove_subscription", {vm::self(), vm::arg("feed_url")},
             [](const vm::Args& a) {
                 a.self().attr("delete")(a[1]);
                 return py::object();
             },
             "Remove a podcast subscription.");

    b.method("get_all_subscriptions", {vm::self()},
             [](const vm::Args& a) { return py::object(a.self().attr("data")); },
             "Get all subscriptions.");

    b.method("update_last_checked", {vm::self(), vm::arg("feed_url")},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 if (!vm::contains(data, a[1])) return py::object();
                 SavedChange change(self);
                 change.set(data[a[1]], py::str("last_checked"), now_text(mod));
                 change.save();
                 return py::object();
             }),
             "Update the last checked timestamp for a feed.");

    b.method("update_feed_metadata",
             {vm::self(), vm::arg("feed_url"), vm::arg("title").def(py::none()),
              vm::arg("author").def(py::none())},
             locked(mod, [](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 if (!vm::contains(data, a[1])) return py::object();
                 py::object record = data[a[1]];
                 SavedChange change(self);
                 if (!a[2].is_none()) change.set(record, py::str("title"), a[2]);
                 if (!a[3].is_none()) change.set(record, py::str("author"), a[3]);
                 change.save();
                 return py::object();
             }),
             kUpdateMetadataDoc);

    b.method("update_episode_tracking",
             {vm::self(), vm::arg("feed_url"), vm::arg("episode_hash"), vm::arg("episode_urls")},
             locked(mod, [mod](const vm::Args& a) {
                 py::handle self = a.self();
                 py::object data = self.attr("data");
                 if (!vm::contains(data, a[1])) return py::object();
                 py::object record = data[a[1]];
                 SavedChange change(self);
                 change.set(record, py::str("episode_hash"), a[2]);
                 change.set(record, py::str("last_episode_urls"), a[3]);
                 change.set(record, py::str("last_episode_check"), now_text(mod));
                 change.save();
                 return py::object();
             }),
             "Update episode hash and URL list for new episode detection.");

    b.method("get_episode_hash", {vm::self(), vm::arg("feed_url")},
             [](const vm::Args& a) {
                 py::object data = a.self().attr("data");
                 if (!vm::contains(data, a[1])) return py::object(py::none());
                 return py::object(data[a[1]].attr("get")(py::str("episode_hash")));
             },
             "Get stored episode hash for a feed.");

    b.method("get_last_episode_urls", {vm::self(), vm::arg("feed_url")},
             [](const vm::Args& a) {
                 py::object data = a.self().attr("data");
                 if (!vm::contains(data, a[1])) return py::object(py::list());
                 return py::object(
                     data[a[1]].attr("get")(py::str("last_episode_urls"), py::list()));
             },
             "Get last known episode URLs for a feed.");

    b.build();
}

}  // namespace velmora::storage
