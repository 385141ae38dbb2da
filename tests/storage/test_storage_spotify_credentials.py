"""SpotifyCredentialsStorage: identifier and redirect address in the data file,
the client secret in the credential store."""
import contextlib
import json
import logging

import keyring
import pytest
from keyring.errors import PasswordDeleteError

from memory_keyring import MemoryKeyring
from small_mount import small_tmpfs
from storage_section_helpers import restarter, section_reader

SERVICE = "Velmora-Spotify"
DEFAULT_REDIRECT = "http://127.0.0.1:8888/callback"
SAVED_AT = "2025-03-04T05:06:07.008000"


@pytest.fixture
def vault(fresh_store):
    previous = keyring.get_keyring()
    backend = MemoryKeyring()
    keyring.set_keyring(backend)
    yield backend
    keyring.set_keyring(previous)


@pytest.fixture
def clock_start():
    return (2025, 3, 4, 5, 6, 7, 8000)


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger="data.storage")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "data.storage"]

    return lines


section = section_reader("spotify_credentials")
restart = restarter("SpotifyCredentialsStorage")


def test_saved_credentials_survive_a_restart_and_the_secret_stays_out_of_the_file(
    fresh_store, vault, clock, data_file
):
    store = fresh_store.SpotifyCredentialsStorage()
    assert store.save_credentials("  my-id \t", " s3cret-value \n", " http://localhost:9000/cb  ") is None

    text = data_file.read_text(encoding="utf-8")
    assert "s3cret-value" not in text
    assert list(section(data_file)) == ["client_id", "redirect_uri", "updated_date"]
    assert section(data_file) == {
        "client_id": "my-id",
        "redirect_uri": "http://localhost:9000/cb",
        "updated_date": SAVED_AT,
    }
    assert vault.entries == {(SERVICE, "my-id"): "s3cret-value"}

    again = restart(fresh_store)
    assert again.get_credentials() == {
        "client_id": "my-id",
        "client_secret": "s3cret-value",
        "redirect_uri": "http://localhost:9000/cb",
    }
    assert list(again.get_credentials()) == ["client_id", "client_secret", "redirect_uri"]
    assert again.has_credentials() is True


def test_save_replaces_the_whole_section_and_keeps_microseconds_out_when_zero(fresh_store, vault, clock, data_file):
    data_file.parent.mkdir(parents=True)
    data_file.write_text(json.dumps({"spotify_credentials": {"extra": 1, "client_id": "old"}}), encoding="utf-8")
    clock.current = clock.current.replace(microsecond=0)
    store = fresh_store.SpotifyCredentialsStorage()

    store.save_credentials("new", "x", "")

    assert section(data_file) == {
        "client_id": "new",
        "redirect_uri": DEFAULT_REDIRECT,
        "updated_date": "2025-03-04T05:06:07",
    }


def test_empty_section_reads_as_empty_credentials_without_asking_the_store(fresh_store, vault):
    store = fresh_store.SpotifyCredentialsStorage()
    assert store.get_credentials() == {"client_id": "", "client_secret": "", "redirect_uri": DEFAULT_REDIRECT}
    assert store.has_credentials() is False
    assert vault.calls == []


def test_stored_values_are_read_back_as_they_are_and_a_missing_redirect_is_the_default(
    fresh_store, vault, data_file
):
    data_file.parent.mkdir(parents=True)
    data_file.write_text(json.dumps({"spotify_credentials": {"client_id": " id "}}), encoding="utf-8")
    vault.entries[(SERVICE, " id ")] = "pw"

    creds = fresh_store.SpotifyCredentialsStorage().get_credentials()

    assert creds == {"client_id": " id ", "client_secret": "pw", "redirect_uri": DEFAULT_REDIRECT}


def test_get_credentials_sees_what_another_store_object_saved(fresh_store, vault):
    reader = fresh_store.SpotifyCredentialsStorage()
    fresh_store.SpotifyCredentialsStorage().save_credentials("id", "pw", "http://r")
    assert reader.get_credentials()["client_id"] == "id"


