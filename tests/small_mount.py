"""A small tmpfs mounted on a folder, for tests that need a real read-only
or full file system. Only root may mount one: elsewhere the test skips
itself."""
import contextlib
import os
import subprocess

import pytest


@contextlib.contextmanager
def small_tmpfs(folder, size="1m"):
    """A tmpfs of `size` on `folder` (made when missing) while the block
    runs; its content goes with it."""
    if os.name != "posix" or os.geteuid() != 0:
        pytest.skip("mounting a file system needs root")
    folder.mkdir(parents=True, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a file system here: " + done.stderr.strip())
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


def remount_read_only(folder):
    """The file system mounted on `folder` takes no more writes from now on."""
    subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)
