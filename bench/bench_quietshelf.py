#!/usr/bin/python3
"""The Quietshelf client against the same logic in plain Python, measured in
the same run.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_quietshelf.py [MiB [RUNS]]

(1) `_parse_pages` over a results page of 5,000 rows, beside the same look-ups
    written in Python with Beautiful Soup ("html.parser"), and beside the
    parse alone (BeautifulSoup(page), no rows read).
(2) `get_stream_url` of MiB mebibytes (default 256) from a loopback server in
    a child process, beside the same transfer in plain Python (mkstemp,
    os.fdopen(fd, "wb"), one write per iter_content(8192) chunk), and beside
    iter_content(8192) alone, nothing written: the floor of any loop over it.
Each variant runs RUNS times (default 5), in rounds that run every variant
once; the median run of each is shown, with the client's speed and CPU against plain Python.
"""
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bs4 import BeautifulSoup

from bench_download import serve

ROWS = 5000
CHUNK = 8192
logger = logging.getLogger("bench")


class PlainItem:
    def __init__(self, id, name, download_url, kind):
        self.id, self.name, self.download_url, self.kind = id, name, download_url, kind


def plain_parse_pages(text, kind):
    soup = BeautifulSoup(text, "html.parser")
    table = soup.find("tbody")
    if table is None:
        return []
    return plain_parse_page(table, kind)


def plain_parse_page(table, kind):
    results = []
    for row in table.find_all("tr"):
        try:
            id_cell = row.find_next("td")
            if id_cell is None:
                continue
            name_cell = id_cell.find_next("td")
            if name_cell is None:
                continue
            link_cell = name_cell.find_next("td")
            if link_cell is None:
                continue
            link = link_cell.find("a")
            if link is None:
                continue
            item_id = id_cell.get_text().strip()
            name = name_cell.get_text().strip()
            href = link.get("href")
            if item_id and name and href:
                results.append(PlainItem(item_id, name, href, kind))
        except Exception as e:
            logger.warning(f"Error parsing row: {e}")
    return results


def plain_stream(session, url):
    import email.message

    response = session.get(url, stream=True)
    try:
        if response.status_code == 302 or response.headers.get("Content-Type", "").startswith("text/html"):
            raise RuntimeError("Session expired. Please log in again.")
        response.raise_for_status()
        value = response.headers.get("content-disposition", "")
        name = "download.mp3"
        if value:
            message = email.message.Message()
            message["content-disposition"] = value
            name = message.get_filename() or name
        suffix = os.path.splitext(name)[1] or ".mp3"
        fd, path = tempfile.mkstemp(prefix="quietshelf_", suffix=suffix)
        if int(response.headers.get("content-length", 0)) == 0:
            os.close(fd)
            os.remove(path)
            raise RuntimeError("File has no content")
        with os.fdopen(fd, "wb") as f:
            for chunk in response.iter_content(CHUNK):
                f.write(chunk)
        return path
    finally:
        response.close()


def iterate_only(session, url):
    response = session.get(url, stream=True)
    for _ in response.iter_content(CHUNK):
        pass
    response.close()


def results_page(rows):
    body = "".join(f'<tr><td>{i}</td><td>Described film number {i}</td>'
                   f'<td><a href="https://quietshelf.example/download/{i}">Download</a></td></tr>\n'
                   for i in range(1, rows + 1))
    return ("<html><head><title>Movies</title></head><body>\n<h1>Movies</h1>\n<table>\n"
            "<thead><tr><th>ID</th><th>Name</th><th>Link</th></tr></thead>\n"
            f"<tbody>\n{body}</tbody>\n</table>\n</body></html>\n")


def measure(run):
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def median(samples):
    return sorted(samples)[len(samples) // 2]


def rounds(variants, runs):
    """variants: (name, run); returns name -> median (wall, cpu)."""
    samples = {name: [] for name, _ in variants}
    for _ in range(runs):
        for name, run in variants:
            samples[name].append(run())
    return {name: median(s) for name, s in samples.items()}


def bench_parsing(qc, runs):
    page = results_page(ROWS)
    client = qc.QuietshelfClient()
    native = client._parse_pages(page, "movies")
    plain = plain_parse_pages(page, "movies")
    assert [(i.id, i.name, i.download_url) for i in native] == [(i.id, i.name, i.download_url) for i in plain]
    assert len(native) == ROWS
    results = rounds([
        ("BeautifulSoup(page) alone", lambda: measure(lambda: BeautifulSoup(page, "html.parser"))),
        ("plain Python _parse_pages", lambda: measure(lambda: plain_parse_pages(page, "movies"))),
        ("QuietshelfClient._parse_pages", lambda: measure(lambda: client._parse_pages(page, "movies"))),
    ], runs)
    print(f"(1) a results page of {ROWS} rows ({len(page) / 1e6:.2f} MB), median of {runs} runs")
    for name, (wall, cpu) in results.items():
        print(f"    {name:<36} {wall * 1000:8.1f} ms {cpu * 1000:8.1f} ms CPU")
    b, c = results["plain Python _parse_pages"], results["QuietshelfClient._parse_pages"]
    print(f"    client against plain: {b[0] / c[0]:5.2f}x as fast, {c[1] / b[1]:5.2f}x the CPU")


def bench_stream(qc, requests, mib, runs):
    size = mib << 20
    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(size)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    work = tempfile.mkdtemp(prefix="velmora-bench-")
    saved_tempdir = tempfile.tempdir
    tempfile.tempdir = work
    try:
        url = f"http://127.0.0.1:{int(server.stdout.readline())}/film.mp3"
        client = qc.QuietshelfClient()
        client.logged_in = True
        session = requests.Session()

        def fetched(fetch):
            def run():
                holder = []
                measured = measure(lambda: holder.append(fetch()))
                if os.path.getsize(holder[0]) != size:
                    raise SystemExit("short file")
                os.remove(holder[0])
                return measured
            return run

        results = rounds([
            ("iter_content(8192) alone, nothing written", lambda: measure(lambda: iterate_only(session, url))),
            ("plain Python get_stream_url", fetched(lambda: plain_stream(session, url))),
            ("QuietshelfClient.get_stream_url", fetched(lambda: client.get_stream_url(url))),
        ], runs)
        print(f"(2) {mib} MiB from a loopback server into a temporary file, median of {runs} runs")
        for name, (wall, cpu) in results.items():
            print(f"    {name:<44} {size / wall / 1e6:8.1f} MB/s {cpu / (size / 1e9):7.3f} CPU s/GB")
        b, c = results["plain Python get_stream_url"], results["QuietshelfClient.get_stream_url"]
        i = results["iter_content(8192) alone, nothing written"]
        print(f"    client against plain: {b[0] / c[0]:5.2f}x as fast, {c[1] / b[1]:5.2f}x the CPU per byte")
        print(f"    iter_content alone against plain: {b[0] / i[0]:5.2f}x as fast "
              "(the most any loop over iter_content(8192) can gain)")
    finally:
        tempfile.tempdir = saved_tempdir
        server.stdin.close()
        server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
        return
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5

    import requests
    from core import quietshelf_client as qc

    bench_parsing(qc, runs)
    bench_stream(qc, requests, mib, runs)


if __name__ == "__main__":
    main()
