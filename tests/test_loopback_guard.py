"""The tests' own guard: nothing but loopback can be reached, in this
process or in the processes the tests start."""
import os
import socket
import subprocess
import sys

import pytest

import loopback_only

PROBE = """
import socket, sys
try:
    socket.create_connection(("192.0.2.1", 80), timeout=1)
except OSError as e:
    print("refused" if "loopback guard" in str(e) else "other: %s" % e)
else:
    print("connected")
"""


@pytest.fixture
def guard_log(tmp_path, monkeypatch):
    """A log of its own, so the refusals of these tests do not fail them."""
    log = tmp_path / "refused.log"
    log.touch()
    monkeypatch.setenv(loopback_only.LOG_VARIABLE, str(log))
    return log


@pytest.mark.parametrize("address", [("192.0.2.1", 80), ("2001:db8::1", 80, 0, 0), ("example.com", 443)])
def test_other_hosts_are_refused_and_recorded(guard_log, address):
    family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s, pytest.raises(OSError, match="loopback guard"):
        s.connect(address)
    with pytest.raises(OSError, match="loopback guard"):
        socket.getaddrinfo("video.example.com", 443)
    assert guard_log.read_text().count("\n") == 2


def test_loopback_is_reachable(guard_log):
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        socket.create_connection(server.getsockname(), timeout=5).close()
        socket.create_connection(("localhost", server.getsockname()[1]), timeout=5).close()
    assert guard_log.read_text() == ""


@pytest.mark.parametrize("inherit_path", [False, True])
def test_python_subprocesses_are_guarded(guard_log, inherit_path):
    env = dict(os.environ)
    if inherit_path:  # as the tests that hand a child this process's sys.path
        env["PYTHONPATH"] = os.pathsep.join(sys.path)
    done = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "refused", done.stderr
    assert "192.0.2.1" in guard_log.read_text()


def test_other_programs_meet_a_dead_proxy():
    assert os.environ["https_proxy"].startswith("http://127.0.0.1:")
    assert "127.0.0.1" in os.environ["no_proxy"]
