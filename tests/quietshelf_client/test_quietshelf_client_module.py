"""core.quietshelf_client as a module: its namespace in load order, its
classes, the catalogue record and the service error, and loading without
requests or Beautiful Soup."""
import logging
import os
import typing
from urllib.parse import urljoin

import bs4
import pytest
import requests

from core import quietshelf_client as qc
from module_test_helpers import assert_own_methods, run_python

LOAD_TIME_NAMES = [
    ("requests", requests), ("logging", logging), ("os", os), ("List", typing.List),
    ("Optional", typing.Optional), ("Callable", typing.Callable), ("BeautifulSoup", bs4.BeautifulSoup),
    ("urljoin", urljoin),
]
ITEMS = "List[core.quietshelf_client.QuietshelfItem]"
CLIENT_METHODS = [
    ("__init__", "(self, base_url: str = 'https://quietshelf.com')"),
    ("login", "(self, email: str, password: str) -> bool"),
    ("search", f"(self, query: str, kind: str = 'movies') -> {ITEMS}"),
    ("get_recents", f"(self, kind: str = 'movies') -> {ITEMS}"),
    ("_parse_pages", f"(self, text: str, kind: str) -> {ITEMS}"),
    ("_parse_page", f"(self, table, kind: str) -> {ITEMS}"),
    ("get_stream_url", "(self, download_url: str) -> str"),
    ("download", "(self, download_url: str, destination: Optional[str] = None, "
                 "progress_callback: Optional[Callable[[int], NoneType]] = None) -> str"),
    ("_get_filename_from_headers", "(self, headers) -> str"),
    ("is_logged_in", "(self) -> bool"),
]


def test_namespace_in_load_order():
    names = [n for n in vars(qc) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [n for n, _ in LOAD_TIME_NAMES] + ["logger", "QuietshelfItem", "QuietshelfAPIError",
                                                       "QuietshelfClient"]
    for name, value in LOAD_TIME_NAMES:
        assert getattr(qc, name) is value, name
    assert qc.logger is logging.getLogger("core.quietshelf_client")
    assert qc.__doc__


@pytest.mark.parametrize("name, bases", [
    ("QuietshelfItem", (object,)), ("QuietshelfAPIError", (Exception,)), ("QuietshelfClient", (object,))])
def test_classes(name, bases):
    cls = getattr(qc, name)
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("core.quietshelf_client", name, bases)
    assert cls.__doc__


def test_client_methods_in_order():
    assert_own_methods(qc.QuietshelfClient, [(n, s, True) for n, s in CLIENT_METHODS],
                       doc_of=lambda method: bool(method.__doc__))


@pytest.mark.parametrize("values, shown", [
    (("12", "The Film", "/download/12", "movies"),
     "QuietshelfItem(id='12', name='The Film', download_url='/download/12', kind='movies')"),
    (("1", "A", None, "shows"), "QuietshelfItem(id='1', name='A', download_url=None, kind='shows')"),
    (("7", "Tom's Film", "", " x "), "QuietshelfItem(id='7', name=\"Tom's Film\", download_url='', kind=' x ')"),
])
def test_item_keeps_its_values_and_shows_them(values, shown):
    item = qc.QuietshelfItem(*values)
    assert list(vars(item).items()) == list(zip(["id", "name", "download_url", "kind"], values))
    assert repr(item) == str(item) == shown
    assert item != qc.QuietshelfItem(*values) and item == item
    item.name = "changed"
    assert item.name == "changed"


@pytest.mark.parametrize("args, kwargs, text", [
    ((1, "A", "/d/1", "shows"), {}, "argument 'id' must be str, not int"),
    (("1", "A", b"/d/1", "shows"), {}, "argument 'download_url' must be str, not bytes"),
    (("1", "A", "/d/1"), {}, "missing 1 required positional argument: 'kind'"),
    (("1", "A", "/d/1", "shows", "x"), {}, "takes 5 positional arguments but 6 were given"),
    ((), {"id": "1", "name": "A", "download_url": "/d/1", "kind": "shows", "year": "2020"}, "unexpected keyword"),
])
def test_item_refuses_wrong_arguments(args, kwargs, text):
    with pytest.raises(TypeError, match=text):
        qc.QuietshelfItem(*args, **kwargs)


def test_api_error_is_a_plain_exception_with_its_message():
    with pytest.raises(Exception) as caught:
        raise qc.QuietshelfAPIError("Session expired. Please log in again.")
    assert type(caught.value) is qc.QuietshelfAPIError
    assert str(caught.value) == "Session expired. Please log in again."
    assert caught.value.args == ("Session expired. Please log in again.",)


@pytest.mark.parametrize("library", ["requests", "bs4"])
def test_loading_without_a_library_fails_with_import_error(home, library):
    done = run_python(f"""
        sys.modules[{library!r}] = None
        try:
            import core.quietshelf_client
        except ImportError as error:
            print(type(error).__name__, error)
        """, home)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ModuleNotFoundError") and library in done.stdout
