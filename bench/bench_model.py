"""Benchmark: DownloadProgress.update, str(progress) and
BaseDownloader.generate_safe_filename against the same logic in plain Python.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_model.py
"""
import re
import time
import timeit

from core import downloader as dl
from plain_progress import PyProgress


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
