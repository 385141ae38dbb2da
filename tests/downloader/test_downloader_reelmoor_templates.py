"""ReelmoorDownloader with titles, channel names and download folders that
yt-dlp would read as a template ("$HOME", "%(id)s", "100%", a leading
"~"): the real yt-dlp and FFmpeg on loopback write the file where the
names say, and nothing else of the user's is made, replaced or removed;
the recording stand-in shows the options and the move of the file."""
import errno
import os
import shutil
import sys
import tempfile
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "reelmoor"))

from loopback_site import audio_codec, loopback_site, served_audio  # noqa: E402,F401  (fixtures)
from site_names import watch  # noqa: E402
from transfer_helpers import shut_down, wait_until  # noqa: E402,F401  (fixture)
from ydl_standin import ydl  # noqa: E402,F401  (fixture)

from core import downloader as dl  # noqa: E402

ID = "dQw4w9WgXcQ"
S = dl.DownloadStatus


def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*"))


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The system temporary folder, where yt-dlp writes for a name it would
    rewrite: a new folder of the test, empty again after every transfer."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@pytest.fixture
def make(tmp_path, shut_down, temp_root):
    def make(folder=str(tmp_path / "dl"), workers=1):
        return shut_down(dl.ReelmoorDownloader(download_folder=folder, max_concurrent=workers))

    return make


def run(d, title, channel="Chan"):
    """Queues the video, waits for the end and returns the task."""
    task_id = d.add_download(watch(ID), title, channel)
    wait_until(lambda: d.get_progress(task_id) is None, timeout=60)
    [task] = [t for t in d.get_all_completed() + d.get_all_failed() if t.task_id == task_id]
    return task


# -- the real yt-dlp and FFmpeg on loopback ----------------------------------

@pytest.mark.parametrize("title, channel", [
    ("$HOME", "Chan"), ("${HOME} and %HOME%", "Chan"), ("%(id)s", "Chan"), ("100%", "Chan"), ("~", "Chan"),
    ("Sine", "$HOME"), ("Sine", "%(id)s"), ("Sine", "100% ~"),
])
def test_the_file_is_where_the_names_say(make, loopback_site, home, temp_root, title, channel):
    loopback_site.add(ID, title="Served")
    d = make()
    home_before = tree(home)
    task = run(d, title, channel)
    assert (task.progress.status, task.progress.error_message) == (S.COMPLETED, None)
    assert task.output_path == d.download_folder / channel / f"{title}.mp3"
    assert tree(d.download_folder) == [channel, f"{channel}/{title}.mp3"]
    assert audio_codec(task.output_path) == "mp3"
    assert tree(home) == home_before and tree(temp_root) == []


@pytest.mark.parametrize("folder", ["dl$HOME", "dl%(id)s", "~/dl"])
def test_the_download_folder_as_named(make, loopback_site, home, tmp_path, monkeypatch, temp_root, folder):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    loopback_site.add(ID, title="Served")
    d = make(folder)
    home_before = tree(home)
    task = run(d, "Sine")
    assert task.progress.status is S.COMPLETED
    assert task.output_path == Path(folder) / "Chan" / "Sine.mp3"
    assert audio_codec(work / task.output_path) == "mp3"
    parts = Path(folder, "Chan", "Sine.mp3").parts
    assert tree(work) == sorted(str(Path(*parts[:n])) for n in range(1, len(parts) + 1))
    assert tree(home) == home_before and tree(temp_root) == []


def test_the_users_own_files_survive(make, loopback_site, temp_root):
    loopback_site.add(ID, title="Served")
    d = make()
    folder = d.download_folder / "Chan"
    folder.mkdir()
    own = {f"{ID}.mp3": b"my own mp3", f"{ID}.m4a": b"my own m4a"}
    for name, content in own.items():
        (folder / name).write_bytes(content)
    task = run(d, "%(id)s")
    assert task.progress.status is S.COMPLETED and task.output_path == folder / "%(id)s.mp3"
    assert {name: (folder / name).read_bytes() for name in own} == own
    assert tree(folder) == sorted([*own, "%(id)s.mp3"]) and tree(temp_root) == []


