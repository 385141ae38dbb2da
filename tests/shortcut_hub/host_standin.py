"""Stand-ins for the host's main window and players, with the members the
hotkeys rely on; every player call is recorded."""
import wx


class MainWindow(wx.Frame):
    def __init__(self):
        super().__init__(None, title="Velmora")
        self.active_player = None
        self.media_player = None


class Sound:
    def __init__(self, handle):
        self.handle = handle


class LocalPlayer:
    """The host's own player: volume in decibels, -40 to 0."""

    def __init__(self, volume=-10, playing=False, loaded=True, failing=()):
        self._sound = Sound(7 if loaded else None)
        self.volume = volume
        self.playing = playing
        self.failing = set(failing)  # members that raise
        self.calls = []

    def _call(self, name, *args):
        self.calls.append((name, *args))
        if name in self.failing:
            raise RuntimeError(f"{name} failed")

    def is_playing(self):
        self._call("is_playing")
        return self.playing

    def play(self):
        self._call("play")

    def pause(self):
        self._call("pause")

    def stop(self):
        self._call("stop")

    def skip_forward(self):
        self._call("skip_forward")

    def skip_backward(self):
        self._call("skip_backward")

    def get_volume(self):
        self._call("get_volume")
        return self.volume

    def set_volume(self, volume):
        self._call("set_volume", volume)
        self.volume = volume


class LocalPlayerWithTracks(LocalPlayer):
    """A local player that has track methods but is no Spotify player."""

    def next_track(self):
        self._call("next_track")

    def previous_track(self):
        self._call("previous_track")


class SpotifyPlayer(LocalPlayerWithTracks):
    """The Spotify player: volume in percent, 0 to 100."""

    def __init__(self, volume=50, **kwargs):
        super().__init__(volume=volume, **kwargs)
        self.spotify_client = object()
