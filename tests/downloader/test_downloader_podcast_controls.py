"""PodcastDownloader's controls against a loopback HTTP server whose body is
held back on an event: pause, resume and cancel, and transfers into the same
file one after the other, also in a forked child."""
import os
import threading
import time
import types

import pytest

from core import downloader as dlmod
from module_test_helpers import forked_child_exit_code
from podcast_helpers import add, dl, folder, make_downloader, server  # noqa: F401 (fixtures)
from transfer_helpers import BODY, HELD, shut_down, wait_until  # noqa: F401 (shut_down: a fixture)


@pytest.fixture
def held(server):
    release = threading.Event()
    route = server.add("/ep.mp3", body=BODY, hold_after=HELD, release=release)
    return route


def start_held(d, server, route):
    task = add(d, server.url("/ep.mp3"))
    assert route.held.wait(10)
    wait_until(lambda: task.progress.bytes_downloaded == HELD)
    return task


def test_pause_then_resume(make_downloader, server, held):
    d = make_downloader(1)
    task = start_held(d, server, held)
    assert d.pause_download(task.task_id)
    held.release.set()
    wait_until(lambda: task.progress.status == dlmod.DownloadStatus.PAUSED)

    # The bytes received before the pause are on disk; the waiting chunk is not.
    assert (folder(d) / "Episode 1.mp3.part").read_bytes() == BODY[:HELD]

    assert d.resume_download(task.task_id)
    wait_until(lambda: d.get_all_completed() == [task])
    assert (folder(d) / "Episode 1.mp3").read_bytes() == BODY


@pytest.mark.parametrize("action, status", [
    ("resume", dlmod.DownloadStatus.COMPLETED),
    ("cancel", dlmod.DownloadStatus.CANCELLED),
])
def test_pause_polls_with_the_module_sleep(dl, server, monkeypatch, action, status):
    server.add("/ep.mp3", body=BODY)
    task = add(dl, server.url("/ep.mp3"))
    seen = []

    def sleep(seconds):
        seen.append((seconds, task.progress.status))
        if len(seen) == 2:
            (task.pause_flag.clear if action == "resume" else task.cancel_flag.set)()

    monkeypatch.setattr(dlmod, "time", types.SimpleNamespace(time=time.time, sleep=sleep))
    task.pause_flag.set()
    guard = threading.Timer(10, task.cancel_flag.set)  # ends a pause that never polls through `sleep`
    guard.start()
    try:
        dl._download_file(task)
    finally:
        guard.cancel()

    assert seen == [(0.5, dlmod.DownloadStatus.PAUSED)] * 2
    assert task.progress.status == status


@pytest.mark.parametrize("pause_first", [True, False])
def test_cancel_keeps_the_partial_file(make_downloader, server, held, pause_first):
    d = make_downloader(1)
    task = start_held(d, server, held)
    if pause_first:
        d.pause_download(task.task_id)
        held.release.set()
        wait_until(lambda: task.progress.status == dlmod.DownloadStatus.PAUSED)
        d.cancel_download(task.task_id)
    else:
        d.cancel_download(task.task_id)
        held.release.set()
    wait_until(lambda: d.get_all_failed() == [task])

    assert task.progress.status == dlmod.DownloadStatus.CANCELLED
    assert task.progress.error_message == "Cancelled by user"
    assert (folder(d) / "Episode 1.mp3.part").read_bytes() == BODY[:HELD]
    assert not (folder(d) / "Episode 1.mp3").exists()


def test_cancel_of_a_compressed_answer_keeps_no_partial_file(make_downloader, server):
    # Its bytes came decoded, and a Range counts compressed bytes: nothing
    # could continue them.
    noise = os.urandom(100_000)  # its gzip form is as long: two chunks go out before the hold
    route = server.add("/ep.mp3", body=noise, gzip=True, hold_after=HELD, release=threading.Event())
    d = make_downloader(1)
    task = add(d, server.url("/ep.mp3"))
    assert route.held.wait(10)
    wait_until(lambda: task.progress.bytes_downloaded > 0)
    d.cancel_download(task.task_id)
    route.release.set()
    wait_until(lambda: d.get_all_failed() == [task])

    assert (task.progress.status, task.progress.error_message) == (dlmod.DownloadStatus.CANCELLED, "Cancelled by user")
    assert list(folder(d).iterdir()) == []


def test_cancelled_while_queued_still_starts(dl, server):
    server.add("/ep.mp3", body=BODY)
    task = add(dl, server.url("/ep.mp3"))
    dl.cancel_download(task.task_id)

    dl._download_file(task)

    assert server.log == [("GET", "/ep.mp3", None)]
    assert task.progress.status == dlmod.DownloadStatus.CANCELLED
    assert (folder(dl) / "Episode 1.mp3.part").read_bytes() == b""
    assert dl.get_all_failed() == [task]


@pytest.mark.parametrize("second_title, together", [
    ("Episode 1", False),
    ("EPISODE 1", False),  # the same file on a case-insensitive disk
    ("Episode 2", True),
])
def test_tasks_for_one_file_run_one_after_the_other(make_downloader, server, held, second_title, together):
    d = make_downloader(2)
    first = start_held(d, server, held)
    second = add(d, server.url("/ep.mp3"), title=second_title)

    # A second request arrives while the first is held only for another file.
    assert server.wait_for_requests(2, timeout=1.0 if not together else 10.0) is together
    held.release.set()
    wait_until(lambda: len(d.get_all_completed()) == 2)

    assert server.max_in_flight == (2 if together else 1)
    for task in (first, second):
        assert task.output_path.read_bytes() == BODY
    assert not list(folder(d).glob("*.part"))


def test_cancel_while_waiting_for_the_same_file(make_downloader, server, held):
    d = make_downloader(1)
    first = start_held(d, server, held)
    second = dlmod.DownloadTask(server.url("/ep.mp3"), "Episode 1.mp3", "Episode 1", "Show", "second")
    waiting = threading.Thread(target=d._download_file, args=(second,))
    waiting.start()
    second.cancel_flag.set()
    waiting.join(10)
    assert d.get_all_failed() == [second]

    assert second.progress.status == dlmod.DownloadStatus.CANCELLED
    assert len(server.log) == 1
    held.release.set()
    wait_until(lambda: d.get_all_completed() == [first])


def test_a_forked_child_downloads_to_a_file_the_parent_had_in_flight(make_downloader, server, held):
    d = make_downloader(1)
    first = start_held(d, server, held)
    server.add("/child.mp3", body=BODY[::-1])

    def child():
        # One file with the parent's on a case-insensitive disk, and another
        # name here, so that the two processes write no file together.
        task = dlmod.DownloadTask(server.url("/child.mp3"), "EPISODE 1.mp3", "EPISODE 1", "Show", "child")
        d._download_file(task)
        assert task.progress.status == dlmod.DownloadStatus.COMPLETED
        assert task.output_path.read_bytes() == BODY[::-1]

    assert forked_child_exit_code(child) == 0
    held.release.set()
    wait_until(lambda: d.get_all_completed() == [first])
    assert first.output_path.read_bytes() == BODY
