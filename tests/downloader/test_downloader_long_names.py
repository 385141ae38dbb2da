"""Titles and show names that are long in UTF-8 download under names that
fit one path part (255 bytes on Linux and macOS), .part file included."""
import pytest

from core import downloader as dlmod
from podcast_server import PodcastServer

BODY = bytes(range(256)) * 97


@pytest.fixture
def server():
    srv = PodcastServer().start()
    srv.add("/ep.mp3", body=BODY)
    yield srv
    srv.stop()


@pytest.mark.parametrize(
    "title, podcast, stem, folder",
    [
        ("\u65e5\u672c\u8a9e" * 29 + "\u3067", "Show", "\u65e5\u672c\u8a9e" * 22, "Show"),
        ("\U0001F3A7" * 70, "Show", "\U0001F3A7" * 50, "Show"),
        ("Episode " + "\u00e9" * 130, "Show", "Episode", "Show"),
        ("Episode 1", "\u756a\u7d44" * 50, "Episode 1", "\u756a\u7d44" * 42 + "\u756a"),
    ],
    ids=["japanese-title", "emoji-title", "accented-title", "japanese-show"],
)
def test_long_names_download_under_names_that_fit(tmp_path, server, title, podcast, stem, folder):
    d = dlmod.PodcastDownloader(str(tmp_path / "dl"), max_concurrent=0)
    try:
        task_id = d.add_download(server.url("/ep.mp3"), title, podcast)
        task = d.active_downloads[task_id]
        d._download_file(task)
    finally:
        d.shutdown()
    assert task.progress.status == dlmod.DownloadStatus.COMPLETED, task.progress.error_message
    assert task.filename == stem + ".mp3"
    assert task.output_path == tmp_path / "dl" / folder / task.filename
    assert task.output_path.read_bytes() == BODY
    assert len((task.filename + ".part").encode()) <= 255 and len(folder.encode()) <= 255
