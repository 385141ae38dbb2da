"""Keeps the tests on the loopback interface.

install() makes every socket of this interpreter refuse to resolve or reach
any host but 127.0.0.0/8, ::1, "localhost" and this machine's own name, so a
fault can never send traffic out (yt-dlp, for one, would try the real site).
A refused attempt raises OSError where it happens, which the code under test
may well catch and turn into an ordinary failure, so each one is also written
to the file named by $VELMORA_NETGUARD_LOG (when set): the tests' conftest
fails any test during which that file grew.

The sitecustomize beside this file installs the guard in every Python
subprocess that the tests start; non-Python subprocesses are pointed at a
dead proxy on loopback by the conftest.
"""
import errno
import ipaddress
import os
import socket
import threading

LOG_VARIABLE = "VELMORA_NETGUARD_LOG"
_installed = False
_lock = threading.Lock()


def _allowed_name(host):
    if host is None:
        return True  # a local (passive) address
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    host = str(host).strip("[]").lower()
    if host in ("", "localhost", "localhost.localdomain", socket.gethostname().lower()):
        return True
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        return False


def _record(what):
    path = os.environ.get(LOG_VARIABLE)
    if not path:
        return
    with _lock:
        try:
            with open(path, "a", encoding="utf-8") as log:
                log.write(f"{os.getpid()} {what}\n")
        except OSError:
            pass


def _refuse(what):
    _record(what)
    raise OSError(errno.ENETUNREACH, f"refused by the tests' loopback guard: {what}")


def install():
    global _installed
    if _installed:
        return
    _installed = True

    real_getaddrinfo = socket.getaddrinfo

    def getaddrinfo(host, *args, **kwargs):
        if not _allowed_name(host):
            _record(f"resolve {host!r}")
            raise socket.gaierror(socket.EAI_NONAME, f"refused by the tests' loopback guard: {host!r}")
        return real_getaddrinfo(host, *args, **kwargs)

    def checked(address):
        if isinstance(address, tuple) and address and not _allowed_name(address[0]):
            _refuse(f"connect {address!r}")

    real_connect = socket.socket.connect
    real_connect_ex = socket.socket.connect_ex
    real_sendto = socket.socket.sendto

    def connect(self, address):
        checked(address)
        return real_connect(self, address)

    def connect_ex(self, address):
        checked(address)
        return real_connect_ex(self, address)

    def sendto(self, data, *args):
        checked(args[-1] if args else None)
        return real_sendto(self, data, *args)

    socket.getaddrinfo = getaddrinfo
    socket.socket.connect = connect
    socket.socket.connect_ex = connect_ex
    socket.socket.sendto = sendto
