"""DownloadStatus, DownloadProgress and DownloadTask: the progress arithmetic,
the size, speed and time texts, and the records' initial state."""
import enum
import threading
import types
from decimal import Decimal

import pytest
from hypothesis import example, given, settings, strategies as st

from core import downloader as dl

TB = 1024**4


@pytest.fixture
def clock(monkeypatch):
    """The module's clock, frozen: `clock.now` is what time.time() gives."""
    clock = types.SimpleNamespace(now=1000.0)
    monkeypatch.setattr(dl, "time", types.SimpleNamespace(time=lambda: clock.now))
    return clock


def reference_size(value):
    for unit in ["B", "KB", "MB", "GB"]:
        if value < 1024.0:
            return f"{value:.2f} {unit}"
        value /= 1024.0
    return f"{value:.2f} TB"


def reference_eta(eta):
    if eta == 0:
        return "Unknown"
    hours, remainder = divmod(int(eta), 3600)
    minutes, seconds = divmod(remainder, 60)
    if hours > 0:
        return f"{hours}h {minutes}m {seconds}s"
    if minutes > 0:
        return f"{minutes}m {seconds}s"
    return f"{seconds}s"


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "value, text",
    [
        (0, "0.00 B"),
        (1023, "1023.00 B"),
        (1023.999, "1024.00 B"),
        (1024, "1.00 KB"),
        (1536, "1.50 KB"),
        (1048576, "1.00 MB"),
        (TB, "1.00 TB"),
        (TB * 1024, "1024.00 TB"),
        (-5000, "-5000.00 B"),
        (2.675, "2.67 B"),
        (True, "1.00 B"),
        (FloatSub(1536), "1.50 KB"),
        (Decimal("2.675"), "2.68 B"),  # Decimal's own rounding, as format() gives it
        (float("inf"), "inf TB"),
        (float("nan"), "nan TB"),
        (2**53 + 1, "8192.00 TB"),
    ],
)
def test_format_size(value, text):
    assert dl.DownloadProgress().format_size(value) == text


@pytest.mark.parametrize(
    "value, error",
    [("10", TypeError), (None, TypeError), (10**400, OverflowError), (-(10**400), OverflowError)],
)
def test_format_size_errors_are_pythons(value, error):
    with pytest.raises(error):
        dl.DownloadProgress().format_size(value)


@settings(derandomize=True, database=None, max_examples=300, deadline=None)
@given(st.one_of(st.integers(min_value=-(2**70), max_value=2**70), st.floats(allow_nan=False)))
@example(0.005)
@example(1024.0 * 1024 - 0.001)
def test_format_size_matches_python_formatting(value):
    assert dl.DownloadProgress().format_size(value) == reference_size(value)


def test_int_and_float_of_equal_value_give_the_same_text():
    p = dl.DownloadProgress()
    for n in (0, 1, 1023, 1024, 123456789, TB):
        assert p.format_size(n) == p.format_size(float(n))


@pytest.mark.parametrize(
    "eta, text",
    [
        (0, "Unknown"),
        (0.0, "Unknown"),
        (-0.0, "Unknown"),
        (0.5, "0s"),
        (59.9, "59s"),
        (60, "1m 0s"),
        (3600, "1h 0m 0s"),
        (3725.9, "1h 2m 5s"),
        (-5.5, "59m 55s"),
        (Decimal("61.5"), "1m 1s"),
        (10**30, f"{10**30 // 3600}h 46m 40s"),
    ],
)
def test_format_eta(eta, text):
    p = dl.DownloadProgress()
    p.eta = eta
    assert p.format_eta() == text


@pytest.mark.parametrize("eta, error", [(float("nan"), ValueError), (float("inf"), OverflowError), ("x", ValueError), ([], TypeError)])
def test_format_eta_errors_are_pythons(eta, error):
    p = dl.DownloadProgress()
    p.eta = eta
    with pytest.raises(error):
        p.format_eta()


@settings(derandomize=True, database=None, max_examples=200, deadline=None)
@given(st.one_of(st.integers(min_value=-(2**64), max_value=2**64), st.floats(-1e20, 1e20)))
def test_format_eta_matches_python(eta):
    p = dl.DownloadProgress()
    p.eta = eta
    assert p.format_eta() == reference_eta(eta)


