"""Fixtures for the consolidated store's tests: the data file's place and a
runner for code that needs a process of its own (restarts, import-time
behaviour, resource limits)."""
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

