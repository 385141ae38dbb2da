"""Fixtures for core.accessibility's tests: the stand-in screen-reader
library on the import path, and a manager made afresh for each test."""
import sys
from pathlib import Path

import pytest

STANDINS = Path(__file__).parent / "standins"
if str(STANDINS) not in sys.path:
    sys.path.insert(0, str(STANDINS))

from accessible_output2.outputs import auto, base  # noqa: E402  (needs the folder above on the path)

import core.accessibility as acc  # noqa: E402


@pytest.fixture
def outputs(monkeypatch):
    """The stand-in library's record of calls and outputs made, empty; the
    manager's single instance is reset, so the next construction initialises."""
    monkeypatch.setattr(acc.AccessibilityManager, "_instance", None)
    monkeypatch.setattr(base.Output, "calls", [])
    monkeypatch.setattr(base.Output, "made", {})
    return base.Output


@pytest.fixture
def use_output(monkeypatch, outputs):
    """use_output(cls): the automatic output the next manager makes is cls."""
    return lambda cls: monkeypatch.setattr(auto, "Auto", cls)


@pytest.fixture
def silent(monkeypatch, outputs):
    """A manager on a machine without the library."""
    for name in ("accessible_output2", "accessible_output2.outputs", "accessible_output2.outputs.auto",
                 "accessible_output2.outputs.voiceover"):
        monkeypatch.setitem(sys.modules, name, None)
    return acc.AccessibilityManager()


@pytest.fixture
def log(caplog):
    """log() gives the module's log records since the last log(), as
    (level, message)."""
    caplog.set_level("DEBUG", logger="core.accessibility")
    caplog.clear()

    def read():
        records = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "core.accessibility"]
        caplog.clear()
        return records

    return read
