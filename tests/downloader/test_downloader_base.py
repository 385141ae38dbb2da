"""The shared download engine: the class, its workers, registering, the task
tables, queries and controls, driven through a scripted subclass."""
import inspect
import queue
import random
import re
import threading
from pathlib import Path

import pytest

from core import downloader as dl
from scripted_downloader import ScriptedDownloader, make_scripted, take_started  # noqa: F401 (make_scripted: a fixture)
from transfer_helpers import wait_until

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
    wait_until(lambda: d.get_all_completed() == [task_a])
    assert d.active_downloads == {"same": task_b}
    b.set()
    wait_until(lambda: d.get_all_completed() == [task_a, task_b])
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
    wait_until(lambda: d.started.qsize() == 3)
    assert [t.task_id for t in d.get_all_active()] == list(ids.values())
    for u in ("http://h/b", "http://h/bad", "http://h/a"):
        gates[u].set()
        wait_until(lambda: ids[u] not in d.active_downloads)
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
    wait_until(lambda: len(d.completed_downloads) == 1 and len(d.failed_downloads) == 1)
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
    wait_until(lambda: len(d.completed_downloads) == 1 and len(d.failed_downloads) == 1)
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
    wait_until(lambda: [t.task_id for t in d.get_all_failed()] == [tid])
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
    wait_until(lambda: d.get_all_failed() != [])
    assert d.get_all_failed()[0].progress.status is dl.DownloadStatus.CANCELLED


def test_move_appends_even_when_not_active(make_scripted):
    d = make_scripted(max_concurrent=0)
    stray = dl.DownloadTask("u", "f", "t", "p", "stray")
    d._move_to_completed(stray)
    d._move_to_failed(stray)
    assert d.get_all_completed() == [stray] and d.get_all_failed() == [stray]
