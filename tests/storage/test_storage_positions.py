"""PlaybackPositionStorage and BookmarkStorage: records, removal rules and the data file."""
import json

import pytest

from module_test_helpers import assert_own_methods
from storage_section_helpers import count_saves, read_section as section

STAMP = "2025-01-31T18:05:42.250000"


@pytest.fixture
def positions(fresh_store, clock):
    return fresh_store.PlaybackPositionStorage()


@pytest.fixture
def bookmarks(fresh_store, clock):
    store = fresh_store.BookmarkStorage()
    for position, label in [(30, "c"), (10, "a"), (20, "b")]:
        store.add_bookmark("ep", position, label)
    return store


def mark(position, label):
    return {"position": position, "label": label, "created": STAMP}


def test_position_records_replace_each_other(positions, data_file, clock):
    positions.save_position("ep", 12.5, 3600)
    stored = section(data_file, "playback_positions")
    assert list(stored["ep"]) == ["position", "duration", "last_played"]
    assert stored["ep"] == {"position": 12.5, "duration": 3600, "last_played": STAMP}

    clock.current = clock(2025, 2, 1, 9, 0, 0)
    positions.save_position("ep", 99)
    assert section(data_file, "playback_positions")["ep"] == {
        "position": 99, "duration": None, "last_played": "2025-02-01T09:00:00"}
    assert positions.get_position("ep") == 99


def test_get_position_defaults(positions):
    assert positions.get_position("absent") == 0
    assert type(positions.get_position("absent")) is int
    positions.data["edited"] = {"duration": 5}
    assert positions.get_position("edited") is None


@pytest.mark.parametrize(
    "call",
    [
        lambda p, b: p.remove_position("absent"),
        lambda p, b: b.remove_bookmark("ep", -1),
        lambda p, b: b.remove_bookmark("ep", 3),
        lambda p, b: b.remove_bookmark("absent", 0),
        lambda p, b: b.clear_bookmarks("absent"),
    ],
)
def test_removing_what_is_not_stored_leaves_the_file_untouched(positions, bookmarks, data_file, monkeypatch, call):
    data_file.write_text("untouched", encoding="utf-8")
    position_saves = count_saves(positions, monkeypatch)
    bookmark_saves = count_saves(bookmarks, monkeypatch)

    assert call(positions, bookmarks) is None

    assert position_saves == bookmark_saves == []
    assert len(bookmarks.get_bookmarks("ep")) == 3
    assert data_file.read_text(encoding="utf-8") == "untouched"


def test_bookmarks_keep_the_order_of_adding(bookmarks, data_file):
    bookmarks.add_bookmark("ep", 10, "a")
    bookmarks.add_bookmark("other", 5)

    stored = section(data_file, "bookmarks")
    assert list(stored) == ["ep", "other"]
    assert stored["ep"] == [mark(30, "c"), mark(10, "a"), mark(20, "b"), mark(10, "a")]
    assert [list(b) for b in stored["other"]] == [["position", "label", "created"]]
    assert stored["other"] == [mark(5, "")]


@pytest.mark.parametrize(
    "index, left",
    [
        (0, [(10, "a"), (20, "b")]),
        (1, [(30, "c"), (20, "b")]),
        (2, [(30, "c"), (10, "a")]),
        (True, [(30, "c"), (20, "b")]),
    ],
)
def test_remove_bookmark_by_index(bookmarks, data_file, monkeypatch, index, left):
    saves = count_saves(bookmarks, monkeypatch)
    assert bookmarks.remove_bookmark("ep", index) is None
    assert saves == [1]
    assert section(data_file, "bookmarks")["ep"] == [mark(p, l) for p, l in left]


def test_removing_the_last_bookmark_removes_the_item(bookmarks, data_file, monkeypatch):
    saves = count_saves(bookmarks, monkeypatch)
    for _ in range(3):
        bookmarks.remove_bookmark("ep", 0)
    assert saves == [1, 1, 1]
    assert section(data_file, "bookmarks") == {}
    empty = bookmarks.get_bookmarks("ep")
    assert empty == []
    empty.append(mark(1, "x"))
    assert "ep" not in bookmarks.data


