"""SpotifyStorage: favourite playlists, recent searches, last device and
preferences in the section "spotify_data"."""
import inspect
import json

import pytest

from storage_section_helpers import count_saves, restarter, section_reader, section_writer

NOW = "2025-06-07T08:09:10.500000"
DEFAULT_PREFERENCES = {"auto_connect": False, "default_search_type": "track", "show_explicit": True}


@pytest.fixture
def clock_start():
    return (2025, 6, 7, 8, 9, 10, 500000)


section = section_reader("spotify_data")
write_section = section_writer("spotify_data")
restart = restarter("SpotifyStorage")


def test_a_new_section_gets_its_defaults_once(fresh_store, data_file):
    store = fresh_store.SpotifyStorage()

    text = data_file.read_text(encoding="utf-8")
    assert list(section(data_file)) == ["favorite_playlists", "recent_searches", "last_device_id", "preferences"]
    assert list(section(data_file)["preferences"]) == list(DEFAULT_PREFERENCES)
    assert section(data_file) == {
        "favorite_playlists": [],
        "recent_searches": [],
        "last_device_id": None,
        "preferences": DEFAULT_PREFERENCES,
    }
    assert '"last_device_id": null' in text
    assert store.get_last_device() == {"id": None, "name": None}
    assert store.get_preference("show_explicit") is True
    assert store.get_preference("unknown") is None
    assert store.get_preference("unknown", "fallback") == "fallback"

    # A second store object over the filled section leaves it alone.
    store.data["preferences"]["auto_connect"] = True
    other = fresh_store.SpotifyStorage()
    assert other.get_preference("auto_connect") is True
    assert section(data_file)["preferences"]["auto_connect"] is False


def test_a_section_with_some_keys_is_not_completed(fresh_store, data_file):
    write_section(data_file, {"preferences": {"theme": "dark"}})
    store = fresh_store.SpotifyStorage()

    assert store.data == {"preferences": {"theme": "dark"}}
    assert store.get_favorite_playlists() == []
    assert store.get_recent_searches() == []
    assert store.get_last_device() == {"id": None, "name": None}
    assert store.get_preference("show_explicit", "unset") == "unset"

    store.add_favorite_playlist("p1", "One")
    assert list(section(data_file)) == ["preferences", "favorite_playlists"]


def test_favourites_survive_a_restart_newest_first(fresh_store, clock, data_file):
    store = fresh_store.SpotifyStorage()
    store.add_favorite_playlist("p1", "One")
    store.add_favorite_playlist("p2", "Two")

    stored = section(data_file)["favorite_playlists"]
    assert [list(r) for r in stored] == [["id", "name", "added_date"]] * 2
    assert stored[1] == {"id": "p1", "name": "One", "added_date": NOW}

    again = restart(fresh_store)
    assert [p["id"] for p in again.get_favorite_playlists()] == ["p2", "p1"]
    assert again.get_favorite_playlists() is again.data["favorite_playlists"]


def test_adding_a_favourite_again_moves_it_to_the_front(fresh_store, clock):
    store = fresh_store.SpotifyStorage()
    for pid in ("p1", "p2", "p3"):
        store.add_favorite_playlist(pid, pid.upper())
    later = clock.tick()

    store.add_favorite_playlist("p1", "Renamed")

    favourites = store.get_favorite_playlists()
    assert [p["id"] for p in favourites] == ["p1", "p3", "p2"]
    assert favourites[0] == {"id": "p1", "name": "Renamed", "added_date": later}


def test_identifiers_of_other_types_are_different_favourites(fresh_store):
    store = fresh_store.SpotifyStorage()
    store.add_favorite_playlist(7, "number")
    store.add_favorite_playlist("7", "text")
    assert [p["id"] for p in store.get_favorite_playlists()] == ["7", 7]

    # A value unequal to itself never matches, not even the very same object.
    nan = float("nan")
    store.add_favorite_playlist(nan, "a")
    store.add_favorite_playlist(nan, "b")
    store.add_recent_search(nan, "track")
    store.add_recent_search(nan, "track")
    assert [p["name"] for p in store.get_favorite_playlists()] == ["b", "a", "text", "number"]
    assert len(store.get_recent_searches()) == 2


