"""The signatures of the download engine's methods as the host sees them:
parameters, annotations, defaults, static and abstract methods, positional-only
parameters, and which parameters accept only text."""
import inspect
from pathlib import Path
from typing import Callable, List, Optional

import pytest

from core import downloader as dl

E = inspect.Parameter.empty
POS = inspect.Parameter.POSITIONAL_OR_KEYWORD
POS_ONLY = inspect.Parameter.POSITIONAL_ONLY


def p(name, annotation=E, default=E, kind=POS):
    return (name, kind, annotation, default)


SELF = p("self")
Task, Progress = dl.DownloadTask, dl.DownloadProgress

# class, method, parameters, return annotation, static
ROWS = [
    ("DownloadProgress", "__init__", [SELF], E, False),
    ("DownloadProgress", "update", [SELF, p("bytes_downloaded", int), p("total_bytes", int)], E, False),
    ("DownloadProgress", "format_size", [SELF, p("bytes_size", int)], str, False),
    ("DownloadProgress", "format_speed", [SELF], str, False),
    ("DownloadProgress", "format_eta", [SELF], str, False),
    ("DownloadProgress", "__str__", [SELF], str, False),
    ("DownloadTask", "__init__",
     [SELF, p("url"), p("filename"), p("episode_title"), p("podcast_name"), p("task_id")], E, False),
    ("BaseDownloader", "__init__", [SELF, p("download_folder", str), p("max_concurrent", int, 3)], E, False),
    ("BaseDownloader", "_start_workers", [SELF], E, False),
    ("BaseDownloader", "_worker", [SELF], E, False),
    ("BaseDownloader", "generate_safe_filename", [p("title", str), p("extension", str, "mp3")], str, True),
    ("BaseDownloader", "_get_filename_from_headers", [p("headers", kind=POS_ONLY)], Optional[str], True),
    ("BaseDownloader", "_get_content_folder", [p("base_folder", Path), p("content_name", str)], Path, True),
    ("BaseDownloader", "_move_to_completed", [SELF, p("task", Task)], E, False),
    ("BaseDownloader", "_move_to_failed", [SELF, p("task", Task)], E, False),
    ("BaseDownloader", "_download_file", [SELF, p("task", Task)], E, False),
    ("BaseDownloader", "add_download",
     [SELF, p("url", str), p("episode_title", str), p("podcast_name", str), p("task_id", Optional[str], None),
      p("progress_callback", Optional[Callable[[Progress], None]], None)], str, False),
    ("BaseDownloader", "_detect_extension_from_url", [p("url", str, kind=POS_ONLY)], str, True),
    ("BaseDownloader", "cancel_download", [SELF, p("task_id", str)], bool, False),
    ("BaseDownloader", "pause_download", [SELF, p("task_id", str)], bool, False),
    ("BaseDownloader", "resume_download", [SELF, p("task_id", str)], bool, False),
    ("BaseDownloader", "get_progress", [SELF, p("task_id", str)], Optional[Progress], False),
    ("BaseDownloader", "get_all_active", [SELF], List[Task], False),
    ("BaseDownloader", "get_all_completed", [SELF], List[Task], False),
    ("BaseDownloader", "get_all_failed", [SELF], List[Task], False),
    ("BaseDownloader", "get_queue_size", [SELF], int, False),
    ("BaseDownloader", "clear_completed", [SELF], E, False),
    ("BaseDownloader", "clear_failed", [SELF], E, False),
    ("BaseDownloader", "retry_failed", [SELF, p("task_id", str)], Optional[str], False),
    ("BaseDownloader", "shutdown", [SELF, p("wait", bool, True)], E, False),
    ("BaseDownloader", "__enter__", [SELF], E, False),
    ("BaseDownloader", "__exit__", [SELF, p("exc_type"), p("exc_val"), p("exc_tb")], E, False),
    ("PodcastDownloader", "__init__",
     [SELF, p("download_folder", Optional[str], None), p("max_concurrent", int, 3)], E, False),
    ("PodcastDownloader", "_download_file", [SELF, p("task", Task)], E, False),
]


