"""The methods built in C++ take their arguments exactly as the same `def`
written in Python would: same binding, same TypeError texts, same signature,
and they bind as methods."""
import inspect

import pytest

from core import downloader, fault_reporter, quietshelf_client, reelmoor
from data import storage

# (class, method name): instance methods and static methods of several modules.
METHODS = [
    (downloader.DownloadTask, "__init__"),
    (downloader.DownloadProgress, "update"),
    (downloader.BaseDownloader, "add_download"),
    (downloader.BaseDownloader, "shutdown"),
    (downloader.BaseDownloader, "generate_safe_filename"),
    (downloader.BaseDownloader, "_get_filename_from_headers"),
    (downloader.BaseDownloader, "_detect_extension_from_url"),
    (storage.DataStorage, "get"),
    (storage.RadioStationStorage, "add_station"),
    (fault_reporter.FaultReporter, "handle_error"),
]

CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    (tuple(range(9)), {}),
    ((1,), {"nonsense": 1}),
    ((1, 2), {"url": 3}),
    ((), {"url": 1, "task": 2, "title": 3, "key": 4}),
    ((1,), {"headers": 2}),
]


def reference(cls, name):
    """The same signature written as a Python def inside a class of the same name."""
    raw = inspect.getattr_static(cls, name)
    is_static = isinstance(raw, staticmethod)
    function = raw.__func__ if is_static else raw
    signature = inspect.signature(function).replace(return_annotation=inspect.Signature.empty)
    params = [p.replace(annotation=inspect.Parameter.empty) for p in signature.parameters.values()]
    defaults = {p.name: p.default for p in params if p.default is not p.empty}
    params = [p.replace(default=p.default) if p.default is p.empty else p.replace(default=_Name(p.name)) for p in params]
    text = str(signature.replace(parameters=params))
    namespace = {}
    body = f"class {cls.__name__}:\n    {'@staticmethod' if is_static else ''}\n    def {name}{text}:\n        return None\n"
    exec(body, dict(defaults), namespace)
    return getattr(namespace[cls.__name__], name), is_static


class _Name:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


def outcome(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    except Exception:
        return "bound"
    return "bound"


@pytest.mark.parametrize("cls, name", METHODS, ids=lambda v: getattr(v, "__name__", v))
def test_arguments_bind_as_in_python(cls, name):
    ref, is_static = reference(cls, name)
    ours = inspect.getattr_static(cls, name)
    ours = ours.__func__ if is_static else ours
    # Only the binding is compared: the bodies are not run.
    for args, kwargs in CALLS:
        expected = outcome(ref, args, kwargs)
        if expected == "bound":
            continue
        assert outcome(ours, args, kwargs) == expected, (args, kwargs)


# Messages that name a keyword show it as given: a lone surrogate or a NUL
# stays as it is, between quotes.
KEYWORD_CALLS = [
    (downloader.BaseDownloader, "add_download", (1,), {"\udc80": 1}),
    (downloader.BaseDownloader, "add_download", (1,), {"a\x00b": 1}),
    (downloader.BaseDownloader, "add_download", (1,), {"épisode": 1}),
    (downloader.BaseDownloader, "add_download", (1, 2), {"url": 3, "\udc80": 4}),
    (downloader.DownloadTask, "__init__", (1, 2), {"url": 3}),
    (downloader.BaseDownloader, "_get_filename_from_headers", (), {"headers": 1}),
    (downloader.BaseDownloader, "_detect_extension_from_url", (), {"\udc80": 1, "url": 2}),
    (storage.DataStorage, "get", (1,), {"key\udcff": 2}),
]


@pytest.mark.parametrize("cls, name, args, kwargs", KEYWORD_CALLS)
@pytest.mark.parametrize("qualname", [None, "Odd\udc80.name"])
def test_keyword_texts_are_python_s(monkeypatch, cls, name, args, kwargs, qualname):
    ref, is_static = reference(cls, name)
    ours = inspect.getattr_static(cls, name)
    ours = ours.__func__ if is_static else ours
    if qualname:
        monkeypatch.setattr(ours, "__qualname__", qualname)
        ref.__qualname__ = qualname
    expected = outcome(ref, args, kwargs)
    assert expected != "bound"
    assert outcome(ours, args, kwargs) == expected


# Text parameters checked by a body say what the binding says: the function's
# qualname first.
@pytest.mark.parametrize("call, text", [
    (lambda: reelmoor.ReelmoorClient().search_videos(None),
     "ReelmoorClient.search_videos() argument 'query' must be str, not NoneType"),
    (lambda: reelmoor.ReelmoorClient().search_videos(5),
     "ReelmoorClient.search_videos() argument 'query' must be str, not int"),
    (lambda: reelmoor.ReelmoorClient().search_channels(None),
     "ReelmoorClient.search_channels() argument 'query' must be str, not NoneType"),
    (lambda: quietshelf_client.QuietshelfClient(None),
     "QuietshelfClient.__init__() argument 'base_url' must be str, not NoneType"),
    (lambda: quietshelf_client.QuietshelfClient().download("u", 5),
     "QuietshelfClient.download() argument 'destination' must be str, os.PathLike or None, not int"),
])
def test_argument_type_errors_name_the_function(call, text):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == text


def test_methods_look_like_python_functions():
    cls = downloader.BaseDownloader
    method = cls.__dict__["add_download"]
    assert cls.add_download is method
    assert method.__name__ == "add_download"
    assert method.__qualname__ == "BaseDownloader.add_download"
    assert method.__module__ == "core.downloader"
    assert repr(method).startswith("<function BaseDownloader.add_download at 0x")
    assert inspect.ismethoddescriptor(method) and callable(method)
    assert cls.generate_safe_filename.__defaults__ == ("mp3",)
    assert cls.__dict__["shutdown"].__defaults__ == (True,)
    assert cls.__dict__["get_all_active"].__defaults__ is None
    method.note = "kept"
    assert method.__dict__ == {"note": "kept"}
    del method.note


def test_bound_methods_and_subclass_overrides(tmp_path):
    class Scripted(downloader.BaseDownloader):
        def _download_file(self, task):
            pass

    with Scripted(str(tmp_path), max_concurrent=1) as d:
        bound = d.get_queue_size
        assert inspect.ismethod(bound) and bound.__self__ is d
        assert str(inspect.signature(bound)) == "() -> int"
        assert bound() == 0


def test_text_parameters_refuse_other_types_before_the_body():
    with pytest.raises(TypeError, match="must be str, not bytes"):
        downloader.BaseDownloader.generate_safe_filename(b"title")
    assert downloader.BaseDownloader.generate_safe_filename("title", "ogg") == "title.ogg"
