"""Calls per second of single replies from 1, 2, 8 and 16 threads, on a free-threaded
interpreter with its GIL off beside the same interpreter and module with PYTHON_GIL=1.

Against one zolmar-sim, each thread makes `FutureRights` calls on its own ZolmarCommand for
--seconds; child processes alternate the two settings thread count by thread count, round after
round, and the best round of each is kept. Prints the table and the ratio GIL off / GIL on.

    python3.13t bench/free_threading.py [--seconds 2] [--rounds 3] [--threads 1 2 8 16]

The port 5656 must be free (run it under tools/in-private-network); on an interpreter with a
GIL both columns measure the same thing.
"""
import argparse
import os
import subprocess
import sys
import sysconfig

from sim_child import Simulator

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

CHILD = r"""
import sys, threading, time
import velkarcmd

threads, seconds = int(sys.argv[1]), float(sys.argv[2])
counts = [0] * threads
started = threading.Barrier(threads + 1)
stop = threading.Event()

def call(index):
    command = velkarcmd.ZolmarCommand()
    started.wait()
    made = 0
    while not stop.is_set():
        command.FutureRights("A%d" % index)
        made += 1
    counts[index] = made

workers = [threading.Thread(target=call, args=(n,)) for n in range(threads)]
for worker in workers:
    worker.start()
started.wait()
begun = time.perf_counter()
time.sleep(seconds)
stop.set()
for worker in workers:
    worker.join()
elapsed = time.perf_counter() - begun
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(sum(counts) / elapsed, gil)
"""


def measure(threads, seconds, gil):
    environment = dict(os.environ)
    environment.pop("PYTHON_GIL", None)
    if FREE_THREADED:
        environment["PYTHON_GIL"] = "1" if gil else "0"
    output = subprocess.run([sys.executable, "-c", CHILD, str(threads), str(seconds)],
                            stdout=subprocess.PIPE, universal_newlines=True, env=environment,
                            check=True).stdout.split()
    rate, enabled = float(output[0]), output[1] == "True"
    if FREE_THREADED and enabled != gil:
        raise SystemExit("PYTHON_GIL=%d left the GIL %s" % (gil, "on" if enabled else "off"))
    return rate


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2, 8, 16])
    options = parser.parse_args()
    best = {}
    with Simulator():
        for _ in range(options.rounds):
            for threads in options.threads:
                for gil in (False, True):
                    rate = measure(threads, options.seconds, gil)
                    best[threads, gil] = max(best.get((threads, gil), 0.0), rate)
    print("CPython %s%s, %d rounds of %.1f s, the best round of each" % (
        sys.version.split()[0], " free-threaded" if FREE_THREADED else " (with a GIL)",
        options.rounds, options.seconds))
    print("%8s %14s %14s %8s" % ("threads", "GIL off (/s)", "PYTHON_GIL=1", "ratio"))
    for threads in options.threads:
        off, on = best[threads, False], best[threads, True]
        print("%8d %14.0f %14.0f %7.2fx" % (threads, off, on, off / on))


if __name__ == "__main__":
    main()
