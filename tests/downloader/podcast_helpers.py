"""What the podcast downloader's tests share: the loopback server, downloaders
shut down after each test, and how a task is added and where its file goes."""
from pathlib import Path

import pytest

from core import downloader as dlmod
from podcast_server import PodcastServer


@pytest.fixture
def server():
    srv = PodcastServer().start()
    yield srv
    srv.stop()


@pytest.fixture
def make_downloader(tmp_path, shut_down):
    def make(workers=0):
        return shut_down(dlmod.PodcastDownloader(str(tmp_path / "dl"), max_concurrent=workers))

    return make


@pytest.fixture
def dl(make_downloader):
    """A downloader without workers: tests run `_download_file` themselves."""
    return make_downloader(0)


def add(d, url, title="Episode 1", podcast="Show", callback=None):
    task_id = d.add_download(url, title, podcast, progress_callback=callback)
    return d.active_downloads[task_id]


def folder(d, podcast="Show"):
    return Path(d.download_folder) / podcast
