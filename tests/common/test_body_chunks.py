"""The response chunk reader against iter_content(8192): over every body and
server below, the native reader must give the same chunks, raise the same
errors and leave the response and its connection as iter_content does; and
every response it must not read natively goes through iter_content.

The reader is reached through the test-only module _body_chunks_probe,
built with the unit tests (see module_test_helpers.load_probe)."""
import gzip
import io
import random
import zlib

import brotli

import pytest
import requests
import requests.models

from module_test_helpers import load_probe
from transfer_server import CHUNK, pattern, server  # noqa: F401 (a fixture)

PROBE = load_probe("_body_chunks_probe", "common")
pytestmark = pytest.mark.skipif(PROBE is None, reason="_body_chunks_probe is not built")

MIB = 1 << 20


@pytest.fixture
def session():
    with requests.Session() as s:
        yield s


def through_iter_content(response, take):
    for chunk in response.iter_content(chunk_size=CHUNK):
        take(chunk)
    return False


def through_reader(response, take):
    return PROBE.chunks(response, take)


def read(server, session, url, how, timeout=30, prepare=None):
    """Everything one read of the body shows: the chunks, the error, the
    path taken, the response's state after it, and whether the connection
    went back to the pool (a second request on the session reuses it)."""
    response = session.get(url, stream=True, timeout=timeout)
    if prepare:
        prepare(response)
    chunks, total = [], [0]

    def take(chunk):
        chunks.append(bytes(chunk))
        total[0] += len(chunk)
        server.received(total[0])

    native, error = None, None
    try:
        native = how(response, take)
    except Exception as e:  # the error is compared, whatever it is
        error = (type(e), str(e), type(e.__context__))
    raw = response.raw
    state = (response._content_consumed, raw.tell(), getattr(raw, "length_remaining", None), raw.closed,
             getattr(getattr(raw, "_fp", None), "closed", None), getattr(raw, "_connection", None) is None)
    response.close()
    before = server.connections
    session.get(server.url("/small")).content
    reused = server.connections == before
    return {"chunks": chunks, "error": error, "state": state, "reused": reused}, native


def compare(server, session, url, expect_native=True, **options):
    slow, _ = read(server, session, url, through_iter_content, **options)
    fast, native = read(server, session, url, through_reader, **options)
    assert native is (expect_native if fast["error"] is None else None)
    assert [len(c) for c in fast["chunks"]] == [len(c) for c in slow["chunks"]]
    assert fast == slow
    assert server.stalls == 0
    return fast


BODIES = [
    # name, body size, server options
    ("empty", 0, {}),
    ("one byte", 1, {}),
    ("chunk less one", CHUNK - 1, {}),
    ("one chunk", CHUNK, {}),
    ("chunk and one", CHUNK + 1, {}),
    ("odd size", 100_003, {}),
    ("a few MiB", 3 * MIB + 5, {}),
    ("first bytes with the headers", 20_000, {"with_headers": 12_000}),
    ("whole body with the headers", 5_000, {"with_headers": 5_000}),
    ("odd pieces", 70_001, {"piece": 3_001}),
    ("trickling", 40_000, {"piece": 1_000, "trickle": 0.001}),
    ("slow, chunk by chunk", 5 * CHUNK + 100, {"piece": 3_000, "lockstep": True}),
    ("no length", 100_003, {"length": False}),
    ("no length, empty", 0, {"length": False}),
    ("no length, trickling", 30_000, {"length": False, "piece": 7_000, "trickle": 0.001}),
]


@pytest.mark.parametrize("name,size,options", BODIES, ids=[b[0] for b in BODIES])
def test_same_chunks_as_iter_content(server, session, name, size, options):
    server.add("/small", b"x" * 10)
    data = pattern(size)
    url = server.add("/body", data, **options)
    result = compare(server, session, url)
    assert b"".join(result["chunks"]) == data
    assert result["error"] is None


FAILURES = [
    ("short body", 100_003, {"short_by": 5_000}),
    ("short by whole chunks", 4 * CHUNK, {"short_by": CHUNK}),
    ("reset in the middle", 100_003, {"reset_after": 50_000}),
    ("reset on a chunk boundary", 10 * CHUNK, {"reset_after": 4 * CHUNK}),
]


@pytest.mark.parametrize("name,size,options", FAILURES, ids=[f[0] for f in FAILURES])
def test_same_end_of_a_broken_body(server, session, name, size, options):
    server.add("/small", b"x" * 10)
    url = server.add("/body", pattern(size), **options)
    result = compare(server, session, url)
    got = sum(len(c) for c in result["chunks"])
    assert got < size
    if "reset_after" in options:
        assert result["error"][0] is requests.exceptions.ChunkedEncodingError
        assert "Connection broken" in result["error"][1]


def test_same_read_time_out(server, session):
    server.add("/small", b"x" * 10)
    url = server.add("/body", pattern(50_000), stall_after=3 * CHUNK + 10)
    result = compare(server, session, url, timeout=0.3)
    assert result["error"][:2] == (requests.exceptions.ConnectionError,
                                   f"HTTPConnectionPool(host='127.0.0.1', port={server.port}): Read timed out.")
    assert len(result["chunks"]) == 3


def replace_on_instance(response):
    response.iter_content = response.iter_content


def body_already_read(response):
    response.content


def raw_not_urllib3(response):
    response.raw = io.BytesIO(response.raw.read())


class OwnResponse(requests.models.Response):
    def iter_content(self, chunk_size=1, decode_unicode=False):
        return super().iter_content(chunk_size, decode_unicode)


def subclass_with_its_own(response):
    response.__class__ = OwnResponse


