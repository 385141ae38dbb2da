"""Loading the data file into sections the host replaced with its own
objects, whose hashing changes the very list or map being walked: load gives
what the same loop in Python gives, and nothing reads freed memory (run these
under the sanitizer build to see the difference). A change undone after its
save failed hashes none of its keys again."""
import json
import re
import sys

import pytest


class Name(str):
    """A section name whose hash runs a hook once."""

    def __new__(cls, text, hook=None):
        name = super().__new__(cls, text)
        name.hook = hook
        return name

    def __hash__(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return str.__hash__(self)


def list_emptied_by_its_first_name():
    names = [Name("config"), Name("bookmarks")]
    names[0].hook = names.clear
    return names


def map_grown_by_its_first_name():
    config = Name("config")
    sections = {config: {}, "bookmarks": {}}
    config.hook = lambda: sections.update(added={})
    return sections


@pytest.mark.parametrize("master, content, expected", [
    # The walk ends with the emptied list, which load returns.
    (list_emptied_by_its_first_name, {}, []),
    # A list takes no section name as an index.
    (list_emptied_by_its_first_name, {"config": {"a": 1}},
     TypeError("list indices must be integers or slices, not Name")),
    (map_grown_by_its_first_name, {}, RuntimeError("dictionary changed size during iteration")),
], ids=["list emptied", "list emptied, section in the file", "map grown"])
def test_load_walks_sections_changed_while_hashing(fresh_store, data_file, master, content, expected):
    data_file.parent.mkdir(parents=True, exist_ok=True)
    data_file.write_text(json.dumps(content))
    store = fresh_store.ConsolidatedStorage()
    store.master_data = master()
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            store.load()
    else:
        assert store.load() is store.master_data == expected


def test_load_walks_the_files_members_as_they_are_now(fresh_store, data_file, monkeypatch):
    """The file's members beyond the known sections, as the document is while
    they are taken: its keys' hashes may change it."""
    data_file.parent.mkdir(parents=True, exist_ok=True)
    data_file.write_text("{}")
    store = fresh_store.ConsolidatedStorage()
    more = Name("more")
    # Made while the test runs (a literal would live on in the code), and
    # freed with the document's entry unless the walk holds it.
    value = "".join(["the ", "value"])
    document = {"extra": [1], more: value}
    more.hook = document.clear
    del value
    monkeypatch.setattr(fresh_store, "json", type("Json", (), {"loads": staticmethod(lambda text: document)}))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        store.load()
    assert store.master_data["more"] == "the value"


class HashFailsLater(str):
    """A key whose hash fails from its third call on."""

    calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls >= 3:
            raise RuntimeError("hash failed")
        return str.__hash__(self)


def test_undo_of_a_change_whose_key_stops_hashing(fresh_store, data_file):
    view = fresh_store.DataStorage("config")
    view.set("kept", 1)
    before = data_file.read_bytes()
    seen, hook = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
            view.set(HashFailsLater("bad"), object())
    finally:
        sys.unraisablehook = hook
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == []
    assert list(view.data.items()) == [("kept", 1)]
    assert list(view.consolidated.get_section("config").items()) == [("kept", 1)]
    assert data_file.read_bytes() == before
