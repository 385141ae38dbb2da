"""get_video_info through a recording yt-dlp stand-in: the client's own
options, the nine keys, the chapters and every failure."""
import pytest
from yt_dlp.utils import DownloadError

from site_names import watch

VIDEO_ID = "dQw4w9WgXcQ"
KEYS = ["id", "title", "description", "uploader", "duration", "view_count", "upload_date", "thumbnail", "chapters"]


def test_one_extraction_with_the_clients_own_options(ydl, client, logged):
    ydl.answer(watch(VIDEO_ID), {"id": VIDEO_ID})
    before = dict(client.ydl_opts)
    client.get_video_info(VIDEO_ID)
    assert ydl.names() == ["init", "enter", "extract_info", "exit"]
    assert ydl.calls[2] == ("extract_info", (watch(VIDEO_ID),), {"download": False})
    assert ydl.options[0] is client.ydl_opts and client.ydl_opts == before
    assert ydl.calls[-1] == ("exit", None)
    assert logged() == []


@pytest.mark.parametrize("info, expected", [
    ({"id": VIDEO_ID, "title": "T", "description": "D", "uploader": "U", "duration": 212.5, "view_count": "1,000",
      "upload_date": "20091025", "thumbnail": "http://127.0.0.1/t.jpg", "formats": [], "channel": "C"},
     [VIDEO_ID, "T", "D", "U", 212.5, "1,000", "20091025", "http://127.0.0.1/t.jpg", []]),
    ({"title": "T"}, [None, "T", None, None, None, None, None, None, []]),
    ({"title": None, "duration": 0}, [None, None, None, None, 0, None, None, None, []]),
], ids=["every key, unconverted", "absent keys", "present None and zero"])
def test_the_nine_keys(ydl, client, info, expected):
    ydl.answer(watch(VIDEO_ID), info)
    details = client.get_video_info(VIDEO_ID)
    assert list(details) == KEYS
    assert list(details.values()) == expected


@pytest.mark.parametrize("chapters", [None, []], ids=["None", "empty"])
def test_no_chapters_no_line(ydl, client, logged, chapters):
    ydl.answer(watch(VIDEO_ID), {"id": VIDEO_ID, "chapters": chapters})
    assert client.get_video_info(VIDEO_ID)["chapters"] == []
    assert logged() == []


def test_chapters_in_order_with_their_defaults(ydl, client, logged):
    listed = [
        {"title": "Intro", "start_time": 0.0, "end_time": 12.5, "extra": 1},
        {"start_time": 12.5},
        {"title": None},
    ]
    ydl.answer(watch(VIDEO_ID), {"chapters": listed})
    chapters = client.get_video_info(VIDEO_ID)["chapters"]
    assert [list(c.items()) for c in chapters] == [
        [("title", "Intro"), ("start_time", 0.0), ("end_time", 12.5)],
        [("title", "Untitled Chapter"), ("start_time", 12.5), ("end_time", None)],
        [("title", None), ("start_time", None), ("end_time", None)],
    ]
    assert all(c is not given for c, given in zip(chapters, listed))
    assert logged() == [("INFO", "Extracted 3 chapters from video", False)]


@pytest.mark.parametrize("answer, line, exited", [
    (DownloadError("ERROR: Video unavailable"), "Error getting video info: ERROR: Video unavailable", DownloadError),
    (None, "Error getting video info: argument of type 'NoneType' is not iterable", TypeError),
    ({"title": "T", "chapters": [{"title": "A"}, "not a mapping"]},
     "Error getting video info: 'str' object has no attribute 'get'", AttributeError),
], ids=["unavailable", "no information", "chapter not a mapping"])
def test_failures_give_none(ydl, client, logged, answer, line, exited):
    if isinstance(answer, Exception):
        ydl.fail(watch(VIDEO_ID), answer)
    else:
        ydl.answer(watch(VIDEO_ID), answer)
    assert client.get_video_info(VIDEO_ID) is None
    assert logged() == [("ERROR", line, False)]
    assert ydl.calls[-1] == ("exit", exited)
