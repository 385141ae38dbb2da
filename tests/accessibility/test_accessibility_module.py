"""core.accessibility as a module: loading without the screen-reader library,
the one-time initialisation and its failures, the first construction from
two threads, and the module functions."""
import inspect
import textwrap
import threading
from pathlib import Path

import pytest

import core.accessibility as acc
from accessible_output2.outputs import auto
from module_test_helpers import run_python

STANDINS = Path(__file__).parent / "standins"

LOG_TO_STDOUT = """
    import logging
    logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s %(message)s", stream=sys.stdout)
"""
# The machine has no screen-reader library: the stand-in leaves the path.
WITHOUT_LIBRARY = f"sys.path[:] = [p for p in sys.path if p != {str(STANDINS)!r}]\n"


def run(script, home, prelude=""):
    done = run_python(prelude + textwrap.dedent(LOG_TO_STDOUT) + textwrap.dedent(script), home)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_module_loads_without_touching_the_library(tmp_path):
    lines = run("""
        import core.accessibility as acc
        print([n for n in vars(acc) if not n.startswith("__")])
        print(acc.logger.name, acc.AccessibilityManager._instance, "accessible_output2" in sys.modules)
    """, tmp_path)
    assert lines == [
        "['logging', 'platform', 'logger', 'AccessibilityManager', 'get_accessibility_manager', 'speak', "
        "'speak_and_braille', 'silence', 'is_available']",
        "core.accessibility None False",
    ]


@pytest.mark.parametrize("system, warnings", [("Linux", 1), ("Windows", 1), ("Darwin", 2)])
def test_without_the_library_everything_answers_false(tmp_path, system, warnings):
    lines = run(f"""
        import platform
        platform.system = lambda: {system!r}
        import core.accessibility as acc
        print(acc.is_available(), acc.speak("x"), acc.speak_and_braille("y", interrupt=True), acc.silence())
        print(acc.AccessibilityManager() is acc.get_accessibility_manager())
    """, tmp_path, WITHOUT_LIBRARY)
    logged, rest = lines[:warnings], lines[warnings:]
    assert all(line.startswith("WARNING core.accessibility ") for line in logged)
    assert "accessible_output2" in logged[0] and "No module named 'accessible_output2'" in logged[0]
    assert "pip install accessible-output2" in logged[0]
    assert warnings == 1 or "appscript" in logged[1]
    assert rest == [
        "DEBUG core.accessibility Screen reader output: x",
        "DEBUG core.accessibility Screen reader output (speech + braille): y",
        "DEBUG core.accessibility Screen reader silenced (no-op, not available)",
        "False False False False",
        "True",
    ]


def test_failing_output_constructor_leaves_the_manager_silent_for_good(tmp_path):
    lines = run("""
        from accessible_output2.outputs import auto
        made = []
        class Broken:
            def __init__(self):
                made.append(1)
                raise RuntimeError("no speech engine")
        auto.Auto = Broken
        from core.accessibility import AccessibilityManager
        first = AccessibilityManager()
        print(first.is_available, first._output, AccessibilityManager() is first, first.speak("x"), len(made))
    """, tmp_path)
    assert lines == [
        "ERROR core.accessibility Error initializing accessible_output2: no speech engine",
        "DEBUG core.accessibility Screen reader output: x",
        "False None True False 1",
    ]


def test_first_construction_from_two_threads_initialises_once(outputs, use_output):
    inside, release = threading.Event(), threading.Event()
    made = []

    class SlowStart(auto.Auto):
        def __init__(self):
            made.append(self)
            inside.set()
            release.wait(10)
            super().__init__()

    use_output(SlowStart)
    seen = {}

    def construct(name):
        manager = acc.AccessibilityManager()
        seen[name] = (manager, manager.is_available)

    first = threading.Thread(target=construct, args=("first",))
    second = threading.Thread(target=construct, args=("second",))
    first.start()
    assert inside.wait(10)
    second.start()
    second.join(0.5)  # without a guard the second returns now, with a silent instance
    release.set()
    first.join(10)
    second.join(10)
    assert len(made) == 1
    assert seen["first"][0] is seen["second"][0] is acc.AccessibilityManager._instance
    assert seen["first"][1] is seen["second"][1] is True


class Recorder:
    is_available = "the property's value"

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs)) or f"{name} result"


@pytest.mark.parametrize("call, expected, result", [
    (lambda: acc.speak("t"), ("speak", ("t",), {"interrupt": False}), "speak result"),
    (lambda: acc.speak("t", True), ("speak", ("t",), {"interrupt": True}), "speak result"),
    (lambda: acc.speak(text="t", interrupt=2), ("speak", ("t",), {"interrupt": 2}), "speak result"),
    (lambda: acc.speak_and_braille("t"), ("speak_and_braille", ("t",), {"interrupt": False}),
     "speak_and_braille result"),
    (lambda: acc.speak_and_braille(None, interrupt=True), ("speak_and_braille", (None,), {"interrupt": True}),
     "speak_and_braille result"),
    (lambda: acc.silence(), ("silence", (), {}), "silence result"),
    (lambda: acc.is_available(), None, "the property's value"),
])
def test_module_functions_hand_over_to_the_manager_of_the_moment(monkeypatch, call, expected, result):
    recorder = Recorder()
    monkeypatch.setattr(acc, "get_accessibility_manager", lambda: recorder)
    assert call() == result
    assert recorder.calls == ([expected] if expected else [])


def test_getter_constructs_the_class_bound_now(monkeypatch):
    monkeypatch.setattr(acc, "AccessibilityManager", lambda: "constructed")
    assert acc.get_accessibility_manager() == "constructed"


@pytest.mark.parametrize("function, signature", [
    (acc.speak, "(text: str, interrupt: bool = False) -> bool"),
    (acc.speak_and_braille, "(text: str, interrupt: bool = False) -> bool"),
    (acc.silence, "() -> bool"),
    (acc.is_available, "() -> bool"),
    (acc.AccessibilityManager.speak, "(self, text: str, interrupt: bool = False) -> bool"),
    (acc.AccessibilityManager.output, "(self, text: str, interrupt: bool = False) -> bool"),
    (acc.AccessibilityManager.silence, "(self) -> bool"),
])
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
