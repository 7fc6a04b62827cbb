"""AsyncZolmarCommand beside the other ways an asyncio program can reach the application.

Starts zolmar-sim (port 5656 must be free) and, in one run, alternating round after round:

- a GetUnfinished round trip of an empty answer, blocking and awaited, which the twin reads on
  its reader thread;
- a FutureRights round trip: `await c.FutureRights(...)` on AsyncZolmarCommand, the blocking
  ZolmarCommand's call, `await loop.run_in_executor(None, c.FutureRights, ...)`, a plain
  asyncio client (a DatagramProtocol per call, as a script would write one), and the bare
  minimum of awaiting a datagram on the loop (add_reader and a future, in Python), which shows
  what the loop's own wake-up costs beside a blocking call;
- the client's CPU (process time, this process only) for one 100,000-record GetUnfinished
  answer, AsyncZolmarCommand beside the plain asyncio client (which, on a quiet loop, gets every
  record from the simulator's default pacing), and beside the least a reader in Python does:
  a blocking recv per datagram, then split into strs.

Reports the median of each and its ratio to the blocking call (and to the plain client's CPU).

    .venv/py3.7/bin/python bench/async_round_trip.py [--calls N] [--rounds N] [--records N]
"""
import argparse
import asyncio
import socket
import statistics
import time

import velkarcmd
import velkarcmd_async
from sim_child import Simulator

BROKER = "BIG"


class PlainClient(asyncio.DatagramProtocol):
    """The exchange in plain asyncio: one datagram endpoint per call."""

    def __init__(self, multi):
        self.multi = multi
        self.parts = []
        self.done = asyncio.get_event_loop().create_future()

    def datagram_received(self, data, address):
        text = data.decode("utf-8")
        self.parts.append(text)
        if not self.multi or text == "over":
            if not self.done.done():
                self.done.set_result("\n".join(self.parts).strip("\n"))

    def error_received(self, error):
        if not self.done.done():
            self.done.set_exception(error)


async def plain_exchange(loop, msg, multi):
    transport, protocol = await loop.create_datagram_endpoint(
        lambda: PlainClient(multi), remote_addr=("127.0.0.1", 5656))
    try:
        transport.sendto(msg.encode("utf-8"))
        return await protocol.done
    finally:
        transport.close()


async def bare_exchange(loop, msg):
    """The least an asyncio client can do to await a datagram: add_reader and a future, no
    transport. No way of awaiting a reply through the loop costs less."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        client.setblocking(False)
        client.connect(("127.0.0.1", 5656))
        client.send(msg.encode("utf-8"))
        reply = loop.create_future()
        loop.add_reader(client.fileno(), lambda: reply.set_result(client.recv(4096)))
        try:
            return (await reply).decode("utf-8").strip("\n")
        finally:
            loop.remove_reader(client.fileno())
    finally:
        client.close()


def blocking_reader(msg):
    """The least a reader in Python does: a blocking recv per datagram (no thread, no loop),
    then the answer split into strs, unfiltered."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        client.connect(("127.0.0.1", 5656))
        client.send(msg.encode("utf-8"))
        parts = []
        while not parts or parts[-1] != b"over":
            parts.append(client.recv(4096))
    finally:
        client.close()
    return len(b"\n".join(parts[:-1]).decode("utf-8").split("\n"))


async def timed_calls(call, count):
    started = time.perf_counter()
    for _ in range(count):
        await call()
    return (time.perf_counter() - started) / count


async def round_trips(calls, rounds):
    loop = asyncio.get_event_loop()
    blocking = velkarcmd.ZolmarCommand()
    awaitable = velkarcmd_async.AsyncZolmarCommand()

    async def blocking_call():
        blocking.FutureRights("A1")

    async def async_call():
        await awaitable.FutureRights("A1")

    async def executor_call():
        await loop.run_in_executor(None, blocking.FutureRights, "A1")

    async def plain_call():
        await plain_exchange(loop, "A1 GetEquity", False)

    async def bare_call():
        await bare_exchange(loop, "A1 GetEquity")

    async def blocking_list_call():
        blocking.GetUnfinished("A1", "All")

    async def async_list_call():
        await awaitable.GetUnfinished("A1", "All")

    ways = [("blocking call", blocking_call), ("AsyncZolmarCommand", async_call),
            ("bare add_reader", bare_call), ("run_in_executor", executor_call),
            ("plain asyncio client", plain_call), ("list: blocking call", blocking_list_call),
            ("list: AsyncZolmarCommand", async_list_call)]
    for _, call in ways:  # warm up: the executor's thread, the reader thread, the caches
        await timed_calls(call, 50)
    times = {name: [] for name, _ in ways}
    for _ in range(rounds):
        for name, call in ways:
            times[name].append(await timed_calls(call, calls))
    return {name: statistics.median(values) for name, values in times.items()}


async def big_answer_cpu(rounds, records):
    loop = asyncio.get_event_loop()
    awaitable = velkarcmd_async.AsyncZolmarCommand()
    cpu = {"AsyncZolmarCommand": [], "plain asyncio client": [], "blocking recv loop": []}
    for _ in range(rounds):
        started = time.process_time()
        got = blocking_reader(BROKER + " All")
        cpu["blocking recv loop"].append(time.process_time() - started)
        assert got == records, got
        started = time.process_time()
        got = len(await awaitable.GetUnfinished(BROKER, "All"))
        cpu["AsyncZolmarCommand"].append(time.process_time() - started)
        assert got == records, got
        started = time.process_time()
        text = await plain_exchange(loop, BROKER + " All", True)
        lines = [line for line in text.split("\n") if "Order" in line]
        cpu["plain asyncio client"].append(time.process_time() - started)
        assert len(lines) == records, len(lines)
    return {name: statistics.median(values) for name, values in cpu.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500, help="calls per way and round")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--cpu-rounds", type=int, default=3)
    options = parser.parse_args()
    with Simulator("--preload", "%s=%d" % (BROKER, options.records), "--move-every", "0"):
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        try:
            trips = loop.run_until_complete(round_trips(options.calls, options.rounds))
            cpu = loop.run_until_complete(big_answer_cpu(options.cpu_rounds, options.records))
        finally:
            loop.close()
    base = trips["blocking call"]
    print("FutureRights round trip, median of %d rounds of %d calls (%s):"
          % (options.rounds, options.calls, type(loop).__name__))
    for name, seconds in trips.items():
        if not name.startswith("list: "):
            print("  %-24s %7.1f us  %.2f x the blocking call, %.2f x bare add_reader"
                  % (name, seconds * 1e6, seconds / base, seconds / trips["bare add_reader"]))
    print("GetUnfinished round trip of an empty answer (the reader thread's path), same rounds:")
    for name in ("list: blocking call", "list: AsyncZolmarCommand"):
        seconds = trips[name]
        print("  %-24s %7.1f us  %.2f x the blocking call"
              % (name[6:], seconds * 1e6, seconds / trips["list: blocking call"]))
    print("client CPU for one %d-record GetUnfinished answer, median of %d:"
          % (options.records, options.cpu_rounds))
    plain = cpu["plain asyncio client"]
    for name, seconds in cpu.items():
        print("  %-22s %7.1f ms  %.2f x the plain client" % (name, seconds * 1e3, seconds / plain))


if __name__ == "__main__":
    main()
