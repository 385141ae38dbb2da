"""The audio operations through a recording yt-dlp stand-in: the stream
address, the cached audio file and the deprecated mp3 download: their
options, the files they judge by, and every failure."""
import errno
import sys
import tempfile
import threading
import warnings
from pathlib import Path

import pytest
from yt_dlp.utils import DownloadError

from module_test_helpers import Gate, forked_child_exit_code
from site_names import watch

VIDEO_ID = "dQw4w9WgXcQ"
URL = watch(VIDEO_ID)
STREAM = "http://127.0.0.1:9/audio.m4a"
STREAM_OPTIONS = {"quiet": True, "no_warnings": True, "format": "140/bestaudio", "skip_download": True}
DEPRECATION = ("ReelmoorClient.download_audio_mp3() is deprecated. Use ReelmoorDownloader from core.downloader "
               "instead for better progress tracking and queue management.")


def writes(content):
    """A download action that writes `content` where the template points,
    with the extension the download would give it."""
    def action(ydl, url):
        template = ydl.params["outtmpl"]
        ext = "mp3" if ydl.params.get("postprocessors") else "m4a"
        Path(template.replace("%(ext)s", ext)).write_bytes(content)
    return action


# --- the stream address ------------------------------------------------------

def test_stream_look_up(ydl, client):
    ydl.answer(URL, {"url": STREAM, "protocol": "https", "ext": "m4a"})
    assert client.get_audio_stream_url(VIDEO_ID) == STREAM
    assert ydl.calls == [("init", STREAM_OPTIONS), ("enter",), ("extract_info", (URL,), {"download": False}),
                         ("exit", None)]
    assert list(ydl.options[0]) == list(STREAM_OPTIONS)


START = ("INFO", f"Extracting streaming URL for {VIDEO_ID}...", False)


@pytest.mark.parametrize("info, result, lines", [
    ({"url": STREAM, "protocol": "http", "ext": "webm"}, STREAM,
     [("INFO", "Got direct streaming URL (format: webm, protocol: http)", False)]),
    ({"url": STREAM, "protocol": "m3u8_native", "ext": "mp4"}, STREAM,
     [("INFO", "Got direct streaming URL (format: mp4, protocol: m3u8_native)", False),
      ("WARNING", "Protocol m3u8_native may not be streamable, trying anyway...", False)]),
    ({"url": STREAM}, STREAM,
     [("INFO", "Got direct streaming URL (format: unknown, protocol: unknown)", False),
      ("WARNING", "Protocol unknown may not be streamable, trying anyway...", False)]),
    ({"url": STREAM, "protocol": None, "ext": None}, STREAM,  # present: no default
     [("INFO", "Got direct streaming URL (format: None, protocol: None)", False),
      ("WARNING", "Protocol None may not be streamable, trying anyway...", False)]),
    ({"protocol": "https"}, None, [("ERROR", "No streaming URL found in video info", False)]),
    (None, None, [("ERROR", "Error extracting streaming URL: argument of type 'NoneType' is not iterable", False)]),
], ids=["http", "segmented", "no protocol nor container", "present None", "no url", "no information"])
def test_stream_answers(ydl, client, logged, info, result, lines):
    ydl.answer(URL, info)
    assert client.get_audio_stream_url(VIDEO_ID) == result
    assert logged() == [START, *lines]


def test_stream_failure(ydl, client, logged):
    ydl.fail(URL, DownloadError("ERROR: Video unavailable"))
    assert client.get_audio_stream_url(VIDEO_ID) is None
    assert logged() == [START, ("ERROR", "Error extracting streaming URL: ERROR: Video unavailable", False)]
    assert ydl.calls[-1] == ("exit", DownloadError)


# --- the cached audio file ----------------------------------------------------

def files(folder):
    return sorted(p.name for p in folder.iterdir())


def cache_file(temp_root, video_id=VIDEO_ID):
    return temp_root / "velmora_reelmoor" / f"{video_id}.m4a"


