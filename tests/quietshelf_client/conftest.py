"""Fixtures of the service client tests: the loopback fake of the service
and clients of it."""
import pytest

from core import quietshelf_client as qc
from quietshelf_server import EMAIL, PASSWORD, QuietshelfServer


@pytest.fixture
def server():
    srv = QuietshelfServer().start()
    yield srv
    srv.stop()


@pytest.fixture
def client(server):
    return qc.QuietshelfClient(server.url(""))


@pytest.fixture
def logged_in(client):
    assert client.login(EMAIL, PASSWORD) is True
    return client
