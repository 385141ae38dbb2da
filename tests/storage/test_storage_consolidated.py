"""ConsolidatedStorage: the one instance, the data file's exact layout, loading
of what the file holds, and writes that never damage or lose the file."""
import builtins
import datetime as dt
import errno
import json
import logging
import os
import random
import threading

import pytest

from killed_writer import kill_writer, writer_env
from module_test_helpers import Gate, forked_child_exit_code

SECTIONS = [
    "config",
    "subscriptions",
    "playback_positions",
    "bookmarks",
    "radio_stations",
    "downloads",
    "spotify_credentials",
    "spotify_data",
    "quietshelf_downloads",
]

EMPTY_FILE = (
    "{\n"
    '    "config": {},\n'
    '    "subscriptions": {},\n'
    '    "playback_positions": {},\n'
    '    "bookmarks": {},\n'
    '    "radio_stations": {},\n'
    '    "downloads": {},\n'
    '    "spotify_credentials": {},\n'
    '    "spotify_data": {},\n'
    '    "quietshelf_downloads": {}\n'
    "}"
)


def write_file(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))


def leftovers(folder):
    """Names in the data folder other than the data file itself."""
    return sorted(n for n in os.listdir(folder) if n != "velmora.dat")


# --- the one instance -------------------------------------------------------


