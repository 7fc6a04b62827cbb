"""Records lost from a large GetUnfinished answer while another thread runs Python code.

Starts zolmar-sim with a preloaded book (port 5656 must be free) and, for switch intervals of
5 ms and 20 ms, with the process quiet and with one thread spinning in pure Python, calls
GetUnfinished on the whole book several times. Beside the module, a plain-Python client makes
the same exchange (connect, send, recv(4096) until b"over") in the same run. Every call has a
default socket time-out; a call that times out lost its end marker.

    .venv/py3.7/bin/python bench/record_loss.py [--records N] [--reps N] [--timeout S]
                                                [--withhold-end SHARE]
"""
import argparse
import socket
import sys
import threading
import time

import velkarcmd
from sim_child import Simulator

BROKER = "LOSS"


class Spinner(object):
    """One thread doing nothing but Python bytecode until stopped."""

    def __init__(self):
        self.running = True
        self.thread = threading.Thread(target=self.spin)
        self.thread.daemon = True

    def spin(self):
        count = 0
        while self.running:
            count += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        return False


class Quiet(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def module_call():
    """Records received; a time-out hands the caller nothing."""
    command = velkarcmd.ZolmarCommand()
    try:
        return len(command.GetUnfinished(BROKER, "All")), False
    except socket.timeout:
        return 0, True


def python_call():
    """The same exchange in Python; on a time-out, counts what had arrived."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    received = 0
    try:
        client.connect(("127.0.0.1", 5656))
        client.send((BROKER + " All").encode("utf-8"))
        while True:
            data = client.recv(4096)
            if data == b"over":
                return received, False
            received += sum(1 for line in data.decode("utf-8").split("\n") if "Order" in line)
    except socket.timeout:
        return received, True
    finally:
        client.close()


def measure(call, reps):
    counts, ends_lost, times = [], 0, []
    for _ in range(reps):
        started = time.perf_counter()
        received, timed_out = call()
        times.append(time.perf_counter() - started)
        counts.append(received)
        ends_lost += timed_out
    return counts, ends_lost, times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--records", type=int, default=20000, help="preloaded book (20000)")
    parser.add_argument("--reps", type=int, default=10, help="calls per row (10)")
    parser.add_argument("--timeout", type=float, default=5.0, help="default socket time-out (5 s)")
    parser.add_argument("--withhold-end", metavar="SHARE", default="0",
                        help="zolmar-sim leaves out this share of end markers (0)")
    options = parser.parse_args()
    socket.setdefaulttimeout(options.timeout)
    expected = options.records
    clients = (("module", module_call), ("python", python_call))
    print("CPython %s, %d records, %d calls per row, time-out %.1f s"
          % (sys.version.split()[0], expected, options.reps, options.timeout))
    print("%-8s %-6s %-7s %17s %9s %8s %8s %14s" % (
        "switch", "load", "client", "received/expected", "lost", "lost %", "end lost",
        "median (max) s"))
    previous = sys.getswitchinterval()
    with Simulator("--move-every", "0", "--preload", "%s=%d" % (BROKER, expected),
                   "--withhold-end", options.withhold_end):
        # Quiet and whole first: the book is what the rows below are measured against.
        check, ends_lost, _ = measure(python_call, 1)
        if check != [expected] and not ends_lost:
            raise SystemExit("the quiet check call got %r of %d records" % (check, expected))
        try:
            for interval in (0.005, 0.02):
                sys.setswitchinterval(interval)
                for load_name, load in (("quiet", Quiet), ("busy", Spinner)):
                    for client_name, call in clients:
                        with load():
                            counts, ends_lost, times = measure(call, options.reps)
                        got = sum(counts)
                        wanted = expected * options.reps
                        times.sort()
                        print("%-8s %-6s %-7s %8d/%-8d %9d %7.1f%% %5d/%-2d %7.3f (%.3f)" % (
                            "%g ms" % (interval * 1000), load_name, client_name, got, wanted,
                            wanted - got, 100.0 * (wanted - got) / wanted, ends_lost,
                            options.reps, times[len(times) // 2], times[-1]))
                        print("%34s per call: %s" % ("", " ".join(str(c) for c in counts)))
        finally:
            sys.setswitchinterval(previous)


if __name__ == "__main__":
    main()
