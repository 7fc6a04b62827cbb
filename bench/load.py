"""Many threads making mixed calls at once: rate, lost, crossed and timed-out replies, memory.

Starts zolmar-sim with fixed prices (port 5656 must be free) and runs THREADS threads of CALLS
calls each, mixed over Order, Delete, GetAccount, MatchAccount, GetUnfinished, GetInStock,
FutureRights and AddQuote. Every thread trades as its own broker in its own product, and keeps
the book it expects (its working orders, its fills, its net position), so that each reply is
checked exactly:
  crossed    the reply is well formed but belongs to another request: another product, an
             order this thread did not ask about, or another command's kind of answer;
  lost       the call raised, or returned a wrong or incomplete result;
  timed out  socket.timeout (the default time-out is set for the whole process).
Equity lines are the same for every broker (prices do not move), so a FutureRights reply
crossed with another thread's FutureRights cannot be told apart. After any fault a thread
re-reads its book from the simulator (not counted) and carries on.

An account's record answer holds every order it ever placed, so each thread opens a fresh
account every --per-account calls (default 1000): answers stay within one unpaced burst, and
the rate measures the calls rather than the simulator's pacing of long answers. Client RSS is
read before the threads start, when every thread is half-way, and at the end: a leak grows
the second half as much as the first.

    .venv/py3.7/bin/python bench/load.py [--threads 8] [--calls 10000] [--timeout 5]
                                         [--per-account 1000] [--sim OPTS]
"""
import argparse
import collections
import random
import socket
import sys
import threading
import time

import velkarcmd
from sim_child import Simulator

REST_PRICE = "500"  # far below every reference price: these orders never fill
MOST_WORKING = 16
EQUITY = "balance=1000000.00,realized=0.00,unrealized=0.00,equity=1000000.00"
MIX = (
    ("Order", 25), ("Delete", 10), ("GetAccount", 10), ("MatchAccount", 10),
    ("GetUnfinished", 15), ("GetInStock", 10), ("FutureRights", 10), ("AddQuote", 10),
)


def rss_kib():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (IOError, OSError):
        pass
    import resource

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak // 1024 if sys.platform == "darwin" else peak


class Wrong(Exception):
    """A reply that is not the one this thread's request should get."""

    def __init__(self, call, reply, crossed):
        Exception.__init__(self, "%s -> %r" % (call, reply))
        self.crossed = crossed


