"""What a test pays for the zolmar_sim fixture: one start and one stop of zolmar-sim.

Run in a network namespace of its own, so that port 5656 is free (as root):
    unshare -n sh -c 'ip link set lo up && .venv/py3.7/bin/python bench/sim_start.py'

Measures, side by side in one run, each N times (median and 90th percentile, in ms):
- `zolmar-sim --version`: starting the program at all, the floor of any start;
- a start through the plugin (port check, spawn, until the banner says it listens);
- its stop (SIGTERM, on Windows Ctrl-Break, until it has exited);
- the fixture's whole setup and teardown around an empty test, as pytest runs it, beside the
  same test without the fixture.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import velkarcmd_testing

TIMING = """
import json, time
import pytest

TIMES = {}

def _timed(item, phase):
    began = time.perf_counter()
    yield
    TIMES.setdefault(item.originalname, {}).setdefault(item.nodeid, 0.0)
    TIMES[item.originalname][item.nodeid] += (time.perf_counter() - began) * 1000

@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_setup(item):
    yield from _timed(item, "setup")

@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_teardown(item):
    yield from _timed(item, "teardown")

def pytest_sessionfinish(session):
    with open("times.json", "w") as out:
        json.dump({name: list(tests.values()) for name, tests in TIMES.items()}, out)
"""


def timed(action, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        times.append((time.perf_counter() - start) * 1000)
    return times


def describe(name, times):
    times = sorted(times)
    p90 = times[int(0.9 * (len(times) - 1))]
    print("%-44s median %7.2f ms   p90 %7.2f ms" % (name, statistics.median(times), p90))
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=50)
    rounds = parser.parse_args().rounds
    if not velkarcmd_testing.port_is_free():
        raise SystemExit("UDP port 5656 is taken: run this in a network namespace of its own")
    exe = velkarcmd_testing.find_executable()

    floor = describe("zolmar-sim --version (spawn and exit)",
                     timed(lambda: subprocess.run([exe, "--version"], stdout=subprocess.DEVNULL,
                                                  check=True), rounds))
    starts, stops = [], []
    for _ in range(rounds):
        began = time.perf_counter()
        assert velkarcmd_testing.port_is_free()
        sim = velkarcmd_testing.ZolmarSim([])
        started = time.perf_counter()
        assert sim.stop() == 0
        stopped = time.perf_counter()
        starts.append((started - began) * 1000)
        stops.append((stopped - started) * 1000)
    start = describe("start: port check, spawn, banner", starts)
    stop = describe("stop: SIGTERM until exited", stops)

    # The fixture as a test meets it: pytest's own setup and teardown of an empty test, timed
    # by a hook around each phase, beside the same test without the fixture.
    where = tempfile.mkdtemp(prefix="sim-start-")
    try:
        with open(os.path.join(where, "conftest.py"), "w") as conftest:
            conftest.write(TIMING)
        with open(os.path.join(where, "test_sim_start.py"), "w") as script:
            script.write("import pytest\n\n"
                         "@pytest.mark.parametrize('n', range(%d))\n"
                         "def test_sim(zolmar_sim, n):\n    pass\n\n"
                         "@pytest.mark.parametrize('n', range(%d))\n"
                         "def test_plain(n):\n    pass\n" % (rounds, rounds))
        subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"],
                       cwd=where, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(where, "times.json")) as measured:
            phases = json.load(measured)
    finally:
        shutil.rmtree(where)
    sim = describe("the fixture: setup and teardown of a test", phases["test_sim"])
    plain = describe("the same test without it", phases["test_plain"])
    print("a test pays %.1f ms for the fixture" % (sim - plain))
    print("start is %.1fx a bare spawn; start and stop together %.1f ms"
          % (start / floor, start + stop))


if __name__ == "__main__":
    main()
