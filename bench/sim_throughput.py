"""zolmar-sim throughput on loopback, and the module end to end against it.

Starts zolmar-sim on 127.0.0.1:5656 (the port must be free), then measures in one run:
  1. single-reply requests answered per second, with a pipelining raw UDP client
     (a window of requests in flight, so the client is not the bottleneck);
  2. module calls per second (FutureRights, one at a time, as a script makes them), beside the
     same exchange written in Python;
  3. a 100,000-record GetUnfinished answer reaching the module whole, and its time.

    .venv/py3.7/bin/python bench/sim_throughput.py [seconds]
"""
import os
import shutil
import socket
import subprocess
import sys
import time

import velkarcmd


def start_sim(*args):
    exe = shutil.which("zolmar-sim", path=os.path.dirname(sys.executable)) or "zolmar-sim"
    sim = subprocess.Popen([exe, "--move-every", "0", "--preload", "LOAD=100000"] + list(args),
                           stdout=subprocess.PIPE, universal_newlines=True)
    banner = sim.stdout.readline()
    if "listening" not in banner:
        sim.kill()
        raise SystemExit("zolmar-sim did not start (is port 5656 taken?)")
    return sim


def pipelined_rate(seconds, window=64):
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    client.settimeout(5)
    client.connect(("127.0.0.1", 5656))
    request = b"A1 GetEquity"
    answered = 0
    deadline = time.perf_counter() + seconds
    started = time.perf_counter()
    while time.perf_counter() < deadline:
        for _ in range(window):
            client.send(request)
        for _ in range(window):
            client.recv(4096)
        answered += window
    elapsed = time.perf_counter() - started
    client.close()
    return answered / elapsed


def module_rate(seconds):
    command = velkarcmd.ZolmarCommand()
    calls = 0
    deadline = time.perf_counter() + seconds
    started = time.perf_counter()
    while time.perf_counter() < deadline:
        command.FutureRights("A1")
        calls += 1
    return calls / (time.perf_counter() - started)


def interpreted_rate(seconds):
    """The same exchange written in Python, for comparison: a socket per call, one reply."""
    def future_rights(broker):
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.connect(("127.0.0.1", 5656))
        client.send((broker + " GetEquity").encode("utf-8"))
        reply = client.recv(4096).decode("utf-8").strip("\n")
        client.close()
        return reply

    calls = 0
    deadline = time.perf_counter() + seconds
    started = time.perf_counter()
    while time.perf_counter() < deadline:
        future_rights("A1")
        calls += 1
    return calls / (time.perf_counter() - started)


def large_answer():
    command = velkarcmd.ZolmarCommand()
    started = time.perf_counter()
    records = command.GetUnfinished("LOAD", "All")
    return len(records), time.perf_counter() - started


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    socket.setdefaulttimeout(10)
    sim = start_sim()
    try:
        rate = pipelined_rate(seconds)
        print("zolmar-sim, single-reply requests answered: %8.0f per second" % rate)
        native = module_rate(seconds)
        interpreted = interpreted_rate(seconds)
        print("module FutureRights calls, one at a time:    %8.0f per second" % native)
        print("same exchange written in Python:             %8.0f per second (module/Python %.2f)"
              % (interpreted, native / interpreted))
        count, elapsed = large_answer()
        print("GetUnfinished of a 100,000-record book:      %8d records in %.3f s" % (count, elapsed))
        print("goal 50,000 requests per second: %s (ratio %.2f)" % (
            "met" if rate >= 50000 else "NOT met", rate / 50000))
    finally:
        sim.terminate()
        sim.wait(10)


if __name__ == "__main__":
    main()
