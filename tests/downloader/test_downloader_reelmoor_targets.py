"""ReelmoorDownloader with the real yt-dlp and FFmpeg on the loopback site:
two videos for one file (the same title in the same channel) run one after
the other, a cancel while one waits for the other ends it untouched, and a
transfer that fails or is cancelled leaves none of its files in the channel
folder, where the next download of that title would take them for its own."""
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "reelmoor"))

from loopback_site import audio_codec, loopback_site, served_audio  # noqa: E402,F401  (fixtures)
from site_names import watch  # noqa: E402
from transfer_helpers import shut_down, wait_until  # noqa: E402,F401  (fixture)

from core import downloader as dl  # noqa: E402

FIRST, SECOND = "dQw4w9WgXcQ", "AAAAAAAAAAA"
S = dl.DownloadStatus
WAIT = 60.0  # bound of a whole yt-dlp run


@pytest.fixture
def make(tmp_path, shut_down):
    def make(workers):
        return shut_down(dl.ReelmoorDownloader(download_folder=str(tmp_path / "dl"), max_concurrent=workers))

    return make


def files(folder):
    return sorted(p.name for p in Path(folder).iterdir()) if Path(folder).exists() else []


def requested(site, video_id):
    return [n for n, (_, path, _) in enumerate(site.server.log) if path == site.path(video_id)]


def stays(condition, seconds=1.0):
    """True when `condition` holds all through `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not condition():
            return False
        time.sleep(0.01)
    return True


def ended(d, task_id):
    wait_until(lambda: d.get_progress(task_id) is None, timeout=WAIT)
    [task] = [t for t in d.get_all_completed() + d.get_all_failed() if t.task_id == task_id]
    return task


@pytest.fixture
def first_held(make, loopback_site, served_audio):
    """Two workers, and the first "Intro" of channel "Chan" under way, its
    body held halfway: (downloader, first task id, release event)."""
    loopback_site.add(FIRST, title="One")
    loopback_site.add(SECOND, title="Two")
    release = loopback_site.hold(FIRST, len(served_audio) // 2)
    d = make(2)
    reported = []
    first_id = d.add_download(watch(FIRST), "Intro", "Chan", progress_callback=reported.append)
    wait_until(lambda: reported, timeout=WAIT)
    return d, first_id, release


def test_two_videos_for_one_file_run_one_after_the_other(first_held, loopback_site):
    d, first_id, release = first_held
    second_id = d.add_download(watch(SECOND), "Intro", "Chan")
    second = d.active_downloads[second_id]
    # Taken by the other worker, it waits without a look at the site.
    wait_until(lambda: d.get_queue_size() == 0)
    assert stays(lambda: second.progress.status is S.QUEUED and not requested(loopback_site, SECOND))

    release.set()
    first, second = ended(d, first_id), ended(d, second_id)
    assert (first.progress.status, second.progress.status) == (S.COMPLETED, S.COMPLETED)
    assert d.get_all_completed() == [first, second]
    assert min(requested(loopback_site, SECOND)) > max(requested(loopback_site, FIRST))
    folder = d.download_folder / "Chan"
    assert second.output_path == folder / "Intro.mp3" and files(folder) == ["Intro.mp3"]
    assert audio_codec(second.output_path) == "mp3"


def test_a_cancel_while_waiting_ends_the_task_untouched(first_held, loopback_site):
    d, first_id, release = first_held
    folder = d.download_folder / "Chan"
    held_files = files(folder)
    assert held_files == ["Intro.m4a.part"]
    second_id = d.add_download(watch(SECOND), "Intro", "Chan")
    wait_until(lambda: d.get_queue_size() == 0)  # taken by the other worker
    assert d.cancel_download(second_id)
    second = ended(d, second_id)
    assert (second.progress.status, second.progress.error_message) == (S.CANCELLED, "Cancelled by user")
    assert requested(loopback_site, SECOND) == [] and files(folder) == held_files

    release.set()
    assert ended(d, first_id).progress.status is S.COMPLETED
    assert files(folder) == ["Intro.mp3"]


def cancel_at_the_last_byte(d):
    """A progress callback that cancels its task at the report of the body's
    last byte: the next report is yt-dlp's finished one, after its partial
    file has become the downloaded file."""
    def callback(progress):
        if 0 < progress.total_bytes <= progress.bytes_downloaded:
            [task] = [t for t in d.get_all_active() if t.progress is progress]
            d.cancel_download(task.task_id)
    return callback


@pytest.mark.parametrize("body, status, message", [
    (b"\0" * 40000, S.FAILED, "Download error: ERROR: Postprocessing: WARNING: unable to obtain file audio codec"),
    (None, S.CANCELLED, "Cancelled by user"),
], ids=["not audio", "cancelled after the body"])
def test_an_ended_transfer_leaves_nothing(make, loopback_site, body, status, message):
    loopback_site.add(FIRST, title="One", body=body)
    d = make(1)
    callback = cancel_at_the_last_byte(d) if status is S.CANCELLED else None
    task = ended(d, d.add_download(watch(FIRST), "Intro", "Chan", progress_callback=callback))
    assert task.progress.status is status and task.progress.error_message.startswith(message)
    assert files(d.download_folder / "Chan") == []
