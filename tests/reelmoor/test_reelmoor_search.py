"""The video and channel searches through a recording yt-dlp stand-in: the
options and search expressions handed to yt-dlp, the calls in order, paging,
the records made from the entries, and the log lines."""
import sys

import pytest
from yt_dlp.utils import DownloadError

from core import reelmoor
from site_names import BASE, CHANNEL_IE_KEY, SEARCH_PREFIX, watch

LISTING = [("quiet", True), ("no_warnings", True), ("extract_flat", True), ("skip_download", True)]
CHANNELS = "results?search_query="
FILTER = "&sp=EgIQAg%3D%3D"


def expression(count, query):
    return f"{SEARCH_PREFIX}{count}:{query}"


def one_call(address):
    """The calls of one site operation, in order."""
    return [("init", dict(LISTING)), ("enter",), ("extract_info", (address,), {"download": False}), ("exit", None)]


def videos(count):
    return [{"id": f"video{n:06d}", "title": f"Video {n}"} for n in range(count)]


def ids(records):
    return [r.video_id for r in records]


# --- search_videos ---------------------------------------------------------

@pytest.mark.parametrize("args, count, query", [
    (("lofi",), 20, "lofi"),
    (("lofi", 20, 40), 60, "lofi"),
    ((" lo fi ", 5), 5, " lo fi "),  # searched and shown untrimmed
])
def test_search_videos_asks_for_offset_plus_page(ydl, client, logged, args, count, query):
    ydl.answer(expression(count, query), {"entries": []})
    assert client.search_videos(*args) == []
    assert ydl.calls == one_call(expression(count, query))
    assert list(ydl.options[0].items()) == LISTING
    offset = args[2] if len(args) > 2 else 0
    assert logged() == [("INFO", f"Search for '{query}' returned 0 results (offset={offset})", False)]


@pytest.mark.parametrize("name", ["search_videos", "search_channels"])
@pytest.mark.parametrize("query", ["", "   ", "\t\n", "\u3000\u2028"])
def test_blank_queries_search_nothing(monkeypatch, client, logged, name, query):
    monkeypatch.setitem(sys.modules, "yt_dlp", None)  # not even imported
    assert getattr(client, name)(query) == []
    assert logged() == []


@pytest.mark.parametrize("name", ["search_videos", "search_channels"])
def test_a_query_of_none_is_refused(ydl, client, name):
    with pytest.raises(TypeError, match="query"):
        getattr(client, name)(None)
    assert ydl.calls == []


@pytest.mark.parametrize("entry, fields", [
    ({"id": "dQw4w9WgXcQ", "title": "Intro", "uploader": "Up", "channel": "Chan", "duration": 185, "view_count": 1234},
     ["dQw4w9WgXcQ", "Intro", "Up", "3:05", "1.2K", watch("dQw4w9WgXcQ")]),
    ({"title": "No id"}, ["", "No id", "Unknown Channel", "0:00", "0", watch("")]),
    ({"id": "x", "channel": "Chan"}, ["x", "Unknown Title", "Chan", "0:00", "0", watch("x")]),
    ({"id": "x", "uploader": None, "channel": "Chan", "duration": None, "view_count": "2,500,000"},
     ["x", "Unknown Title", None, "0:00", "2.5M", watch("x")]),
    ({"id": "x", "title": None, "uploader": "", "duration": "61.9", "view_count": None},
     ["x", None, "", "1:01", "0", watch("x")]),
])
def test_search_videos_records(ydl, client, entry, fields):
    ydl.answer(expression(20, "q"), {"entries": [entry]})
    (video,) = client.search_videos("q")
    assert type(video) is reelmoor.ReelmoorVideo
    assert list(vars(video).values()) == fields


def test_search_videos_pages_by_listing_position(ydl, client, logged):
    entries = videos(10)
    entries[2], entries[6] = None, {}  # falsy entries hold their positions
    ydl.answer(expression(15, "q"), {"entries": entries})
    assert ids(client.search_videos("q", 10, 5)) == ["video000005", "video000007", "video000008", "video000009"]
    assert logged()[-1] == ("INFO", "Search for 'q' returned 4 results (offset=5)", False)


def test_a_bad_entry_is_dropped_alone(ydl, client, logged):
    entries = [{"id": "a"}, {"id": "b", "title": 42}, ["not", "a", "mapping"], {"id": "c"}]
    ydl.answer(expression(20, "q"), {"entries": entries})
    assert ids(client.search_videos("q")) == ["a", "c"]
    assert logged() == [
        ("ERROR", "Error processing search result: ReelmoorVideo.__init__() argument 'title' must be str, not int",
         False),
        ("ERROR", "Error processing search result: 'list' object has no attribute 'get'", False),
        ("INFO", "Search for 'q' returned 2 results (offset=0)", False),
    ]