def test_format_speed():
    p = dl.DownloadProgress()
    p.speed = 2048.0
    assert p.format_speed() == "2.00 KB/s"


def test_new_record(clock):
    p = dl.DownloadProgress()
    assert list(vars(p).items()) == [
        ("bytes_downloaded", 0),
        ("total_bytes", 0),
        ("percentage", 0.0),
        ("speed", 0.0),
        ("eta", 0.0),
        ("status", dl.DownloadStatus.QUEUED),
        ("error_message", None),
        ("start_time", 1000.0),
    ]
    assert type(p.percentage) is float and type(p.bytes_downloaded) is int
    assert str(p) == "0.00 B / 0.00 B (0.0%) - Speed: 0.00 B/s - ETA: Unknown"


# Each case: seconds after start_time for each call, the (bytes, total) of
# each call, and the attributes afterwards.
@pytest.mark.parametrize(
    "offsets, calls, expected",
    [
        ([10], [(500, 1000)], dict(percentage=50.0, speed=50.0, eta=10.0)),
        ([10], [(500, 0)], dict(percentage=0.0, speed=50.0, eta=0.0)),
        ([10, 10], [(500, 1000), (1000, 1000)], dict(percentage=100.0, speed=100.0, eta=10.0)),
        ([0], [(500, 1000)], dict(percentage=50.0, speed=0.0, eta=0.0)),
        ([-3], [(500, 1000)], dict(percentage=50.0, speed=0.0, eta=0.0)),
        ([10], [(1500, 1000)], dict(percentage=150.0, speed=150.0, eta=0.0)),
        ([10], [(0, 1000)], dict(percentage=0.0, speed=0.0, eta=0.0)),
        ([10], [(500.0, 1000.0)], dict(percentage=50.0, speed=50.0, eta=10.0)),
        ([10], [(500, -1)], dict(percentage=0.0, speed=50.0, eta=0.0)),
        ([3], [(2**53 + 1, 3)], dict(percentage=(2**53 + 1) / 3 * 100, speed=(2**53 + 1) / 3.0, eta=0.0)),
        ([7], [(1, 2**60 + 1)], dict(percentage=1 / (2**60 + 1) * 100, speed=1 / 7.0, eta=2**60 / (1 / 7.0))),
    ],
)
def test_update(clock, offsets, calls, expected):
    p = dl.DownloadProgress()
    for offset, (done, total) in zip(offsets, calls):
        clock.now = 1000.0 + offset
        assert p.update(done, total) is None
    assert (p.bytes_downloaded, p.total_bytes) == calls[-1]
    assert {k: getattr(p, k) for k in expected} == expected
    assert type(p.percentage) is float


def test_update_reads_the_clock_at_call_time(monkeypatch):
    p = dl.DownloadProgress()
    p.start_time = 100.0
    monkeypatch.setattr(dl.time, "time", lambda: 104.0)
    p.update(8, 16)
    assert (p.speed, p.eta) == (2.0, 4.0)


def test_update_with_an_int_start_time_and_exotic_numbers(clock):
    p = dl.DownloadProgress()
    p.start_time = 990  # the transfer code may set any number
    clock.now = 1000
    p.update(Decimal(5), Decimal(10))
    assert p.percentage == Decimal(50) and p.speed == Decimal("0.5") and p.eta == Decimal(10)


def test_update_stores_the_counters_before_it_fails(clock):
    p = dl.DownloadProgress()
    with pytest.raises(TypeError):
        p.update(5, "10")
    assert (p.bytes_downloaded, p.total_bytes, p.percentage) == (5, "10", 0.0)


def test_str_of_a_running_download(clock):
    p = dl.DownloadProgress()
    clock.now = 1010.0
    p.update(1536, 3 * 1024 * 1024)
    assert str(p) == "1.50 KB / 3.00 MB (0.0%) - Speed: 153.60 B/s - ETA: 5h 41m 10s"
    p.percentage = 99.95
    assert str(p).split("(")[1].startswith("100.0%)")


