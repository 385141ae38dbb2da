"""The host quits while downloads and other native work are in flight, also
while a worker runs the host's own code (a log handler, a progress callback,
a yt-dlp hook's callback) that is slow or never returns: every process ends
with status 0 and nothing on stderr, and every file left behind is a prefix
of what was served, holding at least the bytes its transfer had been given,
so the next start resumes from there.

Each scene (exit_scenes.py) runs RUNS times at once against servers in this
process; a crash that comes once in ten runs shows up here."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quietshelf_client.quietshelf_server import QuietshelfServer
from transfer_server import TransferServer, pattern

RUNS = 10
SIZE = 32 << 20  # far more than any run receives
BODY = pattern(SIZE)
SCENES = Path(__file__).with_name("exit_scenes.py")


@pytest.fixture(scope="module")
def podcast_urls():
    server = TransferServer().start()
    yield [server.add(f"/episode-{n}.mp3", BODY, piece=8192, trickle=0.002) for n in range(3)]
    server.stop()


@pytest.fixture(scope="module")
def quietshelf_urls():
    with QuietshelfServer() as server:
        for n in range(3):
            server.add(f"/files/{n}.mp3", body=BODY, trickle=0.002)
        yield [server.url("")] + [server.url(f"/files/{n}.mp3") for n in range(3)]


def run_scene(scene, urls, folder):
    """Starts RUNS processes of the scene, each with a folder of its own;
    returns [(folder, exit status, stderr)] once all have ended."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    started = []
    for n in range(RUNS):
        target = folder / f"run-{n}"
        process = subprocess.Popen(["/usr/bin/python3", str(SCENES), scene, str(target), *urls], cwd=folder,
                                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        started.append((target, process))
    ended = []
    for target, process in started:
        try:
            _, stderr = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            _, stderr = process.communicate()
        ended.append((target, process.returncode, stderr))
    return ended


# Each scene with the servers it downloads from (exit_scenes.py).
SCENE_SERVERS = [("podcast", "podcast_urls"), ("plain", "podcast_urls"), ("with_block", "podcast_urls"),
                 ("paused", "podcast_urls"), ("queued", "podcast_urls"), ("episode", "podcast_urls"),
                 ("quietshelf", "quietshelf_urls"), ("reelmoor", None), ("clients", None),
                 ("slow_log", "podcast_urls"), ("stuck_log", "podcast_urls"), ("speaking_log", "podcast_urls"),
                 ("slow_progress", "podcast_urls"),
                 ("reelmoor_host_code", None)]


@pytest.mark.parametrize("scene, servers", SCENE_SERVERS)
def test_the_process_ends_cleanly(scene, servers, request, tmp_path):
    urls = request.getfixturevalue(servers) if servers else ["http://127.0.0.1:9/unused"]
    ended = run_scene(scene, urls, tmp_path)
    assert [(status, stderr) for _, status, stderr in ended if (status, stderr) != (0, "")] == []
    for folder, _, _ in ended:
        for file in (p for p in folder.rglob("*") if p.is_file()):
            data = file.read_bytes()
            assert data == BODY[: len(data)], file
        record = folder.with_name(folder.name + ".received")
        if record.exists():  # the scene says how much each file had been given
            for name, received in json.loads(record.read_text()).items():
                assert (folder / "Show" / name).stat().st_size >= received, name


# Registered before core.downloader is imported, the hook runs after the
# module's own: the host has quit, so the downloader's worker parks as it
# starts, and the wait must not go on for good.
LATE_DOWNLOAD = """
import atexit, sys
atexit.register(lambda: print(dl.download_episode(sys.argv[1], "Episode", "Show", sys.argv[2], False)))
from core import downloader as dl
"""


def test_a_download_begun_once_the_host_quits_ends_as_failed(podcast_urls, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(["/usr/bin/python3", "-c", LATE_DOWNLOAD, podcast_urls[0], str(tmp_path / "late")],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "False\n")
