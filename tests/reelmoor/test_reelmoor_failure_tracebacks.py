"""The failures the client logs with their traceback show where they
happened: the operation's own frame first, then the frames the error came
through, whether it began in Python code or in the client's C++ code."""
import logging

import pytest
from yt_dlp.utils import DownloadError

from native_frames import logged_traceback, native_frames
from site_names import BASE, SEARCH_PREFIX

CHANNELS = f"{BASE}results?search_query=q&sp=EgIQAg%3D%3D"
TAB = f"{BASE}@chan/videos"
SEARCH = ("src/reelmoor/search.cpp", "ReelmoorClient.search_videos")
CHANNEL_SEARCH = ("src/reelmoor/search.cpp", "ReelmoorClient.search_channels")
LISTING = ("src/reelmoor/channel_videos.cpp", "ReelmoorClient.get_channel_videos")


@pytest.mark.parametrize("operation, setup, line, frames, from_python", [
    (lambda c: c.search_videos("q"), lambda ydl: ydl.fail(f"{SEARCH_PREFIX}20:q", DownloadError("ERROR: gone")),
     "Search error: ERROR: gone", [SEARCH], True),
    (lambda c: c.search_videos("q"), lambda ydl: ydl.answer(f"{SEARCH_PREFIX}20:q", {"entries": 5}),
     "Search error: 'int' object is not iterable", [SEARCH], False),
    (lambda c: c.search_channels("q"), lambda ydl: ydl.answer(CHANNELS, {"entries": [{"channel_id": 7}]}),
     "Channel search error: 'int' object has no attribute 'startswith'",
     [CHANNEL_SEARCH, ("src/reelmoor/search.cpp", "ReelmoorClient._build_channel_from_entry")], False),
    (lambda c: c.get_channel_videos("@chan"), lambda ydl: ydl.answer(TAB, {"title": "Chan", "entries": None}),
     "Error loading channel videos for '@chan': 'NoneType' object is not iterable", [LISTING], False),
    (lambda c: c.get_channel_videos("@chan"),
     lambda ydl: ydl.answer(TAB, {"title": "Chan", "entries": [{"id": "a", "duration": 10**400}]}),
     "Error loading channel videos for '@chan': int too large to convert to float", [LISTING], False),
])
def test_logged_failures_show_their_frames(ydl, client, caplog, operation, setup, line, frames, from_python):
    caplog.set_level(logging.ERROR, logger="core.reelmoor")
    setup(ydl)
    operation(client)
    (record,) = [r for r in caplog.records if r.name == "core.reelmoor"]
    assert record.getMessage() == line
    text = logged_traceback(record)
    assert text.startswith("Traceback (most recent call last):\n")
    assert native_frames(text) == frames
    assert ("ydl_standin.py" in text) == from_python
