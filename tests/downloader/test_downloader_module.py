"""The module core.downloader as a whole: its namespace, what importing it
does (and does not do), and the demonstration of the main program."""
import abc
import enum
import logging
import os
import pathlib
import queue
import subprocess
import sys
import typing
from pathlib import Path

import pytest
import requests

from core import downloader as dl

PYTHON = "/usr/bin/python3"
DEMO = Path(__file__).resolve().parents[2] / "scripts" / "downloader-demo"

LOAD_TIME_NAMES = [
    ("os", os),
    ("re", __import__("re")),
    ("time", __import__("time")),
    ("threading", __import__("threading")),
    ("logging", logging),
    ("Path", pathlib.Path),
    ("Optional", typing.Optional),
    ("Callable", typing.Callable),
    ("Dict", typing.Dict),
    ("List", typing.List),
    ("Enum", enum.Enum),
    ("Queue", queue.Queue),
    ("Empty", queue.Empty),
    ("ABC", abc.ABC),
    ("abstractmethod", abc.abstractmethod),
    ("requests", requests),
    ("RequestException", requests.exceptions.RequestException),
]
CLASSES = ["DownloadStatus", "DownloadProgress", "DownloadTask", "BaseDownloader", "PodcastDownloader"]
LATER_NAMES = ["QuietshelfDownloader", "ReelmoorDownloader", "download_episode"]


def run_python(args, home, **kwargs):
    env = dict(os.environ, HOME=str(home), USERPROFILE=str(home), PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([PYTHON, *args], env=env, capture_output=True, text=True, timeout=60, **kwargs)


def test_namespace_in_load_order():
    names = [n for n in vars(dl) if not (n.startswith("__") and n.endswith("__"))]
    expected = [n for n, _ in LOAD_TIME_NAMES] + ["logger"] + CLASSES
    assert names[: len(expected)] == expected
    rest = names[len(expected) :]
    assert rest == [n for n in LATER_NAMES if n in rest]
    for name, value in LOAD_TIME_NAMES:
        assert getattr(dl, name) is value, name
    assert dl.logger is logging.getLogger("core.downloader")


def test_module_docstring_and_classes():
    assert dl.__doc__.startswith("Podcast Episode Downloader for Velmora")
    for feature in ("Resumable downloads", "Progress tracking", "Concurrent downloads", "Download queue management"):
        assert f"\n- {feature}\n" in dl.__doc__
    for name in CLASSES + [n for n in LATER_NAMES[:2] if hasattr(dl, n)]:
        cls = getattr(dl, name)
        assert (cls.__module__, cls.__qualname__) == ("core.downloader", name)
    assert dl.DownloadStatus.__bases__ == (enum.Enum,)
    assert dl.BaseDownloader.__bases__ == (abc.ABC,)
    assert dl.PodcastDownloader.__bases__ == (dl.BaseDownloader,)
    assert dl.BaseDownloader.__abstractmethods__ == frozenset({"_download_file"})
    with pytest.raises(TypeError):
        dl.BaseDownloader(".")


def test_podcast_default_headers_are_one_shared_dict(tmp_path):
    headers = dl.PodcastDownloader.DEFAULT_HEADERS
    assert list(headers) == ["User-Agent", "Accept", "Accept-Encoding"]
    assert headers["User-Agent"].startswith("Velmora/1.0 (Podcast Player; +") and headers["User-Agent"].endswith(")")
    assert headers["Accept"] == "audio/mpeg, audio/mp4, audio/*, */*" and headers["Accept-Encoding"] == "identity"
    with dl.PodcastDownloader(str(tmp_path / "a"), 0) as a, dl.PodcastDownloader(str(tmp_path / "b"), 0) as b:
        assert a.DEFAULT_HEADERS is headers and b.DEFAULT_HEADERS is headers


IMPORT_PROBE = r"""
import socket, sys, threading
requests_made = []
def refuse(*args, **kwargs):
    requests_made.append(args)
    raise OSError("no network in this test")
socket.socket.connect = refuse
socket.create_connection = refuse
socket.getaddrinfo = refuse
import core.downloader
with open(sys.argv[1], "w") as report:
    report.write(repr({
        "threads": [t.name for t in threading.enumerate()],
        "requests": requests_made,
        "loaded": sorted(m for m in ("core.quietshelf_client", "core.reelmoor", "yt_dlp") if m in sys.modules),
        "name": core.downloader.__name__,
    }))
"""


def test_import_has_no_side_effects(tmp_path):
    home = tmp_path / "quiet-home"
    home.mkdir()
    report = tmp_path / "report.txt"
    result = run_python(["-c", IMPORT_PROBE, str(report)], home, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert eval(report.read_text()) == {
        "threads": ["MainThread"],
        "requests": [],
        "loaded": [],
        "name": "core.downloader",
    }
    assert list(home.iterdir()) == []


DEMO_LINES = [
    "Velmora - Podcast Downloader",
    "=" * 50,
    "",
    "Example: Downloading 'Introduction to Python Programming' from 'Tech Talks Daily'",
    "Note: This is a demonstration. Use real URLs for actual downloads.",
    "",
    "Download folder: {folder}",
    "Max concurrent downloads: 3",
    "",
    "Download system initialized and ready!",
    "",
    "Features:",
    "- Resumable downloads with Range request support",
    "- Real-time progress tracking (bytes, percentage, speed, ETA)",
    "- Concurrent downloads with configurable thread pool",
    "- Download queue management",
    "- Pause/Resume/Cancel support",
    "- Safe filename generation",
    "- Automatic retry for failed downloads",
]


def test_demonstration(tmp_path):
    home = tmp_path / "demo-home"
    home.mkdir()
    result = run_python([str(DEMO)], home, cwd=tmp_path)
    folder = home / "Documents" / "velmora" / "podcasts"
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.split("\n") == [line.format(folder=folder) for line in DEMO_LINES] + [""]
    assert folder.is_dir() and list(folder.iterdir()) == []


BROKEN_OUTPUT_PROBE = r"""
import runpy, sys, threading
class BreaksAtFolder:
    def write(self, text):
        if text.startswith("Download folder"):
            raise RuntimeError("output broke")
        return sys.__stdout__.write(text)
    def flush(self):
        sys.__stdout__.flush()
sys.stdout = BreaksAtFolder()
try:
    runpy.run_path(sys.argv[1])
except RuntimeError as error:
    print("raised:", error, file=sys.stderr)
print("threads:", [t.name for t in threading.enumerate()], file=sys.stderr)
"""


def test_demonstration_shuts_down_when_it_fails_inside_the_context(tmp_path):
    home = tmp_path / "demo-home"
    home.mkdir()
    result = run_python(["-c", BROKEN_OUTPUT_PROBE, str(DEMO)], home, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == "raised: output broke\nthreads: ['MainThread']\n"
    assert result.stdout.split("\n")[:6] == DEMO_LINES[:6]


@pytest.mark.parametrize("missing", ["requests", "requests.exceptions", "logging"])
def test_a_library_missing_at_load_ends_the_import_with_its_own_error(tmp_path, missing):
    probe = (
        f"import sys\nsys.modules[{missing!r}] = None\n"
        "try:\n    import core.downloader\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, error.name, 'core.downloader' in sys.modules)\n"
    )
    result = run_python(["-c", probe], tmp_path, cwd=tmp_path)
    assert (result.stdout, result.stderr) == (f"ModuleNotFoundError {missing} False\n", "")
