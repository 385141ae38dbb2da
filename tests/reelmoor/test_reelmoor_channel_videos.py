"""get_channel_videos through a recording yt-dlp stand-in: the tab address,
the channel record, paging over the listed entries, the video records and
every failure."""
import sys

import pytest
from yt_dlp.utils import DownloadError

from core import reelmoor
from site_names import BASE, SEARCH_PREFIX, watch

LISTING = {"quiet": True, "no_warnings": True, "extract_flat": True, "skip_download": True}
TAB = f"{BASE}@chan/videos"


def listing(count, **info):
    entries = [{"id": f"v{n:010d}", "title": f"Video {n}"} for n in range(count)]
    return {"channel_id": "UCchan", "title": "Chan", "entries": entries, **info}


def ids(page):
    return [v.video_id for v in page[1]]


@pytest.mark.parametrize("identifier", [None, ""])
def test_no_identifier_no_listing(monkeypatch, client, logged, identifier):
    monkeypatch.setitem(sys.modules, "yt_dlp", None)
    assert client.get_channel_videos(identifier) is None
    assert logged() == []


@pytest.mark.parametrize("identifier, tab, address", [
    ("@chan", TAB, f"{BASE}@chan"),
    (" UCabc ", f"{BASE}channel/UCabc/videos", f"{BASE}channel/UCabc"),
    (f"{BASE}@chan//", TAB, f"{BASE}@chan//"),  # the record keeps the slashes
    ("c/custom", f"{BASE}c/custom/videos", f"{BASE}c/custom"),
])
def test_the_tab_address(ydl, client, logged, identifier, tab, address):
    ydl.answer(tab, listing(1))
    channel, videos = client.get_channel_videos(identifier)
    assert ydl.calls == [("init", LISTING), ("enter",), ("extract_info", (tab,), {"download": False}),
                         ("exit", None)]
    assert list(ydl.options[0]) == list(LISTING)
    assert channel.url == address and ids((channel, videos)) == ["v0000000000"]
    assert logged() == [("INFO", "Loaded 1 videos for channel 'Chan' (offset=0)", False)]


def test_the_info_line_is_filled_in_by_the_logger(ydl, client, logged, caplog):
    ydl.answer(TAB, listing(3))
    client.get_channel_videos("@chan", 2, 1)
    (record,) = [r for r in caplog.records if r.name == "core.reelmoor"]
    assert (record.msg, record.args) == ("Loaded %s videos for channel '%s' (offset=%s)", (2, "Chan", 1))


@pytest.mark.parametrize("info, fields", [
    ({"channel_id": "UCa", "id": "UCb", "title": "T", "channel": "C", "channel_follower_count": 1_200_000,
      "channel_video_count": 345, "description": "About"},
     ["UCa", "T", f"{BASE}@chan", 1_200_000, 345, "About", "1.2M", "345"]),
    ({"id": "UCb", "channel": "C"}, ["UCb", "C", f"{BASE}@chan", None, None, "", "", ""]),
    ({"other": 1}, ["", "Unknown Channel", f"{BASE}@chan", None, None, "", "", ""]),
    # Presence decides: a present None is taken.
    ({"channel_id": None, "id": "UCb", "title": None, "channel": "C", "description": None},
     [None, None, f"{BASE}@chan", None, None, "", "", ""]),
], ids=["full", "fallbacks", "nothing", "present None"])
def test_the_channel_record(ydl, client, info, fields):
    ydl.answer(TAB, info)
    channel, videos = client.get_channel_videos("@chan")
    assert type(channel) is reelmoor.ReelmoorChannel and videos == []
    assert list(vars(channel).values()) == fields


@pytest.mark.parametrize("entry, fields", [
    ({"id": "a", "title": "T", "uploader": "Up", "channel": "C", "duration": 3661, "duration_seconds": 5,
      "view_count": 1500}, ["a", "T", "Up", "1:01:01", "1.5K", watch("a")]),
    ({"id": "a", "channel": "C", "duration_seconds": 65.5}, ["a", "Unknown Title", "C", "1:05", "0", watch("a")]),
    ({"id": "a"}, ["a", "Unknown Title", "Chan", "0:00", "0", watch("a")]),
    ({"id": "a", "uploader": None, "duration": None, "duration_seconds": 9, "view_count": "1,000"},
     ["a", "Unknown Title", None, "0:00", "1.0K", watch("a")]),
], ids=["full", "fallbacks", "channel's name", "present None"])
def test_the_video_records(ydl, client, entry, fields):
    ydl.answer(TAB, {"title": "Chan", "entries": [entry]})
    _, (video,) = client.get_channel_videos("@chan")
    assert type(video) is reelmoor.ReelmoorVideo
    assert list(vars(video).values()) == fields


