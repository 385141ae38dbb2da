"""Benchmark: DownloadProgress.update, str(progress) and
BaseDownloader.generate_safe_filename against the same logic in plain Python.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_model.py
"""
import re
import time
import timeit

from core import downloader as dl


class PyProgress:
    """The same progress record, written in Python."""

    def __init__(self):
        self.bytes_downloaded = 0
        self.total_bytes = 0
        self.percentage = 0.0
        self.speed = 0.0
        self.eta = 0.0
        self.status = dl.DownloadStatus.QUEUED
        self.error_message = None
        self.start_time = time.time()

    def update(self, bytes_downloaded: int, total_bytes: int):
        self.bytes_downloaded = bytes_downloaded
        self.total_bytes = total_bytes
        if total_bytes > 0:
            self.percentage = (bytes_downloaded / total_bytes) * 100
        elapsed = time.time() - self.start_time
        if elapsed > 0:
            self.speed = bytes_downloaded / elapsed
            if self.speed > 0 and total_bytes > bytes_downloaded:
                self.eta = (total_bytes - bytes_downloaded) / self.speed

    def format_size(self, bytes_size: int) -> str:
        for unit in ["B", "KB", "MB", "GB"]:
            if bytes_size < 1024.0:
                return f"{bytes_size:.2f} {unit}"
            bytes_size /= 1024.0
        return f"{bytes_size:.2f} TB"

    def format_speed(self) -> str:
        return f"{self.format_size(self.speed)}/s"

    def format_eta(self) -> str:
        if self.eta == 0:
            return "Unknown"
        hours, remainder = divmod(int(self.eta), 3600)
        minutes, seconds = divmod(remainder, 60)
        if hours > 0:
            return f"{hours}h {minutes}m {seconds}s"
        if minutes > 0:
            return f"{minutes}m {seconds}s"
        return f"{seconds}s"

    def __str__(self) -> str:
        return (
            f"{self.format_size(self.bytes_downloaded)} / {self.format_size(self.total_bytes)} "
            f"({self.percentage:.1f}%) - Speed: {self.format_speed()} - ETA: {self.format_eta()}"
        )


def py_safe_filename(title: str, extension: str = "mp3") -> str:
    safe = re.sub(r'[<>:"/\\|?*]', "", title)
    safe = re.sub(r"\s+", " ", safe).strip()
    if len(safe) > 200:
        safe = safe[:200].rsplit(" ", 1)[0]
    return f"{safe}.{extension}"


def best(stmt, names, number, repeat=7):
    return min(timeit.repeat(stmt, globals=names, number=number, repeat=repeat)) / number


def compare(label, stmt, native, python, number):
    n = best(stmt, {"f": native, **ARGS}, number)
    p = best(stmt, {"f": python, **ARGS}, number)
    print(f"{label:<34} native {n * 1e9:7.0f} ns   python {p * 1e9:7.0f} ns   ratio {p / n:5.2f}x")


TITLE = ("Episode 42: The <Long> Road / to \"Nowhere\"?\t " * 6)[:250]
ARGS = {"done": 31_457_280, "total": 73_400_320, "title": TITLE}


def main():
    native, plain = dl.DownloadProgress(), PyProgress()
    native.start_time = plain.start_time = time.time() - 12.5
    compare("DownloadProgress.update", "f(done, total)", native.update, plain.update, 200_000)
    # Both versions read the clock once per update: its cost bounds the ratio.
    print(f"{'  of which time.time()':<34} {best('f()', {'f': time.time}, 200_000) * 1e9:14.0f} ns")

    for record in (native, plain):
        record.update(ARGS["done"], ARGS["total"])
    assert str(native) == str(plain), (str(native), str(plain))
    compare("str(DownloadProgress)", "f()", native.__str__, plain.__str__, 100_000)

    native_name = dl.BaseDownloader.generate_safe_filename
    assert len(TITLE) == 250 and native_name(TITLE) == py_safe_filename(TITLE)
    compare("generate_safe_filename (250 chars)", "f(title)", native_name, py_safe_filename, 100_000)


if __name__ == "__main__":
    main()
