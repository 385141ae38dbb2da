"""core.config: the settings, their defaults, the store's section "config",
the refresh rule and the shared instance."""
import datetime as dt
import inspect
import io
import json
import os
import sys

import pytest

import core.config as config
from module_test_helpers import (assert_own_methods, first_call_in_a_forked_child, first_calls_from_two_threads,
                                 run_python)

DEFAULT_KEYS = [
    "download_folder", "auto_refresh_interval", "last_refresh", "skip_forward_seconds", "skip_backward_seconds",
    "default_volume", "audio_device", "earcons_enabled", "earcons_volume", "speak_notifications",
    "auto_check_episodes_on_startup", "play_logo_on_startup", "auto_open_player_dialog", "services",
]


@pytest.fixture(autouse=True)
def store(fresh_store, monkeypatch):
    monkeypatch.setattr(config, "_config_instance", None)
    return fresh_store


@pytest.fixture
def folder(home):
    return os.path.join(str(home), "Documents", "Velmora")


@pytest.fixture
def data_file(folder):
    return os.path.join(folder, "velmora.dat")


def stored(data_file):
    with open(data_file, encoding="utf-8") as f:
        return json.load(f)["config"]


def write_store(data_file, section):
    os.makedirs(os.path.dirname(data_file), exist_ok=True)
    with open(data_file, "w", encoding="utf-8") as f:
        json.dump({"config": section}, f)


def defaults(folder):
    return {
        "download_folder": folder, "auto_refresh_interval": 86400, "last_refresh": None,
        "skip_forward_seconds": 30, "skip_backward_seconds": 15, "default_volume": 100,
        "audio_device": "Default", "earcons_enabled": True, "earcons_volume": -10,
        "speak_notifications": True, "auto_check_episodes_on_startup": True, "play_logo_on_startup": True,
        "auto_open_player_dialog": True,
        "services": {"quietshelf": {"enabled": True, "auto_login": False},
                     "spotify": {"enabled": True, "auto_connect": False}},
    }


# -- the module -----------------------------------------------------------------

def test_import_defines_the_namespace_and_touches_nothing(tmp_path):
    home = tmp_path / "fresh-home"
    home.mkdir()
    done = run_python("""
        import os, pathlib
        import core.config as c
        print([n for n in vars(c) if not n.startswith("__")])
        print(c.__doc__)
        print(c.os is os, c.sys is sys, c.Path is pathlib.Path, c._config_instance)
        print("data.storage" in sys.modules, sys.modules.get("wx"))
    """, home, block_wx=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "['os', 'sys', 'Path', 'Config', '_config_instance', 'get_config']",
        "Configuration management for Velmora.",
        "True True True None",
        "False None",
    ]
    assert list(home.iterdir()) == []


METHODS = [
    ("__init__", "(self)", "Initialize configuration with default values."),
    ("_ensure_data_folder", "(self)", "Create the data folder if it doesn't exist."),
    ("load", "(self)", "Load configuration from consolidated storage."),
    ("save", "(self)", "Save configuration to consolidated storage."),
    ("get", "(self, key, default=None)", "Get a configuration value."),
    ("set", "(self, key, value)", "Set a configuration value and save."),
    ("get_download_folder", "(self)", "Get the configured download folder."),
    ("set_download_folder", "(self, folder)", "Set the download folder."),
    ("get_service_setting", "(self, service, key, default=None)", "Get a service-specific setting."),
    ("set_service_setting", "(self, service, key, value)", "Set a service-specific setting and save."),
    ("get_audio_device", "(self)", "Get the configured audio device name."),
    ("set_audio_device", "(self, device_name)", "Set the audio device."),
    ("should_auto_refresh", "(self)", "Check if auto-refresh interval has elapsed."),
    ("update_last_refresh", "(self)", "Update last refresh timestamp to now."),
    ("get_earcons_enabled", "(self)", "Get whether earcons are enabled."),
    ("set_earcons_enabled", "(self, enabled)", "Set whether earcons are enabled."),
    ("get_earcons_volume", "(self)", "Get earcon volume in dB."),
    ("set_earcons_volume", "(self, volume)", "Set earcon volume in dB."),
    ("get_speak_notifications", "(self)", "Return whether spoken notifications are enabled."),
    ("set_speak_notifications", "(self, enabled: bool)", "Enable or disable spoken notifications."),
]


