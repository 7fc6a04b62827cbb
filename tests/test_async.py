"""AsyncZolmarCommand end to end: the loop never waits on a socket, list answers lose no record
while the loop computes, a call ends at once however it is cut short and leaves no socket or
thread behind, a thousand calls run at once, and faults end as they do for ZolmarCommand."""
import asyncio
import gc
import os
import signal
import socket
import sys
import threading
import time

import pytest
import velkarcmd
import velkarcmd_async
from stand_in import Hold, Pause

# Every asyncio loop the interpreter ships: the selector loop everywhere, the proactor loop on
# Windows (its default from 3.8).
LOOPS = ["SelectorEventLoop"] + (["ProactorEventLoop"] if sys.platform == "win32" else [])


@pytest.fixture(params=LOOPS)
def loop(request):
    made = getattr(asyncio, request.param)()
    yield made
    made.close()


def open_descriptors():
    """Descriptors (handles on Windows) the process holds; None where it cannot tell."""
    if sys.platform.startswith("linux"):
        return len(os.listdir("/proc/self/fd"))
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        count = wintypes.DWORD()
        kernel = ctypes.WinDLL("kernel32")
        kernel.GetCurrentProcess.restype = wintypes.HANDLE
        kernel.GetProcessHandleCount.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
        kernel.GetProcessHandleCount(kernel.GetCurrentProcess(), ctypes.byref(count))
        return count.value or None  # Wine keeps no count and answers 0

    return None


def native_threads():
    """Threads of the process that the interpreter does not know of (the module's reader); None
    where the system cannot tell."""
    if sys.platform.startswith("linux"):
        return len(os.listdir("/proc/self/task")) - threading.active_count()
    return None


def idle_descriptors():
    """The descriptors held once no reader thread of an earlier call is left: it waits a
    quarter second for another call before it ends, and closes its wake-up then."""
    if native_threads() is not None:
        settles_to(native_threads, 0, 5)
    return open_descriptors()


def settles_to(measure, baseline, within=2.0):
    """`measure()` once it is back at `baseline`, or its last value after `within` seconds: the
    reader thread ends, and closes its wake-up, as soon as no exchange waits."""
    deadline = time.monotonic() + within
    value = measure()
    while value != baseline and time.monotonic() < deadline:
        time.sleep(0.01)
        value = measure()
    return value


class Busy(object):
    """A task that keeps the loop computing in slices of `seconds`, as a strategy would."""

    def __init__(self, seconds):
        self.seconds, self.running = seconds, True

    async def run(self):
        while self.running:
            started = time.perf_counter()
            while time.perf_counter() - started < self.seconds:
                pass
            await asyncio.sleep(0)


# --- no record lost ----------------------------------------------------------------------------

@pytest.mark.parametrize("delivery, records, busy_slice", [
    ("unpaced", 20000, 0.005),
    ("unpaced", 20000, 0.02),
    ("default", 100000, 0.02),
])
def test_no_record_is_lost_while_the_loop_computes(zolmar_sim, loop, delivery, records, busy_slice):
    pacing = ["--window-bytes", "0", "--burst", "1000"] if delivery == "unpaced" else []
    zolmar_sim("--preload", "LOSS=%d" % records, *pacing)
    command = velkarcmd_async.AsyncZolmarCommand()

    async def scenario():
        busy = Busy(busy_slice)
        computing = asyncio.ensure_future(busy.run())
        try:
            return [await command.GetUnfinished("LOSS", "All") for _ in range(2)]
        finally:
            busy.running = False
            await computing

    for answer in loop.run_until_complete(scenario()):
        assert len(answer) == records
        assert len(set(record.split(",")[0] for record in answer)) == records


# --- the loop keeps running ----------------------------------------------------------------------

