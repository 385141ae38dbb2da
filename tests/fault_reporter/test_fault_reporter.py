"""FaultReporter: report layout, the error log, the dialogs and the
reporter's handling of its own failures."""
import datetime as dt
import inspect
import io
import os
import re
import subprocess
import sys
import textwrap
import traceback
from unittest import mock

import pytest

import core.fault_reporter as fr
from wx_standin import ICON_ERROR, ICON_INFORMATION, ID_NO, ID_YES, NO_DEFAULT, OK, YES_NO

RULE = "=" * 80
DASHES = "-" * 80
STAMP = "2024-05-06 07:08:09"


class FixedDatetime(dt.datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2024, 5, 6, 7, 8, 9)


@pytest.fixture(autouse=True)
def fixed_time(monkeypatch):
    monkeypatch.setattr(fr, "datetime", FixedDatetime)


@pytest.fixture
def reporter(home):
    return fr.FaultReporter()


def log_text(reporter):
    with open(reporter.log_file, encoding="utf-8", newline="") as f:
        return f.read()


def fallback_report(type_name, text, context=None):
    lines = [RULE, "Timestamp: " + STAMP, "Error Type: " + type_name]
    if context is not None:
        lines.append("Context: " + context)
    lines += ["Error Message: " + text, DASHES, "Full Traceback:", f"{type_name}: {text}",
              "(Full traceback not available)", RULE, ""]
    return "\n".join(lines)


def raise_and_catch(error):
    try:
        raise error
    except Exception as caught:
        return caught


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


# -- construction -------------------------------------------------------------

@pytest.mark.parametrize("app_name", ["Velmora", "OtherApp"])
def test_construction_sets_folders_and_creates_the_log_folder(home, app_name):
    r = fr.FaultReporter(app_name) if app_name != "Velmora" else fr.FaultReporter()
    folder = os.path.join(str(home), "Documents", app_name)
    assert list(vars(r)) == ["app_name", "log_folder", "log_file"]
    assert r.app_name == app_name
    assert r.log_folder == folder and type(r.log_folder) is str
    assert r.log_file == os.path.join(folder, "velmora_errors.log")
    assert os.path.isdir(folder)
    assert not os.path.exists(r.log_file)


def test_class_shape_and_signatures():
    assert fr.FaultReporter.__bases__ == (object,)
    assert fr.FaultReporter.__doc__ is None
    expected = {
        "__init__": "(self, app_name='Velmora')",
        "_ensure_log_folder": "(self)",
        "_format_error_message": "(self, error, context=None)",
        "_write_to_log": "(self, formatted_message)",
        "_show_error_dialog": "(self, error, context=None)",
        "handle_error": "(self, error, context=None, parent=None, show_dialog=True)",
        "log_error": "(self, error, context=None)",
        "log_message": "(self, message, level='INFO')",
    }
    own = [name for name in vars(fr.FaultReporter) if not name.startswith("__") or name == "__init__"]
    assert own == list(expected)
    for name, signature in expected.items():
        assert str(inspect.signature(getattr(fr.FaultReporter, name))) == signature


def test_log_folder_that_cannot_be_made_is_a_warning(home, capsys):
    (home / "Documents").write_text("a file where the folder should be")
    r = fr.FaultReporter()
    with pytest.raises(OSError) as expected:
        os.makedirs(r.log_folder, exist_ok=True)
    err = capsys.readouterr().err
    assert err == f"Warning: Could not create log folder: {expected.value}\n"
    r.log_message("still usable")  # fails quietly: the folder is missing
    assert capsys.readouterr().err.startswith("Error writing to log file: ")


# -- report layout ------------------------------------------------------------

@pytest.mark.parametrize("error, context, expected", [
    (ValueError("bad value"), None, fallback_report("ValueError", "bad value")),
    (ValueError("bad value"), "", fallback_report("ValueError", "bad value")),
    (ValueError("bad value"), 0, fallback_report("ValueError", "bad value")),
    (KeyError("k"), "loading feed", fallback_report("KeyError", "'k'", "loading feed")),
    (ValueError(""), None, fallback_report("ValueError", "")),
    (RuntimeError("two\nlines"), "ctx\nmore", fallback_report("RuntimeError", "two\nlines", "ctx\nmore")),
    (OSError(5, "io"), 42, fallback_report("OSError", "[Errno 5] io", "42")),
    ("not an exception", None, fallback_report("str", "not an exception")),
], ids=["none", "empty", "zero", "context", "empty-text", "multi-line", "non-text-context", "not-exception"])
def test_report_of_an_error_never_raised(reporter, error, context, expected):
    assert reporter._format_error_message(error, context) == expected


