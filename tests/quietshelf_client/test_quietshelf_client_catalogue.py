"""QuietshelfClient search, recent additions and result tables, against the
loopback fake of the service and against pages written for each case."""
import logging

import pytest
import requests
from bs4 import BeautifulSoup

from core import quietshelf_client as qc
from quietshelf_server import results_table


def items(found):
    return [(i.id, i.name, i.download_url, i.kind) for i in found]


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records
            if r.name == "core.quietshelf_client" and r.levelno == logging.WARNING]


def row(*cells):
    return "<tr>" + "".join(cells) + "</tr>"


def td(text):
    return f"<td>{text}</td>"


def link(href='href="/d/1"'):
    return f"<td><a {href}>Download</a></td>"


@pytest.mark.parametrize("kind, query, term", [("movies", "shelf", "shelf"), ("shows", "NIGHT", "NIGHT")])
def test_search_asks_the_catalogue_page_of_the_kind(server, client, kind, query, term):
    found = client.search(query, kind)
    assert items(found) == [(i, n, h, kind) for i, n, h in server.catalogue[kind] if term.lower() in n.lower()]
    assert [(r.path, r.query) for r in server.log] == [(f"/{kind}", {"search": term})]


def test_search_defaults_to_movies_and_keeps_only_the_host_of_the_base_address(server):
    client = qc.QuietshelfClient(server.url("/app/sub"))
    assert [i.kind for i in client.search("")] == ["movies", "movies"]
    client.search(None)
    with pytest.raises(qc.QuietshelfAPIError, match="404 Client Error"):
        client.search("x", None)
    assert [(r.path, r.query) for r in server.log] == [("/movies", {"search": ""}), ("/movies", {}),
                                                       ("/None", {"search": "x"})]


def test_search_reads_the_page_through_parse_pages(server, client, monkeypatch):
    seen = []
    monkeypatch.setattr(qc.QuietshelfClient, "_parse_pages", lambda self, text, kind: seen.append(kind) or ["r"])
    assert client.search("q", "shows") == ["r"] and seen == ["shows"]


@pytest.mark.parametrize("call, path, status, prefix, reason", [
    (lambda c: c.search("x y"), "/movies", 404, "Search request failed: ", "404 Client Error: Not Found"),
    (lambda c: c.get_recents(), "/", 503, "Request failed: ", "503 Server Error: Service Unavailable"),
])
def test_error_status_fails_the_request(server, client, call, path, status, prefix, reason):
    server.statuses[path] = status
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        call(client)
    query = "?search=x+y" if path == "/movies" else ""
    assert str(caught.value) == f"{prefix}{reason} for url: {server.url(path)}{query}"
    assert isinstance(caught.value.__cause__, requests.HTTPError)


@pytest.mark.parametrize("call, prefix", [
    (lambda c: c.search("x"), "Search request failed: "), (lambda c: c.get_recents(), "Request failed: ")])
def test_unreachable_service_fails_the_request(call, prefix):
    client = qc.QuietshelfClient("http://127.0.0.1:9")
    with pytest.raises(qc.QuietshelfAPIError) as caught:
        call(client)
    assert isinstance(caught.value.__cause__, requests.ConnectionError)
    assert str(caught.value) == prefix + str(caught.value.__cause__)


@pytest.mark.parametrize("kind", ["movies", "shows"])
def test_recent_additions_of_each_kind(server, client, kind):
    rows = dict(server.recent)[f"Recently added {kind.title()}"]
    assert items(client.get_recents(kind)) == [(i, n, h, kind) for i, n, h in rows]
    assert [(r.method, r.path, r.query) for r in server.log] == [("GET", "/", {})]


TABLE = results_table([("1", "First", "/d/1")])
OTHER = results_table([("2", "Second", "/d/2")])


