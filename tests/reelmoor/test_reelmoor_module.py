"""The module core.reelmoor as a whole: its namespace, its classes and the
client's method table, what importing it loads, and every site operation
without yt-dlp."""
import logging
import os
import pathlib
import re
import sys
import typing
import urllib.parse

import pytest

from core import reelmoor
from module_test_helpers import assert_own_methods, run_python
from site_names import BASE, SHORT_HOST

LOAD_TIME_NAMES = [
    ("logging", logging), ("os", os), ("re", re), ("Path", pathlib.Path),
    ("Any", typing.Any), ("Dict", typing.Dict), ("List", typing.List), ("Optional", typing.Optional),
    ("Tuple", typing.Tuple), ("Union", typing.Union), ("quote_plus", urllib.parse.quote_plus),
]
CLASSES = [
    ("ReelmoorVideo", "Represents a Reelmoor video with metadata."),
    ("ReelmoorChannel", "Represents a Reelmoor channel with metadata."),
    ("ReelmoorClient", "Client for Reelmoor operations using yt-dlp."),
]
V, C = "core.reelmoor.ReelmoorVideo", "core.reelmoor.ReelmoorChannel"
PAGE = "int = 20, offset: int = 0"
CLIENT_METHODS = [
    ("__init__", "(self)"),
    ("is_valid_reelmoor_url", "(self, url: str) -> bool"),
    ("extract_video_id", "(self, url: str) -> Optional[str]"),
    ("search_videos", f"(self, query: str, max_results: {PAGE}) -> List[{V}]"),
    ("search_channels", f"(self, query: str, max_results: {PAGE}) -> List[{C}]"),
    ("get_channel_videos", f"(self, identifier: str, max_results: {PAGE}) -> Optional[Tuple[{C}, List[{V}]]]"),
    ("is_channel_identifier", "(self, text: str) -> bool"),
    ("get_audio_download_file", "(self, video_id: str) -> Optional[str]"),
    ("get_audio_stream_url", "(self, video_id: str) -> Optional[str]"),
    ("get_video_info", "(self, video_id: str) -> Optional[Dict[str, Any]]"),
    ("download_audio_mp3", "(self, video_id: str, output_dir: Optional[str] = None) -> Optional[str]"),
    ("_format_duration", "(self, seconds: Union[int, float]) -> str"),
    ("_format_view_count", "(self, view_count: int) -> str"),
    ("_format_count", "(self, value: Optional[int]) -> str"),
    ("_normalize_channel_identifier", "(self, identifier: str) -> str"),
    ("_build_channel_from_entry", f"(self, entry: Dict[str, Any]) -> Optional[{C}]"),
]