def test_report_uses_the_errors_own_traceback_outside_a_handler(reporter):
    error = raise_and_catch(ValueError("kept"))
    report = reporter._format_error_message(error)
    tb = "".join(traceback.format_exception(ValueError, error, error.__traceback__))
    assert report.endswith("Full Traceback:\n" + tb + "\n" + RULE + "\n")
    assert "raise_and_catch" in tb


def test_report_shows_the_exception_being_handled(reporter):
    reported = ValueError("reported")
    try:
        {}["missing"]
    except KeyError:
        report = reporter._format_error_message(reported, "ctx")
        tb = traceback.format_exc()
    lines = report.split("\n")
    assert lines[2:5] == ["Error Type: ValueError", "Context: ctx", "Error Message: reported"]
    assert report.endswith("Full Traceback:\n" + tb + "\n" + RULE + "\n")
    assert "KeyError: 'missing'" in tb


def test_report_of_an_error_whose_text_raises_propagates(reporter, wx):
    for call in (lambda: reporter._format_error_message(Unprintable()),
                 lambda: reporter.handle_error(Unprintable()),
                 lambda: reporter.log_error(Unprintable())):
        with pytest.raises(RuntimeError, match="no text"):
            call()
    assert wx.calls == []
    assert not os.path.exists(reporter.log_file)


# -- the error log ------------------------------------------------------------

def test_reports_append_one_after_another(reporter):
    reporter.log_error(ValueError("first"))
    reporter.log_error(KeyError("second"), "ctx")
    text = log_text(reporter)
    assert text == fallback_report("ValueError", "first") + fallback_report("KeyError", "'second'", "ctx")
    assert RULE + "\n" + RULE + "\n" in text


def test_write_to_log_appends_the_text_unchanged(reporter):
    reporter._write_to_log("abc")
    reporter._write_to_log("déf\n")
    assert log_text(reporter) == "abcdéf\n"


@pytest.mark.parametrize("write, text", [
    (lambda r: r._write_to_log("entry"), "entry"),
    (lambda r: r.log_message("hello", "WARNING"), f"[{STAMP}] [WARNING] hello\n"),
    (lambda r: r._write_to_log(os.fsdecode(b"x-\xff")), "x-\\udcff"),
])
def test_log_is_opened_for_appending_in_utf8(reporter, monkeypatch, write, text):
    opened = mock.mock_open()
    monkeypatch.setattr(fr, "open", opened, raising=False)  # module code sees its own name first
    write(reporter)
    opened.assert_called_once_with(reporter.log_file, "a", encoding="utf-8")
    opened().write.assert_called_once_with(text)
    opened().__exit__.assert_called_once()


def test_report_with_lone_surrogates_reaches_the_log(reporter, capsys):
    name = os.fsdecode(b"episode-\xff.mp3")
    reporter.log_error(FileNotFoundError(f"No such file: {name}"), f"playing {name}")
    text = log_text(reporter)
    assert "Context: playing episode-\\udcff.mp3" in text
    assert "Error Message: No such file: episode-\\udcff.mp3" in text
    assert capsys.readouterr().err == ""


@pytest.fixture
def unwritable(reporter):
    # A folder in place of the log file: every append fails.
    os.mkdir(reporter.log_file)
    with pytest.raises(OSError) as failure:
        open(reporter.log_file, "a", encoding="utf-8")
    return str(failure.value)


def test_failed_append_prints_the_error_and_the_report(reporter, unwritable, capsys):
    assert reporter.log_error(ValueError("lost?")) is None
    captured = capsys.readouterr()
    report = fallback_report("ValueError", "lost?")
    assert captured.err == f"Error writing to log file: {unwritable}\n" + report + "\n"
    assert captured.out == ""


def test_failed_message_line_prints_only_the_error(reporter, unwritable, capsys):
    assert reporter.log_message("hello") is None
    assert capsys.readouterr().err == f"Error writing to log file: {unwritable}\n"


# Writes "before", then the ENTRY under a file-size limit (standing in for a
# full disk) that lets only its first 100 bytes in, then "after" with no
# limit. In a process of its own: the limit would fail this process's own
# writes too.
FULL_DISK = """
    import os, resource, signal
    import core.fault_reporter as fr
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    reporter = fr.FaultReporter()
    if BEFORE:
        reporter.log_message("before")
    size = os.path.getsize(reporter.log_file) if os.path.exists(reporter.log_file) else 0
    resource.setrlimit(resource.RLIMIT_FSIZE, (size + 100, resource.RLIM_INFINITY))
    ENTRY
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    reporter.log_message("after")
"""


