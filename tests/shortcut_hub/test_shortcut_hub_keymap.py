"""The key map: defaults and labels, where the hotkey file lives, loading it
and saving it, and the two formatters of key strings."""
import builtins
import datetime
import errno
import json
import os
import re

import pytest

import core.shortcut_hub as sh
from module_test_helpers import run_python

DEFAULTS = {
    "play_pause": "alt+shift+back",
    "stop": "control+alt+s",
    "next": "alt+shift+0",
    "previous": "alt+shift+9",
    "volume_up": "alt+shift+pageup",
    "volume_down": "alt+shift+pagedown",
}
LABELS = {
    "play_pause": "Play/Pause",
    "stop": "Stop",
    "next": "Next/Skip Forward",
    "previous": "Previous/Skip Backward",
    "volume_up": "Volume Up",
    "volume_down": "Volume Down",
}


def write(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else content.encode())


# --- defaults, labels, the file's place ----------------------------------------


@pytest.mark.parametrize("getter, expected", [("get_default_keymap", DEFAULTS), ("get_hotkey_labels", LABELS)])
def test_defaults_and_labels_in_table_order_and_new_each_time(getter, expected):
    first = getattr(sh.ShortcutHub, getter)()
    assert list(first.items()) == list(expected.items())
    first["stop"] = "changed"
    assert getattr(sh.ShortcutHub, getter)() == expected


def test_construction_reads_the_file_and_registers_nothing(hub, window, speech):
    assert list(vars(hub)) == ["main_window", "handler", "keymap", "accessibility"]
    assert hub.main_window is window and hub.handler.parent is window
    assert hub.keymap == DEFAULTS and hub.accessibility is speech
    assert hub.handler.active_keys == {}


def test_the_real_screen_reader_output_is_the_one_manager(window, settings, monkeypatch):
    from core.accessibility import AccessibilityManager

    monkeypatch.setattr(AccessibilityManager, "_instance", None)
    assert sh.ShortcutHub(window).accessibility is AccessibilityManager()


@pytest.mark.parametrize("stored, folder", [
    ("absent", None),
    (None, None),
    ("", None),
    ("elsewhere", "elsewhere"),
], ids=["absent", "None", "empty", "a folder"])
def test_file_lives_in_the_data_directory(hub, settings, home, tmp_path, stored, folder):
    if stored != "absent":
        settings.set("data_directory", str(tmp_path / stored) if stored else stored)
    expected = (tmp_path / folder) if folder else home / "Documents" / "Velmora"
    assert hub.get_hotkeys_file_path() == expected / "hotkeys.json"


def test_a_changed_data_directory_counts_from_the_next_save(hub, settings, tmp_path, hotkeys_file):
    assert hub.save_keymap() is True and hotkeys_file.exists()
    settings.set("data_directory", str(tmp_path / "moved"))
    assert hub.save_keymap({"stop": "f5"}) is True
    assert json.loads((tmp_path / "moved" / "hotkeys.json").read_text()) == {"stop": "f5"}
    assert hub.load_keymap()["stop"] == "f5"


# --- loading ----------------------------------------------------------------------


def test_without_file_the_defaults_silently_and_a_new_copy_each_time(hub, log):
    first = hub.load_keymap()
    first["stop"] = "changed"
    assert hub.load_keymap() == DEFAULTS and log() == []


def test_file_members_first_then_missing_defaults_in_table_order(window, speech, settings, hotkeys_file, log):
    write(hotkeys_file, '{"stop": "control+s", "mute": "alt+m"}')
    hub = sh.ShortcutHub(window)
    assert list(hub.keymap.items()) == [("stop", "control+s"), ("mute", "alt+m")] + [
        (k, v) for k, v in DEFAULTS.items() if k != "stop"]
    assert log() == [("INFO", f"Loaded hotkey configuration from {hotkeys_file}", False)]
    assert hub.save_keymap() is True
    assert list(json.loads(hotkeys_file.read_text())) == ["stop", "mute", "play_pause", "next", "previous",
                                                          "volume_up", "volume_down"]


