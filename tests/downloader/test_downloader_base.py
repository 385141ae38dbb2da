"""The shared download engine: queue, workers, task tables and controls,
driven through a Python subclass whose transfers are scripted with events."""
import inspect
import logging
import os
import queue
import random
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from core import downloader as dl

WAIT = 5.0  # upper bound for every wait below; nothing normally takes that long


def wait_for(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.005)


class ScriptedDownloader(dl.BaseDownloader):
    """Transfers do what `plans[url]` says; a URL with a gate holds its
    transfer until the gate is set (or the task is cancelled)."""

    def __init__(self, folder, max_concurrent=1):
        self.plans = {}
        self.gates = {}
        self.started = queue.Queue()
        super().__init__(folder, max_concurrent)

    def gate(self, url):
        return self.gates.setdefault(url, threading.Event())

    def _download_file(self, task):
        self.started.put(task)
        task.progress.status = dl.DownloadStatus.DOWNLOADING
        gate = self.gates.get(task.url)
        deadline = time.monotonic() + WAIT
        while gate is not None and not gate.wait(0.005):
            if task.cancel_flag.is_set():
                task.progress.status = dl.DownloadStatus.CANCELLED
                task.progress.error_message = "Cancelled by user"
                self._move_to_failed(task)
                return
            assert time.monotonic() < deadline, "gate never opened"
        plan = self.plans.get(task.url, "complete")
        if plan == "raise":
            raise RuntimeError("boom " + task.episode_title)
        if plan == "fail":
            task.progress.status = dl.DownloadStatus.FAILED
            task.progress.error_message = "HTTP 404"
            self._move_to_failed(task)
            return
        task.output_path = self.download_folder / task.filename
        task.progress.percentage = 100.0
        task.progress.status = dl.DownloadStatus.COMPLETED
        self._move_to_completed(task)
        if plan == "complete-then-raise":
            raise RuntimeError("after the end")


@pytest.fixture
def make_scripted(tmp_path):
    """Factory of ScriptedDownloader instances, all shut down at the end."""
    made = []

    def make(max_concurrent=1, cls=ScriptedDownloader, folder=None):
        d = cls(str(folder or tmp_path / "dl"), max_concurrent)
        made.append(d)
        return d

    yield make
    for d in made:
        for gate in d.gates.values():
            gate.set()
        d.shutdown(wait=True)


def take_started(d):
    return d.started.get(timeout=WAIT)


# ---------------------------------------------------------------------------
# The class


def test_base_class_is_abstract(tmp_path):
    assert dl.BaseDownloader.__bases__ == (dl.ABC,)
    assert dl.BaseDownloader.__module__ == "core.downloader"
    assert dl.BaseDownloader.__abstractmethods__ == frozenset({"_download_file"})
    with pytest.raises(TypeError):
        dl.BaseDownloader(str(tmp_path / "a"))

    class Incomplete(dl.BaseDownloader):
        pass

    with pytest.raises(TypeError):
        Incomplete(str(tmp_path / "b"))
    # Neither attempt got as far as creating the folder or any worker.
    assert not (tmp_path / "a").exists() and not (tmp_path / "b").exists()


def test_methods_in_order_with_their_signatures():
    T, P, opt = dl.DownloadTask, dl.DownloadProgress, dl.Optional
    E = inspect.Parameter.empty
    expected = [
        ("__init__", [("download_folder", str, E), ("max_concurrent", int, 3)], E),
        ("_start_workers", [], E),
        ("_worker", [], E),
        ("generate_safe_filename", None, None),
        ("_get_filename_from_headers", None, None),
        ("_get_content_folder", None, None),
        ("_move_to_completed", [("task", T, E)], E),
        ("_move_to_failed", [("task", T, E)], E),
        ("_download_file", [("task", T, E)], E),
        ("add_download", [("url", str, E), ("episode_title", str, E), ("podcast_name", str, E),
                          ("task_id", opt[str], None),
                          ("progress_callback", opt[dl.Callable[[P], None]], None)], str),
        ("_detect_extension_from_url", None, None),
        ("cancel_download", [("task_id", str, E)], bool),
        ("pause_download", [("task_id", str, E)], bool),
        ("resume_download", [("task_id", str, E)], bool),
        ("get_progress", [("task_id", str, E)], opt[P]),
        ("get_all_active", [], dl.List[T]),
        ("get_all_completed", [], dl.List[T]),
        ("get_all_failed", [], dl.List[T]),
        ("get_queue_size", [], int),
        ("clear_completed", [], E),
        ("clear_failed", [], E),
        ("retry_failed", [("task_id", str, E)], opt[str]),
        ("shutdown", [("wait", bool, True)], E),
        ("__enter__", [], E),
        ("__exit__", [("exc_type", E, E), ("exc_val", E, E), ("exc_tb", E, E)], E),
    ]
    names = [n for n, v in vars(dl.BaseDownloader).items() if callable(v) or isinstance(v, staticmethod)]
    assert names == [n for n, _, _ in expected]
    for name, params, returns in expected:
        if params is None:  # the static name helpers: only their kind here
            assert isinstance(vars(dl.BaseDownloader)[name], staticmethod), name
            continue
        sig = inspect.signature(getattr(dl.BaseDownloader, name))
        got = [(p.name, p.annotation, p.default) for p in sig.parameters.values()]
        assert got == [("self", E, E)] + params, name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values()), name
        assert sig.return_annotation == returns, name


