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


def kill_writer(env, mode, rng):
    """Runs the writer until it is saving, then kills it with SIGKILL: at a
    random moment of its loop ("random moment", drawn from `rng`) or while it
    waits in its first rename ("stop before the rename")."""
    proc = subprocess.Popen(["/usr/bin/python3", "-c", textwrap.dedent(WRITER), mode],
                            env=env, stdout=subprocess.PIPE, text=True)
    try:
        for expected in ("ready", "renaming") if mode == "stop before the rename" else ("ready",):
            assert select.select([proc.stdout], [], [], 30)[0], "writer did not start"
            assert proc.stdout.readline().strip() == expected
        if mode == "random moment":
            time.sleep(rng.uniform(0, 0.2))  # a random moment in the loop, not a synchronisation
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        proc.stdout.close()