def cache_options(path):
    return {"quiet": True, "no_warnings": True, "format": "140/bestaudio[ext=m4a]/bestaudio", "outtmpl": str(path),
            "concurrent_fragment_downloads": 4, "http_chunk_size": 10485760, "buffersize": 16384, "retries": 3}


def test_download_into_the_cache(ydl, client, logged, temp_root):
    path = cache_file(temp_root)
    ydl.on_download(URL, writes(b"audio"))
    assert client.get_audio_download_file(VIDEO_ID) == str(path)
    assert path.read_bytes() == b"audio"
    assert ydl.calls == [("init", cache_options(path)), ("enter",), ("download", [URL]), ("exit", None)]
    assert list(ydl.options[0]) == list(cache_options(path))
    assert logged() == [("INFO", f"Downloading audio for {VIDEO_ID} to temp file...", False),
                        ("INFO", f"Downloaded audio to {path}", False)]


# The temporary folder's own path would be rewritten: yt-dlp writes under
# the next base tempfile knows of, and the file is moved into the cache.
def test_a_temporary_folder_yt_dlp_would_rewrite(ydl, client, logged, tmp_path, monkeypatch):
    temp, base = tmp_path / "temp$HOME", tmp_path / "base"
    temp.mkdir()
    base.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    monkeypatch.setenv("TMPDIR", str(base))
    path = cache_file(temp)
    ydl.on_download(URL, writes(b"audio"))
    assert client.get_audio_download_file(VIDEO_ID) == str(path)
    [options] = ydl.options
    assert Path(options["outtmpl"]).parent.parent == base
    assert list(options.items()) == list(cache_options(options["outtmpl"]).items())
    assert path.read_bytes() == b"audio" and files(path.parent) == [path.name] and files(base) == []
    assert logged() == [("INFO", f"Downloading audio for {VIDEO_ID} to temp file...", False),
                        ("INFO", f"Downloaded audio to {path}", False)]


def test_a_cached_file_is_used_without_yt_dlp_objects(ydl, client, logged, temp_root):
    path = cache_file(temp_root)
    path.parent.mkdir()
    path.write_bytes(b"kept")
    assert client.get_audio_download_file(VIDEO_ID) == str(path)
    assert ydl.calls == [] and path.read_bytes() == b"kept"
    assert logged() == [("INFO", f"Using cached audio for {VIDEO_ID}", False)]


def test_an_empty_cache_file_is_removed_before_the_download(ydl, client, temp_root):
    path = cache_file(temp_root)
    path.parent.mkdir()
    path.touch()
    seen = []

    def action(ydl_object, url):
        seen.append(path.exists())  # yt-dlp skips any file already there
        writes(b"fresh")(ydl_object, url)

    ydl.on_download(URL, action)
    assert client.get_audio_download_file(VIDEO_ID) == str(path)
    assert seen == [False] and path.read_bytes() == b"fresh"


@pytest.mark.parametrize("action", [None, writes(b"")], ids=["nothing written", "empty file"])
def test_no_audio_after_the_download(ydl, client, logged, temp_root, action):
    if action:
        ydl.on_download(URL, action)
    assert client.get_audio_download_file(VIDEO_ID) is None
    assert logged()[-1] == ("ERROR", "Download failed - temp file not created or empty", False)


def test_a_download_error(ydl, client, logged, temp_root):
    ydl.fail(URL, DownloadError("ERROR: unable to download video data: HTTP Error 403: Forbidden"))
    assert client.get_audio_download_file(VIDEO_ID) is None
    assert logged()[-1] == (
        "ERROR", "Error downloading audio: ERROR: unable to download video data: HTTP Error 403: Forbidden", False)
    assert ydl.calls[-1] == ("exit", DownloadError)


def test_without_yt_dlp_even_a_cached_file_is_not_returned(monkeypatch, client, logged, temp_root):
    path = cache_file(temp_root)
    path.parent.mkdir()
    path.write_bytes(b"kept")
    monkeypatch.setitem(sys.modules, "yt_dlp", None)
    assert client.get_audio_download_file(VIDEO_ID) is None
    assert logged() == [("ERROR", "yt-dlp not installed", False)]


