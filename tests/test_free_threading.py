"""Many threads at once, as a free-threaded interpreter runs them: both modules keep its GIL off,
and under mixed calls from 16 threads, with `velkarcmd.socket` rebound and instances shared
meanwhile and some awaits cut short, every call gets its own answer. The load runs on every
interpreter; the GIL check only where there is no GIL."""
import asyncio
import os
import socket
import subprocess
import sys
import sysconfig
import threading
import types

import pytest
from stand_in import Pause

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 16
# The full load where threads truly run at once; a lighter one where a lock takes turns (and
# under Wine, where every datagram goes through wineserver).
CALLS = 2000 if FREE_THREADED else 500
# One await in SLOW_EVERY is answered after SLOW_PAUSE seconds and given CUT_AFTER seconds.
SLOW_EVERY, SLOW_PAUSE, CUT_AFTER = 97, 0.3, 0.02
CUT = "cut short"


@pytest.mark.skipif(not FREE_THREADED, reason="this interpreter has a GIL")
@pytest.mark.parametrize("module", ["velkarcmd", "velkarcmd_async"])
def test_importing_leaves_the_gil_off(module):
    environment = dict(os.environ)
    environment.pop("PYTHON_GIL", None)
    # The interpreter warns (RuntimeWarning) when a module makes it turn its GIL back on.
    completed = subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", "-c",
         "import sys, %s; print(sys._is_gil_enabled())" % module],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=environment)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "False\n", "")


def respond(request):
    text = request.decode("utf-8")
    answer = [text + ",Order,echo", "over"] if text.endswith(" All") else [text + " done"]
    return [Pause(SLOW_PAUSE)] + answer if text.startswith("S") else answer


def planned_calls(thread, may_cut):
    """(method name, arguments, expected result, whether it is cut short) for each call."""
    for number in range(CALLS):
        cut = may_cut and number % SLOW_EVERY == 5
        broker = "%sT%dN%d" % ("S" if cut else "", thread, number)
        kind = number % 3
        if kind == 0:
            yield "Delete", (broker, str(number)), "%s Delete %d done" % (broker, number), cut
        elif kind == 1:
            yield "GetUnfinished", (broker, "All"), ["%s All,Order,echo" % broker], cut
        else:
            yield "FutureRights", (broker,), "%s GetEquity done" % broker, cut


def run_blocking(command, thread):
    wrong = []
    for name, arguments, expected, _ in planned_calls(thread, False):
        result = getattr(command, name)(*arguments)
        if result != expected:
            wrong.append((name, arguments, result))
    return wrong


def run_awaited(command, thread):
    async def calls():
        wrong = []
        for name, arguments, expected, cut in planned_calls(thread, True):
            pending = getattr(command, name)(*arguments)
            if cut:
                try:
                    result = await asyncio.wait_for(pending, CUT_AFTER)
                except asyncio.TimeoutError:
                    result = CUT
                # A busy machine may deliver the answer before the cut: then it must be its own.
                expected = (expected, CUT)
            else:
                result = await pending
                expected = (expected,)
            if result not in expected:
                wrong.append((name, arguments, result))
        return wrong

    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(calls())
    finally:
        loop.close()


def rebind_socket_until(stopped, module):
    # Each namespace is freed by the next rebinding, while other threads look the name up. The
    # pause between rebindings keeps an interpreter with a GIL from giving it to this loop alone.
    while not stopped.wait(0.0005):
        module.socket = types.SimpleNamespace(socket=socket.socket, AF_INET=socket.AF_INET,
                                              SOCK_DGRAM=socket.SOCK_DGRAM)
        module.socket = socket


@pytest.mark.parametrize("awaitable", [False, True], ids=["ZolmarCommand", "AsyncZolmarCommand"])
def test_sixteen_threads_each_get_their_own_answers(app, velkarcmd, awaitable):
    import velkarcmd_async

    app.responder = respond
    cls = velkarcmd_async.AsyncZolmarCommand if awaitable else velkarcmd.ZolmarCommand
    run = run_awaited if awaitable else run_blocking
    shared = cls()
    outcomes = {}

    def trade(thread):
        # Odd threads share one instance; the others have their own.
        try:
            outcomes[thread] = run(shared if thread % 2 else cls(), thread)
        except Exception as error:  # reported below, with the thread's number
            outcomes[thread] = error

    stopped = threading.Event()
    threads = [threading.Thread(target=trade, args=(n,)) for n in range(THREADS)]
    if not awaitable:
        threads.append(threading.Thread(target=rebind_socket_until, args=(stopped, velkarcmd)))
    for thread in threads:
        thread.start()
    try:
        for thread in threads[:THREADS]:
            thread.join()
    finally:
        stopped.set()
        for thread in threads:
            thread.join()
    assert outcomes == {n: [] for n in range(THREADS)}
    app.sync()
    assert len(app.requests) == THREADS * CALLS
