"""The audio and details operations with the real yt-dlp and FFmpeg against
the loopback site: the cached file is the served one and is fetched once,
the stream address costs no request, the mp3 is FFmpeg's, under a name
that fits, and nothing in the title, the folder or the temporary folder's
path is read as a template."""
import tempfile
from pathlib import Path

import pytest

from loopback_site import SECONDS, audio_codec

VIDEO_ID = "dQw4w9WgXcQ"


def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def with_parents(*paths):
    """The entries a tree holds for these relative paths: each with every
    folder above it."""
    return sorted({str(Path(*Path(p).parts[:n])) for p in paths for n in range(1, len(Path(p).parts) + 1)})


@pytest.fixture
def work(tmp_path, monkeypatch):
    """The working folder, where relative folders go: a new one of the test."""
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return work


# Relative, as the host may give them; "$HOME" is set for every test.
TEMPLATE_FOLDERS = ["music$HOME", "music${HOME}", "%HOME%", "music%(id)s", "100%", "~/Music", "~"]


def test_the_cache_holds_the_served_file_and_is_fetched_once(loopback_site, served_audio, client, logged,
                                                             temp_root):
    loopback_site.add(VIDEO_ID)
    path = client.get_audio_download_file(VIDEO_ID)
    assert path == str(temp_root / "velmora_reelmoor" / f"{VIDEO_ID}.m4a")
    with open(path, "rb") as cached:
        assert cached.read() == served_audio
    requests = list(loopback_site.server.log)
    assert requests and {path for _, path, _ in requests} == {loopback_site.path(VIDEO_ID)}

    assert client.get_audio_download_file(VIDEO_ID) == path
    assert loopback_site.server.log == requests
    assert logged()[-1] == ("INFO", f"Using cached audio for {VIDEO_ID}", False)
    assert tree(temp_root) == ["velmora_reelmoor", f"velmora_reelmoor/{VIDEO_ID}.m4a"]


def test_an_unavailable_video_leaves_no_cache_file(loopback_site, client, logged, temp_root):
    assert client.get_audio_download_file(VIDEO_ID) is None
    assert logged()[-1][1].startswith("Error downloading audio: ERROR: [LoopbackSite] dQw4w9WgXcQ: Video unavailable")
    assert tree(temp_root) == ["velmora_reelmoor"]


def test_the_stream_address_costs_no_request(loopback_site, client, logged):
    served = loopback_site.add(VIDEO_ID)
    assert client.get_audio_stream_url(VIDEO_ID) == served
    assert loopback_site.server.log == []
    assert logged()[-1] == ("INFO", "Got direct streaming URL (format: m4a, protocol: http)", False)


def test_details_with_chapters(loopback_site, client, logged):
    chapters = [{"title": "Start", "start_time": 0.0, "end_time": 1.0}, {"title": "Rest", "start_time": 1.0}]
    loopback_site.add(VIDEO_ID, title="Sine", uploader="Chan", chapters=chapters)
    details = client.get_video_info(VIDEO_ID)
    assert (details["id"], details["title"], details["uploader"], details["duration"]) == (
        VIDEO_ID, "Sine", "Chan", SECONDS)
    assert [list(c.values()) for c in details["chapters"]] == [["Start", 0.0, 1.0], ["Rest", 1.0, SECONDS]]
    assert loopback_site.server.log == []
    assert logged() == [("INFO", "Extracted 2 chapters from video", False)]


@pytest.mark.parametrize("title, name", [
    ("Sine", "Sine"),
    ("100% $HOME ${HOME} %HOME% %(id)s ~", "100% $HOME ${HOME} %HOME% %(id)s ~"),
    ("日本語のタイトル" * 11, ("日本語のタイトル" * 11)[:66]),
    ("🎵" * 70, "🎵" * 50),
], ids=["plain", "template and variables", "Japanese", "emoji"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_the_mp3_is_ffmpegs_under_the_title(loopback_site, client, home, tmp_path, title, name):
    loopback_site.add(VIDEO_ID, title=title)
    out = tmp_path / "out"
    home_before = tree(home)
    path = client.download_audio_mp3(VIDEO_ID, str(out))
    assert path == str(out / f"{name}.mp3")
    assert audio_codec(path) == "mp3"
    assert tree(out) == [f"{name}.mp3"]
    assert tree(home) == home_before


@pytest.mark.parametrize("folder", TEMPLATE_FOLDERS)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_the_mp3_goes_into_the_folder_as_named(loopback_site, client, logged, home, work, temp_root, folder):
    loopback_site.add(VIDEO_ID, title="Sine")
    home_before = tree(home)
    path = client.download_audio_mp3(VIDEO_ID, folder)
    assert path == str(Path(folder) / "Sine.mp3")
    assert audio_codec(work / path) == "mp3"
    assert tree(work) == with_parents(path)
    assert tree(home) == home_before and tree(temp_root) == []
    assert logged()[-1] == ("INFO", f"Downloaded MP3: {path}", False)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_the_users_own_files_survive_a_template_title(loopback_site, client, tmp_path, temp_root):
    loopback_site.add(VIDEO_ID, title="50% of $HOME")
    out = tmp_path / "out"
    out.mkdir()
    own = {f"{VIDEO_ID}.mp3": b"my own mp3", f"{VIDEO_ID}.m4a": b"my own m4a"}
    for name, content in own.items():
        (out / name).write_bytes(content)
    path = client.download_audio_mp3(VIDEO_ID, str(out))
    assert path == str(out / "50% of $HOME.mp3") and audio_codec(path) == "mp3"
    assert {name: (out / name).read_bytes() for name in own} == own
    assert tree(out) == sorted([*own, "50% of $HOME.mp3"]) and tree(temp_root) == []


@pytest.mark.parametrize("temp", ["temp$HOME", "temp%(id)s", "100%", "~/temp"])
def test_the_cache_is_under_the_temporary_folder_as_named(loopback_site, served_audio, client, logged, home,
                                                           work, tmp_path, monkeypatch, temp):
    (work / temp).mkdir(parents=True)
    monkeypatch.setattr(tempfile, "tempdir", temp)
    base = tmp_path / "base"  # where yt-dlp writes instead
    base.mkdir()
    monkeypatch.setenv("TMPDIR", str(base))
    loopback_site.add(VIDEO_ID)
    home_before = tree(home)
    path = client.get_audio_download_file(VIDEO_ID)
    assert path == str(Path(temp) / "velmora_reelmoor" / f"{VIDEO_ID}.m4a")
    assert (work / path).read_bytes() == served_audio
    assert tree(work) == with_parents(path)
    assert tree(home) == home_before and tree(base) == []
    assert logged()[-1] == ("INFO", f"Downloaded audio to {path}", False)