def test_returned_list_is_the_stored_one(bookmarks, positions, data_file):
    bookmarks.get_bookmarks("ep").append(mark(40, "d"))
    assert section(data_file, "bookmarks")["ep"][-1]["position"] == 20
    positions.save_position("x", 1)
    assert section(data_file, "bookmarks")["ep"][-1] == mark(40, "d")


def test_positions_and_bookmarks_are_independent(bookmarks, positions, data_file):
    positions.save_position("ep", 7)
    bookmarks.clear_bookmarks("ep")
    assert positions.get_position("ep") == 7
    bookmarks.add_bookmark("ep", 1)
    positions.remove_position("ep")
    assert bookmarks.get_bookmarks("ep") == [mark(1, "")]
    stored = json.loads(data_file.read_text(encoding="utf-8"))
    assert stored["playback_positions"] == {}
    assert stored["bookmarks"] == {"ep": [mark(1, "")]}


def test_number_identifiers_become_text_after_a_restart(fresh_store, positions, bookmarks):
    positions.save_position(42, 3.5, None)
    bookmarks.add_bookmark(42, 1.5, "n")
    assert positions.get_position(42) == 3.5

    fresh_store.ConsolidatedStorage._instance = None
    positions = fresh_store.PlaybackPositionStorage()
    bookmarks = fresh_store.BookmarkStorage()
    assert positions.get_position(42) == 0
    assert positions.get_position("42") == 3.5
    assert list(positions.data["42"]) == ["position", "duration", "last_played"]
    assert bookmarks.get_bookmarks("42") == [mark(1.5, "n")]
    assert [list(b) for b in bookmarks.get_bookmarks("ep")] == [["position", "label", "created"]] * 3


def test_records_read_back_in_a_fresh_process(positions, bookmarks, data_file, run_py):
    positions.save_position("ép", 61.25, 120)
    bookmarks.remove_bookmark("ep", 1)

    code = (
        "import json\n"
        "from data.storage import PlaybackPositionStorage, BookmarkStorage\n"
        "p = PlaybackPositionStorage()\n"
        "b = BookmarkStorage()\n"
        "print(json.dumps([p.data, p.get_position('ép'), b.get_bookmarks('ep')]))\n"
    )
    out = run_py(code)

    stored, position, marks = json.loads(out.stdout)
    assert list(stored["ép"]) == ["position", "duration", "last_played"]
    assert position == 61.25
    assert marks == [mark(30, "c"), mark(20, "b")]
    assert '"ép": {' in data_file.read_text(encoding="utf-8")


METHODS = [
    ("PlaybackPositionStorage", "__init__", "(self, data_folder=None)", None),
    ("PlaybackPositionStorage", "save_position", "(self, media_id, position, duration=None)",
     "Save playback position for a media item."),
    ("PlaybackPositionStorage", "get_position", "(self, media_id)", "Get saved playback position for a media item."),
    ("PlaybackPositionStorage", "remove_position", "(self, media_id)", "Remove saved position for a media item."),
    ("BookmarkStorage", "__init__", "(self, data_folder=None)", None),
    ("BookmarkStorage", "add_bookmark", "(self, media_id, position, label='')", "Add a bookmark for a media item."),
    ("BookmarkStorage", "get_bookmarks", "(self, media_id)", "Get all bookmarks for a media item."),
    ("BookmarkStorage", "remove_bookmark", "(self, media_id, index)", "Remove a specific bookmark by index."),
    ("BookmarkStorage", "clear_bookmarks", "(self, media_id)", "Clear all bookmarks for a media item."),
]


def test_methods_signatures_and_docstrings(fresh_store):
    for cls_name in ("PlaybackPositionStorage", "BookmarkStorage"):
        assert_own_methods(getattr(fresh_store, cls_name), [m[1:] for m in METHODS if m[0] == cls_name])
