#!/usr/bin/python3
"""Download throughput of PodcastDownloader against a loopback server.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_download.py [MiB [ROUNDS]]

Serves MiB mebibytes (default 512) from a server in a child process and
downloads them with each of the variants below, in ROUNDS rounds (default 5)
that run every variant once, in turn, so a busy machine or disk slows all of
them alike. Loopback figures on a shared disk vary from run to run: compare
only within one run.

  (a)  curl -o /dev/null: the ceiling; (a2) curl into a file, the ceiling
       of any transfer that writes its file;
  (i)  iter_content(8192) alone, nothing written (on the calling thread);
  (b)  the transfer loop in plain Python with requests (iter_content(8192),
       one write per chunk, the same per-chunk checks and progress arithmetic),
       on a worker thread that the calling thread polls as it polls the
       downloader, so both pay the same thread switches; once without and
       once with a no-op progress callback;
  (c)  one PodcastDownloader download, without and with a no-op callback;
  (b3) three plain-Python loops at once, each on its worker thread;
  (d)  three PodcastDownloader downloads at once.

Prints, per variant, the median MB/s with the lowest and highest of the
rounds, and the median CPU seconds per GB (this process's CPU, every thread;
curl's own CPU for curl); then the ratios of the medians.
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from plain_progress import PyProgress

CHUNK = 8192
POLL = 0.002  # how often the calling thread looks whether the transfers are done


def serve(size):
    block = memoryview(bytes(range(256)) * 4096)  # 1 MiB

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "audio/mpeg")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            left = size
            while left:
                n = min(left, len(block))
                self.wfile.write(block[:n])
                left -= n

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    print(httpd.server_address[1], flush=True)
    # Stops by itself once the parent is gone (stdin closes).
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    sys.stdin.read()
    httpd.shutdown()


def plain_loop(requests, url, path, callback=None):
    """The transfer loop in plain Python."""
    cancel_flag, pause_flag = threading.Event(), threading.Event()
    progress = PyProgress()
    progress.status = "downloading"
    response = requests.get(url, stream=True, timeout=30, allow_redirects=True)
    response.raise_for_status()
    progress.total_bytes = int(response.headers.get("content-length"))
    with open(path, "wb") as f:
        for chunk in response.iter_content(chunk_size=CHUNK):
            if cancel_flag.is_set():
                return
            while pause_flag.is_set():
                time.sleep(0.5)
            progress.status = "downloading"
            if chunk:
                f.write(chunk)
                progress.update(progress.bytes_downloaded + len(chunk), progress.total_bytes)
                if callback:
                    try:
                        callback(progress)
                    except Exception:
                        pass
    response.close()


def iterate_only(requests, url):
    response = requests.get(url, stream=True, timeout=30)
    for _ in response.iter_content(chunk_size=CHUNK):
        pass
    response.close()


def measure(run):
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def poll(finished):
    while not finished():
        time.sleep(POLL)


def plain_run(folder, count, loop):
    """`count` plain loops, each on a worker thread, polled for their end."""
    done, failures = [], []

    def work(i):
        try:
            loop(os.path.join(folder, f"{i}.mp3"))
        except BaseException as e:
            failures.append(e)
        finally:
            done.append(i)

    def run():
        threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(count)]
        for t in threads:
            t.start()
        poll(lambda: len(done) == count)
        for t in threads:
            t.join()

    result = measure(run)
    if failures:
        raise SystemExit(f"plain loop failed: {failures[0]!r}")
    return result


def podcast_run(dlmod, folder, url, count, callback=None):
    d = dlmod.PodcastDownloader(folder, max_concurrent=count)
    try:
        def run():
            for i in range(count):
                d.add_download(url, f"Episode {i}", "Bench", progress_callback=callback)
            poll(lambda: len(d.get_all_completed()) + len(d.get_all_failed()) >= count)
        result = measure(run)
        failed = d.get_all_failed()
        if failed:
            raise SystemExit("download failed: " + str(failed[0].progress.error_message))
        return result
    finally:
        d.shutdown()


def curl_run(url, target=os.devnull):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.perf_counter()
    subprocess.run(["curl", "-s", "-o", target, url], check=True)
    wall = time.perf_counter() - wall
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
        return
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 512
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    size = mib << 20

    import requests
    from core import downloader as dlmod

    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(size)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    work = tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        port = int(server.stdout.readline())
        url = f"http://127.0.0.1:{port}/episode.mp3"
        noop = lambda progress: None  # noqa: E731

        def in_folder(run):
            """run(folder) in a fresh folder, removed afterwards."""
            def measured():
                path = tempfile.mkdtemp(dir=work)
                try:
                    return run(path)
                finally:
                    shutil.rmtree(path, ignore_errors=True)
            return measured

        # key: (label, measured, bytes per run)
        variants = {}
        if shutil.which("curl"):
            variants["a"] = ("(a) curl -o /dev/null", lambda: curl_run(url), size)
            variants["a2"] = ("(a2) curl into a file", in_folder(
                lambda f: curl_run(url, os.path.join(f, "curl.mp3"))), size)
        variants.update({
            "i": ("(i) iter_content(8192) alone, nothing written",
                  lambda: measure(lambda: iterate_only(requests, url)), size),
            "b": ("(b) plain Python loop", in_folder(
                lambda f: plain_run(f, 1, lambda path: plain_loop(requests, url, path))), size),
            "bc": ("(b) plain Python loop, no-op callback", in_folder(
                lambda f: plain_run(f, 1, lambda path: plain_loop(requests, url, path, noop))), size),
            "c": ("(c) PodcastDownloader", in_folder(lambda f: podcast_run(dlmod, f, url, 1)), size),
            "cc": ("(c) PodcastDownloader, no-op callback", in_folder(
                lambda f: podcast_run(dlmod, f, url, 1, noop)), size),
            "b3": ("(b3) three plain Python loops at once", in_folder(
                lambda f: plain_run(f, 3, lambda path: plain_loop(requests, url, path))), 3 * size),
            "d": ("(d) three PodcastDownloader downloads at once", in_folder(
                lambda f: podcast_run(dlmod, f, url, 3)), 3 * size),
        })

        print(f"{mib} MiB from a loopback server, chunks of {CHUNK} bytes, {rounds} rounds")
        samples = {key: [] for key in variants}
        for number in range(rounds):
            for key, (_, measured, total) in variants.items():
                wall, cpu = measured()
                samples[key].append((total / wall / 1e6, cpu / (total / 1e9)))
            print(f"round {number + 1} of {rounds} done", flush=True)

        print(f"\n{'':<48} {'median MB/s':>11} {'(lowest - highest)':>20} {'CPU s/GB':>9}")
        medians = {}
        for key, (label, _, _) in variants.items():
            rates = [s[0] for s in samples[key]]
            cpu = statistics.median(s[1] for s in samples[key])
            medians[key] = (statistics.median(rates), cpu)
            print(f"{label:<48} {medians[key][0]:11.1f} ({min(rates):8.1f} - {max(rates):8.1f}) {cpu:9.3f}")

        def ratio(label, top, bottom, note=""):
            if top in medians and bottom in medians:
                (t_rate, t_cpu), (b_rate, b_cpu) = medians[top], medians[bottom]
                print(f"{label:<34} throughput {t_rate / b_rate:5.2f}x   CPU per byte {t_cpu / b_cpu:5.2f}x{note}")

        print()
        ratio("c/b   one download / plain loop", "c", "b")
        ratio("cc/bc the same, with a callback", "cc", "bc")
        ratio("c/a   one download / curl", "c", "a")
        ratio("c/a2  one download / curl to a file", "c", "a2")
        ratio("d/b3  three at once / plain loops", "d", "b3")
        ratio("c/i   one download / iter_content", "c", "i")
    finally:
        server.stdin.close()
        server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
