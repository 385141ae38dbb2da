"""Handing the keys to the hotkey library and taking them back."""
import json

import pytest

from host_standin import LocalPlayer
from keyboard_handler.wx_handler import WXKeyboardHandler

ORDER = [
    ("alt+shift+back", "play_pause"),
    ("control+alt+s", "stop"),
    ("alt+shift+0", "next_track"),
    ("alt+shift+9", "previous_track"),
    ("alt+shift+pageup", "volume_up"),
    ("alt+shift+pagedown", "volume_down"),
]


def registered(hub):
    return [(key, function.__name__) for key, (function, _) in hub.handler.active_keys.items()]


@pytest.fixture
def refused(monkeypatch):
    keys = set()
    monkeypatch.setattr(WXKeyboardHandler, "refused", keys)
    return keys


def test_six_keys_in_table_order_each_calling_its_method(hub, log):
    assert hub.register_hotkeys() is None
    assert registered(hub) == ORDER
    assert all(function.__self__ is hub for function, _ in hub.handler.active_keys.values())
    assert log() == [("INFO", "Successfully registered all global hotkeys", False)]


def test_keys_come_from_the_file_as_it_is_now(hub, hotkeys_file):
    hotkeys_file.write_text(json.dumps({"stop": "f12"}))
    hub.register_hotkeys()
    assert hub.keymap["stop"] == "f12"
    assert ("f12", "stop") in registered(hub) and ("control+alt+s", "stop") not in registered(hub)


@pytest.mark.parametrize("value, enabled", [
    (False, False), (0, False), ("", False), (None, False), (True, True), (1, True), ("yes", True),
])
def test_stored_switch_decides_by_its_truth(hub, settings, hotkeys_file, log, value, enabled):
    settings.set("global_hotkeys_enabled", value)
    hotkeys_file.write_text(json.dumps({"stop": "f12"}))
    log()
    hub.register_hotkeys()
    assert hub.keymap["stop"] == "f12"  # reloaded either way
    if enabled:
        assert len(registered(hub)) == 6
    else:
        assert registered(hub) == []
        assert log()[-1:] == [
            ("INFO", "Global hotkeys disabled - hotkeys will only work when Velmora has focus", False)]


def test_switching_off_keeps_the_keys_registered_before(hub, settings):
    hub.register_hotkeys()
    settings.set("global_hotkeys_enabled", False)
    hub.register_hotkeys()
    assert registered(hub) == ORDER


def test_refused_third_key_keeps_the_first_two_and_returns(hub, refused, log):
    refused.add("alt+shift+0")
    log()
    assert hub.register_hotkeys() is None
    assert registered(hub) == ORDER[:2]
    messages = [m for m in log() if not m[1].startswith("Loaded")]
    assert messages == [("ERROR", "Error registering hotkeys: Unable to register alt+shift+0", True)]


def test_a_key_missing_from_the_map_is_a_failed_registration(hub, monkeypatch, log):
    monkeypatch.setattr(type(hub), "load_keymap", lambda self: {"play_pause": "f1"})
    hub.register_hotkeys()
    assert registered(hub) == [("f1", "play_pause")]
    assert log() == [("ERROR", "Error registering hotkeys: 'stop'", True)]


def test_registering_again_hands_every_key_over_again(hub, monkeypatch):
    calls = []
    real = WXKeyboardHandler.register_key
    monkeypatch.setattr(WXKeyboardHandler, "register_key",
                        lambda self, key, function: calls.append(key) or real(self, key, function))
    hub.register_hotkeys()
    hub.register_hotkeys()
    assert calls == [key for key, _ in ORDER] * 2


def test_unregister_takes_every_key_back(hub, log):
    hub.register_hotkeys()
    log()
    assert hub.unregister_all_keys() is None
    assert hub.handler.active_keys == {}
    assert log() == [("INFO", "Unregistered all hotkeys", False)]


@pytest.mark.parametrize("handler", [None, 0, ""])
def test_unregister_without_a_handler_does_nothing(hub, log, handler):
    hub.handler = handler
    assert hub.unregister_all_keys() is None
    assert log() == []


def test_unregister_failure_is_logged_not_raised(hub, monkeypatch, log):
    def broken(self):
        raise RuntimeError("desktop gone")

    monkeypatch.setattr(WXKeyboardHandler, "unregister_all_keys", broken)
    assert hub.unregister_all_keys() is None
    assert log() == [("ERROR", "Error unregistering hotkeys: desktop gone", True)]


def test_pressing_a_registered_key_runs_its_action_through_the_window(hub, window, speech):
    window.media_player = player = LocalPlayer(volume=-10)
    hub.register_hotkeys()
    hub.handler.press("alt+shift+pageup")
    assert player.calls == [("get_volume",), ("set_volume", -5)]
    assert speech.spoken == [("Volume 56 percent", True)]
    hub.unregister_all_keys()
    with pytest.raises(KeyError):
        hub.handler.press("alt+shift+pageup")
