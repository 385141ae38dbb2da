"""QuietshelfDownloader against the loopback fake of the service: the
constructor, requests through the client's logged-in session, the log-in
page where a file was asked for, resume and restart, the server's extension,
pause and cancel, failures and the files left on disk."""
import logging
import os
import threading
import types
from pathlib import Path

import pytest

from core import downloader as dlmod
from core import quietshelf_client as qc
from module_test_helpers import run_python
from quietshelf_client.quietshelf_server import SESSION_COOKIE
from quietshelf_client.service_fixtures import client, logged_in, server  # noqa: F401 (fixtures)
from transfer_helpers import (BODY, HELD, SHORT_ANSWERS, infos, logged,  # noqa: F401 (shut_down: a fixture)
                              shut_down, wait_until, with_empty_chunks)

Status = dlmod.DownloadStatus
EXPIRED = "Network error: Session expired or authentication required\nURL: "
RESTARTING = "Server doesn't support resume, restarting download from beginning"
FILE = "/files/101"


@pytest.fixture
def make(tmp_path, logged_in, shut_down):
    def make(workers=0, with_client=None):
        return shut_down(dlmod.QuietshelfDownloader(with_client or logged_in, str(tmp_path / "dl"), workers))
    return make


@pytest.fixture
def dl(make):
    """A downloader without workers: tests run `_download_file` themselves."""
    return make(0)


@pytest.fixture
def session(logged_in, monkeypatch):
    """Records every session.get as (args, kwargs); `after` holds callables run
    on each response before the downloader sees it."""
    real = logged_in.session.get
    record = types.SimpleNamespace(calls=[], after=[])

    def get(*args, **kwargs):
        record.calls.append((args, {**kwargs, "headers": dict(kwargs["headers"])}))
        response = real(*args, **kwargs)
        for change in record.after:
            change(response)
        return response

    monkeypatch.setattr(logged_in.session, "get", get)
    return record


def add(d, url, title="Title", kind="Movies", callback=None):
    return d.active_downloads[d.add_download(url, title, kind, progress_callback=callback)]


def folder(d, kind="Movies"):
    return Path(d.download_folder) / kind


def files(d):
    return sorted(p.name for p in folder(d).iterdir())


def file_requests(server):
    return [r.range for r in server.log if r.path.startswith("/files/")]


# ---------------------------------------------------------------------------
# Construction


def test_defaults_headers_and_workers(logged_in, home, shut_down):
    d = shut_down(dlmod.QuietshelfDownloader(logged_in))
    assert d.client is logged_in
    assert d.download_folder == home / "Documents" / "Velmora" / "downloads" and d.download_folder.is_dir()
    assert [t.name for t in d._worker_threads] == [f"QuietshelfDownloaderWorker-{i}" for i in range(3)]
    assert all(t.daemon and t.is_alive() for t in d._worker_threads)
    assert d.DEFAULT_HEADERS is dlmod.QuietshelfDownloader.DEFAULT_HEADERS
    assert list(d.DEFAULT_HEADERS.items()) == [
        ("User-Agent", "Velmora/1.0 (Media Player; +https://velmora.example/)"),
        ("Accept", "audio/mpeg, audio/mp4, audio/*, */*"),
        ("Accept-Encoding", "identity"),
    ]
    assert dlmod.QuietshelfDownloader.__bases__ == (dlmod.BaseDownloader,)


def test_a_subclass_of_the_client_is_a_client(server, tmp_path, shut_down):
    class Client(qc.QuietshelfClient):
        pass

    d = shut_down(dlmod.QuietshelfDownloader(client=Client(server.url("")), download_folder=str(tmp_path / "x"),
                                             max_concurrent=0))
    assert isinstance(d.client, Client) and d._worker_threads == []


