"""Key strings and key maps made of the host's own str subclasses, whose
hashing or comparison changes the very list or map being walked: the result
is what the same loop in Python gives, and nothing reads freed memory (run
these under the sanitizer build to see the difference)."""
import json
import re

import pytest

import core.shortcut_hub as sh


class Part(str):
    """One part of a KeyText; hashing the first one runs the text's hook on
    the list of parts."""

    def __new__(cls, text, owner):
        part = super().__new__(cls, text)
        part.owner = owner
        return part

    def __hash__(self):
        hook, self.owner.hook = self.owner.hook, None
        if hook:
            hook(self.owner.parts)
        return str.__hash__(self)


class KeyText(str):
    """A key string whose split hands out a list of Parts it keeps."""

    def __new__(cls, text, hook):
        key_text = super().__new__(cls, text)
        key_text.hook = hook
        return key_text

    def split(self, sep=None, maxsplit=-1):
        self.parts = [Part(p, self) for p in str.split(self, sep, maxsplit)]
        return self.parts


@pytest.mark.parametrize("hook, expected", [
    # The walk ends where the emptied list ends; the key was taken before.
    (list.clear, "alt+s"),
    # Parts added while walking are walked too (enough to move the list).
    (lambda parts: parts.extend(["control"] * 20), "control+alt+shift+s"),
], ids=["emptied", "grown"])
def test_format_key_string_walks_parts_changed_while_hashing(hook, expected):
    assert sh.ShortcutHub.format_key_string(KeyText("alt+shift+s", hook)) == expected


class Action(str):
    """An action name that is never equal to another, and runs a hook once
    when it is compared."""

    def __new__(cls, text, hook=None):
        action = super().__new__(cls, text)
        action.hook = hook
        return action

    def __eq__(self, other):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return False

    __hash__ = str.__hash__


def defaults_with_hostile_stop(change):
    """The default key map with "stop" as an Action whose comparison runs
    change(defaults, that action)."""
    defaults = {}
    stop = Action("stop", lambda: change(defaults, stop))
    for name, keys in sh.ShortcutHub.get_default_keymap().items():
        defaults[stop if name == "stop" else name] = keys
    return defaults


def replace_values(defaults, stop):
    defaults[stop] = "f5"  # the pair being walked keeps its old value
    defaults["volume_down"] = "f12"  # a later pair is read as it is now


@pytest.mark.parametrize("change, expected", [
    (lambda defaults, stop: defaults.clear(), RuntimeError("dictionary changed size during iteration")),
    (replace_values, [
        ("stop", "control+s"),
        ("play_pause", "alt+shift+back"),
        ("stop", "control+alt+s"),
        ("next", "alt+shift+0"),
        ("previous", "alt+shift+9"),
        ("volume_up", "alt+shift+pageup"),
        ("volume_down", "f12"),
    ]),
], ids=["emptied", "values replaced"])
def test_load_keymap_walks_defaults_changed_while_comparing(hub, hotkeys_file, change, expected):
    hotkeys_file.parent.mkdir(parents=True, exist_ok=True)
    hotkeys_file.write_text(json.dumps({"stop": "control+s"}))
    # The file's "stop" and the hostile default "stop" share a hash, so the
    # membership test compares them.
    hub.get_default_keymap = lambda: defaults_with_hostile_stop(change)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            hub.load_keymap()
    else:
        assert [(str(k), v) for k, v in hub.load_keymap().items()] == expected


class Pairs:
    """Defaults of the host's own mapping type, whose items() gives `pairs`."""

    def __init__(self, *pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


@pytest.mark.parametrize("defaults, expected", [
    (Pairs(["next", "f5"]), {"stop": "control+s", "next": "f5"}),
    (Pairs(("next", "f5", "x")), ValueError("too many values to unpack (expected 2)")),
    (Pairs(("next",)), ValueError("not enough values to unpack (expected 2, got 1)")),
    (Pairs(5), TypeError("cannot unpack non-iterable int object")),
], ids=["a list", "three", "one", "no pair"])
def test_load_keymap_unpacks_the_defaults_pairs_as_python_does(hub, hotkeys_file, defaults, expected):
    hotkeys_file.parent.mkdir(parents=True, exist_ok=True)
    hotkeys_file.write_text(json.dumps({"stop": "control+s"}))
    hub.get_default_keymap = lambda: defaults
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            hub.load_keymap()
    else:
        assert hub.load_keymap() == expected
