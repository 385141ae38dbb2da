"""The data file's encoder: the same bytes as
json.dumps(document, indent=4, ensure_ascii=False) in UTF-8, and the same
errors.

The encoder is reached directly through the test-only module
_storage_encoder_probe, built with the unit tests (-Dunit_tests=true): it is
on the path when the tests run from a dev-stage folder, and otherwise taken
from the repository's build-unit folder. `native` returns None when the
native encoder leaves a document to json.dumps, so the tests can tell which
path gave the text."""
import collections
import enum
import json
import math
import os
import random
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from module_test_helpers import load_probe

PROBE = load_probe("_storage_encoder_probe", "storage")
needs_probe = pytest.mark.skipif(PROBE is None, reason="_storage_encoder_probe is not built")


def reference(document):
    return json.dumps(document, indent=4, ensure_ascii=False)


def assert_native_identical(document):
    text = reference(document)
    assert PROBE.native(document) == text.encode("utf-8")
    assert PROBE.encode(document) == text
    assert PROBE.encode_utf8(document) == text.encode("utf-8")


def deep(levels, leaf=1):
    value = leaf
    for i in range(levels):
        value = [value] if i % 2 else {"k": value}
    return value


class Text(str):
    def __str__(self):
        return "other"


shared = [1, [2, "x"]]

NATIVE_CASES = {
    "ascii every code point": "".join(map(chr, range(0x80))),
    "ascii code points as keys": {chr(c): c for c in range(0x80)},
    "latin-1": "".join(map(chr, range(0x80, 0x100))),
    "line and paragraph separators": "a\u2028b\u2029c",
    "bmp edge": "\u0100\u07ff\u0800\ufffd\uffff",
    "astral": "\U0001f600 \U00010000 \U0010ffff",
    "mixed widths": ["plain", "caf\u00e9", "\u20ac", "\U0001f3b5", {"\u00e9\U0001f600": "\n"}],
    "floats": [0.0, -0.0, 1.0, 0.1, 1 / 3, 1e16, 1e15, 9999999999999998.0, 2e16 + 8, 1e-05,
               0.0001, 1.5e-05, 5e-324, 2.2250738585072014e-308, sys.float_info.max,
               -sys.float_info.max, 1e22, 123456789.125],
    "non-finite floats": [math.nan, math.inf, -math.inf],
    "ints": [0, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**100, -(2**100), 10**4000],
    "number and text keys together": {1: "int", "1": "text", 1.5: "float", 2**70: "big"},
    "special keys": {True: "t", False: "f", None: "n", math.nan: 1, math.inf: 2, -math.inf: 3,
                     -0.0: 4, 1e16: 5},
    "empties": {"a": {}, "b": [], "c": (), "d": [[], {}, ()], "e": ""},
    "tuples": (1, ("a", (None,)), [()]),
    "top-level text": "top \"quoted\" \\ \t",
    "top-level number": 3,
    "top-level float": -2.5,
    "top-level null": None,
    "top-level true": True,
    "empty object": {},
    "empty array": [],
    "deep nesting": deep(90),
    "shared sub-lists": {"a": shared, "b": shared, "c": [shared, shared]},
    "str subclass": {Text("key"): Text("value")},
    "store": {
        "config": {"volume": 80, "rate": 1.25, "download_folder": "C:\\Users\\Zo\u00eb\\Velmora"},
        "subscriptions": {"https://e.org/rss": {"url": "https://e.org/rss", "last_checked": None,
                                                "last_episode_urls": ["https://e.org/1.mp3"]}},
        "playback_positions": {"42": {"position": 12.5, "duration": None}},
        "bookmarks": {}, "radio_stations": {}, "downloads": {}, "spotify_credentials": {},
        "spotify_data": {"recent_searches": []}, "quietshelf_downloads": {"total": 0},
    },
}


@needs_probe
@pytest.mark.parametrize("document", NATIVE_CASES.values(), ids=NATIVE_CASES.keys())
def test_native_text_is_json_dumps(document):
    assert_native_identical(document)


class Level(enum.IntEnum):
    LOW = 1


class Ratio(float):
    def __repr__(self):
        return "ratio"

    def __eq__(self, other):
        return False

    __hash__ = float.__hash__


