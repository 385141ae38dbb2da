"""A loopback HTTP server that sends a body the ways a network does: in one
write or in pieces, trickling, with its first bytes in the same packet as the
headers, without a length, cut short, reset in the middle, stalled, chunked
or compressed; and answers that are not the plain file: another status, a
Content-Range, a Range honoured, a content coding of the test's own making.

`add(path, data, **options)` answers every request for `path` with one
`Body`; `script(path, *bodies)` answers the first request with the first
body, the next with the next, and every one after with the last. `requests`
logs (path, Range header or None) for each request.

Some ways wait for the client: `lockstep` sends each 8192-byte chunk of the
body only once the client has received every chunk before it, and a reset
comes once the client has every whole chunk sent before it. The client tells
the server what it has through `received(total)`. A wait that runs out
(GATE_TIMEOUT) is counted in `stalls`: a client that holds a chunk back
longer than its bytes take to arrive shows up there. `connections` counts
the connections accepted, so a test can tell whether one was reused.
"""
import gzip
import socket
import struct
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Optional

import pytest

CHUNK = 8192
GATE_TIMEOUT = 10.0


def pattern(size):
    """Bytes that differ from one chunk to the next, so a chunk out of place shows."""
    return (bytes(range(251)) * (size // 251 + 1))[:size]


@dataclass
class Body:
    data: bytes = b""
    piece: Optional[int] = None  # send in writes of this many bytes (None: one write)
    trickle: float = 0.0  # pause after every piece
    with_headers: int = 0  # bytes of the body sent in the same write as the headers
    length: bool = True  # False: no Content-Length, the body ends with the connection
    short_by: int = 0  # announce the whole length, send this many bytes fewer, close
    reset_after: Optional[int] = None  # send this many bytes, then reset the connection
    stall_after: Optional[int] = None  # send this many bytes, then wait until the server stops
    lockstep: bool = False
    chunked: bool = False  # with short_by: the last chunk and the end mark never come
    length_too: bool = False  # chunked, and a Content-Length as well (which the framing overrides)
    gzip: bool = False  # send gzip.compress(data), announced as gzip
    encoding: Optional[str] = None  # a Content-Encoding for data, sent as it is
    status: int = 200  # a status without a body (1xx, 204, 304) is sent without one, and the connection closed
    content_range: Optional[str] = None  # sent as it is
    ranges: bool = False  # "Range: bytes=N-" gets a 206 with what is sent from byte N on
    cut_to: Optional[int] = None  # send only this many bytes of what would be sent, as if they were all


class TransferServer:
    def __init__(self):
        self.bodies = {}
        self.requests = []
        self.stalls = 0
        self.connections = 0
        self._received = 0
        self._cond = threading.Condition()
        self._stopping = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                with server._cond:
                    server.connections += 1

            def do_GET(self):
                answers = server.bodies[self.path]
                with server._cond:
                    server.requests.append((self.path, self.headers.get("Range")))
                    body = answers.pop(0) if len(answers) > 1 else answers[0]
                server._send(self, body, self.headers.get("Range"))

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that went away mid-body

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    def add(self, path, data=b"", **options):
        return self.script(path, Body(data, **options))

    def script(self, path, *bodies):
        self.bodies[path] = list(bodies)
        return self.url(path)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def received(self, total):
        """The client has `total` bytes of the body being sent."""
        with self._cond:
            self._received = total
            self._cond.notify_all()

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self._stopping.set()
        with self._cond:
            self._received = float("inf")
            self._cond.notify_all()
        self.httpd.shutdown()
        self.httpd.server_close()

    def _wait_for_client(self, total):
        with self._cond:
            if not self._cond.wait_for(lambda: self._received >= total, GATE_TIMEOUT):
                self.stalls += 1

    def _send(self, handler, body, asked=None):
        data = gzip.compress(body.data, mtime=0) if body.gzip else body.data
        status, content_range = body.status, body.content_range
        if body.ranges and asked and asked.startswith("bytes=") and asked.endswith("-"):
            start = int(asked[len("bytes="):-1])
            status, content_range = 206, f"bytes {start}-{len(data) - 1}/{len(data)}"
            data = data[start:]
        if body.cut_to is not None:
            data = data[:body.cut_to]
        reason = handler.responses.get(status, ("",))[0]
        head = [f"HTTP/1.1 {status} {reason}".rstrip(), "Content-Type: audio/mpeg"]
        if body.gzip or body.encoding:
            head.append(f"Content-Encoding: {body.encoding or 'gzip'}")
        if content_range:
            head.append(f"Content-Range: {content_range}")
        if status < 200 or status in (204, 304):
            handler.wfile.write(("\r\n".join(head + ["Connection: close"]) + "\r\n\r\n").encode())
            handler.close_connection = True
            return
        if body.chunked:
            head.append("Transfer-Encoding: chunked")
        if body.length_too or (body.length and not body.chunked):
            head.append(f"Content-Length: {len(data)}")
        if not body.length or body.short_by:
            head.append("Connection: close")
            handler.close_connection = True
        with self._cond:
            self._received = 0
        end = len(data) - body.short_by
        for cut in (body.reset_after, body.stall_after):
            if cut is not None:
                end = min(end, cut)
        first = min(body.with_headers, end)
        handler.wfile.write(("\r\n".join(head) + "\r\n\r\n").encode() + self._framed(body, data[:first]))
        position = first
        while position < end:
            stop = end if body.piece is None else min(end, position + body.piece)
            if body.lockstep:
                boundary = (position // CHUNK + 1) * CHUNK
                stop = min(stop, boundary)
                if position % CHUNK == 0 and position:
                    self._wait_for_client(position)
            handler.wfile.write(self._framed(body, data[position:stop]))
            position = stop
            if body.trickle:
                time.sleep(body.trickle)
        if body.reset_after is not None:
            self._wait_for_client(body.reset_after // CHUNK * CHUNK)
            connection = handler.connection
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
            handler.close_connection = True
            return
        if body.stall_after is not None:
            self._stopping.wait(GATE_TIMEOUT)
            handler.close_connection = True
            return
        if body.chunked and not body.short_by:
            handler.wfile.write(b"0\r\n\r\n")

    @staticmethod
    def _framed(body, part):
        if not body.chunked or not part:
            return part
        return b"%x\r\n" % len(part) + part + b"\r\n"


@pytest.fixture
def server():
    """A TransferServer for one test (import it into the test module)."""
    s = TransferServer().start()
    yield s
    s.stop()
