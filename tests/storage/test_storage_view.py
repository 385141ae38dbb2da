"""DataStorage: the view's copy and sharing rules, what each operation saves,
and what a failed save does to the view and the file."""
import json
import os
import threading

import pytest


def read(data_file):
    return json.loads(data_file.read_text("utf-8"))


def file_id(data_file):
    """Changes with every rewrite (each save puts a new file in place)."""
    st = os.stat(data_file)
    return st.st_ino, st.st_mtime_ns


@pytest.fixture
def store(fresh_store):
    return fresh_store.ConsolidatedStorage()


@pytest.mark.parametrize(
    "args, kwargs",
    [(("downloads",), {}), (("downloads", "/elsewhere"), {}), ((), {"section_name": "downloads", "data_folder": "x"})],
)
def test_construction_copies_the_section_shallowly(fresh_store, store, data_file, args, kwargs):
    record = {"title": "t"}
    store.master_data["downloads"] = {"u": record}
    view = fresh_store.DataStorage(*args, **kwargs)
    assert list(vars(view)) == ["consolidated", "section_name", "data"]
    assert view.consolidated is store and view.section_name == "downloads"
    assert view.data == {"u": record} and view.data is not store.master_data["downloads"]
    assert view.data["u"] is record
    assert not data_file.exists()
    view.save()
    assert data_file.exists() and not (data_file.parents[3] / "elsewhere").exists()


def test_top_level_changes_reach_the_section_only_on_save(fresh_store, store):
    view = fresh_store.DataStorage("config")
    view.data["a"] = 1
    assert store.get_section("config") == {}
    assert view.save() is True
    assert store.get_section("config") is view.data
    view.data["b"] = 2  # now the section itself
    assert store.get_section("config") == {"a": 1, "b": 2}
    old = view.data
    first = view.load()
    assert first is view.data and first is not old and first == old
    assert view.load() is not first


def test_get_returns_the_stored_object_itself(fresh_store, store, data_file):
    view = fresh_store.DataStorage("downloads")
    view.set("u", {"n": 1})
    assert view.get("missing") is None and view.get("missing", 5) == 5
    view.get("u")["n"] = 2
    assert store.get_section("downloads")["u"] == {"n": 2}
    assert read(data_file)["downloads"]["u"] == {"n": 1}
    store.set_section("config", {})
    assert read(data_file)["downloads"]["u"] == {"n": 2}


def test_set_delete_and_clear_write_the_file(fresh_store, data_file):
    view = fresh_store.DataStorage("radio_stations")
    assert view.set("1", {"name": "A"}) is None
    assert view.set("2", {"name": "B"}) is None
    assert read(data_file)["radio_stations"] == {"1": {"name": "A"}, "2": {"name": "B"}}
    assert view.delete("1") is None
    assert read(data_file)["radio_stations"] == {"2": {"name": "B"}}
    before = file_id(data_file)
    view.delete("absent")
    assert file_id(data_file) == before
    assert view.clear() is None
    assert read(data_file)["radio_stations"] == {}


def test_delete_of_an_absent_key_writes_no_file(fresh_store, data_file):
    fresh_store.DataStorage("downloads").delete("absent")
    assert not data_file.exists()


def test_views_of_one_section_overwrite_each_other(fresh_store, store, data_file):
    a = fresh_store.DataStorage("bookmarks")
    b = fresh_store.DataStorage("bookmarks")
    a.set("a", [1])
    b.set("b", [2])
    assert store.get_section("bookmarks") == {"b": [2]} and read(data_file)["bookmarks"] == {"b": [2]}
    assert a.load() == {"b": [2]}


def test_save_reports_a_failed_write(fresh_store, store, data_file, monkeypatch):
    data_file.mkdir(parents=True)
    view = fresh_store.DataStorage("config")
    assert view.save() is False
    assert view.set("a", 1) is None and view.data == {"a": 1}
    monkeypatch.setattr(store, "set_section", lambda name, data: None)  # a store that tells nothing
    assert view.save() is True


@pytest.mark.parametrize("present", [True, False], ids=["replaced", "added"])
def test_unwritable_value_is_taken_back_before_the_error(fresh_store, store, data_file, present):
    view = fresh_store.DataStorage("downloads")
    view.set("keep", 1)
    if present:
        view.set("key", "old")
    before = data_file.read_bytes()
    with pytest.raises(TypeError):
        view.set("key", {1, 2})
    assert data_file.read_bytes() == before
    assert view.data == ({"keep": 1, "key": "old"} if present else {"keep": 1})
    assert store.get_section("downloads") == view.data
    view.set("next", 2)
    assert read(data_file)["downloads"] == dict(view.data)


@pytest.mark.parametrize(
    "change", [lambda v: v.set("b", 3), lambda v: v.delete("a"), lambda v: v.clear()], ids=["set", "delete", "clear"]
)
def test_change_whose_save_raises_is_undone(fresh_store, store, data_file, change):
    view = fresh_store.DataStorage("downloads")
    view.set("a", 1)
    view.set("z", 2)
    before = data_file.read_bytes()
    store.get_section("config")["bad"] = {1}  # another section that cannot be written
    with pytest.raises(TypeError):
        change(view)
    assert list(view.data.items()) == [("a", 1), ("z", 2)]
    assert store.get_section("downloads") is view.data
    assert data_file.read_bytes() == before