@pytest.mark.parametrize("method, args, answer", [
    ("FutureRights", ("A1",), lambda held: [held, "equity"]),
    ("GetUnfinished", ("A1", "All"), lambda held: ["1,Order", held, "2,Order", "over"]),
])
def test_the_loop_runs_on_while_a_call_waits(app, loop, method, args, answer):
    # The answer is held until the loop has taken 20 other steps meanwhile: a call that held the
    # loop up would never see it, however fast or slow the machine.
    stepped = threading.Event()
    app.answer(*answer(Hold(stepped)))
    command = velkarcmd_async.AsyncZolmarCommand()
    steps = []

    async def step(call):
        while not call.done():
            await asyncio.sleep(0.01)
            steps.append(call.done())
            if len(steps) == 20:
                stepped.set()

    async def scenario():
        call = asyncio.ensure_future(getattr(command, method)(*args))
        await step(call)
        return call.result()

    result = loop.run_until_complete(scenario())
    assert result in ("equity", ["1,Order", "2,Order"])
    assert stepped.is_set() and steps[:20] == [False] * 20


# --- ending early ------------------------------------------------------------------------------

CUTS = [
    ("cancel", "before the send"),
    ("wait_for", "before the send"),
    ("cancel", "waiting for the first datagram"),
    ("wait_for", "waiting for the first datagram"),
    ("timeout", "waiting for the first datagram"),
    ("cancel", "in the middle of a list answer"),
    ("wait_for", "in the middle of a list answer"),
    ("timeout", "in the middle of a list answer"),
]


@pytest.mark.parametrize("how, when", CUTS)
def test_a_call_cut_short_ends_at_once_and_leaves_nothing_behind(app, loop, how, when):
    if how == "timeout" and not hasattr(asyncio, "timeout"):
        pytest.skip("asyncio.timeout came with 3.11")
    command = velkarcmd_async.AsyncZolmarCommand()
    if when == "waiting for the first datagram":
        app.answer(Pause(3), "1,Order", "over")
    elif when == "in the middle of a list answer":
        app.answer("1,Order", Pause(3), "2,Order", "over")
    delay = 0 if when == "before the send" else 0.2
    descriptors, threads = idle_descriptors(), native_threads()

    async def cut_short():
        call = command.GetUnfinished("A1", "All")
        if how == "cancel":
            task = asyncio.ensure_future(call)
            if delay:
                await asyncio.sleep(delay)
            task.cancel()
            await task
        elif how == "wait_for":
            await asyncio.wait_for(call, delay)
        else:
            async with asyncio.timeout(delay):
                await call

    started = time.monotonic()
    with pytest.raises((asyncio.CancelledError, asyncio.TimeoutError)):
        loop.run_until_complete(cut_short())
    assert time.monotonic() - started < delay + 0.5
    # A socket cut while its answer comes keeps its port until the answer is over, or quiet for
    # 2 s: only then may the system give the port to another call.
    assert descriptors is None or settles_to(open_descriptors, descriptors, 5) == descriptors
    assert threads is None or settles_to(native_threads, threads, 5) == threads
    sent = [] if when == "before the send" else ["A1 All"]
    assert app.texts() == sent
    # The next call gets its own answer, not what the cut one left on the wire.
    app.answer("own answer")
    assert loop.run_until_complete(command.FutureRights("B2")) == "own answer"
    assert app.texts() == sent + ["B2 GetEquity"]


def test_the_default_time_out_applies_to_each_datagram(app, twin):
    socket.setdefaulttimeout(0.5)
    command = twin.make()
    app.answer("A", Pause(0.3), "B", Pause(0.3), "over")
    assert command.GetAccount("A1", "All") == ["A", "B"]
    app.answer("A", Pause(1.5), "over")
    started = time.monotonic()
    with pytest.raises(socket.timeout):
        command.GetAccount("A1", "All")
    assert 0.4 < time.monotonic() - started < 1.2


@pytest.mark.skipif(os.name != "posix", reason="Ctrl-C is a console event on Windows")
def test_ctrl_c_ends_asyncio_run(app):
    app.answer(Pause(3), "over")
    command = velkarcmd_async.AsyncZolmarCommand()
    descriptors = idle_descriptors()
    # To the loop's thread, as a terminal's Ctrl-C reaches a process whose other threads are
    # busy; the reader thread never takes a signal.
    timer = threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            asyncio.run(command.GetUnfinished("A1", "All"))
    finally:
        timer.cancel()
    assert time.monotonic() - started < 2
    # Its socket waits for the answer ("over" after 3 s) before it is closed.
    assert descriptors is None or settles_to(open_descriptors, descriptors, 5) == descriptors


