"""What the downloader tests share: bounded waiting, the bodies of the loopback
files, answers whose body ends short, the downloader's log lines, downloaders
that are shut down when the test ends, and a response that gives empty chunks."""
import gzip
import logging
import os
import time

import pytest

BODY = bytes(range(256)) * 200  # 51200 bytes: six full chunks and a short one
HELD = 16384  # two full chunks are sent before a held body waits

NOISE = os.urandom(40000)  # hardly compresses: the compressed body is as long as the plain one
PACKED = len(gzip.compress(NOISE))
# Answers (file_routes.Route options) whose body ends before it is whole, the
# text of the error the transfer fails with, and whether the partial file is
# kept (one written from a compressed answer is not: nothing can resume it).
SHORT_ANSWERS = [
    pytest.param({"body": NOISE, "gzip": True, "short_by": PACKED // 2},
                 f"Connection closed early: {PACKED - PACKED // 2} of {PACKED} bytes arrived", False, id="compressed"),
    pytest.param({"body": BODY, "announced": 1 << 64},
                 f"Connection closed early: {len(BODY)} of {1 << 64} bytes arrived", True, id="length past 63 bits"),
    pytest.param({"body": b"", "content_length": False}, "Connection closed early: no bytes arrived", True,
                 id="no length, no body"),
    pytest.param({"status_line_only": True}, "Connection closed early: no bytes arrived", True, id="status line only"),
]


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
