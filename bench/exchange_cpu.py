"""The client's CPU for receiving one large multi-datagram answer, two builds side by side: the
one installed in this interpreter and another one, given as the folder that holds its module
files (an older build, say; see bench/build_compare.py for how to make one).

Against zolmar-sim preloaded with one broker of --records unfinished orders, it measures, in
child processes that alternate the builds round after round:
  1. the process time (this process only: the simulator is not counted, the async reader thread
     is) of the exchange alone, `_ZolmarCommand__SendMsg("BIG All", 1)`, without the shaping of
     the reply into a list;
  2. the same for `await _AsyncZolmarCommand__SendMsg("BIG All", 1)`;
  3. the wall time per call of `await AsyncZolmarCommand().FutureRights("A1")`.
It prints each build's median and the ratio installed / other.

    .venv/py3.13/bin/python bench/exchange_cpu.py OTHER_DIR [--rounds N] [--records N]

The port 5656 must be free (run it under tools/in-private-network).
"""
import argparse
import os
import statistics
import subprocess
import sys

from sim_child import Simulator

BROKER = "BIG"

CHILD = r"""
import asyncio, statistics, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import velkarcmd, velkarcmd_async
for module in (velkarcmd, velkarcmd_async):
    assert (sys.argv[1] or "site-packages") in module.__file__, module.__file__
what, count, records = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
request = "%s All" % sys.argv[5]

def check(text):
    assert text.count("\n") == records, text.count("\n")

def blocking():
    c = velkarcmd.ZolmarCommand()
    check(c._ZolmarCommand__SendMsg(request, 1))  # warm up
    spent = []
    for _ in range(count):
        started = time.process_time()
        text = c._ZolmarCommand__SendMsg(request, 1)
        spent.append(time.process_time() - started)
        check(text)
    return statistics.median(spent)

async def awaitable():
    a = velkarcmd_async.AsyncZolmarCommand()
    check(await a._AsyncZolmarCommand__SendMsg(request, 1))
    spent = []
    for _ in range(count):
        started = time.process_time()
        text = await a._AsyncZolmarCommand__SendMsg(request, 1)
        spent.append(time.process_time() - started)
        check(text)
    return statistics.median(spent)

async def single():
    a = velkarcmd_async.AsyncZolmarCommand()
    for _ in range(200):
        await a.FutureRights("A1")
    started = time.perf_counter()
    for _ in range(count):
        await a.FutureRights("A1")
    return (time.perf_counter() - started) / count

if what == "blocking":
    print(blocking())
else:
    loop = asyncio.new_event_loop()
    print(loop.run_until_complete(awaitable() if what == "async" else single()))
    loop.close()
"""

# (what, calls per child, label, unit, scale)
MEASURES = [("blocking", 9, "ZolmarCommand exchange, CPU", "ms", 1e3),
            ("async", 9, "AsyncZolmarCommand exchange, CPU", "ms", 1e3),
            ("single", 3000, "await FutureRights, wall per call", "us", 1e6)]


def measure(folder, what, count, records):
    out = subprocess.run([sys.executable, "-c", CHILD, folder, what, str(count), str(records),
                          BROKER], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    return float(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("other")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--records", type=int, default=100000)
    options = parser.parse_args()
    other = os.path.abspath(options.other)
    print("CPython %s; installed build against %s; %d rounds, %d records"
          % (sys.version.split()[0], other, options.rounds, options.records))
    with Simulator("--preload", "%s=%d" % (BROKER, options.records), "--move-every", "0"):
        for what, count, label, unit, scale in MEASURES:
            installed, earlier = [], []
            for _ in range(options.rounds):
                earlier.append(measure(other, what, count, options.records))
                installed.append(measure("", what, count, options.records))
            new, old = statistics.median(installed), statistics.median(earlier)
            print("%-36s installed %7.2f %s  other %7.2f %s  ratio %.2f"
                  % (label, new * scale, unit, old * scale, unit, new / old))


if __name__ == "__main__":
    main()