def test_first_unwritable_save_keeps_the_section_as_it_was(fresh_store, store):
    section = {"a": 1}
    store.master_data["downloads"] = section
    view = fresh_store.DataStorage("downloads")
    with pytest.raises(TypeError):
        view.set("bad", object())
    assert store.get_section("downloads") is section and section == {"a": 1}


@pytest.mark.parametrize("value", [[1, 2], "text", 3, None, True])
def test_section_that_is_not_a_map_gives_an_empty_view(fresh_store, data_file, value):
    data_file.parent.mkdir(parents=True)
    data_file.write_text(json.dumps({"spotify_data": value}))
    view = fresh_store.DataStorage("spotify_data")
    assert view.data == {} and view.load() == {}
    assert view.consolidated.get_section("spotify_data") == value
    view.set("k", "v")
    assert read(data_file)["spotify_data"] == {"k": "v"}


def test_new_section_of_a_view_survives_a_restart(fresh_store, data_file, run_py):
    run_py(
        """
        from data.storage import DataStorage
        DataStorage("host_notes").set("n", {"text": "é"})
        """
    )
    proc = run_py(
        """
        from data.storage import DataStorage, ConsolidatedStorage
        v = DataStorage("host_notes")
        print(repr(v.data))
        ConsolidatedStorage().set_section("config", {})
        """
    )
    assert eval(proc.stdout) == {"n": {"text": "é"}}
    assert list(read(data_file))[-1] == "host_notes"


def test_changes_from_several_threads_all_reach_the_file(fresh_store, store, data_file):
    views = [fresh_store.DataStorage(f"thread_{i}") for i in range(4)]
    start = threading.Barrier(len(views))
    errors = []

    def work(view):
        try:
            start.wait(10)
            for k in range(40):
                view.set(str(k), {"pad": "x" * 500, "k": k})
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(v,)) for v in views]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    document = read(data_file)
    for view in views:
        assert document[view.section_name] == json.loads(json.dumps(view.data))
        assert len(view.data) == 40


class PausingRecord(dict):
    """A record that the writer hands to json.dumps (a dict subclass); while
    its members are read, the test changes the store from another thread."""

    def items(self):
        self.reading.set()
        self.go_on.wait(0.5)  # a store that waits for the save never sets it
        return dict.items(self)


STORE_CHANGES = {
    "add_subscription": ("SubscriptionStorage", {}, lambda s: s.add_subscription("new", {})),
    "save_position": ("PlaybackPositionStorage", {}, lambda s: s.save_position("new", 1)),
    "add_bookmark": ("BookmarkStorage", {}, lambda s: s.add_bookmark("new", 1)),
    "remove_bookmark": ("BookmarkStorage", {"m": [{"position": 1}]}, lambda s: s.remove_bookmark("m", 0)),
    "add_station": ("RadioStationStorage", {}, lambda s: s.add_station("u", "n")),
    "add_download": ("DownloadMetadataStorage", {}, lambda s: s.add_download("new", "p")),
}


@pytest.mark.parametrize("cls, entries, change", STORE_CHANGES.values(), ids=STORE_CHANGES.keys())
def test_store_change_waits_for_a_save_under_way(fresh_store, store, data_file, cls, entries, change):
    section_store = getattr(fresh_store, cls)()
    record = PausingRecord(kept=True)
    record.reading, record.go_on = threading.Event(), threading.Event()
    section_store.data["slow"] = record
    section_store.data.update(entries)
    section_store.save()
    real_save = section_store.save

    def save_after_change():  # the change is made: let the running save go on
        record.go_on.set()
        return real_save()

    section_store.save = save_after_change
    record.reading.clear()
    errors = []

    def run(call):
        try:
            call()
        except Exception as e:  # reported below
            errors.append(e)

    writer = threading.Thread(target=run, args=(store.save,))
    writer.start()
    assert record.reading.wait(10)
    changer = threading.Thread(target=run, args=(lambda: change(section_store),))
    changer.start()
    writer.join(10)
    changer.join(10)
    assert errors == []
    assert read(data_file)[section_store.section_name] == json.loads(json.dumps(section_store.data))


@pytest.mark.parametrize(
    "cls, change, key",
    [("DataStorage", lambda s: s.set("k", 1), "k"), ("SubscriptionStorage", lambda s: s.add_subscription("u", {}), "u"),
     ("BookmarkStorage", lambda s: s.add_bookmark("m", 1), "m"), ("RadioStationStorage", lambda s: s.add_station("u", "n"), "0"),
     ("DownloadMetadataStorage", lambda s: s.add_download("e", "p"), "e")],
)
def test_store_made_without_init_changes_its_data_and_calls_its_save(fresh_store, data_file, cls, change, key):
    made = getattr(fresh_store, cls)
    view = made.__new__(made)
    view.data, saves = {}, []
    view.save = lambda: saves.append(1) or True
    change(view)
    assert list(view.data) == [key] and saves == [1]
    assert not data_file.exists()
