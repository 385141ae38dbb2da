"""Loading the data file clears what killed saves of it left in its folder,
and nothing else there."""
import json
import logging
import os
import random

import pytest

from killed_writer import kill_writer, writer_env
from temporary_files import AGES, HOUR, age_all, make_entry, names_that_stay, refuse_removal, temporary_name


def write_data_file(data_file):
    data_file.parent.mkdir(parents=True, exist_ok=True)
    data_file.write_text('{"config": {"kept": 1}}', encoding="utf-8")


@pytest.mark.parametrize("with_file", [True, False], ids=["data file", "no data file"])
@pytest.mark.parametrize("label, seconds, removed", AGES, ids=[a[0] for a in AGES])
def test_load_removes_its_own_leftovers_once_old(fresh_store, data_file, with_file, label, seconds, removed):
    data_file.parent.mkdir(parents=True)
    if with_file:
        write_data_file(data_file)
    empty = make_entry(data_file.parent / temporary_name("velmora.dat"), "file", seconds, b"")
    partial = make_entry(data_file.parent / temporary_name("velmora.dat", "a1b2c3d4e5f6"), "file", seconds)
    store = fresh_store.ConsolidatedStorage()
    assert empty.exists() is partial.exists() is not removed
    assert store.master_data["config"] == ({"kept": 1} if with_file else {})


@pytest.mark.parametrize("label, name, kind", names_that_stay("velmora.dat", "hotkeys.json"),
                         ids=[n[0] for n in names_that_stay("velmora.dat", "hotkeys.json")])
def test_load_leaves_every_other_name_alone(fresh_store, data_file, label, name, kind):
    write_data_file(data_file)
    folder = data_file.parent
    make_entry(folder / name, kind)
    make_entry(folder / temporary_name("velmora.dat", "ffffffffffff"), "file")
    (folder / "notes.txt").write_text("the user's own")
    fresh_store.ConsolidatedStorage()
    assert sorted(os.listdir(folder)) == sorted([name, "notes.txt", "velmora.dat"])


def test_leftover_that_cannot_be_removed_is_logged_and_loading_goes_on(fresh_store, data_file, monkeypatch,
                                                                       caplog):
    write_data_file(data_file)
    stuck = make_entry(data_file.parent / temporary_name("velmora.dat"), "file")
    other = make_entry(data_file.parent / temporary_name("velmora.dat", "000000000000"), "file")
    refuse_removal(monkeypatch, stuck)
    with caplog.at_level(logging.DEBUG, logger="data.storage"):
        store = fresh_store.ConsolidatedStorage()
    assert store.master_data["config"] == {"kept": 1}
    assert stuck.exists() and not other.exists()
    [record] = caplog.records
    assert (record.name, record.levelname) == ("data.storage", "WARNING")
    assert str(stuck) in record.getMessage() and "Permission denied" in record.getMessage()


def test_after_killed_saves_the_next_start_leaves_only_the_data_file(data_file, run_py, home):
    env = writer_env(home)
    rng = random.Random(20250131)
    for _ in range(8):
        kill_writer(env, "random moment", rng)
    kill_writer(env, "stop before the rename", rng)
    folder = data_file.parent
    left = [n for n in os.listdir(folder) if n != "velmora.dat"]
    assert left and all(n.startswith("velmora.dat.") and n.endswith(".tmp") for n in left)
    age_all(folder, left, HOUR)  # the next start comes later
    proc = run_py("""
        from data.storage import ConsolidatedStorage
        print(len(ConsolidatedStorage().get_section("downloads")))
    """)
    assert proc.stdout.split() == ["300"]
    assert os.listdir(folder) == ["velmora.dat"]
    assert len(json.loads(data_file.read_text("utf-8"))["downloads"]) == 300


@pytest.mark.parametrize("name", ["velmora\0.dat", "velmora\ud800.dat"], ids=["NUL", "lone surrogate"])
def test_path_no_file_can_have_loads_nothing_and_logs_nothing(fresh_store, data_file, caplog, name):
    write_data_file(data_file)
    store = fresh_store.ConsolidatedStorage()
    store.filepath = str(data_file.parent / name)  # as the host may set it
    with caplog.at_level(logging.DEBUG, logger="data.storage"):
        assert store.load() is store.master_data
    assert store.master_data["config"] == {"kept": 1}
    assert caplog.records == []


def test_sweep_that_fails_is_one_warning_and_loading_goes_on(fresh_store, data_file, monkeypatch, caplog):
    write_data_file(data_file)

    def listdir(path):
        raise RuntimeError("listing broke")

    monkeypatch.setattr(os, "listdir", listdir)
    with caplog.at_level(logging.DEBUG, logger="data.storage"):
        store = fresh_store.ConsolidatedStorage()
    assert store.master_data["config"] == {"kept": 1}
    [record] = caplog.records
    assert record.levelname == "WARNING" and str(data_file) in record.getMessage()
    assert "listing broke" in record.getMessage()
