"""AsyncZolmarCommand under what a demanding asyncio program does to it: the collector running
inside its callbacks, tasks nobody keeps, os.fork, exit handlers, descriptors run out, a zero
time-out. Each ends in its answer or a clear exception; the scenarios that could crash or hang
run in a child process under a time limit."""
import asyncio
import gc
import os
import signal
import socket
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest
import velkarcmd
import velkarcmd_async
from sim_process import popen

CHILD_TIME_LIMIT = 60

# name: (zolmar-sim's options, the child's script, what it prints last). POSIX-only ones say so.
CHILDREN = {
    # The collector finalizes a call's task while its own callback runs (any allocation may).
    "collected during its callback": (["--preload", "P=300"], """
        class Loop(asyncio.SelectorEventLoop):
            def remove_reader(self, fd):
                removed = super().remove_reader(fd)
                gc.collect()
                return removed
        async def main():
            for _ in range(20):
                asyncio.ensure_future(command.FutureRights("A1"))  # no reference kept
                asyncio.ensure_future(command.GetUnfinished("P", "All"))
            await asyncio.sleep(0.5)
        Loop().run_until_complete(main())
        print("ran")
    """, "ran"),
    # Calls whose tasks nobody keeps still end in their callbacks.
    "fire and forget": (["--delay-ms", "200"], """
        got = []
        async def main():
            for i in range(20):
                for call in (command.Order("G1", "FUT", "B", str(16000 + i), "1", "ROD", "LMT",
                                           None, None),
                             command.GetUnfinished("P", "All")):
                    asyncio.ensure_future(call).add_done_callback(
                        lambda task: got.append(task.result()))
            await asyncio.sleep(0.05)
            gc.collect()
            while len(got) < 40:
                await asyncio.sleep(0.05)
        asyncio.run(main())
        print(len(got))
    """, "40"),
    # A fork before, during and after a list answer: the child's calls are its own.
    "fork": (["--preload", "P=20000"], """
        def in_child():
            thread = threading.Thread(daemon=True, target=lambda: print(
                "child", len(asyncio.run(command.GetUnfinished("P", "All"))), flush=True))
            thread.start()
            thread.join(20)
            os._exit(3 if thread.is_alive() else 0)
        async def main():
            statuses = []
            for delay in (0, 0.001, 0.003, 0.01, 0.03, 0.3):
                call = asyncio.ensure_future(command.GetUnfinished("P", "All"))
                await asyncio.sleep(delay)
                child = os.fork()
                if child == 0:
                    in_child()
                assert len(await call) == 20000
                statuses.append(os.waitpid(child, 0)[1] >> 8)
            print("children", statuses, flush=True)
        asyncio.run(main())
    """, "children [0, 0, 0, 0, 0, 0]"),
    # An exit handler registered before the import runs after the module's own clean-up.
    "exit handler": (["--preload", "P=50"], """
        import atexit
        def at_exit():
            print(len(asyncio.run(command.GetUnfinished("P", "All"))), flush=True)
        atexit.register(at_exit)
        del sys.modules["velkarcmd_async"]
        import velkarcmd_async
        command = velkarcmd_async.AsyncZolmarCommand()
    """, "50"),
}
POSIX_ONLY = {"fork"}

PRELUDE = """
import asyncio, gc, os, socket, sys, threading
socket.setdefaulttimeout(5)
import velkarcmd_async
command = velkarcmd_async.AsyncZolmarCommand()
"""


def run_child(script, *args):
    # A session of its own, so that a hung child's own children (a fork's) go with it.
    session = {"start_new_session": True} if os.name == "posix" else {}
    child = popen([sys.executable, "-c", PRELUDE + textwrap.dedent(script)] + list(args),
                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                  **session)
    try:
        out, err = child.communicate(timeout=CHILD_TIME_LIMIT)
    except subprocess.TimeoutExpired:
        if session:
            os.killpg(child.pid, signal.SIGKILL)
        child.kill()
        out, err = child.communicate()
        pytest.fail("the child hung:\n%s\n%s" % (out, err))
    return child.returncode, out, err


