"""A loopback HTTP server that sends a body the ways a network does: in one
write or in pieces, trickling, with its first bytes in the same packet as the
headers, without a length, cut short, reset in the middle, stalled, chunked
or compressed.

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
    gzip: bool = False


class TransferServer:
    def __init__(self):
        self.bodies = {}
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
                server._send(self, server.bodies[self.path])

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that went away mid-body

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    def add(self, path, data=b"", **options):
        self.bodies[path] = Body(data, **options)
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

    def _send(self, handler, body):
        data = gzip.compress(body.data) if body.gzip else body.data
        head = ["HTTP/1.1 200 OK", "Content-Type: audio/mpeg"]
        if body.gzip:
            head.append("Content-Encoding: gzip")
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
