"""A daemon thread inside a call when the interpreter exits: the process ends as the main
thread says, whatever the thread was doing. Up to 3.13 on Linux the interpreter ends such a
thread with pthread_exit, which unwinds the module's frames; on Windows the thread is ended
without unwinding, and from 3.14 on it is parked."""
import subprocess
import sys

import pytest
from sim_process import popen

RUNS = 20
AT_ONCE = 4

# Two daemon threads call in a loop; the main thread returns at a random moment after the
# first call came back, so that the exit meets them at every point of a call.
SCRIPT = """
import random, socket, sys, threading, time, types
import velkarcmd

path = sys.argv[1]
command = velkarcmd.ZolmarCommand()
if path == "general":
    class Spy(socket.socket):  # a recv of its own: read by the general path
        def recv(self, size):
            return super().recv(size)
    velkarcmd.socket = types.SimpleNamespace(socket=Spy, AF_INET=socket.AF_INET,
                                             SOCK_DGRAM=socket.SOCK_DGRAM)
call = {
    "single reply": lambda: command.FutureRights("P"),
    "native list reader": lambda: command.GetUnfinished("P", "All"),
    "general": lambda: command.GetUnfinished("P", "All"),
    "send": lambda: command.AddQuote("P", "FUT"),
}[path]
answered = threading.Event()

def forever():
    while True:
        call()
        answered.set()

for _ in range(2):
    threading.Thread(target=forever, daemon=True).start()
assert answered.wait(10), "no answer"
time.sleep(random.random() * 0.03)
sys.exit(7)
"""

PATHS = {
    "single reply": ["--delay-ms", "5"],  # waiting for the one datagram
    "native list reader": ["--preload", "P=200"],
    "general": ["--preload", "P=200"],
    "send": [],  # answered at once: much of each call is making, connecting and sending
}


@pytest.mark.parametrize("path", sorted(PATHS))
def test_exit_with_a_daemon_thread_inside_a_call(zolmar_sim, path):
    zolmar_sim(*PATHS[path])
    outcomes = []
    for first in range(0, RUNS, AT_ONCE):
        children = [popen([sys.executable, "-c", SCRIPT, path],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
                    for _ in range(min(AT_ONCE, RUNS - first))]
        for child in children:
            _, err = child.communicate(timeout=60)
            outcomes.append((child.returncode, err))
    failed = [(status, err) for status, err in outcomes
              if status != 7 or "Fatal Python error" in err or "terminate" in err]
    assert failed == [], "%d of %d runs: %r" % (len(failed), RUNS, failed[:2])