UNREADABLE = {
    "empty": (b"", "Expecting value: line 1 column 1 (char 0)"),
    "syntax error": (b'{"stop": ', "Expecting value: line 1 column 10 (char 9)"),
    "not text": (b'{"stop": "\xff\xfe"}', "'utf-8' codec can't decode byte 0xff"),
    "a list": (b'["stop"]', "does not hold a JSON object"),
    "a string": (b'"stop"', "does not hold a JSON object"),
    "null": (b"null", "does not hold a JSON object"),
    "too deep": (b"[" * 100000 + b"]" * 100000, "recursion"),
}


@pytest.mark.parametrize("content, error", UNREADABLE.values(), ids=UNREADABLE.keys())
def test_unreadable_file_gives_the_defaults_and_one_error(window, speech, settings, hotkeys_file, log,
                                                          content, error):
    write(hotkeys_file, content)
    hub = sh.ShortcutHub(window)
    assert hub.keymap == DEFAULTS
    [(level, message, traceback)] = log()
    assert (level, traceback) == ("ERROR", False)
    assert message.startswith("Failed to load hotkey configuration: ") and error in message
    assert hotkeys_file.read_bytes() == content


def copies(hotkeys_file):
    """The names of the copies kept beside the hotkey file, in order."""
    return sorted(n for n in os.listdir(hotkeys_file.parent) if n != "hotkeys.json")


