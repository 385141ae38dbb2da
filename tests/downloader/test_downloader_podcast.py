"""PodcastDownloader against a loopback HTTP server: resume, restart, the
server's extension, redirects, failures and the files left on disk (pause,
resume and cancel: test_downloader_podcast_controls.py)."""
import logging
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

from core import downloader as dlmod
from native_frames import logged_traceback, native_frames
from podcast_helpers import add, dl, folder, make_downloader, server  # noqa: F401 (fixtures)
from transfer_helpers import BODY, SHORT_ANSWERS, infos, shut_down, with_empty_chunks  # noqa: F401 (a fixture)

URL_LINE = "\nURL: "


def errors(caplog):
    return [r for r in caplog.records if r.name == "core.downloader" and r.levelno == logging.ERROR]


def test_default_folder_and_shared_headers(make_downloader, home):
    d = dlmod.PodcastDownloader(max_concurrent=0)
    other = make_downloader(0)
    try:
        assert d.download_folder == home / "Documents" / "velmora" / "podcasts"
        assert d.download_folder.is_dir()
        assert d.DEFAULT_HEADERS is other.DEFAULT_HEADERS is dlmod.PodcastDownloader.DEFAULT_HEADERS
        assert list(d.DEFAULT_HEADERS.items()) == [
            ("User-Agent", "Velmora/1.0 (Podcast Player; +https://velmora.example/)"),
            ("Accept", "audio/mpeg, audio/mp4, audio/*, */*"),
            ("Accept-Encoding", "identity"),
        ]
        with pytest.raises(TypeError):
            dlmod.PodcastDownloader(home / "elsewhere", max_concurrent=0)
    finally:
        d.shutdown()


def test_fresh_download(dl, server, caplog):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add("/ep.mp3", body=BODY)
    seen = []
    task = add(dl, server.url("/ep.mp3"), callback=lambda p: seen.append((p.bytes_downloaded, p.status)))

    dl._download_file(task)

    final = folder(dl) / "Episode 1.mp3"
    assert final.read_bytes() == BODY
    assert not (folder(dl) / "Episode 1.mp3.part").exists()
    assert task.output_path == final and isinstance(task.output_path, Path)
    p = task.progress
    assert (p.status, p.percentage, p.bytes_downloaded, p.total_bytes) == (
        dlmod.DownloadStatus.COMPLETED, 100.0, len(BODY), len(BODY))
    assert dl.get_all_completed() == [task] and task.task_id not in dl.active_downloads
    # One callback per chunk, none at completion.
    assert seen == [(min(n, len(BODY)), dlmod.DownloadStatus.DOWNLOADING) for n in range(8192, len(BODY) + 8192, 8192)]
    assert server.log == [("GET", "/ep.mp3", None)]
    sent = server.headers[0]
    for name, value in dlmod.PodcastDownloader.DEFAULT_HEADERS.items():
        assert sent[name] == value
    assert infos(caplog) == [
        "Download headers: Content-Type: audio/mpeg, Content-Length: 51200, Content-Disposition: none"]


@pytest.mark.parametrize("mode, part, ranges", [
    ("honour", BODY[:20000], ["bytes=20000-"]),
    ("bare", BODY[:20000], ["bytes=20000-"]),
    ("ignore", b"x" * 20000, ["bytes=20000-", None]),
    ("refuse", b"x" * 20000, ["bytes=20000-", None]),
    # A 206 from another offset than the one asked for is not appended.
    ("elsewhere", b"x" * 20000, ["bytes=20000-", None]),
    ("honour", b"", [None]),
], ids=["206", "206-no-content-range", "200", "416", "206-elsewhere", "empty-part"])
def test_resume_or_restart(dl, server, mode, part, ranges):
    server.add("/ep.mp3", body=BODY, range=mode)
    folder(dl).mkdir(parents=True)
    (folder(dl) / "Episode 1.mp3.part").write_bytes(part)
    first = []
    task = add(dl, server.url("/ep.mp3"), callback=lambda p: first or first.append(p.bytes_downloaded))

    dl._download_file(task)

    assert [r for _, _, r in server.log] == ranges
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == BODY
    resumed = ranges == ["bytes=20000-"]
    assert first == [(20000 if resumed else 0) + 8192]
    assert task.progress.total_bytes == len(BODY)