def test_saving_the_same_identifier_overwrites_its_secret_without_deleting(fresh_store, vault):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("id", "one", "")
    store.save_credentials("id", "two", "")
    assert [c[0] for c in vault.calls] == ["set", "set"]
    assert vault.entries == {(SERVICE, "id"): "two"}


def test_a_new_identifier_is_stored_before_the_old_one_is_removed(fresh_store, vault):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "")
    vault.calls.clear()

    store.save_credentials("new", "pw-new", "")

    assert vault.calls == [("set", SERVICE, "new", "pw-new"), ("delete", SERVICE, "old")]
    assert vault.entries == {(SERVICE, "new"): "pw-new"}


@pytest.mark.parametrize("new_id", ["old", "new"])
def test_a_failing_store_keeps_the_previous_credentials(fresh_store, vault, data_file, log, new_id):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "http://r")
    before = data_file.read_text(encoding="utf-8")
    failure = OSError("vault locked")
    vault.failures["set"] = failure

    with pytest.raises(RuntimeError, match="^Unable to store Spotify Client Secret securely$") as raised:
        store.save_credentials(new_id, "pw-new", "")

    assert raised.value.__cause__ is failure
    assert ("ERROR", "Failed to store Spotify secret in keyring: vault locked") in log()
    assert data_file.read_text(encoding="utf-8") == before
    assert not [c for c in vault.calls if c[0] == "delete"]
    del vault.failures["set"]
    assert store.get_credentials() == {"client_id": "old", "client_secret": "pw-old", "redirect_uri": "http://r"}


# Saves "old", makes the data file's next write fail as KIND says, saves
# "new", and prints what that save answered and logged and what a restarted
# store then reads, as JSON. In a process of its own: the file-size limit
# would fail this process's own writes too.
FAILED_WRITE = """
    import json, logging, resource, signal
    import keyring
    from data import storage
    from memory_keyring import MemoryKeyring
    from small_mount import remount_read_only
    lines = []
    class Keep(logging.Handler):
        def emit(self, record):
            lines.append([record.levelname, record.getMessage()])
    logging.getLogger("data.storage").addHandler(Keep())
    logging.getLogger("data.storage").setLevel(logging.DEBUG)
    keyring.set_keyring(MemoryKeyring())
    store = storage.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "http://r")
    if KIND == "full disk":  # a file-size limit stands in for it
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))
    else:
        remount_read_only(store.consolidated.data_folder)
    outcome = {"result": store.save_credentials("new", "pw-new", ""), "log": lines}
    storage.ConsolidatedStorage._instance = None
    again = storage.SpotifyCredentialsStorage()
    outcome.update(creds=again.get_credentials(), has=again.has_credentials())
    print(json.dumps(outcome))
"""


@pytest.mark.parametrize("kind", ["full disk", "read-only mount"])
def test_a_failed_write_of_the_data_file_keeps_the_previous_secret(fresh_store, data_file, run_py, kind):
    with contextlib.ExitStack() as mounted:
        if kind == "read-only mount":
            mounted.enter_context(small_tmpfs(data_file.parent))
        done = run_py(FAILED_WRITE.replace("KIND", repr(kind)))
        assert section(data_file)["client_id"] == "old"
    assert json.loads(done.stdout) == {
        "result": None,
        "log": [],
        "creds": {"client_id": "old", "client_secret": "pw-old", "redirect_uri": "http://r"},
        "has": True,
    }


@pytest.mark.parametrize(
    "failure, level, message",
    [
        (
            PasswordDeleteError("gone"),
            "WARNING",
            "Unable to remove previous Spotify secret from keyring for client old",
        ),
        (ValueError("boom"), "ERROR", "Unexpected error clearing previous Spotify secret: boom"),
    ],
)
def test_a_failing_removal_of_the_old_secret_is_logged_and_the_save_goes_on(
    fresh_store, vault, data_file, log, failure, level, message
):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "")
    vault.failures["delete"] = failure

    store.save_credentials("new", "pw-new", "")

    assert (level, message) in log()
    assert section(data_file)["client_id"] == "new"
    assert vault.entries[(SERVICE, "new")] == "pw-new"


