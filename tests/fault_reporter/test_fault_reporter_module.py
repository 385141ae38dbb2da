"""core.fault_reporter as a module: loading, the single reporter, the
forwarding functions and guarded calls."""
import inspect
import os
import sys
import traceback

import pytest

import core.fault_reporter as fr
from module_test_helpers import first_call_in_a_forked_child, first_calls_from_two_threads, run_python
from native_frames import native_frames
from wx_standin import ID_NO, ID_YES


@pytest.fixture(autouse=True)
def no_reporter(monkeypatch, home):
    monkeypatch.setattr(fr, "_global_handler", None)


@pytest.fixture
def reports(monkeypatch):
    """Replaces the module's handle_error; records each call with what
    sys.exc_info() showed at that moment."""
    calls = []

    def handle_error(error, context=None, show_dialog=True):
        calls.append({"error": error, "context": context, "show_dialog": show_dialog,
                      "handled": sys.exc_info()[1], "format_exc": traceback.format_exc()})

    monkeypatch.setattr(fr, "handle_error", handle_error)
    return calls


# -- loading ------------------------------------------------------------------

def test_module_namespace_in_order_and_no_side_effects(tmp_path):
    home = tmp_path / "fresh-home"
    home.mkdir()
    done = run_python("""
        import datetime, os, pathlib, sys, traceback
        import core.fault_reporter as fr
        import wx
        names = [n for n in vars(fr) if not n.startswith("__")]
        print(names)
        print(fr.os is os, fr.sys is sys, fr.traceback is traceback, fr.datetime is datetime.datetime,
              fr.Path is pathlib.Path, fr.wx is wx, fr._global_handler)
    """, home)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "['os', 'sys', 'traceback', 'datetime', 'Path', 'wx', 'FaultReporter', '_global_handler', "
        "'get_fault_reporter', 'handle_error', 'log_error', 'log_message', 'with_error_handling']",
        "True True True True True True None",
    ]
    assert list(home.iterdir()) == []


