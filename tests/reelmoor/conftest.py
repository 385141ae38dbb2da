"""Fixtures for core.reelmoor's tests: a client, the recording yt-dlp
stand-in (`ydl`), the loopback site for the real yt-dlp
(`loopback_site`, `served_audio`) and a temporary folder of the test's own
(`temp_root`)."""
import logging
import tempfile

import pytest

from loopback_site import loopback_site, served_audio  # noqa: F401  (fixtures)
from ydl_standin import ydl  # noqa: F401  (fixture)

from core import reelmoor


@pytest.fixture
def client():
    return reelmoor.ReelmoorClient()


@pytest.fixture
def logged(caplog):
    """The module logger's lines so far, from DEBUG up, as (level name,
    message, whether a traceback is attached)."""
    caplog.set_level(logging.DEBUG, logger="core.reelmoor")

    def lines():
        return [(r.levelname, r.getMessage(), bool(r.exc_info and r.exc_info[0]))
                for r in caplog.records if r.name == "core.reelmoor"]

    return lines


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The system temporary folder, as tempfile reports it, is a new folder
    of this test (the audio cache goes below it)."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root
