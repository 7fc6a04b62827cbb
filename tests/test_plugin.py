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
        result.assert_outcomes(passed=5, skipped=1)
    else:
        result.assert_outcomes(passed=6)
    assert velkarcmd_testing.port_is_free()


def test_a_simulator_that_cannot_start_or_dies_fails_the_test_saying_why(pytester, port_free):
    result = inner_session(pytester, BROKEN)
    result.assert_outcomes(passed=4, failed=1, errors=1)
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
    result.assert_outcomes(failed=1)
    out = result.stdout.str()
    assert "UDP port 5656 on 127.0.0.1 is taken by another process" in out
    assert detail in out
    assert app.texts() == []
