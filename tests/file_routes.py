"""What the loopback HTTP servers of the tests share: file routes and the
server itself.

A `Route` says how one file is answered: the body, how Range is treated, a
status, a redirect, the Content-Disposition header, a missing
Content-Length, a gzip-compressed body, a body cut short, a body held back
on an event, a body trickled out, a Content-Length the body never meets, or
only a status line; `send_route` answers a request with it. `LoopbackServer`
runs a handler class (made from `Handler`) on 127.0.0.1 on a daemon thread
and keeps the request log: `log` (an entry per request, as the server makes
it), `headers` (the request headers, in the same order) and `max_in_flight`
(how many requests were being answered at the same time at most).
"""
import gzip
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Optional

GATE_TIMEOUT = 10.0  # a held body is released after this at the latest


@dataclass
class Route:
    body: bytes = b""
    # "honour": 206 with Content-Range; "ignore": always 200 with the whole
    # body; "refuse": 416; "elsewhere": 206 that starts at byte 0 whatever was asked;
    # "bare": 206 from the offset asked for, without a Content-Range header.
    range: str = "honour"
    status: int = 200  # an error status is sent with a short text body
    redirect: Optional[str] = None  # Location of a 302 ("": a 302 without Location)
    disposition: Optional[str] = None
    content_type: str = "audio/mpeg"
    content_length: bool = True  # False: no header, the body ends with the connection
    gzip: bool = False  # send the body gzip-compressed, whatever the client accepts
    short_by: int = 0  # send this many bytes fewer than Content-Length, then close
    announced: Optional[int] = None  # the Content-Length sent in place of the body's own; then close
    status_line_only: bool = False  # "HTTP/1.1 200 OK" and nothing else, then close
    # Send `hold_after` bytes of the body, then wait for `release` before the rest.
    hold_after: int = 0
    release: Optional[threading.Event] = None
    held: threading.Event = field(default_factory=threading.Event)  # set once the first part went out
    trickle: float = 0.0  # send the body in 8192-byte pieces with this pause after each


def send_plain(handler, status, text, content_type="text/plain", headers=()):
    """Answers with `text` (bytes) and the extra (name, value) `headers`."""
    handler.send_response(status)
    handler.send_header("Content-Type", content_type)
    for name, value in headers:
        handler.send_header(name, value)
    handler.send_header("Content-Length", str(len(text)))
    handler.end_headers()
    handler.wfile.write(text)


def send_route(handler, route):
    """Answers the handler's request as `route` says."""
    if route.status_line_only:
        handler.wfile.write(b"HTTP/1.1 200 OK\r\n")
        handler.close_connection = True
        return
    if route.redirect is not None:
        handler.send_response(302)
        if route.redirect:
            handler.send_header("Location", route.redirect)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
        return
    if route.status != 200:
        return send_plain(handler, route.status, b"error page")
    body = route.body
    size = len(body)
    start = range_start(handler.headers.get("Range"))
    status = 200
    content_range = None
    if start is not None and route.range != "ignore":
        if route.range == "refuse" or (route.range == "honour" and start >= size):
            handler.send_response(416)
            handler.send_header("Content-Range", f"bytes */{size}")
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        if route.range == "elsewhere":
            start = 0
        status = 206
        body = body[start:]
        if route.range != "bare":
            content_range = f"bytes {start}-{size - 1}/{size}"
    if route.gzip:
        body = gzip.compress(body)
    handler.send_response(status)
    handler.send_header("Content-Type", route.content_type)
    if route.gzip:
        handler.send_header("Content-Encoding", "gzip")
    if route.disposition is not None:
        handler.send_header("Content-Disposition", route.disposition)
    if content_range:
        handler.send_header("Content-Range", content_range)
    if route.content_length:
        handler.send_header("Content-Length", str(len(body) if route.announced is None else route.announced))
        if route.announced is not None:
            handler.close_connection = True
    else:
        handler.close_connection = True
        handler.send_header("Connection", "close")
    if route.short_by:
        handler.close_connection = True
        body = body[: max(0, len(body) - route.short_by)]
    handler.end_headers()
    if route.release is not None:
        handler.wfile.write(body[: route.hold_after])
        handler.wfile.flush()
        route.held.set()
        route.release.wait(GATE_TIMEOUT)
        body = body[route.hold_after :]
    if route.trickle:
        for start in range(0, len(body), 8192):
            handler.wfile.write(body[start : start + 8192])
            handler.wfile.flush()
            time.sleep(route.trickle)
        return
    handler.wfile.write(body)
    handler.wfile.flush()


def range_start(value):
    """The first byte of a "bytes=N-" Range value, or None."""
    if not value or not value.startswith("bytes=") or not value.endswith("-"):
        return None
    try:
        return int(value[len("bytes=") : -1])
    except ValueError:
        return None


class Handler(BaseHTTPRequestHandler):
    """The base of the servers' handlers: HTTP/1.1 (connections are kept, as
    the services keep them), and no log lines on the test output."""
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (a cancelled download) is no error here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


class LoopbackServer:
    def __init__(self, handler_class):
        self.routes = {}
        self.log = []
        self.headers = []
        self.in_flight = 0
        self.max_in_flight = 0
        self._cond = threading.Condition()
        self.httpd = _Server(("127.0.0.1", 0), handler_class)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    def _enter(self, entry, headers):
        with self._cond:
            self.log.append(entry)
            self.headers.append(headers)
            self.in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self.in_flight)
            self._cond.notify_all()

    def _leave(self):
        with self._cond:
            self.in_flight -= 1

    def wait_for_requests(self, count, timeout):
        """True once `count` requests have arrived, False after `timeout` seconds."""
        with self._cond:
            return self._cond.wait_for(lambda: len(self.log) >= count, timeout)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def add(self, path, **options):
        route = Route(**options)
        self.routes[path] = route
        return route

    def start(self):
        self.thread.start()
        return self

    def __enter__(self):
        """`with Server() as srv:` starts it and stops it at the end."""
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def stop(self):
        for route in self.routes.values():
            if route.release is not None:
                route.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()
