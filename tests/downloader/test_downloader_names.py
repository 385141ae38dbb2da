"""Safe file and folder names, the extension a URL suggests and the file name
of a Content-Disposition header (the static name methods of BaseDownloader)."""
import re
import sys
import types
from pathlib import Path

import pytest
from hypothesis import example, given, settings, strategies as st
from requests.structures import CaseInsensitiveDict

from core import downloader as dl

B = dl.BaseDownloader

# The same rules, written with Python's re: the nine characters and the
# control characters that are not white space go, white space runs become one
# blank, the ends are stripped.
REMOVED = re.compile(r'[<>:"/\\|?*]|(?!\s)[\x00-\x1f\x7f-\x9f]')


def ref_clean(text):
    return re.sub(r"\s+", " ", REMOVED.sub("", text)).strip()


def ref_prefix(name, chars, size):
    """The longest prefix within `chars` characters and `size` UTF-8 bytes
    (a lone surrogate counting 3)."""
    name = name[:chars]
    while len(name.encode("utf-8", "surrogatepass")) > size:
        name = name[:-1]
    return name


DEVICE = re.compile(r"(?i)(CON|PRN|AUX|NUL|COM[0-9\u00b9\u00b2\u00b3]|LPT[0-9\u00b9\u00b2\u00b3]|CONIN\$|CONOUT\$)"
                    r"(?= *(\.|\Z))", re.ASCII)


def ref_device_safe(name):
    """A "_" after a device name before the first dot (or at the end), with
    spaces between them."""
    device = DEVICE.match(name)
    return f"{name[:device.end()]}_{name[device.end():]}" if device else name


def ref_filename(title, extension="mp3"):
    name = ref_clean(title)
    if ref_prefix(name, 200, 200) != name:
        name = ref_prefix(name, 200, 200).rsplit(" ", 1)[0]
    return f"{ref_device_safe(name)}.{extension}"


def ref_folder(base, content_name):
    name = ref_clean(content_name)
    if ref_prefix(name, 100, 255) != name:
        name = ref_prefix(name, 100, 255).strip()
    if set(name) <= {".", " "}:
        name = ""
    name = ref_device_safe(name)
    if len(name.encode("utf-8", "surrogatepass")) > 255:
        name = ref_prefix(name, 101, 255).strip()
    return base / name


WORDS = "word " * 50  # 250 characters, a blank every fifth


@pytest.mark.parametrize(
    "title, extension, expected",
    [
        ("", "mp3", ".mp3"),
        ('<>:"/\\|?* \t\n', "mp3", ".mp3"),
        ("Episode 1: The <Start>?", "mp3", "Episode 1 The Start.mp3"),
        ("  tabs\tand\r\nlines  here ", "mp3", "tabs and lines here.mp3"),
        ("Ends in dots...", "mp3", "Ends in dots....mp3"),
        ("Song", "m4a", "Song.m4a"),
        ("Song", None, "Song.None"),
        ("a" * 200, "mp3", "a" * 200 + ".mp3"),
        ("b" * 250, "mp3", "b" * 200 + ".mp3"),
        (WORDS, "mp3", ("word " * 39) + "word.mp3"),
        ("c" * 199 + " " + "d" * 50, "mp3", "c" * 199 + ".mp3"),
        # long in UTF-8: at most 200 bytes before the dot
        ("\U0001F600" * 70, "mp3", "\U0001F600" * 50 + ".mp3"),
        ("\u3042" * 88, "mp3", "\u3042" * 66 + ".mp3"),
        ("Episode " + "\u00e9" * 130, "mp3", "Episode.mp3"),
        ("Folge " + "\u00e4" * 40 + " " + "\u00f6" * 90, "mp3", "Folge " + "\u00e4" * 40 + ".mp3"),
        ("nbsp\u00a0ideographic\u3000end", "mp3", "nbsp ideographic end.mp3"),
        ("zero\u200bwidth", "mp3", "zero\u200bwidth.mp3"),
        ("lone \udc80 surrogate", "mp3", "lone \udc80 surrogate.mp3"),
        # control characters go as well, NUL first of all
        ("nul\x00bell\x07esc\x1bdel\x7fc1\x9b", "mp3", "nulbellescdelc1.mp3"),
        ("a \x00 b", "mp3", "a b.mp3"),
        ("\x00", "mp3", ".mp3"),
    ],
)
def test_generate_safe_filename(title, extension, expected):
    assert B.generate_safe_filename(title, extension) == expected


