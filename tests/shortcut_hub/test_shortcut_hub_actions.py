"""The six actions on the host's current player, their spoken confirmations
and the volume rules."""
import logging

import pytest

import core.shortcut_hub as sh
from host_standin import LocalPlayer, LocalPlayerWithTracks, SpotifyPlayer
from native_frames import logged_traceback, native_frames

ACTIONS = ["play_pause", "stop", "next_track", "previous_track", "volume_up", "volume_down"]


class NoSound:
    """A player without `_sound`."""

    def stop(self):
        self.stopped = True


class Unreadable(LocalPlayer):
    """A player whose `spotify_client` cannot be read."""

    @property
    def spotify_client(self):
        raise RuntimeError("not connected")


# --- the current player ----------------------------------------------------------


def choose(window, active, local):
    window.active_player, window.media_player = active, local


@pytest.mark.parametrize("make, valid", [
    (lambda: SpotifyPlayer(), True),
    (lambda: SpotifyPlayer(loaded=False), True),
    (lambda: LocalPlayer(), True),
    (lambda: LocalPlayer(loaded=False), False),
    (lambda: Unreadable(loaded=False), False),
    (lambda: NoSound(), True),
], ids=["spotify", "spotify, nothing loaded", "local", "local, nothing loaded", "unreadable spotify_client",
        "no _sound"])
def test_valid_player(hub, window, make, valid):
    player = make()
    choose(window, None, player)
    assert hub._get_valid_player() is (player if valid else None)


def test_sound_without_handle_counts_as_loaded(hub, window):
    player = LocalPlayer()
    player._sound = object()
    choose(window, None, player)
    assert hub._get_valid_player() is player


@pytest.mark.parametrize("active", [None, 0, "", []])
def test_active_player_first_while_it_is_truthy(hub, window, active):
    local, other = LocalPlayer(), SpotifyPlayer()
    choose(window, other, local)
    assert hub._get_valid_player() is other
    choose(window, active, local)
    assert hub._get_valid_player() is local
    choose(window, active, None)
    assert hub._get_valid_player() is None


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("player", [None, LocalPlayer(loaded=False)], ids=["no player", "nothing loaded"])
def test_without_media_every_action_says_so(hub, window, speech, log, action, player):
    choose(window, None, player)
    assert getattr(hub, action)() is None
    assert speech.spoken == [("No media loaded", True)]
    assert log() == [] and (player is None or player.calls == [])


# --- playback ----------------------------------------------------------------------


@pytest.mark.parametrize("make, action, calls, spoken", [
    (lambda: LocalPlayer(playing=True), "play_pause", ["is_playing", "pause"], "Paused"),
    (lambda: LocalPlayer(playing=False), "play_pause", ["is_playing", "play"], "Playing"),
    (lambda: SpotifyPlayer(loaded=False), "play_pause", ["is_playing", "play"], "Playing"),
    (lambda: LocalPlayer(), "stop", ["stop"], "Stopped"),
    (lambda: SpotifyPlayer(), "next_track", ["next_track"], "Next track"),
    (lambda: SpotifyPlayer(), "previous_track", ["previous_track"], "Previous track"),
    (lambda: LocalPlayer(), "next_track", ["skip_forward"], "Skip forward"),
    (lambda: LocalPlayer(), "previous_track", ["skip_backward"], "Skip backward"),
    (lambda: LocalPlayerWithTracks(), "next_track", ["skip_forward"], "Skip forward"),
    (lambda: LocalPlayerWithTracks(), "previous_track", ["skip_backward"], "Skip backward"),
])
def test_playback_actions(hub, window, speech, make, action, calls, spoken):
    player = make()
    choose(window, player, None)
    getattr(hub, action)()
    assert [c[0] for c in player.calls] == calls
    assert speech.spoken == [(spoken, True)]


def test_truthy_playing_state_counts_as_playing(hub, window, speech):
    player = LocalPlayer(playing="yes")
    choose(window, None, player)
    hub.play_pause()
    assert speech.spoken == [("Paused", True)]


# --- volume ---------------------------------------------------------------------------


