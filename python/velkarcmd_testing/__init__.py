"""pytest plugin: the fixture ``zolmar_sim`` runs a trading script's tests against zolmar-sim.

Installed with velkarcmd and loaded by pytest on its own (entry point ``pytest11``; turn it off
with ``-p no:velkarcmd``). A test that asks for ``zolmar_sim`` runs with the simulator started
on the application's address, 127.0.0.1:5656, where velkarcmd sends every command; the marker
``zolmar_sim`` gives its options::

    @pytest.mark.zolmar_sim(price={"FUT": "17000"}, move_every=0, journal=True)
    def test_buying_opens_a_position(zolmar_sim):
        ...
        zolmar_sim.stop()
        assert "FUT" in zolmar_sim.read_journal()

Keywords (all optional), in the marker or in a call of the fixture: ``price`` and ``preload``
take a mapping (``--price NAME=VALUE`` each); ``journal=True`` writes the journal into the
test's temporary directory (or give a path); any other keyword ``some_option=value`` becomes
``--some-option value`` (``balance``, ``move_every``, ``tick``, ``seed``, ``delay_ms``, ``drop``,
``withhold_end``, ``corrupt``, ``oversize``, ``burst``, ``pace_us``); ``extra_args`` is a list
passed as it is. Calling the fixture, ``zolmar_sim(**options)``, restarts the simulator with
those options. The simulator is stopped when the test ends.

When the port is taken, by the real application say, the test errors in setup saying so, before
its body runs: nothing is sent there. ``zolmar_sim_session`` shares one simulator between the
tests that ask for it.
"""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Dict, Generator, Iterable, List, Mapping, Optional, Sequence, Union

import pytest
import zolmar_sim as _installed

# A journal: a path, True for a file in the test's temporary directory, or None/False for none.
Journal = Union[str, "os.PathLike[str]", bool, None]

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


# Wine, not Windows, now and then refuses to start a process with "Internal error".
_WINE_INTERNAL_ERROR = 1359


def _popen(args: Sequence[str], **options: Any) -> "subprocess.Popen[str]":
    """subprocess.Popen, tried again when Wine refuses the process with its internal error."""
    for attempt in range(3):
        try:
            return subprocess.Popen(args, **options)
        except OSError as error:
            if getattr(error, "winerror", None) != _WINE_INTERNAL_ERROR or attempt == 2:
                raise
            time.sleep(0.1)
    raise AssertionError("unreachable")


def find_executable() -> str:
    """zolmar-sim as installed with velkarcmd (the installation's RECORD), else beside the running
    interpreter (its environment's scripts), else on PATH."""
    try:
        return _installed.find_executable()
    except _installed.NotInstalled as error:
        raise ZolmarSimError(str(error)) from None


def port_is_free(host: str = HOST, port: int = PORT) -> bool:
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


def command_line(journal: Union[str, "os.PathLike[str]", None] = None,
                 extra_args: Iterable[str] = (), **options: Any) -> List[str]:
    """The simulator's arguments for the fixture's keywords."""
    args: List[str] = []
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
    extra = list(extra_args)
    for given in ("--host", "--port", "--quiet"):
        if given in extra:
            raise ValueError("zolmar_sim: %s is not adjustable through extra_args" % given)
    return args + extra


