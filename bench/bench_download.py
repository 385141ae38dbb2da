#!/usr/bin/python3
"""Download throughput of PodcastDownloader against a loopback server.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_download.py [MiB [RUNS]]

Serves MiB mebibytes (default 512) from a server in a child process, and
downloads them RUNS times (default 3) with each of the following, in rounds
that run every variant once (so a busy machine slows all of them alike), and
shows the median run of each:
  (a) curl -o /dev/null, the ceiling;
  (i) iter_content(8192) alone, nothing written: the floor of any loop over it;
  (b) the same transfer loop in plain Python with requests (iter_content(8192),
      one write per chunk, the same per-chunk checks and progress arithmetic),
      and (b0) the bare loop: iter_content(8192) and one write per chunk;
  (c) PodcastDownloader, once without and once with a no-op progress callback;
  (d) three PodcastDownloader downloads at once, beside three plain-Python
      loops on three threads.
Prints MB/s and CPU seconds per GB for each, and the ratios c/b and c/a.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from plain_progress import PyProgress

CHUNK = 8192


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


def bare_loop(requests, url, path):
    response = requests.get(url, stream=True, timeout=30)
    with open(path, "wb") as f:
        for chunk in response.iter_content(chunk_size=CHUNK):
            f.write(chunk)
    response.close()


def measure(run):
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def podcast_run(dlmod, folder, url, count, callback=None):
    d = dlmod.PodcastDownloader(folder, max_concurrent=count)
    try:
        def run():
            for i in range(count):
                d.add_download(url, f"Episode {i}", "Bench", progress_callback=callback)
            while len(d.get_all_completed()) + len(d.get_all_failed()) < count:
                time.sleep(0.002)
        wall, cpu = measure(run)
        failed = d.get_all_failed()
        if failed:
            raise SystemExit("download failed: " + str(failed[0].progress.error_message))
        return wall, cpu
    finally:
        d.shutdown()


def threads_run(target, count):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
        return
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 512
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    size = mib << 20

    import requests
    from core import downloader as dlmod

    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(size)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    work = tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        port = int(server.stdout.readline())
        url = f"http://127.0.0.1:{port}/episode.mp3"
        results = {}

        variants = []

        def record(name, measured, total):
            """measured: a function that runs once and returns (wall, cpu)."""
            variants.append((name, measured, total))

        def fresh(name):
            path = os.path.join(work, name)
            shutil.rmtree(path, ignore_errors=True)
            os.makedirs(path)
            return path

        def in_folder(name, run):
            def measured():
                path = fresh(name)
                try:
                    return run(path)
                finally:
                    shutil.rmtree(path, ignore_errors=True)
            return measured

        print(f"{mib} MiB from a loopback server, chunks of {CHUNK} bytes, median of {runs} runs")

        if shutil.which("curl"):
            def curl():
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                wall = time.perf_counter()
                subprocess.run(["curl", "-s", "-o", os.devnull, url], check=True)
                wall = time.perf_counter() - wall
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            record("(a) curl -o /dev/null", curl, size)

        record("(i) iter_content(8192) alone, nothing written", lambda: measure(lambda: iterate_only(requests, url)),
               size)
        record("(b0) plain Python, bare loop", in_folder("b", lambda path: measure(
            lambda: bare_loop(requests, url, os.path.join(path, "bare.mp3")))), size)
        record("(b) plain Python transfer loop", in_folder("b", lambda path: measure(
            lambda: plain_loop(requests, url, os.path.join(path, "loop.mp3")))), size)
        record("(b) plain Python transfer loop, no-op callback", in_folder("b", lambda path: measure(
            lambda: plain_loop(requests, url, os.path.join(path, "cb.mp3"), lambda p: None))), size)
        record("(c) PodcastDownloader", in_folder("c", lambda path: podcast_run(dlmod, path, url, 1)), size)
        record("(c) PodcastDownloader, no-op callback", in_folder("c", lambda path: podcast_run(
            dlmod, path, url, 1, lambda p: None)), size)
        record("(b3) three plain Python loops on threads", in_folder("b3", lambda path: measure(lambda: threads_run(
            lambda i: plain_loop(requests, url, os.path.join(path, f"{i}.mp3")), 3))), 3 * size)
        record("(d) three PodcastDownloader downloads", in_folder("d", lambda path: podcast_run(
            dlmod, path, url, 3)), 3 * size)

        samples = {name: [] for name, _, _ in variants}
        for round_number in range(runs):
            for name, measured, _ in variants:
                samples[name].append(measured())
            print(f"round {round_number + 1} of {runs} done", flush=True)
        for name, _, total in variants:
            wall, cpu = sorted(samples[name])[len(samples[name]) // 2]
            results[name] = (total / wall / 1e6, cpu / (total / 1e9))
            mbs, cpu_gb = results[name]
            print(f"{name:<48} {mbs:9.1f} MB/s {cpu_gb:8.3f} CPU s/GB")

        c, b = results["(c) PodcastDownloader"], results["(b) plain Python transfer loop"]
        cc, bc = results["(c) PodcastDownloader, no-op callback"], \
            results["(b) plain Python transfer loop, no-op callback"]
        d, b3 = results["(d) three PodcastDownloader downloads"], results["(b3) three plain Python loops on threads"]
        print()
        print(f"c/b  throughput {c[0] / b[0]:5.2f}x   CPU per byte {c[1] / b[1]:5.2f}x")
        print(f"c/b  with callback: throughput {cc[0] / bc[0]:5.2f}x   CPU per byte {cc[1] / bc[1]:5.2f}x")
        print(f"d/b3 throughput {d[0] / b3[0]:5.2f}x   CPU per byte {d[1] / b3[1]:5.2f}x")
        if "(a) curl -o /dev/null" in results:
            a = results["(a) curl -o /dev/null"]
            print(f"c/a  throughput {c[0] / a[0]:5.2f}x   CPU per byte {c[1] / a[1]:5.2f}x")
        i = results["(i) iter_content(8192) alone, nothing written"]
        print(f"c/i  throughput {c[0] / i[0]:5.2f}x   CPU per byte {c[1] / i[1]:5.2f}x")
        print(f"i/b  throughput {i[0] / b[0]:5.2f}x   (the most any loop over iter_content(8192) can gain on b)")
    finally:
        server.stdin.close()
        server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
