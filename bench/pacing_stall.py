"""Does a long answer survive a reader that stalls? zolmar-sim's old pacing beside its new one.

A plain-Python reader with the default receive buffer (SO_RCVBUF is never enlarged here) asks
"NAME All" for a 100,000-record answer, reads datagrams of 4096 bytes until one is exactly
b"over", and stalls 20 ms (time.sleep) now and then. For each pacing and each stall pattern it
reports the records received of those expected, whether the end marker came, and the time.

  old: --window-bytes 0 --burst 8 --pace-us 2000   (8 datagrams, then 2 ms: time alone)
  new: the defaults (a budget of bytes, as the kernel charges them, per 20 ms per reader)

It also measures what the kernel charges a receive buffer for one datagram on loopback.

Port 5656 must be free: run it in a network namespace of its own, as root:

    unshare -n sh -c 'ip link set lo up && .venv/py3.7/bin/python bench/pacing_stall.py'
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

RECORDS = 100000
STALL = 0.020
SO_MEMINFO = 55  # Linux: SK_MEMINFO_RMEM_ALLOC is the first of its unsigned ints

PACINGS = [
    ("old", ["--window-bytes", "0", "--burst", "8", "--pace-us", "2000"]),
    ("new", []),
]

# name, when to stall (given the number of datagrams read so far and the seconds since the last
# stall, whether to stall now), and for how long. The last shows the margin: 20 ms is the goal.
PATTERNS = [
    ("20 ms once, after the first datagram", lambda count, since: count == 1, STALL),
    ("20 ms after every 25th datagram", lambda count, since: count % 25 == 0, STALL),
    ("20 ms every 100 ms of reading", lambda count, since: since >= 0.100, STALL),
    ("30 ms after every 25th datagram", lambda count, since: count % 25 == 0, 0.030),
]


def sim_executable():
    return shutil.which("zolmar-sim", path=os.path.dirname(sys.executable)) or "zolmar-sim"


def start_sim(name, pacing):
    sim = subprocess.Popen([sim_executable(), "--move-every", "0", "--preload",
                            "%s=%d" % (name, RECORDS)] + pacing,
                           stdout=subprocess.PIPE, universal_newlines=True)
    if "listening" not in sim.stdout.readline():
        sim.kill()
        raise SystemExit("zolmar-sim did not start (is port 5656 taken? run inside unshare -n)")
    return sim


def read_answer(name, stall_now, stall=STALL, quiet=2.0):
    """One reader: (records, end marker seen, seconds, stalls)."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.connect(("127.0.0.1", 5656))
    client.settimeout(quiet)
    records = datagrams = stalls = 0
    over = False
    started = last_stall = time.perf_counter()
    try:
        client.send(("%s All" % name).encode("utf-8"))
        while True:
            try:
                data = client.recv(4096)
            except socket.timeout:
                break  # lost: nothing more is coming
            if data == b"over":
                over = True
                break
            datagrams += 1
            records += data.count(b"\n") + 1
            if stall_now(datagrams, time.perf_counter() - last_stall):
                time.sleep(stall)
                stalls += 1
                last_stall = time.perf_counter()
        elapsed = time.perf_counter() - started - (quiet if not over else 0)
        return records, over, elapsed, stalls
    finally:
        client.close()


def charged_size(payload):
    """What the kernel charges a receive buffer for one datagram of `payload` bytes on loopback."""
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sender.sendto(b"x" * payload, receiver.getsockname())
        time.sleep(0.01)
        info = receiver.getsockopt(socket.SOL_SOCKET, SO_MEMINFO, 9 * 4)
        default = receiver.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
        kept = 0
        for _ in range(400):
            sender.sendto(b"x" * payload, receiver.getsockname())
        receiver.setblocking(False)
        while True:
            try:
                receiver.recv(65536)
                kept += 1
            except (BlockingIOError, socket.error):
                break
        return struct.unpack("9I", info)[0], default, kept
    except OSError:
        return None, None, None
    finally:
        receiver.close()
        sender.close()


def several_at_once(name, readers=4):
    """Readers on their own sockets at once, each stalling after every 25th datagram."""
    results = [None] * readers

    def one(index):
        results[index] = read_answer(name, PATTERNS[1][1], PATTERNS[1][2])

    threads = [threading.Thread(target=one, args=(i,)) for i in range(readers)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results, time.perf_counter() - started


def main():
    for payload in (4096, 3717, 4):
        cost, default, kept = charged_size(payload)
        if cost is None:
            print("(SO_MEMINFO not available: charged size not measured)")
            break
        print("a %4d-byte datagram on loopback is charged %5d bytes of a receive buffer; "
              "%d fit a default one of %d bytes" % (payload, cost, kept, default))
    print()
    print("%-40s %-4s %17s %5s %9s %7s" % (
        "reader", "pace", "records", "over", "seconds", "stalls"))
    outcomes = {}
    for label, pacing in PACINGS:
        sim = start_sim("LOAD", pacing)
        try:
            for pattern, stall_now, stall in PATTERNS:
                records, over, elapsed, stalls = read_answer("LOAD", stall_now, stall)
                outcomes[(label, pattern)] = records == RECORDS and over
                print("%-40s %-4s %7d / %7d %5s %9.3f %7d" % (
                    pattern, label, records, RECORDS, "yes" if over else "NO", elapsed, stalls))
            results, elapsed = several_at_once("LOAD")
            whole = sum(1 for r, o, _, _ in results if r == RECORDS and o)
            outcomes[(label, "several")] = whole == len(results)
            print("%-40s %-4s %7d / %7d %5s %9.3f %7s" % (
                "4 readers at once, 20 ms every 25th", label, sum(r[0] for r in results),
                RECORDS * len(results), "%d/%d" % (sum(1 for r in results if r[1]), len(results)),
                elapsed, ""))
        finally:
            sim.terminate()
            sim.wait(10)
    print()
    new_whole = all(v for (label, pattern), v in outcomes.items()
                    if label == "new" and not pattern.startswith("30 ms"))
    print("new pacing, every 20 ms stall survived whole: %s" % ("yes" if new_whole else "NO"))
    return 0 if new_whole else 1


if __name__ == "__main__":
    sys.exit(main())