@pytest.mark.parametrize("disposition, filename, announced", [
    ('attachment; filename="Other.M4A"', "Episode 1.m4a", "Other.M4A"),
    ("attachment; filename*=UTF-8''%C3%89pisode.ogg", "Episode 1.ogg", "\u00c9pisode.ogg"),
    ('attachment; filename="same.MP3"', "Episode 1.mp3", "same.MP3"),
    ('attachment; filename="noext"', "Episode 1.mp3", "noext"),
    ('attachment; filename="a.mp3:x"', "Episode 1.mp3", "a.mp3:x"),
    ('attachment; filename="a.m p3"', "Episode 1.mp3", "a.m p3"),
    ('attachment; filename="a.\\\\x"', "Episode 1.mp3", "a.\\x"),
    ('attachment; filename="a.abcdefghijk"', "Episode 1.mp3", "a.abcdefghijk"),
    # Only the extension is taken: the server's folders never become a path.
    ('attachment; filename="../../../evil.m4a"', "Episode 1.m4a", "../../../evil.m4a"),
])
def test_server_extension(dl, server, caplog, tmp_path, disposition, filename, announced):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add("/ep.mp3", body=BODY, disposition=disposition)
    task = add(dl, server.url("/ep.mp3"))

    dl._download_file(task)

    assert task.filename == filename
    assert sorted(p.name for p in folder(dl).iterdir()) == [filename]
    assert (folder(dl) / filename).read_bytes() == BODY
    assert not list(tmp_path.rglob("evil*"))
    assert infos(caplog)[-1] == "Server provided filename: " + announced


@pytest.mark.parametrize("announced, filename", [
    ("x.MP3 ", "Episode 1.mp3"),
    ("x.ogg\x00", "Episode 1.mp3"),
    ("x.M4A", "Episode 1.m4a"),
    ("C:\\Users\\evil\\x.OGG", "Episode 1.ogg"),
    ("x.mp\udcff", "Episode 1.mp3"),  # undecodable: not a plain extension, and no failure
])
def test_extension_from_an_overridden_name_lookup(tmp_path, server, announced, filename):
    class Downloader(dlmod.PodcastDownloader):
        @staticmethod
        def _get_filename_from_headers(headers):
            return announced

    d = Downloader(str(tmp_path / "dl"), max_concurrent=0)
    try:
        server.add("/ep.mp3", body=BODY)
        task = add(d, server.url("/ep.mp3"))
        d._download_file(task)
        assert task.filename == filename
        assert [p.name for p in folder(d).iterdir()] == [filename]
    finally:
        d.shutdown()


# Windows takes these names for devices; the episode lands under marked
# names, and a server's extension keeps the mark.
@pytest.mark.parametrize("title, podcast, disposition, show, filename", [
    ("CON", "AUX", None, "AUX_", "CON_.mp3"),
    ("nul", "Lpt1.fm", 'attachment; filename="x.M4A"', "Lpt1_.fm", "nul_.m4a"),
])
def test_device_names_are_never_made(dl, server, title, podcast, disposition, show, filename):
    server.add("/ep.mp3", body=BODY, disposition=disposition)
    task = add(dl, server.url("/ep.mp3"), title, podcast)
    dl._download_file(task)
    assert task.output_path == folder(dl, show) / filename
    assert [p.name for p in folder(dl, show).iterdir()] == [filename]
    assert [p.name for p in Path(dl.download_folder).iterdir()] == [show]


def test_new_extension_while_resuming_starts_over(dl, server):
    server.add("/ep.mp3", body=BODY, disposition='attachment; filename="x.m4a"')
    folder(dl).mkdir(parents=True)
    old_part = folder(dl) / "Episode 1.mp3.part"
    old_part.write_bytes(BODY[:10000])
    task = add(dl, server.url("/ep.mp3"))

    dl._download_file(task)

    assert [r for _, _, r in server.log] == ["bytes=10000-", None]
    assert (folder(dl) / "Episode 1.m4a").read_bytes() == BODY
    assert old_part.read_bytes() == BODY[:10000]


