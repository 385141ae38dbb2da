// SpotifyStorage: favourite playlists, recent searches, the last playback
// device and the Spotify preferences, all in the section "spotify_data".
// Both lists hold the newest entry first and are capped.
#include "storage.hpp"

namespace velmora::storage {
namespace {

constexpr const char* kSection = "spotify_data";
constexpr size_t kMaxFavorites = 20;
constexpr size_t kMaxSearches = 50;

py::object data_of(py::handle self) { return self.attr("data"); }

// data[key], set to a new empty list first when absent.
py::object list_entry(py::handle data, py::handle key) {
    if (!vm::contains(data, key)) data[key] = py::list();
    return data[key];
}

// A new list of the entries whose "id" is not equal to `playlist_id`.
py::list without_playlist(py::handle entries, py::handle playlist_id) {
    py::list kept;
    for (py::handle entry : entries)
        if (compare(entry.attr("get")("id"), playlist_id, Py_NE)) kept.append(entry);
    return kept;
}

// A new list: `record`, then the first entries of `items`, `cap` in all.
py::list front_capped(py::handle record, const py::list& items, size_t cap) {
    py::list out;
    out.append(record);
    for (py::handle item : items) {
        if (py::len(out) >= cap) break;
        out.append(item);
    }
    return out;
}

// A new (or empty) section starts with the defaults, saved at once.
void fill_new_section(py::handle self) {
    if (!vm::truthy(data_of(self))) {
        py::dict preferences;
        preferences["auto_connect"] = py::bool_(false);
        preferences["default_search_type"] = py::str("track");
        preferences["show_explicit"] = py::bool_(true);
        py::dict data;
        data["favorite_playlists"] = py::list();
        data["recent_searches"] = py::list();
        data["last_device_id"] = py::none();
        data["preferences"] = preferences;
        self.attr("data") = data;
        self.attr("save")();
    }
}

py::object add_favorite_playlist(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::str key("favorite_playlists");
    SavedChange change(self);
    change.keep(data, key);
    py::list kept = without_playlist(list_entry(data, key), a[1]);
    data[key] = kept;
    py::dict record;
    record["id"] = a[1];
    record["name"] = a[2];
    record["added_date"] = now_text(mod);
    data[key] = front_capped(record, kept, kMaxFavorites);
    change.save();
    return py::none();
}

py::object remove_favorite_playlist(const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::str key("favorite_playlists");
    if (vm::contains(data, key)) {
        SavedChange change(self);
        change.keep(data, key);
        data[key] = without_playlist(data[key], a[1]);
        change.save();
    }
    return py::none();
}

py::object add_recent_search(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::handle query = a[1], search_type = a[2];
    py::str key("recent_searches");
    SavedChange change(self);
    change.keep(data, key);
    py::list kept;
    for (py::handle entry : list_entry(data, key)) {
        bool same = compare(entry.attr("get")("query"), query, Py_EQ) &&
                    compare(entry.attr("get")("type"), search_type, Py_EQ);
        if (!same) kept.append(entry);
    }
    data[key] = kept;
    py::dict record;
    record["query"] = query;
    record["type"] = search_type;
    record["date"] = now_text(mod);
    data[key] = front_capped(record, kept, kMaxSearches);
    change.save();
    return py::none();
}

py::object get_recent_searches(const vm::Args& a) {
    py::object searches = data_of(a.self()).attr("get")("recent_searches", py::list());
    // searches[:limit], with the runtime's slice rules.
    return searches[vm::steal(PySlice_New(nullptr, a[1].ptr(), nullptr))];
}

py::object clear_recent_searches(const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::str key("recent_searches");
    SavedChange change(self);
    change.keep(data, key);
    data[key] = py::list();
    change.save();
    return py::none();
}

py::object set_last_device(const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::str id_key("last_device_id"), name_key("last_device_name");
    SavedChange change(self);
    change.keep(data, id_key);
    change.keep(data, name_key);
    data[id_key] = a[1];
    data[name_key] = a[2];
    change.save();
    return py::none();
}

py::object get_last_device(const vm::Args& a) {
    py::object data = data_of(a.self());
    py::dict device;
    device["id"] = data.attr("get")("last_device_id");
    device["name"] = data.attr("get")("last_device_name");
    return device;
}

py::object set_preference(const vm::Args& a) {
    py::handle self = a.self();
    py::object data = data_of(self);
    py::str key("preferences");
    SavedChange change(self);
    change.keep(data, key);
    if (!vm::contains(data, key)) data[key] = py::dict();
    py::object preferences = data[key];
    change.keep(preferences, a[1]);
    preferences[a[1]] = a[2];
    change.save();
    return py::none();
}

py::object get_preference(const vm::Args& a) {
    py::object preferences = data_of(a.self()).attr("get")("preferences", py::dict());
    return preferences.attr("get")(a[1], a[2]);
}

py::object get_all_preferences(const vm::Args& a) {
    return data_of(a.self()).attr("get")("preferences", py::dict());
}

py::object get_favorite_playlists(const vm::Args& a) {
    return data_of(a.self()).attr("get")("favorite_playlists", py::list());
}

}  // namespace

void define_spotify_storage(py::module_& m) {
    py::handle mod = m;  // the module outlives its classes
    vm::ClassBuilder b(m, "SpotifyStorage", "Storage for Spotify user preferences and cached data.",
                       py::make_tuple(m.attr("DataStorage")));
    add_section_init(b, kSection, fill_new_section);
    b.method("add_favorite_playlist", {vm::self(), vm::arg("playlist_id"), vm::arg("playlist_name")},
             locked(m, [mod](const vm::Args& a) { return add_favorite_playlist(mod, a); }), "Add a playlist to favorites.");
    b.method("remove_favorite_playlist", {vm::self(), vm::arg("playlist_id")}, locked(m, remove_favorite_playlist),
             "Remove a playlist from favorites.");
    b.method("get_favorite_playlists", {vm::self()}, get_favorite_playlists, "Get all favorite playlists.");
    b.method("add_recent_search", {vm::self(), vm::arg("query"), vm::arg("search_type")},
             locked(m, [mod](const vm::Args& a) { return add_recent_search(mod, a); }),
             "Add a search query to recent searches.");
    b.method("get_recent_searches", {vm::self(), vm::arg("limit").def(py::int_(10))}, get_recent_searches,
             "Get recent search queries.");
    b.method("clear_recent_searches", {vm::self()}, locked(m, clear_recent_searches), "Clear all recent searches.");
    b.method("set_last_device", {vm::self(), vm::arg("device_id"), vm::arg("device_name")}, locked(m, set_last_device),
             "Set the last used playback device.");
    b.method("get_last_device", {vm::self()}, get_last_device, "Get the last used playback device.");
    b.method("set_preference", {vm::self(), vm::arg("key"), vm::arg("value")}, locked(m, set_preference),
             "Set a user preference.");
    b.method("get_preference", {vm::self(), vm::arg("key"), vm::arg("default").def(py::none())}, get_preference,
             "Get a user preference.");
    b.method("get_all_preferences", {vm::self()}, get_all_preferences, "Get all user preferences.");
    b.build();
}

}  // namespace velmora::storage