@pytest.mark.parametrize("make, action, current, new, spoken", [
    (SpotifyPlayer, "volume_up", 99, 100, "Volume 100 percent"),
    (SpotifyPlayer, "volume_up", 100, 100, "Volume 100 percent"),
    (SpotifyPlayer, "volume_up", 57.6, 58.6, "Volume 58 percent"),
    (SpotifyPlayer, "volume_up", 150, 100, "Volume 100 percent"),
    (SpotifyPlayer, "volume_down", 0, 0, "Volume 0 percent"),
    (SpotifyPlayer, "volume_down", 50, 49, "Volume 49 percent"),
    (SpotifyPlayer, "volume_down", 1.5, 0.5, "Volume 0 percent"),
    (SpotifyPlayer, "volume_down", -7, 0, "Volume 0 percent"),
    (LocalPlayer, "volume_up", -3, 0, "Volume 100 percent"),
    (LocalPlayer, "volume_up", 0, 0, "Volume 100 percent"),
    (LocalPlayer, "volume_up", 3, 0, "Volume 100 percent"),
    (LocalPlayer, "volume_up", -50, -45, "Volume 1 percent"),
    (LocalPlayer, "volume_up", -10.5, -5.5, "Volume 53 percent"),
    (LocalPlayer, "volume_down", -38, -40, "Volume 1 percent"),
    (LocalPlayer, "volume_down", -40, -40, "Volume 1 percent"),
    (LocalPlayer, "volume_down", -50, -40, "Volume 1 percent"),
    (LocalPlayer, "volume_down", -10, -15, "Volume 18 percent"),
])
def test_volume_steps_and_bounds(hub, window, speech, make, action, current, new, spoken):
    player = make(volume=current)
    choose(window, player, None)
    getattr(hub, action)()
    assert player.calls == [("get_volume",), ("set_volume", new)]
    assert type(player.volume) is type(new)
    assert speech.spoken == [(spoken, True)]


def test_local_volume_is_spoken_as_the_host_converts_it(hub, window, speech, monkeypatch):
    seen = []
    monkeypatch.setattr(sh, "db_to_percentage", lambda db: seen.append(db) or 62.5)
    choose(window, None, LocalPlayer(volume=-20))
    hub.volume_down()
    assert seen == [-25] and speech.spoken == [("Volume 62.5 percent", True)]


@pytest.mark.parametrize("make", [SpotifyPlayer, LocalPlayer])
@pytest.mark.parametrize("action", ["volume_up", "volume_down"])
def test_no_volume_means_no_media(hub, window, speech, make, action):
    player = make(volume=None)
    choose(window, player, None)
    getattr(hub, action)()
    assert player.calls == [("get_volume",)]
    assert speech.spoken == [("No media loaded", True)]


# --- failures -------------------------------------------------------------------------


@pytest.mark.parametrize("action, failing", [
    ("play_pause", "pause"),
    ("play_pause", "is_playing"),
    ("stop", "stop"),
    ("next_track", "skip_forward"),
    ("previous_track", "skip_backward"),
    ("volume_up", "get_volume"),
    ("volume_down", "set_volume"),
])
def test_failing_player_call_is_logged_with_traceback_and_nothing_is_spoken(hub, window, speech, log, action,
                                                                            failing):
    choose(window, None, LocalPlayer(playing=True, failing={failing}))
    log()
    assert getattr(hub, action)() is None
    assert speech.spoken == []
    assert log() == [("ERROR", f"Error in {action} hotkey: {failing} failed", True)]


@pytest.mark.parametrize("action", ACTIONS)
def test_window_without_players_is_logged_under_the_action(hub, window, speech, log, action):
    del window.media_player
    log()
    getattr(hub, action)()
    [(level, message, traceback)] = log()
    assert (level, traceback) == ("ERROR", True)
    assert message.startswith(f"Error in {action} hotkey: ") and "media_player" in message


@pytest.mark.parametrize("action", ["play_pause", "volume_down"])
def test_an_error_of_the_hub_s_own_code_is_logged_with_its_frames(hub, window, caplog, action):
    del window.media_player
    caplog.set_level(logging.ERROR, logger="core.shortcut_hub")
    caplog.clear()
    getattr(hub, action)()
    (record,) = [r for r in caplog.records if r.name == "core.shortcut_hub"]
    text = logged_traceback(record)
    assert text.startswith("Traceback (most recent call last):\n")
    assert native_frames(text) == [("src/shortcut_hub/actions.cpp", f"ShortcutHub.{action}"),
                                   ("src/shortcut_hub/actions.cpp", "ShortcutHub._get_valid_player")]


def test_failing_speech_is_logged_after_the_player_call(hub, window, speech, monkeypatch, log):
    def mute(text, interrupt=False):
        raise OSError("audio device lost")

    monkeypatch.setattr(speech, "speak", mute)
    player = LocalPlayer()
    choose(window, None, player)
    hub.stop()
    assert player.calls == [("stop",)]
    assert log() == [("ERROR", "Error in stop hotkey: audio device lost", True)]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass_through_an_action(hub, window, error):
    class Interrupted(LocalPlayer):
        def stop(self):
            raise error

    choose(window, None, Interrupted())
    with pytest.raises(error):
        hub.stop()