def test_module_fails_to_load_without_wx(tmp_path):
    done = run_python("""
        try:
            import core.fault_reporter
        except ImportError as e:
            print(isinstance(e, ImportError), e.name, "core.fault_reporter" in sys.modules)
        else:
            print("loaded")
    """, tmp_path, block_wx=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["True wx False"]


@pytest.mark.parametrize("name, signature", [
    ("get_fault_reporter", "(app_name='Velmora')"),
    ("handle_error", "(error, context=None, show_dialog=True)"),
    ("log_error", "(error, context=None)"),
    ("log_message", "(message, level='INFO')"),
    ("with_error_handling", "(context=None, show_dialog=True, reraise=False)"),
])
def test_module_function_signatures(name, signature):
    assert str(inspect.signature(getattr(fr, name))) == signature


# -- the single reporter ------------------------------------------------------

def test_first_name_is_the_only_one_that_counts(home):
    first = fr.get_fault_reporter()
    assert fr._global_handler is first and first.app_name == "Velmora"
    assert fr.get_fault_reporter("OtherApp") is first
    assert fr.get_fault_reporter(app_name="Third") is first
    assert first.log_folder == os.path.join(str(home), "Documents", "Velmora")


def test_getter_creates_with_the_name_given_first():
    assert fr.get_fault_reporter(app_name="OtherApp").app_name == "OtherApp"


@pytest.mark.parametrize("call, method, expected", [
    (lambda e: fr.handle_error(e), "handle_error", ((None,), {"show_dialog": True})),
    (lambda e: fr.handle_error(e, "ctx", show_dialog=False), "handle_error", (("ctx",), {"show_dialog": False})),
    (lambda e: fr.log_error(e), "log_error", ((None,), {})),
    (lambda e: fr.log_error(e, context="ctx"), "log_error", (("ctx",), {})),
    (lambda e: fr.log_message(e), "log_message", (("INFO",), {})),
    (lambda e: fr.log_message(e, level="WARNING"), "log_message", (("WARNING",), {})),
])
def test_module_functions_forward_to_the_reporter(monkeypatch, call, method, expected):
    seen = []

    class Recorder:
        def __getattr__(self, name):
            return lambda *args, **kwargs: seen.append((name, args, kwargs)) or "ignored"

    monkeypatch.setattr(fr, "get_fault_reporter", lambda: Recorder())
    error = ValueError("x")
    assert call(error) is None
    extra_args, kwargs = expected
    assert seen == [(method, (error,) + extra_args, kwargs)]


@pytest.mark.parametrize("call", [
    lambda: fr.handle_error(ValueError("x"), show_dialog=False),
    lambda: fr.log_error(ValueError("x")),
    lambda: fr.log_message("x"),
])
def test_first_module_call_creates_the_default_reporter(home, call):
    call()
    assert fr._global_handler.app_name == "Velmora"
    log = home / "Documents" / "Velmora" / "velmora_errors.log"
    assert "x" in log.read_text(encoding="utf-8")


def test_first_calls_from_two_threads_make_one_reporter(monkeypatch):
    made, results = first_calls_from_two_threads(monkeypatch, fr, "FaultReporter", fr.get_fault_reporter)
    assert len(made) == 1
    assert results == [made[0], made[0]]
    assert made[0].args == (("Velmora",), {})


def test_a_forked_child_makes_its_own_reporter(monkeypatch):
    assert first_call_in_a_forked_child(monkeypatch, fr, "FaultReporter", fr.get_fault_reporter) == 0


# -- guarded calls ------------------------------------------------------------

@pytest.mark.parametrize("result", [42, None, [1, 2]])
def test_guarded_function_returns_its_result(reports, result):
    guarded = fr.with_error_handling()(lambda *a, **k: (result, a, k))
    assert guarded(1, 2, key="v") == (result, (1, 2), {"key": "v"})
    assert reports == []


def failing(message="bad"):
    raise ValueError(message)


@pytest.mark.parametrize("options, context, show_dialog", [
    ({}, "failing()", True),
    ({"context": ""}, "failing()", True),
    ({"context": None, "show_dialog": False}, "failing()", False),
    ({"context": "Refreshing feeds"}, "Refreshing feeds", True),
    ({"context": 7, "show_dialog": 0}, 7, 0),
])
def test_failure_is_reported_and_swallowed(reports, options, context, show_dialog):
    guarded = fr.with_error_handling(**options)(failing)
    assert guarded("oops") is None
    [call] = reports
    assert isinstance(call["error"], ValueError) and str(call["error"]) == "oops"
    assert call["context"] == context and call["show_dialog"] == show_dialog


def test_report_runs_while_the_failure_is_handled(reports):
    fr.with_error_handling()(failing)()
    [call] = reports
    assert call["handled"] is call["error"]
    assert "in failing" in call["format_exc"] and "raise ValueError(message)" in call["format_exc"]
    assert sys.exc_info() == (None, None, None)


WRAPPER = ("src/fault_reporter/guards.cpp", "with_error_handling.<locals>.decorator.<locals>.wrapper")


def test_reraise_gives_back_the_same_exception(reports):
    guarded = fr.with_error_handling(reraise=True)(failing)
    with pytest.raises(ValueError) as caught:
        guarded()
    [call] = reports
    assert caught.value is call["error"]
    assert traceback.extract_tb(caught.value.__traceback__)[-1].name == "failing"
    # It came through the wrapper, as through a decorator written in Python.
    assert native_frames("".join(traceback.format_exception(caught.value))) == [WRAPPER]


def test_a_failure_without_python_frames_is_reported_with_the_wrapper_s(reports):
    fr.with_error_handling()(int)("x")
    [call] = reports
    assert call["format_exc"].startswith("Traceback (most recent call last):\n")
    assert native_frames(call["format_exc"]) == [WRAPPER]
    assert call["format_exc"].endswith("ValueError: invalid literal for int() with base 10: 'x'\n")


def test_name_is_read_at_the_failure(reports):
    guarded = fr.with_error_handling()(failing)
    failing.__name__ = "renamed"
    try:
        guarded()
    finally:
        failing.__name__ = "failing"
    assert reports[0]["context"] == "renamed()"


def test_handle_error_is_looked_up_at_the_failure(monkeypatch):
    guarded = fr.with_error_handling(show_dialog=False)(failing)
    seen = []
    monkeypatch.setattr(fr, "handle_error", lambda *a, **k: seen.append((a[1:], k)))
    guarded()
    assert seen == [(("failing()",), {"show_dialog": False})]


def test_callable_without_name_raises_attribute_error_while_handling(reports):
    class NoName:
        def __call__(self):
            raise ValueError("inner")

    with pytest.raises(AttributeError) as caught:
        fr.with_error_handling()(NoName())()
    assert isinstance(caught.value.__context__, ValueError)
    assert reports == []


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exceptions_pass_unreported(reports, error):
    def interrupted():
        raise error

    with pytest.raises(error):
        fr.with_error_handling()(interrupted)()
    assert reports == []


def test_failure_while_reporting_replaces_the_failure(monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("reporter broke")

    monkeypatch.setattr(fr, "handle_error", broken)
    with pytest.raises(RuntimeError, match="reporter broke") as caught:
        fr.with_error_handling(reraise=True)(failing)()
    assert isinstance(caught.value.__context__, ValueError)


def test_wrapper_keeps_its_own_identity():
    def documented(a, b=1):
        """Docs."""

    documented.extra = True
    wrapper = fr.with_error_handling()(documented)
    assert wrapper.__name__ == "wrapper"
    assert wrapper.__qualname__ == "with_error_handling.<locals>.decorator.<locals>.wrapper"
    assert wrapper.__module__ == "core.fault_reporter"
    assert wrapper.__doc__ is None
    assert not hasattr(wrapper, "__wrapped__") and not hasattr(wrapper, "extra")
    assert str(inspect.signature(wrapper)) == "(*args, **kwargs)"
    decorator = fr.with_error_handling()
    assert decorator.__name__ == "decorator"
    assert decorator.__qualname__ == "with_error_handling.<locals>.decorator"
    assert fr.with_error_handling()(failing) is not fr.with_error_handling()(failing)


def test_guarded_method_binds_to_its_instance(reports):
    class Player:
        def __init__(self):
            self.volume = 3

        @fr.with_error_handling()
        def louder(self, step):
            if step < 0:
                raise ValueError("negative")
            self.volume += step
            return self.volume

    player = Player()
    assert player.louder(2) == 5
    assert player.louder(step=1) == 6
    assert player.louder(-1) is None
    assert reports[0]["context"] == "louder()"
    assert Player.louder(player, 4) == 10


def test_decorator_used_without_calling_it(reports):
    def original():
        raise ValueError("x")

    decorated = fr.with_error_handling(original)  # what `@with_error_handling` without () does
    assert decorated.__name__ == "decorator"
    decorated(failing)()
    assert reports[0]["context"] is original


# -- guarded calls through the real reporter and the stand-in wx ----------------

def test_guarded_failure_asks_and_answer_no_writes_nothing(home, wx):
    wx.answer = ID_NO
    assert fr.with_error_handling()(failing)() is None
    assert wx.names() == ["MessageDialog", "ShowModal", "Destroy"]
    assert "An error occurred in failing():" in wx.calls[0][1][1]
    assert not (home / "Documents" / "Velmora" / "velmora_errors.log").exists()


def test_guarded_failure_reraised_after_the_dialog_was_answered(home, wx):
    wx.answer = ID_YES
    with pytest.raises(ValueError, match="bad"):
        fr.with_error_handling(context="Saving", reraise=True)(failing)()
    assert wx.names() == ["MessageDialog", "ShowModal", "Destroy", "MessageBox"]
    text = (home / "Documents" / "Velmora" / "velmora_errors.log").read_text(encoding="utf-8")
    assert "Context: Saving" in text
    assert "in failing" in text and "ValueError: bad" in text
