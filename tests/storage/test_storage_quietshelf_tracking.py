"""QuietshelfDownloadTracking: the day count against the daily limit, and the
total, in the section "quietshelf_downloads"."""
import inspect

import pytest

from storage_section_helpers import count_saves, restarter, section_reader, section_writer

TODAY = "2025-02-10"


@pytest.fixture
def clock_start():
    return (2025, 2, 10, 23, 59, 59, 999999)


section = section_reader("quietshelf_downloads")
write_section = section_writer("quietshelf_downloads")
restart = restarter("QuietshelfDownloadTracking")


def test_a_new_section_starts_empty_and_the_first_check_dates_it(fresh_store, clock, data_file):
    store = fresh_store.QuietshelfDownloadTracking()
    assert '"last_download_date": null' in data_file.read_text(encoding="utf-8")
    assert list(section(data_file)) == ["last_download_date", "downloads_today", "total_downloads"]
    assert section(data_file) == {"last_download_date": None, "downloads_today": 0, "total_downloads": 0}

    assert store.can_download() == (True, 25)
    assert section(data_file) == {"last_download_date": TODAY, "downloads_today": 0, "total_downloads": 0}


def test_counts_survive_a_restart_on_the_same_day(fresh_store, clock, data_file, monkeypatch):
    store = fresh_store.QuietshelfDownloadTracking()
    for _ in range(3):
        store.increment_download_count()

    again = restart(fresh_store)
    saves = count_saves(again, monkeypatch)
    assert (again.get_downloads_today(), again.get_total_downloads()) == (3, 3)
    assert again.can_download() == (True, 22)
    assert saves == []  # same day: nothing to reset


@pytest.mark.parametrize(
    "today_count, expected",
    [(0, (True, 25)), (24, (True, 1)), (25, (False, 0)), (30, (False, 0))],
)
def test_can_download_against_the_limit(fresh_store, clock, data_file, today_count, expected):
    write_section(data_file, {"last_download_date": TODAY, "downloads_today": today_count, "total_downloads": 99})
    result = fresh_store.QuietshelfDownloadTracking().can_download()
    assert result == expected
    assert type(result) is tuple and type(result[0]) is bool


@pytest.mark.parametrize("stale", ["2025-02-09", "2025-02-11", None, "10/02/2025", "2025-02-10T00:00:00"])
def test_a_stale_date_starts_the_day_count_again(fresh_store, clock, data_file, stale):
    write_section(data_file, {"last_download_date": stale, "downloads_today": 25, "total_downloads": 40})
    store = fresh_store.QuietshelfDownloadTracking()

    assert store.can_download() == (True, 25)
    assert section(data_file) == {"last_download_date": TODAY, "downloads_today": 0, "total_downloads": 40}


def test_the_day_count_follows_the_clock_past_midnight(fresh_store, clock, data_file, monkeypatch):
    store = fresh_store.QuietshelfDownloadTracking()
    store.increment_download_count()
    store.increment_download_count()
    clock.current = clock.current.replace(day=11, hour=0, minute=0, second=0, microsecond=0)
    saves = count_saves(store, monkeypatch)

    store.increment_download_count()

    assert len(saves) == 2  # the reset, then the count
    assert section(data_file) == {"last_download_date": "2025-02-11", "downloads_today": 1, "total_downloads": 3}
    assert store.get_downloads_today() == 1


def test_total_does_not_reset_a_stale_day(fresh_store, clock, data_file):
    stale = {"last_download_date": "2025-01-01", "downloads_today": 7, "total_downloads": 12}
    write_section(data_file, stale)
    store = fresh_store.QuietshelfDownloadTracking()

    assert store.get_total_downloads() == 12
    store.data["marker"] = 1
    store.save()
    assert section(data_file) == {**stale, "marker": 1}
    assert store.get_downloads_today() == 0


def test_missing_counts_read_as_zero(fresh_store, clock, data_file):
    write_section(data_file, {"something": "else"})
    store = fresh_store.QuietshelfDownloadTracking()
    assert store.get_total_downloads() == 0
    store.increment_download_count()
    assert section(data_file) == {
        "something": "else", "last_download_date": TODAY, "downloads_today": 1, "total_downloads": 1,
    }


def test_the_limit_is_read_through_the_instance(fresh_store, clock):
    store = fresh_store.QuietshelfDownloadTracking()
    store.DAILY_DOWNLOAD_LIMIT = 3
    for _ in range(3):
        store.increment_download_count()
    assert store.can_download() == (False, 0)

    class Generous(fresh_store.QuietshelfDownloadTracking):
        DAILY_DOWNLOAD_LIMIT = 100

    assert Generous().can_download() == (True, 97)


@pytest.mark.parametrize("method", ["can_download", "increment_download_count"])
def test_a_count_that_is_not_a_number_is_a_type_error(fresh_store, clock, data_file, method):
    write_section(data_file, {"last_download_date": TODAY, "downloads_today": "many", "total_downloads": 0})
    with pytest.raises(TypeError):
        getattr(fresh_store.QuietshelfDownloadTracking(), method)()


def test_class_layout(fresh_store):
    cls = fresh_store.QuietshelfDownloadTracking
    assert cls.__bases__ == (fresh_store.DataStorage,)
    assert cls.__doc__ == "Storage for tracking daily Quietshelf download limits."
    assert cls.DAILY_DOWNLOAD_LIMIT == 25
    assert str(inspect.signature(cls.__init__)) == "(self, data_folder=None)"
    assert inspect.getdoc(cls.can_download).startswith("Check if user can download more items today.")
    assert "(bool: can_download, int: remaining_downloads)" in cls.can_download.__doc__
    docs = {
        "_reset_if_new_day": "Reset download counter if it's a new day.",
        "increment_download_count": "Increment the download count for today.",
        "get_downloads_today": "Get the number of downloads made today.",
        "get_total_downloads": "Get the total number of downloads ever made.",
    }
    assert {name: getattr(cls, name).__doc__ for name in docs} == docs


@pytest.mark.parametrize("method", ["can_download", "increment_download_count"])
def test_a_failing_save_puts_the_counts_back(fresh_store, clock, data_file, method):
    write_section(data_file, {"last_download_date": "2025-02-09", "downloads_today": 4, "total_downloads": 9})
    store = fresh_store.QuietshelfDownloadTracking()
    fresh_store.ConsolidatedStorage().get_section("config")["broken"] = object()
    with pytest.raises(TypeError):
        getattr(store, method)()
    assert store.data == {"last_download_date": "2025-02-09", "downloads_today": 4, "total_downloads": 9}

    store.data["last_download_date"] = TODAY
    with pytest.raises(TypeError):
        store.increment_download_count()
    assert store.data == {"last_download_date": TODAY, "downloads_today": 4, "total_downloads": 9}
