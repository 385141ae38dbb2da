"""A loopback HTTP server for the podcast download tests.

Each route is a path with a `Route` (file_routes.py) that says how to
answer: the body, how Range is treated, a status, a redirect, the
Content-Disposition header, a missing Content-Length, a gzip-compressed
body, a body cut short, or a body held back on an event.
Every request is logged as (method, path, Range header or None), its
headers are kept in `headers`, and `max_in_flight` tells how many requests
were being answered at the same time at most.
"""
from file_routes import Handler, LoopbackServer, send_plain, send_route


class PodcastServer(LoopbackServer):
    def __init__(self):
        server = self

        class PodcastHandler(Handler):
            def do_GET(self):
                server._enter(("GET", self.path, self.headers.get("Range")), dict(self.headers))
                try:
                    route = server.routes.get(self.path)
                    if route is None:
                        send_plain(self, 404, b"not found")
                    else:
                        send_route(self, route)
                finally:
                    server._leave()

        super().__init__(PodcastHandler)
