"""Scripts that end the interpreter while downloads and other native work
are in flight, one scene per run, for test_downloader_exit.py:

    python exit_scenes.py SCENE FOLDER URL [URL...]

Each scene starts its work (downloads into FOLDER against the loopback
servers of the test, the URLs; or calls that wait on stand-ins) on daemon
threads, waits until it is under way and lets the script end there. Unless
the scene's linger is 0, the interpreter's end then lingers: an object
released only while the interpreter tears its modules down sleeps in its
__del__, so every thread that wakes up meanwhile (data arriving, a sleep or
a wait running out) meets an interpreter that is finalising. A scene that
cannot get its downloads under way says so on stderr and exits with 3.
"""
import json
import logging
import sys
import threading
import time
import types
from pathlib import Path

from core import downloader as dl

WAIT = 20.0  # for the downloads to get under way
UNDER_WAY = 3 * 8192  # bytes every transfer has received before the script ends


class Linger:
    """Sleeps when it is released, holding up the interpreter's end."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __del__(self, sleep=time.sleep):
        sleep(self.seconds)


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        if time.monotonic() > deadline:
            print(f"not reached: {what}", file=sys.stderr)
            sys.exit(3)
        time.sleep(0.01)


def under_way(d, count):
    """Waits until `count` tasks of `d` are receiving their bodies."""
    def running():
        tasks = d.get_all_active()
        return sum(t.progress.bytes_downloaded >= UNDER_WAY for t in tasks) >= count
    wait_for(running, f"{count} transfers under way")


def record_received(d, folder):
    """Writes, beside the folder, how many bytes each partial file had been
    given: a transfer that stops keeps at least those."""
    received = {f"{t.filename}.part": t.progress.bytes_downloaded for t in d.get_all_active()
                if t.progress.bytes_downloaded}
    with open(folder + ".received", "w") as out:
        json.dump(received, out)


def add_all(d, urls):
    for number, url in enumerate(urls):
        d.add_download(url, f"Episode {number}", "Show")


def podcast(folder, urls):
    d = dl.PodcastDownloader(folder, 3)
    add_all(d, urls)
    under_way(d, len(urls))
    record_received(d, folder)


def quietshelf(folder, urls):
    from core import quietshelf_client as qc

    service, *files = urls
    client = qc.QuietshelfClient(service)
    assert client.login("reader@example.com", "open sesame")
    d = dl.QuietshelfDownloader(client, folder, 3)
    add_all(d, files)
    under_way(d, len(files))
    record_received(d, folder)


class QuickJoin:
    """A worker thread whose join gives up at once, as a join that ran out its time."""

    def __init__(self, thread):
        self.thread = thread

    def join(self, timeout=None):
        self.thread.join(0.05)


def with_block(folder, urls):
    with dl.PodcastDownloader(folder, 2) as d:
        add_all(d, urls[:2])
        under_way(d, 2)
        d._worker_threads[:] = [QuickJoin(t) for t in d._worker_threads]
    assert all(t.thread.is_alive() for t in d._worker_threads)


def paused(folder, urls):
    d = dl.PodcastDownloader(folder, 1)
    add_all(d, urls[:1])
    under_way(d, 1)
    [task] = d.get_all_active()
    d.pause_download(task.task_id)
    wait_for(lambda: task.progress.status is dl.DownloadStatus.PAUSED, "the transfer paused")


def queued(folder, urls):
    d = dl.PodcastDownloader(folder, 2)
    add_all(d, urls)
    under_way(d, 2)
    dl.PodcastDownloader(folder + "-idle", 3)  # its workers poll the empty queue


def episode(folder, urls):
    runner = threading.Thread(target=dl.download_episode, args=(urls[0], "Episode", "Show", folder, True),
                              daemon=True)
    runner.start()
    part = Path(folder) / "Show" / "Episode.mp3.part"
    wait_for(part.exists, "the partial file")
    time.sleep(0.3)


# -- the video site: a download reporting progress, and a worker waiting for
# the metadata of a task whose add is still under way ----------------------

class ReportingYoutubeDL:
    """yt-dlp's downloader class as the transfer sees it: its download reports
    progress to the hooks every millisecond and never ends."""

    def __init__(self, params=None):
        self.hooks = params["progress_hooks"]

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None

    def download(self, url_list):
        done = 0
        while True:
            done += 8192
            for hook in self.hooks:
                hook({"status": "downloading", "downloaded_bytes": done, "total_bytes": 1 << 30})
            time.sleep(0.001)


class AddHeldLock:
    """The downloader's lock, whose second acquisition by `adder` (the
    metadata step of add_download) never comes: that add stays under way."""

    def __init__(self):
        self.lock = threading.Lock()
        self.adder = None
        self.held = threading.Event()
        self.count = 0

    def acquire(self, *args, **kwargs):
        if threading.current_thread() is self.adder:
            self.count += 1
            if self.count == 2:
                self.held.set()
                threading.Event().wait()
        return self.lock.acquire(*args, **kwargs)

    def release(self):
        self.lock.release()


METADATA_WAIT = 5.0  # how long a worker waits for the metadata of an add under way


def reelmoor(folder, urls):
    import yt_dlp

    yt_dlp.YoutubeDL = ReportingYoutubeDL
    d = dl.ReelmoorDownloader(None, folder, 2)
    d.add_download("https://youtu.be/dQw4w9WgXcQ", "Reporting", "Channel")
    wait_for(lambda: d.get_all_active()[0].progress.bytes_downloaded > 0, "progress reports")
    lock = AddHeldLock()
    d._lock = lock
    lock.adder = threading.Thread(target=d.add_download, args=("no id here", "Waiting", "Channel"), daemon=True)
    lock.adder.start()
    wait_for(lock.held.is_set, "an add under way")
    wait_for(lambda: d.get_queue_size() == 0, "a worker on the task")
    # The script ends shortly before the worker's wait runs out, so that
    # happens while the interpreter finalises.
    time.sleep(METADATA_WAIT - 0.5)


# -- the clients on the host's own daemon threads, each inside a call that
# does not return: a search, a page of the service, an unanswered dialog, a
# guarded function, speech -------------------------------------------------

entered = []


def forever(*args, **kwargs):
    """Host code that keeps waking up and never returns."""
    entered.append(args)
    while True:
        time.sleep(0.001)


class WaitingYoutubeDL:
    def __init__(self, params=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None

    extract_info = staticmethod(forever)


class Dialog:
    ShowModal = staticmethod(forever)

    def Destroy(self):
        pass


def clients(folder, urls):
    import yt_dlp
    from core import accessibility, fault_reporter, quietshelf_client, reelmoor

    yt_dlp.YoutubeDL = WaitingYoutubeDL
    service = quietshelf_client.QuietshelfClient(urls[0])
    service.session = types.SimpleNamespace(get=forever)
    fault_reporter.wx = types.SimpleNamespace(YES_NO=1, ICON_ERROR=2, NO_DEFAULT=4, MessageDialog=lambda *a: Dialog())
    reporter = fault_reporter.FaultReporter("Velmora")
    speech = object.__new__(accessibility.AccessibilityManager)  # a screen reader that is busy for good
    speech._available, speech._output = True, types.SimpleNamespace(speak=forever)
    calls = [lambda: reelmoor.ReelmoorClient().search_videos("talks"), lambda: service.search("quiet"),
             lambda: reporter._show_error_dialog(ValueError("lost")), fault_reporter.with_error_handling()(forever),
             lambda: speech.speak("Downloads finished")]
    for call in calls:
        threading.Thread(target=call, daemon=True).start()
    wait_for(lambda: len(entered) == len(calls), "every call waiting")


# -- host code on a worker when the host quits: a log handler that takes its
# time or one that never returns, a progress callback, a yt-dlp hook --------

HOST_CODE_TIME = 2.0  # what the host's slow code takes


class SlowHandler(logging.Handler):
    """The host's log handler, which takes HOST_CODE_TIME over every record."""

    def __init__(self):
        super().__init__()
        self.entered = threading.Event()

    def emit(self, record):
        self.entered.set()
        time.sleep(HOST_CODE_TIME)


