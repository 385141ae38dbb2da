"""SubscriptionStorage: subscription records, updates, tracking and the data file."""
import inspect
import json
import textwrap

import pytest

from module_test_helpers import assert_own_methods
from storage_section_helpers import count_saves, section_reader

FEED = "http://example.com/feed.xml"
ADDED = "2025-01-31T18:05:42.250000"
LATER = "2025-02-01T09:00:00"
KEYS = ["url", "title", "author", "added_date", "last_checked", "episode_hash",
        "last_episode_urls", "last_episode_check"]


@pytest.fixture
def store(fresh_store, clock):
    store = fresh_store.SubscriptionStorage()
    store.add_subscription(FEED, {"title": "Show", "author": "Host"})
    clock.current = clock(2025, 2, 1, 9, 0, 0)
    return store


section = section_reader("subscriptions")


def fresh_record(url, title, author, added):
    return {"url": url, "title": title, "author": author, "added_date": added, "last_checked": None,
            "episode_hash": None, "last_episode_urls": [], "last_episode_check": None}


@pytest.mark.parametrize(
    "feed_data, title, author",
    [
        ({}, "", ""),
        ({"title": "T"}, "T", ""),
        ({"title": "T", "author": "A", "description": "About", "image": "x.png", "episodes": [1]}, "T", "A"),
    ],
)
def test_add_subscription_builds_a_fresh_record(fresh_store, clock, data_file, feed_data, title, author):
    store = fresh_store.SubscriptionStorage()
    store.add_subscription(FEED, feed_data)

    stored = section(data_file)
    assert list(stored[FEED]) == KEYS
    assert stored[FEED] == fresh_record(FEED, title, author, ADDED)
    assert store.get_all_subscriptions()[FEED] == stored[FEED]


def test_adding_again_resets_tracking_and_added_date(store, data_file):
    store.update_last_checked(FEED)
    store.update_episode_tracking(FEED, "abc", ["http://e/1"])
    store.add_subscription(FEED, {"title": "New"})

    assert section(data_file)[FEED] == fresh_record(FEED, "New", "", LATER)


def test_add_without_a_mapping_stores_nothing(store, data_file):
    with pytest.raises(AttributeError):
        store.add_subscription("http://other", ["not", "a", "mapping"])
    assert list(store.get_all_subscriptions()) == [FEED]
    assert list(section(data_file)) == [FEED]


@pytest.mark.parametrize(
    "changes, title, author",
    [
        ({}, "Show", "Host"),
        ({"title": ""}, "", "Host"),
        ({"author": "Other"}, "Show", "Other"),
        ({"title": "T2", "author": "A2"}, "T2", "A2"),
    ],
)
def test_update_feed_metadata_changes_only_given_fields(store, data_file, monkeypatch, changes, title, author):
    saves = count_saves(store, monkeypatch)
    assert store.update_feed_metadata(FEED, **changes) is None
    assert saves == [1]
    assert section(data_file)[FEED] == fresh_record(FEED, title, author, ADDED)


def test_update_last_checked_and_tracking_fill_their_fields(store, data_file, monkeypatch):
    saves = count_saves(store, monkeypatch)
    urls = ["http://e/1", "http://e/2"]

    store.update_last_checked(FEED)
    store.update_episode_tracking(FEED, "hash-1", urls)

    assert saves == [1, 1]
    record = section(data_file)[FEED]
    assert list(record) == KEYS
    assert record["last_checked"] == LATER
    assert record["episode_hash"] == "hash-1"
    assert record["last_episode_urls"] == urls
    assert record["last_episode_check"] == LATER
    assert store.get_episode_hash(FEED) == "hash-1"
    assert store.get_last_episode_urls(FEED) is urls


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.update_last_checked("http://absent"),
        lambda s: s.update_feed_metadata("http://absent", title="T"),
        lambda s: s.update_episode_tracking("http://absent", "h", ["u"]),
        lambda s: s.remove_subscription("http://absent"),
        lambda s: s.remove_subscription(FEED + "/"),
    ],
)
def test_absent_feed_leaves_store_and_file_untouched(store, data_file, monkeypatch, call):
    data_file.write_text("untouched", encoding="utf-8")
    saves = count_saves(store, monkeypatch)

    assert call(store) is None

    assert saves == []
    assert list(store.get_all_subscriptions()) == [FEED]
    assert data_file.read_text(encoding="utf-8") == "untouched"


def test_getters_of_untracked_and_absent_feeds(store):
    assert store.get_episode_hash(FEED) is None
    assert store.get_episode_hash("http://absent") is None
    first = store.get_last_episode_urls("http://absent")
    assert first == []
    first.append("x")
    assert store.get_last_episode_urls("http://absent") == []
    assert store.get_last_episode_urls(FEED) is store.get_all_subscriptions()[FEED]["last_episode_urls"]