@pytest.mark.parametrize("entry, before, printed", [
    ('reporter.log_error(ValueError("x" * 20000))', True, "Error Type: ValueError"),
    ('reporter.log_message("y" * 20000)', True, None),
    ('reporter.handle_error(OSError("z" * 20000), show_dialog=False)', False, "Error Type: OSError"),
], ids=["report", "message line", "report into a new log"])
def test_append_that_fails_part_way_leaves_the_log_as_it_was(home, entry, before, printed):
    script = FULL_DISK.replace("BEFORE", repr(before)).replace("ENTRY", entry)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, HOME=str(home), PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    with open(home / "Documents" / "Velmora" / "velmora_errors.log", encoding="utf-8", newline="") as f:
        log = f.read()
    line = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[INFO\] "
    assert re.fullmatch((line + "before\n" if before else "") + line + "after\n", log)
    # The report that was not saved takes the way it always took.
    assert done.stderr.startswith("Error writing to log file: [Errno 27] File too large\n")
    assert (printed in done.stderr) if printed else done.stderr.count("\n") == 1


@pytest.mark.parametrize("level_args, level", [((), "INFO"), (("WARNING",), "WARNING"), (("error",), "error"),
                                               ((7,), "7")])
def test_log_message_line(reporter, level_args, level):
    reporter.log_message("Feed refreshed", *level_args)
    reporter.log_message(123, level=level)
    assert log_text(reporter) == f"[{STAMP}] [{level}] Feed refreshed\n[{STAMP}] [{level}] 123\n"


def test_log_message_with_lone_surrogates_reaches_the_log(reporter):
    reporter.log_message(os.fsdecode(b"file-\xfe"))
    assert log_text(reporter) == f"[{STAMP}] [INFO] file-\\udcfe\n"


def test_messages_and_reports_interleave(reporter):
    reporter.log_message("before")
    reporter.log_error(ValueError("x"))
    reporter.log_message("after", "DEBUG")
    assert log_text(reporter) == (f"[{STAMP}] [INFO] before\n" + fallback_report("ValueError", "x")
                                  + f"[{STAMP}] [DEBUG] after\n")


class ClosedStream(io.StringIO):
    def __init__(self):
        super().__init__()
        self.close()


@pytest.mark.parametrize("stream", ["closed", "none", "missing"])
def test_own_diagnostics_never_raise(reporter, home, monkeypatch, wx, stream):
    for name in ("stderr", "stdout"):
        if stream == "closed":
            monkeypatch.setattr(sys, name, ClosedStream())
        elif stream == "none":
            monkeypatch.setattr(sys, name, None)
        else:
            monkeypatch.delattr(sys, name)
    wx.failing.add("MessageBox")
    reporter.handle_error(ValueError("saved"))  # confirmation fails: line on stdout
    os.remove(reporter.log_file)
    os.mkdir(reporter.log_file)
    reporter.log_error(ValueError("x"))  # failed append: error and report on stderr
    reporter.log_message("y")  # failed message line
    (home / "blocker").write_text("")
    reporter.log_folder = str(home / "blocker" / "sub")
    reporter._ensure_log_folder()  # folder warning


def test_diagnostics_meant_for_a_missing_stderr_stay_off_stdout(reporter, unwritable, monkeypatch, capsys):
    monkeypatch.setattr(sys, "stderr", None)
    reporter.log_error(ValueError("x"))
    reporter.log_message("y")
    assert capsys.readouterr().out == ""


# -- dialogs ------------------------------------------------------------------

@pytest.mark.parametrize("context, intro", [
    (None, "An error occurred:"),
    ("", "An error occurred:"),
    ("refreshing feeds", "An error occurred in refreshing feeds:"),
    (5, "An error occurred in 5:"),
])
def test_error_dialog_message_title_and_style(reporter, wx, context, intro):
    assert reporter._show_error_dialog(ValueError("bad"), context) is True
    message = intro + "\n\nValueError: bad\n\nWould you like to save the error details to the log file?"
    assert wx.calls == [
        ("MessageDialog", (None, message, "Velmora - Error", YES_NO | ICON_ERROR | NO_DEFAULT), {}),
        ("ShowModal", (), {}),
        ("Destroy", (), {}),
    ]


@pytest.mark.parametrize("answer, failing, expected_calls", [
    (ID_NO, (), ["MessageDialog", "ShowModal", "Destroy"]),
    (None, (), ["MessageDialog", "ShowModal", "Destroy"]),
    (ID_YES, ("MessageDialog",), ["MessageDialog"]),
    (ID_YES, ("ShowModal",), ["MessageDialog", "ShowModal", "Destroy"]),
    (ID_YES, ("Destroy",), ["MessageDialog", "ShowModal", "Destroy"]),
])
def test_error_dialog_answers_other_than_yes_are_false(reporter, wx, capsys, answer, failing, expected_calls):
    wx.answer = answer
    wx.failing.update(failing)
    assert reporter._show_error_dialog(ValueError("bad")) is False
    assert wx.names() == expected_calls  # a dialog that was created is always destroyed
    assert capsys.readouterr() == ("", "")


