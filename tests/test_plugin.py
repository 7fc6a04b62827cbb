"""The pytest plugin for trading scripts, run as a user would: a test session of its own."""

import pytest
import velkarcmd_testing
from windows import NOBODY_LISTENING, UNDER_WINE, WINE_KEEPS_REFUSALS

pytest_plugins = ["pytester"]

PREAMBLE = '''
import socket
import pytest
import velkarcmd

NOBODY_LISTENING = %s
WINE_KEEPS_REFUSALS = %r
''' % (NOBODY_LISTENING.__name__, WINE_KEEPS_REFUSALS if UNDER_WINE else None) + '''

@pytest.fixture(autouse=True)
def bounded_wait():
    socket.setdefaulttimeout(10)

c = velkarcmd.ZolmarCommand()
'''

WORKING = '''
def test_a_market_buy_fills_and_is_journaled(zolmar_sim):
    sim = zolmar_sim(price={"FUT": "17000"}, move_every=0, journal=True)
    oid = c.Order("T1", "FUT", "B", "0", "2", "IOC", "MKT", None, None)
    assert c.GetInStock("T1", "FUT") == ["FUT,2,17000.00,17000,0.00"]
    assert c.MatchAccount("T1", oid) == [oid + ",Match,FUT,B,17000,2,1"]
    # The simulator writes its journal out in full when it stops.
    assert sim.stop() == 0
    assert "T1 FUT B 0 2 IOC MKT 0" in sim.read_journal()

@pytest.mark.parametrize("balance, price", [("5000", "12.5"), ("250000.75", "3")])
def test_balance_and_prices_reach_the_simulator(zolmar_sim, balance, price):
    sim = zolmar_sim(price={"ABC": price}, balance=balance, move_every=0)
    assert sim.journal is None
    assert c.FutureRights("T1").startswith("balance=%.2f," % float(balance))
    oid = c.Order("T1", "ABC", "S", "0", "1", "IOC", "MKT", None, None)
    assert c.MatchAccount("T1", oid)[0].split(",")[4] == price
    assert c.Order("T1", "FUT", "B", "0", "1", "IOC", "MKT", None, None).startswith("ERR prodid")

def test_calling_again_restarts_with_new_options(zolmar_sim):
    first = zolmar_sim(price={"FUT": "100"}, move_every=0)
    second = zolmar_sim(price={"FUT": "200"}, extra_args=["--move-every", "0"])
    assert not first.running and second.running
    oid = c.Order("T1", "FUT", "B", "0", "1", "IOC", "MKT", None, None)
    assert c.MatchAccount("T1", oid)[0].split(",")[4] == "200"

def test_stop_ends_it_cleanly(zolmar_sim):
    sim = zolmar_sim()
    assert sim.stop() == 0 and not sim.running
    if WINE_KEEPS_REFUSALS:
        pytest.skip(WINE_KEEPS_REFUSALS)
    with pytest.raises(NOBODY_LISTENING):
        c.FutureRights("T1")

def test_left_running_for_the_fixture_to_stop(zolmar_sim):
    assert zolmar_sim(seed=7).running

@pytest.mark.zolmar_sim(price={"FUT": "17000"}, move_every=0)
def test_an_asyncio_script_trades_through_the_awaitable_twin(zolmar_sim):
    import asyncio
    import velkarcmd_async

    async def trade():
        a = velkarcmd_async.AsyncZolmarCommand()
        oid = await a.Order("T2", "FUT", "B", "0", "2", "IOC", "MKT", None, None)
        return oid, await asyncio.gather(a.MatchAccount("T2", oid), a.FutureRights("T2"))

    oid, (fills, equity) = asyncio.run(trade())
    assert fills == [oid + ",Match,FUT,B,17000,2,1"]
    assert equity.startswith("balance=")
'''

BROKEN = '''
def test_an_unknown_option(zolmar_sim):
    zolmar_sim(extra_args=["--bogus", "1"])

@pytest.mark.parametrize("options", [{"port": 5657}, {"extra_args": ["--host", "0.0.0.0"]},
                                     {"quiet": True}])
def test_the_address_and_banner_are_not_adjustable(zolmar_sim, options):
    with pytest.raises(ValueError, match="not adjustable"):
        zolmar_sim(**options)

def test_a_simulator_that_dies_during_the_test(zolmar_sim):
    sim = zolmar_sim()
    sim.process.kill()
    sim.process.wait()
'''


def inner_session(pytester, body, conftest=None):
    pytester.makepyfile(test_script=PREAMBLE + body)
    if conftest is not None:
        pytester.makeconftest(conftest)
    return pytester.runpytest_subprocess("-p", "no:cacheprovider", "-rfE", timeout=300)