class StuckFilter(logging.Filter):
    """A filter of the host's handler that never returns. (A filter runs
    before its handler takes its lock: a handler stuck inside that lock
    would hold up logging's own end at exit, in plain Python too.)"""

    def __init__(self):
        super().__init__()
        self.entered = threading.Event()

    def filter(self, record):
        self.entered.set()
        forever()


class QuietHandler(logging.Handler):
    """A handler that writes nowhere (logging.NullHandler runs no filters)."""

    def emit(self, record):
        pass


def log_through(host_code):
    """Makes `host_code` (a handler, or a filter of a handler) part of the
    downloader's logging, as the host's own configuration would."""
    handler = host_code if isinstance(host_code, logging.Handler) else QuietHandler()
    if handler is not host_code:
        handler.addFilter(host_code)
    logging.getLogger("core.downloader").addHandler(handler)
    return host_code


class SpeakingHandler(logging.Handler):
    """The host's handler that reads every record out through the
    screen-reader manager, whose speech takes HOST_CODE_TIME."""

    def __init__(self):
        from core import accessibility

        super().__init__()
        self.entered = threading.Event()
        self.manager = object.__new__(accessibility.AccessibilityManager)
        self.manager._available, self.manager._output = True, types.SimpleNamespace(speak=self.speak)

    def speak(self, text, interrupt=False):
        self.entered.set()
        time.sleep(HOST_CODE_TIME)

    def emit(self, record):
        self.manager.speak(record.getMessage())


