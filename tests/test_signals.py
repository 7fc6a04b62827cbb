"""A signal that arrives while a request goes out has its handler run before the reply is
awaited: a reply that never comes must not hold the caller's handler back."""
import ctypes
import ctypes.util
import gc
import signal
import socket
import sys
import time
import warnings

import pytest

if sys.platform == "win32" or not hasattr(signal, "SIGALRM"):
    pytest.skip("raises SIGALRM through the C library's raise(); Windows has no SIGALRM",
                allow_module_level=True)


class Alarm(Exception):
    pass


@pytest.fixture
def alarm_handler():
    def handler(number, frame):
        raise Alarm()

    previous = signal.signal(signal.SIGALRM, handler)
    yield
    signal.signal(signal.SIGALRM, previous)


def raise_alarm_in_c():
    """libc's raise(SIGALRM) as a foreign function: the signal is raised in C, after which no
    Python code runs before control is back in the module, so only the module can notice it."""
    libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
    function = libc["raise"]

    class AlarmNumber(object):
        @classmethod
        def from_param(cls, ignored):
            return ctypes.c_int(signal.SIGALRM)

    function.argtypes = [AlarmNumber]
    function.restype = ctypes.c_int
    return function


@pytest.fixture
def silent_application(port_free):
    """Listens where the application does and never answers."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 5656))
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(3)
    yield listener
    socket.setdefaulttimeout(previous)
    listener.close()


class AlarmingSocket(object):
    """A real socket whose `send` raises SIGALRM in C as it returns."""

    made = []

    def __init__(self, family, kind):
        self._socket = socket.socket(family, kind)
        self.connect = self._socket.connect
        self.recv = self._socket.recv
        self.send = raise_alarm_in_c()
        AlarmingSocket.made.append(self._socket)


class AlarmingSocketModule(object):
    AF_INET = socket.AF_INET
    SOCK_DGRAM = socket.SOCK_DGRAM
    socket = AlarmingSocket


class AlarmingFlag(object):
    """A reply mode whose `== 0` raises SIGALRM in C (and is false: multi-reply mode)."""

    __eq__ = raise_alarm_in_c()


def timed(call):
    start = time.monotonic()
    with pytest.raises(Alarm):
        call()
    return time.monotonic() - start


@pytest.mark.parametrize("call", [
    lambda c: c.Order("A1", "P1", "B", "1", "1", "ROD", "LMT", None, None),  # single reply
    lambda c: c.GetAccount("A1", "All"),  # multi reply through the socket's own recv
], ids=["single", "general-multi"])
def test_handler_runs_before_waiting_on_a_stand_in_socket(
        velkarcmd, alarm_handler, silent_application, call):
    del AlarmingSocket.made[:]
    velkarcmd.socket = AlarmingSocketModule
    assert timed(lambda: call(velkarcmd.ZolmarCommand())) < 1.5
    assert len(AlarmingSocket.made) == 1  # nothing is tried again
    for made in AlarmingSocket.made:
        made.close()


def test_handler_runs_before_the_native_drain_waits(
        velkarcmd, alarm_handler, silent_application):
    command = velkarcmd.ZolmarCommand()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        assert timed(lambda: command._ZolmarCommand__SendMsg("A1 All", AlarmingFlag())) < 1.5
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []  # closed
    silent_application.settimeout(0.5)
    assert silent_application.recv(100) == b"A1 All"
    with pytest.raises(socket.timeout):
        silent_application.recv(100)  # sent once
