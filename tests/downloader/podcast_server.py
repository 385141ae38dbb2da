"""A loopback HTTP server for the podcast download tests.

Each route is a path with a `Route` that says how to answer: the body, how
Range is treated, a status, a redirect, the Content-Disposition header, a
missing Content-Length, a gzip-compressed body, a body cut short, or a body
held back on an event.
Every request is logged as (method, path, Range header or None), its
headers are kept in `headers`, and `max_in_flight` tells how many requests
were being answered at the same time at most.
"""
import gzip
import sys
import threading
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
    redirect: Optional[str] = None  # Location of a 302
    disposition: Optional[str] = None
    content_type: str = "audio/mpeg"
    content_length: bool = True  # False: no header, the body ends with the connection
    gzip: bool = False  # send the body gzip-compressed, whatever the client accepts
    short_by: int = 0  # send this many bytes fewer than Content-Length, then close
    # Send `hold_after` bytes of the body, then wait for `release` before the rest.
    hold_after: int = 0
    release: Optional[threading.Event] = None
    held: threading.Event = field(default_factory=threading.Event)  # set once the first part went out


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (a cancelled download) is no error here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


class PodcastServer:
    def __init__(self):
        self.routes = {}
        self.log = []
        self.headers = []
        self.in_flight = 0
        self.max_in_flight = 0
        self._cond = threading.Condition()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server._enter(("GET", self.path, self.headers.get("Range")), dict(self.headers))
                try:
                    self._answer()
                finally:
                    server._leave()

            def _answer(self):
                route = server.routes.get(self.path)
                if route is None:
                    return self._plain(404, b"not found")
                if route.redirect is not None:
                    self.send_response(302)
                    self.send_header("Location", route.redirect)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if route.status != 200:
                    return self._plain(route.status, b"error page")
                self._body(route)

            def _plain(self, status, text):
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(text)))
                self.end_headers()
                self.wfile.write(text)

            def _body(self, route):
                body = route.body
                size = len(body)
                start = _range_start(self.headers.get("Range"))
                status = 200
                content_range = None
                if start is not None and route.range != "ignore":
                    if route.range == "refuse" or (route.range == "honour" and start >= size):
                        self.send_response(416)
                        self.send_header("Content-Range", f"bytes */{size}")
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    if route.range == "elsewhere":
                        start = 0
                    status = 206
                    body = body[start:]
                    if route.range != "bare":
                        content_range = f"bytes {start}-{size - 1}/{size}"
                if route.gzip:
                    body = gzip.compress(body)
                self.send_response(status)
                self.send_header("Content-Type", route.content_type)
                if route.gzip:
                    self.send_header("Content-Encoding", "gzip")
                if route.disposition is not None:
                    self.send_header("Content-Disposition", route.disposition)
                if content_range:
                    self.send_header("Content-Range", content_range)
                if route.content_length:
                    self.send_header("Content-Length", str(len(body)))
                else:
                    self.close_connection = True
                    self.send_header("Connection", "close")
                if route.short_by:
                    self.close_connection = True
                    body = body[: max(0, len(body) - route.short_by)]
                self.end_headers()
                if route.release is not None:
                    self.wfile.write(body[: route.hold_after])
                    self.wfile.flush()
                    route.held.set()
                    route.release.wait(GATE_TIMEOUT)
                    body = body[route.hold_after :]
                self.wfile.write(body)
                self.wfile.flush()

        self.httpd = _Server(("127.0.0.1", 0), Handler)
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

    def stop(self):
        for route in self.routes.values():
            if route.release is not None:
                route.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def _range_start(value):
    if not value or not value.startswith("bytes=") or not value.endswith("-"):
        return None
    try:
        return int(value[len("bytes=") : -1])
    except ValueError:
        return None
