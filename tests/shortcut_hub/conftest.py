"""Fixtures for core.shortcut_hub's tests: the stand-ins of the hotkey
library and of the host on the import path, a real wx window as the main
window, the settings of this test's home folder and a recorder of speech."""
import sys
from pathlib import Path

import pytest

STANDINS = Path(__file__).parent / "standins"
if str(STANDINS) not in sys.path:
    sys.path.insert(0, str(STANDINS))

import wx  # noqa: E402

import core.shortcut_hub as sh  # noqa: E402  (needs the folder above on the path)
from host_standin import MainWindow  # noqa: E402


@pytest.fixture(scope="session")
def wx_app():
    app = wx.App(False)
    yield app


@pytest.fixture
def window(wx_app):
    frame = MainWindow()
    yield frame
    frame.Destroy()


class Speech:
    """Stands in for the AccessibilityManager: records what is spoken."""

    def __init__(self):
        self.spoken = []

    def speak(self, text, interrupt=False):
        self.spoken.append((text, interrupt))
        return True


@pytest.fixture
def speech(monkeypatch):
    recorder = Speech()
    monkeypatch.setattr(sh, "get_accessibility_manager", lambda: recorder)
    return recorder


@pytest.fixture
def settings(fresh_store, monkeypatch):
    """The settings of this test's home folder (core.config's one Config, made afresh)."""
    import core.config

    monkeypatch.setattr(core.config, "_config_instance", None)
    return core.config.get_config()


@pytest.fixture
def hotkeys_file(home):
    return home / "Documents" / "Velmora" / "hotkeys.json"


@pytest.fixture
def hub(window, speech, settings):
    return sh.ShortcutHub(window)


@pytest.fixture
def log(caplog):
    """log() gives the module's log records since the last log(), as
    (level, message, whether a traceback is attached)."""
    caplog.set_level("DEBUG", logger="core.shortcut_hub")
    caplog.clear()

    def read():
        records = [(r.levelname, r.getMessage(), r.exc_info is not None)
                   for r in caplog.records if r.name == "core.shortcut_hub"]
        caplog.clear()
        return records

    return read