def test_a_trading_script_runs_against_the_simulator_and_leaves_nothing_behind(pytester,
                                                                               port_free):
    result = inner_session(pytester, WORKING)
    if UNDER_WINE:
        result.assert_outcomes(passed=6, skipped=1)
    else:
        result.assert_outcomes(passed=7)
    assert velkarcmd_testing.port_is_free()


def test_a_simulator_that_cannot_start_or_dies_fails_the_test_saying_why(pytester, port_free):
    result = inner_session(pytester, BROKEN)
    # The one that dies fails itself, not its teardown.
    result.assert_outcomes(passed=3, failed=2)
    out = result.stdout.str()
    assert "zolmar-sim did not start (exit code 2)" in out and "unknown option '--bogus'" in out
    assert "zolmar-sim ended during the test" in out
    assert velkarcmd_testing.port_is_free()


TAKEN = '''
def test_wants_the_simulator(zolmar_sim):
    zolmar_sim()
    c.FutureRights("T1")
'''

# Another process can take the port between the fixture's check and the simulator's start.
RACE = '''
import velkarcmd_testing

def pytest_configure(config):
    velkarcmd_testing.port_is_free = lambda *args: True
'''


@pytest.mark.parametrize("conftest, detail", [(None, "nothing was sent there"),
                                              (RACE, "zolmar-sim: the port is taken")])
def test_a_taken_port_fails_the_test_and_nothing_reaches_its_holder(pytester, app, conftest,
                                                                    detail):
    result = inner_session(pytester, TAKEN, conftest)
    # In setup: the simulator starts before the test's body runs.
    result.assert_outcomes(errors=1)
    out = result.stdout.str()
    assert "UDP port 5656 on 127.0.0.1 is taken by another process" in out
    assert detail in out
    assert app.texts() == []


# How tests are written with the fixture, each sending orders in its body: none may run while
# another program holds the port.
EVERY_STYLE = '''
pytestmark = pytest.mark.zolmar_sim(move_every=0)

def test_asks_but_never_calls(zolmar_sim):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim(price={"FUT": "17000"}, journal=True)
def test_marked(zolmar_sim):
    c.Order("A1", "FUT", "B", "0", "1", "IOC", "MKT", None, None)

def test_calls_as_before(zolmar_sim):
    zolmar_sim(seed=3)
    c.Order("A1", "FUT", "B", "0", "1", "IOC", "MKT", None, None)

@pytest.mark.zolmar_sim(seed=3)
def test_marked_but_forgot_the_fixture():
    c.Order("A1", "FUT", "B", "0", "1", "IOC", "MKT", None, None)

@pytest.mark.parametrize("n", range(3))
def test_several(zolmar_sim, n):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)
    c.GetAccount("A1", "All")
'''


@pytest.mark.parametrize("conftest", [None, RACE])
def test_while_another_program_holds_the_port_no_datagram_leaves(pytester, app, conftest):
    # `app` is a listener on 127.0.0.1:5656 that records every datagram it receives.
    result = inner_session(pytester, EVERY_STYLE, conftest)
    assert len(app.texts()) == 0
    # Each in setup, before its body ran.
    result.assert_outcomes(errors=7)
    # Counted in the error reports alone: the summary repeats them where CI is set.
    reports = result.stdout.str().split("short test summary info")[0]
    assert reports.count("is taken by another process") == 6


MARKED = '''
import velkarcmd_testing

def test_a_newcomers_test_gets_the_simulator(zolmar_sim):
    assert zolmar_sim.running and zolmar_sim.journal is None
    assert c.Order("T1", "FUT", "B", "1", "1", "ROD", "LMT", None, None) == "1"

@pytest.mark.zolmar_sim(price={"FUT": "17000", "ABC": "12.5"}, move_every=0, journal=True)
def test_the_marker_gives_the_options(zolmar_sim):
    oid = c.Order("T1", "ABC", "B", "0", "2", "IOC", "MKT", None, None)
    assert c.MatchAccount("T1", oid) == [oid + ",Match,ABC,B,12.5,2,1"]
    assert zolmar_sim.stop() == 0 and not zolmar_sim.running
    assert "T1 ABC B 0 2 IOC MKT 0" in zolmar_sim.read_journal()

@pytest.mark.zolmar_sim(balance="5000")
class TestMarkedClass:
    def test_a_class_marker(self, zolmar_sim):
        assert c.FutureRights("T1").startswith("balance=5000.00,")

    @pytest.mark.zolmar_sim(balance="7000")
    def test_the_closest_marker_wins(self, zolmar_sim):
        assert c.FutureRights("T1").startswith("balance=7000.00,")

    def test_not_using_the_fixture_under_a_class_marker(self):
        pass

@pytest.mark.zolmar_sim(price={"FUT": "100"}, move_every=0)
def test_calling_restarts_a_marked_simulator(zolmar_sim):
    first = zolmar_sim.current
    second = zolmar_sim(price={"FUT": "200"}, move_every=0)
    assert not first.running and second.running and zolmar_sim.current is second
    oid = c.Order("T1", "FUT", "B", "0", "1", "IOC", "MKT", None, None)
    assert c.MatchAccount("T1", oid)[0].split(",")[4] == "200"

@pytest.mark.zolmar_sim(seed=5)
def test_a_marked_test_starts_the_simulator_once(zolmar_sim):
    assert STARTS == [["--seed", "5"]]
'''

