"""The shared download engine: errors escaping a transfer, retry, shutdown and
the context manager, driven through a scripted subclass."""
import logging
import os
import queue
import re
import subprocess
import sys
import threading

import pytest

from core import downloader as dl
from native_frames import logged_traceback, native_frames
from scripted_downloader import WAIT, ScriptedDownloader, make_scripted, take_started  # noqa: F401 (make_scripted: a fixture)
from transfer_helpers import wait_until

# ---------------------------------------------------------------------------
# Errors escaping a transfer


# The error's text may hold a lone surrogate (an undecodable file name): it has
# no UTF-8 form, and must still reach the task and the log.
@pytest.mark.parametrize("title", ["Bad", "Bad \udcff"])
def test_error_escaping_a_transfer_fails_the_task_and_worker_goes_on(make_scripted, caplog, title):
    d = make_scripted(max_concurrent=1)
    d.plans["http://h/bad"] = "raise"
    caplog.set_level(logging.ERROR, logger="core.downloader")
    seen_at_log = []  # where the task sits when the line is emitted
    handler = logging.Handler()
    handler.emit = lambda record: seen_at_log.append(
        ([t.task_id for t in d.failed_downloads], list(d.active_downloads)))
    logging.getLogger("core.downloader").addHandler(handler)
    try:
        bad = d.add_download("http://h/bad", title, "P")
        good = d.add_download("http://h/good", "Good", "P")
        wait_until(lambda: len(d.completed_downloads) == 1)
    finally:
        logging.getLogger("core.downloader").removeHandler(handler)
    failed_then, active_then = seen_at_log[0]
    assert failed_then == [bad] and bad not in active_then
    assert {t.url: t.task_id for t in d.get_all_completed()} == {"http://h/good": good}
    (failed,) = d.get_all_failed()
    assert failed.task_id == bad and bad not in d.active_downloads
    assert failed.progress.status is dl.DownloadStatus.FAILED
    assert failed.progress.error_message == f"Error: boom {title}"
    (record,) = [r for r in caplog.records if r.name == "core.downloader"]
    assert record.levelno == logging.ERROR
    assert record.getMessage() == f"ScriptedDownloader worker error: boom {title}"
    assert record.exc_info and record.exc_info[0] is RuntimeError
    assert "Traceback" in caplog.text and "_download_file" in caplog.text
    assert d._worker_threads[0].is_alive()
    # Every item taken was acknowledged.
    joined = threading.Thread(target=d.download_queue.join, daemon=True)
    joined.start()
    joined.join(WAIT)
    assert not joined.is_alive()


def test_error_after_the_task_ended_keeps_its_outcome(make_scripted, caplog):
    d = make_scripted(max_concurrent=1)
    d.plans["http://h/a"] = "complete-then-raise"
    caplog.set_level(logging.ERROR, logger="core.downloader")
    d.add_download("http://h/a", "A", "P")
    wait_until(lambda: any("after the end" in r.getMessage() for r in caplog.records))
    d.shutdown()
    assert len(d.get_all_completed()) == 1 and d.get_all_failed() == []
    assert d.get_all_completed()[0].progress.status is dl.DownloadStatus.COMPLETED


WORKER = ("src/downloader/base_downloader.cpp", "BaseDownloader._worker")


def refuse(self, task):
    raise RuntimeError("refused")


@pytest.mark.parametrize("transfer, frames, in_python", [
    (refuse, [WORKER], True),
    # An error that begins in C++ code shows the function it began in.
    (lambda self, task: task.progress.update("x", 5),
     [WORKER, ("src/downloader/task_model.cpp", "DownloadProgress.update")], False),
])
def test_a_worker_error_is_logged_with_the_frames_it_passed(make_scripted, caplog, transfer, frames, in_python):
    caplog.set_level(logging.ERROR, logger="core.downloader")
    d = make_scripted(cls=type("Failing", (ScriptedDownloader,), {"_download_file": transfer}))
    d.add_download("http://h/a", "A", "P")
    wait_until(lambda: caplog.records)
    (record,) = caplog.records
    assert record.getMessage().startswith("Failing worker error: ")
    text = logged_traceback(record)
    assert text.startswith("Traceback (most recent call last):\n")
    assert native_frames(text) == frames
    assert ("in refuse" in text) == in_python


class FlakyQueue(queue.Queue):
    """A queue whose first get fails."""

    def __init__(self):
        super().__init__()
        self.failed_once = False

    def get(self, *args, **kwargs):
        if not self.failed_once:
            self.failed_once = True
            raise OSError("queue broken")
        return super().get(*args, **kwargs)


def test_error_in_the_queue_is_logged_and_the_worker_survives(make_scripted, tmp_path, caplog):
    caplog.set_level(logging.ERROR, logger="core.downloader")

    class Flaky(ScriptedDownloader):
        def _start_workers(self):
            self.download_queue = FlakyQueue()
            super()._start_workers()

    d = make_scripted(cls=Flaky)
    wait_until(lambda: d.download_queue.failed_once and caplog.records)
    d.add_download("http://h/a", "A", "P")
    wait_until(lambda: len(d.completed_downloads) == 1)
    assert [r.getMessage() for r in caplog.records] == ["Flaky worker error: queue broken"]


# ---------------------------------------------------------------------------
# Retry


class RecordingDownloader(ScriptedDownloader):
    def add_download(self, url, episode_title, podcast_name="Default", task_id=None,
                     progress_callback=None, **extra):
        self.calls = getattr(self, "calls", [])
        self.calls.append(({"url": url, "episode_title": episode_title, "podcast_name": podcast_name,
                            **extra}, self._lock.locked()))
        if extra.get("explode"):
            raise ValueError("refused")
        return super().add_download(url, episode_title, podcast_name, task_id, progress_callback)