def test_a_cancel_in_the_middle_leaves_nothing(make, loopback_site, served_audio, temp_root):
    loopback_site.add(ID, title="Served")
    release = loopback_site.hold(ID, len(served_audio) // 2)
    d = make()
    reported = threading.Event()
    task_id = d.add_download(watch(ID), "$HOME", "Chan", progress_callback=lambda p: reported.set())
    folder = d.download_folder / "Chan"
    assert reported.wait(30)
    assert list(temp_root.rglob("*.part")) and tree(folder) == []  # yt-dlp's partial file is not the user's
    assert d.cancel_download(task_id)
    release.set()
    wait_until(lambda: d.get_progress(task_id) is None, timeout=60)
    [task] = d.get_all_failed()
    assert (task.progress.status, task.progress.error_message) == (S.CANCELLED, "Cancelled by user")
    assert tree(folder) == [] and tree(temp_root) == []


# -- the options and the move, through the recording stand-in ----------------

def produce(ydl_obj, url):
    """The file yt-dlp and its extraction leave where the template points."""
    params = ydl_obj.params
    codec = params["postprocessors"][0]["preferredcodec"]
    Path(params["outtmpl"].replace("%(ext)s", codec)).write_bytes(b"audio")


@pytest.fixture
def d(make):
    """A downloader without workers: the tests run `_download_file` themselves."""
    return make(workers=0)


def transfer(d, title="$HOME"):
    task = d.active_downloads[d.add_download(watch(ID), title, "Chan")]
    d._download_file(task)
    return task


def test_only_the_template_differs(d, ydl, temp_root):
    ydl.on_download(watch(ID), produce)
    task = transfer(d)
    [options] = ydl.options
    template = options.pop("outtmpl")
    assert Path(template).parent.parent == temp_root and template.endswith(".%(ext)s")
    assert "$" not in template and "%" not in template[:-len("%(ext)s")]
    assert list(options.items()) == [
        ("quiet", True), ("no_warnings", True), ("format", "bestaudio/best"),
        ("progress_hooks", options["progress_hooks"]),
        ("postprocessors", [{"key": "FFmpegExtractAudio", "preferredcodec": "mp3", "preferredquality": "192"}]),
    ]
    assert task.progress.status is S.COMPLETED and task.output_path.read_bytes() == b"audio"


def test_the_tasks_own_earlier_file_is_replaced(d, ydl, temp_root):
    ydl.on_download(watch(ID), produce)
    target = d.download_folder / "Chan" / "$HOME.mp3"
    target.parent.mkdir()
    target.write_bytes(b"earlier")
    task = transfer(d)
    assert task.output_path == target and target.read_bytes() == b"audio" and tree(temp_root) == []


def refuse_links(error):
    def link(source, target):
        raise error
    return link


# Another file system than the temporary folder's, or one without links:
# the file is copied.
@pytest.mark.parametrize("error", [OSError(errno.EXDEV, "Invalid cross-device link"),
                                   PermissionError(errno.EPERM, "Operation not permitted")],
                         ids=["other file system", "no links"])
def test_the_move_across_file_systems(d, ydl, monkeypatch, temp_root, error):
    monkeypatch.setattr(os, "link", refuse_links(error))
    ydl.on_download(watch(ID), produce)
    task = transfer(d)
    assert task.progress.status is S.COMPLETED and task.output_path.read_bytes() == b"audio"
    assert tree(d.download_folder) == ["Chan", "Chan/$HOME.mp3"] and tree(temp_root) == []


def test_a_copy_that_fails_leaves_no_half_file(d, ydl, monkeypatch, temp_root):
    monkeypatch.setattr(os, "link", refuse_links(OSError(errno.EXDEV, "Invalid cross-device link")))

    def full_disk(source, target, *args):
        target.write(b"au")
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(shutil, "copyfileobj", full_disk)
    ydl.on_download(watch(ID), produce)
    task = transfer(d)
    assert (task.progress.status, task.progress.error_message) == (
        S.FAILED, "Download error: [Errno 28] No space left on device")
    assert tree(d.download_folder) == ["Chan"] and tree(temp_root) == []