@pytest.mark.parametrize("args, kwargs, message", [
    (("not a client",), {}, "client must be an QuietshelfClient instance"),
    ((None,), {}, "client must be an QuietshelfClient instance"),
    ((), {}, "missing 1 required positional argument: 'client'"),
    (("c", "f", 1, "extra"), {}, "takes from 2 to 4 positional arguments but 5 were given"),
    (("c",), {"folder": "f"}, "unexpected keyword argument 'folder'"),
])
def test_wrong_arguments_start_nothing(args, kwargs, message):
    threads = threading.active_count()
    with pytest.raises(TypeError, match=message):
        dlmod.QuietshelfDownloader(*args, **kwargs)
    assert threading.active_count() == threads


def test_a_folder_that_is_no_text_is_refused_after_the_client_is_stored(client, tmp_path):
    d = dlmod.QuietshelfDownloader.__new__(dlmod.QuietshelfDownloader)
    with pytest.raises(TypeError, match="argument 'download_folder' must be str"):
        d.__init__(client, tmp_path / "dl")
    assert d.client is client and not hasattr(d, "_worker_threads")


def test_the_client_module_is_imported_by_the_constructor(tmp_path):
    result = run_python("""
        import core.downloader as d
        print("core.quietshelf_client" in sys.modules)
        sys.modules["core.quietshelf_client"] = None
        try:
            d.QuietshelfDownloader(object())
        except ImportError as error:
            print(type(error).__name__)
    """, tmp_path)
    assert (result.stdout, result.stderr) == ("False\nModuleNotFoundError\n", "")


# ---------------------------------------------------------------------------
# Transfers


def test_fresh_download_through_the_session(dl, server, session, caplog):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add(FILE, body=BODY)
    seen = []
    task = add(dl, server.url(FILE), callback=lambda p: seen.append((p.bytes_downloaded, p.status)))

    dl._download_file(task)

    final = folder(dl) / "Title.mp3"
    assert final.read_bytes() == BODY and files(dl) == ["Title.mp3"]
    assert task.output_path == final and isinstance(task.output_path, Path)
    p = task.progress
    assert (p.status, p.percentage, p.bytes_downloaded, p.total_bytes) == (Status.COMPLETED, 100.0, len(BODY), len(BODY))
    assert dl.get_all_completed() == [task] and dl.get_all_active() == []
    assert seen == [(min(n, len(BODY)), Status.DOWNLOADING) for n in range(8192, len(BODY) + 8192, 8192)]
    assert session.calls == [((task.url,), dict(headers=dict(dlmod.QuietshelfDownloader.DEFAULT_HEADERS), stream=True,
                                                timeout=30))]
    request = server.log[-1]
    # The downloader's User-Agent wins over the client's; the session adds its cookies.
    assert request.headers["User-Agent"] == dlmod.QuietshelfDownloader.DEFAULT_HEADERS["User-Agent"]
    assert request.range is None and request.cookies[SESSION_COOKIE] in server.sessions
    assert infos(caplog) == []


@pytest.mark.parametrize("mode, part, ranges", [
    ("honour", BODY[:20000], ["bytes=20000-"]),
    ("bare", BODY[:20000], ["bytes=20000-"]),
    ("ignore", b"x" * 20000, ["bytes=20000-", None]),
    ("refuse", b"x" * 20000, ["bytes=20000-", None]),
    # A 206 from another offset than the one asked for is not appended.
    ("elsewhere", b"x" * 20000, ["bytes=20000-", None]),
    ("honour", b"", [None]),
], ids=["206", "206-no-content-range", "200", "416", "206-elsewhere", "empty-part"])
def test_resume_or_restart(dl, server, caplog, mode, part, ranges):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add(FILE, body=BODY, range=mode)
    folder(dl).mkdir(parents=True)
    (folder(dl) / "Title.mp3.part").write_bytes(part)
    first = []
    task = add(dl, server.url(FILE), callback=lambda p: first or first.append(p.bytes_downloaded))

    dl._download_file(task)

    assert file_requests(server) == ranges
    assert (folder(dl) / "Title.mp3").read_bytes() == BODY
    resumed = ranges == ["bytes=20000-"]
    assert first == [(20000 if resumed else 0) + 8192]
    assert task.progress.total_bytes == len(BODY)
    assert infos(caplog) == ([] if len(ranges) == 1 else [RESTARTING])


