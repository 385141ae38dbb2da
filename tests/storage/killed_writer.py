"""A process that saves the data file over and over, killed with SIGKILL in
the middle of its work: what the tests of crash-safe saving share."""
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

WRITER = """
    import os, sys, threading
    from data.storage import ConsolidatedStorage
    s = ConsolidatedStorage()
    if sys.argv[1] == "stop before the rename":
        def stuck(src, dst):
            print("renaming", flush=True)
            threading.Event().wait()
        os.replace = stuck
        print("ready", flush=True)
    i = 0
    while True:
        i += 1
        s.set_section("downloads", {str(k): {"n": i, "pad": "é" * 200} for k in range(300)})
        if i == 1:
            print("ready", flush=True)
"""


def writer_env(home):
    """The environment of a writer whose home folder is `home`."""
    return dict(os.environ, HOME=str(home), USERPROFILE=str(home),
                PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def read_line(fd, timeout=30):
    """The next line the writer prints, read a byte at a time: a buffered
    read could take the line after it too, which select() then waits for in
    vain."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        assert left > 0 and select.select([fd], [], [], left)[0], "writer did not start"
        byte = os.read(fd, 1)
        assert byte, "writer ended"
        line += byte
    return line.decode().strip()


def kill_writer(env, mode, rng):
    """Runs the writer until it is saving, then kills it with SIGKILL: at a
    random moment of its loop ("random moment", drawn from `rng`) or while it
    waits in its first rename ("stop before the rename")."""
    proc = subprocess.Popen(["/usr/bin/python3", "-c", textwrap.dedent(WRITER), mode],
                            env=env, stdout=subprocess.PIPE, bufsize=0)
    try:
        for expected in ("ready", "renaming") if mode == "stop before the rename" else ("ready",):
            assert read_line(proc.stdout.fileno()) == expected
        if mode == "random moment":
            time.sleep(rng.uniform(0, 0.2))  # a random moment in the loop, not a synchronisation
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        proc.stdout.close()