def test_class_shape_signatures_and_docstrings():
    cls = config.Config
    assert cls.__bases__ == (object,) and cls.__module__ == "core.config"
    assert cls.__doc__ == "Manages application configuration and settings."
    assert_own_methods(cls, METHODS)
    assert inspect.signature(config.get_config).parameters == {}
    assert config.get_config.__doc__ == "Get the global config instance."


def test_construction_takes_no_arguments():
    with pytest.raises(TypeError):
        config.Config(1)
    with pytest.raises(TypeError):
        config.Config(folder="x")


# -- construction and defaults ----------------------------------------------------

def test_first_start_has_the_defaults_in_order_and_writes_nothing(store, folder, data_file):
    c = config.Config()
    assert list(vars(c)) == ["app_name", "default_folder", "storage", "settings"]
    assert c.app_name == "Velmora"
    assert c.default_folder == folder and type(c.default_folder) is str
    assert c.storage is store.ConsolidatedStorage()
    assert list(c.settings) == DEFAULT_KEYS
    assert c.settings == defaults(folder)
    assert list(c.settings["services"]) == ["quietshelf", "spotify"]
    assert os.path.isdir(folder)
    assert not os.path.exists(data_file)


def test_every_construction_builds_fresh_defaults():
    a, b = config.Config(), config.Config()
    assert a.settings is not b.settings
    assert a.settings["services"] is not b.settings["services"]
    assert a.settings["services"]["spotify"] is not b.settings["services"]["spotify"]
    assert a.storage is b.storage


def test_data_folder_that_cannot_be_made_is_a_warning(home, folder, capsys):
    (home / "Documents").write_text("a file where the folder should be")
    c = config.Config()
    with pytest.raises(OSError) as expected:
        os.makedirs(folder, exist_ok=True)
    assert capsys.readouterr().err == f"Warning: Could not create data folder: {expected.value}\n"
    c.set("audio_device", "Speakers")  # the failed write stays inside the store
    assert c.get_audio_device() == "Speakers"


def test_stored_section_is_laid_over_one_level_deep(data_file, folder):
    write_store(data_file, {"extra": [1], "audio_device": "Headset", "services": {"spotify": {"enabled": False}},
                            "later": None})
    c = config.Config()
    assert list(c.settings) == DEFAULT_KEYS + ["extra", "later"]
    assert c.get("extra") == [1] and "later" in c.settings
    assert c.get_audio_device() == "Headset"
    assert c.settings["services"] == {"spotify": {"enabled": False}}
    assert c.get_service_setting("quietshelf", "enabled") is None
    assert c.get_service_setting("spotify", "auto_connect", False) is False
    c.set("earcons_volume", -3)
    assert list(stored(data_file)) == DEFAULT_KEYS + ["extra", "later"]


@pytest.mark.parametrize("section", [[], {}, None, ["audio_device", "x"], [["audio_device", "x"]], "text", 5, True])
def test_stored_section_that_is_no_map_keeps_the_defaults(data_file, folder, section):
    write_store(data_file, section)
    c = config.Config()
    assert c.settings == defaults(folder)
    c.save()
    assert stored(data_file) == defaults(folder)


def test_settings_become_the_stores_section_at_the_first_save(store, data_file):
    c = config.Config()
    c.save()
    assert c.storage.get_section("config") is c.settings
    c.settings["direct"] = "change"  # reaches the file with the next save of any section
    c.storage.set_section("other", {})
    assert stored(data_file)["direct"] == "change"


# -- getters and setters ------------------------------------------------------------

GETTERS = [
    ("get_download_folder", "download_folder", None),  # fallback: default_folder
    ("get_audio_device", "audio_device", "Default"),
    ("get_earcons_enabled", "earcons_enabled", True),
    ("get_earcons_volume", "earcons_volume", -10),
    ("get_speak_notifications", "speak_notifications", True),
]


@pytest.mark.parametrize("method, key, fallback", GETTERS)
def test_getters_return_the_stored_object_or_their_fallback(method, key, fallback):
    c = config.Config()
    value = ["stored", "object"]
    c.settings[key] = value
    assert getattr(c, method)() is value
    c.settings[key] = None  # None is a value, not an absence
    assert getattr(c, method)() is None
    del c.settings[key]
    expected = c.default_folder if key == "download_folder" else fallback
    assert getattr(c, method)() == expected