def refuse_reading(monkeypatch, path):
    """open() of `path` fails as a failing disk does; other files open as usual."""
    real = builtins.open

    def failing(file, *args, **kwargs):
        if os.fspath(file) == os.fspath(path):
            raise OSError(errno.EIO, "Input/output error", os.fspath(file))
        return real(file, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", failing)


KEPT = {
    # content, what makes it fail to load (None: loads), whether the save keeps it
    "cut short": (b'{"stop": "control+s", "next": "f', None, True),
    "byte-order mark": (b'\xef\xbb\xbf{"stop": "control+s"}', None, True),
    "an array": (b'[["stop", "control+s"]]', None, True),
    "not text": (b'{"stop": "control+\xff"}', None, True),
    "loads": (b'{"stop": "control+s"}', None, False),
    "cannot be read": (b'{"stop": "control+s"}', refuse_reading, False),
}


@pytest.mark.parametrize("content, failure, kept", KEPT.values(), ids=KEPT.keys())
def test_file_that_does_not_load_is_kept_before_the_first_save(window, speech, settings, hotkeys_file,
                                                               monkeypatch, content, failure, kept):
    write(hotkeys_file, content)
    if failure:
        failure(monkeypatch, hotkeys_file)
    hub = sh.ShortcutHub(window)
    hub.keymap["next"] = "f5"
    assert hub.save_keymap() is True
    assert json.loads(hotkeys_file.read_bytes())["next"] == "f5"
    names = copies(hotkeys_file)
    if kept:
        [name] = names
        assert re.fullmatch(r"hotkeys\.json\.corrupt-\d{8}-\d{6}", name)
        assert (hotkeys_file.parent / name).read_bytes() == content
    else:
        assert names == []
    assert hub.save_keymap({"stop": "f6"}) is True  # the file loads now: no further copy
    assert copies(hotkeys_file) == names


def test_copies_kept_never_replace_each_other(window, speech, settings, hotkeys_file, monkeypatch):
    stamp = datetime.datetime(2025, 1, 31, 18, 5, 42)
    monkeypatch.setattr(datetime, "datetime", type("Frozen", (), {"now": staticmethod(lambda: stamp)}))
    for content in (b"[1]", b"[2]", b"[3]"):
        write(hotkeys_file, content)
        assert sh.ShortcutHub(window).save_keymap() is True
    names = copies(hotkeys_file)
    first = "hotkeys.json.corrupt-20250131-180542"
    assert names == [first, first + "-1", first + "-2"]
    assert [(hotkeys_file.parent / n).read_bytes() for n in names] == [b"[1]", b"[2]", b"[3]"]


def test_file_that_cannot_be_kept_is_not_replaced(hub, hotkeys_file, monkeypatch, log):
    write(hotkeys_file, b"{broken")

    real_open = os.open

    def refuse_copies(path, *args, **kwargs):
        if ".corrupt-" in os.fspath(path):
            raise PermissionError(13, "Permission denied")
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(os, "open", refuse_copies)
    log()
    assert hub.save_keymap() is False
    assert log() == [("ERROR", "Failed to save hotkey configuration: [Errno 13] Permission denied", False)]
    assert hotkeys_file.read_bytes() == b"{broken" and copies(hotkeys_file) == []


def test_folder_in_the_files_place_is_a_failed_load_and_a_failed_save(hub, hotkeys_file, log):
    hotkeys_file.mkdir(parents=True)
    assert hub.load_keymap() == DEFAULTS
    assert hub.save_keymap() is False
    [(_, loading, _), (level, saving, traceback)] = log()
    assert loading.startswith("Failed to load hotkey configuration: [Errno 21] Is a directory")
    assert (level, traceback) == ("ERROR", False)
    assert saving.startswith("Failed to save hotkey configuration: [Errno 21] Is a directory")
    assert os.listdir(hotkeys_file.parent) == ["hotkeys.json"]


# --- saving -----------------------------------------------------------------------


@pytest.mark.parametrize("keymap, text", [
    ({"stop": "control+s", "next": "f5"}, '{\n  "stop": "control+s",\n  "next": "f5"\n}'),
    ({}, "{}"),
    ({"stop": "alt+é", "ключ": "f1"}, '{\n  "stop": "alt+\\u00e9",\n  "\\u043a\\u043b\\u044e\\u0447": "f1"\n}'),
    ({"n": None, 1: [1, 2]}, '{\n  "n": null,\n  "1": [\n    1,\n    2\n  ]\n}'),
], ids=["two members", "empty", "beyond ASCII", "other values"])
def test_saved_layout(hub, hotkeys_file, log, keymap, text):
    assert hub.save_keymap(keymap) is True
    assert hotkeys_file.read_bytes() == text.encode("ascii")
    assert hub.keymap == DEFAULTS
    assert log() == [("INFO", f"Saved hotkey configuration to {hotkeys_file}", False)]


def test_save_without_a_map_writes_the_instances_map(hub, hotkeys_file):
    hub.keymap["stop"] = "f9"
    assert hub.save_keymap() is True and hub.save_keymap(keymap=None) is True
    assert json.loads(hotkeys_file.read_text())["stop"] == "f9"
    assert os.listdir(hotkeys_file.parent) == ["hotkeys.json"]


@pytest.mark.parametrize("keymap", [{"stop": object()}, {"stop": {1, 2}}, {("a", "b"): "x"}],
                         ids=["object", "set", "tuple key"])
def test_map_that_cannot_be_written_raises_and_leaves_the_file(hub, hotkeys_file, keymap):
    assert hub.save_keymap({"stop": "f1"}) is True
    before = hotkeys_file.read_bytes()
    with pytest.raises(TypeError):
        hub.save_keymap(keymap)
    assert hotkeys_file.read_bytes() == before
    assert os.listdir(hotkeys_file.parent) == ["hotkeys.json"]


def test_map_that_cannot_be_written_touches_no_folder(hub, settings, tmp_path):
    settings.set("data_directory", str(tmp_path / "new"))
    with pytest.raises(TypeError):
        hub.save_keymap({"stop": object()})
    assert not (tmp_path / "new").exists()


def test_failed_replace_keeps_the_old_file_and_leaves_no_temporary_file(hub, hotkeys_file, monkeypatch, log):
    assert hub.save_keymap({"stop": "f1"}) is True
    log()

    def refuse(*args, **kwargs):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(os, "replace", refuse)
    assert hub.save_keymap({"stop": "f2"}) is False
    assert log() == [("ERROR", "Failed to save hotkey configuration: [Errno 5] Input/output error", False)]
    assert json.loads(hotkeys_file.read_text()) == {"stop": "f1"}
    assert os.listdir(hotkeys_file.parent) == ["hotkeys.json"]


def test_file_where_the_folder_should_be_fails_the_save(hub, settings, tmp_path, log):
    (tmp_path / "a file").write_text("not a folder")
    settings.set("data_directory", str(tmp_path / "a file" / "Velmora"))
    assert hub.save_keymap() is False
    [(level, message, _)] = log()
    assert level == "ERROR" and message.startswith("Failed to save hotkey configuration: [Errno 20] Not a directory")


def test_full_disk_keeps_the_old_file_and_leaves_no_temporary_file(home, hotkeys_file):
    write(hotkeys_file, '{"stop": "f1"}')
    done = run_python("""
        import resource, signal
        from pathlib import Path
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        from core.shortcut_hub import ShortcutHub
        class Owner:  # the save needs only these two of a hub
            keymap = {"stop": "f2"}
            def get_hotkeys_file_path(self):
                return Path(HOTKEYS_FILE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))
        print(ShortcutHub.save_keymap(Owner()))
    """.replace("HOTKEYS_FILE", repr(str(hotkeys_file))), home)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["False"]
    assert hotkeys_file.read_text() == '{"stop": "f1"}'
    assert os.listdir(hotkeys_file.parent) == ["hotkeys.json"]


# --- key strings ------------------------------------------------------------------


@pytest.mark.parametrize("modifiers, key, expected", [
    ({"shift", "control"}, "s", "control+shift+s"),
    ({"alt"}, "", "alt"),
    ({"alt"}, None, "alt"),
    (set(), "f5", "f5"),
    (set(), "", ""),
    ({"shift", "windows", "alt", "control"}, "back", "control+alt+windows+shift+back"),
    ({"shift", "hyper", "Alt"}, "x", "shift+x"),
    (["alt", "shift"], "9", "alt+shift+9"),
    ("control alt", "k", "control+alt+k"),
])
def test_format_key_combination(modifiers, key, expected):
    assert sh.ShortcutHub.format_key_combination(modifiers, key) == expected


def test_format_key_combination_key_is_optional():
    assert sh.ShortcutHub.format_key_combination({"control"}) == "control"
    assert sh.ShortcutHub.format_key_combination(modifiers={"alt"}, key="x") == "alt+x"


@pytest.mark.parametrize("key_string, expected", [
    ("shift+alt+s", "alt+shift+s"),
    ("s", "s"),
    ("", ""),
    ("Alt+Shift", "Shift"),
    ("alt+shift", "alt+shift"),
    ("s+alt", "alt"),
    ("alt+foo+s", "alt+s"),
    ("alt+alt+s", "alt+s"),
    ("Alt+S", "S"),
    ("control+alt+", "control+alt"),
    ("shift+windows+control+pageup", "control+windows+shift+pageup"),
])
def test_format_key_string(key_string, expected):
    assert sh.ShortcutHub.format_key_string(key_string) == expected


def test_format_key_string_goes_through_format_key_combination(monkeypatch):
    seen = []
    monkeypatch.setattr(sh.ShortcutHub, "format_key_combination",
                        staticmethod(lambda modifiers, key="": seen.append((modifiers, key)) or "made"))
    assert sh.ShortcutHub.format_key_string("shift+alt+shift+q") == "made"
    assert seen == [({"alt", "shift"}, "q")]


@pytest.mark.parametrize("call", [
    lambda: sh.ShortcutHub.format_key_combination({"alt"}, 5),
    lambda: sh.ShortcutHub.format_key_combination({"alt"}, b"s"),
    lambda: sh.ShortcutHub.format_key_string(b"alt+s"),
    lambda: sh.ShortcutHub.format_key_string(["alt", "s"]),
])
def test_key_text_of_another_type_is_refused(call):
    with pytest.raises(TypeError):
        call()