def test_redirect_chain_is_logged(dl, server, caplog):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add("/a", redirect="/b")
    server.add("/b", redirect="/ep.mp3")
    server.add("/ep.mp3", body=BODY)
    task = add(dl, server.url("/a"))

    dl._download_file(task)

    assert infos(caplog) == [
        "Download followed 2 redirect(s):",
        "  Redirect 1: 302 -> " + server.url("/a"),
        "  Redirect 2: 302 -> " + server.url("/b"),
        "  Final URL: " + server.url("/ep.mp3"),
        "Download headers: Content-Type: audio/mpeg, Content-Length: 51200, Content-Disposition: none",
    ]
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == BODY


@pytest.mark.parametrize("body, content_length, calls", [
    (BODY, False, 7),
    (b"", True, 0),
])
def test_unknown_size_and_empty_body(dl, server, caplog, body, content_length, calls):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add("/ep.mp3", body=body, content_length=content_length)
    seen = []
    task = add(dl, server.url("/ep.mp3"), callback=lambda p: seen.append(p.percentage))

    dl._download_file(task)

    assert (folder(dl) / "Episode 1.mp3").read_bytes() == body
    assert seen == [0.0] * calls  # no percentage without a size
    assert task.progress.status == dlmod.DownloadStatus.COMPLETED
    assert task.progress.percentage == 100.0
    assert task.progress.total_bytes == 0
    length = "0" if content_length else "unknown"
    assert infos(caplog)[-1].startswith("Download headers: Content-Type: audio/mpeg, Content-Length: " + length)


@pytest.mark.parametrize("route, detail", [
    (dict(status=404), "404 Client Error: Not Found for url: {url}"),
    (dict(status=500), "500 Server Error: Internal Server Error for url: {url}"),
])
def test_error_status_fails_as_network_error(dl, server, caplog, route, detail):
    server.add("/ep.mp3", **route)
    url = server.url("/ep.mp3")
    task = add(dl, url)

    dl._download_file(task)

    detail = detail.format(url=url)
    assert task.progress.status == dlmod.DownloadStatus.FAILED
    assert task.progress.error_message == "Network error: " + detail + URL_LINE + url
    logged = errors(caplog)
    assert [r.getMessage() for r in logged] == ["Download failed for Episode 1: " + detail, "  URL: " + url]
    assert all(r.exc_info is None for r in logged)
    assert dl.get_all_failed() == [task] and task.output_path is None
    assert list(folder(dl).iterdir()) == []


def test_connection_refused_is_a_network_error(dl, server):
    url = server.url("/ep.mp3")
    server.stop()
    task = add(dl, url)
    dl._download_file(task)
    assert task.progress.error_message.startswith("Network error: ")
    assert task.progress.error_message.endswith(URL_LINE + url)


@pytest.fixture
def wrapped_requests(monkeypatch):
    """Replaces the module's `requests` with a wrapper whose responses can be changed."""
    real = dlmod.requests
    wrapper = types.SimpleNamespace(changes=[], calls=[])

    def get(*args, **kwargs):
        wrapper.calls.append((args, kwargs))
        response = real.get(*args, **kwargs)
        for change in wrapper.changes:
            change(response)
        return response

    monkeypatch.setattr(dlmod, "requests", types.SimpleNamespace(get=get))
    return wrapper


def test_other_failures_carry_a_traceback(dl, server, caplog, wrapped_requests):
    server.add("/ep.mp3", body=BODY)
    url = server.url("/ep.mp3")

    def bad_length(response):
        response.headers["Content-Length"] = "abc"

    wrapped_requests.changes.append(bad_length)
    task = add(dl, url)
    dl._download_file(task)

    detail = "invalid literal for int() with base 10: 'abc'"
    assert task.progress.error_message == "Error: " + detail + URL_LINE + url
    first, second = errors(caplog)
    assert first.getMessage() == "Download failed for Episode 1: " + detail and first.exc_info[0] is ValueError
    assert second.getMessage() == "  URL: " + url and second.exc_info is None
    # The length is read by C++ code: its frame is the traceback.
    assert native_frames(logged_traceback(first)) == [("src/downloader/podcast.cpp", "PodcastDownloader._download_file")]