@pytest.mark.parametrize("answer", [None, {}, {"other": 1}, {"entries": []}])
def test_search_videos_without_entries(ydl, client, logged, answer):
    ydl.answer(expression(20, "q"), answer)
    assert client.search_videos("q") == []
    assert logged() == [("INFO", "Search for 'q' returned 0 results (offset=0)", False)]


@pytest.mark.parametrize("setup, line", [
    (lambda ydl: ydl.fail(expression(20, "q"), DownloadError("ERROR: unreachable")), "ERROR: unreachable"),
    (lambda ydl: ydl.answer(expression(20, "q"), {"entries": 5}), "'int' object is not iterable"),
    # An answer that is not a mapping cannot be walked.
    (lambda ydl: ydl.answer(expression(20, "q"), "no entries"), "string indices must be integers, not 'str'"),
])
def test_search_videos_failures(ydl, client, logged, setup, line):
    setup(ydl)
    assert client.search_videos("q") == []
    assert logged() == [("ERROR", f"Search error: {line}", True)]
    assert ydl.names() == ["init", "enter", "extract_info", "exit"]


def test_search_videos_with_a_page_that_cannot_be_added(ydl, client, logged):
    assert client.search_videos("q", None) == []
    assert logged() == [("ERROR", "Search error: unsupported operand type(s) for +: 'int' and 'NoneType'", True)]
    assert ydl.calls == []


def test_search_videos_formats_through_the_instance(ydl, client):
    client._format_duration = lambda seconds: f"d{seconds}"
    client._format_view_count = lambda count: f"v{count}"
    ydl.answer(expression(20, "q"), {"entries": [{"id": "a", "duration": 5}]})
    (video,) = client.search_videos("q")
    assert (video.duration, video.view_count) == ("d5", "v0")


# --- search_channels -------------------------------------------------------

def channel_entries(count):
    return [{"channel_id": f"UC{n:04d}", "uploader": f"Chan {n}"} for n in range(count)]


def test_search_channels_asks_the_results_page(ydl, client, logged):
    address = f"{BASE}{CHANNELS}lo-fi+%26+beats%C3%A9+~_.{FILTER}"
    ydl.answer(address, {"entries": channel_entries(2)})
    found = client.search_channels("lo-fi & beatsé ~_.")
    assert [c.channel_id for c in found] == ["UC0000", "UC0001"]
    assert ydl.calls == one_call(address)
    assert logged() == [("INFO", "Channel search for 'lo-fi & beatsé ~_.' returned 2 results (offset=0)", False)]


def test_search_channels_reads_the_filter_of_the_moment(ydl, client):
    client._channel_filter = "other"
    client.search_channels("q")
    assert ydl.calls[2] == ("extract_info", (f"{BASE}{CHANNELS}q&sp=other",), {"download": False})


@pytest.mark.parametrize("max_results, offset, expected", [
    (20, 0, ["UC0000", "UC0002", "UC0003", "UC0005", "UC0006"]),
    (2, 0, ["UC0000", "UC0002"]),
    (2, 2, ["UC0003", "UC0005"]),  # only usable channels count toward the offset
    (0, 1, ["UC0002"]),  # the limit is tested after an append
    (5, 9, []),
])
def test_search_channels_pages_by_usable_channels(ydl, client, max_results, offset, expected):
    entries = channel_entries(7)
    entries[1] = None
    entries[4] = {"unusable": True}
    ydl.answer(f"{BASE}{CHANNELS}q{FILTER}", {"entries": entries})
    built = client._build_channel_from_entry
    client._build_channel_from_entry = lambda entry: None if "unusable" in entry else built(entry)
    assert [c.channel_id for c in client.search_channels("q", max_results, offset)] == expected


@pytest.mark.parametrize("setup, line", [
    (lambda ydl: ydl.fail(f"{BASE}{CHANNELS}q{FILTER}", DownloadError("ERROR: gone")), "ERROR: gone"),
    # A channel id that is not text, with no address to fall back on.
    (lambda ydl: ydl.answer(f"{BASE}{CHANNELS}q{FILTER}", {"entries": [{"channel_id": "UCa"}, {"channel_id": 7}]}),
     "'int' object has no attribute 'startswith'"),
])
def test_search_channels_failures(ydl, client, logged, setup, line):
    setup(ydl)
    assert client.search_channels("q") == []
    assert logged() == [("ERROR", f"Channel search error: {line}", True)]