@pytest.mark.parametrize("route, signed_in, message", [
    (dict(redirect=""), True, EXPIRED),  # a 302 the session cannot follow
    (dict(content_type="text/html; charset=UTF-8"), True, EXPIRED),
    (dict(), False, EXPIRED),  # followed to the log-in form
    (dict(status=404), True, "Network error: 404 Client Error: Not Found for url: {url}\nURL: "),
    (dict(content_type="TEXT/HTML"), True, None),  # the test is exact: this is a file
], ids=["302", "html", "not-logged-in", "404", "upper-case-html"])
def test_the_log_in_page_is_never_saved(make, server, caplog, route, signed_in, message):
    d = make(0, with_client=None if signed_in else qc.QuietshelfClient(server.url("")))
    server.add(FILE, body=BODY, **route)
    url = server.url(FILE)
    task = add(d, url)

    d._download_file(task)

    if message is None:
        assert task.progress.status == Status.COMPLETED and files(d) == ["Title.mp3"]
        return
    assert task.progress.status == Status.FAILED
    assert task.progress.error_message == message.format(url=url) + url
    detail = message.format(url=url)[len("Network error: "):-len("\nURL: ")]
    assert logged(caplog, logging.ERROR) == ["Download failed for Title: " + detail, "  URL: " + url]
    assert d.get_all_failed() == [task] and task.output_path is None and files(d) == []


def test_an_html_error_page_is_the_log_in_error(dl, server):
    server.statuses["/files/gone"] = 404  # answered as the service's HTML error page
    task = add(dl, server.url("/files/gone"))
    dl._download_file(task)
    assert task.progress.error_message == EXPIRED + task.url


@pytest.mark.parametrize("mode, disposition", [
    ("ignore", None),  # the restart of a refused resume
    ("honour", 'attachment; filename="Movie.m4a"'),  # the restart under a new extension
])
def test_the_answer_to_a_restart_is_checked_for_the_log_in_page(dl, server, session, mode, disposition):
    server.add(FILE, body=BODY, range=mode, disposition=disposition)
    session.after.append(lambda response: server.expire())  # logged out once the first answer is in
    folder(dl).mkdir(parents=True)
    part = folder(dl) / "Title.mp3.part"
    part.write_bytes(BODY[:10000])
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    assert [kwargs["headers"].get("Range") for _, kwargs in session.calls] == ["bytes=10000-", None]
    assert task.progress.status == Status.FAILED and task.progress.error_message == EXPIRED + task.url
    assert files(dl) == ["Title.mp3.part"] and part.read_bytes() == BODY[:10000]


@pytest.mark.parametrize("announced, filename", [
    ("Movie.MP4", "Title.mp4"),
    ("Movie.MP3", "Title.mp3"),
    ("Movie", "Title.mp3"),
    ("Movie.", "Title.mp3"),  # only a plain extension is taken
    ("Movie.m p4", "Title.mp3"),
    ("../../evil.m4a", "Title.m4a"),  # only the extension: the name never becomes a path
])
def test_server_extension(dl, server, caplog, tmp_path, announced, filename):
    caplog.set_level(logging.INFO, logger="core.downloader")
    server.add(FILE, body=BODY, disposition=f'attachment; filename="{announced}"')
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    assert task.filename == filename and files(dl) == [filename]
    assert (folder(dl) / filename).read_bytes() == BODY and task.output_path == folder(dl) / filename
    assert not list(tmp_path.rglob("evil*"))
    assert infos(caplog) == ["Server provided filename: " + announced]


def test_new_extension_while_resuming_starts_over(dl, server):
    server.add(FILE, body=BODY, disposition='attachment; filename="Movie.mp4"')
    folder(dl).mkdir(parents=True)
    old_part = folder(dl) / "Title.mp3.part"
    old_part.write_bytes(BODY[:10000])
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    assert file_requests(server) == ["bytes=10000-", None]
    assert (folder(dl) / "Title.mp4").read_bytes() == BODY
    assert old_part.read_bytes() == BODY[:10000]


