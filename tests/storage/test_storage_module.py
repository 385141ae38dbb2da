"""data.storage as a module: its namespace, its classes, the optional keyring
library, and an import without side effects."""
import datetime
import inspect
import json
import logging
import os
import pathlib
import threading

import pytest

from data import storage

CLASSES = [
    ("ConsolidatedStorage", None, "Singleton class for managing all application data in a single file."),
    ("DataStorage", None, "Base class for JSON data storage using consolidated storage."),
    ("SubscriptionStorage", "DataStorage", "Storage for podcast subscriptions."),
    ("PlaybackPositionStorage", "DataStorage", "Storage for playback positions."),
    ("BookmarkStorage", "DataStorage", "Storage for bookmarks."),
    ("RadioStationStorage", "DataStorage", "Storage for internet radio stations."),
    ("DownloadMetadataStorage", "DataStorage", "Storage for download metadata."),
    ("SpotifyCredentialsStorage", "DataStorage", "Storage for Spotify API credentials."),
    ("SpotifyStorage", "DataStorage", "Storage for Spotify user preferences and cached data."),
    ("QuietshelfDownloadTracking", "DataStorage", "Storage for tracking daily Quietshelf download limits."),
]


def test_namespace_in_order():
    names = [n for n in vars(storage) if not n.startswith("__")]
    assert names == [
        "json", "logging", "os", "Path", "datetime", "threading",
        "keyring", "PasswordDeleteError", "KEYRING_AVAILABLE", "logger",
    ] + [c[0] for c in CLASSES]
    assert storage.__doc__ == "Data storage and persistence layer for Velmora."
    assert (storage.json, storage.logging, storage.os, storage.threading) == (json, logging, os, threading)
    assert storage.Path is pathlib.Path and storage.datetime is datetime.datetime
    assert storage.logger is logging.getLogger("data.storage")


@pytest.mark.parametrize("name, base, doc", CLASSES, ids=[c[0] for c in CLASSES])
def test_classes(name, base, doc):
    cls = getattr(storage, name)
    assert cls.__doc__ == doc and cls.__module__ == "data.storage" and cls.__qualname__ == name
    assert cls.__bases__ == ((getattr(storage, base),) if base else (object,))


METHODS = [
    ("ConsolidatedStorage", "load", "(self)", "Load all data from the consolidated file."),
    ("ConsolidatedStorage", "save", "(self)", "Save all data to the consolidated file."),
    ("ConsolidatedStorage", "get_section", "(self, section_name)", "Get a specific section of data."),
    ("ConsolidatedStorage", "set_section", "(self, section_name, data)", "Set a specific section of data and save."),
    ("ConsolidatedStorage", "__init__", "(self)", None),
    ("DataStorage", "__init__", "(self, section_name, data_folder=None)",
     "Initialize storage with a specific section name in the consolidated file."),
    ("DataStorage", "load", "(self)", "Load data from the consolidated file section."),
    ("DataStorage", "save", "(self)", "Save data to the consolidated file section."),
    ("DataStorage", "get", "(self, key, default=None)", "Get a value from storage."),
    ("DataStorage", "set", "(self, key, value)", "Set a value in storage and save."),
    ("DataStorage", "delete", "(self, key)", "Delete a key from storage and save."),
    ("DataStorage", "clear", "(self)", "Clear all data."),
]


@pytest.mark.parametrize("cls, name, signature, doc", METHODS, ids=[f"{m[0]}.{m[1]}" for m in METHODS])
def test_methods(cls, name, signature, doc):
    method = getattr(getattr(storage, cls), name)
    assert str(inspect.signature(method)) == signature and method.__doc__ == doc


def test_new_is_a_static_method_of_the_class():
    new = vars(storage.ConsolidatedStorage)["__new__"]
    assert isinstance(new, staticmethod) and str(inspect.signature(new.__func__)) == "(cls)"


KEYRING_CASES = {
    "installed": ("", "True keyring keyring.errors.PasswordDeleteError"),
    "no library": ("sys.modules['keyring'] = None", "False None builtins.Exception"),
    "no errors module": ("sys.modules['keyring.errors'] = None", "False None builtins.Exception"),
    "no error type": ("import keyring.errors; del keyring.errors.PasswordDeleteError",
                      "False None builtins.Exception"),
}


@pytest.mark.parametrize("setup, expected", KEYRING_CASES.values(), ids=KEYRING_CASES.keys())
def test_keyring_is_optional(run_py, setup, expected):
    proc = run_py(
        f"""
        import sys
        {setup}
        from data import storage as s
        k = s.keyring.__name__ if s.keyring is not None else None
        e = s.PasswordDeleteError
        print(s.KEYRING_AVAILABLE, k, e.__module__ + "." + e.__qualname__, file=sys.stderr)
        """
    )
    assert proc.stdout == "" and proc.stderr.strip() == expected


def test_import_reads_and_creates_nothing(run_py, home):
    proc = run_py(
        """
        from data import storage
        print(storage.ConsolidatedStorage._instance, type(storage.ConsolidatedStorage._lock).__name__)
        """
    )
    assert proc.stdout.split() == ["None", "lock"]
    assert list(home.iterdir()) == []