@pytest.mark.parametrize("name", sorted(CHILDREN))
def test_every_call_ends_in_its_answer(zolmar_sim, name):
    if name in POSIX_ONLY and os.name != "posix":
        pytest.skip("no fork here")
    if name == "fork" and "ASAN_OPTIONS" in os.environ:
        # Its allocator's lock, taken by another thread at the fork, stays taken in the child.
        pytest.skip("AddressSanitizer's allocator does not survive a fork of a threaded process")
    options, script, last = CHILDREN[name]
    zolmar_sim(*options)
    code, out, err = run_child(script)
    assert (code, out.strip().splitlines()[-1:]) == (0, [last]), err
    if name == "fork":
        assert out.count("child 20000") == 6, out


# The descriptors a list call needs beyond its socket are had before its request goes out: with
# too few left it raises the system's error and sends nothing.
DESCRIPTORS = """
import errno, resource
app = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
app.bind(("127.0.0.1", 5656))
requests = []
def answer():
    while True:
        request, peer = app.recvfrom(65536)
        requests.append(request)
        for reply in (b"1,Order,x", b"over"):
            app.sendto(reply, peer)
threading.Thread(target=answer, daemon=True).start()
loop = asyncio.new_event_loop()
resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
for free in range(8):
    taken = []
    try:
        while True:
            taken.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        pass
    for fd in taken[:free]:
        os.close(fd)
    sent = len(requests)
    try:
        outcome = loop.run_until_complete(command.GetUnfinished("A1", "All"))
    except OSError as error:
        outcome = errno.errorcode[error.errno]
    for fd in taken[free:]:
        os.close(fd)
    print(free, outcome, len(requests) - sent, flush=True)
"""


@pytest.mark.skipif(os.name != "posix", reason="descriptor limits are POSIX's")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="UBSan's type check reads the process's maps, and with no descriptor "
                           "left reports the module's own objects as of no known type")
def test_descriptors_run_out_before_the_request(port_free):
    code, out, err = run_child(DESCRIPTORS)
    assert code == 0, err
    outcomes = [line.split(" ", 1)[1] for line in out.splitlines()]
    assert set(outcomes) <= {"EMFILE 0", "['1,Order,x'] 1"}, out
    assert outcomes[-1] == "['1,Order,x'] 1", out


def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), getattr(error, "errno", None), str(error)


@pytest.mark.parametrize("method, args", [
    ("FutureRights", ("x" * 70000,)),
    ("GetUnfinished", ("A1", "x" * 70000)),
])
def test_system_errors_are_the_blocking_classes(app, method, args):
    blocking = outcome(lambda: getattr(velkarcmd.ZolmarCommand(), method)(*args))
    awaitable = outcome(
        lambda: asyncio.run(getattr(velkarcmd_async.AsyncZolmarCommand(), method)(*args)))
    assert awaitable == blocking and issubclass(blocking[0], OSError), blocking


def test_a_zero_time_out_reads_what_is_there(zolmar_sim, twin):
    zolmar_sim("--preload", "Z=3000", "--window-bytes", "0", "--burst", "1000")
    socket.setdefaulttimeout(0)
    outcomes = set()
    for _ in range(10):
        result = outcome(lambda: twin.make().GetUnfinished("Z", "All"))
        outcomes.add(len(result) if isinstance(result, list) else result[0])
    # A non-blocking read: all of it, or the would-block error of a datagram not there yet.
    assert outcomes <= {3000, BlockingIOError}, outcomes


def test_no_python_code_runs_on_the_reader(zolmar_sim):
    zolmar_sim("--preload", "P=2000")
    threads = set()
    record = lambda phase, info: threads.add(threading.get_ident())  # noqa: E731
    command = velkarcmd_async.AsyncZolmarCommand()

    async def calls():
        return await asyncio.gather(*[command.GetUnfinished("P", "All") for _ in range(20)])

    threshold = gc.get_threshold()
    gc.callbacks.append(record)
    gc.set_threshold(1, 1, 1)
    try:
        answers = asyncio.run(calls())
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(record)
    assert [len(answer) for answer in answers] == [2000] * 20
    if sysconfig.get_config_var("Py_GIL_DISABLED") and not threads:
        return  # a free-threaded collector waits for the heap to grow, past any threshold
    assert threads == {threading.get_ident()}