def test_search_channels_with_a_query_that_cannot_be_escaped(ydl, client, logged):
    assert client.search_channels("a\udc80") == []
    ((level, line, traced),) = logged()
    assert (level, line.startswith("Channel search error: 'utf-8' codec can't encode"), traced) == ("ERROR", True, True)
    assert ydl.calls == []


# --- _build_channel_from_entry ---------------------------------------------

def flat(**fields):
    return {"_type": "url", "ie_key": CHANNEL_IE_KEY, **fields}


U = "https://elsewhere.example/c"


@pytest.mark.parametrize("entry, fields", [
    (flat(url=U, id="UCid", channel_id="UCother", title="Title", channel="Chan", subscriber_count=5,
          channel_follower_count=9, video_count=3, channel_video_count=4, description="About"),
     ["UCid", "Title", U, 5, 3, "About", "5", "3"]),
    (flat(url=None, id="UCxyz"), ["UCxyz", "Unknown Channel", f"{BASE}channel/UCxyz", None, None, "", "", ""]),
    (flat(url="", channel_id="abc", channel="Two Words", subscriber_count=0, channel_follower_count=1500),
     ["abc", "Two Words", f"{BASE}@TwoWords", 1500, None, "", "1.5K", ""]),
    (flat(url=U, uploader_id="UU", video_count=None, description=None), ["UU", "Unknown Channel", U, None, None, "", "", ""]),
    # The same keys without the flat markers make a full entry.
    ({"url": U, "id": "UCid", "channel_id": "UCother", "title": "Title", "channel": "Chan", "video_count": 3,
      "channel_video_count": 4}, ["UCother", "Chan", U, None, 4, "", "", "4"]),
    (flat(id="x", ie_key="Youtube", url=U, title="T"), ["x", "T", U, None, None, "", "", ""]),
    ({"_type": "url", "ie_key": CHANNEL_IE_KEY, "id": "x", "title": "T"},
     ["x", "T", f"{BASE}@T", None, None, "", "", ""]),  # no url key: a full entry
    ({"channel_url": U, "uploader_id": "@h", "uploader": "Up", "channel_video_count": 0, "video_count": 2},
     ["@h", "Up", U, None, 2, "", "", "2"]),
    ({"channel_id": "abc", "uploader": "Two  Words\tHere"}, ["abc", "Two  Words\tHere", f"{BASE}@TwoWords\tHere",
                                                             None, None, "", "", ""]),
    ({"id": "plain"}, ["plain", "Unknown Channel", f"{BASE}@UnknownChannel", None, None, "", "", ""]),
    ({"channel_id": "UCa", "subscriber_count": 0}, ["UCa", "Unknown Channel", f"{BASE}channel/UCa", None, None,
                                                   "", "", ""]),
    ({"channel_id": "UCa", "subscriber_count": 0, "channel_follower_count": 0},
     ["UCa", "Unknown Channel", f"{BASE}channel/UCa", 0, None, "", "0", ""]),
], ids=["flat", "flat without url", "flat by name", "flat fallbacks", "full", "other extractor", "no url key",
        "full fallbacks", "only U+0020 removed", "no name", "zero subscribers", "zero followers"])
def test_build_channel_from_entry(client, entry, fields):
    channel = client._build_channel_from_entry(entry)
    assert type(channel) is reelmoor.ReelmoorChannel
    assert list(vars(channel).values()) == fields


@pytest.mark.parametrize("entry", [None, {}, [], 0])
def test_build_channel_from_nothing(client, entry):
    assert client._build_channel_from_entry(entry) is None


@pytest.mark.parametrize("entry, error", [
    ({"channel_id": 7}, AttributeError),  # not text, no address to fall back on
    ({"channel_id": "x", "uploader": 7}, AttributeError),
    ({"url": U, "channel_id": 7}, TypeError),  # the record refuses it
    ("not a mapping", AttributeError),
])
def test_build_channel_errors_reach_the_caller(client, entry, error):
    with pytest.raises(error):
        client._build_channel_from_entry(entry)


def test_an_exit_that_swallows_the_error_leaves_no_answer(ydl, client, logged):
    # yt-dlp's own __exit__ never does; a replacement that does gives the
    # operation nothing to read, not a half-made result.
    ydl.fail(expression(20, "q"), DownloadError("ERROR: unreachable"))
    ydl.YoutubeDL.__exit__ = lambda self, *exc: True
    assert client.search_videos("q") == []
    assert logged() == [("INFO", "Search for 'q' returned 0 results (offset=0)", False)]
