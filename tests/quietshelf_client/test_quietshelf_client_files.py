"""QuietshelfClient file transfers against the loopback fake of the service:
the temporary stream file, the deprecated whole-file download, and the file
name the service announces."""
import gzip
import logging
import os
import re
import tempfile
import warnings
from pathlib import Path

import pytest
import requests
from requests.structures import CaseInsensitiveDict

from core import quietshelf_client as qc
from module_test_helpers import run_python

BODY = bytes(range(256)) * 80  # 20480 bytes: two full chunks and a short one
NOISE = os.urandom(40000)  # hardly compresses
PACKED = len(gzip.compress(NOISE))
# Bodies that end before they are whole (file_routes.Route options), the
# bytes that reach the file, and the error's text after the operation's prefix.
SHORT_BODIES = [
    pytest.param({"body": BODY, "short_by": 1000}, len(BODY) - 1000,
                 f"Connection closed early: {len(BODY) - 1000} of {len(BODY)} bytes arrived", id="plain"),
    pytest.param({"body": NOISE, "gzip": True, "short_by": PACKED // 2}, None,
                 f"Connection closed early: {PACKED - PACKED // 2} of {PACKED} bytes arrived", id="compressed"),
    pytest.param({"body": BODY, "announced": 1 << 64}, len(BODY),
                 f"Connection closed early: {len(BODY)} of {1 << 64} bytes arrived", id="length past 63 bits"),
]
DEPRECATION = ("QuietshelfClient.download() is deprecated. Use QuietshelfDownloader from core.downloader instead "
               "for better progress tracking, resume support, and queue management.")


@pytest.fixture
def temp_folder(tmp_path, monkeypatch):
    """The system's temporary folder, for this test only."""
    folder = tmp_path / "temp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


@pytest.fixture
def work(tmp_path):
    """An empty folder of the test's own (tmp_path also holds the home folder)."""
    folder = tmp_path / "work"
    folder.mkdir()
    return folder


@pytest.fixture
def responses(logged_in, monkeypatch):
    """Every response the session hands out, with the number of times it was
    closed, and every call of session.get."""
    made = []
    real_get = logged_in.session.get

    def get(*args, **kwargs):
        response = real_get(*args, **kwargs)
        entry = {"response": response, "closed": 0, "call": (args, kwargs)}
        real_close = response.close

        def close():
            entry["closed"] += 1
            real_close()

        response.close = close
        made.append(entry)
        return response

    monkeypatch.setattr(logged_in.session, "get", get)
    return made


@pytest.fixture
def announce(logged_in, monkeypatch):
    """announce(value): the answers of the session say Content-Length: value
    (what the client reads; the body stays as the server sent it)."""
    def announce(value):
        real_get = logged_in.session.get

        def get(*args, **kwargs):
            response = real_get(*args, **kwargs)
            response.headers["Content-Length"] = value
            return response

        monkeypatch.setattr(logged_in.session, "get", get)
    return announce


def infos(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "core.quietshelf_client" and r.levelno == logging.INFO]


def api_error(call):
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        call()
    return caught.value


# ---------------------------------------------------------------------------
# _get_filename_from_headers

@pytest.mark.parametrize("headers, name", [
    ({}, "download.mp3"),
    ({"content-disposition": ""}, "download.mp3"),
    ({"content-disposition": "attachment"}, "download.mp3"),
    ({"content-disposition": 'attachment; filename=""'}, "download.mp3"),
    ({"content-disposition": 'attachment; filename="   "'}, "download.mp3"),
    ({"content-disposition": 'attachment; filename="Film.m4a"'}, "Film.m4a"),
    ({"content-disposition": "attachment; filename=Film.m4a"}, "Film.m4a"),
    ({"content-disposition": 'inline; filename="  The Film.mp3 "'}, "The Film.mp3"),
    ({"content-disposition": "attachment; filename*=UTF-8''%C3%89t%C3%A9%20%E2%82%AC.mp3"}, "Été €.mp3"),
    ({"content-disposition": "attachment; filename*0*=UTF-8''Part%20; filename*1=two.mp3"}, "Part two.mp3"),
    ({"content-disposition": 'attachment; filename="movies/Film.mp3"'}, "movies/Film.mp3"),
    ({"Content-Disposition": 'attachment; filename="Plain dict.mp3"'}, "Plain dict.mp3"),
    ({"CONTENT-DISPOSITION": 'attachment; filename="Shouted.mp3"'}, "Shouted.mp3"),
    (CaseInsensitiveDict({"Content-Disposition": 'attachment; filename="Any case.mp3"'}), "Any case.mp3"),
])
def test_served_file_name(client, headers, name):
    assert client._get_filename_from_headers(headers) == name


# ---------------------------------------------------------------------------
# get_stream_url

@pytest.mark.parametrize("disposition, suffix", [
    ('attachment; filename="Film.m4a"', ".m4a"),
    ("attachment; filename=Film.m4a", ".m4a"),
    ('attachment; filename="shows/Episode.OGG"', ".OGG"),
    ('attachment; filename="No extension"', ".mp3"),
    ('attachment; filename=".hidden"', ".mp3"),
    (None, ".mp3"),
    # only a plain suffix is taken: a dot and 1 to 10 ASCII letters or digits
    ('attachment; filename="Film.tar.gz"', ".gz"),
    ('attachment; filename="Film.m<4>a"', ".m4a"),
    ("attachment; filename*=UTF-8''Film.m4a%00", ".m4a"),
    ('attachment; filename="CON.m4a"', ".m4a"),
    ('attachment; filename="Film.mp3 (1)"', ".mp3"),
    ('attachment; filename="Film.a b"', ".mp3"),
    ('attachment; filename="Film.abcdefghijk"', ".mp3"),
    ('attachment; filename="Film.abcdefghij"', ".abcdefghij"),
    ("attachment; filename*=UTF-8''Film.%C3%A9t%C3%A9", ".mp3"),
    ('attachment; filename="Film."', ".mp3"),
    ('attachment; filename="Film.x/y"', ".mp3"),
    ('attachment; filename=".:."', ".mp3"),
])
def test_stream_file_holds_the_body(server, logged_in, temp_folder, responses, caplog, disposition, suffix):
    caplog.set_level(logging.INFO, "core.quietshelf_client")
    server.add("/files/1", body=BODY, disposition=disposition)
    path = logged_in.get_stream_url(server.url("/files/1"))
    assert isinstance(path, str) and Path(path).parent == temp_folder
    name = Path(path).name
    assert re.fullmatch(r"quietshelf_[a-z0-9_]+" + re.escape(suffix), name), name
    assert Path(path).read_bytes() == BODY
    assert infos(caplog)[-1] == f"Downloaded stream to temp file: {path}"
    (entry,) = responses
    assert entry["call"] == ((server.url("/files/1"),), {"stream": True, "timeout": 30}) and entry["closed"] == 1


def test_stream_file_with_a_path_splitter_that_gives_a_list(server, logged_in, temp_folder, monkeypatch):
    real = os.path.splitext
    monkeypatch.setattr(os.path, "splitext", lambda name: list(real(name)))
    server.add("/files/1", body=BODY, disposition='attachment; filename="Film.m4a"')
    path = logged_in.get_stream_url(server.url("/files/1"))
    assert path.endswith(".m4a") and Path(path).read_bytes() == BODY


def test_stream_file_is_made_by_tempfile_at_call_time(server, logged_in, temp_folder, monkeypatch):
    server.add("/files/1", body=BODY, disposition='attachment; filename="Film.m4a"')
    calls = []
    real = tempfile.mkstemp

    def mkstemp(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(tempfile, "mkstemp", mkstemp)
    first, second = (logged_in.get_stream_url(server.url("/files/1")) for _ in range(2))
    assert first != second and calls == [((), {"prefix": "quietshelf_", "suffix": ".m4a"})] * 2


def test_every_failure_after_the_file_is_made_removes_it(server, logged_in, temp_folder, responses, monkeypatch):
    server.add("/files/empty", body=b"")
    server.add("/files/unsized", body=BODY, content_length=False)
    cases = [
        ("/files/empty", "File has no content"),
        ("/files/unsized", "File has no content"),
    ]
    for path, text in cases:
        assert str(api_error(lambda: logged_in.get_stream_url(server.url(path)))) == text
    assert list(temp_folder.iterdir()) == []
    assert [e["closed"] for e in responses] == [1, 1]


@pytest.mark.parametrize("route, written, detail", SHORT_BODIES)
def test_short_stream_fails_and_leaves_no_file(server, logged_in, temp_folder, responses, route, written, detail):
    server.add("/files/1", **route)
    assert str(api_error(lambda: logged_in.get_stream_url(server.url("/files/1")))) == (
        "Stream download failed: " + detail)
    assert list(temp_folder.iterdir()) == [] and [e["closed"] for e in responses] == [1]


@pytest.mark.parametrize("raised, caught, text", [
    (requests.exceptions.ChunkedEncodingError("broken"), qc.QuietshelfAPIError, "Stream download failed: broken"),
    (KeyboardInterrupt(), KeyboardInterrupt, ""),
    (RuntimeError("odd"), RuntimeError, "odd"),
])
def test_body_that_breaks_off_leaves_no_file(server, logged_in, temp_folder, responses, monkeypatch,
                                             raised, caught, text):
    server.add("/files/1", body=BODY)

    def iter_content(self, chunk_size=1, decode_unicode=False):
        yield BODY[:chunk_size]
        raise raised

    monkeypatch.setattr(requests.Response, "iter_content", iter_content)
    with pytest.raises(caught) as error:
        logged_in.get_stream_url(server.url("/files/1"))
    assert str(error.value) == text
    assert list(temp_folder.iterdir()) == [] and [e["closed"] for e in responses] == [1]


def test_content_length_that_is_no_number_passes_and_leaves_no_file(server, logged_in, temp_folder, announce):
    server.add("/files/1", body=BODY)
    announce("lots")
    with pytest.raises(ValueError, match="invalid literal for int"):
        logged_in.get_stream_url(server.url("/files/1"))
    assert list(temp_folder.iterdir()) == []


def test_compressed_body_is_stored_decoded(server, logged_in, temp_folder):
    noise = os.urandom(50000)  # its gzip form is longer than itself
    server.add("/files/1", body=noise, gzip=True)
    assert Path(logged_in.get_stream_url(server.url("/files/1"))).read_bytes() == noise


@pytest.mark.parametrize("route, text", [
    ({"status": 404}, "Stream download failed: 404 Client Error: Not Found for url: {url}"),
    ({"status": 500}, "Stream download failed: 500 Server Error: Internal Server Error for url: {url}"),
    ({"redirect": ""}, "Session expired. Please log in again."),
    ({"content_type": "text/html; charset=UTF-8"}, "Session expired. Please log in again."),
    ({"status": 404, "content_type": "TEXT/HTML"}, "Stream download failed: 404 Client Error: Not Found for url: {url}"),
])
def test_stream_answers_that_are_no_file(server, logged_in, temp_folder, responses, route, text):
    server.add("/files/1", body=BODY, **route)
    url = server.url("/files/1")
    assert str(api_error(lambda: logged_in.get_stream_url(url))) == text.format(url=url)
    assert list(temp_folder.iterdir()) == [] and [e["closed"] for e in responses] == [1]


def test_expired_session_is_the_log_in_page(server, logged_in, temp_folder):
    server.add("/files/1", body=BODY)
    server.expire()
    assert str(api_error(lambda: logged_in.get_stream_url(server.url("/files/1")))) == (
        "Session expired. Please log in again.")
    assert [r.path for r in server.log[-2:]] == ["/files/1", "/login"]


def test_not_logged_in_sends_nothing(server, client):
    assert str(api_error(lambda: client.get_stream_url(server.url("/files/1")))) == (
        "Not logged in. Please log in before streaming.")
    assert server.log == []


@pytest.mark.parametrize("url, cause", [
    ("http://127.0.0.1:9/files/1", requests.ConnectionError),
    ("/files/1", requests.exceptions.MissingSchema),
    (None, requests.exceptions.MissingSchema),
])
def test_unreachable_file(logged_in, temp_folder, url, cause):
    error = api_error(lambda: logged_in.get_stream_url(url))
    assert isinstance(error.__cause__, cause) and str(error) == f"Stream download failed: {error.__cause__}"


def test_stream_url_must_be_text(logged_in):
    with pytest.raises(TypeError, match="argument 'download_url' must be str, not bytes"):
        logged_in.get_stream_url(b"http://127.0.0.1/")


def test_temporary_folder_that_is_missing(server, logged_in, tmp_path, monkeypatch):
    server.add("/files/1", body=BODY)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "missing"))
    error = api_error(lambda: logged_in.get_stream_url(server.url("/files/1")))
    assert isinstance(error.__cause__, FileNotFoundError)
    assert str(error) == f"Failed to write temp file: {error.__cause__}"