@pytest.mark.parametrize("blocked", ["Episode 1.mp3.part", "Episode 1.mp3"])
def test_file_errors_give_python_texts(dl, server, blocked):
    server.add("/ep.mp3", body=BODY)
    url = server.url("/ep.mp3")
    (folder(dl) / blocked).mkdir(parents=True)  # a folder where a file should go
    task = add(dl, url)

    dl._download_file(task)

    part = folder(dl) / "Episode 1.mp3.part"
    final = folder(dl) / "Episode 1.mp3"
    if blocked.endswith(".part"):
        detail = f"[Errno 21] Is a directory: '{part}'"
    else:  # the rename fails: every byte is in the partial file
        detail = f"[Errno 21] Is a directory: '{part}' -> '{final}'"
        assert part.read_bytes() == BODY
    assert task.progress.error_message == "Error: " + detail + URL_LINE + url
    assert task.progress.status == dlmod.DownloadStatus.FAILED


def test_folder_failure_leaves_the_task_active(dl, server):
    server.add("/ep.mp3", body=BODY)
    Path(dl.download_folder, "Show").write_text("a file where the folder should be")
    task = add(dl, server.url("/ep.mp3"))
    with pytest.raises(FileExistsError):
        dl._download_file(task)
    assert task.progress.status == dlmod.DownloadStatus.QUEUED
    assert dl.get_all_active() == [task] and server.log == []


def test_short_body_fails_and_retry_resumes(dl, server):
    route = server.add("/ep.mp3", body=BODY, short_by=1200)
    url = server.url("/ep.mp3")
    task = add(dl, url)

    dl._download_file(task)

    part = folder(dl) / "Episode 1.mp3.part"
    assert task.progress.status == dlmod.DownloadStatus.FAILED
    assert task.progress.error_message == (
        "Network error: Connection closed early: 50000 of 51200 bytes arrived" + URL_LINE + url)
    assert part.read_bytes() == BODY[:50000]
    assert not (folder(dl) / "Episode 1.mp3").exists()

    route.short_by = 0
    retried = dl.active_downloads[dl.retry_failed(task.task_id)]
    dl._download_file(retried)

    assert server.log[-1] == ("GET", "/ep.mp3", "bytes=50000-")
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == BODY
    assert retried.progress.status == dlmod.DownloadStatus.COMPLETED


@pytest.mark.parametrize("route, detail, kept", SHORT_ANSWERS)
def test_answer_that_ends_short_is_never_complete(dl, server, route, detail, kept):
    server.add("/ep.mp3", **route)
    url = server.url("/ep.mp3")
    task = add(dl, url)

    dl._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.FAILED
    assert task.progress.error_message == "Network error: " + detail + URL_LINE + url
    assert [p.name for p in folder(dl).iterdir()] == (["Episode 1.mp3.part"] if kept else [])


def test_compressed_body_is_not_taken_for_a_short_one(dl, server):
    # Audio hardly compresses: the announced (compressed) length is above
    # the number of decoded bytes that arrive.
    body = os.urandom(30000)
    server.add("/ep.mp3", body=body, gzip=True)
    task = add(dl, server.url("/ep.mp3"))

    dl._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.COMPLETED, task.progress.error_message
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == body


def test_existing_final_file_is_replaced_in_one_step(dl, server, monkeypatch):
    server.add("/ep.mp3", body=BODY)
    folder(dl).mkdir(parents=True)
    (folder(dl) / "Episode 1.mp3").write_bytes(b"an older download")

    def no_delete(*args, **kwargs):
        raise AssertionError("the final file must not be deleted before the rename")

    monkeypatch.setattr(os, "remove", no_delete)
    monkeypatch.setattr(os, "unlink", no_delete)
    monkeypatch.setattr(Path, "unlink", no_delete)
    task = add(dl, server.url("/ep.mp3"))

    dl._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.COMPLETED
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == BODY


