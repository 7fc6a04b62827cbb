"""Multi-reply accumulation cost against answer size.

Feeds GetUnfinished answers of N and 4N datagrams through a fake socket module (no network, so
only the module's own work is measured) and reports time(4N) / time(N), measured side by side
in one run. A linear accumulation gives about 4; re-copying the text per datagram gives about 16.

    .venv/py3.7/bin/python bench/accumulation.py
"""
import sys
import time

import velkarcmd


class Data(object):
    __slots__ = ("raw",)

    def __init__(self, raw):
        self.raw = raw

    def decode(self, encoding):
        return self.raw.decode(encoding)


class Replies(object):
    def __init__(self, datagrams):
        self.datagrams = datagrams

    def socket(self, family, kind):
        return Client(iter(self.datagrams))

    AF_INET = 2
    SOCK_DGRAM = 2


class Client(object):
    def __init__(self, datagrams):
        self.datagrams = datagrams

    def connect(self, address):
        pass

    def send(self, data):
        return len(data)

    def recv(self, size):
        return next(self.datagrams)


def answer(count):
    # Full datagrams of records, as an application packs them.
    record = "%06d,Order,TXF,B,17000,1,working"
    per_datagram = 4096 // (len(record % 0) + 1)
    datagrams = []
    for start in range(0, count * per_datagram, per_datagram):
        lines = [record % i for i in range(start, start + per_datagram)]
        datagrams.append("\n".join(lines).encode("utf-8"))
    return datagrams + [b"over"], count * per_datagram


def best_of(repeats, call):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def main():
    base = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    command = velkarcmd.ZolmarCommand()
    velkarcmd.socket = None
    timings = {}
    for count in (base, 4 * base):
        datagrams, records = answer(count)
        velkarcmd.socket = Replies(datagrams)
        assert len(command.GetUnfinished("A1", "All")) == records
        timings[count] = best_of(5, lambda: command.GetUnfinished("A1", "All"))
        print("%6d datagrams, %8d records: %.4f s" % (count, records, timings[count]))
    print("time(4N) / time(N) = %.2f  (linear: about 4, quadratic: about 16)"
          % (timings[4 * base] / timings[base]))


if __name__ == "__main__":
    main()
