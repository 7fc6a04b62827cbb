import os
import socket

import pytest
from stand_in import PortTaken, ScriptedApp

_app = None

# The wheel check reads what make wheels is about to ship, and runs there.
collect_ignore = [] if os.environ.get("VELKARCMD_WHEELS") else ["test_windows_wheels.py"]


def pytest_configure(config):
    config.addinivalue_line("markers", "network: fetches from the package index (PyPI)")


def pytest_sessionstart(session):
    global _app
    try:
        _app = ScriptedApp()
    except PortTaken as error:
        pytest.exit(str(error), returncode=3)


def pytest_sessionfinish(session, exitstatus):
    global _app
    if _app is not None:
        _app.close()
        _app = None


@pytest.fixture
def app():
    """The scripted stand-in application on 127.0.0.1:5656, fresh for each test."""
    _app.reset()
    yield _app
    _app.reset()


@pytest.fixture
def zolmar_sim():
    """Starts zolmar-sim on the tests' port (the scripted stand-in steps aside meanwhile)."""
    from sim_process import SimProcess

    started = []
    with _app.offline():

        def start(*args, **kwargs):
            process = SimProcess(*args, **kwargs)
            started.append(process)
            return process

        yield start
        for process in started:
            if process.process.poll() is None:
                code, _, err = process.stop()
                assert code == 0, err


@pytest.fixture
def port_free():
    """Nobody listens on the tests' port meanwhile (the scripted stand-in steps aside)."""
    with _app.offline():
        yield


@pytest.fixture(autouse=True)
def bounded_wait():
    """A fault in a test must not hang the run: the module's sockets inherit this time-out."""
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(10)
    yield
    socket.setdefaulttimeout(previous)


@pytest.fixture
def velkarcmd():
    import velkarcmd

    original = velkarcmd.socket
    yield velkarcmd
    velkarcmd.socket = original


@pytest.fixture
def command(velkarcmd):
    return velkarcmd.ZolmarCommand()


@pytest.fixture(params=["ZolmarCommand", "AsyncZolmarCommand"])
def twin(request):
    """Each of the two classes in turn, behind one face (twins.py)."""
    from twins import twins

    chosen = {str(t): t for t in twins()}[request.param]
    yield chosen
    chosen.close()