@pytest.mark.parametrize(
    "add, key, field, cap",
    [
        (lambda s, i: s.add_favorite_playlist(f"x{i}", f"Playlist {i}"), "favorite_playlists", "id", 20),
        (lambda s, i: s.add_recent_search(f"x{i}", "track"), "recent_searches", "query", 50),
    ],
)
def test_lists_are_capped_dropping_the_oldest(fresh_store, data_file, add, key, field, cap):
    store = fresh_store.SpotifyStorage()
    for i in range(cap + 1):
        add(store, i)

    stored = [entry[field] for entry in section(data_file)[key]]
    assert stored == [f"x{i}" for i in range(cap, 0, -1)]


def test_remove_favourite(fresh_store, data_file, monkeypatch):
    store = fresh_store.SpotifyStorage()
    store.add_favorite_playlist("p1", "One")
    store.add_favorite_playlist("p2", "Two")
    saves = count_saves(store, monkeypatch)

    store.remove_favorite_playlist("p1")
    store.remove_favorite_playlist("missing")  # saves all the same

    assert len(saves) == 2
    assert [p["id"] for p in section(data_file)["favorite_playlists"]] == ["p2"]

    del store.data["favorite_playlists"]
    store.remove_favorite_playlist("p2")
    assert len(saves) == 2
    assert "favorite_playlists" not in store.data


def test_searches_are_unique_by_text_and_type(fresh_store, clock, data_file):
    store = fresh_store.SpotifyStorage()
    store.add_recent_search("jazz", "track")
    store.add_recent_search("jazz", "playlist")
    store.add_recent_search("blues", "track")
    later = clock.tick()

    store.add_recent_search("jazz", "track")

    stored = section(data_file)["recent_searches"]
    assert [(s["query"], s["type"]) for s in stored] == [("jazz", "track"), ("blues", "track"), ("jazz", "playlist")]
    assert list(stored[0]) == ["query", "type", "date"]
    assert stored[0]["date"] == later
    assert stored[2]["date"] == NOW

    assert restart(fresh_store).get_recent_searches() == stored


@pytest.mark.parametrize(
    "call, expected",
    [
        ((), [f"q{i}" for i in range(29, 19, -1)]),
        ((0,), []),
        ((3,), ["q29", "q28", "q27"]),
        ((100,), [f"q{i}" for i in range(29, -1, -1)]),
        ((-27,), ["q29", "q28", "q27"]),
        ((None,), [f"q{i}" for i in range(29, -1, -1)]),
    ],
)
def test_get_recent_searches_limit(fresh_store, call, expected):
    store = fresh_store.SpotifyStorage()
    for i in range(30):
        store.add_recent_search(f"q{i}", "track")

    result = store.get_recent_searches(*call)

    assert [s["query"] for s in result] == expected
    assert result is not store.data["recent_searches"]


def test_clear_recent_searches(fresh_store, data_file):
    store = fresh_store.SpotifyStorage()
    store.add_recent_search("jazz", "track")
    del store.data["recent_searches"]
    store.clear_recent_searches()
    assert section(data_file)["recent_searches"] == []


def test_last_device_survives_a_restart(fresh_store, data_file):
    store = fresh_store.SpotifyStorage()
    store.set_last_device("dev-1", "Kitchen")

    assert list(section(data_file)) == [
        "favorite_playlists", "recent_searches", "last_device_id", "preferences", "last_device_name",
    ]
    assert restart(fresh_store).get_last_device() == {"id": "dev-1", "name": "Kitchen"}


def test_preferences(fresh_store, data_file):
    store = fresh_store.SpotifyStorage()
    store.set_preference("auto_connect", True)
    store.set_preference("volume", 40)

    assert list(section(data_file)["preferences"]) == [*DEFAULT_PREFERENCES, "volume"]
    again = restart(fresh_store)
    assert again.get_preference("auto_connect") is True
    assert again.get_all_preferences() == {**DEFAULT_PREFERENCES, "auto_connect": True, "volume": 40}

    del again.data["preferences"]
    assert again.get_all_preferences() == {}
    again.set_preference("volume", 10)
    assert section(data_file)["preferences"] == {"volume": 10}


