"""download_episode against a loopback podcast server: the outcome, the
console lines, the downloader it makes and shuts down, an interrupted wait,
and a wait that ends when the task can no longer end."""
import inspect
import logging
import threading
import time
import types
from pathlib import Path
from typing import Optional

import pytest

from core import downloader as dlmod
from podcast_server import PodcastServer
from transfer_helpers import BODY, HELD, logged, wait_until

Status = dlmod.DownloadStatus


@pytest.fixture
def server():
    with PodcastServer() as srv:
        srv.add("/ep.mp3", body=BODY)
        yield srv


@pytest.fixture
def made(monkeypatch):
    """download_episode's downloaders, through a subclass that records them
    (`made.downloaders`, with `.kwargs` and `.events`); `made.hooks` may
    replace its add_download, _worker or _download_file."""
    record = types.SimpleNamespace(downloaders=[], hooks={})

    class Recorded(dlmod.PodcastDownloader):
        def __init__(self, **kwargs):
            self.kwargs, self.events = kwargs, []
            record.downloaders.append(self)
            super().__init__(**kwargs)

        def add_download(self, *args, **kwargs):
            task_id = super().add_download(*args, **kwargs)
            if "add_download" in record.hooks:
                record.hooks["add_download"](self, task_id)
            return task_id

        def _worker(self):
            return record.hooks["_worker"](self) if "_worker" in record.hooks else super()._worker()

        def _download_file(self, task):
            hook = record.hooks.get("_download_file")
            return hook(self, task) if hook else super()._download_file(task)

        def cancel_download(self, task_id):
            self.events.append("cancel")
            return super().cancel_download(task_id)

        def shutdown(self, wait=True):
            self.events.append("shutdown")
            super().shutdown(wait)

    monkeypatch.setattr(dlmod, "PodcastDownloader", Recorded)
    yield record
    for d in record.downloaders:
        for task in d.get_all_active():
            task.cancel_flag.set()
        super(Recorded, d).shutdown(wait=True)


@pytest.fixture
def sleeps(monkeypatch):
    """The module's time.sleep, recorded; `sleeps.then` runs on each call. A
    wait that never ends fails after 40 polls."""
    record = types.SimpleNamespace(calls=[], then=lambda: time.sleep(0.01))

    def sleep(seconds):
        record.calls.append(seconds)
        assert len(record.calls) < 40, "the wait did not end"
        record.then()

    monkeypatch.setattr(dlmod, "time", types.SimpleNamespace(time=time.time, sleep=sleep))
    return record


def only_task(d):
    tasks = d.get_all_completed() + d.get_all_failed() + d.get_all_active()
    assert len(tasks) == 1
    return tasks[0]


def test_signature():
    sig = inspect.signature(dlmod.download_episode)
    assert [(p.name, p.kind, p.annotation, p.default) for p in sig.parameters.values()] == [
        ("url", inspect.Parameter.POSITIONAL_OR_KEYWORD, str, inspect.Parameter.empty),
        ("episode_title", inspect.Parameter.POSITIONAL_OR_KEYWORD, str, inspect.Parameter.empty),
        ("podcast_name", inspect.Parameter.POSITIONAL_OR_KEYWORD, str, inspect.Parameter.empty),
        ("download_folder", inspect.Parameter.POSITIONAL_OR_KEYWORD, Optional[str], None),
        ("show_progress", inspect.Parameter.POSITIONAL_OR_KEYWORD, bool, True),
    ]
    assert sig.return_annotation is bool and dlmod.download_episode.__module__ == "core.downloader"


@pytest.mark.parametrize("path, show, result, last_line", [
    ("/ep.mp3", True, True, "Download completed!"),
    ("/ep.mp3", 0, True, None),
    ("/missing.mp3", "yes", False, "Download failed!"),
    ("/missing.mp3", None, False, None),
])
def test_outcome_and_console(server, made, capsys, tmp_path, path, show, result, last_line):
    root = str(tmp_path / "dl")
    assert dlmod.download_episode(server.url(path), "Episode 1", "Show", root, show) is result

    out = capsys.readouterr().out
    d, = made.downloaders
    assert d.kwargs == {"download_folder": root, "max_concurrent": 1}
    assert d.events == ["shutdown"] and not any(t.is_alive() for t in d._worker_threads)
    task = only_task(d)
    assert hasattr(task, "progress_callback") == bool(show)
    if not show:
        assert out == ""
        return
    assert out.endswith(f"\n{last_line}\n")
    lines = out[: -len(last_line) - 2]
    if result:
        assert (Path(root) / "Show" / "Episode 1.mp3").read_bytes() == BODY
        # One line per chunk, each brought back over the one before.
        first, *shown = lines.split("\r")
        assert first == "" and len(shown) == 7 and all(line and "\n" not in line for line in shown)
        assert shown[0].startswith("8.00 KB / 50.00 KB (16.0%) - Speed: ")
        assert shown[-1].startswith("50.00 KB / 50.00 KB (100.0%) - Speed: ")
    else:
        assert lines == ""


