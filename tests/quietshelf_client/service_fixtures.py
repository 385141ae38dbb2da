"""Fixtures of the tests that talk to the loopback fake of the service (the
client's and the downloader's): the fake, a client of it, and that client
logged in. A test module or conftest imports the ones it uses."""
import pytest

from core import quietshelf_client as qc
from quietshelf_client.quietshelf_server import EMAIL, PASSWORD, QuietshelfServer


@pytest.fixture
def server():
    with QuietshelfServer() as srv:
        yield srv


@pytest.fixture
def client(server):
    return qc.QuietshelfClient(server.url(""))


@pytest.fixture
def logged_in(client):
    assert client.login(EMAIL, PASSWORD) is True
    return client