def test_returned_objects_are_the_stored_ones(fresh_store, data_file):
    store = fresh_store.SpotifyStorage()
    store.get_all_preferences()["theme"] = "dark"
    store.get_favorite_playlists().append({"id": "hand", "name": "made", "added_date": "x"})

    store.set_last_device("d", "n")  # any save writes them

    assert section(data_file)["preferences"]["theme"] == "dark"
    assert section(data_file)["favorite_playlists"][0]["id"] == "hand"


@pytest.mark.parametrize(
    "key, call",
    [
        ("favorite_playlists", lambda s: s.add_favorite_playlist("p", "P")),
        ("favorite_playlists", lambda s: s.remove_favorite_playlist("p")),
        ("recent_searches", lambda s: s.add_recent_search("q", "track")),
    ],
)
def test_an_entry_that_is_not_a_record_fails_before_saving(fresh_store, data_file, key, call):
    write_section(data_file, {key: ["not a record"]})
    before = data_file.read_text(encoding="utf-8")
    store = fresh_store.SpotifyStorage()
    with pytest.raises(AttributeError):
        call(store)
    assert data_file.read_text(encoding="utf-8") == before


def test_class_layout(fresh_store):
    cls = fresh_store.SpotifyStorage
    assert cls.__bases__ == (fresh_store.DataStorage,)
    assert cls.__doc__ == "Storage for Spotify user preferences and cached data."
    assert str(inspect.signature(cls.__init__)) == "(self, data_folder=None)"
    assert str(inspect.signature(cls.get_recent_searches)) == "(self, limit=10)"
    assert str(inspect.signature(cls.get_preference)) == "(self, key, default=None)"
    docs = {
        "add_favorite_playlist": "Add a playlist to favorites.",
        "remove_favorite_playlist": "Remove a playlist from favorites.",
        "get_favorite_playlists": "Get all favorite playlists.",
        "add_recent_search": "Add a search query to recent searches.",
        "get_recent_searches": "Get recent search queries.",
        "clear_recent_searches": "Clear all recent searches.",
        "set_last_device": "Set the last used playback device.",
        "get_last_device": "Get the last used playback device.",
        "set_preference": "Set a user preference.",
        "get_preference": "Get a user preference.",
        "get_all_preferences": "Get all user preferences.",
    }
    assert {name: getattr(cls, name).__doc__ for name in docs} == docs


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_favorite_playlist("p", object()),
        lambda s: s.add_recent_search(object(), "track"),
        lambda s: s.set_last_device("d", object()),
        lambda s: s.set_preference("volume", object()),
        lambda s: s.set_preference("show_explicit", {1j}),
    ],
)
def test_a_value_json_cannot_encode_is_refused_and_does_not_break_later_saves(fresh_store, data_file, call):
    store = fresh_store.SpotifyStorage()
    store.add_favorite_playlist("p0", "Zero")
    before = json.loads(json.dumps(store.data))

    with pytest.raises(TypeError):
        call(store)

    assert store.data == before
    store.add_recent_search("after", "track")
    assert section(data_file)["recent_searches"][0]["query"] == "after"
    assert section(data_file)["favorite_playlists"][0]["id"] == "p0"


@pytest.mark.parametrize("call", [lambda s: s.remove_favorite_playlist("p0"), lambda s: s.clear_recent_searches()])
def test_a_failing_save_puts_the_lists_back(fresh_store, call):
    store = fresh_store.SpotifyStorage()
    store.add_favorite_playlist("p0", "Zero")
    store.add_recent_search("q", "track")
    favourites, searches = store.data["favorite_playlists"], store.data["recent_searches"]
    fresh_store.ConsolidatedStorage().get_section("config")["broken"] = object()

    with pytest.raises(TypeError):
        call(store)

    assert store.data["favorite_playlists"] is favourites and store.data["recent_searches"] is searches
