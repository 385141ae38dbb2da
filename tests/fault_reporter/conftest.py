"""Fixtures for core.fault_reporter's tests."""
import pytest

import core.fault_reporter as fr
from wx_standin import WxStandIn


@pytest.fixture
def wx(monkeypatch):
    """The module's `wx`, replaced by a stand-in that records the dialogs."""
    standin = WxStandIn()
    monkeypatch.setattr(fr, "wx", standin)
    return standin