@pytest.mark.parametrize(
    "available, args, error, message",
    [
        (False, ("", "pw", ""), RuntimeError,
         "keyring library not available - cannot store Spotify credentials securely"),
        (False, ("id", "pw", ""), RuntimeError,
         "keyring library not available - cannot store Spotify credentials securely"),
        (True, (" \t\n", "pw", "http://r"), ValueError, "Spotify Client ID is required"),
        (True, (None, "pw", "http://r"), AttributeError, "strip"),
        (True, ("id", "pw", None), AttributeError, "strip"),
        (True, (5, "pw", "http://r"), AttributeError, "strip"),
    ],
)
def test_refused_saves_change_nothing(fresh_store, vault, data_file, monkeypatch, available, args, error, message):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "http://old")
    before = data_file.read_text(encoding="utf-8")
    vault.calls.clear()
    monkeypatch.setattr(fresh_store, "KEYRING_AVAILABLE", available)

    with pytest.raises(error, match=message):
        store.save_credentials(*args)

    assert data_file.read_text(encoding="utf-8") == before
    assert vault.calls == []


def test_a_secret_that_is_not_text_is_reported_as_a_failed_store(fresh_store, vault, log):
    store = fresh_store.SpotifyCredentialsStorage()
    with pytest.raises(RuntimeError, match="Unable to store") as raised:
        store.save_credentials("id", None, "")
    with pytest.raises(RuntimeError, match="Unable to store"):
        store.save_credentials("id", 5, "")
    assert isinstance(raised.value.__cause__, AttributeError)
    assert [level for level, _ in log()] == ["ERROR", "ERROR"]
    assert vault.calls == []


@pytest.mark.parametrize(
    "secret, get_failure, expected_secret",
    [
        ("pw", None, "pw"),
        ("", None, ""),  # an empty secret is saved but does not count
        (None, None, ""),  # entry missing from the credential store
        ("pw", OSError("no session"), ""),
    ],
)
def test_has_credentials_needs_every_part(fresh_store, vault, log, secret, get_failure, expected_secret):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("id", secret or "", "http://r")
    if secret is None:
        del vault.entries[(SERVICE, "id")]
    if get_failure:
        vault.failures["get"] = get_failure

    assert store.get_credentials()["client_secret"] == expected_secret
    assert store.has_credentials() is bool(expected_secret)
    errors = [m for level, m in log() if level == "ERROR"]
    assert errors == (["Failed to retrieve Spotify secret from keyring: no session"] * 2 if get_failure else [])


def test_without_keyring_reads_give_no_secret_and_make_no_call(fresh_store, vault, monkeypatch, log):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("id", "pw", "http://r")
    vault.calls.clear()
    monkeypatch.setattr(fresh_store, "KEYRING_AVAILABLE", False)

    assert store.get_credentials() == {"client_id": "id", "client_secret": "", "redirect_uri": "http://r"}
    assert store.has_credentials() is False
    store.clear_credentials()

    assert vault.calls == []
    assert vault.entries == {(SERVICE, "id"): "pw"}
    assert store.get_credentials()["client_id"] == ""
    assert log() == []


@pytest.mark.parametrize(
    "failure, expected_log",
    [
        (None, []),
        (PasswordDeleteError("gone"), [("INFO", "Spotify secret already removed from keyring")]),
        (OSError("denied"), [("ERROR", "Failed to clear Spotify secret from keyring: denied")]),
    ],
)
def test_clear_removes_the_secret_and_empties_the_section(fresh_store, vault, data_file, log, failure, expected_log):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("id", "pw", "http://r")
    if failure:
        vault.failures["delete"] = failure

    assert store.clear_credentials() is None

    assert vault.calls[-1] == ("delete", SERVICE, "id")
    assert log() == expected_log
    assert section(data_file) == {}
    assert restart(fresh_store).get_credentials()["client_id"] == ""