def ask_to_stop(process: "subprocess.Popen[str]") -> None:
    """Asks a zolmar-sim started by ZolmarSim to stop cleanly: SIGTERM, on Windows Ctrl-Break to
    its process group. OSError if it cannot be asked."""
    if sys.platform != "win32":
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
    """A running zolmar-sim, started with the simulator's command-line ``args``: ``journal``
    (path or None), ``read_journal()``, ``stop()`` (its exit code), ``running``, ``args``,
    ``banner``; once stopped, ``returncode``, ``stdout`` (what it printed after its banner) and
    ``stderr``. A context manager, stopped on leaving. ``launcher`` is the command that runs the
    simulator (zolmar-sim as installed, unless given); ``popen_options`` go to subprocess.Popen.
    ZolmarSimError if it does not start."""

    def __init__(self, args: Iterable[str], journal: Optional[str] = None,
                 launcher: Optional[Sequence[str]] = None, **popen_options: Any) -> None:
        self.args: List[str] = list(launcher or [find_executable()]) + list(args)
        self.journal = journal
        self.returncode: Optional[int] = None
        self.stdout = ""
        self.stderr = ""
        if sys.platform == "win32":
            # A group of its own, so that CTRL_BREAK_EVENT reaches it and not the test run.
            popen_options.setdefault("creationflags", subprocess.CREATE_NEW_PROCESS_GROUP)
        self.process = _popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, **popen_options)
        self.banner = self._wait_until_listening()

    def _wait_until_listening(self) -> str:
        first: List[str] = []
        assert self.process.stdout is not None
        readline = self.process.stdout.readline
        reader = threading.Thread(target=lambda: first.append(readline()))
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
    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self, how: Optional[int] = None) -> int:
        """Stops the simulator and returns its exit code: by default as ask_to_stop() does
        (SIGTERM; on Windows CTRL_BREAK_EVENT), else with the signal (on Windows the console
        event) ``how``. Killed if it has not ended within STOP_SECONDS."""
        if self.returncode is not None:
            return self.returncode
        if self.process.poll() is None:
            try:
                if how is None:
                    ask_to_stop(self.process)
                else:
                    self.process.send_signal(how)
            except OSError:
                self.process.kill()
        try:
            out, err = self.process.communicate(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        self.stdout, self.stderr = out, err
        self.returncode = self.process.returncode
        return self.returncode

    def __enter__(self) -> "ZolmarSim":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def read_journal(self) -> str:
        """The journal's text. Complete once stopped: while running, the simulator may hold
        back the latest lines."""
        if self.journal is None:
            raise ZolmarSimError("zolmar-sim runs without a journal: pass journal=True")
        try:
            with open(self.journal, encoding="utf-8", errors="replace") as journal:
                return journal.read()
        except FileNotFoundError:
            return ""


MARKER = "zolmar_sim"

_MARKER_UNUSED = (
    "@pytest.mark.zolmar_sim is on {test}, which does not use the zolmar_sim fixture{session}: "
    "add zolmar_sim to its arguments (a misspelt name?). Without the fixture the test talks to "
    "whatever listens on {host}:{port}, so it was not run."
)


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "zolmar_sim(**options): the options the zolmar_sim fixture starts zolmar-sim with for "
        "this test, the keywords the fixture takes (price={'FUT': '17000'}, move_every=0, "
        "journal=True, ...)")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item: pytest.Item) -> None:
    # Before any fixture: a test marked on its own but without the fixture must not run at all.
    fixtures = getattr(item, "fixturenames", ())
    if "zolmar_sim" in fixtures:
        return
    if any(node is item for node, _ in item.iter_markers_with_node(MARKER)):
        session = (" (zolmar_sim_session takes its options from the zolmar_sim_session_options "
                   "fixture)" if "zolmar_sim_session" in fixtures else "")
        pytest.fail(_MARKER_UNUSED.format(test=item.nodeid, session=session, host=HOST,
                                          port=PORT), pytrace=False)


def _marker_options(request: pytest.FixtureRequest) -> Dict[str, Any]:
    marker = request.node.get_closest_marker(MARKER)
    if marker is None:
        return {}
    if marker.args:
        pytest.fail("@pytest.mark.zolmar_sim takes keywords only, the zolmar_sim fixture's "
                    "(price={'FUT': '17000'}, move_every=0, journal=True, ...), not %r"
                    % (marker.args,), pytrace=False)
    return dict(marker.kwargs)