def failing_podcast(folder, urls, host_code):
    """Two transfers under way and one that fails, whose worker is inside
    the failure's log line when the script ends."""
    host_code = log_through(host_code)
    d = dl.PodcastDownloader(folder, 3)
    add_all(d, urls[:2])
    under_way(d, 2)
    d.add_download(urls[0].rsplit("/", 1)[0] + "/missing.mp3", "Missing", "Show")
    wait_for(host_code.entered.is_set, "the failure logged")
    record_received(d, folder)


def slow_log(folder, urls):
    failing_podcast(folder, urls, SlowHandler())


def stuck_log(folder, urls):
    failing_podcast(folder, urls, StuckFilter())


def speaking_log(folder, urls):
    failing_podcast(folder, urls, SpeakingHandler())


class SlowProgress:
    """A progress callback that takes HOST_CODE_TIME once `slow` is set."""

    def __init__(self):
        self.slow = threading.Event()
        self.entered = threading.Event()

    def __call__(self, progress):
        if self.slow.is_set():
            self.entered.set()
            time.sleep(HOST_CODE_TIME)


def slow_progress(folder, urls):
    """Two transfers whose progress callback is slow when the script ends;
    the process ends before it returns (no linger), so the workers never
    come back to write out what their partial files were given."""
    callback = SlowProgress()
    d = dl.PodcastDownloader(folder, 2)
    for number, url in enumerate(urls[:2]):
        d.add_download(url, f"Episode {number}", "Show", progress_callback=callback)
    under_way(d, 2)
    callback.slow.set()
    wait_for(callback.entered.is_set, "the callback slow")
    record_received(d, folder)


class FailingYoutubeDL(ReportingYoutubeDL):
    """As ReportingYoutubeDL, but the download of FAILING fails at once."""

    def download(self, url_list):
        if FAILING in url_list[0]:
            raise RuntimeError("the site went away")
        super().download(url_list)


FAILING = "AAAAAAAAAAA"


def reelmoor_host_code(folder, urls):
    """A video download whose progress callback, called from yt-dlp's hook,
    turns slow, and one that fails into a log filter that never returns."""
    import yt_dlp

    yt_dlp.YoutubeDL = FailingYoutubeDL
    stuck = log_through(StuckFilter())
    callback = SlowProgress()
    d = dl.ReelmoorDownloader(None, folder, 2)
    d.add_download("https://youtu.be/dQw4w9WgXcQ", "Reporting", "Channel", progress_callback=callback)
    wait_for(lambda: d.get_all_active()[0].progress.bytes_downloaded > 0, "progress reports")
    callback.slow.set()
    wait_for(callback.entered.is_set, "the callback slow")
    d.add_download(f"https://youtu.be/{FAILING}", "Failing", "Channel")
    wait_for(stuck.entered.is_set, "the failure logged")


SCENES = {"podcast": (podcast, 1.2), "plain": (podcast, 0), "quietshelf": (quietshelf, 1.2),
          "with_block": (with_block, 1.2), "paused": (paused, 1.2), "queued": (queued, 1.2),
          "episode": (episode, 1.2), "reelmoor": (reelmoor, 1.0), "clients": (clients, 0.3),
          "slow_log": (slow_log, HOST_CODE_TIME + 0.5), "stuck_log": (stuck_log, 1.2),
          "speaking_log": (speaking_log, 1.2),
          "slow_progress": (slow_progress, 0),
          "reelmoor_host_code": (reelmoor_host_code, HOST_CODE_TIME + 0.5)}

if __name__ == "__main__":
    scene, linger = SCENES[sys.argv[1]]
    scene(sys.argv[2], sys.argv[3:])
    if linger:
        sys.exit_scene_linger = Linger(linger)  # the sys namespace is among the last to go