# The id names a file: only the id form does, and nothing is written for
# anything else.
@pytest.mark.parametrize("video_id", [
    None, "", "dQw4w9WgXc", "dQw4w9WgXcQQ", "../../../..", "..%2F..%2Fab", "$HOME/abcde", "%(title)s.x",
    "dQw4w9WgXc\u00e9", "dQw4w9WgXc/", "dQw4w9WgXc\\",
], ids=repr)
def test_only_a_video_id_names_the_cache_file(ydl, client, logged, temp_root, tmp_path, video_id):
    before = sorted(tmp_path.rglob("*"))
    assert client.get_audio_download_file(video_id) is None
    assert logged() == [("ERROR", f"Invalid video id: {video_id!r}", False)]
    assert ydl.calls == []
    assert sorted(tmp_path.rglob("*")) == before


def test_two_calls_for_one_video_take_turns(ydl, client, logged, temp_root):
    first_inside, second_downloads = threading.Event(), threading.Event()

    def action(ydl_object, url):
        if first_inside.is_set():
            second_downloads.set()
        first_inside.set()
        # The second call runs meanwhile; were it not waiting for this
        # one, it would download now.
        second_downloads.wait(1.0)
        writes(b"audio")(ydl_object, url)

    ydl.on_download(URL, action)
    results = {}
    first = threading.Thread(target=lambda: results.setdefault("first", client.get_audio_download_file(VIDEO_ID)))
    second = threading.Thread(target=lambda: results.setdefault("second", client.get_audio_download_file(VIDEO_ID)))
    first.start()
    assert first_inside.wait(10)
    second.start()
    first.join(10)
    second.join(10)
    path = str(cache_file(temp_root))
    assert results == {"first": path, "second": path}
    assert ydl.names().count("download") == 1
    assert logged()[-1] == ("INFO", f"Using cached audio for {VIDEO_ID}", False)


def test_a_forked_child_takes_the_turn_a_parent_thread_had(ydl, client, temp_root):
    gate = Gate()
    ydl.on_download(URL, lambda ydl_object, url: (gate.stop(), writes(b"audio")(ydl_object, url)))
    gate.hold(lambda: client.get_audio_download_file(VIDEO_ID))

    def child():
        gate.release.set()
        assert client.get_audio_download_file(VIDEO_ID) == str(cache_file(temp_root))

    assert forked_child_exit_code(child) == 0
    gate.finish()


# --- the mp3 download ---------------------------------------------------------

def mp3_options(template):
    return {"quiet": True, "no_warnings": True, "format": "bestaudio/best", "outtmpl": template,
            "postprocessors": [{"key": "FFmpegExtractAudio", "preferredcodec": "mp3", "preferredquality": "192"}]}


@pytest.fixture
def mp3(ydl, client, tmp_path):
    """download_audio_mp3 into tmp_path/out, its warning caught."""
    def call(video_id=VIDEO_ID, output_dir=str(tmp_path / "out")):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return client.download_audio_mp3(video_id, output_dir)
    return call


INFO_CALLS = ["init", "enter", "extract_info", "exit"]  # get_video_info's


def test_mp3_download(ydl, mp3, logged, tmp_path):
    ydl.answer(URL, {"id": VIDEO_ID, "title": "Never Gonna"})
    ydl.on_download(URL, writes(b"mp3"))
    out = tmp_path / "out"
    assert mp3() == str(out / "Never Gonna.mp3")
    assert ydl.names() == INFO_CALLS + ["init", "enter", "download", "exit"]
    assert ydl.calls[4:] == [("init", mp3_options(str(out / "Never Gonna.%(ext)s"))), ("enter",), ("download", [URL]),
                             ("exit", None)]
    assert list(ydl.options[1]) == list(mp3_options(""))
    assert logged() == [("INFO", f"Downloaded MP3: {out / 'Never Gonna.mp3'}", False)]


JAPANESE = "日本語のタイトル" * 11  # 88 characters, 264 bytes
EMOJI = "🎵" * 70  # 280 bytes