def _launch(journal_dir: "os.PathLike[str]", journal: Journal = None,
            extra_args: Iterable[str] = (), **options: Any) -> ZolmarSim:
    """Checks the options and the port, then starts a ZolmarSim. ValueError for options the
    fixture refuses, ZolmarSimError when the port is taken or the simulator does not start."""
    if journal is True:
        journal = os.path.join(str(journal_dir), "zolmar-journal.log")
    elif journal is False:
        journal = None
    args = command_line(journal=journal, extra_args=extra_args, **options)
    if not port_is_free():
        raise ZolmarSimError(_PORT_TAKEN.format(host=HOST, port=PORT, detail=""))
    return ZolmarSim(args, journal=None if journal is None else os.fspath(journal))


def _started(journal_dir: "os.PathLike[str]", journal: Journal = None,
             extra_args: Iterable[str] = (), **options: Any) -> ZolmarSim:
    """_launch, its failures as the test's failure: the message alone."""
    failure = None
    try:
        return _launch(journal_dir, journal=journal, extra_args=extra_args, **options)
    except (ValueError, ZolmarSimError) as error:
        failure = str(error)
    # Outside the handler, so that the report is the message alone.
    pytest.fail(failure, pytrace=False)


def _ended_on_its_own(sim: ZolmarSim) -> bool:
    return sim.returncode is None and not sim.running


def _ended_report(sim: ZolmarSim, what: str) -> str:
    """Reaps a simulator that ended on its own; what it said, for the test's report."""
    code = sim.stop()
    return ("zolmar-sim ended during %s (exit code %s): %s"
            % (what, code, sim.stderr.strip() or "no message"))


def _check_survived(sim: Optional[ZolmarSim], what: str) -> None:
    """Fails the test if `sim` ended on its own rather than by stop()."""
    if sim is not None and _ended_on_its_own(sim):
        pytest.fail(_ended_report(sim, what), pytrace=False)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item,
                              call: "pytest.CallInfo[None]") -> Generator[None, Any, None]:
    # A simulator that ended during the test's body fails that test, not its teardown: the
    # answers the test saw came from a simulator that did not last.
    outcome = yield
    if call.when != "call":
        return
    funcargs: Dict[str, Any] = getattr(item, "funcargs", {})
    handle = funcargs.get("zolmar_sim")
    sim = handle.current if isinstance(handle, ZolmarSimFixture) else funcargs.get(
        "zolmar_sim_session")
    if not isinstance(sim, ZolmarSim) or not _ended_on_its_own(sim):
        return
    report = outcome.get_result()
    message = _ended_report(sim, "the test")
    if report.passed:
        report.outcome = "failed"
        report.longrepr = message
    else:
        report.sections.append(("zolmar-sim", message))


class ZolmarSimFixture(object):
    """What the ``zolmar_sim`` fixture gives a test: the simulator it started, already running.

    Its attributes are the running simulator's (``journal``, ``read_journal()``, ``stop()``,
    ``running``, ``args``, ``banner``); ``current`` is that ZolmarSim itself. Calling it,
    ``zolmar_sim(**options)``, stops the simulator and starts it again with those options, and
    returns the new ZolmarSim.
    """

    def __init__(self, journal_dir: "os.PathLike[str]") -> None:
        self._journal_dir = journal_dir
        self.current: Optional[ZolmarSim] = None

    def __call__(self, journal: Journal = None, extra_args: Iterable[str] = (),
                 **options: Any) -> ZolmarSim:
        # The options first, so that refused ones leave the running simulator as it is.
        command_line(extra_args=extra_args, **options)
        if self.current is not None:
            self.current.stop()
            self.current = None
        self.current = _started(self._journal_dir, journal=journal, extra_args=extra_args,
                                **options)
        return self.current

    if TYPE_CHECKING:
        # What __getattr__ hands on from the running simulator, for type checkers.
        journal: Optional[str]
        running: bool
        args: List[str]
        banner: str

        def read_journal(self) -> str: ...

        def stop(self, how: Optional[int] = None) -> int: ...

    def __getattr__(self, name: str) -> Any:
        current = self.__dict__.get("current")
        if name.startswith("_") or current is None:
            raise AttributeError(name)
        return getattr(current, name)

    def _finish(self) -> None:
        sim, self.current = self.current, None
        if sim is not None:
            _check_survived(sim, "the test")
            sim.stop()