def test_a_loop_shut_down_while_calls_wait_leaves_nothing_open(app, caplog):
    # Tasks that earlier tests left to the collector are reported when it runs: not here.
    gc.collect()
    caplog.clear()
    command = velkarcmd_async.AsyncZolmarCommand()
    descriptors = idle_descriptors()

    async def leave_early():
        asyncio.ensure_future(command.GetUnfinished("A1", "All"))
        asyncio.ensure_future(command.FutureRights("A1"))
        await asyncio.sleep(0.1)

    asyncio.run(leave_early())  # cancels what still waits, then closes the loop
    # The sockets of cut calls keep their ports until their answers have been quiet for 2 s.
    assert descriptors is None or settles_to(open_descriptors, descriptors, 5) == descriptors

    # A loop closed with the call's task still pending: asyncio reports that task, the script's
    # own, and the socket goes with it. Nothing else of ours is left pending.
    loop = asyncio.new_event_loop()
    task = loop.create_task(command.GetUnfinished("A1", "All"))
    loop.run_until_complete(asyncio.sleep(0.1))
    loop.close()
    del task
    gc.collect()
    assert descriptors is None or settles_to(open_descriptors, descriptors, 5) == descriptors
    destroyed = [r for r in caplog.records if "Task was destroyed" in r.getMessage()]
    assert len(destroyed) == 1 and "GetUnfinished" in destroyed[0].getMessage()


# --- many at once ------------------------------------------------------------------------------

@pytest.fixture
def many_descriptors():
    if os.name != "posix":
        yield
        return
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 4096 if hard == resource.RLIM_INFINITY else min(hard, 4096)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_a_thousand_calls_at_once_each_get_their_own_answer(zolmar_sim, loop, many_descriptors):
    zolmar_sim("--move-every", "0")
    command = velkarcmd_async.AsyncZolmarCommand()
    # On Windows every reply is read by the reader thread, whose select() once looked at the
    # first 1,023 sockets only: there 2,000 calls wait at once.
    brokers = ["T%d" % n for n in range(1000 if sys.platform == "win32" else 500)]
    descriptors = idle_descriptors()

    async def at_once(calls):
        return await asyncio.gather(*calls)

    # Orders and equity queries, single replies all, then each broker's list beside them again.
    answers = loop.run_until_complete(at_once(
        [command.Order(b, "FUT", "B", "1", "1", "ROD", "LMT", None, None) for b in brokers] +
        [command.FutureRights(b) for b in brokers]))
    count = len(brokers)
    order_ids = answers[:count]
    assert all(oid.isdigit() for oid in order_ids) and len(set(order_ids)) == count
    assert all(equity.startswith("balance=") for equity in answers[count:])
    answers = loop.run_until_complete(at_once(
        [command.GetUnfinished(b, "All") for b in brokers] +
        [command.FutureRights(b) for b in brokers]))
    for oid, records in zip(order_ids, answers[:count]):
        assert [record.split(",")[0] for record in records] == [oid]
    assert descriptors is None or settles_to(open_descriptors, descriptors) == descriptors


# --- faults, as the blocking class meets them ----------------------------------------------------

def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), error.args


@pytest.mark.parametrize("fault", [
    "--oversize", "--corrupt", "--withhold-end", "--drop",
])
def test_faulty_replies_end_as_for_the_blocking_class(zolmar_sim, fault):
    socket.setdefaulttimeout(0.5)
    zolmar_sim("--preload", "F=300", fault, "1")
    blocking = velkarcmd.ZolmarCommand()
    awaitable = velkarcmd_async.AsyncZolmarCommand()
    for method, args in [("GetUnfinished", ("F", "All")), ("FutureRights", ("F",))]:
        expected = outcome(lambda m=method, a=args: getattr(blocking, m)(*a))
        got = outcome(lambda m=method, a=args: asyncio.run(getattr(awaitable, m)(*a)))
        assert got == expected


def test_nobody_listening_ends_as_for_the_blocking_class(port_free, twin):
    from windows import NOBODY_LISTENING, UNDER_WINE, WINE_KEEPS_REFUSALS

    if UNDER_WINE:
        pytest.skip(WINE_KEEPS_REFUSALS)
    for method, args in [("GetUnfinished", ("A1", "All")), ("FutureRights", ("A1",))]:
        with pytest.raises(NOBODY_LISTENING):
            getattr(twin.make(), method)(*args)