def test_error_dialog_passes_keyboard_interrupt_after_destroying(reporter, monkeypatch, wx):
    def interrupted():
        raise KeyboardInterrupt

    class Dialog:
        ShowModal = staticmethod(interrupted)

        def Destroy(self):
            wx.calls.append(("Destroy", (), {}))

    monkeypatch.setattr(wx, "MessageDialog", lambda *a: Dialog())
    with pytest.raises(KeyboardInterrupt):
        reporter._show_error_dialog(ValueError("bad"))
    assert wx.names() == ["Destroy"]


def test_dialog_titles_follow_the_application_name(home, wx):
    r = fr.FaultReporter("OtherApp")
    r.handle_error(ValueError("x"))
    assert wx.calls[0][1][2] == "OtherApp - Error"
    assert wx.calls[-1] == ("MessageBox", ("Error details have been saved to:\n" + r.log_file,
                                           "OtherApp - Error Saved", OK | ICON_INFORMATION), {})
    assert r.log_file == os.path.join(str(home), "Documents", "OtherApp", "velmora_errors.log")


# -- handle_error -------------------------------------------------------------

def test_handle_error_yes_saves_and_confirms(reporter, wx):
    assert reporter.handle_error(ValueError("x"), "ctx", parent=object()) is None
    assert log_text(reporter) == fallback_report("ValueError", "x", "ctx")
    assert wx.names() == ["MessageDialog", "ShowModal", "Destroy", "MessageBox"]
    assert wx.calls[-1][1] == ("Error details have been saved to:\n" + reporter.log_file,
                               "Velmora - Error Saved", OK | ICON_INFORMATION)


@pytest.mark.parametrize("answer, failing", [(ID_NO, ()), (ID_YES, ("MessageDialog",)), (ID_YES, ("ShowModal",))])
def test_handle_error_without_yes_writes_and_shows_nothing_more(reporter, wx, capsys, answer, failing):
    wx.answer = answer
    wx.failing.update(failing)
    assert reporter.handle_error(ValueError("x")) is None
    assert not os.path.exists(reporter.log_file)
    assert "MessageBox" not in wx.names()
    assert capsys.readouterr() == ("", "")


def test_handle_error_without_dialog_only_appends(reporter, wx):
    reporter.handle_error(ValueError("x"), show_dialog=False)
    reporter.handle_error(ValueError("y"), None, None, 0)
    assert wx.calls == []
    assert log_text(reporter) == fallback_report("ValueError", "x") + fallback_report("ValueError", "y")


def test_handle_error_failed_confirmation_prints_to_stdout(reporter, wx, capsys):
    wx.failing.add("MessageBox")
    reporter.handle_error(ValueError("x"))
    assert capsys.readouterr().out == f"Error details have been saved to: {reporter.log_file}\n"
    assert os.path.exists(reporter.log_file)


def test_handle_error_does_not_confirm_a_save_that_failed(reporter, unwritable, wx, capsys):
    reporter.handle_error(ValueError("x"))
    assert wx.names() == ["MessageDialog", "ShowModal", "Destroy"]
    captured = capsys.readouterr()
    assert captured.err.startswith(f"Error writing to log file: {unwritable}\n")
    assert captured.out == ""


def test_handle_error_formats_before_asking_and_uses_own_methods(home, wx):
    calls = []

    class Recording(fr.FaultReporter):
        def _format_error_message(self, error, context=None):
            calls.append("format")
            return super()._format_error_message(error, context)

        def _show_error_dialog(self, error, context=None):
            calls.append("dialog")
            return "yes please"  # any true answer

        def _write_to_log(self, formatted_message):
            calls.append(("write", formatted_message.splitlines()[2]))

    Recording().handle_error(ValueError("x"))
    assert calls == ["format", "dialog", ("write", "Error Type: ValueError")]
    assert wx.names() == ["MessageBox"]


def test_handle_error_inside_a_handler_reports_that_traceback(reporter, wx):
    wx.answer = ID_YES
    try:
        int("nope")
    except ValueError as handled:
        reporter.handle_error(handled, "parsing")
    text = log_text(reporter)
    assert "int(\"nope\")" in text and "ValueError: invalid literal" in text


# -- the real wx, with no application running ---------------------------------

def test_real_wx_without_application_counts_as_no(tmp_path):
    home = tmp_path / "sub-home"
    home.mkdir()
    script = textwrap.dedent("""
        import core.fault_reporter as fr
        r = fr.FaultReporter()
        print("answer", r._show_error_dialog(ValueError("x")))
        print("result", r.handle_error(ValueError("y"), "ctx"))
        import os
        print("log exists", os.path.exists(r.log_file))
    """)
    env = dict(os.environ, HOME=str(home), PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["answer False", "result None", "log exists False"]
