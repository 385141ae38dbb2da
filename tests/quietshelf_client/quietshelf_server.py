"""A loopback fake of the Quietshelf service.

Pages, as the service shows them (text/html):
  GET  /login          the log-in form, starting with `<form method="POST"
                       action=` and holding the hidden input "_token"; sets
                       the cookies "XSRF-TOKEN" and "quietshelf_session"
  POST /login          the right token, e-mail and password: a new session
                       cookie and a 302 home; anything else: a 302 back to
                       the form
  GET  /               the home page: an "h5" heading per section of recent
                       additions, each followed by its result table
  GET  /movies, /shows the catalogue of a kind with its result table, the rows
                       whose name holds the query parameter "search"
Files: `add(path, login_required=True, **Route options)` (file_routes.Route:
Range handling, Content-Disposition, a missing Content-Length, a body cut
short, a body held on an event...). A file request without a logged-in
session cookie gets a 302 to /login, as the service answers it.

Switches: `pages[path] = html` replaces a page (the log-in form too),
`statuses[path] = code` answers a page with that status, `recent` and
`catalogue` hold the rows (id, name, href) the pages show, `token` and
`accounts` decide a log-in, `expire()` ends every session.
Every request is logged in `log` as a `Request`: method, path, query,
headers, cookies and the posted form.
"""
import html
import itertools
from dataclasses import dataclass
from http.cookies import SimpleCookie
from typing import Optional
from urllib.parse import parse_qs, urlsplit

from file_routes import Handler, LoopbackServer, send_plain, send_route

SESSION_COOKIE = "quietshelf_session"
EMAIL, PASSWORD = "reader@example.com", "open sesame"


@dataclass
class Request:
    method: str
    path: str
    query: dict  # the first value of each parameter
    headers: dict
    cookies: dict
    form: Optional[dict] = None  # the posted fields, first value of each

    @property
    def range(self):
        return self.headers.get("Range")


def results_table(rows):
    """A result table as the service writes it: a head row of "th" cells and
    a body row per (id, name, href): identifier, name, download link."""
    body = "".join(
        f'<tr><td>{html.escape(i)}</td><td>{html.escape(n)}</td><td><a href="{html.escape(h)}">Download</a></td></tr>\n'
        for i, n, h in rows)
    return f"<table>\n<thead><tr><th>ID</th><th>Name</th><th>Link</th></tr></thead>\n<tbody>\n{body}</tbody>\n</table>\n"


def login_form(token):
    return (f'<form method="POST" action="/login">\n<input type="hidden" name="_token" value="{token}">\n'
            '<input type="email" name="email">\n<input type="password" name="password">\n'
            '<button type="submit">Log in</button>\n</form>\n')


def first_values(query):
    return {k: v[0] for k, v in parse_qs(query, keep_blank_values=True).items()}


class QuietshelfServer(LoopbackServer):
    def __init__(self):
        self.token = "t0k3n-4f9c"
        self.accounts = {EMAIL: PASSWORD}
        self.sessions = set()
        self._session_numbers = itertools.count(1)
        self.pages = {}
        self.statuses = {}
        server = self

        class ServiceHandler(Handler):
            def do_GET(self):
                self._serve(None)

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                self._serve(first_values(self.rfile.read(length).decode("latin-1")))

            def _serve(self, form):
                parts = urlsplit(self.path)
                cookies = {k: m.value for k, m in SimpleCookie(self.headers.get("Cookie", "")).items()}
                request = Request(self.command, parts.path, first_values(parts.query), dict(self.headers), cookies, form)
                server._enter(request, request.headers)
                try:
                    server._answer(self, request)
                finally:
                    server._leave()

        super().__init__(ServiceHandler)
        self.recent = [
            ("Recently added Movies", [("101", "The Quiet Hour", self.url("/files/101"))]),
            ("Recently added Shows", [("201", "Night Readers", self.url("/files/201"))]),
        ]
        self.catalogue = {
            "movies": [("101", "The Quiet Hour", self.url("/files/101")),
                       ("102", "Shelf Life", self.url("/files/102"))],
            "shows": [("201", "Night Readers", self.url("/files/201"))],
        }
        self.login_required = set()

    def add(self, path, login_required=True, **options):
        if login_required:
            self.login_required.add(path)
        return super().add(path, **options)

    def expire(self):
        """Ends every session: the service has logged everyone out."""
        self.sessions.clear()

    def logged_in(self, request):
        return request.cookies.get(SESSION_COOKIE) in self.sessions

    def _answer(self, handler, request):
        path = request.path
        if request.method == "POST" and path == "/login":
            return self._log_in(handler, request.form)
        if path in self.routes:
            if path in self.login_required and not self.logged_in(request):
                return send_plain(handler, 302, b"", headers=[("Location", "/login")])
            return send_route(handler, self.routes[path])
        if path in self.statuses:
            return send_plain(handler, self.statuses[path], b"<html><body>Service error</body></html>", "text/html")
        page = self.pages[path] if path in self.pages else self._page(path, request.query)
        if page is None:
            return send_plain(handler, 404, b"not found")
        headers = []
        if path == "/login":
            headers = [("Set-Cookie", f"XSRF-TOKEN={self.token}; Path=/"),
                       ("Set-Cookie", f"{SESSION_COOKIE}=guest; Path=/; HttpOnly")]
        send_plain(handler, 200, page.encode("utf-8"), "text/html; charset=UTF-8", headers)

    def _page(self, path, query):
        if path == "/login":
            return login_form(self.token)
        if path == "/":
            return "<html><body>\n" + "".join(
                f"<h5>{html.escape(heading)}</h5>\n{results_table(rows)}" for heading, rows in self.recent) + "</body></html>"
        kind = path.strip("/")
        if kind in self.catalogue:
            term = query.get("search", "").lower()
            rows = [row for row in self.catalogue[kind] if term in row[1].lower()]
            return f"<html><body>\n<h1>{kind.title()}</h1>\n{results_table(rows)}</body></html>"
        return None

    def _log_in(self, handler, form):
        if form.get("_token") == self.token and self.accounts.get(form.get("email")) == form.get("password"):
            session = f"s{next(self._session_numbers)}"
            self.sessions.add(session)
            return send_plain(handler, 302, b"", headers=[
                ("Location", "/"), ("Set-Cookie", f"{SESSION_COOKIE}={session}; Path=/; HttpOnly")])
        send_plain(handler, 302, b"", headers=[("Location", "/login")])