class Trader(object):
    def __init__(self, number, products, calls, seed, per_account, halfway):
        self.number = number
        self.per_account = per_account
        self.halfway = halfway
        self.product = "P%d" % number
        self.reference = products[self.product]
        self.foreign = set(products) - {self.product}
        self.calls = calls
        self.random = random.Random(seed * 1000 + number)
        self.command = velkarcmd.ZolmarCommand()
        self.counts = collections.Counter()
        self.examples = []
        self.open_account(0)

    def open_account(self, generation):
        self.broker = "L%d.%d" % (self.number, generation)
        self.working = collections.OrderedDict()  # id -> quantity
        self.finished = collections.deque(maxlen=64)  # (id, expected GetAccount lines)
        self.net = 0

    # What a record of this thread's own looks like.
    def resting_line(self, oid, qty, status="Order"):
        return "%s,%s,%s,B,%s,%d,0,ROD,LMT" % (oid, status, self.product, REST_PRICE, qty)

    def judge(self, call, reply, expected):
        if reply == expected:
            return
        raise Wrong(call, reply, self.foreign_to(call, reply))

    def foreign_to(self, call, reply):
        lines = reply if isinstance(reply, list) else [reply]
        for line in lines:
            if not isinstance(line, str):
                continue
            fields = line.split(",")
            if line == EQUITY and call != "FutureRights":
                return True
            if any(field in self.foreign for field in fields[:3]):
                return True
            if fields[0].isdigit() and call != "Order" and fields[0] not in self.known_ids():
                return True
        return False

    def known_ids(self):
        return set(self.working) | {oid for oid, _ in self.finished}

    def place(self):
        if self.random.random() < 0.6:
            if len(self.working) >= MOST_WORKING:
                return self.cancel()
            qty = self.random.randint(1, 9)
            oid = self.command.Order(self.broker, self.product, "B", REST_PRICE, str(qty), "ROD",
                                     "LMT", None, None)
            if not oid.isdigit() or oid in self.known_ids():
                raise Wrong("Order", oid, oid.isdigit() or self.foreign_to("Order", oid))
            self.working[oid] = qty
            return
        side = self.random.choice("BS")
        qty = self.random.randint(1, 9)
        timetype = self.random.choice(("IOC", "FOK"))
        oid = self.command.Order(self.broker, self.product, side, "0", str(qty), timetype, "MKT",
                                 None, None)
        if not oid.isdigit() or oid in self.known_ids():
            raise Wrong("Order", oid, oid.isdigit() or self.foreign_to("Order", oid))
        self.net += qty if side == "B" else -qty
        self.finished.append((oid, [
            "%s,Filled,%s,%s,MKT,%d,%d,%s,MKT" % (oid, self.product, side, qty, qty, timetype),
            "%s,Match,%s,%s,%s,%d," % (oid, self.product, side, self.reference, qty),
        ]))

    def cancel(self):
        if not self.working:
            return self.place()
        oid, qty = self.working.popitem(last=False)
        self.finished.append((oid, [self.resting_line(oid, qty, "Cancelled")]))
        self.judge("Delete", self.command.Delete(self.broker, oid), "%s,Cancelled" % oid)

    def account(self):
        if self.working and (not self.finished or self.random.random() < 0.5):
            oid = self.random.choice(list(self.working))
            expected = [self.resting_line(oid, self.working[oid])]
        elif self.finished:
            oid, expected = self.random.choice(self.finished)
        else:
            return self.place()
        reply = self.command.GetAccount(self.broker, oid)
        # The fill number is the simulator's count of fills across every broker.
        self.judge("GetAccount", self.without_fill_numbers(reply), expected)

    @staticmethod
    def without_fill_numbers(lines):
        return [line.rsplit(",", 1)[0] + "," if ",Match," in line else line for line in lines]

    def fills(self):
        filled = [entry for entry in self.finished if ",Match," in entry[1][-1]]
        if not filled:
            return self.place()
        oid, expected = self.random.choice(filled)
        reply = self.command.MatchAccount(self.broker, oid)
        self.judge("MatchAccount", self.without_fill_numbers(reply), expected[-1:])

    def unfinished(self):
        reply = self.command.GetUnfinished(self.broker, "All")
        self.judge("GetUnfinished", reply,
                   [self.resting_line(oid, qty) for oid, qty in self.working.items()])

    def positions(self):
        expected = []
        if self.net:
            expected = ["%s,%d,%.2f,%s,0.00" % (self.product, self.net, float(self.reference),
                                                self.reference)]
        if self.random.random() < 0.5:
            reply = self.command.GetInStock(self.broker)
        else:
            reply = self.command.GetInStock(self.broker, self.product)
        self.judge("GetInStock", reply, expected)

    def equity(self):
        self.judge("FutureRights", self.command.FutureRights(self.broker), EQUITY)

    def quotes(self):
        # Replaced, never appended: the subscription and its reply stay small.
        reply = self.command.AddQuote(self.broker, "%s, Q%s" % (self.product, self.broker))
        self.judge("AddQuote", reply, None)

    def resync(self):
        """Adopts the simulator's view of this thread's book after a fault."""
        try:
            self.working = collections.OrderedDict(
                (line.split(",")[0], int(line.split(",")[5]))
                for line in self.command.GetUnfinished(self.broker, "All")
                if line.split(",")[2] == self.product)
            self.finished.clear()
            self.net = 0
            for line in self.command.GetInStock(self.broker, self.product):
                self.net = int(line.split(",")[1])
        except Exception:
            pass  # the next fault will try again

    def run(self):
        actions = {
            "Order": self.place, "Delete": self.cancel, "GetAccount": self.account,
            "MatchAccount": self.fills, "GetUnfinished": self.unfinished,
            "GetInStock": self.positions, "FutureRights": self.equity, "AddQuote": self.quotes,
        }
        try:
            self.trade(actions)
        finally:
            self.halfway.abort()  # a thread that failed must not leave the others waiting

    def trade(self, actions):
        names = [name for name, weight in MIX for _ in range(weight)]
        for done in range(self.calls):
            if done == self.calls // 2:
                try:
                    self.halfway.wait()
                except threading.BrokenBarrierError:
                    pass
            if done and done % self.per_account == 0:
                self.open_account(done // self.per_account)
            try:
                actions[self.random.choice(names)]()
                self.counts["ok"] += 1
                continue
            except socket.timeout:
                self.counts["timed out"] += 1
            except Wrong as wrong:
                self.counts["crossed" if wrong.crossed else "lost"] += 1
                self.note(str(wrong))
            except Exception as error:
                self.counts["lost"] += 1
                self.note("%s: %s" % (type(error).__name__, error))
            self.resync()

    def note(self, text):
        if len(self.examples) < 3:
            self.examples.append("%s %s" % (self.broker, text[:160]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--calls", type=int, default=10000, help="calls per thread")
    parser.add_argument("--timeout", type=float, default=5.0, help="default socket time-out (s)")
    parser.add_argument("--seed", type=int, default=1, help="seed of each thread's call mix")
    parser.add_argument("--sim", default="", metavar="OPTIONS",
                        help='more zolmar-sim options, e.g. "--drop 0.001" to see faults counted')
    parser.add_argument("--per-account", type=int, default=1000,
                        help="calls before a thread opens a fresh account (1000)")
    options = parser.parse_args()
    socket.setdefaulttimeout(options.timeout)
    products = dict(("P%d" % n, str(1000 + n)) for n in range(options.threads))
    prices = [arg for name in sorted(products) for arg in ("--price", name + "=" + products[name])]
    rss = {}
    halfway = threading.Barrier(options.threads, action=lambda: rss.update(middle=rss_kib()))
    traders = [Trader(n, products, options.calls, options.seed, options.per_account, halfway)
               for n in range(options.threads)]
    with Simulator(*(["--move-every", "0"] + prices + options.sim.split())):
        rss_start = rss_kib()
        threads = [threading.Thread(target=trader.run) for trader in traders]
        started = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.perf_counter() - started
        rss_end = rss_kib()
    counts = collections.Counter()
    for trader in traders:
        counts.update(trader.counts)
    total = options.threads * options.calls
    print("CPython %s, %d threads x %d calls, time-out %.1f s"
          % (sys.version.split()[0], options.threads, options.calls, options.timeout))
    print("calls per second   %10.0f  (%d calls in %.2f s)" % (total / elapsed, total, elapsed))
    for kind in ("ok", "lost", "crossed", "timed out"):
        print("%-18s %10d" % (kind, counts[kind]))
    middle = rss.get("middle", rss_start)
    print("client RSS KiB     %10d at start, %d half-way (%+d), %d at end (%+d)"
          % (rss_start, middle, middle - rss_start, rss_end, rss_end - middle))
    for trader in traders:
        for example in trader.examples:
            print("  " + example)


if __name__ == "__main__":
    main()
