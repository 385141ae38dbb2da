"""Saving through a temporary file takes what writing the file itself would
allow, for both files saved that way (the hotkey file and the data file):
a read-only file stays as it is, a writable file in a folder that takes no
new file, or one the system will not rename a new file over, is written in
place, and the new file keeps the old one's owner and permissions."""
import contextlib
import errno
import json
import os
import stat
import subprocess
from pathlib import Path

import pytest

from module_test_helpers import NOBODY, run_python_as_nobody

STANDINS = Path(__file__).parent.parent / "shortcut_hub" / "standins"

# Saves {"stop": "f2"} as argv[1] says to the file argv[2] (whose folder is
# Documents/Velmora under HOME), then prints the save's result and the log
# lines, as JSON.
SAVE = """
    import json, logging, resource, signal, sys
    from pathlib import Path
    kind, target, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    lines = []
    class Keep(logging.Handler):
        def emit(self, record):
            lines.append([record.levelname, record.getMessage()])
    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.DEBUG)
    if kind == "hotkeys":
        from core.shortcut_hub import ShortcutHub
        class Owner:  # the save needs only these two of a hub
            keymap = {"stop": "f2"}
            def get_hotkeys_file_path(self):
                return Path(target)
        save = lambda: ShortcutHub.save_keymap(Owner())
    else:
        from data.storage import ConsolidatedStorage
        store = ConsolidatedStorage()
        store.master_data["config"] = {"stop": "f2"}
        save = store.save
    if limit:  # a file-size limit stands in for a full disk
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    print(json.dumps({"result": save(), "log": lines}))
"""

FILES = {
    # kind: (file name, old content as the file holds {"stop": value}, the stored key)
    "hotkeys": ("hotkeys.json", lambda value, pad: {"stop": value, **pad}, lambda doc: doc["stop"]),
    "data": ("velmora.dat", lambda value, pad: {"config": {"stop": value, **pad}}, lambda doc: doc["config"]["stop"]),
}
SHORT, LONG = {}, {"pad": "x" * 2000}  # the new content is longer, or shorter, than the old


def lay_out(home, kind, folder_owner, mode, pad=SHORT):
    """home/Documents/Velmora owned by `folder_owner` (mode 755), holding
    the file with "f1" owned by NOBODY with `mode` (None: no file)."""
    folder = home / "Documents" / "Velmora"
    folder.mkdir(parents=True)
    os.chown(folder, folder_owner, folder_owner)
    name, content, _ = FILES[kind]
    target = folder / name
    if mode is not None:
        target.write_text(json.dumps(content("f1", pad)))
        os.chown(target, NOBODY, NOBODY)
        target.chmod(mode)
    return target


def stored(kind, target):
    return FILES[kind][2](json.loads(target.read_text()))


def save_as_nobody(home, kind, target, limit=0):
    done = run_python_as_nobody(SAVE, [kind, str(target), str(limit)], home, folders=[STANDINS])
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout)
    return outcome["result"], [tuple(line) for line in outcome["log"]]


def hotkey_lines(kind, target, error=None):
    """The log lines a save logs: the hotkey file's one line, none for the data file."""
    if kind == "data":
        return []
    if error:
        return [("ERROR", f"Failed to save hotkey configuration: {error}: '{target}'")]
    return [("INFO", f"Saved hotkey configuration to {target}")]


DENIED = "[Errno 13] Permission denied"
ROOT = 0
CASES = [
    # id, folder owner, file mode (None: no file yet), pad, saved
    ("control", NOBODY, 0o644, SHORT, True),
    ("first save", NOBODY, None, SHORT, True),
    ("read-only file", NOBODY, 0o444, SHORT, False),
    ("folder takes no new file, growing", ROOT, 0o644, SHORT, True),
    ("folder takes no new file, shrinking", ROOT, 0o600, LONG, True),
    ("read-only file, folder takes no new file", ROOT, 0o444, SHORT, False),
    ("first save, folder takes no new file", ROOT, None, SHORT, False),
]


@pytest.mark.parametrize("kind", FILES)
@pytest.mark.parametrize("owner, mode, pad, saved", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_save_takes_what_writing_the_file_allows(shared_folder, kind, owner, mode, pad, saved):
    target = lay_out(shared_folder, kind, owner, mode, pad)
    result, lines = save_as_nobody(shared_folder, kind, target)
    assert result is saved
    assert lines == hotkey_lines(kind, target, None if saved else DENIED)
    assert os.listdir(target.parent) == ([target.name] if saved or mode is not None else [])
    if mode is not None:
        assert stored(kind, target) == ("f2" if saved else "f1")
        assert stat.S_IMODE(target.stat().st_mode) == mode
        assert (target.stat().st_uid, target.stat().st_gid) == (NOBODY, NOBODY)
    elif saved:
        assert stored(kind, target) == "f2"


@pytest.mark.parametrize("kind", FILES)
def test_write_in_place_that_cannot_grow_the_file_leaves_it_whole(shared_folder, kind):
    target = lay_out(shared_folder, kind, ROOT, 0o644)
    before = target.read_bytes()
    result, lines = save_as_nobody(shared_folder, kind, target, limit=len(before))
    assert result is False
    assert lines == hotkey_lines(kind, target, "[Errno 27] File too large")
    assert target.read_bytes() == before and os.listdir(target.parent) == [target.name]


@pytest.fixture(params=FILES)
def saved_by_root(request, home, fresh_store, monkeypatch):
    """(file, save) for the file of this kind in the home folder, saved by
    this process (root, which may give a file to any user). The data file's
    store is made at the save, so it loads the file as the test left it."""
    if request.param == "hotkeys":
        monkeypatch.syspath_prepend(str(STANDINS))
        from core.shortcut_hub import ShortcutHub

        class Owner:
            keymap = {"stop": "f2"}

            def get_hotkeys_file_path(self):
                return home / "Documents" / "Velmora" / "hotkeys.json"

        return Owner().get_hotkeys_file_path(), lambda: ShortcutHub.save_keymap(Owner())
    def save():
        store = fresh_store.ConsolidatedStorage()
        store.master_data["config"] = {"stop": "f2"}
        return store.save()

    return home / "Documents" / "Velmora" / "velmora.dat", save


@pytest.fixture
def kind_saved_by_root(saved_by_root):
    """(kind, file, save): saved_by_root with the kind of its file; the file
    exists and holds "f1"."""
    target, save = saved_by_root
    kind = "hotkeys" if target.name == "hotkeys.json" else "data"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(FILES[kind][1]("f1", SHORT)))
    return kind, target, save


