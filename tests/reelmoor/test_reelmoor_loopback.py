"""The loopback site runs the real yt-dlp offline: a watch address of the
site resolves to the served file, which yt-dlp downloads over HTTP with its
progress hooks and converts with FFmpeg."""
import pytest
import yt_dlp
from yt_dlp.utils import DownloadError

from loopback_site import audio_codec
from site_names import watch

VIDEO_ID = "dQw4w9WgXcQ"


def options(folder, **more):
    return {"quiet": True, "no_warnings": True, "format": "bestaudio/best",
            "outtmpl": str(folder / "%(id)s.%(ext)s"), **more}


@pytest.mark.parametrize("chunked", [False, True], ids=["whole", "in ranges"])
def test_download_writes_the_served_bytes(loopback_site, served_audio, tmp_path, chunked):
    loopback_site.add(VIDEO_ID, title="Sine")
    reports = []
    more = {"http_chunk_size": 8192} if chunked else {}
    with yt_dlp.YoutubeDL(options(tmp_path, progress_hooks=[reports.append], **more)) as ydl:
        ydl.download([watch(VIDEO_ID)])
    assert (tmp_path / f"{VIDEO_ID}.m4a").read_bytes() == served_audio
    assert reports[-1]["status"] == "finished"
    assert reports[-1]["downloaded_bytes"] == len(served_audio)
    log = loopback_site.server.log
    assert {(method, path) for method, path, _ in log} == {("GET", loopback_site.path(VIDEO_ID))}
    ranges = [asked for _, _, asked in log]
    if chunked:
        # yt-dlp picks each chunk a little smaller at random; together
        # they cover the file once, in order.
        spans = [tuple(map(int, asked.removeprefix("bytes=").split("-"))) for asked in ranges]
        assert len(spans) > 1 and spans[0][0] == 0 and spans[-1][1] == len(served_audio) - 1
        assert all(after[0] == before[1] + 1 for before, after in zip(spans, spans[1:]))
    else:
        assert ranges == [None]


def test_mp3_conversion(loopback_site, tmp_path):
    loopback_site.add(VIDEO_ID)
    extract = [{"key": "FFmpegExtractAudio", "preferredcodec": "mp3", "preferredquality": "192"}]
    with yt_dlp.YoutubeDL(options(tmp_path, postprocessors=extract)) as ydl:
        ydl.download([watch(VIDEO_ID)])
    assert audio_codec(tmp_path / f"{VIDEO_ID}.mp3") == "mp3"
    assert not (tmp_path / f"{VIDEO_ID}.m4a").exists()


def test_information_without_download(loopback_site):
    url = loopback_site.add(VIDEO_ID, title="Sine", uploader="Chan")
    with yt_dlp.YoutubeDL({"quiet": True, "format": "140/bestaudio", "skip_download": True}) as ydl:
        info = ydl.extract_info(watch(VIDEO_ID), download=False)
    assert (info["id"], info["title"], info["uploader"], info["url"], info["ext"]) == (
        VIDEO_ID, "Sine", "Chan", url, "m4a")
    assert loopback_site.server.log == []


def test_an_unknown_video_is_unavailable(loopback_site, tmp_path):
    with pytest.raises(DownloadError, match="Video unavailable"):
        with yt_dlp.YoutubeDL(options(tmp_path)) as ydl:
            ydl.download([watch("AAAAAAAAAAA")])
    assert loopback_site.server.log == []
