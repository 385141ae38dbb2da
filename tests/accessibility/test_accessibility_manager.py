"""AccessibilityManager: the one instance, its output object, and speech,
braille and silence with and without a screen reader."""
import platform

import pytest

import core.accessibility as acc
from accessible_output2.outputs import auto
from module_test_helpers import first_call_in_a_forked_child


class SpeechOnly:
    """An output with neither braille nor silence."""

    def __init__(self):
        self.spoken = []

    def speak(self, text, interrupt=False):
        self.spoken.append((text, interrupt))


class Failing:
    """An output whose every call fails, the first speak included."""

    def speak(self, text, interrupt=False):
        raise RuntimeError("speech engine gone")

    def braille(self, text):
        raise RuntimeError("display unplugged")

    def silence(self):
        raise RuntimeError("cannot stop")


class BrailleFails(SpeechOnly):
    def braille(self, text):
        raise OSError("display unplugged")


class BrailleLookupFails(SpeechOnly):
    @property
    def braille(self):
        raise RuntimeError("no display driver")


# --- the one instance -------------------------------------------------------


def test_every_construction_gives_the_one_ready_instance(outputs, log):
    first = acc.AccessibilityManager()
    assert acc.AccessibilityManager._instance is first
    assert acc.AccessibilityManager() is first and acc.get_accessibility_manager() is first
    assert outputs.made == {"Auto": 1}
    assert list(vars(first)) == ["_initialized", "_output", "_available"]
    assert first._initialized is True and first._available is True and first.is_available is True
    assert type(first._output).__name__ == "Auto"
    assert log() == [("INFO", "Accessible output initialized successfully")]
    with pytest.raises(TypeError):
        acc.AccessibilityManager("unexpected")


def test_a_forked_child_is_not_held_by_a_construction_in_another_thread(outputs, monkeypatch):
    assert first_call_in_a_forked_child(monkeypatch, auto, "Auto", acc.AccessibilityManager) == 0


def test_voiceover_on_macos(outputs, monkeypatch, log):
    monkeypatch.setattr(platform, "system", lambda: "Darwin")
    manager = acc.AccessibilityManager()
    assert type(manager._output).__name__ == "VoiceOver" and manager.is_available is True
    assert log() == [("INFO", "VoiceOver initialized successfully on macOS")]


def test_availability_is_a_read_only_property(outputs):
    manager = acc.AccessibilityManager()
    with pytest.raises(AttributeError):
        manager.is_available = False
    manager._available = False
    assert manager.is_available is False and acc.is_available() is False


# --- speech, braille, silence -------------------------------------------------


@pytest.mark.parametrize("interrupt", [False, True, "passed on as it is"])
@pytest.mark.parametrize("method, expected", [
    ("speak", ["speak"]),
    ("output", ["speak"]),
    ("speak_and_braille", ["speak", "braille"]),
])
def test_text_reaches_the_screen_reader(outputs, log, method, expected, interrupt):
    manager = acc.AccessibilityManager()
    log()
    assert getattr(manager, method)("Episode downloaded", interrupt=interrupt) is True
    sent = {"speak": ("Auto", "speak", ("Episode downloaded",), {"interrupt": interrupt}),
            "braille": ("Auto", "braille", ("Episode downloaded",), {})}
    assert outputs.calls == [sent[call] for call in expected]
    assert log() == []


def test_interrupt_defaults_to_false_and_both_arguments_go_by_position(outputs):
    manager = acc.AccessibilityManager()
    manager.speak("a")
    manager.speak_and_braille("b", True)
    assert [c[3] for c in outputs.calls] == [{"interrupt": False}, {"interrupt": True}, {}]


@pytest.mark.parametrize("text", ["", None])
@pytest.mark.parametrize("method", ["speak", "speak_and_braille", "output"])
@pytest.mark.parametrize("state", ["outputs", "silent"], ids=["screen reader", "none"])
def test_empty_text_is_not_sent_nor_logged(request, outputs, log, method, text, state):
    request.getfixturevalue(state)
    manager = acc.AccessibilityManager()
    log()
    assert getattr(manager, method)(text) is False
    assert outputs.calls == [] and log() == []


@pytest.mark.parametrize("text", [5, b"bytes", ["a"]])
@pytest.mark.parametrize("call", [
    lambda m, t: m.speak(t), lambda m, t: m.speak_and_braille(t, True), lambda m, t: m.output(text=t),
    lambda m, t: acc.speak(t), lambda m, t: acc.speak_and_braille(t), lambda m, t: acc.speak(text=t, interrupt=1),
], ids=["speak", "speak_and_braille", "output", "module speak", "module speak_and_braille", "module by name"])
def test_text_of_another_type_is_refused(outputs, call, text):
    manager = acc.AccessibilityManager()
    with pytest.raises(TypeError):
        call(manager, text)
    assert outputs.calls == []


@pytest.mark.parametrize("method, debug", [
    ("speak", "Screen reader output: Download failed"),
    ("output", "Screen reader output: Download failed"),
    ("speak_and_braille", "Screen reader output (speech + braille): Download failed"),
])
def test_without_screen_reader_the_text_goes_to_the_debug_log(silent, log, method, debug):
    assert silent.is_available is False and silent._output is None
    assert getattr(silent, method)("Download failed", interrupt=True) is False
    assert log() == [("DEBUG", debug)]


def test_without_screen_reader_silence_is_a_logged_no_op(silent, log):
    assert silent.silence() is False
    assert log() == [("DEBUG", "Screen reader silenced (no-op, not available)")]


def test_an_output_object_alone_is_not_enough(outputs, log):
    manager = acc.AccessibilityManager()
    manager._available = False
    log()
    assert manager.speak("x") is False and outputs.calls == []
    assert log() == [("DEBUG", "Screen reader output: x")]


@pytest.mark.parametrize("output, method, result, spoken", [
    (SpeechOnly, "speak_and_braille", True, [("t", False)]),
    (SpeechOnly, "silence", True, []),
    (BrailleLookupFails, "speak_and_braille", True, [("t", False)]),
])
def test_what_the_output_lacks_is_skipped(use_output, output, method, result, spoken):
    use_output(output)
    manager = acc.AccessibilityManager()
    assert (manager.silence() if method == "silence" else manager.speak_and_braille("t")) is result
    assert manager._output.spoken == spoken


@pytest.mark.parametrize("output, method, error", [
    (Failing, "speak", "Error speaking text: speech engine gone"),
    (Failing, "output", "Error speaking text: speech engine gone"),
    (Failing, "speak_and_braille", "Error outputting text to speech/braille: speech engine gone"),
    (BrailleFails, "speak_and_braille", "Error outputting text to speech/braille: display unplugged"),
    (Failing, "silence", "Error silencing screen reader: cannot stop"),
])
def test_failing_output_call_is_logged_and_tried_again_next_time(use_output, log, output, method, error):
    use_output(output)
    manager = acc.AccessibilityManager()
    call = getattr(manager, method)
    log()
    assert (call() if method == "silence" else call("t")) is False
    assert (call() if method == "silence" else call("t")) is False
    assert log() == [("ERROR", error)] * 2
    assert manager.is_available is True


def test_output_is_speak_looked_up_on_the_instance(outputs, monkeypatch):
    seen = []
    monkeypatch.setattr(acc.AccessibilityManager, "speak",
                        lambda self, text, interrupt=False: seen.append((text, interrupt)) or "speak's result")
    assert acc.AccessibilityManager().output("t", interrupt=True) == "speak's result"
    assert seen == [("t", True)]