def test_full_disk_removes_the_stream_file(server, home, tmp_path):
    """A file-size limit stands in for a full disk: the write fails with
    the system's own error and the partly written file goes."""
    server.add("/files/big", body=BODY * 100, login_required=False)
    folder = tmp_path / "temp"
    folder.mkdir()
    done = run_python(f"""
        import resource, signal, tempfile
        from core import quietshelf_client as qc
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
        tempfile.tempdir = {str(folder)!r}
        client = qc.QuietshelfClient()
        client.logged_in = True
        try:
            client.get_stream_url({server.url("/files/big")!r})
        except qc.QuietshelfAPIError as error:
            print(error)
        """, home)
    assert done.stdout == "Failed to write temp file: [Errno 27] File too large\n", done.stderr
    assert list(folder.iterdir()) == []


# ---------------------------------------------------------------------------
# download

def test_download_warns_at_every_call_from_its_caller(client):
    for _ in range(2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert str(api_error(lambda: client.download("http://127.0.0.1:9/x"))) == (
                "Not logged in. Please log in before downloading.")
        (warning,) = caught
        assert (warning.category, str(warning.message), warning.filename) == (DeprecationWarning, DEPRECATION, __file__)


def test_download_with_warnings_as_errors_raises_before_anything(server, logged_in):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            logged_in.download(server.url("/files/1"))
    assert [r.path for r in server.log if r.path.startswith("/files")] == []


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
class TestDownload:
    def test_without_destination_the_served_name_lands_in_the_current_folder(self, server, logged_in, work,
                                                                             monkeypatch, caplog, responses):
        caplog.set_level(logging.INFO, "core.quietshelf_client")
        monkeypatch.chdir(work)
        server.add("/files/1", body=BODY)
        assert logged_in.download(server.url("/files/1")) == "download.mp3"
        assert (work / "download.mp3").read_bytes() == BODY
        assert infos(caplog)[-1] == "Downloaded file to: download.mp3"
        (entry,) = responses
        assert entry["call"] == ((server.url("/files/1"),), {"stream": True, "timeout": 30}) and entry["closed"] == 1

    @pytest.mark.parametrize("disposition, name", [
        ('attachment; filename="The Film.m4a"', "The Film.m4a"),
        ('attachment; filename="../escape.mp3"', "escape.mp3"),
        ('attachment; filename="movies/../../up.mp3"', "up.mp3"),
        ('attachment; filename="..\\\\..\\\\Startup\\\\run.mp3"', "run.mp3"),
        ('attachment; filename="/etc/cron.d/job"', "job"),
        ('attachment; filename="C:film.mp3"', "film.mp3"),
        ('attachment; filename=".."', "download.mp3"),
        ('attachment; filename="."', "download.mp3"),
        ('attachment; filename="movies/"', "download.mp3"),
        ("attachment; filename*=UTF-8''..%2F..%2Fx.mp3", "x.mp3"),
        # what a safe file name loses, the served name loses as well
        ('attachment; filename="Film: Part <1>?.mp3"', "Film Part 1.mp3"),
        ('attachment; filename="Film.mp3:hidden"', "Film.mp3hidden"),
        ('attachment; filename="a|b*c\\"d.mp3"', "abcd.mp3"),
        ("attachment; filename*=UTF-8''Fi%00lm%1B%7F.mp3", "Film.mp3"),
        ('attachment; filename="::"', "download.mp3"),
        ('attachment; filename=".:."', "download.mp3"),
        ("attachment; filename*=UTF-8''%00", "download.mp3"),
        # and never names a device
        ('attachment; filename="CON"', "CON_"),
        ('attachment; filename="nul.tar.gz"', "nul_.tar.gz"),
        ('attachment; filename="Aux.mp3"', "Aux_.mp3"),
        ('attachment; filename="shows/lpt1.m4a"', "lpt1_.m4a"),
        ('attachment; filename="COM<9>.mp3"', "COM9_.mp3"),
        ('attachment; filename="COM10.mp3"', "COM10.mp3"),
        ('attachment; filename="CONSOLE.mp3"', "CONSOLE.mp3"),
        ('attachment; filename="CON .mp3"', "CON_ .mp3"),
        # within a file name's bounds, as the downloaders store it
        pytest.param("attachment; filename*=UTF-8''" + "%E6%97%A5" * 100 + ".m4a", "\u65e5" * 66 + ".m4a",
                     id="name-long-in-utf-8"),
    ])
    def test_into_a_folder_the_served_name_stays_inside_it(self, server, logged_in, work, disposition, name):
        folder = work / "a" / "b"
        folder.mkdir(parents=True)
        server.add("/files/1", body=BODY, disposition=disposition)
        assert logged_in.download(server.url("/files/1"), str(folder)) == os.path.join(str(folder), name)
        assert [p.name for p in folder.iterdir()] == [name] and (folder / name).read_bytes() == BODY
        assert sorted(p.name for p in work.rglob("*")) == sorted(["a", "b", name])

    @pytest.mark.parametrize("as_path", [str, Path])
    def test_to_a_file_path(self, server, logged_in, work, as_path):
        target = work / "chosen.bin"
        target.write_bytes(b"old content that is longer than nothing" * 1000)
        server.add("/files/1", body=BODY, disposition='attachment; filename="Film.m4a"')
        assert logged_in.download(server.url("/files/1"), as_path(target)) == as_path(target)
        assert target.read_bytes() == BODY and sorted(p.name for p in work.iterdir()) == ["chosen.bin"]

    def test_destination_of_another_type_is_refused(self, logged_in):
        with pytest.raises(TypeError, match="argument 'destination'"):
            logged_in.download("http://127.0.0.1:9/x", 3)

    def test_folder_that_does_not_exist(self, server, logged_in, work):
        server.add("/files/1", body=BODY)
        target = work / "missing" / "film.mp3"
        error = api_error(lambda: logged_in.download(server.url("/files/1"), str(target)))
        assert str(error) == f"Failed to write file: [Errno 2] No such file or directory: '{target}'"

    def test_progress_is_a_percentage_of_the_announced_size_with_the_bytes_on_disk(self, server, logged_in, work):
        server.add("/files/1", body=BODY[:20000])
        target = work / "f.mp3"
        seen = []
        logged_in.download(server.url("/files/1"), str(target), lambda p: seen.append((p, target.stat().st_size)))
        assert seen == [(40, 8192), (81, 16384), (100, 20000)]
        assert all(type(p) is int for p, _ in seen)

    def test_progress_beyond_the_announced_size_is_not_clamped(self, server, logged_in, work, announce):
        server.add("/files/1", body=BODY[:20000])
        announce("10000")
        seen = []
        logged_in.download(server.url("/files/1"), str(work / "f.mp3"), seen.append)
        assert seen == [81, 163, 200]

    @pytest.mark.parametrize("raised, caught, text", [
        (ValueError("stop"), ValueError, "stop"),
        (OSError(28, "No space left on device"), qc.QuietshelfAPIError,
         "Failed to write file: [Errno 28] No space left on device"),
        (requests.ConnectionError("gone"), qc.QuietshelfAPIError, "Download failed: gone"),
    ])
    def test_callback_errors_end_the_download_with_the_file_as_written(self, server, logged_in, work, responses,
                                                                       raised, caught, text):
        server.add("/files/1", body=BODY)
        target = work / "f.mp3"

        def callback(percentage):
            raise raised

        with pytest.raises(caught) as error:
            logged_in.download(server.url("/files/1"), str(target), callback)
        assert str(error.value) == text
        assert target.read_bytes() == BODY[:8192] and responses[0]["closed"] == 1

    @pytest.mark.parametrize("route, text", [
        ({"body": b""}, "File has no content"),
        ({"content_length": False}, "File has no content"),
        ({"status": 404}, "Download failed: 404 Client Error: Not Found for url: {url}"),
        ({"content_type": "text/html"}, "Session expired. Please log in again."),
        ({"redirect": ""}, "Session expired. Please log in again."),
    ])
    def test_answers_that_are_no_file_write_nothing(self, server, logged_in, work, monkeypatch, responses,
                                                    route, text):
        monkeypatch.chdir(work)
        server.add("/files/1", **{"body": BODY, **route})
        url = server.url("/files/1")
        assert str(api_error(lambda: logged_in.download(url, None, print))) == text.format(url=url)
        assert list(work.iterdir()) == [] and [e["closed"] for e in responses] == [1]

    @pytest.mark.parametrize("route, written, detail", SHORT_BODIES)
    def test_short_body_fails_and_is_never_complete(self, server, logged_in, work, route, written, detail):
        server.add("/files/1", **route)
        target = work / "f.mp3"
        seen = []
        error = api_error(lambda: logged_in.download(server.url("/files/1"), str(target), seen.append))
        assert str(error) == "Download failed: " + detail
        assert seen[-1] < 100 and (written is None or target.stat().st_size == written)

    def test_expired_session(self, server, logged_in, work):
        server.add("/files/1", body=BODY)
        server.expire()
        assert str(api_error(lambda: logged_in.download(server.url("/files/1"), str(work)))) == (
            "Session expired. Please log in again.")
        assert list(work.iterdir()) == []