def test_default_folder_and_keyword_call(server, home, capsys):
    assert dlmod.download_episode(url=server.url("/ep.mp3"), episode_title="Episode 1", podcast_name="Show",
                                  show_progress=False) is True
    assert (home / "Documents" / "velmora" / "podcasts" / "Show" / "Episode 1.mp3").read_bytes() == BODY
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, message", [
    ((7, "t", "p"), {}, "argument 'url' must be str"),
    (("u", b"t", "p"), {}, "argument 'episode_title' must be str"),
    (("u", "t"), {}, "missing 1 required positional argument: 'podcast_name'"),
    (("u", "t", "p", None, True, "extra"), {}, "takes from 3 to 5 positional arguments but 6 were given"),
    (("u", "t", "p"), {"folder": "f"}, "unexpected keyword argument 'folder'"),
    (("u", "t", "p", Path("dl")), {}, "argument 'download_folder' must be str"),
])
def test_wrong_arguments_leave_nothing_running(args, kwargs, message):
    threads = threading.active_count()
    with pytest.raises(TypeError, match=message):
        dlmod.download_episode(*args, **kwargs)
    assert threading.active_count() == threads


def test_polls_every_half_second_and_not_after_an_early_end(server, made, sleeps, tmp_path):
    route = server.add("/held.mp3", body=BODY, hold_after=HELD, release=threading.Event())
    sleeps.then = lambda: (route.release.set(), time.sleep(0.01))
    assert dlmod.download_episode(server.url("/held.mp3"), "Held", "Show", str(tmp_path), False) is True
    assert sleeps.calls and set(sleeps.calls) == {0.5}

    # Ended before the first poll: the answer comes without any sleep.
    sleeps.calls.clear()
    made.hooks["add_download"] = lambda d, task_id: wait_until(lambda: d.get_progress(task_id) is None)
    assert dlmod.download_episode(server.url("/ep.mp3"), "Episode 1", "Show", str(tmp_path), False) is True
    assert sleeps.calls == []


def test_an_interrupted_wait_cancels_the_task_before_the_shutdown(server, made, sleeps, tmp_path):
    route = server.add("/held.mp3", body=BODY, hold_after=HELD, release=threading.Event())

    def interrupt():
        d, = made.downloaders
        assert route.held.wait(10)
        wait_until(lambda: only_task(d).progress.bytes_downloaded == HELD)
        threading.Timer(0.2, route.release.set).start()  # the rest of the body comes after the cancel
        raise KeyboardInterrupt

    sleeps.then = interrupt
    with pytest.raises(KeyboardInterrupt):
        dlmod.download_episode(server.url("/held.mp3"), "Held", "Show", str(tmp_path), False)

    d, = made.downloaders
    assert d.events == ["cancel", "shutdown"]
    task = only_task(d)
    wait_until(lambda: d.get_all_failed() == [task])
    assert task.progress.status == Status.CANCELLED
    assert (tmp_path / "Show" / "Held.mp3.part").read_bytes() == BODY[:HELD]
    assert not (tmp_path / "Show" / "Held.mp3").exists()


def forget_task(d, task):
    with d._lock:
        del d.active_downloads[task.task_id]


@pytest.mark.parametrize("hook, replacement, reason", [
    # The worker thread ends at once: the task stays queued for good.
    ("_worker", lambda d: None, "it can no longer end (its worker thread has stopped)"),
    ("_download_file", forget_task, "it left the download tables without an outcome"),
], ids=["worker-gone", "task-gone"])
def test_a_task_that_can_no_longer_end_fails_the_wait(server, made, sleeps, capsys, caplog, tmp_path, hook,
                                                      replacement, reason):
    made.hooks[hook] = replacement
    assert dlmod.download_episode(server.url("/ep.mp3"), "Episode 1", "Show", str(tmp_path)) is False
    assert capsys.readouterr().out == "\nDownload failed!\n"
    assert logged(caplog, logging.ERROR) == ["Download failed for Episode 1: " + reason]
    assert made.downloaders[0].events == ["shutdown"]
