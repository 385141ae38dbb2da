"""A credential store in memory for keyring: records its calls and fails
on demand, in the tests' process or in one they start."""
import keyring.backend
from keyring.errors import PasswordDeleteError


class MemoryKeyring(keyring.backend.KeyringBackend):
    """Credential store in memory that records its calls and fails on demand."""

    priority = 1

    def __init__(self):
        super().__init__()
        self.entries = {}
        self.calls = []
        self.failures = {}  # "get" / "set" / "delete" -> exception to raise

    def _enter(self, name, *args):
        self.calls.append((name,) + args)
        if name in self.failures:
            raise self.failures[name]

    def get_password(self, service, username):
        self._enter("get", service, username)
        return self.entries.get((service, username))

    def set_password(self, service, username, password):
        self._enter("set", service, username, password)
        self.entries[(service, username)] = password

    def delete_password(self, service, username):
        self._enter("delete", service, username)
        if (service, username) not in self.entries:
            raise PasswordDeleteError("Password not found")
        del self.entries[(service, username)]
