"""Shared fixtures: every test runs with a home folder of its own, so the
Documents folder and everything Velmora writes there stay inside tmp_path."""
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).parent
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))
    return home


@pytest.fixture
def fresh_store(home):
    """data.storage with its single ConsolidatedStorage instance reset, so the
    next construction loads the data file of this test's home folder."""
    from data import storage

    storage.ConsolidatedStorage._instance = None
    yield storage
    storage.ConsolidatedStorage._instance = None