@pytest.mark.parametrize("cls, name, params, returns, static", ROWS, ids=[f"{r[0]}.{r[1]}" for r in ROWS])
def test_signature(cls, name, params, returns, static):
    owner = getattr(dl, cls)
    assert name in vars(owner), f"{cls} does not define {name}"
    assert isinstance(vars(owner)[name], staticmethod) == static
    sig = inspect.signature(getattr(owner, name))
    assert [(q.name, q.kind, q.annotation, q.default) for q in sig.parameters.values()] == params
    assert sig.return_annotation == returns


def test_methods_in_table_order():
    for cls in ("BaseDownloader", "PodcastDownloader"):
        defined = [n for n, v in vars(getattr(dl, cls)).items() if callable(getattr(v, "__func__", v))]
        assert defined == [r[1] for r in ROWS if r[0] == cls]


def test_only_download_file_is_abstract():
    assert dl.BaseDownloader.__abstractmethods__ == frozenset({"_download_file"})
    assert dl.BaseDownloader._download_file.__isabstractmethod__
    assert not getattr(dl.PodcastDownloader._download_file, "__isabstractmethod__", False)


class Downloader(dl.BaseDownloader):
    def _download_file(self, task):
        pass


@pytest.fixture
def idle(tmp_path):
    """A downloader without workers, so nothing registered ever runs."""
    d = Downloader(str(tmp_path / "downloads"), 0)
    yield d
    d.shutdown()


STATIC_CALLS = [
    ("generate_safe_filename", ("A: b",), "A b.mp3"),
    ("_get_filename_from_headers", ({"content-disposition": "attachment; filename=x.ogg"},), "x.ogg"),
    ("_get_content_folder", (Path("/base"), "Show"), Path("/base/Show")),
    ("_detect_extension_from_url", ("http://h/x.OGG",), "ogg"),
]


@pytest.mark.parametrize("name, args, result", STATIC_CALLS)
def test_static_methods_on_class_and_instance(idle, name, args, result):
    assert getattr(dl.BaseDownloader, name)(*args) == result
    assert getattr(idle, name)(*args) == result
    assert getattr(dl.PodcastDownloader, name)(*args) == result


GOOD = {
    "url": "http://h/a.mp3", "episode_title": "t", "podcast_name": "p", "task_id": "x",
    "title": "t", "extension": "mp3", "content_name": "c", "base_folder": Path("/b"),
}
TEXT_PARAMS = [
    (r[1], q[0]) for r in ROWS if r[0] == "BaseDownloader" for q in r[2] if q[2] is str
]


def test_text_parameters_are_the_listed_ones():
    assert TEXT_PARAMS == [
        ("__init__", "download_folder"),
        ("generate_safe_filename", "title"),
        ("generate_safe_filename", "extension"),
        ("_get_content_folder", "content_name"),
        ("add_download", "url"),
        ("add_download", "episode_title"),
        ("add_download", "podcast_name"),
        ("_detect_extension_from_url", "url"),
        ("cancel_download", "task_id"),
        ("pause_download", "task_id"),
        ("resume_download", "task_id"),
        ("get_progress", "task_id"),
        ("retry_failed", "task_id"),
    ]


@pytest.mark.parametrize("method, param", TEXT_PARAMS)
@pytest.mark.parametrize("wrong", [7, b"bytes", Path("p")])
def test_text_parameters_refuse_other_types_before_the_body(idle, tmp_path, method, param, wrong):
    if method == "__init__":
        with pytest.raises(TypeError, match=f"argument '{param}' must be str"):
            Downloader(wrong, 0)
        return
    names = [q for q in inspect.signature(getattr(idle, method)).parameters if q in GOOD]
    args = [wrong if q == param else GOOD[q] for q in names]
    with pytest.raises(TypeError, match=f"argument '{param}' must be str"):
        getattr(idle, method)(*args)
    assert idle.get_all_active() == [] and idle.get_queue_size() == 0


def test_none_passes_the_text_test(idle):
    with pytest.raises(AttributeError):
        idle.add_download(None, "t", "p")
    assert idle.cancel_download(None) is False and idle.get_progress(None) is None
    assert idle.get_all_active() == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: dl.BaseDownloader._detect_extension_from_url(url="x"),
        lambda: dl.BaseDownloader._get_filename_from_headers(headers={}),
    ],
)
def test_positional_only_refuses_keywords(call):
    with pytest.raises(TypeError, match="positional-only"):
        call()
