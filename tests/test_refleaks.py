"""Reference totals of a debug interpreter: many repetitions of each call, on its success path and
on each of its error paths, leave `sys.gettotalrefcount()` where it was.

Only a debug build of CPython keeps that total (python3.14d and python3.15d in `make test-latest`),
and only for a module built against that interpreter's own headers: a binary built for a release
interpreter changes reference counts without counting them. Elsewhere these tests skip.
"""
import gc
import socket
import sys

import pytest
from fakes import Fail, FakeSocketModule
from windows import NOBODY_LISTENING

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug build of CPython, the only one that keeps a reference total")

WARM_UP = 30     # first calls fill caches (interned names, method caches) for good
ROUNDS = 3
REPEATS = 300    # a call that leaks one reference shows as REPEATS in every round


def total_growth(call, repeats=REPEATS):
    """The reference total's change over each of ROUNDS rounds of `repeats` calls."""
    for _ in range(WARM_UP):
        call()
    growth = [0] * ROUNDS
    before = after = -1
    for index in range(ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(repeats):
            call()
        gc.collect()
        after = sys.gettotalrefcount()
        growth[index] = after - before
    return growth


def assert_no_leak(call, repeats=REPEATS):
    growth = total_growth(call, repeats)
    # A leak grows the total in every round, by a reference or more per call; noise does not
    # repeat. Each round must come back to where it started, or one at least must.
    assert min(growth) == 0, "reference total grew by %s over %d rounds of %d calls" % (growth, ROUNDS, repeats)


def failing(call, error):
    """`call`, which must raise `error`; the exception, traceback and all, is dropped at once."""
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError("%r did not raise %s" % (call, error.__name__))
    return run


ORDER = ("A1", "FUT", "B", "100", "1", "ROD", "LMT", None, None)

# Refused before anything is sent: wrong types, whitespace in a one-word field, a bad binding.
REFUSED = [
    ("Order", ("A1", "FUT", "B", 100, "1", "ROD", "LMT", None, None), {}, TypeError),
    ("Order", ORDER, {"anc": b"N"}, TypeError),
    ("Order", ("A1", "FUT", "B", "1 00", "1", "ROD", "LMT", None, None), {}, ValueError),
    ("Order", ORDER[:5], {}, TypeError),
    ("Order", ORDER, {"price": "1"}, TypeError),
    ("Delete", ("A1", 7), {}, TypeError),
    ("Delete", ("A1", "7 8"), {}, ValueError),
    ("Delete", ("A1",), {"order": "7"}, TypeError),
    ("GetAccount", (None, "All"), {}, TypeError),
    ("GetAccount", ("A 1", "All"), {}, ValueError),
    ("MatchAccount", ("A1", "1\t"), {}, ValueError),
    ("GetUnfinished", ("A1", "Delete 1"), {}, ValueError),
    ("GetUnfinished", ("A1", "All", "x"), {}, TypeError),
    ("GetInStock", ("A1", 3), {}, TypeError),
    ("GetInStock", ("A1", "FUT STK"), {}, ValueError),
    ("FutureRights", (1.5,), {}, TypeError),
    ("FutureRights", ("A1 GetEquity",), {}, ValueError),
    ("FutureRights", (), {}, TypeError),
    ("AddQuote", ("A1", 5), {}, AttributeError),
    ("AddQuote", (b"A1", "FUT"), {}, TypeError),
    ("AddQuote", ("A1 x", "FUT"), {}, ValueError),
    ("_ZolmarCommand__SendMsg", (b"bytes", 0), {}, AttributeError),
    ("_ZolmarCommand__SendMsg", ("x",), {}, TypeError),
    ("_ZolmarCommand__IsMatchType", ("LMT",), {}, TypeError),
]


@pytest.mark.parametrize("method, args, kwargs, error", REFUSED,
                         ids=["%s-%d" % (case[0].lstrip("_"), i) for i, case in enumerate(REFUSED)])
def test_a_refused_call_leaks_nothing(velkarcmd, command, port_free, method, args, kwargs, error):
    bound = getattr(command, method)
    assert_no_leak(failing(lambda: bound(*args, **kwargs), error))


def test_the_match_type_check_and_the_constructor_leak_nothing(velkarcmd):
    def call():
        command = velkarcmd.ZolmarCommand()
        assert command._ZolmarCommand__IsMatchType("LMT", "ROD") is True
        assert command._ZolmarCommand__IsMatchType("MKT", "ROD") is False
    assert_no_leak(call)


def fresh(replies):
    """The replies for one call, with each (exception type, arguments) made anew: an exception
    raised again keeps the tracebacks of every raise before."""
    return [reply[0](*reply[1:]) if isinstance(reply, tuple) else reply for reply in replies]


# Through a socket module of the test's own: each step of the exchange succeeds or fails on cue.
THROUGH_A_FAKE = [
    ("Order", ORDER, ["\n7\n"], None, None),
    ("Delete", ("A1", "7"), ["7,Cancelled"], None, None),
    ("GetAccount", ("A1", "7"), ["7,Order\n8,Order", "7,Match", "over"], None, None),
    ("MatchAccount", ("A1", "All"), ["7,Match", "over"], None, None),
    ("GetUnfinished", ("A1", "All"), ["", "7,Order", "over"], None, None),
    ("GetInStock", ("A1",), ["FUT,1", "over"], None, None),
    ("FutureRights", ("A1",), ["equity=1"], None, None),
    ("AddQuote", ("A1", "FUT, STK", True), ["quotes 2"], None, None),
    ("_ZolmarCommand__SendMsg", ("A1 x", 1), ["a", "over"], None, None),
    ("Order", ORDER, [], "socket", Fail),
    ("Delete", ("A1", "7"), [], "connect", Fail),
    ("GetAccount", ("A1", "7"), [], "send", Fail),
    ("FutureRights", ("A1",), [], "recv", Fail),
    ("GetUnfinished", ("A1", "All"), ["7,Order"], "recv", Fail),
    ("GetInStock", ("A1",), ["FUT,1", (UnicodeError, "split character")], None, UnicodeError),
    ("AddQuote", ("A1", "FUT"), [(ConnectionResetError, 104, "reset")], None, ConnectionResetError),
]


@pytest.mark.parametrize("method, args, replies, fail_at, error", THROUGH_A_FAKE,
                         ids=["%s-%s" % (case[0].lstrip("_"), case[3] or (case[4] or object).__name__)
                              for case in THROUGH_A_FAKE])
def test_an_exchange_through_a_socket_module_leaks_nothing(velkarcmd, command, port_free, method, args,
                                                           replies, fail_at, error):
    bound = getattr(command, method)

    def call():
        velkarcmd.socket = FakeSocketModule(replies=fresh(replies), fail_at=fail_at)
        bound(*args)

    assert_no_leak(call if error is None else failing(call, error))


def test_a_missing_socket_module_leaks_nothing(velkarcmd, command, port_free):
    del velkarcmd.socket
    assert_no_leak(failing(lambda: command.FutureRights("A1"), NameError))


# Over real sockets against zolmar-sim, a process of its own: list answers are read natively.
AGAINST_THE_SIMULATOR = [
    ((), "Order", ("L2", "FUT", "B", "0", "1", "IOC", "MKT", None, None), None),
    ((), "Order", ("L2", "FUT", "B", "x", "1", "ROD", "LMT", None, None), None),
    ((), "Delete", ("L1", "999999"), None),
    (("--preload", "L1=300"), "GetAccount", ("L1", "All"), None),
    (("--preload", "L1=300"), "GetAccount", ("L1", "5"), None),
    (("--preload", "L1=300"), "MatchAccount", ("L1", "All"), None),
    (("--preload", "L1=300"), "GetUnfinished", ("L1", "All"), None),
    ((), "GetInStock", ("L1", "FUT"), None),
    ((), "GetInStock", ("L1", "XX"), None),
    ((), "FutureRights", ("L1",), None),
    ((), "AddQuote", ("L1", "FUT, STK"), None),
    ((), "_ZolmarCommand__SendMsg", ("L1 All", 1), None),
    (("--corrupt", "1"), "FutureRights", ("L1",), UnicodeDecodeError),
    (("--corrupt", "1", "--preload", "L1=50"), "GetUnfinished", ("L1", "All"), UnicodeDecodeError),
    (("--drop", "1"), "Order", ("L2", "FUT", "B", "0", "1", "IOC", "MKT", None, None), socket.timeout),
    (("--withhold-end", "1", "--preload", "L1=50"), "GetUnfinished", ("L1", "All"), socket.timeout),
]


@pytest.mark.parametrize("sim_args, method, args, error", AGAINST_THE_SIMULATOR,
                         ids=["%s-%s" % (case[1].lstrip("_"), (case[3] or object).__name__)
                              for case in AGAINST_THE_SIMULATOR])
def test_a_call_to_the_simulator_leaks_nothing(zolmar_sim, command, sim_args, method, args, error):
    zolmar_sim("--move-every", "0", *sim_args)
    bound = getattr(command, method)
    if error is socket.timeout:
        # Each call waits out its time-out: fewer of them, still far more than any noise.
        socket.setdefaulttimeout(0.02)
        assert_no_leak(failing(lambda: bound(*args), error), repeats=60)
    elif error is None:
        assert_no_leak(lambda: bound(*args))
    else:
        assert_no_leak(failing(lambda: bound(*args), error))


def test_nobody_listening_leaks_nothing(command, port_free):
    assert_no_leak(failing(lambda: command.GetUnfinished("A1", "All"), NOBODY_LISTENING))
    assert_no_leak(failing(lambda: command.Order(*ORDER), NOBODY_LISTENING))
