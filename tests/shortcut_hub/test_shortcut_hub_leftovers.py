"""Loading the hotkey file clears what killed saves of it left in its folder,
and nothing else there."""
import json
import logging
import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

import core.shortcut_hub as sh
from temporary_files import AGES, HOUR, age_all, make_entry, names_that_stay, refuse_removal, temporary_name

DEFAULTS = sh.ShortcutHub.get_default_keymap()


@pytest.fixture
def folder(hotkeys_file):
    hotkeys_file.parent.mkdir(parents=True, exist_ok=True)
    return hotkeys_file.parent


@pytest.mark.parametrize("with_file", [True, False], ids=["hotkey file", "no hotkey file"])
@pytest.mark.parametrize("label, seconds, removed", AGES, ids=[a[0] for a in AGES])
def test_load_removes_its_own_leftovers_once_old(hub, folder, hotkeys_file, with_file, label, seconds, removed):
    if with_file:
        hotkeys_file.write_text('{"stop": "f1"}')
    empty = make_entry(folder / temporary_name("hotkeys.json"), "file", seconds, b"")
    partial = make_entry(folder / temporary_name("hotkeys.json", "a1b2c3d4e5f6"), "file", seconds, b'{\n  "st')
    keymap = hub.load_keymap()
    assert empty.exists() is partial.exists() is not removed
    assert keymap["stop"] == ("f1" if with_file else "control+alt+s")


@pytest.mark.parametrize("label, name, kind", names_that_stay("hotkeys.json", "velmora.dat"),
                         ids=[n[0] for n in names_that_stay("hotkeys.json", "velmora.dat")])
def test_load_leaves_every_other_name_alone(hub, folder, label, name, kind):
    before = set(os.listdir(folder))
    make_entry(folder / name, kind)
    make_entry(folder / temporary_name("hotkeys.json", "ffffffffffff"), "file")
    hub.load_keymap()
    assert set(os.listdir(folder)) == before | {name}


def test_leftover_that_cannot_be_removed_is_logged_and_loading_goes_on(hub, folder, hotkeys_file, monkeypatch,
                                                                       caplog):
    hotkeys_file.write_text('{"stop": "f1"}')
    stuck = make_entry(folder / temporary_name("hotkeys.json"), "file")
    refuse_removal(monkeypatch, stuck)
    with caplog.at_level(logging.WARNING, logger="core.shortcut_hub"):
        assert hub.load_keymap()["stop"] == "f1"
    [record] = caplog.records
    assert (record.name, record.levelname) == ("core.shortcut_hub", "WARNING")
    assert str(stuck) in record.getMessage() and "Permission denied" in record.getMessage()
    assert stuck.exists()


KILLED_SAVE = """
    import os, sys, threading
    from pathlib import Path
    from core.shortcut_hub import ShortcutHub

    class Owner:  # the save needs only these two of a hub
        keymap = {"stop": "f2"}
        def get_hotkeys_file_path(self):
            return Path(sys.argv[1])

    def stuck(src, dst):
        print("renaming", flush=True)
        threading.Event().wait()

    os.replace = stuck
    ShortcutHub.save_keymap(Owner())
"""


def test_save_killed_before_its_rename_leaves_the_old_file_and_the_next_start_clears(hub, folder, hotkeys_file,
                                                                                     home):
    hotkeys_file.write_text('{"stop": "f1"}')
    env = dict(os.environ, HOME=str(home), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen(["/usr/bin/python3", "-c", textwrap.dedent(KILLED_SAVE), str(hotkeys_file)],
                            env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([proc.stdout], [], [], 30)[0], "the save did not start"
        assert proc.stdout.readline().strip() == "renaming"
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        proc.stdout.close()
    [left] = [n for n in os.listdir(folder) if n.startswith("hotkeys.json.")]
    assert json.loads((folder / left).read_text()) == {"stop": "f2"}
    assert hub.load_keymap()["stop"] == "f1"  # just killed: a save could still be running
    assert (folder / left).exists()
    age_all(folder, [left], HOUR)  # the next start comes later
    assert hub.load_keymap()["stop"] == "f1"
    assert not (folder / left).exists() and hotkeys_file.read_text() == '{"stop": "f1"}'


@pytest.mark.parametrize("folder", ["Velmora\0data", "Velmora\ud800data"], ids=["NUL", "lone surrogate"])
def test_folder_no_file_can_be_in_gives_the_defaults_and_logs_nothing(window, speech, settings, log, folder):
    settings.settings["data_directory"] = folder  # as the host may hold it; the data file could not
    hub = sh.ShortcutHub(window)
    assert hub.keymap == hub.load_keymap() == DEFAULTS
    assert log() == []
    hub.register_hotkeys()
    assert hub.keymap == DEFAULTS and list(hub.handler.active_keys) == list(DEFAULTS.values())
    assert log() == [("INFO", "Successfully registered all global hotkeys", False)]


def test_sweep_that_fails_is_one_warning_and_loading_goes_on(hub, folder, hotkeys_file, monkeypatch, log):
    hotkeys_file.write_text('{"stop": "f1"}')
    log()

    def listdir(path):
        raise RuntimeError("listing broke")

    monkeypatch.setattr(os, "listdir", listdir)
    assert hub.load_keymap()["stop"] == "f1"
    [(level, message, _), loaded] = log()
    assert level == "WARNING" and str(hotkeys_file) in message and "listing broke" in message
    assert loaded == ("INFO", f"Loaded hotkey configuration from {hotkeys_file}", False)