@pytest.mark.parametrize("method, key, given, kept", [
    ("set_audio_device", "audio_device", "Speakers (USB)", "Speakers (USB)"),
    ("set_earcons_enabled", "earcons_enabled", 0, 0),
    ("set_earcons_enabled", "earcons_enabled", False, False),
    ("set_earcons_volume", "earcons_volume", 1000, 1000),
    ("set_earcons_volume", "earcons_volume", -2.5, -2.5),
    ("set_speak_notifications", "speak_notifications", "yes", True),
    ("set_speak_notifications", "speak_notifications", 0, False),
    ("set_speak_notifications", "speak_notifications", [], False),
])
def test_setters_store_and_save(data_file, method, key, given, kept):
    c = config.Config()
    getattr(c, method)(given)
    assert c.settings[key] == kept and type(c.settings[key]) is type(kept)
    assert stored(data_file)[key] == kept


def test_get_and_set(data_file):
    c = config.Config()
    assert c.get("missing") is None and c.get("missing", 3) == 3
    assert c.get(key="skip_forward_seconds") == 30
    c.set("new_key", {"nested": [1, "é"]})
    c.set(key="skip_forward_seconds", value=45)
    assert stored(data_file)["new_key"] == {"nested": [1, "é"]}
    assert list(stored(data_file))[-1] == "new_key"
    assert c.get("skip_forward_seconds") == 45


def test_stored_null_download_folder_is_none(data_file):
    write_store(data_file, {"download_folder": None})
    assert config.Config().get_download_folder() is None


def test_set_download_folder_creates_the_folder(home, data_file):
    c = config.Config()
    target = str(home / "Music" / "Podcasts")
    c.set_download_folder(target)
    assert os.path.isdir(target)
    assert stored(data_file)["download_folder"] == target
    assert c.get_download_folder() == target


def test_set_download_folder_below_a_file_warns_and_keeps_the_value(home, data_file, capsys):
    (home / "plain.txt").write_text("")
    target = str(home / "plain.txt" / "downloads")
    c = config.Config()
    with pytest.raises(OSError) as expected:
        os.makedirs(target, exist_ok=True)
    c.set_download_folder(target)
    assert capsys.readouterr().err == f"Warning: Could not create download folder: {expected.value}\n"
    assert stored(data_file)["download_folder"] == target


def test_service_settings(data_file):
    c = config.Config()
    assert c.get_service_setting("quietshelf", "auto_login") is False
    assert c.get_service_setting("nothing", "enabled", "fallback") == "fallback"
    c.set_service_setting("spotify", "auto_connect", True)
    c.set_service_setting("radio", "enabled", 1)
    assert stored(data_file)["services"] == {
        "quietshelf": {"enabled": True, "auto_login": False},
        "spotify": {"enabled": True, "auto_connect": True},
        "radio": {"enabled": 1},
    }
    assert c.get_service_setting("spotify", "auto_connect") is True
    assert c.get_service_setting("radio", "enabled") == 1
    del c.settings["services"]
    assert c.get_service_setting("spotify", "enabled", "none") == "none"
    c.set_service_setting("spotify", "enabled", False)
    assert c.settings["services"] == {"spotify": {"enabled": False}}


def test_services_that_is_no_map_raises():
    c = config.Config()
    c.settings["services"] = "broken"
    with pytest.raises(AttributeError):
        c.get_service_setting("spotify", "enabled")


# -- a value that cannot be saved ---------------------------------------------------

class Unencodable:
    pass


@pytest.mark.parametrize("change, check", [
    (lambda c: c.set("new_key", Unencodable()), lambda c: "new_key" not in c.settings),
    (lambda c: c.set("audio_device", Unencodable()), lambda c: c.settings["audio_device"] == "Default"),
    (lambda c: c.set_audio_device(os.fsdecode(b"card-\xff")), lambda c: c.get_audio_device() == "Default"),
    (lambda c: c.set_service_setting("spotify", "auto_connect", Unencodable()),
     lambda c: c.settings["services"]["spotify"] == {"enabled": True, "auto_connect": False}),
    (lambda c: c.set_service_setting("spotify", "new", Unencodable()),
     lambda c: c.settings["services"]["spotify"] == {"enabled": True, "auto_connect": False}),
    (lambda c: c.set_service_setting("radio", "enabled", Unencodable()),
     lambda c: list(c.settings["services"]) == ["quietshelf", "spotify"]),
    (lambda c: c.settings.pop("services") and c.set_service_setting("radio", "x", Unencodable()),
     lambda c: "services" not in c.settings),
])
def test_failed_save_puts_the_previous_state_back(data_file, change, check):
    c = config.Config()
    c.save()
    with pytest.raises((TypeError, ValueError, UnicodeError)):
        change(c)
    assert check(c)
    c.set("earcons_volume", -4)  # later saves work again
    assert stored(data_file)["earcons_volume"] == -4


