"""The host quits while downloads of a compressed answer are in flight: the
processes end cleanly, and no partial file keeps a byte, since what a
compressed answer brought came decoded and a Range counts compressed bytes:
no later start may resume from it (test_downloader_exit.py has the plain
answers, whose partial files are kept)."""
import gzip
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

from transfer_server import TransferServer

RUNS = 5
NOISE = random.Random(3).randbytes(8 << 20)  # hardly compresses: the body takes seconds to trickle out

# The podcast scene of exit_scenes.py: three downloads under way, then the
# script ends while the interpreter's end lingers.
SCENE = """
import sys
sys.path.insert(0, sys.argv[1])
import exit_scenes
exit_scenes.podcast(sys.argv[2], sys.argv[3:])
sys.exit_scene_linger = exit_scenes.Linger(1.2)
"""


@pytest.fixture(scope="module")
def urls():
    server = TransferServer().start()
    packed = gzip.compress(NOISE, compresslevel=1, mtime=0)
    yield [server.add(f"/episode-{n}.mp3", packed, encoding="gzip", piece=8192, trickle=0.002) for n in range(3)]
    server.stop()


def test_no_partial_file_of_a_compressed_answer_is_kept(urls, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    here = str(Path(__file__).parent)
    started = [subprocess.Popen(["/usr/bin/python3", "-c", SCENE, here, str(tmp_path / f"run-{n}"), *urls],
                                cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
               for n in range(RUNS)]
    ended = []
    for process in started:
        try:
            _, stderr = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            _, stderr = process.communicate()
        ended.append((process.returncode, stderr))
    assert [e for e in ended if e != (0, "")] == []
    parts = sorted(tmp_path.rglob("*.part"))
    assert len(parts) == 3 * RUNS
    assert [p for p in parts if p.stat().st_size] == []
