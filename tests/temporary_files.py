"""Leftovers of killed saves, as the stores' tests lay them out: a file is
saved through "<name>.<12 hex digits>.tmp" beside it, and only the store of
that file may take such a name away, once it is old."""
import os
import time

HOUR = 3600
# The random part of a temporary file's name.
DIGITS = "0fad9b98ead1"

# Ages of our own leftovers (seconds; negative: a time stamp in the future)
# and whether the next load takes them away.
AGES = [
    ("just written", 0, False),
    ("nine minutes", 9 * 60, False),
    ("in the future", -HOUR, False),
    ("eleven minutes", 11 * 60, True),
    ("a week", 7 * 24 * HOUR, True),
]


def temporary_name(base, digits=DIGITS):
    return f"{base}.{digits}.tmp"


def names_that_stay(base, other_base):
    """(id, name, kind) of entries beside the file `base` that look like its
    leftovers but are not: kind is "file", "folder" or "link"."""
    own = temporary_name(base)
    return [
        ("upper-case digits", temporary_name(base, DIGITS.upper()), "file"),
        ("eleven digits", temporary_name(base, DIGITS[:-1]), "file"),
        ("thirteen digits", temporary_name(base, DIGITS + "0"), "file"),
        ("not hex", temporary_name(base, DIGITS[:-1] + "g"), "file"),
        ("more after the suffix", own + ".bak", "file"),
        ("suffix in capitals", own[:-4] + ".TMP", "file"),
        ("no digits", base + ".tmp", "file"),
        ("longer base", "x" + own, "file"),
        ("set-aside copy", base + ".corrupt-20250131-180542", "file"),
        ("the other file's leftover", temporary_name(other_base), "file"),
        ("a folder", own, "folder"),
        ("a link", own, "link"),
    ]


def age(path, seconds):
    """Sets the time stamps of `path` (not of a link's target) `seconds` back."""
    stamp = time.time() - seconds
    os.utime(path, (stamp, stamp), follow_symlinks=False)


def make_entry(path, kind, seconds_old=HOUR, content=b"partial"):
    """Creates `path` as a file, a folder or a dangling link, `seconds_old` old."""
    if kind == "folder":
        path.mkdir()
    elif kind == "link":
        path.symlink_to(path.parent / "gone")
    else:
        path.write_bytes(content)
    age(path, seconds_old)
    return path


def age_all(folder, names, seconds=HOUR):
    for name in names:
        age(folder / name, seconds)


def refuse_removal(monkeypatch, path):
    """Makes the removal of `path` fail, as it does on Windows while another
    program holds the file open."""
    real_unlink = os.unlink

    def unlink(target, *args, **kwargs):
        if os.fspath(target) == str(path):
            raise PermissionError(13, "Permission denied", str(path))
        return real_unlink(target, *args, **kwargs)

    monkeypatch.setattr(os, "unlink", unlink)