def test_namespace_in_load_order():
    names = [n for n in vars(reelmoor) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [n for n, _ in LOAD_TIME_NAMES] + ["logger"] + [n for n, _ in CLASSES]
    for name, value in LOAD_TIME_NAMES:
        assert getattr(reelmoor, name) is value, name
    assert reelmoor.logger is logging.getLogger("core.reelmoor")


@pytest.mark.parametrize("name, doc", CLASSES)
def test_plain_classes(name, doc):
    cls = getattr(reelmoor, name)
    assert (cls.__bases__, cls.__doc__, cls.__module__, cls.__qualname__) == ((object,), doc, "core.reelmoor", name)


def test_client_method_table():
    assert_own_methods(reelmoor.ReelmoorClient, [(n, s, None) for n, s in CLIENT_METHODS], lambda m: None)


def test_client_attributes():
    first, second = reelmoor.ReelmoorClient(), reelmoor.ReelmoorClient()
    assert list(vars(first).items()) == [
        ("ydl_opts", {"quiet": True, "no_warnings": True, "extractaudio": False, "extract_flat": False}),
        ("_channel_filter", "EgIQAg%3D%3D"),
    ]
    assert list(first.ydl_opts) == ["quiet", "no_warnings", "extractaudio", "extract_flat"]
    assert first.ydl_opts is not second.ydl_opts
    with pytest.raises(TypeError):
        reelmoor.ReelmoorClient(None)


# (operation, the other arguments, where the text goes among them): every
# text parameter refuses what is not text, before anything runs.
TEXT_PARAMETERS = [
    ("is_valid_reelmoor_url", (), 0), ("extract_video_id", (), 0), ("is_channel_identifier", (), 0),
    ("_normalize_channel_identifier", (), 0), ("search_videos", (5, 0), 0), ("search_channels", (5, 0), 0),
    ("get_channel_videos", (5, 0), 0), ("get_audio_download_file", (), 0), ("get_audio_stream_url", (), 0),
    ("get_video_info", (), 0), ("download_audio_mp3", (), 0), ("download_audio_mp3", ("dQw4w9WgXcQ",), 1),
]


@pytest.mark.parametrize("name, more, at", TEXT_PARAMETERS, ids=[f"{n} {at}" for n, _, at in TEXT_PARAMETERS])
@pytest.mark.parametrize("value", [b"@bytes", 42, ["@x"]], ids=["bytes", "int", "list"])
def test_text_parameters_refuse_other_kinds(ydl, client, logged, recwarn, name, more, at, value):
    args = list(more)
    args.insert(at, value)
    with pytest.raises(TypeError):
        getattr(client, name)(*args)
    assert ydl.calls == [] and logged() == [] and len(recwarn) == 0


def test_import_loads_no_yt_dlp(home):
    done = run_python("""
        import core.reelmoor
        print("yt_dlp" in sys.modules)
    """, home)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


def test_without_yt_dlp_the_text_operations_work(home):
    done = run_python(f"""
        sys.modules["yt_dlp"] = None  # import yt_dlp fails
        from core import reelmoor
        c = reelmoor.ReelmoorClient()
        link = "https://{SHORT_HOST}/dQw4w9WgXcQ"
        print(c.is_valid_reelmoor_url(link), c.extract_video_id(link), c.is_channel_identifier("@x"),
              c._normalize_channel_identifier("UCx"), c._format_count(1500))
    """, home)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"True dQw4w9WgXcQ True {BASE}channel/UCx 1.5K\n"


SITE_OPERATIONS = [
    ("search_videos", ("lofi",), []),
    ("search_channels", ("lofi",), []),
    ("get_channel_videos", ("@someone",), None),
    ("get_audio_download_file", ("dQw4w9WgXcQ",), None),
    ("get_audio_stream_url", ("dQw4w9WgXcQ",), None),
    ("get_video_info", ("dQw4w9WgXcQ",), None),
    ("download_audio_mp3", ("dQw4w9WgXcQ",), None),
]
SITE_OPERATION_NAMES = [n for n, _, _ in SITE_OPERATIONS]


@pytest.mark.parametrize("name, args, failed", SITE_OPERATIONS, ids=SITE_OPERATION_NAMES)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_without_yt_dlp_each_site_operation_fails_quietly(monkeypatch, client, logged, temp_root, name, args, failed):
    monkeypatch.setitem(sys.modules, "yt_dlp", None)
    assert getattr(client, name)(*args) == failed
    assert logged() == [("ERROR", "yt-dlp not installed", False)]


@pytest.mark.parametrize("name, args, failed", SITE_OPERATIONS, ids=SITE_OPERATION_NAMES)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_an_import_error_inside_yt_dlp_counts_as_missing(ydl, client, logged, temp_root, name, args, failed):
    ydl.fail_construction(ImportError("No module named 'yt_dlp.compat'"))
    assert getattr(client, name)(*args) == failed
    # The audio operations say what they start on before making the object.
    assert [line for line in logged() if line[0] != "INFO"] == [("ERROR", "yt-dlp not installed", False)]


@pytest.mark.parametrize("name, args, failed", SITE_OPERATIONS, ids=SITE_OPERATION_NAMES)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_interrupts_pass_through(ydl, client, temp_root, name, args, failed):
    ydl.fail_construction(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        getattr(client, name)(*args)
