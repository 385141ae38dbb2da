"""Benchmark: the video-site client's formatters and video-id search on a
million mixed inputs, and get_channel_videos over a stand-in listing of
20,000 entries, against the same logic in plain Python (plain_reelmoor.py).
Both sides must give the same results.

    PYTHONPATH=BUILD/stage /usr/bin/python3 bench/bench_reelmoor.py
"""
import random
import time

import yt_dlp

from core import reelmoor
from plain_reelmoor import PyClient

COUNT = 1_000_000
ENTRIES = 20_000
ID = "dQw4w9WgXcQ"


def mixed_numbers(rng):
    """Counts and durations as listings give them: mostly ints, some floats
    and texts, a few None, blanks and oddities."""
    makers = [
        lambda: rng.randrange(0, 5_000),
        lambda: rng.randrange(0, 20_000_000),
        lambda: rng.randrange(0, 2**70),
        lambda: rng.uniform(0, 90_000),
        lambda: f"{rng.randrange(0, 10**7):,}",
        lambda: str(rng.randrange(0, 100_000)),
        lambda: f" {rng.uniform(0, 1e4):.2f} ",
        lambda: None,
        lambda: 0,
        lambda: "",
        lambda: "n/a",
        lambda: -rng.randrange(0, 10_000),
    ]
    weights = [25, 20, 2, 15, 10, 10, 4, 5, 3, 2, 2, 2]
    return [maker() for maker in rng.choices(makers, weights, k=COUNT)]


def mixed_links(rng):
    makers = [
        lambda: f"https://www.youtube.com/watch?v={ID}",
        lambda: f"https://www.youtube.com/watch?v={ID}&list=PL123&index=4",
        lambda: f"https://youtu.be/{ID}?t=42",
        lambda: f"youtube.com/embed/{ID}",
        lambda: f"Great talk, see https://m.youtube.com/watch?v={ID} for the rest",
        lambda: "https://www.youtube.com/@someone/videos",
        lambda: "not a link at all",
        lambda: "https://elsewhere.example/watch?v=short",
    ]
    return [maker() for maker in rng.choices(makers, [25, 15, 15, 10, 10, 10, 10, 5], k=COUNT)]


def loop(function, inputs):
    start = time.perf_counter()
    for value in inputs:
        function(value)
    return time.perf_counter() - start


def best(run, repeat):
    return min(run() for _ in range(repeat))


def compare(label, native, python, inputs, repeat=3):
    assert list(map(native, inputs)) == list(map(python, inputs)), label
    n = best(lambda: loop(native, inputs), repeat)
    p = best(lambda: loop(python, inputs), repeat)
    per = len(inputs)
    print(f"{label:<34} native {n / per * 1e9:7.0f} ns   python {p / per * 1e9:7.0f} ns   ratio {p / n:5.2f}x")


class Listing:
    """yt_dlp.YoutubeDL for the benchmark: answers every address with one
    listing, at no cost of its own."""

    info = None

    def __init__(self, params):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def extract_info(self, url, download=True):
        return Listing.info


def listing(rng):
    entries = []
    for n in range(ENTRIES):
        entry = {"_type": "url", "ie_key": "Youtube", "id": f"v{n:010d}", "url": f"https://x/{n}",
                 "title": f"Video number {n}", "duration": rng.choice([rng.randrange(30, 7200), rng.uniform(30, 7200.0), None]),
                 "view_count": rng.randrange(0, 50_000_000), "channel": "Chan", "channel_id": "UCchan"}
        if n % 3:
            entry["uploader"] = "Uploader"
        entries.append(entry)
    return {"channel_id": "UCchan", "title": "Chan", "channel_follower_count": 1_234_567,
            "channel_video_count": ENTRIES, "description": "About", "entries": entries}


def page_fields(page):
    channel, videos = page
    return [list(vars(channel).values())] + [list(vars(v).values()) for v in videos]


def main():
    rng = random.Random(20240601)
    native, plain = reelmoor.ReelmoorClient(), PyClient()

    numbers = mixed_numbers(rng)
    compare("_format_duration", native._format_duration, plain._format_duration, numbers)
    compare("_format_view_count", native._format_view_count, plain._format_view_count, numbers)
    compare("_format_count", native._format_count, plain._format_count, numbers)
    compare("extract_video_id", native.extract_video_id, plain.extract_video_id, mixed_links(rng))

    Listing.info = listing(rng)
    yt_dlp.YoutubeDL = Listing
    pages = {}
    for label, client in (("native", native), ("python", plain)):
        pages[label] = best(lambda: timed_page(client, pages, label), 5)
    assert pages["native_fields"] == pages["python_fields"]
    n, p = pages["native"], pages["python"]
    print(f"{'get_channel_videos (20,000 entries)':<34} native {n * 1e3:7.2f} ms   python {p * 1e3:7.2f} ms"
          f"   ratio {p / n:5.2f}x")


def timed_page(client, pages, label):
    start = time.perf_counter()
    page = client.get_channel_videos("@chan", ENTRIES, 0)
    elapsed = time.perf_counter() - start
    pages[f"{label}_fields"] = page_fields(page)
    return elapsed


if __name__ == "__main__":
    main()
