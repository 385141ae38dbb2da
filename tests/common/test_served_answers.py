"""Answers that are not the plain file, against every transfer that stores a
served file: the two HTTP downloaders (PodcastDownloader and
QuietshelfDownloader, one engine), and the client's stream file and
download where the answer can reach them. A range that falls short of the
file it names, a status that carries no file, a compressed body that stops
before its end or fails its check, a compressed answer to a resume: none
ends as a file. What a failed download leaves is a sound prefix of the file
or nothing, and the next attempt (against an honest server) ends with the
file byte for byte.

Every answer comes from one loopback server (transfer_server.py), scripted
per attempt: the first attempt's requests get the answers below (the last
one repeated), the retry gets the file, with Range honoured."""
import gzip
import random
import warnings
import zlib
from pathlib import Path

import brotli
import pytest

from core import downloader as dlmod
from core import quietshelf_client as qc
from transfer_server import Body, server  # noqa: F401 (a fixture)

SIZE = 300_000
DATA = random.Random(11).randbytes(SIZE)  # hardly compresses: the gzip form is longer than any offset below
PACKED = gzip.compress(DATA, mtime=0)
PATH = "/episode.mp3"
EXPIRED = "Session expired or authentication required"
STOPPED = "Connection closed early: the compressed body stopped before its end"
# All the bytes the answer named came, but not the end of the coded stream.
UNENDED = "The compressed data stopped before its end"
# DATA in two gzip members, one after the other.
MEMBERS = gzip.compress(DATA[:200_000], mtime=0) + gzip.compress(DATA[200_000:], mtime=0)


def corrupt(data):
    """64 bytes of stored (uncompressed) gzip data flipped in the middle: the
    stream runs to its end and fails its check there."""
    packed = bytearray(gzip.compress(data, compresslevel=0, mtime=0))
    middle = len(packed) // 2
    packed[middle:middle + 64] = bytes(b ^ 0xFF for b in packed[middle:middle + 64])
    return bytes(packed)


CORRUPT_TEXT = ("('Received response with content-encoding: gzip, but failed to decode it.', "
                "error('Error -3 while decompressing data: incorrect data check'))")


def sync_flushed(data):
    """A deflate stream flushed to a byte boundary, its final block never written."""
    packer = zlib.compressobj()
    return packer.compress(data) + packer.flush(zlib.Z_SYNC_FLUSH)


def part(first, last, total=SIZE, **options):
    """A 206 with DATA[first:last + 1] and the Content-Range that names it."""
    return Body(DATA[first:last + 1], status=206, content_range=f"bytes {first}-{last}/{total}", **options)


