"""Two builds of velkarcmd side by side in one run: the one installed in this interpreter and
another one, given as the folder that holds its module file (an older build, say).

Measures, alternating the builds round after round so that the machine's noise falls on both:
  1. one command with the exchange replaced (`_ZolmarCommand__SendMsg` on the instance):
     Order, GetUnfinished filtering a three-line reply, and GetUnfinished keeping all or one
     of 100,000 records;
  2. a full round trip against zolmar-sim: FutureRights, one call at a time.
It prints each build's median time per call and the ratio installed / other.

    .venv/py3.7/bin/python bench/build_compare.py OTHER_DIR [rounds]

The port 5656 must be free (the bench starts zolmar-sim on it). To compare with the build of
an earlier commit, unpack that commit's wheel into a folder:
    git worktree add /tmp/before <commit> && (cd /tmp/before && python -m pip wheel --no-deps -w /tmp/w .)
    python -m zipfile -e /tmp/w/velkarcmd-*.whl /tmp/before-module
"""
import os
import statistics
import subprocess
import sys

from sim_child import Simulator

CHILD = r"""
import sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import velkarcmd
assert (sys.argv[1] or "site-packages") in velkarcmd.__file__, velkarcmd.__file__
what, count = sys.argv[2], int(sys.argv[3])
c = velkarcmd.ZolmarCommand()
if what == "order":
    c._ZolmarCommand__SendMsg = lambda msg, flag: "1"
    call = lambda: c.Order("A1", "FUT", "B", "16950", "2", "ROD", "LMT", None, None)
elif what == "query":
    reply = "7,Order,FUT,B,1,1,0,ROD,LMT\n8,Match,FUT,B,1,1\n9,Order,FUT,S,2,1,0,ROD,LMT\nover"
    c._ZolmarCommand__SendMsg = lambda msg, flag: reply
    call = lambda: c.GetUnfinished("A1", "7")
elif what.startswith("big_query"):
    reply = "\n".join(["%d,Order,FUT,B,8500,1,0,ROD,LMT" % n for n in range(1, 100001)] + ["over"])
    c._ZolmarCommand__SendMsg = lambda msg, flag: reply
    selector = "All" if what == "big_query_all" else "50000"
    call = lambda: c.GetUnfinished("A1", selector)
else:
    call = lambda: c.FutureRights("A1")
for _ in range(min(count, 1000)):
    call()
start = time.perf_counter()
for _ in range(count):
    call()
print((time.perf_counter() - start) / count * 1e9)
"""

MEASURES = [("order", 200000, "Order, exchange replaced"),
            ("query", 200000, "GetUnfinished, exchange replaced"),
            ("big_query_all", 20, "GetUnfinished All, 100,000 records"),
            ("big_query_one", 20, "GetUnfinished one of 100,000 records"),
            ("round_trip", 20000, "FutureRights against zolmar-sim")]


def per_call_ns(folder, what, count):
    out = subprocess.run([sys.executable, "-c", CHILD, folder, what, str(count)],
                         stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    return float(out)


def main():
    other = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    print("CPython %s; installed build against %s; %d rounds" % (sys.version.split()[0], other,
                                                                rounds))
    with Simulator("--move-every", "0"):
        for what, count, label in MEASURES:
            installed, earlier = [], []
            for _ in range(rounds):
                earlier.append(per_call_ns(other, what, count))
                installed.append(per_call_ns("", what, count))
            new, old = statistics.median(installed), statistics.median(earlier)
            print("%-36s installed %8.0f ns  other %8.0f ns  ratio %.2f" % (label, new, old,
                                                                          new / old))


if __name__ == "__main__":
    main()
