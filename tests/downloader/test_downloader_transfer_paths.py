"""One podcast transfer, two ways of reading the body: natively (the common
case) and through iter_content (forced by replacing iter_content on the
response). Over every body and server below, both must show the same:
status, texts, progress, every progress callback, log lines and file bytes."""
import logging

import pytest
import requests
import urllib3.response

from core import downloader as dlmod
from transfer_server import CHUNK, pattern, server  # noqa: F401 (a fixture)

MIB = 1 << 20


@pytest.fixture
def dl(tmp_path):
    d = dlmod.PodcastDownloader(str(tmp_path / "dl"), max_concurrent=0)
    yield d
    d.shutdown(wait=True)


@pytest.fixture
def stream_calls(monkeypatch):
    """Counts the body reads that went through urllib3's stream (iter_content's way)."""
    calls = []
    original = urllib3.response.HTTPResponse.stream

    def stream(self, *args, **kwargs):
        calls.append(args)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(urllib3.response.HTTPResponse, "stream", stream)
    return calls


def transfer(dl, server, url, monkeypatch, caplog, through_iter_content, timeout=30):
    real_get = requests.get

    def get(*args, **kwargs):
        kwargs["timeout"] = timeout
        response = real_get(*args, **kwargs)
        if through_iter_content:
            response.iter_content = response.iter_content
        return response

    monkeypatch.setattr(requests, "get", get)
    calls = []

    def callback(progress):
        calls.append((progress.bytes_downloaded, progress.total_bytes, progress.status))
        server.received(progress.bytes_downloaded)

    caplog.clear()
    task_id = dl.add_download(url, "Episode", "Show", progress_callback=callback)
    task = dl.active_downloads[task_id]
    with caplog.at_level(logging.INFO, logger="core.downloader"):
        dl._download_file(task)
    monkeypatch.setattr(requests, "get", real_get)
    folder = dl._get_content_folder(dl.download_folder, "Show")
    files = {p.name: p.read_bytes() for p in folder.iterdir()}
    for p in folder.iterdir():
        p.unlink()
    p = task.progress
    return {
        "outcome": (p.status, p.error_message, p.bytes_downloaded, p.total_bytes, p.percentage),
        "callbacks": calls,
        "logs": [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "core.downloader"],
        "files": files,
    }


def both_ways(dl, server, url, monkeypatch, caplog, stream_calls, **options):
    slow = transfer(dl, server, url, monkeypatch, caplog, True, **options)
    assert stream_calls, "the forced way did not read through iter_content"
    stream_calls.clear()
    fast = transfer(dl, server, url, monkeypatch, caplog, False, **options)
    assert stream_calls == [], "the common case did not read natively"
    assert fast == slow
    assert server.stalls == 0
    return fast


CASES = [
    ("empty", 0, {}),
    ("one byte", 1, {}),
    ("chunk less one", CHUNK - 1, {}),
    ("one chunk", CHUNK, {}),
    ("chunk and one", CHUNK + 1, {}),
    ("a few MiB, odd size", 2 * MIB + 12_345, {}),
    ("first bytes with the headers", 20_000, {"with_headers": 12_000}),
    ("trickling", 30_001, {"piece": 1_000, "trickle": 0.001}),
    ("slow, chunk by chunk", 4 * CHUNK + 10, {"piece": 2_500, "lockstep": True}),
    ("no length", 50_003, {"length": False}),
]


@pytest.mark.parametrize("name,size,options", CASES, ids=[c[0] for c in CASES])
def test_completed_transfers_match(dl, server, monkeypatch, caplog, stream_calls, name, size, options):
    data = pattern(size)
    url = server.add("/ep.mp3", data, **options)
    result = both_ways(dl, server, url, monkeypatch, caplog, stream_calls)
    assert result["outcome"][0] == dlmod.DownloadStatus.COMPLETED
    assert result["files"] == {"Episode.mp3": data}
    assert len(result["callbacks"]) == -(-size // CHUNK)


FAILURES = [
    ("short body", 70_003, {"short_by": 10_000}, "Connection closed early: 60003 of 70003 bytes arrived"),
    ("reset in the middle", 70_003, {"reset_after": 30_000}, "Connection broken: ConnectionResetError"),
    ("read time-out", 70_003, {"stall_after": 2 * CHUNK + 5}, "Read timed out."),
    ("no length, no body", 0, {"length": False}, "Connection closed early: no bytes arrived"),
]


@pytest.mark.parametrize("name,size,options,text", FAILURES, ids=[f[0] for f in FAILURES])
def test_failed_transfers_match(dl, server, monkeypatch, caplog, stream_calls, name, size, options, text):
    url = server.add("/ep.mp3", pattern(size), **options)
    result = both_ways(dl, server, url, monkeypatch, caplog, stream_calls, timeout=0.5)
    status, message = result["outcome"][:2]
    assert status == dlmod.DownloadStatus.FAILED
    assert message.startswith("Network error: ") and text in message
    assert list(result["files"]) == ["Episode.mp3.part"]


# Chunked answers always go through iter_content: their framing marks the end
# of the body, and urllib3 raises when it is missing.
FRAMED = [
    ("chunked", {"chunked": True}, None),
    ("chunked, with a length as well", {"chunked": True, "length_too": True}, None),
    ("chunked and compressed, with a length", {"chunked": True, "gzip": True, "length_too": True}, None),
    ("chunked, cut off", {"chunked": True, "short_by": 10_000}, "Connection broken: InvalidChunkLength"),
    ("chunked and compressed, cut off", {"chunked": True, "gzip": True, "short_by": 100},
     "Connection broken: InvalidChunkLength"),
]


@pytest.mark.parametrize("name,options,text", FRAMED, ids=[f[0] for f in FRAMED])
def test_chunked_transfers(dl, server, monkeypatch, caplog, name, options, text):
    data = pattern(70_003)
    url = server.add("/ep.mp3", data, **options)
    result = transfer(dl, server, url, monkeypatch, caplog, False, timeout=5)
    status, message = result["outcome"][:2]
    if text is None:
        assert status == dlmod.DownloadStatus.COMPLETED, message
        assert result["files"] == {"Episode.mp3": data}
    else:
        assert status == dlmod.DownloadStatus.FAILED and message.startswith("Network error: ") and text in message
