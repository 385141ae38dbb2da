"""RadioStationStorage: numbering, records, updates and the data file."""
import json

import pytest

from module_test_helpers import assert_own_methods
from storage_section_helpers import count_saves, restarter, section_reader

ADDED = "2025-01-31T18:05:42.250000"


section = section_reader("radio_stations")
restart = restarter("RadioStationStorage")


def test_new_stations_are_numbered_from_zero_and_stored_under_text_keys(fresh_store, clock, data_file):
    store = fresh_store.RadioStationStorage()
    assert store.add_station("http://a/stream", "A") == 0
    assert store.add_station("http://b/stream", "B", "News") == 1

    stored = section(data_file)
    assert list(stored) == ["0", "1"]
    assert list(stored["0"]) == ["url", "name", "description", "added_date"]
    assert stored["0"] == {"url": "http://a/stream", "name": "A", "description": "", "added_date": ADDED}
    assert stored["1"]["description"] == "News"
    assert store.get_station(0) is store.get_station("0") is store.get_all_stations()["0"]
    assert store.get_station(7) is None


@pytest.mark.parametrize(
    "removed, new_id, keys",
    [
        ([2], 2, ["0", "1", "2"]),
        # The count of stored stations names a station that still exists:
        # the new one must get a free number instead of replacing it.
        ([0], 3, ["1", "2", "3"]),
        ([1], 3, ["0", "2", "3"]),
        ([0, 1], 1, ["2", "1"]),
        ([0, 1, 2], 0, ["0"]),
    ],
)
def test_add_after_removal_never_replaces_a_stored_station(fresh_store, clock, data_file, removed, new_id, keys):
    store = fresh_store.RadioStationStorage()
    for n in range(3):
        store.add_station(f"http://s{n}", f"S{n}")
    for n in removed:
        store.remove_station(n)

    assert store.add_station("http://new", "New") == new_id

    stored = section(data_file)
    assert list(stored) == keys
    for n in {0, 1, 2} - set(removed) - {new_id}:
        assert stored[str(n)]["name"] == f"S{n}"
    assert store.get_station(new_id)["name"] == "New"
    assert store.update_station(new_id, name="Renamed") is True
    assert section(data_file)[str(new_id)]["name"] == "Renamed"
    store.remove_station(new_id)
    assert str(new_id) not in section(data_file)


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, {"url": "http://a", "name": "A", "description": "old"}),
        ({"name": "B"}, {"url": "http://a", "name": "B", "description": "old"}),
        ({"url": "http://b"}, {"url": "http://b", "name": "A", "description": "old"}),
        ({"description": ""}, {"url": "http://a", "name": "A", "description": ""}),
        ({"name": "", "url": "", "description": "new"}, {"url": "", "name": "", "description": "new"}),
    ],
)
def test_update_station_sets_given_fields_and_the_update_time(fresh_store, clock, data_file, changes, expected):
    store = fresh_store.RadioStationStorage()
    store.add_station("http://a", "A", "old")
    clock.current = clock(2025, 2, 1, 9, 0, 0)

    assert store.update_station(0, **changes) is True

    record = section(data_file)["0"]
    assert list(record) == ["url", "name", "description", "added_date", "updated_date"]
    assert record == dict(expected, added_date=ADDED, updated_date="2025-02-01T09:00:00")


def test_later_update_keeps_updated_date_in_place(fresh_store, clock, data_file):
    store = fresh_store.RadioStationStorage()
    store.add_station("http://a", "A")
    store.update_station("0", name="B")
    clock.current = clock(2025, 3, 1, 12, 30, 0, 5)
    store.update_station("0", description="d")

    record = section(data_file)["0"]
    assert list(record) == ["url", "name", "description", "added_date", "updated_date"]
    assert record["updated_date"] == "2025-03-01T12:30:00.000005"


@pytest.mark.parametrize(
    "call, result",
    [
        (lambda s: s.update_station(5, name="X"), False),
        (lambda s: s.remove_station(5), None),
        (lambda s: s.remove_station("x"), None),
    ],
)
def test_absent_station_leaves_the_file_untouched(fresh_store, clock, data_file, monkeypatch, call, result):
    store = fresh_store.RadioStationStorage()
    store.add_station("http://a", "A")
    data_file.write_text("untouched", encoding="utf-8")
    saves = count_saves(store, monkeypatch)

    assert call(store) is result
    assert saves == []
    assert data_file.read_text(encoding="utf-8") == "untouched"


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_station("http://b", "B"),
        lambda s: s.update_station(0),
        lambda s: s.remove_station(0),
    ],
)
def test_each_change_saves_once_through_the_store(fresh_store, clock, monkeypatch, call):
    store = fresh_store.RadioStationStorage()
    store.add_station("http://a", "A")
    saves = count_saves(store, monkeypatch)
    call(store)
    assert saves == [1]


def test_numbering_goes_on_after_a_restart(fresh_store, clock, data_file):
    store = fresh_store.RadioStationStorage()
    for n in range(3):
        store.add_station(f"http://s{n}", f"S{n}")
    store.update_station(1, name="One")

    again = restart(fresh_store)
    assert again is not store
    assert again.get_all_stations() == section(data_file)
    assert list(again.get_station(1)) == ["url", "name", "description", "added_date", "updated_date"]
    assert again.add_station("http://s3", "S3") == 3


def test_stations_read_back_in_a_fresh_process(fresh_store, clock, data_file, run_py):
    store = fresh_store.RadioStationStorage()
    store.add_station("http://a", "Ä-Radio", "Nachrichten")
    store.add_station("http://b", "B")
    store.remove_station(0)
    store.update_station(1, url="http://c")

    code = (
        "import json\n"
        "from data.storage import RadioStationStorage\n"
        "s = RadioStationStorage()\n"
        "before = json.dumps(s.get_all_stations())\n"
        "print(json.dumps([json.loads(before), s.add_station('http://d', 'D')]))\n"
    )
    out = run_py(code)

    stations, new_id = json.loads(out.stdout)
    assert stations == {"1": {"url": "http://c", "name": "B", "description": "", "added_date": ADDED,
                              "updated_date": ADDED}}
    assert list(stations["1"]) == ["url", "name", "description", "added_date", "updated_date"]
    assert new_id == 2
    assert list(section(data_file)) == ["1", "2"]


METHODS = [
    ("__init__", "(self, data_folder=None)", None),
    ("add_station", "(self, station_url, name, description='')", "Add a radio station."),
    ("get_station", "(self, station_id)", "Get a specific radio station by ID."),
    ("remove_station", "(self, station_id)", "Remove a radio station."),
    ("get_all_stations", "(self)", "Get all radio stations."),
    ("update_station", "(self, station_id, name=None, url=None, description=None)",
     "Update fields on an existing radio station."),
]


def test_methods_signatures_and_docstrings(fresh_store):
    cls = fresh_store.RadioStationStorage
    assert_own_methods(cls, METHODS)