class Reversed(list):
    def __iter__(self):
        return iter(self[::-1])


class Items(dict):
    def items(self):
        return [("replaced", True)]


Point = collections.namedtuple("Point", "x y")

FALLBACK_CASES = {
    "int enum value": [Level.LOW],
    "int enum key": {Level.LOW: 1},
    "float subclass": [Ratio(2.5)],
    "float subclass key": {Ratio(2.5): 1},
    "list subclass": Reversed([1, 2, 3]),
    "dict subclass": {"a": Items(x=1)},
    "ordered dict": collections.OrderedDict(b=1, a=2),
    "named tuple": {"p": Point(1, 2)},
    "deeper than the native limit": deep(150),
}


@needs_probe
@pytest.mark.parametrize("document", FALLBACK_CASES.values(), ids=FALLBACK_CASES.keys())
def test_other_types_get_json_dumps_text(document):
    text = reference(document)
    assert PROBE.native(document) is None
    assert PROBE.encode(document) == text
    assert PROBE.encode_utf8(document) == text.encode("utf-8")


def cycle_list():
    a = [1]
    a.append({"back": a})
    return a


def cycle_dict():
    d = {"x": []}
    d["x"].append(d)
    return d


ERROR_CASES = {
    "tuple key": {"ok": 1, (1, 2): "x"},
    "object value": {"a": [object()]},
    "set value": [{1, 2}],
    "bytes value": {"b": b"raw"},
    "bytes key": {b"k": 1},
    "list cycle": cycle_list(),
    "dict cycle": cycle_dict(),
    "lone surrogate": {"t": "a\ud800b"},
    "surrogate pair as two code points": ["\ud83d\ude00"],
    "surrogate in a key": {"\udc80": 1},
    "surrogate beside astral text": ["\U0001f600\udc80"],
    "int too long for text": [10**5000],
    "too deep for json.dumps": deep(5000),
}


@needs_probe
@pytest.mark.parametrize("document", ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_errors_are_json_dumps_errors(document):
    with pytest.raises(Exception) as expected:
        reference(document).encode("utf-8")
    for encode in (PROBE.encode, PROBE.encode_utf8):
        with pytest.raises(type(expected.value)) as got:
            encode(document)
        assert type(got.value) is type(expected.value)
        assert str(got.value) == str(expected.value)
        assert got.value.args == expected.value.args


@needs_probe
@pytest.mark.parametrize("document", [NATIVE_CASES["store"], FALLBACK_CASES["int enum value"]],
                         ids=["native", "fallback"])
def test_windows_line_ends(document):
    text = reference(document)
    assert PROBE.encode_utf8(document, "\r\n") == text.replace("\n", "\r\n").encode("utf-8")


@needs_probe
def test_random_doubles_read_as_repr():
    rng = random.Random(20261210)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
              for _ in range(50_000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(10_000)]
    values += [float(10**e) for e in range(-30, 30)] + [10.0**e for e in range(-330, 309)]
    assert_native_identical(values)


scalars = (
    st.text(st.characters(blacklist_categories=("Cs",)))
    | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats()
    | st.booleans()
    | st.none()
)
keys = (
    st.text(st.characters(blacklist_categories=("Cs",)))
    | st.integers(min_value=-(2**80), max_value=2**80)
    | st.floats()
    | st.booleans()
    | st.none()
)
documents = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5)
    | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(keys, inner, max_size=5),
    max_leaves=40,
)


@needs_probe
@settings(derandomize=True, max_examples=300, deadline=None)
@given(documents)
def test_any_plain_document_is_json_dumps(document):
    assert_native_identical(document)


def test_store_file_is_json_dumps(fresh_store, data_file):
    store = fresh_store.ConsolidatedStorage()
    store.set_section("config", NATIVE_CASES["store"]["config"])
    store.set_section("bookmarks", {"m\u00e9dia \U0001f600": [{"position": 1e-05, "label": "\x00\x7f"}]})
    store.set_section("extra", NATIVE_CASES["number and text keys together"])
    expected = reference(store.master_data).replace("\n", os.linesep).encode("utf-8")
    assert data_file.read_bytes() == expected
