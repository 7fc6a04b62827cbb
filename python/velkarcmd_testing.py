"""pytest plugin: the fixture ``zolmar_sim`` runs a trading script's tests against zolmar-sim.

Installed with velkarcmd and loaded by pytest on its own (entry point ``pytest11``; turn it off
with ``-p no:velkarcmd``). A test asks for ``zolmar_sim`` and calls it to start the simulator
on the application's address, 127.0.0.1:5656, where velkarcmd sends every command::

    def test_buying_opens_a_position(zolmar_sim):
        sim = zolmar_sim(price={"FUT": "17000"}, move_every=0, journal=True)
        ...
        sim.stop()
        assert "FUT" in sim.read_journal()

Keywords (all optional): ``price`` and ``preload`` take a mapping (``--price NAME=VALUE`` each);
``journal=True`` writes the journal into the test's temporary directory (or give a path);
any other keyword ``some_option=value`` becomes ``--some-option value`` (``balance``,
``move_every``, ``tick``, ``seed``, ``delay_ms``, ``drop``, ``withhold_end``, ``corrupt``,
``oversize``, ``burst``, ``pace_us``); ``extra_args`` is a list passed as it is. Calling it
again stops the running simulator first. The simulator is stopped when the test ends.

When the port is taken, by the real application say, the test fails saying so, and nothing is
sent there.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import threading

import pytest

HOST = "127.0.0.1"
PORT = 5656
# Only a bound on a broken start: the simulator prints its banner as soon as it listens.
STARTUP_SECONDS = 30
STOP_SECONDS = 10

_PORT_TAKEN = (
    "UDP port {port} on {host} is taken by another process (the order-entry application "
    "itself, or another zolmar-sim?): zolmar-sim was not started and nothing was sent there. "
    "Stop whatever listens on the port and run the test again.{detail}"
)


class ZolmarSimError(Exception):
    pass


def find_executable():
    """zolmar-sim beside the running interpreter (its environment's scripts), else on PATH."""
    places = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    for place in places:
        found = shutil.which("zolmar-sim", path=place) if place else None
        if found:
            return found
    found = shutil.which("zolmar-sim")
    if found is None:
        raise ZolmarSimError(
            "zolmar-sim is not installed beside %s nor on PATH: install velkarcmd into the "
            "environment that runs the tests" % sys.executable)
    return found


def port_is_free(host=HOST, port=PORT):
    """Whether nobody holds the UDP port; a bind, so nothing reaches whoever holds it."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        # No SO_REUSEADDR: the bind must fail wherever someone is bound already.
        probe.bind((host, port))
    except OSError:
        return False
    finally:
        probe.close()
    return True


def command_line(journal=None, extra_args=(), **options):
    """The simulator's arguments for the fixture's keywords."""
    args = []
    for name, value in sorted(options.items()):
        if name in ("host", "port", "quiet"):
            raise ValueError(
                "zolmar_sim: %r is not adjustable: velkarcmd talks to %s:%d only, and the "
                "fixture reads the simulator's banner" % (name, HOST, PORT))
        flag = "--" + name.replace("_", "-")
        if name in ("price", "preload"):
            for key, each in sorted(dict(value).items()):
                args += [flag, "%s=%s" % (key, each)]
        else:
            args += [flag, str(value)]
    if journal is not None:
        args += ["--journal", os.fspath(journal)]
    extra_args = list(extra_args)
    for given in ("--host", "--port", "--quiet"):
        if given in extra_args:
            raise ValueError("zolmar_sim: %s is not adjustable through extra_args" % given)
    return args + extra_args


def ask_to_stop(process):
    """Asks a zolmar-sim started by ZolmarSim to stop cleanly: SIGTERM, on Windows Ctrl-Break to
    its process group. OSError if it cannot be asked."""
    if os.name != "nt":
        process.send_signal(signal.SIGTERM)
        return
    import ctypes

    # Not os.kill: where the console refuses the event, CPython 3.8's terminates the process.
    generate = ctypes.WinDLL("kernel32", use_last_error=True).GenerateConsoleCtrlEvent
    # A console may carry Ctrl-C only (Wine's does); the simulator takes it as it takes Ctrl-Break.
    for event in (signal.CTRL_BREAK_EVENT, signal.CTRL_C_EVENT):
        if generate(event, process.pid):
            return
    raise ctypes.WinError(ctypes.get_last_error())


class ZolmarSim(object):
    """A running zolmar-sim: ``journal`` (path or None), ``args``, ``banner``, ``stop()``."""

    def __init__(self, args, journal=None):
        self.args = [find_executable()] + list(args)
        self.journal = journal
        self.returncode = None
        self.stderr = ""
        flags = 0
        if os.name == "nt":
            # A group of its own, so that CTRL_BREAK_EVENT reaches it and not the test run.
            flags = subprocess.CREATE_NEW_PROCESS_GROUP
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        universal_newlines=True, creationflags=flags)
        self.banner = self._wait_until_listening()

    def _wait_until_listening(self):
        first = []
        reader = threading.Thread(target=lambda: first.append(self.process.stdout.readline()))
        reader.daemon = True
        reader.start()
        reader.join(STARTUP_SECONDS)
        if first and "listening" in first[0]:
            return first[0].strip()
        if self.process.poll() is None:
            self.process.kill()
        _, err = self.process.communicate()
        self.returncode = self.process.returncode
        self.stderr = err
        if self.returncode == 3 and "taken" in err:
            raise ZolmarSimError(_PORT_TAKEN.format(host=HOST, port=PORT,
                                                    detail="\nzolmar-sim: " + err.strip()))
        raise ZolmarSimError("zolmar-sim did not start (exit code %s): %s"
                             % (self.returncode, err.strip() or "no message"))

    @property
    def running(self):
        return self.process.poll() is None

    def stop(self):
        """Stops the simulator (SIGTERM; on Windows CTRL_BREAK_EVENT); returns its exit code."""
        if self.returncode is not None:
            return self.returncode
        if self.process.poll() is None:
            try:
                ask_to_stop(self.process)
            except OSError:
                self.process.kill()
        try:
            _, err = self.process.communicate(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        self.stderr = err
        self.returncode = self.process.returncode
        return self.returncode

    def read_journal(self):
        """The journal's text. Complete once stopped: while running, the simulator may hold
        back the latest lines."""
        if self.journal is None:
            raise ZolmarSimError("zolmar-sim runs without a journal: pass journal=True")
        try:
            with open(self.journal, encoding="utf-8", errors="replace") as journal:
                return journal.read()
        except FileNotFoundError:
            return ""


@pytest.fixture
def zolmar_sim(tmp_path):
    """Factory: ``zolmar_sim(price={"FUT": "17000"}, balance="1000000", journal=True,
    extra_args=[...])`` starts zolmar-sim on 127.0.0.1:5656 and returns its handle; it is
    stopped when the test ends. Fails the test if the port is taken."""
    current = []

    def start(journal=None, extra_args=(), **options):
        if current:
            current.pop().stop()
        if journal is True:
            journal = tmp_path / "zolmar-journal.log"
        elif journal is False:
            journal = None
        args = command_line(journal=journal, extra_args=extra_args, **options)
        if not port_is_free():
            pytest.fail(_PORT_TAKEN.format(host=HOST, port=PORT, detail=""), pytrace=False)
        failure = None
        try:
            sim = ZolmarSim(args, journal=None if journal is None else os.fspath(journal))
        except ZolmarSimError as error:
            failure = str(error)
        if failure is not None:
            # Outside the handler, so that the report is the message alone.
            pytest.fail(failure, pytrace=False)
        current.append(sim)
        return sim

    yield start
    for sim in current:
        crashed = not sim.running and sim.returncode is None
        code = sim.stop()
        if crashed:
            pytest.fail("zolmar-sim ended during the test (exit code %s): %s"
                        % (code, sim.stderr.strip() or "no message"), pytrace=False)