def test_the_store_functions_are_looked_up_when_called(fresh_store, monkeypatch):
    calls = []

    class Stub:
        @staticmethod
        def set_password(*args):
            calls.append(("set",) + args)

        @staticmethod
        def get_password(*args):
            calls.append(("get",) + args)
            return "from-stub"

    monkeypatch.setattr(fresh_store, "keyring", Stub)
    monkeypatch.setattr(fresh_store, "KEYRING_AVAILABLE", True)
    monkeypatch.setattr(fresh_store.SpotifyCredentialsStorage, "_SERVICE_NAME", "Other")
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("id", "pw", "")
    assert store.get_credentials()["client_secret"] == "from-stub"
    assert calls == [("set", "Other", "id", "pw"), ("get", "Other", "id")]


def test_class_layout(fresh_store):
    cls = fresh_store.SpotifyCredentialsStorage
    assert cls.__bases__ == (fresh_store.DataStorage,)
    assert cls.__doc__ == "Storage for Spotify API credentials."
    assert cls._SERVICE_NAME == SERVICE
    docs = {
        "save_credentials": "Save Spotify API credentials.",
        "get_credentials": "Get saved Spotify API credentials.",
        "has_credentials": "Check if credentials are configured.",
        "clear_credentials": "Clear all saved credentials.",
    }
    assert {name: getattr(cls, name).__doc__ for name in docs} == docs


def test_without_the_keyring_library(run_py):
    done = run_py(
        """
        import json, sys
        sys.modules["keyring"] = None
        from data import storage
        store = storage.SpotifyCredentialsStorage()
        out = {"available": storage.KEYRING_AVAILABLE, "keyring": storage.keyring,
               "error_is_exception": storage.PasswordDeleteError is Exception}
        try:
            store.save_credentials("id", "pw", "")
        except RuntimeError as e:
            out["save"] = str(e)
        store.data["client_id"] = "id"
        store.save()
        out["creds"] = store.get_credentials()
        out["has"] = store.has_credentials()
        store.clear_credentials()
        out["after_clear"] = store.data
        print(json.dumps(out))
        """
    )
    assert json.loads(done.stdout) == {
        "available": False,
        "keyring": None,
        "error_is_exception": True,
        "save": "keyring library not available - cannot store Spotify credentials securely",
        "creds": {"client_id": "id", "client_secret": "", "redirect_uri": DEFAULT_REDIRECT},
        "has": False,
        "after_clear": {},
    }
    assert done.stderr == ""


@pytest.mark.parametrize(
    "args",
    [("old", "pw-new", "http://bad\ud800"), ("new\udc80", "pw-new", ""), ("new", "pw-new", "\ud800")],
)
def test_text_the_data_file_cannot_hold_changes_nothing(fresh_store, vault, data_file, args):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "http://r")
    before, data = data_file.read_text(encoding="utf-8"), dict(store.data)
    vault.calls.clear()

    with pytest.raises(UnicodeEncodeError):
        store.save_credentials(*args)

    assert vault.calls == []
    assert store.data == data and fresh_store.ConsolidatedStorage().get_section("spotify_credentials") == data
    assert data_file.read_text(encoding="utf-8") == before
    assert store.get_credentials() == {"client_id": "old", "client_secret": "pw-old", "redirect_uri": "http://r"}


def test_a_failing_save_puts_the_previous_section_back(fresh_store, vault, data_file):
    store = fresh_store.SpotifyCredentialsStorage()
    store.save_credentials("old", "pw-old", "http://r")
    data = dict(store.data)
    fresh_store.ConsolidatedStorage().get_section("config")["broken"] = object()

    with pytest.raises(TypeError):
        store.save_credentials("old", "pw-new", "http://s")

    assert store.data == data
    assert fresh_store.ConsolidatedStorage().get_section("spotify_credentials") == data
