"""Shared fixtures: every test runs with a home folder of its own, so the
Documents folder and everything Velmora writes there stay inside tmp_path;
every test has a system temporary folder of its own that it must leave
empty; and no test, nor any process it starts, reaches a host other than
loopback."""
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

TESTS = Path(__file__).parent
NETGUARD = TESTS / "netguard"
for folder in (TESTS, NETGUARD):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

import loopback_only  # noqa: E402  (needs the folder above on the path)

# The system temporary folder as the session found it. Tests that need a
# folder other users can reach make it here, and remove it themselves.
SYSTEM_TEMP = tempfile.gettempdir()
_listdir = os.listdir  # tests may replace os.listdir until their teardown

# Subprocesses: Python ones load the guard through netguard/sitecustomize.py
# (on PYTHONPATH, and on sys.path for those given this process's path); any
# other program that honours the proxy variables meets a dead port on loopback.
_GUARD_LOG = Path(tempfile.mkdtemp(prefix="velmora-netguard-")) / "refused.log"
_GUARD_LOG.touch()
os.environ[loopback_only.LOG_VARIABLE] = str(_GUARD_LOG)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(NETGUARD), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))])
for variable in ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy"):
    os.environ[variable] = os.environ[variable.upper()] = "http://127.0.0.1:9"
os.environ["no_proxy"] = os.environ["NO_PROXY"] = "127.0.0.1,localhost,::1"
loopback_only.install()


def pytest_unconfigure(config):
    shutil.rmtree(_GUARD_LOG.parent, ignore_errors=True)


@pytest.fixture(autouse=True)
def system_temp(tmp_path_factory, monkeypatch):
    """The system temporary folder, for this test and every process it
    starts, is a new empty folder; the test fails when something is left
    in it. A folder per test (not the shared one, where other programs come
    and go) tells which test left what."""
    folder = tmp_path_factory.mktemp("system-temp")
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    for variable in ("TMPDIR", "TEMP", "TMP"):
        monkeypatch.setenv(variable, str(folder))
    yield folder
    left = sorted(_listdir(folder))
    assert not left, f"left in the system temporary folder: {left}"


@pytest.fixture(autouse=True)
def loopback_only_traffic():
    """Fails the test when it, or a process it started, tried to reach any
    host but loopback (the attempt itself was refused)."""
    before = _GUARD_LOG.stat().st_size
    yield
    with open(_GUARD_LOG, encoding="utf-8") as log:
        log.seek(before)
        refused = log.read()
    assert not refused, "traffic to a host other than loopback was attempted:\n" + refused


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))
    return home


@pytest.fixture
def shared_folder():
    """A new folder that other users can reach (pytest's own folders are
    closed to them), in the system temporary folder; removed after the test."""
    folder = Path(tempfile.mkdtemp(prefix="velmora-shared-", dir=SYSTEM_TEMP))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def fresh_store(home):
    """data.storage with its single ConsolidatedStorage instance reset, so the
    next construction loads the data file of this test's home folder."""
    from data import storage

    storage.ConsolidatedStorage._instance = None
    yield storage
    storage.ConsolidatedStorage._instance = None
