"""DownloadMetadataStorage: download records and the data file."""
import json
from pathlib import Path

import pytest

from module_test_helpers import assert_own_methods
from storage_section_helpers import count_saves, section_reader

URL = "http://example.com/ep1.mp3"
STAMP = "2025-01-31T18:05:42.250000"
KEYS = ["local_path", "title", "podcast_name", "download_date"]


@pytest.fixture
def store(fresh_store, clock):
    return fresh_store.DownloadMetadataStorage()


section = section_reader("downloads")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("/m/a.mp3",), {}, ["/m/a.mp3", "", ""]),
        (("/m/a.mp3", "Ep 1", "Show"), {}, ["/m/a.mp3", "Ep 1", "Show"]),
        ((), {"local_path": "/m/b.mp3", "podcast_name": "Show"}, ["/m/b.mp3", "", "Show"]),
    ],
)
def test_add_download_writes_the_record(store, data_file, monkeypatch, args, kwargs, expected):
    saves = count_saves(store, monkeypatch)
    assert store.add_download(URL, *args, **kwargs) is None
    assert saves == [1]
    record = section(data_file)[URL]
    assert list(record) == KEYS
    assert record == dict(zip(KEYS, expected + [STAMP]))
    assert store.get_download(URL) is store.data[URL]


def test_second_add_replaces_the_record(store, data_file, clock):
    store.add_download(URL, "/m/old.mp3", "Old", "Show")
    clock.current = clock(2025, 2, 1, 9, 0, 0)
    store.add_download(URL, "/m/new.mp3")
    assert section(data_file) == {URL: {"local_path": "/m/new.mp3", "title": "", "podcast_name": "",
                                        "download_date": "2025-02-01T09:00:00"}}


def test_records_do_not_follow_the_files(store, tmp_path, monkeypatch):
    media = tmp_path / "ep.mp3"
    media.write_bytes(b"x")
    store.add_download(URL, str(media))
    media.unlink()
    assert store.is_downloaded(URL) is True

    saves = count_saves(store, monkeypatch)
    store.remove_download(URL)
    assert saves == [1]
    assert store.is_downloaded(URL) is False
    assert store.get_download(URL) is None


@pytest.mark.parametrize("other", [URL.upper(), URL + "/", "http://example.com/ep2.mp3"])
def test_urls_are_keys_as_given(store, data_file, other):
    store.add_download(URL, "/m/1.mp3")
    store.add_download(other, "/m/2.mp3")
    assert list(section(data_file)) == [URL, other]
    store.remove_download(other)
    assert store.is_downloaded(URL) and not store.is_downloaded(other)


def test_removing_an_absent_record_leaves_the_file_untouched(store, data_file, monkeypatch):
    store.add_download(URL, "/m/1.mp3")
    data_file.write_text("untouched", encoding="utf-8")
    saves = count_saves(store, monkeypatch)
    assert store.remove_download(URL + "/") is None
    assert saves == []
    assert data_file.read_text(encoding="utf-8") == "untouched"


def test_a_path_object_fails_the_save(store):
    with pytest.raises(TypeError):
        store.add_download(URL, Path("/m/a.mp3"))


def test_records_read_back_after_restarts(fresh_store, store, data_file, run_py):
    store.add_download(URL, "/m/ä.mp3", "Épisode", "Show")
    text = data_file.read_text(encoding="utf-8")
    assert '"title": "Épisode"' in text
    assert text.index('"local_path"') < text.index('"title"') < text.index('"podcast_name"') < text.index(
        '"download_date"')

    fresh_store.ConsolidatedStorage._instance = None
    again = fresh_store.DownloadMetadataStorage()
    assert again.get_download(URL) == store.get_download(URL)

    code = (
        "import json\n"
        "from data.storage import DownloadMetadataStorage\n"
        "s = DownloadMetadataStorage()\n"
        f"print(json.dumps([s.is_downloaded({URL!r}), s.get_download({URL!r})]))\n"
    )
    out = run_py(code)
    downloaded, record = json.loads(out.stdout)
    assert downloaded is True
    assert list(record) == KEYS
    assert record == {"local_path": "/m/ä.mp3", "title": "Épisode", "podcast_name": "Show", "download_date": STAMP}


METHODS = [
    ("__init__", "(self, data_folder=None)", None),
    ("add_download", "(self, episode_url, local_path, title='', podcast_name='')", "Add download metadata."),
    ("get_download", "(self, episode_url)", "Get download metadata."),
    ("is_downloaded", "(self, episode_url)", "Check if episode is downloaded."),
    ("remove_download", "(self, episode_url)", "Remove download metadata."),
]


def test_methods_signatures_and_docstrings(fresh_store):
    cls = fresh_store.DownloadMetadataStorage
    assert_own_methods(cls, METHODS)
