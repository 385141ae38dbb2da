"""What every output of the stand-in does: it records each call."""


class Output:
    # (output class name, method, args, kwargs), in call order, across outputs.
    calls = []
    # Number of outputs made, by class name.
    made = {}

    def __init__(self):
        name = type(self).__name__
        Output.made[name] = Output.made.get(name, 0) + 1

    def _record(self, method, *args, **kwargs):
        Output.calls.append((type(self).__name__, method, args, kwargs))

    def speak(self, text, interrupt=False):
        self._record("speak", text, interrupt=interrupt)

    def braille(self, text):
        self._record("braille", text)

    def silence(self):
        self._record("silence")
