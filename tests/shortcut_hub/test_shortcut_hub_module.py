"""core.shortcut_hub as a module: what it binds when it loads, what it does
not load, its failures to load, and the signatures of its class."""
import inspect

import pytest

import core.shortcut_hub as sh
from module_test_helpers import run_python


def test_module_namespace_in_order_and_no_side_effects(tmp_path):
    home = tmp_path / "fresh-home"
    home.mkdir()
    done = run_python("""
        import json, logging, pathlib
        import core.shortcut_hub as sh
        import core.accessibility, keyboard_handler.wx_handler, player.media_player
        print([n for n in vars(sh) if not n.startswith("__")])
        print(sh.json is json, sh.logging is logging, sh.Path is pathlib.Path,
              sh.WXKeyboardHandler is keyboard_handler.wx_handler.WXKeyboardHandler,
              sh.get_accessibility_manager is core.accessibility.get_accessibility_manager,
              sh.db_to_percentage is player.media_player.db_to_percentage, sh.logger.name)
        print(sorted(m for m in ("core.config", "data.storage", "ui.main_window", "accessible_output2")
                     if m in sys.modules))
    """, home)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "['json', 'logging', 'Path', 'WXKeyboardHandler', 'get_accessibility_manager', 'db_to_percentage', "
        "'logger', 'ShortcutHub']",
        "True True True True True True core.shortcut_hub",
        "[]",
    ]
    assert list(home.iterdir()) == []


@pytest.mark.parametrize("prelude, missing", [
    ("sys.modules['keyboard_handler'] = None", "keyboard_handler.wx_handler"),
    ("sys.modules['keyboard_handler.wx_handler'] = None", "keyboard_handler.wx_handler"),
    ("sys.modules['player'] = None", "player.media_player"),
    ("import player.media_player as p; del p.db_to_percentage", "player.media_player"),
    ("import core.accessibility as a; del a.get_accessibility_manager", "core.accessibility"),
], ids=["no hotkey library", "no wx handler", "no host player", "no volume conversion", "no getter"])
def test_module_does_not_load_without_what_it_binds(tmp_path, prelude, missing):
    done = run_python(prelude + """
try:
    import core.shortcut_hub
except ImportError as e:
    print(type(e).__name__, e.name, "core.shortcut_hub" in sys.modules)
else:
    print("loaded")
""", tmp_path)
    assert done.returncode == 0, done.stderr
    kind = "ImportError" if "del " in prelude else "ModuleNotFoundError"
    assert done.stdout.split() == [kind, missing, "False"]


ROWS = [
    ("__init__", "(self, main_window: 'MainWindow')", False),
    ("get_default_keymap", "() -> Dict[str, str]", True),
    ("get_hotkey_labels", "() -> Dict[str, str]", True),
    ("get_hotkeys_file_path", "(self) -> pathlib.Path", False),
    ("load_keymap", "(self) -> Dict[str, str]", False),
    ("save_keymap", "(self, keymap: Optional[Dict[str, str]] = None) -> bool", False),
    ("register_hotkeys", "(self)", False),
    ("unregister_all_keys", "(self)", False),
    ("_get_valid_player", "(self)", False),
    ("play_pause", "(self)", False),
    ("stop", "(self)", False),
    ("next_track", "(self)", False),
    ("previous_track", "(self)", False),
    ("volume_up", "(self)", False),
    ("volume_down", "(self)", False),
    ("format_key_combination", "(modifiers: set, key: str = '') -> str", True),
    ("format_key_string", "(key_string: str) -> str", True),
]


@pytest.mark.parametrize("name, signature, static", ROWS, ids=[r[0] for r in ROWS])
def test_signature(name, signature, static):
    assert isinstance(vars(sh.ShortcutHub)[name], staticmethod) == static
    assert str(inspect.signature(getattr(sh.ShortcutHub, name))) == signature


def test_methods_in_order_and_a_plain_class():
    assert sh.ShortcutHub.__bases__ == (object,) and sh.ShortcutHub.__module__ == "core.shortcut_hub"
    assert [n for n in vars(sh.ShortcutHub) if not n.startswith("__") or n == "__init__"] == [r[0] for r in ROWS]