def test_vanished_partial_file_fails(dl, server):
    server.add("/ep.mp3", body=BODY)
    part = folder(dl) / "Episode 1.mp3.part"

    def remove_when_done(progress):
        if progress.bytes_downloaded == len(BODY):
            part.unlink()

    task = add(dl, server.url("/ep.mp3"), callback=remove_when_done)
    dl._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.FAILED
    assert task.progress.error_message.startswith("Error: [Errno 2] No such file or directory: ")
    assert task.output_path is None and dl.get_all_failed() == [task]


def test_empty_chunks_and_failing_callback(dl, server, wrapped_requests):
    server.add("/ep.mp3", body=BODY)

    wrapped_requests.changes.append(with_empty_chunks)
    wrapped_requests.changes.append(lambda response: status_at_request.append(task.progress.status))
    status_at_request = []
    calls = []

    def failing(progress):
        calls.append(progress.bytes_downloaded)
        raise RuntimeError("the host's callback broke")

    task = add(dl, server.url("/ep.mp3"), callback=failing)
    dl._download_file(task)

    assert wrapped_requests.calls == [((task.url,), dict(
        headers=dlmod.PodcastDownloader.DEFAULT_HEADERS, stream=True, timeout=30, allow_redirects=True))]
    assert wrapped_requests.calls[0][1]["headers"] is not dlmod.PodcastDownloader.DEFAULT_HEADERS
    assert status_at_request == [dlmod.DownloadStatus.DOWNLOADING]
    assert len(calls) == 7 and calls[-1] == len(BODY)
    assert task.progress.status == dlmod.DownloadStatus.COMPLETED
    assert (folder(dl) / "Episode 1.mp3").read_bytes() == BODY


FULL_DISK = r"""
import resource, signal, sys
from pathlib import Path
sys.path.insert(0, sys.argv[1])
from podcast_server import PodcastServer
from core import downloader as dlmod

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
server = PodcastServer().start()
server.add("/ep.mp3", body=bytes(51200))
d = dlmod.PodcastDownloader(sys.argv[2], max_concurrent=0)
task = d.active_downloads[d.add_download(server.url("/ep.mp3"), "Episode 1", "Show")]
d._download_file(task)
part = Path(d.download_folder, "Show", "Episode 1.mp3.part")
print(task.progress.error_message.split("\n")[0])
print(part.stat().st_size)
"""


def test_a_full_disk_fails_with_the_write_error(tmp_path):
    here = str(Path(__file__).parent)
    result = subprocess.run([sys.executable, "-c", FULL_DISK, here, str(tmp_path)], capture_output=True, text=True,
                            timeout=60,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["Error: [Errno 27] File too large", "20000"]


# ---------------------------------------------------------------------------
# The host's odd objects


def test_a_path_splitter_that_gives_a_list(dl, server, monkeypatch):
    real = os.path.splitext
    monkeypatch.setattr(os.path, "splitext", lambda name: list(real(name)))
    server.add("/ep.mp3", body=BODY, disposition='attachment; filename="Episode.M4A"')
    task = add(dl, server.url("/ep.mp3"))

    dl._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.COMPLETED, task.progress.error_message
    assert (folder(dl) / "Episode 1.m4a").read_bytes() == BODY


@pytest.mark.parametrize("size, detail", [
    (2 ** 70, "int too big to convert"),
    (5.5, "'float' object cannot be interpreted as an integer"),
])
def test_a_partial_file_size_past_reach_fails_the_task(tmp_path, server, shut_down, caplog, size, detail):
    class OddPath(type(Path())):
        def stat(self, **kwargs):
            if self.name.endswith(".part"):
                return types.SimpleNamespace(st_size=size)
            return super().stat(**kwargs)

    class Downloader(dlmod.PodcastDownloader):
        def _get_content_folder(self, base, name):
            return OddPath(base) / name

    d = shut_down(Downloader(str(tmp_path / "dl"), max_concurrent=0))
    server.add("/ep.mp3", body=BODY)
    task = add(d, server.url("/ep.mp3"))

    d._download_file(task)

    assert task.progress.status == dlmod.DownloadStatus.FAILED
    assert task.progress.error_message == "Error: " + detail + URL_LINE + task.url
    first, second = errors(caplog)
    assert first.getMessage() == "Download failed for Episode 1: " + detail and first.exc_info is not None
    assert d.get_all_failed() == [task] and server.log == []
