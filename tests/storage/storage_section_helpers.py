"""Helpers for the section stores' tests: the data file's sections, counting
saves, and a store made after a restart."""
import json


def read_section(data_file, name):
    """The section `name` as the data file holds it now."""
    return json.loads(data_file.read_text(encoding="utf-8"))[name]


def section_reader(name):
    """read(data_file): read_section for the section `name`."""
    return lambda data_file: read_section(data_file, name)


def section_writer(name):
    """write(data_file, value): a data file holding the section `name` alone."""

    def write(data_file, value):
        data_file.parent.mkdir(parents=True, exist_ok=True)
        data_file.write_text(json.dumps({name: value}), encoding="utf-8")

    return write


def restarter(class_name):
    """restart(storage): a new `class_name` store after the single
    consolidated store is dropped, so the data file is read again."""

    def restart(storage):
        storage.ConsolidatedStorage._instance = None
        return getattr(storage, class_name)()

    return restart


def count_saves(store, monkeypatch):
    """A list that gets an entry for each call of store.save()."""
    calls = []
    real = store.save

    def save():
        calls.append(1)
        return real()

    monkeypatch.setattr(store, "save", save)
    return calls
