"""A call cut short in the middle of its answer never hands the rest of that answer to a later
call: its socket keeps its port until the answer is over. The system's local ports are narrowed
so that they come round within a few calls, as they would on a busy machine in a long run."""
import asyncio
import errno
import os
import random
import signal
import sys

import pytest
import velkarcmd
import velkarcmd_async

RECORDS = 300
ROUNDS = 1500
PORT_RANGE = "/proc/sys/net/ipv4/ip_local_port_range"


@pytest.fixture
def few_local_ports():
    """256 local ports, where this network namespace lets the tests say so."""
    if not sys.platform.startswith("linux"):
        yield  # Wine shows a /proc of its own that takes the write but not the restore
        return
    try:
        with open(PORT_RANGE) as current:
            previous = current.read()
        with open(PORT_RANGE, "w") as narrowed:
            narrowed.write("50000 50255")
    except OSError:
        yield  # not Linux, or not ours to change: the ports come round less often
        return
    try:
        yield
    finally:
        with open(PORT_RANGE, "w") as restored:
            restored.write(previous)


class Cut(Exception):
    pass


def cut_blocking(call, seconds):
    """Runs `call` under a timer whose signal handler raises, as a script's might."""
    def interrupt(signum, frame):
        raise Cut()

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        try:
            signal.setitimer(signal.ITIMER_REAL, seconds)
            call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except Cut:  # in the call, or just after it
        pass
    finally:
        signal.signal(signal.SIGALRM, previous)


def blocking_rounds(rounds, wrong):
    command = velkarcmd.ZolmarCommand()
    for _ in range(rounds):
        cut_blocking(lambda: command.GetUnfinished("BIG", "All"), random.uniform(0.0003, 0.003))
        wrong(command.FutureRights("A1"), command.GetUnfinished("BIG", "All"))


def awaited_rounds(rounds, wrong):
    command = velkarcmd_async.AsyncZolmarCommand()

    async def run():
        for _ in range(rounds):
            try:
                await asyncio.wait_for(command.GetUnfinished("BIG", "All"),
                                       random.uniform(0.0003, 0.003))
            except asyncio.TimeoutError:
                pass
            wrong(await command.FutureRights("A1"), await command.GetUnfinished("BIG", "All"))

    asyncio.run(run())


# A timer's exception can land between the making of a socket and the module's hold on it,
# where only the collector closes it (a ResourceWarning under -X dev): a fault of cutting calls
# this way, not of the exchange.
@pytest.mark.filterwarnings("ignore::ResourceWarning")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("rounds", [blocking_rounds, awaited_rounds], ids=["ZolmarCommand",
                                                                          "AsyncZolmarCommand"])
def test_a_cut_answer_never_reaches_a_later_call(zolmar_sim, few_local_ports, rounds):
    if rounds is blocking_rounds and not hasattr(signal, "setitimer"):
        pytest.skip("no interval timer to cut a blocking call with")
    zolmar_sim("--preload", "BIG=%d" % RECORDS, "--move-every", "0")
    expected = sorted(str(n) for n in range(1, RECORDS + 1))
    crossed = []

    def wrong(equity, records):
        if not equity.startswith("balance=") or sorted(r.split(",")[0] for r in records) != expected:
            crossed.append((equity[:40], len(records), records[:1]))

    rounds(int(os.environ.get("VELKARCMD_CUT_ROUNDS", ROUNDS)), wrong)
    assert crossed == [], "%d wrong answers, first %r" % (len(crossed), crossed[:3])


@pytest.mark.parametrize("method, args", [("FutureRights", ("A1",)), ("GetUnfinished", ("A1", "All"))])
def test_a_datagram_too_long_is_an_error_on_every_system(zolmar_sim, twin, method, args):
    zolmar_sim("--preload", "A1=5", "--oversize", "1")
    with pytest.raises(OSError) as raised:
        getattr(twin.make(), method)(*args)
    # Windows' own refusal; elsewhere the same, which Linux would not give by itself.
    assert raised.value.errno == errno.EMSGSIZE or getattr(raised.value, "winerror", 0) == 10040