def test_unknown_size(dl, server):
    server.add(FILE, body=BODY, content_length=False)
    seen = []
    task = add(dl, server.url(FILE), callback=lambda p: seen.append(p.percentage))
    dl._download_file(task)
    assert seen == [0.0] * 7 and task.progress.total_bytes == 0 and task.progress.percentage == 100.0
    assert (folder(dl) / "Title.mp3").read_bytes() == BODY


def test_short_body_fails_and_retry_resumes(dl, server):
    route = server.add(FILE, body=BODY, short_by=1200)
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    assert task.progress.error_message == (
        "Network error: Connection closed early: 50000 of 51200 bytes arrived\nURL: " + task.url)
    assert files(dl) == ["Title.mp3.part"] and (folder(dl) / "Title.mp3.part").read_bytes() == BODY[:50000]

    route.short_by = 0
    retried = dl.active_downloads[dl.retry_failed(task.task_id)]
    dl._download_file(retried)

    assert file_requests(server)[-1] == "bytes=50000-"
    assert retried.progress.status == Status.COMPLETED and (folder(dl) / "Title.mp3").read_bytes() == BODY


@pytest.mark.parametrize("route, detail, kept", SHORT_ANSWERS)
def test_answer_that_ends_short_is_never_complete(dl, server, route, detail, kept):
    server.add(FILE, **route)
    task = add(dl, server.url(FILE))
    dl._download_file(task)
    assert task.progress.status == Status.FAILED
    assert task.progress.error_message == "Network error: " + detail + "\nURL: " + task.url
    assert files(dl) == (["Title.mp3.part"] if kept else [])


def test_compressed_body_is_not_taken_for_a_short_one(dl, server):
    body = os.urandom(30000)  # its gzip form is longer than itself
    server.add(FILE, body=body, gzip=True)
    task = add(dl, server.url(FILE))
    dl._download_file(task)
    assert task.progress.status == Status.COMPLETED, task.progress.error_message
    assert (folder(dl) / "Title.mp3").read_bytes() == body


def test_existing_final_file_is_replaced_in_one_step(dl, server, monkeypatch):
    server.add(FILE, body=BODY)
    folder(dl).mkdir(parents=True)
    (folder(dl) / "Title.mp3").write_bytes(b"an older download")

    def no_delete(*args, **kwargs):
        raise AssertionError("the final file must not be deleted before the rename")

    for owner, name in ((os, "remove"), (os, "unlink"), (Path, "unlink")):
        monkeypatch.setattr(owner, name, no_delete)
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    assert task.progress.status == Status.COMPLETED and (folder(dl) / "Title.mp3").read_bytes() == BODY


def test_vanished_partial_file_fails(dl, server):
    server.add(FILE, body=BODY)
    part = folder(dl) / "Title.mp3.part"
    task = add(dl, server.url(FILE), callback=lambda p: p.bytes_downloaded == len(BODY) and part.unlink())

    dl._download_file(task)

    assert task.progress.status == Status.FAILED
    assert task.progress.error_message.startswith("Error: [Errno 2] No such file or directory: ")
    assert task.output_path is None and dl.get_all_failed() == [task]


def test_other_failures_carry_a_traceback(dl, server, session, caplog):
    server.add(FILE, body=BODY)
    session.after.append(lambda response: response.headers.__setitem__("Content-Length", "abc"))
    task = add(dl, server.url(FILE))

    dl._download_file(task)

    detail = "invalid literal for int() with base 10: 'abc'"
    assert task.progress.error_message == f"Error: {detail}\nURL: {task.url}"
    first, second = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert first.getMessage() == "Download failed for Title: " + detail and first.exc_info[0] is ValueError
    assert second.getMessage() == "  URL: " + task.url and second.exc_info is None


