"""Helpers for tests of module-level behaviour that several modules share:
a class's own methods, code run in a new interpreter (also as an
unprivileged user), two threads racing for a module's single instance, a
forked child while another thread is inside a call, and the test-only probe
modules."""
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import traceback
from pathlib import Path

import pytest


def assert_own_methods(cls, methods, doc_of=lambda method: method.__doc__):
    """`cls` itself defines exactly `methods` (other dunder names aside), in
    their order, each a (name, signature, docstring) as doc_of gives it."""
    own = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
    assert own == [name for name, _, _ in methods]
    for name, signature, doc in methods:
        method = getattr(cls, name)
        assert (str(inspect.signature(method)), doc_of(method)) == (signature, doc), name


def run_python(script, home, block_wx=False):
    """Runs `script` in a new interpreter with HOME at `home` and this import
    path; `sys` is imported first, and block_wx makes `import wx` fail.
    Returns the finished process."""
    prelude = "import sys\n" + ("sys.modules['wx'] = None\n" if block_wx else "")
    env = dict(os.environ, HOME=str(home), PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=120)


# The unprivileged user the permission tests run as (tests run as root, and
# root may write any file whatever its permission bits say).
NOBODY = 65534


def run_python_as_nobody(script, args, home, folders=()):
    """Runs `script` with `args` in a new interpreter as the user NOBODY
    (its group alone), with HOME and the temporary folder at `home`, which
    that user must be able to reach. The checkout may lie in a folder closed
    to that user (a clone in a private temporary folder): the packages core
    and data, the loopback guard and `folders` (more folders for the import
    path) are copied under `home` and come first on this import path.
    Returns the finished process."""
    copies = Path(home) / "import-path"
    packages = copies / "packages"
    for name in ("core", "data"):
        shutil.copytree(importlib.import_module(name).__path__[0], packages / name)
    reachable = [copies / "netguard", packages]
    shutil.copytree(Path(__file__).parent / "netguard", reachable[0])
    for index, folder in enumerate(folders):
        reachable.append(copies / str(index))
        shutil.copytree(folder, reachable[-1])
    path = [str(p) for p in reachable] + [p for p in sys.path if p]
    env = dict(os.environ, HOME=str(home), TMPDIR=str(home), PYTHONPATH=os.pathsep.join(path))
    command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
               "/usr/bin/python3", "-c", textwrap.dedent(script), *args]
    return subprocess.run(command, env=env, cwd=home, capture_output=True, text=True, timeout=120)


def first_calls_from_two_threads(monkeypatch, module, class_name, get):
    """Calls get() from two threads while the first construction of
    module.<class_name> (replaced by a slow stand-in) is still under way.
    Returns the stand-ins made (each with `.args`, the (args, kwargs) it was
    called with) and the results of the two calls."""
    made = []
    first_inside, second_inside, release = threading.Event(), threading.Event(), threading.Event()

    class Slow:
        def __init__(self, *args, **kwargs):
            self.args = (args, kwargs)
            made.append(self)
            if len(made) == 1:
                first_inside.set()
                release.wait(10)
            else:
                second_inside.set()

    monkeypatch.setattr(module, class_name, Slow)
    results = []
    threads = [threading.Thread(target=lambda: results.append(get())) for _ in range(2)]
    threads[0].start()
    assert first_inside.wait(10)
    threads[1].start()
    second_inside.wait(0.5)  # without a guard the second thread builds its own now
    release.set()
    for t in threads:
        t.join(10)
    return made, results

class Gate:
    """Where a stand-in stops another thread inside a call: `stop` sets
    `entered` and waits (at most 10 seconds) for `release`. A forked child
    has copies of both; it sets its own `release`, and its own calls pass."""

    def __init__(self):
        self.entered, self.release = threading.Event(), threading.Event()

    def stop(self, *args, **kwargs):
        self.entered.set()
        self.release.wait(10)

    def hold(self, call):
        """Runs call() on a daemon thread; returns once it stopped here."""
        self.thread = threading.Thread(target=call, daemon=True)
        self.thread.start()
        assert self.entered.wait(10)

    def finish(self):
        """Lets the held call go on, and waits for its end."""
        self.release.set()
        self.thread.join(10)


def first_call_in_a_forked_child(monkeypatch, module, class_name, get):
    """Forks while another thread's first call of get() is inside the first
    construction of module.<class_name> (replaced by a stand-in that stops
    there), and makes the first call of the child's own. Returns the child's
    exit code (see forked_child_exit_code): 0 once that call returned."""
    gate = Gate()

    class Held:
        def __init__(self, *args, **kwargs):
            gate.stop()

    monkeypatch.setattr(module, class_name, Held)
    gate.hold(get)

    def child():
        gate.release.set()
        get()

    try:
        return forked_child_exit_code(child)
    finally:
        gate.finish()


def forked_child_exit_code(body, timeout=20.0):
    """Forks this process; the child runs body() and ends at once with
    os._exit: 0 when body returned, 1 when it raised (its traceback on
    stderr). Returns the child's exit code. A child still running after
    `timeout` seconds (waiting for a lock no thread of its own holds) is
    killed, and the test fails."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail(f"the forked child did not end within {timeout} seconds")
        time.sleep(0.02)


def load_probe(name, tests_folder):
    """The test-only module `name`, built with the unit tests
    (-Dunit_tests=true): on the path when the tests run from a dev-stage
    folder, else taken from the repository's build-unit folder; None when it
    is not built. scripts/test always builds it: there (and in CI) a missing
    probe is a failure."""
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    folder = Path(__file__).resolve().parent.parent / "build-unit" / "tests" / tests_folder
    if folder.is_dir():
        sys.path.append(str(folder))
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    if os.environ.get("CI"):
        raise ImportError(f"{name} is not built (scripts/test builds it in build-unit)")
    return None