@pytest.mark.parametrize("page, kind, found, warned", [
    (f"<h5>Recently added Movies</h5>{TABLE}", "movies", ["1"], False),
    (f"<h5>  RecentMovies \n</h5>{TABLE}", "movies", ["1"], False),
    (f"<h5>Recently added Tv and Movies</h5>{TABLE}", "TV", ["1"], False),
    (f"<h5>Recent movies</h5>{TABLE}", "movies", [], True),
    (f"<h5>recent Movies</h5>{TABLE}", "movies", [], True),
    (f"<h4>Recent Movies</h4>{TABLE}", "movies", [], True),
    (f"<h5>Recent Movies</h5>{TABLE}<h5>Recent Movies too</h5>{OTHER}", "movies", ["1"], False),
    (f"<h5>Recent Shows</h5>{TABLE}<h5>Recent Movies</h5>{OTHER}", "movies", ["2"], False),
    (f"{TABLE}<h5>Recent Movies</h5><p>none yet</p>", "movies", [], False),
    (f"<div><h5>Recent <b>Movies</b></h5></div><section>{OTHER}</section>", "movies", ["2"], False),
])
def test_recent_section_is_the_first_matching_heading(server, client, caplog, page, kind, found, warned):
    server.pages["/"] = f"<html><body>{page}</body></html>"
    assert [i.id for i in client.get_recents(kind)] == found
    assert warnings_of(caplog) == ([f"Could not locate section for recent {kind}"] if warned else [])


def test_recents_of_no_kind_fail_after_the_request(server, client):
    with pytest.raises(TypeError, match="'kind' must be str, not NoneType"):
        client.get_recents(None)
    assert [r.path for r in server.log] == ["/"]


@pytest.mark.parametrize("page, found", [
    (results_table([("1", "A", "/d/1"), ("2", "B", "https://files.example/2.mp3")]),
     [("1", "A", "/d/1"), ("2", "B", "https://files.example/2.mp3")]),
    ("<table><tr><td>1</td><td>A</td><td><a href='/d/1'>x</a></td></tr></table>", []),  # no implied tbody
    ("<p>No results</p>", []),
    (results_table([("1", "A", "/d/1")]) + results_table([("2", "B", "/d/2")]), [("1", "A", "/d/1")]),
])
def test_parse_pages_reads_the_first_table_body_only(client, page, found):
    assert items(client._parse_pages(page, "shows")) == [(*f, "shows") for f in found]


@pytest.mark.parametrize("rows, found", [
    ([row(td(" 1 "), td("\n The Film \n"), link(), td("extra"))], [("1", "The Film", "/d/1")]),
    ([row(td("1"), td("A"), td("no link"))], []),
    ([row(td("1"), td("A"), link("name='x'"))], []),
    ([row(td("1"), td("A"), link('href=""'))], []),
    ([row(td("  "), td("A"), link())], []),
    ([row(td("1"), td(" "), link())], []),
    ([row(td("1"), td("<b>Bold</b> <i>name</i>"), link('href="d/1?x=1&amp;y=2"'))], [("1", "Bold name", "d/1?x=1&y=2")]),
    # a head row of "th" cells reads the cells of the next row
    (["<tr><th>ID</th><th>Name</th><th>Link</th></tr>", row(td("2"), td("B"), link('href="/d/2"'))],
     [("2", "B", "/d/2"), ("2", "B", "/d/2")]),
    # a short row takes its missing cells from the rows after it
    ([row(td("1"), td("A")), row(link('href="/d/3"'), td("x"), td("y"))], [("1", "A", "/d/3")]),
])
def test_parse_page_keeps_complete_rows(client, caplog, rows, found):
    table = BeautifulSoup(f"<table><tbody>{''.join(rows)}</tbody></table>", "html.parser").tbody
    assert items(client._parse_page(table, "movies")) == [(*f, "movies") for f in found]
    assert warnings_of(caplog) == []


def test_an_error_in_one_row_skips_only_that_row(client, caplog, monkeypatch):
    real = qc.QuietshelfItem

    def item(id, name, download_url, kind):
        if id == "2":
            raise ValueError("bad row")
        return real(id, name, download_url, kind)

    monkeypatch.setattr(qc, "QuietshelfItem", item)
    page = results_table([("1", "A", "/d/1"), ("2", "B", "/d/2"), ("3", "C", "/d/3")])
    assert [i.id for i in client._parse_pages(page, "movies")] == ["1", "3"]
    assert warnings_of(caplog) == ["Error parsing row: bad row"]


def test_only_exceptions_are_caught_per_row(client, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(qc, "QuietshelfItem", interrupted)
    with pytest.raises(KeyboardInterrupt):
        client._parse_pages(results_table([("1", "A", "/d/1")]), "movies")