# Counts the simulator's starts (each test's STARTS is reset when its setup begins).
COUNTING = '''
import pytest
import velkarcmd_testing

STARTS = []
started = velkarcmd_testing.ZolmarSim.__init__

def counting(self, args, journal=None):
    STARTS.append(list(args))
    started(self, args, journal)

velkarcmd_testing.ZolmarSim.__init__ = counting

@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    del STARTS[:]
    item.module.STARTS = STARTS
'''


def test_the_marker_starts_the_simulator_before_the_test_with_its_options(pytester, port_free):
    pytester.makeconftest(COUNTING)
    pytester.makepyfile(test_script=PREAMBLE + MARKED)
    # --strict-markers: the plugin registers its marker.
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-rfE", "--strict-markers",
                                           timeout=300)
    result.assert_outcomes(passed=7)
    assert velkarcmd_testing.port_is_free()


MARKER_MISUSE = '''
@pytest.mark.zolmar_sim(moveevery=0)
def test_an_unknown_keyword(zolmar_sim):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim(price={"FUT": "abc"})
def test_a_value_the_simulator_refuses(zolmar_sim):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim(port=5657)
def test_a_keyword_the_fixture_refuses(zolmar_sim):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim({"move_every": 0})
def test_a_positional_argument(zolmar_sim):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim(seed=3)
def test_forgot_the_fixture():
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

@pytest.mark.zolmar_sim(seed=3)
def test_has_only_the_sessions(zolmar_sim_session):
    c.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", None, None)

def test_both(zolmar_sim, zolmar_sim_session):
    pass
'''


def test_a_bad_marker_fails_the_test_in_setup_with_the_reason(pytester, port_free):
    result = inner_session(pytester, MARKER_MISUSE)
    result.assert_outcomes(errors=7)
    out = result.stdout.str()
    # The simulator's own messages.
    assert "zolmar-sim did not start (exit code 2): zolmar-sim: unknown option '--moveevery'" in out
    assert "--price wants a plain decimal number, not 'abc'" in out
    assert "zolmar_sim: 'port' is not adjustable" in out
    assert "@pytest.mark.zolmar_sim takes keywords only" in out
    assert ("@pytest.mark.zolmar_sim is on test_script.py::test_forgot_the_fixture, which does "
            "not use the zolmar_sim fixture") in out
    assert "zolmar_sim_session takes its options from the zolmar_sim_session_options" in out
    assert "uses zolmar_sim or zolmar_sim_session, not both" in out
    assert velkarcmd_testing.port_is_free()


SHARED = '''
def test_first_places_an_order(zolmar_sim_session):
    assert c.Order("T1", "FUT", "B", "1", "1", "ROD", "LMT", None, None) == "1"

def test_second_sees_it(zolmar_sim_session):
    assert c.GetUnfinished("T1", "All") == ["1,Order,FUT,B,1,1,0,ROD,LMT"]
    assert c.FutureRights("T1").startswith("balance=2500.00,")
    assert zolmar_sim_session.journal.endswith("zolmar-journal.log")

def test_a_test_with_a_simulator_of_its_own(zolmar_sim):
    assert c.GetUnfinished("T1", "All") == []
    assert c.FutureRights("T1").startswith("balance=1000000.00,")

def test_after_it_a_new_shared_one(zolmar_sim_session):
    assert c.GetUnfinished("T1", "All") == []
    assert c.Order("T1", "FUT", "B", "1", "1", "ROD", "LMT", None, None) == "1"
    assert zolmar_sim_session.stop() == 0

def test_and_after_a_stop_too(zolmar_sim_session):
    assert zolmar_sim_session.running and c.GetUnfinished("T1", "All") == []

def test_one_that_dies(zolmar_sim_session):
    zolmar_sim_session.process.kill()
    zolmar_sim_session.process.wait()

def test_then_a_new_one(zolmar_sim_session):
    assert c.FutureRights("T1").startswith("balance=2500.00,")
'''

SHARED_OPTIONS = '''
import pytest

@pytest.fixture(scope="session")
def zolmar_sim_session_options():
    return {"balance": "2500", "move_every": 0, "journal": True}
'''


def test_the_session_simulator_is_shared_and_makes_way_for_zolmar_sim(pytester, port_free):
    result = inner_session(pytester, SHARED, SHARED_OPTIONS)
    result.assert_outcomes(passed=6, failed=1)
    assert "zolmar-sim ended during the test" in result.stdout.str()
    assert velkarcmd_testing.port_is_free()