def test_store_in_its_place_that_cannot_tell_a_write_takes_any_failed_save_back():
    """A stand-in for the store that keeps no count of its writes: any error
    of the save, an interrupt too, undoes the change."""
    c = config.Config()

    class Interrupted:
        def set_section(self, name, data):
            raise KeyboardInterrupt

    c.storage = Interrupted()
    with pytest.raises(KeyboardInterrupt):
        c.set("audio_device", "Speakers")
    assert c.get_audio_device() == "Default"


# -- the refresh rule ------------------------------------------------------------

def ago(**delta):
    return (dt.datetime.now() - dt.timedelta(**delta)).isoformat()


@pytest.mark.parametrize("last_refresh, interval, due", [
    (None, 86400, True),
    ("", 86400, True),
    (0, 86400, True),
    ("not a date", 86400, True),
    (12345, 86400, True),
    (ago(days=2), 86400, True),
    (ago(hours=1), 86400, False),
    (ago(hours=-5), 86400, False),  # in the future
    (ago(hours=1), 60, True),
    (ago(hours=1), 3600.0 * 100, False),
    ((dt.datetime.now() - dt.timedelta(days=2)).astimezone().isoformat(), 86400, True),  # with offset
    (ago(hours=1), "86400", True),
    (ago(hours=1), None, True),
])
def test_should_auto_refresh(last_refresh, interval, due):
    c = config.Config()
    c.settings["last_refresh"] = last_refresh
    c.settings["auto_refresh_interval"] = interval
    assert c.should_auto_refresh() is due


def test_should_auto_refresh_with_missing_keys_uses_the_default_interval():
    c = config.Config()
    del c.settings["last_refresh"]
    assert c.should_auto_refresh() is True
    c.settings["last_refresh"] = ago(hours=23)
    del c.settings["auto_refresh_interval"]
    assert c.should_auto_refresh() is False
    c.settings["last_refresh"] = ago(hours=25)
    assert c.should_auto_refresh() is True


def test_update_last_refresh_stores_local_time_now(data_file):
    c = config.Config()
    before = dt.datetime.now()
    c.update_last_refresh()
    after = dt.datetime.now()
    value = stored(data_file)["last_refresh"]
    parsed = dt.datetime.fromisoformat(value)
    assert parsed.tzinfo is None and before <= parsed <= after
    assert value == parsed.isoformat()
    assert c.should_auto_refresh() is False


# -- the shared instance --------------------------------------------------------------

def test_get_config_returns_one_shared_instance():
    first = config.get_config()
    assert config._config_instance is first
    assert config.get_config() is first
    direct = config.Config()
    assert direct is not first and direct.storage is first.storage


def test_failed_construction_leaves_no_instance(monkeypatch):
    attempts = []

    class Flaky(config.Config):
        def __init__(self):
            attempts.append(1)
            if len(attempts) == 1:
                raise RuntimeError("store unavailable")
            super().__init__()

    monkeypatch.setattr(config, "Config", Flaky)
    with pytest.raises(RuntimeError):
        config.get_config()
    assert config._config_instance is None
    assert isinstance(config.get_config(), Flaky) and len(attempts) == 2


def test_first_calls_from_two_threads_share_one_instance(monkeypatch):
    made, results = first_calls_from_two_threads(monkeypatch, config, "Config", config.get_config)
    assert len(made) == 1 and results == [made[0], made[0]]
    assert made[0].args == ((), {})


def test_a_forked_child_makes_its_own_instance(monkeypatch):
    assert first_call_in_a_forked_child(monkeypatch, config, "Config", config.get_config) == 0


class ClosedStream(io.StringIO):
    def __init__(self):
        super().__init__()
        self.close()


def test_warnings_do_not_fail_on_a_closed_stderr(home, monkeypatch):
    (home / "Documents").write_text("")
    monkeypatch.setattr(sys, "stderr", ClosedStream())
    c = config.Config()
    c.set_download_folder(str(home / "Documents" / "x"))
    assert c.get_download_folder() == str(home / "Documents" / "x")