# ---------------------------------------------------------------------------
# Construction and workers


def test_construction_sets_up_tables_and_daemon_workers(make_scripted, tmp_path):
    d = make_scripted(max_concurrent=3, folder=tmp_path / "deep" / "er")
    engine_attrs = ["download_folder", "max_concurrent", "download_queue", "active_downloads",
                    "completed_downloads", "failed_downloads", "_lock", "_worker_threads", "_shutdown_flag"]
    assert [k for k in vars(d) if k in engine_attrs] == engine_attrs
    assert d.download_folder == tmp_path / "deep" / "er" and isinstance(d.download_folder, Path)
    assert d.download_folder.is_dir()
    assert type(d.download_queue) is queue.Queue and d.download_queue.maxsize == 0
    assert (d.active_downloads, d.completed_downloads, d.failed_downloads) == ({}, [], [])
    assert type(d._lock) is type(threading.Lock())
    assert type(d._shutdown_flag) is threading.Event and not d._shutdown_flag.is_set()
    threads = d._worker_threads
    assert [t.name for t in threads] == [f"ScriptedDownloaderWorker-{i}" for i in range(3)]
    assert all(isinstance(t, threading.Thread) and t.daemon and t.is_alive() for t in threads)


def test_existing_folder_is_accepted(make_scripted, tmp_path):
    (tmp_path / "dl").mkdir()
    assert make_scripted().download_folder.is_dir()


@pytest.mark.parametrize("folder, error", [(5, TypeError), (b"x", TypeError), (None, TypeError)])
def test_folder_argument_errors(tmp_path, folder, error):
    before = set(threading.enumerate())
    with pytest.raises(error):
        ScriptedDownloader(folder)
    assert set(threading.enumerate()) <= before


