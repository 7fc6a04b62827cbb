"""A call owns its arguments: a caller's keyword dict that changes while the exchange runs
must not change, or free, what the call reads afterwards."""
import _thread
import gc
import threading

import pytest
from velkarcmd import ZolmarCommand

# Large enough that the allocator hands its memory straight back to the system when it is freed:
# reading it afterwards crashes instead of quietly reading stale bytes.
BIG_ID = "7" * (8 << 20)
RECORD = BIG_ID + ",Order,FUT,B,100,1,0,ROD,LMT"
OTHER = "8,Order,FUT,S,101,1,0,ROD,LMT"
REPLY = RECORD + "\n" + OTHER + "\nover"


def churn():
    """Frees what can be freed and reuses memory, so that a dangling read sees other bytes."""
    gc.collect()
    return ["x" * (8 << 20) for _ in range(4)]


@pytest.mark.parametrize("method, expected", [
    ("GetUnfinished", [RECORD]),
    ("GetAccount", [RECORD]),
    ("MatchAccount", []),
])
def test_exchange_that_clears_the_callers_keyword_dict(method, expected):
    params = {"broker": "A1", "orderid": "7" * (8 << 20)}
    seen = []

    class Clearing(ZolmarCommand):
        def _ZolmarCommand__SendMsg(self, msg, flag):
            seen.append((len(msg), flag))
            params.clear()
            churn()
            return REPLY

    assert getattr(Clearing(), method)(**params) == expected
    assert seen == [(len("A1 ") + len(BIG_ID), 1)]


def test_thread_whose_starter_rebinds_the_keyword_dict_during_the_exchange():
    command = ZolmarCommand()
    entered, release = threading.Event(), threading.Event()
    results = []
    finished = threading.Event()

    def exchange(msg, flag):
        entered.set()
        release.wait(10)
        return REPLY

    def record_result(function):
        def run(*args, **kwargs):
            try:
                results.append(function(*args, **kwargs))
            except BaseException as error:  # reported to the main thread below
                results.append(error)
            finally:
                finished.set()
        return run

    command._ZolmarCommand__SendMsg = exchange
    params = {"broker": "A1", "orderid": "7" * (8 << 20)}
    # start_new_thread hands the very dict to the call, on every version.
    _thread.start_new_thread(record_result(ZolmarCommand.GetUnfinished), (command,), params)
    assert entered.wait(10)
    params["orderid"] = "8"
    params["broker"] = "B2"
    churn()
    release.set()
    assert finished.wait(10)
    assert results == [[RECORD]]


def test_a_replaced_default_does_not_reach_a_call_under_way(velkarcmd):
    seen = []
    original = velkarcmd.ZolmarCommand.GetInStock.__defaults__

    class Replacing(velkarcmd.ZolmarCommand):
        def _ZolmarCommand__SendMsg(self, msg, flag):
            seen.append(msg)
            velkarcmd.ZolmarCommand.GetInStock.__defaults__ = ("ZZZ",)
            churn()
            return "L1\nover"

    try:
        assert Replacing().GetInStock("A1") == ["L1"]
        assert Replacing().GetInStock("A1") == ["L1"]
    finally:
        velkarcmd.ZolmarCommand.GetInStock.__defaults__ = original
    assert seen == ["A1", "A1-ZZZ"]
