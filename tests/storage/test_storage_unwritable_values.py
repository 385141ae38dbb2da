"""A change of a section store whose save raises is taken back whole: the
value the data file cannot hold does not stay behind to make every later
save of every store fail."""
import json

import pytest

FEED = "http://feeds.example/show.xml"
UNWRITABLE = {1, 2}


def with_station(storage):
    store = storage.RadioStationStorage()
    store.add_station("http://radio/a", "A", "News")
    return store


def with_feed(storage):
    store = storage.SubscriptionStorage()
    store.add_subscription(FEED, {"title": "Show", "author": "Host"})
    store.update_episode_tracking(FEED, "h1", ["http://e/1"])
    return store


def with_bookmark(storage):
    store = storage.BookmarkStorage()
    store.add_bookmark("m", 10, "start")
    return store


def with_position(storage):
    store = storage.PlaybackPositionStorage()
    store.save_position("m", 10)
    return store


def with_download(storage):
    store = storage.DownloadMetadataStorage()
    store.add_download("http://e/1", "/m/1.mp3")
    return store


# (id, store with something stored, the change that cannot be written)
CHANGES = [
    ("update_station", with_station, lambda s: s.update_station(0, name=UNWRITABLE)),
    ("update_station, last field", with_station,
     lambda s: s.update_station(0, name="B", url="http://radio/b", description=UNWRITABLE)),
    ("add_station", with_station, lambda s: s.add_station(UNWRITABLE, "B")),
    ("update_feed_metadata", with_feed, lambda s: s.update_feed_metadata(FEED, title="New", author=UNWRITABLE)),
    ("update_episode_tracking", with_feed, lambda s: s.update_episode_tracking(FEED, "h2", UNWRITABLE)),
    ("add_subscription", with_feed, lambda s: s.add_subscription(FEED, {"title": UNWRITABLE})),
    ("add_bookmark", with_bookmark, lambda s: s.add_bookmark("m", 20, UNWRITABLE)),
    ("add_bookmark, new item", with_bookmark, lambda s: s.add_bookmark("n", UNWRITABLE)),
    ("save_position", with_position, lambda s: s.save_position("m", UNWRITABLE)),
    ("add_download", with_download, lambda s: s.add_download("http://e/2", "/m/2.mp3", UNWRITABLE)),
]


@pytest.mark.parametrize("make, change", [c[1:] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_unwritable_change_is_taken_back_and_later_saves_reach_the_file(fresh_store, data_file, make, change):
    store = make(fresh_store)
    before = json.dumps(store.data)
    file_before = data_file.read_bytes()

    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        change(store)

    assert json.dumps(store.data) == before
    assert data_file.read_bytes() == file_before
    fresh_store.DataStorage("config").set("after", 1)
    assert json.loads(data_file.read_text(encoding="utf-8"))["config"] == {"after": 1}


def test_removed_bookmark_comes_back_when_the_save_raises(fresh_store, data_file):
    store = with_bookmark(fresh_store)
    store.add_bookmark("m", 20, "later")
    store.add_bookmark("n", 5, "only")
    held_m, held_n = store.get_bookmarks("m"), store.get_bookmarks("n")
    before = json.dumps(store.data)
    fresh_store.ConsolidatedStorage().get_section("config")["broken"] = UNWRITABLE

    for media_id, index in [("m", 0), ("n", 0)]:  # one of two, and the last one of an item
        with pytest.raises(TypeError):
            store.remove_bookmark(media_id, index)

    assert json.dumps(store.data) == before
    assert store.get_bookmarks("m") is held_m and store.get_bookmarks("n") is held_n