# Windows takes these names, before the first dot, for devices: writes to
# them vanish. The mark comes last, after cleaning and cutting.
@pytest.mark.parametrize(
    "title, extension, expected",
    [
        ("CON", "mp3", "CON_.mp3"),
        ("nul.tar", "gz", "nul_.tar.gz"),
        ("Aux", "mp3", "Aux_.mp3"),
        ("prn", "m4a", "prn_.m4a"),
        ("com0", "mp3", "com0_.mp3"),
        ("LPT9", "mp3", "LPT9_.mp3"),
        ("COM\u00b9", "mp3", "COM\u00b9_.mp3"),
        ("conout$", "mp3", "conout$_.mp3"),
        ("CON .", "mp3", "CON_ ..mp3"),
        ("con.", "mp3", "con_..mp3"),
        ("  CON \t", "mp3", "CON_.mp3"),
        ("C<O>N", "mp3", "CON_.mp3"),
        ("nul\x00", "mp3", "nul_.mp3"),
        ("AUX " + "y" * 250, "mp3", "AUX_.mp3"),
        # one past the 200 characters: a name must never be a device
        ("COM1." + "z" * 250, "mp3", "COM1_." + "z" * 195 + ".mp3"),
        # not device names
        ("CON x", "mp3", "CON x.mp3"),
        ("COM10", "mp3", "COM10.mp3"),
        ("LPT", "mp3", "LPT.mp3"),
        ("CONSOLE", "mp3", "CONSOLE.mp3"),
        ("COM\u2074", "mp3", "COM\u2074.mp3"),
        ("x", "CON", "x.CON"),
        (".nul", "mp3", ".nul.mp3"),
    ],
)
def test_generate_safe_filename_never_names_a_device(title, extension, expected):
    assert B.generate_safe_filename(title, extension) == expected


def test_generate_safe_filename_default_extension_and_instance_call(tmp_path):
    class D(B):
        def _download_file(self, task):
            pass

    assert B.generate_safe_filename("x") == "x.mp3"
    assert B.generate_safe_filename(title="x", extension="ogg") == "x.ogg"
    with D(str(tmp_path / "dl"), 0) as d:
        assert d.generate_safe_filename("y") == "y.mp3"


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: B.generate_safe_filename(None), TypeError, "expected string or bytes-like object, got 'NoneType'"),
        (lambda: B.generate_safe_filename(5), TypeError, "must be str, not int"),
        (lambda: B.generate_safe_filename(b"x"), TypeError, "must be str, not bytes"),
        (lambda: B.generate_safe_filename("x", b"mp3"), TypeError, "must be str, not bytes"),
        (lambda: B._get_content_folder(Path("/b"), None), TypeError, "expected string"),
        (lambda: B._get_content_folder(Path("/b"), 7), TypeError, "must be str, not int"),
        (lambda: B._get_content_folder("/b", "name"), TypeError, "unsupported operand"),
        (lambda: B._detect_extension_from_url(None), AttributeError, "'NoneType' object has no attribute 'lower'"),
        (lambda: B._detect_extension_from_url(3), TypeError, "must be str, not int"),
        (lambda: B._detect_extension_from_url(url="a.zip"), TypeError, "positional-only"),
        (lambda: B._get_filename_from_headers(headers={}), TypeError, "positional-only"),
        (lambda: B._get_filename_from_headers(None), AttributeError, "get"),
    ],
)
def test_errors(call, error, text):
    with pytest.raises(error, match=re.escape(text)):
        call()


BASE = Path("/downloads/podcasts")


@pytest.mark.parametrize(
    "content_name, expected",
    [
        ("Tech Talks Daily", BASE / "Tech Talks Daily"),
        ("What? Now: Live!", BASE / "What Now Live!"),
        ("", BASE),
        ("<>|", BASE),
        ("a" * 99 + " " + "b" * 20, BASE / ("a" * 99)),
        ("c" * 120, BASE / ("c" * 100)),
        ("\u3042" * 100, BASE / ("\u3042" * 85)),
        ("\u00e9" * 99 + " " + "x", BASE / ("\u00e9" * 99)),
        ("  padded\tname ", BASE / "padded name"),
        (".hidden", BASE / ".hidden"),
        ("..\\..\\etc", BASE / "....etc"),
        ("name\x00with\x01controls", BASE / "namewithcontrols"),
    ],
)
def test_get_content_folder(content_name, expected):
    assert B._get_content_folder(BASE, content_name) == expected


@pytest.mark.parametrize(
    "content_name, expected",
    [
        ("CON", BASE / "CON_"),
        ("aux.d", BASE / "aux_.d"),
        ("Nul. Archive", BASE / "Nul_. Archive"),
        ("c?o*n", BASE / "con_"),
        ("  com9\n", BASE / "com9_"),
        ("lpt0..", BASE / "lpt0_.."),
        ("CON." + "x" * 120, BASE / ("CON_." + "x" * 96)),
        # 255 bytes stay the most a path part holds: the mark takes the room
        ("CON." + "\u00e9" + "\u3042" * 83, BASE / ("CON_." + "\u00e9" + "\u3042" * 82)),
        ("CON." + "\u00e9" + "\u3042" * 82 + " \u00e9", BASE / ("CON_." + "\u00e9" + "\u3042" * 82)),
        ("CON Talks", BASE / "CON Talks"),
        ("LPT10", BASE / "LPT10"),
        ("PRNT", BASE / "PRNT"),
    ],
)
def test_get_content_folder_never_names_a_device(content_name, expected):
    assert B._get_content_folder(BASE, content_name) == expected


