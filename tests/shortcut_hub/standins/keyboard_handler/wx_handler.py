"""A wx hotkey handler: each registered key gets an id on the window, and a
hotkey event with that id on the window calls the key's callback."""
import wx


class WXKeyboardHandler:
    # Key strings whose registration fails, as the desktop refuses a key
    # that another program holds.
    refused = set()

    def __init__(self, parent):
        self.parent = parent
        self.active_keys = {}  # key string -> (callback, id), in registration order

    def register_key(self, key, function):
        if key in WXKeyboardHandler.refused:
            raise ValueError(f"Unable to register {key}")
        key_id = wx.NewIdRef()
        self.parent.Bind(wx.EVT_HOTKEY, lambda event: function(), id=key_id)
        self.active_keys[key] = (function, key_id)
        return True

    def unregister_all_keys(self):
        for _, key_id in self.active_keys.values():
            self.parent.Unbind(wx.EVT_HOTKEY, id=key_id)
        self.active_keys.clear()

    def press(self, key):
        """What the desktop does when the user presses `key` (for tests)."""
        event = wx.KeyEvent(wx.wxEVT_HOTKEY)
        event.SetId(self.active_keys[key][1])
        return self.parent.GetEventHandler().ProcessEvent(event)