SLOW_PATHS = [
    ("iter_content replaced on the instance", {}, replace_on_instance),
    ("iter_content of a subclass", {}, subclass_with_its_own),
    ("body already read", {}, body_already_read),
    ("raw is no urllib3 response", {}, raw_not_urllib3),
    ("chunked", {"chunked": True, "piece": 5_000}, None),
    ("compressed, iter_content replaced", {"gzip": True}, replace_on_instance),
]


@pytest.mark.parametrize("name,options,prepare", SLOW_PATHS, ids=[s[0] for s in SLOW_PATHS])
def test_other_responses_go_through_iter_content(server, session, name, options, prepare):
    server.add("/small", b"x" * 10)
    data = pattern(30_000)
    url = server.add("/body", data, **options)
    result = compare(server, session, url, expect_native=False, prepare=prepare)
    assert b"".join(result["chunks"]) == data


def test_iter_content_replaced_on_the_class(server, session, monkeypatch):
    original = requests.models.Response.iter_content
    seen = []

    def iter_content(self, chunk_size=1, decode_unicode=False):
        seen.append(chunk_size)
        return original(self, chunk_size, decode_unicode)

    monkeypatch.setattr(requests.models.Response, "iter_content", iter_content)
    server.add("/small", b"x" * 10)
    compare(server, session, server.add("/body", pattern(20_000)), expect_native=False)
    assert seen.count(CHUNK) == 2  # the slow read, and the reader's


def test_plain_bodies_are_read_natively(server, session):
    url = server.add("/body", gzip.compress(b"not decoded"))  # compressed, but not announced so
    response = session.get(url, stream=True)
    chunks = []
    assert PROBE.chunks(response, chunks.append) is True
    assert chunks == [gzip.compress(b"not decoded")]


# Coded bodies are decoded by the reader itself, so that it can tell whether
# the coded stream reached its end; what it hands out and raises must be what
# iter_content gives.
NOISE = random.Random(5).randbytes(60_000)  # hardly compresses: many blocks
PACKED = gzip.compress(NOISE, mtime=0)


def deflated(data, wbits):
    packer = zlib.compressobj(wbits=wbits)
    return packer.compress(data) + packer.flush()


def corrupt(data):
    """64 bytes in the middle of the stored data flipped: the stream goes on to its end and fails its check."""
    packed = bytearray(gzip.compress(data, compresslevel=0, mtime=0))
    middle = len(packed) // 2
    packed[middle:middle + 64] = bytes(b ^ 0xFF for b in packed[middle:middle + 64])
    return bytes(packed)


CODED = [
    # name, what the server sends, options, whether the body is whole
    ("gzip", PACKED, {"encoding": "gzip"}, True),
    ("gzip, upper case", PACKED, {"encoding": "GZIP"}, True),
    ("gzip, no length", PACKED, {"encoding": "gzip", "length": False}, True),
    ("gzip, chunked", PACKED, {"encoding": "gzip", "chunked": True, "piece": 7_000}, True),
    ("gzip, trickling", PACKED, {"encoding": "gzip", "piece": 5_000, "trickle": 0.001}, True),
    ("gzip, two members", PACKED + gzip.compress(b"and more", mtime=0), {"encoding": "gzip"}, True),
    ("gzip, bytes after its end", PACKED + b"\0" * 100, {"encoding": "gzip"}, True),
    ("gzip, a zero byte after its end", PACKED + b"\0", {"encoding": "gzip"}, True),
    ("gzip, a header's start after its end", PACKED + PACKED[:4], {"encoding": "gzip"}, True),
    ("deflate, zlib format", deflated(NOISE, 15), {"encoding": "deflate"}, True),
    ("deflate, raw", deflated(NOISE, -15), {"encoding": "deflate"}, True),
    ("br", brotli.compress(NOISE), {"encoding": "br"}, True),
    ("empty", b"", {"encoding": "gzip"}, True),
    ("gzip, its length cut with it", PACKED, {"encoding": "gzip", "cut_to": len(PACKED) // 2}, False),
    ("gzip, cut, no length", PACKED, {"encoding": "gzip", "length": False, "cut_to": len(PACKED) // 2}, False),
    ("gzip, end mark missing", PACKED[:-8], {"encoding": "gzip"}, False),
    ("gzip, a member cut", PACKED + PACKED[:100], {"encoding": "gzip"}, False),
    ("gzip, a member without its trailer", PACKED + gzip.compress(b"more", mtime=0)[:-8], {"encoding": "gzip"},
     False),
    ("deflate, cut", deflated(NOISE, 15)[:20_000], {"encoding": "deflate"}, False),
    ("br, cut", brotli.compress(NOISE)[:20_000], {"encoding": "br"}, False),
    ("gzip, corrupt", corrupt(NOISE), {"encoding": "gzip"}, None),
    ("gzip, no gzip at all", b"plain bytes", {"encoding": "gzip"}, None),
    ("br, no brotli at all", b"plain bytes", {"encoding": "br"}, None),
]


@pytest.mark.parametrize("name,data,options,whole", CODED, ids=[c[0] for c in CODED])
def test_coded_bodies_are_decoded_as_iter_content_decodes_them(server, session, name, data, options, whole):
    server.add("/small", b"x" * 10)
    url = server.add("/body", data, **options)
    ends = []

    def through_decoder(response, take):
        native, came_whole = PROBE.chunks_and_end(response, take)
        ends.append(came_whole)
        return native

    slow, _ = read(server, session, url, through_iter_content)
    fast, native = read(server, session, url, through_decoder)
    assert [len(c) for c in fast["chunks"]] == [len(c) for c in slow["chunks"]]
    assert fast == slow
    if whole is None:
        assert fast["error"][0] is requests.exceptions.ContentDecodingError
        assert ends == []
    else:
        assert fast["error"] is None and native is False
        assert ends == [whole]