def test_str_uses_the_methods_found_on_the_object(monkeypatch):
    class Shouting(dl.DownloadProgress):
        def format_size(self, bytes_size):
            return f"<{bytes_size}>"

    p = Shouting()
    p.speed = 3
    assert str(p) == "<0> / <0> (0.0%) - Speed: <3>/s - ETA: Unknown"
    monkeypatch.setattr(dl.DownloadProgress, "format_eta", lambda self: "soon")
    assert str(dl.DownloadProgress()).endswith(" - ETA: soon")
    monkeypatch.setattr(dl.DownloadProgress, "format_speed", lambda self: 42)
    assert str(dl.DownloadProgress()) == "0.00 B / 0.00 B (0.0%) - Speed: 42 - ETA: soon"
    monkeypatch.undo()
    # an attribute of the object itself hides the class's method
    p = dl.DownloadProgress()
    p.format_size = lambda bytes_size: "X"
    assert (str(p), p.format_speed()) == ("X / X (0.0%) - Speed: X/s - ETA: Unknown", "X/s")
    p.format_eta = lambda: "E"
    assert str(p).endswith(" - ETA: E")


def test_str_of_exotic_values_follows_python():
    p = dl.DownloadProgress()
    p.bytes_downloaded = Decimal("2.675")
    p.percentage = 7
    p.eta = float("nan")
    with pytest.raises(ValueError):
        str(p)
    p.eta = 61
    assert str(p) == "2.68 B / 0.00 B (7.0%) - Speed: 0.00 B/s - ETA: 1m 1s"


def test_download_status():
    S = dl.DownloadStatus
    assert issubclass(S, enum.Enum) and S.__bases__ == (enum.Enum,)
    assert [(m.name, m.value) for m in S] == [
        ("QUEUED", "queued"),
        ("DOWNLOADING", "downloading"),
        ("PAUSED", "paused"),
        ("COMPLETED", "completed"),
        ("FAILED", "failed"),
        ("CANCELLED", "cancelled"),
    ]
    assert S("paused") is S.PAUSED and S.PAUSED != "paused" and S.PAUSED == S.PAUSED
    assert (S.__doc__, S.__module__, S.__qualname__) == ("Download status enumeration", "core.downloader", "DownloadStatus")

    class DownloadStatus(enum.Enum):
        """Download status enumeration"""

        QUEUED = "queued"

    # laid out as a class statement lays out an enumeration
    assert [k for k in vars(S) if k not in S.__members__] == [k for k in vars(DownloadStatus) if k != "QUEUED"]


def test_new_task(clock):
    t = dl.DownloadTask("http://h/e.mp3", "e.mp3", "E", "P", "id1")
    assert list(vars(t)) == [
        "url", "filename", "episode_title", "podcast_name", "task_id",
        "progress", "cancel_flag", "pause_flag", "metadata", "output_path",
    ]
    assert (t.url, t.filename, t.episode_title, t.podcast_name, t.task_id) == ("http://h/e.mp3", "e.mp3", "E", "P", "id1")
    assert type(t.progress) is dl.DownloadProgress and t.progress.status is dl.DownloadStatus.QUEUED
    assert t.progress.start_time == 1000.0
    for flag in (t.cancel_flag, t.pause_flag):
        assert isinstance(flag, threading.Event) and not flag.is_set()
    assert t.cancel_flag is not t.pause_flag
    assert t.metadata == {} and t.output_path is None and not hasattr(t, "progress_callback")
    by_keyword = dl.DownloadTask(task_id="i", podcast_name="p", episode_title="e", filename="f", url="u")
    assert (by_keyword.url, by_keyword.task_id) == ("u", "i")
    with pytest.raises(TypeError):
        dl.DownloadTask("u", "f", "e", "p")


@pytest.mark.parametrize(
    "cls, doc",
    [(dl.DownloadProgress, "Download progress information"), (dl.DownloadTask, "Represents a download task")],
)
def test_plain_classes(cls, doc):
    assert cls.__bases__ == (object,) and cls.__module__ == "core.downloader" and cls.__doc__ == doc
    assert not [k for k, v in vars(cls).items() if not k.startswith("__") and not callable(v)]


def test_method_docstrings():
    P = dl.DownloadProgress
    assert [P.update.__doc__, P.format_size.__doc__, P.format_speed.__doc__, P.format_eta.__doc__, P.__str__.__doc__] == [
        "Update progress metrics",
        "Format bytes to human-readable size",
        "Format download speed",
        "Format estimated time remaining",
        "String representation of download progress",
    ]
