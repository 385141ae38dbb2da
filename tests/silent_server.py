"""A loopback server that accepts connections and never says a word: what a
client without a time-out would wait on for ever.

Each connection it accepted is closed after HOLD seconds at the latest, and
every one when the server stops, so a client that does not give up by itself
is let go rather than holding up the test run. `accepted` counts the
connections.
"""
import socket
import threading
import time

HOLD = 5.0


class SilentServer:
    def __init__(self):
        self.accepted = 0
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def url(self, path=""):
        return f"http://127.0.0.1:{self.port}{path}"

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stopping.set()
        self._thread.join(10)

    def _run(self):
        held = []  # (when to let go, connection)
        try:
            while not self._stopping.is_set():
                try:
                    connection, _ = self._listener.accept()
                    held.append((time.monotonic() + HOLD, connection))
                    self.accepted += 1
                except socket.timeout:
                    pass
                now = time.monotonic()
                for item in [h for h in held if h[0] <= now]:
                    item[1].close()
                    held.remove(item)
        finally:
            for _, connection in held:
                connection.close()
            self._listener.close()