@pytest.mark.parametrize("max_results, offset, expected", [
    (20, 20, range(20, 40)),
    (20, 0, range(0, 20)),
    (100, 45, range(45, 50)),
    (20, 50, []),
    (0, 3, [3]),  # the limit is tested after each append
    (-1, 0, [0]),
])
def test_paging(ydl, client, logged, max_results, offset, expected):
    ydl.answer(TAB, listing(50))
    page = client.get_channel_videos("@chan", max_results=max_results, offset=offset)
    assert ids(page) == [f"v{n:010d}" for n in expected]
    assert logged() == [("INFO", f"Loaded {len(expected)} videos for channel 'Chan' (offset={offset})", False)]


def test_entries_without_an_id_are_not_counted(ydl, client):
    info = listing(6)
    info["entries"][1:1] = [None, {}, {"id": ""}, {"id": None, "title": "x"}]
    ydl.answer(TAB, info)
    assert ids(client.get_channel_videos("@chan", 2, 1)) == ["v0000000001", "v0000000002"]


def test_a_listing_without_entries(ydl, client):
    ydl.answer(TAB, {"title": "Chan"})
    channel, videos = client.get_channel_videos("@chan")
    assert (channel.name, videos) == ("Chan", [])


@pytest.mark.parametrize("answer", [None, {}])
def test_no_information(ydl, client, logged, answer):
    ydl.answer(TAB, answer)
    assert client.get_channel_videos("@chan") is None
    assert logged() == [("ERROR", "No information returned for channel: @chan", False)]
    assert ydl.names() == ["init", "enter", "extract_info", "exit"]


@pytest.mark.parametrize("identifier, setup, error", [
    ("@chan", lambda ydl: ydl.fail(TAB, DownloadError("ERROR: no such channel")), "ERROR: no such channel"),
    ("@chan", lambda ydl: ydl.answer(TAB, {"title": "Chan", "entries": None}), "'NoneType' object is not iterable"),
    ("@chan", lambda ydl: ydl.answer(TAB, {"title": "Chan", "entries": [{"id": 5}]}),
     "ReelmoorVideo.__init__() argument 'video_id' must be str, not int"),
    # Blanks are an identifier, but nothing of them is left to list.
    ("   ", lambda ydl: None, "ERROR: no answer for /videos"),
])
def test_failures(ydl, client, logged, identifier, setup, error):
    setup(ydl)
    assert client.get_channel_videos(identifier) is None
    assert logged() == [("ERROR", f"Error loading channel videos for '{identifier}': {error}", True)]


def test_a_failing_exit_fails_the_listing(ydl, client, logged):
    ydl.answer(TAB, listing(1))
    ydl.YoutubeDL.__exit__ = lambda self, *exc: 1 / 0
    assert client.get_channel_videos("@chan") is None
    assert logged() == [("ERROR", "Error loading channel videos for '@chan': division by zero", True)]


class Relabelling(reelmoor.ReelmoorClient):
    def _normalize_channel_identifier(self, identifier):
        return f"{BASE}normalised/"

    def _format_view_count(self, view_count):
        return f"views {view_count}"

    def _format_duration(self, seconds):
        return f"time {seconds}"


def relabelled_instance():
    client = reelmoor.ReelmoorClient()
    for name in ("_normalize_channel_identifier", "_format_view_count", "_format_duration"):
        setattr(client, name, getattr(Relabelling(), name))
    return client


@pytest.mark.parametrize("make", [Relabelling, relabelled_instance], ids=["subclass", "instance"])
def test_the_client_methods_are_the_instance_s(ydl, make):
    ydl.answer(f"{BASE}normalised/videos", listing(1, channel_follower_count=7))
    channel, (video,) = make().get_channel_videos("@chan")
    assert (channel.url, channel.subscriber_text, channel.video_count_text) == (f"{BASE}normalised/", "views 7", "")
    assert (video.duration, video.view_count) == ("time None", "views None")


@pytest.mark.parametrize("replace", ["module name", "class __init__"])
@pytest.mark.parametrize("operation", ["get_channel_videos", "search_videos"])
def test_records_are_made_by_the_class_of_the_moment(monkeypatch, ydl, client, replace, operation):
    made = []
    original_init = reelmoor.ReelmoorVideo.__init__

    def init(self, **fields):
        made.append(fields)
        original_init(self, **fields)

    if replace == "module name":
        monkeypatch.setattr(reelmoor, "ReelmoorVideo", type("Recorded", (reelmoor.ReelmoorVideo,), {"__init__": init}))
    else:
        monkeypatch.setattr(reelmoor.ReelmoorVideo, "__init__", init)
    ydl.answer(TAB, listing(2)).answer(f"{SEARCH_PREFIX}20:q", listing(2))
    found = client.get_channel_videos("@chan")[1] if operation == "get_channel_videos" else client.search_videos("q")
    assert [list(fields) for fields in made] == [["video_id", "title", "channel", "duration", "view_count", "url"]] * 2
    assert [v.video_id for v in found] == ["v0000000000", "v0000000001"]
