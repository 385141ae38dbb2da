"""ReelmoorDownloader: queuing with the video id and the channel, the
transfer through yt-dlp (a recording stand-in of its downloader class, and
the real yt-dlp and FFmpeg against the loopback site), progress reports,
cancel, failures and the removal of yt-dlp's leftovers."""
import inspect
import logging
import sys
import threading
import time
from pathlib import Path

import pytest
from yt_dlp.utils import DownloadError

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "reelmoor"))

from loopback_site import audio_codec, loopback_site, served_audio  # noqa: E402,F401  (fixtures)
from site_names import BASE, SHORT_HOST, watch  # noqa: E402
from transfer_helpers import shut_down, wait_until  # noqa: E402,F401  (fixture)
from ydl_standin import ydl  # noqa: E402,F401  (fixture)

from core import downloader as dl  # noqa: E402
from core import reelmoor  # noqa: E402

ID, OTHER = "dQw4w9WgXcQ", "AAAAAAAAAAA"
EMBED = f"{BASE}embed/{ID}"  # on the site, with no id of the download rule
S = dl.DownloadStatus
WAIT = 10.0  # bound of the waits on another thread


@pytest.fixture
def make(tmp_path, shut_down):
    def make(workers=0, cls=dl.ReelmoorDownloader):
        return shut_down(cls(download_folder=str(tmp_path / "dl"), max_concurrent=workers))

    return make


@pytest.fixture
def d(make):
    """A downloader without workers: the tests run `_download_file` themselves."""
    return make(0)


def add(d, url=watch(ID), title="Title", channel="Chan", **kwargs):
    return d.active_downloads[d.add_download(url, title, channel, **kwargs)]


def files(folder):
    return sorted(p.name for p in Path(folder).iterdir()) if Path(folder).exists() else []


def error_lines(caplog):
    return [(r.getMessage(), bool(r.exc_info)) for r in caplog.records
            if r.name == "core.downloader" and r.levelno >= logging.WARNING]


def produce(ydl_obj, url):
    """What yt-dlp and its extraction leave: the file the template names,
    with the extension of the post-processor's codec."""
    params = ydl_obj.params
    codec = params["postprocessors"][0]["preferredcodec"]
    path = Path(params["outtmpl"].replace("%(ext)s", codec))
    path.write_bytes(b"audio")
    return path


def reporting(*reports):
    """A download action that hands each report (a mapping, or a function
    that returns one) to the hooks, then produces the file."""
    def action(ydl_obj, url):
        for report in reports:
            for hook in ydl_obj.params["progress_hooks"]:
                hook(dict(report) if isinstance(report, dict) else report(ydl_obj))
        produce(ydl_obj, url)
    return action


# -- the class -------------------------------------------------------------

def test_class_and_methods():
    cls = dl.ReelmoorDownloader
    assert cls.__bases__ == (dl.BaseDownloader,) and cls.__module__ == "core.downloader"
    assert cls.__doc__ == "Downloader for Reelmoor audio using yt_dlp with progress reporting."
    callback = "Optional[Callable[[core.downloader.DownloadProgress], NoneType]]"
    methods = {n: v for n, v in vars(cls).items() if callable(getattr(v, "__func__", v))}
    assert {n: str(inspect.signature(getattr(cls, n))) for n in methods} == {
        "__init__": "(self, reelmoor_client=None, download_folder: Optional[str] = None, max_concurrent: int = 2)",
        "add_download": "(self, url: str, episode_title: str, podcast_name: str, task_id: Optional[str] = None, "
                        f"progress_callback: {callback} = None, video_id: Optional[str] = None) -> str",
        "_extract_video_id": "(url: str) -> Optional[str]",
        "_download_file": "(self, task: core.downloader.DownloadTask)",
        "_cleanup_partial_files": "(folder: pathlib.Path, stem: str)",
    }
    assert list(methods) == ["__init__", "add_download", "_extract_video_id", "_download_file",
                             "_cleanup_partial_files"]
    assert [n for n, v in methods.items() if isinstance(v, staticmethod)] == ["_extract_video_id",
                                                                            "_cleanup_partial_files"]
    assert not cls.__abstractmethods__


# -- construction ----------------------------------------------------------

def workers_of(d):
    return sorted(t.name for t in threading.enumerate() if t in d._worker_threads)


