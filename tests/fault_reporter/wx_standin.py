"""A stand-in for the wx module, for the fault reporter's dialogs.

It records every call (in `calls`, as (name, args, kwargs) tuples) and
answers as scripted: `answer` is what ShowModal returns, and each name in
`failing` ("MessageDialog", "ShowModal", "Destroy", "MessageBox") raises
RuntimeError when called. Install it with
monkeypatch.setattr(core.fault_reporter, "wx", WxStandIn(...)).
"""

YES_NO = 0x0001
ICON_ERROR = 0x0010
NO_DEFAULT = 0x0100
OK = 0x1000
ICON_INFORMATION = 0x10000
ID_YES = 5103
ID_NO = 5104


class StandInDialog:
    def __init__(self, wx):
        self._wx = wx

    def ShowModal(self):
        self._wx._record("ShowModal")
        return self._wx.answer

    def Destroy(self):
        self._wx._record("Destroy")
        return True


class WxStandIn:
    YES_NO = YES_NO
    ICON_ERROR = ICON_ERROR
    NO_DEFAULT = NO_DEFAULT
    OK = OK
    ICON_INFORMATION = ICON_INFORMATION
    ID_YES = ID_YES
    ID_NO = ID_NO

    def __init__(self, answer=ID_YES, failing=()):
        self.answer = answer
        self.failing = set(failing)
        self.calls = []

    def _record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.failing:
            raise RuntimeError(f"{name} failed")

    def MessageDialog(self, *args, **kwargs):
        self._record("MessageDialog", *args, **kwargs)
        return StandInDialog(self)

    def MessageBox(self, *args, **kwargs):
        self._record("MessageBox", *args, **kwargs)
        return OK

    def names(self):
        return [call[0] for call in self.calls]