@pytest.mark.parametrize(
    "content_name", [".", "..", " .. ", "../..", "..\\..", "...", ".\x00.", "." * 100 + "x", ".. .", ". \t.."]
)
def test_a_name_of_dots_stays_in_the_download_folder(tmp_path, content_name):
    base = tmp_path / "downloads"
    base.mkdir()
    folder = B._get_content_folder(base, content_name)
    assert folder == base and folder.resolve() == base.resolve()
    assert list(base.iterdir()) == []  # nothing is created


@settings(derandomize=True, database=None, max_examples=400, deadline=None)
@given(
    st.text(
        alphabet=st.one_of(
            st.sampled_from(list('<>:"/\\|?*. \t\r\n\x0b\x0c\x1c\x1f\x00\x1b\x7f\x85\x9f\xa0\u2000\u2028\u3000\u200b')),
            st.characters(),
        ),
        max_size=260,
    )
)
@example(" " + "x" * 199 + " y")
@example("x" * 100 + " " + "y")
def test_names_match_the_pattern_rules(text):
    assert B.generate_safe_filename(text) == ref_filename(text)
    assert B._get_content_folder(BASE, text) == ref_folder(BASE, text)


def test_every_code_point_is_classified_as_python_does():
    points = [chr(c) for c in range(sys.maxunicode + 1)]
    for start in range(0, len(points), 64):
        text = "x".join(points[start : start + 64])
        assert B._get_content_folder(BASE, "x" + text[:98]) == ref_folder(BASE, "x" + text[:98])
        assert B.generate_safe_filename(text) == ref_filename(text)


@pytest.mark.parametrize(
    "url, extension",
    [
        ("https://host/episode.mp3", "mp3"),
        ("https://host/episode.M4A?x=1", "m4a"),
        ("https://host/a.m4a/b.mp4", "m4a"),
        ("https://host/a.ogg?b.mp4", "mp4"),
        ("https://cdn.zipcast.example/a.mp4", "zip"),
        ("https://host/archive.ZIP", "zip"),
        ("https://host/track.OGG", "ogg"),
        ("https://host/track.flac", "mp3"),
        ("https://host/a.mp4a", "mp4"),
        ("", "mp3"),
        ("HTTPS://HOST/\u0130.MP4", "mp4"),
    ],
)
def test_detect_extension_from_url(url, extension):
    assert B._detect_extension_from_url(url) == extension


class Lowering(str):
    def lower(self):
        return "x.ogg"


def test_detect_extension_lowers_through_the_text_object():
    assert B._detect_extension_from_url(Lowering("A.ZIP")) == "ogg"


@pytest.mark.parametrize(
    "headers, filename",
    [
        ({"content-disposition": 'attachment; filename="Episode 1.mp3"'}, "Episode 1.mp3"),
        ({"Content-Disposition": "attachment; filename=plain.m4a"}, "plain.m4a"),
        ({"Content-Disposition": "attachment; filename*=UTF-8''na%C3%AFve%20name.mp3"}, "na\u00efve name.mp3"),
        ({"Content-Disposition": 'attachment; filename=" spaced.mp3 "'}, "spaced.mp3"),
        ({"Content-Disposition": "attachment"}, None),
        ({"Content-Disposition": 'attachment; filename=""'}, None),
        ({"Content-Disposition": ""}, None),
        ({}, None),
        ({"content-disposition": "", "Content-Disposition": "inline; filename=b.mp3"}, "b.mp3"),
        ({"content-disposition": "inline; filename=a.mp3", "Content-Disposition": "inline; filename=b.mp3"}, "a.mp3"),
        (CaseInsensitiveDict({"CONTENT-DISPOSITION": "attachment; filename=ci.ogg"}), "ci.ogg"),
    ],
)
def test_get_filename_from_headers(headers, filename):
    assert B._get_filename_from_headers(headers) == filename


@pytest.mark.parametrize("parsed, filename", [("stand-in.mp3", "stand-in.mp3"), (5, None), (b"x.mp3", None)])
def test_get_filename_from_headers_imports_message_when_called(monkeypatch, parsed, filename):
    seen = []

    class Message(dict):
        def get_filename(self):
            seen.append(dict(self))
            return parsed

    monkeypatch.setitem(sys.modules, "email.message", types.SimpleNamespace(Message=Message))
    assert B._get_filename_from_headers({"content-disposition": "attachment"}) == filename
    assert seen == [{"content-disposition": "attachment"}]