def test_defaults(home):
    d = dl.ReelmoorDownloader()
    try:
        folder = home / "Documents" / "Velmora" / "reelmoor"
        assert (d.download_folder, folder.is_dir(), d.max_concurrent) == (folder, True, 2)
        assert type(d.reelmoor_client) is reelmoor.ReelmoorClient
        assert workers_of(d) == ["ReelmoorDownloaderWorker-0", "ReelmoorDownloaderWorker-1"]
    finally:
        d.shutdown()


@pytest.mark.parametrize("folder_type", [str, Path])
def test_given_client_and_folder(tmp_path, folder_type):
    client = object()
    with dl.ReelmoorDownloader(client, folder_type(tmp_path / "a" / "b"), 1) as d:
        assert d.reelmoor_client is client and d.download_folder == tmp_path / "a" / "b"
        assert d.download_folder.is_dir() and workers_of(d) == ["ReelmoorDownloaderWorker-0"]


def broken_client():
    raise RuntimeError("no client")


@pytest.mark.parametrize("setup, args, error", [
    (lambda mp: mp.setitem(sys.modules, "core.reelmoor", None), (), ImportError),
    (lambda mp: mp.setattr(reelmoor, "ReelmoorClient", broken_client), (), RuntimeError),
    (lambda mp: None, (None, 7), TypeError),
    (lambda mp: None, (None, None, 2, "extra"), TypeError),
], ids=["client module missing", "client fails", "folder of another type", "four arguments"])
def test_a_failed_construction_sets_up_nothing(monkeypatch, setup, args, error):
    setup(monkeypatch)
    before = set(threading.enumerate())
    d = dl.ReelmoorDownloader.__new__(dl.ReelmoorDownloader)
    with pytest.raises(error):
        d.__init__(*args)
    assert set(threading.enumerate()) <= before and not hasattr(d, "_worker_threads")


# -- queuing ---------------------------------------------------------------

QUEUING = [
    # url, video_id, channel -> task url, metadata id, channel
    (watch(ID), None, "Chan", watch(ID), ID, "Chan"),
    (f"https://{SHORT_HOST}/{ID}?t=3", None, "Chan", f"https://{SHORT_HOST}/{ID}?t=3", ID, "Chan"),
    ("", ID, "Chan", watch(ID), ID, "Chan"),
    ("https://h.example/clip.m4a", ID, "Chan", watch(ID), ID, "Chan"),
    (watch(OTHER), ID, "Chan", watch(OTHER), ID, "Chan"),  # an address on the site is kept
    (watch(ID), None, "", watch(ID), ID, "Reelmoor"),
    ("https://h.example/nothing", None, "Chan", "https://h.example/nothing", "", "Chan"),
]


@pytest.mark.parametrize("url, video_id, channel, task_url, meta_id, meta_channel", QUEUING)
def test_add_download(d, url, video_id, channel, task_url, meta_id, meta_channel):
    callback = lambda progress: None  # noqa: E731
    task_id = d.add_download(url, "A: b", channel, None, callback, video_id)
    task = d.active_downloads[task_id]
    assert (task.url, task.filename, task.podcast_name) == (task_url, "A b.mp3", meta_channel)
    assert task.metadata == {"video_id": meta_id, "channel_name": meta_channel}
    assert task.progress_callback is callback and task.progress.status is S.QUEUED
    assert d.download_queue.get_nowait() is task


def test_add_download_by_name_with_an_id_of_its_own(d):
    assert d.add_download(url="", episode_title="T", podcast_name="C", task_id="mine", video_id=ID) == "mine"
    task = d.active_downloads["mine"]
    assert (task.url, task.metadata["video_id"], hasattr(task, "progress_callback")) == (watch(ID), ID, False)


@pytest.mark.parametrize("call", [
    lambda d: d.add_download(b"u", "t", "c"),
    lambda d: d.add_download("u", 7, "c"),
    lambda d: d.add_download("u", "t", Path("c")),
    lambda d: d.add_download("u", "t"),
    lambda d: d.add_download("u", "t", "c", None, None, None, "extra"),
    lambda d: d.add_download("u", "t", "c", channel="x"),
])
def test_add_download_refuses_wrong_arguments(d, call):
    with pytest.raises(TypeError):
        call(d)
    assert d.get_all_active() == [] and d.get_queue_size() == 0