def test_first_start_creates_folder_but_no_file(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    assert store.data_folder == os.path.join(str(data_file.parents[2]), "Documents", "Velmora")
    assert store.filepath == str(data_file)
    assert data_file.parent.is_dir() and not data_file.exists()
    assert list(store.master_data) == SECTIONS
    assert all(v == {} for v in store.master_data.values())
    assert store._initialized is True
    assert list(vars(store)) == ["_initialized", "data_folder", "filepath", "master_data"]


def test_every_construction_returns_the_one_instance_without_reading_again(fresh_store, data_file):
    cls = fresh_store.ConsolidatedStorage
    assert isinstance(cls._lock, type(threading.Lock()))
    first = cls()
    assert cls._instance is first
    write_file(data_file, '{"config": {"changed": true}}')
    assert cls() is first
    assert first.master_data["config"] == {}
    with pytest.raises(TypeError):
        cls("unexpected")


def test_init_runs_again_only_while_not_initialised(fresh_store, data_file, monkeypatch):
    cls = fresh_store.ConsolidatedStorage
    calls = []

    def failing_load(self):
        calls.append(self)
        raise RuntimeError("load failed")

    real_load = cls.load
    monkeypatch.setattr(cls, "load", failing_load)
    with pytest.raises(RuntimeError):
        cls()
    store = cls._instance
    assert store._initialized is False
    monkeypatch.setattr(cls, "load", real_load)
    write_file(data_file, '{"config": {"a": 1}}')
    assert cls() is store
    assert store._initialized is True and store.master_data["config"] == {"a": 1}
    assert len(calls) == 1


class _WatchedLock:
    """An RLock that signals when a thread has to wait for it."""

    waiting = None

    def __init__(self):
        self._lock = threading.RLock()

    def acquire(self, blocking=True, timeout=-1):
        if self._lock.acquire(False):
            return True
        _WatchedLock.waiting.set()
        return self._lock.acquire(blocking, timeout)

    def release(self):
        self._lock.release()

    __enter__ = acquire

    def __exit__(self, *exc):
        self.release()


def test_first_construction_from_two_threads_loads_once(fresh_store, monkeypatch):
    cls = fresh_store.ConsolidatedStorage
    _WatchedLock.waiting = threading.Event()
    fake_threading = type("T", (), {"RLock": _WatchedLock, "Lock": threading.Lock})
    monkeypatch.setattr(fresh_store, "threading", fake_threading)
    in_load, go_on = threading.Event(), threading.Event()
    loads = []
    real_load = cls.load

    def slow_load(self):
        loads.append(threading.current_thread().name)
        in_load.set()
        assert go_on.wait(10)
        return real_load(self)

    monkeypatch.setattr(cls, "load", slow_load)
    results = {}

    def construct(name):
        results[name] = cls()

    a = threading.Thread(target=construct, args=("a",), name="a")
    b = threading.Thread(target=construct, args=("b",), name="b")
    a.start()
    assert in_load.wait(10)
    b.start()
    assert _WatchedLock.waiting.wait(10)  # b waits for a's initialisation
    go_on.set()
    a.join(10)
    b.join(10)
    assert loads == ["a"]
    assert results["a"] is results["b"] is cls._instance


def test_a_forked_child_saves_while_a_parent_thread_held_the_store(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    gate = Gate()

    class Held(dict):
        """Sections whose change stops at the gate, inside set_section."""

        def __setitem__(self, key, value):
            gate.stop()
            super().__setitem__(key, value)

    store.master_data = Held(store.master_data)
    gate.hold(lambda: store.set_section("config", {"from": "parent"}))

    def child():
        gate.release.set()
        assert store.set_section("config", {"from": "child"}) is True
        assert json.loads(data_file.read_text())["config"] == {"from": "child"}

    assert forked_child_exit_code(child) == 0
    gate.finish()


# --- layout of the file -----------------------------------------------------


def test_empty_store_is_written_as_eleven_lines(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    assert store.set_section("config", {}) is True
    assert data_file.read_bytes() == EMPTY_FILE.encode()
    assert store.load() is store.master_data


def test_layout_of_nested_values(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    store.get_section("downloads")["u"] = {"title": "Café \"né\"\\\n", "sizes": [1, 2.5], "none": None,
                                           "empty": [], "nested": {}, "ok": True}
    assert store.set_section("radio_stations", {2: "b", "1": "a"}) is True
    expected = (
        "{\n"
        '    "config": {},\n'
        '    "subscriptions": {},\n'
        '    "playback_positions": {},\n'
        '    "bookmarks": {},\n'
        '    "radio_stations": {\n'
        '        "2": "b",\n'
        '        "1": "a"\n'
        "    },\n"
        '    "downloads": {\n'
        '        "u": {\n'
        '            "title": "Café \\"né\\"\\\\\\n",\n'
        '            "sizes": [\n'
        "                1,\n"
        "                2.5\n"
        "            ],\n"
        '            "none": null,\n'
        '            "empty": [],\n'
        '            "nested": {},\n'
        '            "ok": true\n'
        "        }\n"
        "    },\n"
        '    "spotify_credentials": {},\n'
        '    "spotify_data": {},\n'
        '    "quietshelf_downloads": {}\n'
        "}"
    )
    assert data_file.read_bytes() == expected.encode("utf-8")


# --- loading ----------------------------------------------------------------


def test_partial_file_fills_in_the_missing_sections(fresh_store, data_file):
    write_file(data_file, '{"subscriptions": {"f": {"title": "T"}}}')
    store = fresh_store.ConsolidatedStorage()
    assert list(store.master_data) == SECTIONS
    assert store.get_section("subscriptions") == {"f": {"title": "T"}}
    assert store.save() is True
    assert list(json.loads(data_file.read_text("utf-8"))) == SECTIONS


def test_sections_beyond_the_nine_are_kept_in_file_order(fresh_store, data_file):
    write_file(data_file, '{"zeta": [1], "config": {"a": 1}, "alpha": {"b": 2}}')
    store = fresh_store.ConsolidatedStorage()
    assert list(store.master_data) == SECTIONS + ["zeta", "alpha"]
    assert store.get_section("zeta") == [1] and store.get_section("alpha") == {"b": 2}
    store.set_section("config", {})
    assert list(json.loads(data_file.read_text("utf-8"))) == SECTIONS + ["zeta", "alpha"]


@pytest.mark.parametrize("value", [[1, "x"], 3, "text", None, True])
def test_section_of_another_kind_is_taken_unchanged(fresh_store, data_file, value):
    write_file(data_file, json.dumps({"bookmarks": value}))
    assert fresh_store.ConsolidatedStorage().get_section("bookmarks") == value


def test_unknown_section_gives_a_new_map_each_time(fresh_store):
    store = fresh_store.ConsolidatedStorage()
    first = store.get_section("nothing")
    first["x"] = 1
    assert store.get_section("nothing") == {} and store.get_section("nothing") is not first
    assert "nothing" not in store.master_data


def test_sections_are_held_by_reference(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    section = {"a": 1}
    store.set_section("config", section)
    assert store.get_section("config") is section
    section["b"] = 2
    store.set_section("downloads", {})
    assert json.loads(data_file.read_text("utf-8"))["config"] == {"a": 1, "b": 2}


def test_load_again_reads_over_the_current_sections(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    store.get_section("config")["kept"] = 1
    write_file(data_file, '{"downloads": {"d": 1}}')
    assert store.load() is store.master_data
    assert store.master_data["downloads"] == {"d": 1} and store.master_data["config"] == {"kept": 1}


DAMAGED = {
    "not json": b"{not json",
    "empty": b"",
    "byte-order mark": b"\xef\xbb\xbf" + EMPTY_FILE.encode(),
    "invalid utf-8": b'{"config": {"a": "\xff\xfe"}}',
    "array at top": b"[1, 2]",
    "null at top": b"null",
    "too deep": b"[" * 200000 + b"]" * 200000,
}


@pytest.mark.parametrize("content", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_file_is_set_aside_before_the_first_save(fresh_store, data_file, content):
    write_file(data_file, content)
    store = fresh_store.ConsolidatedStorage()
    assert all(v == {} for v in store.master_data.values())
    assert list(vars(store)) == ["_initialized", "data_folder", "filepath", "master_data"]
    assert data_file.read_bytes() == content
    assert store.set_section("config", {"a": 1}) is True
    aside = leftovers(data_file.parent)
    assert len(aside) == 1 and aside[0].startswith("velmora.dat.corrupt-")
    assert (data_file.parent / aside[0]).read_bytes() == content
    assert json.loads(data_file.read_text("utf-8"))["config"] == {"a": 1}
    store.set_section("config", {"a": 2})  # later saves keep no further copies
    assert leftovers(data_file.parent) == aside


def test_copies_set_aside_never_replace_each_other(fresh_store, data_file, monkeypatch):
    fixed = dt.datetime(2025, 1, 31, 18, 5, 42)
    monkeypatch.setattr(fresh_store, "datetime", type("D", (), {"now": staticmethod(lambda: fixed)}))
    for content in (b"first", b"second", b"third"):
        write_file(data_file, content)
        fresh_store.ConsolidatedStorage._instance = None
        assert fresh_store.ConsolidatedStorage().set_section("config", {}) is True
    aside = leftovers(data_file.parent)
    assert sorted((data_file.parent / n).read_bytes() for n in aside) == [b"first", b"second", b"third"]
    assert all(n.startswith("velmora.dat.corrupt-") for n in aside)


def test_damaged_file_that_cannot_be_set_aside_is_not_overwritten(fresh_store, data_file, monkeypatch):
    write_file(data_file, b"{broken")
    store = fresh_store.ConsolidatedStorage()
    real_open = os.open

    def refuse_copies(path, *args, **kwargs):
        if ".corrupt-" in os.fspath(path):
            raise PermissionError(13, "Permission denied")
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(os, "open", refuse_copies)
    assert store.set_section("config", {"a": 1}) is False
    assert data_file.read_bytes() == b"{broken"
    assert leftovers(data_file.parent) == []
    monkeypatch.setattr(os, "open", real_open)
    assert store.save() is True
    assert [(data_file.parent / n).read_bytes() for n in leftovers(data_file.parent)] == [b"{broken"]


class _FailingRead:
    """An open file whose read fails with `error`."""

    def __init__(self, file, error):
        self.file, self.error = file, error

    def read(self, *args):
        raise self.error

    def close(self):
        self.file.close()


def fail_reading(monkeypatch, path, where, error):
    """Opening the file at `path`, reading it or looking at it (os.stat), as
    `where` says, fails with `error`; other files are left alone."""
    real = {"open": builtins.open, "read": builtins.open, "stat": os.stat}[where]

    def failing(file, *args, **kwargs):
        if not (isinstance(file, (str, os.PathLike)) and os.fspath(file) == path):
            return real(file, *args, **kwargs)
        if where == "read":
            return _FailingRead(real(file, *args, **kwargs), error)
        raise error

    monkeypatch.setattr(*((builtins, "open") if where != "stat" else (os, "stat")), failing)


READ_FAULTS = {
    "too many open files": ("open", OSError(errno.EMFILE, "Too many open files")),
    "permission denied": ("open", PermissionError(errno.EACCES, "Permission denied")),
    "i/o error in the read": ("read", OSError(errno.EIO, "Input/output error")),
    "no memory for the read": ("read", MemoryError("out of memory")),
    "i/o error looking at it": ("stat", OSError(errno.EIO, "Input/output error")),
}
STORED = {"subscriptions": {"http://feed": {"title": "Show"}}, "radio_stations": {"0": {"name": "News"}}}


@pytest.mark.parametrize("where, error", READ_FAULTS.values(), ids=READ_FAULTS.keys())
def test_file_that_could_not_be_read_is_never_replaced(fresh_store, data_file, monkeypatch, caplog, where, error):
    content = json.dumps(STORED).encode()
    write_file(data_file, content)
    caplog.set_level(logging.ERROR, "data.storage")
    with monkeypatch.context() as patch:
        fail_reading(patch, str(data_file), where, error)
        spotify = fresh_store.SpotifyStorage()  # a store that saves its defaults at once
    store = spotify.consolidated
    assert store.get_section("subscriptions") == {} and store.get_section("radio_stations") == {}
    assert store.save() is False
    assert data_file.read_bytes() == content and leftovers(data_file.parent) == []
    line = (f"Did not save {os.path.realpath(data_file)}: it could not be read ({error}), "
            "and is left as it is until it loads")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", line)] * 2
    # A later start reads it whole; so does a load once the file reads again.
    fresh_store.ConsolidatedStorage._instance = None
    assert fresh_store.RadioStationStorage().get_station(0) == {"name": "News"}
    assert store.load()["subscriptions"] == STORED["subscriptions"]
    assert store.save() is True
    assert json.loads(data_file.read_text("utf-8"))["subscriptions"] == STORED["subscriptions"]
    assert leftovers(data_file.parent) == []


@pytest.mark.parametrize("content", [None, b"{broken"], ids=["no file", "damaged file"])
def test_filepath_given_as_a_path_object(fresh_store, data_file, tmp_path, content):
    store = fresh_store.ConsolidatedStorage()
    store.filepath = tmp_path / "other.dat"
    if content is not None:
        store.filepath.write_bytes(content)
        store.load()
    assert store.save() is True
    assert store.filepath.read_text("utf-8") == EMPTY_FILE
    aside = [p.read_bytes() for p in tmp_path.iterdir() if p.name.startswith("other.dat.corrupt-")]
    assert aside == ([] if content is None else [content])
    assert not data_file.exists()


@pytest.mark.skipif(os.name == "nt", reason="POSIX permission bits")
@pytest.mark.parametrize("content", [EMPTY_FILE, b"{broken"], ids=["loads", "set aside"])
@pytest.mark.parametrize("mode", [0o600, 0o640])
def test_rewrite_keeps_the_files_permissions(fresh_store, data_file, mode, content):
    write_file(data_file, content)
    os.chmod(data_file, mode)
    store = fresh_store.ConsolidatedStorage()
    assert store.set_section("config", {"a": 1}) is True
    assert os.stat(data_file).st_mode & 0o777 == mode
    # A copy set aside is no more open than the file was (the umask may
    # close it further).
    aside = leftovers(data_file.parent)
    assert len(aside) == (content != EMPTY_FILE)
    assert all(os.stat(data_file.parent / n).st_mode & 0o777 & ~mode == 0 for n in aside)


def test_rewrite_through_a_symbolic_link_updates_the_linked_file(fresh_store, data_file, tmp_path):
    target = tmp_path / "synced" / "velmora.dat"
    write_file(target, '{"config": {"a": 1}}')
    data_file.parent.mkdir(parents=True)
    try:
        os.symlink(target, data_file)
    except (OSError, NotImplementedError):
        pytest.skip("no symbolic links here")
    store = fresh_store.ConsolidatedStorage()
    assert store.set_section("downloads", {"u": 1}) is True
    assert data_file.is_symlink()
    assert json.loads(target.read_text("utf-8"))["config"] == {"a": 1}
    assert json.loads(target.read_text("utf-8"))["downloads"] == {"u": 1}


def test_folder_in_the_files_place_reads_as_empty_and_fails_saves(fresh_store, data_file):
    data_file.mkdir(parents=True)
    store = fresh_store.ConsolidatedStorage()
    assert all(v == {} for v in store.master_data.values())
    assert store.save() is False
    assert store.set_section("config", {"a": 1}) is False
    assert data_file.is_dir() and leftovers(data_file.parent) == []


def test_folder_that_cannot_be_made_fails_saves(fresh_store, home):
    (home / "Documents").write_text("a file, not a folder")
    store = fresh_store.ConsolidatedStorage()
    assert store.master_data["config"] == {}
    assert store.save() is False


# --- values that cannot be written ------------------------------------------


@pytest.mark.parametrize(
    "value, error",
    [({1, 2}, TypeError), ({"k": object()}, TypeError), ({"t": "\ud800"}, UnicodeEncodeError),
     ({(1, 2): "tuple key"}, TypeError)],
    ids=["set", "object", "lone surrogate", "tuple key"],
)
@pytest.mark.parametrize("section", ["downloads", "new_section"])
def test_unwritable_value_raises_and_leaves_file_and_section_as_they_were(
    fresh_store, data_file, value, error, section
):
    store = fresh_store.ConsolidatedStorage()
    store.set_section("config", {"a": 1})
    before = data_file.read_bytes()
    had = section in store.master_data
    old = store.master_data.get(section)
    with pytest.raises(error):
        store.set_section(section, value)
    assert data_file.read_bytes() == before
    assert leftovers(data_file.parent) == []
    assert (section in store.master_data) == had and store.master_data.get(section) is old
    assert store.set_section("config", {"b": 2}) is True


def test_unwritable_value_held_by_a_section_makes_save_raise(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    store.set_section("config", {})
    store.get_section("config")["bad"] = {1}
    with pytest.raises(TypeError):
        store.save()
    assert data_file.read_bytes() == EMPTY_FILE.encode()


# --- restarts and interrupted writes ----------------------------------------


def test_round_trip_through_a_restart(fresh_store, data_file, run_py):
    run_py(
        """
        from data.storage import ConsolidatedStorage
        s = ConsolidatedStorage()
        s.set_section("subscriptions", {"f": {"title": "Émission", "n": 2}})
        s.set_section("radio_stations", {1: {"name": "Ünïcode"}})
        assert s.set_section("host_extra", {"x": [1, None]}) is True
        """
    )
    proc = run_py(
        """
        from data.storage import ConsolidatedStorage
        s = ConsolidatedStorage()
        print(repr(list(s.master_data)))
        print(repr(s.master_data["subscriptions"]))
        print(repr(s.master_data["radio_stations"]))
        print(repr(s.master_data["host_extra"]))
        """
    )
    names, subs, radio, extra = proc.stdout.splitlines()
    assert eval(names) == SECTIONS + ["host_extra"]
    assert eval(subs) == {"f": {"title": "Émission", "n": 2}}
    assert eval(radio) == {"1": {"name": "Ünïcode"}}
    assert eval(extra) == {"x": [1, None]}


def test_full_disk_leaves_the_file_unchanged(fresh_store, data_file, run_py):
    write_file(data_file, EMPTY_FILE)
    proc = run_py(
        """
        import os, resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        from data.storage import ConsolidatedStorage
        s = ConsolidatedStorage()
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        print(s.set_section("downloads", {"big": "x" * 100000}))
        print(s.set_section("downloads", {"small": 1}))
        """
    )
    assert proc.stdout.split() == ["False", "True"]
    assert json.loads(data_file.read_text("utf-8"))["downloads"] == {"small": 1}
    assert leftovers(data_file.parent) == []


def test_killed_writer_always_leaves_a_loadable_file(fresh_store, data_file, run_py, home):
    env = writer_env(home)
    rng = random.Random(20250131)
    for _ in range(6):
        kill_writer(env, "random moment", rng)
        document = json.loads(data_file.read_text("utf-8"))
        assert list(document)[:9] == SECTIONS and len(document["downloads"]) == 300