# The details' title names the file; without one it is "video".
@pytest.mark.parametrize("info, name", [
    ({"title": 'a/b\\c<d>e:f"g|h?i*j k.'}, "a_b_c_d_e_f_g_h_i_j k..mp3"),
    ({"title": "x" * 150}, "x" * 100 + ".mp3"),
    ({"id": VIDEO_ID}, "video.mp3"),
    ({"title": JAPANESE}, JAPANESE[:66] + ".mp3"),  # 198 bytes: one more would be 201
    ({"title": EMOJI}, "🎵" * 50 + ".mp3"),
    ({"title": "é" * 150}, "é" * 100 + ".mp3"),  # 100 characters are exactly 200 bytes
    ({"title": "é" * 99 + "🎵"}, "é" * 99 + ".mp3"),  # the 100th character would reach 202
    # a name Windows takes for a device gets a "_" before the first dot
    ({"title": "CON"}, "CON_.mp3"),
    ({"title": "nul.tar"}, "nul_.tar.mp3"),
    ({"title": "Aux"}, "Aux_.mp3"),
    ({"title": "lpt9"}, "lpt9_.mp3"),
    ({"title": "C<O>M1"}, "C_O_M1.mp3"),
    ({"title": "COM1: Live"}, "COM1_ Live.mp3"),
    ({"title": "PRN." + "x" * 150}, "PRN_." + "x" * 96 + ".mp3"),  # the mark comes after the cut
    ({"title": "CONSOLE"}, "CONSOLE.mp3"),
], ids=["nine characters", "150 characters", "no title", "Japanese", "emoji", "two-byte letters", "one too many",
        "device", "device with a dot", "device in mixed case", "device of digits", "replaced characters",
        "replaced colon", "device cut", "no device"])
def test_mp3_names(ydl, client, mp3, monkeypatch, tmp_path, info, name):
    monkeypatch.setattr(client, "get_video_info", lambda video_id: info)  # the details as given
    ydl.on_download(URL, writes(b"mp3"))
    path = tmp_path / "out" / name
    assert mp3() == str(path)
    assert path.read_bytes() == b"mp3"
    assert len(path.name.encode()) <= 204


def test_an_existing_mp3_is_kept(ydl, mp3, logged, tmp_path):
    ydl.answer(URL, {"title": "Song"})
    path = tmp_path / "out" / "Song.mp3"
    path.parent.mkdir()
    path.write_bytes(b"kept")
    assert mp3() == str(path)
    assert ydl.names() == INFO_CALLS and path.read_bytes() == b"kept"
    assert logged() == [("INFO", f"File already exists: {path}", False)]


@pytest.mark.parametrize("title", ["Song", "50% $HOME"], ids=["plain", "template"])
def test_an_existing_empty_mp3_is_downloaded_again(ydl, mp3, tmp_path, temp_root, title):
    ydl.answer(URL, {"title": title})
    ydl.on_download(URL, writes(b"new"))
    path = tmp_path / "out" / f"{title}.mp3"
    path.parent.mkdir()
    path.touch()
    assert mp3() == str(path) and path.read_bytes() == b"new"


@pytest.mark.parametrize("action, line", [
    (None, None),
    (writes(b""), "Download failed - MP3 file empty: {}"),
], ids=["nothing written", "empty file"])
def test_no_mp3_after_the_download(ydl, mp3, logged, tmp_path, action, line):
    ydl.answer(URL, {"title": "Song"})
    if action:
        ydl.on_download(URL, action)
    assert mp3() is None
    path = tmp_path / "out" / "Song.mp3"
    assert logged() == ([("ERROR", line.format(path), False)] if line else [])