@pytest.mark.parametrize("url, found", [
    (watch(ID), ID),
    (f"{SHORT_HOST}/{ID}", ID),
    (watch(ID + "Z"), ID),                            # 12 characters: the first 11
    (watch("dQw4w9WgXc") + "&x=1", None),             # 10, then "&"
    ("https://h.example/?xv=" + ID, ID),              # the end of a longer key counts
    (f"{SHORT_HOST}/{OTHER}&v={ID}", OTHER),          # the first place wins
    (EMBED, None),
    ("", None),
])
def test_extract_video_id(url, found):
    assert dl.ReelmoorDownloader._extract_video_id(url) == found


@pytest.mark.parametrize("wrong", [None, b"v=" + ID.encode(), 7])
def test_extract_video_id_takes_text_only(wrong):
    with pytest.raises(TypeError):
        dl.ReelmoorDownloader._extract_video_id(wrong)


# -- the transfer ----------------------------------------------------------

@pytest.mark.parametrize("title, url, channel, name, codec", [
    ("Title", watch(ID), "Chan", "Title.mp3", "mp3"),
    ("Song", watch(ID) + "&f=.m4a", "Chan", "Song.m4a", "m4a"),
    ("", watch(ID), "Chan", ".mp3", "mp3"),       # produced as ".mp3.mp3", moved to ".mp3"
    ("Title", watch(ID), "", "Title.mp3", "mp3"),  # a task without a channel
], ids=["watch page", "m4a", "empty title", "no channel"])
def test_transfer_completes(d, ydl, caplog, title, url, channel, name, codec):
    task = add(d, url, title)
    task.podcast_name = channel
    folder = d.download_folder / (channel or "Reelmoor")
    ydl.on_download(url, produce)
    d._download_file(task)
    assert ydl.names() == ["init", "enter", "download", "exit"]
    assert ydl.calls[2] == ("download", [url]) and ydl.calls[3] == ("exit", None)
    [options] = ydl.options
    [hook] = options["progress_hooks"]
    assert list(options.items()) == [
        ("quiet", True), ("no_warnings", True), ("format", "bestaudio/best"),
        ("outtmpl", str(folder / (Path(name).stem + ".%(ext)s"))), ("progress_hooks", [hook]),
        ("postprocessors", [{"key": "FFmpegExtractAudio", "preferredcodec": codec, "preferredquality": "192"}]),
    ]
    assert hook.__qualname__ == "ReelmoorDownloader._download_file.<locals>.progress_hook"
    assert (task.progress.status, task.progress.percentage, task.output_path) == (S.COMPLETED, 100.0, folder / name)
    assert d.get_all_completed() == [task] and d.get_all_active() == []
    assert files(folder) == [name] and error_lines(caplog) == []


def snapshot(progress):
    return (progress.bytes_downloaded, progress.total_bytes, progress.percentage, progress.speed, progress.eta,
            progress.status)


R = {"status": "downloading", "downloaded_bytes": 50, "total_bytes": 200, "speed": 10.0, "eta": 15}

# reports after a first report R -> the progress after them; "avg" is the
# average speed worked out by update over the 100 seconds since the start
HOOK_CASES = [
    ([], (50, 200, 25.0, 10.0, 15, S.DOWNLOADING)),
    ([{**R, "total_bytes": None, "total_bytes_estimate": 400}], (50, 400, 12.5, 10.0, 15, S.DOWNLOADING)),
    ([{**R, "total_bytes": 0, "total_bytes_estimate": 0, "downloaded_bytes": 80}],
     (80, 0, 25.0, 10.0, 15, S.DOWNLOADING)),  # no size: the percentage stays
    ([{"status": "downloading", "downloaded_bytes": 100, "total_bytes": 200}],
     (100, 200, 50.0, "avg", "avg", S.DOWNLOADING)),  # no speed or eta of yt-dlp's: update's figures
    ([{"status": "downloading", "total_bytes": 200}], (0, 200, 0.0, 0.0, 15, S.DOWNLOADING)),
    ([{**R, "status": "finished", "downloaded_bytes": 200}], (50, 200, 25.0, 10.0, 15, S.DOWNLOADING)),
    ([{"downloaded_bytes": 200}], (50, 200, 25.0, 10.0, 15, S.DOWNLOADING)),
]


