"""A recording stand-in for yt-dlp's downloader class `yt_dlp.YoutubeDL`.

The code under test looks `yt_dlp.YoutubeDL` up at each call, so the
fixture `ydl` puts the stand-in's class in its place on the real package
(monkeypatch.setattr(yt_dlp, "YoutubeDL", ...)); the rest of yt-dlp stays
real. Every object made from the class records, in `YdlStandIn.calls`, in
the order they happen:

    ("init", options)                      the very mapping it was given
    ("enter",)
    ("extract_info", args, kwargs)         as passed
    ("download", url_list)
    ("exit", exception type or None)

`options` lists the option mappings in the order the objects were made
(the objects themselves are in `made`, each with `params`, as a real one).
Answers are canned per address:

    standin.answer(url, info)             extract_info returns info
    standin.fail(url, error)              extract_info and download raise error
    standin.on_download(url, action)      download calls action(ydl, url), which
                                          may write files or call the option
                                          mapping's progress hooks

extract_info for an address without an answer raises yt-dlp's own
DownloadError, as an unreachable site would; download returns 0.
`fail_construction(error)` makes the construction itself raise.
"""
import pytest
import yt_dlp
from yt_dlp.utils import DownloadError


class YdlStandIn:
    def __init__(self):
        self.calls = []
        self.made = []
        self.answers = {}
        self.errors = {}
        self.actions = {}
        self.construction_error = None
        standin = self

        class YoutubeDL:
            def __init__(self, params=None, auto_init=True):
                standin.calls.append(("init", params))
                if standin.construction_error is not None:
                    raise standin.construction_error
                self.params = params
                standin.made.append(self)

            def __enter__(self):
                standin.calls.append(("enter",))
                return self

            def __exit__(self, exc_type, exc_value, traceback):
                standin.calls.append(("exit", exc_type))
                return None

            def extract_info(self, *args, **kwargs):
                standin.calls.append(("extract_info", args, kwargs))
                url = args[0] if args else kwargs.get("url")
                if url in standin.errors:
                    raise standin.errors[url]
                if url not in standin.answers:
                    raise DownloadError(f"ERROR: no answer for {url}")
                return standin.answers[url]

            def download(self, url_list):
                standin.calls.append(("download", url_list))
                for url in url_list:
                    if url in standin.errors:
                        raise standin.errors[url]
                    if url in standin.actions:
                        standin.actions[url](self, url)
                return 0

        self.YoutubeDL = YoutubeDL

    def answer(self, url, info):
        self.answers[url] = info
        return self

    def fail(self, url, error):
        self.errors[url] = error
        return self

    def on_download(self, url, action):
        self.actions[url] = action
        return self

    def fail_construction(self, error):
        self.construction_error = error
        return self

    @property
    def options(self):
        return [call[1] for call in self.calls if call[0] == "init"]

    def names(self):
        """The calls' names alone, in order."""
        return [call[0] for call in self.calls]


@pytest.fixture
def ydl(monkeypatch):
    """yt_dlp.YoutubeDL replaced by a recording stand-in (see YdlStandIn)."""
    standin = YdlStandIn()
    monkeypatch.setattr(yt_dlp, "YoutubeDL", standin.YoutubeDL)
    return standin