class _SharedSim(object):
    """The session's simulator behind zolmar_sim_session: started when a test first asks for
    it, stopped while a test uses zolmar_sim (which needs the port), started anew after."""

    live: List["_SharedSim"] = []  # the one of this session, to be stopped for zolmar_sim

    def __init__(self, options: Dict[str, Any], journal_dir: "os.PathLike[str]") -> None:
        self.options = options
        self.journal_dir = journal_dir
        self.current: Optional[ZolmarSim] = None
        _SharedSim.live.append(self)

    def ensure_running(self) -> ZolmarSim:
        if self.current is None:
            self.current = _started(self.journal_dir, **self.options)
        return self.current

    def suspend(self) -> None:
        sim, self.current = self.current, None
        if sim is not None:
            sim.stop()

    def close(self) -> None:
        self.suspend()
        _SharedSim.live.remove(self)


@pytest.fixture
def zolmar_sim(request: pytest.FixtureRequest,
               tmp_path: "os.PathLike[str]") -> Generator[ZolmarSimFixture, None, None]:
    """zolmar-sim on 127.0.0.1:5656 for this test: started before the test runs, with the
    options of ``@pytest.mark.zolmar_sim(...)`` (the keywords below) or the simulator's defaults,
    and stopped when it ends. The test errors in setup if the port is taken, and nothing is sent
    there; or if the simulator refuses the options. The value is a ZolmarSimFixture: the
    running simulator's handle (``journal``, ``read_journal()``, ``stop()``, ``running``,
    ``args``), which, called as ``zolmar_sim(price={"FUT": "17000"}, balance="1000000",
    journal=True, extra_args=[...])``, restarts the simulator with those options and returns
    its new handle."""
    if "zolmar_sim_session" in request.fixturenames:
        pytest.fail("a test uses zolmar_sim or zolmar_sim_session, not both: both need the "
                    "port", pytrace=False)
    options = _marker_options(request)
    # The session's simulator, if one runs, makes way: this test gets a simulator of its own.
    for shared in _SharedSim.live:
        shared.suspend()
    handle = ZolmarSimFixture(tmp_path)
    handle.current = _started(tmp_path, **options)
    yield handle
    handle._finish()


@pytest.fixture(scope="session")
def zolmar_sim_session_options() -> Mapping[str, Any]:
    """The options of zolmar_sim_session's simulator, the zolmar_sim fixture's keywords; {} for
    its defaults. Override it in a conftest.py with a session-scoped fixture of this name."""
    return {}


@pytest.fixture(scope="session")
def _zolmar_sim_shared(zolmar_sim_session_options: Mapping[str, Any],
                       tmp_path_factory: pytest.TempPathFactory) -> Generator[_SharedSim, None, None]:
    shared = _SharedSim(dict(zolmar_sim_session_options),
                        tmp_path_factory.mktemp("zolmar-sim-session"))
    yield shared
    shared.close()


@pytest.fixture
def zolmar_sim_session(_zolmar_sim_shared: _SharedSim) -> Generator[ZolmarSim, None, None]:
    """One zolmar-sim for every test of the session that asks for it, so that only the first
    pays for its start: accounts, orders and prices carry over from test to test. Options from
    zolmar_sim_session_options. A test that uses zolmar_sim stops it meanwhile; the next test
    that asks for it gets a new one. Errors in setup like zolmar_sim. The value is the running
    ZolmarSim."""
    sim = _zolmar_sim_shared.ensure_running()
    yield sim
    if _zolmar_sim_shared.current is sim and not sim.running:
        # Stopped by the test, or ended on its own: the next test gets a new simulator.
        _zolmar_sim_shared.current = None
        _check_survived(sim, "the test")