def test_connection_refused_is_a_network_error(dl, server):
    url = server.url(FILE)
    server.stop()
    task = add(dl, url)
    dl._download_file(task)
    assert task.progress.error_message.startswith("Network error: ") and task.progress.error_message.endswith(url)
    assert dl.get_all_failed() == [task]


def test_folder_failure_leaves_the_task_as_it_was(dl, server):
    Path(dl.download_folder, "Movies").write_text("a file where the folder should be")
    task = add(dl, server.url(FILE))
    with pytest.raises(FileExistsError):
        dl._download_file(task)
    assert task.progress.status == Status.QUEUED and dl.get_all_active() == [task]
    assert file_requests(server) == []


def test_empty_chunks_and_a_failing_callback(dl, server, session):
    server.add(FILE, body=BODY)

    session.after.append(with_empty_chunks)
    calls = []

    def failing(progress):
        calls.append(progress.bytes_downloaded)
        raise RuntimeError("the host's callback broke")

    task = add(dl, server.url(FILE), callback=failing)
    dl._download_file(task)

    assert len(calls) == 7 and calls[-1] == len(BODY)
    assert task.progress.status == Status.COMPLETED and (folder(dl) / "Title.mp3").read_bytes() == BODY


# ---------------------------------------------------------------------------
# Pause, cancel and tasks for one file


@pytest.fixture
def held(server):
    return server.add(FILE, body=BODY, hold_after=HELD, release=threading.Event())


def start_held(d, server, route, title="Title"):
    task = add(d, server.url(FILE), title=title)
    assert route.held.wait(10)
    wait_until(lambda: task.progress.bytes_downloaded == HELD)
    return task


def test_pause_then_resume(make, server, held):
    d = make(1)
    task = start_held(d, server, held)
    assert d.pause_download(task.task_id)
    held.release.set()
    wait_until(lambda: task.progress.status == Status.PAUSED)
    assert (folder(d) / "Title.mp3.part").read_bytes() == BODY[:HELD]

    assert d.resume_download(task.task_id)
    wait_until(lambda: d.get_all_completed() == [task])
    assert (folder(d) / "Title.mp3").read_bytes() == BODY


@pytest.mark.parametrize("pause_first", [True, False])
def test_cancel_keeps_the_partial_file(make, server, held, pause_first):
    d = make(1)
    task = start_held(d, server, held)
    if pause_first:
        d.pause_download(task.task_id)
        held.release.set()
        wait_until(lambda: task.progress.status == Status.PAUSED)
    d.cancel_download(task.task_id)
    held.release.set()
    wait_until(lambda: d.get_all_failed() == [task])

    assert (task.progress.status, task.progress.error_message) == (Status.CANCELLED, "Cancelled by user")
    assert files(d) == ["Title.mp3.part"] and (folder(d) / "Title.mp3.part").read_bytes() == BODY[:HELD]


def test_cancelled_while_queued_still_sends_its_request(dl, server):
    server.add(FILE, body=BODY)
    task = add(dl, server.url(FILE))
    dl.cancel_download(task.task_id)

    dl._download_file(task)

    assert file_requests(server) == [None]
    assert task.progress.status == Status.CANCELLED and dl.get_all_failed() == [task]
    assert (folder(dl) / "Title.mp3.part").read_bytes() == b""


@pytest.mark.parametrize("second_title, together", [("Title", False), ("TITLE", False), ("Other", True)])
def test_tasks_for_one_file_run_one_after_the_other(make, server, held, second_title, together):
    d = make(2)
    first = start_held(d, server, held)
    before = len(server.log)
    second = add(d, server.url(FILE), title=second_title)

    # A second request arrives while the first is held only for another file.
    assert server.wait_for_requests(before + 1, timeout=1.0 if not together else 10.0) is together
    held.release.set()
    wait_until(lambda: len(d.get_all_completed()) == 2)

    assert server.max_in_flight == (2 if together else 1)

    for task in (first, second):
        assert task.output_path.read_bytes() == BODY
    assert not list(folder(d).glob("*.part"))