@pytest.mark.parametrize("reports, expected", HOOK_CASES)
def test_progress_hook(d, ydl, reports, expected):
    task = add(d)
    seen = []
    task.progress_callback = lambda progress: seen.append(snapshot(progress))

    def start_long_ago(ydl_obj):
        task.progress.start_time = time.time() - 100
        return R

    ydl.on_download(watch(ID), reporting(start_long_ago, *reports))
    d._download_file(task)
    assert task.progress.status is S.COMPLETED
    downloading = 1 + sum(r.get("status") == "downloading" for r in reports)
    assert len(seen) == downloading
    got = seen[-1]
    if expected[3] == "avg":
        assert got[3] == pytest.approx(expected[0] / 100, rel=0.05) and got[4] == pytest.approx(100, rel=0.05)
        got, expected = got[:3] + got[5:], expected[:3] + expected[5:]
    assert got == expected


def test_a_failing_callback_is_ignored(d, ydl):
    task = add(d)
    calls = []

    def callback(progress):
        calls.append(progress)
        raise RuntimeError("host failed")

    task.progress_callback = callback
    ydl.on_download(watch(ID), reporting(R, R))
    d._download_file(task)
    assert task.progress.status is S.COMPLETED and calls == [task.progress, task.progress]


def test_pause_has_no_effect(d, ydl):
    task = add(d)
    paused = []
    ydl.on_download(watch(ID), reporting(lambda _: paused.append(d.pause_download(task.task_id)) or R))
    d._download_file(task)
    assert paused == [True] and task.pause_flag.is_set()
    assert task.progress.status is S.COMPLETED


LEFTOVERS = ["Title.m4a.part", "Title.webm.part", "Title.mp3.tmp"]


def leave_files(d, folder):
    """Leftovers of the task "Title" and of another; returns the files
    there are at the moment the task is moved to the failed table, when
    the host may already queue it again."""
    folder.mkdir(parents=True, exist_ok=True)
    for name in LEFTOVERS + ["Other.m4a.part"]:
        (folder / name).write_bytes(b"x")
    at_move = []
    move = d._move_to_failed
    d._move_to_failed = lambda task: (at_move.append(files(folder)), move(task))
    return at_move


@pytest.mark.parametrize("at", ["downloading", "finished"])
def test_cancel_at_the_next_report(d, ydl, caplog, at):
    task = add(d)
    at_move = leave_files(d, d.download_folder / "Chan")

    def cancel(ydl_obj):
        assert d.cancel_download(task.task_id)
        return {**R, "status": at, "downloaded_bytes": 150}

    ydl.on_download(watch(ID), reporting(R, cancel, R))
    d._download_file(task)
    assert (task.progress.status, task.progress.error_message) == (S.CANCELLED, "Cancelled by user")
    assert d.get_all_failed() == [task] and d.get_all_active() == []
    assert at_move == [files(d.download_folder / "Chan")] == [["Other.m4a.part"]] and error_lines(caplog) == []
    assert task.progress.bytes_downloaded == 50  # the cancelling report changed nothing
    cancelled = ydl.calls[-1][1]
    assert (cancelled.__name__, cancelled.__bases__, cancelled.__doc__) == (
        "DownloadCancelled", (Exception,), "Internal exception used to abort yt_dlp downloads.")


def test_each_transfer_has_its_own_cancel(d, ydl):
    first, second = add(d, title="One"), add(d, title="Two")
    ydl.on_download(watch(ID), lambda ydl_obj, url: ydl_obj.params["progress_hooks"][0](R))
    for task in (first, second):
        d.cancel_download(task.task_id)
        d._download_file(task)
    classes = [call[1] for call in ydl.calls if call[0] == "exit"]
    assert len(set(classes)) == 2 and all(c.__name__ == "DownloadCancelled" for c in classes)


def unavailable(ydl):
    ydl.fail(watch(ID), DownloadError("ERROR: Video unavailable"))


FAILURES = [
    # setup, message, logged, leftovers kept
    (lambda mp, ydl: mp.setitem(sys.modules, "yt_dlp", None), "yt-dlp is required for Reelmoor downloads", False,
     True),
    (lambda mp, ydl: unavailable(ydl), "Download error: ERROR: Video unavailable", True, False),
    (lambda mp, ydl: ydl.fail_construction(RuntimeError("bad options")), "Download error: bad options", True, False),
    (lambda mp, ydl: ydl.on_download(watch(ID), reporting({"status": "downloading", "downloaded_bytes": "x"})),
     "Download error: ", True, False),
    (lambda mp, ydl: None, "Download completed but file is missing", False, True),
]


@pytest.mark.parametrize("setup, message, logged, kept", FAILURES,
                         ids=["no yt-dlp", "unavailable", "construction", "hook", "no file"])