def test_hand_edited_record_without_tracking_fields(store):
    record = store.get_all_subscriptions()[FEED]
    del record["episode_hash"], record["last_episode_urls"]
    assert store.get_episode_hash(FEED) is None
    urls = store.get_last_episode_urls(FEED)
    assert urls == [] and "last_episode_urls" not in record


def test_stored_list_and_map_are_shared(store, data_file):
    store.update_episode_tracking(FEED, "h", ["http://e/1"])
    store.get_last_episode_urls(FEED).append("http://e/2")
    subs = store.get_all_subscriptions()
    assert subs is store.data
    store.add_subscription("http://second", {})
    del subs["http://second"]
    store.update_last_checked(FEED)

    stored = section(data_file)
    assert list(stored) == [FEED]
    assert stored[FEED]["last_episode_urls"] == ["http://e/1", "http://e/2"]


def test_remove_subscription_saves_without_the_feed(store, data_file, monkeypatch):
    store.add_subscription("http://second", {})
    saves = count_saves(store, monkeypatch)
    store.remove_subscription(FEED)
    assert saves == [1]
    assert list(section(data_file)) == ["http://second"]


def test_records_read_back_after_a_restart(fresh_store, store, data_file):
    store.update_episode_tracking(FEED, "h", ["http://e/1"])
    store.add_subscription("http://zweite", {"title": "Café"})

    fresh_store.ConsolidatedStorage._instance = None
    again = fresh_store.SubscriptionStorage()
    assert again.get_all_subscriptions() == store.get_all_subscriptions()
    assert [list(r) for r in again.get_all_subscriptions().values()] == [KEYS, KEYS]
    assert again.get_all_subscriptions()["http://zweite"]["last_checked"] is None


def test_records_read_back_in_a_fresh_process(store, data_file, run_py):
    store.update_last_checked(FEED)
    text = data_file.read_text(encoding="utf-8")
    assert text.index('"url"') < text.index('"title"') < text.index('"last_episode_check"')

    code = (
        "import json\n"
        "from data.storage import SubscriptionStorage\n"
        "s = SubscriptionStorage()\n"
        f"print(json.dumps([s.get_all_subscriptions(), s.get_episode_hash({FEED!r}),"
        f" s.get_last_episode_urls({FEED!r})]))\n"
    )
    out = run_py(code)

    subs, episode_hash, urls = json.loads(out.stdout)
    assert list(subs[FEED]) == KEYS
    assert subs[FEED] == dict(fresh_record(FEED, "Show", "Host", ADDED), last_checked=LATER)
    assert episode_hash is None and urls == []


NOTE_ADD = ("Note: Description is NOT stored - it will be fetched dynamically from the RSS feed\n"
            "to ensure it's always current.")
NOTE_META = ("Note: Description is intentionally NOT updated or stored - it will be fetched\n"
             "dynamically from the RSS feed.")
METHODS = [
    ("__init__", "(self, data_folder=None)", None),
    ("add_subscription", "(self, feed_url, feed_data)", "Add a podcast subscription.\n\n" + NOTE_ADD),
    ("remove_subscription", "(self, feed_url)", "Remove a podcast subscription."),
    ("get_all_subscriptions", "(self)", "Get all subscriptions."),
    ("update_last_checked", "(self, feed_url)", "Update the last checked timestamp for a feed."),
    ("update_feed_metadata", "(self, feed_url, title=None, author=None)",
     "Update feed metadata (title, author).\n\n" + NOTE_META),
    ("update_episode_tracking", "(self, feed_url, episode_hash, episode_urls)",
     "Update episode hash and URL list for new episode detection."),
    ("get_episode_hash", "(self, feed_url)", "Get stored episode hash for a feed."),
    ("get_last_episode_urls", "(self, feed_url)", "Get last known episode URLs for a feed."),
]


def test_methods_signatures_and_docstrings(fresh_store):
    cls = fresh_store.SubscriptionStorage
    assert_own_methods(cls, METHODS, doc_of=inspect.getdoc)
    # Written as in a method body: the notes keep the body's indentation in __doc__.
    assert cls.add_subscription.__doc__ == (
        "Add a podcast subscription.\n\n" + textwrap.indent(NOTE_ADD, " " * 8) + "\n" + " " * 8)
    assert cls.update_feed_metadata.__doc__ == (
        "Update feed metadata (title, author).\n\n" + textwrap.indent(NOTE_META, " " * 8) + "\n" + " " * 8)