def test_replaced_file_keeps_its_owner_and_mode(saved_by_root):
    target, save = saved_by_root
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text("{}")
    os.chown(target, NOBODY, NOBODY)
    target.chmod(0o640)
    assert save() is True
    status = target.stat()
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (NOBODY, NOBODY, 0o640)


# A rename the system refuses while the file itself is writable; only these
# errors make the save write in place.
RENAME_ERRORS = [
    (errno.EBUSY, True),  # the file is a mount of its own
    (errno.EPERM, True),  # a sticky folder, the file not the user's
    (errno.EACCES, True),
    (errno.EXDEV, True),  # the names on two file systems
    (errno.EIO, False),
    (errno.ENOSPC, False),
    (errno.EROFS, False),
]


@pytest.mark.parametrize("error, in_place", RENAME_ERRORS, ids=[errno.errorcode[e] for e, _ in RENAME_ERRORS])
def test_refused_rename_writes_the_file_in_place(kind_saved_by_root, monkeypatch, error, in_place):
    kind, target, save = kind_saved_by_root
    inode = target.stat().st_ino

    def refuse(source, destination):
        raise OSError(error, os.strerror(error), source, destination)

    monkeypatch.setattr(os, "replace", refuse)
    assert save() is in_place
    assert stored(kind, target) == ("f2" if in_place else "f1")
    assert target.stat().st_ino == inode
    assert os.listdir(target.parent) == [target.name]


def test_file_bound_into_place_is_written_in_place(kind_saved_by_root, tmp_path):
    """A single file bound over the saved one (a container's or a sync
    tool's mount): the system refuses every rename over it (EBUSY)."""
    kind, target, save = kind_saved_by_root
    if os.geteuid() != 0:
        pytest.skip("binding a file into place needs root")
    source = tmp_path / "bound"
    source.write_bytes(target.read_bytes())
    if subprocess.run(["mount", "--bind", str(source), str(target)], capture_output=True).returncode != 0:
        pytest.skip("no bind mounts here")
    try:
        assert save() is True
        assert stored(kind, target) == "f2" and stored(kind, source) == "f2"
        assert os.listdir(target.parent) == [target.name]
    finally:
        subprocess.run(["umount", str(target)], check=True)


DAMAGED = b"{broken"  # loads neither as the data file nor as the hotkey file


@contextlib.contextmanager
def in_sticky_folder(kind, home_file, shared_folder, tmp_path):
    """The file root's but writable by all, in a folder open to all with the
    sticky bit (in place of the home folder's file), saved by NOBODY: the
    system refuses NOBODY the rename over a file not theirs (EPERM)."""
    target = lay_out(shared_folder, kind, ROOT, None)
    target.parent.chmod(0o1777)
    target.write_bytes(DAMAGED)
    target.chmod(0o666)
    yield target, [target], lambda: save_as_nobody(shared_folder, kind, target)[0]


@contextlib.contextmanager
def bound_into_place(kind, target, shared_folder, tmp_path):
    """A single file bound over the home folder's file, saved by root: the
    system refuses every link to it (EXDEV) and every rename over it (EBUSY)."""
    target.write_bytes(DAMAGED)
    source = tmp_path / "bound"
    source.write_bytes(DAMAGED)
    if subprocess.run(["mount", "--bind", str(source), str(target)], capture_output=True).returncode != 0:
        pytest.skip("no bind mounts here")
    try:
        yield target, [target, source], None
    finally:
        subprocess.run(["umount", str(target)], check=True)


REFUSED_RENAMES = {"sticky folder": in_sticky_folder, "file bound into place": bound_into_place}


@pytest.mark.parametrize("layout", REFUSED_RENAMES.values(), ids=REFUSED_RENAMES.keys())
def test_copy_set_aside_keeps_the_old_bytes_when_the_file_is_written_in_place(
        kind_saved_by_root, shared_folder, tmp_path, layout):
    """The save of a file that does not load, where the system refuses the
    rename of the new file over it: the file is written in place, and that
    write must not reach the copy set aside before it."""
    kind, target, save_as_root = kind_saved_by_root
    if os.geteuid() != 0:
        pytest.skip("laying out files of other users and binding files into place need root")
    with layout(kind, target, shared_folder, tmp_path) as (target, written, save):
        assert (save or save_as_root)() is True
        assert [stored(kind, f) for f in written] == ["f2"] * len(written)
        aside = [n for n in os.listdir(target.parent) if n.startswith(target.name + ".corrupt-")]
        assert len(aside) == 1 and sorted(os.listdir(target.parent)) == sorted([target.name] + aside)
        assert (target.parent / aside[0]).read_bytes() == DAMAGED