def test_retry_registers_a_fresh_task(make_scripted):
    d = make_scripted(max_concurrent=0, cls=RecordingDownloader)
    old_id = d.add_download("http://h/a.ogg", "A", "Pod", progress_callback=print)
    old = d.active_downloads[old_id]
    old.metadata["k"] = "v"
    d._move_to_failed(old)
    d.calls.clear()
    new_id = d.retry_failed(old_id)
    assert new_id != old_id and re.fullmatch(r"download_\d+_\d{4}", new_id)
    # The override got only the three keywords, with the lock free.
    assert d.calls == [({"url": "http://h/a.ogg", "episode_title": "A", "podcast_name": "Pod"}, False)]
    assert d.get_all_failed() == []
    (new,) = d.get_all_active()
    assert new is not old and new.task_id == new_id
    assert (new.url, new.episode_title, new.podcast_name, new.filename) == (
        old.url, old.episode_title, old.podcast_name, old.filename)
    assert not hasattr(new, "progress_callback") and new.metadata == {}
    assert d.retry_failed(old_id) is None


def test_retry_picks_the_first_match_and_propagates_errors(make_scripted):
    d = make_scripted(max_concurrent=0, cls=RecordingDownloader)
    one = dl.DownloadTask("http://h/1", "f", "One", "P", "dup")
    two = dl.DownloadTask("http://h/2", "f", "Two", "P", "dup")
    d._move_to_failed(one)
    d._move_to_failed(two)
    d.retry_failed("dup")
    assert d.get_all_failed() == [two]
    assert d.get_all_active()[0].url == "http://h/1"

    class Exploding(RecordingDownloader):
        def add_download(self, **kwargs):
            return super().add_download(explode=True, **kwargs)

    e = make_scripted(max_concurrent=0, cls=Exploding)
    e._move_to_failed(two)
    with pytest.raises(ValueError, match="refused"):
        e.retry_failed("dup")
    assert e.get_all_failed() == [] and e.get_all_active() == []


def test_concurrent_retries_register_once(make_scripted):
    d = make_scripted(max_concurrent=0)
    d._move_to_failed(dl.DownloadTask("http://h/1", "f", "One", "P", "x"))
    results = []
    barrier = threading.Barrier(4)

    def retry():
        barrier.wait(WAIT)
        results.append(d.retry_failed("x"))

    threads = [threading.Thread(target=retry) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT)
    assert len(results) == 4 and results.count(None) == 3
    assert len(d.get_all_active()) == 1


# ---------------------------------------------------------------------------
# Shutdown and context manager


@pytest.mark.parametrize("wait", [True, False])
def test_shutdown_stops_idle_workers(make_scripted, wait):
    d = make_scripted(max_concurrent=2)
    threads = list(d._worker_threads)
    assert d.shutdown(wait=wait) is None
    assert d._shutdown_flag.is_set()
    if wait:
        assert not any(t.is_alive() for t in threads)
    wait_until(lambda: not any(t.is_alive() for t in threads))
    assert d._worker_threads == threads


def test_shutdown_without_waiting_leaves_queued_tasks(make_scripted):
    d = make_scripted(max_concurrent=1)
    running = d.gate("http://h/running")
    d.add_download("http://h/running", "R", "P")
    take_started(d)
    waiting = d.add_download("http://h/waiting", "W", "P")
    d.shutdown(False)
    assert d.get_queue_size() == 2  # the waiting task and one stop marker
    running.set()
    d._worker_threads[0].join(WAIT)
    assert not d._worker_threads[0].is_alive()
    assert [t.url for t in d.get_all_completed()] == ["http://h/running"]
    assert [t.task_id for t in d.get_all_active()] == [waiting]
    assert d.get_progress(waiting).status is dl.DownloadStatus.QUEUED
    assert d.get_queue_size() == 2
    # Still registers after shutdown, but nobody runs it.
    late = d.add_download("http://h/late", "L", "P")
    assert late in d.active_downloads and d.get_queue_size() == 3


def test_context_manager_shuts_down(make_scripted, tmp_path):
    with ScriptedDownloader(str(tmp_path / "cm")) as d:
        assert isinstance(d, ScriptedDownloader)
        threads = list(d._worker_threads)
        assert threads[0].is_alive()
    assert d._shutdown_flag.is_set() and not threads[0].is_alive()

    with pytest.raises(ValueError, match="inside"):
        with ScriptedDownloader(str(tmp_path / "cm2")) as e:
            raise ValueError("inside")
    assert e._shutdown_flag.is_set() and not e._worker_threads[0].is_alive()
    f = ScriptedDownloader(str(tmp_path / "cm3"))
    assert f.__enter__() is f
    assert f.__exit__(ValueError, ValueError("x"), None) is None
    assert f._shutdown_flag.is_set()


def test_exit_calls_the_instance_shutdown(make_scripted):
    d = make_scripted(max_concurrent=0)
    calls = []
    d.shutdown = lambda **kw: calls.append(kw)
    with d:
        pass
    assert calls == [{"wait": True}]


EXIT_SCRIPT = """
import sys, threading
from core import downloader as dl

class Stuck(dl.BaseDownloader):
    def _download_file(self, task):
        started.set()
        threading.Event().wait()

started = threading.Event()
idle = Stuck("idle", 2)
busy = Stuck("busy", 2)
busy.add_download("http://h/a", "A", "P")
assert started.wait(5)
print("leaving")
"""


def test_interpreter_exits_with_workers_still_running(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(["/usr/bin/python3", "-c", EXIT_SCRIPT], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "leaving\n", "")