def test_failures(d, ydl, monkeypatch, caplog, setup, message, logged, kept):
    task = add(d)
    folder = d.download_folder / "Chan"
    at_move = leave_files(d, folder)
    setup(monkeypatch, ydl)
    d._download_file(task)
    assert task.progress.status is S.FAILED and task.progress.error_message.startswith(message)
    assert d.get_all_failed() == [task] and d.get_all_active() == [] and task.output_path is None
    lines = error_lines(caplog)
    if logged:
        assert lines == [(f"Reelmoor download failed for Title: {task.progress.error_message[16:]}", True)]
    else:
        assert lines == []
    assert at_move == [files(folder)] == [sorted(LEFTOVERS * kept + ["Other.m4a.part"])]


@pytest.mark.parametrize("earlier", [False, True], ids=["new target", "earlier target"])
def test_a_failure_removes_what_yt_dlp_wrote(d, ydl, earlier):
    """The files yt-dlp's reports named, and the converted file the transfer
    made (not one an earlier download left), go; a report cannot name a
    file of another title or folder to go with them."""
    task = add(d)
    folder = d.download_folder / "Chan"
    folder.mkdir(parents=True)
    kept = ["Other.mp4"] + ["Title.mp3"] * earlier
    for name in kept:
        (folder / name).write_bytes(b"kept")
    elsewhere = d.download_folder / "Title.mp4"
    elsewhere.write_bytes(b"kept")

    def action(ydl_obj, url):
        hook = ydl_obj.params["progress_hooks"][0]
        (folder / "Title.mp4.part").write_bytes(b"x")
        hook({**R, "tmpfilename": str(folder / "Title.mp4.part"), "filename": str(folder / "Title.mp4")})
        (folder / "Title.mp4.part").rename(folder / "Title.mp4")
        for name in (folder / "Other.mp4", elsewhere):
            hook({**R, "filename": str(name)})
        (folder / "Title.mp3").write_bytes(b"half converted")
        raise DownloadError("ERROR: Postprocessing: audio conversion failed")

    ydl.on_download(watch(ID), action)
    d._download_file(task)
    assert task.progress.error_message == "Download error: ERROR: Postprocessing: audio conversion failed"
    assert files(folder) == sorted(kept) and elsewhere.exists()


def test_no_video_id_fails_before_yt_dlp(d, ydl, caplog):
    task = add(d, "https://h.example/nothing")
    started = task.progress.start_time
    d._download_file(task)
    assert (task.progress.status, task.progress.error_message) == (S.FAILED, "Invalid Reelmoor video ID")
    assert task.progress.start_time == started and ydl.calls == [] and error_lines(caplog) == []
    assert d.get_all_failed() == [task] and not (d.download_folder / "Chan").exists()


def test_the_metadata_id_is_enough(d, ydl):
    task = add(d, EMBED, video_id=ID)
    ydl.on_download(task.url, produce)
    d._download_file(task)
    assert task.progress.status is S.COMPLETED


def test_an_error_before_yt_dlp_leaves_the_transfer(d, ydl):
    task = add(d)
    d.download_folder.joinpath("Chan").write_text("a file where the folder goes")
    with pytest.raises(FileExistsError):
        d._download_file(task)
    assert ydl.calls == [] and d.get_all_active() == [task]


def test_retry_queues_through_its_own_add_download(d, ydl):
    unavailable(ydl)
    task = add(d, "", "T", "C", video_id=ID)
    d._download_file(task)
    new_id = d.retry_failed(task.task_id)
    again = d.active_downloads[new_id]
    assert (again.url, again.metadata) == (watch(ID), {"video_id": ID, "channel_name": "C"})


# -- the metadata is there before a worker can start the task ---------------

class HeldLock:
    """The downloader's lock, whose second acquisition by the adding thread
    (the metadata step of add_download) waits until a worker has begun the
    task: the worker then starts it before its metadata is written."""

    def __init__(self, begun):
        self.lock = threading.Lock()
        self.begun = begun
        self.adder = threading.current_thread()
        self.count = 0

    def acquire(self, *args, **kwargs):
        if threading.current_thread() is self.adder:
            self.count += 1
            if self.count == 2:
                assert self.begun.wait(WAIT)
        return self.lock.acquire(*args, **kwargs)

    def release(self):
        self.lock.release()

    __enter__ = acquire

    def __exit__(self, *exc):
        self.release()


