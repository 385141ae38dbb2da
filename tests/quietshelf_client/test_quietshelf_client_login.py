"""QuietshelfClient construction, its one session and the form log-in,
against the loopback fake of the service."""
import logging
import os
import socket
import types

import pytest
import requests

from core import quietshelf_client as qc
from quietshelf_server import EMAIL, PASSWORD, SESSION_COOKIE, login_form

USER_AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/121.0.0.0 Safari/537.36")


def infos(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "core.quietshelf_client"]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("given, stored", [
    ("https://quietshelf.com", "https://quietshelf.com"),
    ("http://127.0.0.1:1/", "http://127.0.0.1:1"),
    ("http://127.0.0.1:1/app///", "http://127.0.0.1:1/app"),
    ("", ""),
])
def test_base_url_loses_its_trailing_slashes(given, stored):
    assert qc.QuietshelfClient(given).base_url == stored


def test_new_client_has_its_own_session_and_sends_nothing(server):
    a, b = qc.QuietshelfClient(server.url("")), qc.QuietshelfClient()
    assert list(vars(a)) == ["base_url", "session", "logged_in"]
    assert b.base_url == "https://quietshelf.com"
    assert isinstance(a.session, requests.Session) and a.session is not b.session
    assert a.session.headers["User-Agent"] == USER_AGENT
    assert a.session.headers["Accept-Encoding"] == requests.utils.default_headers()["Accept-Encoding"]
    assert a.logged_in is False and a.is_logged_in() is False
    assert len(a.session.cookies) == 0 and server.log == []


@pytest.mark.parametrize("value, shown", [(None, "NoneType"), (b"http://x", "bytes"), (1, "int")])
def test_base_url_must_be_text(value, shown):
    with pytest.raises(TypeError, match=f"argument 'base_url' must be str, not {shown}"):
        qc.QuietshelfClient(value)


def test_session_comes_from_the_module_requests(monkeypatch):
    made = []

    class Session:
        def __init__(self):
            self.headers = {}
            made.append(self)

    monkeypatch.setattr(qc, "requests", types.SimpleNamespace(Session=Session))
    assert qc.QuietshelfClient().session is made[0] and made[0].headers == {"User-Agent": USER_AGENT}


def test_accepted_log_in_posts_the_form_and_keeps_the_cookies(server, client, caplog):
    caplog.set_level(logging.INFO, "core.quietshelf_client")
    assert client.login(EMAIL, PASSWORD) is True
    assert client.logged_in is True and client.is_logged_in() is True
    assert infos(caplog) == ["Successfully logged in to Quietshelf"]
    page, post, home = server.log
    assert (page.method, page.path, post.method, post.path, home.method, home.path) == (
        "GET", "/login", "POST", "/login", "GET", "/")
    assert post.form == {"_token": server.token, "email": EMAIL, "password": PASSWORD}
    assert list(post.form) == ["_token", "email", "password"]
    assert post.headers["Content-Type"] == "application/x-www-form-urlencoded"
    assert post.cookies == {"XSRF-TOKEN": server.token, SESSION_COOKIE: "guest"}
    assert home.cookies[SESSION_COOKIE] in server.sessions
    assert all(r.headers["User-Agent"] == USER_AGENT for r in server.log)


def test_the_log_in_cookies_go_with_every_later_request(server, logged_in):
    server.add("/files/101", body=b"audio" * 100, disposition='attachment; filename="Quiet.mp3"')
    item = logged_in.search("quiet")[0]
    path = logged_in.get_stream_url(item.download_url)
    try:
        with open(path, "rb") as f:
            assert f.read() == b"audio" * 100
    finally:
        os.remove(path)  # stream files are the caller's to remove
    session = server.log[2].cookies[SESSION_COOKIE]
    later = server.log[3:]
    assert [r.path for r in later] == ["/movies", "/files/101"]
    assert all(r.cookies[SESSION_COOKIE] == session for r in later)


@pytest.mark.parametrize("email, password", [(EMAIL, "wrong"), ("someone@example.com", PASSWORD)])
def test_refused_log_in_returns_false_and_clears_the_state(server, logged_in, caplog, email, password):
    caplog.set_level(logging.INFO, "core.quietshelf_client")
    assert logged_in.login(email, password) is False
    assert logged_in.logged_in is False and logged_in.is_logged_in() is False
    assert infos(caplog) == []
    assert [(r.method, r.path) for r in server.log[-3:]] == [("GET", "/login"), ("POST", "/login"), ("GET", "/login")]


def test_form_after_a_doctype_line_is_not_the_form_again(server, client):
    server.pages["/login"] = "<!DOCTYPE html>\n" + login_form(server.token)
    assert client.login(EMAIL, "wrong") is True and client.logged_in is True


@pytest.mark.parametrize("token_input", [
    "",
    '<input type="text" name="_token" value="t">',
    '<input type="HIDDEN" name="_token" value="t">',
    '<input type="hidden" name="token" value="t">',
])
def test_page_without_the_hidden_token_sends_no_post(server, client, token_input):
    server.pages["/login"] = f'<form method="POST" action="/login">{token_input}</form>'
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        client.login(EMAIL, PASSWORD)
    assert str(caught.value) == "Unable to retrieve login token" and caught.value.__cause__ is None
    assert [r.method for r in server.log] == ["GET"] and client.logged_in is False


@pytest.mark.parametrize("page, email, password, fields", [
    ('<div><input name="_token" type="hidden" class="x"></div>', EMAIL, PASSWORD, ["email", "password"]),
    (None, None, PASSWORD, ["_token", "password"]),
    (None, EMAIL, None, ["_token", "email"]),
])
def test_fields_without_a_value_are_left_out(server, client, page, email, password, fields):
    if page:
        server.pages["/login"] = page
    client.login(email, password)
    assert list(server.log[1].form) == fields


@pytest.mark.parametrize("failing, url_path", [("/login", "/login"), ("/", "/")])
def test_error_status_fails_the_log_in_and_keeps_the_state(server, logged_in, failing, url_path):
    server.statuses[failing] = 500
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        logged_in.login(EMAIL, PASSWORD)
    assert str(caught.value) == (
        f"Login request failed: 500 Server Error: Internal Server Error for url: {server.url(url_path)}")
    assert isinstance(caught.value.__cause__, requests.HTTPError)
    assert logged_in.logged_in is True


@pytest.mark.parametrize("base_url, error", [
    ("http://127.0.0.1:{port}", requests.ConnectionError),
    ("127.0.0.1:{port}", requests.exceptions.MissingSchema),
])
def test_unreachable_service_fails_the_log_in(base_url, error):
    client = qc.QuietshelfClient(base_url.format(port=closed_port()))
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        client.login(EMAIL, PASSWORD)
    assert str(caught.value) == "Login request failed: " + str(caught.value.__cause__)
    assert isinstance(caught.value.__cause__, error) and client.logged_in is False


def test_log_in_page_sits_beside_the_last_path_segment(server):
    client = qc.QuietshelfClient(server.url("/app/"))
    assert client.login(EMAIL, PASSWORD) is True
    assert server.log[0].path == "/login"


def test_other_errors_pass_unchanged(client, monkeypatch):
    def broken(text, parser):
        raise RuntimeError("parser broke")

    monkeypatch.setattr(qc, "BeautifulSoup", broken)
    with pytest.raises(RuntimeError, match="parser broke"):
        client.login(EMAIL, PASSWORD)