# partial: the partial file before the first attempt (None: none).
# answers: what the server answers the first attempt's requests.
# error: the first attempt's error text after "Network error: " (None: it
#   completes); a dict where the downloaders differ.
# left: the partial file after a failed first attempt (None: none).
# retry: the Range of the retry's request.
# to_client: whether the client's transfers get the answer as it is (they send
#   no Range, take a 302 for the log-in page, and find no content in a 2xx
#   answer without a Content-Length).
ROWS = [
    pytest.param(DATA[:100_000], [part(100_000, 100_999)],
                 "The server sent only part of the file: 101000 of 300000 bytes", DATA[:101_000], "bytes=101000-",
                 False, id="resumed, a 206 short of the file"),
    pytest.param(DATA[:100_000], [part(100_000, SIZE - 1, length=False, cut_to=100_000)],
                 "The server sent only part of the file: 200000 of 300000 bytes", DATA[:200_000], "bytes=200000-",
                 False, id="resumed, a 206 without length cut off"),
    pytest.param(DATA[:100_000], [part(100_000, 100_999, total=100_500)],
                 "The server sent more than the file: 101000 bytes where it named 100500", DATA[:101_000],
                 "bytes=101000-", False, id="resumed, a 206 past the size it names"),
    pytest.param(None, [part(0, 999)],
                 "The server sent only part of the file: 1000 of 300000 bytes", DATA[:1000], "bytes=1000-",
                 True, id="a 206 to a request without Range"),
    pytest.param(None, [part(500, 999)],
                 "The server sent part of the file from byte 500, not from byte 0", None, None,
                 True, id="a 206 from elsewhere to a request without Range"),
    pytest.param(DATA[:100_000], [Body(b"Found", status=302)],
                 {"podcast": "Server answered 302 Found instead of the file", "quietshelf": EXPIRED},
                 DATA[:100_000], "bytes=100000-", False, id="302 without Location"),
    pytest.param(None, [Body(b"choose one", status=300)],
                 "Server answered 300 Multiple Choices instead of the file", None, None,
                 True, id="300"),
    pytest.param(DATA[:100_000], [Body(status=304)],
                 "Server answered 304 Not Modified instead of the file", DATA[:100_000], "bytes=100000-",
                 True, id="304"),
    pytest.param(None, [Body(status=103)],
                 "Server answered 103 Early Hints instead of the file", None, None,
                 True, id="a final 103"),
    pytest.param(None, [Body(PACKED, encoding="gzip", cut_to=len(PACKED) // 2)],
                 UNENDED, None, None, True, id="gzip cut, its length cut with it"),
    pytest.param(None, [Body(PACKED, encoding="gzip", length=False, cut_to=len(PACKED) // 2)],
                 STOPPED, None, None, False, id="gzip cut, no length"),
    pytest.param(None, [Body(PACKED[:-8], encoding="gzip")],
                 UNENDED, None, None, True, id="gzip without its trailer"),
    pytest.param(None, [Body(MEMBERS[:-8], encoding="gzip")],
                 UNENDED, None, None, True, id="gzip, a second member cut after its data"),
    pytest.param(None, [Body(MEMBERS[:-8], encoding="gzip", length=False)],
                 STOPPED, None, None, False, id="gzip, a second member cut after its data, no length"),
    pytest.param(None, [Body(sync_flushed(DATA), encoding="deflate", chunked=True, piece=50_000)],
                 UNENDED, None, None, False, id="deflate without its final block, chunked"),
    pytest.param(None, [Body(brotli.compress(DATA)[:100_000], encoding="br")],
                 UNENDED, None, None, True, id="br cut, its length cut with it"),
    pytest.param(None, [Body(corrupt(DATA), encoding="gzip")],
                 CORRUPT_TEXT, None, None, False, id="gzip that fails its check"),
    pytest.param(DATA[:100_000], [Body(PACKED, encoding="gzip", ranges=True)],
                 None, None, None, False, id="gzip answer to a resume"),
    pytest.param(DATA[:100_000], [Body(PACKED, encoding="gzip", ranges=True, cut_to=len(PACKED) // 3)],
                 UNENDED, None, None, False, id="gzip answer to a resume, cut"),
]
FIELDS = "partial, answers, error, left, retry, to_client"


@pytest.fixture
def client(server):
    c = qc.QuietshelfClient(server.url(""))
    c.logged_in = True  # the session needs no cookie of this server
    return c


@pytest.fixture(params=["podcast", "quietshelf"])
def downloader(request, tmp_path, client):
    if request.param == "podcast":
        d = dlmod.PodcastDownloader(str(tmp_path / "dl"), max_concurrent=0)
    else:
        d = dlmod.QuietshelfDownloader(client, str(tmp_path / "dl"), max_concurrent=0)
    d.kind = request.param
    yield d
    d.shutdown(wait=True)


def run(d, url):
    task = d.active_downloads[d.add_download(url, "Title", "Show")]
    d._download_file(task)
    return task


@pytest.mark.parametrize(FIELDS, ROWS)
def test_the_downloaders_end_with_the_file_or_without_one(downloader, server, partial, answers, error, left,
                                                           retry, to_client):
    d = downloader
    folder = d._get_content_folder(d.download_folder, "Show")
    partial_file, final = folder / "Title.mp3.part", folder / "Title.mp3"
    if partial is not None:
        folder.mkdir(parents=True)
        partial_file.write_bytes(partial)
    url = server.script(PATH, *answers)

    task = run(d, url)

    p = task.progress
    if isinstance(error, dict):
        error = error[d.kind]
    if error is None:
        assert (p.status, p.error_message) == (dlmod.DownloadStatus.COMPLETED, None)
        assert final.read_bytes() == DATA and not partial_file.exists()
        return
    assert (p.status, p.error_message) == (dlmod.DownloadStatus.FAILED, f"Network error: {error}\nURL: {url}")
    assert not final.exists()
    assert (partial_file.read_bytes() if partial_file.exists() else None) == left

    server.add(PATH, DATA, ranges=True)
    asked = len(server.requests)
    again = d.active_downloads[d.retry_failed(task.task_id)]
    d._download_file(again)

    assert server.requests[asked:] == [(PATH, retry)]
    assert again.progress.status == dlmod.DownloadStatus.COMPLETED, again.progress.error_message
    assert final.read_bytes() == DATA and not partial_file.exists()


@pytest.mark.parametrize("call", ["get_stream_url", "download"])
@pytest.mark.parametrize(FIELDS, [row for row in ROWS if row.values[-1]])
def test_the_client_never_returns_part_of_a_file(client, server, system_temp, tmp_path, call, partial, answers,
                                                  error, left, retry, to_client):
    url = server.script(PATH, *answers)
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        if call == "get_stream_url":
            client.get_stream_url(url)
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                client.download(url, str(tmp_path / "Title.mp3"))
    prefix = "Stream download failed: " if call == "get_stream_url" else "Download failed: "
    assert str(caught.value) == prefix + error
    assert list(Path(system_temp).iterdir()) == []
    # An answer that names no file from its first byte makes none; a body
    # that broke off leaves what came of it.
    target = tmp_path / "Title.mp3"
    assert not target.exists() or DATA.startswith(target.read_bytes()) and target.stat().st_size > 0


# Bytes after a whole gzip member that bring no data by the end of the body
# are dropped, as other clients drop them: the body is the whole file, in
# every framing.
TAILS = {
    "a zero byte": b"\0",
    "two zero bytes": b"\0\0",
    "a newline": b"\n",
    "a lone 1f": b"\x1f",
    "the start of a header": PACKED[:4],
    "a header and no data": PACKED[:10],
}
FRAMINGS = {
    "length": {},
    "chunked": {"chunked": True, "piece": 70_000},
    "no length": {"length": False},
}


@pytest.mark.parametrize("framing", FRAMINGS.values(), ids=FRAMINGS.keys())
@pytest.mark.parametrize("tail", TAILS.values(), ids=TAILS.keys())
def test_a_gzip_body_with_a_tail_that_is_no_member_is_the_whole_file(downloader, server, tail, framing):
    task = run(downloader, server.add(PATH, PACKED + tail, encoding="gzip", **framing))
    assert (task.progress.status, task.progress.error_message) == (dlmod.DownloadStatus.COMPLETED, None)
    folder = downloader._get_content_folder(downloader.download_folder, "Show")
    assert (folder / "Title.mp3").read_bytes() == DATA


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("tail", TAILS.values(), ids=TAILS.keys())
def test_the_client_takes_a_gzip_body_with_a_tail_that_is_no_member(client, server, system_temp, tmp_path, tail):
    url = server.add(PATH, PACKED + tail, encoding="gzip")
    stream = Path(client.get_stream_url(url))
    assert stream.read_bytes() == DATA
    stream.unlink()
    assert Path(client.download(url, str(tmp_path / "Title.mp3"))).read_bytes() == DATA