class Watched(dl.ReelmoorDownloader):
    def _download_file(self, task):
        self.begun.set()
        super()._download_file(task)


def test_a_worker_waits_for_the_metadata(make, ydl):
    Watched.begun = threading.Event()
    d = make(1, Watched)
    d._lock = HeldLock(Watched.begun)
    ydl.on_download(EMBED, produce)
    task_id = d.add_download(EMBED, "Title", "Chan", video_id=ID)
    wait_until(lambda: d.get_all_completed() or d.get_all_failed())
    [task] = d.get_all_completed()
    assert task.task_id == task_id and task.metadata == {"video_id": ID, "channel_name": "Chan"}


# -- leftovers -------------------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    folder = tmp_path / "channel"
    folder.mkdir()
    return folder


SUFFIXES = [".part", ".mp3.part", ".m4a.part", ".webm.part", ".mp3.tmp", ".m4a.tmp"]


@pytest.mark.parametrize("stem, present, left", [
    ("Song", [f"Song{s}" for s in SUFFIXES] + ["Song.mp3", "Song.webm", "Other.part", "Song.part.x", "xSong.part"],
     ["Other.part", "Song.mp3", "Song.part.x", "Song.webm", "xSong.part"]),
    ("a[1]", ["a[1].part", "a1.part", "a[1].m4a.part"], ["a1.part"]),
    ("*", ["*.part", "x.part", "x.m4a.part"], ["x.m4a.part", "x.part"]),
    ("?", ["?.part", "a.part"], ["a.part"]),
    ("[ab]", ["[ab].mp3.tmp", "a.mp3.tmp", "b.mp3.tmp"], ["a.mp3.tmp", "b.mp3.tmp"]),
], ids=["suffixes", "brackets", "star", "question mark", "class"])
def test_cleanup_matches_the_stem_literally(folder, stem, present, left):
    for name in present:
        (folder / name).write_bytes(b"x")
    assert dl.ReelmoorDownloader._cleanup_partial_files(folder, stem) is None
    assert files(folder) == left


def test_cleanup_goes_on_after_a_failed_removal(folder):
    (folder / "Song.part").mkdir()
    (folder / "Song.m4a.part").write_bytes(b"x")
    dl.ReelmoorDownloader._cleanup_partial_files(folder=folder, stem="Song")
    assert files(folder) == ["Song.part"]


@pytest.mark.parametrize("wrong", [None, b"Song", 7])
def test_cleanup_takes_a_text_stem(tmp_path, wrong):
    with pytest.raises(TypeError):
        dl.ReelmoorDownloader._cleanup_partial_files(tmp_path, wrong)


# -- the real yt-dlp and FFmpeg on loopback ----------------------------------

def test_end_to_end_download(make, loopback_site):
    loopback_site.add(ID, title="Sine")
    d = make(2)
    seen = []
    task_id = d.add_download(watch(ID), "Sine: test", "My Channel", progress_callback=lambda p: seen.append(p.status))
    wait_until(lambda: d.get_progress(task_id) is None, timeout=60)
    [task] = d.get_all_completed()
    folder = d.download_folder / "My Channel"
    assert task.output_path == folder / "Sine test.mp3" and task.progress.percentage == 100.0
    assert files(d.download_folder) == ["My Channel"] and files(folder) == ["Sine test.mp3"]
    assert audio_codec(task.output_path) == "mp3"
    assert seen and set(seen) == {S.DOWNLOADING}


def test_end_to_end_cancel_in_the_middle(make, loopback_site, served_audio):
    loopback_site.add(ID, title="Sine")
    release = loopback_site.hold(ID, len(served_audio) // 2)
    d = make(1)
    reported = threading.Event()
    task_id = d.add_download(watch(ID), "Sine", "My Channel", progress_callback=lambda p: reported.set())
    folder = d.download_folder / "My Channel"
    assert reported.wait(30)
    assert [n for n in files(folder) if n.endswith(".part")] == ["Sine.m4a.part"]
    assert d.cancel_download(task_id)
    release.set()
    wait_until(lambda: d.get_progress(task_id) is None, timeout=60)
    [task] = d.get_all_failed()
    assert (task.progress.status, task.progress.error_message) == (S.CANCELLED, "Cancelled by user")
    assert 0 < task.progress.bytes_downloaded < len(served_audio)
    assert files(folder) == []