# yt-dlp would read these titles as a template: it writes into a folder of
# the call's own, and the file is then moved to the title as it stands.
@pytest.mark.parametrize("title", ["100% %(id)s", "$HOME and ${HOME}", "%HOME%", "%(uploader)s - %(title)s"])
def test_a_title_is_never_a_template(ydl, mp3, logged, tmp_path, temp_root, title):
    ydl.answer(URL, {"title": title})
    ydl.on_download(URL, writes(b"mp3"))
    out = tmp_path / "out"
    path = out / f"{title}.mp3"
    assert mp3() == str(path)
    [options] = ydl.options[1:]
    template = options["outtmpl"]
    assert Path(template).parent.parent == temp_root and template.endswith(".%(ext)s")
    assert "$" not in template and "%" not in template[:-len("%(ext)s")]
    assert list(options.items()) == list(mp3_options(template).items())
    assert files(out) == [path.name] and path.read_bytes() == b"mp3" and files(temp_root) == []
    assert logged() == [("INFO", f"Downloaded MP3: {path}", False)]


# The video id names no file: a title yt-dlp would read as a template
# needs no id of the usual form.
def test_a_template_title_needs_no_video_id_of_the_usual_form(ydl, mp3, tmp_path, temp_root):
    ydl.answer(watch("abc"), {"title": "50%"})
    ydl.on_download(watch("abc"), writes(b"mp3"))
    assert mp3("abc") == str(tmp_path / "out" / "50%.mp3")


def test_an_empty_file_in_the_private_folder_is_no_mp3(ydl, mp3, logged, tmp_path, temp_root):
    ydl.answer(URL, {"title": "50%"})
    ydl.on_download(URL, writes(b""))
    assert mp3() is None
    path = tmp_path / "out" / "50%.mp3"
    assert logged() == [("ERROR", f"Download failed - MP3 file empty: {path}", False)]
    assert files(path.parent) == [] and files(temp_root) == []


def test_without_a_folder_of_its_own_nothing_is_downloaded(ydl, mp3, logged, monkeypatch, tmp_path, temp_root):
    def refuse(*args, **kwargs):
        raise PermissionError(errno.EACCES, "Permission denied")

    monkeypatch.setattr(tempfile, "mkdtemp", refuse)
    ydl.answer(URL, {"title": "50%"})
    assert mp3() is None
    assert logged() == [("ERROR", 'Error downloading audio: No temporary folder could be made whose path holds '
                                  'no "$", no "%" and no leading "~"', False)]
    assert "download" not in ydl.names() and files(tmp_path / "out") == []


def test_the_default_folder(ydl, client, home):
    ydl.answer(URL, {"title": "Song"})
    ydl.on_download(URL, writes(b"mp3"))
    with pytest.warns(DeprecationWarning):
        path = client.download_audio_mp3(VIDEO_ID)
    assert path == str(home / "Documents" / "Velmora" / "reelmoor" / "Song.mp3")


@pytest.mark.parametrize("info", [None, {}], ids=["None", "empty"])
def test_no_details_no_download(ydl, client, mp3, logged, monkeypatch, info):
    monkeypatch.setattr(client, "get_video_info", lambda video_id: info)
    assert mp3() is None
    assert ydl.calls == [] and logged() == []


def test_failed_details_log_their_own_line(ydl, mp3, logged):
    assert mp3() is None
    assert logged() == [("ERROR", f"Error getting video info: ERROR: no answer for {URL}", False)]


@pytest.mark.parametrize("title, line", [
    (None, "'NoneType' object has no attribute 'replace'"),
    (42, "'int' object has no attribute 'replace'"),
])
def test_a_title_that_is_no_text(ydl, mp3, logged, title, line):
    ydl.answer(URL, {"title": title})
    assert mp3() is None
    assert logged() == [("ERROR", f"Error downloading audio: {line}", False)]


def test_the_deprecation_points_at_the_caller(ydl, client, tmp_path):
    ydl.answer(URL, {"title": "Song"})
    with pytest.warns(DeprecationWarning) as caught:
        client.download_audio_mp3(VIDEO_ID, str(tmp_path))
    (warning,) = caught
    assert (str(warning.message), warning.filename) == (DEPRECATION, __file__)


def test_the_deprecation_as_an_error_comes_before_any_work(ydl, client, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="deprecated"):
            client.download_audio_mp3(VIDEO_ID, str(tmp_path / "out"))
    assert ydl.calls == [] and not (tmp_path / "out").exists()
