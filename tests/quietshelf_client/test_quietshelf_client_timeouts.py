"""QuietshelfClient gives up on a server that stops answering: every request
has the downloaders' time-out (30 seconds to connect and between reads), and
a time-out fails each operation the way its other request errors do."""
import tempfile
import threading

import pytest
import requests

from core import quietshelf_client as qc
from quietshelf_client.quietshelf_server import EMAIL, PASSWORD
from silent_server import SilentServer

SHORT = 0.2  # the time-out of these tests, in seconds
BODY = bytes(range(256)) * 80


@pytest.fixture
def silent():
    with SilentServer() as s:
        yield s


@pytest.fixture
def short_time_out(monkeypatch):
    """Every session request that asks for the client's 30 seconds waits SHORT instead."""
    real = requests.Session.request

    def request(session, method, url, **kwargs):
        assert kwargs.get("timeout") == 30
        return real(session, method, url, **dict(kwargs, timeout=SHORT))

    monkeypatch.setattr(requests.Session, "request", request)


@pytest.fixture
def folders(tmp_path, monkeypatch):
    """The temporary folder and the current folder, both empty, for this test only."""
    temp, work = tmp_path / "temp", tmp_path / "work"
    temp.mkdir()
    work.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    monkeypatch.chdir(work)
    return temp, work


def api_error(call):
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        call()
    return caught.value


def post_to(client, url, monkeypatch):
    """The log-in post goes to `url`, with everything else as the client sends it."""
    real = client.session.post
    monkeypatch.setattr(client.session, "post", lambda _, **kwargs: real(url, **kwargs))


def test_every_request_has_the_time_out(server, client, monkeypatch):
    seen = []
    real = client.session.request

    def request(method, url, **kwargs):
        seen.append((method, kwargs.get("timeout")))
        return real(method, url, **kwargs)

    monkeypatch.setattr(client.session, "request", request)
    assert client.login(EMAIL, PASSWORD) is True
    client.search("quiet")
    client.get_recents("shows")
    assert seen == [("GET", 30), ("POST", 30), ("GET", 30), ("GET", 30)]


STREAM = pytest.param(lambda c, url: c.get_stream_url(url), "Stream download failed: ", id="stream file")
DOWNLOAD = pytest.param(lambda c, url: c.download(url), "Download failed: ", id="download")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("operation, prefix", [
    pytest.param(lambda c, url: c.login(EMAIL, PASSWORD), "Login request failed: ", id="log-in page"),
    pytest.param(lambda c, url: c.search("quiet"), "Search request failed: ", id="search"),
    pytest.param(lambda c, url: c.get_recents("shows"), "Request failed: ", id="recent additions"),
    STREAM,
    DOWNLOAD,
])
def test_silent_server(silent, short_time_out, folders, operation, prefix):
    client = qc.QuietshelfClient(silent.url())
    client.logged_in = True
    error = api_error(lambda: operation(client, silent.url("/files/1")))
    assert isinstance(error.__cause__, requests.Timeout) and str(error) == prefix + str(error.__cause__)
    assert client.logged_in is True and [list(f.iterdir()) for f in folders] == [[], []]


def test_log_in_post_to_a_silent_server(server, client, silent, short_time_out, monkeypatch):
    post_to(client, silent.url("/login"), monkeypatch)
    error = api_error(lambda: client.login(EMAIL, PASSWORD))
    assert isinstance(error.__cause__, requests.Timeout)
    assert str(error) == "Login request failed: " + str(error.__cause__) and client.logged_in is False


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("operation, prefix", [STREAM, DOWNLOAD])
def test_body_that_stops_coming(server, logged_in, short_time_out, folders, operation, prefix):
    route = server.add("/files/1", body=BODY, hold_after=8192, release=threading.Event())
    error = api_error(lambda: operation(logged_in, server.url("/files/1")))
    assert route.held.is_set() and "Read timed out." in str(error)
    assert isinstance(error.__cause__, requests.RequestException) and str(error) == prefix + str(error.__cause__)
    temp, work = folders
    assert list(temp.iterdir()) == []
