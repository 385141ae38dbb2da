"""Fixtures for the consolidated store's tests: the data file's place, a
frozen clock and a runner for code that needs a process of its own
(restarts, import-time behaviour, resource limits)."""
import os
import subprocess
import sys
import textwrap

import pytest

PYTHON = "/usr/bin/python3"


@pytest.fixture
def data_file(home):
    """The data file of this test's home folder."""
    return home / "Documents" / "Velmora" / "velmora.dat"


@pytest.fixture
def clock_start():
    """Where the frozen clock stands when a test starts (a test file may
    override this fixture)."""
    return (2025, 1, 31, 18, 5, 42, 250000)


@pytest.fixture
def clock(fresh_store, monkeypatch, clock_start):
    """data.storage's `datetime`, frozen at `current` (set it to move the
    clock); tick() moves it on one second and returns the new time as text."""
    real = fresh_store.datetime

    class Frozen(real):
        current = real(*clock_start)

        @classmethod
        def now(cls, tz=None):
            return cls.current

        @classmethod
        def tick(cls):
            cls.current = cls.current.replace(second=cls.current.second + 1)
            return cls.current.isoformat()

    monkeypatch.setattr(fresh_store, "datetime", Frozen)
    return Frozen


@pytest.fixture
def run_py(home):
    """run_py(code) runs `code` in a new interpreter with this test's home
    folder and the same import path; returns the finished process."""

    def run(code, timeout=60, check=True):
        env = dict(os.environ)
        env["HOME"] = str(home)
        env["USERPROFILE"] = str(home)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        proc = subprocess.run(
            [PYTHON, "-c", textwrap.dedent(code)],
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if check:
            assert proc.returncode == 0, proc.stderr
        return proc

    return run

