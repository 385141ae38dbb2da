"""What the downloader tests share: bounded waiting, the bodies of the loopback
files, the downloader's log lines, downloaders that are shut down when the test
ends, and a response that gives empty chunks."""
import logging
import time

import pytest

BODY = bytes(range(256)) * 200  # 51200 bytes: six full chunks and a short one
HELD = 16384  # two full chunks are sent before a held body waits


def wait_until(condition, timeout=10.0):
    """Polls `condition` until it is true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def logged(caplog, level):
    """The messages the module logger wrote at `level`."""
    return [r.getMessage() for r in caplog.records if r.name == "core.downloader" and r.levelno == level]


def infos(caplog):
    return logged(caplog, logging.INFO)


@pytest.fixture
def shut_down():
    """shut_down(d) returns d and shuts it down (its tasks cancelled) when the test ends."""
    made = []

    def keep(d):
        made.append(d)
        return d

    yield keep
    for d in made:
        for task in d.get_all_active():
            task.cancel_flag.set()
        d.shutdown(wait=True)


def with_empty_chunks(response):
    """Makes a response give an empty chunk before each of its chunks (requests can)."""
    real = response.iter_content

    def iter_content(chunk_size):
        assert chunk_size == 8192
        for chunk in real(chunk_size):
            yield b""
            yield chunk

    response.iter_content = iter_content