def test_folder_that_cannot_be_created_starts_no_worker(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    before = set(threading.enumerate())
    with pytest.raises(FileExistsError):
        ScriptedDownloader(str(blocker))
    with pytest.raises((FileExistsError, NotADirectoryError)):
        ScriptedDownloader(str(blocker / "sub"))
    assert set(threading.enumerate()) <= before


def test_no_workers_means_tasks_wait_forever(make_scripted):
    d = make_scripted(max_concurrent=0)
    assert d._worker_threads == []
    tid = d.add_download("http://h/a.mp3", "A", "Pod")
    d.shutdown()
    assert d.get_queue_size() == 1  # no stop marker for zero workers
    assert [t.task_id for t in d.get_all_active()] == [tid]
    assert d.get_progress(tid).status is dl.DownloadStatus.QUEUED


# ---------------------------------------------------------------------------
# Registering


class FakeClock:
    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


def test_generated_identifier_format_and_task(make_scripted, monkeypatch):
    d = make_scripted(max_concurrent=0)
    monkeypatch.setattr(dl, "time", FakeClock(1700000000.98765))
    seen = []
    monkeypatch.setattr(random, "randint", lambda a, b: seen.append((a, b)) or 4321)
    cb = lambda progress: None  # noqa: E731
    url, title = "http://host/ep.M4A?x=1", "Episode: 1 / intro"
    tid = d.add_download(url, title, "Pod", progress_callback=cb)
    assert tid == "download_1700000000987_4321" and seen == [(1000, 9999)]
    task = d.active_downloads[tid]
    assert isinstance(task, dl.DownloadTask)
    assert (task.url, task.episode_title, task.podcast_name, task.task_id) == (url, title, "Pod", tid)
    ext = dl.BaseDownloader._detect_extension_from_url(url)
    assert task.filename == dl.BaseDownloader.generate_safe_filename(title, ext)
    assert task.progress_callback is cb
    assert task.progress.status is dl.DownloadStatus.QUEUED
    assert d.download_queue.get_nowait() is task


def test_generated_identifiers_are_real_random_and_distinct(make_scripted):
    d = make_scripted(max_concurrent=0)
    ids = [d.add_download("http://h/a", "A", "P") for _ in range(3)]
    assert len(set(ids)) == 3
    for tid in ids:
        assert re.fullmatch(r"download_\d{13}_\d{4}", tid)
        assert 1000 <= int(tid.rsplit("_", 1)[1]) <= 9999
    assert list(d.active_downloads) == ids


def test_generated_identifier_never_replaces_an_active_task(make_scripted, monkeypatch):
    d = make_scripted(max_concurrent=0)
    monkeypatch.setattr(dl, "time", FakeClock(1000.0))
    draws = iter([1111, 1111, 1111, 2222])
    monkeypatch.setattr(random, "randint", lambda a, b: next(draws))
    first = d.add_download("http://h/1", "One", "P")
    second = d.add_download("http://h/2", "Two", "P")
    assert (first, second) == ("download_1000000_1111", "download_1000000_2222")
    assert d.active_downloads[first].url == "http://h/1"
    assert d.active_downloads[second].task_id == second
    assert d.get_queue_size() == 2


@pytest.mark.parametrize("callback", [None, 0, ""])
def test_falsy_callback_is_not_attached(make_scripted, callback):
    d = make_scripted(max_concurrent=0)
    tid = d.add_download("http://h/a", "A", "P", progress_callback=callback)
    assert not hasattr(d.active_downloads[tid], "progress_callback")


def test_supplied_identifier_is_used_and_replaces_the_entry(make_scripted):
    d = make_scripted(max_concurrent=2)
    a, b = d.gate("http://h/a"), d.gate("http://h/b")
    assert d.add_download("http://h/a", "A", "P", task_id="same") == "same"
    task_a = take_started(d)
    assert d.add_download("http://h/b", "B", "P", "same") == "same"
    task_b = take_started(d)
    assert d.active_downloads == {"same": task_b}
    # The first one to end must not take the other's entry with it.
    a.set()
    wait_for(lambda: d.get_all_completed() == [task_a])
    assert d.active_downloads == {"same": task_b}
    b.set()
    wait_for(lambda: d.get_all_completed() == [task_a, task_b])
    assert d.active_downloads == {}


@pytest.mark.parametrize("kwargs", [
    {"url": 5}, {"episode_title": b"t"}, {"podcast_name": 1.5},
])
def test_text_arguments_are_type_tested(make_scripted, kwargs):
    d = make_scripted(max_concurrent=0)
    args = {"url": "http://h/a", "episode_title": "A", "podcast_name": "P", **kwargs}
    with pytest.raises(TypeError, match=f"argument '{next(iter(kwargs))}' must be str"):
        d.add_download(**args)
    assert d.active_downloads == {} and d.get_queue_size() == 0


def test_unprocessable_url_registers_nothing(make_scripted):
    d = make_scripted(max_concurrent=0)
    with pytest.raises(AttributeError):
        d.add_download(None, "A", "P")
    assert d.active_downloads == {} and d.get_queue_size() == 0


# ---------------------------------------------------------------------------
# Running, tables and queries


def test_finished_tasks_move_to_their_lists_in_finishing_order(make_scripted):
    d = make_scripted(max_concurrent=3)
    d.plans["http://h/bad"] = "fail"
    gates = {u: d.gate(u) for u in ("http://h/a", "http://h/b", "http://h/bad")}
    ids = {u: d.add_download(u, u[-1], "P") for u in gates}
    wait_for(lambda: d.started.qsize() == 3)
    assert [t.task_id for t in d.get_all_active()] == list(ids.values())
    for u in ("http://h/b", "http://h/bad", "http://h/a"):
        gates[u].set()
        wait_for(lambda: ids[u] not in d.active_downloads)
    assert [t.url for t in d.get_all_completed()] == ["http://h/b", "http://h/a"]
    assert [t.url for t in d.get_all_failed()] == ["http://h/bad"]
    done = ids["http://h/a"]
    assert d.get_progress(done) is None
    assert (d.cancel_download(done), d.pause_download(done), d.resume_download(done)) == (False,) * 3


def test_progress_is_the_live_record(make_scripted):
    d = make_scripted(max_concurrent=0)
    tid = d.add_download("http://h/a", "A", "P")
    progress = d.get_progress(tid)
    assert progress is d.active_downloads[tid].progress
    progress.bytes_downloaded = 42
    assert d.get_progress(tid).bytes_downloaded == 42


def test_lists_are_copies_of_live_tasks(make_scripted):
    d = make_scripted(max_concurrent=1)
    d.plans["http://h/f"] = "fail"
    d.add_download("http://h/c", "C", "P")
    d.add_download("http://h/f", "F", "P")
    wait_for(lambda: len(d.completed_downloads) == 1 and len(d.failed_downloads) == 1)
    for query, table in ((d.get_all_completed, d.completed_downloads),
                         (d.get_all_failed, d.failed_downloads)):
        copy = query()
        assert copy is not table and copy[0] is table[0]
        copy.clear()
        assert len(table) == 1
    active = d.get_all_active()
    active.append("x")
    assert d.get_all_active() == []


def test_clearing_lists_leaves_active_tasks(make_scripted):
    d = make_scripted(max_concurrent=1)
    d.plans["http://h/f"] = "fail"
    d.add_download("http://h/c", "C", "P")
    d.add_download("http://h/f", "F", "P")
    wait_for(lambda: len(d.completed_downloads) == 1 and len(d.failed_downloads) == 1)
    d.gate("http://h/held")
    held = d.add_download("http://h/held", "H", "P")
    completed, failed = d.completed_downloads, d.failed_downloads
    d.clear_completed()
    assert d.get_all_completed() == [] and d.completed_downloads is completed
    assert len(d.get_all_failed()) == 1
    d.clear_failed()
    assert d.get_all_failed() == [] and d.failed_downloads is failed
    assert [t.task_id for t in d.get_all_active()] == [held]


def test_unknown_identifiers_change_nothing(make_scripted):
    d = make_scripted(max_concurrent=0)
    d.add_download("http://h/a", "A", "P")
    for op in (d.cancel_download, d.pause_download, d.resume_download):
        assert op("nope") is False
    assert d.get_progress("nope") is None and d.retry_failed("nope") is None
    with pytest.raises(TypeError):
        d.cancel_download(7)
    (task,) = d.get_all_active()
    assert not task.cancel_flag.is_set() and not task.pause_flag.is_set()


def test_pause_and_resume_only_toggle_the_flag(make_scripted):
    d = make_scripted(max_concurrent=0)
    tid = d.add_download("http://h/a", "A", "P")
    task = d.active_downloads[tid]
    assert d.pause_download(tid) is True and task.pause_flag.is_set()
    assert task.progress.status is dl.DownloadStatus.QUEUED
    assert d.resume_download(tid) is True and not task.pause_flag.is_set()
    assert task.progress.status is dl.DownloadStatus.QUEUED


def test_cancelled_while_queued_never_starts(make_scripted):
    d = make_scripted(max_concurrent=1)
    first = d.gate("http://h/first")
    d.add_download("http://h/first", "First", "P")
    assert take_started(d).url == "http://h/first"
    tid = d.add_download("http://h/second", "Second", "P")
    assert d.cancel_download(tid) is True
    progress = d.get_progress(tid)
    assert (progress.status, progress.error_message) == (dl.DownloadStatus.CANCELLED, "Cancelled by user")
    assert d.active_downloads[tid].cancel_flag.is_set()
    assert tid in [t.task_id for t in d.get_all_active()]
    first.set()
    wait_for(lambda: [t.task_id for t in d.get_all_failed()] == [tid])
    assert d.started.empty()  # its transfer was never called
    (task,) = d.get_all_failed()
    assert (task.progress.status, task.progress.error_message) == (dl.DownloadStatus.CANCELLED,
                                                                   "Cancelled by user")
    assert tid not in d.active_downloads


def test_cancelling_a_running_transfer(make_scripted):
    d = make_scripted(max_concurrent=1)
    d.gate("http://h/a")
    tid = d.add_download("http://h/a", "A", "P")
    take_started(d)
    assert d.cancel_download(tid) is True
    wait_for(lambda: d.get_all_failed() != [])
    assert d.get_all_failed()[0].progress.status is dl.DownloadStatus.CANCELLED


def test_move_appends_even_when_not_active(make_scripted):
    d = make_scripted(max_concurrent=0)
    stray = dl.DownloadTask("u", "f", "t", "p", "stray")
    d._move_to_completed(stray)
    d._move_to_failed(stray)
    assert d.get_all_completed() == [stray] and d.get_all_failed() == [stray]


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
        wait_for(lambda: len(d.completed_downloads) == 1)
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
    wait_for(lambda: any("after the end" in r.getMessage() for r in caplog.records))
    d.shutdown()
    assert len(d.get_all_completed()) == 1 and d.get_all_failed() == []
    assert d.get_all_completed()[0].progress.status is dl.DownloadStatus.COMPLETED


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
    wait_for(lambda: d.download_queue.failed_once and caplog.records)
    d.add_download("http://h/a", "A", "P")
    wait_for(lambda: len(d.completed_downloads) == 1)
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
    wait_for(lambda: not any(t.is_alive() for t in threads))
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
import sys, tempfile, threading
from core import downloader as dl

class Stuck(dl.BaseDownloader):
    def _download_file(self, task):
        started.set()
        threading.Event().wait()

started = threading.Event()
idle = Stuck(tempfile.mkdtemp(), 2)
busy = Stuck(tempfile.mkdtemp(), 2)
busy.add_download("http://h/a", "A", "P")
assert started.wait(5)
print("leaving")
"""


def test_interpreter_exits_with_workers_still_running(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(["/usr/bin/python3", "-c", EXIT_SCRIPT], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "leaving\n", "")
