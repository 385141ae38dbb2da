"""A save interrupted (Ctrl+C) at any point leaves memory as the data file
holds it: a change is taken back when the interrupt came before the file
was replaced, and kept when it came after; the interrupt itself goes on."""
import json
import os

import pytest

import core.config as config


def interrupt_in(name, after_real_call):
    """inject(monkeypatch, interrupt): os.<name> raises `interrupt`, before
    its real call or once that call is done."""

    def inject(monkeypatch, interrupt):
        real = getattr(os, name)

        def interrupted(*args, **kwargs):
            if after_real_call:
                real(*args, **kwargs)
            raise interrupt

        monkeypatch.setattr(os, name, interrupted)

    return inject


# id: (where the save is interrupted, whether the file holds the change then)
POINTS = {
    "naming the temporary file": (interrupt_in("urandom", False), False),
    "in the replace, before it": (interrupt_in("replace", False), False),
    "in the replace, once done": (interrupt_in("replace", True), True),
    "flushing the folder": (interrupt_in("fsync", False), True),
}


def view(storage):
    v = storage.DataStorage("downloads")
    v.set("a", 1)
    v.set("z", 2)
    return v


def stations(storage):
    s = storage.RadioStationStorage()
    s.add_station("http://radio/a", "A")
    return s


def settings(storage):
    c = config.Config()
    c.save()
    return c


# id: (what is changed, the change, its section, what memory holds of it)
CHANGES = {
    "DataStorage.set": (view, lambda v: v.set("b", 3), "downloads", lambda v: v.data),
    "DataStorage.set, a stored key": (view, lambda v: v.set("a", 9), "downloads", lambda v: v.data),
    "DataStorage.delete": (view, lambda v: v.delete("a"), "downloads", lambda v: v.data),
    "DataStorage.clear": (view, lambda v: v.clear(), "downloads", lambda v: v.data),
    "RadioStationStorage.add_station": (stations, lambda s: s.add_station("http://radio/b", "B"), "radio_stations",
                                        lambda s: s.data),
    "Config.set": (settings, lambda c: c.set("audio_device", "Speakers"), "config", lambda c: c.settings),
    "Config.set_service_setting": (settings, lambda c: c.set_service_setting("spotify", "auto_connect", True),
                                   "config", lambda c: c.settings),
}


def as_stored(value):
    return json.loads(json.dumps(value))


@pytest.mark.parametrize("inject, written", POINTS.values(), ids=POINTS.keys())
@pytest.mark.parametrize("make, change, section, memory", CHANGES.values(), ids=CHANGES.keys())
def test_interrupted_save_leaves_memory_as_the_file_holds_it(
    fresh_store, data_file, monkeypatch, make, change, section, memory, inject, written
):
    owner = make(fresh_store)
    store = fresh_store.ConsolidatedStorage()
    before = as_stored(memory(owner))
    interrupt = KeyboardInterrupt()
    with monkeypatch.context() as patch:
        inject(patch, interrupt)
        with pytest.raises(KeyboardInterrupt) as raised:
            change(owner)
    assert raised.value is interrupt
    fresh_store.ConsolidatedStorage._instance = None
    on_file = fresh_store.ConsolidatedStorage().get_section(section)
    assert (on_file != before) is written
    assert as_stored(memory(owner)) == on_file
    assert as_stored(store.get_section(section)) == on_file
    assert sorted(os.listdir(data_file.parent)) == ["velmora.dat"]
