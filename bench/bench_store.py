"""Writing the data file: the native encoder against json.dumps, and a whole
set_section against a plain-Python open + json.dump.

Run with the built modules on the path, for example
    scripts/dev-stage /tmp/build-mine
    PYTHONPATH=/tmp/build-mine/stage /usr/bin/python3 bench/bench_store.py

The store holds about 5 MB: 300 subscriptions with 300 episode URLs each and
5,000 playback positions. The encoder is reached through the test-only module
_storage_encoder_probe (built with -Dunit_tests=true); set_section through
data.storage.ConsolidatedStorage, in a home folder of its own.
"""
import json
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def import_probe():
    try:
        import _storage_encoder_probe
    except ImportError:
        sys.path.append(str(ROOT / "build-unit" / "tests" / "storage"))
        import _storage_encoder_probe
    return _storage_encoder_probe


def make_store():
    stamp = "2026-12-10T10:45:34.250000"
    subscriptions = {}
    for s in range(300):
        url = f"https://ex.org/show{s:03d}/rss"
        subscriptions[url] = {
            "url": url,
            "title": f"Show number {s} \u2013 conversations caf\u00e9",
            "author": f"Host {s}",
            "added_date": stamp,
            "last_checked": stamp,
            "episode_hash": f"{s * 7919:032x}",
            "last_episode_urls": [
                f"https://ex.org/s{s:03d}/e{e:03d}.mp3" for e in range(300)
            ],
            "last_episode_check": stamp,
        }
    positions = {
        f"https://ex.org/s{i % 300:03d}/e{i // 300:03d}.mp3": {
            "position": i * 1.5 + 0.25,
            "duration": 3600.0 + i,
            "last_played": stamp,
        }
        for i in range(5000)
    }
    return {
        "config": {"volume": 80, "download_folder": "/home/user/Documents/Velmora"},
        "subscriptions": subscriptions,
        "playback_positions": positions,
        "bookmarks": {},
        "radio_stations": {},
        "downloads": {},
        "spotify_credentials": {},
        "spotify_data": {},
        "quietshelf_downloads": {},
    }


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def row(name, seconds, baseline):
    print(f"  {name:<44} {seconds * 1000:8.2f} ms   {baseline / seconds:6.1f}x")


def main():
    probe = import_probe()
    doc = make_store()
    text = json.dumps(doc, indent=4, ensure_ascii=False)
    assert probe.encode(doc) == text
    assert probe.native(doc) == text.encode("utf-8"), "the native encoder declined"
    print(f"document: {len(text.encode('utf-8')) / 1e6:.2f} MB of UTF-8")

    repeat = 10
    indented = best(lambda: json.dumps(doc, indent=4, ensure_ascii=False), repeat)
    compact = best(lambda: json.dumps(doc, ensure_ascii=False), repeat)
    native_bytes = best(lambda: probe.encode_utf8(doc), repeat)
    native_str = best(lambda: probe.encode(doc), repeat)
    print("encoding (best of %d), speed-up against json.dumps(indent=4):" % repeat)
    row("json.dumps(indent=4, ensure_ascii=False)", indented, indented)
    row("json.dumps compact (C encoder)", compact, indented)
    row("native encoder, UTF-8 bytes", native_bytes, indented)
    row("native encoder, str", native_str, indented)
    print(f"  native bytes against the compact C encoder: {compact / native_bytes:.1f}x")

    with tempfile.TemporaryDirectory() as tmp:
        os.environ["HOME"] = os.environ["USERPROFILE"] = tmp
        (Path(tmp) / "Documents").mkdir()
        from data import storage

        cls = storage.ConsolidatedStorage
        if not hasattr(cls, "set_section"):
            print("set_section: ConsolidatedStorage is not built yet, skipped")
            return
        cls._instance = None
        store = cls()
        plain_path = Path(tmp) / "plain.dat"

        def plain():
            with open(plain_path, "w", encoding="utf-8") as f:
                json.dump(doc, f, indent=4, ensure_ascii=False)

        def durable(data, path):
            tmp = f"{path}.tmp"
            with open(tmp, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, path)

        def python_durable():
            durable(json.dumps(doc, indent=4, ensure_ascii=False).encode("utf-8"), plain_path)

        def native_durable():
            durable(probe.encode_utf8(doc), plain_path)

        def whole():
            store.set_section("subscriptions", doc["subscriptions"])

        store.set_section("playback_positions", doc["playback_positions"])
        store.set_section("config", doc["config"])
        repeat = 5
        python_write = best(plain, repeat)
        set_section = best(whole, repeat)
        assert Path(store.filepath).read_bytes() == plain_path.read_bytes()
        with_fsync = best(python_durable, repeat)
        native_fsync = best(native_durable, repeat)
        print("writing the file (best of %d), speed-up against open + json.dump:" % repeat)
        row("open + json.dump(indent=4), no fsync", python_write, python_write)
        row("set_section (encode, temp file, fsync, replace)", set_section, python_write)
        row("Python: json.dumps + temp file, fsync, replace", with_fsync, python_write)
        row("Python: native UTF-8 + temp file, fsync, replace", native_fsync, python_write)
        cls._instance = None


if __name__ == "__main__":
    main()
