"""A download engine whose transfers are scripted with events, for the tests
of the shared queue, workers, tables and controls."""
import queue
import threading
import time

import pytest

from core import downloader as dl

WAIT = 5.0  # upper bound for a scripted transfer's waits; nothing normally takes that long


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
